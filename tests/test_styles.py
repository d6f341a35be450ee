"""The style model: values read from files (ours, XlsxWriter's), written
back as read, checked on construction, and the stylesheet kept whole."""

import dataclasses
import io
import zipfile
from pathlib import Path
from xml.etree import ElementTree as ET

import pytest
import xlsxwriter

import tavrinex
from tavrinex.styles import (Alignment, Border, Color, DifferentialStyle, Font, GradientFill,
                             NamedStyle, PatternFill, Protection, Side)
from tavrinex.styles.fills import fill_from_element

from xlsx_files import MAIN, minimal_parts, package

X14AC = "http://schemas.microsoft.com/office/spreadsheetml/2009/9/ac"
X14 = "http://schemas.microsoft.com/office/spreadsheetml/2009/9/main"
MC = "http://schemas.openxmlformats.org/markup-compatibility/2006"

# A stylesheet with every collection, odd spellings and foreign content.
FULL_STYLES = f"""<styleSheet xmlns="{MAIN}" xmlns:mc="{MC}" xmlns:x14ac="{X14AC}"
 xmlns:x14="{X14}" mc:Ignorable="x14ac">
<numFmts count="2"><numFmt numFmtId="200" formatCode="0.0&quot;kg&quot;"/>
<numFmt numFmtId="164" formatCode="yyyy-mm-dd"/></numFmts>
<fonts count="3" x14ac:knownFonts="1">
<font><sz val="11"/><color theme="1"/><name val="Calibri"/><family val="2"/>
<scheme val="minor"/></font>
<font><b val="0"/><i val="true"/><u val="singleAccounting"/><strike/><vertAlign val="superscript"/>
<sz val="9.5"/><color rgb="FF00B050"/><name val="Arial"/><charset val="204"/></font>
<font><outline/><shadow/><condense/><extend/><sz val="20"/><color theme="4" tint="-0.249977111117893"/>
<name val="Cambria"/><family val="1"/><scheme val="major"/></font></fonts>
<fills count="4"><fill><patternFill patternType="none"/></fill>
<fill><patternFill patternType="gray125"/></fill>
<fill><patternFill patternType="darkTrellis"><fgColor indexed="10"/><bgColor auto="1"/>
</patternFill></fill>
<fill><gradientFill type="path" left="0.2" right="0.2" top="0.5" bottom="0.5">
<stop position="0"><color rgb="FFFFFFFF"/></stop><stop position="1"><color theme="5"/></stop>
</gradientFill></fill></fills>
<borders count="2"><border><left/><right/><top/><bottom/><diagonal/></border>
<border diagonalDown="1" outline="0"><left style="mediumDashDotDot"><color rgb="FF123456"/></left>
<right style="slantDashDot"/><top style="hair"><color auto="1"/></top><bottom/>
<diagonal style="double"><color indexed="64"/></diagonal><vertical style="thin"/><horizontal/>
</border></borders>
<cellStyleXfs count="2"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/>
<xf numFmtId="0" fontId="2" fillId="0" borderId="0" applyAlignment="0"/></cellStyleXfs>
<cellXfs count="4"><xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/>
<xf numFmtId="200" fontId="1" fillId="2" borderId="1" xfId="0" applyNumberFormat="1"
 quotePrefix="1"><alignment horizontal="centerContinuous" vertical="justify" textRotation="255"
 wrapText="1" indent="3" shrinkToFit="1" readingOrder="2"/><protection locked="0" hidden="1"/></xf>
<xf numFmtId="164" fontId="2" fillId="3" borderId="0" xfId="1" applyFont="true"/>
<xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"><extLst><ext uri="{{0}}"/></extLst></xf>
</cellXfs>
<cellStyles count="2"><cellStyle name="Normal" xfId="0" builtinId="0"/>
<cellStyle name="Big heading" xfId="1" customBuiltin="1"/></cellStyles>
<dxfs count="2"><dxf><font><b/><color rgb="FF9C0006"/></font><fill><patternFill>
<bgColor rgb="FFFFC7CE"/></patternFill></fill></dxf>
<dxf><numFmt numFmtId="170" formatCode="0.000"/><border><left style="thin"/><right/><top/><bottom/>
<diagonal/></border></dxf></dxfs>
<tableStyles count="1" defaultTableStyle="TableStyleMedium2" defaultPivotStyle="PivotStyleLight16">
<tableStyle name="Mine" pivot="0" count="1"><tableStyleElement type="wholeTable" dxfId="0"/>
</tableStyle></tableStyles>
<colors><indexedColors><rgbColor rgb="FF000000"/><rgbColor rgb="FFFFFFFF"/></indexedColors>
<mruColors><color rgb="FF00B050"/></mruColors></colors>
<extLst><ext uri="{{EB79DEF2-80B8-43e5-95BD-54CBDDF9020C}}"><x14:slicerStyles
 defaultSlicerStyle="SlicerStyleLight1"/></ext></extLst></styleSheet>"""
