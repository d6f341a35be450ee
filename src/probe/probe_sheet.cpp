#include "probe/probe.h"

namespace tvx::probe {

PyMethodDef sheet_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tvx::probe
