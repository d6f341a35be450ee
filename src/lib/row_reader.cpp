// RowReader: the streaming reader of read-only worksheets. Construction and
// argument handling are complete; row pulling is not built yet.
#include "lib/args.h"
#include "lib/entry.h"
#include "lib/errors.h"
#include "lib/host.h"

namespace tvx {

namespace {

struct RowReaderObject {
    PyObject_HEAD
    PyObject* source;
    PyObject* parser;
    PyObject* helpers;
    PyObject* row_dimensions;
    PyObject* actions;
    bool borrowed;
};

PyTypeObject* g_row_reader_type = nullptr;

int rr_clear(PyObject* self) {
    auto* r = (RowReaderObject*)self;
    Py_CLEAR(r->source);
    Py_CLEAR(r->parser);
    Py_CLEAR(r->helpers);
    Py_CLEAR(r->row_dimensions);
    Py_CLEAR(r->actions);
    return 0;
}

int rr_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* r = (RowReaderObject*)self;
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(r->source);
    Py_VISIT(r->parser);
    Py_VISIT(r->helpers);
    Py_VISIT(r->row_dimensions);
    Py_VISIT(r->actions);
    return 0;
}

void rr_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    rr_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* rr_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"source", "parser", "helpers"};
        static const ArgSpec spec{"RowReader", names, 3, 3};
        PyObject* a[3];
        if (!parse_call_args(spec, args, kwargs, a)) return nullptr;
        if (!PyDict_Check(a[2])) {
            arg_type_error("RowReader", "helpers", "dict", a[2]);
            return nullptr;
        }
        ReaderHelpers helpers;
        if (!helpers.load(a[2])) return nullptr;
        ParserOptions options;
        if (!options.load(a[1])) return nullptr;
        PyRef dims = PyRef::steal(PyObject_GetAttrString(a[1], "row_dimensions"));
        if (!dims) return nullptr;
        PyRef actions = PyRef::steal(PyList_New(0));
        if (!actions) return nullptr;
        PyRef self = PyRef::steal(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        auto* r = (RowReaderObject*)self.get();
        r->source = Py_NewRef(a[0]);
        r->parser = Py_NewRef(a[1]);
        r->helpers = Py_NewRef(a[2]);
        r->row_dimensions = dims.release();
        r->actions = actions.release();
        r->borrowed = false;
        return self.release();
    });
}

PyObject* rr_next_raw(PyObject*, PyObject*) { return not_built_yet(); }

PyObject* rr_next_row(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"ws",       "min_col", "max_col",   "values_only",
                                            "cell_cls", "filler",  "extra_none"};
        static const ArgSpec spec{"next_row", names, 7, 6};
        PyObject* a[7];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        long long min_col = 0, max_col = 0;
        if (!arg_int64("next_row", "min_col", a[1], &min_col)) return nullptr;
        if (a[2] != Py_None && !arg_int64("next_row", "max_col", a[2], &max_col)) return nullptr;
        if (!PyBool_Check(a[3])) {
            arg_type_error("next_row", "values_only", "bool", a[3]);
            return nullptr;
        }
        PyObject* extra = a[6];
        if (extra && extra != Py_None) {
            if (PyUnicode_Check(extra) || !PySequence_Check(extra)) {
                arg_type_error("next_row", "extra_none", "a sequence of str", extra);
                return nullptr;
            }
        }
        return not_built_yet();
    });
}

PyObject* rr_actions(PyObject* self, void*) {
    return Py_NewRef(((RowReaderObject*)self)->actions);
}

PyMethodDef rr_methods[] = {
    {"next_raw", (PyCFunction)rr_next_raw, METH_NOARGS,
     "next_raw($self)\n--\n\n"
     "Next raw row: (idx, [(row, column, value, data_type, style_id), ...])\n"
     "or None at the end of the document."},
    {"next_row", (PyCFunction)(void (*)(void))rr_next_row, METH_FASTCALL | METH_KEYWORDS,
     "next_row($self, ws, min_col, max_col, values_only, cell_cls, filler, extra_none=None)\n--\n\n"
     "Mirrors ReadOnlyWorksheet._get_row for the next row in the source.\n"
     "Returns None at the end, else (idx, tuple_of_cells_or_values)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef rr_getset[] = {
    {"actions", rr_actions, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot rr_slots[] = {
    {Py_tp_doc, (void*)"RowReader(source, parser, helpers)\n--\n\n"
                       "Streaming row reader used by ReadOnlyWorksheet."},
    {Py_tp_new, (void*)rr_new},
    {Py_tp_dealloc, (void*)rr_dealloc},
    {Py_tp_traverse, (void*)rr_traverse},
    {Py_tp_clear, (void*)rr_clear},
    {Py_tp_methods, rr_methods},
    {Py_tp_getset, rr_getset},
    {0, nullptr},
};

PyType_Spec rr_spec = {
    "builtins.RowReader",
    sizeof(RowReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    rr_slots,
};

}  // namespace

PyTypeObject* row_reader_type() {
    if (!g_row_reader_type) g_row_reader_type = (PyTypeObject*)PyType_FromSpec(&rr_spec);
    return g_row_reader_type;
}

}  // namespace tvx
