// Cell value conversion: the type attribute, <v> text, style id and
// coordinate of one <c> turned into the value and data type the host's own
// reader gives that cell.
#pragma once

#include "lib/errors.h"
#include "lib/host.h"
#include "lib/values.h"

#include <cstdint>
#include <string_view>

namespace tvx {

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

// Converts one cell. Errors are Source (a host callable raised).
ReadError convert(const ConvertContext& ctx, const RawCell& raw, CellValue& out);

}  // namespace tvx
