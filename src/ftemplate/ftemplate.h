// Formula templates of the store: formula texts of one shape relative to
// their own cell share one FormulaTemplate, and each cell renders its own
// text from it. Interning finds references with a light scan of the text
// rather than the tokenizer; the templates are the translator's own.
#pragma once

#include "formula/formula.h"

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

    // A reference in a formula text: [$]COL[$]ROW, its byte range and where
    // its row part starts.
    struct Candidate {
        std::size_t start, mid, end;
        bool col_abs, row_abs;
        std::int64_t col, row;
    };

private:
    std::vector<FormulaTemplate> templates_;
    // Shape hash -> template number, or kFailed when the shape did not verify.
    std::unordered_map<std::uint64_t, std::uint32_t> index_;
    static constexpr std::uint32_t kFailed = 0xFFFFFFFFu;
    std::string scratch_;
    std::vector<Candidate> cands_;  // reused by intern
};

}  // namespace tvx
