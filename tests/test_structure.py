"""Inserting and deleting rows and columns: cells move with what they hold,
the engine's store and a dict of cells move them alike, and formulas,
names and ranges of the whole workbook follow; renaming a sheet renames
it in every formula."""

import warnings

import pytest
from hypothesis import given, strategies as st

import tavrinex
from tavrinex import _native
from tavrinex.styles import Font
from tavrinex.comments import Comment
from tavrinex.dimensions import RowDimension
from tavrinex.workbook import DefinedName

needs_engine = pytest.mark.skipif(_native.native is None, reason="the engine is not built")

cell_values = st.one_of(
    st.integers(-5, 5), st.sampled_from(["a", "bb", None]),
    st.builds(lambda c, r: f"={c}{r}*2", st.sampled_from("ABC"), st.integers(1, 8)),
    st.builds(lambda r1, r2: f"=SUM($A{r1}:B{r2})", st.integers(1, 4), st.integers(4, 8)),
)
sheets = st.lists(st.lists(cell_values, min_size=1, max_size=5), min_size=1, max_size=8)
edits = st.lists(st.tuples(st.booleans(), st.integers(1, 9), st.integers(1, 3), st.booleans()),
                 min_size=1, max_size=4)


def build(rows, native, touched):
    wb = tavrinex.Workbook()
    ws = wb.active
    ws.title = "Data"
    if not native:
        ws._cells = {}
    for row in rows:
        ws.append(row)
    other = wb.create_sheet("Other")
    other["A1"] = "=Data!A3+SUM(Data!B2:C5)"
    held = {key: ws.cell(*key) for key in touched}
    for cell in held.values():
        cell.font = Font(bold=True)
    return wb, held


def moved(key, edits):
    """Where the cell at `key` ends up after `edits`, or None: the rule
    written out independently of the code under test."""
    row, column = key
    for cols, index, amount, delete in edits:
        v = column if cols else row
        if delete and index <= v < index + amount:
            return None
        if v >= index:
            v += -amount if delete else amount
        row, column = (row, v) if cols else (v, column)
    return row, column


def apply(wb, edits):
    ws = wb["Data"]
    for cols, index, amount, delete in edits:
        name = ("delete_" if delete else "insert_") + ("cols" if cols else "rows")
        getattr(ws, name)(index, amount)


def contents(wb):
    ws = wb["Data"]
    return ({(c.row, c.column): (c.value, c.font.bold) for row in ws.iter_rows() for c in row},
            wb["Other"]["A1"].value)


@needs_engine
@given(rows=sheets, edits=edits, touched=st.sets(st.tuples(st.integers(1, 8),
                                                           st.integers(1, 5)), max_size=4))
def test_store_and_dict_move_cells_alike(rows, edits, touched):
    native, held = build(rows, True, touched)
    plain, _ = build(rows, False, touched)
    assert not isinstance(native["Data"]._cells, dict)
    before = {(r, c): v for r, row in enumerate(rows, 1) for c, v in enumerate(row, 1)}
    apply(native, edits)
    apply(plain, edits)
    assert contents(native) == contents(plain)
    ws = native["Data"]
    for key, value in before.items():
        to = moved(key, edits)
        if to is not None and not (isinstance(value, str) and value.startswith("=")):
            assert ws.cell(*to).value == value
    # Cells handed out before the edit are the cells of the sheet after it.
    for key, cell in held.items():
        to = moved(key, edits)
        if to is not None:
            assert ws.cell(*to) is cell and (cell.row, cell.column) == to


