// Argument extraction for METH_FASTCALL | METH_KEYWORDS entry points, with
// CPython's own wording for missing, surplus, duplicated and unexpected
// arguments. Every parameter is positional-or-keyword.
#pragma once

#include "lib/pyref.h"

namespace tvx {

struct ArgSpec {
    const char* fname;         // "bind_cells"
    const char* const* names;  // parameter names, in order
    int count;                 // number of parameters
    int required;              // the first `required` ones must be given
};

// Fills out[0..count) with borrowed references (nullptr for an optional
// argument not given). Returns false with TypeError set.
bool parse_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) noexcept;

// TypeError "fname() argument 'name' must be EXPECTED, not TYPE"; returns false.
bool arg_type_error(const char* fname, const char* name, const char* expected,
                    PyObject* got) noexcept;

// Converts an int argument to int64 with the argument error wording above
// for non-ints; OverflowError passes through as CPython raises it.
bool arg_int64(const char* fname, const char* name, PyObject* obj, long long* out) noexcept;

// Methods without arguments reject keywords and positionals like CPython.
bool no_args(const char* fname, Py_ssize_t nargs, PyObject* kwnames) noexcept;

}  // namespace tvx

namespace tvx {

// The same for tp_new-style calls (an args tuple and a kwargs dict).
bool parse_call_args(const ArgSpec& spec, PyObject* args, PyObject* kwargs,
                     PyObject** out) noexcept;

}  // namespace tvx
