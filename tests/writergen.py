"""Worksheets for the writer's differential tests.

A drawn `Recipe` builds the same worksheet afresh each time it is called, so
that the engine and the Python writer each get an untouched copy (style ids
handed out, hyperlinks and comments recorded and cells materialised by one
run do not leak into the other). The values cover what the writer meets:
markup characters, controls, tabs and carriage returns, surrounding
whitespace, non-ASCII and lone surrogates; ints across and beyond 64 bits;
floats with NaN, the infinities and -0.0; bools; None with and without a
style; dates, datetimes, times and timedeltas; formulas, "=" alone, array
and data-table formulas; Decimal, str, int and float subclasses; custom data
types; comments and hyperlinks; row dimensions with escaped attribute
values; columns past ZZZ.
"""

import array
import datetime
import decimal
import io

from hypothesis import strategies as st

from sheetgen import sheets
from tavrinex.cell import Cell
from tavrinex.dimensions import RowDimension, row_dimensions_from
from tavrinex.formula import ArrayFormula, DataTableFormula
from tavrinex.reader.bind import read_worksheet
from tavrinex.styles import StyleArray
from tavrinex.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH
from tavrinex.worksheet import Workbook, Worksheet


class Text(str):
    pass


class Int(int):
    pass


class Float(float):
    pass


TEXTS = ["plain", "a & b", "<tag>", "x > y", 'say "hi"', "it's", "tab\there", "line\r\nend",
         "cr\ronly", "caf\u00e9", "\U0001F600 smile", " lead", "trail ", "   ", "\u3000wide\u3000",
         "\x1cfs", "\x85nel", "_x0041_", "ctrl\x01", "nul\x00", "\x0bvt", "lone \ud800",
         "\udfff", "", "=", "=SUM(A1:B2)", "#N/A", "TRUE", "\u00e9t\u00e9"]

EDGE_INTS = [0, 1, -1, 2 ** 31, -2 ** 31 - 1, 2 ** 53, 2 ** 53 + 1, -2 ** 53 - 1, 2 ** 53 + 2,
             10 ** 16, 2 ** 63 - 1, -2 ** 63, 2 ** 63, -2 ** 63 - 1, 10 ** 30, 10 ** 400]

EDGE_FLOATS = [0.0, -0.0, float("nan"), float("inf"), float("-inf"), 1e15, 1e16, 1.5e-7,
               0.1 + 0.2, 1 / 3, 9999999999999998.0, 5e-324, 1.7976931348623157e308]

texts = st.one_of(st.sampled_from(TEXTS), st.text(max_size=12),
                  st.text(st.characters(codec="utf-8"), max_size=6))
ints = st.one_of(st.sampled_from(EDGE_INTS), st.integers(), st.integers(-2 ** 70, 2 ** 70))
floats = st.one_of(st.sampled_from(EDGE_FLOATS), st.floats())
datetimes = st.datetimes(min_value=datetime.datetime(1, 1, 2),
                         max_value=datetime.datetime(9999, 12, 30))
dates = st.one_of(
    datetimes,
    st.sampled_from([datetime.datetime(1900, 2, 28), datetime.datetime(1900, 3, 1),
                     datetime.datetime(1900, 1, 1), datetime.datetime(1899, 12, 30, 12),
                     datetime.datetime(1899, 12, 29, 23, 59, 59, 999999),
                     datetime.datetime(1904, 1, 1)]),
    st.dates(), st.times(), st.timedeltas(max_value=datetime.timedelta(days=10 ** 6),
                                          min_value=datetime.timedelta(days=-10 ** 6)))
formulas = st.one_of(
    st.sampled_from(["=SUM(A1:A3)", "=", "=A1&\"<b>\"", "=\u00e9+1", "= A1 ", "=a\x01"]),
    st.builds(lambda t: "=" + t, st.text(max_size=8)),
    st.builds(ArrayFormula, st.sampled_from(["A1:A3", "B2"]),
              st.sampled_from(["=SUM(B1:B3)", "=1", None])),
    st.builds(lambda: DataTableFormula("A1:B2", dt2D=True, r1="A1", r2="B1")))
