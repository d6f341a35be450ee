"""Sheet writing: the engine's SheetWriter against the package's Python writer.

A worksheet of 1,000,000 cells (50,000 rows of 20 columns: small and large
ints, floats, booleans, shared strings, inline strings with markup and
non-ASCII characters, plain formulas and shared-formula groups, two styles)
is loaded by bind_cells into a CellStore, with one row dimension in fifty.
Its whole <sheetData> is then written

* by the engine (SheetWriter.write_sheet_data, the store path), on each
  back end, from a fresh load each time;
* by the Python writer (write_rows), on each back end, on the same kind of
  fresh load (it materialises every cell through the store).

`write` only keeps the length of what it receives. Both outputs are
compared (a digest) so that the figures are of equal work.

Engine figures are the best of three runs (the machine is shared).

write_row: 10,000 rows of 20 host cells each, written by SheetWriter.write_row
and flush against the Python stream writer, on each back end.
"""

import gc
import hashlib
import io
import time

from tavrinex import _tavrinex as native
from tavrinex.cell import Cell
from tavrinex.dimensions import RowDimension
from tavrinex.helpers import writer_helpers
from tavrinex.reader.bind import read_worksheet
from tavrinex.styles import StyleArray
from tavrinex.worksheet import Workbook, Worksheet
from tavrinex.writer import SheetDataStream, rows, write_rows

ROWS, COLS = 50_000, 20
N = ROWS * COLS
REPEAT = 3  # engine runs are short: the best of three is printed
MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
SHARED = [f"shared <{i}> caf\u00e9" for i in range(1000)]


def cell_xml(r, c):
    ref = f"{chr(64 + c)}{r}"
    k = c % 10
    if k == 0:
        return f'<c r="{ref}"><v>{(r * c) % 1000}</v></c>'
    if k == 1:
        return f'<c r="{ref}" s="1"><v>{r / 7 + c}</v></c>'
    if k == 2:
        return f'<c r="{ref}" t="b"><v>{(r + c) & 1}</v></c>'
    if k == 3:
        return f'<c r="{ref}" t="s"><v>{(r + c) % 1000}</v></c>'
    if k == 4:
        return f'<c r="{ref}" t="inlineStr"><is><t>row {r} &amp; item</t></is></c>'
    if k == 5:
        return f'<c r="{ref}"><f>A{r}+B{r}</f><v>1</v></c>'
    if k == 6:
        if r % 100 == 1:
            return f'<c r="{ref}"><f t="shared" ref="{ref}:F{r + 99}" si="{r // 100}">C{r}*2</f></c>'
        return f'<c r="{ref}"><f t="shared" si="{r // 100}"/></c>'
    if k == 7:
        return f'<c r="{ref}" s="2"><v>{r * 1_000_003}</v></c>'
    if k == 8:
        return f'<c r="{ref}" t="inlineStr"><is><t>\u00e9t\u00e9 {c}</t></is></c>'
    return f'<c r="{ref}"><v>{-r * 0.25}</v></c>'


def make_document():
    parts = [f'<worksheet xmlns="{MAIN}"><sheetData>']
    for r in range(1, ROWS + 1):
        attrs = ' ht="20" customHeight="1"' if r % 50 == 0 else ""
        parts.append(f'<row r="{r}"{attrs}>')
        parts.extend(cell_xml(r, c) for c in range(1, COLS + 1))
        parts.append("</row>")
    parts.append("</sheetData></worksheet>")
    return "".join(parts).encode()


def load(doc):
    wb = Workbook(shared_strings=SHARED,
                  cell_styles=[StyleArray(), StyleArray([0, 0, 0, 2, 0, 0, 0, 0, 0]),
                               StyleArray([1, 0, 0, 0, 0, 0, 0, 0, 0])])
    ws = Worksheet(wb)
    read_worksheet(io.BytesIO(doc), ws)
    assert type(ws._cells) is native.CellStore
    ws.row_dimensions = {int(k): RowDimension(ht=v["ht"], customHeight=v["customHeight"])
                         for k, v in ws.row_dimensions.items()}
    return ws


