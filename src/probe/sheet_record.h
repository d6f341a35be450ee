// A consumer of the sheet parser without any host: every event recorded
// as plain data, every question to the host answered Unsupported (so a
// sheet that needs the host ends there), every string item with run
// properties handed over. Shared by the probe module and the native tests.
#pragma once

#include "sheet/sheet_parser.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace tvx::record {

inline const char* form_name(ValueForm f) {
    static const char* const names[] = {"none", "int",        "float",       "bool", "shared",
                                        "text", "date_int", "date_float", "host", "object"};
    return names[static_cast<int>(f)];
}
inline const char* host_name(HostStep h) {
    static const char* const names[] = {"",         "int",    "float",      "shared_string",
                                        "bool",     "iso",    "inline",     "array",
                                        "datatable", "shared_formula"};
    return names[static_cast<int>(h)];
}
inline const char* date_name(DateStep d) {
    static const char* const names[] = {"", "rules", "excel", "warning"};
    return names[static_cast<int>(d)];
}
inline const char* formula_name(FormulaForm f) {
    static const char* const names[] = {"",           "text",  "shared_member", "host_master",
                                        "host_member", "array", "datatable"};
    return names[static_cast<int>(f)];
}

struct Value {
    std::string form, host, date, data_type, text;
    std::int64_t i = 0;
    double f = 0.0;

    static Value of(const ParsedValue& v) {
        Value out;
        out.form = form_name(v.form);
        out.host = host_name(v.host);
        out.date = date_name(v.date);
        out.data_type = v.data_type == DT_OTHER ? std::string(v.type_text)
                                                : std::string(kFixedDataTypes[v.data_type]);
        out.text = std::string(v.text);
        out.i = v.i;
        out.f = v.f;
        return out;
    }
    // One line of text: "form:value [host] [date] type".
    std::string line() const {
        std::string s = form + ":";
        if (form == "int" || form == "bool" || form == "shared" || form == "date_int") {
            s += std::to_string(i);
        } else if (form == "float" || form == "date_float") {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.17g", f);
            s += buf;
        } else {
            s += text;
        }
        if (!host.empty()) s += " host=" + host;
        if (!date.empty()) s += " date=" + date;
        return s + " t=" + data_type;
    }
};

struct Event {
    char kind = 'C';  // 'E' element, 'R' row, 'C' cell
    std::string bytes;                                       // E
    std::int64_t row = 0, column = 0, style = 0;             // R (row), C
    bool unusual = false, has_attrs = false, has_cached = false;
    std::vector<std::pair<std::string, std::string>> attrs;  // R
    Value value, cached;                                     // C
    std::string formula_form, formula_text;                  // C

    std::string line() const {
        if (kind == 'E') return "E " + bytes;
        if (kind == 'R') {
            std::string s = "R " + std::to_string(row);
            for (const auto& [k, v] : attrs) s += " " + k + "=" + v;
            return s;
        }
        std::string s = "C " + std::to_string(row) + "," + std::to_string(column) + " s=" +
                        (unusual ? std::string("?") : std::to_string(style)) + " " + value.line();
        if (!formula_form.empty()) s += " f=" + formula_form + ":" + formula_text;
        if (has_cached) s += " cached=" + cached.line();
        return s;
    }
};

class Host final : public SheetHost {
public:
    const NameSet& text_dangerous() const noexcept override { return none_; }
    const NameSet& rich_dangerous() const noexcept override { return none_; }
    ReadError judge_rpr(const XmlReader&, std::string_view, bool& lossless) override {
        lossless = false;
        return ReadError::ok();
    }
    ReadError take_capture(const XmlReader&, std::string_view raw) override {
        capture.assign(raw);
        return ReadError::ok();
    }
    ReadError coordinate(std::string_view, std::int64_t&, std::int64_t&) override {
        return ReadError::unsupported("needs the host");
    }
    ReadError row_number(std::string_view, std::int64_t&) override {
        return ReadError::unsupported("needs the host");
    }
    ReadError style_id(std::string_view, std::int64_t&, bool&) override {
        return ReadError::unsupported("needs the host");
    }
    std::string capture;

private:
    NameSet none_;
};

class Sink final : public SheetSink {
public:
    std::vector<Event> events;

    ReadError on_element(const XmlReader&, std::string_view bytes) override {
        Event e;
        e.kind = 'E';
        e.bytes.assign(bytes);
        events.push_back(std::move(e));
        return ReadError::ok();
    }
    ReadError on_row(const RowEvent& row) override {
        Event e;
        e.kind = 'R';
        e.row = row.row;
        if (row.attributes) {
            e.has_attrs = true;
            e.attrs = *row.attributes;
        }
        events.push_back(std::move(e));
        return ReadError::ok();
    }
    ReadError on_cell(CellEvent& cell) override {
        Event e;
        e.row = cell.row;
        e.column = cell.column;
        e.style = cell.style_id;
        e.unusual = cell.unusual_style;
        e.value = Value::of(cell.value);
        if (cell.formula.error) {
            e.formula_form = "error";
            e.formula_text = cell.formula.error.message;
        } else if (cell.formula.form != FormulaForm::None) {
            e.formula_form = formula_name(cell.formula.form);
            e.formula_text = std::string(cell.formula.text);
        }
        e.has_cached = cell.has_cached;
        if (cell.has_cached) e.cached = Value::of(cell.cached);
        events.push_back(std::move(e));
        return ReadError::ok();
    }
};

// Parses a whole document; the error that ended it, if any.
inline ReadError parse(ByteSource& source, const SheetOptions& options, Sink& sink) {
    XmlReader reader(source);
    Host host;
    SheetParser parser(reader, options, host);
    for (;;) {
        SheetItem item;
        TVX_TRY(parser.next_item(sink, item));
        if (item == SheetItem::End) return ReadError::ok();
    }
}

}  // namespace tvx::record
