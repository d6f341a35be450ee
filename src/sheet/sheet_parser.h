// The <sheetData> parser: walks a worksheet with the XML reader and hands
// on, in document order, the elements around the cells (captured raw),
// the rows, and each cell with its value converted as the host converts it,
// as plain events (sheet/cell_event.h). No Python here: what only the host
// can answer is asked of a SheetHost, or marked on the value for the sink.
//
// A sink (SheetSink) sees, per document:
//   on_element  for each element outside the cells, in document order;
//   on_row      at each <row> (numbers resolved, attributes when present);
//   on_cell     for each <c> of that row, in document order.
// An error returned by the sink or the host ends the parse with it.
#pragma once

#include "formula/formula.h"
#include "sheet/cell_event.h"
#include "sheet/convert.h"
#include "text/text_item.h"
#include "xml/reader.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tvx {

// The s attribute of the <c> being read, and its r and s as converted
// while the tag was scanned, when they could be.
struct CellAttrs {
    bool has_s = false;
    std::string_view s;
    bool coordinate = false, style = false;
    std::int64_t row = 0, style_id = 0;
    std::uint32_t column = 0;
};

enum class SheetItem : std::uint8_t { Element, Row, End };

class SheetParser {
public:
    // All arguments must outlive the parser. The options may change
    // between calls of next_item (the number of shared strings does).
    SheetParser(XmlReader& reader, const SheetOptions& options, SheetHost& host);

    // Reads up to the next element item, row or the end of the document,
    // handing what it reads to `sink`.
    ReadError next_item(SheetSink& sink, SheetItem& item);

private:
    struct SharedGroup {
        bool native = false;
        bool has_origin = false;  // members without r can be placed (see formula_value)
        std::uint32_t number = kNoGroup;  // given by the sink (native groups)
        std::uint32_t host_group = 0;     // the host's number of the group otherwise
        FormulaTemplate tmpl;
    };
    struct Formula {
        bool present = false, has_text = false;
        bool joined = false;  // formula_text_ already holds "=" and the text
        bool has_t = false, has_ref = false;
        std::string text, t, ref, si;
        bool has_si = false;
        std::vector<std::pair<std::string, std::string>> attrs;  // data tables
    };
    using Attributes = std::vector<std::pair<std::string, std::string>>;

    ReadError parse_row(SheetSink& sink, bool empty);
    ReadError begin_row(bool has_r);
    ReadError row_cells(SheetSink& sink);
    ReadError next_row_raw();
    ReadError parse_cell(SheetSink& sink, bool empty);
    ReadError begin_cell(CellEvent& cell);
    ReadError end_cell(SheetSink& sink, CellEvent& cell);
    // Reads the cell starting at data[p] straight from the bytes; Miss
    // hands it to the tokenizer, Short asks for more bytes first.
    enum class Fast : std::uint8_t { Hit, Miss, Short };
    Fast fast_cell(const char* d, std::size_t p, std::size_t n, std::size_t& end);
    ReadError fast_cells(SheetSink& sink);
    ReadError read_formula(bool empty);
    ReadError read_inline(bool empty);
    ReadError formula_value(CellEvent& cell);
    void attribute_list(Attributes& out);
    ReadError capture(SheetSink& sink);

    XmlReader& r_;
    const SheetOptions& o_;
    SheetHost& host_;

    bool in_sheet_data_ = false;
    bool row_unprefixed_ = false;
    // A row started from the bytes, to be read by the next call.
    bool pending_row_ = false, pending_has_r_ = false;
    std::int64_t row_number_ = 0;
    std::int64_t column_number_ = 0;

    // Per-cell state, reused so that a cell allocates nothing once warm.
    std::string r_text_, s_text_, t_text_, v_text_, cm_text_, scratch_, formula_text_;
    // The cell's s, and its r, t and <v> texts with what conversion reads
    // besides: views into the reader's buffer (fast path) or into the
    // strings above.
    CellAttrs attrs_;
    RawCell raw_;
    bool has_v_ = false, has_is_ = false;
    Formula f_;
    TextItem item_;
    CellEvent cell_;
    Attributes row_attrs_;
    std::vector<FormulaToken> tokens_;
    std::unordered_map<std::string, SharedGroup> shared_;
    std::uint32_t host_groups_ = 0;
};

}  // namespace tvx
