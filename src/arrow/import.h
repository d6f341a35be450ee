// Arrow arrays taken from another library through the C data interface:
// the types this engine writes, read in place (offsets, validity bitmaps,
// dictionaries and views included). The importer owns the structs it was
// handed and releases them once.
#pragma once

#include "arrow/abi.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tvx::arrow {

enum class Value : std::uint8_t {
    Null,
    Bool,
    Int,       // any signed width
    UInt,      // any unsigned width
    Float,     // float32 or float64
    String,    // utf8, large utf8, utf8 view (and binary of those layouts)
    Date,      // days (date32) or milliseconds (date64): read as days
    Timestamp, // read as microseconds since 1970 (UTC for zoned ones)
    Time,      // read as microseconds since midnight
    Duration,  // read as microseconds
};

// A column's type as the importer reads it.
struct ColumnType {
    Value value = Value::Null;
    std::string format;      // the format string given
    int width = 0;           // bytes of an integer or float value; 0 for bit and string layouts
    char layout = 0;         // strings: 'u' (int32 offsets), 'U' (int64), 'v' (views)
    std::int64_t scale = 1;  // temporal: units per microsecond (<0: microseconds per unit)
    bool date64 = false;     // a date in milliseconds
    bool dictionary = false; // values are indices into `dict`
    bool index_unsigned = false;
    std::shared_ptr<ColumnType> dict;
};

// Reads the type of one field; false (with `why`) for a type not written.
bool read_type(const ArrowSchema& schema, ColumnType& out, std::string& why);

// One column of an imported record batch.
class ColumnView {
public:
    ColumnView(const ColumnType& type, const ArrowArray& array, std::int64_t offset) noexcept;

    bool valid(std::int64_t i) const noexcept;
    std::int64_t integer(std::int64_t i) const noexcept;  // Int, UInt (as bits), Bool, temporal
    std::uint64_t unsigned_integer(std::int64_t i) const noexcept;
    double real(std::int64_t i) const noexcept;
    bool boolean(std::int64_t i) const noexcept;
    std::string_view string(std::int64_t i) const noexcept;
    // Temporal values in microseconds (Date: days).
    std::int64_t micros(std::int64_t i) const noexcept;
    const ColumnType& type() const noexcept { return *type_; }

private:
    const ColumnType* type_;
    const ArrowArray* a_;
    std::int64_t offset_;  // of the array's values, parent offsets included
    std::unique_ptr<ColumnView> dict_;
};

// The batches of a stream, with their schema, held until destroyed.
class ImportedStream {
public:
    ImportedStream() = default;
    ~ImportedStream();
    ImportedStream(const ImportedStream&) = delete;
    ImportedStream& operator=(const ImportedStream&) = delete;

    // Takes over `stream` (moving it out) and reads every batch; false
    // with `error` on a failure of the producer or a type not written.
    bool read(ArrowArrayStream* stream, std::string& error);

    const std::vector<std::string>& names() const noexcept { return names_; }
    const std::vector<ColumnType>& types() const noexcept { return types_; }
    std::size_t batches() const noexcept { return batches_.size(); }
    std::int64_t rows(std::size_t batch) const noexcept { return batches_[batch].length; }
    std::int64_t total_rows() const noexcept;
    ColumnView column(std::size_t batch, std::size_t j) const noexcept;

private:
    ArrowSchema schema_{};
    std::vector<ArrowArray> batches_;
    std::vector<std::string> names_;
    std::vector<ColumnType> types_;
};

}  // namespace tvx::arrow
