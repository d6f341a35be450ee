#include "probe/probe.h"

#include "ftemplate/ftemplate.h"
#include "lib/args.h"
#include "lib/errors.h"
#include "lib/host.h"
#include "probe/sheet_record.h"

#include <string>

namespace tvx::probe {

namespace {

// formula_templates([(text, row, column), ...]) -> (numbers, count, rendered)
// Interns each text in one template table; numbers holds the template
// number or None, rendered the text each numbered cell reads back.
PyObject* formula_templates(PyObject*, PyObject* cells) {
    return guarded([&]() -> PyObject* {
        PyRef seq = PyRef::steal(PySequence_Fast(cells, "cells must be a sequence"));
        if (!seq) return nullptr;
        FormulaTemplates templates;
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        PyRef numbers = PyRef::steal(PyList_New(n));
        PyRef rendered = PyRef::steal(PyList_New(n));
        if (!numbers || !rendered) return nullptr;
        for (Py_ssize_t i = 0; i < n; i++) {
            const char* text = nullptr;
            Py_ssize_t len = 0;
            long long row = 0, col = 0;
            if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq.get(), i), "s#LL", &text, &len, &row,
                                  &col)) {
                return nullptr;
            }
            std::uint32_t num = templates.intern({text, (std::size_t)len}, row, col);
            PyRef out_num = num == FormulaTemplates::kNone
                                ? PyRef::borrow(Py_None)
                                : PyRef::steal(PyLong_FromUnsignedLong(num));
            PyRef out_text = PyRef::borrow(Py_None);
            if (num != FormulaTemplates::kNone) {
                std::string s;
                if (!templates.render(num, row, col, s)) return raise_internal("render failed");
                out_text =
                    PyRef::steal(PyUnicode_FromStringAndSize(s.data(), (Py_ssize_t)s.size()));
            }
            if (!out_num || !out_text) return nullptr;
            PyList_SET_ITEM(numbers.get(), i, out_num.release());
            PyList_SET_ITEM(rendered.get(), i, out_text.release());
        }
        return Py_BuildValue("(OnO)", numbers.get(), (Py_ssize_t)templates.size(), rendered.get());
    });
}

PyRef value_tuple(const record::Value& v) {
    PyRef value;
    if (v.form == "int" || v.form == "shared" || v.form == "date_int") {
        value = PyRef::steal(PyLong_FromLongLong(v.i));
    } else if (v.form == "bool") {
        value = PyRef::borrow(v.i ? Py_True : Py_False);
    } else if (v.form == "float" || v.form == "date_float") {
        value = PyRef::steal(PyFloat_FromDouble(v.f));
    } else if (v.form == "none") {
        value = PyRef::borrow(Py_None);
    } else {
        value = str_of(v.text);
    }
    if (!value) return {};
    return PyRef::steal(Py_BuildValue("(sOsss)", v.form.c_str(), value.get(), v.host.c_str(),
                                      v.date.c_str(), v.data_type.c_str()));
}

// sheet_events(data, parser, read_size=65536) -> (events, error)
// The sheet parser run without any host: the options come from the parser
// object; events are ("element", bytes), ("row", row, attrs or None) and
// ("cell", row, column, style_id or None (unusual), value, formula_form,
// formula_text, cached or None), each value (form, value, host step, date
// step, data type). `error` is None or the fallback message that ended it.
PyObject* sheet_events(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"data", "parser", "read_size"};
        static const ArgSpec spec{"sheet_events", names, 3, 2};
        PyObject* a[3] = {nullptr, nullptr, nullptr};
        if (!parse_args(spec, args, nargs, kw, a)) return nullptr;
        if (!PyBytes_Check(a[0])) {
            arg_type_error("sheet_events", "data", "bytes", a[0]);
            return nullptr;
        }
        std::size_t chunk = READ_CHUNK;
        if (a[2]) {
            long long n = 0;
            if (!arg_int64("sheet_events", "read_size", a[2], &n)) return nullptr;
            chunk = n > 0 ? (std::size_t)n : 1;
        }
        ParserOptions options;
        if (!options.load(a[1])) return nullptr;
        MemorySource src(PyBytes_AS_STRING(a[0]), (std::size_t)PyBytes_GET_SIZE(a[0]), chunk);
        record::Sink sink;
        ReadError err = record::parse(src, options.sheet, sink);
        PyRef out = PyRef::steal(PyList_New(0));
        if (!out) return nullptr;
        for (const record::Event& e : sink.events) {
            PyRef t;
            if (e.kind == 'E') {
                t = PyRef::steal(Py_BuildValue("(sy#)", "element", e.bytes.data(),
                                               (Py_ssize_t)e.bytes.size()));
            } else if (e.kind == 'R') {
                PyRef attrs = PyRef::borrow(Py_None);
                if (e.has_attrs) {
                    attrs = PyRef::steal(PyDict_New());
                    if (!attrs) return nullptr;
                    for (const auto& [k, v] : e.attrs) {
                        PyRef ks = str_of(k), vs = str_of(v);
                        if (!ks || !vs || PyDict_SetItem(attrs.get(), ks.get(), vs.get()) < 0)
                            return nullptr;
                    }
                }
                t = PyRef::steal(Py_BuildValue("(sLO)", "row", (long long)e.row, attrs.get()));
            } else {
                PyRef value = value_tuple(e.value);
                PyRef cached = e.has_cached ? value_tuple(e.cached) : PyRef::borrow(Py_None);
                PyRef style = e.unusual ? PyRef::borrow(Py_None)
                                        : PyRef::steal(PyLong_FromLongLong(e.style));
                if (!value || !cached || !style) return nullptr;
                t = PyRef::steal(Py_BuildValue("(sLLOOss#O)", "cell", (long long)e.row,
                                               (long long)e.column, style.get(), value.get(),
                                               e.formula_form.c_str(), e.formula_text.data(),
                                               (Py_ssize_t)e.formula_text.size(), cached.get()));
            }
            if (!t || PyList_Append(out.get(), t.get()) < 0) return nullptr;
        }
        PyRef message = PyRef::borrow(Py_None);
        if (err) {
            std::string m = std::string(read_error_prefix(err.kind)) + (err.message ? err.message : "");
            message = str_of(m);
            if (!message) return nullptr;
        }
        return PyTuple_Pack(2, out.get(), message.get());
    });
}

}  // namespace

PyMethodDef sheet_methods[] = {
    {"formula_templates", formula_templates, METH_O, nullptr},
    {"sheet_events", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sheet_events)),
     METH_FASTCALL | METH_KEYWORDS, "sheet_events(data, parser, read_size=65536)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tvx::probe
