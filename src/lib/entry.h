// Python entry points of the module that lib defines (prescan/prescan.h
// and writer/sheet_writer.h declare theirs).
#pragma once

#include "lib/pyref.h"

namespace tvx {

PyObject* py_read_string_table(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);
PyObject* py_bind_cells(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);
PyObject* py_find_dimension(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);

// The classes, created on first use and kept for the life of the process.
PyTypeObject* row_reader_type();

// The probe module shares the engine's sources but is a separate shared
// object: it takes over the exception class and types of the loaded
// tavrinex._tavrinex so both modules agree on them.
int adopt_module_objects(PyObject* native_module);

}  // namespace tvx
