// A worksheet's cells into Arrow columns: cells are collected as the sheet
// is read (one compact record each, no objects), then the rows and columns
// of the table are laid out (skipped rows, the header, empty rows, a row
// limit, the columns the header and data rows span), each column's type
// is inferred over its first rows, and the values are written into Arrow
// buffers. Shared strings stay in one buffer that string columns point
// into (or index, when dictionary-encoded). Plain C++: the readers above
// decide what each cell holds, this layer knows nothing of XML or Python.
#pragma once

#include "arrow/array.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tvx::table {

// What a cell holds, as the package's reader gives it.
enum class Kind : std::uint8_t {
    Empty = 0,  // no value
    Error,      // an error code (text)
    Bool,       // payload 0 or 1
    Int,        // int64
    Float,      // double
    Shared,     // index into the shared strings
    Text,       // text of its own
    DateTime,   // microseconds since 1970-01-01
    DayStart,   // DateTime at midnight, in a format that shows no time of day
    Date,       // a date (no time at all): microseconds of its midnight
    Time,       // microseconds since midnight
    Duration,   // microseconds
};

// Column types, in the order of their names.
enum class Type : std::uint8_t { Null, Boolean, Int, Float, String, DateTime, Date, Time, Duration };
inline constexpr const char* kTypeNames[] = {"null",     "boolean", "int",  "float",   "string",
                                             "datetime", "date",    "time", "duration"};
bool type_from_name(std::string_view name, Type& out) noexcept;

enum class StringMode : std::uint8_t { View, Dictionary, Plain };

// The shared-string table as one Arrow string array (int32 offsets).
class StringTable {
public:
    StringTable();
    // Room for `count` strings of `bytes` bytes in all, taken up front so
    // that a large table is not copied as it grows.
    void reserve(std::int64_t count, std::size_t bytes);
    void add(std::string_view s);
    // False when the text grows past what int32 offsets address.
    bool fits(std::size_t more) const noexcept;
    std::int64_t size() const noexcept { return count_; }
    std::string_view at(std::int64_t i) const noexcept {
        const std::int32_t* o = offsets_->as<std::int32_t>();
        return {reinterpret_cast<const char*>(data_->data()) + o[i], std::size_t(o[i + 1] - o[i])};
    }
    std::int32_t offset(std::int64_t i) const noexcept { return offsets_->as<std::int32_t>()[i]; }
    const arrow::BufferPtr& offsets() const noexcept { return offsets_; }
    const arrow::BufferPtr& data() const noexcept { return data_; }

private:
    arrow::BufferPtr offsets_, data_;
    std::int64_t count_ = 0;
};
using StringTablePtr = std::shared_ptr<const StringTable>;

// The largest worksheet there is.
inline constexpr std::int64_t kMaxRow = 1048576;
inline constexpr std::int64_t kMaxColumn = 16384;

enum class Fail : std::uint8_t {
    None,
    Value,        // a cell breaks the strict rules: ValueError with `message`
    Grid,         // a cell outside the worksheet grid: ValueError with `message`
    Unsupported,  // the native road cannot promise the Python road's table
};

struct Error {
    Fail fail = Fail::None;
    std::string message;
    explicit operator bool() const noexcept { return fail != Fail::None; }
};

// Which rows the caller skips, as far as it is known before reading.
struct RowPlan {
    std::int64_t skip_count = 0;          // the first n rows of the range
    std::vector<std::int64_t> skip_list;  // sorted, unique range row indexes
    bool skip_later = false;              // decided after reading (a callable)
    std::int64_t header_row = 0;          // index among the rows kept; -1: no header
    std::int64_t n_rows = -1;             // -1: every row
    bool skip_empty_rows = false;
    bool fill_merged = false;  // merged ranges filled after reading: read to the end

    bool skipped(std::int64_t t) const noexcept;
};

// A fixed block of the sheet (an Excel table's range); 0 means open.
struct Bounds {
    std::int64_t first_row = 0, last_row = 0;
    std::int64_t first_column = 0, last_column = 0;
    bool fixed() const noexcept { return first_row != 0; }
};

// The cells of one sheet, column by column, in row order.
class SheetCells {
public:
    SheetCells(StringTablePtr strings, RowPlan plan, Bounds bounds);

    // A row element starts (its number as the reader numbers rows). A row
    // whose number is not above the last one's is passed over, cells and
    // all, as the read-only road passes it over.
    void begin_row(std::int64_t row);
    // One cell of the current row. As in a read-only row, a later cell of
    // a column replaces an earlier one, and cells right of the row's last
    // cell are dropped. `text` is used by Error and Text. False (with
    // error()) for a value outside the worksheet grid.
    bool add(std::int64_t column, Kind kind, std::uint64_t payload, std::string_view text = {});
    // The end of the sheet.
    bool finish();
    // Every row the layout needs has been read (only with a row limit).
    bool enough() const noexcept { return enough_; }
    const Error& error() const noexcept { return error_; }

    // Rows of the range: from the first row that holds a value to the last.
    std::int64_t range_rows() const noexcept { return first_row_ ? last_row_ - first_row_ + 1 : 0; }
    std::int64_t first_row() const noexcept { return first_row_; }
    // Sheet columns holding values (0 when none).
    std::int64_t min_column() const noexcept { return min_column_; }
    std::int64_t max_column() const noexcept { return max_column_; }

