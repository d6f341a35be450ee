// Cell value conversion: the type attribute, <v> text, style id and
// coordinate of one <c> turned into the value and data type the host's own
// reader gives that cell, plus the calendar arithmetic of date serials.
#pragma once

#include "lib/errors.h"
#include "lib/host.h"

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

// Everything conversion reads from the call's arguments, fetched once.
// Borrowed: the helpers, options and actions outlive the context.
struct ConvertContext {
    PyObject* int_fn = nullptr;
    PyObject* float_fn = nullptr;
    PyObject* from_excel = nullptr;
    PyObject* from_ISO8601 = nullptr;
    PyObject* date_warning = nullptr;
    PyObject* shared_strings = nullptr;
    // Number of strings a fast index may address directly; 0 when the
    // shared strings are not a list (every index then goes through
    // item access).
    Py_ssize_t shared_count = 0;
    const ParserOptions* options = nullptr;
    PyObject* actions = nullptr;

    void init(const ReaderHelpers& h, const ParserOptions& o, PyObject* actions_list) noexcept;
};

// One <c> as the sheet parser read it.
struct RawCell {
    bool has_type = false;
    std::string_view type;
    std::string_view value;  // empty means absent
    std::int64_t style_id = 0;
    PyObject* unusual_style = nullptr;  // borrowed; set when the id is not an int64
    bool has_coordinate = false;
    std::string_view coordinate;
    PyObject* inline_result = nullptr;  // borrowed; the decoded <is>, or null
    bool formula_used = false;          // an <f> whose value replaces this one
};

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

// Converts one cell. Errors are Source (a host callable raised).
ReadError convert(const ConvertContext& ctx, const RawCell& raw, CellValue& out);

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

// The datetime C API (imported once by whoever builds date objects).
const DateTimeApi* datetime_capi() noexcept;
// datetime.datetime or datetime.time for `parts`; null with an exception.
PyRef date_object(const DateTimeApi* api, const DateParts& parts);

}  // namespace tvx
