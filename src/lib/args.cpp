#include "lib/args.h"

namespace tvx {

namespace {

PyObject* find_keyword(PyObject* kwnames, PyObject* const* kwstack, const char* name) noexcept {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; i++) {
        if (PyUnicode_EqualToUTF8(PyTuple_GET_ITEM(kwnames, i), name)) return kwstack[i];
    }
    return nullptr;
}

bool known_keyword(const ArgSpec& spec, PyObject* key) noexcept {
    for (int i = 0; i < spec.count; i++) {
        if (PyUnicode_EqualToUTF8(key, spec.names[i])) return true;
    }
    return false;
}

}  // namespace

bool parse_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) noexcept {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    const int maxargs = spec.count;
    if (nkw == 0 && spec.required <= nargs && nargs <= maxargs) {
        for (Py_ssize_t i = 0; i < nargs; i++) out[i] = args[i];
        for (int i = (int)nargs; i < maxargs; i++) out[i] = nullptr;
        return true;
    }
    if (nargs + nkw > maxargs) {
        // "keyword " when nothing was positional, as CPython words it.
        PyErr_Format(PyExc_TypeError, "%.200s() takes at most %d %sargument%s (%zd given)",
                     spec.fname, maxargs, nargs == 0 ? "keyword " : "", maxargs == 1 ? "" : "s",
                     nargs + nkw);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; i++) out[i] = args[i];
    PyObject* const* kwstack = args + nargs;
    Py_ssize_t left = nkw;
    for (int i = (int)nargs; i < maxargs; i++) {
        PyObject* cur = nullptr;
        if (left) {
            cur = find_keyword(kwnames, kwstack, spec.names[i]);
        } else if (i >= spec.required) {
            for (int j = i; j < maxargs; j++) out[j] = nullptr;
            break;
        }
        out[i] = cur;
        if (cur) {
            --left;
        } else if (i < spec.required) {
            PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%s' (pos %d)",
                         spec.fname, spec.names[i], i + 1);
            return false;
        }
    }
    if (left > 0) {
        for (Py_ssize_t i = 0; i < nargs; i++) {
            if (find_keyword(kwnames, kwstack, spec.names[i])) {
                PyErr_Format(PyExc_TypeError,
                             "argument for %.200s() given by name ('%s') and position (%zd)",
                             spec.fname, spec.names[i], i + 1);
                return false;
            }
        }
        for (Py_ssize_t j = 0; j < nkw; j++) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            if (!known_keyword(spec, key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%S'",
                             spec.fname, key);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError, "invalid keyword argument for %.200s()", spec.fname);
        return false;
    }
    return true;
}

bool arg_type_error(const char* fname, const char* name, const char* expected,
                    PyObject* got) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() argument '%s' must be %.50s, not %.50s", fname, name,
                 expected, got == Py_None ? "None" : Py_TYPE(got)->tp_name);
    return false;
}

bool arg_int64(const char* fname, const char* name, PyObject* obj, long long* out) noexcept {
    if (!PyLong_Check(obj)) return arg_type_error(fname, name, "int", obj);
    long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

bool no_args(const char* fname, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", fname);
        return false;
    }
    if (nargs) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", fname, nargs);
        return false;
    }
    return true;
}

}  // namespace tvx

namespace tvx {

bool parse_call_args(const ArgSpec& spec, PyObject* args, PyObject* kwargs,
                     PyObject** out) noexcept {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) return parse_args(spec, ((PyTupleObject*)args)->ob_item, nargs, nullptr, out);
    PyRef kwnames = PyRef::steal(PyTuple_New(nkw));
    if (!kwnames) return false;
    // Values stay borrowed from the dict, which the caller keeps alive.
    PyObject** stack = (PyObject**)PyMem_Malloc(sizeof(PyObject*) * (size_t)(nargs + nkw));
    if (!stack) {
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; i++) stack[i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t pos = 0, i = 0;
    PyObject *k, *v;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
        PyTuple_SET_ITEM(kwnames.get(), i, Py_NewRef(k));
        stack[nargs + i++] = v;
    }
    bool ok = parse_args(spec, stack, nargs, kwnames.get(), out);
    PyMem_Free(stack);
    return ok;
}

}  // namespace tvx
