// Module initialisation: multi-phase, no per-module state.
#include "lib/entry.h"
#include "lib/errors.h"
#include "prescan/prescan.h"
#include "writer/sheet_writer.h"
#include "lib/table_types.h"
#include "store/store_type.h"

namespace tvx {

namespace {

PyMethodDef module_functions[] = {
    {"read_string_table", (PyCFunction)(void (*)(void))py_read_string_table,
     METH_FASTCALL | METH_KEYWORDS,
     "read_string_table(source, helpers)\n--\n\nread_string_table(source, helpers) -> list"},
    {"bind_cells", (PyCFunction)(void (*)(void))py_bind_cells, METH_FASTCALL | METH_KEYWORDS,
     "bind_cells(source, parser, ws, store, cell_styles, cell_cls, helpers, actions)\n--\n\n"
     "Read all cells of a worksheet (full / editable mode) into `store`.\n\n"
     "Mirrors `tavrinex.reader.bind.read_worksheet` with `WorksheetParser.parse`: cells\n"
     "are held in compact form in the `CellStore` and become `Cell` objects only when\n"
     "accessed;\n"
     "other elements are appended to `actions` as `(\"element\", bytes, namespaces)` and\n"
     "warnings as `(\"warn\", message)` for the caller to replay in document order."},
    {"find_dimension", (PyCFunction)(void (*)(void))py_find_dimension,
     METH_FASTCALL | METH_KEYWORDS,
     "find_dimension(source)\n--\n\n"
     "Find the `dimension` element like `tavrinex.reader.dimension.find_dimension_py`.\n"
     "Returns (snippet, namespaces) or None."},
    {"prescan_sheet", (PyCFunction)(void (*)(void))py_prescan_sheet, METH_FASTCALL | METH_KEYWORDS,
     "prescan_sheet(source, want_rows, corners, helpers)\n--\n\n"
     "prescan_sheet(source, want_rows, corners, helpers) -> dict"},
    {"read_shared_strings", (PyCFunction)(void (*)(void))py_read_shared_strings,
     METH_FASTCALL | METH_KEYWORDS,
     "read_shared_strings(source, helpers, size_hint=0)\n--\n\n"
     "The shared-string part as one Arrow string array (a SharedStrings);\n"
     "`size_hint` (the part's size) lets the text buffer be taken at once."},
    {"shared_strings_from_list", (PyCFunction)(void (*)(void))py_shared_strings_from_list,
     METH_FASTCALL | METH_KEYWORDS,
     "shared_strings_from_list(strings)\n--\n\nA SharedStrings holding a list of str."},
    {"sheet_table", (PyCFunction)(void (*)(void))py_sheet_table, METH_FASTCALL | METH_KEYWORDS,
     "sheet_table(source, parser, helpers, strings, day_styles, plan, bounds)\n--\n\n"
     "A SheetTable reading one worksheet into Arrow columns."},
    {"pack_table", (PyCFunction)(void (*)(void))py_pack_table, METH_FASTCALL | METH_KEYWORDS,
     "pack_table(names, types, columns, num_rows, strings)\n--\n\n"
     "An ArrowTable of columns given as lists of Python values."},
    {nullptr, nullptr, 0, nullptr},
};

int add_type(PyObject* module, const char* name, PyTypeObject* type) {
    if (!type) return -1;
    return PyModule_AddObjectRef(module, name, (PyObject*)type);
}

int module_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "module_exec expects a module object");
        return -1;
    }
    if (init_error_types() < 0) return -1;
    if (PyModule_AddObjectRef(module, "NativeFallback", native_fallback_type()) < 0) return -1;
    if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
    if (add_type(module, "RowReader", row_reader_type()) < 0) return -1;
    if (add_type(module, "CellStore", cell_store_type()) < 0) return -1;
    if (add_type(module, "SheetWriter", sheet_writer_type()) < 0) return -1;
    if (add_type(module, "SharedStrings", shared_strings_type()) < 0) return -1;
    if (add_type(module, "ArrowTable", arrow_table_type()) < 0) return -1;
    if (add_type(module, "SheetTable", sheet_table_type()) < 0) return -1;
    if (add_type(module, "TableWriter", table_writer_type()) < 0) return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, (void*)module_exec},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_tavrinex", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

int adopt_module_objects(PyObject* native_module) {
    if (init_error_types() < 0) return -1;
    PyRef fallback = PyRef::steal(PyObject_GetAttrString(native_module, "NativeFallback"));
    PyRef store = PyRef::steal(PyObject_GetAttrString(native_module, "CellStore"));
    if (!fallback || !store) return -1;
    if (!PyType_Check(store.get())) {
        PyErr_SetString(PyExc_TypeError, "CellStore is not a type");
        return -1;
    }
    adopt_native_fallback(fallback.get());
    adopt_cell_store_type((PyTypeObject*)store.get());
    return 0;
}

}  // namespace tvx

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__tavrinex(void) {
    return PyModuleDef_Init(&tvx::module_def);
}
