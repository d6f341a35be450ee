#include "lib/host.h"

#include "lib/errors.h"

#include <structmember.h>
#include <algorithm>

namespace tvx {

namespace {

// Copies the str items of an iterable; other items can never equal an
// element name and are skipped.
bool copy_names(PyObject* iterable, NameSet& out) {
    PyRef it = PyRef::steal(PyObject_GetIter(iterable));
    if (!it) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
        if (!PyUnicode_Check(item.get())) continue;
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(item.get(), &n);
        if (!s) {
            PyErr_Clear();  // lone surrogates: matches no element name
            continue;
        }
        out.emplace(s, (std::size_t)n);
    }
    return !PyErr_Occurred();
}

bool truth_attr(PyObject* obj, const char* name, bool missing_is_false, bool& out) {
    PyRef v;
    if (missing_is_false) {
        PyObject* raw = nullptr;
        int r = PyObject_GetOptionalAttrString(obj, name, &raw);
        if (r < 0) return false;
        if (r == 0) {
            out = false;
            return true;
        }
        v = PyRef::steal(raw);
    } else {
        v = PyRef::steal(PyObject_GetAttrString(obj, name));
        if (!v) return false;
    }
    int t = PyObject_IsTrue(v.get());
    if (t < 0) return false;
    out = t != 0;
    return true;
}

bool style_ids(PyObject* obj, const char* name, std::vector<std::int64_t>& out) {
    PyRef seq = PyRef::steal(PyObject_GetAttrString(obj, name));
    if (!seq) return false;
    PyRef it = PyRef::steal(PyObject_GetIter(seq.get()));
    if (!it) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
        if (!PyLong_Check(item.get()) || PyBool_Check(item.get())) continue;
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(item.get(), &overflow);
        if (v == -1 && PyErr_Occurred()) return false;
        if (overflow) continue;  // no 64-bit style id can equal it
        out.push_back(v);
    }
    if (PyErr_Occurred()) return false;
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return true;
}

bool int_attr(PyObject* obj, const char* name, long long& out) {
    PyRef v = PyRef::steal(PyObject_GetAttrString(obj, name));
    if (!v) return false;
    out = PyLong_AsLongLong(v.get());
    return !(out == -1 && PyErr_Occurred());
}

}  // namespace

bool get_helper(PyObject* helpers, const char* key, PyRef& out) {
    PyObject* value = nullptr;
    int found = PyDict_GetItemStringRef(helpers, key, &value);
    if (found < 0) return false;
    if (found == 0) {
        PyErr_Format(PyExc_TypeError, "missing helper %s", key);
        return false;
    }
    out = PyRef::steal(value);
    return true;
}

int ReaderHelpers::traverse(visitproc visit, void* arg) const {
#define TVX_VISIT(member, key) Py_VISIT(member.get());
    TVX_READER_HELPERS(TVX_VISIT)
#undef TVX_VISIT
    return 0;
}

int ParserOptions::traverse(visitproc visit, void* arg) const {
    Py_VISIT(epoch_obj.get());
    Py_VISIT(shared_strings.get());
    return 0;
}

bool ReaderHelpers::load(PyObject* helpers) {
#define TVX_LOAD(member, key) \
    if (!get_helper(helpers, key, member)) return false;
    TVX_READER_HELPERS(TVX_LOAD)
#undef TVX_LOAD
    PyRef names[2];
    int i = 0;
#define TVX_LOAD(member, key) \
    if (!get_helper(helpers, key, names[i++])) return false;
    TVX_READER_NAME_SETS(TVX_LOAD)
#undef TVX_LOAD
    i = 0;
#define TVX_COPY(member, key) \
    if (!copy_names(names[i++].get(), member)) return false;
    TVX_READER_NAME_SETS(TVX_COPY)
#undef TVX_COPY
    return true;
}

PyRef extra_helper(PyObject* helpers, const char* key) {
    PyObject* value = nullptr;
    int found = PyDict_GetItemStringRef(helpers, key, &value);
    if (found < 0) return {};
    if (found == 0) {
        std::string msg = std::string("missing ") + key + " helper";
        raise_internal(msg.c_str());
        return {};
    }
    return PyRef::steal(value);
}

