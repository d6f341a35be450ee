"""read_table: the type rules, the row and column options, Excel tables,
and the tables against what the package's load_workbook and independent
readers make of the same files."""

import datetime
import io

import pytest
import xlsxwriter

import tavrinex
from tavrinex import _native

from tablegen import STYLES, compare
from xlsx_files import minimal_parts, package

ENGINES = [None] + ([_native.native] if _native.native is not None else [])
D = datetime.datetime


def one_column(*cells, strings=("s0", "s1"), date1904=False):
    """A workbook whose column A holds a header "h" and `cells` (bodies of
    <c> elements after the r attribute) in rows 2, 3, ..."""
    rows = ['<row r="1"><c r="A1" t="inlineStr"><is><t>h</t></is></c></row>']
    rows += [f'<row r="{i}"><c r="A{i}"{c}</c></row>' for i, c in enumerate(cells, 2)]
    return package(minimal_parts("".join(rows), strings=list(strings), styles=STYLES,
                                 date1904=date1904))


NUM = '><v>{}</v>'
RULES = [
    # cells, type, values
    ([NUM.format(1), NUM.format(2)], "int", [1, 2]),
    ([NUM.format(1), NUM.format("2.0"), NUM.format("1e3")], "int", [1, 2, 1000]),
    ([NUM.format(1), NUM.format("2.5")], "float", [1.0, 2.5]),
    ([NUM.format("1e19")], "float", [1e19]),      # whole, beyond int64
    ([NUM.format("9.2233720368547748E18")], "int", [9223372036854774784]),
    ([' t="b"><v>1</v>', ' t="b"><v>0</v>'], "boolean", [True, False]),
    ([' t="s"><v>1</v>', ' t="inlineStr"><is><t>x</t></is>', ' t="str"><f>A1</f><v>y</v>'],
     "string", ["s1", "x", "y"]),
    ([' s="1"><v>45000</v>', ' s="5"><v>45001</v>'], "date",
     [datetime.date(2023, 3, 15), datetime.date(2023, 3, 16)]),
    ([' s="1"><v>45000</v>', ' s="2"><v>45001</v>'], "datetime",     # a format with a time
     [D(2023, 3, 15), D(2023, 3, 16)]),
    ([' s="1"><v>45000.5</v>'], "datetime", [D(2023, 3, 15, 12)]),   # not at midnight
    ([' t="d"><v>2024-01-02</v>', ' s="1"><v>45000</v>'], "date",
     [datetime.date(2024, 1, 2), datetime.date(2023, 3, 15)]),
    ([' s="3"><v>0.25</v>', ' t="d"><v>12:30:00</v>'], "time",
     [datetime.time(6), datetime.time(12, 30)]),
    ([' s="4"><v>1.5</v>', ' s="4"><v>-0.5</v>'], "duration",
     [datetime.timedelta(days=1.5), datetime.timedelta(hours=-12)]),
    ([NUM.format(1), ' t="b"><v>1</v>', NUM.format("0.5"), ' s="1"><v>45000</v>',
      ' s="4"><v>0.5</v>', ' s="3"><v>0.5</v>'], "string",
     ["1", "TRUE", "0.5", "2023-03-15T00:00:00", "12:00:00", "12:00:00"]),
    ([' t="e"><v>#N/A</v>', NUM.format(3)], "int", [None, 3]),
    ([' t="e"><v>#N/A</v>', ' s="1">'], "null", [None]),   # the range ends at row 2
    ([' s="1"><v>1e12</v>'], "null", [None]),           # a date out of range is an error
]


@pytest.mark.parametrize("engine", ENGINES, ids=["python", "engine"][:len(ENGINES)])
@pytest.mark.parametrize("cells, type_name, values", RULES)
def test_type_rules(engine, cells, type_name, values):
    with pytest.warns(UserWarning) if any("1e12" in c for c in cells) else _nothing():
        table = tavrinex.read_table(one_column(*cells), engine=engine)
    assert table.schema == {"h": type_name}
    assert table.to_pydict() == {"h": values}


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


