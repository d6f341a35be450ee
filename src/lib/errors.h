// The mapping of the engine's error values (core/errors.h) to Python
// exceptions, and the error boundary of entry points. A Source error here
// means Python code the engine called has raised: the exception is set in
// the thread state and is passed on unchanged. Only this file's functions
// turn error values into Python exceptions.
#pragma once

#include "core/errors.h"
#include "lib/pyref.h"

#include <cstdint>
#include <exception>
#include <new>
#include <string>

namespace tvx {

// Created once by the module's execution slot (see module.cpp).
PyObject* native_fallback_type() noexcept;
PyObject* internal_error_type() noexcept;
int init_error_types() noexcept;
// Used by the probe module to share the engine module's class.
void adopt_native_fallback(PyObject* cls) noexcept;

// Sets the Python exception for `e` and returns nullptr. Source errors
// leave the pending exception as it is.
PyObject* raise_read_error(const ReadError& e) noexcept;
// NativeFallback with a message given directly ("style index", ...).
PyObject* raise_fallback(const char* message) noexcept;
// The internal-failure exception (derived from BaseException).
PyObject* raise_internal(const char* message) noexcept;
// Maps a formula error; the host's exception classes come from `helpers`.
PyObject* raise_formula_error(const FormulaError& e, PyObject* tokenizer_error,
                              PyObject* translator_error) noexcept;

// Runs `body` (returning a new reference or nullptr with an exception set)
// and turns any C++ exception into the internal failure, so that nothing
// C++ escapes into CPython.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return raise_internal("out of memory");
    } catch (const std::exception& ex) {
        return raise_internal(ex.what());
    } catch (...) {
        return raise_internal("unknown internal failure");
    }
}

// Same for entry points returning int (type slots such as mp_ass_subscript).
template <class F>
int guarded_int(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        raise_internal("out of memory");
    } catch (const std::exception& ex) {
        raise_internal(ex.what());
    } catch (...) {
        raise_internal("unknown internal failure");
    }
    return -1;
}

// Entry points of objects: `body` runs inside a critical section on `obj`
// (free-threaded builds serialise on the object; the default build pays
// nothing) and inside the error boundary, so no C++ exception can skip
// the end of the critical section.
template <class F>
auto with_critical_section(PyObject* obj, F&& body) noexcept -> decltype(body()) {
    static_assert(noexcept(body()), "the body must not throw");
    decltype(body()) result;
    (void)obj;  // unused by the default build's macros
    Py_BEGIN_CRITICAL_SECTION(obj);
    result = body();
    Py_END_CRITICAL_SECTION();
    return result;
}

template <class F>
PyObject* guarded_locked(PyObject* obj, F&& body) noexcept {
    return with_critical_section(obj, [&]() noexcept { return guarded(body); });
}

template <class F>
int guarded_int_locked(PyObject* obj, F&& body) noexcept {
    return with_critical_section(obj, [&]() noexcept { return guarded_int(body); });
}

// The same with critical sections on two objects at once (an iterator and
// the container it walks).
template <class F>
PyObject* guarded_locked2(PyObject* a, PyObject* b, F&& body) noexcept {
    PyObject* result;
    (void)a, (void)b;
    Py_BEGIN_CRITICAL_SECTION2(a, b);
    result = guarded(body);
    Py_END_CRITICAL_SECTION2();
    return result;
}

}  // namespace tvx
