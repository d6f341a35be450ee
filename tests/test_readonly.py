"""The read-only worksheet: rows, gaps, extent and layout, on the engine
and the Python paths, and a decline in the middle of a pass."""

import io
import types
import warnings

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tavrinex import _native
from tavrinex.cell import EMPTY_CELL, ReadOnlyFormulaCell
from tavrinex.dimensions import RowDimension
from tavrinex.reader.readonly import ReadOnlyWorksheet, parse_dimension
from tavrinex.worksheet import Workbook
from conftest import EXAMPLES
from sheet_helpers import MAIN, CountingOpener, Opener, sheet
from sheetgen import sheets

native = _native.native
ENGINES = [pytest.param(None, id="python")]
if native is not None:
    ENGINES.insert(0, pytest.param(native, id="engine"))
needs_engine = pytest.mark.skipif(native is None, reason="engine not built")


def worksheet(data, engine, **options):
    wb = Workbook(shared_strings=["zero", "one", "two"])
    opener = Opener(data)
    return ReadOnlyWorksheet(wb, "Sheet", opener, engine=engine, **options), opener


BODY = ('<row r="2"><c r="A2"><v>1</v></c><c r="C2" t="s"><v>2</v></c></row>'
        '<row r="4" ht="30" customHeight="1"><c r="B4"><v>2.5</v></c></row>')
LAYOUT = ('<dimension ref="A1:D5"/><cols><col min="2" max="3" width="20" customWidth="1"/>'
          '</cols>')
MERGED = '<mergeCells count="1"><mergeCell ref="A2:B2"/></mergeCells>'


@pytest.fixture(params=ENGINES)
def engine(request):
    return request.param


class TestRows:
    def test_gaps_and_declared_extent(self, engine):
        ws, opener = worksheet(sheet(BODY, LAYOUT, MERGED), engine)
        assert list(ws.values) == [
            (None,) * 4, (1, None, "two", None), (None,) * 4, (None, 2.5, None, None),
            (None,) * 4]
        assert ws.reader_path == ("engine" if engine else "python")
        assert opener.all_closed

    def test_ranges(self, engine):
        ws, _ = worksheet(sheet(BODY), engine)
        rows = list(ws.iter_rows(min_row=2, max_row=3, min_col=2, max_col=3))
        assert [[c.value for c in row] for row in rows] == [[None, "two"], [None, None]]
        assert rows[1] == (EMPTY_CELL, EMPTY_CELL)
        assert rows[0][1].coordinate == "C2" and rows[0][1].parent is ws
        assert list(ws.iter_rows(min_row=4, values_only=True)) == [(None, 2.5)]
        assert list(ws.iter_rows(max_row=6, max_col=1, values_only=True)) == [
            (None,), (1,), (None,), (None,), (None,), (None,)]
        with pytest.raises(ValueError):
            ws.iter_rows(min_row=0)

    def test_rows_wider_than_the_dimension_are_kept(self, engine):
        ws, _ = worksheet(sheet('<row r="1"><c r="F1"><v>6</v></c></row>',
                                '<dimension ref="A1:B2"/>'), engine)
        assert list(ws.values) == [(None,) * 5 + (6,), (None, None)]

    def test_rows_out_of_order_are_skipped(self, engine):
        ws, _ = worksheet(sheet('<row r="3"><c><v>3</v></c></row><row r="1"><c><v>1</v></c></row>'
                                '<row r="4"><c><v>4</v></c></row>'), engine)
        assert list(ws.values) == [(), (), (3,), (4,)]

    def test_abandoned_pass_closes_its_source(self, engine):
        ws, opener = worksheet(sheet(BODY), engine)
        rows = ws.iter_rows(values_only=True)
        assert next(rows) == ()
        rows.close()
        assert opener.opened and opener.all_closed

    def test_formula_and_value(self, engine):
        data = sheet('<row r="1"><c r="A1"><f>1+1</f><v>2</v></c><c r="B1"><v>3</v></c></row>')
        ws, _ = worksheet(data, engine, formula_and_value=True, data_only=True)
        (a, b), = ws.rows
        assert type(a) is ReadOnlyFormulaCell
        assert (a.value, a.formula, a.cached_value) == ("=1+1", "=1+1", 2)
        assert (b.value, b.formula, b.cached_value) == (3, None, 3)

    def test_date_warnings(self, engine):
        data = sheet('<row r="1"><c r="A1" s="3"><v>1e300</v></c></row>')
        ws, _ = worksheet(data, engine, date_formats=(3,))
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert list(ws.values) == [("#VALUE!",)]
        assert len(caught) == 1 and "A1" in str(caught[0].message)