@pytest.mark.parametrize("native", [True, False], ids=["store", "dict"])
def test_what_moves_with_the_cells(tmp_path, native):
    wb, _ = build([[1, 2, 3]] * 6, native, ())
    ws = wb["Data"]
    ws["B3"].hyperlink = "https://example.com/"
    ws["C4"].comment = Comment("note", "me")
    ws["A6"] = "=SUM(A1:A5)"
    ws["D1"] = "=B2+A1+C2"
    ws.merge_cells("A5:B6")
    ws.merge_cells("C5:C6")
    ws.row_dimensions[4] = RowDimension(ht=30, customHeight=1)
    ws.column_dimensions["C"].width = 20
    wb.defined_names.append(DefinedName("Block", "Data!$A$2:$C$4"))
    wb.defined_names.append(DefinedName("_xlnm.Print_Titles", "Data!$1:$2",
                                        {"localSheetId": "0"}))

    ws.insert_rows(2, 2)
    ws.insert_cols("A")
    assert ws["C5"].hyperlink.ref == "C5" and ws["C5"].hyperlink.target == "https://example.com/"
    assert ws["D6"].comment.text == "note"
    assert ws["B8"].value == "=SUM(B1:B7)"
    assert ws.merged_cells == ["B7:C8", "D7:D8"]
    assert list(ws.row_dimensions) == [6]
    assert ws.column_dimensions["D"].width == 20
    assert [n.value for n in wb.defined_names] == ["Data!$B$4:$D$6", "Data!$1:$4"]

    assert ws["E1"].value == "=C4+B1+D4"

    ws.delete_rows(7)           # one merge left one row high, the other a single cell
    assert ws.merged_cells == ["B7:C7"] and ws["B7"].value == "=SUM(B1:B6)"
    ws.delete_cols(2, 2)        # the merge, the hyperlinked cell and the sum go
    assert ws.merged_cells == [] and ws["B7"].value == 3   # from column D
    assert ws["B5"].comment is None and ws["B6"].comment.text == "note"
    assert ws["C1"].value == "=#REF!+#REF!+B4"
    assert [n.value for n in wb.defined_names] == ["Data!$B$4:$B$6", "Data!$1:$4"]
    assert wb["Other"]["A1"].value == "=Data!#REF!+SUM(Data!B4:B6)"
    path = tmp_path / "moved.xlsx"
    wb.save(path)
    back = tavrinex.load_workbook(path)
    assert back["Data"]["C1"].value == "=#REF!+#REF!+B4"
    assert back["Data"]["B6"].comment.text == "note"
    assert back["Other"]["A1"].value == "=Data!#REF!+SUM(Data!B4:B6)"
    assert back["Data"].column_dimensions["B"].width == 20
    assert [n.value for n in back.defined_names] == ["Data!$B$4:$B$6", "Data!$1:$4"]


def test_sheet_renames_reach_every_formula_and_name():
    wb = tavrinex.Workbook()
    ws = wb.active
    ws.title = "Data"
    other = wb.create_sheet("Other")
    other["A1"] = "=Data!A1+'Data'!B2+Other!A2"
    ws["A1"] = "=Data!B1"
    wb.defined_names.append(DefinedName("Total", "Data!$A$1:$A$9"))
    ws.title = "My Data"
    assert other["A1"].value == "='My Data'!A1+'My Data'!B2+Other!A2"
    assert ws["A1"].value == "='My Data'!B1"
    assert wb.defined_names[0].value == "'My Data'!$A$1:$A$9"


def test_limits_and_bad_arguments():
    wb = tavrinex.Workbook()
    ws = wb.active
    ws.cell(1_048_575, 1, "near the end")
    ws.insert_rows(1)                              # to the last row: allowed
    assert ws.cell(1_048_576, 1).value == "near the end"
    with pytest.raises(ValueError, match="past the last row"):
        ws.insert_rows(5)
    assert ws.cell(1_048_576, 1).value == "near the end"   # refused, nothing moved
    ws.cell(1, 16_384, "last column")
    with pytest.raises(ValueError, match="past the last column"):
        ws.insert_cols("XFD")
    ws.delete_rows(1_048_576)
    assert ws.max_row == 1
    for bad in [(0,), (1, 0), (1, -1), ("A",), (1.5,), (True,)]:
        with pytest.raises((ValueError, TypeError)):
            ws.insert_rows(*bad)
    with pytest.raises(ValueError):
        ws.delete_cols("XFE")


def test_unreadable_formulas_stay_and_are_named_once():
    wb = tavrinex.Workbook()
    ws = wb.active
    ws["A1"] = '="open'
    ws["A2"] = "=A3"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ws.insert_rows(1)
    assert [str(w.message) for w in caught] == [
        "the formula of Sheet!A1 could not be read; its references were left as they were"]
    assert ws["A2"].value == '="open' and ws["A3"].value == "=A4"


@needs_engine
def test_store_moves_compact_cells_past_its_compact_columns():
    wb = tavrinex.Workbook()
    ws = wb.active
    ws.append([1, 2, "=A1+B1"])
    store = ws._cells
    assert store._shift(True, 2, 65_534) == []     # B -> column 65,536: beyond the compact tier
    assert list(store) == [(1, 1), (1, 65_536), (1, 65_537)]
    assert store[1, 65_537].value == "=A1+B1"       # a formula that cannot follow keeps its text
    assert store._shift(True, 2, -65_534) == []
    assert list(store) == [(1, 1), (1, 2), (1, 3)]
    assert [store[1, c].value for c in (1, 2, 3)] == [1, 2, "=A1+B1"]


