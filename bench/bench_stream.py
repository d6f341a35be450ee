"""Streaming reads: RowReader, the read-only worksheet's memory, and the
prescan.

1. RowReader.next_row(values_only=True) over the 1,000,000-cell sheet of
   bench_sheet against the Python row reader on the same sheet, and against
   bind_cells followed by reading every value back row by row.
2. Peak resident memory of a read-only pass (prescan and rows) over a
   sheet of 100,000 rows and one of 2,000,000 rows, each streamed from a
   generator (the document never exists whole) in a child process.
3. prescan_sheet without corners over a 40 MB sheet: GB/s of worksheet XML,
   against the Python prescan on the same bytes.
"""

import io
import os
import subprocess
import sys
import time

from tavrinex import _tavrinex as native
from tavrinex.cell import EMPTY_CELL, ReadOnlyCell
from tavrinex.helpers import reader_helpers
from tavrinex.reader.prescan import prescan_sheet_py
from tavrinex.reader.rows import PyRowReader
from tavrinex.reader.worksheet import WorksheetParser
from tavrinex.samples import MAIN, shared_strings, worksheet_xml
from tavrinex.styles import StyleArray
from tavrinex.worksheet import Workbook, Worksheet

ROWS = int(os.environ.get("BENCH_ROWS", 50_000))
COLUMNS = 20
PRESCAN_MB = 40


def best_of(fn, repeat=3):
    best = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        elapsed = time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
    return best, result


def stream_values(reader_cls, data, wb):
    parser = WorksheetParser(wb.shared_strings, wb.epoch)
    reader = reader_cls(io.BytesIO(data), parser, reader_helpers())
    count = 0
    while (got := reader.next_row(None, 1, None, True, ReadOnlyCell, None)) is not None:
        count += len(got[1])
    return count


def bind_then_read(data, wb):
    from tavrinex.cell import Cell
    parser = WorksheetParser(wb.shared_strings, wb.epoch)
    ws = Worksheet(wb)
    store = native.CellStore()
    native.bind_cells(io.BytesIO(data), parser, ws, store, wb._cell_styles, Cell,
                      reader_helpers(), [])
    count = 0
    for row in range(1, ROWS + 1):
        count += len(store._row(row, 1, COLUMNS, True)[0])
    return count


def rows_benchmark():
    data = worksheet_xml(ROWS, COLUMNS)
    cells = ROWS * COLUMNS
    wb = Workbook(shared_strings=shared_strings(),
                  cell_styles=[StyleArray(), StyleArray([0, 0, 0, 14, 0, 0, 0, 0, 0])])
    print(f"sheet: {cells:,} cells, {len(data) / 1e6:.1f} MB of XML")
    engine_time, count = best_of(lambda: stream_values(native.RowReader, data, wb))
    assert count == cells
    bind_time, count = best_of(lambda: bind_then_read(data, wb))
    assert count == cells
    py_time, count = best_of(lambda: stream_values(PyRowReader, data, wb), repeat=1)
    assert count == cells
    print(f"RowReader.next_row(values_only): {engine_time:.3f} s  "
          f"{engine_time / cells * 1e9:.0f} ns/cell")
    print(f"bind_cells + reading every value: {bind_time:.3f} s  "
          f"{bind_time / cells * 1e9:.0f} ns/cell")
    print(f"Python row reader:                {py_time:.3f} s  "
          f"{py_time / cells * 1e9:.0f} ns/cell")
    print(f"ratio: RowReader is {py_time / engine_time:.0f}x the Python read-only path, "
          f"{bind_time / engine_time:.2f}x bind_cells + reading")


class GeneratedSheet:
    """A worksheet part of `rows` rows of five cells, made as it is read."""

    def __init__(self, rows):
        self.rows = rows
        self.next_row = 1
        self.pending = (f'<worksheet xmlns="{MAIN}"><sheetFormatPr defaultRowHeight="15"/>'
                        f'<sheetData>').encode()
        self.closed = False

    def read(self, size=-1):
        if size is None or size < 0:
            size = 1 << 62
        while len(self.pending) < size and self.next_row <= self.rows:
            stop = min(self.next_row + 500, self.rows + 1)
            self.pending += "".join(
                f'<row r="{r}" spans="1:5"><c r="A{r}"><v>{r}</v></c>'
                f'<c r="B{r}" t="s"><v>{r % 1000}</v></c><c r="C{r}"><v>{r}.5</v></c>'
                f'<c r="D{r}" t="b"><v>1</v></c><c r="E{r}" t="str"><v>t{r}</v></c></row>'
                for r in range(self.next_row, stop)).encode()
            self.next_row = stop
            if self.next_row > self.rows:
                self.pending += (b'</sheetData><mergeCells count="1"><mergeCell ref="A1:B1"/>'
                                 b"</mergeCells></worksheet>")
        out, self.pending = self.pending[:size], self.pending[size:]
        return out

    def close(self):
        self.closed = True


def memory_child(rows, engine_on):
    """Runs in the child: one read-only pass, then the peak RSS in kB."""
    from tavrinex.reader.readonly import ReadOnlyWorksheet
    wb = Workbook(shared_strings=shared_strings())
    ws = ReadOnlyWorksheet(wb, "S", lambda: GeneratedSheet(rows),
                           engine=native if engine_on else None)
    count = 0
    for row in ws.iter_rows(values_only=True):
        count += 1
    assert count == rows, count
    assert ws.merged_cells == ["A1:B1"]
    # The high-water mark of this process alone (reset by exec, unlike
    # the rusage figure, which a child can inherit from its parent).
    with open("/proc/self/status") as f:
        print(next(line.split()[1] for line in f if line.startswith("VmHWM:")))


def memory_benchmark():
    for engine_on, label, sizes in ((True, "engine", (100_000, 2_000_000)),
                                    (False, "python", (100_000, 400_000))):
        peaks = []
        for rows in sizes:
            out = subprocess.run([sys.executable, __file__, "--memory", str(rows),
                                  "1" if engine_on else "0"],
                                 check=True, capture_output=True, text=True).stdout
            peaks.append(int(out.split()[-1]) / 1024)
        print(f"read-only pass peak RSS ({label}): {sizes[0]:,} rows {peaks[0]:.1f} MB, "
              f"{sizes[1]:,} rows {peaks[1]:.1f} MB (difference {peaks[1] - peaks[0]:+.1f} MB)")


def prescan_benchmark():
    rows = 1
    data = worksheet_xml(1000, COLUMNS)
    rows = int(1000 * PRESCAN_MB * 1e6 / len(data)) + 1
    data = worksheet_xml(rows, COLUMNS)
    helpers = reader_helpers()
    engine_time, found = best_of(lambda: native.prescan_sheet(io.BytesIO(data), False, None,
                                                              helpers), repeat=5)
    py_time, expected = best_of(lambda: prescan_sheet_py(io.BytesIO(data), False, None,
                                                         helpers), repeat=1)
    assert found == expected
    print(f"prescan: {len(data) / 1e6:.1f} MB sheet, engine {engine_time * 1000:.1f} ms "
          f"({len(data) / 1e9 / engine_time:.2f} GB/s), Python {py_time:.2f} s; "
          f"ratio {py_time / engine_time:.0f}x")


def main():
    memory_benchmark()
    rows_benchmark()
    prescan_benchmark()
    return 0


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--memory":
        memory_child(int(sys.argv[2]), sys.argv[3] == "1")
        sys.exit(0)
    sys.exit(main())
