// Coordinates, column letters, number text, Python whitespace and operand
// classes. Everything here is pure byte work.
#include "utils/utils.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace tvx {

namespace {

constexpr std::int64_t TWO_POW_53 = std::int64_t{1} << 53;

// "00" "01" .. "99": two digits per division on the hot path.
constexpr char DIGIT_PAIRS[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Decimal digits of u at `out` (at least 20 bytes); returns the length.
std::size_t write_u64(std::uint64_t u, char* out) noexcept {
    char tmp[20];
    char* end = tmp + sizeof tmp;
    char* p = end;
    while (u >= 100) {
        const unsigned pair = static_cast<unsigned>(u % 100) * 2;
        u /= 100;
        *--p = DIGIT_PAIRS[pair + 1];
        *--p = DIGIT_PAIRS[pair];
    }
    if (u >= 10) {
        const unsigned pair = static_cast<unsigned>(u) * 2;
        *--p = DIGIT_PAIRS[pair + 1];
        *--p = DIGIT_PAIRS[pair];
    } else {
        *--p = static_cast<char>('0' + u);
    }
    const std::size_t len = static_cast<std::size_t>(end - p);
    std::memcpy(out, p, len);
    return len;
}

std::size_t write_i64(std::int64_t v, char* out) noexcept {
    if (v < 0) {
        out[0] = '-';
        // Negating in unsigned arithmetic keeps INT64_MIN defined.
        return 1 + write_u64(0 - static_cast<std::uint64_t>(v), out + 1);
    }
    return write_u64(static_cast<std::uint64_t>(v), out);
}

inline bool is_digit(unsigned char c) noexcept { return static_cast<unsigned>(c - '0') < 10u; }

// Length of the str.isspace() character that starts at p (n bytes left),
// or 0 when it is not whitespace.
inline std::size_t space_at(const unsigned char* p, std::size_t n) noexcept {
    const unsigned char c = p[0];
    if (c < 0x80) return ((c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20)) ? 1 : 0;
    if (c == 0xC2) return (n >= 2 && (p[1] == 0x85 || p[1] == 0xA0)) ? 2 : 0;
    if (n < 3) return 0;
    switch (c) {
        case 0xE1:  // U+1680
            return (p[1] == 0x9A && p[2] == 0x80) ? 3 : 0;
        case 0xE2:
            if (p[1] == 0x80) {
                const unsigned char d = p[2];
                // U+2000..U+200A, U+2028, U+2029, U+202F
                return ((d >= 0x80 && d <= 0x8A) || d == 0xA8 || d == 0xA9 || d == 0xAF) ? 3 : 0;
            }
            return (p[1] == 0x81 && p[2] == 0x9F) ? 3 : 0;  // U+205F
        case 0xE3:                                          // U+3000
            return (p[1] == 0x80 && p[2] == 0x80) ? 3 : 0;
        default:
            return 0;
    }
}

// Length of the whitespace character that ends at p + n, or 0.
inline std::size_t space_before(const unsigned char* p, std::size_t n) noexcept {
    const unsigned char c = p[n - 1];
    if (c < 0x80) return space_at(p + n - 1, 1);
    if (n >= 2 && p[n - 2] == 0xC2) return space_at(p + n - 2, 2);
    if (n >= 3 && space_at(p + n - 3, 3) == 3) return 3;
    return 0;
}

// The spaces float() strips: Python maps every non-ASCII whitespace
// character to a space before stripping, but among ASCII it only strips
// \t \n \v \f \r and the space, not U+001C..U+001F.
inline std::size_t float_space_at(const unsigned char* p, std::size_t n) noexcept {
    const unsigned char c = p[0];
    if (c < 0x80) return ((c >= 0x09 && c <= 0x0D) || c == 0x20) ? 1 : 0;
    return space_at(p, n);
}

std::string_view float_strip(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end) {
        const std::size_t w = float_space_at(p + begin, end - begin);
        if (w == 0) break;
        begin += w;
    }
    while (end > begin) {
        const unsigned char c = p[end - 1];
        const std::size_t w =
            c < 0x80 ? float_space_at(p + end - 1, 1) : space_before(p + begin, end - begin);
        if (w == 0) break;
        end -= w;
    }
    return text.substr(begin, end - begin);
}

// A run of digits from s[i] where a single "_" may stand between two
// digits. Advances i past the run; returns whether it had any digit.
inline bool digit_run(std::string_view s, std::size_t& i) noexcept {
    const std::size_t n = s.size();
    if (i >= n || !is_digit(static_cast<unsigned char>(s[i]))) return false;
    ++i;
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (is_digit(c)) {
            ++i;
        } else if (c == '_' && i + 1 < n && is_digit(static_cast<unsigned char>(s[i + 1]))) {
            i += 2;
        } else {
            break;
        }
    }
    return true;
}

