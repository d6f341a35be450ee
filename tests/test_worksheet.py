"""Worksheet, the element handlers, and read_worksheet with its fallback."""

import io
import warnings

import pytest

import tavrinex
from tavrinex import _native
from tavrinex.cell import Cell
from tavrinex.dimensions import RowDimension
from tavrinex.reader import bind
from tavrinex.reader.bind import read_worksheet, replay
from tavrinex.reader.handlers import parse_snippet
from tavrinex.styles import StyleArray
from tavrinex.worksheet import Workbook, Worksheet
from test_pyreader import MAIN, document

SHEET = document(
    '<dimension ref="A1:C2"/><sheetFormatPr defaultRowHeight="15"/>'
    '<cols><col min="2" max="3" width="12"/><col min="x" max="1"/></cols>'
    '<sheetData><row r="1" ht="30" customHeight="1"><c r="A1" s="1"><v>1</v></c>'
    '<c r="C1" t="s"><v>0</v></c></row>'
    '<row r="2"><c r="B2" s="2"><v>1e20</v></c></row></sheetData>'
    '<mergeCells count="1"><mergeCell ref="A1:B1"/></mergeCells>'
    '<hyperlinks><hyperlink ref="A1" r:id="rId1"/></hyperlinks>'
    '<pageMargins left="0.7"/>', ' xmlns:r="urn:r"')


def workbook():
    return Workbook(["zero"], [StyleArray(), StyleArray((1,) * 9), StyleArray((0, 0, 0, 14) + (0,) * 5)])


def load(data=SHEET, **kw):
    ws = Worksheet(workbook())
    kw.setdefault("engine", None)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        read_worksheet(io.BytesIO(data), ws, date_formats=[2], **kw)
    return ws, [str(w.message) for w in caught]


def snapshot(ws):
    """Everything a read leaves on a worksheet, comparable across paths."""
    cells = []
    for key in list(ws._cells):
        cell = ws._cells[key]
        cells.append((key, cell.row, cell.column, cell._value, type(cell._value).__name__,
                      cell.data_type, None if cell._style is None else tuple(cell._style)))
    return (cells, ws.row_dimensions, ws.merged_cells, ws.column_dimensions, ws.hyperlinks,
            ws.sheet_format, ws._dimension, ws._raw_elements)


# -- read_worksheet

def test_python_read_end_to_end():
    ws, caught = load()
    assert type(ws._cells) is dict
    assert {k: (c._value, c.data_type) for k, c in ws._cells.items()} == {
        (1, 1): (1, "n"), (1, 3): ("zero", "s"), (2, 2): ("#VALUE!", "e")}
    assert ws._cells[(1, 1)].parent is ws
    assert ws.row_dimensions == {1: RowDimension(ht="30", customHeight="1")}
    assert ws.merged_cells == ["A1:B1"]
    assert ws.column_dimensions == {"B": {"min": "2", "max": "3", "width": "12"}}
    assert ws._dimension == "A1:C2"
    assert ws.sheet_format == {"defaultRowHeight": "15"}
    assert ws.hyperlinks == [{"ref": "A1", "{urn:r}id": "rId1"}]
    assert ws._raw_elements == [
        ("{%s}cols" % MAIN, b'<cols><col min="2" max="3" width="12"/><col min="x" max="1"/></cols>')]
    assert ws.page_margins.left == 0.7
    assert len(caught) == 1 and "B2" in caught[0]


class FakeStore(dict):
    pass


class FakeEngine:
    """Does some work, then declines (or not)."""

    class NativeFallback(Exception):
        pass

    def __init__(self, outcome=None):
        self.outcome = outcome
        self.stores = []

    def CellStore(self):
        store = FakeStore()
        self.stores.append(store)
        return store

    def bind_cells(self, source, parser, ws, store, cell_styles, cell_cls, helpers, actions):
        assert isinstance(parser.row_dimensions, dict)
        assert parser.data_only is False and parser.shared_strings == ["zero"]
        source.read(50)
        store[(9, 9)] = "partial"
        parser.row_dimensions["9"] = {"r": "9"}
        actions.append(("warn", "from the engine"))
        actions.append(("element", b"<dimension ref='Z9'/>", [("", MAIN)]))
        if self.outcome is not None:
            raise self.outcome


