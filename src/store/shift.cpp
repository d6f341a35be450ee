// Moving the cells of a store when rows or columns are inserted or deleted:
// keys change in the native tiers, and only the cells already materialised
// get new coordinates, so no Python object is made for the others.
#include "store/cell_store.h"

#include "lib/errors.h"

#include <algorithm>

namespace tvx {

namespace {

constexpr std::uint32_t kMaxCompactColumn = 65535;
constexpr std::uint32_t kWideStyle = 65535;

// Where coordinate `v` goes: itself before `index`, `amount` on after it;
// false for one of the deleted coordinates [index, index - amount).
struct Mover {
    std::uint32_t index;
    std::int64_t amount;

    bool map(std::uint32_t v, std::uint32_t& out) const noexcept {
        if (v < index) {
            out = v;
            return true;
        }
        if (amount < 0 && (std::int64_t)v < (std::int64_t)index - amount) return false;
        out = (std::uint32_t)((std::int64_t)v + amount);
        return true;
    }
};

}  // namespace

bool CellStore::shift_keys(bool rows, std::uint32_t index, std::int64_t amount,
                           std::vector<PyRef>& released, std::vector<PyRef>& linked) {
    if (index < 1 || amount == 0 || amount > 0xFFFFFFFFll || amount < -0xFFFFFFFFll) {
        PyErr_SetString(PyExc_ValueError, "shift needs an index from 1 and a non-zero amount");
        return false;
    }
    const Mover mover{index, amount};
    auto new_key = [&](CellKey k, CellKey& out) {
        std::uint32_t r = key_row(k), c = key_column(k);
        std::uint32_t& moving = rows ? r : c;
        if (!mover.map(moving, moving)) return false;
        out = make_key(r, c);
        return true;
    };

    std::vector<CellLocation> locs;
    keys_in_order(locs);
    if (amount > 0) {
        for (const CellLocation& loc : locs) {
            CellKey k = key_at(loc);
            std::uint32_t v = rows ? key_row(k) : key_column(k);
            if (v >= index && (std::uint64_t)v + (std::uint64_t)amount > 0xFFFFFFFFull) {
                PyErr_SetString(PyExc_ValueError, "cells would move past the last key of the store");
                return false;
            }
        }
    }

    // 1. Python objects first, while nothing has changed: materialised
    // cells that move get their new row and column ints.
    struct Retarget {
        PyObject* cell;  // borrowed from objects_
        PyRef row, column;
    };
    std::vector<Retarget> retargets;
    std::string text;
    for (const CellLocation& loc : locs) {
        DecodedCell d = decode(loc);
        CellKey to;
        if (!new_key(d.key, to)) continue;
        if (d.kind == K_OBJECT && cell_cls_) {
            PyObject* obj = objects_[d.payload].get();
            if (!PyObject_TypeCheck(obj, (PyTypeObject*)cell_cls_.get())) continue;
            PyObject* link = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offsets_[5]);
            if (link && link != Py_None) linked.push_back(PyRef::borrow(obj));
            if (to == d.key) continue;
            Retarget t{obj, PyRef::steal(PyLong_FromUnsignedLong(key_row(to))),
                       PyRef::steal(PyLong_FromUnsignedLong(key_column(to)))};
            if (!t.row || !t.column) return false;
            retargets.push_back(std::move(t));
        } else if (to != d.key && (d.kind == K_TEMPLATE || d.kind == K_SHARED_MOVED)) {
            // A formula whose references would leave the sheet at the new
            // place keeps the text it has now.
            text.clear();
            DecodedCell moved = d;
            moved.key = to;
            if (render_formula(moved, text)) continue;
            PyErr_Clear();
            text.clear();
            if (!render_formula(d, text)) return false;
            CellPayload p;
            if (!intern_text(text, p)) return false;
            if (loc.compact) {
                CompactCell& c = compact_[loc.pos];
                c.kind = p.kind;
                c.payload = compact_payload(c.kind, p.payload);
            } else {
                overflow_[loc.pos].kind = p.kind;
                overflow_[loc.pos].payload = p.payload;
            }
        }
    }

    // 2. The tiers rebuilt with the new keys; they replace the old ones
    // only once complete. Order is kept: the move is monotonic.
    ChunkedVector<CompactCell> compact;
    std::vector<std::uint32_t> new_rows, new_starts;
    std::unordered_map<std::uint32_t, std::uint32_t, SeededHash> wide_styles(
        0, wide_styles_.hash_function());
    std::vector<OverflowCell> overflow;
    std::vector<std::uint32_t> dropped;  // object indices of deleted cells
    CellKey last_key = 0;
    for (const CellLocation& loc : locs) {
        DecodedCell d = decode(loc);
        CellKey to;
        if (!new_key(d.key, to)) {
            if (d.kind == K_OBJECT || d.kind == K_VALUE) dropped.push_back((std::uint32_t)d.payload);
            continue;
        }
        if (!loc.compact || key_column(to) > kMaxCompactColumn) {
            overflow.push_back(OverflowCell{to, d.payload, d.style, d.kind, d.data_type});
            continue;
        }
        CompactCell c = compact_[loc.pos];
        c.column = (std::uint16_t)key_column(to);
        std::uint32_t pos = (std::uint32_t)compact.size();
        if (c.style == kWideStyle && d.style != kNoStyle) wide_styles[pos] = d.style;
        compact.push_back(c);
        std::uint32_t row = key_row(to);
        if (new_rows.empty() || new_rows.back() != row) {
            if (new_rows.empty()) new_starts.push_back(0);
            new_rows.push_back(row);
            new_starts.push_back(pos + 1);
        } else {
            new_starts.back() = pos + 1;
        }
        last_key = to;
    }
    // Records that left the compact tier go after the overflow tier's own
    // ones: the overflow tier has no order to keep but insertion.
    std::unordered_map<CellKey, std::uint32_t, SeededHash> overflow_index(
        0, overflow_index_.hash_function());
    overflow_index.reserve(overflow.size());
    for (std::size_t i = 0; i < overflow.size(); i++) overflow_index[overflow[i].key] = (std::uint32_t)i;
    free_slots_.reserve(free_slots_.size() + dropped.size());
    released.reserve(released.size() + dropped.size());

    // 3. Nothing below allocates but what was reserved.
    compact_ = std::move(compact);
    rows_ = std::move(new_rows);
    row_starts_ = std::move(new_starts);
    wide_styles_ = std::move(wide_styles);
    overflow_ = std::move(overflow);
    overflow_index_ = std::move(overflow_index);
    live_compact_ = compact_.size();
    live_overflow_ = overflow_.size();
    last_compact_key_ = last_key;
    for (std::uint32_t i : dropped) {
        PyRef r;
        free_object(i, r);
        released.push_back(std::move(r));
    }
    for (Retarget& t : retargets) {
        store_slot(t.cell, offsets_[2], t.row.release());
        store_slot(t.cell, offsets_[3], t.column.release());
    }
    version_++;
    return true;
}

}  // namespace tvx
