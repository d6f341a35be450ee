"""Saving workbooks: what is saved opens in python-calamine and LibreOffice
with the same values, round trips keep cells, styles and layout, and bad
input or a failed save leaves nothing broken behind."""

import datetime
import decimal
import io
import os
import warnings
import zipfile

import pytest
import xlsxwriter
from python_calamine import CalamineWorkbook

import tavrinex
from tavrinex import _native
from tavrinex.styles import Alignment, Border, Font, PatternFill
from tavrinex.comments import Comment
from tavrinex.dimensions import RowDimension
from tavrinex.writer import workbook_writer
from tavrinex.writer.workbook_writer import save_workbook

from soffice import SOFFICE, convert, csv_rows
from xlsx_files import appended_workbook

ENGINES = [pytest.param(None, id="python")]
if _native.native is not None:
    ENGINES.insert(0, pytest.param(_native.native, id="engine"))

DT = datetime.datetime(2024, 2, 29, 13, 45, 30)
D = datetime.date(1999, 12, 31)
T = datetime.time(8, 5, 9)
TD = datetime.timedelta(hours=30, minutes=15, seconds=2)
ROWS = [
    ["text", "Grüße <&> \"q\"", "  padded ", "x" * 300],
    [1, -2, 2 ** 40, 0],
    [1.5, -0.001, 1e100, 3.141592653589793],
    [True, False, decimal.Decimal("2.25"), None],
    [DT, D, T, TD],
    ["=A2+B2", "=SUM(A2:C2)", "#N/A", "#DIV/0!"],
]


def filled(write_only=False):
    return appended_workbook("Data", ROWS, write_only)


def expected_value(value):
    """What a reader gives back for a saved value."""
    if isinstance(value, decimal.Decimal):
        return float(value)
    if type(value) is datetime.date:
        return datetime.datetime(value.year, value.month, value.day)
    if value == "  padded ":
        return value
    return value


def calamine_rows(path):
    return CalamineWorkbook.from_path(str(path)).get_sheet_by_name("Data").to_python()


def check_calamine(path):
    rows = calamine_rows(path)
    for r, row in enumerate(ROWS):
        for c, value in enumerate(row):
            got = rows[r][c]
            if isinstance(value, str) and value.startswith("="):
                continue   # no cached value: calamine gives ""
            if value is None:
                assert got == ""
            elif isinstance(value, str) and value.startswith("#"):
                assert str(got) == value or got == "", (r, c, got)
            elif type(value) is datetime.date:
                assert got in (value, expected_value(value)), (r, c, got)
            elif isinstance(value, bool):
                assert got is value, (r, c, got)
            elif isinstance(value, (int, float, decimal.Decimal)):
                assert got == pytest.approx(float(value), rel=1e-15), (r, c, got)
            else:
                assert got == value, (r, c, got)


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("write_only", [False, True], ids=["normal", "write_only"])
def test_calamine_reads_saved_values(tmp_path, engine, write_only):
    path = tmp_path / "v.xlsx"
    save_workbook(filled(write_only), path, engine=engine)
    check_calamine(path)
    back = tavrinex.load_workbook(path)["Data"]
    for r, row in enumerate(ROWS, 1):
        assert [back.cell(r, c).value for c in range(1, 5)] == [expected_value(v) for v in row]


def _lo_value(text, value):
    """LibreOffice's CSV text of a cell parsed back to the kind of value."""
    if isinstance(value, bool):
        return text == "TRUE"
    if isinstance(value, datetime.datetime):
        return datetime.datetime.strptime(text, "%Y-%m-%d %H:%M:%S")
    if isinstance(value, datetime.date):
        return datetime.datetime.strptime(text, "%Y-%m-%d").date()
    if isinstance(value, datetime.time):
        # shown as 24-hour or 12-hour time depending on the locale
        layout = "%I:%M:%S %p" if text.endswith("M") else "%H:%M:%S"
        return datetime.datetime.strptime(text, layout).time()
    if isinstance(value, datetime.timedelta):
        h, m, s = text.split(":")
        return datetime.timedelta(hours=int(h), minutes=int(m), seconds=int(s))
    if isinstance(value, (int, float, decimal.Decimal)):
        return float(text)
    return text