// ASCII case-insensitive equality with a lower-case word.
inline bool equals_lower(std::string_view s, std::string_view word) noexcept {
    if (s.size() != word.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (static_cast<unsigned>(c - 'A') < 26u) c = static_cast<unsigned char>(c + ('a' - 'A'));
        if (c != static_cast<unsigned char>(word[i])) return false;
    }
    return true;
}

// Drops trailing zeros after a decimal point, then the point if it is last.
// Returns the new length of [begin, begin + len).
inline std::size_t trim_fraction(const char* begin, std::size_t len) noexcept {
    if (std::memchr(begin, '.', len) == nullptr) return len;
    while (len > 0 && begin[len - 1] == '0') --len;
    if (len > 0 && begin[len - 1] == '.') --len;
    return len;
}

}  // namespace

bool parse_coordinate(std::string_view text, std::int64_t& row, std::uint32_t& column) noexcept {
    const std::size_t n = text.size();
    std::size_t letters = 0;
    std::uint32_t col = 0;
    while (letters < n && letters < 4) {
        const unsigned char c = static_cast<unsigned char>(text[letters]);
        if (static_cast<unsigned>(c - 'A') >= 26u) break;
        col = col * 26 + (c - 'A' + 1);
        ++letters;
    }
    if (letters == 0 || letters > 3) return false;
    const std::size_t digits = n - letters;
    if (digits == 0 || digits > 9 || text[letters] == '0') return false;
    std::int64_t r = 0;
    for (std::size_t i = letters; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!is_digit(c)) return false;
        r = r * 10 + (c - '0');
    }
    row = r;
    column = col;
    return true;
}

bool parse_fast_int(std::string_view text, std::int64_t& value) noexcept {
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) i = 1;
    const std::size_t digits = text.size() - i;
    // 18 digits always fit: 10^18 - 1 < 2^63.
    if (digits == 0 || digits > 18) return false;
    std::int64_t v = 0;
    for (; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!is_digit(c)) return false;
        v = v * 10 + (c - '0');
    }
    value = negative ? -v : v;
    return true;
}

std::size_t column_letters(std::uint64_t n, char* out) noexcept {
    // Eight letters reach 217,180,147,158; beyond that the 8-byte buffer the
    // callers provide would overflow, so such columns (and 0) write nothing.
    constexpr std::uint64_t MAX_EIGHT_LETTERS = 217180147158ULL;
    if (n == 0 || n > MAX_EIGHT_LETTERS) return 0;
    char tmp[8];
    std::size_t len = 0;
    while (n > 0) {
        --n;
        tmp[len++] = static_cast<char>('A' + n % 26);
        n /= 26;
    }
    for (std::size_t i = 0; i < len; ++i) out[i] = tmp[len - 1 - i];
    return len;
}

void append_column_letters(std::string& out, std::uint64_t n) {
    // A 64-bit column needs at most 14 letters.
    char tmp[16];
    std::size_t len = 0;
    while (n > 0) {
        --n;
        tmp[len++] = static_cast<char>('A' + n % 26);
        n /= 26;
    }
    const std::size_t start = out.size();
    out.resize(start + len);
    for (std::size_t i = 0; i < len; ++i) out[start + i] = tmp[len - 1 - i];
}

