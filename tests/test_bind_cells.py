"""bind_cells: a worksheet read into a CellStore, with actions in document order."""

import datetime

import pytest

from tavrinex import _tavrinex as native
from tavrinex.cell import Cell
from tavrinex.formula import ArrayFormula, DataTableFormula
from tavrinex.helpers import reader_helpers

from sheet_helpers import MAIN, STYLES, Parser, bind, cells, sheet


def values(store):
    return [(k, v, t) for k, v, t, _ in cells(store)]


def test_cells_values_and_types():
    store, actions, _ = bind(sheet(
        '<row r="1"><c r="A1"><v>42</v></c><c r="B1" t="s"><v>3</v></c>'
        '<c r="C1" t="b"><v>2</v></c><c r="D1" t="e"><v>#N/A</v></c>'
        '<c r="E1"><v>1.5E+2</v></c><c r="F1" t="str"><v>x</v></c>'
        '<c r="G1" t="inlineStr"><is><t>a&amp;b</t></is></c><c r="H1" t="weird"><v>q</v></c>'
        '<c r="I1" t="n"/></row>'))
    assert values(store) == [
        ((1, 1), 42, "n"), ((1, 2), "three", "s"), ((1, 3), True, "b"), ((1, 4), "#N/A", "e"),
        ((1, 5), 150.0, "n"), ((1, 6), "x", "s"), ((1, 7), "a&b", "s"), ((1, 8), "q", "weird"),
        ((1, 9), None, "n")]
    assert actions == []


def test_elements_around_sheet_data_are_actions_in_order():
    data = sheet('<row r="1"><c r="A1" s="7"><v>1e12</v></c></row>',
                 before='<dimension ref="A1"/>', after="<mergeCells/><conditionalFormatting/>")
    store, actions, _ = bind(data)
    kinds = [a[0] for a in actions]
    assert kinds == ["element", "warn", "element", "element"]
    assert actions[0] == ("element", b'<dimension ref="A1"/>', [("", MAIN)])
    assert actions[2][1] == b"<mergeCells/>" and actions[3][1] == b"<conditionalFormatting/>"
    assert values(store) == [((1, 1), "#VALUE!", "e")]


def test_sheet_without_sheet_data():
    data = f'<worksheet xmlns="{MAIN}"><a/><b>x</b></worksheet>'.encode()
    store, actions, _ = bind(data)
    assert len(store) == 0
    assert [a[1] for a in actions] == [b"<a/>", b"<b>x</b>"]


def test_implicit_rows_and_columns():
    store, _, _ = bind(sheet(
        '<row><c><v>1</v></c><c><v>2</v></c></row><row r="5"><c r="C5"><v>3</v></c>'
        '<c><v>4</v></c></row><row><c><v>5</v></c></row>'))
    assert [k for k in store] == [(1, 1), (1, 2), (5, 3), (5, 4), (6, 1)]


def test_row_dimensions():
    store, _, parser = bind(sheet(
        '<row r="2" spans="1:2"/><row r="3" ht="15" customHeight="1"/>'))
    assert parser.row_dimensions == {"3": {"r": "3", "ht": "15", "customHeight": "1"}}


def test_duplicate_coordinates_keep_the_first_position():
    store, _, _ = bind(sheet('<row r="1"><c r="A1"><v>1</v></c><c r="B1"><v>2</v></c>'
                             '<c r="A1"><v>3</v></c></row>'))
    assert values(store) == [((1, 1), 3, "n"), ((1, 2), 2, "n")]


def test_rows_out_of_order_and_wide_columns_keep_document_order():
    store, _, _ = bind(sheet('<row r="5"><c r="A5"><v>1</v></c></row>'
                             '<row r="3"><c r="A3"><v>2</v></c><c r="CZZ3"><v>3</v></c></row>'
                             '<row r="7"><c r="XFD7"><v>4</v></c></row>'))
    assert [k for k in store] == [(5, 1), (3, 1), (3, 2730), (7, 16384)]


@pytest.mark.parametrize("s, expect", [
    ("-1", [7] * 9), ("0", [0] * 9), (" 3", [3] * 9), ("+2", [2] * 9)])
def test_style_ids(s, expect):
    store, _, _ = bind(sheet(f'<row r="1"><c r="A1" s="{s}"><v>1</v></c></row>'))
    assert cells(store)[0][3] == expect


def test_cell_without_s_takes_style_zero():
    store, _, _ = bind(sheet('<row r="1"><c r="A1"><v>1</v></c></row>'))
    assert cells(store)[0][3] == [0] * 9


@pytest.mark.parametrize("s", ["10", "123456789012345678901234567890"])
def test_style_out_of_the_list_raises_the_hosts_index_error(s):
    with pytest.raises(IndexError):
        bind(sheet(f'<row r="1"><c r="A1" s="{s}"><v>1</v></c></row>'), styles=STYLES[:5])


