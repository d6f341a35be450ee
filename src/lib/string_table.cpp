// read_string_table: the shared-string part.
#include "lib/args.h"
#include "lib/entry.h"
#include "lib/errors.h"
#include "lib/host.h"
#include "text/text_item.h"
#include "xml/reader.h"

#include <cstring>

namespace tvx {

namespace {

bool is_si(const void*, NamespaceId ns, std::string_view local) {
    return ns == NS_MAIN && local == "si";
}

// Position of the next "x005F_" at or after `from`, or n. Item texts are
// short, so a plain loop beats a library search here.
std::size_t find_x005f(const char* b, std::size_t from, std::size_t n) {
    for (std::size_t i = from; i + 6 <= n; ++i)
        if (b[i] == 'x' && b[i + 1] == '0' && b[i + 2] == '0' && b[i + 3] == '5' && b[i + 4] == 'F' &&
            b[i + 5] == '_')
            return i;
    return n;
}

// Drops every "x005F_" (left to right, non-overlapping), in place.
void remove_x005f(std::string& s) {
    const std::size_t n = s.size();
    char* b = s.data();
    std::size_t hit = find_x005f(b, 0, n);
    if (hit == n) return;
    std::size_t out = hit, in = hit + 6;
    while (in < n) {
        std::size_t stop = find_x005f(b, in, n);
        std::memmove(b + out, b + in, stop - in);
        out += stop - in;
        in = stop == n ? n : stop + 6;
    }
    s.resize(out);
}

PyObject* read_table(PyObject* source, const ReaderHelpers& h, PyObject* si_content) {
    PySource src(source);
    XmlReader r(src);
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    RprCache cache;
    TextItem item;
    XmlEvent ev;
    for (;;) {
        if (ReadError e = r.next(ev)) return raise_read_error(e);
        if (ev == XmlEvent::EndOfDocument) return list.release();
        if (ev != XmlEvent::Start && ev != XmlEvent::EmptyStart) continue;
        if (r.ns() != NS_MAIN || r.local_name() != "si") continue;
        if (r.depth() != 2) return raise_read_error(ReadError::unsupported("nested si"));
        if (ReadError e = read_text_item(r, {is_si, nullptr}, h, cache, item))
            return raise_read_error(e);
        PyRef value;
        if (item.kind == TextItem::Kind::Text) {
            remove_x005f(item.text);
            value = PyRef::steal(
                PyUnicode_DecodeUTF8(item.text.data(), Py_ssize_t(item.text.size()), nullptr));
        } else {
            value = PyRef::steal(PyObject_CallFunctionObjArgs(si_content, item.bytes.get(),
                                                              item.namespaces.get(), nullptr));
        }
        if (!value || PyList_Append(list.get(), value.get()) < 0) return nullptr;
    }
}

}  // namespace

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
        return read_table(a[0], h, si_content.get());
    });
}

}  // namespace tvx
