"""Namespace-heavy documents: time against input size.

Each shape grows with B, the number of prefixes, from 1,000 to 8,000. Work
that is linear in the input keeps the time per KB flat down each column;
quadratic work would double it at every step.

- sheet: B prefixes on the root and B empty elements after <sheetData/>,
  read by bind_cells (every element goes to `actions` with its namespaces).
- sst: B prefixes on the root and B items with phonetic runs, which the
  engine sends to si_content with their namespaces (here a stub that only
  takes the list, so that the figure is the engine's own).
- attrs: 3.5 B prefixed attributes, each declared on the same tag.
- nested: 5 B nested elements, each declaring a prefix.
"""

import io
import time

from tavrinex import _probe as probe
from tavrinex import _tavrinex as native
from tavrinex.cell import Cell
from tavrinex.helpers import reader_helpers
from tavrinex.styles import StyleArray

from _common import best

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
SIZES = (1000, 2000, 4000, 8000)


class Parser:
    def __init__(self):
        import datetime
        self.epoch = datetime.datetime(1899, 12, 30)
        self.formula_and_value = False
        self.shared_strings = []
        self.data_only = False
        self.rich_text = False
        self.date_formats = []
        self.timedelta_formats = []
        self.row_dimensions = {}


def prefixes(b):
    return " ".join(f'xmlns:p{i}="urn:example:p{i}"' for i in range(b))


def sheet_doc(b):
    return (f'<worksheet xmlns="{MAIN}" {prefixes(b)}><sheetData/>' + "<e/>" * b
            + "</worksheet>").encode()


def sst_doc(b):
    items = "".join(f'<si><t>x{i}</t><rPh sb="0" eb="1"><t>p</t></rPh></si>' for i in range(b))
    return f'<sst xmlns="{MAIN}" {prefixes(b)}>{items}</sst>'.encode()


def attrs_doc(b):
    n = b * 7 // 2
    return ("<r " + " ".join(f'xmlns:p{i}="u{i}" p{i}:a="1"' for i in range(n)) + "/>").encode()


def nested_doc(b):
    n = b * 5
    return ("".join(f'<e xmlns:p{i}="u{i}">' for i in range(n)) + "</e>" * n).encode()


STYLES = [StyleArray([0] * 9)]


def run_sheet(data):
    actions = []
    native.bind_cells(io.BytesIO(data), Parser(), "WS", native.CellStore(), STYLES, Cell,
                      reader_helpers(), actions)
    assert len(actions) > 0


def run_sst(data):
    helpers = reader_helpers()
    helpers["si_content"] = lambda snippet, namespaces: ""
    native.read_string_table(io.BytesIO(data), helpers)


def run_tokens(data):
    probe.xml_count(data)


SHAPES = (("sheet", sheet_doc, run_sheet), ("sst", sst_doc, run_sst),
          ("attrs", attrs_doc, run_tokens), ("nested", nested_doc, run_tokens))


def main():
    print(f"{'shape':8} {'B':>6} {'KB':>8} {'ms':>9} {'us/KB':>8} {'x first':>8}")
    for name, make, run in SHAPES:
        first = None
        for b in SIZES:
            data = make(b)
            # The best of many runs (more for the small inputs, which are quick), in
            # this thread's CPU time so that other processes on a shared machine
            # weigh less.
            t, _ = best(run, data, repeat=max(7, 4_000_000 // len(data)),
                        clock=time.thread_time, collect=False)
            per_kb = t * 1e6 / (len(data) / 1024)
            first = first or per_kb
            print(f"{name:8} {b:6} {len(data) / 1024:8.0f} {t * 1e3:9.2f} {per_kb:8.2f} "
                  f"{per_kb / first:8.2f}")


if __name__ == "__main__":
    main()