CELLS = ('<row r="1"><c r="A1" s="1"><v>1</v></c><c r="B1" s="2"><v>2</v></c>'
         '<c r="C1" s="3"><v>3</v></c></row>')


def full_workbook():
    parts = minimal_parts(sheet_body=CELLS)
    parts["xl/styles.xml"] = FULL_STYLES
    parts["xl/_rels/workbook.xml.rels"] = parts["xl/_rels/workbook.xml.rels"].replace(
        "</Relationships>", '<Relationship Id="rId9" Type="http://schemas.openxmlformats.org/'
        'officeDocument/2006/relationships/styles" Target="styles.xml"/></Relationships>')
    return tavrinex.load_workbook(io.BytesIO(package(parts)))


def saved_part(wb, name="xl/styles.xml"):
    out = io.BytesIO()
    wb.save(out)
    return zipfile.ZipFile(out).read(name)


def canonical(data):
    return ET.canonicalize(xml_data=data, strip_text=True)


def collections(data):
    root = ET.fromstring(data)
    return {child.tag.rpartition("}")[2]: [canonical(ET.tostring(item)) for item in child]
            for child in root}


def test_stylesheet_is_written_back_whole_and_read_into_the_model():
    wb = full_workbook()
    saved = saved_part(wb)
    assert canonical(saved) == canonical(FULL_STYLES.encode())
    assert b'xmlns:x14ac="' + X14AC.encode() in saved.split(b">", 2)[1]   # mc:Ignorable's prefix

    ws = wb.active
    assert ws["A1"].font == Font(name="Arial", size=9.5, italic=True,
                                 underline="singleAccounting", strike=True,
                                 vert_align="superscript", color="00B050", family=None,
                                 charset=204)
    assert ws["A1"].fill == PatternFill(Color(indexed=10), "darkTrellis", Color(auto=True))
    assert ws["A1"].border == Border(
        left=Side("mediumDashDotDot", "123456"), right=Side("slantDashDot"),
        top=Side("hair", Color(auto=True)), diagonal=Side("double", Color(indexed=64)),
        diagonal_down=True, outline=False, vertical=Side("thin"), horizontal=Side())
    assert ws["A1"].alignment == Alignment("centerContinuous", "justify", wrap_text=True,
                                           shrink_to_fit=True, indent=3, text_rotation=255,
                                           reading_order=2)
    assert ws["A1"].protection == Protection(locked=False, hidden=True)
    assert ws["A1"].number_format == '0.0"kg"' and ws["A1"].style == "Normal"
    assert ws["B1"].font == Font(name="Cambria", size=20, outline=True, shadow=True,
                                 condense=True, extend=True, family=1, scheme="major",
                                 color=Color(theme=4, tint=-0.249977111117893))
    assert ws["B1"].fill == GradientFill("path", 0, 0.2, 0.2, 0.5, 0.5,
                                         [(0, "FFFFFF"), (1, Color(theme=5))])
    assert ws["B1"].style == "Big heading"
    assert wb.named_styles["Big heading"].font == ws["B1"].font
    sheet = wb.stylesheet
    assert sheet.dxfs[0] == DifferentialStyle(font=Font(bold=True, color="9C0006"),
                                              fill=PatternFill(None, None, "FFC7CE"))
    assert sheet.dxfs[1] == DifferentialStyle(number_format="0.000", border=Border(left="thin"))


def test_new_entries_are_appended_and_existing_indices_kept():
    wb = full_workbook()
    before = collections(FULL_STYLES.encode())
    ws = wb.active
    ws["A1"].font = dataclasses.replace(ws["A1"].font, bold=True)
    ws["A2"] = 5
    ws["A2"].number_format = "0.0000"
    ws["A3"] = "same font as B1"
    ws["A3"].font = ws["B1"].font                     # found, not added
    ws["A4"] = "good"
    ws["A4"].style = "Good"
    after = collections(saved_part(wb))
    for name, items in before.items():
        grown = after[name]
        if name in ("fonts", "fills", "cellXfs", "cellStyleXfs", "cellStyles", "numFmts"):
            assert grown[:len(items)] == items, name
        else:
            assert grown == items, name
    assert len(after["fonts"]) == 5          # the bold copy and Good's font
    assert len(after["numFmts"]) == 3 and 'numFmtId="201"' in after["numFmts"][2]
    assert 'builtinId="26" name="Good"' in after["cellStyles"][-1]

    again = tavrinex.load_workbook(io.BytesIO(_saved(wb)))["One"]
    expected = dataclasses.replace(ws["B1"].font)
    assert again["A1"].font.bold and again["A1"].font.underline == "singleAccounting"
    assert again["A1"].font.charset == 204 and again["A2"].number_format == "0.0000"
    assert again["A3"].font == expected and again["A3"].style_array.fontId == 2
    assert again["A4"].style == "Good" and again["A4"].fill == PatternFill("C6EFCE")