@needs_engine
def test_shared_formulas_read_from_a_file_move(tmp_path):
    from xlsx_files import minimal_parts, package
    body = ('<row r="1"><c r="A1"><v>1</v></c><c r="B1"><f t="shared" ref="B1:B3" si="0">A1*2</f>'
            '</c></row><row r="2"><c r="A2"><v>2</v></c><c r="B2"><f t="shared" si="0"/></c></row>'
            '<row r="3"><c r="A3"><v>3</v></c><c r="B3"><f t="shared" si="0"/></c></row>')
    path = tmp_path / "shared.xlsx"
    path.write_bytes(package(minimal_parts(body)))
    wb = tavrinex.load_workbook(path)
    ws = wb.active
    assert ws.reader_path == "engine"
    ws.insert_rows(2)
    ws.delete_cols(1)
    assert [ws.cell(r, 1).value for r in range(1, 5)] == ["=#REF!*2", None, "=#REF!*2",
                                                          "=#REF!*2"]


def local_names(wb):
    """{(name, title of its sheet or None): value}, the sheet found however
    the name holds it (the sheet itself, or its place)."""
    out = {}
    for dn in wb.defined_names:
        sheet = next((getattr(dn, a) for a in ("sheet", "scope")
                      if getattr(dn, a, None) is not None and not isinstance(getattr(dn, a), str)),
                     None)
        local = getattr(dn, "local_sheet_id", None)
        if local is None:
            local = dn.attributes.get("localSheetId")
        if sheet is None and local is not None:
            sheet = wb.worksheets[int(local)]
        out[dn.name, None if sheet is None else sheet.title] = dn.value
    return out


def test_moving_and_copying_sheets_take_their_names_along(tmp_path):
    wb = tavrinex.Workbook()
    data = wb.active
    data.title = "Data"
    data.append([1, 2, "=A1+B1", "=Data!A1*2"])
    data.merge_cells("A3:B4")
    data.column_dimensions["B"].width = 30
    data["A2"].font = Font(bold=True)
    notes, summary = wb.create_sheet("Notes"), wb.create_sheet("Summary")
    summary["A1"] = "=SUM(Data!A1:B1)"
    wb.defined_names.append(DefinedName("_xlnm.Print_Area", "Data!$A$1:$D$4",
                                        {"localSheetId": "0"}))
    wb.defined_names.append(DefinedName("Local", "Notes!$A$1", {"localSheetId": "1"}))
    wb.defined_names.append(DefinedName("Global", "Summary!$A$1"))
    wb.active = summary

    from tavrinex.tables import Table
    from tavrinex.validation import DataValidation
    data.add_data_validation(DataValidation("whole", formula1="0", formula2="9", ranges="A1"))
    data.add_table(Table("Items", "A5:B7"))
    data.page_setup.orientation = "landscape"
    data.freeze_panes = "A2"
    first, second = wb.copy_worksheet(data), wb.copy_worksheet(data)
    assert (first.page_setup.orientation, first.freeze_panes) == ("landscape", "A2")
    assert [dv.ranges for dv in first.data_validations] == ["A1"] and not list(first.tables)
    first.data_validations[0].formula1 = "5"                  # a copy, not the same object
    assert data.data_validations[0].formula1 == "0"
    assert (first.title, second.title) == ("Data Copy", "Data Copy2")
    assert list(first.values)[:2] == [(1, 2, "=A1+B1", "='Data Copy'!A1*2"), (None,) * 4]
    assert first.merged_cells == ["A3:B4"] and first.column_dimensions["B"].width == 30
    assert first["A2"].font.bold and first["A2"] is not data["A2"]
    first["A1"] = 10                               # the copy is a sheet of its own
    assert data["A1"].value == 1
    wb.move_sheet(summary, -2)
    wb.move_sheet("Data Copy2", -4)
    assert wb.sheetnames == ["Data Copy2", "Summary", "Data", "Notes", "Data Copy"]
    wb.worksheets = [wb["Notes"], *[ws for ws in wb.worksheets if ws.title != "Notes"]]
    expected = {("_xlnm.Print_Area", "Data"): "Data!$A$1:$D$4",
                ("Local", "Notes"): "Notes!$A$1", ("Global", None): "Summary!$A$1",
                ("_xlnm.Print_Area", "Data Copy"): "'Data Copy'!$A$1:$D$4",
                ("_xlnm.Print_Area", "Data Copy2"): "'Data Copy2'!$A$1:$D$4"}
    assert local_names(wb) == expected and wb.active is summary
    path = tmp_path / "moved.xlsx"
    wb.save(path)
    back = tavrinex.load_workbook(path)
    assert back.sheetnames == ["Notes", "Data Copy2", "Summary", "Data", "Data Copy"]
    assert local_names(back) == expected and back.active.title == "Summary"
    assert back["Data Copy"]["A1"].value == 10 and back["Data"]["A1"].value == 1
    with pytest.raises(ValueError):
        wb.move_sheet(summary, 10)
    with pytest.raises(ValueError):
        wb.worksheets = wb.worksheets[:-1]
    with pytest.raises(ValueError):
        wb.worksheets = [data] * len(wb.worksheets)


