"""Worksheet and workbook features, judged by independent programs: one
workbook with every feature is saved, read back by load_workbook, read by
python-calamine and converted by LibreOffice, whose output must still
hold each feature (and reads back into the same objects); files that
XlsxWriter writes with these features read into the objects they mean."""

import datetime
import zipfile
from xml.etree import ElementTree as ET

import pytest
import xlsxwriter
from python_calamine import CalamineWorkbook

import tavrinex
from tavrinex import Color, DifferentialStyle, Font, PatternFill
from tavrinex.printing import HeaderFooter, PageMargins, PageSetup
from tavrinex.rules import (CellIs, ColorScale, ContainsText, DataBar, Duplicates, Expression,
                            IconSet, OtherRule, Top10)
from tavrinex.tables import Table, TableColumn
from tavrinex.utils.ranges import range_bounds
from tavrinex.validation import DataValidation

from soffice import SOFFICE, convert

MAIN = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"
RED = DifferentialStyle(font=Font(bold=True, color="9C0006"), fill=PatternFill("FFC7CE"))
GREEN = DifferentialStyle(font=Font(color="006100"), fill=PatternFill("C6EFCE"),
                          number_format="0.0")
RULES = {
    "B2:B9": [CellIs("greaterThan", [50], RED), CellIs("between", [10, 20], GREEN)],
    "C2:C9": [ColorScale(("min", None, "F8696B"), ("max", None, "63BE7B"),
                         ("percentile", 50, "FFEB84"))],
    "D2:D9": [DataBar("638EC6")],
    "E2:E9": [IconSet("3TrafficLights1", [("percent", 0), ("percent", 33), ("percent", 67)])],
    "B2:E9": [Top10(2, RED, bottom=True), Duplicates(GREEN)],
    "A2:A9": [ContainsText("an", RED), Expression("LEN($A2)>4", GREEN)],
}
VALIDATIONS = [
    DataValidation.from_list(["North", "South", "East"], ranges="F2:F9", prompt_title="Region",
                             prompt="Pick one"),
    DataValidation("whole", "between", 1, 100, ranges="B2:B9 G2", error_title="Range",
                   error="1 to 100", error_style="warning"),
    DataValidation("decimal", "greaterThan", "0.5", ranges="C2:C9", allow_blank=False),
    DataValidation("textLength", "lessThanOrEqual", 10, ranges="A2:A9"),
    DataValidation("custom", formula1="ISNUMBER(D2)", ranges="D2:D9", show_dropdown=False),
]
ROWS = [["name", "units", "price", "share", "score", "region", "note"]] + [
    [f"item {w}", n, n * 1.5, n / 100, n % 7, "North", None]
    for n, w in zip(range(5, 85, 10), ("an", "bee", "cat", "dane", "eagle", "fan", "gnu", "hen"))]


def build(write_only=False):
    """The workbook with every feature, and what each feature should read
    back as."""
    wb = tavrinex.Workbook(write_only=write_only)
    ws = wb.create_sheet("Data") if write_only else wb.active
    if not write_only:
        ws.title = "Data"
    ws.freeze_panes = "B2"
    ws.zoom = 125
    ws.show_gridlines = False
    ws.selection = "C3:D4"
    ws.auto_filter.ref = "A1:G9"
    ws.auto_filter.add_filter(5, ["North", "South"])
    for dv in VALIDATIONS:
        ws.add_data_validation(dv)
    for ranges, rules in RULES.items():
        for rule in rules:
            ws.add_conditional_format(ranges, rule)
    table = Table("Sales", "I1:K5", columns=["Item", TableColumn("Qty", "sum"),
                                             TableColumn("Cost", "average")],
                  totals_row=True, show_column_stripes=True)
    if write_only:   # before its rows: they are checked and filled as they come
        ws.add_table(table)
    ws.print_area = "A1:K9"
    ws.print_title_rows = "1:1"
    ws.print_title_cols = "A:A"
    ws.page_setup = PageSetup("landscape", 9, fit_to_width=1, fit_to_height=0)
    ws.page_margins = PageMargins(left=0.5, right=0.5, top=1, bottom=1)
    ws.header_footer = HeaderFooter(odd_header="&CSales report", odd_footer="&RPage &P of &N")
    ws.tab_color = "00B050"
    ws.column_dimensions["A"].width = 18
    ws.column_dimensions.group("H", "H", outline_level=1, hidden=True)
    ws.row_dimensions[1].height = 24
    header = []
    for value in ROWS[0]:
        cell = ws.cell(value) if write_only else None
        if cell is not None:
            cell.font = Font(bold=True, color="FFFFFF")
            cell.fill = PatternFill("305496")
        header.append(cell if cell is not None else value)
    ws.append(header + [None, None, None, None])
    for n, row in enumerate(ROWS[1:], 2):
        items = ([f"t{n}", n, n * 2.5] if n <= 4 else [None] * 3) if n <= 5 else []
        ws.append(row + [None] + items)
    if not write_only:
        ws.add_table(table)   # on the cells: the header and totals are checked and filled
        for cell in ws[1][:7]:
            cell.font = Font(bold=True, color="FFFFFF")
            cell.fill = PatternFill("305496")
        ws.row_dimensions.group(6, 9, outline_level=2)
    locked = wb.create_sheet("Locked")
    locked.append(["protected"])
    locked.protect(password="secret", format_cells=True, sort=True)
    hidden = wb.create_sheet("Hidden")
    hidden.append(["out of sight"])
    hidden.sheet_state = "hidden"
    wb.defined_names.add("Units", "Data!$B$2:$B$9")
    wb.defined_names.add("Rate", "0.25", scope=locked, comment="local to Locked")
    wb.properties.title = "Quarterly sales"
    wb.properties.subject = "Sales"
    wb.properties.creator = "Ann"
    wb.properties.keywords = "sales, report"
    wb.properties.description = "Every feature"
    wb.properties.category = "Reports"
    wb.properties.company = "ACME"
    wb.properties.manager = "Bob"
    wb.custom_properties["Project"] = "Atlas"
    wb.custom_properties["Version"] = 3
    wb.custom_properties["Ratio"] = 0.75
    wb.custom_properties["Final"] = False
    wb.custom_properties["Due"] = datetime.datetime(2026, 4, 1, 12, 30)
    return wb


