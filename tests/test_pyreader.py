"""The Python worksheet reader: cell values, styles, coordinates, rows,
formulas, dates, inline strings and the elements around the cells."""

import datetime
import io

import pytest

from tavrinex.cell import Cell
from tavrinex.helpers import reader_helpers
from tavrinex.reader.worksheet import WorksheetParser, parse_coordinate, serial_to_datetime
from tavrinex.styles import StyleArray
from tavrinex.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
SHARED = ["s0", "s1", "s2", "s3", "s4"]
STYLES = [StyleArray((i,) * 9) for i in range(5)]


class Calls:
    """Helpers that record how they are called; the date and text helpers
    give tagged results so that tests see which one made a value."""

    def __init__(self, **overrides):
        self.log = []
        base = reader_helpers()
        self.helpers = dict(base)
        for name in ("int", "float", "coordinate_to_tuple", "row_index", "date_warning",
                     "ArrayFormula", "DataTableFormula", "Translator"):
            self.helpers[name] = self._recording(name, base[name])
        self.helpers["from_excel"] = self._recording("from_excel", self._from_excel)
        self.helpers["from_ISO8601"] = self._recording("from_ISO8601", lambda s: ("iso", s))
        self.helpers["text_content"] = self._recording("text_content",
                                                       lambda b, ns: ("text", b))
        self.helpers["rich_inline"] = self._recording("rich_inline", lambda b, ns: ("rich", b))
        self.helpers["validate_rpr"] = self._recording("validate_rpr",
                                                       lambda b, ns: b"<b/>" not in b)
        self.helpers["text_dangerous"] = {"danger"}
        self.helpers["rich_dangerous"] = {"rdanger"}
        for name, fn in overrides.items():
            self.helpers[name] = self._recording(name, fn)

    @staticmethod
    def _from_excel(value, epoch, timedelta=False):
        return ("excel", value, timedelta)

    def _recording(self, name, fn):
        def call(*args, **kwargs):
            self.log.append((name, args, kwargs))
            return fn(*args, **kwargs)
        return call

    def called(self, name):
        return [args for n, args, _ in self.log if n == name]


def document(body, root_attrs=""):
    return (f'<worksheet xmlns="{MAIN}"{root_attrs}>{body}</worksheet>').encode()


def read(body, calls=None, styles=STYLES, shared=SHARED, **options):
    """Cells, actions and parser of a worksheet with `body` in its root."""
    calls = calls or Calls()
    parser = WorksheetParser(shared, **options)
    cells, actions = {}, []
    data = body if isinstance(body, bytes) else document(body)
    parser.parse(io.BytesIO(data), "ws", cells, styles, Cell, calls.helpers, actions)
    return cells, actions, parser


def one(cell_xml, **kw):
    cells, actions, _ = read(f"<sheetData><row>{cell_xml}</row></sheetData>", **kw)
    (cell,) = cells.values()
    return cell


def value_of(cell_xml, **kw):
    cell = one(cell_xml, **kw)
    return cell._value, cell.data_type


@pytest.mark.parametrize("xml, value, data_type", [
    ('<c><v>42</v></c>', 42, "n"),
    ('<c><v>-0</v></c>', 0, "n"),
    ('<c><v>+5</v></c>', 5, "n"),
    ('<c><v>1234567890123456789</v></c>', 1234567890123456789, "n"),
    ('<c><v>-999999999999999999</v></c>', -999999999999999999, "n"),
    ('<c><v>1e3</v></c>', 1000.0, "n"),
    ('<c><v>1.5E+2</v></c>', 150.0, "n"),
    ('<c t="n"><v>.5</v></c>', 0.5, "n"),
    ('<c><v>5.</v></c>', 5.0, "n"),
    ('<c><v> 2.5 </v></c>', 2.5, "n"),
    ('<c><v>0.1</v></c>', 0.1, "n"),
    ('<c t="s"><v>3</v></c>', "s3", "s"),
    ('<c t="s"><v>-1</v></c>', "s4", "s"),
    ('<c t="s"><v> 2</v></c>', "s2", "s"),
    ('<c t="b"><v>2</v></c>', True, "b"),
    ('<c t="b"><v>0</v></c>', False, "b"),
    ('<c t="b"><v> 1 </v></c>', True, "b"),
    ('<c t="e"><v>#DIV/0!</v></c>', "#DIV/0!", "e"),
    ('<c t="f"><v>x</v></c>', "x", "f"),
    ('<c t="str"><v>7</v></c>', "7", "s"),
    ('<c t="x"><v>7</v></c>', "7", "x"),
    ('<c t=""><v>7</v></c>', "7", ""),
    ('<c t="d"><v>2024-01-02</v></c>', ("iso", "2024-01-02"), "d"),
    ('<c t="inlineStr"><v>7</v></c>', None, "inlineStr"),
    ('<c t="inlineStr"><is><t>a&amp;b</t></is><v>7</v></c>', "a&b", "s"),
    ('<c/>', None, "n"),
    ('<c><v></v></c>', None, "n"),
    ('<c t="s"/>', None, "s"),
    ('<c t="str"/>', None, "str"),
    ('<c t="zz"><v/></c>', None, "zz"),
    ('<c><v>1</v><v>2</v></c>', 1, "n"),
    ('<c><v>1<x>2</x>3</v></c>', 123, "n"),
    ('<c><v>&#52;2</v></c>', 42, "n"),
    ('<c><v><![CDATA[4]]>2</v></c>', 42, "n"),
    ('<c><!-- note --><v>4<!-- x -->2</v><other><v>9</v></other></c>', 42, "n"),
])
def test_values(xml, value, data_type):
    got, got_type = value_of(xml)
    assert (got, got_type) == (value, data_type)
    assert type(got) is type(value)


