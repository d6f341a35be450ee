"""Rich text cells are saved with their runs: independent readers see the
text, and loading with rich_text=True gives the same runs back."""

import io
import zipfile

import pytest
from python_calamine import CalamineWorkbook

import tavrinex
from tavrinex import _native
from tavrinex.text import CellRichText, Color, InlineFont, TextBlock
from tavrinex.writer.workbook_writer import save_workbook

from soffice import SOFFICE, convert, csv_rows
from xlsx_files import appended_workbook

ENGINES = [pytest.param(None, id="python")]
if _native.native is not None:
    ENGINES.insert(0, pytest.param(_native.native, id="engine"))

EVERY_PROPERTY = InlineFont(rFont="Arial", charset=1, family=2, b=True, i=False, strike=True,
                            outline=False, shadow=True, condense=False, extend=True,
                            color=Color(theme=4, tint=-0.25), sz=10.5, u="double",
                            vertAlign="superscript", scheme="minor")
RICH = [
    CellRichText(["plain ", TextBlock(InlineFont(b=True, color=Color(rgb="FFC00000")), "red"),
                  " tail "]),
    CellRichText([TextBlock(EVERY_PROPERTY, "  every property"), "Grüße <&>"]),
    CellRichText([TextBlock(InlineFont(sz=11.0, color=Color(indexed=8, auto=True)), "x\x01y")]),
    CellRichText(["only plain"]),
]


def book(write_only=False):
    rows = [["label", value] for value in RICH] + [["empty", CellRichText()]]
    return appended_workbook("Rich", rows, write_only)


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("write_only", [False, True], ids=["normal", "write_only"])
def test_rich_text_round_trips_with_its_runs(tmp_path, engine, write_only):
    path = tmp_path / "rich.xlsx"
    save_workbook(book(write_only), path, engine=engine)
    seen = CalamineWorkbook.from_path(str(path)).get_sheet_by_name("Rich").to_python()
    assert [row[1] for row in seen] == ["plain red tail ", "  every propertyGrüße <&>",
                                        "x\x01y", "only plain", ""]
    back = tavrinex.load_workbook(path, rich_text=True)["Rich"]
    assert [back.cell(r, 2).value for r in range(1, 3)] == RICH[:2]
    # Read back as any text is: control characters in their escaped form,
    # and runs without properties as plain text.
    assert back["B3"].value == CellRichText([TextBlock(RICH[2][0].font, "x_x0001_y")])
    assert back["B4"].value == "only plain"
    assert back.cell(5, 2).value is None
    plain = tavrinex.load_workbook(path)["Rich"]
    assert plain["B1"].value == "plain red tail " and plain["B1"].data_type == "s"


@pytest.mark.parametrize("lxml", [True, False], ids=["lxml", "etree"])
def test_engine_and_python_write_rich_text_alike(lxml):
    if _native.native is None:
        pytest.skip("the engine is not built")
    parts = []
    for engine in (_native.native, None):
        buf = io.BytesIO()
        save_workbook(book(), buf, lxml=lxml, engine=engine)
        with zipfile.ZipFile(buf) as z:
            parts.append(z.read("xl/worksheets/sheet1.xml"))
    assert parts[0] == parts[1]
    assert b'<r><rPr><b val="1"' in parts[0] and b"<t xml:space=\"preserve\">plain </t>" in parts[0]


def test_rich_text_is_a_string_value():
    ws = tavrinex.Workbook().active
    ws["A1"] = RICH[0]
    assert ws["A1"].data_type == "s" and ws["A1"].value is RICH[0]
    with pytest.raises(ValueError, match="Cannot convert"):
        ws["A2"] = ["a plain list"]


@pytest.mark.skipif(SOFFICE is None, reason="LibreOffice is not installed")
@pytest.mark.parametrize("write_only", [False, True], ids=["normal", "write_only"])
def test_libreoffice_reads_the_runs(tmp_path, write_only):
    path = tmp_path / "rich.xlsx"
    book(write_only).save(path)
    rows = csv_rows(path, tmp_path)
    assert [row[1] if len(row) > 1 else "" for row in rows[:4]] == [
        "plain red tail ", "  every propertyGrüße <&>", "x\x01y", "only plain"]
    # LibreOffice writes the file again: the bold red run is still its own run.
    out = tmp_path / "lo"
    out.mkdir()
    convert(out, "xlsx", path)
    again = tavrinex.load_workbook(out / "rich.xlsx", rich_text=True)["Rich"]["B1"].value
    assert str(again) == "plain red tail "
    bold = [block for block in again if isinstance(block, TextBlock) and block.font.b]
    assert [(block.text, block.font.color.rgb) for block in bold] == [("red", "FFC00000")]
