// value_text reads Python objects through exact type tests and the C API's
// own extractors; the digits come from the shared number-text routines.
#include "writer/value_text.h"

#include "utils/utils.h"

#include <cmath>

namespace tvx {

void value_text(PyObject* obj, ValueText& out) noexcept {
    out.from_str = false;
    out.data = out.buf;
    out.size = 0;
    if (obj == Py_None) {
        out.kind = ValueTextKind::Absent;
        return;
    }
    out.kind = ValueTextKind::Text;
    if (PyUnicode_CheckExact(obj)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
        if (utf8 == nullptr) {  // lone surrogates
            PyErr_Clear();
            out.kind = ValueTextKind::Unhandled;
            return;
        }
        out.from_str = true;
        out.data = utf8;
        out.size = static_cast<std::size_t>(size);
        return;
    }
    if (PyBool_Check(obj)) {  // bool cannot be subclassed: the test is exact
        out.buf[0] = obj == Py_True ? '1' : '0';
        out.size = 1;
        return;
    }
    if (PyLong_CheckExact(obj)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            out.kind = ValueTextKind::Unhandled;
            return;
        }
        out.size = int_text(v, out.buf);
        return;
    }
    if (PyFloat_CheckExact(obj)) {
        const double d = PyFloat_AS_DOUBLE(obj);
        if (std::isfinite(d)) out.size = float_text(d, out.buf);  // else the empty text
        return;
    }
    out.kind = ValueTextKind::Unhandled;
}

}  // namespace tvx
