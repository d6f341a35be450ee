#include "sheet/convert.h"

#include "utils/utils.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

namespace tvx {

namespace {

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// [+-] digits [. digits] [(e|E) [+-] digits], at least one mantissa digit.
bool float_syntax(std::string_view s) noexcept {
    std::size_t i = 0, n = s.size(), digits = 0;
    if (i < n && (s[i] == '+' || s[i] == '-')) i++;
    while (i < n && is_digit(s[i])) i++, digits++;
    if (i < n && s[i] == '.') {
        i++;
        while (i < n && is_digit(s[i])) i++, digits++;
    }
    if (digits == 0) return false;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        i++;
        if (i < n && (s[i] == '+' || s[i] == '-')) i++;
        std::size_t exp = 0;
        while (i < n && is_digit(s[i])) i++, exp++;
        if (exp == 0) return false;
    }
    return i == n;
}

// Whether the text holds one of ".Ee" (what sends a number to float).
inline bool has_float_mark(std::string_view t) noexcept {
    for (char c : t)
        if (c == '.' || (c | 0x20) == 'e') return true;
    return false;
}

// Exact powers of ten: every one up to 1e22 is a double.
constexpr double kPow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                               1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                               1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The common short decimal in one pass: with at most 2^53 as its digits
// read as an integer m and a power of ten 10^k, |k| <= 22, both are exact
// doubles and one multiplication or division rounds correctly (Parsed).
// Otherwise no double is given: Valid when the text is known to have the
// float syntax, Unknown when that is still to be checked.
enum class Decimal : std::uint8_t { Parsed, Valid, Unknown };

Decimal parse_short_decimal(std::string_view s, double& out) noexcept {
    std::size_t i = 0, n = s.size();
    bool negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    std::uint64_t m = 0;
    unsigned digits = 0;
    int scale = 0;
    for (; i < n && is_digit(s[i]); i++, digits++) m = m * 10 + unsigned(s[i] - '0');
    if (i < n && s[i] == '.') {
        for (i++; i < n && is_digit(s[i]); i++, digits++, scale--)
            m = m * 10 + unsigned(s[i] - '0');
    }
    if (digits == 0 || digits > 19) return Decimal::Unknown;  // 19 digits cannot wrap m
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        i++;
        bool eneg = false;
        if (i < n && (s[i] == '+' || s[i] == '-')) eneg = s[i++] == '-';
        int e = 0;
        unsigned edigits = 0;
        for (; i < n && is_digit(s[i]) && edigits < 5; i++, edigits++) e = e * 10 + (s[i] - '0');
        if (edigits == 0) return Decimal::Unknown;
        scale += eneg ? -e : e;
    }
    if (i != n) return Decimal::Unknown;
    if (m > (std::uint64_t(1) << 53) || scale < -22 || scale > 22) return Decimal::Valid;
    double v = double(m);
    v = scale < 0 ? v / kPow10[-scale] : v * kPow10[scale];
    out = negative ? -v : v;
    return Decimal::Parsed;
}

// Whether the eight bytes of `w` (in memory order) are all ASCII digits.
inline bool eight_digits(std::uint64_t w) noexcept {
    return (w & 0xF0F0F0F0F0F0F0F0ull) == 0x3030303030303030ull &&
           ((w + 0x0606060606060606ull) & 0xF0F0F0F0F0F0F0F0ull) == 0x3030303030303030ull;
}

// The value of eight ASCII digits loaded little-endian: pairs, then
// quadruples, then the whole, each step one multiply.
inline std::uint64_t eight_digit_value(std::uint64_t w) noexcept {
    w -= 0x3030303030303030ull;
    w = w * 10 + (w >> 8);  // each even byte: two digits
    const std::uint64_t mask = 0x000000FF000000FFull;
    const std::uint64_t mul_hi = 100 + (1000000ull << 32);
    const std::uint64_t mul_lo = 1 + (10000ull << 32);
    return (((w & mask) * mul_hi) + (((w >> 16) & mask) * mul_lo)) >> 32;
}

