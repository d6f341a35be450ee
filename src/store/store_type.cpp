// CellStore type surface. The store engine replaces these bodies.
#include "store/store_type.h"

#include "lib/entry.h"
#include "lib/errors.h"

namespace tvx {

namespace {

struct StoreObject {
    PyObject_HEAD
};

PyTypeObject* g_store_type = nullptr;

PyObject* store_new(PyTypeObject* type, PyObject*, PyObject*) {
    return type->tp_alloc(type, 0);
}

void store_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

int store_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

PyObject* stub_fast(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_built_yet(); }
PyObject* stub_noargs(PyObject*, PyObject*) { return not_built_yet(); }

PyMethodDef store_methods[] = {
    {"get", (PyCFunction)(void (*)(void))stub_fast, METH_FASTCALL | METH_KEYWORDS,
     "get($self, key, default=None)\n--\n\n"},
    {"_row", (PyCFunction)(void (*)(void))stub_fast, METH_FASTCALL | METH_KEYWORDS,
     "_row($self, row, min_col, max_col, values_only)\n--\n\n"
     "One row of `Worksheet._cells_by_row`: creates missing cells exactly\n"
     "like `Worksheet.cell(row, column)` and returns a tuple of cells (or of\n"
     "values when values_only), plus whether cells were created."},
    {"clear", (PyCFunction)stub_noargs, METH_NOARGS, "clear($self)\n--\n\n"},
    {"popitem", (PyCFunction)stub_noargs, METH_NOARGS,
     "popitem($self)\n--\n\ndict.popitem(): remove and return the last inserted (key, value)"},
    {"_bounds", (PyCFunction)stub_noargs, METH_NOARGS,
     "_bounds($self)\n--\n\n(min_row, max_row, min_col, max_col) of the keys, or None if empty or\n"
     "in dict mode."},
    {"_in_dict_mode", (PyCFunction)stub_noargs, METH_NOARGS, "_in_dict_mode($self)\n--\n\n"},
    {"_stats", (PyCFunction)stub_noargs, METH_NOARGS,
     "_stats($self)\n--\n\nDiagnostics: (cells, materialised cells, formula templates, text bytes)"},
    {"__reversed__", (PyCFunction)stub_noargs, METH_NOARGS, "__reversed__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_doc, (void*)"CellStore(*_args, **_kwargs)\n--\n\n"},
    {Py_tp_new, (void*)store_new},
    {Py_tp_dealloc, (void*)store_dealloc},
    {Py_tp_traverse, (void*)store_traverse},
    {Py_tp_methods, store_methods},
    {0, nullptr},
};

PyType_Spec store_spec = {
    "tavrinex._tavrinex.CellStore",
    sizeof(StoreObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    store_slots,
};

}  // namespace

PyTypeObject* cell_store_type() {
    if (!g_store_type) g_store_type = (PyTypeObject*)PyType_FromSpec(&store_spec);
    return g_store_type;
}

void adopt_cell_store_type(PyTypeObject* type) {
    Py_XINCREF(type);
    g_store_type = type;
}

}  // namespace tvx