others = st.one_of(st.builds(decimal.Decimal, st.sampled_from(["1.5", "-0", "1E+400", "NaN",
                                                               "Infinity", "123456789.123456789"])),
                   st.builds(Text, texts), st.builds(Int, ints), st.builds(Float, floats))

values = st.one_of(st.none(), texts, ints, floats, st.booleans(), dates, formulas, others)

styles = st.one_of(
    st.none(), st.none(),
    st.just(StyleArray()),
    st.builds(StyleArray, st.lists(st.integers(0, 3), min_size=9, max_size=9)),
    st.builds(lambda v: list(v), st.lists(st.integers(0, 2), min_size=9, max_size=9)),
    st.builds(lambda v: array.array("i", v), st.lists(st.integers(0, 1), min_size=9, max_size=9)),
    st.just((0, 0, 0)))

data_types = st.one_of(st.just(None), st.sampled_from(["n", "s", "f", "b", "e", "d", "inlineStr",
                                                       "str", "", "x\ty", "caf\u00e9"]),
                       st.just(5))

comments = st.sampled_from([None, None, None, "note", ""])
hyperlinks = st.sampled_from([None, None, None, "http://example.com/?a=1&b=2", ""])

rows_st = st.one_of(st.integers(1, 30), st.integers(1, 1_048_576),
                    st.sampled_from([0, -3, 2 ** 40]))
columns_st = st.one_of(st.integers(1, 30), st.integers(1, 18278),
                       st.sampled_from([18278, 702, 703]))
wide_columns = st.sampled_from([18279, 20000])

dim_values = st.one_of(
    st.builds(RowDimension, ht=st.sampled_from([15, 20.5, "12"]),
              customHeight=st.booleans(), s=st.sampled_from([None, 0, 3])),
    st.fixed_dictionaries({"ht": st.sampled_from(["1", "a\tb", 'q"uote', "<&>", "\u00e9",
                                                  " x\r\n"])}),
    st.just({}),
    st.just([("hidden", "1"), ("outlineLevel", "2")]))


@st.composite
def cell_specs(draw, wide=False):
    """Keyword arguments of `make_cell`."""
    return {
        "row": draw(rows_st),
        "column": draw(wide_columns if wide else columns_st),
        "value": draw(values),
        "data_type": draw(st.one_of(st.just("auto"), st.just("auto"), data_types)),
        "style": draw(styles),
        "comment": draw(comments),
        "hyperlink": draw(hyperlinks),
    }


def make_cell(ws, row, column, value, data_type, style, comment, hyperlink):
    cell = Cell(ws, row=row, column=column)
    try:
        cell.value = value
    except ValueError:  # values the setter refuses are still set directly
        cell._value = value
    if data_type != "auto":
        cell.data_type = data_type
    cell._style = style
    cell._comment = comment
    cell._hyperlink = hyperlink
    return cell


epochs = st.sampled_from([WINDOWS_EPOCH, MAC_EPOCH, datetime.datetime(1950, 6, 1, 6),
                          datetime.datetime(1899, 12, 30, tzinfo=datetime.timezone.utc),
                          datetime.date(1904, 1, 1)])


class Recipe:
    """Builds one worksheet; every call gives a fresh, identical copy."""

    def __init__(self, build, description):
        self._build = build
        self.description = description

    def __call__(self):
        return self._build()

    def __repr__(self):
        return self.description


