"""The worksheet writer's edge cases, for the engine's SheetWriter and the
package's Python writer alike: element shapes and escaping on both back
ends, the three ways of reading cells, row tags, dates under both epochs,
styles, the hand-over to the host's write_cell, buffering and flushing."""

import datetime
import io
import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

from sheet_helpers import cells, sheet
from tavrinex import _tavrinex as native
from tavrinex.cell import Cell
from tavrinex.dimensions import RowDimension, row_dimensions_from
from tavrinex.helpers import writer_helpers
from tavrinex.reader.bind import read_worksheet
from tavrinex.styles import StyleArray, StyleList
from tavrinex.utils.cell import get_column_letter
from tavrinex.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH
from tavrinex.worksheet import Workbook, Worksheet
from tavrinex.writer import SheetDataStream, rows, write_rows, write_sheet_data
from tavrinex.writer.rows import FLUSH_THRESHOLD
from tavrinex.writer.values import date_serial, safe_string

WRITERS = ["engine", "python"]


def engine_write(ws, write, lxml, helpers=None):
    writer = native.SheetWriter(ws, write, lxml, helpers or writer_helpers(lxml=lxml))
    writer.write_sheet_data(lambda: rows(ws))


def written(ws, how, lxml):
    calls = []
    if how == "engine":
        engine_write(ws, calls.append, lxml)
    else:
        write_rows(ws, calls.append, lxml)
    joined = (b"" if lxml else "").join(calls)
    return joined.decode("ascii") if lxml else joined


def one_cell(value=None, data_type=None, style=None, epoch=WINDOWS_EPOCH, iso=False, **slots):
    ws = Worksheet(Workbook(epoch=epoch, iso_dates=iso,
                            cell_styles=[StyleArray(), StyleArray([1] * 9), StyleArray([2] * 9),
                                         StyleArray([3] * 9)]))
    cell = Cell(ws, row=1, column=1)
    cell.value = value
    if data_type is not None:
        cell.data_type = data_type
    cell._style = style
    for name, v in slots.items():
        setattr(cell, name, v)
    ws._cells[(1, 1)] = cell
    return ws


def cell_xml(how, lxml, **kw):
    out = written(one_cell(**kw), how, lxml)
    assert out.startswith('<sheetData><row r="1">') and out.endswith("</row></sheetData>")
    return out[len('<sheetData><row r="1">'):-len("</row></sheetData>")]


# -- element shapes and escaping


@pytest.mark.parametrize("how", WRITERS)
@pytest.mark.parametrize("kw, etree, lxml", [
    ({"value": 1.5}, '<c r="A1" t="n"><v>1.5</v></c>', '<c r="A1" t="n"><v>1.5</v></c>'),
    ({"value": "a b"}, '<c r="A1" t="inlineStr"><is><t>a b</t></is></c>', None),
    ({"value": " a"}, '<c r="A1" t="inlineStr"><is><t xml:space="preserve"> a</t></is></c>', None),
    ({"value": "=SUM(A1)"}, '<c r="A1"><f>SUM(A1)</f><v /></c>',
     '<c r="A1"><f>SUM(A1)</f><v></v></c>'),
    ({"value": None, "style": StyleArray([3] * 9)}, '<c r="A1" s="3" t="n" />',
     '<c r="A1" s="3" t="n"></c>'),
    ({"value": True}, '<c r="A1" t="b"><v>1</v></c>', None),
    ({"value": "=", "data_type": "f"}, '<c r="A1"><f /><v /></c>', '<c r="A1"><f></f><v></v></c>'),
    ({"value": "   "}, '<c r="A1" t="inlineStr"><is><t>   </t></is></c>',
     '<c r="A1" t="inlineStr"><is><t xml:space="preserve">   </t></is></c>'),
    ({"value": "\u00e9\U0001F600"}, '<c r="A1" t="inlineStr"><is><t>\u00e9\U0001F600</t></is></c>',
     '<c r="A1" t="inlineStr"><is><t>&#233;&#128512;</t></is></c>'),
    ({"value": float("nan")}, '<c r="A1" t="n"><v /></c>', '<c r="A1" t="n"><v></v></c>'),
    ({"value": "a&<>\"'\r\n\tb"}, '<c r="A1" t="inlineStr"><is><t>a&amp;&lt;&gt;"\'\r\n\tb</t></is></c>',
     '<c r="A1" t="inlineStr"><is><t>a&amp;&lt;&gt;"\'&#13;\n\tb</t></is></c>'),
    ({"value": "", "data_type": "s"}, '<c r="A1" t="inlineStr" />', '<c r="A1" t="inlineStr"></c>'),
    ({"value": -0.0}, '<c r="A1" t="n"><v>-0</v></c>', None),
    ({"value": 2 ** 53 + 1}, '<c r="A1" t="n"><v>9007199254740992</v></c>', None),
    ({"value": "x", "data_type": 'a"b\t'}, '<c r="A1" t="a&quot;b&#09;"><v>x</v></c>',
     '<c r="A1" t="a&quot;b&#9;"><v>x</v></c>'),
])
def test_element_shapes(how, kw, etree, lxml):
    assert cell_xml(how, False, **kw) == etree
    assert cell_xml(how, True, **kw) == (lxml if lxml is not None else etree)


