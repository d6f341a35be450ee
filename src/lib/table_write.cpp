// TableWriter: Arrow record batches from any producer of the Arrow
// PyCapsule stream interface written out as worksheet rows, in chunks of
// bytes made without the interpreter lock.
#include "lib/args.h"
#include "lib/errors.h"
#include "lib/table_types.h"
#include "lib/type_once.h"
#include "table/sheet_out.h"

#include <atomic>
#include <memory>
#include <new>

namespace tvx {

namespace {

struct TableWriterObject {
    PyObject_HEAD
    arrow::ImportedStream* stream;
    table::SheetOut* out;
    std::atomic<bool> busy;
};

std::atomic<PyObject*> g_table_writer_type{nullptr};

class Busy {
public:
    explicit Busy(TableWriterObject* o) noexcept : o_(o), held_(!o->busy.exchange(true)) {}
    ~Busy() {
        if (held_) o_->busy.store(false);
    }
    bool held() const noexcept { return held_; }

private:
    TableWriterObject* o_;
    bool held_;
};

void tw_dealloc(PyObject* self) {
    PyRef type = PyRef::steal((PyObject*)Py_TYPE(self));
    auto* t = (TableWriterObject*)self;
    delete t->out;
    delete t->stream;  // releases the producer's arrays
    Py_TYPE(self)->tp_free(self);
}

// The stream struct of a capsule (or of an object's __arrow_c_stream__()).
ArrowArrayStream* stream_of(PyObject* obj, PyRef& capsule) {
    if (PyCapsule_CheckExact(obj)) {
        capsule = PyRef::borrow(obj);
    } else {
        capsule = PyRef::steal(PyObject_CallMethod(obj, "__arrow_c_stream__", nullptr));
        if (!capsule) return nullptr;
    }
    return static_cast<ArrowArrayStream*>(
        PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
}

PyObject* tw_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"stream", "header", "styles"};
        static const ArgSpec spec{"TableWriter", names, 3, 3};
        PyObject* a[3];
        if (!parse_call_args(spec, args, kwargs, a)) return nullptr;
        PyRef capsule;
        ArrowArrayStream* raw = stream_of(a[0], capsule);
        if (!raw) return nullptr;
        if (!raw->release) {
            PyErr_SetString(PyExc_ValueError, "the Arrow stream was consumed already");
            return nullptr;
        }
        table::SheetOutOptions options;
        const int header = PyObject_IsTrue(a[1]);
        if (header < 0) return nullptr;
        options.header = header;
        std::uint32_t styles[4] = {0, 0, 0, 0};
        if (!PyTuple_Check(a[2]) || PyTuple_GET_SIZE(a[2]) != 4) {
            arg_type_error("TableWriter", "styles", "tuple of 4 ints", a[2]);
            return nullptr;
        }
        for (int i = 0; i < 4; ++i) {
            const long v = PyLong_AsLong(PyTuple_GET_ITEM(a[2], i));
            if (v == -1 && PyErr_Occurred()) return nullptr;
            styles[i] = std::uint32_t(v);
        }
        options.date_style = styles[0];
        options.datetime_style = styles[1];
        options.time_style = styles[2];
        options.duration_style = styles[3];
        auto stream = std::make_unique<arrow::ImportedStream>();
        std::string error;
        if (!stream->read(raw, error)) {
            PyErr_SetString(PyExc_TypeError, error.c_str());
            return nullptr;
        }
        auto out = std::make_unique<table::SheetOut>(*stream, options);
        PyRef obj = PyRef::steal(type->tp_alloc(type, 0));
        if (!obj) return nullptr;
        auto* t = (TableWriterObject*)obj.get();
        new (&t->busy) std::atomic<bool>(false);
        t->out = out.release();
        t->stream = stream.release();
        return obj.release();
    });
}

template <class F>
PyObject* chunk_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   const char* fname, F&& next) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"size"};
        const ArgSpec spec{fname, names, 1, 1};
        PyObject* a[1];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        long long size = 0;
        if (!arg_int64(fname, "size", a[0], &size)) return nullptr;
        auto* t = (TableWriterObject*)self;
        Busy busy(t);
        if (!busy.held()) return raise_internal("Already borrowed");
        std::string text;
        text.reserve(std::size_t(size) + 4096);
        bool more = false;
        bool failed = false;
        // Only the writer's own memory and the imported buffers are read here.
        Py_BEGIN_ALLOW_THREADS
        try {
            more = next(*t->out, text, std::size_t(size));
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        Py_END_ALLOW_THREADS
        if (failed) return raise_internal("out of memory");
        if (!more) Py_RETURN_NONE;
        return PyBytes_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
    });
}

