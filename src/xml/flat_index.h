// FlatIndex: an open-addressing hash index of 32-bit values whose keys live
// elsewhere (prefixes, URIs, attribute names kept in the reader's own
// arrays). One flat array of (hash, value) slots, linear probing, at most
// three quarters full: a lookup touches one or two cache lines and no
// node, and an erase shifts the following run back instead of leaving
// tombstones, so a table that grows to many thousand keys and shrinks
// again stays fast.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace tvx {

class FlatIndex {
public:
    static constexpr std::uint32_t NONE = 0xFFFFFFFFu;

    // Keys come from documents: the hash is keyed with a seed of the
    // owner's, so that crafted input cannot aim at one probe run.
    explicit FlatIndex(std::uint64_t seed = 0) noexcept : seed_(seed) {}

    std::uint32_t hash(std::string_view key) const noexcept {
        const char* p = key.data();
        std::size_t n = key.size();
        std::uint64_t h = seed_ ^ (n * 0x9E3779B97F4A7C15ull);
        for (; n >= 8; p += 8, n -= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            h = mix(h ^ w);
        }
        std::uint64_t w = 0;
        if (n) std::memcpy(&w, p, n);  // p may be null for an empty key
        h = mix(h ^ w);
        return std::uint32_t(h ^ (h >> 32));
    }

    std::size_t size() const noexcept { return used_; }

    // The slot value whose key `same(value)` accepts among those hashed to
    // `h`, or null.
    template <class Same>
    std::uint32_t* find(std::uint32_t h, Same&& same) noexcept {
        if (slots_.empty()) return nullptr;
        for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (s.value == NONE) return nullptr;
            if (s.hash == h && same(s.value)) return &s.value;
        }
    }
    template <class Same>
    const std::uint32_t* find(std::uint32_t h, Same&& same) const noexcept {
        return const_cast<FlatIndex*>(this)->find(h, same);
    }

    // Adds `value` (not NONE) under hash `h`; the caller knows its key is absent.
    void insert(std::uint32_t h, std::uint32_t value) {
        if (4 * (used_ + 1) > 3 * slots_.size()) grow();
        place(h, value);
        ++used_;
    }

    // Removes the slot holding `value` under hash `h` (which must be present).
    void erase(std::uint32_t h, std::uint32_t value) noexcept {
        std::size_t i = h & mask_;
        while (!(slots_[i].hash == h && slots_[i].value == value)) i = (i + 1) & mask_;
        // Backward shift: move later members of the probe run into the hole
        // when their home slot does not lie cyclically in (hole, j].
        for (std::size_t j = (i + 1) & mask_;; j = (j + 1) & mask_) {
            Slot& s = slots_[j];
            if (s.value == NONE) break;
            const std::size_t home = s.hash & mask_;
            const bool stays = i <= j ? (home > i && home <= j) : (home > i || home <= j);
            if (stays) continue;
            slots_[i] = s;
            i = j;
        }
        slots_[i] = {0, NONE};
        --used_;
    }

    // Empties the index; a large table is released rather than wiped, so
    // that one huge use does not make every later clear() costly.
    void clear() noexcept {
        if (slots_.size() > 1024) {
            std::vector<Slot>().swap(slots_);
            mask_ = 0;
        } else if (used_ != 0) {
            for (Slot& s : slots_) s = {0, NONE};
        }
        used_ = 0;
    }

private:
    static std::uint64_t mix(std::uint64_t x) noexcept {
        x *= 0xBF58476D1CE4E5B9ull;
        x ^= x >> 31;
        x *= 0x94D049BB133111EBull;
        return x ^ (x >> 29);
    }

    struct Slot {
        std::uint32_t hash, value;
    };

    void place(std::uint32_t h, std::uint32_t value) noexcept {
        std::size_t i = h & mask_;
        while (slots_[i].value != NONE) i = (i + 1) & mask_;
        slots_[i] = {h, value};
    }

    void grow() {
        std::vector<Slot> old(std::max<std::size_t>(16, 2 * slots_.size()), Slot{0, NONE});
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        for (const Slot& s : old)
            if (s.value != NONE) place(s.hash, s.value);
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0, used_ = 0;
    std::uint64_t seed_;
};

}  // namespace tvx