bool read_epoch(PyObject* epoch, NativeEpoch& out) {
    out = NativeEpoch{};
    PyRef dt_mod = PyRef::steal(PyImport_ImportModule("datetime"));
    if (!dt_mod) return false;
    PyRef dt_type = PyRef::steal(PyObject_GetAttrString(dt_mod.get(), "datetime"));
    if (!dt_type) return false;
    if ((PyObject*)Py_TYPE(epoch) != dt_type.get()) return true;
    PyRef tz = PyRef::steal(PyObject_GetAttrString(epoch, "tzinfo"));
    if (!tz) return false;
    if (tz.get() != Py_None) return true;
    long long f[7];
    static const char* const names[7] = {"year",   "month",  "day",        "hour",
                                         "minute", "second", "microsecond"};
    for (int i = 0; i < 7; i++) {
        if (!int_attr(epoch, names[i], f[i])) return false;
    }
    PyRef mod = PyRef::steal(PyImport_ImportModule("tavrinex.utils.datetime"));
    if (!mod) return false;
    PyRef win = PyRef::steal(PyObject_GetAttrString(mod.get(), "WINDOWS_EPOCH"));
    if (!win) return false;
    int eq = PyObject_RichCompareBool(epoch, win.get(), Py_EQ);
    if (eq < 0) return false;
    out.native = true;
    out.windows = eq == 1;
    out.day = days_from_civil(f[0], (unsigned)f[1], (unsigned)f[2]);
    out.micros = ((f[3] * 60 + f[4]) * 60 + f[5]) * 1000000 + f[6];
    return true;
}

bool ParserOptions::load(PyObject* parser) {
    epoch_obj = PyRef::steal(PyObject_GetAttrString(parser, "epoch"));
    if (!epoch_obj || !read_epoch(epoch_obj.get(), sheet.epoch)) return false;
    if (!truth_attr(parser, "formula_and_value", true, sheet.formula_and_value)) return false;
    shared_strings = PyRef::steal(PyObject_GetAttrString(parser, "shared_strings"));
    if (!shared_strings) return false;
    shared_is_list = PyList_Check(shared_strings.get());
    count_shared_strings();
    if (!truth_attr(parser, "data_only", false, sheet.data_only)) return false;
    if (!truth_attr(parser, "rich_text", false, sheet.rich_text)) return false;
    return style_ids(parser, "date_formats", sheet.date_formats) &&
           style_ids(parser, "timedelta_formats", sheet.timedelta_formats);
}

void ParserOptions::count_shared_strings() noexcept {
    sheet.shared_count = shared_is_list ? PyList_GET_SIZE(shared_strings.get()) : 0;
}

bool bind_slot(PyObject* cls, PyObject* name, Py_ssize_t& offset) {
    PyObject* raw = nullptr;
    int r = PyObject_GetOptionalAttr(cls, name, &raw);
    if (r < 0) {
        PyErr_Clear();
        r = 0;
    }
    PyRef descr = PyRef::steal(raw);
    // A member descriptor of some unrelated class would address memory
    // outside the instance: it must belong to `cls` or one of its bases.
    if (r == 0 || !PyObject_TypeCheck(descr.get(), &PyMemberDescr_Type) ||
        !PyType_IsSubtype((PyTypeObject*)cls,
                          ((PyMemberDescrObject*)descr.get())->d_common.d_type)) {
        PyErr_Format(PyExc_TypeError, "%U is not a slot", name);
        return false;
    }
    PyMemberDef* member = ((PyMemberDescrObject*)descr.get())->d_member;
    if (member->type != Py_T_OBJECT_EX || (member->flags & Py_READONLY)) {
        PyErr_Format(PyExc_TypeError, "%U has unexpected slot type", name);
        return false;
    }
    offset = member->offset;
    return true;
}

bool bind_slots(PyObject* cls, const char* const* names, std::size_t count,
                std::vector<Py_ssize_t>& offsets) {
    if (!PyType_Check(cls)) {
        PyErr_SetString(PyExc_TypeError, "cell class must be a type");
        return false;
    }
    offsets.assign(count, 0);
    for (std::size_t i = 0; i < count; i++) {
        PyRef name = PyRef::steal(PyUnicode_FromString(names[i]));
        if (!name || !bind_slot(cls, name.get(), offsets[i])) return false;
    }
    return true;
}

PyRef alloc_instance(PyTypeObject* cls) {
    allocfunc alloc = cls->tp_alloc ? cls->tp_alloc : PyType_GenericAlloc;
    return PyRef::steal(alloc(cls, 0));
}

}  // namespace tvx