def test_fallback_discards_the_engine_work_and_reads_in_python():
    engine = FakeEngine(FakeEngine.NativeFallback("unsupported: not built yet"))
    ws, caught = load(engine=engine)
    assert len(engine.stores) == 1 and ws._cells is not engine.stores[0]
    assert snapshot(ws) == snapshot(load()[0])
    assert caught == load()[1]


def test_engine_result_is_kept_and_its_actions_replayed():
    engine = FakeEngine()
    ws, caught = load(engine=engine)
    assert ws._cells is engine.stores[0]
    assert ws.row_dimensions == {9: RowDimension()}
    assert ws._dimension == "Z9"
    assert caught == ["from the engine"]


def test_other_engine_errors_propagate():
    with pytest.raises(OSError):
        load(engine=FakeEngine(OSError("disk")))


def test_unseekable_sources_are_buffered_for_the_rerun():
    class Pipe(io.RawIOBase):
        def __init__(self, data):
            self.data = io.BytesIO(data)

        def readable(self):
            return True

        def readinto(self, b):
            chunk = self.data.read(len(b))
            b[:len(chunk)] = chunk
            return len(chunk)

    ws = Worksheet(workbook())
    engine = FakeEngine(FakeEngine.NativeFallback("x"))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        read_worksheet(Pipe(SHEET), ws, date_formats=[2], engine=engine)
    assert snapshot(ws) == snapshot(load()[0])


def test_replay_keeps_document_order(monkeypatch):
    seen = []
    monkeypatch.setattr(bind, "handle_element", lambda ws, b, ns: seen.append(b))
    monkeypatch.setattr(bind.warnings, "warn", lambda message: seen.append(message))
    replay(None, [("element", b"a", []), ("warn", "w1"), ("element", b"b", []), ("warn", "w2")])
    assert seen == [b"a", "w1", b"b", "w2"]
    with pytest.raises(ValueError):
        replay(None, [("shout", "x")])


@pytest.mark.skipif(_native.native is None, reason="engine not built")
def test_installed_engine_gives_the_python_result():
    native_ws, native_warnings = load(engine=_native.native)
    python_ws, python_warnings = load()
    assert snapshot(native_ws) == snapshot(python_ws)
    assert native_warnings == python_warnings


# -- element handlers

@pytest.mark.parametrize("snippet, namespaces, tag", [
    (b'<dimension ref="A1"/>', [("", MAIN)], "{%s}dimension" % MAIN),
    (b'<x:a xmlns:x="urn:x" r:id="1"/>', [("r", "urn:r")], "{urn:x}a"),
    (b"<plain/>", [], "plain"),
    (b"<a>&amp;</a>", [("", "urn:q\"<")], "{urn:q\"<}a"),
    (b"<a xml:space='preserve'/>", [("xml", "http://www.w3.org/XML/1998/namespace")], "a"),
])
def test_snippets_parse_in_their_namespaces(snippet, namespaces, tag):
    assert parse_snippet(snippet, namespaces).tag == tag


def test_unparseable_snippets_are_kept_raw():
    ws = Worksheet()
    replay(ws, [("element", b"<a>&undeclared;</a>", [])])
    assert ws._raw_elements == [(None, b"<a>&undeclared;</a>")]


# -- Worksheet

def test_cell_creates_missing_cells_once():
    ws = Worksheet()
    cell = ws.cell(3, 2)
    assert (cell.row, cell.column, cell.value, cell.data_type, cell._style) == (3, 2, None, "n", None)
    assert cell.parent is ws and ws.cell(3, 2) is cell
    assert ws.cell(3, 2, value=5).value == 5 and ws["B3"] is cell
    ws["B3"] = "=A1+1"
    assert cell.data_type == "f"
    with pytest.raises(ValueError):
        ws.cell(0, 1)