@pytest.mark.parametrize("engine", ENGINES, ids=["python", "engine"][:len(ENGINES)])
def test_strict_names_the_first_cell_that_does_not_fit(engine):
    book = one_column(NUM.format(1), NUM.format(2), ' t="s"><v>0</v>', ' t="e"><v>#N/A</v>')
    with pytest.raises(ValueError, match='^cell A4 in column "h": string value does not fit '
                                         'type int$'):
        tavrinex.read_table(book, dtype_coercion="strict", engine=engine)
    # beyond the sample the column's type holds; the error cell is named
    with pytest.raises(ValueError, match='^cell A4 in column "h": string value does not fit'):
        tavrinex.read_table(book, dtype_coercion="strict", schema_sample_rows=1, engine=engine)
    texts = one_column(' t="s"><v>0</v>', ' t="s"><v>1</v>', ' t="e"><v>#N/A</v>')
    with pytest.raises(ValueError, match='^cell A4 in column "h": error value #N/A$'):
        tavrinex.read_table(texts, dtype_coercion="strict", engine=engine)
    coerced = tavrinex.read_table(book, schema_sample_rows=2, engine=engine)
    assert coerced.to_pydict() == {"h": [1, 2, None, None]}   # beyond the sample: null
    assert tavrinex.read_table(book, dtypes="string", engine=engine).to_pydict() == {
        "h": ["1", "2", "s0", None]}


def sheet(rows, extra=""):
    """A workbook of rows given as {column letter: value} dicts (numbers,
    or str for inline strings), row 1 first; None rows are absent."""
    body = []
    for r, row in enumerate(rows, 1):
        if row is None:
            continue
        cells = []
        for col, value in row.items():
            if isinstance(value, str):
                cells.append(f'<c r="{col}{r}" t="inlineStr"><is><t>{value}</t></is></c>')
            else:
                cells.append(f'<c r="{col}{r}"><v>{value}</v></c>')
        body.append(f'<row r="{r}">{"".join(cells)}</row>')
    return package(minimal_parts("".join(body), extra, styles=STYLES))


TITLED = sheet([None, {"B": "Report"}, None, {"B": "a", "C": "b", "D": "a"},
                {"B": 1, "C": 2}, {"C": 4}, None, {"B": 5, "E": 6}])


@pytest.mark.parametrize("engine", ENGINES, ids=["python", "engine"][:len(ENGINES)])
def test_rows_and_columns(engine):
    def read(**kw):
        return tavrinex.read_table(TITLED, engine=engine, **kw)

    # rows count from the first that holds a value (row 2); the title row
    # is the header unless skipped, and its cells make no columns of their own
    t = read()
    assert t.schema == {"Report": "string", "column_2": "string", "column_3": "string",
                        "column_4": "int"}
    t = read(skip_rows=2)
    assert t.column_names == ["a", "b", "a_1", "column_4"]
    assert t.to_pydict()["a"] == [1, None, None, 5]
    assert read(header_row=2).column_names == ["a", "b", "a_1", "column_4"]
    assert read(skip_rows=[1], header_row=1).to_pydict()["a"] == [1, None, None, 5]
    assert read(skip_rows=lambda t: t < 2, skip_empty_rows=True).num_rows == 3
    assert read(skip_rows=2, n_rows=2).to_pydict() == {"a": [1, None], "b": [2, 4],
                                                       "a_1": [None, None]}
    t = read(header_row=None, skip_rows=3)
    assert t.column_names == ["column_1", "column_2", "column_3", "column_4"]
    assert t.num_rows == 4
    assert read(skip_rows=2, columns="C:").column_names == ["b", "a_1", "column_4"]
    assert read(skip_rows=2, columns="B,D").column_names == ["a", "a_1"]
    assert read(skip_rows=2, columns=["b", 0]).column_names == ["b", "a"]
    assert read(skip_rows=2, dtypes={"b": "float"}).schema["b"] == "float"
    with pytest.raises(ValueError, match="no column named 'x'"):
        read(skip_rows=2, columns=["x"])
    with pytest.raises(ValueError, match="is not a column range"):
        read(columns="A-C")
    with pytest.raises(ValueError, match="unknown column type 'integer'"):
        read(dtypes="integer")


