// Seeds for the hash maps whose keys come from documents, so that crafted
// input cannot predict bucket collisions.
#pragma once

#include <cstdint>

namespace tvx {

// A fresh random 64-bit seed from the operating system; without entropy
// available yet, still a value that differs between calls.
std::uint64_t random_seed() noexcept;

}  // namespace tvx
