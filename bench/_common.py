"""What the benchmarks share: best-of timing, the resident set, workbooks
written once by a child process, and the value walks every reader is timed
on."""

from __future__ import annotations

import gc
import os
import random
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Callable

OUT = Path(__file__).resolve().parent.parent / "build" / "bench"


def best(fn: Callable[..., Any], *args: Any, repeat: int = 3,
         clock: Callable[[], float] = time.perf_counter,
         collect: bool = True) -> tuple[float, Any]:
    """(shortest time of `repeat` calls of fn(*args), the last result); with
    `collect`, garbage is collected before each call, outside the timing."""
    shortest = float("inf")
    result = None
    for _ in range(repeat):
        if collect:
            gc.collect()
        start = clock()
        result = fn(*args)
        shortest = min(shortest, clock() - start)
    return shortest, result


def rss() -> int:
    """The resident set of this process in bytes."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def made_once(path: Path, script: str, *args: str) -> Path:
    """`path`, written first by `script --make *args path` in a child
    process (so that the writer's memory is not counted here) when absent."""
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        start = time.perf_counter()
        subprocess.run([sys.executable, script, "--make", *args, str(path)], check=True)
        print(f"wrote {path.name} with XlsxWriter in {time.perf_counter() - start:.1f} s")
    return path


def write_mixed(path: Path, rows: int, columns: int, seed: int) -> None:
    """A sheet "Data" written by XlsxWriter, its columns in turn integers,
    floats, shared strings of 1,000 words, booleans and a formula with a
    cached value."""
    import xlsxwriter

    rnd = random.Random(seed)
    words = [f"item {i}" for i in range(1000)]
    wb = xlsxwriter.Workbook(str(path))
    ws = wb.add_worksheet("Data")
    for r in range(rows):
        for c in range(columns):
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
                ws.write_formula(r, c, f"=A{r + 1}*2", None, r * 2)
    wb.close()


def full_values(path: Path, **options: Any) -> tuple[int, list[str]]:
    """load_workbook and every value of every sheet: (values read, the
    reader path of each sheet)."""
    import tavrinex

    wb = tavrinex.load_workbook(path, **options)
    count = 0
    for ws in wb.worksheets:
        for row in ws.iter_rows(values_only=True):
            count += len(row)
    return count, [ws.reader_path for ws in wb.worksheets]


def read_only_values(path: Path, **options: Any) -> int:
    """Every value of every sheet in read-only mode: the values read."""
    import tavrinex

    count = 0
    with tavrinex.load_workbook(path, read_only=True, **options) as wb:
        for ws in wb.worksheets:
            for row in ws.iter_rows(values_only=True):
                count += len(row)
    return count


def calamine_values(path: Path) -> int:
    """Every value of every sheet read by python-calamine: the values read."""
    from python_calamine import CalamineWorkbook

    book = CalamineWorkbook.from_path(str(path))
    count = 0
    for name in book.sheet_names:
        for row in book.get_sheet_by_name(name).to_python(skip_empty_area=False):
            count += len(row)
    return count
