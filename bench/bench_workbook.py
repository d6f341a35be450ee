"""load_workbook against python-calamine on one 1,000,000-cell workbook
written by XlsxWriter (20 columns: integers, floats, shared strings,
booleans and a formula column with cached values), in one run.

Prints, best of a few runs each:
- full mode: load_workbook followed by reading every value;
- read-only mode: iterating every value (when the streaming worksheet is
  installed);
- python-calamine reading the same file's values;
and the memory a full load holds per cell: the growth of the process's
resident set while the workbook is alive (gc run before each reading).
The file is written once into build/bench/ (by a child process, so that
the memory XlsxWriter used is not counted here) and reused.
"""

import gc
import os
import random
import subprocess
import sys
import time
from pathlib import Path

import xlsxwriter
from python_calamine import CalamineWorkbook

import tavrinex
from tavrinex import _native

ROWS = int(os.environ.get("BENCH_ROWS", 50_000))
COLUMNS = 20
REPEAT = int(os.environ.get("BENCH_REPEAT", 2))
OUT = Path(__file__).resolve().parent.parent / "build" / "bench"


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def make_workbook(path):
    rnd = random.Random(7)
    words = [f"word {i}" for i in range(1000)]
    wb = xlsxwriter.Workbook(str(path))
    ws = wb.add_worksheet("Data")
    for r in range(ROWS):
        for c in range(COLUMNS):
            kind = c % 5
            if kind == 0:
                ws.write_number(r, c, rnd.randint(-10**6, 10**6))
            elif kind == 1:
                ws.write_number(r, c, round(rnd.random() * 1000, 6))
            elif kind == 2:
                ws.write_string(r, c, words[rnd.randrange(len(words))])
            elif kind == 3:
                ws.write_boolean(r, c, rnd.random() < 0.5)
            else:
                ws.write_formula(r, c, f"=A{r + 1}*2", None, r)
    wb.close()


def best(fn):
    times = []
    result = None
    for _ in range(REPEAT):
        gc.collect()
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


def full(path):
    wb = tavrinex.load_workbook(path)
    count = 0
    for ws in wb.worksheets:
        for row in ws.iter_rows(values_only=True):
            count += len(row)
    return count, [ws.reader_path for ws in wb.worksheets]


def read_only(path):
    count = 0
    with tavrinex.load_workbook(path, read_only=True) as wb:
        for ws in wb.worksheets:
            for row in ws.iter_rows(values_only=True):
                count += len(row)
    return count


def calamine(path):
    book = CalamineWorkbook.from_path(str(path))
    count = 0
    for name in book.sheet_names:
        for row in book.get_sheet_by_name(name).to_python(skip_empty_area=False):
            count += len(row)
    return count


def held_per_cell(path):
    gc.collect()
    before = rss()
    wb = tavrinex.load_workbook(path)
    gc.collect()
    held = rss() - before
    cells = sum(len(ws._cells) for ws in wb.worksheets)
    del wb
    return held / cells


def main():
    if _native.native is None:
        sys.exit("the engine is not built")
    OUT.mkdir(parents=True, exist_ok=True)
    path = OUT / f"workbook_{ROWS}x{COLUMNS}.xlsx"
    if not path.exists():
        start = time.perf_counter()
        subprocess.run([sys.executable, __file__, "--make", str(path)], check=True)
        print(f"wrote {path.name} with XlsxWriter in {time.perf_counter() - start:.1f} s")
    cells = ROWS * COLUMNS
    print(f"workbook: {cells:,} cells, {path.stat().st_size / 1e6:.1f} MB on disk")

    per_cell = held_per_cell(path)
    cal_time, cal_count = best(lambda: calamine(path))
    full_time, (full_count, paths) = best(lambda: full(path))
    assert full_count == cal_count == cells, (full_count, cal_count)
    print(f"python-calamine, every value:         {cal_time:.3f} s")
    print(f"load_workbook + every value:          {full_time:.3f} s "
          f"({cal_time / full_time:.2f}x python-calamine's speed; read by {', '.join(paths)})")
    try:
        import tavrinex.reader.readonly  # noqa: F401
    except ImportError:
        print("read-only iteration:                  not available in this build")
    else:
        ro_time, ro_count = best(lambda: read_only(path))
        assert ro_count == cells, ro_count
        print(f"read-only, every value:               {ro_time:.3f} s "
              f"({cal_time / ro_time:.2f}x python-calamine's speed)")
    print(f"memory held after a full load:        {per_cell:.1f} bytes per cell")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--make"]:
        make_workbook(Path(sys.argv[2]))
    else:
        main()
