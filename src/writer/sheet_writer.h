// SheetWriter: a worksheet's <sheetData> written byte for byte as the
// host's row writer writes it.
#pragma once

#include "lib/pyref.h"

namespace tvx {

// The class, created on first use and kept for the life of the process.
PyTypeObject* sheet_writer_type();

}  // namespace tvx