@pytest.mark.parametrize("how", WRITERS)
def test_styled_empty_cells(how):
    ws = Worksheet()
    a = ws.cell(1, 1)
    a._style = StyleArray()  # all zero: left out
    b = ws.cell(1, 2)
    b._style = StyleArray([0, 0, 0, 5, 0, 0, 0, 0, 0])
    out = written(ws, how, False)
    assert out == '<sheetData><row r="1"><c r="B1" s="1" t="n" /></row></sheetData>'
    assert list(ws.parent._cell_styles[1]) == [0, 0, 0, 5, 0, 0, 0, 0, 0]


@pytest.mark.parametrize("how", WRITERS)
@pytest.mark.parametrize("epoch, value, expected", [
    (WINDOWS_EPOCH, datetime.datetime(1900, 2, 28), "59"),
    (WINDOWS_EPOCH, datetime.datetime(1900, 3, 1), "61"),
    (WINDOWS_EPOCH, datetime.datetime(1900, 1, 1, 12), "1.5"),
    (WINDOWS_EPOCH, datetime.datetime(1899, 12, 29, 18), "-0.25"),
    (MAC_EPOCH, datetime.datetime(1904, 2, 28), "58"),
    (MAC_EPOCH, datetime.datetime(1904, 3, 1), "60"),
    (WINDOWS_EPOCH, datetime.time(6, 0), "0.25"),
    (WINDOWS_EPOCH, datetime.timedelta(days=1, hours=12), "1.5"),
])
def test_dates(how, epoch, value, expected):
    assert cell_xml(how, False, value=value, epoch=epoch) == (
        f'<c r="A1" t="n"><v>{expected}</v></c>')


@pytest.mark.parametrize("how", WRITERS)
def test_iso_dates_keep_d(how):
    out = cell_xml(how, False, value=datetime.datetime(2024, 1, 2, 3, 4, 5), iso=True)
    assert out == '<c r="A1" t="d"><v>2024-01-02T03:04:05</v></c>'


@pytest.mark.parametrize("lxml", [True, False])
def test_control_character_goes_to_write_cell_and_hyperlink_is_appended_once(lxml):
    ws = one_cell(value="a\x01b", _hyperlink="http://x")
    helpers = writer_helpers(lxml=lxml)
    calls = []

    def counting(ws_, cell, styled):
        calls.append((cell.coordinate, styled))
        return helpers_write_cell(ws_, cell, styled)

    helpers_write_cell = helpers["write_cell"]
    helpers["write_cell"] = counting
    out = []
    engine_write(ws, out.append, lxml, helpers)
    assert calls == [("A1", False)]
    assert ws._hyperlinks == ["http://x"]
    joined = (b"" if lxml else "").join(out)
    assert (b"a_x0001_b" if lxml else "a_x0001_b") in joined


def test_native_cells_append_their_hyperlink():
    ws = one_cell(value="plain", _hyperlink="http://x")
    engine_write(ws, [].append, True)
    assert ws._hyperlinks == ["http://x"]


@pytest.mark.parametrize("how", WRITERS)
def test_comments_are_recorded_and_keep_an_empty_cell(how):
    assert cell_xml(how, False, value=None, _comment="note") == '<c r="A1" t="n" />'
    assert cell_xml(how, False, value=None, _comment="") == ""  # a false comment: left out
    ws = one_cell(value=None, _comment="note")
    written(ws, how, True)
    assert ws._comments == [(1, 1, "note")]


def test_lone_surrogate_result_is_passed_to_write_as_itself():
    ws = one_cell(value="x\ud800y")
    calls = []
    engine_write(ws, calls.append, False)
    assert calls[0] == '<sheetData><row r="1">'
    assert calls[1] == '<c r="A1" t="inlineStr"><is><t>x\ud800y</t></is></c>'
    assert calls[2:] == ["</row></sheetData>"]
    assert written(ws, "python", False) == "".join(calls)


