// bind_cells: the full-mode worksheet reader.
#include "lib/args.h"
#include "lib/entry.h"
#include "lib/errors.h"
#include "lib/host.h"
#include "store/store_type.h"

namespace tvx {

PyObject* py_bind_cells(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"source",    "parser",   "ws",      "store",
                                            "cell_styles", "cell_cls", "helpers", "actions"};
        static const ArgSpec spec{"bind_cells", names, 8, 8};
        PyObject* a[8];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        PyObject *parser = a[1], *store = a[3], *cell_cls = a[5], *helpers = a[6],
                 *actions = a[7];
        if (!is_cell_store(store)) {
            arg_type_error("bind_cells", "store", "CellStore", store);
            return nullptr;
        }
        if (!PyType_Check(cell_cls)) {
            arg_type_error("bind_cells", "cell_cls", "type", cell_cls);
            return nullptr;
        }
        if (!PyDict_Check(helpers)) {
            arg_type_error("bind_cells", "helpers", "dict", helpers);
            return nullptr;
        }
        if (!PyList_Check(actions)) {
            arg_type_error("bind_cells", "actions", "list", actions);
            return nullptr;
        }
        ReaderHelpers h;
        if (!h.load(helpers)) return nullptr;
        ParserOptions options;
        if (!options.load(parser)) return nullptr;
        PyRef row_dimensions = PyRef::steal(PyObject_GetAttrString(parser, "row_dimensions"));
        if (!row_dimensions) return nullptr;
        if (!PyDict_Check(row_dimensions.get())) {
            PyErr_Format(PyExc_TypeError, "parser.row_dimensions must be dict, not %.50s",
                         Py_TYPE(row_dimensions.get())->tp_name);
            return nullptr;
        }
        return not_built_yet();
    });
}

}  // namespace tvx
