"""Workbooks written by LibreOffice (headless), from flat OpenDocument
spreadsheets made here: load_workbook gives what was put in, on both
paths and in both date systems, and python-calamine agrees. Skipped when
LibreOffice is not installed."""

import datetime

import pytest
from python_calamine import CalamineWorkbook

import tavrinex
from tavrinex import _native
from tavrinex.comments import Comment
from tavrinex.text import CellRichText
from tavrinex.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH

from soffice import SOFFICE, run_soffice

pytestmark = pytest.mark.skipif(SOFFICE is None, reason="LibreOffice is not installed")

ENGINES = [pytest.param(None, id="python")]
if _native.native is not None:
    ENGINES.insert(0, pytest.param(_native.native, id="engine"))

NS = ('xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
      'xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" '
      'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" '
      'xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0" '
      'xmlns:number="urn:oasis:names:tc:opendocument:xmlns:datastyle:1.0" '
      'xmlns:fo="urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0" '
      'xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:xlink="http://www.w3.org/1999/xlink" '
      'xmlns:of="urn:oasis:names:tc:opendocument:xmlns:of:1.2"')
STYLES = (
    '<number:date-style style:name="N1"><number:year number:style="long"/><number:text>-'
    '</number:text><number:month number:style="long"/><number:text>-</number:text>'
    '<number:day number:style="long"/><number:text> </number:text><number:hours '
    'number:style="long"/><number:text>:</number:text><number:minutes number:style="long"/>'
    '<number:text>:</number:text><number:seconds number:style="long"/></number:date-style>'
    '<number:time-style style:name="N2" number:truncate-on-overflow="false"><number:hours/>'
    '<number:text>:</number:text><number:minutes number:style="long"/><number:text>:'
    '</number:text><number:seconds number:style="long"/></number:time-style>'
    '<style:style style:name="ce1" style:family="table-cell" style:data-style-name="N1"/>'
    '<style:style style:name="ce2" style:family="table-cell" style:data-style-name="N2"/>'
    '<style:style style:name="ta2" style:family="table"><style:table-properties '
    'table:display="false"/></style:style>'
    '<style:style style:name="T1" style:family="text"><style:text-properties '
    'fo:font-weight="bold"/></style:style>')

MOMENTS = [datetime.datetime(1904, 1, 2, 6, 30), datetime.datetime(2024, 2, 29, 13, 45, 10),
           datetime.datetime(9999, 12, 31, 23, 59, 59)]
SPANS = [datetime.timedelta(hours=30, minutes=15), datetime.timedelta(seconds=1),
         datetime.timedelta(days=400)]
NUMBERS = [1.5, -2, 12345678.25]
TEXTS = ["héllo", "quote \"and\" apostrophe'", "東京 <&>"]


def _cell(kind, value):
    if kind == "float":
        return (f'<table:table-cell office:value-type="float" office:value="{value}">'
                f'<text:p>{value}</text:p></table:table-cell>')
    if kind == "string":
        text = value.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
        return f'<table:table-cell office:value-type="string"><text:p>{text}</text:p></table:table-cell>'
    if kind == "date":
        return (f'<table:table-cell table:style-name="ce1" office:value-type="date" '
                f'office:date-value="{value.isoformat()}"><text:p>d</text:p></table:table-cell>')
    if kind == "time":
        seconds = int(value.total_seconds())
        return (f'<table:table-cell table:style-name="ce2" office:value-type="time" '
                f'office:time-value="PT{seconds // 3600}H{seconds // 60 % 60}M{seconds % 60}S">'
                f'<text:p>t</text:p></table:table-cell>')
    raise AssertionError(kind)