class Sink:
    """Keeps the chunks it is given; sizes and digests are taken after the
    timed run, so that `write` costs next to nothing."""

    def __init__(self):
        self.chunks = []

    def __call__(self, chunk):
        self.chunks.append(chunk)

    def settle(self):
        digest = hashlib.sha256()
        self.size = 0
        for chunk in self.chunks:
            data = chunk if isinstance(chunk, bytes) else chunk.encode("utf-8", "surrogatepass")
            digest.update(data)
            self.size += len(data)
        self.calls = len(self.chunks)
        self.digest = digest
        self.chunks = []


def timed(fn):
    gc.collect()
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def bench_sheet(doc):
    results = {}
    for lxml in (True, False):
        name = "lxml" if lxml else "etree"
        ws = load(doc)
        helpers = writer_helpers(lxml=lxml)
        t_engine = None
        for _ in range(REPEAT):  # the store path leaves the store as it was
            sink = Sink()
            t = timed(lambda: native.SheetWriter(ws, sink, lxml, helpers).write_sheet_data(
                lambda: rows(ws)))
            t_engine = t if t_engine is None else min(t_engine, t)
        materialised = ws._cells._stats()[1]
        del ws
        ws = load(doc)
        py_sink = Sink()
        t_python = timed(lambda: write_rows(ws, py_sink, lxml))
        del ws
        sink.settle()
        py_sink.settle()
        same = sink.digest.digest() == py_sink.digest.digest()
        results[name] = (t_engine, t_python)
        print(f"sheetData {name:5}: engine {t_engine:.3f} s ({N / t_engine / 1e6:.2f} M cells/s, "
              f"{sink.size / t_engine / 1e6:.0f} MB/s, {sink.calls} writes, "
              f"{materialised} cells materialised), python {t_python:.2f} s "
              f"({N / t_python / 1e3:.0f} k cells/s): {t_python / t_engine:.1f}x, "
              f"output {'identical' if same else 'DIFFERENT'} ({sink.size} bytes)")
    return results


def bench_write_row():
    rows_n, cols = 10_000, 20
    for lxml in (True, False):
        name = "lxml" if lxml else "etree"
        ws = Worksheet(Workbook(cell_styles=[StyleArray(), StyleArray([1] * 9)]))
        data = []
        for r in range(1, rows_n + 1):
            row = []
            for c in range(1, cols + 1):
                k = c % 4
                value = (r * c if k == 0 else r / 3 if k == 1 else f"text {r} <&>" if k == 2
                         else c % 2 == 0)
                row.append(Cell(ws, row=r, column=c, value=value,
                                style_array=[1] * 9 if c == 3 else None))
            data.append(row)

        def run(engine, sink):
            stream = SheetDataStream(ws, sink, lxml=lxml, engine=engine)
            for r, row in enumerate(data, 1):
                stream.append(row, r)
            stream.close()

        t_engine = None
        for _ in range(REPEAT):
            e_sink = Sink()
            t = timed(lambda: run(native, e_sink))
            t_engine = t if t_engine is None else min(t_engine, t)
        p_sink = Sink()
        t_python = timed(lambda: run(None, p_sink))
        e_sink.settle()
        p_sink.settle()
        same = e_sink.digest.digest() == p_sink.digest.digest()
        n = rows_n * cols
        print(f"write_row {name:5}: engine {t_engine:.3f} s ({n / t_engine / 1e6:.2f} M cells/s), "
              f"python {t_python:.3f} s ({n / t_python / 1e3:.0f} k cells/s): "
              f"{t_python / t_engine:.1f}x, output {'identical' if same else 'DIFFERENT'}")


def main():
    doc = make_document()
    print(f"{N} cells, {len(doc) / 1e6:.1f} MB of worksheet XML")
    bench_sheet(doc)
    bench_write_row()


if __name__ == "__main__":
    main()