def features(wb):
    """Every feature of the built workbook, in comparable form."""
    ws = wb["Data"]
    out = {
        "view": (ws.freeze_panes, ws.zoom, ws.show_gridlines, ws.active_cell, ws.selection),
        "filter": (ws.auto_filter.ref, ws.auto_filter.filters),
        "validations": list(ws.data_validations),
        "formats": [(f.ranges, list(f.rules)) for f in ws.conditional_formats],
        "tables": {name: (t.ref, t.style, t.totals_row, t.show_column_stripes,
                          [(c.name, c.totals_function) for c in t.columns])
                   for name, t in ws.tables.items()},
        "print": (ws.print_area, ws.print_title_rows, ws.print_title_cols, ws.page_setup,
                  ws.page_margins, ws.header_footer),
        "sheet": (ws.tab_color, [s.sheet_state for s in wb], wb["Locked"].protection),
        "names": sorted((d.name, d.value, d.scope, d.hidden, d.comment)
                        for d in wb.defined_names if d.name != "_xlnm._FilterDatabase"),
        "properties": [getattr(wb.properties, f) for f in (
            "title", "subject", "creator", "keywords", "description", "category", "company",
            "manager")],
        "custom": dict(wb.custom_properties),
        "dimensions": (ws.column_dimensions["A"].width, ws.column_dimensions["H"].outline_level,
                       ws.column_dimensions["H"].hidden, ws.row_dimensions[1].height),
        "styles": (ws["A1"].font.bold, ws["A1"].font.color, ws["B1"].fill),
    }
    return out


def test_everything_is_read_back_equal(tmp_path):
    for write_only in (False, True):
        wb = build(write_only)
        expected = features(wb) if not write_only else None
        path = tmp_path / f"every{write_only}.xlsx"
        wb.save(path)
        back = tavrinex.load_workbook(path)
        got = features(back)
        if expected is None:   # the write-only sheet has no cells to ask
            expected = features(tavrinex.load_workbook(tmp_path / "everyFalse.xlsx"))
        assert got == expected, write_only
        assert got["tables"]["Sales"][4] == [("Item", None), ("Qty", "sum"), ("Cost", "average")]
        data = back["Data"]
        assert data["J5"].value == "=SUBTOTAL(109,Sales[Qty])"   # the totals row, filled
        assert data["A1"].font.bold and data["B1"].fill == PatternFill("305496")
        assert data.row_dimensions[7].outline_level == (0 if write_only else 2)
        assert back.properties.modified is not None and back.properties.created is not None


def test_calamine_reads_the_values(tmp_path):
    build().save(tmp_path / "every.xlsx")
    book = CalamineWorkbook.from_path(str(tmp_path / "every.xlsx"))
    assert book.sheet_names == ["Data", "Locked", "Hidden"]
    rows = book.get_sheet_by_name("Data").to_python()
    assert rows[0][:7] == ROWS[0]
    assert [row[:6] for row in rows[1:9]] == [
        [r[0], float(r[1]), r[2], r[3], float(r[4]), r[5]] for r in ROWS[1:]]
    assert rows[0][8:11] == ["Item", "Qty", "Cost"]
    assert book.get_sheet_by_name("Hidden").to_python() == [["out of sight"]]


