// The plain events of the <sheetData> parser: rows, cells with their values
// converted as far as can be done without the host, and the interfaces of
// the parser's consumer (SheetSink) and of its host (SheetHost).
//
// A cell's value is given in a ParsedValue. Most values are complete:
// numbers, booleans, shared-string indices, texts, date serials. Where the
// host's own callables must make the value, `form` is Host and `host` says
// which step is due, on the text in `text` (HostStep). Date rules are
// marked apart (DateStep), since they apply to a number the host may still
// have to make. A consumer either performs the steps (the Python readers
// call the package's helpers) or declines the sheet.
#pragma once

#include "core/errors.h"
#include "formula/formula.h"
#include "text/text_item.h"
#include "utils/dates.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tvx {

// The seven fixed data types, by code.
enum DataTypeCode : std::uint8_t {
    DT_N = 0,
    DT_S = 1,
    DT_F = 2,
    DT_B = 3,
    DT_E = 4,
    DT_D = 5,
    DT_INLINE = 6,
    DT_OTHER = 255,  // the data type is the type text itself (ParsedValue::type_text)
};
inline constexpr const char* kFixedDataTypes[7] = {"n", "s", "f", "b", "e", "d", "inlineStr"};

// The data type a str takes when assigned to a cell: "f" for a formula
// ("=" and more), "e" for an error code, else "s".
inline constexpr std::string_view kErrorCodes[7] = {"#NULL!", "#DIV/0!", "#VALUE!", "#REF!",
                                                    "#NAME?", "#NUM!",   "#N/A"};
inline DataTypeCode text_data_type(std::string_view s) noexcept {
    if (s.size() > 1 && s[0] == '=') return DT_F;
    for (std::string_view code : kErrorCodes) {
        if (s == code) return DT_E;
    }
    return DT_S;
}

enum class ValueForm : std::uint8_t {
    None,
    Int,          // i
    Float,        // f
    Bool,         // i (0 or 1)
    SharedIndex,  // i, an index below SheetOptions::shared_count
    Text,         // text (UTF-8)
    DateInt,      // i, a serial that converts with the epoch (see utils/dates.h)
    DateFloat,    // f, likewise
    Host,         // the host makes the value: see `host`
    Object,       // made by the host (used by the layers above, never here)
};

// The host step that makes a Host value, from `text`.
enum class HostStep : std::uint8_t {
    None,
    Int,           // the host's int(text)
    Float,         // the host's float(text)
    SharedString,  // shared_strings[int(text)] (or [i] when `i_set`)
    Bool,          // bool(int(text))
    IsoDate,       // the host's ISO 8601 parser of text
    InlineItem,    // the rich or unusual <is> item handed to TextItemHost::take_capture
    ArrayFormula,  // the host's array formula of (ref, formula text): CellEvent::formula
    DataTable,     // the host's data-table formula of the <f> attributes
    SharedFormula, // the host's translation of a shared formula: CellEvent::formula
};

// Date rules still due on a number value (a number in a date format).
enum class DateStep : std::uint8_t {
    None,
    Rules,    // once the host made the number: date_rule() decides
    Excel,    // the host's serial conversion (a duration format, an epoch
              // the engine does not convert, or a number the host made)
    Warning,  // the serial does not convert: the host's date warning, and
              // the value becomes the error text "#VALUE!"
};

struct ParsedValue {
    ValueForm form = ValueForm::None;
    HostStep host = HostStep::None;
    DateStep date = DateStep::None;
    bool i_set = false;  // SharedString with the index in `i`
    std::uint8_t data_type = DT_N;  // DataTypeCode
    std::int64_t i = 0;
    double f = 0.0;
    std::string_view text;       // Text, and the input of host steps
    std::string_view type_text;  // the t attribute when data_type is DT_OTHER
};