// Digits from p on into m (wrapping past 19 digits; callers count them).
inline const char* read_digits(const char* p, const char* e, std::uint64_t& m) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        while (e - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            if (!eight_digits(w)) break;
            m = m * 100000000u + eight_digit_value(w);
            p += 8;
        }
    }
    while (p < e && is_digit(*p)) m = m * 10 + unsigned(*p++ - '0');
    return p;
}

// The two forms nearly every stored number takes, in one pass: an integer
// of at most 18 digits ("-" allowed), and a decimal without exponent whose
// digits and scale give an exact double in one division. A longer decimal
// without exponent is Decimal: known to have the float syntax, to be parsed
// in full. Other otherwise, and the general rules below decide.
enum class QuickNumber : std::uint8_t { Int, Float, Decimal, Other };

QuickNumber quick_number(std::string_view t, std::int64_t& i, double& f) noexcept {
    const char* p = t.data();
    const char* const e = p + t.size();
    const bool negative = p < e && *p == '-';
    if (negative) p++;
    const char* start = p;
    std::uint64_t m = 0;
    p = read_digits(p, e, m);
    const std::size_t whole = std::size_t(p - start);
    if (p == e) {
        if (whole == 0 || whole > 18) return QuickNumber::Other;
        i = negative ? -std::int64_t(m) : std::int64_t(m);
        return QuickNumber::Int;
    }
    if (*p != '.') return QuickNumber::Other;
    start = ++p;
    p = read_digits(p, e, m);
    const std::size_t fraction = std::size_t(p - start);
    if (p != e || whole + fraction == 0) return QuickNumber::Other;
    if (whole + fraction > 19 || fraction > 22 || m > (std::uint64_t(1) << 53)) {
        return QuickNumber::Decimal;
    }
    const double v = double(m) / kPow10[fraction];
    f = negative ? -v : v;
    return QuickNumber::Float;
}

// Correctly rounded parse of a text that passed float_syntax; false when
// the value is out of the double range (the host's float decides those).
bool parse_float(std::string_view s, double& out) noexcept {
    const char* b = s.data();
    const char* e = b + s.size();
    if (b < e && *b == '+') b++;
    auto r = std::from_chars(b, e, out, std::chars_format::general);
    return r.ec == std::errc() && r.ptr == e;
}

void set_text(ParsedValue& out, std::string_view text, std::uint8_t code) noexcept {
    out.form = ValueForm::Text;
    out.text = text;
    out.data_type = code;
}

// The data type of an unknown type text: that text.
void other_type(const RawCell& raw, ParsedValue& out) noexcept {
    out.type_text = raw.type;
    out.data_type = DT_OTHER;
}

void host_step(ParsedValue& out, HostStep step, std::string_view text) noexcept {
    out.form = ValueForm::Host;
    out.host = step;
    out.text = text;
}

void convert_number(const SheetOptions& o, const RawCell& raw, ParsedValue& out) noexcept {
    out.data_type = DT_N;
    bool is_int = false, as_float = false;
    if (parse_number(raw.value, out.i, out.f, is_int, as_float)) {
        out.form = is_int ? ValueForm::Int : ValueForm::Float;
    } else {
        host_step(out, as_float ? HostStep::Float : HostStep::Int, raw.value);
    }
    if (!raw.unusual_style && o.is_date_style(raw.style_id)) {
        if (out.form == ValueForm::Host) {
            out.date = DateStep::Rules;  // once the host made the number
        } else {
            date_rule(o, raw.style_id, out);
        }
    }
}

void convert_shared(const SheetOptions& o, const RawCell& raw, ParsedValue& out) noexcept {
    out.data_type = DT_S;
    std::int64_t i = 0;
    if (parse_fast_int(raw.value, i)) {
        if (i >= 0 && i < o.shared_count) {
            out.form = ValueForm::SharedIndex;
            out.i = i;
            return;
        }
        out.i = i;
        out.i_set = true;
    }
    host_step(out, HostStep::SharedString, raw.value);
}