@st.composite
def dict_sheets(draw, odd_key=False):
    """A worksheet whose cells are a dict; with `odd_key`, one key is not a
    (row, column) pair."""
    epoch = draw(epochs)
    iso = draw(st.booleans())
    specs = draw(st.lists(cell_specs(), max_size=12))
    if draw(st.integers(0, 9)) == 0:
        specs.append(draw(cell_specs(wide=True)))
    dims = draw(st.dictionaries(st.one_of(rows_st, st.sampled_from([2 ** 40, 7])), dim_values,
                                max_size=3))
    odd = draw(st.sampled_from(["A1", 3.5, (1, 2, 3), (True, 1), (2 ** 70, 1)])) if odd_key else None
    # Cached values the Python reader would have kept for formula cells:
    # (t, v, cm), each possibly absent, in any text.
    maybe = st.none() | texts
    cached = draw(st.dictionaries(
        st.sampled_from([(s["row"], s["column"]) for s in specs] or [(1, 1)]),
        st.tuples(maybe | st.sampled_from(["str", "b", "e", "n"]), maybe, maybe), max_size=4))

    def build():
        ws = Worksheet(Workbook(epoch=epoch, iso_dates=iso))
        for spec in specs:
            ws._cells[(spec["row"], spec["column"])] = make_cell(ws, **spec)
        if odd is not None:
            ws._cells[odd] = make_cell(ws, 4, 2, "odd", "auto", None, None, None)
        ws.row_dimensions = dict(dims)
        ws._formula_cache = dict(cached)
        return ws

    return Recipe(build, f"dict_sheet(epoch={epoch!r}, iso={iso}, specs={specs!r}, "
                         f"dims={dims!r}, odd={odd!r}, cached={cached!r})")


@st.composite
def store_sheets(draw):
    """A worksheet read by bind_cells and then edited from Python."""
    case = draw(sheets(errors=False))
    doc, options, shared, styles = case
    epoch = options["epoch"]
    iso = draw(st.booleans())
    edits = draw(st.lists(st.one_of(
        st.tuples(st.just("set"), cell_specs()),
        st.tuples(st.just("value"), st.integers(1, 12), st.integers(1, 6), values),
        st.tuples(st.just("delete"), st.integers(0, 40)),
        st.tuples(st.just("wide"), cell_specs(wide=True))), max_size=5))
    dims_mode = draw(st.sampled_from(["int", "int", "as read", "extra"]))
    extra = draw(st.dictionaries(st.integers(1, 12), dim_values, max_size=2))

    def build():
        wb = Workbook(shared_strings=shared, cell_styles=styles, epoch=epoch, iso_dates=iso)
        ws = Worksheet(wb)
        read_worksheet(io.BytesIO(doc), ws, **options)
        cells = ws._cells
        for edit in edits:
            kind = edit[0]
            if kind in ("set", "wide"):
                spec = edit[1]
                cells[(spec["row"], spec["column"])] = make_cell(ws, **spec)
            elif kind == "value":
                try:
                    ws.cell(edit[1], edit[2]).value = edit[3]
                except ValueError:
                    ws.cell(edit[1], edit[2])._value = edit[3]
            elif kind == "delete" and len(cells):
                keys = list(cells)
                del cells[keys[edit[1] % len(keys)]]
        if dims_mode != "as read":
            dims = row_dimensions_from(ws.row_dimensions)
            if dims_mode == "extra":
                dims.update(extra)
            ws.row_dimensions = dims
        return ws

    return Recipe(build, f"store_sheet({case!r}, iso={iso}, edits={edits!r}, dims={dims_mode})")


@st.composite
def stream_rows(draw):
    """(recipe of an empty worksheet, [(row_idx, cell specs)] of the rows)."""
    epoch = draw(epochs)
    iso = draw(st.booleans())
    rows = draw(st.lists(st.tuples(st.integers(-5, 2 ** 40), st.lists(cell_specs(), max_size=5)),
                         max_size=6))
    dims = draw(st.dictionaries(st.integers(1, 30), dim_values, max_size=3))
    flushes = draw(st.lists(st.booleans(), min_size=len(rows), max_size=len(rows)))

    def build():
        ws = Worksheet(Workbook(epoch=epoch, iso_dates=iso))
        ws.row_dimensions = dict(dims)
        return ws

    return Recipe(build, f"stream(epoch={epoch!r}, iso={iso}, dims={dims!r})"), rows, flushes