class StyleMap(dict):
    def __len__(self):
        return 1


@pytest.mark.parametrize("s, message", [
    ("5", "style index"), ("123456789012345678901234567890", "unusual style id")])
def test_styles_the_host_can_index_but_the_store_cannot(s, message):
    styles = StyleMap({0: STYLES[0], 5: STYLES[5], 123456789012345678901234567890: STYLES[1]})
    with pytest.raises(native.NativeFallback) as info:
        bind(sheet(f'<row r="1"><c r="A1" s="{s}"><v>1</v></c></row>'), styles=styles)
    assert str(info.value) == message


def test_empty_s_is_an_unusual_style():
    with pytest.raises(TypeError):  # list indices must be integers
        bind(sheet('<row r="1"><c r="A1" s=""><v>1</v></c></row>'))


def test_coordinate_out_of_range():
    helpers = reader_helpers()
    helpers["coordinate_to_tuple"] = lambda text: (1, 2 ** 32)
    with pytest.raises(native.NativeFallback) as info:
        bind(sheet('<row r="1"><c r="a1"><v>1</v></c></row>'), helpers=helpers)
    assert str(info.value) == "coordinate out of range"


@pytest.mark.parametrize("body, message", [
    ('<row r="1"><mergeCells/></row>', "unsupported: dispatch tag inside row"),
    ('<row r="1"><c r="A1"><hyperlinks/></c></row>', "unsupported: dispatch tag inside cell"),
    ('<row r="1"><c r="A1"><v>1</v>', "malformed: "),
    ('<row r="1"><c r="A1"><v>1<', "malformed: "),
])
def test_refusals(body, message):
    with pytest.raises(native.NativeFallback) as info:
        bind(f'<worksheet xmlns="{MAIN}"><sheetData>{body}'.encode())
    assert str(info.value).startswith(message)


def test_foreign_elements_in_sheet_data_and_rows():
    store, actions, _ = bind(sheet('<foo/><row r="1"><foo><v>5</v></foo></row>'))
    assert actions == [("element", b"<foo/>", [("", MAIN)])]
    assert values(store) == [((1, 1), 5, "n")]


def test_source_errors_propagate_unchanged():
    class Broken:
        def read(self, n):
            raise OSError("disk")

    with pytest.raises(OSError, match="disk"):
        native.bind_cells(Broken(), Parser(), None, native.CellStore(), STYLES,
                          Cell, reader_helpers(), [])


SAMPLE = (
    '<row r="1" ht="2"><c r="A1"><v>1</v></c><c r="B1" s="2" t="s"><v>4</v></c>'
    '<c r="C1" t="b"><v>0</v></c><c r="D1"><f>A1+B1</f><v>2</v></c>'
    '<c r="E1" t="str"><v>tab\there</v></c></row>'
    '<row r="2"><c r="A2" s="7"><v>45000.25</v></c><c r="B2"><f t="shared" ref="B2:B4" si="0">'
    'A2*2</f><v>1</v></c><c r="C2" t="inlineStr"><is><t>x</t></is></c></row>'
    '<row r="3"><c r="B3"><f t="shared" si="0"/><v>3</v></c><c r="C3"><v>-7</v></c>'
    '<c r="D3" t="e"><v>#DIV/0!</v></c></row>')


def _prefixed(body):
    # The same cells under a prefix: the default namespace is not the main one,
    # so every cell goes through the tokenizer.
    import re
    body = re.sub(r"<(/?)(row|c|v|f|is|t)([ >/])", r"<\1x:\2\3", body)
    return sheet(body.replace("<x:row", "<x:row"), root_attrs=f'xmlns:x="{MAIN}"',
                 root="x:worksheet").replace(b"<sheetData>", b"<x:sheetData>").replace(
                     b"</sheetData>", b"</x:sheetData>")


def _entities(body):
    return sheet(body.replace("<v>1</v>", "<v>&#49;</v>").replace("A1+B1", "A1&#43;B1"))


@pytest.mark.parametrize("variant", [sheet, _prefixed, _entities])
@pytest.mark.parametrize("read_size", [1, 7, 65536])
def test_fast_path_and_tokenizer_agree(variant, read_size):
    expected_store, expected_actions, _ = bind(sheet(SAMPLE))
    store, actions, parser = bind(variant(SAMPLE), read_size=read_size)
    assert cells(store) == cells(expected_store)
    assert actions == expected_actions
    assert parser.row_dimensions == {"1": {"r": "1", "ht": "2"}}


