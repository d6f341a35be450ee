#include "probe/probe.h"

namespace tvx::probe {

PyMethodDef formula_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tvx::probe