// How a cell's formula stands, when its <f> is used.
enum class FormulaForm : std::uint8_t {
    None,
    Text,          // an ordinary formula: the value is its "=" text
    SharedMember,  // a member of a group moved here: the value is its text, `tmpl` the group's
    HostMaster,    // the first cell of a group the host translates: the value is
                   // its text; the host makes the group's translator from
                   // (text, origin) under `group`
    HostMember,    // a member of such a group: the host translates to `dest`
    Array,         // HostStep::ArrayFormula: `ref` (when has_ref) and `text`
    DataTable,     // HostStep::DataTable: `attributes`
};

struct FormulaEvent {
    FormulaForm form = FormulaForm::None;
    bool has_ref = false;
    bool has_origin = false, has_dest = false;
    std::string_view text;    // "=" and the formula
    std::string_view ref;     // Array
    std::string_view origin;  // HostMaster: the first cell's reference
    std::string_view dest;    // HostMember: where the member stands
    std::uint32_t group = 0;  // HostMaster, HostMember: the group's number
    // SharedMember: the group's template, and the number the consumer
    // gives the group (kNoGroup until it gives one; it stays set).
    const FormulaTemplate* tmpl = nullptr;
    std::uint32_t* shared_number = nullptr;
    // DataTable: every attribute of <f>, unprefixed names as written,
    // prefixed ones as "{uri}local".
    const std::vector<std::pair<std::string, std::string>>* attributes = nullptr;
    // A formula the translator refuses: the consumer raises it.
    FormulaError error;
};

inline constexpr std::uint32_t kNoGroup = 0xFFFFFFFFu;

// One <c>. Views are valid during the on_cell call only.
struct CellEvent {
    std::int64_t row = 0, column = 0;
    std::int64_t style_id = 0;      // 0 for a cell without `s`
    bool unusual_style = false;     // `s` is not a 64-bit integer (SheetHost::style_id)
    bool has_coordinate = false;    // r as written
    std::string_view coordinate;
    ParsedValue value;
    bool formula_used = false;      // an <f> made the value
    FormulaEvent formula;
    // The cell as written: its <v> text (empty when absent or empty), its t
    // and cm attributes. A formula's cached value is kept from these.
    std::string_view v_text;
    bool has_t = false, has_cm = false;
    std::string_view t_text, cm_text;
    // A cell whose formula is used: what its <v> converts to (the host
    // steps of which are due all the same), kept in formula-and-value mode
    // (`has_cached`).
    bool has_cached = false;
    ParsedValue cached;
};

// One <row>: its number, and every attribute of its tag when it has any
// beyond r and spans (names as in FormulaEvent::attributes).
struct RowEvent {
    std::int64_t row = 0;
    const std::vector<std::pair<std::string, std::string>>* attributes = nullptr;
};

// Receives what the parser reads, in document order.
class SheetSink {
public:
    virtual ~SheetSink() = default;
    // A child of the root other than <sheetData>, or of <sheetData> other
    // than <row>: its raw bytes. The reader stands right after it, with the
    // element's inherited namespaces still in scope.
    virtual ReadError on_element(const XmlReader& reader, std::string_view bytes) = 0;
    virtual ReadError on_row(const RowEvent& row) = 0;
    virtual ReadError on_cell(CellEvent& cell) = 0;
};

// What the parser must ask the host while it reads, because the answer
// decides how it goes on. A consumer without a host answers Unsupported.
class SheetHost : public TextItemHost {
public:
    // (row, column) of an r text that is not a plain reference.
    virtual ReadError coordinate(std::string_view text, std::int64_t& row,
                                 std::int64_t& column) = 0;
    // The number of a row whose r text is not a plain integer.
    virtual ReadError row_number(std::string_view text, std::int64_t& row) = 0;
    // The id of an s text that is not a plain integer; `unusual` when the
    // host's id is not a 64-bit integer (the host keeps it for the cell).
    virtual ReadError style_id(std::string_view text, std::int64_t& id, bool& unusual) = 0;
};

}  // namespace tvx