def test_store_in_use_is_refused():
    store = native.CellStore()

    class Styles(list):
        def __getitem__(self, key):
            bind(sheet(""), store=store)

    with pytest.raises(BaseException, match="Already borrowed") as info:
        bind(sheet('<row r="1"><c r="A1" s="9"><v>1</v></c></row>'), styles=Styles(STYLES),
             store=store)
    assert not isinstance(info.value, Exception)


def test_store_is_cleared_and_reused():
    store, _, _ = bind(sheet('<row r="1"><c r="A1"><v>1</v></c><c r="B1"><v>2</v></c></row>'))
    store["A1"] = "dict mode"
    bind(sheet('<row r="4"><c r="D4"><v>9</v></c></row>'), store=store)
    assert not store._in_dict_mode()
    assert values(store) == [((4, 4), 9, "n")]


# ---- formulas

@pytest.mark.parametrize("f, value", [
    ("<f>SUM(A1:A3)</f>", "=SUM(A1:A3)"),
    ("<f/>", "="),
    ('<f t="normal">1+1</f>', "=1+1"),
])
def test_plain_formulas(f, value):
    store, _, _ = bind(sheet(f'<row r="4"><c r="B4">{f}<v>0</v></c></row>'))
    assert values(store) == [((4, 2), value, "f")]


def test_array_and_data_table_formulas_are_host_objects():
    store, _, _ = bind(sheet(
        '<row r="1"><c r="A1"><f t="array" ref="A1:A2">B1:B2*2</f></c>'
        '<c r="B1"><f t="dataTable" ref="B1:C2" dt2D="1" r1="D1"/></c></row>'))
    a, b = store[(1, 1)].value, store[(1, 2)].value
    assert isinstance(a, ArrayFormula) and (a.ref, a.text) == ("A1:A2", "=B1:B2*2")
    assert isinstance(b, DataTableFormula) and b.ref == "B1:C2"
    assert store[(1, 2)].data_type == "f"


def test_shared_formula_groups():
    store, _, _ = bind(sheet(
        '<row r="2"><c r="B2"><f t="shared" si="0">a1+$A$1+SUM(A1:A3)</f></c>'
        '<c r="C2"><f t="shared" si="0">ignored</f></c></row>'
        '<row r="3"><c r="B3"><f t="shared" si="0"/></c><c r="C3"><f t="shared" si="1"/></c>'
        '<c r="D3"><f t="shared" si="1">1+1</f></c></row>'))
    assert [v for _, v, _ in values(store)] == [
        "=a1+$A$1+SUM(A1:A3)", "=B1+$A$1+SUM(B1:B3)", "=A2+$A$1+SUM(A2:A4)", "=", "=1+1"]


def test_shared_formula_out_of_range_raises_the_hosts_translator_error():
    from tavrinex.formula import TranslatorError
    with pytest.raises(TranslatorError, match="Formula out of range"):
        bind(sheet('<row r="2"><c r="B2"><f t="shared" si="0">A1</f></c></row>'
                   '<row r="1"><c r="B1"><f t="shared" si="0"/></c></row>'))


def test_shared_group_without_r_uses_the_hosts_translator():
    store, _, _ = bind(sheet('<row r="2"><c><f t="shared" si="0">A1*2</f></c></row>'
                             '<row r="3"><c r="A3"><f t="shared" si="0"/></c></row>'))
    assert [v for _, v, _ in values(store)] == ["=A1*2", "=A1*2"]


@pytest.mark.parametrize("options, value, data_type", [
    (dict(data_only=True), 7, "n"),
    (dict(data_only=True, formula_and_value=True), "=A1", "f"),
    (dict(), "=A1", "f"),
])
def test_data_only(options, value, data_type):
    store, _, _ = bind(sheet('<row r="1"><c r="B1"><f>A1</f><v>7</v></c></row>'),
                       parser=Parser(**options))
    assert values(store) == [((1, 2), value, data_type)]


def test_formula_cell_with_bad_date_gives_no_warning():
    store, actions, _ = bind(sheet('<row r="1"><c r="A1" s="7"><f>B1</f><v>1e12</v></c></row>'))
    assert actions == [] and values(store) == [((1, 1), "=B1", "f")]


def test_formula_templates_share_one_shape_per_column():
    rows = "".join(f'<row r="{r}"><c r="C{r}"><f>A{r}+B{r}</f></c></row>' for r in range(1, 200))
    store, _, _ = bind(sheet(rows))
    assert store._stats()[2] == 1
    assert store[(150, 3)].value == "=A150+B150"


# ---- dates

@pytest.mark.parametrize("text, expect", [
    ("0", datetime.time(0, 0)),
    ("0.5", datetime.time(12, 0)),
    ("59", datetime.datetime(1900, 2, 28)),
    ("61", datetime.datetime(1900, 3, 1)),
    ("45000.75", datetime.datetime(2023, 3, 15, 18, 0)),
])
def test_date_styled_serials(text, expect):
    store, actions, _ = bind(sheet(f'<row r="1"><c r="A1" s="7"><v>{text}</v></c></row>'))
    assert values(store) == [((1, 1), expect, "d")] and actions == []


