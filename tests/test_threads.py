"""Several threads sharing one CellStore, one RowReader or one SheetWriter:
every operation either works or is refused the way a busy object refuses
it, and the object stays whole (no row lost or handed out twice).

On the default build threads interleave wherever the engine calls back into
Python (a source's read, a writer's write), which the tiny switch interval makes
frequent; on a free-threaded build they also run at once.
"""

import random
import sys
import threading
import time
from xml.etree import ElementTree

import pytest

from tavrinex import _tavrinex as native
from tavrinex.cell import Cell, ReadOnlyCell
from tavrinex.helpers import reader_helpers

from sheet_helpers import STYLES, ChunkSource, Parser, sheet

THREADS = 6
ROUNDS = 150

REFUSALS = {
    "Already borrowed",
    "Already mutably borrowed",
    "dictionary changed size during iteration",
    "dictionary keys changed during iteration",
    "_row is not available in dict mode",
}


def document(seed):
    rows = []
    for r in range(1, 9):
        cells = [f'<c r="A{r}"><v>{seed + r}</v></c>',
                 f'<c r="B{r}" t="inlineStr"><is><t>t{r}</t></is></c>']
        if r == 1:
            cells.append('<c r="C1"><f t="shared" ref="C1:C8" si="0">A1*2</f></c>')
        else:
            cells.append(f'<c r="C{r}"><f t="shared" si="0"/></c>')
        rows.append(f'<row r="{r}">{"".join(cells)}</row>')
    return sheet("".join(rows), after="<mergeCells/>")


def load(store, seed):
    native.bind_cells(ChunkSource(document(seed), 48), Parser(), "WS", store, STYLES, Cell,
                      reader_helpers(), [])


def new_cell(row, column):
    return (row, column), Cell("WS", row, column, row * column)


def operations(store):
    def iterate():
        for _ in store:
            pass

    def popitem():
        try:
            store.popitem()
        except KeyError:
            pass  # empty

    def getitem(key):
        try:
            store[key]
        except KeyError:
            pass  # deleted or cleared meanwhile

    def delitem(key):
        try:
            del store[key]
        except KeyError:
            pass

    return [
        lambda rng: len(store),
        lambda rng: store.get((rng.randint(1, 9), rng.randint(1, 3))),
        lambda rng: getitem((rng.randint(1, 9), rng.randint(1, 3))),
        lambda rng: store.__setitem__(*new_cell(rng.randint(1, 9), rng.randint(1, 4))),
        lambda rng: store.__setitem__(f"k{rng.randint(1, 3)}", Cell("WS")),  # into dict mode
        lambda rng: delitem((rng.randint(1, 9), rng.randint(1, 3))),
        lambda rng: (rng.randint(1, 9), rng.randint(1, 3)) in store,
        lambda rng: iterate(),
        lambda rng: list(reversed(store)),
        lambda rng: store._row(rng.randint(1, 9), 1, 3, rng.random() < 0.5),
        lambda rng: store._bounds(),
        lambda rng: store._stats(),
        lambda rng: store._in_dict_mode(),
        lambda rng: popitem(),
        lambda rng: store.clear(),
        lambda rng: load(store, rng.randint(0, 100)),
    ]


def refused(exc):
    return str(exc) in REFUSALS


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_threads_sharing_one_store(fast_switching):
    store = native.CellStore()
    load(store, 0)
    ops = operations(store)
    start = threading.Barrier(THREADS)
    unexpected = []
    refusals = []

    def worker(seed):
        rng = random.Random(seed)
        start.wait()
        for _ in range(ROUNDS):
            op = rng.randrange(len(ops))
            try:
                ops[op](rng)
            except BaseException as exc:  # noqa: B036 - internal errors derive from it
                if refused(exc):
                    refusals.append(str(exc))
                else:
                    unexpected.append((op, repr(exc)))

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert unexpected == []

    # Whatever happened, the store is whole: its keys, length and cells agree.
    keys = list(store)
    assert len(keys) == len(store) == len(set(keys))
    for key in keys:
        assert store[key] is store.get(key)
    # And a reload leaves it like a fresh store.
    load(store, 7)
    fresh = native.CellStore()
    load(fresh, 7)
    assert [(k, store[k].value) for k in store] == [(k, fresh[k].value) for k in fresh]
    assert store._stats() == fresh._stats()