def test_lxml_escapes_lone_surrogates():
    ws = one_cell(value="x\ud800y")
    assert written(ws, "engine", True) == written(ws, "python", True)
    assert "x_xD800_y" in written(ws, "engine", True)


# -- rows and row tags


@pytest.mark.parametrize("how", WRITERS)
@pytest.mark.parametrize("lxml", [True, False])
def test_row_dimension_only_row(how, lxml):
    ws = Worksheet()
    ws.cell(3, 1, 1)
    ws.row_dimensions = {5: RowDimension(ht=15, customHeight=True), 3: {"hidden": "1"}}
    out = written(ws, how, lxml)
    assert out == ('<sheetData><row r="3" hidden="1"><c r="A3" t="n"><v>1</v></c></row>'
                   '<row r="5" ht="15" customHeight="1"></row></sheetData>')


@pytest.mark.parametrize("how", WRITERS)
def test_row_attribute_escaping(how):
    ws = Worksheet()
    ws.row_dimensions = {1: {"ht": "a\tb\"<\u00e9", "r": "7"}}
    assert written(ws, how, True) == '<sheetData><row r="7" ht="a&#9;b&quot;&lt;&#233;"></row></sheetData>'
    assert written(ws, how, False) == '<sheetData><row r="7" ht="a&#09;b&quot;&lt;\u00e9"></row></sheetData>'


@pytest.mark.parametrize("how", WRITERS)
@pytest.mark.parametrize("dims, error", [({1: {"ht": 5}}, TypeError),
                                         ({1: {"{urn:x}a": "1"}}, ValueError),
                                         ({1: {"ht": "a\x02"}}, ValueError)])
def test_unwritable_row_attributes_are_refused(how, dims, error):
    ws = Worksheet()
    ws.row_dimensions = dims
    with pytest.raises(error):
        written(ws, how, True)


def test_empty_store_is_one_write():
    for lxml, expected in ((True, b"<sheetData></sheetData>"), (False, "<sheetData></sheetData>")):
        ws = Worksheet()
        ws._cells = native.CellStore()
        calls = []
        engine_write(ws, calls.append, lxml)
        assert calls == [expected]


def test_dict_with_odd_key_uses_rows_fallback():
    ws = Worksheet()
    ws.cell(2, 1, "b")
    ws._cells["odd"] = Cell(ws, row=1, column=1, value="a")
    called = []

    def fallback():
        called.append(True)
        return rows(ws)

    calls = []
    native.SheetWriter(ws, calls.append, False, writer_helpers(lxml=False)).write_sheet_data(
        fallback)
    assert called == [True]
    assert "".join(calls) == ('<sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>a</t></is></c>'
                              '</row><row r="2"><c r="A2" t="inlineStr"><is><t>b</t></is></c>'
                              '</row></sheetData>')


def test_store_with_text_row_dimension_keys_is_declined_cleanly():
    ws = Worksheet()
    read_worksheet(io.BytesIO(sheet('<row r="2" ht="9"><c r="A2"><v>1</v></c></row>')), ws)
    assert type(ws._cells) is native.CellStore and ws.row_dimensions == {2: RowDimension(ht="9")}
    ws.row_dimensions = {"2": {"r": "2", "ht": "9"}}   # keyed by text: the engine declines
    calls = []
    writer = native.SheetWriter(ws, calls.append, True, writer_helpers())
    with pytest.raises(native.NativeFallback, match="row dimension keys"):
        writer.write_sheet_data(lambda: rows(ws))
    assert calls == []
    ws.row_dimensions = row_dimensions_from(ws.row_dimensions)
    writer.write_sheet_data(lambda: rows(ws))
    assert calls == [b'<sheetData><row r="2" ht="9"><c r="A2" t="n"><v>1</v></c></row></sheetData>']
    # The package entry point reruns a declined sheet in Python.
    ws.row_dimensions = {"2": {"ht": "9"}}
    out = []
    assert write_sheet_data(ws, out.append) == "python"
    assert out == [b'<sheetData><row r="2" ht="9"><c r="A2" t="n"><v>1</v></c></row></sheetData>']


def test_store_in_dict_mode_takes_the_rows_path():
    ws = Worksheet()
    read_worksheet(io.BytesIO(sheet('<row r="1"><c r="A1"><v>1</v></c></row>')), ws)
    ws._cells[(-1, 1)] = Cell(ws, row=-1, column=1, value="minus")  # not a native key
    assert ws._cells._in_dict_mode()
    assert written(ws, "engine", False) == written(ws, "python", False)
    assert written(ws, "engine", False).startswith('<sheetData><row r="-1">')


