"""Saving a loaded 1,000,000-cell workbook unchanged, with what it keeps.

XlsxWriter writes 200,000 rows of a number, a string, a boolean, a number
and a formula with its cached value, a line chart and an image; tavrinex
loads it and saves it three times, keeping every part it does not model
(copied from the loaded file, compressed bytes as they are) and the
elements around the cells. The reference, in the same run, saves the same
loaded workbook with its source forgotten: the cells and what the package
models written alone, as a save did before it kept anything. The ratio is
the kept save's time over the reference's (best of three each).
"""

import os
import struct
import tempfile
import time
import warnings
import zlib

import xlsxwriter

import tavrinex
from tavrinex import _native

ROWS = 200_000


def png():
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(
            ">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    rows = b"".join(b"\0" + b"\x80\x40\x20" * 4 for _ in range(4))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 4, 4, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def source(folder):
    path = os.path.join(folder, "source.xlsx")
    image = os.path.join(folder, "dot.png")
    with open(image, "wb") as f:
        f.write(png())
    wb = xlsxwriter.Workbook(path, {"constant_memory": True})
    ws = wb.add_worksheet("Data")
    ws.insert_image("H2", image)
    chart = wb.add_chart({"type": "line"})
    chart.add_series({"values": "=Data!$A$1:$A$100"})
    ws.insert_chart("H10", chart)
    for r in range(ROWS):
        ws.write_row(r, 0, (r * 1.5, f"item {r % 5000}", r % 2 == 0, r + 0.25))
        ws.write_formula(r, 4, f"=A{r + 1}*2", None, r * 3.0)
    wb.close()
    return path


def best_save(wb, path, times=3):
    spent = []
    for _ in range(times):
        start = time.perf_counter()
        wb.save(path)
        spent.append(time.perf_counter() - start)
    return min(spent)


def forget_source(wb):
    """The workbook as if nothing of its file were kept."""
    wb._source = None
    wb._book = None
    for ws in wb.worksheets:
        ws._layout = None
        ws._table_parts = {}


def main():
    print(f"{ROWS} rows x 5 cells = {ROWS * 5:,} cells; engine "
          f"{'built' if _native.native is not None else 'NOT built (Python writer)'}")
    with tempfile.TemporaryDirectory() as folder:
        path = source(folder)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            start = time.perf_counter()
            wb = tavrinex.load_workbook(path)
            loaded = time.perf_counter() - start
        kept_out = os.path.join(folder, "kept.xlsx")
        kept = best_save(wb, kept_out)
        forget_source(wb)
        bare_out = os.path.join(folder, "bare.xlsx")
        bare = best_save(wb, bare_out)
        print(f"load {loaded:.2f} s; save keeping everything {kept:.2f} s, "
              f"save of the model alone {bare:.2f} s: ratio {kept / bare:.2f}x "
              f"(at most 1.30x asked)")
        print(f"file sizes (MB): source {os.path.getsize(path) / 1e6:.1f}, kept "
              f"{os.path.getsize(kept_out) / 1e6:.1f}, model alone "
              f"{os.path.getsize(bare_out) / 1e6:.1f}")


if __name__ == "__main__":
    main()
