"""Rows appended through the engine: a new workbook's sheets keep plain
values in the engine's store, write-only sheets write them without making
cells, and both give exactly the cells and the bytes the Python code gives."""

import datetime
import decimal
import io
import re
import zipfile

import pytest
from hypothesis import given
from hypothesis import strategies as st

import tavrinex
from tavrinex import _native
from tavrinex.cell import Cell
from tavrinex.comments import Comment
from tavrinex.styles import Font
from tavrinex.utils.datetime import MAC_EPOCH
from tavrinex.parts import package
from tavrinex.writer.workbook_writer import save_workbook

pytestmark = pytest.mark.skipif(_native.native is None, reason="the engine is not built")


class Text(str):
    pass


class Moment(datetime.datetime):
    pass


UTC = datetime.timezone.utc
# Values of every kind append takes, with the edges of each.
SAMPLES = [
    None, True, False, 0, -1, 2 ** 31, -2 ** 31, 2 ** 63 - 1, -2 ** 63, 2 ** 63, 10 ** 30,
    0.0, -0.0, 1.5, 1e-300, 1e300, float("nan"), float("inf"), float("-inf"),
    "", " ", "   ", "plain", " padded ", "=", "=A1*2", "=SUM(A1:B2)", "==x", "#N/A", "#REF!",
    "#n/a", "Grüße <&> \"q\" \U0001F600", "tab\there", "line\r\nbreak", "ctrl\x01char",
    "lone \ud800 surrogate", Text("subclass"), decimal.Decimal("2.25"),
    datetime.datetime(2024, 2, 29, 13, 45, 30, 123456), datetime.datetime(1900, 2, 28),
    datetime.datetime(1900, 3, 1), datetime.datetime(1899, 12, 30, 6), datetime.datetime(9999, 12, 31, 23, 59, 59, 999999),
    datetime.datetime(1, 1, 1), datetime.date(1999, 12, 31), datetime.date(1900, 1, 1),
    datetime.time(8, 5, 9, 1), datetime.time(23, 59, 59, 999999), datetime.time(1, tzinfo=UTC),
    datetime.timedelta(hours=30, minutes=15, seconds=2), datetime.timedelta(microseconds=-1),
    Moment(2020, 5, 6, 7), datetime.datetime(2020, 1, 1, tzinfo=UTC),
]
values = st.sampled_from(SAMPLES)
rows = st.lists(st.lists(values, max_size=7), min_size=1, max_size=6)


def python_sheet(wb):
    """The active sheet of `wb` with its cells in a dict: the Python path."""
    ws = wb.active
    ws._cells = {}
    return ws


def fill(ws, table):
    """Appends the rows of `table`; a row the sheet refuses gives its error."""
    errors = []
    for row in table:
        try:
            ws.append(row)
        except (ValueError, TypeError) as exc:
            errors.append((type(exc), str(exc)))
    return errors


def cell_state(ws):
    out = {}
    for key in sorted(ws._cells):
        c = ws._cells[key]
        style = None if c._style is None else tuple(c._style)
        out[key] = (type(c._value), repr(c._value), c.data_type, style, c.row, c.column,
                    c._hyperlink, c._comment)
    return out


def saved_parts(wb, lxml, engine=_native.native):
    buf = io.BytesIO()
    try:
        save_workbook(wb, buf, lxml=lxml, engine=engine)
    except TypeError:   # aware datetimes
        return "refused"
    with zipfile.ZipFile(buf) as z:
        return {n: z.read(n) for n in z.namelist() if n.startswith("xl/")}


def by_style(wb, parts):
    """`parts` with each sheet's style ids replaced by the style arrays they
    stand for, and the styles part by the set of those arrays: sheets
    filled in different ways may number the same styles differently."""
    if not isinstance(parts, dict):
        return parts
    styles = wb._cell_styles
    out = {n: re.sub(rb' s="(\d+)"', lambda m: b' s="%r"' % (tuple(styles[int(m[1])]),), data)
           for n, data in parts.items() if n != "xl/styles.xml"}
    out["styles"] = {tuple(a) for a in styles}
    return out


def new_books(epoch=None, iso_dates=False):
    books = []
    for _ in range(2):
        wb = tavrinex.Workbook()
        if epoch is not None:
            wb.epoch = epoch
        wb.iso_dates = iso_dates
        books.append(wb)
    return books


