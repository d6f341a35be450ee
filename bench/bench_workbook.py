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
import sys
from pathlib import Path

import tavrinex
from tavrinex import _native

from _common import (OUT, best, calamine_values, full_values, made_once, read_only_values, rss,
                     write_mixed)

ROWS = int(os.environ.get("BENCH_ROWS", 50_000))
COLUMNS = 20
REPEAT = int(os.environ.get("BENCH_REPEAT", 2))


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
    path = made_once(OUT / f"workbook_{ROWS}x{COLUMNS}.xlsx", __file__)
    cells = ROWS * COLUMNS
    print(f"workbook: {cells:,} cells, {path.stat().st_size / 1e6:.1f} MB on disk")

    per_cell = held_per_cell(path)
    cal_time, cal_count = best(calamine_values, path, repeat=REPEAT)
    full_time, (full_count, paths) = best(full_values, path, repeat=REPEAT)
    assert full_count == cal_count == cells, (full_count, cal_count)
    print(f"python-calamine, every value:         {cal_time:.3f} s")
    print(f"load_workbook + every value:          {full_time:.3f} s "
          f"({cal_time / full_time:.2f}x python-calamine's speed; read by {', '.join(paths)})")
    try:
        import tavrinex.reader.readonly  # noqa: F401
    except ImportError:
        print("read-only iteration:                  not available in this build")
    else:
        ro_time, ro_count = best(read_only_values, path, repeat=REPEAT)
        assert ro_count == cells, ro_count
        print(f"read-only, every value:               {ro_time:.3f} s "
              f"({cal_time / ro_time:.2f}x python-calamine's speed)")
    print(f"memory held after a full load:        {per_cell:.1f} bytes per cell")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--make"]:
        write_mixed(Path(sys.argv[2]), ROWS, COLUMNS, seed=7)
    else:
        main()