def test_store_cells_written_natively_stay_compact():
    data = sheet('<row r="1"><c r="A1"><v>1</v></c><c r="B1" t="inlineStr"><is><t>x</t></is></c>'
                 '<c r="C1"><f>A1+1</f><v>2</v></c><c r="D1" s="2"/></row>')
    ws = Worksheet(Workbook(cell_styles=[StyleArray([i] * 9) for i in range(4)]))
    read_worksheet(io.BytesIO(data), ws)
    out = written(ws, "engine", True)
    assert out == ('<sheetData><row r="1"><c r="A1" t="n"><v>1</v></c>'
                   '<c r="B1" t="inlineStr"><is><t>x</t></is></c><c r="C1"><f>A1+1</f><v>2</v></c>'
                   '<c r="D1" s="2" t="n"></c></row></sheetData>')
    assert ws._cells._stats()[1] == 0  # no cell was materialised
    assert out == written(ws, "python", True)


# -- buffering, write_row and flush


class Recorder:
    def __init__(self):
        self.calls = []

    def __call__(self, chunk):
        self.calls.append(chunk)


def stream_writer(ws=None, lxml=True, write=None):
    ws = ws or Worksheet()
    write = write or Recorder()
    return ws, write, native.SheetWriter(ws, write, lxml, writer_helpers(lxml=lxml))


def test_write_row_waits_for_flush():
    ws, write, writer = stream_writer()
    writer.write_row([], 5)
    assert write.calls == []
    writer.flush()
    assert write.calls == [b'<row r="5"></row>']
    writer.flush()
    assert len(write.calls) == 1


def test_write_row_dimension_attributes_follow_r():
    ws, write, writer = stream_writer(lxml=False)
    ws.row_dimensions = {3: [("outlineLevel", "1"), ("hidden", "1")]}
    writer.write_row([Cell(ws, row=3, column=2, value=7)], 3)
    writer.flush()
    assert write.calls == ['<row r="3" outlineLevel="1" hidden="1"><c r="B3" t="n"><v>7</v></c></row>']


def test_write_row_index_out_of_range_appends_nothing():
    ws, write, writer = stream_writer()
    with pytest.raises(OverflowError):
        writer.write_row([], 2 ** 63)
    with pytest.raises(TypeError, match="row_idx"):
        writer.write_row([], "1")
    writer.flush()
    assert write.calls == []


def test_write_row_accepts_index_objects():
    class Index:
        def __index__(self):
            return 4

    ws, write, writer = stream_writer()
    writer.write_row([], Index())
    writer.flush()
    assert write.calls == [b'<row r="4"></row>']


def big_row(ws, row, size):
    """A row whose written form is `size` bytes long."""
    empty = len(f'<row r="{row}"><c r="A{row}" t="inlineStr"><is><t></t></is></c></row>')
    return [Cell(ws, row=row, column=1, value="x" * (size - empty))]


@pytest.mark.parametrize("how", WRITERS)
def test_threshold_crossing_hands_over_all_rows_once(how):
    ws = Worksheet()
    write = Recorder()
    stream = SheetDataStream(ws, write, engine=native if how == "engine" else None)
    stream.append(big_row(ws, 1, FLUSH_THRESHOLD - 1), 1)
    assert write.calls == []
    stream.append([], 2)
    assert len(write.calls) == 1 and len(write.calls[0]) == FLUSH_THRESHOLD - 1 + 17
    stream.append([], 3)
    assert len(write.calls) == 1
    stream.close()
    assert write.calls[1] == b'<row r="3"></row>'


