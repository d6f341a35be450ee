// RowReader: the streaming reader of read-only worksheets. One sheet
// parser runs over the source for the life of the object; each call pulls
// the next row and hands it out raw or shaped as the read-only worksheet
// shapes its rows. Only the current row is held.
#include "lib/args.h"
#include "lib/entry.h"
#include "lib/errors.h"
#include "lib/host.h"
#include "lib/sheet_host.h"
#include "lib/xml_host.h"
#include "lib/type_once.h"
#include "sheet/sheet_parser.h"

#include <atomic>
#include <memory>
#include <vector>

namespace tvx {

namespace {

// One cell of the current row, with its value already a Python object.
struct RowCell {
    std::int64_t row = 0, column = 0;
    std::int64_t style_id = 0;
    PyRef unusual_style;            // the style when it is not an int64
    PyObject* data_type = nullptr;  // borrowed from the reader's fixed types or own_type
    PyRef own_type;                 // a data type other than the fixed ones
    PyRef value;
    PyRef formula, cached;  // formula-and-value mode only

    // The style id as Python gives it: a new reference or null.
    PyObject* style() const {
        return unusual_style ? Py_NewRef(unusual_style.get()) : PyLong_FromLongLong(style_id);
    }
};

// Collects the cells of one row and the actions met on the way.
class RowSink final : public SheetSink {
public:
    RowSink(PySheetHost& host, const ParserOptions& options, const PyRef* fixed_types)
        : host_(host), o_(options), fixed_types_(fixed_types) {}

    std::vector<RowCell> cells;  // reused from row to row
    std::size_t count = 0;
    std::int64_t idx = 0;  // the current row's number

    ReadError on_element(const XmlReader& reader, std::string_view bytes) override {
        return host_.element(reader, bytes);
    }

    ReadError on_row(const RowEvent& row) override {
        TVX_TRY(host_.row(row));
        release();
        idx = row.row;
        return ReadError::ok();
    }

    // Drops the current row's references.
    void release() noexcept {
        for (std::size_t i = 0; i < count; i++) {
            RowCell& c = cells[i];
            c.value.reset();
            if (c.unusual_style) c.unusual_style.reset();
            if (c.own_type) c.own_type.reset();
            if (c.formula) c.formula.reset();
            if (c.cached) c.cached.reset();
        }
        count = 0;
    }

    ReadError on_cell(CellEvent& cell) override {
        const bool keep = o_.sheet.formula_and_value;
        TVX_TRY(host_.cell_values(cell, value_, keep && cell.has_cached ? &cached_ : nullptr));
        if (count == cells.size()) cells.emplace_back();
        RowCell& out = cells[count];
        out.row = cell.row;
        out.column = cell.column;
        out.value = value_object(value_);
        if (!out.value) return ReadError::source();
        if (value_.data_type == DT_OTHER) {
            out.own_type = value_.data_type_obj;
            out.data_type = out.own_type.get();
        } else {
            out.data_type = fixed_types_[value_.data_type].get();
        }
        out.style_id = cell.style_id;
        if (cell.unusual_style) out.unusual_style = PyRef::borrow(host_.unusual_style());
        if (keep) {
            if (cell.has_cached) {
                out.formula = out.value;
                out.cached = value_object(cached_);
                if (!out.cached) return ReadError::source();
            } else {
                out.formula = PyRef::borrow(Py_None);
                out.cached = out.value;
            }
        }
        count++;
        return ReadError::ok();
    }

private:
    PyRef value_object(const CellValue& v) {
        switch (v.form) {
            case ValueForm::None:
                return PyRef::borrow(Py_None);
            case ValueForm::Int:
                return PyRef::steal(PyLong_FromLongLong(v.i));
            case ValueForm::Float:
                return PyRef::steal(PyFloat_FromDouble(v.f));
            case ValueForm::Bool:
                return PyRef::borrow(v.i ? Py_True : Py_False);
            case ValueForm::SharedIndex: {
                // The list may have changed since conversion looked at it.
                PyObject* ss = o_.shared_strings.get();
                if (PyList_CheckExact(ss)) {
                    PyObject* item = PyList_GetItemRef(ss, (Py_ssize_t)v.i);
                    if (item) return PyRef::steal(item);
                    PyErr_Clear();
                }
                PyRef index = PyRef::steal(PyLong_FromLongLong(v.i));
                if (!index) return {};
                return PyRef::steal(PyObject_GetItem(ss, index.get()));
            }
            case ValueForm::Text:
                return PyRef::steal(
                    PyUnicode_DecodeUTF8(v.text.data(), (Py_ssize_t)v.text.size(), nullptr));
            case ValueForm::DateInt:
            case ValueForm::DateFloat: {
                DateParts parts;
                bool ok = v.form == ValueForm::DateInt
                              ? date_parts_int(o_.sheet.epoch, v.i, parts)
                              : date_parts_float(o_.sheet.epoch, v.f, parts);
                if (!ok) {
                    raise_internal("converted date does not convert");
                    return {};
                }
                if (!api_) api_ = datetime_capi();
                if (!api_) return {};
                return date_object(api_, parts);
            }
            case ValueForm::Object:
                return v.obj;
            case ValueForm::Host:
                break;
        }
        raise_internal("a value with a host step left");
        return {};
    }

