"""Generated worksheets read row by row: the engine's RowReader against the
Python row reader, call for call, and against bind_cells cell for cell."""

import io

import pytest
from hypothesis import event, given, settings
from hypothesis import strategies as st

from tavrinex import _native
from tavrinex.cell import Cell, EMPTY_CELL, ReadOnlyCell, ReadOnlyFormulaCell
from tavrinex.formula import TokenizerError, TranslatorError
from tavrinex.helpers import reader_helpers
from tavrinex.reader.rows import PyRowReader
from tavrinex.reader.worksheet import WorksheetParser
from conftest import EXAMPLES
from sheet_helpers import ChunkSource
from sheetgen import sheets

native = _native.native
pytestmark = pytest.mark.skipif(native is None, reason="engine not built")


class LinkedCell(ReadOnlyCell):
    __slots__ = ("_hyperlink", "_comment")


class LinkedFormulaCell(ReadOnlyFormulaCell):
    __slots__ = ("_hyperlink",)


def fact(item):
    """A comparable view of one row item: a value, or a cell's slots."""
    if isinstance(item, ReadOnlyCell):
        slots = [item.parent, item.row, item.column, item._value, type(item._value).__name__,
                 item.data_type, item._style_id]
        for name in ("formula", "cached_value", "_hyperlink", "_comment"):
            if hasattr(type(item), name):
                slots.append((name, getattr(item, name, "unset")))
        return (type(item).__name__, tuple(slots))
    return (type(item).__name__, item)


def run(reader_cls, doc, options, shared, read_size, calls):
    """The outcome of each call in `calls` on a fresh reader, then the
    actions and row dimensions. An exception ends the run."""
    parser = WorksheetParser(shared, **options)
    reader = reader_cls(ChunkSource(doc, read_size), parser, reader_helpers())
    results = []
    for call in calls:
        try:
            if call is None:
                got = reader.next_raw()
            else:
                got = reader.next_row("ws", *call)
        except _native.NativeFallback:
            raise
        except Exception as exc:  # host errors must match exactly
            results.append(("raised", type(exc), str(exc)))
            break
        if got is None:
            results.append(None)
            continue
        idx, row = got
        results.append((idx, [fact(item) for item in row]))
    return results, list(reader.actions), parser.row_dimensions


@st.composite
def call_plans(draw, formula_and_value):
    """next_row argument tuples (min_col, max_col, values_only, cell_cls,
    filler, extra_none), with None standing for a next_raw call."""
    base = ReadOnlyFormulaCell if formula_and_value else ReadOnlyCell
    linked = LinkedFormulaCell if formula_and_value else LinkedCell
    plan = []
    for _ in range(draw(st.integers(1, 12))):
        if draw(st.integers(0, 4)) == 0:
            plan.append(None)
            continue
        min_col = draw(st.sampled_from([1, 1, 2, 5, 0, -3]))
        max_col = draw(st.sampled_from([None, None, 0, 1, 3, 8, 30]))
        form = draw(st.sampled_from(["values", "cells", "extra"]))
        if form == "values":
            plan.append((min_col, max_col, True, base, None, None))
        elif form == "cells":
            plan.append((min_col, max_col, False, base, EMPTY_CELL, None))
        else:
            plan.append((min_col, max_col, False, linked, EMPTY_CELL, ["_hyperlink"]))
    plan.extend([None, None])  # past the end
    return plan


@settings(max_examples=max(30, EXAMPLES * 4))
@given(st.data(), sheets(markup=False) | sheets(), st.sampled_from([1, 7, 65536]))
def test_row_reader_agrees_with_the_python_path(data, case, read_size):
    doc, options, shared, _ = case
    calls = data.draw(call_plans(options["formula_and_value"]))
    if len(doc) > 20_000:
        read_size = max(read_size, 7)  # the very wide rows: one-byte reads add only time
    try:
        got = run(native.RowReader, doc, options, shared, read_size, calls)
    except _native.NativeFallback as fallback:
        event(f"engine declined: {str(fallback).split(':')[0]}")
        return
    expected = run(PyRowReader, doc, options, shared, 65536, calls)
    event("raised" if any(r and r[0] == "raised" for r in got[0]) else "read")
    assert got == expected


def store_cells(doc, options, shared, styles):
    parser = WorksheetParser(shared, **options)
    store = native.CellStore()
    native.bind_cells(io.BytesIO(doc), parser, "ws", store, styles, Cell, reader_helpers(), [])
    return {key: (store[key].value, store[key].data_type, tuple(store[key]._style))
            for key in list(store)}


def streamed_cells(doc, options, shared, styles):
    parser = WorksheetParser(shared, **options)
    reader = native.RowReader(io.BytesIO(doc), parser, reader_helpers())
    cells = {}
    while (got := reader.next_raw()) is not None:
        for row, column, value, data_type, style in got[1]:
            cells[(row, column)] = (value, data_type, tuple(styles[style]))
    return cells


@settings(max_examples=max(30, EXAMPLES * 3))
@given(sheets())
def test_row_reader_and_bind_cells_agree_on_every_cell(case):
    try:
        full = store_cells(*case)
    except _native.NativeFallback as fallback:
        event(f"engine declined: {str(fallback).split(':')[0]}")
        return
    except (ValueError, IndexError, TypeError, OverflowError, TokenizerError, TranslatorError):
        event("host refused a value")
        return
    event("read")
    assert streamed_cells(*case) == full
