"""The Python worksheet reader: dates, formulas and inline strings."""

import datetime

import pytest
from hypothesis import given, strategies as st

from tavrinex.reader.worksheet import serial_to_datetime
from tavrinex.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH
from test_pyreader import MAIN, Calls, document, one, read, value_of

DATE_STYLES = dict(date_formats=[1, 2], timedelta_formats=[2])


def date_cell(v, s=1, **kw):
    return value_of(f'<c r="A1" s="{s}"><v>{v}</v></c>', **DATE_STYLES, **kw)


# -- dates

@pytest.mark.parametrize("v, expected", [
    ("0", datetime.time(0, 0)),
    ("0.5", datetime.time(12, 0)),
    ("0.75", datetime.time(18, 0)),
    ("-0.0", datetime.time(0, 0)),
    ("1", datetime.datetime(1900, 1, 1)),
    ("59", WINDOWS_EPOCH + datetime.timedelta(days=60)),
    ("60", WINDOWS_EPOCH + datetime.timedelta(days=60)),
    ("61", WINDOWS_EPOCH + datetime.timedelta(days=61)),
    ("1.5", datetime.datetime(1900, 1, 1, 12)),
    ("45000.25", datetime.datetime(2023, 3, 15, 6)),
    ("-1", datetime.datetime(1899, 12, 29)),
    ("-0.25", datetime.datetime(1899, 12, 29, 18)),
    ("2958465", datetime.datetime(9999, 12, 31)),
    ("0.99999999999", datetime.datetime(1900, 1, 1)),  # rounds up to a whole day
])
def test_native_date_serials(v, expected):
    calls = Calls()
    assert date_cell(v, calls=calls) == (expected, "d")
    assert calls.called("from_excel") == []


def test_mac_epoch_counts_no_leap_day():
    assert date_cell("59", epoch=MAC_EPOCH) == (MAC_EPOCH + datetime.timedelta(days=59), "d")


@pytest.mark.parametrize("v, number", [
    ("1000000000000", 10 ** 12), ("2958466", 2958466), ("-693595", -693595),
    ("1e300", 1e300), ("-1E10", -1e10),
])
def test_out_of_range_serials_warn_and_become_errors(v, number):
    calls = Calls()
    cells, actions, _ = read(f'<sheetData><row><c r="B7" s="1"><v>{v}</v></c></row>'
                             f'</sheetData>', calls=calls, **DATE_STYLES)
    cell = cells[(7, 2)]
    assert (cell._value, cell.data_type) == ("#VALUE!", "e")
    assert calls.called("date_warning") == [("B7", number)]
    assert actions == [("warn", calls.helpers["date_warning"]("B7", number))]


def test_warning_without_reference_names_no_cell():
    calls = Calls()
    _, actions, _ = read('<sheetData><row><c s="1"><v>1e20</v></c></row></sheetData>',
                         calls=calls, **DATE_STYLES)
    assert calls.called("date_warning") == [(None, 1e20)]
    assert len(actions) == 1


@pytest.mark.parametrize("v, s, options, expected_call", [
    ("5", 2, {}, (5, WINDOWS_EPOCH, True)),            # a duration style
    ("+5", 1, {}, (5, WINDOWS_EPOCH, False)),          # the number came from int()
    ("2.5", 1, {"epoch": datetime.datetime(1899, 12, 30, tzinfo=datetime.timezone.utc)},
     (2.5, datetime.datetime(1899, 12, 30, tzinfo=datetime.timezone.utc), False)),
])
def test_dates_the_host_converts(v, s, options, expected_call):
    calls = Calls()
    value = date_cell(v, s=s, calls=calls, **options)
    value_, td = expected_call[0], expected_call[2]
    assert value == (("excel", value_, td), "d")
    (name, args, kwargs), = [e for e in calls.log if e[0] == "from_excel"]
    assert args == expected_call[:2] and kwargs == {"timedelta": td}


@pytest.mark.parametrize("exc", [OverflowError, ValueError])
def test_host_date_failures_become_warnings(exc):
    def fail(*a, **k):
        raise exc("no")
    calls = Calls(from_excel=fail)
    _, actions, _ = read('<sheetData><row><c r="A1" s="2"><v>3</v></c></row></sheetData>',
                         calls=calls, **DATE_STYLES)
    assert [a[0] for a in actions] == ["warn"]