std::size_t int_text(std::int64_t v, char* out) noexcept {
    if (v >= -TWO_POW_53 && v <= TWO_POW_53) return write_i64(v, out);
    // %.16g of an int goes through the nearest double (round half to even,
    // the hardware's default conversion).
    return float_text(static_cast<double>(v), out);
}

namespace {

// x printed with `digits` significant digits, exactly rounded, in the
// layout of %.16g: exponent form below 1e-4 and from 1e16 (by the exponent
// of the rounded text), trailing zeros of the fraction dropped, at least
// two exponent digits. `out` holds at least 32 bytes.
std::size_t layout_digits(double x, int digits, char* out) noexcept {
    char* const last = out + 32;
    auto sci = std::to_chars(out, last, x, std::chars_format::scientific, digits - 1);
    const std::size_t sci_len = static_cast<std::size_t>(sci.ptr - out);
    const char* e = static_cast<const char*>(std::memchr(out, 'e', sci_len));
    int exponent = 0;
    std::from_chars(e + 1 + (e[1] == '+'), sci.ptr, exponent);
    if (exponent < -4 || exponent > 15) {
        // Mantissa trimmed, then the exponent exactly as written ("e-07").
        const std::size_t mantissa = trim_fraction(out, static_cast<std::size_t>(e - out));
        const std::size_t exp_len = static_cast<std::size_t>(sci.ptr - e);
        std::memmove(out + mantissa, e, exp_len);
        return mantissa + exp_len;
    }
    auto fixed = std::to_chars(out, last, x, std::chars_format::fixed, digits - 1 - exponent);
    return trim_fraction(out, static_cast<std::size_t>(fixed.ptr - out));
}

}  // namespace

std::size_t float_text(double x, char* out) noexcept {
    // Whole numbers below 10^16 print as integers; -0.0 keeps its sign below.
    if (std::fabs(x) < 1e16 && x == std::trunc(x) && !(x == 0.0 && std::signbit(x))) {
        return write_i64(static_cast<std::int64_t>(x), out);
    }
    // Sixteen digits when they read back as x, else seventeen, which
    // always do: no number loses a digit on its way through a file.
    const std::size_t len = layout_digits(x, 16, out);
    double back = 0.0;
    auto r = std::from_chars(out, out + len, back);
    if (r.ec == std::errc() && r.ptr == out + len && back == x) return len;
    return layout_digits(x, 17, out);
}

std::string_view py_strip(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end) {
        const std::size_t w = space_at(p + begin, end - begin);
        if (w == 0) break;
        begin += w;
    }
    while (end > begin) {
        const std::size_t w = space_before(p + begin, end - begin);
        if (w == 0) break;
        end -= w;
    }
    return text.substr(begin, end - begin);
}

bool is_float_literal(std::string_view s) noexcept {
    s = float_strip(s);
    if (s.empty()) return false;
    if (s[0] == '+' || s[0] == '-') s.remove_prefix(1);
    if (s.empty()) return false;
    if (equals_lower(s, "inf") || equals_lower(s, "infinity") || equals_lower(s, "nan"))
        return true;
    std::size_t i = 0;
    const bool int_digits = digit_run(s, i);
    bool frac_digits = false;
    if (i < s.size() && s[i] == '.') {
        ++i;
        frac_digits = digit_run(s, i);
    }
    if (!int_digits && !frac_digits) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        if (!digit_run(s, i)) return false;
    }
    return i == s.size();
}

OperandKind classify_operand(std::string_view value) noexcept {
    if (!value.empty()) {
        if (value[0] == '"') return OperandKind::Text;
        if (value[0] == '#') return OperandKind::Error;
    }
    if (value == "TRUE" || value == "FALSE") return OperandKind::Logical;
    for (const char c : value) {
        // float() accepts non-ASCII digits and spaces; the host decides those.
        if (static_cast<unsigned char>(c) >= 0x80) return OperandKind::NeedPython;
    }
    return is_float_literal(value) ? OperandKind::Number : OperandKind::Range;
}

}  // namespace tvx
