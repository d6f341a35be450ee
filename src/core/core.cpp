#include "core/seed.h"
#include "core/source.h"

#include <sys/random.h>
#include <algorithm>
#include <chrono>
#include <cstdint>

namespace tvx {

ReadError MemorySource::read(std::string& buf) {
    std::size_t n = std::min(chunk_, size_ - off_);
    buf.append(data_ + off_, n);
    off_ += n;
    return ReadError::ok();
}

std::uint64_t random_seed() noexcept {
    std::uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != (ssize_t)sizeof seed) {
        // No entropy yet: mix the clock with an address.
        const auto ticks =
            (std::uint64_t)std::chrono::steady_clock::now().time_since_epoch().count();
        seed = ((std::uint64_t)(std::uintptr_t)&seed ^ ticks) * 0x9E3779B97F4A7C15ull;
    }
    return seed;
}

}  // namespace tvx