def test_extent_and_rows_on_a_dict():
    ws = Worksheet()
    assert (ws.min_row, ws.max_row, ws.min_column, ws.max_column) == (1, 1, 1, 1)
    ws.cell(2, 3, 7)
    ws.cell(4, 2, 8)
    assert (ws.min_row, ws.max_row, ws.min_column, ws.max_column) == (2, 4, 2, 3)
    assert list(ws.iter_rows(min_row=2, values_only=True)) == [(None, None, 7), (None, None, None),
                                                              (None, 8, None)]
    assert len(ws._cells) == 9  # rows 2 to 4 filled in over columns 1 to 3, row 1 untouched
    rows = ws["B2:C3"]
    assert [[c.coordinate for c in row] for row in rows] == [["B2", "C2"], ["B3", "C3"]]


@pytest.mark.parametrize("store", [False, True], ids=["dict", "store"])
def test_rows_and_columns_by_index(store):
    if store:
        _native_store_ready()
        ws = tavrinex.Workbook().active
        assert not isinstance(ws._cells, dict)
    else:
        ws = Worksheet()
    for r, c, v in [(2, 2, "b2"), (2, 4, 24), (3, 3, 33.5), (5, 2, True)]:
        ws.cell(r, c, v)

    def values(cells):
        return [c.value for c in cells]

    # Rows span the used columns (B to D), columns the used rows (2 to 5).
    assert values(ws[2]) == values(ws["2"]) == ["b2", None, 24]
    assert [values(row) for row in ws[2:3]] == [values(row) for row in ws["2:3"]] == [
        ["b2", None, 24], [None, 33.5, None]]
    assert [values(row) for row in ws[:]] == [
        list(r) for r in ws.iter_rows(min_row=2, min_col=2, values_only=True)]
    assert values(ws["B"]) == values(ws["b"]) == ["b2", None, None, True]
    assert [values(col) for col in ws["C:D"]] == [[None, 33.5, None, None], [24, None, None, None]]
    assert [c.coordinate for c in ws["D"]] == ["D2", "D3", "D4", "D5"]
    assert list(ws.iter_cols(min_col=3, max_col=4, min_row=2, max_row=3, values_only=True)) == [
        (None, 33.5), (24, None)]
    assert [tuple(values(col)) for col in ws.columns] == list(
        zip(*ws.iter_rows(min_col=1, values_only=True)))
    assert [values(row) for row in ws] == [list(r) for r in ws.iter_rows(values_only=True)]
    # Cells and ranges as before.
    assert ws["C3"].value == 33.5 and [values(r) for r in ws["B2:C2"]] == [["b2", None]]
    for bad, error in [(0, ValueError), (slice(1, 3, 2), ValueError), (1.0, TypeError),
                       (True, TypeError), ("0", ValueError), ("A0", ValueError)]:
        with pytest.raises(error):
            ws[bad]


def _native_store_ready():
    if _native.native is None:
        pytest.skip("engine not built")
    store = _native.native.CellStore()
    try:
        store._bounds()
    except _native.NativeFallback:
        pytest.skip("cell store not built yet")
    return store


def test_rows_through_the_engine_store():
    store = _native_store_ready()
    ws = Worksheet()
    ws._cells = store
    ws.cell(2, 3, 7)
    assert (ws.max_row, ws.max_column) == (2, 3)
    rows = list(ws.iter_rows(values_only=True))
    assert rows == [(None, None, None), (None, None, 7)]


def test_rows_follow_the_store_changing_mode_or_being_replaced_mid_iteration():
    _native_store_ready()
    ws, _ = load(engine=_native.native)
    assert not isinstance(ws._cells, dict) and not ws._cells._in_dict_mode()
    rows = ws.iter_rows(values_only=True)
    narrow = ws.iter_rows(max_col=2, values_only=True)
    assert next(rows) == (1, None, "zero") and next(narrow) == (1, None)
    ws._cells[(1, 1)] = "replaced"
    ws._cells["Z9"] = "odd key"  # the store becomes a dict underneath
    assert ws._cells._in_dict_mode()
    assert next(rows) == (None, "#VALUE!", None)
    ws._cells = {(2, 1): Cell(ws, row=2, column=1, value="new")}
    assert list(narrow) == [("new", None)]
    ws, _ = load(engine=_native.native)
    rows = ws.iter_rows(values_only=True)
    assert next(rows) == (1, None, "zero")
    ws._cells = {(2, 2): Cell(ws, row=2, column=2, value="from the dict")}
    assert list(rows) == [(None, "from the dict", None)]
