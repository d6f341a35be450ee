"""prescan_sheet: the elements around the cells, row attributes and corner
styles, from the engine and from the Python prescan, which must agree."""

import io
import xml.parsers.expat

import pytest
from hypothesis import event, given, settings
from hypothesis import strategies as st

from tavrinex import _native
from tavrinex.helpers import reader_helpers
from tavrinex.reader.prescan import prescan_sheet, prescan_sheet_py, scan_head
from conftest import EXAMPLES
from sheet_helpers import MAIN, ChunkSource, CountingOpener, sheet
from sheetgen import sheets

native = _native.native
needs_engine = pytest.mark.skipif(native is None, reason="engine not built")

HEAD = ('<sheetPr><outlinePr summaryBelow="0"/></sheetPr><dimension ref="A1:D10"/>'
        '<sheetViews><sheetView workbookViewId="0"/></sheetViews>'
        '<sheetFormatPr defaultRowHeight="15"/><cols><col min="1" max="2" width="9"/></cols>')
TAIL = '<pageMargins left="0.7" right="0.7"/>'
NS = [("", MAIN), ("x", "urn:x")]
ROOT = f'xmlns="{MAIN}" xmlns:x="urn:x"'


def both(data, want_rows=True, corners=None, read_size=65536):
    """The engine's dict (checked against the Python prescan's) or the
    engine's NativeFallback message."""
    helpers = reader_helpers()
    expected = prescan_sheet_py(io.BytesIO(data), want_rows, corners, helpers)
    if native is None:
        return expected
    got = native.prescan_sheet(ChunkSource(data, read_size), want_rows, corners, helpers)
    assert got == expected
    assert list(got) == ["head", "tail", "rows", "corners"]
    return got


def declined(data, want_rows=True, corners=None):
    with pytest.raises(native.NativeFallback) as info:
        native.prescan_sheet(io.BytesIO(data), want_rows, corners, reader_helpers())
    return str(info.value)


@pytest.mark.parametrize("read_size", [1, 7, 65536])
class TestLayout:
    def test_head_and_tail_keep_exact_bytes(self, read_size):
        data = sheet('<row r="1"><c r="A1"><v>1</v></c></row>', HEAD, TAIL, root_attrs=ROOT)
        got = both(data, read_size=read_size)
        assert [b for b, _ in got["head"]] == [
            b'<sheetPr><outlinePr summaryBelow="0"/></sheetPr>', b'<dimension ref="A1:D10"/>',
            b'<sheetViews><sheetView workbookViewId="0"/></sheetViews>',
            b'<sheetFormatPr defaultRowHeight="15"/>', b'<cols><col min="1" max="2" width="9"/></cols>']
        assert got["tail"] == [(TAIL.encode(), NS)]
        assert all(ns == NS for _, ns in got["head"])
        assert got["rows"] == [] and got["corners"] == {}

    def test_row_attributes(self, read_size):
        body = ('<row r="1" spans="1:3" ht="20" customHeight="1"/><row r="2" spans="1:3"/>'
                '<row r="3" x:dy="0.25"/><row x:dy="1" hidden="1"/>'
                '<row r="5" outlineLevel="&#49;" note="a&#9;b" tab="c\td"/>')
        got = both(sheet(body, root_attrs=ROOT), read_size=read_size)
        assert got["rows"] == [
            (1, [("r", "1"), ("spans", "1:3"), ("ht", "20"), ("customHeight", "1")]),
            (4, [("{urn:x}dy", "1"), ("hidden", "1")]),
            (5, [("r", "5"), ("outlineLevel", "1"), ("note", "a\tb"), ("tab", "c d")])]
        assert both(sheet(body, root_attrs=ROOT), want_rows=False)["rows"] == []

    def test_corners(self, read_size):
        body = ('<row r="1"><c r="A1" s="3"><v>1</v></c><c s="4"/></row>'
                '<row r="10"><c r="C10" s="1"/><c r="D10" t="s"><v>0</v></c></row>'
                '<row><c/><c s="9"/></row>')
        corners = [(1, 1), (10, 4), (1, 2), (11, 2), (5, 5)]
        got = both(sheet(body), False, corners, read_size)
        assert got["corners"] == {(1, 1): "3", (10, 4): None, (1, 2): "4", (11, 2): "9"}

    def test_empty_and_missing_sheet_data(self, read_size):
        assert both(sheet("", HEAD, TAIL), read_size=read_size)["tail"] == [(TAIL.encode(), [("", MAIN)])]
        data = f'<worksheet xmlns="{MAIN}"><sheetData/>{TAIL}</worksheet>'.encode()
        assert len(both(data, read_size=read_size)["tail"]) == 1
        data = f'<worksheet xmlns="{MAIN}">{HEAD}</worksheet>'.encode()
        got = both(data, True, [(1, 1)], read_size)
        assert len(got["head"]) == 5 and got["tail"] == []


