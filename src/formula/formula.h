// Formula tokenizer and shared-formula templates.
//
// tokenize() splits a formula exactly as the package's Python tokenizer
// does. build_template() turns the tokens into text pieces and relative
// row/column numbers once, so that moving the formula to another cell is a
// walk over the pieces with integer additions.
#pragma once

#include "core/errors.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvx {

enum class TokenType : std::uint8_t {
    Literal = 0,  // a text that does not start with "="
    Operand = 1,
    Func = 2,
    Array = 3,
    Paren = 4,
    Sep = 5,
    OpPre = 6,
    OpIn = 7,
    OpPost = 8,
    Whitespace = 9,
};

// 1 to 5 are the operand kinds of classify_operand().
enum class TokenSubtype : std::uint8_t {
    None = 0,
    Text = 1,
    Number = 2,
    Logical = 3,
    Error = 4,
    Range = 5,
    Open = 6,
    Close = 7,
    Arg = 8,
    Row = 9,
};

struct FormulaToken {
    std::string value;  // UTF-8
    TokenType type;
    TokenSubtype subtype;
};

// Tokens of a UTF-8 formula text, replacing the contents of `out`. On error
// `out` holds nothing usable. NeedPython: an operand has non-ASCII text,
// whose number-ness only Python's float() decides. Pure.
FormulaError tokenize(std::string_view formula, std::vector<FormulaToken>& out);

struct CellPos {
    std::int64_t row;
    std::int64_t col;
};

// A formula relative to the cell it was written in.
struct FormulaTemplate {
    enum class Shape : std::uint8_t {
        Empty,    // no tokens: renders as ""
        Literal,  // no leading "=": renders as `text` unchanged
        Pieces,
    };
    struct Piece {
        enum Kind : std::uint8_t { Text, Row, Col };
        std::uint32_t value;  // Text: byte length taken from `text`; Row/Col: number as written
        Kind kind;
    };

    // Text pieces concatenated, in order (for Literal the whole formula).
    std::string text;
    std::vector<Piece> pieces;
    std::int64_t origin_row = 0;
    std::int64_t origin_col = 0;
    Shape shape = Shape::Empty;

    // Building a Pieces template: text that never moves (merged into the
    // Text piece before it), and a relative row or column number as written.
    void add_text(std::string_view s);
    void add_relative(Piece::Kind kind, std::uint32_t value) {
        pieces.push_back(Piece{value, kind});
    }
};

FormulaTemplate build_template(const std::vector<FormulaToken>& tokens, std::int64_t origin_row,
                               std::int64_t origin_col);

// tokenize + build_template; `out` is set only on success.
FormulaError make_template(std::string_view formula, CellPos origin, FormulaTemplate& out);

// Appends the formula as it reads at `dest` (no destination: nothing moves)
// to `out`. On "Formula out of range" `out` is left as it was.
FormulaError render(const FormulaTemplate& t, const std::optional<CellPos>& dest, std::string& out);

// tokenize + build_template + render in one go.
FormulaError translate(std::string_view formula, CellPos origin, const std::optional<CellPos>& dest,
                       std::string& out);

}  // namespace tvx
