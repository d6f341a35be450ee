// Calendar arithmetic of date serials: the proleptic Gregorian day count,
// a naive epoch reduced to numbers, and serials turned into calendar
// fields as the host's own conversion gives them.
#pragma once

#include <cstdint>

namespace tvx {

// A naive datetime epoch as numbers. `native` is false when the epoch is
// not a naive datetime: serials are then converted by the host.
struct NativeEpoch {
    bool native = false;      // exact datetime.datetime with tzinfo None
    bool windows = false;     // equal to the 1900 (Windows) epoch
    std::int64_t day = 0;     // days since 0001-01-01
    std::int64_t micros = 0;  // microseconds within that day
};

// Days since 0001-01-01 of a proleptic Gregorian date, and back.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) noexcept;
void civil_from_days(std::int64_t days, std::int64_t& y, unsigned& m, unsigned& d) noexcept;

// A date serial as calendar fields. `is_time` means a time of day only
// (the date fields are then unused).
struct DateParts {
    bool is_time = false;
    std::int64_t year = 1;
    unsigned month = 1, day = 1, hour = 0, minute = 0, second = 0, microsecond = 0;
};

// The conversion of a serial with a native epoch; false when the serial
// does not convert (out of range, not finite).
bool date_parts_int(const NativeEpoch& epoch, std::int64_t serial, DateParts& out) noexcept;
bool date_parts_float(const NativeEpoch& epoch, double serial, DateParts& out) noexcept;

}  // namespace tvx
