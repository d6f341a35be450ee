// Formula text of the formula kinds of the store: kind 13 renders its
// formula template for the cell, kinds 8 and 9 the shared formula of their
// group, moved to the cell (8) or as written (9). Every stored cell was
// rendered once while loading, so a failure here is an internal fault.
#include "store/cell_store.h"

#include "lib/errors.h"

namespace tvx {

std::uint32_t CellStore::add_shared_formula(const FormulaTemplate& tmpl) {
    shared_formulas_.push_back(tmpl);
    return (std::uint32_t)(shared_formulas_.size() - 1);
}

bool CellStore::render_formula(const DecodedCell& cell, std::string& out) const {
    if (cell.kind == K_TEMPLATE) {
        if (templates_.render((std::uint32_t)cell.payload, key_row(cell.key), key_column(cell.key),
                              out)) {
            return true;
        }
    } else if ((cell.kind == K_SHARED_MOVED || cell.kind == K_SHARED_ASIS) &&
               cell.payload < shared_formulas_.size()) {
        std::optional<CellPos> dest;
        if (cell.kind == K_SHARED_MOVED) {
            dest = CellPos{(std::int64_t)key_row(cell.key), (std::int64_t)key_column(cell.key)};
        }
        if (!render(shared_formulas_[cell.payload], dest, out)) return true;
    }
    raise_internal("formula cell does not render");
    return false;
}

}  // namespace tvx
