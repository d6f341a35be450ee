// read_string_table: the shared-string part.
#include "lib/args.h"
#include "lib/entry.h"
#include "lib/errors.h"
#include "lib/host.h"
#include "lib/sheet_host.h"
#include "lib/xml_host.h"
#include "text/text_item.h"
#include "utils/utils.h"
#include "xml/byte_classes.h"
#include "xml/reader.h"

#include <algorithm>
#include <cstring>

namespace tvx {

namespace {

bool is_si(const void*, NamespaceId ns, std::string_view local) {
    return ns == NS_MAIN && local == "si";
}

// Position of the next "x005F_" at or after `from`, or n. An 'x' is rare
// in text, so the search jumps from one to the next with memchr.
std::size_t find_x005f(const char* b, std::size_t from, std::size_t n) {
    while (from + 6 <= n) {
        const void* x = std::memchr(b + from, 'x', n - 5 - from);
        if (!x) return n;
        const std::size_t i = std::size_t(static_cast<const char*>(x) - b);
        if (std::memcmp(b + i + 1, "005F_", 5) == 0) return i;
        from = i + 1;
    }
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

// Classes of a text run that call for the tokenizer's full checks; a run
// without them is well-formed and decodes to itself.
constexpr std::uint8_t NEEDS_CHECK = K_CTRL | K_HIGH | K_AMP | K_CR | K_BRACKET;

// A str of checked UTF-8; ASCII (no K_HIGH byte) is copied without decoding.
PyRef str_from_run(const char* p, std::size_t n, std::uint8_t classes) {
    if (classes & K_HIGH) return PyRef::steal(PyUnicode_DecodeUTF8(p, Py_ssize_t(n), nullptr));
    PyRef s = PyRef::steal(PyUnicode_New(Py_ssize_t(n), 127));
    if (s) std::memcpy(PyUnicode_DATA(s.get()), p, n);
    return s;
}

// The common item `<si><t>text</t></si>` read straight from the buffer:
// right after the `si` Start (no attributes), `<t>`, character data and
// `</t>` followed by the item's own end tag, all already buffered. Sets
// `done` and leaves the reader before that end tag; otherwise nothing is
// consumed and the item is read the general way. A text that needs no
// change is made into `direct` straight from the buffer (null with a
// Python error set when that fails); otherwise it is left in `text`.
ReadError plain_item(XmlReader& r, std::string& text, bool& done, PyRef& direct) {
    done = false;
    direct = PyRef();
    if (r.last_event() != XmlEvent::Start || !r.attributes().empty()) return ReadError::ok();
    const char* b = r.data() + r.pos();
    const std::size_t avail = r.size() - r.pos();
    if (avail < 3 || b[0] != '<' || b[1] != 't' || b[2] != '>') return ReadError::ok();
    std::uint8_t classes = 0;
    const std::size_t j = scan_run(b, 3, avail, '<', classes);
    if (j >= avail) return ReadError::ok();
    std::string_view name = r.qname();
    const std::size_t after = j + 4;
    if (avail < after + name.size() + 3 || std::memcmp(b + j, "</t>", 4) != 0 || b[after] != '<' ||
        b[after + 1] != '/' || std::memcmp(b + after + 2, name.data(), name.size()) != 0 ||
        b[after + 2 + name.size()] != '>')
        return ReadError::ok();
    bool decode = false;
    if ((classes & NEEDS_CHECK) && check_text_run(b + 3, j - 3, decode))
        return ReadError::ok();  // the tokenizer reports it
    text.clear();
    if (decode) {
        append_decoded_text(text, b + 3, j - 3);
    } else if (find_x005f(b + 3, 0, j - 3) == j - 3) {
        direct = str_from_run(b + 3, j - 3, classes);
        if (!direct) {
            done = true;
            return ReadError::ok();
        }
    } else {
        text.assign(b + 3, j - 3);
    }
    r.advance_to(r.pos() + after);
    XmlEvent ev;
    TVX_TRY(r.next(ev));  // the item's End
    done = true;
    return ReadError::ok();
}

// The list of items, sized up front from the table's own count when it
// has one, so that a large table is not copied as the list grows. Slots
// not yet filled are null (the list is not seen by Python code until
// finish() cuts it to the items read).
class ItemList {
public:
    bool init() {
        list_ = PyRef::steal(PyList_New(0));
        return bool(list_);
    }
    // The root's uniqueCount (else count) as the expected number of items;
    // capped, and untouched list memory costs no resident pages.
    bool expect(XmlReader& r) {
        if (filled_ != 0 || size_ != 0) return true;
        std::int64_t n = -1;
        for (const AttributeRecord& a : r.attributes()) {
            if (a.qname_start != a.local_start) continue;
            std::string_view name = r.attr_local(a);
            std::int64_t v = 0;
            if ((name == "uniqueCount" || (name == "count" && n < 0)) &&
                parse_fast_int(r.attr_raw_value(a), v) && v >= 0)
                n = v;
        }
        if (n <= 0) return true;
        size_ = Py_ssize_t(std::min<std::int64_t>(n, MAX_EXPECTED));
        list_ = PyRef::steal(PyList_New(size_));
        if (!list_) {
            size_ = 0;
            return false;
        }
        PyObject_GC_UnTrack(list_.get());  // no collector walk finds the null slots
        return true;
    }
    bool append(PyObject* item) {
        if (filled_ < size_) {
            PyList_SET_ITEM(list_.get(), filled_++, Py_NewRef(item));
            return true;
        }
        ++filled_;
        return PyList_Append(list_.get(), item) == 0;
    }
    PyObject* finish() {
        if (filled_ < size_ && PyList_SetSlice(list_.get(), filled_, size_, nullptr) < 0)
            return nullptr;
        if (size_ > 0) PyObject_GC_Track(list_.get());
        return list_.release();
    }

private:
    static constexpr std::int64_t MAX_EXPECTED = std::int64_t(1) << 24;
    PyRef list_;
    Py_ssize_t filled_ = 0, size_ = 0;
};

inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Right after an item's End, the items that follow as plain
// `<si><t>text</t></si>` (whitespace between them) are read straight from
// the buffer, without events: unprefixed names in the main namespace as
// default, text that needs no change. Stops before the first item (or
// other markup) that does not qualify, which is then read the general way.
// `failed` with a Python error set when a str or the list append fails.
ReadError plain_run(XmlReader& r, ItemList& list, bool& failed) {
    failed = false;
    if (r.last_event() != XmlEvent::End || r.depth() != 1 || r.default_namespace() != NS_MAIN)
        return ReadError::ok();
    std::size_t want = 4096;
    for (;;) {
        r.release_tag();
        bool available = false;
        TVX_TRY(r.require(want, available));
        const char* d = r.data();
        const std::size_t n = r.size();
        std::size_t p = r.pos();
        bool short_item = false;
        for (;;) {
            std::size_t q = p;
            while (q < n && is_space(d[q])) ++q;
            if (n - q < 7) {
                short_item = true;
                break;
            }
            if (std::memcmp(d + q, "<si><t>", 7) != 0) break;
            std::uint8_t classes = 0;
            const std::size_t lt = scan_run(d, q + 7, n, '<', classes);
            if (n - lt < 9) {
                short_item = true;
                break;
            }
            if (std::memcmp(d + lt, "</t></si>", 9) != 0) break;
            const char* text = d + q + 7;
            const std::size_t len = lt - q - 7;
            if (classes & NEEDS_CHECK) {
                bool decode = false;
                if (check_text_run(text, len, decode) || decode) break;
            }
            if (find_x005f(text, 0, len) != len) break;
            PyRef value = str_from_run(text, len, classes);
            if (!value || !list.append(value.get())) {
                failed = true;
                return ReadError::ok();
            }
            p = lt + 9;
        }
        r.advance_to(p);
        if (!short_item || !available || want >= (1u << 20)) return ReadError::ok();
        if (n - p >= want) want *= 4;  // one item longer than the window
    }
}

PyObject* read_table(PyObject* source, const ReaderHelpers& h, PyObject* si_content) {
    PySource src(source);
    XmlReader r(src);
    ItemList list;
    if (!list.init()) return nullptr;
    PyItemHost host(h);
    TextItem item;
    XmlEvent ev;
    for (;;) {
        if (ReadError e = r.next(ev)) return raise_read_error(e);
        if (ev == XmlEvent::EndOfDocument) return list.finish();
        if (ev != XmlEvent::Start && ev != XmlEvent::EmptyStart) continue;
        if (r.depth() == 1 && !list.expect(r)) return nullptr;
        if (r.ns() != NS_MAIN || r.local_name() != "si") continue;
        if (r.depth() != 2) return raise_read_error(ReadError::unsupported("nested si"));
        bool done;
        PyRef value;
        if (ReadError e = plain_item(r, item.text, done, value)) return raise_read_error(e);
        if (done && !value && PyErr_Occurred()) return nullptr;
        if (done)
            item.kind = TextItem::Kind::Text;
        else if (ReadError e = read_text_item(r, {is_si, nullptr}, host, item)) {
            host.restore_pending();
            return raise_read_error(e);
        }
        if (value) {
            // made straight from the buffer
        } else if (item.kind == TextItem::Kind::Text) {
            remove_x005f(item.text);
            value = PyRef::steal(
                PyUnicode_DecodeUTF8(item.text.data(), Py_ssize_t(item.text.size()), nullptr));
        } else {
            value = PyRef::steal(PyObject_CallFunctionObjArgs(si_content, host.bytes.get(),
                                                              host.namespaces.get(), nullptr));
        }
        if (!value || !list.append(value.get())) return nullptr;
        bool failed;
        if (ReadError e = plain_run(r, list, failed)) return raise_read_error(e);
        if (failed) return nullptr;
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
