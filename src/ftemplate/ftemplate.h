// Formula templates: formula texts of one shape relative to their own cell
// share one template, and each cell re-renders its own text from it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tvx {

class FormulaTemplates {
public:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    // The template number for `text` at (row, column), or kNone when the
    // text is to be stored as plain text. Every number returned renders
    // back to exactly `text` for that cell.
    std::uint32_t intern(std::string_view text, std::int64_t row, std::int64_t column);

    // Appends the text of template `number` for (row, column). False when a
    // reference would leave the sheet (never for a cell the template was
    // interned for).
    bool render(std::uint32_t number, std::int64_t row, std::int64_t column,
                std::string& out) const;

    std::size_t size() const noexcept { return templates_.size(); }
    void clear() noexcept;
    void shrink();

private:
    struct Piece {
        enum Kind : std::uint8_t { Text, Col, Row };
        Kind kind;
        bool absolute;
        std::uint32_t text_len;  // Text: bytes taken from the template's text
        std::int64_t value;      // Col/Row: absolute value or offset from the cell
    };
    // A reference in a formula text: [$]COL[$]ROW and its byte range.
    struct Candidate {
        std::size_t start, end;
        bool col_abs, row_abs;
        std::int64_t col, row;
    };
    struct Template {
        std::string text;  // the Text pieces, concatenated
        std::vector<Piece> pieces;
    };

    bool matches(const Template& t, std::string_view text, const std::vector<Candidate>& cands,
                 std::int64_t row, std::int64_t column) const;
    bool render_template(const Template& t, std::int64_t row, std::int64_t column,
                         std::string& out) const;

    std::vector<Template> templates_;
    // Shape hash -> template number, or kFailed when the shape did not verify.
    std::unordered_map<std::uint64_t, std::uint32_t> index_;
    static constexpr std::uint32_t kFailed = 0xFFFFFFFFu;
    std::string scratch_;
    std::vector<Candidate> cands_;  // reused by intern

    static void scan(std::string_view t, std::vector<Candidate>& out);
    static bool read_candidate(std::string_view t, std::size_t i, Candidate& c);
};

}  // namespace tvx
