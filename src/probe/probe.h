// The test-only module tavrinex._probe: pure internals exposed to the tests.
// Each subsystem contributes a table of functions from its own file.
#pragma once

#include "lib/pyref.h"

namespace tvx::probe {

extern PyMethodDef utils_methods[];
extern PyMethodDef xml_methods[];
extern PyMethodDef formula_methods[];
extern PyMethodDef store_methods[];
extern PyMethodDef sheet_methods[];

}  // namespace tvx::probe