MERGED = sheet([{"A": "k", "B": "v"}, {"A": "x", "B": 1}, {"B": 2}, {"A": "y", "B": 3}],
               '<mergeCells count="2"><mergeCell ref="A2:A3"/><mergeCell ref="B4:C9"/>'
               '</mergeCells>')


@pytest.mark.parametrize("engine", ENGINES, ids=["python", "engine"][:len(ENGINES)])
def test_merged_fill_stays_within_the_values(engine):
    plain = tavrinex.read_table(MERGED, engine=engine)
    assert plain.to_pydict() == {"k": ["x", None, "y"], "v": [1, 2, 3]}
    filled = tavrinex.read_table(MERGED, merged="fill", engine=engine)
    # A2:A3 fills A3; B4:C9 reaches no row or column past the sheet's values
    assert filled.to_pydict() == {"k": ["x", "x", "y"], "v": [1, 2, 3]}


def excel_tables_book(path):
    wb = xlsxwriter.Workbook(str(path))
    ws = wb.add_worksheet("Report")
    ws.write("A1", "A title over the tables")
    ws.add_table("B3:D6", {"name": "Sales", "columns": [{"header": "Item"},
                                                        {"header": "Units"},
                                                        {"header": "Price"}],
                            "data": [["lamp", 2, 9.5], ["desk", 1, 120.0], ["pen", 10, 1.25]],
                            "total_row": False})
    ws.add_table("F3:G6", {"name": "Totals", "columns": [{"header": "Region"},
                                                         {"header": "Sum", "total_function": "sum"}],
                            "data": [["north", 4], ["south", 6]], "total_row": True})
    wb.add_worksheet("Other").write("A1", 1)
    wb.close()
    return path


@pytest.mark.parametrize("engine", ENGINES, ids=["python", "engine"][:len(ENGINES)])
def test_sheets_and_excel_tables_by_name(tmp_path, engine):
    path = excel_tables_book(tmp_path / "tables.xlsx")
    sales = tavrinex.read_table(path, "Sales", engine=engine)
    assert sales.schema == {"Item": "string", "Units": "int", "Price": "float"}
    assert sales.to_pydict()["Item"] == ["lamp", "desk", "pen"]
    totals = tavrinex.read_table(path, "totals", engine=engine)   # names ignore case
    assert totals.to_pydict() == {"Region": ["north", "south"], "Sum": [4, 6]}
    assert tavrinex.read_table(path, "Other", header_row=None, engine=engine).to_pydict() == {
        "column_1": [1]}
    assert tavrinex.read_table(path, -1, header_row=None, engine=engine).num_rows == 1
    with pytest.raises(KeyError, match="no worksheet or table named 'Nope'"):
        tavrinex.read_table(path, "Nope", engine=engine)
    with pytest.raises(IndexError):
        tavrinex.read_table(path, 2, engine=engine)


def test_sources_paths_bytes_and_files(tmp_path):
    data = one_column(NUM.format(5))
    path = tmp_path / "one.xlsx"
    path.write_bytes(data)
    expected = {"h": [5]}
    assert tavrinex.read_table(data).to_pydict() == expected
    assert tavrinex.read_table(str(path)).to_pydict() == expected
    assert tavrinex.read_table(path).to_pydict() == expected
    assert tavrinex.read_table(io.BytesIO(data)).to_pydict() == expected
    with open(path, "rb") as f:
        assert tavrinex.read_table(f).to_pydict() == expected
    with pytest.raises(tavrinex.InvalidFileError):
        tavrinex.read_table(b"not a workbook")


def test_cells_outside_the_grid_are_a_broken_part():
    book = package(minimal_parts('<row r="1"><c r="A1"><v>1</v></c></row>'
                                 '<row r="1048577"><c r="A1048577"><v>2</v></c></row>'))
    for engine in ENGINES:
        with pytest.raises(tavrinex.BrokenPartError, match="A1048577 lies outside the "
                                                           "worksheet grid"):
            tavrinex.read_table(book, header_row=None, engine=engine)
    # a row limit ends the reading before it
    assert tavrinex.read_table(book, header_row=None, n_rows=1).to_pydict() == {"column_1": [1]}


