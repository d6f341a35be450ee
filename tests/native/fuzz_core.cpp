// Fuzz entry point for the parsing cores: the input is read as an XML
// document and as a worksheet by the sheet parser (each whole and in small
// chunks, which must agree) and as a formula
// (tokenized, and translated to a few destinations, which must agree with
// a template rendering). Any disagreement aborts; the sanitizers catch the
// rest.
#include "formula/formula.h"
#include "ftemplate/ftemplate.h"
#include "probe/sheet_record.h"
#include "xml/reader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

using namespace tvx;

// A digest of the events, or of the error that ended them.
std::string walk(std::string_view doc, std::size_t chunk) {
    MemorySource src(doc.data(), doc.size(), chunk);
    XmlReader r(src);
    std::string out, scratch;
    std::vector<std::pair<std::string_view, std::string_view>> bindings;
    for (int steps = 0; steps < 100000; ++steps) {
        XmlEvent ev;
        if (ReadError e = r.next(ev)) {
            out += char('0' + int(e.kind));
            out += e.message ? e.message : "";
            return out;
        }
        out += char('a' + int(ev));
        if (ev == XmlEvent::EndOfDocument) return out;
        if (ev == XmlEvent::Text) {
            out += r.decode_text(scratch);
        } else {
            out += r.qname();
            out += r.namespace_uri(r.ns());
            for (const AttributeRecord& a : r.attributes())
                out += r.decode_attribute_value(a, scratch);
            r.bindings_in_scope(bindings);
            out += std::to_string(bindings.size());
        }
    }
    return out;
}

void formula(std::string_view text) {
    std::vector<FormulaToken> tokens;
    (void)tokenize(text, tokens);
    FormulaTemplate t;
    const bool templated = !make_template(text, {3, 3}, t);
    for (CellPos dest : {CellPos{3, 3}, CellPos{1, 1}, CellPos{1048576, 16384}}) {
        std::string a, b;
        const FormulaError e = translate(text, {3, 3}, dest, a);
        if (templated) {
            const FormulaError f = render(t, dest, b);
            if (e.kind != f.kind || (!e && a != b)) std::abort();
        }
    }
    FormulaTemplates ts;
    const std::uint32_t n = ts.intern(text, 7, 7);
    if (n != FormulaTemplates::kNone) {
        std::string back;
        if (!ts.render(n, 7, 7, back) || back != text) std::abort();
    }
}

// The input as a worksheet, read by the sheet parser without a host.
std::string sheet(std::string_view doc, std::size_t chunk, bool formula_and_value) {
    MemorySource src(doc.data(), doc.size(), chunk);
    SheetOptions o;
    o.epoch.native = o.epoch.windows = true;
    o.epoch.day = days_from_civil(1899, 12, 30);
    o.date_formats = {1, 2};
    o.timedelta_formats = {2};
    o.shared_count = 3;
    o.formula_and_value = formula_and_value;
    record::Sink sink;
    ReadError e = record::parse(src, o, sink);
    std::string out;
    for (const record::Event& ev : sink.events) out += ev.line() + "\n";
    out += char('0' + int(e.kind));
    out += e.message ? e.message : "";
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (walk(input, 65536) != walk(input, 7)) std::abort();
    const bool fav = size > 0 && (data[0] & 1);
    if (sheet(input, 65536, fav) != sheet(input, 7, fav)) std::abort();
    formula(input);
    return 0;
}
