"""Formula cells keep the cached value, its type and their cell metadata
through load and save unless they change, on every road (engine or Python
reader, engine or Python writer); the save asks for a recalculation only
once a cell changed. Judged by python-calamine, which reads the cached
values, on files XlsxWriter made."""

import io
import re
import zipfile

import pytest
import xlsxwriter
from python_calamine import CalamineWorkbook

import tavrinex
from tavrinex import _native
from tavrinex.writer.workbook_writer import save_workbook

ENGINES = [pytest.param(None, id="python")]
if _native.native is not None:
    ENGINES.insert(0, pytest.param(_native.native, id="engine"))

# (cell, how XlsxWriter writes it, the cached value calamine reads back)
FORMULAS = [
    ("A1", lambda ws: ws.write_formula("A1", "=1+1", None, 2), 2.0),
    ("A2", lambda ws: ws.write_formula("A2", '="a"&"b"', None, "ab & <c>"), "ab & <c>"),
    ("A3", lambda ws: ws.write_formula("A3", "=1<2", None, True), True),
    ("A4", lambda ws: ws.write_formula("A4", "=1/0", None, "#DIV/0!"), None),  # see the XML
    ("A5", lambda ws: ws.write_formula("A5", "=PI()", None, 3.141592653589793), 3.141592653589793),
    ("B1", lambda ws: ws.write_array_formula("B1:B2", "{=A1:A2}", None, 2), 2.0),
    ("C1", lambda ws: ws.write_dynamic_array_formula("C1:C3", "=SEQUENCE(3)", None, 1), 1.0),
]


def made(tmp_path):
    path = tmp_path / "made.xlsx"
    book = xlsxwriter.Workbook(str(path))
    ws = book.add_worksheet("S")
    for _, write, _ in FORMULAS:
        write(ws)
    ws.write("D1", 7)
    book.close()
    return path


def sheet_xml(data):
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        return z.read("xl/worksheets/sheet1.xml").decode()


def saved(path, reader, writer, edit=None):
    wb = tavrinex.load_workbook(path, engine=reader)
    if edit:
        edit(wb["S"])
    out = io.BytesIO()
    save_workbook(wb, out, engine=writer)
    return wb, out.getvalue()


def calamine_values(data):
    rows = CalamineWorkbook.from_filelike(io.BytesIO(data)).get_sheet_by_name("S").to_python()
    return {f"{chr(65 + c)}{r + 1}": v for r, row in enumerate(rows) for c, v in enumerate(row)
            if v != ""}


@pytest.mark.parametrize("writer", ENGINES)
@pytest.mark.parametrize("reader", ENGINES)
def test_unchanged_formulas_keep_their_cached_values(tmp_path, reader, writer):
    path = made(tmp_path)
    wb, data = saved(path, reader, writer)
    assert not wb.cells_changed
    values = calamine_values(data)
    for ref, _, cached in FORMULAS:
        if cached is not None:   # calamine gives no value for an error
            assert values[ref] == cached, ref
    xml = sheet_xml(data)
    assert '<c r="A2" t="str"><f>"a"&amp;"b"</f><v>ab &amp; &lt;c&gt;</v></c>' in xml
    assert re.search(r'<c r="A3" t="b"><f>1&lt;2</f><v>1</v></c>', xml)
    assert re.search(r'<c r="A4" t="e"><f>1/0</f><v>#DIV/0!</v></c>', xml)
    assert re.search(r'<c r="C1" cm="1"><f t="array" ref="C1:C3">[^<]*SEQUENCE\(3\)</f><v>1</v>',
                     xml)
    assert re.search(r'<c r="B1"><f t="array" ref="B1:B2">A1:A2</f><v>2</v></c>', xml)
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        assert b"fullCalcOnLoad" not in z.read("xl/workbook.xml")
    # The same bytes on every road.
    assert xml == sheet_xml(saved(path, None, None)[1])


@pytest.mark.parametrize("writer", ENGINES)
@pytest.mark.parametrize("reader", ENGINES)
def test_a_changed_cell_loses_its_cached_value_and_asks_for_recalculation(tmp_path, reader,
                                                                          writer):
    path = made(tmp_path)

    def edit(ws):
        ws["A1"] = "=1+2"        # a changed formula: no cached value of the old one
        ws["A3"].value = ws["A3"].value   # set again: changed all the same

    wb, data = saved(path, reader, writer, edit)
    assert wb.cells_changed
    xml = sheet_xml(data)
    assert re.search(r'<c r="A1"><f>1\+2</f><v\s*/?>(</v>)?</c>', xml)
    assert re.search(r'<c r="A3"><f>1&lt;2</f><v\s*/?>(</v>)?</c>', xml)
    assert '<c r="A2" t="str"><f>"a"&amp;"b"</f><v>ab &amp; &lt;c&gt;</v></c>' in xml
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        assert b'fullCalcOnLoad="1"' in z.read("xl/workbook.xml")
    assert xml == sheet_xml(saved(path, None, None, edit)[1])


@pytest.mark.parametrize("reader", ENGINES)
@pytest.mark.parametrize("change", ["append", "insert_rows", "delete_cols", "read only"])
def test_what_counts_as_a_change(tmp_path, reader, change):
    wb = tavrinex.load_workbook(made(tmp_path), engine=reader)
    ws = wb["S"]
    if change == "append":
        ws.append([1])
    elif change == "insert_rows":
        ws.insert_rows(1)
    elif change == "delete_cols":
        ws.delete_cols(4)
    else:
        assert ws["A1"].value == "=1+1" and ws["D1"].value == 7   # reading changes nothing
    assert wb.cells_changed == (change != "read only")
    out = io.BytesIO()
    wb.save(out)
    xml = sheet_xml(out.getvalue())
    if change in ("insert_rows", "delete_cols"):
        # Moved formulas keep no value computed where they stood before.
        assert "<v>ab" not in xml and "<v>2</v>" not in xml
    else:
        assert "<v>ab &amp; &lt;c&gt;</v>" in xml


def test_a_new_workbook_asks_for_recalculation():
    wb = tavrinex.Workbook()
    wb.active["A1"] = "=1+1"
    assert wb.cells_changed
    out = io.BytesIO()
    wb.save(out)
    with zipfile.ZipFile(out) as z:
        assert b'fullCalcOnLoad="1"' in z.read("xl/workbook.xml")
