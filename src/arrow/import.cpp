#include "arrow/import.h"

#include "arrow/array.h"

#include <cstring>

namespace tvx::arrow {

namespace {

int int_width(char c, bool& is_unsigned) noexcept {
    is_unsigned = c >= 'A' && c <= 'Z';
    switch (c) {
        case 'c':
        case 'C':
            return 1;
        case 's':
        case 'S':
            return 2;
        case 'i':
        case 'I':
            return 4;
        case 'l':
        case 'L':
            return 8;
        default:
            return 0;
    }
}

// Units per microsecond of a time unit letter (negative: microseconds per unit).
std::int64_t unit_scale(char u) noexcept {
    switch (u) {
        case 's':
            return -1000000;
        case 'm':
            return -1000;
        case 'u':
            return 1;
        case 'n':
            return 1000;
        default:
            return 0;
    }
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

}  // namespace

bool read_type(const ArrowSchema& schema, ColumnType& out, std::string& why) {
    const std::string_view f = schema.format ? schema.format : "";
    out = ColumnType{};
    out.format = std::string(f);
    if (schema.dictionary) {
        bool u = false;
        if (f.size() != 1 || int_width(f[0], u) == 0) {
            why = "a dictionary with indices of format '" + std::string(f) + "'";
            return false;
        }
        auto values = std::make_shared<ColumnType>();
        if (!read_type(*schema.dictionary, *values, why)) return false;
        if (values->dictionary) {
            why = "a dictionary of dictionaries";
            return false;
        }
        out = *values;
        out.format = std::string(f);
        out.dictionary = true;
        out.width = int_width(f[0], u);
        out.index_unsigned = u;
        out.dict = std::move(values);
        return true;
    }
    if (f == "n") return true;
    if (f == "b") {
        out.value = Value::Bool;
        return true;
    }
    if (f.size() == 1) {
        bool u = false;
        if (const int w = int_width(f[0], u)) {
            out.value = u ? Value::UInt : Value::Int;
            out.width = w;
            return true;
        }
        if (f[0] == 'f' || f[0] == 'g') {
            out.value = Value::Float;
            out.width = f[0] == 'f' ? 4 : 8;
            return true;
        }
        if (f[0] == 'u' || f[0] == 'U') {
            out.value = Value::String;
            out.layout = f[0];
            return true;
        }
    }
    if (f == "vu") {
        out.value = Value::String;
        out.layout = 'v';
        return true;
    }
    if (f == "tdD" || f == "tdm") {
        out.value = Value::Date;
        out.date64 = f == "tdm";
        out.width = out.date64 ? 8 : 4;
        return true;
    }
    if (f.size() >= 4 && f.substr(0, 2) == "ts" && f[3] == ':' && unit_scale(f[2])) {
        out.value = Value::Timestamp;
        out.scale = unit_scale(f[2]);
        out.width = 8;
        return true;
    }
    if (f.size() == 3 && f.substr(0, 2) == "tt" && unit_scale(f[2])) {
        out.value = Value::Time;
        out.scale = unit_scale(f[2]);
        out.width = (f[2] == 's' || f[2] == 'm') ? 4 : 8;
        return true;
    }
    if (f.size() == 3 && f.substr(0, 2) == "tD" && unit_scale(f[2])) {
        out.value = Value::Duration;
        out.scale = unit_scale(f[2]);
        out.width = 8;
        return true;
    }
    why = "Arrow type of format '" + std::string(f) + "'";
    return false;
}

ColumnView::ColumnView(const ColumnType& type, const ArrowArray& array, std::int64_t offset) noexcept
    : type_(&type), a_(&array), offset_(offset + array.offset) {
    if (type.dictionary && array.dictionary)
        dict_ = std::make_unique<ColumnView>(*type.dict, *array.dictionary, 0);
}

bool ColumnView::valid(std::int64_t i) const noexcept {
    if (type_->value == Value::Null && !type_->dictionary) return false;
    if (a_->null_count == 0 || a_->n_buffers == 0 || !a_->buffers[0]) return true;
    return bit(static_cast<const std::uint8_t*>(a_->buffers[0]), offset_ + i);
}

std::int64_t ColumnView::integer(std::int64_t i) const noexcept {
    const void* b = a_->buffers[1];
    const std::int64_t k = offset_ + i;
    const bool u = type_->dictionary ? type_->index_unsigned : type_->value == Value::UInt;
    switch (type_->width) {
        case 1:
            return u ? std::int64_t(static_cast<const std::uint8_t*>(b)[k])
                     : std::int64_t(static_cast<const std::int8_t*>(b)[k]);
        case 2:
            return u ? std::int64_t(static_cast<const std::uint16_t*>(b)[k])
                     : std::int64_t(static_cast<const std::int16_t*>(b)[k]);
        case 4:
            return u ? std::int64_t(static_cast<const std::uint32_t*>(b)[k])
                     : std::int64_t(static_cast<const std::int32_t*>(b)[k]);
        default:
            return static_cast<const std::int64_t*>(b)[k];
    }
}

std::uint64_t ColumnView::unsigned_integer(std::int64_t i) const noexcept {
    if (type_->width == 8) return static_cast<const std::uint64_t*>(a_->buffers[1])[offset_ + i];
    return std::uint64_t(integer(i));
}

double ColumnView::real(std::int64_t i) const noexcept {
    const std::int64_t k = offset_ + i;
    if (type_->width == 4) return double(static_cast<const float*>(a_->buffers[1])[k]);
    return static_cast<const double*>(a_->buffers[1])[k];
}

bool ColumnView::boolean(std::int64_t i) const noexcept {
    return bit(static_cast<const std::uint8_t*>(a_->buffers[1]), offset_ + i);
}

std::string_view ColumnView::string(std::int64_t i) const noexcept {
    if (dict_) {
        const std::int64_t id = integer(i);
        return dict_->string(id);
    }
    const std::int64_t k = offset_ + i;
    if (type_->layout == 'u') {
        const auto* o = static_cast<const std::int32_t*>(a_->buffers[1]);
        return {static_cast<const char*>(a_->buffers[2]) + o[k], std::size_t(o[k + 1] - o[k])};
    }
    if (type_->layout == 'U') {
        const auto* o = static_cast<const std::int64_t*>(a_->buffers[1]);
        return {static_cast<const char*>(a_->buffers[2]) + o[k], std::size_t(o[k + 1] - o[k])};
    }
    View v;
    std::memcpy(&v, static_cast<const View*>(a_->buffers[1]) + k, sizeof v);
    if (v.length <= 12) {
        const auto* inl = reinterpret_cast<const char*>(static_cast<const View*>(a_->buffers[1]) + k) + 4;
        return {inl, std::size_t(v.length)};
    }
    return {static_cast<const char*>(a_->buffers[2 + v.ref.buffer]) + v.ref.offset,
            std::size_t(v.length)};
}

std::int64_t ColumnView::micros(std::int64_t i) const noexcept {
    if (dict_) return dict_->micros(integer(i));
    std::int64_t v = integer(i);
    if (type_->value == Value::Date) return type_->date64 ? floor_div(v, 86400000) : v;
    const std::int64_t s = type_->scale;
    return s >= 0 ? floor_div(v, s) : v * -s;
}

ImportedStream::~ImportedStream() {
    for (ArrowArray& b : batches_) {
        if (b.release) b.release(&b);
    }
    if (schema_.release) schema_.release(&schema_);
}

bool ImportedStream::read(ArrowArrayStream* stream, std::string& error) {
    // Moved out first: the stream is released here whatever happens.
    ArrowArrayStream s = *stream;
    stream->release = nullptr;
    struct Release {
        ArrowArrayStream& s;
        ~Release() {
            if (s.release) s.release(&s);
        }
    } release{s};
    auto producer_error = [&](const char* what, int code) {
        const char* msg = s.get_last_error ? s.get_last_error(&s) : nullptr;
        error = std::string(what) + " failed (" + (msg ? msg : "error " + std::to_string(code)) + ")";
        return false;
    };
    if (int code = s.get_schema(&s, &schema_)) return producer_error("reading the schema", code);
    const std::string_view f = schema_.format ? schema_.format : "";
    if (f != "+s") {
        error = "the stream is not of records (its type has format '" + std::string(f) + "')";
        return false;
    }
    for (std::int64_t j = 0; j < schema_.n_children; ++j) {
        const ArrowSchema& child = *schema_.children[j];
        names_.emplace_back(child.name ? child.name : "");
        ColumnType type;
        std::string why;
        if (!read_type(child, type, why)) {
            error = "column '" + names_.back() + "' has the " + why + ", which is not written";
            return false;
        }
        types_.push_back(std::move(type));
    }
    for (;;) {
        ArrowArray batch{};
        if (int code = s.get_next(&s, &batch)) return producer_error("reading a batch", code);
        if (!batch.release) break;
        batches_.push_back(batch);
        if (batch.n_children != std::int64_t(types_.size())) {
            error = "a batch does not have the schema's columns";
            return false;
        }
    }
    return true;
}

std::int64_t ImportedStream::total_rows() const noexcept {
    std::int64_t n = 0;
    for (const ArrowArray& b : batches_) n += b.length;
    return n;
}

ColumnView ImportedStream::column(std::size_t batch, std::size_t j) const noexcept {
    const ArrowArray& b = batches_[batch];
    return ColumnView(types_[j], *b.children[j], b.offset);
}

}  // namespace tvx::arrow