def test_other_host_date_errors_propagate():
    def fail(*a, **k):
        raise TypeError("bad")
    with pytest.raises(TypeError, match="bad"):
        date_cell("3", s=2, calls=Calls(from_excel=fail))


def test_date_styles_ignore_bools_and_match_cells_without_style():
    assert value_of('<c><v>3</v></c>', date_formats=[0])[1] == "d"
    assert value_of('<c s="1"><v>3</v></c>', date_formats=[True, "1", 1.0]) == (3, "n")
    assert value_of('<c t="s" s="1"><v>0</v></c>', date_formats=[1]) == ("s0", "s")


def test_formula_cells_do_not_warn():
    calls = Calls()
    cells, actions, _ = read('<sheetData><row><c r="A1" s="1"><f>NOW()</f><v>1e20</v></c>'
                             '</row></sheetData>', calls=calls, **DATE_STYLES)
    assert (cells[(1, 1)]._value, cells[(1, 1)].data_type) == ("=NOW()", "f")
    assert actions == []


def test_warnings_stand_between_the_elements_around_them():
    _, actions, _ = read('<dimension ref="A1"/><sheetData><row><c s="1"><v>1e20</v></c></row>'
                         '<foo/><row><c s="1"><v>-1e20</v></c></row></sheetData>'
                         '<mergeCells/>', **DATE_STYLES)
    assert [a[0] if a[0] == "warn" else a[1] for a in actions] == [
        b'<dimension ref="A1"/>', "warn", b"<foo/>", "warn", b"<mergeCells/>"]


def _host_conversion(value, epoch):
    from tavrinex.utils.datetime import from_excel
    try:
        return from_excel(value, epoch, timedelta=False)
    except NotImplementedError:
        pytest.skip("host date conversion not available yet")
    except (OverflowError, ValueError):
        return None


@given(st.one_of(st.integers(-800_000, 3_000_000),
                 st.floats(-800_000, 3_000_000, allow_nan=False),
                 st.floats(-1, 2), st.sampled_from([59, 60, 61, 59.5, 60.5, 1e9, -1e9])),
       st.sampled_from([WINDOWS_EPOCH, MAC_EPOCH]))
def test_native_serials_agree_with_the_host(value, epoch):
    assert serial_to_datetime(value, epoch, epoch == WINDOWS_EPOCH) == _host_conversion(value, epoch)


# -- formulas

@pytest.mark.parametrize("xml, options, expected", [
    ('<c><f>SUM(A1:A2)</f><v>3</v></c>', {}, ("=SUM(A1:A2)", "f")),
    ('<c><f>SUM(A1:A2)</f><v>3</v></c>', {"data_only": True}, (3, "n")),
    ('<c><f>SUM(A1:A2)</f><v>3</v></c>', {"data_only": True, "formula_and_value": True},
     ("=SUM(A1:A2)", "f")),
    ('<c t="str"><f/><v>x</v></c>', {}, ("=", "f")),
    ('<c><f>A1&amp;"&lt;"</f></c>', {}, ('=A1&"<"', "f")),
    ('<c><f>1</f><f>2</f></c>', {}, ("=1", "f")),
    ('<c><f t="other" si="0">A1</f></c>', {}, ("=A1", "f")),
])
def test_formula_texts(xml, options, expected):
    assert value_of(xml, **options) == expected


def test_array_and_data_table_formulas():
    calls = Calls()
    cells, _, _ = read(document(
        '<sheetData><row>'
        '<c r="A1"><f t="array" ref="A1:A2">B1:B2*2</f></c>'
        '<c r="B1"><f t="array">1</f></c>'
        '<c r="C1"><f t="dataTable" ref="C1:D2" dt2D="1" r1="A1" x:k="v"/></c>'
        '</row></sheetData>', ' xmlns:x="urn:x"'), calls=calls)
    arrays = [kw for n, _, kw in calls.log if n == "ArrayFormula"]
    assert arrays == [{"ref": "A1:A2", "text": "=B1:B2*2"}, {"ref": None, "text": "=1"}]
    tables = [kw for n, _, kw in calls.log if n == "DataTableFormula"]
    assert tables == [{"t": "dataTable", "ref": "C1:D2", "dt2D": "1", "r1": "A1",
                       "{urn:x}k": "v"}]
    assert cells[(1, 1)].data_type == "f"
    assert (cells[(1, 1)]._value.ref, cells[(1, 1)]._value.text) == ("A1:A2", "=B1:B2*2")
    assert cells[(1, 3)]._value.ref == "C1:D2"