class TestRowNumbers:
    def test_unusual_row_numbers_go_to_row_index(self):
        calls = []
        helpers = reader_helpers()
        helpers["row_index"] = lambda text: calls.append(text) or int(text)
        data = sheet('<row r=" 7" ht="1"/><row r="007" ht="2"/><row ht="3"/>')
        for prescan in ([native.prescan_sheet] if native else []) + [prescan_sheet_py]:
            got = prescan(io.BytesIO(data), True, None, helpers)
            assert [n for n, _ in got["rows"]] == [7, 7, 8]
        assert calls[:1] == [" 7"]

    @needs_engine
    def test_row_index_result_must_be_an_int64(self):
        helpers = reader_helpers()
        helpers["row_index"] = lambda text: "seven"
        with pytest.raises(native.NativeFallback, match="^unsupported: row index$"):
            native.prescan_sheet(io.BytesIO(sheet('<row r="x" ht="1"/>')), True, None, helpers)
        helpers["row_index"] = lambda text: 1 << 70
        with pytest.raises(native.NativeFallback, match="^unsupported: row index$"):
            native.prescan_sheet(io.BytesIO(sheet('<row r="x" ht="1"/>')), True, None, helpers)

    def test_row_index_errors_propagate(self):
        data = sheet('<row r="seven" ht="1"/>')
        with pytest.raises(ValueError):
            prescan_sheet(data, True, None)
        with pytest.raises(ValueError):
            prescan_sheet_py(io.BytesIO(data), True, None, reader_helpers())


@needs_engine
class TestDeclines:
    @pytest.mark.parametrize("body, message", [
        ('<row r="1"/><!-- note -->', "unsupported: comment/cdata/pi in sheetData"),
        ('<row r="1"><c r="A1"><v><![CDATA[1]]></v></c></row>',
         "unsupported: comment/cdata/pi in sheetData"),
        ('<row r="1" ht="2"x="1"/>', "malformed: missing whitespace"),
        ('<row r="1" ht/>', "malformed: expected ="),
        ('<row r="1" ht=2/>', "malformed: expected quote"),
        ('<row r="1" xmlns:q="urn:q" q:ht="2"/>', "unsupported: namespace declaration"),
        ('<row r="1" a:b:c="2"/>', "unsupported: qname"),
        ('<row r="1" 9a="2"/>', "unsupported: attribute name"),
        ('<row r="1" ht="1" q:ht="2"/>', "malformed: unbound prefix"),
        ('<row r="1" ht="\x01"/>', "malformed: invalid character"),
        ('<row r="1" ht="&bogus;"/>', "malformed: undefined entity"),
    ])
    def test_row_tags(self, body, message):
        assert declined(sheet(body)) == message

    def test_prefixed_sheet_data(self):
        data = (f'<s:worksheet xmlns:s="{MAIN}"><s:sheetData><s:row r="1"/></s:sheetData>'
                f'</s:worksheet>').encode()
        assert declined(data) == "unsupported: prefixed sheetData"

    def test_cell_tags(self):
        assert declined(sheet('<row r="1"><c r="a1" s="1"/></row>'), False, [(1, 1)]) == \
            "unsupported: coordinate"
        # Without corners the cells are never looked at.
        assert native.prescan_sheet(io.BytesIO(sheet('<row r="1"><c r="a1"/></row>')), True,
                                    None, reader_helpers())["rows"] == []

    def test_truncated_documents(self):
        data = sheet('<row r="1" ht="2"><c r="A1"><v>1</v></c></row>')
        cut = data.index(b'ht="2"') + 4
        assert declined(data[:cut]) == "malformed: eof in tag"
        assert declined(data[:data.index(b"</sheetData>")]) == "malformed: eof in element"
        # The tokenizer itself reports an element left open at the end.
        assert declined(data[:data.index(b"</worksheet>")] + b"<pageMargins>").startswith(
            "malformed: ")

    def test_wrapper_reads_what_the_engine_declines(self):
        data = sheet('<row r="1" ht="2"/><!-- kept -->', HEAD)
        got = prescan_sheet(io.BytesIO(data), True, None)
        assert got["rows"] == [(1, [("r", "1"), ("ht", "2")])] and len(got["head"]) == 5

    def test_arguments(self):
        class Bad:
            def __bool__(self):
                raise TypeError("no truth")

        with pytest.raises(TypeError, match="want_rows"):
            native.prescan_sheet(io.BytesIO(sheet("")), Bad(), None, reader_helpers())
        with pytest.raises(TypeError, match="helpers"):
            native.prescan_sheet(io.BytesIO(sheet("")), True, None, [])
        with pytest.raises(BaseException, match="row_index helper") as info:
            native.prescan_sheet(io.BytesIO(sheet("")), True, None, {})
        assert not isinstance(info.value, Exception)

        def corners():
            yield (1, 1)
            raise KeyError("corners")

        with pytest.raises(KeyError):
            native.prescan_sheet(io.BytesIO(sheet("")), True, corners(), reader_helpers())