@pytest.mark.skipif(SOFFICE is None, reason="LibreOffice is not installed")
@pytest.mark.parametrize("write_only", [False, True], ids=["normal", "write_only"])
def test_libreoffice_reads_saved_values(tmp_path, write_only):
    path = tmp_path / "lo.xlsx"
    filled(write_only).save(path)
    rows = csv_rows(path, tmp_path)
    computed = {(5, 0): 1 + -2, (5, 1): 1 + -2 + 2 ** 40}
    for r, row in enumerate(ROWS):
        for c, value in enumerate(row):
            text = rows[r][c] if c < len(rows[r]) else ""
            if (r, c) in computed:
                assert float(text) == computed[r, c]
            elif value is None:
                assert text == ""
            elif isinstance(value, (int, float, decimal.Decimal)) and not isinstance(value, bool):
                assert float(text) == pytest.approx(float(value), rel=1e-14), (r, c, text)
            else:
                assert _lo_value(text, value) == value, (r, c, text)


def styled_workbook():
    wb = tavrinex.Workbook()
    ws = wb.active
    ws.append(["Head", "Fill", "Box", "Wrapped text that runs long", 12.5])
    ws["A1"].font = Font(bold=True, italic=True, size=14, color="C00000")
    ws["B1"].fill = PatternFill("FFFF00")
    ws["C1"].border = Border.all("thin")
    ws["D1"].alignment = Alignment("center", "top", wrap_text=True)
    ws["E1"].number_format = "0.000%"
    ws["A2"] = "link"
    ws["A2"].hyperlink = "https://example.com/a?b=1&c=2"
    ws["B2"] = "inside"
    ws["B2"].hyperlink = "#Second!B3"
    ws["C2"] = "noted"
    ws["C2"].comment = Comment("A note\nover two lines", "Ann")
    ws.merge_cells("A4:C5")
    ws.column_dimensions["D"].width = 40
    ws.row_dimensions[2] = RowDimension(ht=30, customHeight=True)
    second = wb.create_sheet("Second")
    second["B3"] = "target"
    hidden = wb.create_sheet("Hidden")
    hidden.sheet_state = "hidden"
    hidden["A1"] = 1
    return wb


def layout(wb):
    """What a round trip keeps, in comparable form."""
    out = {"names": wb.sheetnames, "states": dict(wb.sheet_states), "1904": wb.epoch_1904,
           "defined": [(d.name, d.value) for d in wb.defined_names]}
    for ws in wb.worksheets:
        cells = {}
        for row in ws.iter_rows():
            for cell in row:
                if cell.value is None and not cell.has_style and cell.comment is None:
                    continue
                link = cell.hyperlink
                cells[cell.coordinate] = (
                    cell.value, cell.number_format, cell.font, cell.fill, cell.border,
                    cell.alignment, cell.comment,
                    link and (link.ref, link.target, link.location))
        out[ws.title] = {
            "cells": cells, "merged": sorted(ws.merged_cells),
            "widths": {k: v.get("width") for k, v in ws.column_dimensions.items()},
            "heights": {int(k): dict(v).get("ht") for k, v in ws.row_dimensions.items()
                        if dict(v).get("ht")}}
    return out


