// Cell values as the readers hand them on, and the datetime objects of
// date serials and values.
#pragma once

#include "lib/pyref.h"
#include "sheet/cell_event.h"
#include "utils/dates.h"

#include <cstdint>
#include <string_view>

namespace tvx {

// The interpreter's datetime C API, kept opaque here.
struct DateTimeApi;

// A cell value as the readers hand it to the store and to Python: the
// parser's value, with the objects the host made for it.
struct CellValue : ParsedValue {
    PyRef obj;            // form Object
    PyRef data_type_obj;  // the str when data_type is DT_OTHER
};

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
