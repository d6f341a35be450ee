"""load_workbook on files written by XlsxWriter: what comes back equals
what the writer was given, in full and read-only mode, through the engine
and through the Python path; python-calamine, an independent reader,
agrees on every value."""

import datetime
import decimal
import io
import warnings

import pytest
import xlsxwriter
from hypothesis import given, settings, strategies as st
from python_calamine import CalamineWorkbook

import tavrinex
from tavrinex import _native
from tavrinex.comments import Comment
from tavrinex.styles import Alignment, Protection, Side
from tavrinex.text import CellRichText, TextBlock
from tavrinex.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH

from conftest import EXAMPLES
from xlsx_files import minimal_parts, package

ENGINES = [pytest.param(None, id="python")]
if _native.native is not None:
    ENGINES.insert(0, pytest.param(_native.native, id="engine"))

DATE_FMT = "yyyy-mm-dd hh:mm:ss.000"
DAY_FMT = "d mmm yyyy"
TIME_FMT = "hh:mm:ss.000"
DURATION_FMT = "[h]:mm:ss.000"


# -- the writer's side: (kind, value) cells written with the formats they need

def write_cells(path, sheets, date_1904=False, constant_memory=False):
    """Write {title: {(row, col): (kind, value)}} with XlsxWriter; rows and
    columns 1-based. Kinds: number, string, bool, datetime, date, time,
    duration, formula ((text, cached)), blank, rich. In constant-memory mode
    XlsxWriter writes strings inline rather than shared."""
    wb = xlsxwriter.Workbook(str(path), {"date_1904": date_1904,
                                         "constant_memory": constant_memory})
    formats = {kind: wb.add_format({"num_format": code}) for kind, code in
               (("datetime", DATE_FMT), ("date", DAY_FMT), ("time", TIME_FMT),
                ("duration", DURATION_FMT))}
    bold = wb.add_format({"bold": True})
    blank_fmt = wb.add_format({"bg_color": "#FFFF00"})
    for title, cells in sheets.items():
        ws = wb.add_worksheet(title)
        for (row, col), (kind, value) in sorted(cells.items()):
            r, c = row - 1, col - 1
            if kind == "number":
                ws.write_number(r, c, value)
            elif kind == "string":
                ws.write_string(r, c, value)
            elif kind == "bool":
                ws.write_boolean(r, c, value)
            elif kind in formats:
                ws.write_datetime(r, c, value, formats[kind])
            elif kind == "formula":
                ws.write_formula(r, c, value[0], None, value[1])
            elif kind == "blank":
                ws.write_blank(r, c, None, blank_fmt)
            elif kind == "rich":
                ws.write_rich_string(r, c, value[0], bold, value[1], value[2])
            else:
                raise AssertionError(kind)
    wb.close()


def expected(kind, value, data_only=False, rich_text=False):
    """The value load_workbook must give for a written (kind, value)."""
    if kind == "date":
        return datetime.datetime.combine(value, datetime.time())
    if kind == "formula":
        return value[1] if data_only else value[0]
    if kind == "blank":
        return None
    if kind == "rich":
        return "".join(value)
    return value


def grid(ws):
    """{(row, col): value} of the non-empty cells of a worksheet of either
    mode, read through iter_rows from A1."""
    out = {}
    for r, row in enumerate(ws.iter_rows(min_row=1, max_row=ws.max_row, min_col=1,
                                         max_col=ws.max_column, values_only=True), 1):
        for c, value in enumerate(row, 1):
            if value is not None:
                out[(r, c)] = value
    return out


def wanted(cells, **kw):
    out = {}
    for key, (kind, value) in cells.items():
        v = expected(kind, value, **kw)
        if v is not None:
            out[key] = v
    return out


def read_only_worksheets():
    pytest.importorskip("tavrinex.reader.readonly")


# -- strategies

_TEXT = st.text(st.characters(codec="utf-8", categories=("L", "N", "P", "S", "Zs"),
                              exclude_characters="_"), max_size=40)
_MS = st.integers(0, 999).map(lambda ms: ms * 1000)
# XlsxWriter writes 16 significant digits, so the numbers here need no more.
_NUMBERS = st.one_of(
    st.integers(-10**15, 10**15),
    st.decimals(min_value=-10**9, max_value=10**9, places=6, allow_nan=False).map(float),
    st.sampled_from([0.1, -2.5e-300, 1.5e308, 1e-320, 1e22]))


