// The data road's Python types: the shared strings as one Arrow string
// array (SharedStrings), a built table handed out through the Arrow
// PyCapsule interface (ArrowTable), and the sheet reader that fills one
// (SheetTable, table_read.cpp).
#pragma once

#include "lib/pyref.h"
#include "table/table.h"

namespace tvx {

PyTypeObject* shared_strings_type();
PyTypeObject* arrow_table_type();
PyTypeObject* sheet_table_type();
PyTypeObject* table_writer_type();

// The table of a SharedStrings object (which must be one).
table::StringTablePtr shared_strings_of(PyObject* obj);
bool is_shared_strings(PyObject* obj);

// A new ArrowTable holding `built`.
PyRef new_arrow_table(table::Built built);

PyObject* py_read_shared_strings(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);
PyObject* py_shared_strings_from_list(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kw);
PyObject* py_pack_table(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);
PyObject* py_sheet_table(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);

}  // namespace tvx