@pytest.mark.parametrize("xml, exc", [
    ('<c><v>1.5x</v></c>', ValueError),
    ('<c><v>nan</v></c>', ValueError),
    ('<c><v>inf</v></c>', ValueError),
    ('<c t="s"><v>7</v></c>', IndexError),
    ('<c t="s"><v>abc</v></c>', ValueError),
    ('<c t="b"><v>yes</v></c>', ValueError),
])
def test_value_errors_propagate(xml, exc):
    with pytest.raises(exc):
        value_of(xml)


@pytest.mark.parametrize("text, helper", [
    ("42", None), ("-0", None), ("999999999999999999", None),
    ("+5", "int"), ("1234567890123456789", "int"), (" 7", "int"),
    ("1e3", None), ("-.5E-3", None), ("1_0.5", "float"), ("1e", "float"), ("0x1p3", "int"),
])
def test_number_texts_reach_the_host_only_when_not_plain(text, helper):
    calls = Calls(float=lambda s: 8.0, int=lambda s: 8)
    value_of(f"<c><v>{text}</v></c>", calls=calls)
    assert calls.called("int") == ([(text,)] if helper == "int" else [])
    assert calls.called("float") == ([(text,)] if helper == "float" else [])


def test_float_helper_result_kept_as_given():
    marker = object()
    calls = Calls(float=lambda s: marker)
    assert value_of("<c><v>1.5x</v></c>", calls=calls) == (marker, "n")


# -- styles

@pytest.mark.parametrize("s, expected", [
    (None, STYLES[0]),
    ('0', STYLES[0]),
    ('3', STYLES[3]),
    ('-1', STYLES[4]),
    ('-5', STYLES[0]),
    (' 3', STYLES[3]),
    ('+2', STYLES[2]),
])
def test_style_arrays(s, expected):
    attr = f' s="{s}"' if s is not None else ""
    cell = one(f"<c{attr}><v>1</v></c>")
    assert type(cell._style) is StyleArray
    assert cell._style == expected
    assert cell._style is not expected  # each cell owns a copy


@pytest.mark.parametrize("s, exc", [
    ("10", IndexError), ("-6", IndexError), ("9" * 30, IndexError),
    ("", TypeError), ("x", ValueError), ("1.0", ValueError),
])
def test_style_errors_propagate(s, exc):
    with pytest.raises(exc):
        one(f'<c s="{s}"><v>1</v></c>')


def test_unusual_style_used_as_mapping_key():
    big = 10 ** 30
    styles = {big: StyleArray((7,) * 9), "": StyleArray((8,) * 9)}
    assert one(f'<c s="{big}"/>', styles=styles)._style == StyleArray((7,) * 9)
    assert one('<c s=""/>', styles=styles)._style == StyleArray((8,) * 9)


def test_style_lookup_happens_after_value_conversion():
    calls = Calls()
    with pytest.raises(ValueError):  # the value's error wins over the style's
        one('<c s="99"><v>1.5x</v></c>', calls=calls)


# -- coordinates and rows

def test_implicit_rows_and_columns():
    cells, _, _ = read(
        "<sheetData>"
        "<row><c><v>1</v></c><c><v>2</v></c></row>"
        "<row r=\"5\"><c r=\"C5\"><v>3</v></c><c><v>4</v></c></row>"
        "<row><c><v>5</v></c></row>"
        "<row r=\"2\"><c r=\"C9\"><v>6</v></c><c><v>7</v></c></row>"
        "</sheetData>")
    assert {k: c._value for k, c in cells.items()} == {
        (1, 1): 1, (1, 2): 2, (5, 3): 3, (5, 4): 4, (6, 1): 5, (9, 3): 6, (2, 4): 7}
    assert all(c.row == k[0] and c.column == k[1] for k, c in cells.items())


