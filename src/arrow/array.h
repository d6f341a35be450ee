// Arrow arrays built in memory and handed out through the C data
// interface. Buffers are 64-byte aligned and reference-counted, so that
// one buffer (the shared strings, say) can back many arrays, and an
// exported array keeps what it uses alive until the consumer releases it,
// from any thread. Nothing here knows of Python.
#pragma once

#include "arrow/abi.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tvx::arrow {

// A growable byte buffer, 64-byte aligned, zero-filled up to its capacity
// when frozen into an array (the padding Arrow asks for).
class Buffer {
public:
    Buffer() noexcept = default;
    explicit Buffer(std::size_t capacity) { reserve(capacity); }
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    std::uint8_t* data() noexcept { return data_; }
    const std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    template <class T>
    T* as() noexcept {
        return reinterpret_cast<T*>(data_);
    }
    template <class T>
    const T* as() const noexcept {
        return reinterpret_cast<const T*>(data_);
    }

    void reserve(std::size_t capacity) {
        if (capacity > cap_) grow(capacity);
    }
    // New bytes are left as they are (callers write them).
    void resize(std::size_t size) {
        reserve(size);
        size_ = size;
    }
    void resize_zeroed(std::size_t size) {
        reserve(size);
        if (size > size_) std::memset(data_ + size_, 0, size - size_);
        size_ = size;
    }
    void append(const void* p, std::size_t n) {
        if (size_ + n > cap_) grow(size_ + n);
        if (n) std::memcpy(data_ + size_, p, n);
        size_ += n;
    }
    template <class T>
    void push(T v) {
        if (size_ + sizeof(T) > cap_) grow(size_ + sizeof(T));
        std::memcpy(data_ + size_, &v, sizeof(T));
        size_ += sizeof(T);
    }
    // Zeroes the bytes between the size and the next multiple of 64.
    void pad() noexcept;

private:
    void grow(std::size_t need);
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0, cap_ = 0;
};

using BufferPtr = std::shared_ptr<Buffer>;

inline BufferPtr make_buffer(std::size_t capacity = 0) {
    return std::make_shared<Buffer>(capacity);
}

// One array: its buffers in the order the format defines, its children
// and dictionary. Immutable once shared.
struct ArrayData {
    std::int64_t length = 0;
    std::int64_t null_count = 0;
    std::vector<BufferPtr> buffers;  // null entries allowed (no validity bitmap)
    std::vector<std::shared_ptr<const ArrayData>> children;
    std::shared_ptr<const ArrayData> dictionary;
};
using ArrayPtr = std::shared_ptr<const ArrayData>;

// The type of an array, with its name as a field of a record.
struct Field {
    std::string name;
    std::string format;  // the C data interface's format string ("l", "vu", "tsu:", ...)
    bool nullable = true;
    std::vector<Field> children;
    std::shared_ptr<const Field> dictionary;  // value type of a dictionary-encoded field
};

// Hands `array` (of type `field`) to a consumer: `out` owns references to
// the buffers until its release callback runs. Throws std::bad_alloc.
void export_array(const ArrayPtr& array, ArrowArray* out);
void export_schema(const Field& field, ArrowSchema* out);
// A stream of `batches` (struct arrays of the record type `schema`).
void export_stream(Field schema, std::vector<ArrayPtr> batches, ArrowArrayStream* out);

// Validity bitmaps: bit i of byte i / 8, least significant first.
inline bool bit(const std::uint8_t* bits, std::int64_t i) noexcept {
    return (bits[i >> 3] >> (i & 7)) & 1;
}
inline void set_bit(std::uint8_t* bits, std::int64_t i) noexcept {
    bits[i >> 3] = std::uint8_t(bits[i >> 3] | (1u << (i & 7)));
}
inline void clear_bit(std::uint8_t* bits, std::int64_t i) noexcept {
    bits[i >> 3] = std::uint8_t(bits[i >> 3] & ~(1u << (i & 7)));
}
inline std::size_t bitmap_bytes(std::int64_t n) noexcept { return std::size_t((n + 7) / 8); }

// A string view of the binary-view layout: strings of up to 12 bytes are
// kept whole, longer ones by a prefix and a place in a data buffer.
struct View {
    std::int32_t length;
    union {
        char inline_data[12];
        struct {
            char prefix[4];
            std::int32_t buffer;
            std::int32_t offset;
        } ref;
    };
};
static_assert(sizeof(View) == 16);

inline View make_view(std::string_view s, std::int32_t buffer, std::int64_t offset) noexcept {
    View v;
    std::memset(&v, 0, sizeof v);
    v.length = std::int32_t(s.size());
    if (s.size() <= 12) {
        if (!s.empty()) std::memcpy(v.inline_data, s.data(), s.size());
    } else {
        std::memcpy(v.ref.prefix, s.data(), 4);
        v.ref.buffer = buffer;
        v.ref.offset = std::int32_t(offset);
    }
    return v;
}

}  // namespace tvx::arrow