@pytest.mark.parametrize("engine", ENGINES)
def test_styles_and_layout_round_trip(tmp_path, engine):
    wb = styled_workbook()
    save_workbook(wb, tmp_path / "a.xlsx", engine=engine)
    first = tavrinex.load_workbook(tmp_path / "a.xlsx", engine=engine)
    ws = first.active
    assert ws["A1"].font == Font(size=14, bold=True, italic=True, color="FFC00000")
    assert ws["B1"].fill == PatternFill("FFFFFF00")
    assert ws["C1"].border == Border.all("thin")
    assert ws["D1"].alignment == Alignment("center", "top", True)
    assert ws["E1"].number_format == "0.000%"
    assert ws["A2"].hyperlink.target == "https://example.com/a?b=1&c=2"
    assert ws["B2"].hyperlink.location == "Second!B3"
    assert ws["C2"].comment == Comment("A note\nover two lines", "Ann")
    assert ws.merged_cells == ["A4:C5"]
    assert ws.column_dimensions["D"].width == 40
    assert ws.row_dimensions[2].height == 30
    assert first.sheet_states["Hidden"] == "hidden"
    save_workbook(first, tmp_path / "b.xlsx", engine=engine)
    second = tavrinex.load_workbook(tmp_path / "b.xlsx", engine=engine)
    assert layout(second) == layout(first)


def test_comments_have_their_drawing(tmp_path):
    styled_workbook().save(tmp_path / "c.xlsx")
    with zipfile.ZipFile(tmp_path / "c.xlsx") as z:
        names = z.namelist()
        sheet = z.read("xl/worksheets/sheet1.xml").decode()
        rels = z.read("xl/worksheets/_rels/sheet1.xml.rels").decode()
        vml = z.read("xl/drawings/vmlDrawing1.vml").decode()
    assert "xl/comments1.xml" in names and "<legacyDrawing r:id=" in sheet
    assert "vmlDrawing1.vml" in rels and 'TargetMode="External"' in rels
    assert '<x:Row>1</x:Row><x:Column>2</x:Column>' in vml   # C2, counted from 0


def xlsxwriter_book(path):
    wb = xlsxwriter.Workbook(str(path))
    ws = wb.add_worksheet("Made")
    bold = wb.add_format({"bold": True, "font_color": "#1F4E78", "bg_color": "#DDEBF7",
                          "border": 1, "text_wrap": True, "align": "center"})
    date = wb.add_format({"num_format": "dd/mm/yyyy"})
    ws.write_row(0, 0, ["Name", "Amount", "When"], bold)
    for i in range(1, 30):
        ws.write_string(i, 0, f"item {i}")
        ws.write_number(i, 1, i * 1.25)
        ws.write_datetime(i, 2, datetime.datetime(2024, 1, i % 28 + 1), date)
    ws.write_formula(30, 1, "=SUM(B2:B30)")
    ws.merge_range("E1:F2", "merged", bold)
    ws.set_column("A:A", 22)
    ws.set_row(3, 28)
    ws.write_url("D2", "https://example.com/x", string="site")
    ws.write_comment("A2", "first item", {"author": "Bo"})
    wb.define_name("Amounts", "=Made!$B$2:$B$30")
    other = wb.add_worksheet("Gone")
    other.write("A1", 5)
    other.hide()
    wb.close()


@pytest.mark.parametrize("engine", ENGINES)
def test_xlsxwriter_workbook_round_trip(tmp_path, engine):
    xlsxwriter_book(tmp_path / "x.xlsx")
    first = tavrinex.load_workbook(tmp_path / "x.xlsx", engine=engine)
    save_workbook(first, tmp_path / "y.xlsx", engine=engine)
    second = tavrinex.load_workbook(tmp_path / "y.xlsx", engine=engine)
    assert layout(second) == layout(first)
    assert second["Made"]["B31"].value == "=SUM(B2:B30)"
    assert second["Made"]["A1"].font.bold
    assert [d.name for d in second.defined_names] == ["Amounts"]
    assert second.sheet_states["Gone"] == "hidden"
    if engine is not None:
        assert second["Made"].reader_path == "engine"


