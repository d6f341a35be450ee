// find_dimension: locate the worksheet's `dimension` element.
#include "lib/args.h"
#include "lib/entry.h"
#include "lib/errors.h"
#include "lib/xml_host.h"
#include "xml/reader.h"

namespace tvx {

namespace {

bool owned_by_dispatcher(const void*, NamespaceId ns, std::string_view local) {
    return ns == NS_MAIN && (local == "sheetData" || local == "dimension");
}

// (snippet, namespaces) of the first main-namespace `dimension`, or None
// once `</sheetData>` or the end of the document is reached.
PyObject* find(PyObject* source) {
    PySource src(source);
    XmlReader r(src);
    XmlEvent ev;
    for (;;) {
        if (ReadError e = r.next(ev)) return raise_read_error(e);
        switch (ev) {
            case XmlEvent::Start:
            case XmlEvent::EmptyStart:
                if (r.ns() == NS_MAIN && r.local_name() == "dimension") {
                    std::string_view bytes;
                    if (ReadError e = r.capture_element(bytes, {owned_by_dispatcher, nullptr}))
                        return raise_read_error(e);
                    PyRef snippet = PyRef::steal(
                        PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size())));
                    if (!snippet) return nullptr;
                    PyRef ns = namespaces_in_scope(r);
                    if (!ns) return nullptr;
                    return PyTuple_Pack(2, snippet.get(), ns.get());
                }
                break;
            case XmlEvent::End:
                if (r.ns() == NS_MAIN && r.local_name() == "sheetData") Py_RETURN_NONE;
                break;
            case XmlEvent::EndOfDocument:
                Py_RETURN_NONE;
            case XmlEvent::Text:
                break;
        }
    }
}

}  // namespace

PyObject* py_find_dimension(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"source"};
        static const ArgSpec spec{"find_dimension", names, 1, 1};
        PyObject* a[1];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        return find(a[0]);
    });
}

}  // namespace tvx
