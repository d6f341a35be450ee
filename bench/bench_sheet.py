"""bind_cells against the package's Python worksheet reader, on one generated
sheet of 1,000,000 cells (20 columns: integers, floats, shared strings,
booleans and a formula column), in one run.

Prints the time of each path, the ratio, the engine's throughput in MB/s of
worksheet XML, and the memory each path holds per cell: for the store, the
bytes of its own tables (as the store reports them); for the Python path,
the growth of the process's resident set while its dict of Cell objects is
alive (gc run before reading).
"""

import gc
import io
import os
import sys
import time

from tavrinex import _probe, _tavrinex as native
from tavrinex.cell import Cell
from tavrinex.helpers import reader_helpers
from tavrinex.reader.worksheet import WorksheetParser
from tavrinex.samples import shared_strings, worksheet_xml
from tavrinex.styles import StyleArray
from tavrinex.worksheet import Workbook, Worksheet

from _common import rss

ROWS = int(os.environ.get("BENCH_ROWS", 50_000))
COLUMNS = 20


def setup():
    wb = Workbook(shared_strings=shared_strings(),
                  cell_styles=[StyleArray(), StyleArray([0, 0, 0, 14, 0, 0, 0, 0, 0])])
    ws = Worksheet(wb)
    parser = WorksheetParser(wb.shared_strings, wb.epoch)
    return wb, ws, parser


def engine(data, repeat=3):
    best = None
    for _ in range(repeat):
        wb, ws, parser = setup()
        store = native.CellStore()
        start = time.perf_counter()
        native.bind_cells(io.BytesIO(data), parser, ws, store, wb._cell_styles, Cell,
                          reader_helpers(), [])
        elapsed = time.perf_counter() - start
        held = _probe.store_memory(store)
        best = elapsed if best is None else min(best, elapsed)
        del store
    return best, held


def python(data):
    wb, ws, parser = setup()
    cells = {}
    gc.collect()
    before = rss()
    start = time.perf_counter()
    parser.parse(io.BytesIO(data), ws, cells, wb._cell_styles, Cell, reader_helpers(), [])
    elapsed = time.perf_counter() - start
    held = rss() - before
    return elapsed, held, len(cells)


def main():
    data = worksheet_xml(ROWS, COLUMNS)
    cells = ROWS * COLUMNS
    print(f"sheet: {cells:,} cells, {len(data) / 1e6:.1f} MB of XML")
    native_time, native_held = engine(data)
    py_time, py_held, count = python(data)
    assert count == cells
    print(f"bind_cells:    {native_time:.3f} s  {len(data) / 1e6 / native_time:.0f} MB/s  "
          f"{native_held / cells:.1f} bytes/cell held")
    print(f"Python reader: {py_time:.3f} s  {len(data) / 1e6 / py_time:.1f} MB/s  "
          f"{py_held / cells:.1f} bytes/cell held")
    print(f"ratio: bind_cells is {py_time / native_time:.0f}x faster; "
          f"holds {native_held / max(py_held, 1):.3f} of the Python reader's memory")
    return 0


if __name__ == "__main__":
    sys.exit(main())
