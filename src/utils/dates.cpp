// Date serials and the proleptic Gregorian calendar.
#include "utils/dates.h"

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

std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) noexcept {
    // Days since 1970-01-01 (era-based, exact for all years), moved so
    // that 0001-01-01 is day 0.
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = (unsigned)(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (std::int64_t)doe - 719468 + 719162;
}

void civil_from_days(std::int64_t days, std::int64_t& y, unsigned& m, unsigned& d) noexcept {
    const std::int64_t z = days - 719162 + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = (unsigned)(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = (std::int64_t)yoe + era * 400 + (m <= 2);
}

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

}  // namespace tvx
