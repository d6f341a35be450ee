#include "probe/probe.h"

#include "ftemplate/ftemplate.h"
#include "lib/errors.h"

#include <string>

namespace tvx::probe {

namespace {

// formula_templates([(text, row, column), ...]) -> (numbers, count, rendered)
// Interns each text in one template table; numbers holds the template
// number or None, rendered the text each numbered cell reads back.
PyObject* formula_templates(PyObject*, PyObject* cells) {
    return guarded([&]() -> PyObject* {
        PyRef seq = PyRef::steal(PySequence_Fast(cells, "cells must be a sequence"));
        if (!seq) return nullptr;
        FormulaTemplates templates;
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        PyRef numbers = PyRef::steal(PyList_New(n));
        PyRef rendered = PyRef::steal(PyList_New(n));
        if (!numbers || !rendered) return nullptr;
        for (Py_ssize_t i = 0; i < n; i++) {
            const char* text = nullptr;
            Py_ssize_t len = 0;
            long long row = 0, col = 0;
            if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq.get(), i), "s#LL", &text, &len, &row,
                                  &col)) {
                return nullptr;
            }
            std::uint32_t num = templates.intern({text, (std::size_t)len}, row, col);
            PyRef out_num = num == FormulaTemplates::kNone
                                ? PyRef::borrow(Py_None)
                                : PyRef::steal(PyLong_FromUnsignedLong(num));
            PyRef out_text = PyRef::borrow(Py_None);
            if (num != FormulaTemplates::kNone) {
                std::string s;
                if (!templates.render(num, row, col, s)) return raise_internal("render failed");
                out_text =
                    PyRef::steal(PyUnicode_FromStringAndSize(s.data(), (Py_ssize_t)s.size()));
            }
            if (!out_num || !out_text) return nullptr;
            PyList_SET_ITEM(numbers.get(), i, out_num.release());
            PyList_SET_ITEM(rendered.get(), i, out_text.release());
        }
        return Py_BuildValue("(OnO)", numbers.get(), (Py_ssize_t)templates.size(), rendered.get());
    });
}

}  // namespace

PyMethodDef sheet_methods[] = {
    {"formula_templates", formula_templates, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tvx::probe