def test_sheet_data_is_written_in_whole_rows():
    ws = Worksheet()
    for r in range(1, 5):
        ws._cells[(r, 1)] = big_row(ws, r, FLUSH_THRESHOLD // 3)[0]
    write = Recorder()
    engine_write(ws, write, True)
    assert [len(c) for c in write.calls][0] >= FLUSH_THRESHOLD
    for chunk in write.calls[:-1]:
        assert chunk.endswith(b"</row>")
    assert len(write.calls) == 2


def test_failed_write_keeps_the_buffer():
    attempts = []

    def flaky(chunk):
        attempts.append(chunk)
        if len(attempts) == 1:
            raise OSError("disk full")

    ws, _, writer = stream_writer(write=flaky)
    writer.write_row([], 1)
    with pytest.raises(OSError):
        writer.flush()
    writer.flush()
    assert attempts == [b'<row r="1"></row>', b'<row r="1"></row>']


def test_reentrant_calls_are_refused():
    holder = {}

    def write(chunk):
        holder["writer"].flush()

    ws, _, writer = stream_writer(write=write)
    holder["writer"] = writer
    writer.write_row([], 1)
    with pytest.raises(RuntimeError, match="Already borrowed"):
        writer.flush()

    helpers = writer_helpers()
    helpers["add_comment"] = lambda ws_, cell: writer2.write_row([], 9)
    ws2 = Worksheet()
    writer2 = native.SheetWriter(ws2, Recorder(), True, helpers)
    cell = Cell(ws2, row=1, column=1, value=1)
    cell._comment = "c"
    with pytest.raises(RuntimeError, match="Already borrowed"):
        writer2.write_row([cell], 1)


def test_construction_checks():
    ws = Worksheet()
    helpers = writer_helpers()
    del helpers["date_value"]
    with pytest.raises(TypeError, match="missing helper date_value"):
        native.SheetWriter(ws, print, True, helpers)
    with pytest.raises(TypeError, match="lxml"):
        native.SheetWriter(ws, print, 1, writer_helpers())
    ws.parent.iso_dates = 1
    with pytest.raises(TypeError, match="iso_dates"):
        native.SheetWriter(ws, print, True, writer_helpers())


# -- round trip


ROUND_TRIP = sheet(
    '<row r="1"><c r="A1"><v>42</v></c><c r="B1" t="s"><v>2</v></c>'
    '<c r="C1" t="inlineStr"><is><t> sp ace </t></is></c><c r="D1" t="b"><v>1</v></c>'
    '<c r="E1" t="e"><v>#N/A</v></c><c r="F1" s="7"><v>45000.75</v></c>'
    '<c r="G1"><f>SUM(A1:B1)</f><v>3</v></c><c r="H1" t="str"><v>caf\u00e9 &amp; &lt;</v></c></row>'
    '<row r="2" ht="20" customHeight="1"><c r="A2"><f t="shared" ref="A2:C2" si="0">A1*2</f></c>'
    '<c r="B2"><f t="shared" si="0"/></c><c r="C2"><f t="shared" si="0"/></c>'
    '<c r="ZZZ2"><v>-1.5e-07</v></c></row>'
    '<row r="4"><c r="B4" s="3"/><c r="C4" t="d" s="7"><v>2024-01-02T03:04:05</v></c></row>')


@pytest.mark.parametrize("lxml", [True, False])
def test_round_trip_through_bind_cells(lxml):
    def read(data):
        ws = Worksheet(Workbook(shared_strings=["zero", "one", "two"],
                                cell_styles=[StyleArray([i] * 9) for i in range(8)]))
        read_worksheet(io.BytesIO(data), ws, date_formats=[7])
        assert type(ws._cells) is native.CellStore
        ws.row_dimensions = row_dimensions_from(ws.row_dimensions)
        return ws

    first = read(ROUND_TRIP)
    calls = []
    engine_write(first, calls.append, lxml)
    body = b"".join(calls) if lxml else "".join(calls).encode()
    data = (b'<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
            + body + b"</worksheet>")
    again = read(data)
    assert cells(again._cells) == cells(first._cells)
    assert again.row_dimensions == first.row_dimensions


round_trip_values = st.one_of(
    st.integers(-2 ** 53, 2 ** 53), st.booleans(),
    # Whole floats come back as ints; every other double keeps every digit.
    st.floats(allow_nan=False, allow_infinity=False).filter(lambda x: not x.is_integer()),
    st.text(st.characters(codec="utf-8", exclude_categories=["Cs", "Cc"]), min_size=1,
            max_size=8).filter(lambda s: not s.startswith("=") and not s.startswith("#")))


@given(st.dictionaries(st.tuples(st.integers(1, 50), st.integers(1, 18278)), round_trip_values,
                       max_size=10), st.booleans(), st.sampled_from(WRITERS))
def test_round_trip_of_values(values, lxml, how):
    ws = Worksheet()
    for (r, c), v in values.items():
        ws.cell(r, c, v)
    body = written(ws, how, lxml).encode()
    again = Worksheet()
    read_worksheet(io.BytesIO(b'<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml'
                              b'/2006/main">' + body + b"</worksheet>"), again)
    got = {key: again._cells[key].value for key in again._cells}
    assert got == {key: v for key, v in values.items()}
    assert all(type(got[k]) is type(v) for k, v in values.items())


# -- the host's pieces


def test_style_list_gives_one_id_per_distinct_array():
    styles = StyleList([StyleArray(), StyleArray([1] * 9), StyleArray([1] * 9)])
    assert styles.add(StyleArray([1] * 9)) == 1
    assert styles.add([2] * 9) == 3 and len(styles) == 4
    assert styles.add(StyleArray([2] * 9)) == 3
    styles.append(StyleArray([5] * 9))
    assert styles.add(StyleArray([5] * 9)) == 4
    styles[0] = StyleArray([6] * 9)
    assert styles.add(StyleArray()) == 5
    styles.sort(key=lambda a: -a[0])
    assert styles.add([6] * 9) == 0 and list(styles[styles.add([0] * 9)]) == [0] * 9
    del styles[:]
    assert styles.add([6] * 9) == 0 and len(styles) == 1
    assert Workbook(cell_styles=[StyleArray()])._cell_styles == [StyleArray()]


def test_row_dimension_yields_set_attributes_in_fixed_order():
    dim = RowDimension(hidden=True, ht=15.5, s=2)
    assert list(dim) == [("s", "2"), ("ht", "15.5"), ("hidden", "1")]
    attrs = {"r": "4"}
    attrs.update(dim)
    assert list(attrs) == ["r", "s", "ht", "hidden"]
    with pytest.raises(TypeError):
        RowDimension(width=3)
    assert row_dimensions_from({"3": {"r": "3", "ht": "9", "{urn:x}y": "1"}}) == {
        3: RowDimension(ht="9")}


@pytest.mark.parametrize("value, text", [
    (1.5, "1.5"), (True, "1"), (2 ** 53, "9007199254740992"), (2 ** 53 + 2, "9007199254740994"),
    (10 ** 16, "1e+16"), (-0.0, "-0"), (float("inf"), ""), (10 ** 400, "1" + "0" * 400),
    (1.5e-7, "1.5e-07"), ("x", "x")])
def test_safe_string(value, text):
    assert safe_string(value) == text


def test_date_serial_counts_whole_days_and_keeps_the_time_of_day():
    epoch = datetime.datetime(1950, 1, 1, 18)
    # Floor of the distance to the epoch, plus the value's own time of day.
    assert date_serial(datetime.datetime(1950, 1, 2, 6), epoch) == 0.25
    assert date_serial(datetime.date(1904, 1, 2), MAC_EPOCH) == 1
    with pytest.raises(TypeError, match="timezone"):
        date_serial(datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc), WINDOWS_EPOCH)


