// prescan_sheet: the layout around a worksheet's cells. The elements
// around <sheetData> are captured raw; inside it nothing is tokenized: the
// scan jumps from `<` to `<` and parses only the row tags (and the cell
// tags when corners are asked for).
#include "lib/args.h"
#include "prescan/prescan.h"
#include "lib/errors.h"
#include "lib/host.h"
#include "lib/xml_host.h"
#include "utils/utils.h"
#include "xml/reader.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tvx {

namespace {

using Corner = std::pair<std::int64_t, std::int64_t>;

// Bytes that may end the name of a row or cell tag.
inline bool ends_tag_name(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '/' || c == '>';
}
inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == ':';
}

// One attribute of a row or cell tag, as offsets into the tag's bytes.
struct TagAttr {
    std::string_view qname, prefix, local, value;
    bool needs_decoding;
};

// The prescan's own attribute parser for `row` and `c` tags: `tag` runs
// from the element name to before the `>` (and any final `/`).
ReadError parse_tag_attributes(std::string_view tag, std::size_t name_len,
                               std::vector<TagAttr>& out) {
    out.clear();
    std::size_t i = name_len, n = tag.size();
    for (;;) {
        if (i >= n) return ReadError::ok();
        if (!is_space(tag[i])) return ReadError::malformed("missing whitespace");
        while (i < n && is_space(tag[i])) i++;
        if (i >= n) return ReadError::ok();
        std::size_t s = i;
        while (i < n && is_name_char(tag[i])) i++;
        std::string_view qname = tag.substr(s, i - s);
        if (qname.empty()) return ReadError::unsupported("attribute name");
        char first = qname[0];
        if (!((first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z') || first == '_')) {
            return ReadError::unsupported("attribute name");
        }
        std::size_t colon = qname.find(':');
        std::string_view prefix, local = qname;
        if (colon != std::string_view::npos) {
            if (colon + 1 == qname.size() || qname.find(':', colon + 1) != std::string_view::npos) {
                return ReadError::unsupported("qname");
            }
            prefix = qname.substr(0, colon);
            local = qname.substr(colon + 1);
            char lf = local[0];
            if (!((lf >= 'a' && lf <= 'z') || (lf >= 'A' && lf <= 'Z') || lf == '_')) {
                return ReadError::unsupported("qname");
            }
        }
        if (qname == "xmlns" || prefix == "xmlns")
            return ReadError::unsupported("namespace declaration");
        while (i < n && is_space(tag[i])) i++;
        if (i >= n || tag[i] != '=') {
            if (i < n && (unsigned char)tag[i] >= 0x80)
                return ReadError::unsupported("attribute name");
            return ReadError::malformed("expected =");
        }
        i++;
        while (i < n && is_space(tag[i])) i++;
        if (i >= n || (tag[i] != '"' && tag[i] != '\''))
            return ReadError::malformed("expected quote");
        char quote = tag[i++];
        std::size_t e = tag.find(quote, i);
        if (e == std::string_view::npos) return ReadError::malformed("unterminated value");
        std::string_view value = tag.substr(i, e - i);
        bool needs = false;
        TVX_TRY(check_attribute_value(value.data(), value.size(), needs));
        out.push_back({qname, prefix, local, value, needs});
        i = e + 1;
    }
}

class Prescan {
public:
    Prescan(XmlReader& reader, bool want_rows, std::vector<Corner> corners, PyObject* row_index,
            PyObject* rows, PyObject* corner_dict)
        : r_(reader),
          want_rows_(want_rows),
          corners_(std::move(corners)),
          row_index_(row_index),
          rows_(rows),
          corner_dict_(corner_dict) {
        std::sort(corners_.begin(), corners_.end());
        corners_.erase(std::unique(corners_.begin(), corners_.end()), corners_.end());
        for (const Corner& c : corners_) corner_rows_.push_back(c.first);
        corner_rows_.erase(std::unique(corner_rows_.begin(), corner_rows_.end()),
                           corner_rows_.end());
    }

    ReadError scan_sheet_data();

private:
    ReadError row_tag(std::string_view tag);
    ReadError cell_tag(std::string_view tag);
    ReadError row_number_of(std::string_view r, std::int64_t& out);
    ReadError attribute_list(PyRef& out);
    ReadError corner(std::int64_t row, std::int64_t column);
    std::string_view decoded(const TagAttr& a, std::string& scratch) {
        if (!a.needs_decoding) return a.value;
        scratch.clear();
        append_decoded_attribute(scratch, a.value.data(), a.value.size());
        return scratch;
    }
    bool corner_row(std::int64_t row) const {
        return std::binary_search(corner_rows_.begin(), corner_rows_.end(), row);
    }

    XmlReader& r_;
    const bool want_rows_;
    std::vector<Corner> corners_;
    std::vector<std::int64_t> corner_rows_;
    PyObject* row_index_;
    PyObject* rows_;
    PyObject* corner_dict_;
    std::int64_t row_ = 0, column_ = 0;
    std::vector<TagAttr> attrs_;
    std::string scratch_, scratch2_;
};

// Index of the next `<` in d[p, n) that may matter to the scan, or n.
// Whole blocks are passed over while none of their `<` starts `<!`, `<?`,
// `<r`, `</s` (or `<c` when cells are wanted); near the end of the buffer
// every `<` is reported. Markup is dense (a `<` every few bytes), so this
// filter, not a search per tag, sets the speed.
inline std::size_t find_lt(const char* d, std::size_t p, std::size_t n, bool cells) noexcept {
#if defined(__SSE2__)
    const __m128i lt = _mm_set1_epi8('<'), bang = _mm_set1_epi8('!'), quest = _mm_set1_epi8('?'),
                  r = _mm_set1_epi8('r'), slash = _mm_set1_epi8('/'), s = _mm_set1_epi8('s'),
                  c = _mm_set1_epi8(cells ? 'c' : '<');
    while (p + 18 <= n) {
        const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + p));
        const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + p + 1));
        const __m128i b2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + p + 2));
        __m128i next =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(b1, bang), _mm_cmpeq_epi8(b1, quest)),
                         _mm_or_si128(_mm_cmpeq_epi8(b1, r), _mm_cmpeq_epi8(b1, c)));
        next = _mm_or_si128(next, _mm_and_si128(_mm_cmpeq_epi8(b1, slash), _mm_cmpeq_epi8(b2, s)));
        const unsigned mask =
            (unsigned)_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(b0, lt), next));
        if (mask) return p + (std::size_t)__builtin_ctz(mask);
        p += 16;
    }