# -- differential runs

def corner_sets():
    """Corners, most of them where the generated sheets have cells."""
    return st.lists(st.tuples(st.integers(1, 12), st.integers(1, 32)), max_size=6) | st.none()


def compare(doc, want_rows, corners, read_size):
    helpers = reader_helpers()
    if len(doc) > 20_000:
        read_size = max(read_size, 7)  # the very wide rows: one-byte reads add only time
    try:
        got = native.prescan_sheet(ChunkSource(doc, read_size), want_rows, corners, helpers)
    except native.NativeFallback as exc:
        event(f"engine declined: {exc}")
        return
    except ValueError:
        event("row_index raised")
        # expat may meet a fault of the cells the byte scan passed over first.
        with pytest.raises((ValueError, xml.parsers.expat.ExpatError)):
            prescan_sheet_py(io.BytesIO(doc), want_rows, corners, helpers)
        return
    try:
        expected = prescan_sheet_py(io.BytesIO(doc), want_rows, corners, helpers)
    except xml.parsers.expat.ExpatError:
        # The byte scan does not validate cell content; expat does.
        event("engine read a document expat refuses")
        return
    event("compared")
    assert got == expected


@needs_engine
@settings(max_examples=max(30, EXAMPLES * 5))
@given(sheets(markup=False) | sheets(), st.booleans(), st.data(), st.sampled_from([1, 7, 65536]))
def test_engine_prescan_agrees_with_python(case, want_rows, data, read_size):
    corners = data.draw(corner_sets())
    compare(case.doc, want_rows, corners, read_size)


MUTATIONS = [b"<", b">", b'"', b"'", b"/", b" ", b"<!-- x -->", b' xmlns:q="urn:q"', b' q:a="1"',
             b"&amp;", b"&#0;", b"\x00", "\u00e9".encode(), b"\xff", b"<row>", b"<c/>",
             b'<row r="9" ht="1">', b"</row>", b"</sheetData>", b"<?pi x?>", b' r="B2"',
             b' s="3"', b" ht='2'", b"\t", b"=", b"<![CDATA[x]]>"]


@needs_engine
@settings(max_examples=max(30, EXAMPLES * 5))
@given(sheets(markup=False), st.booleans(), st.data(), st.sampled_from([1, 7, 65536]))
def test_mutated_documents(case, want_rows, data, read_size):
    doc = bytearray(case.doc)
    for _ in range(data.draw(st.integers(1, 3))):
        at = data.draw(st.integers(0, len(doc)))
        if data.draw(st.booleans()):
            doc[at:at] = data.draw(st.sampled_from(MUTATIONS))
        else:
            del doc[at:at + data.draw(st.integers(1, 12))]
    compare(bytes(doc), want_rows, data.draw(corner_sets()), read_size)


class TestHeadOnly:
    def test_head_without_reading_the_cells(self):
        body = "".join(f'<row r="{i}"><c r="A{i}"><v>{i}</v></c></row>' for i in range(1, 30000))
        data = sheet(body, HEAD, TAIL, root_attrs=ROOT)
        opener = CountingOpener(data)
        assert scan_head(opener) == prescan_sheet_py(io.BytesIO(data), False, None,
                                                     reader_helpers())["head"]
        assert opener.read_bytes <= 8192 and opener.all_closed

    @pytest.mark.parametrize("padding", [0, 5000, 70000])
    def test_a_long_declaration_is_read_whole(self, padding):
        # the encoding named after a long run of blanks still counts
        decl = '<?xml version="1.0"' + " " * padding + ' encoding="ISO-8859-1"?>'
        data = decl.encode() + sheet("", '<dimension ref="A1:B2"/><x:q a="\xe9"/>',
                                     root_attrs=ROOT).replace("\xe9".encode(), b"\xe9")
        expected = prescan_sheet_py(io.BytesIO(data), False, None, reader_helpers())["head"]
        assert scan_head(CountingOpener(data)) == expected
        if padding < 60000:
            assert expected[1][0] == '<x:q a="\xe9"/>'.encode()

    def test_no_sheet_data_reads_everything_as_head(self):
        data = f'<worksheet {ROOT}>{HEAD}{TAIL}</worksheet>'.encode()
        assert [b for b, _ in scan_head(CountingOpener(data))][-1] == TAIL.encode()


@settings(max_examples=max(20, EXAMPLES // 2))
@given(sheets(errors=False))
def test_head_only_agrees_with_the_whole_prescan(case):
    doc = case.doc
    assert scan_head(CountingOpener(doc)) == prescan_sheet_py(io.BytesIO(doc), False, None,
                                                              reader_helpers())["head"]
