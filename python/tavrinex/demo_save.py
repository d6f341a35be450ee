"""`make run`: write a workbook with every kind of value, then read it back
and show that the values came through."""

import datetime
import decimal
import os
import tempfile
import time

import tavrinex
from tavrinex.styles import Alignment, Border, Font, PatternFill

VALUES = [
    ("text", "Grüße, <tavrinex> & co"),
    ("integer", 42),
    ("float", 3.14159),
    ("decimal", decimal.Decimal("2.5")),
    ("boolean", True),
    ("datetime", datetime.datetime(2026, 12, 8, 13, 45, 30)),
    ("date", datetime.date(2026, 12, 8)),
    ("time", datetime.time(8, 30)),
    ("duration", datetime.timedelta(hours=30, minutes=15)),
    ("formula", "=B3*2"),
    ("error", "#N/A"),
    ("empty", None),
]
ROWS = 100_000


def main():
    wb = tavrinex.Workbook()
    ws = wb.active
    ws.title = "Values"
    ws.append(["kind", "value"])
    for kind, value in VALUES:
        ws.append([kind, value])
    header = ws["A1"], ws["B1"]
    for cell in header:
        cell.font = Font(bold=True, color="FFFFFF")
        cell.fill = PatternFill("305496")
        cell.border = Border.all()
        cell.alignment = Alignment(horizontal="center")
    ws["A2"].comment = "Every kind of value a cell takes"
    ws["A3"].hyperlink = "https://example.com/tavrinex"
    ws.column_dimensions["B"].width = 24
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "values.xlsx")
        wb.save(path)
        back = tavrinex.load_workbook(path)["Values"]
        print(f"saved and read back {path.rsplit(os.sep, 1)[-1]}:")
        same = True
        for row, (kind, value) in enumerate(VALUES, 2):
            got = back.cell(row, 2).value
            expected = value
            if isinstance(value, decimal.Decimal):
                expected = float(value)
            elif type(value) is datetime.date:
                expected = datetime.datetime(value.year, value.month, value.day)
            ok = got == expected
            same &= ok
            print(f"  {kind:>9}: {got!r}{'' if ok else '  (differs)'}")
        print(f"every value came back: {same}; header bold: {back['A1'].font.bold}")

        big = tavrinex.Workbook(write_only=True)
        sheet = big.create_sheet("Rows")
        start = time.perf_counter()
        day = datetime.date(2026, 1, 1)
        for i in range(ROWS):
            sheet.append([i, f"row {i}", i * 0.5, i % 2 == 0, day])
        path = os.path.join(folder, "rows.xlsx")
        big.save(path)
        elapsed = time.perf_counter() - start
        print(f"write-only: {ROWS} rows x 5 cells in {elapsed:.2f} s "
              f"({ROWS * 5 / elapsed / 1e6:.2f} M cells/s), {os.path.getsize(path) / 1e6:.1f} MB")


if __name__ == "__main__":
    main()