def _datetimes(epoch):
    low = datetime.datetime(1900, 3, 1) if epoch == WINDOWS_EPOCH else MAC_EPOCH
    return st.builds(lambda d, ms: d.replace(microsecond=ms),
                     st.datetimes(low + datetime.timedelta(days=1),
                                  datetime.datetime(9999, 12, 30)), _MS)


def _cell(epoch):
    return st.one_of(
        st.tuples(st.just("number"), _NUMBERS),
        st.tuples(st.just("string"), _TEXT.filter(bool)),
        st.tuples(st.just("bool"), st.booleans()),
        st.tuples(st.just("datetime"), _datetimes(epoch)),
        st.tuples(st.just("date"), _datetimes(epoch).map(lambda d: d.date())),
        st.tuples(st.just("time"), st.builds(datetime.time, st.integers(0, 23),
                                             st.integers(0, 59), st.integers(0, 59), _MS)),
        st.tuples(st.just("duration"), st.builds(
            lambda d, s, ms: datetime.timedelta(days=d, seconds=s, microseconds=ms),
            st.integers(0, 5000), st.integers(0, 86399), _MS)),
        st.tuples(st.just("formula"), st.tuples(
            st.sampled_from(["=1+2", "=SUM(A1:B2)", '="a"&"b"', "=PI()"]),
            st.one_of(st.integers(-1000, 1000), _TEXT.filter(bool), st.booleans()))),
        st.tuples(st.just("blank"), st.none()),
        st.tuples(st.just("rich"), st.tuples(*[_TEXT.filter(bool)] * 3)),
    )


@st.composite
def workbooks(draw):
    date_1904 = draw(st.booleans())
    inline = draw(st.booleans())
    epoch = MAC_EPOCH if date_1904 else WINDOWS_EPOCH
    sheets = {}
    for n in range(draw(st.integers(1, 3))):
        sheets[f"S{n}"] = draw(st.dictionaries(
            st.tuples(st.integers(1, 30), st.integers(1, 12)), _cell(epoch), max_size=40))
    return date_1904, inline, sheets


def _calamine_agrees(path, sheets):
    """Every value python-calamine reads equals ours, as it reports them."""
    book = CalamineWorkbook.from_path(str(path))
    ours = tavrinex.load_workbook(path, data_only=True)
    assert book.sheet_names == ours.sheetnames
    for title in book.sheet_names:
        theirs = book.get_sheet_by_name(title).to_python(skip_empty_area=False)
        mine = grid(ours[title])
        for r, row in enumerate(theirs, 1):
            for c, value in enumerate(row, 1):
                got = mine.pop((r, c), None)
                kind = sheets[title].get((r, c), ("", None))[0]
                if value == "":
                    assert got in (None, "") or kind == "rich" and got == "", (r, c, got)
                elif kind in ("date", "datetime") and type(value) is datetime.date:
                    assert got == datetime.datetime.combine(value, datetime.time()), (r, c)
                elif kind == "time" and isinstance(value, datetime.datetime):
                    # calamine reports times of day on the epoch's day
                    assert got == value.time(), (r, c)
                else:
                    assert got == value, (r, c, got, value)
        assert all(v == "" for v in mine.values()), mine


