// Probe entries of the XML reader and the string-item reader.
#include "probe/probe.h"

#include "lib/args.h"
#include "lib/errors.h"
#include "lib/host.h"
#include "lib/sheet_host.h"
#include "lib/xml_host.h"
#include "text/text_item.h"
#include "xml/reader.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace tvx::probe {

namespace {

bool bytes_arg(const char* fname, PyObject* obj) {
    if (PyBytes_Check(obj)) return true;
    arg_type_error(fname, "data", "bytes", obj);
    return false;
}

bool read_size_arg(const char* fname, PyObject* obj, std::size_t& out) {
    out = READ_CHUNK;
    if (!obj) return true;
    long long v;
    if (!arg_int64(fname, "read_size", obj, &v)) return false;
    if (v < 1) {
        PyErr_SetString(PyExc_ValueError, "read_size must be positive");
        return false;
    }
    out = std::size_t(v);
    return true;
}

// The `data` (bytes) and `read_size` (null: the default) arguments of a
// probe as a byte source.
bool data_arg(const char* fname, PyObject* data, PyObject* read_size,
              std::optional<MemorySource>& src) {
    std::size_t chunk;
    if (!bytes_arg(fname, data) || !read_size_arg(fname, read_size, chunk)) return false;
    src.emplace(PyBytes_AS_STRING(data), std::size_t(PyBytes_GET_SIZE(data)), chunk);
    return true;
}

bool str_arg(PyObject* obj, std::string_view& out) {
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!p) return false;
    out = std::string_view(p, std::size_t(n));
    return true;
}

// Reads to the end of the document, calling on_element() (false: failed,
// an exception set) at each start tag whose local name is `want`; then
// hands back `out`.
template <class F>
PyObject* each_element(XmlReader& r, std::string_view want, PyRef& out, F on_element) {
    for (;;) {
        XmlEvent ev;
        if (ReadError e = r.next(ev)) return raise_read_error(e);
        if (ev == XmlEvent::EndOfDocument) return out.release();
        if ((ev != XmlEvent::Start && ev != XmlEvent::EmptyStart) || r.local_name() != want)
            continue;
        if (!on_element()) return nullptr;
    }
}

// One event as the tests see it.
PyRef event_tuple(const XmlReader& r, XmlEvent ev, std::string& scratch) {
    switch (ev) {
        case XmlEvent::Start:
        case XmlEvent::EmptyStart: {
            PyRef attrs = PyRef::steal(PyList_New(0));
            if (!attrs) return {};
            for (const AttributeRecord& a : r.attributes()) {
                PyRef uri = str_of(r.namespace_uri(NamespaceId(a.ns)));
                PyRef local = str_of(r.attr_local(a));
                PyRef value = str_of(r.decode_attribute_value(a, scratch));
                if (!uri || !local || !value) return {};
                PyRef t = PyRef::steal(PyTuple_Pack(3, uri.get(), local.get(), value.get()));
                if (!t || PyList_Append(attrs.get(), t.get()) < 0) return {};
            }
            PyRef uri = str_of(r.namespace_uri(r.ns()));
            PyRef local = str_of(r.local_name());
            if (!uri || !local) return {};
            return PyRef::steal(Py_BuildValue("(sOOOO)", "start", uri.get(), local.get(),
                                              attrs.get(),
                                              ev == XmlEvent::EmptyStart ? Py_True : Py_False));
        }
        case XmlEvent::End: {
            PyRef uri = str_of(r.namespace_uri(r.ns()));
            PyRef local = str_of(r.local_name());
            if (!uri || !local) return {};
            return PyRef::steal(Py_BuildValue("(sOO)", "end", uri.get(), local.get()));
        }
        case XmlEvent::Text: {
            PyRef text = str_of(r.decode_text(scratch));
            if (!text) return {};
            return PyRef::steal(
                Py_BuildValue("(sOO)", "text", text.get(), r.is_cdata() ? Py_True : Py_False));
        }
        case XmlEvent::EndOfDocument:
            break;
    }
    return {};
}