@pytest.mark.skipif(SOFFICE is None, reason="LibreOffice is not installed")
def test_libreoffice_workbook_round_trip(tmp_path):
    xlsxwriter_book(tmp_path / "src.xlsx")
    out = tmp_path / "lo"
    out.mkdir()
    convert(out, "xlsx", tmp_path / "src.xlsx")
    for engine in [p.values[0] for p in ENGINES]:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            first = tavrinex.load_workbook(out / "src.xlsx", engine=engine)
            save_workbook(first, tmp_path / "again.xlsx", engine=engine)
        second = tavrinex.load_workbook(tmp_path / "again.xlsx", engine=engine)
        assert layout(second) == layout(first)
        assert second["Made"]["A2"].value == "item 1"


@pytest.mark.parametrize("lxml", [True, False], ids=["lxml", "etree"])
def test_engine_and_python_write_the_same_sheet_parts(tmp_path, lxml):
    if _native.native is None:
        pytest.skip("the engine is not built")
    parts = {}
    for name, engine in (("engine", _native.native), ("python", None)):
        buf = io.BytesIO()
        save_workbook(styled_workbook(), buf, lxml=lxml, engine=engine)
        with zipfile.ZipFile(buf) as z:
            parts[name] = {n: z.read(n) for n in z.namelist()
                           if n.startswith("xl/") and "docProps" not in n}
    assert parts["engine"] == parts["python"]
    assert b"<sheetData>" in parts["engine"]["xl/worksheets/sheet1.xml"]


def test_unmodelled_parts_dropped_with_one_warning(tmp_path):
    path = tmp_path / "chart.xlsx"
    book = xlsxwriter.Workbook(str(path))
    ws = book.add_worksheet("Data")
    ws.write_column("A1", [1, 2, 3])
    chart = book.add_chart({"type": "line"})
    chart.add_series({"values": "=Data!$A$1:$A$3"})
    ws.insert_chart("C1", chart)
    book.close()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        wb = tavrinex.load_workbook(path)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        wb.save(tmp_path / "out.xlsx")
    assert len(caught) == 1 and "charts" in str(caught[0].message)
    with zipfile.ZipFile(tmp_path / "out.xlsx") as z:
        assert not [n for n in z.namelist() if "chart" in n or "drawing" in n]
        assert b"<drawing" not in z.read("xl/worksheets/sheet1.xml")
    assert [r for r in tavrinex.load_workbook(tmp_path / "out.xlsx")["Data"].values] == \
        [(1,), (2,), (3,)]


def test_failed_save_leaves_the_file_untouched(tmp_path, monkeypatch):
    path = tmp_path / "keep.xlsx"
    filled().save(path)
    before = path.read_bytes()

    def broken(*args):
        raise RuntimeError("disk on fire")

    monkeypatch.setattr(workbook_writer, "styles_part", broken)
    with pytest.raises(RuntimeError, match="disk on fire"):
        styled_workbook().save(path)
    assert path.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["keep.xlsx"]   # no temporary file left
    target = io.BytesIO(b"old")
    with pytest.raises(RuntimeError):
        styled_workbook().save(target)
    assert target.getvalue() == b"old"


def test_bad_titles():
    wb = tavrinex.Workbook()
    for title, message in (("", "1 to 31"), ("x" * 32, "1 to 31"), ("a/b", "'/'"),
                           ("a[1]", "'\\['"), ("'quoted'", "apostrophe"), ("SHEET", "already")):
        with pytest.raises(ValueError, match=message):
            wb.create_sheet(title)
    with pytest.raises(ValueError, match="already"):
        wb.create_sheet("Two").title = "sheet"
    wb.create_sheet("Three", index=0)
    assert wb.sheetnames == ["Three", "Sheet", "Two"]
    wb.remove(wb["Sheet"])
    assert wb.sheetnames == ["Three", "Two"]


