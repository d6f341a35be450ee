#include "lib/errors.h"

#include "lib/type_once.h"

#include <atomic>
#include <string>

namespace tvx {

namespace {

// The two exception classes live as long as the process: they are created
// once and never released, like static types.
std::atomic<PyObject*> g_native_fallback{nullptr};
std::atomic<PyObject*> g_internal_error{nullptr};

constexpr const char kFallbackDoc[] =
    "The native engine cannot reproduce corvatel's behaviour for this input; "
    "the pure Python implementation must be used.";

PyObject* set_fallback(const char* prefix, const char* message) noexcept {
    std::string text;
    try {
        text.append(prefix);
        if (message) text.append(message);
    } catch (...) {
        return PyErr_NoMemory();
    }
    PyErr_SetString(native_fallback_type(), text.c_str());
    return nullptr;
}

PyObject* new_internal_error(const void*) {
    return PyErr_NewExceptionWithDoc(
        "_tavrinex.InternalError",
        "An invariant of the native engine was violated; this is a bug, not a fallback.",
        PyExc_BaseException, nullptr);
}

PyObject* new_native_fallback(const void*) {
    return PyErr_NewExceptionWithDoc("_tavrinex.NativeFallback", kFallbackDoc, PyExc_Exception,
                                     nullptr);
}

}  // namespace

int init_error_types() noexcept {
    // The internal-failure class comes first so that a failure to create
    // NativeFallback can be reported through it.
    if (!make_once(g_internal_error, new_internal_error, nullptr)) return -1;
    if (!make_once(g_native_fallback, new_native_fallback, nullptr)) {
        PyErr_Clear();
        raise_internal("Failed to initialize new exception type.");
        return -1;
    }
    return 0;
}

void adopt_native_fallback(PyObject* cls) noexcept { publish_once(g_native_fallback, cls); }

PyObject* native_fallback_type() noexcept {
    return g_native_fallback.load(std::memory_order_acquire);
}
PyObject* internal_error_type() noexcept {
    return g_internal_error.load(std::memory_order_acquire);
}

PyObject* raise_read_error(const ReadError& e) noexcept {
    switch (e.kind) {
        case ErrKind::Malformed:
        case ErrKind::Unsupported:
            return set_fallback(read_error_prefix(e.kind), e.message);
        case ErrKind::Source:
            if (!PyErr_Occurred()) return raise_internal("source error without an exception");
            return nullptr;
        case ErrKind::None:
            break;
    }
    return raise_internal("raise_read_error called without an error");
}

PyObject* raise_fallback(const char* message) noexcept { return set_fallback("", message); }

PyObject* raise_internal(const char* message) noexcept {
    PyObject* cls = internal_error_type();
    if (!cls) cls = PyExc_SystemError;
    PyErr_SetString(cls, message);
    return nullptr;
}

PyObject* raise_formula_error(const FormulaError& e, PyObject* tokenizer_error,
                              PyObject* translator_error) noexcept {
    PyObject* cls = nullptr;
    switch (e.kind) {
        case FormulaErrKind::Tokenizer:
            cls = tokenizer_error;
            break;
        case FormulaErrKind::Translator:
            cls = translator_error;
            break;
        case FormulaErrKind::PopEmpty:
            PyErr_SetString(PyExc_IndexError, "pop from empty list");
            return nullptr;
        case FormulaErrKind::NeedPython:
            PyErr_SetString(PyExc_TypeError, "internal: NeedPython");
            return nullptr;
        case FormulaErrKind::None:
            return raise_internal("raise_formula_error called without an error");
    }
    if (!cls) return raise_internal("formula error class missing");
    PyRef msg = PyRef::steal(
        PyUnicode_DecodeUTF8(e.message.data(), (Py_ssize_t)e.message.size(), "surrogatepass"));
    if (!msg) return nullptr;
    PyRef exc = PyRef::steal(PyObject_CallOneArg(cls, msg.get()));
    if (!exc) return nullptr;
    if (!PyExceptionInstance_Check(exc.get())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return nullptr;
    }
    PyErr_SetRaisedException(exc.release());
    return nullptr;
}

}  // namespace tvx
