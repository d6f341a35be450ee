// prescan_sheet: the layout around a worksheet's cells.
#include "lib/args.h"
#include "lib/entry.h"
#include "lib/errors.h"
#include "lib/host.h"

#include <set>
#include <utility>

namespace tvx {

PyObject* py_prescan_sheet(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"source", "want_rows", "corners", "helpers"};
        static const ArgSpec spec{"prescan_sheet", names, 4, 4};
        PyObject* a[4];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        int want_rows = PyObject_IsTrue(a[1]);
        if (want_rows < 0) return nullptr;
        if (!PyDict_Check(a[3])) {
            arg_type_error("prescan_sheet", "helpers", "dict", a[3]);
            return nullptr;
        }
        PyRef row_index = extra_helper(a[3], "row_index");
        if (!row_index) return nullptr;
        std::set<std::pair<long long, long long>> corners;
        if (a[2] != Py_None) {
            PyRef it = PyRef::steal(PyObject_GetIter(a[2]));
            if (!it) return nullptr;
            while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
                PyRef seq = PyRef::steal(PySequence_Tuple(item.get()));
                if (!seq) return nullptr;
                if (PyTuple_GET_SIZE(seq.get()) != 2) {
                    PyErr_Format(PyExc_ValueError, "corner must be a (row, column) pair");
                    return nullptr;
                }
                long long r = PyLong_AsLongLong(PyTuple_GET_ITEM(seq.get(), 0));
                if (r == -1 && PyErr_Occurred()) return nullptr;
                long long c = PyLong_AsLongLong(PyTuple_GET_ITEM(seq.get(), 1));
                if (c == -1 && PyErr_Occurred()) return nullptr;
                corners.emplace(r, c);
            }
            if (PyErr_Occurred()) return nullptr;
        }
        return not_built_yet();
    });
}

}  // namespace tvx
