"""The data road against its peers, in one run, each figure beside its target.

Reading, on W1-W3 of bench_peers.py (1,000,000 cells each, from XlsxWriter,
no header row), best of BENCH_REPEAT runs:
- read_table(...).to_arrow() against fastexcel's load_sheet(...).to_arrow()
  (target: at least 4x);
- read_table(...).to_pandas() against pandas.read_excel(engine="calamine")
  (at least 6x);
- read_table(...).to_polars() against polars.read_excel(engine="calamine")
  (at least 3x);
- the peak memory of read_table in a child process, above what the process
  held before, against the Arrow result plus 32 MB;
- read_tables of 8 workbooks (W1 copies) on a pool of 2 threads against
  reading them one after another (at least 1.7x).
Writing: write_table of a 1,000,000-cell Arrow table (50,000 rows x 20
columns of integers, floats, short strings, booleans and dates) against
rustpy-xlsxwriter (at least 3x), and its file against XlsxWriter's for the
same data (at most 1.15x), with the deflate level write_table uses.
"""

from __future__ import annotations

import datetime
import json
import os
import random
import shutil
import subprocess
import sys
from functools import partial
from pathlib import Path

import _common
from _common import OUT, made_once

REPEAT = int(os.environ.get("BENCH_REPEAT", 3))
PEERS = Path(__file__).resolve().parent / "bench_peers.py"
best = partial(_common.best, repeat=REPEAT)


def workbook(name: str) -> Path:
    return made_once(OUT / f"peers_{name}.xlsx", str(PEERS), name)


def line(what: str, ours: float, theirs: float, target: float) -> None:
    ratio = theirs / ours
    verdict = "met" if ratio >= target else "MISSED"
    print(f"  {what:<44} {ours:7.3f} s vs {theirs:7.3f} s: {ratio:5.2f}x "
          f"(target {target:g}x: {verdict})", flush=True)


# -- reading

def reading() -> None:
    import fastexcel
    import pandas as pd
    import polars as pl

    import tavrinex

    print("read_table against the calamine-based readers (no header row):")
    for name in ("W1", "W2", "W3"):
        path = workbook(name)
        print(f" {name}:")
        t_ours, table = best(lambda: tavrinex.read_table(path, header_row=None).to_arrow())
        t_fx, theirs = best(lambda: fastexcel.read_excel(str(path)).load_sheet(
            0, header_row=None).to_arrow())
        assert table.num_rows == theirs.num_rows
        line("to_arrow() vs fastexcel to_arrow()", t_ours, t_fx, 4)
        t_ours, _ = best(lambda: tavrinex.read_table(path, header_row=None).to_pandas())
        t_pd, _ = best(lambda: pd.read_excel(path, engine="calamine", header=None))
        line("to_pandas() vs pandas.read_excel(calamine)", t_ours, t_pd, 6)
        t_ours, _ = best(lambda: tavrinex.read_table(path, header_row=None).to_polars())
        t_pl, _ = best(lambda: pl.read_excel(path, engine="calamine", has_header=False))
        line("to_polars() vs polars.read_excel(calamine)", t_ours, t_pl, 3)
        road = tavrinex.read_table(path, header_row=None).reader_path
        print(f"  (read by the {road} road)")


def memory() -> None:
    print("peak memory of read_table (a child process each):")
    for name in ("W1", "W2", "W3"):
        path = workbook(name)
        out = subprocess.run([sys.executable, __file__, "--memory", str(path)], check=True,
                             capture_output=True, text=True).stdout
        got = json.loads(out)
        above = got["peak"] - got["before"]
        limit = got["result"] + (32 << 20)
        verdict = "met" if above <= limit else "MISSED"
        print(f"  {name}: {above / 2**20:6.1f} MB above the start, the Arrow result "
              f"{got['result'] / 2**20:6.1f} MB (target at most result + 32 MB = "
              f"{limit / 2**20:6.1f} MB: {verdict})", flush=True)