// Appends event_tuple() of the event to the list `out`.
bool append_event(const XmlReader& r, XmlEvent ev, std::string& scratch, PyObject* out) {
    PyRef t = event_tuple(r, ev, scratch);
    return t && PyList_Append(out, t.get()) == 0;
}

PyObject* xml_events(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"data", "read_size"};
        static const ArgSpec spec{"xml_events", names, 2, 1};
        PyObject* a[2];
        std::optional<MemorySource> src;
        if (!parse_args(spec, args, nargs, kw, a) || !data_arg("xml_events", a[0], a[1], src))
            return nullptr;
        XmlReader r(*src);
        PyRef out = PyRef::steal(PyList_New(0));
        if (!out) return nullptr;
        std::string scratch;
        for (;;) {
            XmlEvent ev;
            if (ReadError e = r.next(ev)) return raise_read_error(e);
            if (ev == XmlEvent::EndOfDocument) return out.release();
            if (!append_event(r, ev, scratch, out.get())) return nullptr;
        }
    });
}

// Everything the reader reports at each event, positions as document
// offsets, as a list of tuples; with fast=False every tag and text run
// goes through the general parser (tests compare the two).
PyObject* xml_trace(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"data", "read_size", "fast"};
        static const ArgSpec spec{"xml_trace", names, 3, 1};
        PyObject* a[3];
        std::optional<MemorySource> src;
        if (!parse_args(spec, args, nargs, kw, a) || !data_arg("xml_trace", a[0], a[1], src))
            return nullptr;
        int fast = a[2] ? PyObject_IsTrue(a[2]) : 1;
        if (fast < 0) return nullptr;
        XmlReader r(*src);
        r.set_fast_paths(fast != 0);
        PyRef out = PyRef::steal(PyList_New(0));
        if (!out) return nullptr;
        auto bytes = [](std::string_view v) {
            return PyRef::steal(PyBytes_FromStringAndSize(v.data(), Py_ssize_t(v.size())));
        };
        for (;;) {
            XmlEvent ev;
            if (ReadError e = r.next(ev)) return raise_read_error(e);
            const std::size_t d = r.discarded();
            PyRef t;
            if (ev == XmlEvent::Text) {
                PyRef raw = bytes(r.raw_text());
                if (!raw) return nullptr;
                const std::size_t ts = std::size_t(r.raw_text().data() - r.data());
                t = PyRef::steal(Py_BuildValue("(iOnnii)", int(ev), raw.get(), Py_ssize_t(d + ts),
                                               Py_ssize_t(r.depth()), int(r.is_cdata()),
                                               int(r.needs_decoding())));
            } else if (ev == XmlEvent::EndOfDocument) {
                return out.release();
            } else {
                PyRef attrs = PyRef::steal(PyList_New(0));
                if (!attrs) return nullptr;
                if (ev != XmlEvent::End) {
                    for (const AttributeRecord& x : r.attributes()) {
                        PyRef at = PyRef::steal(Py_BuildValue(
                            "(nnnnnnii)", Py_ssize_t(d + x.qname_start), Py_ssize_t(d + x.qname_end),
                            Py_ssize_t(d + x.local_start), Py_ssize_t(d + x.local_end),
                            Py_ssize_t(d + x.value_start), Py_ssize_t(d + x.value_end), int(x.ns),
                            int(x.needs_decoding)));
                        if (!at || PyList_Append(attrs.get(), at.get()) < 0) return nullptr;
                    }
                }
                PyRef q = bytes(r.qname()), l = bytes(r.local_name());
                if (!q || !l) return nullptr;
                t = PyRef::steal(Py_BuildValue(
                    "(iIOOOnnnn)", int(ev), unsigned(r.ns()), q.get(), l.get(), attrs.get(),
                    Py_ssize_t(d + r.tag_start()), Py_ssize_t(d + r.tag_end()),
                    Py_ssize_t(r.depth()), Py_ssize_t(r.last_event())));
            }
            if (!t || PyList_Append(out.get(), t.get()) < 0) return nullptr;
        }
    });
}

