"""The sheet parser without any host (the Python-free core the readers and
the data road build on): its events against the Python reader's cells on
generated sheets, read whole and in small pieces."""

import pytest
from hypothesis import event, given, settings

from tavrinex import _native
from tavrinex.reader.worksheet import WorksheetParser
from tavrinex.utils.datetime import from_excel
from conftest import EXAMPLES
from sheet_helpers import sheet
from sheetgen import sheets
from test_pyreader_gen import python_read

_probe = pytest.importorskip("tavrinex._probe")
pytestmark = pytest.mark.skipif(_native.native is None, reason="engine not built")


def events(doc, options, shared, read_size=65536):
    return _probe.sheet_events(doc, WorksheetParser(shared, **options), read_size)


def check_value(value, py, shared, epoch):
    """Whether a value the parser completed is the Python reader's."""
    form, v, host, date, data_type = value
    if form in ("int", "float", "bool", "text", "none"):
        return py == v and type(py) is type(v)
    if form == "shared":
        return py == shared[v]
    if form in ("date_int", "date_float"):
        return py == from_excel(v, epoch)
    raise AssertionError(f"unexpected form {form}")


@settings(max_examples=max(20, EXAMPLES // 2))
@given(sheets(errors=False))
def test_events_are_the_python_readers_cells(case):
    doc, options, shared, styles = case
    evs, error = events(doc, options, shared)
    assert events(doc, options, shared, 7) == (evs, error)   # the same in small pieces
    if error is not None:
        assert error == "unsupported: needs the host" or error.startswith(
            ("unsupported: ", "malformed: ")), error
        event(f"parse ended: {error}")
        return
    cells, actions, dims = python_read(doc, options, shared, styles)
    # The elements around the cells, in document order, and the row attributes.
    assert [e[1] for e in evs if e[0] == "element"] == [a[1] for a in actions if a[0] == "element"]
    assert {str(e[1]): e[2] for e in evs if e[0] == "row" and e[2] is not None} == dims
    last = {(e[1], e[2]): e for e in evs if e[0] == "cell"}
    assert set(last) == set(cells)
    for key, (_, row, column, style, value, formula, text, cached) in last.items():
        cell = cells[key]
        if style is not None:
            assert cell._style == styles[style] or (cell._style is None and style == 0)
        form, v, host, date, data_type = value
        if form == "host" or date:
            event(f"host step {host or date}")
            continue
        assert data_type == cell.data_type, (key, value, cell.data_type)
        assert check_value(value, cell._value, shared, options["epoch"]), (key, value, cell._value)


@pytest.mark.parametrize("body, expect", [
    # Each cell's value as far as the parser goes without the host.
    ('<c r="A1"><v>42</v></c>', ("int", 42, "", "", "n")),
    ('<c r="B1"><v>1.5E-3</v></c>', ("float", 0.0015, "", "", "n")),
    ('<c r="C1"><v>0x10</v></c>', ("host", "0x10", "int", "", "n")),
    ('<c r="D1"><v>1e400</v></c>', ("host", "1e400", "float", "", "n")),
    ('<c r="E1" t="s"><v>1</v></c>', ("shared", 1, "", "", "s")),
    ('<c r="F1" t="s"><v>9</v></c>', ("host", "9", "shared_string", "", "s")),
    ('<c r="G1" t="b"><v>1</v></c>', ("bool", True, "", "", "b")),
    ('<c r="H1" t="d"><v>2024-01-02</v></c>', ("host", "2024-01-02", "iso", "", "d")),
    ('<c r="I1" s="3"><v>45000.5</v></c>', ("date_float", 45000.5, "", "", "d")),
    ('<c r="J1" s="3"><v>1e12</v></c>', ("float", 1e12, "", "warning", "d")),
    ('<c r="K1" s="4"><v>1.5</v></c>', ("float", 1.5, "", "excel", "d")),
    ('<c r="L1" s="3"><v>0x1</v></c>', ("host", "0x1", "int", "rules", "n")),
    ('<c r="M1" t="inlineStr"><is><t>a</t></is></c>', ("text", "a", "", "", "s")),
    ('<c r="N1" t="inlineStr"><is><r><rPr><b/></rPr><t>a</t></r></is></c>',
     ("host", "", "inline", "", "s")),
    ('<c r="O1" t="x"><v>v</v></c>', ("text", "v", "", "", "x")),
])
def test_values_and_the_steps_left_to_the_host(body, expect):
    options = {"date_formats": (3, 4), "timedelta_formats": (4,)}
    evs, error = events(sheet(f'<row r="1">{body}</row>'), options, ["a", "b"])
    assert error is None
    cell = [e for e in evs if e[0] == "cell"][0]
    assert cell[4] == expect   # a host step gives the text it reads


def test_formulas_as_the_parser_gives_them():
    body = ('<row r="1"><c r="A1"><f>B1+1</f><v>3</v></c>'
            '<c r="A2"><f t="shared" ref="A2:A3" si="0">B2*2</f></c>'
            '<c r="A3"><f t="shared" si="0"/></c>'
            '<c r="A4"><f t="array" ref="A4:A5">SUM(B1:B2)</f></c>'
            '<c r="A5"><f t="shared" si="1">\u00e9+1</f></c>'
            '<c r="A6"><f t="shared" si="1"/></c></row>')
    evs, error = events(sheet(body), {"formula_and_value": True}, [])
    assert error is None
    got = [(e[1], e[5], e[6], e[7] and e[7][:2]) for e in evs if e[0] == "cell"]
    assert got == [
        (1, "text", "=B1+1", ("int", 3)),
        (2, "text", "=B2*2", ("none", None)),
        (3, "shared_member", "=B3*2", ("none", None)),
        (4, "array", "=SUM(B1:B2)", ("none", None)),
        (5, "host_master", "=\u00e9+1", ("none", None)),   # the host translates the group
        (6, "host_member", "=", ("none", None)),
    ]


@pytest.mark.parametrize("body", ['<c r="a1"><v>1</v></c>', '<c r="A1" s=" 2"><v>1</v></c>'])
def test_questions_for_the_host_end_a_parse_without_one(body):
    evs, error = events(sheet(f'<row r="1">{body}</row>'), {}, [])
    assert error == "unsupported: needs the host"