def _translator_ready():
    from tavrinex.formula import Translator
    try:
        Translator("=A1", "A1").translate_formula("A2")
    except NotImplementedError:
        pytest.skip("host translator not available yet")


def shared_values(rows, **kw):
    _translator_ready()
    cells, _, _ = read(f"<sheetData>{rows}</sheetData>", **kw)
    return {k: c._value for k, c in cells.items()}


def test_shared_formula_groups_move_to_each_member():
    got = shared_values(
        '<row r="1"><c r="C1"><f t="shared" si="0" ref="C1:C3">a1+$B$1</f></c></row>'
        '<row r="2"><c r="C2"><f t="shared" si="0">ignored</f></c>'
        '<c><f t="shared" si="0"/></c></row>'
        '<row r="3"><c r="E3"><f t="shared" si="1"/></c><c r="c3"><f t="shared" si="0"/></c></row>')
    assert got == {(1, 3): "=a1+$B$1", (2, 3): "=A2+$B$1", (2, 4): "=B2+$B$1",
                   (3, 5): "=", (3, 3): "=A3+$B$1"}


def test_shared_group_without_reference_uses_the_translator_texts():
    calls = Calls()
    _translator_ready()
    cells, _, _ = read('<sheetData><row><c><f t="shared" si="7">A1*2</f></c>'
                       '<c r="B5"><f t="shared" si="7"/></c><c><f t="shared" si="7"/></c>'
                       '</row></sheetData>', calls=calls)
    assert calls.called("Translator") == [("=A1*2", None)]
    assert [c._value for c in cells.values()] == ["=A1*2", "=A1*2", "=A1*2"]


def test_shared_formula_out_of_range_raises_at_the_member():
    from tavrinex.formula import TranslatorError
    with pytest.raises(TranslatorError, match="Formula out of range"):
        shared_values('<row r="2"><c r="B2"><f t="shared" si="0">A1</f></c></row>'
                      '<row r="1"><c r="B1"><f t="shared" si="0"/></c></row>')


def test_shared_formulas_ignored_when_only_values_are_read():
    calls = Calls()
    cells, _, _ = read('<sheetData><row><c r="A1"><f t="shared" si="0">B1</f><v>1</v></c>'
                       '<c r="A2"><f t="shared" si="0"/><v>2</v></c></row></sheetData>',
                       calls=calls, data_only=True)
    assert [c._value for c in cells.values()] == [1, 2]
    assert calls.called("Translator") == []


# -- inline strings

ITEM_NS = [("", MAIN)]


@pytest.mark.parametrize("item, value", [
    ("<is><t>a&amp;b</t></is>", "a&b"),
    ("<is/>", ""),
    ("<is><t/></is>", ""),
    ('<is><t xml:space="preserve"> a </t></is>', " a "),
    ("<is><r><t>Hello </t></r><r><rPr><i/></rPr><t>World</t></r></is>", "Hello World"),
    ("<is><t>x</t><r><t>y</t><t>z</t></r><r/><r><t/></r></is>", "xz"),
    ("<is><t>abc</t><other><t>no</t></other></is>", "abc"),
    ("<is><t>a</t></is><is><t>b</t></is>", "a"),
])
def test_inline_strings_built_here(item, value):
    calls = Calls()
    assert value_of(f'<c t="inlineStr">{item}</c>', calls=calls) == (value, "s")
    assert calls.called("text_content") == calls.called("rich_inline") == []


@pytest.mark.parametrize("item, runs", [
    ('<is foo="1"><t>a</t></is>', False),
    ('<is foo="1"/>', False),
    ('<is><t>abc</t><rPh sb="0" eb="1"><t>x</t></rPh></is>', False),
    ('<is><t>abc</t><phoneticPr fontId="1"/></is>', False),
    ('<is><t>abc</t><danger/></is>', False),
    ('<is><r><rPr><b/></rPr><t>bold</t></r></is>', True),
    ('<is><r><t>x</t><rdanger/></r></is>', True),
    ('<is><r z="1"><t>x</t></r></is>', True),
])
@pytest.mark.parametrize("rich", [False, True])
def test_inline_strings_the_host_builds(item, runs, rich):
    calls = Calls()
    value, dt = value_of(f'<c r="A1" t="inlineStr">{item}</c>', calls=calls, rich_text=rich)
    tag = "rich" if rich and runs else "text"
    assert (value, dt) == ((tag, item.encode()), "s")
    assert calls.called("rich_inline" if tag == "rich" else "text_content") == [
        (item.encode(), ITEM_NS)]