#else
    (void)cells;
#endif
    const void* hit = p < n ? std::memchr(d + p, '<', n - p) : nullptr;
    return hit ? (std::size_t)((const char*)hit - d) : n;
}

ReadError Prescan::scan_sheet_data() {
    if (r_.qname() != "sheetData" || r_.default_namespace() != NS_MAIN) {
        return ReadError::unsupported("prefixed sheetData");
    }
    const bool rows_wanted = want_rows_ || !corners_.empty();
    const bool cells_wanted = !corners_.empty();
    for (;;) {
        // One pass over the buffered bytes; the reader's position is only
        // updated when more bytes are needed or a tag is parsed.
        const char* d = r_.data();
        const std::size_t n = r_.size();
        std::size_t p = r_.pos();
        std::size_t need = 0;  // bytes wanted from the reader's position
        bool in_tag = false;   // a row or cell tag runs past the buffered bytes
        for (;;) {
            const std::size_t lt = find_lt(d, p, n, cells_wanted);
            if (lt == n) {
                r_.advance_to(n);
                need = 1;
                break;
            }
            if (n - lt < 12) {
                r_.advance_to(lt);
                need = 12;
                break;
            }
            const char c1 = d[lt + 1];
            bool is_row = false, is_cell = false;
            if (c1 == 'c') {
                is_cell = cells_wanted && ends_tag_name(d[lt + 2]);
            } else if (c1 == '/') {
                if (d[lt + 2] == 's' && std::memcmp(d + lt + 2, "sheetData", 9) == 0 &&
                    (is_space(d[lt + 11]) || d[lt + 11] == '>')) {
                    r_.advance_to(lt);
                    return ReadError::ok();
                }
            } else if (c1 == 'r') {
                is_row =
                    rows_wanted && d[lt + 2] == 'o' && d[lt + 3] == 'w' && ends_tag_name(d[lt + 4]);
            } else if (c1 == '!' || c1 == '?') {
                return ReadError::unsupported("comment/cdata/pi in sheetData");
            }
            if (!is_row && !is_cell) {
                p = lt + 1;
                continue;
            }
            // The tag's closing `>`, quoted values skipped.
            std::size_t i = lt + 1;
            bool found = false;
            while (i < n) {
                const char ch = d[i];
                if (ch == '>') {
                    found = true;
                    break;
                }
                if (ch == '"' || ch == '\'') {
                    const char* q = (const char*)std::memchr(d + i + 1, ch, n - i - 1);
                    if (!q) break;
                    i = (std::size_t)(q - d);
                }
                i++;
            }
            if (!found) {
                // Keep the tag from its `<` and read it again with more bytes.
                r_.advance_to(lt);
                need = 2 * (n - lt);
                in_tag = true;
                break;
            }
            std::size_t end = i;
            if (end > lt + 1 && d[end - 1] == '/') end--;
            std::string_view tag(d + lt + 1, end - lt - 1);
            // Parsed before the reader moves: the views stay valid.
            TVX_TRY(is_row ? row_tag(tag) : cell_tag(tag));
            p = i + 1;
        }
        // Only the bytes from the reader's position on are needed now.
        r_.release_tag();
        const std::size_t had = r_.size() - r_.pos();
        bool available = false;
        TVX_TRY(r_.require(need, available));
        // A tag cut short by the end of input still gets the bytes left.
        if (!available && (!in_tag || r_.size() - r_.pos() <= had)) {
            return ReadError::malformed(in_tag ? "eof in tag" : "eof in element");
        }
    }
}

