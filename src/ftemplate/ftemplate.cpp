#include "ftemplate/ftemplate.h"

namespace tvx {

namespace {

using Candidate = FormulaTemplates::Candidate;
using Piece = FormulaTemplate::Piece;

inline bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_alpha(char c) { return is_upper(c) || (c >= 'a' && c <= 'z'); }

inline std::uint64_t mix(std::uint64_t h, std::uint64_t v) {
    h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
    return h * 0xFF51AFD7ED558CCDull;
}

std::uint64_t hash_bytes(std::uint64_t h, const char* p, std::size_t n) {
    // FNV-1a over the bytes, folded into the running hash.
    std::uint64_t f = 0xCBF29CE484222325ull;
    for (std::size_t i = 0; i < n; i++) f = (f ^ (unsigned char)p[i]) * 0x100000001B3ull;
    return mix(h, f ^ n);
}

// Tries to read a candidate at t[i]; the caller has checked what precedes it.
bool read_candidate(std::string_view t, std::size_t i, Candidate& c) {
    std::size_t p = i;
    const std::size_t n = t.size();
    c.start = i;
    c.col_abs = p < n && t[p] == '$';
    if (c.col_abs) p++;
    std::size_t letters = 0;
    std::int64_t col = 0;
    while (p < n && is_upper(t[p])) {
        if (++letters > 3) return false;
        col = col * 26 + (t[p] - 'A' + 1);
        p++;
    }
    if (letters == 0) return false;
    c.mid = p;
    c.row_abs = p < n && t[p] == '$';
    if (c.row_abs) p++;
    if (p >= n || t[p] < '1' || t[p] > '9') return false;
    std::int64_t row = 0;
    std::size_t digits = 0;
    while (p < n && is_digit(t[p])) {
        if (++digits > 7) return false;
        row = row * 10 + (t[p] - '0');
        p++;
    }
    if (p < n) {
        char next = t[p];
        if (next == '!' || next == '$' || next == '(' || next == '.' || next == '_') return false;
    }
    c.end = p;
    c.col = col;
    c.row = row;
    return true;
}

// Finds the candidates of `t`, skipping quoted parts.
void scan(std::string_view t, std::vector<Candidate>& out) {
    out.clear();
    const std::size_t n = t.size();
    std::size_t i = 0;
    while (i < n) {
        char ch = t[i];
        if (ch == '"' || ch == '\'') {
            // A doubled quote stays inside the quoted part.
            std::size_t j = i + 1;
            while (j < n) {
                if (t[j] == ch) {
                    if (j + 1 < n && t[j + 1] == ch) {
                        j += 2;
                        continue;
                    }
                    break;
                }
                j++;
            }
            i = j + 1;
            continue;
        }
        if (ch == '$' || is_upper(ch)) {
            char prev = i ? t[i - 1] : '\0';
            bool blocked = i && (is_alpha(prev) || is_digit(prev) || prev == '$' || prev == '.' ||
                                 prev == '_');
            Candidate c;
            if (!blocked && read_candidate(t, i, c)) {
                out.push_back(c);
                i = c.end;
                continue;
            }
        }
        i++;
    }
}

// Walks `text` as a template sees it: on_text(from, to) for each stretch
// between relative parts (absolute parts stay in the stretches, as written)
// and on_part(kind, value) for each relative row or column. Stops at the
// first handler returning false.
template <class OnText, class OnPart>
bool walk(std::string_view text, const std::vector<Candidate>& cands, OnText on_text,
          OnPart on_part) {
    std::size_t last = 0;
    auto part = [&](Piece::Kind kind, std::size_t from, std::size_t to, std::int64_t value) {
        if (!on_text(last, from) || !on_part(kind, value)) return false;
        last = to;
        return true;
    };
    for (const Candidate& c : cands) {
        if (!c.col_abs && !part(Piece::Col, c.start, c.mid, c.col)) return false;
        if (!c.row_abs && !part(Piece::Row, c.mid, c.end, c.row)) return false;
    }
    return on_text(last, text.size());
}

// Whether `t` renders exactly `text` at (row, column), given the text's
// candidates: the same check as rendering and comparing, piece by piece
// without building the string. A stretch of text between relative parts is
// one Text piece.
bool matches(const FormulaTemplate& t, std::string_view text, const std::vector<Candidate>& cands,
             std::int64_t row, std::int64_t column) {
    std::size_t piece = 0, text_pos = 0;
    const std::size_t count = t.pieces.size();
    auto on_text = [&](std::size_t from, std::size_t to) {
        const std::size_t len = to - from;
        if (len == 0) return true;
        if (piece >= count || t.pieces[piece].kind != Piece::Text || t.pieces[piece].value != len ||
            t.text.compare(text_pos, len, text.data() + from, len) != 0) {
            return false;
        }
        text_pos += len;
        piece++;
        return true;
    };
    auto on_part = [&](Piece::Kind kind, std::int64_t value) {
        if (piece >= count || t.pieces[piece].kind != kind) return false;
        const std::int64_t written = t.pieces[piece++].value;
        return kind == Piece::Row ? written - t.origin_row == value - row
                                  : written - t.origin_col == value - column;
    };
    return walk(text, cands, on_text, on_part) && piece == count;
}

}  // namespace

void FormulaTemplates::clear() noexcept {
    templates_.clear();
    index_.clear();
}

void FormulaTemplates::shrink() {
    templates_.shrink_to_fit();
    for (auto& t : templates_) {
        t.text.shrink_to_fit();
        t.pieces.shrink_to_fit();
    }
}

bool FormulaTemplates::render(std::uint32_t number, std::int64_t row, std::int64_t column,
                              std::string& out) const {
    if (number >= templates_.size()) return false;
    return !tvx::render(templates_[number], CellPos{row, column}, out);
}

std::uint32_t FormulaTemplates::intern(std::string_view text, std::int64_t row,
                                       std::int64_t column) {
    // Longer texts than a Text piece holds are kept as plain text.
    if (text.size() <= 3 || text.size() >= UINT32_MAX) return kNone;
    std::vector<Candidate>& cands = cands_;
    scan(text, cands);

    std::uint64_t h = 0x243F6A8885A308D3ull;
    walk(
        text, cands,
        [&](std::size_t from, std::size_t to) {
            h = hash_bytes(h, text.data() + from, to - from);
            return true;
        },
        [&](Piece::Kind kind, std::int64_t value) {
            const std::int64_t offset = value - (kind == Piece::Row ? row : column);
            h = mix(h, (std::uint64_t)offset ^ ((std::uint64_t)kind << 61));
            return true;
        });

    auto found = index_.find(h);
    if (found != index_.end()) {
        if (found->second == kFailed) return kNone;
        return matches(templates_[found->second], text, cands, row, column) ? found->second : kNone;
    }

    FormulaTemplate t;
    t.shape = FormulaTemplate::Shape::Pieces;
    t.origin_row = row;
    t.origin_col = column;
    walk(
        text, cands,
        [&](std::size_t from, std::size_t to) {
            t.add_text(text.substr(from, to - from));
            return true;
        },
        [&](Piece::Kind kind, std::int64_t value) {
            t.add_relative(kind, (std::uint32_t)value);
            return true;
        });

    scratch_.clear();
    if (tvx::render(t, CellPos{row, column}, scratch_) || scratch_ != text ||
        templates_.size() >= kFailed) {
        index_.emplace(h, kFailed);
        return kNone;
    }
    templates_.push_back(std::move(t));
    std::uint32_t number = (std::uint32_t)(templates_.size() - 1);
    index_.emplace(h, number);
    return number;
}

}  // namespace tvx
