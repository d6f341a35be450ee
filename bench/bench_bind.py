"""bind_cells alone, in MB/s of worksheet XML by CPU time, on four sheets of
1,000,000 cells: the generated mixed sheet of bench_sheet.py and the sheets
of bench_peers.py's W1 (mixed), W2 (numbers only) and W3 (long shared
strings).

CPU time (best of BENCH_REPEAT) rather than wall time, so that the figures
hold on a machine shared with other work. Each build runs in a child
process: this one (TAVRINEX_NATIVE_DIR) and, when BASELINE_NATIVE_DIR names
another build, that one too, alternating BENCH_ROUNDS times; the best of
each is printed with the ratio.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import zipfile
from pathlib import Path

REPEAT = int(os.environ.get("BENCH_REPEAT", 5))
ROUNDS = int(os.environ.get("BENCH_ROUNDS", 2))
HERE = Path(__file__).resolve().parent

CHILD = """
import gc, io, json, sys, time, zipfile
sys.path.insert(0, sys.argv[1])
import tavrinex
from tavrinex import _native
from tavrinex.cell import Cell
from tavrinex.helpers import reader_helpers
from tavrinex.reader.worksheet import WorksheetParser
from tavrinex.samples import shared_strings, worksheet_xml
from tavrinex.styles import StyleArray
from tavrinex.worksheet import Workbook, Worksheet

def sheets():
    yield "sample", worksheet_xml(50_000, 20), shared_strings(), [
        StyleArray(), StyleArray([0, 0, 0, 14, 0, 0, 0, 0, 0])]
    for name, path in json.loads(sys.argv[3]).items():
        wb = tavrinex.load_workbook(path)
        with zipfile.ZipFile(path) as z:
            yield name, z.read("xl/worksheets/sheet1.xml"), wb.shared_strings, wb._cell_styles

out = {}
for name, data, strings, styles in sheets():
    best = float("inf")
    for _ in range(int(sys.argv[2])):
        wb = Workbook(shared_strings=strings, cell_styles=styles)
        parser = WorksheetParser(wb.shared_strings, wb.epoch)
        store = _native.native.CellStore()
        gc.collect()
        start = time.process_time()
        _native.native.bind_cells(io.BytesIO(data), parser, Worksheet(wb), store,
                                  wb._cell_styles, Cell, reader_helpers(), [])
        best = min(best, time.process_time() - start)
        del store
    out[name] = (len(data), best)
print(json.dumps(out))
"""


def run(native_dir: str, workbooks: dict[str, str]) -> dict[str, tuple[int, float]]:
    env = dict(os.environ, TAVRINEX_NATIVE_DIR=native_dir)
    out = subprocess.run([sys.executable, "-c", CHILD, str(HERE), str(REPEAT),
                          json.dumps(workbooks)], env=env, check=True, capture_output=True,
                         text=True).stdout
    return json.loads(out)


def main() -> int:
    sys.path.insert(0, str(HERE))
    from bench_peers import workbook

    workbooks = {name: str(workbook(name)) for name in ("W1", "W2", "W3")}
    builds = {"this build": os.environ.get("TAVRINEX_NATIVE_DIR", "")}
    if os.environ.get("BASELINE_NATIVE_DIR"):
        builds["baseline"] = os.environ["BASELINE_NATIVE_DIR"]
    best: dict[str, dict[str, tuple[int, float]]] = {label: {} for label in builds}
    for _ in range(ROUNDS):
        for label, native_dir in builds.items():
            for name, (size, t) in run(native_dir, workbooks).items():
                if name not in best[label] or t < best[label][name][1]:
                    best[label][name] = (size, t)
    for label, figures in best.items():
        print(f"{label:<11}" + "  ".join(
            f"{name} {size / 1e6 / t:.0f} MB/s ({t:.3f} s)" for name, (size, t) in figures.items())
            + "  (bind_cells, CPU time)")
    if "baseline" in best:
        print("ratio      " + "  ".join(
            f"{name} {best['baseline'][name][1] / t:.2f}x"
            for name, (_, t) in best["this build"].items()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