class TestExtentAndLayout:
    def test_layout_without_reading_cells(self, engine):
        # A shared-string index out of range would stop any read of the cells.
        body = BODY + '<row r="5"><c t="s"><v>99</v></c></row>'
        ws, opener = worksheet(sheet(body, LAYOUT, MERGED), engine)
        assert ws.merged_cells == ["A2:B2"]
        assert ws.column_dimensions == {"B": {"min": "2", "max": "3", "width": "20",
                                              "customWidth": "1"}}
        assert ws.row_dimensions == {4: RowDimension(ht="30", customHeight="1")}
        assert ws.row_dimensions[4].height == 30
        assert (ws.min_row, ws.max_row, ws.min_column, ws.max_column) == (1, 5, 1, 4)
        assert ws.calculate_dimension() == "A1:D5"
        assert len(opener.opened) == 1 and opener.all_closed
        with pytest.raises(IndexError):
            list(ws.rows)

    def test_extent_computed_without_a_dimension(self, engine):
        ws, _ = worksheet(sheet(BODY, after=MERGED), engine)
        assert (ws.min_row, ws.max_row, ws.min_column, ws.max_column) == (2, 4, 1, 3)
        assert ws.calculate_dimension() == "A2:C4"
        empty, _ = worksheet(sheet(""), engine)
        assert empty.calculate_dimension() == "A1:A1"

    def test_layout_when_the_engine_declines_the_prescan(self, engine):
        ws, _ = worksheet(sheet(BODY + "<!-- note -->", LAYOUT, MERGED), engine)
        assert ws.merged_cells == ["A2:B2"] and ws.max_column == 4
        assert 4 in ws.row_dimensions

    @pytest.mark.parametrize("ref, bounds", [
        ("A1:C9", (1, 1, 9, 3)), ("B2", (2, 2, 2, 2)), ("$A$1:$B$3", (1, 1, 3, 2)),
        ("", None), ("A0:B1", None), ("C1:A1", None), ("nonsense", None)])
    def test_dimension_texts(self, ref, bounds):
        assert parse_dimension(ref) == bounds


AFTER = (MERGED + '<hyperlinks><hyperlink ref="A2" display="x"/></hyperlinks>'
         '<pageMargins left="0.7" right="0.7" top="0.75" bottom="0.75"/>')
FORMAT = '<sheetFormatPr defaultRowHeight="15"/>'


def layout(ws):
    return (ws.merged_cells, ws.column_dimensions, ws.row_dimensions, ws.hyperlinks,
            ws.sheet_format, (ws.min_row, ws.min_column, ws.max_row, ws.max_column),
            ws.calculate_dimension())


class TestLayoutAndPasses:
    @pytest.mark.parametrize("moment", ["before", "first row", "middle", "after"])
    @pytest.mark.parametrize("before", [LAYOUT + FORMAT, FORMAT], ids=["declared", "undeclared"])
    def test_layout_is_the_same_whenever_asked(self, engine, moment, before):
        data = sheet(BODY + '<row r="7" hidden="1"><c r="E7"><v>9</v></c></row>', before, AFTER)
        expected_ws, _ = worksheet(data, engine)
        expected_layout = layout(expected_ws)
        expected_rows = list(expected_ws.values)
        assert expected_layout[0] == ["A2:B2"] and "7" in expected_layout[2]

        ws, opener = worksheet(data, engine)
        asked = {"before": 0, "first row": 1, "middle": 3, "after": len(expected_rows)}[moment]
        rows = ws.iter_rows(values_only=True)
        got = [next(rows) for _ in range(asked)]
        assert layout(ws) == expected_layout
        got.extend(rows)
        assert got == expected_rows
        assert layout(ws) == expected_layout
        assert list(ws.values) == expected_rows  # a second pass
        assert opener.all_closed

    def test_plain_iteration_reads_the_part_once(self, engine):
        body = "".join(f'<row r="{i}"><c r="A{i}"><v>{i}</v></c><c r="B{i}" t="s"><v>1</v>'
                       f'</c></row>' for i in range(1, 20001))
        data = sheet(body, LAYOUT, AFTER)
        assert len(data) > 10 * 65536
        opener = CountingOpener(data)
        ws = ReadOnlyWorksheet(Workbook(shared_strings=["zero", "one"]), "S", opener,
                               engine=engine)
        rows = list(ws.values)
        assert len(rows) == 20000 and rows[-1] == (20000, "one", None, None)
        # the declared width pads every row; the head was read, not the whole part twice
        assert opener.read_bytes < len(data) + 2 * 65536
        assert ws.merged_cells == ["A2:B2"]
        assert opener.read_bytes > 2 * len(data) - 65536
        assert opener.all_closed

    def test_a_dimension_after_the_cells_does_not_count(self, engine):
        data = sheet(BODY, "", '<dimension ref="A1:F9"/>' + MERGED)
        for layout_first in (False, True):
            ws, _ = worksheet(data, engine)
            if layout_first:
                assert ws.merged_cells == ["A2:B2"]
            assert list(ws.values) == [(), (1, None, "two"), (), (None, 2.5)]
            assert ws.calculate_dimension() == "A2:C4"
        ws, _ = worksheet(sheet(BODY, '<dimension ref="A1:B2"/>', '<dimension ref="A1:F9"/>'),
                          engine)
        assert ws.max_row == 2 and ws.max_column == 2
        assert len(list(ws.values)) == 4

    def test_a_broken_head_fails_the_pass(self, engine):
        data = b'<worksheet xmlns="%s"><dimension ref="A1:B2"></worksheet>' % MAIN.encode()
        ws, opener = worksheet(data, engine)
        with pytest.raises(Exception):
            list(ws.values)
        assert opener.all_closed