def cells(ranges):
    """The cells a range list covers (programs may split or join its ranges)."""
    out = set()
    for part in ranges.split():
        r1, c1, r2, c2 = range_bounds(part)
        out |= {(r, c) for r in range(r1, r2 + 1) for c in range(c1, c2 + 1)}
    return out


def parts(path):
    with zipfile.ZipFile(path) as z:
        return {name: z.read(name) for name in z.namelist()}


@pytest.mark.skipif(SOFFICE is None, reason="LibreOffice is not installed")
@pytest.mark.filterwarnings("ignore:.*not read")   # LibreOffice adds an empty drawing
def test_libreoffice_keeps_every_feature(tmp_path):
    wb = build()
    wb.save(tmp_path / "every.xlsx")
    out = tmp_path / "lo"
    out.mkdir()
    convert(out, "xlsx", tmp_path / "every.xlsx")
    found = parts(out / "every.xlsx")
    sheet = ET.fromstring(found["xl/worksheets/sheet1.xml"])
    # LibreOffice writes the document's view as it has it: run headless it
    # has none, so panes, zoom and the selection are its defaults even for
    # files XlsxWriter wrote. Everything else must be there.
    assert sheet.find(f"{MAIN}sheetPr/{MAIN}tabColor").get("rgb") == "FF00B050"
    assert sheet.find(f"{MAIN}autoFilter").get("ref") == "A1:G9"
    validations = sheet.find(f"{MAIN}dataValidations")
    assert [(v.get("type"), cells(v.get("sqref"))) for v in validations] == [
        (dv.type, cells(dv.ranges)) for dv in VALIDATIONS]
    kinds = [rule.get("type") for cf in sheet.iter(f"{MAIN}conditionalFormatting")
             for rule in cf]
    assert sorted(kinds) == sorted(["cellIs", "cellIs", "colorScale", "dataBar", "iconSet",
                                    "top10", "duplicateValues", "containsText", "expression"])
    setup = sheet.find(f"{MAIN}pageSetup")
    assert (setup.get("orientation"), setup.get("paperSize")) == ("landscape", "9")
    assert "Sales report" in sheet.find(f"{MAIN}headerFooter/{MAIN}oddHeader").text
    table = next(ET.fromstring(data) for name, data in found.items()
                 if name.startswith("xl/tables/"))
    assert (table.get("name"), table.get("ref")) == ("Sales", "I1:K5")
    assert [c.get("name") for c in table.iter(f"{MAIN}tableColumn")] == ["Item", "Qty", "Cost"]
    assert b"Quarterly sales" in found["docProps/core.xml"]
    names = {n.get("name"): n.text for n in ET.fromstring(found["xl/workbook.xml"]).iter(
        f"{MAIN}definedName")}
    assert names["Units"] == "Data!$B$2:$B$9" and "_xlnm.Print_Area" in names

    # ... and reads back into the objects that were saved.
    back = tavrinex.load_workbook(out / "every.xlsx")
    data = back["Data"]
    assert data.auto_filter.ref == "A1:G9" and data.auto_filter.filters == {5: ["North",
                                                                               "South"]}
    assert data.tab_color == Color(rgb="FF00B050")
    assert [(dv.type, dv.operator, dv.formula1, dv.formula2, cells(dv.ranges), dv.error_style)
            for dv in data.data_validations] == [
        (dv.type, dv.operator, dv.formula1, dv.formula2, cells(dv.ranges), dv.error_style)
        for dv in VALIDATIONS]
    saved = {r for ranges, rules in RULES.items() for r in rules}
    read = [rule for entry in data.conditional_formats for rule in entry.rules]
    assert {type(r) for r in read} == {type(r) for r in saved}
    styles = {rule.style for rule in read if getattr(rule, "style", None) is not None}
    assert {(s.font.color, s.font.bold) for s in styles} == {(RED.font.color, True),
                                                              (GREEN.font.color, False)}
    assert [r for r in read if isinstance(r, IconSet)] == RULES["E2:E9"]
    # LibreOffice keeps no totals functions in the table part, but the
    # totals row's formulas, computed through the table's structured references.
    assert [c.name for c in data.tables["Sales"].columns] == ["Item", "Qty", "Cost"]
    assert data["J5"].value == "=SUBTOTAL(109,Sales[Qty])"
    values = tavrinex.load_workbook(out / "every.xlsx", data_only=True)["Data"]
    assert (values["J5"].value, values["K5"].value) == (2 + 3 + 4, (5 + 7.5 + 10) / 3)
    assert (data.print_area, data.print_title_rows, data.print_title_cols) == (
        "A1:K9", "1:1", "A:A")
    assert (data.page_setup.orientation, data.page_setup.paper_size) == ("landscape", 9)
    assert data.page_margins.left == 0.5 and data.page_margins.top == 1
    assert data.header_footer.odd_header == "&CSales report"
    assert back["Locked"].protection.enabled and back["Locked"].protection.password_hash
    assert back["Hidden"].sheet_state == "hidden"
    assert back.properties.title == "Quarterly sales" and back.properties.creator == "Ann"
    assert back.custom_properties["Project"] == "Atlas"
    assert data["A1"].font.bold and data["A1"].font.color == Color(rgb="FFFFFFFF")
    assert data["A1"].fill.fg_color == Color(rgb="FF305496")
    assert data.column_dimensions["A"].width == pytest.approx(18, abs=0.5)
    assert data.row_dimensions[1].height == pytest.approx(24)
    assert data.row_dimensions[7].outline_level == 2


