// The CellStore Python type.
#pragma once

#include "lib/pyref.h"

namespace tvx {

PyTypeObject* cell_store_type();
// The probe module adopts the type of the loaded engine module.
void adopt_cell_store_type(PyTypeObject* type);
inline bool is_cell_store(PyObject* obj) {
    PyTypeObject* t = cell_store_type();
    return t && PyObject_TypeCheck(obj, t);
}

}  // namespace tvx