    PySheetHost& host_;
    const ParserOptions& o_;
    const PyRef* fixed_types_;
    const DateTimeApi* api_ = nullptr;
    CellValue value_, cached_;  // reused from cell to cell
};

// Everything the parser borrows lives here, in dependency order.
struct RowState {
    RowState(PyObject* source, PyObject* row_dimensions, PyObject* actions_list, ReaderHelpers&& h,
             ParserOptions&& o)
        : src(source),
          reader(src),
          helpers(std::move(h)),
          options(std::move(o)),
          host(helpers, options, actions_list, row_dimensions),
          parser(reader, options.sheet, host),
          sink(host, options, fixed_types),
          actions(actions_list) {}

    PySource src;
    XmlReader reader;
    ReaderHelpers helpers;
    ParserOptions options;
    PySheetHost host;
    SheetParser parser;
    PyRef fixed_types[7];
    RowSink sink;
    PyObject* actions;
    bool done = false;

    // The cached slot binding of the last cell class (and extra names).
    PyRef bound_cls;
    PyRef bound_extra;  // tuple of the extra names, or null
    std::vector<Py_ssize_t> offsets;
};

struct RowReaderObject {
    PyObject_HEAD PyRef source;
    PyRef parser;
    PyRef helpers;
    PyRef row_dimensions;
    PyRef actions;
    RowState* state;
    std::atomic<bool> busy;
};

std::atomic<PyObject*> g_row_reader_type{nullptr};  // made once, see make_type_once

int rr_clear(PyObject* self) {
    auto* r = (RowReaderObject*)self;
    // The state borrows from the objects below: it goes first.
    RowState* state = r->state;
    r->state = nullptr;
    delete state;
    r->source.reset();
    r->parser.reset();
    r->helpers.reset();
    r->row_dimensions.reset();
    r->actions.reset();
    return 0;
}

int rr_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* r = (RowReaderObject*)self;
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(r->source.get());
    Py_VISIT(r->parser.get());
    Py_VISIT(r->helpers.get());
    Py_VISIT(r->row_dimensions.get());
    Py_VISIT(r->actions.get());
    if (RowState* s = r->state) {
        // Everything the state holds a reference to, so that a cycle
        // through any of them (a source, a shared-string list or a helper
        // referring back to the reader) can be collected.
        if (int e = s->src.traverse(visit, arg)) return e;
        if (int e = s->helpers.traverse(visit, arg)) return e;
        if (int e = s->options.traverse(visit, arg)) return e;
        if (int e = s->host.traverse(visit, arg)) return e;
        Py_VISIT(s->bound_cls.get());
        Py_VISIT(s->bound_extra.get());
        for (std::size_t i = 0; i < s->sink.count; i++) {
            const RowCell& c = s->sink.cells[i];
            Py_VISIT(c.value.get());
            Py_VISIT(c.formula.get());
            Py_VISIT(c.cached.get());
        }
    }
    return 0;
}

void rr_dealloc(PyObject* self) {
    // Instances of a heap type hold a reference to it, let go last.
    PyRef type = PyRef::steal((PyObject*)Py_TYPE(self));
    PyObject_GC_UnTrack(self);
    rr_clear(self);
    Py_TYPE(self)->tp_free(self);
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
        if (!PyDict_Check(dims.get())) {
            PyErr_Format(PyExc_TypeError, "parser.row_dimensions must be dict, not %.50s",
                         Py_TYPE(dims.get())->tp_name);
            return nullptr;
        }
        PyRef actions = PyRef::steal(PyList_New(0));
        if (!actions) return nullptr;
        PyRef self = PyRef::steal(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        auto* r = (RowReaderObject*)self.get();
        // tp_alloc zeroes the object; the owned references are made in place.
        new (&r->source) PyRef(PyRef::borrow(a[0]));
        new (&r->parser) PyRef(PyRef::borrow(a[1]));
        new (&r->helpers) PyRef(PyRef::borrow(a[2]));
        new (&r->row_dimensions) PyRef(std::move(dims));
        new (&r->actions) PyRef(std::move(actions));
        new (&r->busy) std::atomic<bool>(false);
        auto state =
            std::make_unique<RowState>(r->source.get(), r->row_dimensions.get(), r->actions.get(),
                                       std::move(helpers), std::move(options));
        for (int i = 0; i < 7; i++) {
            state->fixed_types[i] = PyRef::steal(PyUnicode_InternFromString(kFixedDataTypes[i]));
            if (!state->fixed_types[i]) return nullptr;
        }
        r->state = state.release();
        return self.release();
    });
}

