// Formula templates: a tokenized formula as text pieces and relative row
// and column numbers, rendered for any destination cell.
#include "formula/formula.h"

#include "utils/utils.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace tvx {
namespace {

using Piece = FormulaTemplate::Piece;

// One "[$]digits" or "[$]letters" part of a reference.
struct RefPart {
    std::string_view written;  // as in the formula, "$" included
    bool absolute;
    std::uint32_t value;  // row number, or column number of the letters
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The end of a pattern: the end of the text, or a single line feed before it.
bool at_end(std::string_view s, std::size_t i) {
    return i == s.size() || (i + 1 == s.size() && s[i] == '\n');
}

// "$"? then 1 to 7 digits, the first 1 to 9. Greedy matching is exact here:
// every caller needs a non-digit to follow.
bool row_part(std::string_view s, std::size_t& i, RefPart& p) {
    std::size_t start = i, j = i;
    p.absolute = j < s.size() && s[j] == '$';
    if (p.absolute) ++j;
    if (j >= s.size() || s[j] < '1' || s[j] > '9') return false;
    std::uint32_t v = 0;
    std::size_t digits = 0;
    while (j < s.size() && is_digit(s[j]) && digits < 7) {
        v = v * 10 + (std::uint32_t)(s[j] - '0');
        ++j;
        ++digits;
    }
    p.value = v;
    p.written = s.substr(start, j - start);
    i = j;
    return true;
}

// "$"? then 1 to 3 letters of either case (bijective base 26).
bool col_part(std::string_view s, std::size_t& i, RefPart& p) {
    std::size_t start = i, j = i;
    p.absolute = j < s.size() && s[j] == '$';
    if (p.absolute) ++j;
    std::uint32_t v = 0;
    std::size_t letters = 0;
    while (j < s.size() && is_alpha(s[j]) && letters < 3) {
        v = v * 26 + (std::uint32_t)((s[j] | 0x20) - 'a' + 1);
        ++j;
        ++letters;
    }
    if (letters == 0) return false;
    p.value = v;
    p.written = s.substr(start, j - start);
    i = j;
    return true;
}

bool range_of(std::string_view s, bool (*part)(std::string_view, std::size_t&, RefPart&),
              RefPart& a, RefPart& b) {
    std::size_t i = 0;
    if (!part(s, i, a) || i >= s.size() || s[i] != ':') return false;
    ++i;
    return part(s, i, b) && at_end(s, i);
}

bool cell_ref(std::string_view s, RefPart& col, RefPart& row) {
    std::size_t i = 0;
    return col_part(s, i, col) && row_part(s, i, row) && at_end(s, i);
}

class Builder {
public:
    explicit Builder(FormulaTemplate& t) : t_(t) {}

    void text(std::string_view s) { t_.add_text(s); }

    void reference(std::string_view v) {
        std::size_t bang = v.rfind('!');
        std::string_view rest = v;
        if (bang != std::string_view::npos) {
            text(v.substr(0, bang + 1));  // sheet names never move
            rest = v.substr(bang + 1);
        }
        RefPart a, b;
        if (range_of(rest, row_part, a, b)) {
            part(a, Piece::Row);
            text(":");
            part(b, Piece::Row);
        } else if (range_of(rest, col_part, a, b)) {
            part(a, Piece::Col);
            text(":");
            part(b, Piece::Col);
        } else if (rest.find(':') != std::string_view::npos) {
            // A chain such as A1:B2:C3: each part on its own.
            std::size_t start = 0;
            for (;;) {
                std::size_t colon = rest.find(':', start);
                single(rest.substr(start, colon == std::string_view::npos ? colon : colon - start));
                if (colon == std::string_view::npos) break;
                text(":");
                start = colon + 1;
            }
        } else {
            single(rest);
        }
    }

private:
    FormulaTemplate& t_;

    // A part without ":" or "!": a cell reference, or text.
    void single(std::string_view s) {
        RefPart col, row;
        if (cell_ref(s, col, row)) {
            part(col, Piece::Col);
            part(row, Piece::Row);
        } else {
            text(s);
        }
    }

