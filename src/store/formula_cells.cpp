// Formula text of the formula kinds of the store. Kind 13 renders its
// formula template for the cell; the shared-formula kinds (8, 9) are
// rendered by the shared-formula code once it exists.
#include "store/cell_store.h"

#include "lib/errors.h"

namespace tvx {

bool CellStore::render_formula(const DecodedCell& cell, std::string& out) const {
    if (cell.kind == K_TEMPLATE) {
        if (templates_.render((std::uint32_t)cell.payload, key_row(cell.key),
                              key_column(cell.key), out)) {
            return true;
        }
        raise_internal("formula template does not render for its cell");
        return false;
    }
    raise_internal("shared formula cells are not supported yet");
    return false;
}

}  // namespace tvx
