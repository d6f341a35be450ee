// Plain C++ tests of the parsing cores (XML tokenizer, formula tokenizer and
// translator, formula templates, utilities), built and linked without
// Python. Prints one line per failed check and exits non-zero on failure.
#include "core/errors.h"
#include "core/seed.h"
#include "core/source.h"
#include "formula/formula.h"
#include "ftemplate/ftemplate.h"
#include "probe/sheet_record.h"
#include "utils/dates.h"
#include "utils/utils.h"
#include "xml/flat_index.h"
#include "xml/reader.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

using namespace tvx;

namespace {

struct Checks {
    int run = 0, failed = 0;
    void expect(bool ok, const char* what, int line) {
        ++run;
        if (!ok) {
            ++failed;
            std::printf("FAIL line %d: %s\n", line, what);
        }
    }
};
Checks checks;

#define CHECK(cond) checks.expect((cond), #cond, __LINE__)

// The document's events as text, one per line ("S{ns}name a=v", "E name",
// "T text"), or "ERROR kind message" when reading stops on an error.
std::string events(std::string_view doc, std::size_t chunk) {
    MemorySource src(doc.data(), doc.size(), chunk);
    XmlReader r(src);
    std::string out, scratch;
    for (;;) {
        XmlEvent ev;
        if (ReadError e = r.next(ev)) {
            out += e.kind == ErrKind::Malformed ? "ERROR malformed " : "ERROR unsupported ";
            out += e.message ? e.message : "";
            return out;
        }
        switch (ev) {
            case XmlEvent::Start:
            case XmlEvent::EmptyStart:
                out +=
                    "S{" + std::string(r.namespace_uri(r.ns())) + "}" + std::string(r.local_name());
                for (const AttributeRecord& a : r.attributes())
                    out += " " + std::string(r.attr_local(a)) + "=" +
                           std::string(r.decode_attribute_value(a, scratch));
                out += "\n";
                break;
            case XmlEvent::End:
                out += "E " + std::string(r.local_name()) + "\n";
                break;
            case XmlEvent::Text:
                out += "T " + std::string(r.decode_text(scratch)) + "\n";
                break;
            case XmlEvent::EndOfDocument:
                return out;
        }
    }
}

bool is_error(const std::string& ev, std::string_view message) {
    const std::size_t at = ev.find("ERROR ");
    return at != std::string::npos && ev.find(message, at) != std::string::npos;
}

void xml_events() {
    const std::string doc =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
        "<r xmlns=\"urn:a\" xmlns:p=\"urn:b\"><p:c k=\"1&amp;2\tx\">a&lt;b\r\nc</p:c>"
        "<d/><![CDATA[<raw>]]></r>";
    const std::string whole = events(doc, READ_CHUNK);
    CHECK(whole == "S{urn:a}r\nS{urn:b}c k=1&2 x\nT a<b\nc\nE c\nS{urn:a}d\nE d\nT <raw>\nE r\n");
    // Byte-at-a-time delivery must not change a single event.
    for (std::size_t chunk : {1, 2, 3, 7, 64}) CHECK(events(doc, chunk) == whole);
}

void xml_errors() {
    CHECK(is_error(events("<a></b>", READ_CHUNK), "mismatched tag"));
    CHECK(is_error(events("<a>", READ_CHUNK), "unclosed element"));
    CHECK(is_error(events("<a x='1' x='2'/>", READ_CHUNK), "duplicate attribute"));
    CHECK(is_error(events("<a>&bogus;</a>", READ_CHUNK), "undefined entity"));
    CHECK(events("<a>&bogus;</a>", READ_CHUNK).rfind("S{}a\nERROR malformed", 0) == 0);
    CHECK(events("<a x='1' y='2'/>", 1) == "S{}a x=1 y=2\nE a\n");
}

// Tags with many attributes switch from pairwise comparison to a hash set;
// a duplicate must be found on either side of the switch.
void many_attributes() {
    // A tag with many declarations and prefixed attributes reads the same
    // whether it arrives whole or in pieces that end inside it, inside and
    // after the scope it opens.
    for (int count : {31, 33, 3000}) {
        std::string tag = "<a";
        for (int k = 0; k < count; ++k)
            tag += " xmlns:p" + std::to_string(k) + "='urn:" + std::to_string(k) + "' p" +
                   std::to_string(k) + ":v='" + std::to_string(k) + "'";
        const std::string doc = tag + "><p" + std::to_string(count - 1) + ":b/>t</a>";
        const std::string whole = events(doc, READ_CHUNK);
        CHECK(!is_error(whole, "") &&
              whole.find("urn:" + std::to_string(count - 1) + "}b") != std::string::npos);
        CHECK(events(doc, 7) == whole);
        CHECK(events(doc, 1000) == whole);
    }
    for (std::size_t count : {31u, 32u, 33u, 40u, 200u}) {
        for (std::size_t dup_of : {std::size_t(0), count / 2, count - 1}) {
            std::string tag = "<a";
            for (std::size_t k = 0; k < count; ++k) tag += " n" + std::to_string(k) + "='v'";
            const std::string fine = tag + "/>";
            const std::string dup = tag + " n" + std::to_string(dup_of) + "='w'/>";
            CHECK(!is_error(events(fine, READ_CHUNK), ""));
            CHECK(is_error(events(dup, READ_CHUNK), "duplicate attribute"));
            CHECK(is_error(events(dup, 5), "duplicate attribute"));
        }
    }
    // Same local name under different prefixes bound to one URI counts as
    // distinct qualified names here; the tokenizer compares qualified names.
    std::string tag = "<a xmlns:p='urn:x' xmlns:q='urn:y'";
    for (int k = 0; k < 40; ++k)
        tag += " p:n" + std::to_string(k) + "='1' q:n" + std::to_string(k) + "='2'";
    CHECK(!is_error(events(tag + "/>", READ_CHUNK), ""));
    CHECK(is_error(events(tag + " q:n39='3'/>", READ_CHUNK), "duplicate attribute"));
    // Different prefixes bound to one URI: distinct qualified names, one
    // expanded name. Caught with few and with many attributes.
    for (int count : {1, 20, 31, 32, 33, 40}) {
        std::string same = "<a xmlns:p='urn:x' xmlns:q='urn:x'";
        for (int k = 0; k < count; ++k) same += " n" + std::to_string(k) + "='1'";
        CHECK(!is_error(events(same + " p:z='1'/>", READ_CHUNK), ""));
        CHECK(is_error(events(same + " p:z='1' q:z='2'/>", READ_CHUNK), "duplicate attribute"));
        CHECK(is_error(events(same + " q:z='1' n5='0' p:z='2'/>", 3), "duplicate attribute"));
    }
}

void xml_bindings() {
    const std::string doc =
        "<a xmlns:p='urn:1' xmlns='urn:d'><b xmlns:p='urn:2' xmlns:q='urn:3'/></a>";
    MemorySource src(doc.data(), doc.size());
    XmlReader r(src);
    XmlEvent ev;
    std::vector<std::pair<std::string_view, std::string_view>> b;
    CHECK(!r.next(ev) && ev == XmlEvent::Start);
    const std::uint64_t outer = r.scope_version();
    r.bindings_in_scope(b);
    CHECK(b.size() == 2 && b[0].first == "p" && b[0].second == "urn:1" && b[1].first.empty() &&
          b[1].second == "urn:d");
    CHECK(!r.next(ev) && ev == XmlEvent::EmptyStart);
    CHECK(r.scope_version() != outer);
    r.bindings_in_scope(b);
    // Each prefix once, at its outermost position, with its innermost URI.
    CHECK(b.size() == 3 && b[0].first == "p" && b[0].second == "urn:2" && b[2].first == "q");
    CHECK(!r.next(ev) && ev == XmlEvent::End);
    CHECK(r.scope_version() == outer);  // back in the outer scope
    CHECK(!r.next(ev) && ev == XmlEvent::End);
    CHECK(r.scope_version() != outer);  // no bindings left
    r.bindings_in_scope(b);
    CHECK(b.empty());
}

std::string tokens_text(std::string_view formula, FormulaErrKind& kind) {
    std::vector<FormulaToken> toks;
    FormulaError e = tokenize(formula, toks);
    kind = e.kind;
    std::string out;
    if (e) return out;
    for (const FormulaToken& t : toks)
        out += t.value + "|" + std::to_string(int(t.type)) + "." + std::to_string(int(t.subtype)) +
               " ";
    return out;
}

void formula_tokens() {
    FormulaErrKind kind;
    CHECK(tokens_text("=SUM(A1,2)", kind) == "SUM(|2.6 A1|1.5 ,|5.8 2|1.2 )|2.7 ");
    CHECK(kind == FormulaErrKind::None);
    CHECK(tokens_text("plain text", kind) == "plain text|0.0 ");
    CHECK(tokens_text("=\"a\"\"b\"&TRUE", kind) == "\"a\"\"b\"|1.1 &|7.0 TRUE|1.3 ");
    // An unclosed function is not an error; a stray closer pops an empty stack.
    CHECK(tokens_text("=SUM(1", kind) == "SUM(|2.6 1|1.2 ");
    tokens_text("=1)", kind);
    CHECK(kind == FormulaErrKind::PopEmpty);
    tokens_text("=\"abc", kind);
    CHECK(kind == FormulaErrKind::Tokenizer);
}

std::string moved(std::string_view formula, CellPos from, std::optional<CellPos> to,
                  FormulaErrKind& kind) {
    std::string out;
    FormulaError e = translate(formula, from, to, out);
    kind = e.kind;
    return out;
}

void formula_translate() {
    FormulaErrKind kind;
    CHECK(moved("=A1+B$2+$C3+$D$4", {1, 1}, CellPos{3, 2}, kind) == "=B3+C$2+$C5+$D$4");
    CHECK(kind == FormulaErrKind::None);
    CHECK(moved("=SUM(A1:B2)", {5, 5}, CellPos{6, 5}, kind) == "=SUM(A2:B3)");
    CHECK(moved("=A1", {1, 1}, std::nullopt, kind) == "=A1");
    CHECK(moved("no formula", {1, 1}, CellPos{9, 9}, kind) == "no formula");
    // Moving a reference above row 1 is refused and leaves nothing behind.
    CHECK(moved("=A2", {2, 1}, CellPos{1, 1}, kind) == "=A1");
    const std::string off = moved("=A1", {2, 2}, CellPos{1, 1}, kind);
    CHECK(kind == FormulaErrKind::Translator && off.empty());

    // A template renders like a fresh translation for every destination.
    FormulaTemplate t;
    CHECK(!make_template("=A1*$B2-C$3", {4, 4}, t));
    for (std::int64_t row : {4, 5, 100}) {
        for (std::int64_t col : {4, 7}) {
            std::string a, b;
            CHECK(!render(t, CellPos{row, col}, a));
            CHECK(!translate("=A1*$B2-C$3", {4, 4}, CellPos{row, col}, b));
            CHECK(a == b);
        }
    }
}

void templates() {
    FormulaTemplates ts;
    const std::uint32_t a = ts.intern("=A1+B2", 1, 1);
    const std::uint32_t b = ts.intern("=A2+B3", 2, 1);
    CHECK(a != FormulaTemplates::kNone);
    CHECK(a == b);  // same shape relative to its cell
    std::string out;
    CHECK(ts.render(a, 10, 3, out) && out == "=C10+D11");
    out.clear();
    CHECK(ts.render(b, 2, 1, out) && out == "=A2+B3");
    const std::uint32_t c = ts.intern("=$A$1", 5, 5);
    out.clear();
    CHECK(c != FormulaTemplates::kNone && ts.render(c, 9, 9, out) && out == "=$A$1");
    CHECK(ts.size() == 2);
    // Only the relative half of a reference moves; moving off the sheet
    // (above row 1, past column ZZZ) fails and appends nothing.
    const std::uint32_t d = ts.intern("=A1*$B2+C$3", 3, 3);
    out.clear();
    CHECK(d != FormulaTemplates::kNone && ts.render(d, 4, 5, out) && out == "=C2*$B3+E$3");
    out = "x";
    CHECK(!ts.render(d, 1, 3, out) && out == "x");
    const std::uint32_t e = ts.intern("=ZZZ1+1", 1, 1);
    CHECK(e != FormulaTemplates::kNone && !ts.render(e, 1, 2, out) && out == "x");
    CHECK(!ts.render(99, 1, 1, out) && out == "x");
}

void utilities() {
    std::int64_t row = 0;
    std::uint32_t col = 0;
    CHECK(parse_coordinate("B12", row, col) && row == 12 && col == 2);
    CHECK(parse_coordinate("ZZZ1", row, col) && col == MAX_COLUMN);
    CHECK(!parse_coordinate("b12", row, col));
    CHECK(!parse_coordinate("B012", row, col));
    CHECK(!parse_coordinate("AAAA1", row, col));
    char buf[32];
    for (std::uint64_t n : {1ull, 26ull, 27ull, 702ull, 703ull, 18278ull}) {
        std::size_t len = column_letters(n, buf);
        std::string s(buf, len);
        std::int64_t r2 = 0;
        std::uint32_t c2 = 0;
        CHECK(parse_coordinate(s + "1", r2, c2) && c2 == n);
    }
    std::int64_t v = 0;
    CHECK(parse_fast_int("-123", v) && v == -123);
    CHECK(!parse_fast_int("1234567890123456789", v));
    CHECK(!parse_fast_int("12a", v));
    CHECK(std::string_view(buf, float_text(0.1, buf)) == "0.1");
    CHECK(std::string_view(buf, float_text(1e22, buf)) == "1e+22");
    CHECK(std::string_view(buf, int_text(-42, buf)) == "-42");
    CHECK(random_seed() != random_seed());
}

// FlatIndex against a map under random inserts, replacements and erases,
// with hashes drawn from a few values so that probe runs collide, wrap
// around the end of the table and are shifted back by erases.
void flat_index() {
    std::mt19937 rng(12345);
    for (std::uint32_t spread : {1u, 5u, 64u, 100000u}) {
        FlatIndex index;
        std::map<std::uint32_t, std::uint32_t> model;  // value -> hash
        std::uint32_t next = 0;
        for (int step = 0; step < 20000; ++step) {
            const bool add = model.empty() || rng() % 3 != 0;
            if (add) {
                // High hash bits too, so that slots wrap past the mask.
                const std::uint32_t h = (rng() % spread) * 0x9E3779B1u;
                index.insert(h, next);
                model[next++] = h;
            } else {
                auto it = model.begin();
                std::advance(it, rng() % model.size());
                index.erase(it->second, it->first);
                model.erase(it);
            }
        }
        CHECK(index.size() == model.size());
        // The empty key (a default namespace's prefix) hashes like any other.
        CHECK(index.hash(std::string_view()) == index.hash(""));
        CHECK(index.hash("p") != index.hash(""));
        bool all_found = true;
        for (auto [value, h] : model) {
            const std::uint32_t* slot =
                index.find(h, [v = value](std::uint32_t k) { return k == v; });
            all_found = all_found && slot && *slot == value;
        }
        CHECK(all_found);
        CHECK(!index.find(7u, [](std::uint32_t k) { return k == FlatIndex::NONE - 1; }));
        index.clear();
        CHECK(index.size() == 0);
        CHECK(!index.find(model.empty() ? 0u : model.begin()->second,
                          [](std::uint32_t) { return true; }));
    }
}

// The sheet parser's events, one line each, read in chunks of `chunk`
// bytes; the last line is the error that ended the parse, if any.
std::string sheet_lines(std::string_view doc, const SheetOptions& options, std::size_t chunk) {
    MemorySource src(doc.data(), doc.size(), chunk);
    record::Sink sink;
    ReadError e = record::parse(src, options, sink);
    std::string out;
    for (const record::Event& ev : sink.events) out += ev.line() + "\n";
    if (e) out += std::string("ERROR ") + read_error_prefix(e.kind) + (e.message ? e.message : "");
    return out;
}

void sheet_parser() {
    const std::string main = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
    const std::string doc =
        "<worksheet xmlns=\"" + main + "\"><dimension ref=\"A1:C2\"/><sheetData>"
        "<row r=\"1\" ht=\"20\"><c r=\"A1\"><v>42</v></c><c r=\"B1\" t=\"s\"><v>1</v></c>"
        "<c s=\"2\"><v>45000.5</v></c><c r=\"D1\" t=\"inlineStr\"><is><t>a&amp;b</t></is></c>"
        "</row><row><c r=\"A2\"><f>A1*2</f><v>84</v></c><c r=\"B2\" t=\"b\"><v>0</v></c>"
        "<c r=\"C2\" t=\"d\"><v>2024-01-02</v></c><c r=\"D2\"><v>1e400</v></c></row>"
        "</sheetData><pageMargins left=\"1\"/></worksheet>";
    SheetOptions o;
    o.epoch.native = o.epoch.windows = true;
    o.epoch.day = days_from_civil(1899, 12, 30);
    o.date_formats = {2};
    o.shared_count = 2;
    const std::string expect =
        "E <dimension ref=\"A1:C2\"/>\n"
        "R 1 r=1 ht=20\n"
        "C 1,1 s=0 int:42 t=n\n"
        "C 1,2 s=0 shared:1 t=s\n"
        "C 1,3 s=2 date_float:45000.5 t=d\n"
        "C 1,4 s=0 text:a&b t=s\n"
        "R 2\n"
        "C 2,1 s=0 text:=A1*2 t=f f=text:=A1*2\n"
        "C 2,2 s=0 bool:0 t=b\n"
        "C 2,3 s=0 host:2024-01-02 host=iso t=d\n"
        "C 2,4 s=0 host:1e400 host=float t=n\n"
        "E <pageMargins left=\"1\"/>\n";
    for (std::size_t chunk : {std::size_t(65536), std::size_t(7), std::size_t(1)}) {
        CHECK(sheet_lines(doc, o, chunk) == expect);
    }
    // The serial of a date-styled cell converts through the epoch.
    DateParts parts;
    CHECK(date_parts_float(o.epoch, 45000.5, parts) && parts.year == 2023 && parts.month == 3 &&
          parts.day == 15 && parts.hour == 12);
    CHECK(date_parts_int(o.epoch, 59, parts) && parts.month == 2 && parts.day == 28);
    CHECK(date_parts_int(o.epoch, 61, parts) && parts.month == 3 && parts.day == 1);
    // Formula-and-value mode keeps the cached value beside the formula.
    o.formula_and_value = true;
    const std::string f = "<worksheet xmlns=\"" + main +
                          "\"><sheetData><row r=\"1\"><c r=\"A1\"><f>1+1</f><v>2</v></c></row>"
                          "</sheetData></worksheet>";
    CHECK(sheet_lines(f, o, 65536) ==
          "R 1\nC 1,1 s=0 text:=1+1 t=f f=text:=1+1 cached=int:2 t=n\n");
    // What only the host answers ends a parse that has none.
    const std::string odd = "<worksheet xmlns=\"" + main +
                            "\"><sheetData><row r=\"1\"><c r=\"a1\"><v>1</v></c></row>"
                            "</sheetData></worksheet>";
    CHECK(sheet_lines(odd, o, 65536) == "R 1\nERROR unsupported: needs the host");
    // Ill-formed input is reported as such.
    CHECK(sheet_lines("<worksheet xmlns=\"" + main + "\"><sheetData><row><c>", o, 65536)
              .find("ERROR malformed: ") != std::string::npos);
}

}  // namespace

int main() {
    sheet_parser();
    flat_index();
    xml_events();
    xml_errors();
    many_attributes();
    xml_bindings();
    formula_tokens();
    formula_translate();
    templates();
    utilities();
    std::printf("%d checks, %d failed\n", checks.run, checks.failed);
    return checks.failed ? 1 : 0;
}
