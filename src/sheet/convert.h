// Cell value conversion: the type attribute, <v> text and style id of one
// <c> turned into the value and data type the host's own reader gives that
// cell, as far as that is done without the host (see ParsedValue).
#pragma once

#include "sheet/cell_event.h"
#include "utils/dates.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace tvx {

// The reading options of one sheet, as plain data.
struct SheetOptions {
    NativeEpoch epoch;
    bool formula_and_value = false;
    bool data_only = false;
    bool rich_text = false;
    std::vector<std::int64_t> date_formats;       // sorted, unique style ids
    std::vector<std::int64_t> timedelta_formats;  // sorted, unique style ids
    // Number of shared strings an index may address directly; an index at
    // or past it is left to the host (HostStep::SharedString).
    std::int64_t shared_count = 0;

    bool is_date_style(std::int64_t id) const noexcept;
    bool is_timedelta_style(std::int64_t id) const noexcept;
};

// One <c> as the sheet parser read it.
struct RawCell {
    bool has_type = false;
    std::string_view type;
    std::string_view value;  // empty means absent
    std::int64_t style_id = 0;
    bool unusual_style = false;  // the style id is not a 64-bit integer
    bool has_coordinate = false;
    std::string_view coordinate;
    bool has_cm = false;  // the cell's cm attribute (cell metadata)
    std::string_view cm;
    bool inline_item = false;    // an <is> was read
    bool inline_captured = false;  // ... and handed to the host
    std::string_view inline_text;  // ... else its text
};

// Converts one cell's value.
void convert(const SheetOptions& options, const RawCell& raw, ParsedValue& out) noexcept;

// The date rules on a number (Int, Float, or a number the host made, given
// as Host) in date format `style_id`: a date serial form, or the DateStep
// the host must take. No change when the style is not a date format.
void date_rule(const SheetOptions& options, std::int64_t style_id, ParsedValue& v) noexcept;

// The numbers as the host's reader parses them: an integer of at most 18
// digits, or a decimal whose double is exactly rounded. False when the host
// must parse the text (`as_float` tells with which of int() and float()).
bool parse_number(std::string_view text, std::int64_t& i, double& f, bool& is_int,
                  bool& as_float) noexcept;

}  // namespace tvx