// Holds the reader for one call; a nested call from Python code that the
// reader called back is refused.
class Busy {
public:
    explicit Busy(RowReaderObject* r) noexcept : r_(r) {
        bool expected = false;
        held_ = r_->busy.compare_exchange_strong(expected, true);
    }
    ~Busy() {
        if (held_) r_->busy.store(false);
    }
    bool held() const noexcept { return held_; }

private:
    RowReaderObject* r_;
    bool held_;
};

// Pulls the next row into the sink. False at the end of the document, or
// with `err` set on error; either way every later pull gives the end.
bool pull_row(RowState& s, ReadError& err) {
    err = ReadError::ok();
    while (!s.done) {
        SheetItem item;
        // The fast shared-string bound follows the list between calls.
        s.options.count_shared_strings();
        if (ReadError e = s.parser.next_item(s.sink, item)) {
            s.host.restore_pending();
            err = e;
            item = SheetItem::End;
        }
        if (item == SheetItem::Row) return true;
        if (item == SheetItem::End) {
            s.done = true;
            s.sink.release();
        }
    }
    return false;
}

PyObject* rr_next_raw(PyObject* self, PyObject*) {
    PyObject* result = nullptr;
    Py_BEGIN_CRITICAL_SECTION(self);
    result = guarded([&]() -> PyObject* {
        auto* r = (RowReaderObject*)self;
        Busy busy(r);
        if (!busy.held()) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return nullptr;
        }
        if (!r->state) Py_RETURN_NONE;
        RowState& s = *r->state;
        ReadError err;
        if (!pull_row(s, err)) {
            if (err) return raise_read_error(err);
            Py_RETURN_NONE;
        }
        RowSink& sink = s.sink;
        PyRef list = PyRef::steal(PyList_New((Py_ssize_t)sink.count));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < sink.count; i++) {
            const RowCell& c = sink.cells[i];
            PyRef style = PyRef::steal(c.style());
            if (!style) return nullptr;
            PyObject* t = Py_BuildValue("(LLOOO)", (long long)c.row, (long long)c.column,
                                        c.value.get(), c.data_type, style.get());
            if (!t) return nullptr;
            PyList_SET_ITEM(list.get(), (Py_ssize_t)i, t);
        }
        PyObject* out = Py_BuildValue("(LO)", (long long)sink.idx, list.get());
        sink.release();
        return out;
    });
    Py_END_CRITICAL_SECTION();
    return result;
}

// The slot names every read-only cell gets, in binding order.
constexpr const char* kCellSlots[] = {"parent",    "row",       "column",  "_value",
                                      "data_type", "_style_id", "formula", "cached_value"};