def xlsxwriter_book(path):
    book = xlsxwriter.Workbook(path)
    book.set_properties({"title": "From XlsxWriter", "author": "Cy", "company": "Co",
                         "keywords": "k1", "category": "Cat", "comments": "Words"})
    book.set_custom_property("Checked", True)
    book.set_custom_property("Count", 7)
    ws = book.add_worksheet("Data")
    red = book.add_format({"bold": True, "font_color": "#9C0006", "bg_color": "#FFC7CE"})
    ws.write_row(0, 0, ["a", "b", "c"])
    for r in range(1, 6):
        ws.write_row(r, 0, [f"x{r}", r, r * 2])
    ws.freeze_panes(1, 1)
    ws.set_zoom(80)
    ws.hide_gridlines(2)
    ws.set_selection("B3")
    ws.autofilter("A1:C6")
    ws.filter_column_list("A", ["x1", "x3"])
    ws.data_validation("B2:B6", {"validate": "integer", "criteria": "between", "minimum": 1,
                                 "maximum": 9, "input_message": "1-9", "error_type": "warning"})
    ws.data_validation("D2", {"validate": "list", "source": ["on", "off"]})
    ws.conditional_format("B2:B6", {"type": "cell", "criteria": ">", "value": 3,
                                    "format": red})
    ws.conditional_format("C2:C6", {"type": "3_color_scale"})
    ws.conditional_format("C2:C6", {"type": "data_bar", "bar_color": "#638EC6",
                                    "data_bar_2010": True})
    ws.conditional_format("A2:A6", {"type": "text", "criteria": "containing", "value": "x",
                                    "format": red})
    ws.conditional_format("B2:B6", {"type": "top", "value": 2, "format": red})
    ws.conditional_format("B2:B6", {"type": "icon_set", "icon_style": "3_arrows"})
    ws.add_table("F1:G4", {"name": "Nums", "total_row": True, "columns": [
        {"header": "k", "total_string": "Total"}, {"header": "v", "total_function": "sum"}]})
    ws.set_landscape()
    ws.set_paper(9)
    ws.fit_to_pages(1, 0)
    ws.set_margins(left=0.4, top=0.9)
    ws.set_header("&CHead")
    ws.set_footer("&RFoot")
    ws.print_area("A1:C6")
    ws.repeat_rows(0)
    ws.set_tab_color("#FF9900")
    ws.set_column("B:D", 14, None, {"level": 1, "hidden": True})
    ws.set_row(3, 20, None, {"level": 1})
    other = book.add_worksheet("Other")
    other.protect("secret", {"format_cells": True})
    other.hide()
    book.define_name("Total", "=Data!$B$2:$B$6")
    book.define_name("Other!Local", "=Other!$A$1")
    book.close()