def test_iterators_shared_between_threads(fast_switching):
    store = native.CellStore()
    load(store, 0)
    iterators = [iter(store) for _ in range(3)]
    seen = []
    unexpected = []

    def worker(seed):
        rng = random.Random(seed)
        for _ in range(200):
            it = rng.choice(iterators)
            try:
                key = next(it, None)
                if key is not None:
                    seen.append(key)
                if rng.random() < 0.05:
                    key, cell = new_cell(rng.randint(1, 9), rng.randint(1, 3))
                    store[key] = cell
            except BaseException as exc:  # noqa: B036
                if not refused(exc):
                    unexpected.append(repr(exc))

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert unexpected == []
    # A key handed out is one the store held: no torn or invented keys.
    assert all(1 <= r <= 9 and 1 <= c <= 3 for r, c in seen)


def spin(threads):
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def test_threads_sharing_one_row_reader(fast_switching):
    # Reads of a few bytes call back into Python several times a row and
    # give the other threads their turn there.
    rows = 300
    body = "".join(f'<row r="{r}"><c r="A{r}"><v>{r}</v></c><c r="B{r}" t="inlineStr">'
                   f'<is><t>t{r}</t></is></c></row>' for r in range(1, rows + 1))
    class YieldingSource(ChunkSource):
        def read(self, n):
            time.sleep(0)  # a thread switch inside the reader's call
            return super().read(n)

    reader = native.RowReader(YieldingSource(sheet(body), 7), Parser(), reader_helpers())
    got = [[] for _ in range(THREADS)]
    unexpected = []

    def worker(seed):
        rng = random.Random(seed)
        while True:
            try:
                choice = rng.random()
                if choice < 0.1:
                    reader.actions
                    continue
                if choice < 0.5:
                    row = reader.next_raw()
                    if row is not None:
                        idx, cells = row
                        assert [c[:3] for c in cells][0] == (idx, 1, idx)
                else:
                    row = reader.next_row("WS", 1, None, rng.random() < 0.5, ReadOnlyCell, None)
                    if row is not None:
                        idx, cells = row
                        first = cells[0]
                        assert (first if isinstance(first, int) else first.value) == idx
                if row is None:
                    return
                got[seed].append(row[0])
            except BaseException as exc:  # noqa: B036
                if not refused(exc):
                    unexpected.append(repr(exc))
                    return
                time.sleep(0)  # busy: let the reading thread go on

    spin([threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)])
    assert unexpected == []
    # Every row was handed out exactly once, and each thread saw its rows in
    # document order.
    assert sorted(idx for part in got for idx in part) == list(range(1, rows + 1))
    assert all(part == sorted(part) for part in got)
    assert reader.next_raw() is None


def test_threads_sharing_one_sheet_writer(fast_switching):
    from tavrinex.helpers import writer_helpers
    from tavrinex.worksheet import Worksheet

    ws = Worksheet()
    chunks = []

    def write(chunk):
        time.sleep(0)  # a thread switch inside the writer's call
        chunks.append(chunk)

    writer = native.SheetWriter(ws, write, True, writer_helpers(lxml=True))
    written = [[] for _ in range(THREADS)]
    unexpected = []

    def worker(seed):
        rng = random.Random(seed)
        for k in range(ROUNDS):
            row = seed * ROUNDS + k + 1
            try:
                if rng.random() < 0.2:
                    writer.flush()
                else:
                    cells = [Cell(ws, row=row, column=c, value=f"v{row}.{c}") for c in (1, 2, 3)]
                    writer.write_row(cells, row)
                    written[seed].append(row)
            except BaseException as exc:  # noqa: B036
                if not refused(exc):
                    unexpected.append(repr(exc))

    spin([threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)])
    writer.flush()
    assert unexpected == []
    # The output is whole rows, each row written once with all its cells.
    root = ElementTree.fromstring(b"<sheetData>" + b"".join(chunks) + b"</sheetData>")
    out = {int(r.get("r")): [c.findtext("is/t") for c in r] for r in root}
    expected = {row: [f"v{row}.{c}" for c in (1, 2, 3)] for part in written for row in part}
    assert out == expected
    assert len(root) == len(expected)