// Events pulled with nothing built: the tokenizer's own speed.
PyObject* xml_count(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"data", "read_size"};
        static const ArgSpec spec{"xml_count", names, 2, 1};
        PyObject* a[2];
        std::optional<MemorySource> src;
        if (!parse_args(spec, args, nargs, kw, a) || !data_arg("xml_count", a[0], a[1], src))
            return nullptr;
        XmlReader r(*src);
        std::size_t count = 0;
        for (;;) {
            XmlEvent ev;
            if (ReadError e = r.next(ev)) return raise_read_error(e);
            if (ev == XmlEvent::EndOfDocument) return PyLong_FromSize_t(count);
            ++count;
        }
    });
}

// [(bytes, namespaces)] of every element with the given local name (any
// namespace), each read with capture_element.
PyObject* xml_capture(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"data", "local_name", "read_size"};
        static const ArgSpec spec{"xml_capture", names, 3, 2};
        PyObject* a[3];
        std::optional<MemorySource> src;
        std::string_view want;
        if (!parse_args(spec, args, nargs, kw, a) || !data_arg("xml_capture", a[0], a[2], src) ||
            !str_arg(a[1], want))
            return nullptr;
        XmlReader r(*src);
        PyRef out = PyRef::steal(PyList_New(0));
        if (!out) return nullptr;
        return each_element(r, want, out, [&]() -> bool {
            std::string_view bytes;
            if (ReadError e = r.capture_element(bytes)) {
                raise_read_error(e);
                return false;
            }
            PyRef b =
                PyRef::steal(PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size())));
            if (!b) return false;
            PyRef ns = namespaces_in_scope(r);
            if (!ns) return false;
            PyRef t = PyRef::steal(PyTuple_Pack(2, b.get(), ns.get()));
            return t && PyList_Append(out.get(), t.get()) == 0;
        });
    });
}

// Events as xml_events, except that a non-empty element with the given
// local name is passed over through the raw-access API (require and
// advance_to up to its first matching end tag) and reported as
// ("skipped", raw bytes).
PyObject* xml_skip_raw(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"data", "local_name", "read_size"};
        static const ArgSpec spec{"xml_skip_raw", names, 3, 2};
        PyObject* a[3];
        std::optional<MemorySource> src;
        std::string_view want;
        if (!parse_args(spec, args, nargs, kw, a) || !data_arg("xml_skip_raw", a[0], a[2], src) ||
            !str_arg(a[1], want))
            return nullptr;
        std::string close = "</" + std::string(want) + ">";
        XmlReader r(*src);
        PyRef out = PyRef::steal(PyList_New(0));
        if (!out) return nullptr;
        std::string scratch;
        for (;;) {
            XmlEvent ev;
            if (ReadError e = r.next(ev)) return raise_read_error(e);
            if (ev == XmlEvent::EndOfDocument) return out.release();
            if (!append_event(r, ev, scratch, out.get())) return nullptr;
            if (ev != XmlEvent::Start || r.local_name() != want) continue;
            std::size_t start_abs = r.discarded() + r.pos();
            std::size_t rel = 0;  // search offset relative to pos()
            for (;;) {
                std::size_t avail = r.size() - r.pos();
                const char* base = r.data() + r.pos();
                const void* hit = rel < avail
                                      ? memmem(base + rel, avail - rel, close.data(), close.size())
                                      : nullptr;
                if (hit) {
                    std::size_t end =
                        std::size_t(static_cast<const char*>(hit) - base) + close.size();
                    PyRef b = PyRef::steal(
                        PyBytes_FromStringAndSize(base, Py_ssize_t(end - close.size())));
                    if (!b) return nullptr;
                    if (r.discarded() + r.pos() != start_abs) return raise_internal("pos moved");
                    // The end tag itself is left for the tokenizer.
                    r.advance_to(r.pos() + end - close.size());
                    PyRef t = PyRef::steal(Py_BuildValue("(sO)", "skipped", b.get()));
                    if (!t || PyList_Append(out.get(), t.get()) < 0) return nullptr;
                    break;
                }
                rel = avail >= close.size() ? avail - close.size() + 1 : 0;
                bool available;
                if (ReadError e = r.require(avail + 1, available)) return raise_read_error(e);
                if (!available) return raise_read_error(ReadError::malformed("unexpected eof"));
            }
        }
    });
}