@settings(max_examples=max(10, EXAMPLES // 8))
@given(workbooks())
def test_generated_workbooks_read_back(tmp_path_factory, book):
    date_1904, inline, sheets = book
    path = tmp_path_factory.mktemp("gen") / "gen.xlsx"
    write_cells(path, sheets, date_1904, constant_memory=inline)
    for engine in [p.values[0] for p in ENGINES]:
        for data_only in (False, True):
            wb = tavrinex.load_workbook(path, data_only=data_only, engine=engine)
            assert wb.sheetnames == list(sheets)
            assert wb.epoch == (MAC_EPOCH if date_1904 else WINDOWS_EPOCH)
            for title, cells in sheets.items():
                assert grid(wb[title]) == wanted(cells, data_only=data_only), title
    _calamine_agrees(path, sheets)


@settings(max_examples=max(5, EXAMPLES // 20))
@given(workbooks())
def test_generated_workbooks_read_only(tmp_path_factory, book):
    read_only_worksheets()
    date_1904, inline, sheets = book
    path = tmp_path_factory.mktemp("gen") / "gen.xlsx"
    write_cells(path, sheets, date_1904, constant_memory=inline)
    for engine in [p.values[0] for p in ENGINES]:
        with tavrinex.load_workbook(path, read_only=True, engine=engine) as wb:
            for title, cells in sheets.items():
                assert grid(wb[title]) == wanted(cells), title


# -- a fixed workbook with every feature

@pytest.fixture(scope="module")
def features(tmp_path_factory):
    path = tmp_path_factory.mktemp("features") / "features.xlsx"
    wb = xlsxwriter.Workbook(str(path))
    bold = wb.add_format({"bold": True, "italic": True, "font_color": "#FF0000",
                          "align": "center", "valign": "top", "text_wrap": True,
                          "locked": False, "hidden": True, "border": 2,
                          "bg_color": "#00FF00"})
    money = wb.add_format({"num_format": "#,##0.00 [$€-407]"})
    builtin_date = wb.add_format({"num_format": 14})
    percent = wb.add_format({"num_format": 10})
    ws = wb.add_worksheet("Main")
    ws.write_string("A1", "head", bold)
    ws.write_number("B1", 1234.5, money)
    ws.write_datetime("C1", datetime.datetime(2020, 5, 17), builtin_date)
    ws.write_number("D1", 0.25, percent)
    ws.write_string("E1", "a_x0041_b")
    ws.write_rich_string("A2", "x ", bold, "bold", " y")
    ws.write_formula("B2", "=B1*2", None, 2469)
    ws.write_formula("C2", "=1/0", None, "#DIV/0!")
    ws.merge_range("A3:C4", "merged")
    ws.write_url("A5", "https://example.com/a?b=c", string="external",
                 tip="a tip")
    ws.write_url("B5", "internal:Second!B2", string="internal")
    ws.write_comment("D5", "first note", {"author": "Ann"})
    ws.write_comment("E6", "second\nnote", {"author": "Bob"})
    ws.set_column("B:C", 25)
    ws.set_row(2, 40)
    second = wb.add_worksheet("Second")
    second.write("B2", "second sheet")
    hidden = wb.add_worksheet("Hidden")
    hidden.write("A1", 1)
    hidden.hide()
    very = wb.add_worksheet("VeryHidden")
    very.very_hidden()
    second.activate()
    wb.define_name("Total", "=Main!$B$1")
    wb.define_name("Second!Local", "=Second!$B$2")
    wb.close()
    return path


@pytest.mark.parametrize("engine", ENGINES)
def test_workbook_structure(features, engine):
    wb = tavrinex.load_workbook(features, engine=engine)
    assert wb.sheetnames == ["Main", "Second", "Hidden", "VeryHidden"]
    assert wb.active is wb["Second"]
    assert wb.sheet_states == {"Main": "visible", "Second": "visible", "Hidden": "hidden",
                               "VeryHidden": "veryHidden"}
    assert [ws.sheet_state for ws in wb] == ["visible", "visible", "hidden", "veryHidden"]
    assert "Main" in wb and "main" not in wb and len(wb) == 4
    with pytest.raises(KeyError, match="Worksheet Nope does not exist"):
        wb["Nope"]
    names = {(d.name, d.scope): d.value for d in wb.defined_names}
    assert names == {("Total", None): "Main!$B$1", ("Local", "Second"): "Second!$B$2"}
    assert wb.defined_names["Local", wb["Second"]].sheet is wb["Second"]
    assert not wb.epoch_1904 and wb.epoch == WINDOWS_EPOCH
    expected_path = "python" if engine is None else "engine"
    assert {ws.reader_path for ws in wb} == {expected_path}


@pytest.mark.parametrize("engine", ENGINES)
def test_cells_styles_and_layout(features, engine):
    wb = tavrinex.load_workbook(features, engine=engine)
    ws = wb["Main"]
    assert ws["A1"].value == "head"
    assert ws["B1"].value == 1234.5 and ws["B1"].number_format == "#,##0.00 [$€-407]"
    assert ws["C1"].value == datetime.datetime(2020, 5, 17)
    assert ws["C1"].number_format == "mm-dd-yy" and ws["C1"].is_date
    assert ws["D1"].value == 0.25 and ws["D1"].number_format == "0.00%"
    assert ws["E1"].value == "a_x0041_b"
    assert ws["A2"].value == "x bold y"
    assert ws["B2"].value == "=B1*2" and ws["B2"].data_type == "f"
    assert ws["C2"].value == "=1/0"
    assert ws["A1"].number_format == "General"
    assert ws.merged_cells == ["A3:C4"]
    assert float(ws.column_dimensions["B"]["width"]) > 25
    assert ws.column_dimensions["B"]["max"] == "3"
    assert ws.row_dimensions[3].height == pytest.approx(40, abs=0.5)
    assert ws._dimension == "A1:E6" and ws.calculate_dimension() == "A1:E6"

    # the style of A1 reaches its font, fill, border, alignment and protection
    style = ws["A1"].style_array
    sheet = wb.stylesheet
    font = sheet.fonts[style.fontId]
    assert font.bold and font.italic and font.color is not None
    assert "00FF00" in sheet.fills[style.fillId].fg_color.rgb
    assert "medium" in {side.style for side in vars(sheet.borders[style.borderId]).values()
                        if isinstance(side, Side)}
    assert sheet.alignments[style.alignmentId] == Alignment("center", "top", wrap_text=True)
    assert sheet.protections[style.protectionId] == Protection(locked=False, hidden=True)
    assert sheet.alignments[0] == Alignment() and ws["B1"].style_array.alignmentId == 0
    assert ws["A1"].alignment == Alignment("center", "top", wrap_text=True)
    assert wb.number_formats[ws["B1"].style_array.numFmtId] == "#,##0.00 [$€-407]"


@pytest.mark.parametrize("engine", ENGINES)
def test_hyperlinks_and_comments(features, engine):
    ws = tavrinex.load_workbook(features, engine=engine)["Main"]
    link = ws["A5"].hyperlink
    assert (link.ref, link.target, link.tooltip) == ("A5", "https://example.com/a?b=c",
                                                     "a tip")
    assert ws["A5"].value == "external"
    inner = ws["B5"].hyperlink
    assert (inner.target, inner.location) == (None, "Second!B2")
    assert ws["D5"].comment == Comment("first note", "Ann")
    assert ws["E6"].comment == Comment("second\nnote", "Bob")
    assert ws["A1"].comment is None and ws["A1"].hyperlink is None


@pytest.mark.parametrize("engine", ENGINES)
def test_data_only_and_rich_text(features, engine):
    ws = tavrinex.load_workbook(features, data_only=True, engine=engine)["Main"]
    assert ws["B2"].value == 2469 and ws["C2"].value == "#DIV/0!"
    assert ws["C2"].data_type == "e"
    ws = tavrinex.load_workbook(features, rich_text=True, engine=engine)["Main"]
    rich = ws["A2"].value
    assert isinstance(rich, CellRichText) and str(rich) == "x bold y"
    assert [type(part) for part in rich] == [str, TextBlock, TextBlock]
    assert rich[1].text == "bold" and rich[1].font.b and rich[1].font.i
    assert ws["A1"].value == "head" and ws["E1"].value == "a_x0041_b"


def test_file_objects_and_paths_agree(features):
    by_path = tavrinex.load_workbook(features)
    with open(features, "rb") as f:
        by_file = tavrinex.load_workbook(f)
        assert not f.closed
    by_bytes = tavrinex.load_workbook(io.BytesIO(features.read_bytes()))
    for wb in (by_file, by_bytes):
        assert wb.sheetnames == by_path.sheetnames
        assert grid(wb["Main"]) == grid(by_path["Main"])
    assert by_path.filename == str(features)


def test_read_only_mode(features):
    read_only_worksheets()
    full = tavrinex.load_workbook(features)
    with tavrinex.load_workbook(features, read_only=True) as wb:
        assert wb.sheetnames == full.sheetnames and wb.read_only
        for title in wb.sheetnames:
            assert grid(wb[title]) == grid(full[title])
            # each pass streams the part again
            assert grid(wb[title]) == grid(full[title])
        archive = wb._archive
    assert wb._archive is None
    with pytest.raises(ValueError):
        archive.open("xl/workbook.xml")


def test_both_date_systems(tmp_path):
    moments = [datetime.datetime(1904, 1, 2, 6), datetime.datetime(1999, 12, 31, 23, 59, 59),
               datetime.datetime(2038, 1, 19, 3, 14, 7)]
    for date_1904 in (False, True):
        path = tmp_path / f"{date_1904}.xlsx"
        write_cells(path, {"D": {(i + 1, 1): ("datetime", m) for i, m in enumerate(moments)}},
                    date_1904)
        wb = tavrinex.load_workbook(path)
        assert wb.epoch_1904 is date_1904
        assert [row[0] for row in wb["D"].values] == moments


def test_unmodelled_parts_give_one_warning(tmp_path):
    path = tmp_path / "chart.xlsx"
    wb = xlsxwriter.Workbook(str(path))
    ws = wb.add_worksheet("Data")
    ws.write_column("A1", [1, 2, 3])
    chart = wb.add_chart({"type": "line"})
    chart.add_series({"values": "=Data!$A$1:$A$3"})
    ws.insert_chart("C1", chart)
    sheet = wb.add_chartsheet("ChartSheet")
    chart2 = wb.add_chart({"type": "bar"})
    chart2.add_series({"values": "=Data!$A$1:$A$3"})
    sheet.set_chart(chart2)
    wb.close()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        book = tavrinex.load_workbook(path)
    assert len(caught) == 1
    message = str(caught[0].message)
    assert str(path) in message and "chartsheets" in message and "drawings" in message
    assert book.sheetnames == ["Data"] and book.unread_parts
    assert [row[0] for row in book["Data"].values] == [1, 2, 3]


def test_plain_workbook_gives_no_warning(features):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        tavrinex.load_workbook(features)


# -- packages no writer makes

@pytest.mark.parametrize("engine", ENGINES)
def test_part_names_match_without_case(tmp_path, engine):
    parts = minimal_parts('<row r="1"><c r="A1" t="s"><v>0</v></c>'
                          '<c r="B1" t="inlineStr"><is><t>inline</t></is></c></row>',
                          strings=["shared"])
    renamed = {"[content_types].xml": parts.pop("[Content_Types].xml"),
               "_RELS/.rels": parts.pop("_rels/.rels"),
               "XL/Workbook.XML": parts.pop("xl/workbook.xml"),
               "xl/_rels/WORKBOOK.xml.rels": parts.pop("xl/_rels/workbook.xml.rels"),
               "xl/SharedStrings.xml": parts.pop("xl/sharedStrings.xml"),
               "xl/Worksheets/Sheet1.xml": parts.pop("xl/worksheets/sheet1.xml")}
    path = tmp_path / "cases.xlsx"
    path.write_bytes(package(renamed))
    ws = tavrinex.load_workbook(path, engine=engine)["One"]
    assert list(ws.values) == [("shared", "inline")]


def test_absolute_targets_and_odd_titles(tmp_path):
    parts = minimal_parts(strings=None)
    parts["xl/_rels/workbook.xml.rels"] = parts["xl/_rels/workbook.xml.rels"].replace(
        'Target="worksheets/sheet1.xml"', 'Target="/xl/worksheets/../worksheets/sheet1.xml"')
    parts["xl/workbook.xml"] = parts["xl/workbook.xml"].replace(
        'name="One"', 'name="Q1/Q2: [draft]*"')
    path = tmp_path / "abs.xlsx"
    path.write_bytes(package(parts))
    wb = tavrinex.load_workbook(path)
    assert wb.sheetnames == ["Q1/Q2: [draft]*"]
    assert wb["Q1/Q2: [draft]*"]["A1"].value == 1


def test_styles_decide_dates_and_durations(tmp_path):
    styles = ('<numFmts count="2"><numFmt numFmtId="164" formatCode="[mm]:ss"/>'
              '<numFmt numFmtId="165" formatCode="&quot;day&quot; 0.0"/></numFmts>'
              '<cellXfs count="5"><xf numFmtId="0"/><xf numFmtId="14"/><xf numFmtId="164"/>'
              '<xf numFmtId="165"/><xf numFmtId="46" applyNumberFormat="1"/></cellXfs>')
    body = ('<row r="1"><c r="A1"><v>2</v></c><c r="B1" s="1"><v>45000</v></c>'
            '<c r="C1" s="2"><v>0.5</v></c><c r="D1" s="3"><v>2.5</v></c>'
            '<c r="E1" s="4"><v>1.25</v></c></row>')
    for date1904 in (False, True):
        path = tmp_path / f"styles{date1904}.xlsx"
        path.write_bytes(package(minimal_parts(body, styles=styles, date1904=date1904)))
        wb = tavrinex.load_workbook(path)
        epoch = MAC_EPOCH if date1904 else WINDOWS_EPOCH
        assert list(wb["One"].values) == [(2, epoch + datetime.timedelta(days=45000),
                                           datetime.timedelta(hours=12), 2.5,
                                           datetime.timedelta(days=1, hours=6))]
        assert wb._date_formats == {1, 2, 4} and wb._timedelta_formats == {2, 4}
        assert [wb["One"].cell(1, c).number_format for c in range(1, 6)] == [
            "General", "mm-dd-yy", "[mm]:ss", '"day" 0.0', "[h]:mm:ss"]


def test_number_cells_keep_their_values(tmp_path):
    body = ('<row r="1"><c r="A1"><v>12345678901234567890</v></c>'
            '<c r="B1"><v>1.5E-3</v></c><c r="C1" t="b"><v>1</v></c>'
            '<c r="D1" t="e"><v>#N/A</v></c><c r="E1" t="d"><v>2021-03-04T05:06:07</v></c>'
            '</row>')
    path = tmp_path / "n.xlsx"
    path.write_bytes(package(minimal_parts(body)))
    for engine in [p.values[0] for p in ENGINES]:
        row = next(tavrinex.load_workbook(path, engine=engine)["One"].values)
        assert row == (12345678901234567890, 0.0015, True, "#N/A",
                       datetime.datetime(2021, 3, 4, 5, 6, 7))
        assert not isinstance(row[0], (float, decimal.Decimal))


def test_read_only_hands_each_sheet_its_part(features, monkeypatch):
    """The read-only worksheet is given its workbook, title, reading options
    and a function opening a fresh stream at the start of its part."""
    import sys
    import types

    made = []

    class Recorder:
        def __init__(self, parent, title, open_source, **options):
            made.append(self)
            self.parent, self.title, self.open_source = parent, title, open_source
            self.options = options

    fake = types.ModuleType("tavrinex.reader.readonly")
    fake.ReadOnlyWorksheet = Recorder
    monkeypatch.setitem(sys.modules, "tavrinex.reader.readonly", fake)
    wb = tavrinex.load_workbook(features, read_only=True, data_only=True, rich_text=True)
    assert [ws.title for ws in made] == wb.sheetnames == ["Main", "Second", "Hidden",
                                                          "VeryHidden"]
    main = wb["Main"]
    assert main.parent is wb and wb.active is wb["Second"]
    assert main.options["data_only"] and main.options["rich_text"]
    assert "engine" not in main.options
    date_ids = main.options["date_formats"]
    assert any(wb._cell_styles[i].numFmtId == 14 for i in date_ids)
    first, second = main.open_source(), main.open_source()
    head = first.read(200)
    assert b"<worksheet" in head and second.read(200) == head
    assert b'<c r="B2"' in wb["Second"].open_source().read()
    wb.close()
    with pytest.raises(ValueError):
        main.open_source()
    wb = tavrinex.load_workbook(features, read_only=True, engine=None)
    assert all(ws.options["engine"] is None for ws in wb.worksheets)
    wb.close()


@pytest.mark.skipif(_native.native is None, reason="engine not built")
def test_rich_shared_strings_same_on_both_paths():
    from tavrinex.reader.book import read_strings

    items = ["<si><t>plain</t></si>",
             "<si><r><t>a</t></r><r><t>b_x005F_c</t></r></si>",
             '<si><r><rPr><b/><sz val="11"/></rPr><t>bold</t></r><r><t> tail</t></r></si>',
             "<si><t>lead</t><r><rPr><i/></rPr><t>it_x005F_x</t></r></si>",
             '<si><t>kanji</t><rPh sb="0" eb="1"><t>kana</t></rPh></si>',
             '<si><r foo="1"><t>attr</t></r></si>',
             "<si/>"]
    data = (f'<sst xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
            f'{"".join(items)}</sst>').encode()
    for rich_text in (False, True):
        native = read_strings(io.BytesIO(data), rich_text, _native.native)
        python = read_strings(io.BytesIO(data), rich_text, None)
        assert native == python
        assert [type(v) for v in native] == [type(v) for v in python]
    assert python[0] == "plain" and python[1] == "ab_c" and python[6] == ""
    assert isinstance(python[2], CellRichText) and python[2][0].font.b
    assert str(python[3]) == "leadit_x"