def test_files_xlsxwriter_writes_read_into_the_same_objects(tmp_path):
    xlsxwriter_book(tmp_path / "x.xlsx")
    wb = tavrinex.load_workbook(tmp_path / "x.xlsx")
    ws = wb["Data"]
    assert (ws.freeze_panes, ws.zoom, ws.show_gridlines) == ("B2", 80, False)
    assert ws.auto_filter.ref == "A1:C6" and ws.auto_filter.filters == {0: ["x1", "x3"]}
    assert ws.data_validations[0] == DataValidation(
        "whole", "between", 1, 9, ranges="B2:B6", prompt="1-9", error_style="warning")
    assert ws.data_validations[1] == DataValidation.from_list(["on", "off"], ranges="D2")
    formats = {entry.ranges: entry.rules for entry in ws.conditional_formats}
    red = formats["B2:B6"][0].style
    assert red.font.bold and red.font.color == Color(rgb="FF9C0006")
    assert formats["B2:B6"] == [CellIs("greaterThan", ["3"], red), Top10(2, red), IconSet(
        "3Arrows", [("percent", 0), ("percent", 33), ("percent", 67)])]
    assert formats["C2:C6"] == [ColorScale(("min", None, "F8696B"), ("max", None, "63BE7B"),
                                           ("percentile", 50, "FFEB84")), DataBar("638EC6")]
    assert formats["C2:C6"][1].children                  # Excel's extension of the bar, kept
    assert formats["A2:A6"] == [ContainsText("x", red)]
    table = ws.tables["Nums"]
    assert (table.ref, table.totals_row) == ("F1:G4", True)
    assert table.columns == [TableColumn("k", totals_label="Total"), TableColumn("v", "sum")]
    assert (ws.page_setup.orientation, ws.page_setup.paper_size, ws.page_setup.fit_to_width,
            ws.page_setup.fit_to_height) == ("landscape", 9, 1, 0)
    assert (ws.page_margins.left, ws.page_margins.top) == (0.4, 0.9)
    assert (ws.header_footer.odd_header, ws.header_footer.odd_footer) == ("&CHead", "&RFoot")
    assert (ws.print_area, ws.print_title_rows) == ("A1:C6", "1:1")
    assert ws.tab_color == Color(rgb="FFFF9900")
    assert [(ws.column_dimensions[c].outline_level, ws.column_dimensions[c].hidden,
             ws.column_dimensions[c].width) for c in "BCD"] == [(1, True, pytest.approx(14, abs=1))] * 3
    assert ws.row_dimensions[4].outline_level == 1
    assert ws.row_dimensions[4].height == pytest.approx(20, abs=0.5)
    other = wb["Other"]
    assert other.sheet_state == "hidden" and other.protection.enabled
    assert other.protection.password_hash == tavrinex.protection.legacy_hash("secret")
    assert other.protection.format_cells and not other.protection.insert_rows
    assert wb.defined_names["Total"].value == "Data!$B$2:$B$6"
    assert wb.defined_names["Local", other].value == "Other!$A$1"
    props = wb.properties
    assert (props.title, props.creator, props.company, props.keywords, props.category,
            props.description) == ("From XlsxWriter", "Cy", "Co", "k1", "Cat", "Words")
    assert dict(wb.custom_properties) == {"Checked": True, "Count": 7}

    # Saved again, every rule comes back whole, extensions included.
    wb.save(tmp_path / "again.xlsx")
    again = tavrinex.load_workbook(tmp_path / "again.xlsx")["Data"]
    assert [(e.ranges, e.rules) for e in again.conditional_formats] == [
        (e.ranges, e.rules) for e in ws.conditional_formats]
    bar = next(r for e in again.conditional_formats for r in e.rules if isinstance(r, DataBar))
    assert bar.children[0].tag.endswith("extLst")
    assert again.tables == ws.tables and again.data_validations == ws.data_validations


def test_a_rule_of_another_kind_is_kept_as_read(tmp_path):
    book = xlsxwriter.Workbook(tmp_path / "avg.xlsx")
    ws = book.add_worksheet()
    ws.write_column(0, 0, [1, 2, 3])
    ws.conditional_format("A1:A3", {"type": "average", "criteria": "above",
                                    "format": book.add_format({"italic": True})})
    book.close()
    wb = tavrinex.load_workbook(tmp_path / "avg.xlsx")
    (rule,) = wb.active.conditional_formats[0].rules
    assert isinstance(rule, OtherRule) and rule.type == "aboveAverage" and rule.style.font.italic
    wb.save(tmp_path / "avg2.xlsx")
    sheet = ET.fromstring(parts(tmp_path / "avg2.xlsx")["xl/worksheets/sheet1.xml"])
    assert sheet.find(f"{MAIN}conditionalFormatting/{MAIN}cfRule").get("type") == "aboveAverage"


def sheet():
    wb = tavrinex.Workbook()
    wb.create_sheet("Other")
    return wb.active


