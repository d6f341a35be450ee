"""Inserting a row at the top of a sheet of 1,000,000 cells.

Two sheets of 50,000 rows of 20 columns, written by XlsxWriter: one of
numbers and texts only, one of integers, floats, shared strings, booleans
and a formula =A{row}*2 in every fifth column. Each is loaded by the
engine, then a row is inserted before row 1

* by ``ws.insert_rows(1)``: the engine's store moves its keys, and the
  200,000 formulas are rewritten (each reads its new row);
* by hand, as without insert_rows: every value moved one row down,
  bottom row first, through ``ws.cell``, and row 1 emptied (formulas keep
  their old references: this does less than insert_rows).

The same is timed on a dict of cells (the pure-Python path), which is
what insert_rows does when the engine is not built. Each figure is the
best of three runs, on a freshly loaded sheet each time.
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

import tavrinex

sys.path.insert(0, str(Path(__file__).resolve().parent))
from _common import OUT, made_once, write_mixed  # noqa: E402

ROWS, COLS = 50_000, 20


def by_hand(ws):
    for row in range(ws.max_row, 0, -1):
        for column in range(1, COLS + 1):
            ws.cell(row + 1, column).value = ws.cell(row, column).value
    for column in range(1, COLS + 1):
        ws.cell(1, column).value = None


def timed(path, edit, engine=True):
    shortest = float("inf")
    ws = None
    for _ in range(3):
        wb = tavrinex.load_workbook(path, **({} if engine else {"engine": None}))
        ws = wb["Data"]
        start = time.perf_counter()
        edit(ws)
        shortest = min(shortest, time.perf_counter() - start)
    return shortest, ws


def write_values(path):
    import xlsxwriter
    wb = xlsxwriter.Workbook(str(path))
    ws = wb.add_worksheet("Data")
    for r in range(ROWS):
        ws.write_row(r, 0, [r * COLS + c if c % 3 else f"t{c}" for c in range(COLS)])
    wb.close()


def main():
    if sys.argv[1:2] == ["--make"]:
        if sys.argv[2] == "values":
            write_values(Path(sys.argv[3]))
        else:
            write_mixed(Path(sys.argv[3]), ROWS, COLS, seed=26)
        return
    for kind, formula in (("values", None), ("mixed", ("E2", "=A2*2", "=A1*2"))):
        path = made_once(OUT / f"structure_1m_{kind}.xlsx", __file__, kind)
        print(f"-- {kind}: {ROWS:,} rows of {COLS} columns"
              + (f", a formula in every fifth column" if formula else ", no formulas"))
        for label, engine in (("engine store", True), ("dict of cells", False)):
            t_insert, ws = timed(path, lambda ws: ws.insert_rows(1), engine)
            assert ws.reader_path == ("engine" if engine else "python")
            assert ws["A1"].value is None and (formula or ws["B2"].value == 1)
            if formula:
                assert ws[formula[0]].value == formula[1]
            t_hand, ws = timed(path, by_hand, engine)
            assert ws["A1"].value is None and (formula or ws["B2"].value == 1)
            if formula:
                assert ws[formula[0]].value == formula[2]
            print(f"{label:14s} insert_rows(1): {t_insert:7.3f} s   by hand: {t_hand:7.3f} s   "
                  f"ratio {t_hand / t_insert:7.1f}x")


if __name__ == "__main__":
    main()
