"""Reference ownership of the CellStore: no leaks, and cycles through it are
found by the garbage collector."""

import gc
import sys
import tracemalloc
import weakref

import pytest

from tavrinex import _probe
from tavrinex import _tavrinex as native
from tavrinex.cell import Cell
from tavrinex.styles import StyleArray
from tavrinex.utils.datetime import WINDOWS_EPOCH


class Sheet:
    title = "S"


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


FORMS = [("int", 7, "n"), ("float", 2.5, "n"), ("bool", 1, "b"), ("shared", 1, "s"),
         ("text", "txt", "s"), ("object", None, "s"), ("date_int", 40000, "d")]


def load_and_drop(n, ws, styles, shared, marker):
    s = native.CellStore()
    _probe.store_configure(s, ws, styles, Cell, shared, WINDOWS_EPOCH)
    cells = []
    for i in range(n):
        form, value, dtype = FORMS[i % len(FORMS)]
        if form == "object":
            value = marker
        cells.append((i // 20 + 1, i % 20 + 1, form, value, dtype, i % 3))
    _probe.store_load(s, cells)
    del cells
    total = 0
    for key in s:
        total += s[key].column
    assert total == sum(i % 20 + 1 for i in range(n))
    assert s._stats()[:2] == (n, n)
    for key in list(s)[::2]:
        del s[key]
    s[(1, 99999)] = marker
    s["dict mode"] = marker  # moves every remaining cell into a dict
    assert len(s) == n - (n + 1) // 2 + 2
    del s


def test_a_million_cells_leave_nothing_behind():
    ws, shared, marker = Sheet(), ["a", "b"], object()
    styles = [StyleArray([i] * 9) for i in range(3)]
    watched = [ws, shared[1], marker, styles[1], Cell, "s", "d"]
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    objects_before = len(gc.get_objects())
    load_and_drop(1_000_000, ws, styles, shared, marker)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before
    assert len(gc.get_objects()) <= objects_before + 10


def test_repeated_loads_do_not_grow():
    ws, shared, marker = Sheet(), ["a", "b"], object()
    styles = [StyleArray([i] * 9) for i in range(3)]
    # Native tables go back to the allocator: RSS stays flat over runs.
    load_and_drop(200_000, ws, styles, shared, marker)
    gc.collect()
    first_rss = rss_kib()
    for _ in range(3):
        load_and_drop(200_000, ws, styles, shared, marker)
    gc.collect()
    assert rss_kib() - first_rss < 8 * 1024
    # Python-heap allocations come back (slack for interpreter caches).
    tracemalloc.start()
    try:
        load_and_drop(10_000, ws, styles, shared, marker)
        gc.collect()
        first_py = tracemalloc.get_traced_memory()[0]
        load_and_drop(10_000, ws, styles, shared, marker)
        gc.collect()
        assert tracemalloc.get_traced_memory()[0] - first_py < 16 * 1024
    finally:
        tracemalloc.stop()


class Holder:
    pass


def cycle_through_cell():
    ws = Holder()
    s = native.CellStore()
    _probe.store_configure(s, ws, [StyleArray()], Cell, [], WINDOWS_EPOCH)
    _probe.store_load(s, [(1, 1, "int", 1, "n", 0)])
    ws.cells = s
    ws.held = s[1, 1]  # ws -> store -> cell -> ws
    return weakref.ref(ws)


def cycle_through_object():
    h = Holder()
    s = native.CellStore()
    s[(1, 1)] = h
    h.store = s
    return weakref.ref(h)


def cycle_through_dict_mode():
    h = Holder()
    s = native.CellStore()
    s["key"] = h
    h.store = s
    return weakref.ref(h)


def cycle_through_key_iter():
    h = Holder()
    s = native.CellStore()
    s[(2, 2)] = h
    h.it = iter(s)
    return weakref.ref(h)


def cycle_through_context():
    h = Holder()
    s = native.CellStore()
    h.store = s
    # The worksheet, style list and shared strings are all held by the store.
    _probe.store_configure(s, h, [StyleArray()], Cell, [h], WINDOWS_EPOCH)
    return weakref.ref(h)


@pytest.mark.parametrize("make", [cycle_through_cell, cycle_through_object,
                                  cycle_through_dict_mode, cycle_through_key_iter,
                                  cycle_through_context])
def test_collector_frees_cycles(make):
    gc.collect()
    ref = make()
    assert ref() is not None  # only the cycle keeps it alive
    gc.collect()
    assert ref() is None


def test_key_iterator_owns_one_reference_to_its_store():
    s = native.CellStore()
    s[(1, 1)] = 1
    value = Holder()
    s[(1, 2)] = value
    value_ref = weakref.ref(value)
    del value
    before = sys.getrefcount(s)
    it = iter(s)
    assert sys.getrefcount(s) == before + 1
    del s
    assert list(it) == [(1, 1), (1, 2)]  # the iterator alone keeps the store alive
    assert value_ref() is not None
    assert list(it) == []
    del it  # the last reference: the store and its values go
    assert value_ref() is None