def fods(epoch_1904):
    rows = []
    for i in range(3):
        rows.append("<table:table-row>" + _cell("float", NUMBERS[i]) + _cell("string", TEXTS[i])
                    + _cell("date", MOMENTS[i]) + _cell("time", SPANS[i])
                    + f'<table:table-cell table:formula="of:=[.A{i + 1}]*2" '
                    f'office:value-type="float" office:value="{NUMBERS[i] * 2}">'
                    f"<text:p>f</text:p></table:table-cell></table:table-row>")
    rows.append(
        '<table:table-row><table:table-cell table:number-columns-spanned="2" '
        'office:value-type="string"><text:p>merged</text:p><office:annotation>'
        '<dc:creator>Ann</dc:creator><text:p>a note</text:p></office:annotation>'
        '</table:table-cell><table:covered-table-cell/>'
        '<table:table-cell office:value-type="string"><text:p><text:a '
        'xlink:href="https://example.com/lo">link</text:a></text:p></table:table-cell>'
        '<table:table-cell office:value-type="string"><text:p>plain <text:span '
        'text:style-name="T1">bold</text:span></text:p></table:table-cell>'
        '</table:table-row>')
    null_date = ('<table:calculation-settings><table:null-date table:date-value="1904-01-01"/>'
                 '</table:calculation-settings>') if epoch_1904 else ""
    return (f'<?xml version="1.0" encoding="UTF-8"?><office:document {NS} office:version="1.3" '
            f'office:mimetype="application/vnd.oasis.opendocument.spreadsheet">'
            f"<office:automatic-styles>{STYLES}</office:automatic-styles><office:body>"
            f"<office:spreadsheet>{null_date}"
            f'<table:table table:name="Main">{"".join(rows)}</table:table>'
            f'<table:table table:name="Hidden" table:style-name="ta2"><table:table-row>'
            f'{_cell("float", 7)}</table:table-row></table:table>'
            f"</office:spreadsheet></office:body></office:document>")


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("lo")
    sources = []
    for epoch_1904 in (False, True):
        src = folder / f"book{int(epoch_1904)}.fods"
        src.write_text(fods(epoch_1904), encoding="utf-8")
        sources.append(src)
    run_soffice(f"-env:UserInstallation=file://{folder}/profile",
                "--convert-to", "xlsx", "--outdir", folder, *sources)
    return {False: folder / "book0.xlsx", True: folder / "book1.xlsx"}


def expected_rows(data_only):
    rows = [(NUMBERS[i], TEXTS[i], MOMENTS[i], SPANS[i],
             NUMBERS[i] * 2 if data_only else f"=A{i + 1}*2") for i in range(3)]
    rows.append(("merged", None, "link", "plain bold", None))
    return rows


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("epoch_1904", [False, True])
def test_libreoffice_workbook(files, engine, epoch_1904):
    for data_only in (False, True):
        wb = tavrinex.load_workbook(files[epoch_1904], data_only=data_only, engine=engine)
        assert wb.epoch == (MAC_EPOCH if epoch_1904 else WINDOWS_EPOCH)
        assert wb.sheetnames == ["Main", "Hidden"]
        assert wb.sheet_states == {"Main": "visible", "Hidden": "hidden"}
        ws = wb["Main"]
        assert list(ws.values) == expected_rows(data_only)
        assert ws.merged_cells == ["A4:B4"]
        assert ws["C4"].hyperlink.target == "https://example.com/lo"
        assert ws["A4"].comment == Comment("a note", "Ann")
        assert ws["D1"].number_format == "[h]:mm:ss"
        assert list(wb["Hidden"].values) == [(7,)]
    rich = tavrinex.load_workbook(files[epoch_1904], rich_text=True, engine=engine)
    value = rich["Main"]["D4"].value
    assert isinstance(value, CellRichText) and str(value) == "plain bold"
    assert any(getattr(getattr(part, "font", None), "b", False) for part in value)


def test_libreoffice_read_only(files):
    pytest.importorskip("tavrinex.reader.readonly")
    for path in files.values():
        with tavrinex.load_workbook(path, read_only=True) as wb:
            assert list(wb["Main"].iter_rows(values_only=True)) == expected_rows(False)


def test_calamine_agrees_on_libreoffice_files(files):
    for path in files.values():
        theirs = CalamineWorkbook.from_path(str(path)).get_sheet_by_name("Main").to_python()
        ours = list(tavrinex.load_workbook(path, data_only=True)["Main"].values)
        assert [tuple(None if v == "" else v for v in row) for row in theirs] == ours
