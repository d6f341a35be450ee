"""Whole workbooks against the peers, in one run.

Three 1,000,000-cell workbooks written by XlsxWriter:
- W1: 50,000 rows x 20 columns of integers, floats, short shared strings,
  booleans and a formula with its cached value;
- W2: 50,000 rows x 20 columns of numbers only;
- W3: 200,000 rows x 5 columns of long, mostly distinct shared strings.

Each is read, best of BENCH_REPEAT runs, by:
- this engine in full mode (load_workbook, then every value as a Python
  object) and in read-only mode (iterating every value);
- python-calamine (every value as a Python object);
- fastexcel (the sheet loaded into Arrow memory, no Python values);
- the package's Python path (engine=None), once, in both modes;
- when members inflate on a native thread, the engine again in both modes
  with that switched off (inflating in the reading thread), for comparison.
The first line names the inflate mode of the engine's rows.
Then, per workload, where the engine's full-mode time goes (inflating the
members, the shared strings, bind_cells, building the values), the
throughput of bind_cells, the tokenizer and read_string_table, and the peak
memory of a full load in a child process against what the load keeps (the
store plus the shared strings).
Files are written once into build/bench/ by a child process and reused.
"""

from __future__ import annotations

import contextlib
import io
import json
import os
import random
import subprocess
import sys
from functools import partial
from pathlib import Path

import fastexcel
import xlsxwriter

import tavrinex
from tavrinex import _native, _probe
from tavrinex.cell import Cell
from tavrinex.helpers import reader_helpers
from tavrinex.reader import excel
from tavrinex.reader.excel import CHUNK, Archive
from tavrinex.reader.worksheet import WorksheetParser
from tavrinex.worksheet import Worksheet

import _common
from _common import (OUT, calamine_values, full_values, made_once, read_only_values,
                     write_mixed)

REPEAT = int(os.environ.get("BENCH_REPEAT", 3))
SHEET = "xl/worksheets/sheet1.xml"
SST = "xl/sharedStrings.xml"


# -- the workbooks

def write_w1(path: Path) -> None:
    write_mixed(path, 50_000, 20, seed=1)


def write_w2(path: Path) -> None:
    rnd = random.Random(2)
    wb = xlsxwriter.Workbook(str(path))
    ws = wb.add_worksheet("Numbers")
    for r in range(50_000):
        for c in range(20):
            value = rnd.randint(-10**9, 10**9) if c % 2 else rnd.random() * 10**rnd.randint(-3, 8)
            ws.write_number(r, c, value)
    wb.close()


def write_w3(path: Path) -> None:
    rnd = random.Random(3)
    vocabulary = ("alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo lima "
                  "mike november oscar papa quebec romeo sierra tango uniform").split()
    wb = xlsxwriter.Workbook(str(path))
    ws = wb.add_worksheet("Text")
    for r in range(200_000):
        for c in range(5):
            if rnd.random() < 0.05:   # a few repeats
                text = f"repeated value {rnd.randrange(100)}"
            else:
                words = " ".join(rnd.choice(vocabulary) for _ in range(rnd.randint(6, 14)))
                text = f"{words} #{r}.{c}"
            ws.write_string(r, c, text)
    wb.close()


WORKLOADS = {"W1": write_w1, "W2": write_w2, "W3": write_w3}


def workbook(name: str) -> Path:
    return made_once(OUT / f"peers_{name}.xlsx", __file__, name)


# -- the readers

def fast_excel(path: Path) -> int:
    reader = fastexcel.read_excel(str(path))
    count = 0
    for name in reader.sheet_names:
        sheet = reader.load_sheet(name, header_row=None)
        count += sheet.height * sheet.width
    return count


best = partial(_common.best, repeat=REPEAT)


@contextlib.contextmanager
def python_inflate():
    """Members inflate in the reading thread while inside."""
    old = os.environ.get(excel.NATIVE_INFLATE_ENV)
    os.environ[excel.NATIVE_INFLATE_ENV] = "0"
    try:
        yield
    finally:
        if old is None:
            del os.environ[excel.NATIVE_INFLATE_ENV]
        else:
            os.environ[excel.NATIVE_INFLATE_ENV] = old


def inflate_mode() -> str:
    if excel.native_inflate_enabled():
        return f"on a native thread ({excel._inflate.library})"
    return f"{excel.inflater_name()} in the reading thread"


# -- the stages of a full load

def inflate(path: Path, part: str) -> bytes:
    archive = Archive(path)
    try:
        if not archive.has(part):
            return b""
        chunks = []
        with archive.open(part) as member:
            while chunk := member.read(CHUNK):
                chunks.append(chunk)
        return b"".join(chunks)
    finally:
        archive.close()


def stages(path: Path) -> dict[str, float]:
    native = _native.native
    helpers = reader_helpers()
    out: dict[str, float] = {}
    out["inflate"], _ = best(lambda: (inflate(path, SHEET), inflate(path, SST)))
    with python_inflate():
        out["inflate here"], _ = best(lambda: (inflate(path, SHEET), inflate(path, SST)))
    sheet_xml, sst_xml = inflate(path, SHEET), inflate(path, SST)
    out["sheet MB"] = len(sheet_xml) / 1e6
    out["sst MB"] = len(sst_xml) / 1e6
    strings: list = []
    if sst_xml:
        out["shared strings"], strings = best(
            lambda: native.read_string_table(io.BytesIO(sst_xml), helpers))
    else:
        out["shared strings"] = 0.0
    wb = tavrinex.load_workbook(path)

    def bind():
        ws = Worksheet(wb, "bench")
        parser = WorksheetParser(strings, wb.epoch)
        store = native.CellStore()
        native.bind_cells(io.BytesIO(sheet_xml), parser, ws, store, wb._cell_styles, Cell,
                          helpers, [])
        return store

    out["bind_cells"], _ = best(bind)
    sheet = wb.worksheets[0]
    out["values"], _ = best(lambda: sum(len(row) for row in sheet.iter_rows(values_only=True)))
    out["tokenizer"], _ = best(lambda: _probe.xml_count(sheet_xml))
    return out