void convert_bool(const RawCell& raw, ParsedValue& out) noexcept {
    out.data_type = DT_B;
    std::int64_t i = 0;
    if (parse_fast_int(raw.value, i)) {
        out.form = ValueForm::Bool;
        out.i = i != 0;
        return;
    }
    host_step(out, HostStep::Bool, raw.value);
}

}  // namespace

bool SheetOptions::is_date_style(std::int64_t id) const noexcept {
    return std::binary_search(date_formats.begin(), date_formats.end(), id);
}

bool SheetOptions::is_timedelta_style(std::int64_t id) const noexcept {
    return std::binary_search(timedelta_formats.begin(), timedelta_formats.end(), id);
}

bool parse_number(std::string_view t, std::int64_t& i, double& f, bool& is_int,
                  bool& as_float) noexcept {
    is_int = as_float = false;
    QuickNumber quick = quick_number(t, i, f);
    if (quick == QuickNumber::Int) {
        is_int = true;
        return true;
    }
    if (quick == QuickNumber::Float || (quick == QuickNumber::Decimal && parse_float(t, f))) {
        return true;
    }
    if (quick == QuickNumber::Decimal) {
        as_float = true;
        return false;
    }
    if (parse_fast_int(t, i)) {
        // Plain integers first: they hold none of ".Ee".
        is_int = true;
        return true;
    }
    if (has_float_mark(t)) {
        Decimal d = parse_short_decimal(t, f);
        if (d == Decimal::Parsed ||
            ((d == Decimal::Valid || float_syntax(t)) && parse_float(t, f))) {
            return true;
        }
        as_float = true;
        return false;
    }
    return false;  // the host's int()
}

void date_rule(const SheetOptions& o, std::int64_t style_id, ParsedValue& v) noexcept {
    if (!o.is_date_style(style_id)) return;
    v.data_type = DT_D;
    if (o.is_timedelta_style(style_id) || !o.epoch.native || v.form == ValueForm::Host ||
        v.form == ValueForm::Object) {
        v.date = DateStep::Excel;
        return;
    }
    DateParts parts;
    const bool ok = v.form == ValueForm::Int ? date_parts_int(o.epoch, v.i, parts)
                                             : date_parts_float(o.epoch, v.f, parts);
    if (ok) {
        v.form = v.form == ValueForm::Int ? ValueForm::DateInt : ValueForm::DateFloat;
        v.date = DateStep::None;
    } else {
        v.date = DateStep::Warning;
    }
}

void convert(const SheetOptions& o, const RawCell& raw, ParsedValue& out) noexcept {
    out = ParsedValue{};
    std::string_view type = raw.has_type ? raw.type : std::string_view("n");
    if (type == "inlineStr") {
        out.data_type = raw.inline_item ? DT_S : DT_INLINE;
        if (raw.inline_captured) {
            host_step(out, HostStep::InlineItem, {});
        } else if (raw.inline_item) {
            set_text(out, raw.inline_text, DT_S);
        }
        return;
    }
    if (raw.value.empty()) {
        if (type.size() == 1) {
            switch (type[0]) {
                case 'n':
                    out.data_type = DT_N;
                    return;
                case 's':
                    out.data_type = DT_S;
                    return;
                case 'f':
                    out.data_type = DT_F;
                    return;
                case 'b':
                    out.data_type = DT_B;
                    return;
                case 'e':
                    out.data_type = DT_E;
                    return;
                case 'd':
                    out.data_type = DT_D;
                    return;
                default:
                    break;
            }
        }
        other_type(raw, out);
        return;
    }
    if (type.size() == 1) {
        switch (type[0]) {
            case 'n':
                return convert_number(o, raw, out);
            case 's':
                return convert_shared(o, raw, out);
            case 'b':
                return convert_bool(raw, out);
            case 'd':
                out.data_type = DT_D;
                return host_step(out, HostStep::IsoDate, raw.value);
            case 'e':
                return set_text(out, raw.value, DT_E);
            case 'f':
                return set_text(out, raw.value, DT_F);
            default:
                break;
        }
    }
    if (type == "str") return set_text(out, raw.value, DT_S);
    set_text(out, raw.value, DT_N);
    other_type(raw, out);
}

}  // namespace tvx
