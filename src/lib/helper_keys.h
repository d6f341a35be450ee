// The keys of the `helpers` dicts the package hands the engine, each once:
// X(member, "key"). tavrinex/helpers.py builds the same dicts
// (reader_helpers, writer_helpers); tests/test_layering.py holds the two
// lists equal.
#pragma once

// Callables and classes of the readers, fetched in this order.
#define TVX_READER_HELPERS(X)                    \
    X(int_fn, "int")                             \
    X(float_fn, "float")                         \
    X(coordinate_to_tuple, "coordinate_to_tuple") \
    X(row_index, "row_index")                    \
    X(from_excel, "from_excel")                  \
    X(from_ISO8601, "from_ISO8601")              \
    X(date_warning, "date_warning")              \
    X(ArrayFormula, "ArrayFormula")              \
    X(DataTableFormula, "DataTableFormula")      \
    X(Translator, "Translator")                  \
    X(TokenizerError, "TokenizerError")          \
    X(TranslatorError, "TranslatorError")        \
    X(text_content, "text_content")              \
    X(rich_inline, "rich_inline")                \
    X(validate_rpr, "validate_rpr")

// Element names the string-item reader hands to the host, copied as sets.
#define TVX_READER_NAME_SETS(X)        \
    X(text_dangerous, "text_dangerous") \
    X(rich_dangerous, "rich_dangerous")

// Fetched by the one reader that needs it (read_string_table and the data
// road's shared strings).
#define TVX_READER_EXTRA_HELPERS(X) X(si_content, "si_content")

// Callables and classes of the writer.
#define TVX_WRITER_HELPERS(X)        \
    X(style_array, "StyleArray")     \
    X(add_comment, "add_comment")    \
    X(write_cell, "write_cell")      \
    X(date_value, "date_value")      \
    X(date_value_raw, "date_value_raw") \
    X(safe_string, "safe_string")
