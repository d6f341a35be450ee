#include "sheet/convert.h"

#include <datetime.h>

#include <charconv>
#include <cmath>
#include <cstring>

namespace tvx {

namespace {

constexpr std::int64_t kLastDay = 3652058;  // 9999-12-31
constexpr std::int64_t kDayMicros = 86400000000LL;
constexpr std::string_view kValueError = "#VALUE!";

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Optional "-", then 1 to 18 digits and nothing else.
bool fast_int(std::string_view s, std::int64_t& out) noexcept {
    std::size_t i = 0, n = s.size();
    bool neg = false;
    if (n && s[0] == '-') {
        neg = true;
        i = 1;
    }
    std::size_t digits = n - i;
    if (digits == 0 || digits > 18) return false;
    std::int64_t v = 0;
    for (; i < n; i++) {
        if (!is_digit(s[i])) return false;
        v = v * 10 + (s[i] - '0');
    }
    out = neg ? -v : v;
    return true;
}

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

// Correctly rounded parse of a text that passed float_syntax; false when
// the value is out of the double range (the host's float decides those).
bool parse_float(std::string_view s, double& out) noexcept {
    const char* b = s.data();
    const char* e = b + s.size();
    if (b < e && *b == '+') b++;
    auto r = std::from_chars(b, e, out, std::chars_format::general);
    return r.ec == std::errc() && r.ptr == e;
}

PyRef str_of(std::string_view s) {
    return PyRef::steal(PyUnicode_DecodeUTF8(s.data(), (Py_ssize_t)s.size(), nullptr));
}

PyRef call_text(PyObject* fn, std::string_view s) {
    PyRef arg = str_of(s);
    if (!arg) return {};
    return PyRef::steal(PyObject_CallOneArg(fn, arg.get()));
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

ReadError convert_number(const ConvertContext& ctx, const RawCell& raw, CellValue& out) {
    std::string_view t = raw.value;
    out.data_type = DT_N;
    if (t.find_first_of(".Ee") != std::string_view::npos) {
        if (float_syntax(t) && parse_float(t, out.f)) {
            out.form = ValueForm::Float;
        } else {
            PyRef r = call_text(ctx.float_fn, t);
            if (!r) return ReadError::source();
            if (PyFloat_CheckExact(r.get())) {
                out.form = ValueForm::Float;
                out.f = PyFloat_AS_DOUBLE(r.get());
            } else {
                out.form = ValueForm::Object;
                out.obj = std::move(r);
            }
        }
    } else if (fast_int(t, out.i)) {
        out.form = ValueForm::Int;
    } else {
        PyRef r = call_text(ctx.int_fn, t);
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
    if (fast_int(raw.value, i)) {
        if (i >= 0 && i < ctx.shared_count) {
            out.form = ValueForm::SharedIndex;
            out.i = i;
            return ReadError::ok();
        }
        index = PyRef::steal(PyLong_FromLongLong(i));
    } else {
        index = call_text(ctx.int_fn, raw.value);
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
    if (fast_int(raw.value, i)) {
        out.i = i != 0;
        return ReadError::ok();
    }
    PyRef r = call_text(ctx.int_fn, raw.value);
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
    out = CellValue{};
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
                case 'n': out.data_type = DT_N; return ReadError::ok();
                case 's': out.data_type = DT_S; return ReadError::ok();
                case 'f': out.data_type = DT_F; return ReadError::ok();
                case 'b': out.data_type = DT_B; return ReadError::ok();
                case 'e': out.data_type = DT_E; return ReadError::ok();
                case 'd': out.data_type = DT_D; return ReadError::ok();
                default: break;
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
                PyRef r = call_text(ctx.from_ISO8601, raw.value);
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

namespace {

void time_of_day(std::int64_t micros, DateParts& out) noexcept {
    out.hour = (unsigned)(micros / 3600000000LL);
    out.minute = (unsigned)(micros / 60000000LL % 60);
    out.second = (unsigned)(micros / 1000000 % 60);
    out.microsecond = (unsigned)(micros % 1000000);
}

bool set_day(std::int64_t day, std::int64_t micros, DateParts& out) noexcept {
    if (day < 0 || day > kLastDay) return false;
    unsigned m = 0, d = 0;
    civil_from_days(day, out.year, m, d);
    out.month = m;
    out.day = d;
    out.is_time = false;
    time_of_day(micros, out);
    return true;
}

}  // namespace

bool date_parts_int(const NativeEpoch& epoch, std::int64_t n, DateParts& out) noexcept {
    out = DateParts{};
    if (n == 0) {
        out.is_time = true;
        return true;
    }
    if (n > 0 && n < 60 && epoch.windows) n += 1;
    if (n >= 1000000000 || n <= -1000000000) return false;
    return set_day(epoch.day + n, epoch.micros, out);
}

bool date_parts_float(const NativeEpoch& epoch, double x, DateParts& out) noexcept {
    out = DateParts{};
    if (!std::isfinite(x)) return false;
    double frac = std::fmod(x, 1.0);
    double whole = std::trunc(x);
    if (frac < 0) {
        frac += 1.0;
        whole -= 1.0;
    }
    if (frac == 0) frac = 0.0;  // no negative zero
    // Round to the millisecond, ties to even (the default rounding mode).
    std::int64_t ms = (std::int64_t)std::nearbyint(frac * 86400.0 * 1000.0);
    if (x >= 0 && x < 1 && ms < 86400000) {
        out.is_time = true;
        time_of_day(ms * 1000, out);
        return true;
    }
    if (x > 0 && x < 60 && epoch.windows) whole += 1.0;
    if (std::fabs(whole) > 999999999.0) return false;
    std::int64_t micros = epoch.micros + ms * 1000;
    std::int64_t day = epoch.day + (std::int64_t)whole + micros / kDayMicros;
    return set_day(day, micros % kDayMicros, out);
}

const DateTimeApi* datetime_capi() noexcept {
    return reinterpret_cast<const DateTimeApi*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
}

PyRef date_object(const DateTimeApi* opaque, const DateParts& p) {
    const PyDateTime_CAPI* api = reinterpret_cast<const PyDateTime_CAPI*>(opaque);
    if (p.is_time) {
        return PyRef::steal(api->Time_FromTime((int)p.hour, (int)p.minute, (int)p.second,
                                               (int)p.microsecond, Py_None, api->TimeType));
    }
    return PyRef::steal(api->DateTime_FromDateAndTime(
        (int)p.year, (int)p.month, (int)p.day, (int)p.hour, (int)p.minute, (int)p.second,
        (int)p.microsecond, Py_None, api->DateTimeType));
}

}  // namespace tvx
