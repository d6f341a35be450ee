// SheetWriter: writes a worksheet's <sheetData>. Construction reads the
// host objects the writer keeps; the writing methods are not built yet.
#include "lib/args.h"
#include "lib/entry.h"
#include "lib/errors.h"
#include "lib/host.h"

namespace tvx {

namespace {

struct SheetWriterObject {
    PyObject_HEAD
    PyObject* ws;
    PyObject* write;
    PyObject* cell_styles;
    PyObject* hyperlinks;
    PyObject* style_array;
    PyObject* add_comment;
    PyObject* write_cell;
    PyObject* date_value;
    PyObject* date_value_raw;
    PyObject* safe_string;
    NativeEpoch epoch;
    int epoch_kind;  // 0 naive, 1 Windows epoch, 2 no native dates
    bool lxml;
    bool iso_dates;
};

PyTypeObject* g_writer_type = nullptr;

int sw_clear(PyObject* self) {
    auto* w = (SheetWriterObject*)self;
    Py_CLEAR(w->ws);
    Py_CLEAR(w->write);
    Py_CLEAR(w->cell_styles);
    Py_CLEAR(w->hyperlinks);
    Py_CLEAR(w->style_array);
    Py_CLEAR(w->add_comment);
    Py_CLEAR(w->write_cell);
    Py_CLEAR(w->date_value);
    Py_CLEAR(w->date_value_raw);
    Py_CLEAR(w->safe_string);
    return 0;
}

int sw_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* w = (SheetWriterObject*)self;
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(w->ws);
    Py_VISIT(w->write);
    Py_VISIT(w->cell_styles);
    Py_VISIT(w->hyperlinks);
    Py_VISIT(w->style_array);
    Py_VISIT(w->add_comment);
    Py_VISIT(w->write_cell);
    Py_VISIT(w->date_value);
    Py_VISIT(w->date_value_raw);
    Py_VISIT(w->safe_string);
    return 0;
}

void sw_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    sw_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

bool helper(PyObject* helpers, const char* key, PyObject*& out) {
    PyRef value;
    if (!get_helper(helpers, key, value)) return false;
    out = value.release();
    return true;
}

PyObject* sw_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"ws", "write", "lxml", "helpers"};
        static const ArgSpec spec{"SheetWriter", names, 4, 4};
        PyObject* a[4];
        if (!parse_call_args(spec, args, kwargs, a)) return nullptr;
        if (!PyBool_Check(a[2])) {
            arg_type_error("SheetWriter", "lxml", "bool", a[2]);
            return nullptr;
        }
        if (!PyDict_Check(a[3])) {
            arg_type_error("SheetWriter", "helpers", "dict", a[3]);
            return nullptr;
        }
        PyRef self = PyRef::steal(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        auto* w = (SheetWriterObject*)self.get();
        w->ws = Py_NewRef(a[0]);
        w->write = Py_NewRef(a[1]);
        w->lxml = a[2] == Py_True;
        PyObject* helpers = a[3];
        PyRef wb = PyRef::steal(PyObject_GetAttrString(w->ws, "parent"));
        if (!wb) return nullptr;
        w->cell_styles = PyObject_GetAttrString(wb.get(), "_cell_styles");
        if (!w->cell_styles) return nullptr;
        if (!helper(helpers, "StyleArray", w->style_array)) return nullptr;
        w->hyperlinks = PyObject_GetAttrString(w->ws, "_hyperlinks");
        if (!w->hyperlinks) return nullptr;
        if (!helper(helpers, "add_comment", w->add_comment) ||
            !helper(helpers, "write_cell", w->write_cell) ||
            !helper(helpers, "date_value", w->date_value) ||
            !helper(helpers, "date_value_raw", w->date_value_raw)) {
            return nullptr;
        }
        PyRef wb2 = PyRef::steal(PyObject_GetAttrString(w->ws, "parent"));
        if (!wb2) return nullptr;
        PyRef epoch = PyRef::steal(PyObject_GetAttrString(wb2.get(), "epoch"));
        if (!epoch || !read_epoch(epoch.get(), w->epoch)) return nullptr;
        w->epoch_kind = !w->epoch.native ? 2 : w->epoch.windows ? 1 : 0;
        PyRef iso = PyRef::steal(PyObject_GetAttrString(wb2.get(), "iso_dates"));
        if (!iso) return nullptr;
        if (!PyBool_Check(iso.get())) {
            PyErr_SetString(PyExc_TypeError, "iso_dates must be a bool");
            return nullptr;
        }
        w->iso_dates = iso.get() == Py_True;
        if (!helper(helpers, "safe_string", w->safe_string)) return nullptr;
        return self.release();
    });
}

PyObject* sw_write_sheet_data(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"rows_fallback"};
        static const ArgSpec spec{"write_sheet_data", names, 1, 1};
        PyObject* a[1];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        return not_built_yet();
    });
}

PyObject* sw_write_row(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"cells", "row_idx"};
        static const ArgSpec spec{"write_row", names, 2, 2};
        PyObject* a[2];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        long long row = PyLong_AsLongLong(a[1]);
        if (row == -1 && PyErr_Occurred()) return nullptr;
        return not_built_yet();
    });
}

PyObject* sw_flush(PyObject*, PyObject*) { return not_built_yet(); }

PyMethodDef sw_methods[] = {
    {"write_sheet_data", (PyCFunction)(void (*)(void))sw_write_sheet_data,
     METH_FASTCALL | METH_KEYWORDS,
     "write_sheet_data($self, rows_fallback)\n--\n\n"
     "Write the whole `<sheetData>` element for `ws` (WorksheetWriter.write_rows).\n"
     "`rows_fallback` is `WorksheetWriter.rows` used when cell keys are not\n"
     "plain integer tuples."},
    {"write_row", (PyCFunction)(void (*)(void))sw_write_row, METH_FASTCALL | METH_KEYWORDS,
     "write_row($self, cells, row_idx)\n--\n\n"
     "Write one `<row>` from an iterable of cells (write-only worksheets)."},
    {"flush", (PyCFunction)sw_flush, METH_NOARGS, "flush($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot sw_slots[] = {
    {Py_tp_doc, (void*)"SheetWriter(ws, write, lxml, helpers)\n--\n\n"},
    {Py_tp_new, (void*)sw_new},
    {Py_tp_dealloc, (void*)sw_dealloc},
    {Py_tp_traverse, (void*)sw_traverse},
    {Py_tp_clear, (void*)sw_clear},
    {Py_tp_methods, sw_methods},
    {0, nullptr},
};

PyType_Spec sw_spec = {
    "builtins.SheetWriter",
    sizeof(SheetWriterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    sw_slots,
};

}  // namespace

PyTypeObject* sheet_writer_type() {
    if (!g_writer_type) g_writer_type = (PyTypeObject*)PyType_FromSpec(&sw_spec);
    return g_writer_type;
}

}  // namespace tvx