def test_bad_values_and_places():
    ws = tavrinex.Workbook().active
    with pytest.raises(ValueError, match="Cannot convert"):
        ws["A1"] = object()
    with pytest.raises(ValueError, match="beyond the last row"):
        ws.cell(1_048_577, 1)
    with pytest.raises(ValueError, match="beyond the last row"):
        ws.cell(1, 16_385, "x")
    with pytest.raises(ValueError, match="colours"):
        ws["A1"].font = Font(color="red")
    with pytest.raises(ValueError, match="a border style is one of"):
        ws["A1"].border = Border.all("fat")
    with pytest.raises(ValueError, match="a horizontal alignment is one of"):
        ws["A1"].alignment = Alignment("middle")
    with pytest.raises(TypeError, match="append takes"):
        ws.append(5)
    wo = tavrinex.Workbook(write_only=True).create_sheet("W")
    with pytest.raises(ValueError, match="Cannot convert"):
        wo.append([1, object()])
    ws["B1"] = datetime.datetime(2024, 1, 1, tzinfo=datetime.UTC)
    with pytest.raises(TypeError, match="timezone-aware"):
        ws.parent.save(io.BytesIO())


def test_dates_get_default_formats_and_1904_dates(tmp_path):
    wb = tavrinex.Workbook()
    ws = wb.active
    ws.append([DT, D, T, TD])
    assert [ws.cell(1, c).number_format for c in range(1, 5)] == [
        "yyyy-mm-dd h:mm:ss", "yyyy-mm-dd", "hh:mm:ss", "[h]:mm:ss"]
    ws["E1"].number_format = "d mmm yyyy"
    ws["E1"] = DT
    assert ws["E1"].number_format == "d mmm yyyy"   # a chosen format stays
    wb.save(tmp_path / "d.xlsx")
    again = tavrinex.load_workbook(tmp_path / "d.xlsx")
    assert [again.active.cell(1, c).value for c in range(1, 6)] == [
        DT, expected_value(D), T, TD, DT]
    assert not again.epoch_1904


def test_write_only_sheet_is_spent_after_save(tmp_path):
    wb = tavrinex.Workbook(write_only=True)
    ws = wb.create_sheet("W")
    cell = ws.cell("styled")
    cell.font = Font(bold=True)
    ws.append([cell, 2])
    linked = ws.cell("link")
    linked.hyperlink = "https://example.com/w"
    linked.comment = Comment("streamed note", "Wo")
    ws.append([None, linked])
    ws.column_dimensions["A"].width = 15
    wb.save(tmp_path / "w.xlsx")
    back = tavrinex.load_workbook(tmp_path / "w.xlsx")["W"]
    assert back["A1"].value == "styled" and back["A1"].font.bold
    assert back["B2"].hyperlink.target == "https://example.com/w"
    assert back["B2"].comment == Comment("streamed note", "Wo")
    assert back.column_dimensions["A"].width == 15
    with pytest.raises(ValueError, match="saved"):
        ws.append([1])
    with pytest.raises(ValueError, match="saved already"):
        wb.save(tmp_path / "again.xlsx")


def test_loaded_sheets_save_through_the_engine(tmp_path, monkeypatch):
    if _native.native is None:
        pytest.skip("the engine is not built")
    xlsxwriter_book(tmp_path / "x.xlsx")
    wb = tavrinex.load_workbook(tmp_path / "x.xlsx")
    assert wb["Made"].row_dimensions   # read with row texts as keys
    paths = []
    real = workbook_writer.write_rows_part

    def spy(*args, **kwargs):
        paths.append(real(*args, **kwargs))
        return paths[-1]

    monkeypatch.setattr(workbook_writer, "write_rows_part", spy)
    wb.save(tmp_path / "y.xlsx")
    assert paths == ["engine", "engine"]
    assert "4" in wb["Made"].row_dimensions   # the sheet keeps what it read


def test_cells_beyond_the_sheet_are_refused_at_save(tmp_path):
    from tavrinex.cell import Cell
    wb = tavrinex.Workbook()
    ws = wb.active
    ws._cells[(1, 16_385)] = Cell(ws, row=1, column=16_385, value=1)   # behind cell()'s back
    with pytest.raises(ValueError, match="beyond the last row"):
        wb.save(tmp_path / "big.xlsx")
    assert not (tmp_path / "big.xlsx").exists()


