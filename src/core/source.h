// Where a reader's bytes come from, and the in-memory source.
#pragma once

#include "core/errors.h"

#include <cstddef>
#include <string>

namespace tvx {

inline constexpr std::size_t READ_CHUNK = 65536;

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Appends the next bytes to `buf`; appending nothing means end of input.
    virtual ReadError read(std::string& buf) = 0;
};

// Bytes in memory handed out at most `chunk` bytes at a time (tests,
// benchmarks, the native test programs).
class MemorySource final : public ByteSource {
public:
    MemorySource(const char* data, std::size_t size, std::size_t chunk = READ_CHUNK) noexcept
        : data_(data), size_(size), chunk_(chunk ? chunk : 1) {}
    ReadError read(std::string& buf) override;

private:
    const char* data_;
    std::size_t size_, off_ = 0, chunk_;
};

}  // namespace tvx