@settings(max_examples=max(20, EXAMPLES // 2))
@given(sheets(errors=False))
def test_generated_layout_agrees_before_and_after_iteration(case):
    doc, options, shared, _ = case
    epoch = options.pop("epoch")

    def read(layout_first):
        wb = Workbook(shared_strings=shared, epoch=epoch)
        ws = ReadOnlyWorksheet(wb, "S", Opener(doc), engine=native, **options)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                first = layout(ws) if layout_first else None
                rows = list(ws.values)
                return rows, layout(ws), first
            except Exception as exc:  # the host's own refusals, alike either way
                return type(exc), str(exc)

    early, late = read(True), read(False)
    if isinstance(early[0], list):
        assert early[2] == early[1]
        early = early[:2]
        late = late[:2]
    assert early == late


# -- a decline in the middle of a pass


class DecliningEngine(types.SimpleNamespace):
    """The engine, except that its RowReader declines on the call after
    `after` rows were handed out."""

    def __init__(self, after):
        def row_reader(source, parser, helpers):
            return _Declining(native.RowReader(source, parser, helpers), after)

        super().__init__(RowReader=row_reader, NativeFallback=native.NativeFallback,
                         prescan_sheet=native.prescan_sheet)


class _Declining:
    def __init__(self, reader, after):
        self.reader, self.left = reader, after

    @property
    def actions(self):
        return self.reader.actions

    def _step(self, call):
        if self.left == 0:
            raise native.NativeFallback("unsupported: forced")
        self.left -= 1
        return call()

    def next_row(self, *args):
        return self._step(lambda: self.reader.next_row(*args))

    def next_raw(self):
        return self._step(self.reader.next_raw)


@needs_engine
@pytest.mark.parametrize("after", [0, 1, 2, 3, 7])
def test_decline_mid_stream_neither_loses_nor_repeats_rows(after):
    body = "".join(f'<row r="{i}"><c r="A{i}" s="3"><v>{"1e300" if i % 2 else i}</v></c>'
                   f'<c r="B{i}"><v>{i}</v></c></row>' for i in (1, 2, 3, 5, 6))
    data = sheet(body)
    expected_ws, _ = worksheet(data, None, date_formats=(3,))
    with warnings.catch_warnings(record=True) as python_warnings:
        warnings.simplefilter("always")
        expected = list(expected_ws.values)
    ws, opener = worksheet(data, DecliningEngine(after), date_formats=(3,))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = list(ws.values)
    assert got == expected
    assert [str(w.message) for w in caught] == [str(w.message) for w in python_warnings]
    assert ws.reader_path == ("engine" if after >= 6 else "python")
    assert opener.all_closed
    # The rows as the readers hand them out, before gaps are filled.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        indices = [idx for idx, _ in ws._rows(1, None, True, None)]
    assert indices == [1, 2, 3, 5, 6]


@needs_engine
@settings(max_examples=max(20, EXAMPLES // 2))
@given(sheets(errors=False), st.integers(0, 4), st.sampled_from([None, 1, 3]),
       st.sampled_from([None, 2, 6]))
def test_paths_agree_on_generated_sheets(case, after, min_row, max_col):
    doc, options, shared, _ = case
    epoch = options.pop("epoch")
    if options["formula_and_value"] is False:
        options.pop("formula_and_value")

    def values(engine):
        wb = Workbook(shared_strings=shared, epoch=epoch)
        ws = ReadOnlyWorksheet(wb, "S", Opener(doc), engine=engine, **options)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                rows = list(ws.iter_rows(min_row=min_row, max_col=max_col, values_only=True))
            except Exception as exc:  # the host's own refusals, alike on both paths
                return type(exc), str(exc)
        return rows, [str(w.message) for w in caught]

    expected = values(None)
    assert values(native) == expected
    assert values(DecliningEngine(after)) == expected
