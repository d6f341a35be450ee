// bind_cells: the full-mode worksheet reader. Every cell of the sheet goes
// into the CellStore in compact form; elements outside the cells and date
// warnings go to `actions` for the host to replay in document order.
#include "lib/args.h"
#include "lib/entry.h"
#include "lib/errors.h"
#include "lib/host.h"
#include "lib/sheet_host.h"
#include "lib/xml_host.h"
#include "sheet/sheet_parser.h"
#include "store/cell_store.h"
#include "store/store_type.h"

#include <vector>

namespace tvx {

namespace {

class StoreSink final : public SheetSink {
public:
    StoreSink(CellStore& store, PyObject* cell_styles, PySheetHost& host)
        : store_(store), cell_styles_(cell_styles), host_(host) {}

    ReadError on_element(const XmlReader& reader, std::string_view bytes) override {
        return host_.element(reader, bytes);
    }

    ReadError on_row(const RowEvent& row) override { return host_.row(row); }

    ReadError on_cell(CellEvent& cell) override {
        const bool complete = PySheetHost::complete(cell);
        if (!complete) TVX_TRY(host_.cell_values(cell, value_, nullptr));
        std::uint32_t style = 0;
        if (cell.unusual_style) {
            PyRef item = PyRef::steal(PyObject_GetItem(cell_styles_, host_.unusual_style()));
            if (!item) return ReadError::source();
            return fallback("unusual style id");
        }
        if (!style_index(cell.style_id, style)) return ReadError::source();
        if (style == kNoStyle) return fallback("style index");
        if (cell.row < 0 || cell.row > 0xFFFFFFFFLL || cell.column < 0 ||
            cell.column > 0xFFFFFFFFLL) {
            return fallback("coordinate out of range");
        }
        const CellKey key = make_key((std::uint32_t)cell.row, (std::uint32_t)cell.column);
        if (cell.formula_used && (!cell.v_text.empty() || cell.has_cm)) {
            // What the file says the formula gave, kept for the save.
            store_.add_cached(key, cell.v_text, cell.has_t ? &cell.t_text : nullptr,
                              cell.has_cm ? &cell.cm_text : nullptr);
        }
        const FormulaForm form = cell.formula.form;
        if (form == FormulaForm::SharedMember) {
            // A shared-formula member: one template for the whole group.
            std::uint32_t& number = *cell.formula.shared_number;
            if (number == kNoGroup) number = store_.add_shared_formula(*cell.formula.tmpl);
            store_.add_cell(key, K_SHARED_MOVED, number, DT_F, style);
            return ReadError::ok();
        }
        if (form == FormulaForm::Text || form == FormulaForm::HostMaster) {
            std::uint32_t number = store_.intern_formula(cell.value.text, (std::uint32_t)cell.row,
                                                         (std::uint32_t)cell.column);
            if (number != FormulaTemplates::kNone) {
                store_.add_cell(key, K_TEMPLATE, number, DT_F, style);
                return ReadError::ok();
            }
        }
        const bool added = complete ? store_.add_value(key, cell.value, nullptr, nullptr, style)
                                    : store_.add_value(key, value_, style);
        if (!added) return ReadError::source();
        return ReadError::ok();
    }

private:
    // A direct NativeFallback message: reported as a Source error, since
    // the exception is already set.
    static ReadError fallback(const char* message) {
        raise_fallback(message);
        return ReadError::source();
    }

    // The index of style `id` in the style list, or kNoStyle when it lies
    // outside (after checking that the host's own indexing raises there).
    bool style_index(std::int64_t id, std::uint32_t& out) {
        Py_ssize_t n = PyList_Check(cell_styles_) ? PyList_GET_SIZE(cell_styles_)
                                                  : PyObject_Length(cell_styles_);
        if (n < 0) return false;
        std::int64_t index = id < 0 ? id + (std::int64_t)n : id;
        if (index >= 0 && index < (std::int64_t)n && index < (std::int64_t)kNoStyle) {
            out = (std::uint32_t)index;
            return true;
        }
        PyRef key = PyRef::steal(PyLong_FromLongLong(id));
        if (!key) return false;
        PyRef item = PyRef::steal(PyObject_GetItem(cell_styles_, key.get()));
        if (!item) return false;
        out = kNoStyle;
        return true;
    }

    CellStore& store_;
    PyObject* cell_styles_;
    PySheetHost& host_;
    CellValue value_;  // reused from cell to cell
};

}  // namespace

PyObject* py_bind_cells(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"source",      "parser",   "ws",      "store",
                                            "cell_styles", "cell_cls", "helpers", "actions"};
        static const ArgSpec spec{"bind_cells", names, 8, 8};
        PyObject* a[8];
        if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
        PyObject *source = a[0], *parser = a[1], *ws = a[2], *store = a[3], *cell_styles = a[4],
                 *cell_cls = a[5], *helpers = a[6], *actions = a[7];
        if (!is_cell_store(store)) {
            arg_type_error("bind_cells", "store", "CellStore", store);
            return nullptr;
        }
        if (!PyType_Check(cell_cls)) {
            arg_type_error("bind_cells", "cell_cls", "type", cell_cls);
            return nullptr;
        }
        if (!PyDict_Check(helpers)) {
            arg_type_error("bind_cells", "helpers", "dict", helpers);
            return nullptr;
        }
        if (!PyList_Check(actions)) {
            arg_type_error("bind_cells", "actions", "list", actions);
            return nullptr;
        }
        ReaderHelpers h;
        if (!h.load(helpers)) return nullptr;
        ParserOptions options;
        if (!options.load(parser)) return nullptr;
        PyRef row_dimensions = PyRef::steal(PyObject_GetAttrString(parser, "row_dimensions"));
        if (!row_dimensions) return nullptr;
        if (!PyDict_Check(row_dimensions.get())) {
            PyErr_Format(PyExc_TypeError, "parser.row_dimensions must be dict, not %.50s",
                         Py_TYPE(row_dimensions.get())->tp_name);
            return nullptr;
        }

        PySource bytes(source);
        XmlReader reader(bytes);
        PySheetHost host(h, options, actions, row_dimensions.get());
        SheetParser sheet(reader, options.sheet, host);

        StoreHold hold;
        if (!hold.try_exclusive(store)) return raise_internal("Already borrowed");
        CellStore& core = store_core(store);
        {
            // The previous load's references are dropped once the store is
            // empty and free again, since their finalizers may use it.
            std::vector<PyRef> released;
            core.clear(released);
            hold.release();
            released.clear();
            if (!hold.try_exclusive(store)) return raise_internal("Already borrowed");
        }
        Py_ssize_t offsets[8];
        if (!CellStore::bind_cell_slots(cell_cls, offsets)) return nullptr;
        if (!core.configure(ws, cell_styles, cell_cls, offsets, options.shared_strings.get(),
                            options.sheet.epoch)) {
            return nullptr;
        }
        StoreSink sink(core, cell_styles, host);
        for (;;) {
            SheetItem item;
            if (ReadError err = sheet.next_item(sink, item)) {
                host.restore_pending();
                return raise_read_error(err);
            }
            if (item == SheetItem::End) break;
        }
        core.finish();
        Py_RETURN_NONE;
    });
}

}  // namespace tvx
