// The package's side of the Python-free readers: the host answers the
// sheet parser and the string-item reader ask for (through the `helpers`
// callables), and the host steps that turn a parsed value into the value
// the package's own reader gives.
#pragma once

#include "lib/host.h"
#include "lib/values.h"
#include "sheet/cell_event.h"
#include "text/text_item.h"
#include "xml/reader.h"

#include <string>
#include <unordered_map>
#include <vector>

namespace tvx {

// Verdicts of the host's validate_rpr, keyed by the raw `rPr` bytes.
using RprCache = std::unordered_map<std::string, bool, StringHash, std::equal_to<>>;

// The string-item answers: validate_rpr for run properties (once per
// distinct snippet), the captured item as (bytes, namespaces).
template <class Base>
class PyItemHostT : public Base {
public:
    explicit PyItemHostT(const ReaderHelpers& h) : h_(h) {}

    const NameSet& text_dangerous() const noexcept override { return h_.text_dangerous; }
    const NameSet& rich_dangerous() const noexcept override { return h_.rich_dangerous; }
    ReadError judge_rpr(const XmlReader& reader, std::string_view raw, bool& lossless) override;
    ReadError take_capture(const XmlReader& reader, std::string_view raw) override;

    // After read_text_item ended in a Source error: the exception of a
    // judgement put aside until the item's end is raised again.
    void restore_pending() noexcept {
        if (pending_) PyErr_SetRaisedException(pending_.release());
    }

    PyRef bytes, namespaces;  // the last capture

protected:
    const ReaderHelpers& h_;

private:
    RprCache cache_;
    PyRef pending_;
};

using PyItemHost = PyItemHostT<TextItemHost>;

// Everything the sheet parser asks of the package, and the host steps of
// its values. One per reading call (bind_cells) or per reader (RowReader).
class PySheetHost final : public PyItemHostT<SheetHost> {
public:
    // All arguments are borrowed and outlive the host; `actions` receives
    // the elements and warnings, `row_dimensions` the row attributes.
    PySheetHost(const ReaderHelpers& h, const ParserOptions& o, PyObject* actions,
                PyObject* row_dimensions)
        : PyItemHostT<SheetHost>(h), o_(o), actions_(actions), row_dimensions_(row_dimensions) {}

    ReadError coordinate(std::string_view text, std::int64_t& row, std::int64_t& column) override;
    ReadError row_number(std::string_view text, std::int64_t& row) override;
    ReadError style_id(std::string_view text, std::int64_t& id, bool& unusual) override;
    ReadError take_capture(const XmlReader& reader, std::string_view raw) override;

    // ("element", bytes, namespaces) into actions.
    ReadError element(const XmlReader& reader, std::string_view bytes);
    // The row's attributes into row_dimensions, keyed by its number as str.
    ReadError row(const RowEvent& row);
    // Whether the cell's value is complete as parsed: no host step, no
    // date rule, no data type of its own, and a formula (if any) that is its
    // own text with a <v> value needing nothing either (the common cases,
    // in which a consumer that keeps no cached value may take cell.value
    // as it is).
    static bool complete(const CellEvent& cell) noexcept {
        const ParsedValue& v = cell.value;
        if (v.form == ValueForm::Host || v.date != DateStep::None || v.data_type == DT_OTHER) {
            return false;
        }
        if (!cell.formula_used) return true;
        const FormulaForm f = cell.formula.form;
        return (f == FormulaForm::Text || f == FormulaForm::SharedMember) && !cell.formula.error &&
               cell.cached.form != ValueForm::Host && cell.cached.date == DateStep::None;
    }
    // The cell's value with every host step taken; the cached value too
    // when the cell keeps one (`cached` may be null otherwise). Errors are
    // Source: the exception is set.
    ReadError cell_values(const CellEvent& cell, CellValue& value, CellValue* cached);
    // One parsed value of `cell` with every host step taken.
    ReadError resolve(const CellEvent& cell, const ParsedValue& in, CellValue& out) {
        return value(cell, in, out);
    }
    // The style of a cell whose id is unusual (valid during on_cell).
    PyObject* unusual_style() const noexcept { return unusual_.get(); }
    // The value an <is> item made, as take_capture keeps it (for tests that
    // convert a cell without reading one).
    void hold_inline(PyRef value) noexcept { inline_ = std::move(value); }

    int traverse(visitproc visit, void* arg) const;

private:
    ReadError value(const CellEvent& cell, const ParsedValue& in, CellValue& out);
    ReadError formula_object(const CellEvent& cell, CellValue& out);
    ReadError dates(const CellEvent& cell, CellValue& out);
    ReadError warning(const CellEvent& cell, CellValue& out);

    const ParserOptions& o_;
    PyObject* actions_;
    PyObject* row_dimensions_;
    PyRef unusual_;      // the style of the current cell, when unusual
    PyRef inline_;       // the host's value of the current cell's <is>
    std::vector<PyRef> translators_;  // by host group number
};

}  // namespace tvx
