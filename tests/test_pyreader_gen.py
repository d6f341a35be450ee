"""Generated worksheets: the Python reader never fails with anything but
the host's own errors, and the engine, where it reads a sheet, agrees with
it cell by cell."""

import io
import xml.parsers.expat

import pytest
from hypothesis import event, given, settings

from tavrinex import _native
from tavrinex.cell import Cell
from tavrinex.formula import TokenizerError, TranslatorError
from tavrinex.helpers import reader_helpers
from tavrinex.reader.worksheet import WorksheetParser
from conftest import EXAMPLES
from sheetgen import sheets

# What the host's own code raises on values it refuses.
HOST_ERRORS = (ValueError, IndexError, TokenizerError, TranslatorError, OverflowError)


def python_read(doc, options, shared, styles):
    parser = WorksheetParser(shared, **options)
    cells, actions = {}, []
    parser.parse(io.BytesIO(doc), "ws", cells, styles, Cell, reader_helpers(), actions)
    return cells, actions, parser.row_dimensions


def cell_facts(cells):
    return [(key, cell.row, cell.column, cell._value, type(cell._value).__name__,
             cell.data_type, None if cell._style is None else (type(cell._style), tuple(cell._style)))
            for key, cell in ((k, cells[k]) for k in list(cells))]


def outcome(read):
    try:
        return "ok", read()
    except HOST_ERRORS as exc:
        return "raised", (type(exc), str(exc))
    except TypeError as exc:
        # A style id of "" indexes the style list with a str.
        assert "indices must be integers" in str(exc), exc
        return "raised", (type(exc), str(exc))


@settings(max_examples=max(20, EXAMPLES // 2))
@given(sheets())
def test_generated_sheets_read_or_raise_host_errors(case):
    kind, result = outcome(lambda: python_read(*case))
    if kind == "ok":
        cells, actions, _ = result
        assert all(action[0] in ("element", "warn") for action in actions)
        assert all(type(cell) is Cell for cell in cells.values())


@settings(max_examples=max(20, EXAMPLES // 2))
@given(sheets(errors=False))
def test_generated_sheets_without_refused_values_read(case):
    cells, _, _ = python_read(*case)
    # A UTF-16 copy of the same document reads the same.
    doc, options, shared, styles = case
    text = doc.decode("utf-8")
    if text.startswith("<?xml"):
        text = text[text.index("?>") + 2:]
    again, _, _ = python_read(text.encode("utf-16"), options, shared, styles)
    assert cell_facts(again) == cell_facts(cells)


def native_read(doc, options, shared, styles):
    native = _native.native
    parser = WorksheetParser(shared, **options)
    store, actions = native.CellStore(), []
    native.bind_cells(io.BytesIO(doc), parser, "ws", store, styles, Cell, reader_helpers(),
                      actions)
    return cell_facts(store), actions, parser.row_dimensions


def check_agreement(case):
    try:
        native = outcome(lambda: native_read(*case))
    except _native.NativeFallback as fallback:
        event(f"engine declined: {str(fallback).split(':')[0]}")
        return  # the engine declines; read_worksheet reruns in Python
    python = outcome(lambda: python_read(*case))
    event(f"both {python[0]}" + (f" {python[1][0].__name__}" if python[0] == "raised" else ""))
    assert native[0] == python[0], (native, python)
    if python[0] == "raised":
        assert native == python
        return
    cells, actions, dims = python[1]
    native_cells, native_actions, native_dims = native[1]
    for got, expected in zip(native_cells, cell_facts(cells)):
        assert got == expected
    assert len(native_cells) == len(cells)
    assert native_actions == actions
    assert native_dims == dims


# The differential run: thousands of generated sheets at the default scale.
@pytest.mark.skipif(_native.native is None, reason="engine not built")
@settings(max_examples=max(20, EXAMPLES * 10))
@given(sheets(wide=0))
def test_engine_agrees_with_the_python_reader(case):
    check_agreement(case)


# Rows wider than the store's compact tier cost some 47,000 cells in each
# reader; they get a run of their own, where most sheets hold one or more.
@pytest.mark.skipif(_native.native is None, reason="engine not built")
@settings(max_examples=max(10, EXAMPLES // 5))
@given(sheets(wide=4))
def test_engine_agrees_on_rows_wider_than_the_compact_tier(case):
    event("wide row" if b"ZZZ" in case.doc else "no wide row")
    check_agreement(case)