@needs_engine
def test_loaded_sheets_move_alike_through_engine_and_python(tmp_path):
    import xlsxwriter
    path = tmp_path / "loaded.xlsx"
    book = xlsxwriter.Workbook(str(path))
    sheet = book.add_worksheet("Data")
    for r in range(40):
        sheet.write_row(r, 0, [r, r * 0.5, f"t{r % 7}", r % 2 == 0])
        sheet.write_formula(r, 4, f"=A{r + 1}*B{r + 1}+$A$1")
        sheet.write_formula(r, 5, f"=SUM(A$1:A{r + 1})")
    other = book.add_worksheet("Other")
    other.write_formula(0, 0, "=SUM(Data!E1:E40)+Data!F40")
    book.close()
    edits = [(False, 5, 3, False), (True, 2, 1, False), (False, 1, 2, True), (True, 1, 1, True),
             (False, 30, 20, True)]
    books = [tavrinex.load_workbook(path), tavrinex.load_workbook(path, engine=None)]
    assert [wb["Data"].reader_path for wb in books] == ["engine", "python"]
    for wb in books:
        apply(wb, edits)
    values = [[(c.coordinate, c.value) for row in wb["Data"].iter_rows() for c in row]
              for wb in books]
    assert values[0] == values[1]
    assert [wb["Other"]["A1"].value for wb in books] == ["=SUM(Data!E1:E29)+Data!#REF!"] * 2
    assert moved((10, 5), edits) == (11, 5)
    assert books[0]["Data"]["E11"].value == "=#REF!*B11+#REF!"   # A10*B10+$A$1, A and 1 gone


def test_sheet_features_move_with_their_cells(tmp_path):
    from tavrinex.rules import CellIs, Expression
    from tavrinex.tables import Table
    from tavrinex.validation import DataValidation

    wb = tavrinex.Workbook()
    ws = wb.active
    ws.title = "Data"
    ws.append(["Name", "Qty", "Price"])
    for n in range(1, 6):
        ws.append([f"item {n}", n, n * 1.5])
    lists = wb.create_sheet("Lists")
    lists.append(["a"])
    lists.append(["b"])
    ws.add_data_validation(DataValidation("list", formula1="Lists!$A$1:$A$2", ranges="A2:A6 E1"))
    ws.add_data_validation(DataValidation("whole", "greaterThan", formula1="$B$7",
                                          ranges="B2:B6"))
    ws.add_conditional_format("C2:C6", CellIs("greaterThan", ["$C$7"], None))
    ws.add_conditional_format("A9:B9", Expression("A9>B9", None))
    ws.auto_filter.ref = "A1:C6"
    ws.add_table(Table("Items", "A1:C6"))
    ws.print_area = "A1:C6"
    ws.print_title_rows = "1:1"

    ws.insert_rows(3, 2)
    ws.insert_cols("B")
    lists.insert_rows(1)
    ws.delete_rows(11)                  # the Expression's range goes
    assert [(dv.ranges, dv.formula1) for dv in ws.data_validations] == [
        ("A2:A8 F1", "Lists!$A$2:$A$3"), ("C2:C8", "$C$9")]
    assert [(cf.ranges, [r.formulas if hasattr(r, "formulas") else r.formula for r in cf.rules])
            for cf in ws.conditional_formats] == [("D2:D8", [("$D$9",)])]
    assert ws.auto_filter.ref == "A1:D8"
    table = ws.tables["Items"]
    assert table.ref == "A1:D8" and [c.name for c in table.columns] == [
        "Name", "Column1", "Qty", "Price"]
    assert (ws.print_area, ws.print_title_rows) == ("A1:D8", "1:1")
    ws.delete_cols("C")                 # Qty goes from the table
    assert [c.name for c in ws.tables["Items"].columns] == ["Name", "Column1", "Price"]
    assert [dv.ranges for dv in ws.data_validations] == ["A2:A8 E1"]   # C2:C8 went whole
    ws.delete_rows(1)                   # the table's header row: the table goes
    assert "Items" not in ws.tables
    path = tmp_path / "features.xlsx"
    wb.save(path)
    back = tavrinex.load_workbook(path)["Data"]
    assert [dv.ranges for dv in back.data_validations] == [dv.ranges for dv in ws.data_validations]
    assert back.auto_filter.ref == ws.auto_filter.ref