@given(rows)
def test_store_rows_match_python_rows(table):
    store_wb, dict_wb = new_books()
    store_ws, dict_ws = store_wb.active, python_sheet(dict_wb)
    assert type(store_ws._cells).__name__ == "CellStore"
    assert fill(store_ws, table) == fill(dict_ws, table)
    assert store_ws.max_row == dict_ws.max_row and store_ws.max_column == dict_ws.max_column
    assert cell_state(store_ws) == cell_state(dict_ws)
    for lxml in (True, False):
        store_parts = saved_parts(store_wb, lxml)
        assert store_parts == saved_parts(store_wb, lxml, engine=None)
        assert by_style(store_wb, store_parts) == by_style(dict_wb, saved_parts(dict_wb, lxml))
    assert not store_ws._cells._in_dict_mode()


@pytest.mark.parametrize("epoch, iso_dates", [(MAC_EPOCH, False), (None, True),
                                               (datetime.datetime(1950, 6, 1, 12), False)],
                         ids=["1904", "iso", "odd-epoch"])
@pytest.mark.parametrize("lxml", [True, False], ids=["lxml", "etree"])
def test_dates_under_other_epochs_match_python(epoch, iso_dates, lxml):
    books = new_books(epoch, iso_dates)
    store_ws, dict_ws = books[0].active, python_sheet(books[1])
    table = [[v for v in SAMPLES if isinstance(v, (datetime.date, datetime.time,
                                                    datetime.timedelta))
              and getattr(v, "tzinfo", None) is None]]
    for ws in (store_ws, dict_ws):
        fill(ws, table)
    store_parts = saved_parts(books[0], lxml)
    assert store_parts == saved_parts(books[1], lxml)
    # and the Python writer on the store-backed sheet agrees with the engine
    assert store_parts == saved_parts(books[0], lxml, engine=None)


def test_plain_values_make_no_cells_until_asked():
    wb = tavrinex.Workbook()
    ws = wb.active
    for i in range(100):
        ws.append([i, f"text {i % 7}", i % 2 == 0, None, datetime.date(2024, 1, 1 + i % 28),
                   f"=A{i + 1}*2"])
    # One cell made by Python: the first date, which sets the date style.
    assert ws._cells._stats()[:2] == (600, 1)
    assert ws._cells._stats()[2] == 1   # the formulas share one template
    cell = ws["F7"]
    assert (cell.value, cell.data_type) == ("=A7*2", "f")
    assert ws["E50"].number_format == "yyyy-mm-dd"
    assert ws["D3"].value is None and ws["D3"]._style is None
    assert ws._cells._stats()[1] == 4


def test_cells_and_odd_values_are_made_by_python():
    wb = tavrinex.Workbook()
    ws = wb.active
    source = Cell(ws, value="bold")
    source.font = Font(bold=True)
    source.comment = Comment("note", "Ann")
    ws.append([decimal.Decimal("1.5"), source, 2 ** 70, Text("x")])
    assert ws._cells._stats()[1] == 4
    assert ws["B1"].font.bold and ws["B1"].comment == Comment("note", "Ann")
    assert ws["B1"] is not source
    with pytest.raises(ValueError, match="Cannot convert"):
        ws.append([1, object(), 3])
    # Like the Python path, the cells before the bad value stay.
    assert ws["A2"].value == 1 and (2, 3) not in ws._cells
    ws.append(["next"])
    assert ws["A3"].value == "next"


def test_appends_after_other_cells_and_in_dict_mode():
    wb = tavrinex.Workbook()
    ws = wb.active
    ws["C5"] = "placed"
    ws.append([1, 2])
    assert ws["A6"].value == 1
    ws._cells[(True, 9)] = Cell(ws, 1, 9, "x")   # kept as given: dict mode
    assert ws._cells._in_dict_mode()
    ws.append(["after", datetime.datetime(2024, 1, 1)])
    assert ws["A7"].value == "after" and ws["B7"].number_format == "yyyy-mm-dd h:mm:ss"


def test_store_entry_points_refuse_bad_use():
    store = _native.native.CellStore()
    assert store._append_row(1, (1,), {}, Cell) is False   # never configured
    ws = tavrinex.Workbook().active
    store._configure(ws, ws.parent._cell_styles, Cell)
    with pytest.raises(ValueError, match="new, empty store"):
        store._configure(ws, ws.parent._cell_styles, Cell)
    with pytest.raises(TypeError, match="must be tuple"):
        store._append_row(1, [1], {}, Cell)
    with pytest.raises(TypeError, match="must be dict"):
        store._append_row(1, (1,), [], Cell)
    with pytest.raises(ValueError, match="out of range"):
        store._append_row(0, (1,), {}, Cell)

    def reentrant(row, column, value):
        return len(store)

    with pytest.raises(RuntimeError, match="borrowed"):
        store._append_row(2, (object(),), {}, reentrant)
    store._append_row(3, (7,), {}, Cell)
    assert store[(3, 1)].value == 7
    with pytest.raises(TypeError, match="parent is not a slot"):
        _native.native.CellStore()._configure(ws, [], type("Loose", (), {"parent": None}))