def high_water() -> int:
    """The peak resident set of this process in bytes (VmHWM: unlike
    ru_maxrss, not carried over from the parent across exec)."""
    with open("/proc/self/status") as f:
        for entry in f:
            if entry.startswith("VmHWM:"):
                return int(entry.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def measure_memory(path: str) -> None:
    import pyarrow

    import tavrinex

    # pyarrow's first import of a stream loads code and pools of its own:
    # a small table goes first, so that only the read is measured.
    small = OUT / "table_memory_warmup.xlsx"
    if not small.exists():
        tavrinex.write_table(pyarrow.table({"a": [1], "b": ["x"]}), small)
    tavrinex.read_table(small).to_arrow()
    before = _common.rss()
    table = tavrinex.read_table(path, header_row=None).to_arrow()
    peak = high_water()
    seen: dict[int, int] = {}   # buffers shared by columns count once
    for column in table.columns:
        for chunk in column.chunks:
            for buf in chunk.buffers():
                if buf is not None:
                    seen[buf.address] = max(seen.get(buf.address, 0), buf.size)
            if hasattr(chunk, "dictionary") and chunk.type.id == pyarrow.dictionary(
                    pyarrow.int32(), pyarrow.string()).id:
                for buf in chunk.dictionary.buffers():
                    if buf is not None:
                        seen[buf.address] = max(seen.get(buf.address, 0), buf.size)
    print(json.dumps({"before": before, "peak": peak, "result": sum(seen.values())}))


def many() -> None:
    import tavrinex

    print("read_tables of 8 workbooks on 2 threads against one after another:")
    source = workbook("W1")
    copies = []
    for i in range(8):
        copy = OUT / f"table_many_{i}.xlsx"
        if not copy.exists():
            shutil.copyfile(source, copy)
        copies.append(copy)
    t_seq, _ = best(lambda: [tavrinex.read_table(p, header_row=None) for p in copies])
    t_par, _ = best(lambda: tavrinex.read_tables(copies, header_row=None, threads=2,
                                                 progress=False))
    line("read_tables (2 threads) vs sequential", t_par, t_seq, 1.7)


# -- writing

ROWS, COLUMNS = 50_000, 20


def arrow_data():
    import pyarrow as pa
    rnd = random.Random(7)
    words = [f"item {i}" for i in range(1000)]
    columns = {}
    for c in range(COLUMNS):
        kind = c % 5
        if kind == 0:
            values = pa.array([rnd.randint(-10**6, 10**6) for _ in range(ROWS)])
        elif kind == 1:
            values = pa.array([round(rnd.random() * 1000, 6) for _ in range(ROWS)])
        elif kind == 2:
            values = pa.array([words[rnd.randrange(1000)] for _ in range(ROWS)])
        elif kind == 3:
            values = pa.array([rnd.random() < 0.5 for _ in range(ROWS)])
        else:
            start = datetime.date(2000, 1, 1)
            values = pa.array([start + datetime.timedelta(days=rnd.randrange(9000))
                               for _ in range(ROWS)])
        columns[f"c{c}"] = values
    return pa.table(columns)


def xlsxwriter_file(table, path: Path) -> None:
    import xlsxwriter
    wb = xlsxwriter.Workbook(str(path))
    day = wb.add_format({"num_format": "yyyy-mm-dd"})
    ws = wb.add_worksheet("Sheet1")
    ws.write_row(0, 0, table.column_names)
    for c, column in enumerate(table.columns):
        for r, value in enumerate(column.to_pylist(), 1):
            if isinstance(value, datetime.date):
                ws.write_datetime(r, c, value, day)
            else:
                ws.write(r, c, value)
    wb.close()


def writing() -> None:
    import polars as pl
    import rustpy_xlsxwriter

    import tavrinex
    from tavrinex.data.write import deflate_level

    library, level = deflate_level()
    print(f"write_table of 1,000,000 cells (deflate: {library} level {level}):")
    table = arrow_data()
    frame = pl.from_arrow(table)
    ours = OUT / "table_write_ours.xlsx"
    theirs = OUT / "table_write_rustpy.xlsx"
    t_ours, _ = best(lambda: tavrinex.write_table(table, ours, column_widths=None))
    t_auto, _ = best(lambda: tavrinex.write_table(table, ours))
    t_rust, _ = best(lambda: rustpy_xlsxwriter.FastExcel(str(theirs)).sheet("Sheet1",
                                                                             frame).save())
    line("write_table vs rustpy-xlsxwriter", t_ours, t_rust, 3)
    line("write_table, widths fitted, vs rustpy-xlsxwriter", t_auto, t_rust, 3)
    reference = OUT / "table_write_xlsxwriter.xlsx"
    if not reference.exists():
        xlsxwriter_file(table, reference)
    size, ref = ours.stat().st_size, reference.stat().st_size
    verdict = "met" if size <= 1.15 * ref else "MISSED"
    print(f"  file size {size / 2**20:.2f} MB vs XlsxWriter's {ref / 2**20:.2f} MB: "
          f"{size / ref:.3f}x (target at most 1.15x: {verdict}); rustpy-xlsxwriter's "
          f"{theirs.stat().st_size / 2**20:.2f} MB", flush=True)
    back = tavrinex.read_table(ours)
    assert back.num_rows == ROWS and back.to_arrow().column("c2").to_pylist() == \
        table.column("c2").to_pylist()


def main() -> None:
    if sys.argv[1:2] == ["--memory"]:
        measure_memory(sys.argv[2])
        return
    reading()
    memory()
    many()
    writing()


if __name__ == "__main__":
    main()