PEAK_CHILD = """
import gc, json, sys
sys.path.insert(0, sys.argv[2])
import tavrinex
from tavrinex import _probe
from _common import rss

gc.collect()
before = rss()
wb = tavrinex.load_workbook(sys.argv[1])
with open("/proc/self/status") as f:   # VmHWM starts afresh at exec, unlike ru_maxrss
    high = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
store = sum(_probe.store_memory(ws._cells) for ws in wb.worksheets)
strings = sys.getsizeof(wb.shared_strings) + sum(map(sys.getsizeof, wb.shared_strings))
print(json.dumps({"peak": high - before, "store": store, "strings": strings}))
"""


def peak_in_child(path: Path) -> dict[str, float]:
    """The growth of a fresh process's high-water mark over a full load,
    and what the loaded workbook keeps."""
    out = subprocess.run([sys.executable, "-c", PEAK_CHILD, str(path),
                          str(Path(__file__).resolve().parent)], check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def main() -> int:
    if _native.native is None:
        sys.exit("the engine is not built")
    native_inflate = excel.native_inflate_enabled()
    print(f"inflate: {inflate_mode()}")
    rows = []
    for name in WORKLOADS:
        path = workbook(name)
        cal_t, cal_n = best(calamine_values, path)
        fx_t, fx_n = best(fast_excel, path)
        full_t, (full_n, _) = best(full_values, path)
        ro_t, ro_n = best(read_only_values, path)
        py_t, (py_n, _) = best(partial(full_values, path, engine=None), repeat=1)
        pyro_t, pyro_n = best(partial(read_only_values, path, engine=None), repeat=1)
        assert cal_n == fx_n == full_n == ro_n == py_n == pyro_n, \
            (cal_n, fx_n, full_n, ro_n, py_n, pyro_n)
        here = []
        if native_inflate:
            with python_inflate():
                here_full_t, (here_n, _) = best(full_values, path)
                here_ro_t, here_ro_n = best(read_only_values, path)
            assert here_n == here_ro_n == full_n
            here = [("engine, full, inflating here", here_full_t),
                    ("engine, read-only, inflating here", here_ro_t)]
        print(f"\n{name}: {full_n:,} cells, {path.stat().st_size / 1e6:.1f} MB on disk")
        print(f"  {'reader':<34}{'seconds':>9}{'calamine/us':>13}{'fastexcel/us':>14}")
        for label, t in (("engine, full (load + values)", full_t),
                         ("engine, read-only values", ro_t),
                         *here,
                         ("python-calamine (values)", cal_t),
                         ("fastexcel (to Arrow)", fx_t),
                         ("Python path, full", py_t),
                         ("Python path, read-only", pyro_t)):
            print(f"  {label:<34}{t:>9.3f}{cal_t / t:>12.2f}x{fx_t / t:>13.2f}x")
        st = stages(path)
        known = st["inflate"] + st["shared strings"] + st["bind_cells"] + st["values"]
        print(f"  stages of a full load ({full_t:.3f} s):" + "".join(
            f" {k} {st[k]:.3f} s ({100 * st[k] / known:.0f}%)"
            for k in ("inflate", "shared strings", "bind_cells", "values")) + "; rest "
            f"{full_t - known:+.3f} s")
        if native_inflate:
            print(f"  inflate alone: {st['inflate']:.3f} s on the native thread, "
                  f"{st['inflate here']:.3f} s in the reading thread "
                  f"({excel.inflater_name()})")
        sst = (f"{st['sst MB'] / st['shared strings']:.0f} MB/s"
               if st["shared strings"] else "no shared strings")
        print(f"  bind_cells {st['sheet MB'] / st['bind_cells']:.0f} MB/s of "
              f"{st['sheet MB']:.1f} MB; tokenizer {st['sheet MB'] / st['tokenizer']:.0f} MB/s; "
              f"read_string_table {sst} of {st['sst MB']:.1f} MB")
        mem = peak_in_child(path)
        extra = mem["peak"] - mem["store"] - mem["strings"]
        print(f"  peak memory of a full load: {mem['peak'] / 1e6:.1f} MB = store "
              f"{mem['store'] / 1e6:.1f} MB + shared strings {mem['strings'] / 1e6:.1f} MB "
              f"+ {extra / 1e6:.1f} MB")
        rows.append((name, cal_t / full_t, fx_t / full_t, cal_t / ro_t, fx_t / ro_t))
    print("\nratios (peer time / engine time): full vs calamine, vs fastexcel; "
          "read-only vs calamine, vs fastexcel")
    for name, *ratios in rows:
        print(f"  {name}: " + "  ".join(f"{r:.2f}x" for r in ratios))
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--make"]:
        WORKLOADS[sys.argv[2]](Path(sys.argv[3]))
    else:
        sys.exit(main())