@pytest.mark.parametrize("r, expected, host_called", [
    ("B12", (12, 2), False),
    ("ZZZ999999999", (999999999, 18278), False),
    ("b12", (12, 2), True),
    ("$B$12", (12, 2), True),
    ("A012", (12, 1), True),
])
def test_cell_references(r, expected, host_called):
    calls = Calls()
    cell = one(f'<c r="{r}"><v>1</v></c>', calls=calls)
    assert (cell.row, cell.column) == expected
    assert calls.called("coordinate_to_tuple") == ([(r,)] if host_called else [])


def test_bad_reference_error_propagates():
    with pytest.raises(ValueError):
        one('<c r="1A"><v>1</v></c>')


def test_parse_coordinate_declines_what_the_host_must_see():
    for text in ["a1", "$A$1", "A01", "A0", "AAAA1", "A", "1", "A1B", "A1234567890", "A1\n"]:
        assert parse_coordinate(text) is None
    assert parse_coordinate("AB10") == (10, 28)


@pytest.mark.parametrize("r, row, host_called", [
    ("7", 7, False), ("007", 7, False), ("-3", -3, False), (" 7", 7, True),
    ("1" * 19, int("1" * 19), True),
])
def test_row_numbers(r, row, host_called):
    calls = Calls()
    cells, _, _ = read(f'<sheetData><row r="{r}"><c><v>1</v></c></row></sheetData>',
                       calls=calls)
    assert list(cells) == [(row, 1)]
    assert calls.called("row_index") == ([(r,)] if host_called else [])


def test_duplicate_coordinates_keep_first_position_later_value():
    cells, _, _ = read('<sheetData><row r="1"><c r="A1"><v>1</v></c><c r="B1"><v>2</v></c>'
                       '<c r="A1"><v>3</v></c></row></sheetData>')
    assert [(k, c._value) for k, c in cells.items()] == [((1, 1), 3), ((1, 2), 2)]


def test_columns_past_the_last_letter_keep_counting():
    cells, _, _ = read('<sheetData><row r="1"><c r="ZZZ1"/><c/></row></sheetData>')
    assert list(cells) == [(1, 18278), (1, 18279)]


@pytest.mark.parametrize("attrs, entry", [
    ('r="3"', None),
    ('r="3" spans="1:4"', None),
    ('r="3" spans="1:4" x:extra="1"', None),
    ('r="3" ht="20" customHeight="1"', {"r": "3", "ht": "20", "customHeight": "1"}),
    ('r="3" spans="1:2" hidden="1" x:extra="&amp;"',
     {"r": "3", "spans": "1:2", "hidden": "1", "{urn:x}extra": "&"}),
])
def test_row_dimensions(attrs, entry):
    body = f'<sheetData><row {attrs}><c><v>1</v></c></row></sheetData>'
    _, _, parser = read(document(body, ' xmlns:x="urn:x"'))
    assert parser.row_dimensions == ({"3": entry} if entry else {})


def test_row_dimensions_key_follows_implicit_and_latest_row():
    _, _, parser = read('<sheetData><row r="2"/><row ht="1"/><row r="3" ht="9"/>'
                        '<row r="3" ht="5"/></sheetData>')
    assert parser.row_dimensions == {"3": {"r": "3", "ht": "5"}}


# -- elements around the cells

NS = [("", MAIN)]


def test_elements_in_document_order():
    _, actions, _ = read('<dimension ref="A1"/><sheetData/><mergeCells count="1">'
                         '<mergeCell ref="A1:B1"/></mergeCells><conditionalFormatting/>')
    assert actions == [
        ("element", b'<dimension ref="A1"/>', NS),
        ("element", b'<mergeCells count="1"><mergeCell ref="A1:B1"/></mergeCells>', NS),
        ("element", b"<conditionalFormatting/>", NS),
    ]


def test_no_sheet_data_leaves_no_cells():
    cells, actions, _ = read('<sheetPr/><cols><col min="1" max="1"/></cols>')
    assert cells == {}
    assert [a[1] for a in actions] == [b"<sheetPr/>", b'<cols><col min="1" max="1"/></cols>']


def test_captured_bytes_are_kept_as_written():
    raw = (b'<extLst  a=\'x>y\' >\n<!-- c --><![CDATA[<&>]]>&amp;&#65;<ext uri="u">'
           b'<x:y xmlns:x="urn:x"/></ext></extLst >')
    _, actions, _ = read(document('<sheetData/>').replace(b"<sheetData/>", b"<sheetData/>" + raw))
    assert actions == [("element", raw, NS)]


