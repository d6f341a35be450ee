"""Workbooks and read_table options for the data road's tests.

`workbooks()` draws one-sheet workbooks whose cells cover what a sheet
holds: whole and fractional numbers, shared and inline strings, cached
formula values of every kind, booleans, errors, ISO dates, serials in date,
date-time, time-of-day and duration formats (both date systems), empty
styled cells, gaps between rows and columns, rows out of order, cells
repeated or without a reference, merged ranges. `options()` draws the
read_table keywords. `compare()` reads with both roads and returns what
each gave."""

import warnings

from hypothesis import strategies as st

import tavrinex
from tavrinex.utils.cell import get_column_letter

from xlsx_files import minimal_parts, package

SHARED = ["alpha", "beta", "", "a longer shared string than twelve bytes", "7", "beta"]
# Style ids: 0 General, 1 a day (built-in), 2 day and time (built-in), 3 a
# time of day, 4 a duration, 5 a custom day format, 6 a custom format
# with a time, 7 a number format.
STYLES = ('<numFmts count="2"><numFmt numFmtId="164" formatCode="yyyy\\-mm\\-dd"/>'
          '<numFmt numFmtId="165" formatCode="dd/mm/yyyy\\ hh:mm"/></numFmts>'
          '<cellXfs count="8"><xf numFmtId="0"/><xf numFmtId="14"/><xf numFmtId="22"/>'
          '<xf numFmtId="21"/><xf numFmtId="46"/><xf numFmtId="164"/><xf numFmtId="165"/>'
          '<xf numFmtId="2"/></cellXfs>')

NUMBERS = ["0", "42", "-7", "3.0", "2.5", "0.1", "1e3", "1e20", "-0", "123456789012",
           "9.2233720368547758E18", "45000", "45000.5", "0.25", "59", "61", "1e308"]
DATE_STYLES = [1, 2, 3, 4, 5, 6]


@st.composite
def cell_xml(draw, ref):
    """One <c> element (its r attribute `ref`, or none when ref is None)."""
    r = f' r="{ref}"' if ref is not None else ""
    kind = draw(st.sampled_from(["num", "num", "date", "shared", "shared", "inline", "bool",
                                 "error", "str", "iso", "empty", "formula"]))
    if kind == "num":
        style = draw(st.sampled_from([0, 0, 7]))
        return f'<c{r} s="{style}"><v>{draw(st.sampled_from(NUMBERS))}</v></c>'
    if kind == "date":
        style = draw(st.sampled_from(DATE_STYLES))
        value = draw(st.sampled_from(["45000", "45000.5", "45001", "0", "0.25", "1.5", "59",
                                      "61", "-1", "1e12", "45000.000011574"]))
        return f'<c{r} s="{style}"><v>{value}</v></c>'
    if kind == "shared":
        return f'<c{r} t="s"><v>{draw(st.integers(0, len(SHARED) - 1))}</v></c>'
    if kind == "inline":
        text = draw(st.sampled_from(["inline", "", "&amp; more than twelve bytes", "42"]))
        return f'<c{r} t="inlineStr"><is><t>{text}</t></is></c>'
    if kind == "bool":
        return f'<c{r} t="b"><v>{draw(st.sampled_from(["0", "1"]))}</v></c>'
    if kind == "error":
        return f'<c{r} t="e"><v>{draw(st.sampled_from(["#DIV/0!", "#N/A"]))}</v></c>'
    if kind == "str":
        return f'<c{r} t="str"><f>A1&amp;"x"</f><v>{draw(st.sampled_from(["x", "1"]))}</v></c>'
    if kind == "iso":
        value = draw(st.sampled_from(["2024-01-02", "2024-01-02T03:04:05", "12:30:00"]))
        return f'<c{r} t="d"><v>{value}</v></c>'
    if kind == "empty":
        return f'<c{r} s="{draw(st.sampled_from([0, 1]))}"/>'
    value = draw(st.sampled_from(["3", "2.5", "", "45000"]))
    style = draw(st.sampled_from([0, 1]))
    v = f"<v>{value}</v>" if value else ""
    return f'<c{r} s="{style}"><f>B1*2</f>{v}</c>'


