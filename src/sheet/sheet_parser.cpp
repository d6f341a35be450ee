#include "sheet/sheet_parser.h"

#include "utils/utils.h"
#include "xml/byte_classes.h"

#include <climits>
#include <cstring>

namespace tvx {

namespace {

// Main-namespace elements the host's reader dispatches by name; they may
// not appear inside rows or cells.
constexpr std::string_view kDispatchTags[] = {
    "row",
    "col",
    "sheetProtection",
    "extLst",
    "conditionalFormatting",
    "legacyDrawing",
    "rowBreaks",
    "colBreaks",
    "printOptions",
    "pageMargins",
    "pageSetup",
    "headerFooter",
    "autoFilter",
    "dataValidations",
    "sheetPr",
    "sheetViews",
    "sheetFormatPr",
    "scenarios",
    "tableParts",
    "hyperlinks",
    "mergeCells",
    "customSheetViews",
};

bool is_dispatch_tag(NamespaceId ns, std::string_view local) noexcept {
    if (ns != NS_MAIN || local.size() < 3) return false;
    for (std::string_view tag : kDispatchTags) {
        if (tag.size() == local.size() && tag == local) return true;
    }
    return false;
}

bool dispatch_predicate(const void*, NamespaceId ns, std::string_view local) {
    return is_dispatch_tag(ns, local);
}

constexpr ElementPredicate kDispatch{dispatch_predicate, nullptr};

inline bool unprefixed(const AttributeRecord& a) noexcept { return a.qname_start == a.local_start; }

}  // namespace

SheetParser::SheetParser(XmlReader& reader, const SheetOptions& options, SheetHost& host)
    : r_(reader), o_(options), host_(host) {}

ReadError SheetParser::capture(SheetSink& sink) {
    std::string_view bytes;
    TVX_TRY(r_.capture_element(bytes));
    return sink.on_element(r_, bytes);
}

ReadError SheetParser::next_item(SheetSink& sink, SheetItem& item) {
    if (pending_row_) {
        // A row whose start tag was read with the previous row's cells.
        pending_row_ = false;
        TVX_TRY(begin_row(pending_has_r_));
        TVX_TRY(sink.on_row(RowEvent{row_number_, nullptr}));
        TVX_TRY(row_cells(sink));
        item = SheetItem::Row;
        return ReadError::ok();
    }
    for (;;) {
        XmlEvent ev;
        TVX_TRY(r_.next(ev));
        switch (ev) {
            case XmlEvent::End:
                if (in_sheet_data_ && r_.depth() == 1) in_sheet_data_ = false;
                continue;
            case XmlEvent::Text:
                continue;
            case XmlEvent::EndOfDocument:
                item = SheetItem::End;
                return ReadError::ok();
            case XmlEvent::Start:
            case XmlEvent::EmptyStart:
                break;
        }
        const std::size_t depth = r_.depth();
        const bool empty = ev == XmlEvent::EmptyStart;
        if (depth == 1) continue;
        if (!in_sheet_data_) {
            if (depth != 2) return ReadError::unsupported("unexpected nesting");
            if (r_.ns() == NS_MAIN && r_.local_name() == "sheetData") {
                if (empty) {
                    TVX_TRY(r_.next(ev));  // its End
                } else {
                    in_sheet_data_ = true;
                }
                continue;
            }
            TVX_TRY(capture(sink));
            item = SheetItem::Element;
            return ReadError::ok();
        }
        if (depth != 3) return ReadError::unsupported("unexpected nesting");
        if (r_.ns() == NS_MAIN && r_.local_name() == "row") {
            TVX_TRY(parse_row(sink, empty));
            item = SheetItem::Row;
            return ReadError::ok();
        }
        TVX_TRY(capture(sink));
        item = SheetItem::Element;
        return ReadError::ok();
    }
}

// Every attribute of the current start tag: unprefixed names as written,
// prefixed ones as "{uri}local"; values decoded.
void SheetParser::attribute_list(Attributes& out) {
    out.clear();
    for (const AttributeRecord& a : r_.attributes()) {
        std::string key;
        if (unprefixed(a)) {
            key = r_.attr_local(a);
        } else {
            key = "{";
            key += r_.namespace_uri((NamespaceId)a.ns);
            key += '}';
            key += r_.attr_local(a);
        }
        out.emplace_back(std::move(key), std::string(r_.decode_attribute_value(a, scratch_)));
    }
}

namespace {

inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool is_letter(char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

// Plain data, so that the arrays of them on the per-cell path are not
// zero-filled on every call.
struct RawAttr {
    const char* name_at;
    const char* value_at;
    std::uint32_t name_len, value_len;
    std::string_view name() const noexcept { return {name_at, name_len}; }
    std::string_view value() const noexcept { return {value_at, value_len}; }
};

enum class Scan : std::uint8_t { Ok, Miss, Short };

// Attributes of a raw start tag from d[p] up to its ">" or "/>". Only
// plain unprefixed attributes qualify.
Scan raw_attributes(const char* d, std::size_t& p, std::size_t n, RawAttr* out, int& count,
                    bool& empty) {
    count = 0;
    for (;;) {
        std::size_t q = p;
        while (q < n && is_space(d[q])) q++;
        if (q >= n) return Scan::Short;
        if (d[q] == '>') {
            p = q + 1;
            empty = false;
            return Scan::Ok;
        }
        if (d[q] == '/') {
            if (q + 1 >= n) return Scan::Short;
            if (d[q + 1] != '>') return Scan::Miss;
            p = q + 2;
            empty = true;
            return Scan::Ok;
        }
        if (q == p || !is_letter(d[q]) || count == 8) return Scan::Miss;
        std::size_t name_start = q;
        while (q < n && is_letter(d[q])) q++;
        if (q + 1 >= n) return Scan::Short;
        if (d[q] != '=') return Scan::Miss;
        std::string_view name(d + name_start, q - name_start);
        if (name == "xmlns") return Scan::Miss;
        char quote = d[q + 1];
        if (quote != '"' && quote != '\'') return Scan::Miss;
        std::size_t v = q + 2;
        std::uint8_t classes = 0;
        std::size_t e = scan_run(d, v, n, quote, classes);
        if (e >= n) return Scan::Short;
        if (classes & PLAIN_VALUE_REJECT) return Scan::Miss;
        for (int i = 0; i < count; i++) {
            if (out[i].name() == name) return Scan::Miss;  // the tokenizer reports it
        }
        if (e - v > UINT32_MAX || name.size() > UINT32_MAX) return Scan::Miss;
        out[count++] = {name.data(), d + v, std::uint32_t(name.size()), std::uint32_t(e - v)};
        p = e + 1;
    }
}

// The attributes of a <c> start tag in their usual form: each one space,
// a one-letter name among r, s, t, `="` and a value of the bytes that
// attribute normally holds, read (and for r and s converted) as it is
// scanned, straight into `raw` and `out`. Miss on anything else, and the
// general scan reads the tag.
inline bool is_upper(char c) { return static_cast<unsigned char>(c - 'A') < 26u; }
inline bool is_digit_byte(char c) { return static_cast<unsigned char>(c - '0') < 10u; }

Scan quick_cell_attributes(const char* d, std::size_t& p, std::size_t n, RawCell& raw,
                           CellAttrs& out, bool& empty) {
    raw.has_coordinate = raw.has_type = out.has_s = false;
    // Each its own store: a chained copy reloads what was just stored,
    // which stalls.
    raw.coordinate = {};
    raw.type = {};
    out.s = {};
    out.coordinate = out.style = false;
    std::size_t q = p;
    for (;;) {
        if (n - q < 2) return Scan::Short;
        if (d[q] == '>') {
            p = q + 1;
            empty = false;
            return Scan::Ok;
        }
        if (d[q] == '/') {
            if (d[q + 1] != '>') return Scan::Miss;
            p = q + 2;
            empty = true;
            return Scan::Ok;
        }
        if (n - q < 4) return Scan::Short;
        if (d[q] != ' ' || d[q + 2] != '=' || d[q + 3] != '"') return Scan::Miss;
        const char name = d[q + 1];
        const std::size_t v = q + 4;
        std::size_t i = v;
        if (name == 'r' && !raw.has_coordinate) {
            // Column letters, then row digits; the same rules as
            // parse_coordinate decide whether the pair is converted here.
            std::uint32_t column = 0;
            while (i < n && is_upper(d[i])) {
                column = column * 26 + std::uint32_t(d[i] - 'A' + 1);
                i++;
                if (i - v > 3) return Scan::Miss;
            }
            const std::size_t letters = i - v;
            std::uint64_t row = 0;
            while (i < n && is_digit_byte(d[i])) {
                row = row * 10 + std::uint64_t(d[i] - '0');
                i++;
                if (i - v - letters > 9) return Scan::Miss;
            }
            if (i >= n) return Scan::Short;
            if (d[i] != '"') return Scan::Miss;
            const std::size_t digits = i - v - letters;
            raw.has_coordinate = true;
            raw.coordinate = std::string_view(d + v, i - v);
            out.coordinate = letters > 0 && digits > 0 && d[v + letters] != '0';
            out.row = (std::int64_t)row;
            out.column = column;
        } else if (name == 's' && !out.has_s) {
            std::int64_t id = 0;
            while (i < n && is_digit_byte(d[i])) {
                if (i - v == 18) return Scan::Miss;  // 18 digits always fit
                id = id * 10 + (d[i] - '0');
                i++;
            }
            if (i >= n) return Scan::Short;
            if (d[i] != '"') return Scan::Miss;
            out.has_s = true;
            out.s = std::string_view(d + v, i - v);
            out.style = i > v;
            out.style_id = id;
        } else if (name == 't' && !raw.has_type) {
            while (i < n && is_letter(d[i])) {
                i++;
                if (i - v > 16) return Scan::Miss;
            }
            if (i >= n) return Scan::Short;
            if (d[i] != '"') return Scan::Miss;
            raw.has_type = true;
            raw.type = std::string_view(d + v, i - v);
        } else {
            return Scan::Miss;
        }
        q = i + 1;
    }
}

// Plain text from d[p] up to the next "<", where p is left.
inline Scan raw_text(const char* d, std::size_t& p, std::size_t n) {
    std::uint8_t classes = 0;
    std::size_t e = scan_run(d, p, n, '<', classes);
    if (e >= n) return Scan::Short;
    if (classes & PLAIN_TEXT_REJECT) {
        // Non-ASCII text (or a lone ">") qualifies when the tokenizer's own
        // checks pass and it would not change a byte in decoding.
        bool needs_decoding = false;
        if (check_text_run(d + p, e - p, needs_decoding) || needs_decoding) return Scan::Miss;
    }
    p = e;
    return Scan::Ok;
}

inline Scan expect(const char* d, std::size_t& p, std::size_t n, std::string_view lit) {
    if (n - p < lit.size()) return Scan::Short;
    if (std::memcmp(d + p, lit.data(), lit.size()) != 0) return Scan::Miss;
    p += lit.size();
    return Scan::Ok;
}

}  // namespace

#define TVX_SCAN(expr)                                \
    do {                                              \
        Scan scan_ = (expr);                          \
        if (scan_ == Scan::Miss) return Fast::Miss;   \
        if (scan_ == Scan::Short) return Fast::Short; \
    } while (0)

SheetParser::Fast SheetParser::fast_cell(const char* d, std::size_t p, std::size_t n,
                                         std::size_t& end) {
    if (n - p < 3) return Fast::Short;
    if (d[p + 1] != 'c' || (d[p + 2] != ' ' && d[p + 2] != '/' && d[p + 2] != '>')) {
        return Fast::Miss;
    }
    p += 2;
    bool empty = false;
    has_v_ = has_is_ = false;
    f_.present = false;
    raw_.inline_item = raw_.inline_captured = false;
    std::size_t v_at = 0, v_len = 0;
    raw_.has_cm = false;
    Scan scanned = quick_cell_attributes(d, p, n, raw_, attrs_, empty);
    if (scanned == Scan::Short) return Fast::Short;
    if (scanned == Scan::Miss) {
        RawAttr attrs[8];
        int count = 0;
        TVX_SCAN(raw_attributes(d, p, n, attrs, count, empty));
        raw_.has_coordinate = attrs_.has_s = raw_.has_type = raw_.has_cm = false;
        raw_.coordinate = {};
        raw_.type = {};
        attrs_.s = {};
        attrs_.coordinate = attrs_.style = false;
        for (int i = 0; i < count; i++) {
            if (attrs[i].name() == "cm") {
                raw_.has_cm = true;
                raw_.cm = attrs[i].value();
            }
            if (attrs[i].name_len != 1) continue;
            switch (attrs[i].name_at[0]) {
                case 'r':
                    raw_.has_coordinate = true;
                    raw_.coordinate = attrs[i].value();
                    break;
                case 's':
                    attrs_.has_s = true;
                    attrs_.s = attrs[i].value();
                    break;
                case 't':
                    raw_.has_type = true;
                    raw_.type = attrs[i].value();
                    break;
                default:
                    break;
            }
        }
    }
    bool has_f = false, f_has_t = false, f_has_ref = false, f_has_si = false, f_text = false;
    std::string_view ft, fref, fsi;
    while (!empty) {
        if (n - p < 4) return Fast::Short;
        if (d[p] != '<') return Fast::Miss;
        if (d[p + 1] == '/') {
            TVX_SCAN(expect(d, p, n, "</c>"));
            break;
        }
        if (d[p + 1] == 'v' && !has_v_) {
            has_v_ = true;
            if (d[p + 2] == '/') {
                TVX_SCAN(expect(d, p, n, "<v/>"));
                continue;
            }
            TVX_SCAN(expect(d, p, n, "<v>"));
            v_at = p;
            TVX_SCAN(raw_text(d, p, n));
            v_len = p - v_at;
            TVX_SCAN(expect(d, p, n, "</v>"));
            continue;
        }
        if (d[p + 1] == 'f' && !has_f && (d[p + 2] == ' ' || d[p + 2] == '>' || d[p + 2] == '/')) {
            has_f = true;
            p += 2;
            RawAttr fa[8];
            int fcount = 0;
            bool fempty = false;
            if (d[p] == '>') {
                p++;  // the common <f> without attributes
            } else {
                TVX_SCAN(raw_attributes(d, p, n, fa, fcount, fempty));
            }
            for (int i = 0; i < fcount; i++) {
                if (fa[i].name() == "t") {
                    f_has_t = true;
                    ft = fa[i].value();
                } else if (fa[i].name() == "ref") {
                    f_has_ref = true;
                    fref = fa[i].value();
                } else if (fa[i].name() == "si") {
                    f_has_si = true;
                    fsi = fa[i].value();
                }
            }
            if (f_has_t && ft == "dataTable") return Fast::Miss;
            if (!fempty) {
                const std::size_t text_at = p;
                TVX_SCAN(raw_text(d, p, n));
                f_text = p > text_at;
                // Straight into the formula's "=" text: the only use of it.
                formula_text_.assign(1, '=');
                formula_text_.append(d + text_at, p - text_at);
                TVX_SCAN(expect(d, p, n, "</f>"));
            } else {
                formula_text_.assign(1, '=');
            }
            continue;
        }
        return Fast::Miss;
    }
    end = p;
    // The cell qualified: take its parts out of the buffer.
    // Views into the buffer stay valid until the reader moves on, which
    // happens only after the cell has been handed over.
    raw_.value = std::string_view(d + v_at, v_len);
    if (has_f) {
        f_.present = true;
        f_.has_text = f_text;
        f_.joined = true;
        f_.has_t = f_has_t;
        f_.has_ref = f_has_ref;
        f_.has_si = f_has_si;
        if (f_has_t) f_.t.assign(ft);
        if (f_has_ref) f_.ref.assign(fref);
        if (f_has_si) f_.si.assign(fsi);
        f_.attrs.clear();
    }
    return Fast::Hit;
}

#undef TVX_SCAN

// Reads cells straight from the bytes for as long as they qualify; leaves
// the reader at the first byte that needs the tokenizer.
ReadError SheetParser::fast_cells(SheetSink& sink) {
    std::size_t want = 512;
    for (;;) {
        bool available = false;
        TVX_TRY(r_.require(want, available));
        const char* d = r_.data();
        std::size_t p = r_.pos(), n = r_.size();
        while (p < n && is_space(d[p])) p++;
        if (p >= n) {
            r_.advance_to(p);
            if (!available) return ReadError::ok();
            continue;
        }
        if (d[p] != '<') {
            r_.advance_to(p);
            return ReadError::ok();
        }
        std::size_t end = 0;
        Fast got = fast_cell(d, p, n, end);
        if (got == Fast::Short && available && want < 65536) {
            r_.advance_to(p);
            want *= 4;
            continue;
        }
        if (got != Fast::Hit) {
            r_.advance_to(p);
            return ReadError::ok();
        }
        want = 512;
        r_.advance_to(end);
        TVX_TRY(begin_cell(cell_));
        TVX_TRY(end_cell(sink, cell_));
    }
}

ReadError SheetParser::parse_row(SheetSink& sink, bool empty) {
    bool has_r = false, has_dims = false;
    for (const AttributeRecord& a : r_.attributes()) {
        if (!unprefixed(a)) continue;
        std::string_view name = r_.attr_local(a);
        if (name == "r") {
            has_r = true;
            r_text_.assign(r_.decode_attribute_value(a, scratch_));
        } else if (name != "spans") {
            has_dims = true;
        }
    }
    TVX_TRY(begin_row(has_r));
    RowEvent row{row_number_, nullptr};
    if (has_dims) {
        attribute_list(row_attrs_);
        row.attributes = &row_attrs_;
    }
    TVX_TRY(sink.on_row(row));
    XmlEvent ev;
    if (empty) return r_.next(ev);  // the row's End
    // Only a row written without a prefix may be followed straight from
    // the bytes (its end tag is then "</row>").
    row_unprefixed_ = r_.qname() == "row";
    return row_cells(sink);
}

// The number of the row whose r text (if any) is in r_text_.
ReadError SheetParser::begin_row(bool has_r) {
    std::int64_t row = 0;
    if (has_r) {
        if (!parse_fast_int(r_text_, row)) TVX_TRY(host_.row_number(r_text_, row));
    } else {
        if (row_number_ == INT64_MAX) return ReadError::unsupported("row index");
        row = row_number_ + 1;
    }
    row_number_ = row;
    column_number_ = 0;
    return ReadError::ok();
}

// The cells of the open row, up to its end tag; or, where the row ends
// and the next begins in their plain form, up to the next row's start.
ReadError SheetParser::row_cells(SheetSink& sink) {
    // Cells are read straight from the bytes where the names resolve as
    // the fast path assumes (the main namespace is the default one).
    const bool fast = r_.default_namespace() == NS_MAIN;
    for (;;) {
        if (fast) {
            TVX_TRY(fast_cells(sink));
            if (row_unprefixed_) {
                TVX_TRY(next_row_raw());
                if (pending_row_) return ReadError::ok();
            }
        }
        XmlEvent ev;
        TVX_TRY(r_.next(ev));
        switch (ev) {
            case XmlEvent::End:
                return ReadError::ok();
            case XmlEvent::Text:
                continue;
            case XmlEvent::EndOfDocument:
                return ReadError::malformed("eof in row");
            case XmlEvent::Start:
            case XmlEvent::EmptyStart:
                if (is_dispatch_tag(r_.ns(), r_.local_name())) {
                    return ReadError::unsupported("dispatch tag inside row");
                }
                TVX_TRY(parse_cell(sink, ev == XmlEvent::EmptyStart));
                continue;
        }
    }
}

// At "</row>" followed (after white space) by a "<row ...>" with no other
// attribute than r and spans, all plain: moves past both and marks the
// new row pending, its r text in r_text_. The reader's open element stays
// the row, as the tokenizer would leave it. Anything else is left to the
// tokenizer.
ReadError SheetParser::next_row_raw() {
    bool available = false;
    TVX_TRY(r_.require(256, available));
    const char* d = r_.data();
    const std::size_t n = r_.size();
    std::size_t p = r_.pos();
    if (n - p < 11 || std::memcmp(d + p, "</row>", 6) != 0) return ReadError::ok();
    p += 6;
    while (p < n && is_space(d[p])) p++;
    if (n - p < 5 || std::memcmp(d + p, "<row", 4) != 0 || d[p + 4] != ' ') {
        return ReadError::ok();
    }
    p += 4;
    RawAttr attrs[8];
    int count = 0;
    bool empty = false;
    if (raw_attributes(d, p, n, attrs, count, empty) != Scan::Ok || empty) return ReadError::ok();
    bool has_r = false;
    std::string_view r;
    for (int i = 0; i < count; i++) {
        if (attrs[i].name() == "r") {
            has_r = true;
            r = attrs[i].value();
        } else if (attrs[i].name() != "spans") {
            return ReadError::ok();
        }
    }
    if (has_r) r_text_.assign(r);
    r_.advance_to(p);
    r_.release_tag();
    pending_row_ = true;
    pending_has_r_ = has_r;
    return ReadError::ok();
}

ReadError SheetParser::read_formula(bool empty) {
    f_.present = true;
    f_.has_t = f_.has_ref = f_.has_si = false;
    f_.attrs.clear();
    for (const AttributeRecord& a : r_.attributes()) {
        if (!unprefixed(a)) continue;
        std::string_view name = r_.attr_local(a);
        if (name == "t") {
            f_.has_t = true;
            f_.t.assign(r_.decode_attribute_value(a, scratch_));
        } else if (name == "ref") {
            f_.has_ref = true;
            f_.ref.assign(r_.decode_attribute_value(a, scratch_));
        } else if (name == "si") {
            f_.has_si = true;
            f_.si.assign(r_.decode_attribute_value(a, scratch_));
        }
    }
    if (f_.has_t && f_.t == "dataTable") attribute_list(f_.attrs);
    f_.text.clear();
    f_.has_text = false;
    f_.joined = false;
    if (empty) {
        XmlEvent ev;
        return r_.next(ev);
    }
    TVX_TRY(read_element_text(r_, kDispatch, f_.text, f_.has_text));
    // An element holding only empty text has no text either.
    f_.has_text = f_.has_text && !f_.text.empty();
    return ReadError::ok();
}

ReadError SheetParser::read_inline(bool) {
    has_is_ = true;
    TVX_TRY(read_text_item(r_, kDispatch, host_, item_));
    raw_.inline_item = true;
    raw_.inline_captured = item_.kind == TextItem::Kind::Capture;
    raw_.inline_text = item_.text;
    return ReadError::ok();
}

ReadError SheetParser::parse_cell(SheetSink& sink, bool empty) {
    raw_.has_coordinate = attrs_.has_s = raw_.has_type = has_v_ = has_is_ = raw_.has_cm = false;
    attrs_.coordinate = attrs_.style = false;
    f_.present = false;
    raw_.inline_item = raw_.inline_captured = false;
    for (const AttributeRecord& a : r_.attributes()) {
        if (!unprefixed(a)) continue;
        std::string_view name = r_.attr_local(a);
        if (name == "cm") {
            raw_.has_cm = true;
            cm_text_.assign(r_.decode_attribute_value(a, scratch_));
            raw_.cm = cm_text_;
        }
        if (name.size() != 1) continue;
        switch (name[0]) {
            case 'r':
                raw_.has_coordinate = true;
                r_text_.assign(r_.decode_attribute_value(a, scratch_));
                break;
            case 's':
                attrs_.has_s = true;
                s_text_.assign(r_.decode_attribute_value(a, scratch_));
                break;
            case 't':
                raw_.has_type = true;
                t_text_.assign(r_.decode_attribute_value(a, scratch_));
                break;
            default:
                break;
        }
    }
    raw_.coordinate = r_text_;
    attrs_.s = s_text_;
    raw_.type = t_text_;
    CellEvent& cell = cell_;
    TVX_TRY(begin_cell(cell));

    if (!empty) {
        for (;;) {
            XmlEvent ev;
            TVX_TRY(r_.next(ev));
            if (ev == XmlEvent::End) break;
            if (ev == XmlEvent::Text) continue;
            if (ev == XmlEvent::EndOfDocument) return ReadError::malformed("eof in cell");
            const bool child_empty = ev == XmlEvent::EmptyStart;
            const NamespaceId ns = r_.ns();
            const std::string_view local = r_.local_name();
            if (is_dispatch_tag(ns, local))
                return ReadError::unsupported("dispatch tag inside cell");
            if (ns == NS_MAIN && local == "v" && !has_v_) {
                has_v_ = true;
                v_text_.clear();
                bool present = false;
                if (child_empty) {
                    TVX_TRY(r_.next(ev));
                } else {
                    TVX_TRY(read_element_text(r_, kDispatch, v_text_, present));
                }
            } else if (ns == NS_MAIN && local == "f" && !f_.present) {
                TVX_TRY(read_formula(child_empty));
            } else if (ns == NS_MAIN && local == "is" && !has_is_) {
                TVX_TRY(read_inline(child_empty));
            } else if (child_empty) {
                TVX_TRY(r_.next(ev));
            } else {
                TVX_TRY(skip_element(r_, kDispatch));
            }
        }
    } else {
        XmlEvent ev;
        TVX_TRY(r_.next(ev));  // the cell's End
    }
    raw_.value = has_v_ ? std::string_view(v_text_) : std::string_view();
    return end_cell(sink, cell);
}

// Coordinate and style of the cell whose attributes were just read.
ReadError SheetParser::begin_cell(CellEvent& cell) {
    cell.unusual_style = false;
    cell.style_id = 0;
    cell.has_coordinate = raw_.has_coordinate;
    cell.coordinate = raw_.coordinate;
    if (attrs_.coordinate) {
        cell.row = attrs_.row;
        cell.column = attrs_.column;
        column_number_ = cell.column;
    } else if (raw_.has_coordinate && !raw_.coordinate.empty()) {
        std::int64_t row = 0;
        std::uint32_t col = 0;
        if (parse_coordinate(raw_.coordinate, row, col)) {
            cell.row = row;
            cell.column = col;
        } else {
            TVX_TRY(host_.coordinate(raw_.coordinate, cell.row, cell.column));
        }
        column_number_ = cell.column;
    } else {
        if (column_number_ == INT64_MAX) return ReadError::unsupported("column index");
        cell.row = row_number_;
        cell.column = ++column_number_;
    }

    if (attrs_.style) {
        cell.style_id = attrs_.style_id;
    } else if (attrs_.has_s && !parse_fast_int(attrs_.s, cell.style_id)) {
        // The empty text too: the host keeps it as the style.
        cell.style_id = 0;
        TVX_TRY(host_.style_id(attrs_.s, cell.style_id, cell.unusual_style));
    }
    return ReadError::ok();
}

// Conversion of the cell read so far, its formula, and the hand-over.
ReadError SheetParser::end_cell(SheetSink& sink, CellEvent& cell) {
    const bool formula_used = f_.present && (!o_.data_only || o_.formula_and_value);
    RawCell& raw = raw_;
    raw.style_id = cell.style_id;
    raw.unusual_style = cell.unusual_style;
    cell.formula_used = formula_used;
    if (cell.formula.form != FormulaForm::None) cell.formula = FormulaEvent{};
    cell.v_text = raw.value;
    cell.has_t = raw.has_type;
    cell.t_text = raw.type;
    cell.has_cm = raw.has_cm;
    cell.cm_text = raw.cm;
    convert(o_, raw, cell.value);
    cell.has_cached = formula_used && o_.formula_and_value;
    if (formula_used) {
        // The <v> value is converted all the same (the host's reader does),
        // and kept only in formula-and-value mode.
        cell.cached = cell.value;
        TVX_TRY(formula_value(cell));
    }
    return sink.on_cell(cell);
}

// The value of a cell whose <f> is used: the formula text, a host formula
// object, or a shared formula moved to this cell.
ReadError SheetParser::formula_value(CellEvent& cell) {
    if (!f_.joined) {
        formula_text_.assign("=");
        formula_text_ += f_.text;
    }
    ParsedValue& v = cell.value;
    FormulaEvent& fe = cell.formula;
    v = ParsedValue{};
    v.data_type = DT_F;
    fe.text = formula_text_;
    auto set_text = [&](std::string_view text, FormulaForm form) {
        v.form = ValueForm::Text;
        v.text = text;
        fe.form = form;
    };
    auto set_host = [&](HostStep step, FormulaForm form) {
        v.form = ValueForm::Host;
        v.host = step;
        fe.form = form;
    };

    if (f_.has_t && f_.t == "array") {
        fe.has_ref = f_.has_ref;
        fe.ref = f_.ref;
        set_host(HostStep::ArrayFormula, FormulaForm::Array);
        return ReadError::ok();
    }
    if (f_.has_t && f_.t == "dataTable") {
        fe.attributes = &f_.attrs;
        set_host(HostStep::DataTable, FormulaForm::DataTable);
        return ReadError::ok();
    }
    if (!(f_.has_t && f_.t == "shared")) {
        set_text(formula_text_, FormulaForm::Text);
        return ReadError::ok();
    }

    // Groups are keyed by their si text; a missing si is a key of its own.
    std::string key = f_.has_si ? "\x01" + f_.si : std::string("\x00", 1);
    auto found = shared_.find(key);
    if (found != shared_.end()) {
        SharedGroup& g = found->second;
        if (g.native) {
            std::string& out = scratch_;
            out.clear();
            FormulaError err = render(g.tmpl, CellPos{cell.row, cell.column}, out);
            if (err) {
                fe.error = std::move(err);
                set_text({}, FormulaForm::Text);
                return ReadError::ok();
            }
            formula_text_.swap(out);
            fe.text = formula_text_;
            set_text(formula_text_, FormulaForm::SharedMember);
            fe.tmpl = &g.tmpl;
            fe.shared_number = &g.number;
            return ReadError::ok();
        }
        // The member's own reference, or where it stands when it has none
        // and the group knows its origin.
        fe.group = g.host_group;
        if (raw_.has_coordinate) {
            fe.has_dest = true;
            fe.dest = raw_.coordinate;
        } else if (g.has_origin && cell.column >= 1 && cell.column <= MAX_COLUMN && cell.row >= 1) {
            scratch_.clear();
            append_column_letters(scratch_, (std::uint64_t)cell.column);
            scratch_ += std::to_string(cell.row);
            fe.has_dest = true;
            fe.dest = scratch_;
        }
        set_host(HostStep::SharedFormula, FormulaForm::HostMember);
        return ReadError::ok();
    }
    if (!f_.has_text) {
        set_text("=", FormulaForm::Text);
        return ReadError::ok();
    }
    SharedGroup g;
    bool native = false;
    // Members without r are moved to where they stand only when the host
    // can place them: the master had an r and no operand needs the host's
    // number parsing (otherwise the translator gets None as their place).
    bool placeable = false;
    if (raw_.has_coordinate && !raw_.coordinate.empty()) {
        std::int64_t row = 0;
        std::uint32_t col = 0;
        const bool plain_ref = parse_coordinate(raw_.coordinate, row, col);
        FormulaError err = tokenize(formula_text_, tokens_);
        placeable = !err;
        if (plain_ref && !err) {
            g.tmpl = build_template(tokens_, row, col);
            native = true;
        } else if (plain_ref && err.kind != FormulaErrKind::NeedPython) {
            fe.error = std::move(err);
            set_text({}, FormulaForm::Text);
            return ReadError::ok();
        }
    }
    g.native = native;
    g.has_origin = placeable;
    if (native) {
        set_text(formula_text_, FormulaForm::Text);
    } else {
        g.host_group = host_groups_++;
        fe.group = g.host_group;
        fe.has_origin = raw_.has_coordinate;
        fe.origin = raw_.coordinate;
        set_text(formula_text_, FormulaForm::HostMaster);
    }
    shared_.emplace(std::move(key), std::move(g));
    return ReadError::ok();
}

}  // namespace tvx