def _saved(wb):
    out = io.BytesIO()
    wb.save(out)
    return out.getvalue()


AUTO = Color(auto=True)


def xlsxwriter_formats(path):
    """A workbook whose cells XlsxWriter formatted, and the fonts, fills,
    borders and alignments they should read as."""
    book = xlsxwriter.Workbook(path)
    ws = book.add_worksheet()
    cases = [
        ({"bold": True, "underline": 2, "font_color": "#FF0000"},
         {"font": Font(bold=True, underline="double", color="FF0000", scheme="minor")}),
        ({"italic": True, "font_strikeout": True, "font_script": 1, "font_name": "Arial",
          "font_size": 14, "underline": 33},
         {"font": Font(name="Arial", size=14, italic=True, strike=True,
                       vert_align="superscript", underline="singleAccounting")}),
        ({"font_script": 2, "underline": 34, "font_outline": True, "font_shadow": True},
         {"font": Font(vert_align="subscript", underline="doubleAccounting", outline=True,
                       shadow=True, scheme="minor")}),
        ({"pattern": 1, "bg_color": "#305496"},     # a solid fill over the system background
         {"fill": PatternFill("305496", "solid", Color(indexed=64))}),
        ({"pattern": 5, "fg_color": "#00FF00", "bg_color": "#0000FF"},
         {"fill": PatternFill("00FF00", "darkHorizontal", "0000FF")}),
        ({"pattern": 18, "fg_color": "#123456"}, {"fill": PatternFill("123456", "gray0625")}),
        ({"left": 8, "right": 13, "top": 12, "bottom": 6, "left_color": "#FF0000",
          "diag_type": 3, "diag_border": 4},
         {"border": Border(left=Side("mediumDashed", "FF0000"), right=Side("slantDashDot", AUTO),
                           top=Side("mediumDashDotDot", AUTO), bottom=Side("double", AUTO),
                           diagonal=Side("dotted", AUTO), diagonal_up=True,
                           diagonal_down=True)}),
        ({"align": "center", "valign": "vcenter", "text_wrap": True, "rotation": 45},
         {"alignment": Alignment("center", "center", wrap_text=True, text_rotation=45)}),
        ({"align": "right", "indent": 2, "shrink": True, "reading_order": 2},
         {"alignment": Alignment("right", indent=2, shrink_to_fit=True, reading_order=2)}),
        ({"rotation": -30, "align": "justify", "valign": "vdistributed"},
         {"alignment": Alignment("justify", "distributed", text_rotation=120)}),
        ({"rotation": 270}, {"alignment": Alignment(text_rotation=255)}),
        ({"locked": False, "hidden": True},
         {"protection": Protection(locked=False, hidden=True)}),
    ]
    for row, (props, _) in enumerate(cases):
        ws.write(row, 0, f"case {row}", book.add_format(props))
    book.close()
    return cases


def test_what_xlsxwriter_writes_reads_into_equal_values_and_writes_back_alike(tmp_path):
    cases = xlsxwriter_formats(tmp_path / "x.xlsx")
    wb = tavrinex.load_workbook(tmp_path / "x.xlsx")
    ws = wb.active
    for row, (_, expected) in enumerate(cases, 1):
        for attribute, value in expected.items():
            got = getattr(ws.cell(row, 1), attribute)
            if attribute == "font":   # XlsxWriter gives each font its scheme and theme colour
                value = dataclasses.replace(value, scheme=got.scheme, color=value.color or
                                            got.color)
            assert got == value, (row, attribute)
    # Every entry the model writes again is the element XlsxWriter wrote
    # (a font's children in any order: the format allows it).
    root = ET.fromstring(zipfile.ZipFile(tmp_path / "x.xlsx").read("xl/styles.xml"))
    readers = {"font": Font.from_element, "fill": fill_from_element,
               "border": Border.from_element}
    for collection in root:
        for el in collection:
            kind = el.tag.rpartition("}")[2]
            if kind in readers:
                written = readers[kind](el).to_element()
                if kind == "font":
                    written[:] = sorted(written, key=lambda c: c.tag)
                    el[:] = sorted(el, key=lambda c: c.tag)
                assert canonical(ET.tostring(written)) == canonical(ET.tostring(el))
            for part in el:
                if part.tag.endswith("}alignment"):
                    assert (canonical(ET.tostring(Alignment.from_element(part).to_element()))
                            == canonical(ET.tostring(part)))


