// Byte classes of character data and attribute values, shared by the
// tokenizer and by the parsers that read plain runs straight from its
// buffer, and the scan that finds the end of a run while gathering them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tvx {

// OR-ed over a run, so that one pass tells which of the slower checks the
// run needs. Bytes without a class are printable ASCII other than & ] < >.
enum : std::uint8_t {
    K_CTRL = 1,      // below 0x20, not TAB/LF/CR
    K_HIGH = 2,      // 0x80 and above: UTF-8 validation
    K_AMP = 4,       // reference check and decoding
    K_CR = 8,        // line-end decoding
    K_BRACKET = 16,  // possible `]]>`
    K_LT = 32,       // `<` (attribute values)
    K_TABLF = 64,    // attribute-value decoding
    K_GT = 128,      // `>`
};

constexpr std::array<std::uint8_t, 256> make_byte_classes() {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = K_CTRL;
    t['\t'] = K_TABLF;
    t['\n'] = K_TABLF;
    t['\r'] = K_CR;
    for (int c = 0x80; c < 256; ++c) t[c] = K_HIGH;
    t['&'] = K_AMP;
    t[']'] = K_BRACKET;
    t['<'] = K_LT;
    t['>'] = K_GT;
    return t;
}
inline constexpr std::array<std::uint8_t, 256> BYTE_CLASSES = make_byte_classes();

// Runs that a parser may take from the buffer as they are: character data
// with no reference, no markup, no CR or other control byte, ASCII only
// (TAB and LF stay as written); attribute values likewise, except that '>'
// is allowed and TAB and LF are not (they decode to spaces).
inline constexpr std::uint8_t PLAIN_TEXT_REJECT = K_CTRL | K_HIGH | K_AMP | K_CR | K_LT | K_GT;
inline constexpr std::uint8_t PLAIN_VALUE_REJECT = K_CTRL | K_HIGH | K_AMP | K_CR | K_LT | K_TABLF;

// The classes of `]`, `<` and `>`, which a scan may leave out.
inline constexpr std::uint8_t K_MARKUP = K_BRACKET | K_LT | K_GT;

// The position of the first `stop` in p[from, n), or n; the classes of the
// bytes before it are OR-ed into `f`, except those of K_MARKUP outside
// `Watch` (a caller that has no use for them saves their compares).
// Sixteen bytes at a step: a block of bytes without a class costs a few
// compares.
#if defined(__SSE2__)
// One 16-byte block of a scan: the stop positions and the positions of
// bytes with a class (of those watched).
template <std::uint8_t Watch>
struct ScanBlock {
    __m128i v, low, amp, bracket, lt, gt;
    unsigned at, marked;

    [[gnu::always_inline]] ScanBlock(const char* p, __m128i vstop) noexcept {
        const __m128i none = _mm_setzero_si128();
        v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        low = _mm_cmplt_epi8(v, _mm_set1_epi8(0x20));  // signed: also every byte >= 0x80
        amp = _mm_cmpeq_epi8(v, _mm_set1_epi8('&'));
        bracket = (Watch & K_BRACKET) ? _mm_cmpeq_epi8(v, _mm_set1_epi8(']')) : none;
        lt = (Watch & K_LT) ? _mm_cmpeq_epi8(v, _mm_set1_epi8('<')) : none;
        gt = (Watch & K_GT) ? _mm_cmpeq_epi8(v, _mm_set1_epi8('>')) : none;
        __m128i special = _mm_or_si128(low, amp);
        if constexpr ((Watch & K_BRACKET) != 0) special = _mm_or_si128(special, bracket);
        if constexpr ((Watch & K_LT) != 0) special = _mm_or_si128(special, lt);
        if constexpr ((Watch & K_GT) != 0) special = _mm_or_si128(special, gt);
        at = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, vstop)));
        marked = unsigned(_mm_movemask_epi8(special));
    }

    // The classes of the bytes selected by `keep`, a mask per class rather
    // than a table look-up per byte.
    std::uint8_t classes(unsigned keep) const noexcept {
        auto bits = [keep](__m128i m) { return unsigned(_mm_movemask_epi8(m)) & keep; };
        const unsigned high = bits(v);
        const unsigned cr = bits(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')));
        const unsigned tablf = bits(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t')),
                                                 _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))));
        const unsigned ctrl = bits(low) & ~(high | cr | tablf);
        return std::uint8_t((ctrl ? K_CTRL : 0) | (high ? K_HIGH : 0) | (bits(amp) ? K_AMP : 0) |
                            (cr ? K_CR : 0) | (bits(bracket) ? K_BRACKET : 0) |
                            (bits(lt) ? K_LT : 0) | (tablf ? K_TABLF : 0) | (bits(gt) ? K_GT : 0));
    }
};
#endif

// The bits below the lowest set bit of `at`; all of `all` without one.
inline constexpr unsigned bits_before(unsigned at, unsigned all) noexcept {
    return at ? (at & (0u - at)) - 1u : all;
}

template <std::uint8_t Watch = K_MARKUP>
[[gnu::always_inline]] inline std::size_t scan_run_to(const char* p, std::size_t from,
                                                      std::size_t n, char stop,
                                                      std::uint8_t& f) noexcept {
    constexpr std::uint8_t keep = std::uint8_t(~(K_MARKUP & ~Watch));
    std::size_t i = from;
#if defined(__SSE2__)
    const __m128i vstop = _mm_set1_epi8(stop);
    // Two blocks a step: a run shorter than 32 bytes ends in the first
    // step whatever its length, so varying lengths cost no mispredicted
    // loop exit.
    for (; i + 32 <= n; i += 32) {
        const ScanBlock<Watch> a(p + i, vstop), b(p + i + 16, vstop);
        const unsigned at = a.at | (b.at << 16);
        const unsigned before = bits_before(at, 0xFFFFFFFFu);
        if ((a.marked | (b.marked << 16)) & before) {
            f |= a.classes(before & 0xFFFFu);
            f |= b.classes(before >> 16);
        }
        if (at) return i + unsigned(__builtin_ctz(at));
    }
    for (; i + 16 <= n; i += 16) {
        const ScanBlock<Watch> a(p + i, vstop);
        const unsigned before = bits_before(a.at, 0xFFFFu);
        if (a.marked & before) f |= a.classes(before);
        if (a.at) return i + unsigned(__builtin_ctz(a.at));
    }
#endif
    while (i < n && p[i] != stop) f |= BYTE_CLASSES[static_cast<std::uint8_t>(p[i++])] & keep;
    return i;
}

template <std::uint8_t Watch = K_MARKUP>
[[gnu::always_inline]] inline std::size_t scan_run(const char* p, std::size_t from, std::size_t n,
                                                   char stop, std::uint8_t& f) noexcept {
    // A stop known at compile time costs no broadcast per call.
    if (__builtin_constant_p(stop)) return scan_run_to<Watch>(p, from, n, stop, f);
    if (stop == '"') return scan_run_to<Watch>(p, from, n, '"', f);
    if (stop == '\'') return scan_run_to<Watch>(p, from, n, '\'', f);
    if (stop == '<') return scan_run_to<Watch>(p, from, n, '<', f);
    return scan_run_to<Watch>(p, from, n, stop, f);
}

}  // namespace tvx
