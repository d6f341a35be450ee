#include "probe/probe.h"

namespace tvx::probe {

PyMethodDef xml_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tvx::probe
