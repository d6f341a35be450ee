// The <sheetData> parser: walks a worksheet with the XML reader and hands
// on, in document order, the elements around the cells (captured raw),
// the rows, and each cell with its value converted as the host converts it.
#pragma once

#include "formula/formula.h"
#include "lib/host.h"
#include "sheet/convert.h"
#include "text/text_item.h"
#include "xml/reader.h"

#include <cstdint>
#include <string>
#include <unordered_map>

namespace tvx {

// One <c> ready for its consumer. Views and borrowed objects are valid
// during the on_cell call only.
struct ParsedCell {
    std::int64_t row = 0, column = 0;
    CellValue value;
    std::int64_t style_id = 0;     // 0 for a cell without `s`
    PyRef unusual_style;           // set when `s` is not a 64-bit integer
    bool is_formula_text = false;  // value is an ordinary formula text (data type "f")
    // A member of a native shared-formula group (value holds its rendered
    // text): the group's template and the number the consumer gave the
    // group, kNoGroup until it gives one.
    const FormulaTemplate* shared = nullptr;
    std::uint32_t* shared_number = nullptr;
    // In formula-and-value mode, a cell whose formula is used also keeps
    // the value its <v> converts to.
    bool has_cached = false;
    CellValue cached;
};

inline constexpr std::uint32_t kNoGroup = 0xFFFFFFFFu;

// The s attribute of the <c> being read, and its r and s as converted
// while the tag was scanned, when they could be.
struct CellAttrs {
    bool has_s = false;
    std::string_view s;
    bool coordinate = false, style = false;
    std::int64_t row = 0, style_id = 0;
    std::uint32_t column = 0;
};

// Receives what the parser reads.
class SheetSink {
public:
    virtual ~SheetSink() = default;
    virtual ReadError on_element(PyObject* bytes, PyObject* namespaces) = 0;
    virtual ReadError on_row(std::int64_t row) = 0;
    virtual ReadError on_cell(ParsedCell& cell) = 0;
};

enum class SheetItem : std::uint8_t { Element, Row, End };

class SheetParser {
public:
    // All arguments must outlive the parser; `row_dimensions` is the
    // parser object's dict (borrowed).
    SheetParser(XmlReader& reader, const ReaderHelpers& helpers, const ParserOptions& options,
                const ConvertContext& ctx, PyObject* row_dimensions);

    // Reads up to the next element item, row or the end of the document,
    // handing what it reads to `sink`.
    ReadError next_item(SheetSink& sink, SheetItem& item);

private:
    struct SharedGroup {
        bool native = false;
        bool has_origin = false;  // members without r can be placed (see formula_value)
        std::uint32_t number = kNoGroup;
        FormulaTemplate tmpl;
        PyRef translator;  // the host's Translator when not native
    };
    struct Formula {
        bool present = false, has_text = false;
        bool joined = false;  // formula_text_ already holds "=" and the text
        bool has_t = false, has_ref = false;
        std::string text, t, ref, si;
        bool has_si = false;
        PyRef attrs;  // every attribute, built for data tables
    };

    ReadError parse_row(SheetSink& sink, bool empty);
    ReadError begin_row(bool has_r);
    ReadError row_cells(SheetSink& sink);
    ReadError next_row_raw();
    ReadError parse_cell(SheetSink& sink, bool empty);
    ReadError begin_cell(ParsedCell& cell);
    ReadError end_cell(SheetSink& sink, ParsedCell& cell);
    // Reads the cell starting at data[p] straight from the bytes; Miss
    // hands it to the tokenizer, Short asks for more bytes first.
    enum class Fast : std::uint8_t { Hit, Miss, Short };
    Fast fast_cell(const char* d, std::size_t p, std::size_t n, std::size_t& end);
    ReadError fast_cells(SheetSink& sink);
    ReadError read_formula(bool empty);
    ReadError read_inline(bool empty);
    ReadError formula_value(ParsedCell& cell);
    ReadError attribute_dict(PyRef& out);
    ReadError capture(SheetSink& sink);

    XmlReader& r_;
    const ReaderHelpers& h_;
    const ParserOptions& o_;
    const ConvertContext& ctx_;
    PyObject* row_dimensions_;
    RprCache rpr_cache_;

    bool in_sheet_data_ = false;
    bool row_unprefixed_ = false;
    // A row started from the bytes, to be read by the next call.
    bool pending_row_ = false, pending_has_r_ = false;
    std::int64_t row_number_ = 0;
    std::int64_t column_number_ = 0;

    // Per-cell state, reused so that a cell allocates nothing once warm.
    std::string r_text_, s_text_, t_text_, v_text_, scratch_, formula_text_;
    // The cell's s, and its r, t and <v> texts with what conversion reads
    // besides: views into the reader's buffer (fast path) or into the
    // strings above.
    CellAttrs attrs_;
    RawCell raw_;
    bool has_v_ = false, has_is_ = false;
    Formula f_;
    TextItem item_;
    PyRef inline_;
    ParsedCell cell_;
    std::vector<FormulaToken> tokens_;
    std::unordered_map<std::string, SharedGroup> shared_;
};

}  // namespace tvx
