"""Differential harness: the engine's SheetWriter against the package's
Python writer, byte for byte, on both XML back ends and on every way the
engine reads cells (a store loaded by bind_cells and edited, a dict of
cells, a dict with a key that is not a (row, column) pair), and for
write_row / flush sequences."""

import pytest

pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import EXAMPLES
from tavrinex import _tavrinex as native
from tavrinex.helpers import writer_helpers
from tavrinex.writer import SheetDataStream, rows, write_rows
from writergen import dict_sheets, make_cell, store_sheets, stream_rows

BACKENDS = [True, False]


def outcome(run):
    """(what `write` received, joined; the types it received; the error),
    plus the hyperlinks and comments the run recorded."""
    calls = []
    error = None
    ws = None
    try:
        ws = run(calls.append)
    except Exception as exc:  # compared between the two writers
        error = (type(exc), str(exc))
    joined = (b"" if calls and isinstance(calls[0], bytes) else "").join(calls) if calls else None
    recorded = (list(ws._hyperlinks), list(ws._comments)) if ws is not None else None
    return joined, {type(c) for c in calls}, error, recorded


def engine_sheet(recipe, lxml):
    def run(write):
        ws = recipe()
        writer = native.SheetWriter(ws, write, lxml, writer_helpers(lxml=lxml))
        writer.write_sheet_data(lambda: rows(ws))
        return ws
    return run


def python_sheet(recipe, lxml):
    def run(write):
        ws = recipe()
        write_rows(ws, write, lxml)
        return ws
    return run


def assert_same(recipe, lxml):
    engine = outcome(engine_sheet(recipe, lxml))
    python = outcome(python_sheet(recipe, lxml))
    if engine[2] is not None and engine[2][0] is native.NativeFallback:
        # Declined before anything reached `write`; the package reruns it.
        assert engine[2][1] == "row dimension keys" and engine[0] is None
        return engine
    if engine[2] is not None or python[2] is not None:
        # A value the host refuses ends both writers with the same error.
        assert engine[2] == python[2]
        return engine
    assert engine == python
    assert engine[1] == ({bytes} if lxml else {str})
    return engine


@pytest.mark.parametrize("lxml", BACKENDS)
@settings(max_examples=EXAMPLES * 3)
@given(recipe=dict_sheets())
def test_dict_of_cells(recipe, lxml):
    assert_same(recipe, lxml)


@pytest.mark.parametrize("lxml", BACKENDS)
@settings(max_examples=EXAMPLES)
@given(recipe=dict_sheets(odd_key=True))
def test_dict_with_a_key_that_is_not_a_position(recipe, lxml):
    joined, _, error, _ = assert_same(recipe, lxml)
    if error is None:
        assert joined.count(b"<sheetData>" if lxml else "<sheetData>") == 1


@pytest.mark.parametrize("lxml", BACKENDS)
@settings(max_examples=EXAMPLES)
@given(recipe=store_sheets())
def test_store_loaded_and_edited(recipe, lxml):
    assert_same(recipe, lxml)


@pytest.mark.parametrize("lxml", BACKENDS)
@settings(max_examples=EXAMPLES * 2)
@given(case=stream_rows())
def test_write_row_and_flush(case, lxml):
    recipe, row_specs, flushes = case

    def run(make_stream):
        def go(write):
            ws = recipe()
            stream = make_stream(ws, write)
            for (row_idx, specs), flush in zip(row_specs, flushes):
                stream.append([make_cell(ws, **spec) for spec in specs], row_idx)
                if flush:
                    stream.close()
            stream.close()
            return ws
        return go

    engine = outcome(run(lambda ws, write: SheetDataStream(ws, write, lxml=lxml, engine=native)))
    python = outcome(run(lambda ws, write: SheetDataStream(ws, write, lxml=lxml, engine=None)))
    if engine[2] is not None or python[2] is not None:
        assert engine[2] == python[2]
    else:
        assert engine == python


# Outcome statistics over a fixed-seed run, so that a generator change that
# stops reaching the engine's native store path is noticed.
def test_store_harness_reaches_the_native_store_path():
    stats = {"store": 0, "cells": 0, "host_written": 0}

    @settings(max_examples=50, derandomize=True)
    @given(recipe=store_sheets())
    def record(recipe):
        ws = recipe()
        if type(ws._cells).__name__ != "CellStore" or ws._cells._in_dict_mode():
            return
        helpers = writer_helpers(lxml=True)
        host_write_cell = helpers["write_cell"]

        def counting(ws_, cell, styled):
            stats["host_written"] += 1
            return host_write_cell(ws_, cell, styled)

        helpers["write_cell"] = counting
        out = []
        try:
            native.SheetWriter(ws, out.append, True, helpers).write_sheet_data(lambda: rows(ws))
        except (native.NativeFallback, ValueError, TypeError):
            return  # declined, or a value the host refuses
        stats["store"] += 1
        stats["cells"] += b"".join(out).count(b"<c ")

    record()
    assert stats["store"] >= 10
    assert stats["cells"] - stats["host_written"] >= 50


@settings(max_examples=EXAMPLES)
@given(recipe=store_sheets(), lxml=st.booleans())
def test_package_entry_point_agrees(recipe, lxml):
    """write_sheet_data with and without the engine, including the runs the
    engine declines (row dimensions keyed by text)."""
    from tavrinex.writer import write_sheet_data
    results = []
    for engine in (native, None):
        ws = recipe()
        calls = []
        try:
            which = write_sheet_data(ws, calls.append, lxml=lxml, engine=engine)
        except Exception as exc:
            results.append((type(exc), str(exc)))
            continue
        empty = b"" if lxml else ""
        results.append((empty.join(calls), list(ws._hyperlinks), list(ws._comments)))
        if engine is None:
            assert which == "python"
    assert results[0] == results[1]