ReadError Prescan::row_number_of(std::string_view r, std::int64_t& out) {
    if (parse_fast_int(r, out)) return ReadError::ok();
    PyRef text = str_of(r);
    if (!text) return ReadError::source();
    PyRef result = PyRef::steal(PyObject_CallOneArg(row_index_, text.get()));
    if (!result) return ReadError::source();
    PyRef index = PyRef::steal(PyNumber_Index(result.get()));
    long long v = index ? PyLong_AsLongLong(index.get()) : -1;
    if (!index || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return ReadError::unsupported("row index");
    }
    out = v;
    return ReadError::ok();
}

ReadError Prescan::attribute_list(PyRef& out) {
    out = PyRef::steal(PyList_New((Py_ssize_t)attrs_.size()));
    if (!out) return ReadError::source();
    for (std::size_t k = 0; k < attrs_.size(); k++) {
        const TagAttr& a = attrs_[k];
        PyRef name;
        if (a.prefix.empty()) {
            name = str_of(a.qname);
        } else {
            NamespaceId ns = r_.lookup_prefix(a.prefix);
            if (ns == NS_UNBOUND) return ReadError::malformed("unbound prefix");
            std::string qualified = "{";
            qualified += r_.namespace_uri(ns);
            qualified += '}';
            qualified += a.local;
            name = str_of(qualified);
        }
        if (!name) return ReadError::source();
        PyRef value = str_of(decoded(a, scratch_));
        if (!value) return ReadError::source();
        PyObject* pair = PyTuple_Pack(2, name.get(), value.get());
        if (!pair) return ReadError::source();
        PyList_SET_ITEM(out.get(), (Py_ssize_t)k, pair);
    }
    return ReadError::ok();
}

ReadError Prescan::row_tag(std::string_view tag) {
    column_ = 0;
    if (!want_rows_ && tag.size() > 7 && tag.compare(0, 7, "row r=\"") == 0) {
        std::size_t q = tag.find('"', 7);
        if (q != std::string_view::npos && parse_fast_int(tag.substr(7, q - 7), row_)) {
            return ReadError::ok();
        }
    }
    TVX_TRY(parse_tag_attributes(tag, 3, attrs_));
    const TagAttr* r = nullptr;
    bool dims = false;
    for (const TagAttr& a : attrs_) {
        if (!a.prefix.empty()) continue;
        if (a.qname == "r") {
            r = &a;
        } else if (a.qname != "spans") {
            dims = true;
        }
    }
    if (r) {
        TVX_TRY(row_number_of(decoded(*r, scratch2_), row_));
    } else {
        if (row_ == INT64_MAX) return ReadError::unsupported("row index");
        row_++;
    }
    if (!want_rows_ || !dims) return ReadError::ok();
    PyRef list;
    TVX_TRY(attribute_list(list));
    PyRef number = PyRef::steal(PyLong_FromLongLong(row_));
    if (!number) return ReadError::source();
    PyRef entry = PyRef::steal(PyTuple_Pack(2, number.get(), list.get()));
    if (!entry || PyList_Append(rows_, entry.get()) < 0) {
        PyErr_Clear();
        return ReadError::unsupported("append");
    }
    return ReadError::ok();
}

ReadError Prescan::corner(std::int64_t row, std::int64_t column) {
    if (!std::binary_search(corners_.begin(), corners_.end(), Corner{row, column})) {
        return ReadError::ok();
    }
    PyRef style = PyRef::borrow(Py_None);
    for (const TagAttr& a : attrs_) {
        if (a.prefix.empty() && a.qname == "s") {
            style = str_of(decoded(a, scratch_));
            if (!style) return ReadError::source();
            break;
        }
    }
    PyRef key = PyRef::steal(Py_BuildValue("(LL)", (long long)row, (long long)column));
    if (!key || PyDict_SetItem(corner_dict_, key.get(), style.get()) < 0) {
        return ReadError::source();
    }
    return ReadError::ok();
}

