// read_string_table: the shared-string part.
#include "lib/args.h"
#include "lib/entry.h"
#include "lib/errors.h"
#include "lib/host.h"

namespace tvx {

PyObject* py_read_string_table(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"source", "helpers"};
        static const ArgSpec spec{"read_string_table", names, 2, 2};
        PyObject* a[2];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        if (!PyDict_Check(a[1])) {
            arg_type_error("read_string_table", "helpers", "dict", a[1]);
            return nullptr;
        }
        ReaderHelpers h;
        if (!h.load(a[1])) return nullptr;
        PyRef si_content = extra_helper(a[1], "si_content");
        if (!si_content) return nullptr;
        return not_built_yet();
    });
}

}  // namespace tvx
