#include "lib/values.h"

#include <datetime.h>

#include <cmath>

namespace tvx {

namespace {

constexpr std::int64_t kLastDay = 3652058;  // 9999-12-31
constexpr std::int64_t kDayMicros = 86400000000LL;

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

bool object_date_parts(const DateTimeApi* opaque, PyObject* v, DateParts& out) noexcept {
    const PyDateTime_CAPI* api = reinterpret_cast<const PyDateTime_CAPI*>(opaque);
    out = DateParts{};
    PyTypeObject* type = Py_TYPE(v);
    if (type == api->TimeType) {
        out.is_time = true;
        out.hour = (unsigned)PyDateTime_TIME_GET_HOUR(v);
        out.minute = (unsigned)PyDateTime_TIME_GET_MINUTE(v);
        out.second = (unsigned)PyDateTime_TIME_GET_SECOND(v);
        out.microsecond = (unsigned)PyDateTime_TIME_GET_MICROSECOND(v);
        return true;
    }
    if (type == api->DateTimeType) {
        if (PyDateTime_DATE_GET_TZINFO(v) != Py_None) return false;
        out.hour = (unsigned)PyDateTime_DATE_GET_HOUR(v);
        out.minute = (unsigned)PyDateTime_DATE_GET_MINUTE(v);
        out.second = (unsigned)PyDateTime_DATE_GET_SECOND(v);
        out.microsecond = (unsigned)PyDateTime_DATE_GET_MICROSECOND(v);
    } else if (type != api->DateType) {
        return false;
    }
    out.year = PyDateTime_GET_YEAR(v);
    out.month = (unsigned)PyDateTime_GET_MONTH(v);
    out.day = (unsigned)PyDateTime_GET_DAY(v);
    return true;
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
