// Arrow columns out into a worksheet: the <row> elements of <sheetData>
// (a header row of the column names, then a row a record; a cell carries
// its reference only after a gap) written in chunks, strings gathered into a shared-string table written after it,
// and each column's widest text for fitting widths. Plain C++ over
// imported Arrow arrays; values keep the writer's number text and the
// date serials of the package's writer.
#pragma once

#include "arrow/import.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tvx::table {

struct SheetOutOptions {
    bool header = true;
    // Cell format ids of dates, date-times, times of day and durations.
    std::uint32_t date_style = 0, datetime_style = 0, time_style = 0, duration_style = 0;
};

class SheetOut {
public:
    SheetOut(const arrow::ImportedStream& in, const SheetOutOptions& options);

    // Rows after the header (the header row is row 1 when there is one).
    std::int64_t last_row() const noexcept { return last_row_; }
    std::size_t columns() const noexcept { return kinds_.size(); }
    // The longest text of each column in characters (header included);
    // dates, date-times and times count `date_chars`, `datetime_chars`
    // and `time_chars`.
    std::vector<std::int64_t> text_widths(std::int64_t date_chars, std::int64_t datetime_chars,
                                          std::int64_t time_chars) const;

    // Appends the next rows to `out` until it holds `chunk` bytes or the
    // rows end; false once every row was written.
    bool next_rows(std::string& out, std::size_t chunk);
    // The <si> items of the strings met, in index order, after the rows;
    // false once all were written.
    bool next_strings(std::string& out, std::size_t chunk);
    std::int64_t string_cells() const noexcept { return string_cells_; }
    std::int64_t unique_strings() const noexcept { return std::int64_t(strings_.size()); }

private:
    enum class Out : std::uint8_t { Skip, Bool, Int, UInt, Float, String, Date, DateTime, Time, Duration };
    void write_row(std::string& out, std::size_t batch, std::int64_t i);
    void write_header(std::string& out);
    std::uint32_t string_index(std::string_view s);

    const arrow::ImportedStream& in_;
    SheetOutOptions options_;
    std::vector<Out> kinds_;
    std::vector<std::string> refs_;  // column letters
    std::vector<std::uint32_t> styles_;
    std::vector<arrow::ColumnView> views_;  // of the current batch
    std::unordered_map<std::string_view, std::uint32_t> index_;
    std::vector<std::string_view> strings_;
    std::vector<std::string> names_;  // the header row's strings point into these
    std::int64_t last_row_ = 0, string_cells_ = 0;
    std::size_t batch_ = 0;
    std::int64_t row_in_batch_ = 0, row_number_ = 0;
    bool header_done_ = false;
    std::size_t next_string_ = 0;
};

// Character data of XML: & < > escaped, characters XML cannot carry
// written as _xHHHH_.
void append_xml_text(std::string& out, std::string_view s);

}  // namespace tvx::table