def test_replace_keeps_every_other_attribute_through_a_save(tmp_path):
    xlsxwriter_formats(tmp_path / "x.xlsx")
    wb = tavrinex.load_workbook(tmp_path / "x.xlsx")
    cell = wb.active["A2"]
    underlined = cell.font
    cell.font = dataclasses.replace(cell.font, bold=True)
    cell.alignment = dataclasses.replace(wb.active["A9"].alignment, indent=4)
    wb.save(tmp_path / "y.xlsx")
    back = tavrinex.load_workbook(tmp_path / "y.xlsx").active["A2"]
    assert back.font == dataclasses.replace(underlined, bold=True)
    assert back.font.underline == "singleAccounting" and back.font.strike
    assert back.alignment == Alignment("right", indent=4, shrink_to_fit=True, reading_order=2)


def test_read_only_cells_give_their_styles(tmp_path):
    xlsxwriter_formats(tmp_path / "x.xlsx")
    full = tavrinex.load_workbook(tmp_path / "x.xlsx").active
    with tavrinex.load_workbook(tmp_path / "x.xlsx", read_only=True) as wb:
        rows = list(wb.active.iter_rows())
        assert [(r[0].font, r[0].fill, r[0].border) for r in rows] == [
            (c.font, c.fill, c.border) for c in full["A"]]


def test_named_styles_new_and_builtin(tmp_path):
    wb = tavrinex.Workbook()
    ws = wb.active
    ws["A1"] = "fine"
    ws["A1"].style = "Good"
    mine = NamedStyle("Boxed", font=Font(bold=True), border=Border.all("medium"),
                      number_format="0.00")
    ws["A2"] = 1.5
    ws["A2"].style = mine
    assert wb.named_styles.names == ["Normal", "Good", "Boxed"]
    assert ws["A2"].border == Border.all("medium") and ws["A2"].number_format == "0.00"
    ws["A3"].style = "Boxed"                       # by name once it is in the workbook
    with pytest.raises(ValueError, match="different style named 'Boxed'"):
        ws["A4"].style = dataclasses.replace(mine, number_format="0")
    wb.save(tmp_path / "n.xlsx")
    back = tavrinex.load_workbook(tmp_path / "n.xlsx")
    assert [c.style for c in back.active["A"]] == ["Good", "Boxed", "Boxed"]
    assert back.named_styles["Boxed"] == mine
    assert back.named_styles["Good"].fill == PatternFill("C6EFCE")
    assert back.active["A1"].font.color == Color(rgb="FF006100")


def test_differential_styles_write_what_they_read():
    styles = [DifferentialStyle(font=Font(bold=True, color="9C0006"), fill=PatternFill("FFC7CE")),
              DifferentialStyle(number_format="0.0%", border=Border.all("thin", "FF0000"),
                                alignment=Alignment("center"), protection=Protection(False)),
              DifferentialStyle(font=Font(name="Arial", size=14, italic=True),
                                fill=GradientFill(degree=45, stops=[(0, "FF0000"),
                                                                    (1, "0000FF")]))]
    for style in styles:
        el = style.to_element(lambda code: 170)
        assert DifferentialStyle.from_element(el) == style
    solid = styles[0].to_element()
    pattern = solid.find(f"{{{MAIN}}}fill/{{{MAIN}}}patternFill")
    assert [c.get("rgb") for c in pattern] == ["FFFFC7CE", "FFFFC7CE"]   # fg and bg
    font = solid.find(f"{{{MAIN}}}font")
    assert [c.tag.rpartition("}")[2] for c in font] == ["b", "color"]   # no name or size