// (Re)binds the slots of `cls` unless it is the class (and extra list)
// bound last. `extra` is a tuple of names or null.
bool bind_cell_class(RowState& s, PyObject* cls, PyObject* extra) {
    if (s.bound_cls.get() == cls) {
        bool same_extra = s.bound_extra.get() == extra;
        if (!same_extra && s.bound_extra && extra) {
            int eq = PyObject_RichCompareBool(s.bound_extra.get(), extra, Py_EQ);
            if (eq < 0) return false;
            same_extra = eq == 1;
        }
        if (same_extra) return true;
    }
    s.bound_cls.reset();
    s.bound_extra.reset();
    std::size_t fixed = s.options.sheet.formula_and_value ? 8 : 6;
    std::vector<Py_ssize_t> offsets;
    if (!bind_slots(cls, kCellSlots, fixed, offsets)) return false;
    if (extra) {
        Py_ssize_t n = PyTuple_GET_SIZE(extra);
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject* name = PyTuple_GET_ITEM(extra, i);
            if (!PyUnicode_Check(name)) {
                PyErr_Format(PyExc_TypeError,
                             "next_row() argument 'extra_none' must be a sequence of str, "
                             "not a sequence holding %.50s",
                             Py_TYPE(name)->tp_name);
                return false;
            }
            Py_ssize_t offset = 0;
            if (!bind_slot(cls, name, offset)) return false;
            offsets.push_back(offset);
        }
    }
    s.offsets = std::move(offsets);
    s.bound_cls = PyRef::borrow(cls);
    s.bound_extra = PyRef::borrow(extra);
    return true;
}

PyRef make_cell(const RowState& s, PyTypeObject* cls, PyObject* ws, RowCell& c) {
    PyRef cell = alloc_instance(cls);
    if (!cell) return {};
    PyRef row = PyRef::steal(PyLong_FromLongLong(c.row));
    if (!row) return {};
    PyRef column = PyRef::steal(PyLong_FromLongLong(c.column));
    if (!column) return {};
    const Py_ssize_t* off = s.offsets.data();
    PyObject* obj = cell.get();
    store_slot(obj, off[0], Py_NewRef(ws));
    store_slot(obj, off[1], row.release());
    store_slot(obj, off[2], column.release());
    store_slot(obj, off[3], c.value.release());  // each cell is used once
    PyObject* style = c.style();
    if (!style) return {};
    store_slot(obj, off[4], Py_NewRef(c.data_type));
    store_slot(obj, off[5], style);
    std::size_t i = 6;
    if (s.options.sheet.formula_and_value) {
        store_slot(obj, off[6], Py_NewRef(c.formula.get()));
        store_slot(obj, off[7], Py_NewRef(c.cached.get()));
        i = 8;
    }
    for (; i < s.offsets.size(); i++) store_slot(obj, off[i], Py_NewRef(Py_None));
    return cell;
}