# -- against the package's full reader and independent ones

def mixed_book(path):
    wb = xlsxwriter.Workbook(str(path))
    day = wb.add_format({"num_format": "yyyy-mm-dd"})
    moment = wb.add_format({"num_format": "yyyy-mm-dd hh:mm:ss"})
    span = wb.add_format({"num_format": "[h]:mm:ss"})
    ws = wb.add_worksheet("Mixed")
    ws.write_row(0, 0, ["int", "float", "text", "flag", "day", "moment", "span", "cached",
                        "mixed"])
    for r in range(1, 60):
        ws.write_number(r, 0, r * 7 - 100)
        ws.write_number(r, 1, r / 8)
        ws.write_string(r, 2, f"item {r % 9}" if r % 5 else "a longer text, past the inline views")
        ws.write_boolean(r, 3, r % 3 == 0)
        ws.write_datetime(r, 4, D(2024, 1, 1) + datetime.timedelta(days=r), day)
        ws.write_datetime(r, 5, D(2024, 1, 1, 8) + datetime.timedelta(hours=r * 5), moment)
        ws.write_datetime(r, 6, datetime.timedelta(minutes=r * 37), span)
        ws.write_formula(r, 7, f"=A{r + 1}*2", None, (r * 7 - 100) * 2)
        if r % 4:
            ws.write_number(r, 8, r)
        else:
            ws.write_string(r, 8, "x")
    ws.write_formula(60, 7, "=1/0", None, "#DIV/0!")
    wb.close()
    return path


@pytest.fixture(scope="module")
def mixed(tmp_path_factory):
    return mixed_book(tmp_path_factory.mktemp("mixed") / "mixed.xlsx")


def test_values_are_load_workbooks(mixed):
    """Every data cell is what load_workbook(data_only=True) gives, in the
    column's type."""
    table = tavrinex.read_table(mixed)
    assert table.reader_path == ("engine" if _native.native is not None else "python")
    assert table.schema == {"int": "int", "float": "float", "text": "string", "flag": "boolean",
                            "day": "date", "moment": "datetime", "span": "duration",
                            "cached": "int", "mixed": "string"}
    ws = tavrinex.load_workbook(mixed, data_only=True)["Mixed"]
    columns = table.to_pydict()
    for j, name in enumerate(table.column_names, 1):
        for i, value in enumerate(columns[name]):
            cell = ws.cell(i + 2, j)
            expected = None if cell.data_type == "e" else cell.value
            if table.schema[name] == "date" and expected is not None:
                expected = expected.date()
            elif table.schema[name] == "string" and expected is not None:
                expected = str(expected)
            assert value == expected, (name, i)


def test_against_calamine_and_fastexcel(mixed):
    """The same values as python-calamine and fastexcel, but for each
    reader's own rules:

    ==========  ==================  =====================================
    reader      cells               what it gives
    ==========  ==================  =====================================
    calamine    whole numbers       float where the cell is a float
    calamine    a day format        datetime (here: date)
    calamine    date-time, 0:00     date (here: datetime)
    calamine    an error            "" (here: null)
    fastexcel   whole numbers       float64 (here: int64)
    ==========  ==================  =====================================
    """
    import fastexcel
    from python_calamine import CalamineWorkbook

    table = tavrinex.read_table(mixed, columns=["int", "float", "text", "flag", "day", "moment",
                                                "span", "cached"]).to_pydict()
    rows = CalamineWorkbook.from_path(str(mixed)).get_sheet_by_name("Mixed").to_python()
    header = rows[0]
    for j, name in enumerate(header[:8]):
        theirs = [None if row[j] == "" else row[j] for row in rows[1:]]
        ours = table[name]
        if name == "day":
            theirs = [v.date() if isinstance(v, D) else v for v in theirs]
        if name == "moment":   # calamine gives a date for a date-time at midnight
            theirs = [D(v.year, v.month, v.day) if type(v) is datetime.date else v
                      for v in theirs]
        assert ours == theirs, name
    sheet = fastexcel.read_excel(str(mixed)).load_sheet("Mixed").to_arrow().to_pydict()
    assert sheet["int"] == [None if v is None else float(v) for v in table["int"]]
    assert sheet["text"] == table["text"] and sheet["flag"] == table["flag"]
    assert sheet["float"] == table["float"]