def test_without_lxml_the_package_writes_with_elementtree(monkeypatch):
    from tavrinex.writer import backends
    monkeypatch.setattr(backends, "_lxml", None)
    ws = Worksheet()
    ws.cell(1, 1, "\u00e9")
    out = []
    write_sheet_data(ws, out.append, lxml=True)
    assert out == ['<sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>\u00e9</t></is></c></row>'
                   '</sheetData>']
    assert isinstance(writer_helpers(lxml=True)["write_cell"](ws, ws.cell(1, 1), False), str)


class DecliningEngine:
    """An engine whose writer hands over part of the output, records a
    hyperlink, then declines."""

    class NativeFallback(Exception):
        pass

    def __init__(self, prefix):
        self.prefix = prefix
        engine = self

        class SheetWriter:
            def __init__(self, ws, write, lxml, helpers):
                self.ws, self.write = ws, write

            def write_sheet_data(self, rows_fallback):
                self.write(engine.prefix)
                self.ws._hyperlinks.append("stray")
                raise engine.NativeFallback("declined")

        self.SheetWriter = SheetWriter


@pytest.mark.parametrize("lxml", [True, False])
def test_a_decline_after_output_goes_on_from_there(lxml):
    def make():
        ws = Worksheet()
        ws.cell(1, 1, "first")
        ws.cell(2, 1, "second")._hyperlink = "http://x"
        return ws

    expected = written(make(), "python", lxml)
    if lxml:
        expected = expected.encode()
    calls = []
    ws = make()
    assert write_sheet_data(ws, calls.append, lxml=lxml,
                            engine=DecliningEngine(expected[:20])) == "python"
    assert (b"" if lxml else "").join(calls) == expected
    assert ws._hyperlinks == ["http://x"]


# -- dates through the host's helpers, and where they stay native

DAY = datetime.datetime(2024, 1, 2, 12)