def test_run_properties_checked_once_per_document():
    calls = Calls()
    cells, _, _ = read('<sheetData><row>'
                       + '<c t="inlineStr"><is><r><rPr><i/></rPr><t>a</t></r></is></c>' * 3
                       + '<c t="inlineStr"><is><r><rPr> <i/></rPr><t>b</t></r></is></c>'
                       + '</row></sheetData>', calls=calls)
    assert [c._value for c in cells.values()] == ["a", "a", "a", "b"]
    assert calls.called("validate_rpr") == [(b"<rPr><i/></rPr>", ITEM_NS),
                                            (b"<rPr> <i/></rPr>", ITEM_NS)]


def test_run_properties_not_checked_once_the_item_goes_to_the_host():
    calls = Calls()
    value_of('<c t="inlineStr"><is foo="1"><r><rPr><i/></rPr><t>a</t></r></is></c>', calls=calls)
    assert calls.called("validate_rpr") == []


def test_run_property_check_errors_raise_after_the_item():
    def fail(snippet, namespaces):
        raise KeyError("rpr")
    calls = Calls(validate_rpr=fail)
    with pytest.raises(KeyError, match="rpr"):
        value_of('<c t="inlineStr"><is><r><rPr><i/></rPr><t>a</t></r>'
                 '<r><rPr><u/></rPr><t>b</t></r></is></c>', calls=calls)
    assert len(calls.called("validate_rpr")) == 1


def test_inline_item_namespaces_are_its_ancestors():
    calls = Calls()
    data = (f'<s:worksheet xmlns:s="{MAIN}"><s:sheetData><s:row xmlns:q="urn:q">'
            f'<s:c t="inlineStr"><s:is xmlns:z="urn:z" a="1"><s:t>v</s:t></s:is></s:c>'
            f'</s:row></s:sheetData></s:worksheet>').encode()
    read(data, calls=calls)
    assert calls.called("text_content") == [
        (b'<s:is xmlns:z="urn:z" a="1"><s:t>v</s:t></s:is>', [("s", MAIN), ("q", "urn:q")])]


@pytest.mark.parametrize("master, member", [
    ("A9+B1", "=B9+C1"),                 # moved to the member's implicit place
    ("\u00e91+B1", "=\u00e91+B1"),       # the host's translator, given no place
    ('"\u00e9"&amp;B1', '="\u00e9"&C1'),  # non-ASCII text only: still moved
])
def test_shared_members_without_reference(master, member):
    got = shared_values(f'<row r="1"><c r="A1"><f t="shared" si="0">{master}</f></c>'
                        f'<c><f t="shared" si="0"/></c></row>')
    assert got[(1, 2)] == member


@pytest.mark.parametrize("item", [
    "<is><t>a&amp;b</t></is>", "<is/>", '<is><t xml:space="preserve"> a </t></is>',
    "<is><r><t>Hello </t></r><r><rPr><i/></rPr><t>World</t></r></is>",
    "<is><t>x</t><r><t>y</t><t>z</t></r><r/><r><t/></r></is>",
    "<is><t>line\r\nend&#13;</t></is>", "<is><t><![CDATA[<b>]]>_x0041_</t></is>",
])
def test_inline_text_built_here_equals_the_host_text(item):
    from tavrinex.helpers import reader_helpers
    helpers = reader_helpers()
    calls = Calls(text_content=helpers["text_content"], validate_rpr=helpers["validate_rpr"])
    calls.helpers["text_dangerous"] = helpers["text_dangerous"]
    calls.helpers["rich_dangerous"] = helpers["rich_dangerous"]
    value, _ = value_of(f'<c t="inlineStr">{item}</c>', calls=calls)
    assert calls.called("text_content") == []
    assert value == helpers["text_content"](item.encode(), ITEM_NS)
