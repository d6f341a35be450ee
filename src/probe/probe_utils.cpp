// Probe entry points for the utilities: thin wrappers that turn Python
// arguments into the byte strings and numbers the conversions take.
#include "probe/probe.h"

#include "lib/errors.h"
#include "utils/utils.h"
#include "writer/value_text.h"

#include <cmath>
#include <string_view>

namespace tvx::probe {

namespace {

// UTF-8 of a str argument; false with TypeError/UnicodeError set otherwise.
bool text_arg(PyObject* arg, const char* fname, std::string_view& out) {
    if (!PyUnicode_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "%s() argument must be str, not %.100s", fname,
                     Py_TYPE(arg)->tp_name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(arg, &size);
    if (data == nullptr) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

PyObject* str_of(const char* data, std::size_t size) {
    return PyUnicode_FromStringAndSize(data, static_cast<Py_ssize_t>(size));
}

PyObject* probe_float_text(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        const double x = PyFloat_AsDouble(arg);
        if (x == -1.0 && PyErr_Occurred()) return nullptr;
        if (!std::isfinite(x)) {
            PyErr_SetString(PyExc_ValueError, "float_text() takes a finite float");
            return nullptr;
        }
        char buf[32];
        return str_of(buf, float_text(x, buf));
    });
}

PyObject* probe_int_text(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        const long long v = PyLong_AsLongLong(arg);
        if (v == -1 && PyErr_Occurred()) return nullptr;
        char buf[32];
        return str_of(buf, int_text(v, buf));
    });
}

PyObject* probe_parse_coordinate(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        std::string_view text;
        if (!text_arg(arg, "parse_coordinate", text)) return nullptr;
        std::int64_t row = 0;
        std::uint32_t column = 0;
        if (!parse_coordinate(text, row, column)) Py_RETURN_NONE;
        return Py_BuildValue("(LI)", static_cast<long long>(row), static_cast<unsigned>(column));
    });
}

PyObject* probe_parse_fast_int(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        std::string_view text;
        if (!text_arg(arg, "parse_fast_int", text)) return nullptr;
        std::int64_t value = 0;
        if (!parse_fast_int(text, value)) Py_RETURN_NONE;
        return PyLong_FromLongLong(value);
    });
}

// Both writers: the fixed 8-byte one where it applies, else the appending one.
PyObject* probe_column_letters(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        const unsigned long long n = PyLong_AsUnsignedLongLong(arg);
        if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
        if (n == 0) {
            PyErr_SetString(PyExc_ValueError, "column_letters() takes a column >= 1");
            return nullptr;
        }
        char buf[8];
        const std::size_t len = column_letters(n, buf);
        if (len != 0) return str_of(buf, len);
        std::string long_letters;
        append_column_letters(long_letters, n);
        return str_of(long_letters.data(), long_letters.size());
    });
}

PyObject* probe_append_column_letters(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        const char* prefix = nullptr;
        Py_ssize_t prefix_len = 0;
        unsigned long long n = 0;
        if (!PyArg_ParseTuple(args, "s#K:append_column_letters", &prefix, &prefix_len, &n))
            return nullptr;
        std::string out(prefix, static_cast<std::size_t>(prefix_len));
        append_column_letters(out, n);
        return str_of(out.data(), out.size());
    });
}

PyObject* probe_py_strip(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        std::string_view text;
        if (!text_arg(arg, "py_strip", text)) return nullptr;
        const std::string_view s = py_strip(text);
        return str_of(s.data(), s.size());
    });
}

PyObject* probe_is_float_literal(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        std::string_view text;
        if (!text_arg(arg, "is_float_literal", text)) return nullptr;
        return PyBool_FromLong(is_float_literal(text));
    });
}

PyObject* probe_classify_operand(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        std::string_view text;
        if (!text_arg(arg, "classify_operand", text)) return nullptr;
        const char* name = "NeedPython";
        switch (classify_operand(text)) {
            case OperandKind::Text:
                name = "Text";
                break;
            case OperandKind::Number:
                name = "Number";
                break;
            case OperandKind::Logical:
                name = "Logical";
                break;
            case OperandKind::Error:
                name = "Error";
                break;
            case OperandKind::Range:
                name = "Range";
                break;
            case OperandKind::NeedPython:
                break;
        }
        return PyUnicode_FromString(name);
    });
}

PyObject* probe_value_text(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        ValueText vt;
        value_text(arg, vt);
        // value_text must leave no exception behind; report it if it did.
        if (PyErr_Occurred()) return nullptr;
        switch (vt.kind) {
            case ValueTextKind::Absent:
                return Py_BuildValue("(sO)", "absent", Py_None);
            case ValueTextKind::Unhandled:
                return Py_BuildValue("(sO)", "unhandled", Py_None);
            case ValueTextKind::Text:
                break;
        }
        // Read through a copy: callers keep ValueTexts in their own records.
        const ValueText copy = vt;
        const std::string_view t = copy.text();
        PyRef text = PyRef::steal(str_of(t.data(), t.size()));
        if (!text) return nullptr;
        return Py_BuildValue("(sO)", "text", text.get());
    });
}

// Formats every float of a list natively and returns the total text length:
// the per-value cost without a Python call per value, for the benchmark.
PyObject* probe_float_text_bulk(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        if (!PyList_CheckExact(arg)) {
            PyErr_SetString(PyExc_TypeError, "float_text_bulk() takes a list of floats");
            return nullptr;
        }
        std::size_t total = 0;
        char buf[32];
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(arg); ++i) {
            PyRef ref = PyRef::steal(PyList_GetItemRef(arg, i));
            if (!ref) return nullptr;
            PyObject* item = ref.get();
            if (!PyFloat_CheckExact(item) || !std::isfinite(PyFloat_AS_DOUBLE(item))) {
                PyErr_SetString(PyExc_TypeError, "float_text_bulk() takes finite floats");
                return nullptr;
            }
            total += float_text(PyFloat_AS_DOUBLE(item), buf);
        }
        return PyLong_FromSize_t(total);
    });
}

}  // namespace

PyMethodDef utils_methods[] = {
    {"float_text", probe_float_text, METH_O, "float_text(x) -> the text of '%.16g' % x"},
    {"float_text_bulk", probe_float_text_bulk, METH_O,
     "float_text_bulk(floats) -> total length of their texts"},
    {"int_text", probe_int_text, METH_O, "int_text(v) -> the text of a signed 64-bit int"},
    {"parse_coordinate", probe_parse_coordinate, METH_O,
     "parse_coordinate(text) -> (row, column) or None"},
    {"parse_fast_int", probe_parse_fast_int, METH_O, "parse_fast_int(text) -> int or None"},
    {"column_letters", probe_column_letters, METH_O, "column_letters(n) -> letters of column n"},
    {"append_column_letters", probe_append_column_letters, METH_VARARGS,
     "append_column_letters(prefix, n) -> prefix followed by the letters of n"},
    {"py_strip", probe_py_strip, METH_O, "py_strip(text) -> text without str.strip() spaces"},
    {"is_float_literal", probe_is_float_literal, METH_O,
     "is_float_literal(text) -> whether float(text) succeeds"},
    {"classify_operand", probe_classify_operand, METH_O,
     "classify_operand(text) -> Text, Number, Logical, Error, Range or NeedPython"},
    {"value_text", probe_value_text, METH_O,
     "value_text(obj) -> ('absent', None), ('text', str) or ('unhandled', None)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tvx::probe
