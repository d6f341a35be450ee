// Cell values as the sheet parser produces them and the store keeps them:
// data-type codes, the converted value, and the calendar arithmetic of
// date serials with the datetime objects built from it.
#pragma once

#include "lib/host.h"
#include "lib/pyref.h"

#include <cstdint>
#include <string_view>

namespace tvx {

// The interpreter's datetime C API, kept opaque here.
struct DateTimeApi;

// The seven fixed data types, by code.
enum DataTypeCode : std::uint8_t {
    DT_N = 0,
    DT_S = 1,
    DT_F = 2,
    DT_B = 3,
    DT_E = 4,
    DT_D = 5,
    DT_INLINE = 6,
    DT_OTHER = 255,  // CellValue::data_type_obj holds the str
};
inline constexpr const char* kFixedDataTypes[7] = {"n", "s", "f", "b", "e", "d", "inlineStr"};

// The data type a str takes when assigned to a cell: "f" for a formula
// ("=" and more), "e" for an error code, else "s".
inline constexpr std::string_view kErrorCodes[7] = {"#NULL!", "#DIV/0!", "#VALUE!", "#REF!",
                                                    "#NAME?", "#NUM!",   "#N/A"};
inline DataTypeCode text_data_type(std::string_view s) noexcept {
    if (s.size() > 1 && s[0] == '=') return DT_F;
    for (std::string_view code : kErrorCodes) {
        if (s == code) return DT_E;
    }
    return DT_S;
}

enum class ValueForm : std::uint8_t {
    None,
    Int,          // i
    Float,        // f
    Bool,         // i (0 or 1)
    SharedIndex,  // i
    Text,         // text (UTF-8; points into the RawCell or static storage)
    DateInt,      // i, a serial known to convert natively
    DateFloat,    // f, likewise
    Object,       // obj
};

struct CellValue {
    ValueForm form = ValueForm::None;
    std::int64_t i = 0;
    double f = 0.0;
    std::string_view text;
    PyRef obj;
    std::uint8_t data_type = DT_N;  // DataTypeCode
    PyRef data_type_obj;            // the str when data_type is DT_OTHER
};

// A date serial as calendar fields. `is_time` means a time of day only
// (the date fields are then unused).
struct DateParts {
    bool is_time = false;
    std::int64_t year = 1;
    unsigned month = 1, day = 1, hour = 0, minute = 0, second = 0, microsecond = 0;
};

// The native conversion of a serial with a native epoch; false when the
// serial does not convert (out of range, not finite).
bool date_parts_int(const NativeEpoch& epoch, std::int64_t serial, DateParts& out) noexcept;
bool date_parts_float(const NativeEpoch& epoch, double serial, DateParts& out) noexcept;

// Calendar fields of a value of exactly the type datetime.datetime (naive
// only), datetime.date (at midnight) or datetime.time (its time of day,
// whatever its tzinfo); false for anything else. The fields are the
// value's own, for the writer's date serials.
bool object_date_parts(const DateTimeApi* api, PyObject* value, DateParts& out) noexcept;

// The datetime C API (imported once by whoever builds date objects).
const DateTimeApi* datetime_capi() noexcept;
// datetime.datetime or datetime.time for `parts`; null with an exception.
PyRef date_object(const DateTimeApi* api, const DateParts& parts);

}  // namespace tvx