    void part(const RefPart& p, Piece::Kind kind) {
        if (p.absolute) {
            text(p.written);
        } else {
            t_.add_relative(kind, p.value);
        }
    }
};

// Longest text of a Row (a 128-bit value) or Col piece.
constexpr std::size_t kPieceMax = 40;

// Writes the decimal of a row >= 1 at p; returns the end.
char* write_row(char* p, __int128 v) {
    char buf[kPieceMax];
    char* end = buf + sizeof buf;
    char* q = end;
    if (v <= (__int128)UINT64_MAX) {
        std::uint64_t u = (std::uint64_t)v;
        do {
            *--q = (char)('0' + u % 10);
            u /= 10;
        } while (u);
    } else {
        do {
            *--q = (char)('0' + (int)(v % 10));
            v /= 10;
        } while (v);
    }
    std::size_t n = (std::size_t)(end - q);
    std::memcpy(p, q, n);
    return p + n;
}

// Writes the template moved by the deltas at p, which has room for
// text.size() + kPieceMax per piece; nullptr when a reference leaves the sheet.
char* write_pieces(const FormulaTemplate& t, __int128 drow, __int128 dcol, char* p) {
    const char* text = t.text.data();
    for (const Piece& piece : t.pieces) {
        switch (piece.kind) {
            case Piece::Text:
                std::memcpy(p, text, piece.value);
                text += piece.value;
                p += piece.value;
                break;
            case Piece::Row: {
                __int128 row = piece.value + drow;
                if (row < 1) return nullptr;
                p = write_row(p, row);
                break;
            }
            case Piece::Col: {
                __int128 col = piece.value + dcol;
                if (col < 1 || col > MAX_COLUMN) return nullptr;
                p += column_letters((std::uint64_t)col, p);
                break;
            }
        }
    }
    return p;
}

FormulaError out_of_range() { return FormulaError::translator("Formula out of range"); }

}  // namespace

void FormulaTemplate::add_text(std::string_view s) {
    text.append(s);
    // Merge with the previous Text piece while its 32-bit length allows.
    while (!s.empty()) {
        if (pieces.empty() || pieces.back().kind != Piece::Text ||
            pieces.back().value == UINT32_MAX) {
            pieces.push_back(Piece{0, Piece::Text});
        }
        std::uint32_t& len = pieces.back().value;
        std::size_t take = std::min<std::size_t>(s.size(), UINT32_MAX - len);
        len += (std::uint32_t)take;
        s.remove_prefix(take);
    }
}

FormulaTemplate build_template(const std::vector<FormulaToken>& tokens, std::int64_t origin_row,
                               std::int64_t origin_col) {
    FormulaTemplate t;
    t.origin_row = origin_row;
    t.origin_col = origin_col;
    if (tokens.empty()) return t;
    if (tokens[0].type == TokenType::Literal) {
        t.shape = FormulaTemplate::Shape::Literal;
        t.text = tokens[0].value;
        return t;
    }
    t.shape = FormulaTemplate::Shape::Pieces;
    Builder b(t);
    b.text("=");
    for (const FormulaToken& tok : tokens) {
        if (tok.type == TokenType::Operand && tok.subtype == TokenSubtype::Range) {
            b.reference(tok.value);
        } else {
            b.text(tok.value);
        }
    }
    t.text.shrink_to_fit();
    t.pieces.shrink_to_fit();
    return t;
}

FormulaError render(const FormulaTemplate& t, const std::optional<CellPos>& dest,
                    std::string& out) {
    switch (t.shape) {
        case FormulaTemplate::Shape::Empty:
            return FormulaError::ok();
        case FormulaTemplate::Shape::Literal:
            out.append(t.text);
            return FormulaError::ok();
        case FormulaTemplate::Shape::Pieces:
            break;
    }
    // 128-bit so that any pair of 64-bit positions moves exactly.
    __int128 drow = 0, dcol = 0;
    if (dest) {
        drow = (__int128)dest->row - t.origin_row;
        dcol = (__int128)dest->col - t.origin_col;
    }
    const std::size_t bound = t.text.size() + t.pieces.size() * kPieceMax;
    char small[1024];
    if (bound <= sizeof small) {
        char* end = write_pieces(t, drow, dcol, small);
        if (!end) return out_of_range();
        out.append(small, (std::size_t)(end - small));
        return FormulaError::ok();
    }
    const std::size_t start = out.size();
    out.resize(start + bound);
    char* end = write_pieces(t, drow, dcol, out.data() + start);
    if (!end) {
        out.resize(start);
        return out_of_range();
    }
    out.resize((std::size_t)(end - out.data()));
    return FormulaError::ok();
}

FormulaError make_template(std::string_view formula, CellPos origin, FormulaTemplate& out) {
    std::vector<FormulaToken> tokens;
    if (auto e = tokenize(formula, tokens)) return e;
    out = build_template(tokens, origin.row, origin.col);
    return FormulaError::ok();
}

FormulaError translate(std::string_view formula, CellPos origin, const std::optional<CellPos>& dest,
                       std::string& out) {
    FormulaTemplate t;
    if (auto e = make_template(formula, origin, t)) return e;
    return render(t, dest, out);
}

}  // namespace tvx