@pytest.mark.parametrize("change, error, words", [
    (lambda ws: setattr(ws, "freeze_panes", "B0"), ValueError, "freeze_panes is a cell"),
    (lambda ws: setattr(ws, "freeze_panes", "XFE1"), ValueError, "beyond the last cell"),
    (lambda ws: setattr(ws, "zoom", 9), ValueError, "zoom runs from 10 to 400"),
    (lambda ws: setattr(ws, "zoom", 401), ValueError, "zoom runs from 10 to 400"),
    (lambda ws: setattr(ws, "zoom", 1.5), TypeError, "zoom is a whole percentage"),
    (lambda ws: setattr(ws, "show_gridlines", 0), TypeError, "show_gridlines is True or False"),
    (lambda ws: setattr(ws, "selection", "A1:"), ValueError, "selection is a cell or a range"),
    (lambda ws: setattr(ws.auto_filter, "ref", "A1:B"), ValueError, "autofilter's range"),
    (lambda ws: ws.auto_filter.add_filter(0, ["x"]), ValueError, "set auto_filter.ref"),
    (lambda ws: (setattr(ws.auto_filter, "ref", "A1:C9"), ws.auto_filter.add_filter(3, "x")),
     ValueError, "column index 3 is outside the filter's range A1:C9 \\(0 to 2\\)"),
    (lambda ws: ws.add_data_validation("whole"), TypeError, "takes DataValidation objects"),
    (lambda ws: DataValidation("number"), ValueError, "a validation type is None or one of"),
    (lambda ws: DataValidation("whole", "above", 1), ValueError, "a validation operator"),
    (lambda ws: DataValidation("whole", "between", 1), ValueError, "needs formula2"),
    (lambda ws: DataValidation("list"), ValueError, "'list' validation needs formula1"),
    (lambda ws: DataValidation(error_style="fatal"), ValueError, "an error style is one of"),
    (lambda ws: DataValidation(ranges="A1:A10 C"), ValueError, "a validation's ranges"),
    (lambda ws: DataValidation(prompt_title="x" * 33), ValueError, "at most 32 characters"),
    (lambda ws: DataValidation(error="x" * 226), ValueError, "at most 225 characters"),
    (lambda ws: DataValidation(allow_blank=None), TypeError, "allow_blank is True or False"),
    (lambda ws: DataValidation.from_list(["a" * 200, "b" * 55]), ValueError,
     "at most 255 characters, commas included, not 256"),
    (lambda ws: DataValidation.from_list(["a,b"]), ValueError, "holds a comma"),
    (lambda ws: DataValidation.from_list("ab"), TypeError, "from_list takes a list"),
    (lambda ws: ws.add_conditional_format("A1:A3", RED), TypeError, "takes a rule"),
    (lambda ws: ws.add_conditional_format("A1:", Duplicates()), ValueError, "ranges"),
    (lambda ws: CellIs("above", [1]), ValueError, "a CellIs operator is one of"),
    (lambda ws: CellIs("between", [1]), ValueError, "takes 2 formulas, not 1"),
    (lambda ws: CellIs("equal", [1], style=Font()), TypeError, "CellIs.style is a"),
    (lambda ws: ColorScale(("min", 0, "FF0000"), ("max", None, "00FF00")), ValueError,
     "of kind 'min' takes the value None"),
    (lambda ws: ColorScale(("median", None, "FF0000"), ("max", None, "00FF00")), ValueError,
     "kind is one of"),
    (lambda ws: ColorScale(("num", None, "FF0000"), ("max", None, "00FF00")), TypeError,
     "needs a number or a formula"),
    (lambda ws: DataBar("blue"), ValueError, "6 or 8 hex digits"),
    (lambda ws: IconSet("3Stars", [("percent", 0)] * 3), ValueError, "an icon style is one of"),
    (lambda ws: IconSet("4Arrows", [("percent", 0)] * 3), ValueError, "takes 4 thresholds"),
    (lambda ws: Top10(0, RED), ValueError, "Top10.rank runs from 1 to 1000"),
    (lambda ws: Top10(101, RED, percent=True), ValueError, "runs from 1 to 100 \\(percent\\)"),
    (lambda ws: ContainsText("", RED), ValueError, "ContainsText.text is a non-empty str"),
    (lambda ws: Table("1st", "A1:B3"), ValueError, "must begin with a letter"),
    (lambda ws: Table("A1", "A1:B3"), ValueError, "is a cell reference"),
    (lambda ws: Table("R1C1", "A1:B3"), ValueError, "is a cell reference"),
    (lambda ws: Table("my table", "A1:B3"), ValueError, "holds a space"),
    (lambda ws: Table("T" * 256, "A1:B3"), ValueError, "1 to 255 characters"),
    (lambda ws: Table("T", "A1:B1"), ValueError, "need 2"),
    (lambda ws: Table("T", "A1:B2", totals_row=True), ValueError, "need 3"),
    (lambda ws: Table("T", "A1:B3", columns=["a"]), ValueError, "spans 2 columns"),
    (lambda ws: Table("T", "A1:B3", columns=["a", "A"]), ValueError, "two table columns"),
    (lambda ws: TableColumn("a", "median"), ValueError, "a totals function is one of"),
    (lambda ws: setattr(ws, "page_setup", PageMargins()), TypeError, "takes a PageSetup"),
    (lambda ws: PageSetup("sideways"), ValueError, "orientation is"),
    (lambda ws: PageSetup(scale=9), ValueError, "a print scale runs from 10 to 400"),
    (lambda ws: PageSetup(paper_size="A4"), TypeError, "paper_size is a whole number"),
    (lambda ws: PageMargins(left=-0.1), ValueError, "the left margin runs from 0 to 49"),
    (lambda ws: HeaderFooter(odd_header="x" * 256), ValueError, "at most 255 characters"),
    (lambda ws: setattr(ws, "print_area", "A1:B"), ValueError, "a print area"),
    (lambda ws: setattr(ws, "print_title_rows", "A:B"), ValueError, "a row range such as"),
    (lambda ws: setattr(ws, "print_title_rows", "3:2"), ValueError, "a row range such as"),
    (lambda ws: setattr(ws, "print_title_cols", "1:2"), ValueError, "a column range such as"),
    (lambda ws: setattr(ws, "tab_color", "orange"), ValueError, "6 or 8 hex digits"),
    (lambda ws: setattr(ws, "sheet_state", "gone"), ValueError, "a sheet state is one of"),
    (lambda ws: ws.protect(edit_cells=True), TypeError, "no action 'edit_cells'"),
    (lambda ws: ws.protect(sort="yes"), TypeError, "sort is True"),
    (lambda ws: ws.protect(password=""), ValueError, "a non-empty str"),
    (lambda ws: ws.parent.defined_names.add("A1", "1"), ValueError, "is a cell reference"),
    (lambda ws: ws.parent.defined_names.add("XFD1048576", "1"), ValueError, "cell reference"),
    (lambda ws: ws.parent.defined_names.add("two words", "1"), ValueError, "holds a space"),
    (lambda ws: ws.parent.defined_names.add("n" * 256, "1"), ValueError, "1 to 255"),
    (lambda ws: ws.parent.defined_names.add("x", ""), ValueError, "a formula text"),
    (lambda ws: ws.parent.defined_names.add("x", "1", scope="Nowhere"), ValueError,
     "no sheet titled 'Nowhere'"),
    (lambda ws: ws.row_dimensions[0], ValueError, "rows run from 1 to 1048576"),
    (lambda ws: ws.row_dimensions["B"], TypeError, "keyed by row number"),
    (lambda ws: setattr(ws.row_dimensions[2], "height", 410), ValueError, "0 to 409 points"),
    (lambda ws: setattr(ws.row_dimensions[2], "outline_level", 8), ValueError, "0 to 7"),
    (lambda ws: ws.row_dimensions.group(5, 4), ValueError, "from its first row to its last"),
    (lambda ws: ws.column_dimensions.group("B", "D", outline_level=-1), ValueError, "0 to 7"),
    (lambda ws: setattr(ws.column_dimensions["B"], "width", 256), ValueError, "0 to 255"),
])
def test_bad_values_are_refused_when_given(change, error, words):
    with pytest.raises(error, match=words):
        change(sheet())