PyObject* next_row_body(RowReaderObject* r, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
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
    const bool values_only = a[3] == Py_True;
    PyObject *ws = a[0], *cls = a[4], *filler = a[5];
    PyRef extra;
    if (a[6] && a[6] != Py_None) {
        if (PyUnicode_Check(a[6]) || !PySequence_Check(a[6])) {
            arg_type_error("next_row", "extra_none", "a sequence of str", a[6]);
            return nullptr;
        }
        extra = PyRef::steal(PySequence_Tuple(a[6]));
        if (!extra) return nullptr;
    }
    if (!values_only && !PyType_Check(cls)) {
        arg_type_error("next_row", "cell_cls", "type", cls);
        return nullptr;
    }

    Busy busy(r);
    if (!busy.held()) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return nullptr;
    }
    if (!r->state) Py_RETURN_NONE;
    RowState& s = *r->state;
    if (!values_only && !bind_cell_class(s, cls, extra.get())) return nullptr;
    ReadError err;
    if (!pull_row(s, err)) {
        if (err) return raise_read_error(err);
        Py_RETURN_NONE;
    }
    RowSink& sink = s.sink;
    struct Release {
        RowSink& sink;
        ~Release() { sink.release(); }
    } release{sink};

    PyRef idx = PyRef::steal(PyLong_FromLongLong(sink.idx));
    if (!idx) return nullptr;
    const bool no_max = a[2] == Py_None || max_col == 0;
    if (sink.count == 0 && no_max) {
        PyRef empty = PyRef::steal(PyTuple_New(0));
        if (!empty) return nullptr;
        return PyTuple_Pack(2, idx.get(), empty.get());
    }
    const std::int64_t last = no_max ? sink.cells[sink.count - 1].column : (std::int64_t)max_col;
    // The width in 128 bits: min_col and the maximum are arbitrary int64.
    const __int128 wide = (__int128)last + 1 - (__int128)min_col;
    if (wide > (__int128)PY_SSIZE_T_MAX / (__int128)sizeof(PyObject*)) {
        PyErr_NoMemory();
        return nullptr;
    }
    const Py_ssize_t width = wide > 0 ? (Py_ssize_t)wide : 0;
    PyRef tuple = PyRef::steal(PyTuple_New(width));
    if (!tuple) return nullptr;
    // Slots stay null until a cell or the filler takes them.
    for (std::size_t i = 0; i < sink.count; i++) {
        RowCell& c = sink.cells[i];
        if (c.column < min_col || c.column > last) continue;
        const Py_ssize_t at = (Py_ssize_t)(c.column - min_col);
        PyObject* item;
        if (values_only) {
            item = c.value.release();  // each cell is used once
        } else {
            item = make_cell(s, (PyTypeObject*)cls, ws, c).release();
            if (!item) return nullptr;
        }
        PyRef old = PyRef::steal(PyTuple_GET_ITEM(tuple.get(), at));  // dropped after the swap
        PyTuple_SET_ITEM(tuple.get(), at, item);
    }
    for (Py_ssize_t i = 0; i < width; i++) {
        if (!PyTuple_GET_ITEM(tuple.get(), i)) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(filler));
    }
    return PyTuple_Pack(2, idx.get(), tuple.get());
}

PyObject* rr_next_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* result = nullptr;
    Py_BEGIN_CRITICAL_SECTION(self);
    result = guarded(
        [&]() -> PyObject* { return next_row_body((RowReaderObject*)self, args, nargs, kwnames); });
    Py_END_CRITICAL_SECTION();
    return result;
}

PyObject* rr_actions(PyObject* self, void*) {
    PyObject* result = nullptr;
    Py_BEGIN_CRITICAL_SECTION(self);
    result = ((RowReaderObject*)self)->actions.new_ref();
    Py_END_CRITICAL_SECTION();
    return result;
}

PyMethodDef rr_methods[] = {
    {"next_raw", (PyCFunction)rr_next_raw, METH_NOARGS,
     "next_raw($self)\n--\n\n"
     "Next raw row: (idx, [(row, column, value, data_type, style_id), ...])\n"
     "or None at the end of the document."},
    {"next_row", (PyCFunction)(void (*)(void))rr_next_row, METH_FASTCALL | METH_KEYWORDS,
     "next_row($self, ws, min_col, max_col, values_only, cell_cls, filler, extra_none=None)\n--\n\n"
     "Mirrors `tavrinex.reader.rows.RowReader.next_row` for the next row in the source.\n"
     "Returns None at the end, else (idx, tuple_of_cells_or_values)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef rr_getset[] = {
    {"actions", rr_actions, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot rr_slots[] = {
    {Py_tp_doc, (void*)"RowReader(source, parser, helpers)\n--\n\n"
                       "Streaming row reader of `tavrinex.reader.readonly.ReadOnlyWorksheet`."},
    {Py_tp_new, (void*)rr_new},
    {Py_tp_dealloc, (void*)rr_dealloc},
    {Py_tp_traverse, (void*)rr_traverse},
    {Py_tp_clear, (void*)rr_clear},
    {Py_tp_methods, rr_methods},
    {Py_tp_getset, rr_getset},
    {0, nullptr},
};

PyType_Spec rr_spec = {
    "tavrinex._tavrinex.RowReader",
    sizeof(RowReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    rr_slots,
};

}  // namespace

PyTypeObject* row_reader_type() { return make_type_once(g_row_reader_type, &rr_spec); }

}  // namespace tvx
