#include "probe/probe.h"

namespace tvx::probe {

PyMethodDef utils_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tvx::probe
