// prescan_sheet: the elements around a worksheet's cells, its row
// attributes and the styles of requested corner cells, without reading
// cell values.
#pragma once

#include "lib/pyref.h"

namespace tvx {

// The module function prescan_sheet(source, want_rows, corners, helpers).
PyObject* py_prescan_sheet(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);

}  // namespace tvx