def test_namespaces_of_captured_elements():
    data = (f'<x:worksheet xmlns:x="{MAIN}" xmlns:r="urn:r1"><x:sheetData xmlns:r="urn:r2">'
            f'<x:foo/></x:sheetData><x:dimension xmlns:q="urn:q" ref="A1"/></x:worksheet>')
    _, actions, _ = read(data.encode())
    assert actions == [
        ("element", b"<x:foo/>", [("x", MAIN), ("r", "urn:r2")]),
        ("element", b'<x:dimension xmlns:q="urn:q" ref="A1"/>', [("x", MAIN), ("r", "urn:r1")]),
    ]


def test_non_row_in_sheet_data_is_an_element_but_a_cell_inside_a_row():
    cells, actions, _ = read('<sheetData><foo/><row><foo><v>5</v></foo></row></sheetData>')
    assert actions == [("element", b"<foo/>", NS)]
    assert [(k, c._value) for k, c in cells.items()] == [((1, 1), 5)]


def test_rows_outside_the_main_namespace_are_elements():
    data = document('<sheetData><row xmlns="urn:other"><c/></row></sheetData>')
    cells, actions, _ = read(data)
    assert cells == {}
    assert actions == [("element", b'<row xmlns="urn:other"><c/></row>', NS)]


def test_dispatch_tags_inside_rows_and_cells_are_handed_over():
    cells, actions, _ = read('<sheetData><row><c><v>1</v></c><mergeCells><mergeCell ref="A1:B1"/>'
                             '</mergeCells><c><v>2</v><hyperlinks/></c></row></sheetData>')
    assert {k: c._value for k, c in cells.items()} == {(1, 1): 1, (1, 2): 2}
    assert [a[1] for a in actions] == [b'<mergeCells><mergeCell ref="A1:B1"/></mergeCells>',
                                       b"<hyperlinks/>"]


def test_large_elements_and_sheets_cross_chunk_boundaries():
    big = b'<extLst>' + b'<ext uri="u">' + b"x" * 200_000 + b"</ext></extLst>"
    rows = b"".join(b'<row r="%d"><c><v>%d</v></c><c t="inlineStr"><is foo="1"><t>%s</t></is></c>'
                    b'</row>' % (i, i, b"y" * (i % 50)) for i in range(1, 20_001))
    data = document("").replace(b"></worksheet>",
                                b">" + big + b"<sheetData>" + rows + b"</sheetData>" + big
                                + b"</worksheet>")
    cells, actions, _ = read(data)
    assert len(cells) == 40_000
    assert cells[(19_999, 1)]._value == 19_999
    assert cells[(49, 2)]._value == ("text", b'<is foo="1"><t>' + b"y" * 49 + b"</t></is>")
    assert [a[1] for a in actions] == [big, big]


@pytest.mark.parametrize("encoding", ["utf-16", "utf-16-le", "utf-16-be", "latin-1"])
def test_other_encodings_read_like_utf8(encoding):
    body = (f'<dimension ref="\u00e9"/><sheetData><row><c t="str"><v>\u00e9\u00e8</v></c>'
            f'</row></sheetData>')
    text = (f'<?xml version="1.0" encoding="{encoding.upper()}"?>'
            f'<worksheet xmlns="{MAIN}">{body}</worksheet>')
    data = text.encode(encoding)
    if encoding == "utf-16":
        assert data[:2] in (b"\xff\xfe", b"\xfe\xff")
    cells, actions, _ = read(data)
    assert cells[(1, 1)]._value == "\u00e9\u00e8"
    assert actions == [("element", '<dimension ref="\u00e9"/>'.encode(), NS)]


def test_entities_from_the_document_type_are_expanded():
    data = (b'<!DOCTYPE worksheet [<!ENTITY n "42">]>' + document(
        '<sheetData><row><c><v>&n;</v></c></row></sheetData>'))
    cells, _, _ = read(data)
    assert cells[(1, 1)]._value == 42


@pytest.mark.parametrize("data", [
    b"",
    b"<worksheet>",
    document("<sheetData><row><c><v>1</v></row></sheetData>"),
    document("<sheetData><row>") ,
])
def test_malformed_documents_raise_parse_errors(data):
    import xml.parsers.expat
    with pytest.raises(xml.parsers.expat.ExpatError):
        read(data)


def test_source_must_give_bytes():
    class Text:
        def read(self, n):
            return "<worksheet/>"
    with pytest.raises(TypeError):
        WorksheetParser([]).parse(Text(), None, {}, [], Cell, reader_helpers(), [])


def test_style_copies_keep_the_item_type():
    from array import array
    styles = [array("i", [1, 2]), StyleArray((3,) * 9)]
    plain, styled = one('<c/>', styles=styles), one('<c s="1"/>', styles=styles)
    assert (type(plain._style), list(plain._style)) == (array, [1, 2])
    assert type(styled._style) is StyleArray
    with pytest.raises(IndexError):  # every cell has a style, the first by default
        one("<c/>", styles=[])
