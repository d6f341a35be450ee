"""`make run`: read a generated worksheet through the engine and through the
package's own Python reader, and show that both give the same cells."""

import io
import time

from tavrinex import _native
from tavrinex.reader.bind import read_worksheet
from tavrinex.samples import shared_strings, worksheet_xml
from tavrinex.styles import StyleArray
from tavrinex.worksheet import Workbook, Worksheet

ROWS = 10_000


def _read(data, engine):
    wb = Workbook(shared_strings=shared_strings(),
                  cell_styles=[StyleArray(), StyleArray([0, 0, 0, 14, 0, 0, 0, 0, 0])])
    ws = Worksheet(wb)
    start = time.perf_counter()
    read_worksheet(io.BytesIO(data), ws, engine=engine)
    return ws, time.perf_counter() - start


def _cells(ws):
    return [(k, c.value, c.data_type) for k, c in ((k, ws._cells[k]) for k in ws._cells)]


def main():
    data = worksheet_xml(ROWS)
    print(f"worksheet: {ROWS} rows x 20 columns, {len(data) / 1e6:.1f} MB of XML")
    if _native.native is None:
        print("the engine is not built; reading in Python only")
    py_ws, py_time = _read(data, None)
    print(f"Python reader: {py_time:.3f} s")
    if _native.native is not None:
        ws, native_time = _read(data, _native.native)
        print(f"engine:        {native_time:.3f} s "
              f"({len(data) / 1e6 / native_time:.0f} MB/s), {py_time / native_time:.0f}x faster")
        stats = ws._cells._stats()
        print(f"store: {stats[0]} cells, {stats[1]} materialised, {stats[2]} formula templates")
        same = _cells(ws) == _cells(py_ws)
        print(f"same cells, values and data types on both paths: {same}")
    else:
        ws = py_ws
    print("a few cells:")
    for coordinate in ("A1", "B1", "C2", "D3", "E4", "T10000"):
        cell = ws[coordinate]
        print(f"  {coordinate:>6} {cell.data_type:>2} {cell.value!r}")
    print(f"merged cells: {ws.merged_cells}, max_row={ws.max_row}, max_column={ws.max_column}")


if __name__ == "__main__":
    main()