# -- write-only sheets


def write_only_parts(table, engine, monkeypatch, lxml_available=True):
    with monkeypatch.context() as m:
        if engine is None:
            m.setattr(_native, "native", None)
        wb = tavrinex.Workbook(write_only=True)
        ws = wb.create_sheet("Data")
        errors = fill(ws, table)
        ws.append([])
        return errors, ws.max_row, ws.max_column, saved_parts(wb, True, engine)


@given(rows)
def test_write_only_rows_match_python_rows(table):
    with pytest.MonkeyPatch.context() as monkeypatch:
        engine = write_only_parts(table, _native.native, monkeypatch)
        python = write_only_parts(table, None, monkeypatch)
    assert engine == python


def test_write_only_bad_value_writes_nothing_of_its_row(tmp_path):
    wb = tavrinex.Workbook(write_only=True)
    ws = wb.create_sheet("Data")
    ws.append([1, "a", datetime.datetime(2024, 1, 2, 3)])
    with pytest.raises(ValueError, match="Cannot convert"):
        ws.append(["kept out", object()])
    ws.append((2, "b"))
    ws.append(x for x in [3, "c"])
    wb.save(tmp_path / "w.xlsx")
    back = tavrinex.load_workbook(tmp_path / "w.xlsx")["Data"]
    assert [tuple(r) for r in back.values] == [
        (1, "a", datetime.datetime(2024, 1, 2, 3)), (2, "b", None), (3, "c", None)]


def test_write_only_rows_beyond_the_last_column_are_refused():
    ws = tavrinex.Workbook(write_only=True).create_sheet()
    with pytest.raises(ValueError, match="at most 16384 cells"):
        ws.append(iter(lambda: 1, None))   # endless
    with pytest.raises(ValueError, match="at most 16384 cells"):
        ws.append((0,) * 16385)
    ws.append((0,) * 16384)
    assert ws.max_row == 1 and ws.max_column == 16384


def test_write_values_checks_its_arguments():
    ws = tavrinex.Workbook(write_only=True).create_sheet()
    out = []
    writer = _native.native.SheetWriter(ws, out.append, True, tavrinex.helpers.writer_helpers())
    with pytest.raises(TypeError, match="must be tuple"):
        writer.write_values([1], 1, {}, ws._fill_cell)
    with pytest.raises(TypeError, match="must be dict"):
        writer.write_values((1,), 1, None, ws._fill_cell)
    with pytest.raises(ValueError, match="at most"):
        writer.write_values((1,) * 18279, 1, {}, ws._fill_cell)
    writer.write_values((1, None, "x"), 4, {}, ws._fill_cell)
    writer.flush()
    assert out == [b'<row r="4"><c r="A4" t="n"><v>1</v></c>'
                   b'<c r="C4" t="inlineStr"><is><t>x</t></is></c></row>']


# -- deflate


def test_parts_are_the_same_whichever_library_deflates(tmp_path, monkeypatch):
    def save(name):
        wb = tavrinex.Workbook()
        for i in range(3000):
            wb.active.append([i, f"row {i}", i / 7])
        wb.save(tmp_path / name)
        with zipfile.ZipFile(tmp_path / name) as z:
            assert z.testzip() is None
            return {n: z.read(n) for n in z.namelist() if "docProps" not in n}

    first = save("default.xlsx")
    monkeypatch.setattr(package, "_fast_zlib", None)
    assert package.deflater()[0].__name__ == "zlib"
    assert save("zlib.xlsx") == first


def test_deflate_failing_mid_sheet_leaves_the_file_untouched(tmp_path, monkeypatch):
    path = tmp_path / "keep.xlsx"
    wb = tavrinex.Workbook()
    for i in range(60_000):
        wb.active.append([i, f"text {i}"])
    wb.save(path)
    before = path.read_bytes()

    class Failing:
        """A deflater that breaks once a megabyte has gone through it."""

        def __init__(self, *args):
            self.seen = 0

        def compress(self, data):
            self.seen += len(data)
            if self.seen > 1 << 20:
                raise OSError("deflate broke")
            return b""

        def flush(self):
            return b""

    monkeypatch.setattr(package, "_fast_zlib", type("Lib", (), {"compressobj": Failing}))
    with pytest.raises(OSError, match="deflate broke"):
        wb.save(path)
    assert path.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["keep.xlsx"]
    monkeypatch.undo()
    wb.save(path)   # the workbook is unharmed and saves again
    assert tavrinex.load_workbook(path).active["B60000"].value == "text 59999"