@pytest.mark.parametrize("engine", ENGINES)
def test_1904_dates_and_rich_text_survive_a_round_trip(tmp_path, engine):
    book = xlsxwriter.Workbook(str(tmp_path / "m.xlsx"), {"date_1904": True})
    ws = book.add_worksheet("Data")
    bold = book.add_format({"bold": True})
    ws.write_datetime("A1", DT, book.add_format({"num_format": "yyyy-mm-dd hh:mm:ss"}))
    ws.write_datetime("A2", datetime.datetime(1904, 1, 2, 6), book.add_format({"num_format": "d h"}))
    ws.write_rich_string("B1", "plain ", bold, "bold", " end")
    book.close()
    wb = tavrinex.load_workbook(tmp_path / "m.xlsx", rich_text=True, engine=engine)
    assert wb.epoch_1904
    save_workbook(wb, tmp_path / "n.xlsx", engine=engine)
    again = tavrinex.load_workbook(tmp_path / "n.xlsx", engine=engine)
    assert again.epoch_1904
    assert again["Data"]["A1"].value == DT
    assert again["Data"]["A2"].value == datetime.datetime(1904, 1, 2, 6)
    assert again["Data"]["B1"].value == "plain bold end"   # the runs' text, unformatted
    assert calamine_rows(tmp_path / "n.xlsx")[0][0] == DT


def test_append_follows_the_last_row_however_cells_came():
    ws = tavrinex.Workbook().active
    ws.append([1])
    ws.append({"C": 3, 2: "b"})
    assert [(c.row, c.column, c.value) for c in (ws["A1"], ws["B2"], ws["C2"])] == [
        (1, 1, 1), (2, 2, "b"), (2, 3, 3)]
    ws["D9"] = "set by hand"
    ws.append((x for x in ["gen"]))
    assert ws["A10"].value == "gen"
    ws.append([])
    ws.append([None, "after an empty row"])
    assert ws["B12"].value == "after an empty row"


def test_unwritable_characters_around_the_cells_are_escaped(tmp_path):
    wb = tavrinex.Workbook()
    ws = wb.active
    ws["A1"] = "cell"
    ws["A1"].comment = Comment("bell\x07 and \ud800 half", "x\x01y")
    ws["A2"] = "linked"
    ws["A2"].hyperlink = "https://example.com/\x02"
    wb.save(tmp_path / "odd.xlsx")
    back = tavrinex.load_workbook(tmp_path / "odd.xlsx").active
    assert back["A1"].comment.text.startswith("bell")
    assert back["A2"].hyperlink.target.startswith("https://example.com/")
    CalamineWorkbook.from_path(str(tmp_path / "odd.xlsx")).get_sheet_by_index(0).to_python()


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("lxml", [True, False], ids=["lxml", "etree"])
@pytest.mark.parametrize("write_only", [False, True], ids=["normal", "write_only"])
def test_lone_surrogates_are_saved_in_escaped_form(tmp_path, engine, lxml, write_only):
    # UTF-8 cannot carry them: both back ends write the _xHHHH_ form, each
    # surrogate on its own (a str holding a high and a low one is two).
    rows = [["a\ud800b", 1, "\udfff"], ["plain", "\ud83d\ude00 pair"]]
    path = tmp_path / "s.xlsx"
    save_workbook(appended_workbook("S", rows, write_only), path, lxml=lxml, engine=engine)
    expected = [["a_xD800_b", 1, "_xDFFF_"], ["plain", "_xD83D__xDE00_ pair", None]]
    back = tavrinex.load_workbook(path)["S"]
    assert [[c.value for c in row] for row in back.iter_rows()] == expected
    seen = CalamineWorkbook.from_path(str(path)).get_sheet_by_name("S").to_python()
    assert [row[0] for row in seen] == ["a_xD800_b", "plain"]
