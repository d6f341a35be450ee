// find_dimension: locate the worksheet's `dimension` element.
#include "lib/args.h"
#include "lib/entry.h"
#include "lib/errors.h"

namespace tvx {

PyObject* py_find_dimension(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"source"};
        static const ArgSpec spec{"find_dimension", names, 1, 1};
        PyObject* a[1];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        return not_built_yet();
    });
}

}  // namespace tvx