ReadError Prescan::cell_tag(std::string_view tag) {
    if (tag.size() > 5 && tag.compare(0, 5, "c r=\"") == 0) {
        std::size_t q = tag.find('"', 5);
        std::int64_t row = 0;
        std::uint32_t column = 0;
        if (q != std::string_view::npos && parse_coordinate(tag.substr(5, q - 5), row, column)) {
            column_ = column;
            if (!corner_row(row)) return ReadError::ok();
        }
    }
    TVX_TRY(parse_tag_attributes(tag, 1, attrs_));
    const TagAttr* r = nullptr;
    for (const TagAttr& a : attrs_) {
        if (a.prefix.empty() && a.qname == "r") {
            r = &a;
            break;
        }
    }
    if (r) {
        std::int64_t row = 0;
        std::uint32_t column = 0;
        if (!parse_coordinate(decoded(*r, scratch2_), row, column)) {
            return ReadError::unsupported("coordinate");
        }
        column_ = column;
        return corner(row, column);
    }
    if (column_ == INT64_MAX) return ReadError::unsupported("column index");
    column_++;
    return corner(row_, column_);
}

// Appends (bytes, namespaces) of the element just started.
ReadError capture_into(XmlReader& reader, PyObject* list) {
    std::string_view bytes;
    TVX_TRY(reader.capture_element(bytes));
    PyRef b = PyRef::steal(PyBytes_FromStringAndSize(bytes.data(), (Py_ssize_t)bytes.size()));
    if (!b) return ReadError::source();
    PyRef ns = namespaces_in_scope(reader);
    if (!ns) return ReadError::source();
    PyRef pair = PyRef::steal(PyTuple_Pack(2, b.get(), ns.get()));
    if (!pair || PyList_Append(list, pair.get()) < 0) return ReadError::source();
    return ReadError::ok();
}

}  // namespace

PyObject* py_prescan_sheet(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"source", "want_rows", "corners", "helpers"};
        static const ArgSpec spec{"prescan_sheet", names, 4, 4};
        PyObject* a[4];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        int want_rows = PyObject_IsTrue(a[1]);
        if (want_rows < 0) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                arg_type_error("prescan_sheet", "want_rows", "bool", a[1]);
            }
            return nullptr;
        }
        if (!PyDict_Check(a[3])) {
            arg_type_error("prescan_sheet", "helpers", "dict", a[3]);
            return nullptr;
        }
        PyRef row_index = extra_helper(a[3], "row_index");
        if (!row_index) return nullptr;
        std::vector<Corner> corners;
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
                corners.emplace_back(r, c);
            }
            if (PyErr_Occurred()) return nullptr;
        }

        PyRef head = PyRef::steal(PyList_New(0));
        PyRef tail = PyRef::steal(PyList_New(0));
        PyRef rows = PyRef::steal(PyList_New(0));
        PyRef corner_dict = PyRef::steal(PyDict_New());
        if (!head || !tail || !rows || !corner_dict) return nullptr;

        PySource src(a[0]);
        XmlReader reader(src);
        Prescan scan(reader, want_rows != 0, std::move(corners), row_index.get(), rows.get(),
                     corner_dict.get());
        bool after = false;
        for (;;) {
            XmlEvent ev;
            if (ReadError e = reader.next(ev)) return raise_read_error(e);
            if (ev == XmlEvent::EndOfDocument) break;
            if (ev != XmlEvent::Start && ev != XmlEvent::EmptyStart) continue;
            if (reader.depth() != 2) continue;  // the root
            if (!after && reader.ns() == NS_MAIN && reader.local_name() == "sheetData") {
                after = true;
                ReadError e = ev == XmlEvent::EmptyStart ? reader.next(ev) : scan.scan_sheet_data();
                if (e) return raise_read_error(e);
                continue;
            }
            if (ReadError e = capture_into(reader, after ? tail.get() : head.get())) {
                return raise_read_error(e);
            }
        }
        PyRef result = PyRef::steal(PyDict_New());
        if (!result || PyDict_SetItemString(result.get(), "head", head.get()) < 0 ||
            PyDict_SetItemString(result.get(), "tail", tail.get()) < 0 ||
            PyDict_SetItemString(result.get(), "rows", rows.get()) < 0 ||
            PyDict_SetItemString(result.get(), "corners", corner_dict.get()) < 0) {
            return nullptr;
        }
        return result.release();
    });
}

}  // namespace tvx
