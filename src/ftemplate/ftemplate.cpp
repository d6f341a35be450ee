#include "ftemplate/ftemplate.h"

#include "utils/utils.h"

#include <cstring>

namespace tvx {

namespace {

constexpr std::uint32_t kMaxColumn = 18278;

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

void append_int(std::string& out, std::int64_t v) {
    char buf[24];
    int len = 0;
    std::uint64_t u = v < 0 ? 0 - (std::uint64_t)v : (std::uint64_t)v;
    do {
        buf[len++] = (char)('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0) out.push_back('-');
    while (len) out.push_back(buf[--len]);
}

}  // namespace

// Tries to read a candidate at text[i]; the caller has checked what
// precedes it.
bool FormulaTemplates::read_candidate(std::string_view t, std::size_t i, Candidate& c) {
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
void FormulaTemplates::scan(std::string_view t, std::vector<Candidate>& out) {
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

// Whether `t` renders exactly `text` at (row, column), given the text's
// candidates: the same check as rendering and comparing, piece by piece
// without building the string. Templates hold Text pieces only between
// references, so pieces and candidates line up one to one.
bool FormulaTemplates::matches(const Template& t, std::string_view text,
                               const std::vector<Candidate>& cands, std::int64_t row,
                               std::int64_t column) const {
    std::size_t pos = 0, text_pos = 0, piece = 0;
    auto text_piece = [&](std::size_t len) -> bool {
        if (len == 0) return true;
        if (piece >= t.pieces.size() || t.pieces[piece].kind != Piece::Text ||
            t.pieces[piece].text_len != len ||
            t.text.compare(text_pos, len, text.data() + pos, len) != 0) {
            return false;
        }
        text_pos += len;
        pos += len;
        piece++;
        return true;
    };
    for (const Candidate& c : cands) {
        if (!text_piece(c.start - pos)) return false;
        if (piece + 2 > t.pieces.size()) return false;
        const Piece& pc = t.pieces[piece];
        const Piece& pr = t.pieces[piece + 1];
        if (pc.kind != Piece::Col || pc.absolute != c.col_abs ||
            pc.value != (c.col_abs ? c.col : c.col - column) || pr.kind != Piece::Row ||
            pr.absolute != c.row_abs || pr.value != (c.row_abs ? c.row : c.row - row)) {
            return false;
        }
        piece += 2;
        pos = c.end;
    }
    return text_piece(text.size() - pos) && piece == t.pieces.size();
}

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

bool FormulaTemplates::render_template(const Template& t, std::int64_t row, std::int64_t column,
                                       std::string& out) const {
    std::size_t text_pos = 0;
    for (const Piece& p : t.pieces) {
        switch (p.kind) {
            case Piece::Text:
                out.append(t.text, text_pos, p.text_len);
                text_pos += p.text_len;
                break;
            case Piece::Col: {
                std::int64_t c = p.absolute ? p.value : p.value + column;
                if (c < 1 || c > kMaxColumn) return false;
                if (p.absolute) out.push_back('$');
                append_column_letters(out, (std::uint64_t)c);
                break;
            }
            case Piece::Row: {
                std::int64_t r = p.absolute ? p.value : p.value + row;
                if (r < 1) return false;
                if (p.absolute) out.push_back('$');
                append_int(out, r);
                break;
            }
        }
    }
    return true;
}

bool FormulaTemplates::render(std::uint32_t number, std::int64_t row, std::int64_t column,
                              std::string& out) const {
    if (number >= templates_.size()) return false;
    return render_template(templates_[number], row, column, out);
}

std::uint32_t FormulaTemplates::intern(std::string_view text, std::int64_t row,
                                       std::int64_t column) {
    if (text.size() <= 3) return kNone;
    std::vector<Candidate>& cands = cands_;
    scan(text, cands);

    std::uint64_t h = 0x243F6A8885A308D3ull;
    std::size_t last = 0;
    for (const Candidate& c : cands) {
        h = hash_bytes(h, text.data() + last, c.start - last);
        h = mix(h,
                c.col_abs ? (std::uint64_t)c.col : (std::uint64_t)(c.col - column) ^ (1ull << 62));
        h = mix(h, c.row_abs ? (std::uint64_t)c.row : (std::uint64_t)(c.row - row) ^ (1ull << 61));
        last = c.end;
    }
    h = hash_bytes(h, text.data() + last, text.size() - last);

    auto found = index_.find(h);
    if (found != index_.end()) {
        if (found->second == kFailed) return kNone;
        return matches(templates_[found->second], text, cands, row, column) ? found->second : kNone;
    }

    Template t;
    last = 0;
    auto add_text = [&](std::size_t from, std::size_t to) {
        if (to <= from) return;
        t.text.append(text.data() + from, to - from);
        if (!t.pieces.empty() && t.pieces.back().kind == Piece::Text) {
            t.pieces.back().text_len += (std::uint32_t)(to - from);
        } else {
            t.pieces.push_back({Piece::Text, false, (std::uint32_t)(to - from), 0});
        }
    };
    for (const Candidate& c : cands) {
        add_text(last, c.start);
        t.pieces.push_back({Piece::Col, c.col_abs, 0, c.col_abs ? c.col : c.col - column});
        t.pieces.push_back({Piece::Row, c.row_abs, 0, c.row_abs ? c.row : c.row - row});
        last = c.end;
    }
    add_text(last, text.size());

    scratch_.clear();
    if (!render_template(t, row, column, scratch_) || scratch_ != text ||
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
