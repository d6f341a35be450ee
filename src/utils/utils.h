// Small conversions shared by the readers and the writer: cell references,
// column letters, number text, Python's whitespace and operand classes.
// All are pure byte work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tvx {

// The last column a reference of three letters names (ZZZ). Files may hold
// columns up to it, and the package reads and writes them as it reads any
// other; XFD (16384), the package's MAX_COLUMN, is only the last column a
// spreadsheet program shows, refused where the package checks what users
// put in a sheet.
constexpr std::uint32_t MAX_COLUMN = 18278;

// "B12" -> (12, 2). Upper-case letters only, 1 to 3 of them, then 1 to 9
// digits without a leading zero. False for anything else (never raises).
bool parse_coordinate(std::string_view text, std::int64_t& row, std::uint32_t& column) noexcept;

// Optional "-", then 1 to 18 ASCII digits and nothing else.
bool parse_fast_int(std::string_view text, std::int64_t& value) noexcept;

// Letters of column n >= 1 (bijective base 26), written to `out`, which
// must hold at least 8 bytes; returns the length. Writes nothing and
// returns 0 for n = 0 and for columns that need more than 8 letters.
// append_column_letters takes any n.
std::size_t column_letters(std::uint64_t n, char* out) noexcept;
void append_column_letters(std::string& out, std::uint64_t n);

// Number text: what %.16g gives when that reads back as the same double,
// else the same layout with 17 digits. int_text writes integers beyond
// 2^53 as their nearest double. `out` must hold at least 32 bytes;
// returns the length.
std::size_t int_text(std::int64_t v, char* out) noexcept;
std::size_t float_text(double x, char* out) noexcept;  // finite x only

// The slice of `text` (UTF-8) without what str.strip() removes.
std::string_view py_strip(std::string_view text) noexcept;

// Whether float(s) would succeed for an ASCII text. float() strips less
// than str.strip(): not U+001C..U+001F.
bool is_float_literal(std::string_view s) noexcept;

// Operand subtypes of the formula tokenizer; NeedPython asks the caller to
// let the host's Python tokenizer do the work.
enum class OperandKind : std::uint8_t {
    Text = 1,
    Number = 2,
    Logical = 3,
    Error = 4,
    Range = 5,
    NeedPython = 255,
};
OperandKind classify_operand(std::string_view value) noexcept;

}  // namespace tvx
