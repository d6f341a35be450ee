"""Saving a 1,000,000-cell workbook (200,000 rows of a number, a string, a
boolean, a date and a formula) as an xlsx file, in one run:

* tavrinex, normal mode: the cells put in with ``ws.append``, then ``save``
  (both timed, and the save alone);
* tavrinex, write-only mode: ``append`` streams each row, then ``save``;
* XlsxWriter, normal and constant-memory modes, writing the same rows;
* pyexcelerate, from the same rows as a list of lists.

Every figure is the time from the rows to the file on disk. The share of
the save spent in deflate is estimated by deflating the saved parts again
with the library and level the save uses (ISA-L when installed, else zlib).

Memory: write-only workbooks of 100,000 and 2,000,000 rows (three cells
each; a sheet takes at most 1,048,576 rows, so the larger one is two
sheets of 1,000,000) are written in child processes, which print their
peak resident memory.
"""

import datetime
import os
import subprocess
import sys
import tempfile
import time
import zipfile
import zlib

import pyexcelerate
import xlsxwriter

import tavrinex
from tavrinex import _native
from tavrinex.writer.workbook_writer import deflater

ROWS = 200_000
DAY = datetime.datetime(2024, 1, 1)


def rows():
    for i in range(ROWS):
        yield (i * 1.5, f"item {i % 5000}", i % 2 == 0, DAY + datetime.timedelta(days=i % 3000),
               f"=A{i + 1}*2")


def tavrinex_normal(path):
    wb = tavrinex.Workbook()
    ws = wb.active
    start = time.perf_counter()
    for row in rows():
        ws.append(row)
    filled = time.perf_counter()
    wb.save(path)
    end = time.perf_counter()
    return end - start, end - filled


def tavrinex_write_only(path):
    start = time.perf_counter()
    wb = tavrinex.Workbook(write_only=True)
    ws = wb.create_sheet("Sheet")
    for row in rows():
        ws.append(row)
    wb.save(path)
    return time.perf_counter() - start


def xlsxwriter_book(path, constant_memory):
    start = time.perf_counter()
    wb = xlsxwriter.Workbook(path, {"constant_memory": constant_memory})
    ws = wb.add_worksheet()
    date = wb.add_format({"num_format": "yyyy-mm-dd h:mm:ss"})
    for r, (number, text, flag, day, formula) in enumerate(rows()):
        ws.write_number(r, 0, number)
        ws.write_string(r, 1, text)
        ws.write_boolean(r, 2, flag)
        ws.write_datetime(r, 3, day, date)
        ws.write_formula(r, 4, formula)
    wb.close()
    return time.perf_counter() - start


def pyexcelerate_book(path):
    start = time.perf_counter()
    wb = pyexcelerate.Workbook()
    wb.new_sheet("Sheet", data=[list(row) for row in rows()])
    wb.save(path)
    return time.perf_counter() - start


def deflate_seconds(path):
    """Time to deflate the uncompressed parts of `path` again."""
    with zipfile.ZipFile(path) as z:
        parts = [z.read(name) for name in z.namelist()]
    module, level = deflater()
    start = time.perf_counter()
    for data in parts:
        packer = module.compressobj(level, zlib.DEFLATED, -15)
        packer.compress(data)
        packer.flush()
    return time.perf_counter() - start


_CHILD = """
import os, sys, tempfile
import tavrinex
wb = tavrinex.Workbook(write_only=True)
for i in range(int(sys.argv[1])):
    if i % 1_000_000 == 0:   # a sheet holds at most 1,048,576 rows
        ws = wb.create_sheet()
    ws.append([i, "row text %d" % (i % 1000), i * 0.25])
with tempfile.TemporaryDirectory() as folder:
    wb.save(os.path.join(folder, "big.xlsx"))
# VmHWM starts afresh with the new program (ru_maxrss would carry the
# parent's peak over the fork).
with open("/proc/self/status") as f:
    print(next(int(l.split()[1]) for l in f if l.startswith("VmHWM:")))
"""


def peak_kb(rows):
    out = subprocess.run([sys.executable, "-c", _CHILD, str(rows)], check=True,
                         capture_output=True, text=True).stdout
    return int(out)


def memory():
    small, big = peak_kb(100_000), peak_kb(2_000_000)
    print(f"write-only peak memory: 100,000 rows {small / 1024:.1f} MB, 2,000,000 rows "
          f"{big / 1024:.1f} MB (difference {(big - small) / 1024:.1f} MB)")


def main():
    print(f"{ROWS} rows x 5 cells = {ROWS * 5:,} cells; engine "
          f"{'built' if _native.native is not None else 'NOT built (Python writer)'}")
    with tempfile.TemporaryDirectory() as folder:
        at = (lambda name: os.path.join(folder, name))
        total, save_only = tavrinex_normal(at("normal.xlsx"))
        deflate = deflate_seconds(at("normal.xlsx"))
        module, level = deflater()
        write_only = tavrinex_write_only(at("wo.xlsx"))
        peers = {
            "XlsxWriter": xlsxwriter_book(at("xw.xlsx"), False),
            "XlsxWriter constant_memory": xlsxwriter_book(at("xwc.xlsx"), True),
            "pyexcelerate": pyexcelerate_book(at("pe.xlsx")),
        }
        print(f"tavrinex normal:     {total:6.2f} s ({ROWS * 5 / total / 1e6:.2f} M cells/s); "
              f"save alone {save_only:.2f} s, of which deflate ({module.__name__} level {level}) "
              f"~{deflate:.2f} s ({100 * deflate / save_only:.0f}%)")
        print(f"tavrinex write-only: {write_only:6.2f} s ({ROWS * 5 / write_only / 1e6:.2f} "
              f"M cells/s)")
        for name, seconds in peers.items():
            print(f"{name + ':':28} {seconds:6.2f} s")
        fastest_name = min(peers, key=peers.get)
        fastest = peers[fastest_name]
        print(f"ratio to the fastest peer ({fastest_name}): normal {fastest / total:.2f}x, "
              f"write-only {fastest / write_only:.2f}x (above 1: tavrinex is faster)")
        sizes = {n: os.path.getsize(at(n)) for n in ("normal.xlsx", "wo.xlsx", "xw.xlsx",
                                                      "pe.xlsx")}
        print("file sizes (MB): " + ", ".join(f"{n} {s / 1e6:.1f}" for n, s in sizes.items()))
    memory()


if __name__ == "__main__":
    main()
