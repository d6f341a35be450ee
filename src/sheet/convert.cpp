#include "sheet/convert.h"

#include "utils/utils.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

namespace tvx {

namespace {

constexpr std::string_view kValueError = "#VALUE!";

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

void set_text(CellValue& out, std::string_view text, std::uint8_t code) {
    out.form = ValueForm::Text;
    out.text = text;
    out.data_type = code;
}

// The data type of an unknown type text: a str of that text.
ReadError other_type(const RawCell& raw, CellValue& out) {
    out.data_type_obj = str_of(raw.type);
    if (!out.data_type_obj) return ReadError::source();
    out.data_type = DT_OTHER;
    return ReadError::ok();
}

PyRef number_object(const CellValue& v) {
    switch (v.form) {
        case ValueForm::Int:
            return PyRef::steal(PyLong_FromLongLong(v.i));
        case ValueForm::Float:
            return PyRef::steal(PyFloat_FromDouble(v.f));
        default:
            return v.obj;
    }
}

// The date warning: the host's message goes to actions (unless a formula
// will replace the value) and the cell becomes the error "#VALUE!".
ReadError date_warning(const ConvertContext& ctx, const RawCell& raw, PyObject* number,
                       CellValue& out) {
    PyRef coord;
    if (raw.has_coordinate) {
        coord = str_of(raw.coordinate);
        if (!coord) return ReadError::source();
    } else {
        coord = PyRef::borrow(Py_None);
    }
    PyObject* args[2] = {coord.get(), number};
    PyRef message = PyRef::steal(PyObject_Vectorcall(ctx.date_warning, args, 2, nullptr));
    if (!message) return ReadError::source();
    if (!raw.formula_used) {
        PyRef entry = PyRef::steal(Py_BuildValue("(sO)", "warn", message.get()));
        if (!entry || PyList_Append(ctx.actions, entry.get()) < 0) return ReadError::source();
    }
    out.obj.reset();
    set_text(out, kValueError, DT_E);
    return ReadError::ok();
}

ReadError apply_date_rules(const ConvertContext& ctx, const RawCell& raw, CellValue& out) {
    const ParserOptions& o = *ctx.options;
    bool timedelta = o.is_timedelta_style(raw.style_id);
    if (timedelta || !o.epoch.native || out.form == ValueForm::Object) {
        PyRef number = number_object(out);
        if (!number) return ReadError::source();
        PyRef kwnames = PyRef::steal(Py_BuildValue("(s)", "timedelta"));
        if (!kwnames) return ReadError::source();
        PyObject* args[3] = {number.get(), o.epoch_obj.get(), timedelta ? Py_True : Py_False};
        PyRef result = PyRef::steal(PyObject_Vectorcall(ctx.from_excel, args, 2, kwnames.get()));
        if (result) {
            out.form = ValueForm::Object;
            out.obj = std::move(result);
            out.data_type = DT_D;
            return ReadError::ok();
        }
        if (!PyErr_ExceptionMatches(PyExc_OverflowError) &&
            !PyErr_ExceptionMatches(PyExc_ValueError)) {
            return ReadError::source();
        }
        PyErr_Clear();
        return date_warning(ctx, raw, number.get(), out);
    }
    DateParts parts;
    bool ok = out.form == ValueForm::Int ? date_parts_int(o.epoch, out.i, parts)
                                         : date_parts_float(o.epoch, out.f, parts);
    if (ok) {
        out.form = out.form == ValueForm::Int ? ValueForm::DateInt : ValueForm::DateFloat;
        out.data_type = DT_D;
        return ReadError::ok();
    }
    PyRef number = number_object(out);
    if (!number) return ReadError::source();
    return date_warning(ctx, raw, number.get(), out);
}

// The host's float of a text the engine does not parse itself.
ReadError host_float(const ConvertContext& ctx, std::string_view t, CellValue& out) {
    PyRef r = call_with_text(ctx.float_fn, t);
    if (!r) return ReadError::source();
    if (PyFloat_CheckExact(r.get())) {
        out.form = ValueForm::Float;
        out.f = PyFloat_AS_DOUBLE(r.get());
    } else {
        out.form = ValueForm::Object;
        out.obj = std::move(r);
    }
    return ReadError::ok();
}

ReadError convert_number(const ConvertContext& ctx, const RawCell& raw, CellValue& out) {
    std::string_view t = raw.value;
    out.data_type = DT_N;
    QuickNumber quick = quick_number(t, out.i, out.f);
    if (quick == QuickNumber::Int) {
        out.form = ValueForm::Int;
    } else if (quick == QuickNumber::Float ||
               (quick == QuickNumber::Decimal && parse_float(t, out.f))) {
        out.form = ValueForm::Float;
    } else if (quick == QuickNumber::Decimal) {
        TVX_TRY(host_float(ctx, t, out));
    } else if (parse_fast_int(t, out.i)) {
        // Plain integers first: they hold none of ".Ee".
        out.form = ValueForm::Int;
    } else if (has_float_mark(t)) {
        Decimal d = parse_short_decimal(t, out.f);
        if (d == Decimal::Parsed ||
            ((d == Decimal::Valid || float_syntax(t)) && parse_float(t, out.f))) {
            out.form = ValueForm::Float;
        } else {
            TVX_TRY(host_float(ctx, t, out));
        }
    } else {
        PyRef r = call_with_text(ctx.int_fn, t);
        if (!r) return ReadError::source();
        out.form = ValueForm::Object;
        out.obj = std::move(r);
    }
    if (!raw.unusual_style && ctx.options->is_date_style(raw.style_id)) {
        return apply_date_rules(ctx, raw, out);
    }
    return ReadError::ok();
}

ReadError convert_shared(const ConvertContext& ctx, const RawCell& raw, CellValue& out) {
    out.data_type = DT_S;
    std::int64_t i = 0;
    PyRef index;
    if (parse_fast_int(raw.value, i)) {
        if (i >= 0 && i < ctx.shared_count) {
            out.form = ValueForm::SharedIndex;
            out.i = i;
            return ReadError::ok();
        }
        index = PyRef::steal(PyLong_FromLongLong(i));
    } else {
        index = call_with_text(ctx.int_fn, raw.value);
    }
    if (!index) return ReadError::source();
    PyRef item = PyRef::steal(PyObject_GetItem(ctx.shared_strings, index.get()));
    if (!item) return ReadError::source();
    out.form = ValueForm::Object;
    out.obj = std::move(item);
    return ReadError::ok();
}

ReadError convert_bool(const ConvertContext& ctx, const RawCell& raw, CellValue& out) {
    out.data_type = DT_B;
    out.form = ValueForm::Bool;
    std::int64_t i = 0;
    if (parse_fast_int(raw.value, i)) {
        out.i = i != 0;
        return ReadError::ok();
    }
    PyRef r = call_with_text(ctx.int_fn, raw.value);
    if (!r) return ReadError::source();
    int t = PyObject_IsTrue(r.get());
    if (t < 0) return ReadError::source();
    out.i = t;
    return ReadError::ok();
}

}  // namespace

void ConvertContext::init(const ReaderHelpers& h, const ParserOptions& o,
                          PyObject* actions_list) noexcept {
    int_fn = h.int_fn.get();
    float_fn = h.float_fn.get();
    from_excel = h.from_excel.get();
    from_ISO8601 = h.from_ISO8601.get();
    date_warning = h.date_warning.get();
    shared_strings = o.shared_strings.get();
    shared_count = o.shared_is_list ? PyList_GET_SIZE(shared_strings) : 0;
    options = &o;
    actions = actions_list;
}

ReadError convert(const ConvertContext& ctx, const RawCell& raw, CellValue& out) {
    out.form = ValueForm::None;
    out.i = 0;
    out.f = 0.0;
    out.text = {};
    out.obj.reset();
    out.data_type = DT_N;
    out.data_type_obj.reset();
    std::string_view type = raw.has_type ? raw.type : std::string_view("n");
    if (type == "inlineStr") {
        if (raw.inline_result) {
            out.form = ValueForm::Object;
            out.obj = PyRef::borrow(raw.inline_result);
            out.data_type = DT_S;
        } else {
            out.data_type = DT_INLINE;
        }
        return ReadError::ok();
    }
    if (raw.value.empty()) {
        if (type.size() == 1) {
            switch (type[0]) {
                case 'n':
                    out.data_type = DT_N;
                    return ReadError::ok();
                case 's':
                    out.data_type = DT_S;
                    return ReadError::ok();
                case 'f':
                    out.data_type = DT_F;
                    return ReadError::ok();
                case 'b':
                    out.data_type = DT_B;
                    return ReadError::ok();
                case 'e':
                    out.data_type = DT_E;
                    return ReadError::ok();
                case 'd':
                    out.data_type = DT_D;
                    return ReadError::ok();
                default:
                    break;
            }
        }
        return other_type(raw, out);
    }
    if (type.size() == 1) {
        switch (type[0]) {
            case 'n':
                return convert_number(ctx, raw, out);
            case 's':
                return convert_shared(ctx, raw, out);
            case 'b':
                return convert_bool(ctx, raw, out);
            case 'd': {
                PyRef r = call_with_text(ctx.from_ISO8601, raw.value);
                if (!r) return ReadError::source();
                out.form = ValueForm::Object;
                out.obj = std::move(r);
                out.data_type = DT_D;
                return ReadError::ok();
            }
            case 'e':
                set_text(out, raw.value, DT_E);
                return ReadError::ok();
            case 'f':
                set_text(out, raw.value, DT_F);
                return ReadError::ok();
            default:
                break;
        }
    }
    if (type == "str") {
        set_text(out, raw.value, DT_S);
        return ReadError::ok();
    }
    set_text(out, raw.value, DT_N);
    return other_type(raw, out);
}

}  // namespace tvx
