// Owned Python references.
//
// PyRef owns exactly one strong reference (or none). A raw PyObject* in the
// rest of the engine is borrowed by definition; anything the code must
// release is held in a PyRef.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>
#include <utility>

namespace tvx {

class PyRef {
public:
    PyRef() noexcept = default;
    PyRef(std::nullptr_t) noexcept {}

    // Takes over a new reference (the result of a C-API call that returns
    // one); null stays null, so `PyRef::steal(PyLong_FromLong(x))` followed
    // by a null test is the usual pattern.
    static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
    // Adds a reference to a borrowed pointer.
    static PyRef borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return PyRef(p);
    }

    PyRef(const PyRef& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    PyRef(PyRef&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    PyRef& operator=(const PyRef& other) noexcept {
        PyRef tmp(other);
        swap(tmp);
        return *this;
    }
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (for returning to CPython).
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    // A new reference for the caller; this PyRef keeps its own.
    [[nodiscard]] PyObject* new_ref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }
    void reset() noexcept {
        PyObject* old = p_;
        p_ = nullptr;
        Py_XDECREF(old);
    }
    void swap(PyRef& other) noexcept { std::swap(p_, other.p_); }

private:
    explicit PyRef(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Saves the raised exception and restores it on scope exit unless taken;
// used where cleanup code must call Python while an error is pending.
class PendingError {
public:
    PendingError() noexcept : exc_(PyRef::steal(PyErr_GetRaisedException())) {}
    ~PendingError() {
        if (exc_) PyErr_SetRaisedException(exc_.release());
    }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

private:
    PyRef exc_;
};

// A new str decoded from UTF-8 (strict); null with an exception set.
inline PyRef str_of(std::string_view s) {
    return PyRef::steal(PyUnicode_DecodeUTF8(s.data(), (Py_ssize_t)s.size(), nullptr));
}

// fn(str_of(text)); null with an exception set.
inline PyRef call_with_text(PyObject* fn, std::string_view text) {
    PyRef arg = str_of(text);
    if (!arg) return {};
    return PyRef::steal(PyObject_CallOneArg(fn, arg.get()));
}

// obj.name(arg) with exactly one argument, whatever `arg` is (a tuple is
// not spread); null with an exception set.
inline PyRef call_method_one(PyObject* obj, const char* name, PyObject* arg) {
    PyRef method = PyRef::steal(PyUnicode_InternFromString(name));
    if (!method) return {};
    return PyRef::steal(PyObject_CallMethodOneArg(obj, method.get(), arg));
}

}  // namespace tvx