def test_date_warning_text_comes_from_the_host():
    store, actions, _ = bind(sheet('<row r="1"><c s="7"><v>-1e9</v></c></row>'))
    assert actions == [("warn", reader_helpers()["date_warning"](None, -1e9))]


def test_shared_group_members_share_one_record():
    rows = ['<row r="1"><c r="C1"><f t="shared" ref="C1:C500" si="0">A1+$B$1+SUM(1:1)</f></c></row>']
    rows += [f'<row r="{r}"><c r="C{r}"><f t="shared" si="0"/></c></row>' for r in range(2, 501)]
    store, _, _ = bind(sheet("".join(rows)))
    stats = store._stats()
    # The master is an ordinary formula; members keep no text of their own.
    assert stats[2] <= 1 and stats[3] <= len("=A1+$B$1+SUM(1:1)")
    assert store[(500, 3)].value == "=A500+$B$1+SUM(500:500)"
    assert store[(2, 3)].value == "=A2+$B$1+SUM(2:2)"


@pytest.mark.parametrize("rich", [False, True])
def test_rich_text_mode_keeps_run_properties(rich):
    from tavrinex.text import CellRichText
    data = sheet('<row r="1"><c r="A1" t="inlineStr"><is><r><t>plain </t></r>'
                 '<r><rPr><b/></rPr><t>bold</t></r></is></c>'
                 '<c r="B1" t="inlineStr"><is><r><t>a</t></r><r><t>b</t></r></is></c></row>')
    store, _, _ = bind(data, parser=Parser(rich_text=rich),
                       helpers=reader_helpers(rich_text=rich))
    first, second = store[(1, 1)].value, store[(1, 2)].value
    assert second == "ab"
    if rich:
        assert isinstance(first, CellRichText) and "".join(map(str, first)) == "plain bold"
    else:
        assert first == "plain bold"


@pytest.mark.parametrize("text", ["héllo", "a>b", "日本", "x\ty\nz"])
@pytest.mark.parametrize("read_size", [3, 65536])
def test_fast_path_text_beyond_ascii(text, read_size):
    body = f'<row r="1"><c r="A1" t="str"><v>{text}</v></c><c r="B1"><f>"{text}"</f></c></row>'
    store, _, _ = bind(sheet(body), read_size=read_size)
    assert values(store) == [((1, 1), text, "s"), ((1, 2), f'="{text}"', "f")]


@pytest.mark.parametrize("bad, message", [
    (b"\xff", "malformed: invalid utf-8"), (b"\xef\xbf\xbe", "malformed: invalid character"),
    (b"\x01", "malformed: invalid character"), (b"]]>", "malformed: ]]> in text")])
def test_fast_path_leaves_bad_text_to_the_tokenizer(bad, message):
    data = sheet('<row r="1"><c r="A1" t="str"><v>BAD</v></c></row>').replace(b"BAD", bad)
    with pytest.raises(native.NativeFallback) as info:
        bind(data)
    assert str(info.value) == message


def test_reloading_a_store_leaves_it_as_a_fresh_one():
    from tavrinex import _probe
    first = sheet(
        '<row r="1"><c r="A1"><f t="shared" ref="A1:A3" si="0">B1+1</f></c>'
        '<c r="B1"><f t="shared" ref="B1:B2" si="1">SUM(C1:D1)</f></c>'
        '<c r="C1"><f>E1*2</f></c><c r="D1" t="odd"><v>q</v></c></row>'
        '<row r="2"><c r="A2"><f t="shared" si="0"/></c><c r="B2"><f t="shared" si="1"/></c></row>')
    second = sheet('<row r="1"><c r="A1"><f t="shared" ref="A1:A2" si="0">Z1</f></c>'
                   '<c r="B1"><f>Y1</f></c></row><row r="2"><c r="A2"><f t="shared" si="0"/></c></row>')
    store = native.CellStore()
    for _ in range(5):
        bind(first, store=store)
        bind(second, store=store)
    fresh, _, _ = bind(second)
    assert _probe.store_tables(store) == _probe.store_tables(fresh)
    assert store._stats() == fresh._stats()
    assert values(store) == values(fresh) == [((1, 1), "=Z1", "f"), ((1, 2), "=Y1", "f"),
                                              ((2, 1), "=Z2", "f")]
    bind(first, store=store)
    again, _, _ = bind(first)
    assert _probe.store_tables(store) == _probe.store_tables(again)
    assert values(store) == values(again)
