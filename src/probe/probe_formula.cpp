// Probe entries for the formula tokenizer and templates. Failures come back
// as ("error", kind, message) tuples so tests can compare them with the
// Python implementation's exceptions.
#include "probe/probe.h"

#include "formula/formula.h"
#include "lib/errors.h"

#include <optional>
#include <string>
#include <vector>

namespace tvx::probe {

namespace {

const char* kind_name(FormulaErrKind k) {
    switch (k) {
        case FormulaErrKind::Tokenizer:
            return "Tokenizer";
        case FormulaErrKind::Translator:
            return "Translator";
        case FormulaErrKind::PopEmpty:
            return "PopEmpty";
        case FormulaErrKind::NeedPython:
            return "NeedPython";
        case FormulaErrKind::None:
            break;
    }
    return "None";
}

PyObject* error_tuple(const FormulaError& e) {
    return Py_BuildValue(
        "(ss"
        "s#)",
        "error", kind_name(e.kind), e.message.data(), (Py_ssize_t)e.message.size());
}

PyObject* text_object(const std::string& s) {
    return PyUnicode_FromStringAndSize(s.data(), (Py_ssize_t)s.size());
}

bool str_arg(PyObject* obj, std::string_view& out) {
    Py_ssize_t len = 0;
    const char* p = PyUnicode_AsUTF8AndSize(obj, &len);
    if (!p) return false;
    out = {p, (std::size_t)len};
    return true;
}

// (row, column) or None.
bool pos_arg(PyObject* obj, std::optional<CellPos>& out) {
    if (obj == Py_None) {
        out.reset();
        return true;
    }
    long long row = 0, col = 0;
    if (!PyArg_ParseTuple(obj, "LL", &row, &col)) return false;
    out = CellPos{row, col};
    return true;
}

// Tokenizes `formula` and builds its template at `origin`; false with a
// Python error for bad arguments, `err` for formula failures.
bool template_from_args(PyObject* formula, PyObject* origin, FormulaTemplate& t,
                        FormulaError& err) {
    std::string_view text;
    std::optional<CellPos> o;
    if (!str_arg(formula, text) || !pos_arg(origin, o)) return false;
    if (!o) {
        PyErr_SetString(PyExc_TypeError, "origin must be a (row, column) pair");
        return false;
    }
    std::vector<FormulaToken> tokens;
    err = tokenize(text, tokens);
    if (!err) t = build_template(tokens, o->row, o->col);
    return true;
}

// tokenize(formula) -> [(value, type, subtype), ...] | ("error", kind, message)
PyObject* probe_tokenize(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        std::string_view text;
        if (!str_arg(arg, text)) return nullptr;
        std::vector<FormulaToken> tokens;
        if (auto e = tokenize(text, tokens)) return error_tuple(e);
        PyRef list = PyRef::steal(PyList_New((Py_ssize_t)tokens.size()));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            const FormulaToken& t = tokens[i];
            PyObject* item = Py_BuildValue("(s#ii)", t.value.data(), (Py_ssize_t)t.value.size(),
                                           (int)t.type, (int)t.subtype);
            if (!item) return nullptr;
            PyList_SET_ITEM(list.get(), (Py_ssize_t)i, item);
        }
        return list.release();
    });
}

// translate(formula, origin, dest) -> ("ok", text) | ("error", kind, message)
PyObject* probe_translate(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *formula, *origin, *dest_obj;
        if (!PyArg_ParseTuple(args, "OOO", &formula, &origin, &dest_obj)) return nullptr;
        FormulaTemplate t;
        FormulaError err;
        if (!template_from_args(formula, origin, t, err)) return nullptr;
        std::optional<CellPos> dest;
        if (!pos_arg(dest_obj, dest)) return nullptr;
        if (err) return error_tuple(err);
        std::string out;
        if (auto e = render(t, dest, out)) return error_tuple(e);
        PyRef text = PyRef::steal(text_object(out));
        if (!text) return nullptr;
        return Py_BuildValue("(sO)", "ok", text.get());
    });
}

// render_many(formula, origin, dests) -> list of text | ("error", ...)
// One template rendered to every destination in turn.
PyObject* probe_render_many(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *formula, *origin, *dests;
        if (!PyArg_ParseTuple(args, "OOO", &formula, &origin, &dests)) return nullptr;
        FormulaTemplate t;
        FormulaError err;
        if (!template_from_args(formula, origin, t, err)) return nullptr;
        if (err) return error_tuple(err);
        PyRef seq = PyRef::steal(PySequence_Fast(dests, "dests must be a sequence"));
        if (!seq) return nullptr;
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        PyRef list = PyRef::steal(PyList_New(n));
        if (!list) return nullptr;
        std::string out;
        for (Py_ssize_t i = 0; i < n; ++i) {
            std::optional<CellPos> dest;
            if (!pos_arg(PySequence_Fast_GET_ITEM(seq.get(), i), dest)) return nullptr;
            out.clear();
            FormulaError e = render(t, dest, out);
            PyObject* item = e ? error_tuple(e) : text_object(out);
            if (!item) return nullptr;
            PyList_SET_ITEM(list.get(), i, item);
        }
        return list.release();
    });
}

// render_block(formula, origin, first, count) -> (ok, failed, bytes, last_text)
// Renders one template to `count` cells down the column of `first`
// without building Python objects per cell: the figure is rendering alone.
PyObject* probe_render_block(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *formula, *origin;
        long long row = 0, col = 0, count = 0;
        if (!PyArg_ParseTuple(args, "OO(LL)L", &formula, &origin, &row, &col, &count)) {
            return nullptr;
        }
        FormulaTemplate t;
        FormulaError err;
        if (!template_from_args(formula, origin, t, err)) return nullptr;
        if (err) return error_tuple(err);
        std::string out;
        long long ok = 0, failed = 0;
        unsigned long long bytes = 0;
        for (long long i = 0; i < count; ++i) {
            out.clear();
            if (render(t, CellPos{row + i, col}, out)) {
                ++failed;
            } else {
                ++ok;
                bytes += out.size();
            }
        }
        PyRef text = PyRef::steal(text_object(out));
        if (!text) return nullptr;
        return Py_BuildValue("(LLKO)", ok, failed, bytes, text.get());
    });
}

// raise_translate(formula, origin, dest, TokenizerError, TranslatorError) -> str
// Failures are raised through the engine's formula error mapping.
PyObject* probe_raise_translate(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *formula, *origin, *dest_obj, *tok_cls, *tr_cls;
        if (!PyArg_ParseTuple(args, "OOOOO", &formula, &origin, &dest_obj, &tok_cls, &tr_cls)) {
            return nullptr;
        }
        std::string_view text;
        std::optional<CellPos> o, dest;
        if (!str_arg(formula, text) || !pos_arg(origin, o) || !pos_arg(dest_obj, dest)) {
            return nullptr;
        }
        if (!o) {
            PyErr_SetString(PyExc_TypeError, "origin must be a (row, column) pair");
            return nullptr;
        }
        std::string out;
        if (auto e = translate(text, *o, dest, out)) return raise_formula_error(e, tok_cls, tr_cls);
        return text_object(out);
    });
}

}  // namespace

PyMethodDef formula_methods[] = {
    {"tokenize", probe_tokenize, METH_O, nullptr},
    {"translate", probe_translate, METH_VARARGS, nullptr},
    {"render_many", probe_render_many, METH_VARARGS, nullptr},
    {"render_block", probe_render_block, METH_VARARGS, nullptr},
    {"raise_translate", probe_raise_translate, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tvx::probe