def test_what_a_workbook_refuses_by_its_other_content():
    ws = sheet()
    wb = ws.parent
    other = wb["Other"]
    ws.append(["a", "b", 3])
    with pytest.raises(ValueError, match="header cell C1 holds 3; header cells hold text"):
        ws.add_table(Table("T", "A1:C4"))
    with pytest.raises(ValueError, match="header cell A1 holds 'a', column 1 is named 'x'"):
        ws.add_table(Table("T", "A1:B4", columns=["x", "b"]))
    ws.add_table(Table("T", "A1:B4"))
    ws["D1"] = "same"
    ws["E1"] = "SAME"
    with pytest.raises(ValueError, match="columns 1 and 2 are both named 'SAME'"):
        ws.add_table(Table("U", "D1:E3"))
    with pytest.raises(ValueError, match="has a table named 't' already"):
        other.add_table(Table("t", "A1:B3"))
    with pytest.raises(ValueError, match="overlaps table 'T'"):
        ws.add_table(Table("V", "B4:C6"))
    ws.merge_cells("G1:H2")
    with pytest.raises(ValueError, match="overlaps the merged range G1:H2"):
        ws.add_table(Table("W", "H2:I4"))
    wb.defined_names.add("Rates", "Other!$A$1")
    with pytest.raises(ValueError, match="is a defined name"):
        other.add_table(Table("rates", "A1:B3"))
    with pytest.raises(ValueError, match="the workbook has a name 'RATES' already"):
        wb.defined_names.add("RATES", "1")
    wb.defined_names.add("Rates", "2", scope="Other")    # another scope, another name
    assert wb.defined_names["Rates", other].value == "2"
    wb.defined_names.remove("Rates")
    assert "Rates" not in wb.defined_names and ("Rates", other) in wb.defined_names
    other.sheet_state = "hidden"
    with pytest.raises(ValueError, match="'Sheet' is the last visible sheet"):
        ws.sheet_state = "veryHidden"
    # nothing of the refused values stayed
    assert list(ws.tables) == ["T"] and ws.sheet_state == "visible"
    assert [c.value for c in ws[1]][:3] == ["a", "b", 3]