def _dated_sheet(path):
    """(worksheet, writes it as the path does) with one date cell at A1."""
    if path in ("dict", "rows"):
        ws = one_cell(value=DAY)
        if path == "rows":
            ws._cells["odd"] = ws._cells.pop((1, 1))  # keys that send the writer to rows
        return ws, lambda writer: writer.write_sheet_data(lambda: rows(ws))
    if path == "write_row":
        ws = Worksheet()
        cell = Cell(ws, row=1, column=1, value=DAY)
        return ws, lambda writer: (writer.write_row([cell], 1), writer.flush())
    ws = Worksheet()
    if path == "store ISO date":        # a value the loader made: kind 12
        read_worksheet(io.BytesIO(sheet('<row r="1"><c r="A1" t="d"><v>2024-01-02T12:00:00</v>'
                                        '</c></row>')), ws)
    elif path == "store cell":          # a host cell held by the store: kind 1
        read_worksheet(io.BytesIO(sheet('<row r="1"><c r="A1" t="d"><v>2024-01-02T12:00:00</v>'
                                        '</c></row>')), ws)
        ws._cells[(1, 1)].value = DAY
    elif path == "store serial":        # a serial the loader kept: kind 11
        ws.parent._cell_styles.append(StyleArray([0, 0, 0, 14, 0, 0, 0, 0, 0]))
        read_worksheet(io.BytesIO(sheet('<row r="1"><c r="A1" s="1"><v>45293.5</v></c></row>')),
                       ws, date_formats=[1])
    else:                               # appended to a new sheet
        import tavrinex
        ws = tavrinex.Workbook().active
        ws.append((DAY,))   # a host cell: the first date gives its type a style
        ws.append((DAY,))   # the date itself, in A2
    assert type(ws._cells) is native.CellStore
    return ws, lambda writer: writer.write_sheet_data(lambda: rows(ws))


HELPER_PATHS = {"dict": "date_value", "rows": "date_value", "write_row": "date_value",
                "store cell": "date_value", "store ISO date": "date_value_raw"}
NATIVE_PATHS = ["store serial", "appended"]


def _write_dated(path, result):
    ws, write = _dated_sheet(path)
    helpers = writer_helpers(lxml=False)
    seen = []

    def answer(ws_, cell_or_value):
        seen.append(cell_or_value)
        return result

    helpers["date_value"] = helpers["date_value_raw"] = answer
    out = []
    write(native.SheetWriter(ws, out.append, False, helpers))
    return "".join(out), seen


@pytest.mark.parametrize("path", sorted(HELPER_PATHS))
def test_dates_of_host_cells_and_loaded_values_go_through_the_helper(path):
    out, seen = _write_dated(path, ("from the host", True))
    assert '<c r="A1" t="d"><v>from the host</v></c>' in out
    assert len(seen) == 1
    if HELPER_PATHS[path] == "date_value":
        assert isinstance(seen[0], Cell) and seen[0].value == DAY
    else:
        assert seen[0] == DAY


@pytest.mark.parametrize("path", sorted(HELPER_PATHS))
@pytest.mark.parametrize("result, error, message", [
    ([45293.5, False], TypeError, "cannot unpack non-iterable list object"),
    (None, TypeError, "cannot unpack non-iterable NoneType object"),
    ((45293.5,), ValueError, r"not enough values to unpack \(expected 2, got 1\)"),
    ((1, False, 2), ValueError, r"too many values to unpack \(expected 2\)"),
    ((45293.5, 0), TypeError, "keep_d must be bool, not int"),
])
def test_date_helper_results_are_checked(path, result, error, message):
    with pytest.raises(error, match=message):
        _write_dated(path, result)


@pytest.mark.parametrize("path", NATIVE_PATHS)
def test_stored_serials_and_appended_dates_stay_native(path):
    out, seen = _write_dated(path, ("unused", True))
    if path == "appended":
        assert len(seen) == 1 and seen[0].coordinate == "A1"
        assert '<c r="A2" s="1" t="n"><v>45293.5</v></c>' in out
    else:
        assert seen == []
        assert '<c r="A1" s="1" t="n"><v>45293.5</v></c>' in out


def test_write_values_converts_dates_natively():
    ws, write, writer = stream_writer(lxml=False)
    helpers_called = []
    writer = native.SheetWriter(ws, write, False, dict(
        writer_helpers(lxml=False), date_value=lambda *a: helpers_called.append(a)))
    writer.write_values((DAY,), 1, {datetime.datetime: StyleArray([0, 0, 0, 14, 0, 0, 0, 0, 0])},
                        ws._new_cell)
    writer.flush()
    assert helpers_called == []
    assert write.calls == ['<row r="1"><c r="A1" s="1" t="n"><v>45293.5</v></c></row>']


# -- a tuple is one argument: styles and row dimensions given as tuples

TUPLE_STYLE = (0, 0, 0, 0, 0, 0, 0, 0, 1)
TUPLE_DIM = (("ht", "15"),)