@st.composite
def sheet_body(draw):
    rows = []
    row = 0
    for _ in range(draw(st.integers(0, 9))):
        step = draw(st.sampled_from([1, 1, 1, 2, 3, 0, -1]))
        row = max(1, row + step)
        cells = []
        col = 0
        for _ in range(draw(st.integers(0, 6))):
            col = max(1, col + draw(st.sampled_from([1, 1, 1, 2, 0])))
            ref = None if draw(st.integers(0, 15)) == 0 else f"{get_column_letter(col)}{row}"
            cells.append(draw(cell_xml(ref)))
        rows.append(f'<row r="{row}">{"".join(cells)}</row>')
    return "".join(rows)


@st.composite
def workbooks(draw):
    body = draw(sheet_body())
    extra = ""
    if draw(st.booleans()):
        refs = draw(st.lists(st.sampled_from(["A1:B2", "B2:C3", "A3:A5", "C1:D1", "B4",
                                              "A2:E2", "bad"]), min_size=1, max_size=3))
        extra = (f'<mergeCells count="{len(refs)}">'
                 + "".join(f'<mergeCell ref="{ref}"/>' for ref in refs) + "</mergeCells>")
    return package(minimal_parts(body, extra, strings=SHARED, styles=STYLES,
                                 date1904=draw(st.integers(0, 5)) == 0))


@st.composite
def options(draw):
    out = {}
    if draw(st.booleans()):
        out["header_row"] = draw(st.sampled_from([None, 0, 1, 2]))
    if draw(st.booleans()):
        out["skip_rows"] = draw(st.sampled_from([0, 1, 2, [0, 2], [1], "odd"]))
        if out["skip_rows"] == "odd":
            out["skip_rows"] = lambda t: t % 2 == 1
    if draw(st.booleans()):
        out["n_rows"] = draw(st.sampled_from([0, 1, 2, 4]))
    if draw(st.integers(0, 3)) == 0:
        out["columns"] = draw(st.sampled_from(["A:C", "B:", "A,C", "C", [1, 0], [0], [2]]))
    if draw(st.integers(0, 3)) == 0:
        out["dtypes"] = draw(st.sampled_from(["string", "float", {0: "int"}, {1: "date"},
                                              {0: "datetime"}, {0: "boolean"}, {1: "null"},
                                              {0: "time"}, {1: "duration"}]))
    if draw(st.booleans()):
        out["schema_sample_rows"] = draw(st.sampled_from([None, 1, 2]))
    if draw(st.integers(0, 3)) == 0:
        out["dtype_coercion"] = "strict"
    if draw(st.booleans()):
        out["merged"] = "fill"
    if draw(st.booleans()):
        out["skip_empty_rows"] = True
    if draw(st.booleans()):
        out["strings"] = draw(st.sampled_from(["dictionary", "plain"]))
    return out


def outcome(source, engine, **kw):
    """What read_table gives: ("table", names, types, values, arrow schema,
    warnings, road) or ("error", type, message)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            table = tavrinex.read_table(source, engine=engine, **kw)
        except Exception as exc:
            return ("error", type(exc), str(exc)), None
    import pyarrow as pa
    schema = pa.table(table).schema
    return (("table", table.column_names, list(table.schema.values()), table.to_pydict(),
             schema, [str(w.message) for w in caught]), table.reader_path)


def compare(source, **kw):
    """The engine road's and the Python road's outcomes, and which road
    the engine road took."""
    engine_side, road = outcome(source, tavrinex._native.native, **kw)
    python_side, _ = outcome(source, None, **kw)
    return engine_side, python_side, road