bool nested_in(const void* ctx, NamespaceId ns, std::string_view local) {
    const auto* set = static_cast<const NameSet*>(ctx);
    return ns == NS_MAIN && name_in(*set, local);
}

// [("text", str) | ("capture", bytes, namespaces)] of every element with
// local name `item` (any namespace), each read with read_text_item; the
// main-namespace elements named in `nested` are the dispatcher's.
PyObject* text_items(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"data", "helpers", "item", "nested", "read_size"};
        static const ArgSpec spec{"text_items", names, 5, 2};
        PyObject* a[5];
        std::optional<MemorySource> src;
        if (!parse_args(spec, args, nargs, kw, a) || !data_arg("text_items", a[0], a[4], src))
            return nullptr;
        if (!PyDict_Check(a[1])) {
            arg_type_error("text_items", "helpers", "dict", a[1]);
            return nullptr;
        }
        ReaderHelpers h;
        if (!h.load(a[1])) return nullptr;
        std::string_view item = "si";
        if (a[2] && !str_arg(a[2], item)) return nullptr;
        NameSet nested;
        if (a[3]) {
            PyRef it = PyRef::steal(PyObject_GetIter(a[3]));
            if (!it) return nullptr;
            while (PyRef x = PyRef::steal(PyIter_Next(it.get()))) {
                std::string_view name;
                if (!str_arg(x.get(), name)) return nullptr;
                nested.emplace(name);
            }
            if (PyErr_Occurred()) return nullptr;
        }
        XmlReader r(*src);
        PyItemHost host(h);
        TextItem ti;
        PyRef out = PyRef::steal(PyList_New(0));
        if (!out) return nullptr;
        return each_element(r, item, out, [&]() -> bool {
            if (ReadError e = read_text_item(r, {nested_in, &nested}, host, ti)) {
                host.restore_pending();
                raise_read_error(e);
                return false;
            }
            PyRef t;
            if (ti.kind == TextItem::Kind::Text) {
                PyRef s = str_of(ti.text);
                if (!s) return false;
                t = PyRef::steal(Py_BuildValue("(sO)", "text", s.get()));
            } else {
                t = PyRef::steal(
                    Py_BuildValue("(sOO)", "capture", host.bytes.get(), host.namespaces.get()));
            }
            return t && PyList_Append(out.get(), t.get()) == 0;
        });
    });
}

}  // namespace

#define FASTKW(f) \
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL | METH_KEYWORDS

PyMethodDef xml_methods[] = {
    {"xml_events", FASTKW(xml_events), "xml_events(data, read_size=65536) -> list of events"},
    {"xml_trace", FASTKW(xml_trace),
     "xml_trace(data, read_size=65536, fast=True) -> list of events with positions"},
    {"xml_count", FASTKW(xml_count), "xml_count(data, read_size=65536) -> number of events"},
    {"xml_capture", FASTKW(xml_capture), "xml_capture(data, local_name, read_size=65536) -> list"},
    {"xml_skip_raw", FASTKW(xml_skip_raw),
     "xml_skip_raw(data, local_name, read_size=65536) -> list"},
    {"text_items", FASTKW(text_items),
     "text_items(data, helpers, item='si', nested=(), read_size=65536)"},
    {nullptr, nullptr, 0, nullptr},
};

#undef FASTKW

}  // namespace tvx::probe