@pytest.mark.parametrize("path", ["dict", "rows", "store", "write_row", "write_values"])
def test_tuple_styles_and_dimensions_are_passed_whole(path):
    ws = Worksheet()
    value, cell_text = 5, '<v>5</v>'
    if path == "store":
        read_worksheet(io.BytesIO(sheet('<row r="1"><c r="A1"><v>5</v></c></row>')), ws)
        assert type(ws._cells) is native.CellStore
    if path in ("dict", "rows", "store"):
        ws.cell(1, 1, value)._style = TUPLE_STYLE
        if path == "rows":
            ws._cells["odd"] = ws._cells.pop((1, 1))
    ws.row_dimensions = {1: TUPLE_DIM}
    write = Recorder()
    writer = native.SheetWriter(ws, write, False, writer_helpers(lxml=False))
    if path == "write_row":
        cell = Cell(ws, row=1, column=1, value=value)
        cell._style = TUPLE_STYLE
        writer.write_row([cell], 1)
        writer.flush()
    elif path == "write_values":
        writer.write_values((DAY,), 1, {datetime.datetime: TUPLE_STYLE}, ws._new_cell)
        writer.flush()
        cell_text = '<v>45293.5</v>'
    else:
        writer.write_sheet_data(lambda: rows(ws))
    out = "".join(write.calls)
    assert f'<row r="1" ht="15"><c r="A1" s="1" t="n">{cell_text}</c></row>' in out
    assert list(ws.parent._cell_styles[1]) == list(TUPLE_STYLE)
    if path in ("dict", "rows", "store"):
        assert out == written(ws, "python", False)


# -- the edges of every threshold of the store and the writer

@pytest.mark.parametrize("lxml", [True, False])
def test_style_ids_around_the_compact_and_cached_ranges(lxml):
    # Below 65535 a style id is kept in the cell's record, from 65535 on in a
    # side table; the writer caches the ids below 65536 in a table of its own.
    ids = [0, 65534, 65535, 65536, 65537]
    styles = [StyleArray([i, 0, 0, 0, 0, 0, 0, 0, 1]) for i in range(max(ids) + 1)]
    body = "".join(f'<c r="{get_column_letter(n)}1" s="{i}"><v>{n}</v></c>'
                   for n, i in enumerate(ids, 1))
    ws = Worksheet(Workbook(cell_styles=styles))
    read_worksheet(io.BytesIO(sheet(f'<row r="1">{body}</row>')), ws)
    assert type(ws._cells) is native.CellStore
    engine = written(ws, "engine", lxml)
    assert ws._cells._stats()[1] == 0   # written from the records themselves
    assert re.findall(r' s="(\d+)"', engine) == [str(i) for i in ids]
    assert [list(ws._cells[(1, n)]._style) for n in range(1, len(ids) + 1)] == [
        list(styles[i]) for i in ids]
    assert engine == written(ws, "python", lxml)


@pytest.mark.parametrize("store", [False, True])
def test_columns_up_to_zzz_are_written_and_one_past_is_refused(store):
    def make(column):
        ws = Worksheet()
        if store:
            read_worksheet(io.BytesIO(sheet('<row r="1"><c r="A1"><v>1</v></c></row>')), ws)
        ws._cells[(1, column)] = Cell(ws, row=1, column=column, value="x")
        return ws

    for how in WRITERS:
        assert 'r="ZZZ1"' in written(make(18278), how, True)
        with pytest.raises(ValueError):
            written(make(18279), how, True)
    assert written(make(18278), "engine", False) == written(make(18278), "python", False)


def test_the_last_row_is_written_and_the_next_refused():
    import tavrinex
    ws = tavrinex.Workbook().active
    ws.cell(1_048_575, 16_384, 1)
    ws.append((2,))                      # row 1,048,576
    with pytest.raises(ValueError, match="beyond the last row"):
        ws.append((3,))
    with pytest.raises(ValueError, match="beyond the last row"):
        ws.cell(1_048_577, 1, 4)
    out = written(ws, "engine", True)
    assert out.endswith('<row r="1048576"><c r="A1048576" t="n"><v>2</v></c></row></sheetData>')
    assert out == written(ws, "python", True)


@pytest.mark.parametrize("how", WRITERS)
@pytest.mark.parametrize("short", [1, 0])
def test_rows_are_handed_over_from_exactly_one_mebibyte(how, short):
    ws = Worksheet()
    write = Recorder()
    stream = SheetDataStream(ws, write, engine=native if how == "engine" else None)
    row_two = len('<row r="2"></row>')
    stream.append(big_row(ws, 1, FLUSH_THRESHOLD - row_two - short), 1)
    stream.append([], 2)             # pending: FLUSH_THRESHOLD - short bytes
    assert len(write.calls) == (0 if short else 1)
    stream.append([], 3)
    stream.close()
    assert sum(map(len, write.calls)) == FLUSH_THRESHOLD - short + row_two
    assert len(write.calls) == (1 if short else 2)