@pytest.mark.parametrize("make, error, words", [
    (lambda: Font(size=0.5), ValueError, "a font size runs from 1 to 409"),
    (lambda: Font(size=409.5), ValueError, "a font size runs from 1 to 409"),
    (lambda: Font(size="11"), TypeError, "a font size is a number"),
    (lambda: Font(name=""), ValueError, "font names"),
    (lambda: Font(name="x" * 32), ValueError, "font names"),
    (lambda: Font(bold="yes"), TypeError, "Font.bold is True or False"),
    (lambda: Font(underline="wavy"), ValueError, "Font.underline is one of"),
    (lambda: Font(vert_align="baseline"), ValueError, "Font.vert_align is one of"),
    (lambda: Font(scheme="body"), ValueError, "Font.scheme is one of"),
    (lambda: Font(family=15), ValueError, "a font family runs from 0 to 14"),
    (lambda: Font(color="red"), ValueError, "6 or 8 hex digits"),
    (lambda: Font(color=0xFF0000), TypeError, "a font's colour is a Color"),
    (lambda: Color(), ValueError, "not none"),
    (lambda: Color(rgb="FF0000", theme=1), ValueError, "not rgb, theme"),
    (lambda: Color(theme=2, tint=1.5), ValueError, "tint runs from -1 to 1"),
    (lambda: Color(indexed=66), ValueError, "a palette index runs from 0 to 65"),
    (lambda: PatternFill(pattern="dots"), ValueError, "a fill pattern is one of"),
    (lambda: GradientFill(type="radial"), ValueError, "a gradient type is one of"),
    (lambda: GradientFill(left=1.5), ValueError, "GradientFill.left runs from 0 to 1"),
    (lambda: GradientFill(stops=[(0, "FF0000", 1)]), TypeError, "a (position, colour) pair"),
    (lambda: GradientFill(stops=[(1.5, "FF0000")]), ValueError, "stop's position runs"),
    (lambda: Side("fat"), ValueError, "a border style is one of"),
    (lambda: Border(left=3), TypeError, "Border.left is a Side"),
    (lambda: Border(outline=None), TypeError, "Border.outline is True or False"),
    (lambda: Alignment(horizontal="middle"), ValueError, "a horizontal alignment is one of"),
    (lambda: Alignment(indent=251), ValueError, "an indent runs from 0 to 250"),
    (lambda: Alignment(indent=1.5), TypeError, "an indent is a whole number"),
    (lambda: Alignment(text_rotation=181), ValueError, "a text rotation"),
    (lambda: Alignment(reading_order=3), ValueError, "a reading order runs from 0 to 2"),
    (lambda: Protection(locked=1), TypeError, "Protection.locked is True or False"),
    (lambda: NamedStyle(""), ValueError, "style names"),
    (lambda: NamedStyle("x", font="bold"), TypeError, "NamedStyle.font takes a Font"),
    (lambda: DifferentialStyle(font="bold"), TypeError, "DifferentialStyle.font is a Font"),
    (lambda: DifferentialStyle(number_format=""), ValueError, "a number format"),
])
def test_bad_style_values_are_refused_when_made(make, error, words):
    with pytest.raises(error, match=words.replace("(", r"\(").replace(")", r"\)")):
        make()


def test_bad_values_given_to_cells():
    ws = tavrinex.Workbook().active
    for attribute, value in (("font", "bold"), ("fill", Font()), ("border", "thin"),
                             ("alignment", {}), ("protection", True), ("style", 3)):
        with pytest.raises(TypeError, match=f"cell.{attribute} takes|cell.style takes"):
            setattr(ws["A1"], attribute, value)
    with pytest.raises(ValueError, match="no named style 'Fancy'"):
        ws["A1"].style = "Fancy"
    # the edges that are allowed
    Font(size=1), Font(size=409), Alignment(indent=250, text_rotation=180)
    Alignment(text_rotation=255), Color(theme=0, tint=-1), Color(indexed=65)
    assert not ws["A1"].has_style


def test_stylesheets_of_other_programs_are_written_back_as_read(tmp_path):
    """The styles part of XlsxWriter's sample and of a file LibreOffice
    wrote, loaded and saved unchanged, is the part as read."""
    from soffice import SOFFICE, convert
    sources = [Path(__file__).parent.parent / "samples" / "sample.xlsx"]
    if SOFFICE is not None:
        xlsxwriter_formats(tmp_path / "x.xlsx")
        convert(tmp_path, "ods", tmp_path / "x.xlsx")
        (tmp_path / "lo").mkdir()
        convert(tmp_path / "lo", "xlsx", tmp_path / "x.ods")
        sources.append(tmp_path / "lo" / "x.xlsx")
    for source in sources:
        before = zipfile.ZipFile(source).read("xl/styles.xml")
        wb = tavrinex.load_workbook(source)
        assert canonical(saved_part(wb)) == canonical(before), source