def test_write_only_sheets_take_the_features_before_their_rows(tmp_path):
    wb = tavrinex.Workbook(write_only=True)
    ws = wb.create_sheet("W")
    ws.add_table(Table("Early", "A1:B3", columns=["k", "v"]))
    ws.append([None, "v"])                     # the empty header cell is filled
    ws.append([1, 2])
    with pytest.raises(ValueError, match="starts at row 1, which this write-only sheet has "
                                         "written already"):
        ws.add_table(Table("Late", "D1:E3"))
    bad = Table("Bad", "G3:H5")
    ws.add_table(bad)
    with pytest.raises(ValueError, match="header cell G3 holds 5"):
        ws.append([1, 2, 3, 4, 5, 6, 5, "x"])
    ws.freeze_panes = "A2"
    ws.column_dimensions["A"].width = 30
    ws.auto_filter.ref = "A1:B2"
    del ws.tables["Bad"]
    wb.save(tmp_path / "w.xlsx")
    back = tavrinex.load_workbook(tmp_path / "w.xlsx")["W"]
    assert back["A1"].value == "k" and back.tables["Early"].columns == ["k", "v"]
    assert back.freeze_panes == "A2" and back.column_dimensions["A"].width == 30
    assert back.auto_filter.ref == "A1:B2" and back.max_row == 2


def test_dimensions_are_keyed_by_number_and_spans_split(tmp_path):
    book = xlsxwriter.Workbook(tmp_path / "d.xlsx")
    sheet_ = book.add_worksheet()
    sheet_.set_column("B:D", 20)
    sheet_.set_row(5, 30)
    sheet_.write("A1", 1)
    book.close()
    wb = tavrinex.load_workbook(tmp_path / "d.xlsx")
    ws = wb.active
    assert ws.row_dimensions[6].height == 30 and 6 in ws.row_dimensions and "6" in ws.row_dimensions
    widths = [ws.column_dimensions[c].width for c in "BCD"]   # the span <col min=2 max=4>
    assert widths[0] == pytest.approx(20, abs=1) and len(set(widths)) == 1
    ws.column_dimensions["C"].width = 5               # one column inside the span
    ws.row_dimensions[6].hidden = True               # a row read from the file, changed
    ws.row_dimensions[8].hidden = True               # made on first use
    ws.row_dimensions[9].height                      # a look-up alone says nothing
    wb.save(tmp_path / "d2.xlsx")
    cols = ET.fromstring(parts(tmp_path / "d2.xlsx")["xl/worksheets/sheet1.xml"]).find(
        f"{MAIN}cols")
    assert [(c.get("min"), c.get("max")) for c in cols] == [("2", "2"), ("3", "3"), ("4", "4")]
    back = tavrinex.load_workbook(tmp_path / "d2.xlsx").active
    assert [back.column_dimensions[c].width for c in "BCD"] == [
        ws.column_dimensions["B"].width, 5, ws.column_dimensions["B"].width]
    assert back.row_dimensions[8].hidden and 9 not in back.row_dimensions
    assert back.row_dimensions[6].hidden and back.row_dimensions[6].height == 30
    # A span that was only looked into is written back whole.
    wb = tavrinex.load_workbook(tmp_path / "d.xlsx")
    assert wb.active.column_dimensions["C"].width == ws.column_dimensions["B"].width
    wb.save(tmp_path / "d3.xlsx")
    cols = ET.fromstring(parts(tmp_path / "d3.xlsx")["xl/worksheets/sheet1.xml"]).find(
        f"{MAIN}cols")
    assert [(c.get("min"), c.get("max")) for c in cols] == [("2", "4")]