@pytest.mark.parametrize("kw", [
    {}, {"header_row": None}, {"skip_rows": 3, "n_rows": 20}, {"dtypes": "string"},
    {"schema_sample_rows": 3}, {"strings": "dictionary"}, {"strings": "plain"},
    {"merged": "fill", "skip_empty_rows": True}, {"columns": "B:D"},
    {"dtype_coercion": "strict", "columns": [0, 1, 2, 3, 4, 5, 6]},
])
def test_real_files_on_both_roads(mixed, kw):
    from pathlib import Path
    sample = Path(__file__).resolve().parent.parent / "samples" / "sample.xlsx"
    for path, sheet in ((mixed, 0), (sample, "Sales"), (sample, "Notes")):
        engine_side, python_side, road = compare(path, sheet=sheet, **kw)
        assert engine_side == python_side, (path, sheet)
        assert road in (None, "engine")


def test_thresholds_on_both_roads():
    """Views hold up to 12 bytes inline; int64's ends; the last row and
    column of the grid; the sample's last row; 2**53 in number text."""
    rows = [f'<row r="1"><c r="A1" t="inlineStr"><is><t>{"x" * 12}</t></is></c>'
            f'<c r="B1" t="inlineStr"><is><t>{"y" * 13}</t></is></c>'
            '<c r="C1"><v>9007199254740992</v></c><c r="D1"><v>9007199254740993</v></c></row>',
            '<row r="2"><c r="A2" t="inlineStr"><is><t>abcdefghijkl</t></is></c>'
            '<c r="B2" t="inlineStr"><is><t>abcdefghijklm</t></is></c>'
            '<c r="C2"><v>9.2233720368547748E18</v></c><c r="D2"><v>-9.2233720368547758E18</v>'
            '</c></row>',
            '<row r="3"><c r="C3"><v>9.2233720368547758E18</v></c><c r="D3" t="inlineStr">'
            '<is><t>x</t></is></c></row>',
            '<row r="1048576"><c r="XFD1048576"><v>1</v></c></row>']
    book = package(minimal_parts("".join(rows), styles=STYLES))
    # (the row limit ends both roads before the sheet's last row)
    for kw in ({}, {"schema_sample_rows": 2}, {"dtypes": "string"}, {"strings": "dictionary"}):
        engine_side, python_side, road = compare(book, header_row=None, n_rows=3, **kw)
        assert engine_side == python_side, kw
        assert road in (None, "engine")
    t = tavrinex.read_table(book, header_row=None, schema_sample_rows=2, n_rows=3)
    values = t.to_pydict()
    assert values["column_1"] == ["x" * 12, "abcdefghijkl", None]
    assert values["column_2"] == ["y" * 13, "abcdefghijklm", None]
    assert t.schema["column_3"] == "int" and values["column_3"] == [
        9007199254740992, 9223372036854774784, None]       # 2**63 fits no int64: null
    assert values["column_4"] == [9007199254740993, -9223372036854775808, None]
    assert tavrinex.read_table(book, header_row=None, n_rows=3).schema["column_3"] == "float"
    assert tavrinex.read_table(book, header_row=None, n_rows=3, dtypes="string").to_pydict()[
        "column_4"] == ["9007199254740992", "-9.223372036854776e+18", "x"]
    if _native.native is not None:   # the whole grid: the engine road alone
        whole = tavrinex.read_table(book, header_row=None)
        assert (whole.num_rows, whole.num_columns) == (1048576, 16384)
    import pyarrow as pa
    pa.table(t).validate(full=True)
