"""Cell store: memory per loaded cell and the cost of building cells.

A sheet of 1,000,000 cells (50,000 rows of 20 columns; small ints, floats,
booleans and shared-string indices by column) is held

* in a CellStore, loaded through the loader's own insertion path (the
  probe's store_load, which converts each record and calls add_value);
* in a plain dict of the package's Cell objects, keyed by (row, column),
  each cell with its own copy of its style array, as the pure Python
  reader builds it.

Memory: the store's tables live in native memory, which tracemalloc does
not see, so the store is measured as the growth of the process's resident
set (VmRSS) across loading, with the input list built beforehand (its
chunks are large allocations that are mapped fresh, so the RSS delta is
close to the bytes written). The store's own accounting of its table
capacities is printed beside it. The dict of cells is measured both with
tracemalloc (exact for Python objects) and as an RSS delta.

Time: materialising every cell of the store (store[key] for every key in
store order; the store keeps each cell) against creating the same Cell
objects in Python with the Cell constructor and keeping them in a dict, as
the pure Python reader does. Both run with the garbage collector enabled,
as in real use; the figure for Cell objects that are dropped at once
(no collector work) is printed too.
"""

import gc
import time
import tracemalloc

from tavrinex import _probe
from tavrinex import _tavrinex as native
from tavrinex.cell import Cell
from tavrinex.styles import StyleArray
from tavrinex.utils.datetime import WINDOWS_EPOCH

from _common import rss

ROWS, COLS = 50_000, 20
N = ROWS * COLS
SHARED = [f"string {i}" for i in range(1000)]
STYLES = [StyleArray([i % 7] * 9) for i in range(8)]


class Sheet:
    title = "Bench"


def make_cells():
    """(row, column, form, value, data_type, style) per cell, and the
    Python value each one stands for."""
    cells, values = [], []
    for r in range(1, ROWS + 1):
        for c in range(1, COLS + 1):
            k = c % 4
            if k == 0:
                rec, v = ("int", (r * c) % 1000, "n", c % 8), (r * c) % 1000
            elif k == 1:
                rec, v = ("float", r / 7 + c, "n", c % 8), r / 7 + c
            elif k == 2:
                rec, v = ("bool", (r + c) & 1, "b", c % 8), bool((r + c) & 1)
            else:
                rec, v = ("shared", (r + c) % 1000, "s", c % 8), SHARED[(r + c) % 1000]
            cells.append((r, c) + rec)
            values.append(v)
    return cells, values


def main():
    ws = Sheet()
    cells, values = make_cells()

    # --- memory of the store
    gc.collect()
    store = native.CellStore()
    _probe.store_configure(store, ws, STYLES, Cell, SHARED, WINDOWS_EPOCH)
    rss0 = rss()
    _probe.store_load(store, cells)
    rss1 = rss()
    store_rss = (rss1 - rss0) / N
    store_tables = _probe.store_memory(store) / N
    assert len(store) == N

    # --- memory of a dict of Cell objects
    def build_dict():
        d = {}
        for (r, c, _f, _v, dtype, sid), v in zip(cells, values):
            cell = Cell(ws, row=r, column=c, value=v, style_array=STYLES[sid])
            d[(r, c)] = cell
        return d

    gc.collect()
    rss2 = rss()
    tracemalloc.start()
    d = build_dict()
    dict_traced = tracemalloc.get_traced_memory()[0] / N
    tracemalloc.stop()
    rss3 = rss()
    dict_rss = (rss3 - rss2) / N
    assert len(d) == N
    del d
    gc.collect()

    print(f"cells: {N:,} ({ROWS:,} rows x {COLS} columns)")
    print(f"CellStore: {store_rss:.2f} bytes/cell (RSS delta); "
          f"{store_tables:.2f} bytes/cell (own table capacities)")
    print(f"dict of Cell: {dict_traced:.1f} bytes/cell (tracemalloc); "
          f"{dict_rss:.1f} bytes/cell (RSS delta)")
    print(f"memory ratio dict/store: {dict_traced / store_rss:.1f}x "
          f"(limit 16 bytes/cell: {'met' if store_rss <= 16 else 'NOT met'})")

    # --- materialising every cell vs creating the cells in Python
    keys = list(store)

    def materialise():
        s = native.CellStore()
        _probe.store_configure(s, ws, STYLES, Cell, SHARED, WINDOWS_EPOCH)
        _probe.store_load(s, cells)
        t = time.perf_counter()
        for k in keys:
            s[k]
        return time.perf_counter() - t

    def python_cells():
        d = {}
        t = time.perf_counter()
        for (r, c, _f, _v, dtype, sid), v in zip(cells, values):
            d[(r, c)] = Cell(ws, row=r, column=c, value=v, style_array=STYLES[sid])
        return time.perf_counter() - t

    def python_dropped():
        t = time.perf_counter()
        for (r, c, _f, _v, dtype, sid), v in zip(cells, values):
            Cell(ws, row=r, column=c, value=v, style_array=STYLES[sid])
        return time.perf_counter() - t

    def row_cells():
        s = native.CellStore()
        _probe.store_configure(s, ws, STYLES, Cell, SHARED, WINDOWS_EPOCH)
        _probe.store_load(s, cells)
        t = time.perf_counter()
        for r in range(1, ROWS + 1):
            s._row(r, 1, COLS, False)
        return time.perf_counter() - t

    def timed(fn):
        times = []
        for _ in range(3):
            gc.collect()
            times.append(fn())
        return min(times)

    t_store = timed(materialise)
    t_py = timed(python_cells)
    t_row = timed(row_cells)
    t_drop = timed(python_dropped)
    print(f"materialise all (store[key]): {t_store:.3f} s; _row per row: {t_row:.3f} s")
    print(f"Cell() in Python kept in a dict: {t_py:.3f} s; dropped at once: {t_drop:.3f} s")
    print(f"ratio Python/store: store[key] {t_py / t_store:.2f}x, _row {t_py / t_row:.2f}x "
          f"(against dropped cells: {t_drop / t_store:.2f}x, {t_drop / t_row:.2f}x)")


if __name__ == "__main__":
    main()