PyObject* tw_next_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return chunk_of(self, args, nargs, kw, "next_rows",
                    [](table::SheetOut& o, std::string& s, std::size_t n) { return o.next_rows(s, n); });
}

PyObject* tw_next_strings(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return chunk_of(self, args, nargs, kw, "next_strings", [](table::SheetOut& o, std::string& s,
                                                              std::size_t n) { return o.next_strings(s, n); });
}

PyObject* tw_widths(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"date_chars", "datetime_chars", "time_chars"};
        static const ArgSpec spec{"text_widths", names, 3, 3};
        PyObject* a[3];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        long long c[3];
        for (int i = 0; i < 3; ++i) {
            if (!arg_int64("text_widths", names[i], a[i], &c[i])) return nullptr;
        }
        auto* t = (TableWriterObject*)self;
        Busy busy(t);
        if (!busy.held()) return raise_internal("Already borrowed");
        std::vector<std::int64_t> w;
        Py_BEGIN_ALLOW_THREADS
        w = t->out->text_widths(c[0], c[1], c[2]);
        Py_END_ALLOW_THREADS
        PyRef list = PyRef::steal(PyList_New(Py_ssize_t(w.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < w.size(); ++i) {
            PyObject* v = PyLong_FromLongLong(w[i]);
            if (!v) return nullptr;
            PyList_SET_ITEM(list.get(), Py_ssize_t(i), v);
        }
        return list.release();
    });
}

PyObject* tw_names(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const auto& names = ((TableWriterObject*)self)->stream->names();
        PyRef list = PyRef::steal(PyList_New(Py_ssize_t(names.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < names.size(); ++i) {
            PyRef s = str_of(names[i]);
            if (!s) return nullptr;
            PyList_SET_ITEM(list.get(), Py_ssize_t(i), s.release());
        }
        return list.release();
    });
}

PyObject* tw_formats(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const auto& types = ((TableWriterObject*)self)->stream->types();
        PyRef list = PyRef::steal(PyList_New(Py_ssize_t(types.size())));
        if (!list) return nullptr;
        static const char* const values[] = {"null", "boolean", "int", "int", "float", "string",
                                             "date", "datetime", "time", "duration"};
        for (std::size_t i = 0; i < types.size(); ++i) {
            PyObject* s = PyUnicode_FromString(values[int(types[i].value)]);
            if (!s) return nullptr;
            PyList_SET_ITEM(list.get(), Py_ssize_t(i), s);
        }
        return list.release();
    });
}

PyObject* tw_last_row(PyObject* self, void*) {
    return PyLong_FromLongLong(((TableWriterObject*)self)->out->last_row());
}

PyObject* tw_string_cells(PyObject* self, void*) {
    return PyLong_FromLongLong(((TableWriterObject*)self)->out->string_cells());
}

PyObject* tw_unique_strings(PyObject* self, void*) {
    return PyLong_FromLongLong(((TableWriterObject*)self)->out->unique_strings());
}

PyMethodDef tw_methods[] = {
    {"next_rows", (PyCFunction)(void (*)(void))tw_next_rows, METH_FASTCALL | METH_KEYWORDS,
     "next_rows($self, size)\n--\n\nThe next <row> elements, about `size` bytes, or None."},
    {"next_strings", (PyCFunction)(void (*)(void))tw_next_strings, METH_FASTCALL | METH_KEYWORDS,
     "next_strings($self, size)\n--\n\nThe next shared-string items, or None."},
    {"text_widths", (PyCFunction)(void (*)(void))tw_widths, METH_FASTCALL | METH_KEYWORDS,
     "text_widths($self, date_chars, datetime_chars, time_chars)\n--\n\n"
     "The longest text of each column, in characters."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef tw_getset[] = {
    {"names", tw_names, nullptr, nullptr, nullptr},
    {"types", tw_formats, nullptr, nullptr, nullptr},
    {"last_row", tw_last_row, nullptr, nullptr, nullptr},
    {"string_cells", tw_string_cells, nullptr, nullptr, nullptr},
    {"unique_strings", tw_unique_strings, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tw_slots[] = {
    {Py_tp_doc, (void*)"TableWriter(stream, header, styles)\n--\n\n"
                       "Arrow record batches written as worksheet rows and shared strings."},
    {Py_tp_new, (void*)tw_new},
    {Py_tp_dealloc, (void*)tw_dealloc},
    {Py_tp_methods, tw_methods},
    {Py_tp_getset, tw_getset},
    {0, nullptr},
};

PyType_Spec tw_spec = {
    "tavrinex._tavrinex.TableWriter",
    sizeof(TableWriterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    tw_slots,
};

}  // namespace

PyTypeObject* table_writer_type() { return make_type_once(g_table_writer_type, &tw_spec); }

}  // namespace tvx