    // Merged ranges (1-based, inclusive): every cell of each takes its
    // top-left cell's value, within the block the sheet's values span.
    void fill_merged(const std::vector<std::array<std::int64_t, 4>>& ranges);

    struct Column {
        std::int64_t sheet_column = 0;
        std::vector<std::uint32_t> rows;  // range row of each entry, ascending
        std::vector<Kind> kinds;
        std::vector<std::uint64_t> payload;  // bits of the value; Text/Error: span index
        std::int64_t find(std::uint32_t row) const noexcept;  // entry index or -1
    };
    struct Span {
        std::uint64_t offset;
        std::uint32_t length;
    };

    const std::vector<Column>& columns() const noexcept { return columns_; }
    // Frees the cells of column `i` (of columns()).
    void release_column(std::size_t i) noexcept { columns_[i] = Column{}; }
    const StringTable& strings() const noexcept { return *strings_; }
    const StringTablePtr& strings_ptr() const noexcept { return strings_; }
    std::string_view text(std::uint64_t span) const noexcept {
        const Span& s = spans_[span];
        return {reinterpret_cast<const char*>(arena_->data()) + s.offset, s.length};
    }
    const arrow::BufferPtr& arena() const noexcept { return arena_; }
    const RowPlan& plan() const noexcept { return plan_; }
    const Bounds& bounds() const noexcept { return bounds_; }
    // Appends text to the arena (texts made while building columns).
    std::uint64_t add_text(std::string_view s);

private:
    struct Pending {
        std::int64_t column;
        Kind kind;
        std::uint64_t payload;
        std::uint64_t text;  // span of a pending text
    };
    Column& column(std::int64_t sheet_column);
    bool commit_row();
    void count_row(std::int64_t t, bool empty);

    StringTablePtr strings_;
    RowPlan plan_;
    Bounds bounds_;
    std::vector<Column> columns_;
    std::vector<std::int32_t> by_sheet_column_;  // sheet column -> index in columns_, -1
    arrow::BufferPtr arena_;
    std::vector<Span> spans_;
    Error error_;
    std::vector<Pending> pending_;  // the cells of the current row
    bool in_row_ = false;
    std::int64_t row_ = 0;       // number of the current row element
    std::int64_t last_row_element_ = 0;  // number of the last row element taken
    std::int64_t first_row_ = 0, last_row_ = 0;  // rows holding values (range rows)
    std::int64_t min_column_ = 0, max_column_ = 0;  // columns holding values
    // The row plan followed while reading (when it is known up front).
    bool counting_ = false;
    std::int64_t counted_ = 0;  // range rows counted so far
    std::int64_t kept_ = 0, data_rows_ = 0;
    bool enough_ = false;
};

// Rows and columns of the table, and the column names.
struct Layout {
    std::vector<std::int32_t> row_of;  // range row -> output row, -1 when not a data row
    std::int64_t num_rows = 0;
    std::int64_t header = -1;  // range row of the header, -1 without one
    std::vector<std::int64_t> sheet_columns;  // sheet column of each table column
    std::vector<std::int32_t> source;         // index into SheetCells::columns(), -1: empty
    std::vector<std::string> names;
};

// `skip` is the caller's verdict on each range row when the plan left it
// to later (one byte a row, empty otherwise).
Layout lay_out(const SheetCells& cells, const std::vector<std::uint8_t>& skip);

struct ColumnRequest {
    std::int32_t column;  // index into the layout's columns
    bool inferred;        // the type is to be inferred
    Type type;            // else the type asked for
};

struct BuildOptions {
    std::int64_t sample_rows = 1000;  // -1: every row
    bool strict = false;
    StringMode strings = StringMode::View;
};

struct Built {
    arrow::Field schema;  // a struct of the columns
    std::vector<Type> types;
    arrow::ArrayPtr batch;  // the struct array of the columns
    std::int64_t num_rows = 0;
};

// Builds the requested columns; a strict violation is an Error naming the
// cell. The cells of a column are let go once it is built (build runs once).
Error build(SheetCells& cells, const Layout& layout, const std::vector<ColumnRequest>& requests,
            const BuildOptions& options, Built& out);

// Values given one by one (the road for tables made elsewhere): a column
// of one type, null where nothing was set.
class ColumnPacker {
public:
    ColumnPacker(Type type, std::int64_t length, StringMode strings);
    void set_bool(std::int64_t i, bool v);
    void set_int(std::int64_t i, std::int64_t v);  // also the temporal types' units
    void set_float(std::int64_t i, double v);
    void set_text(std::int64_t i, std::string_view s);
    // The array and its field; columns of one table share `dictionary`.
    arrow::ArrayPtr finish(const std::string& name, arrow::Field& field);

private:
    Type type_;
    std::int64_t length_;
    StringMode strings_;
    arrow::BufferPtr validity_, values_, data_;
    std::vector<std::string> texts_;
    std::int64_t set_ = 0;
};

arrow::ArrayPtr record_batch(std::vector<arrow::ArrayPtr> columns, std::int64_t rows);

// The cell reference "B12" of a sheet row and column.
std::string cell_name(std::int64_t row, std::int64_t column);

// The text of a value in a string column (numbers as the writer writes
// them, booleans as TRUE/FALSE, dates and times in ISO 8601, durations
// as hours:minutes:seconds). Empty kinds give "".
void append_value_text(std::string& out, Kind kind, std::uint64_t payload,
                       std::string_view text);

}  // namespace tvx::table
