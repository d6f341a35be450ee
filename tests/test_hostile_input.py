"""Inputs shaped to hurt the readers: namespace-heavy documents, sources
that return other bytes-like objects, URIs with unusual characters, and
documents that would fill the Python reader's caches."""

import io
import sys
import time
import zipfile
from pathlib import Path

import pytest

import tavrinex
from tavrinex import _tavrinex as native
from tavrinex import _probe
from tavrinex.helpers import reader_helpers
from tavrinex.reader import worksheet as pyworksheet
from tavrinex.reader.dimension import find_dimension_py
from tavrinex.reader.strings import read_shared_strings_py

from sheet_helpers import MAIN, STYLES, Parser, bind, sheet
from xlsx_files import minimal_parts, package

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
from _common import best  # noqa: E402  (the benchmarks' timing helper)

R_NS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"


def many_prefixes(n):
    return " ".join(f'xmlns:p{i}="urn:p{i}"' for i in range(n))


# ---------------------------------------------------------------- namespace lists


def test_elements_in_one_scope_share_their_namespace_list():
    data = (f'<worksheet xmlns="{MAIN}" {many_prefixes(50)}><sheetData/>'
            + "<a/>" * 20 + '<b xmlns:q="urn:q"><c/></b><d/></worksheet>').encode()
    _, actions, _ = bind(data)
    lists = [a[2] for a in actions]
    expected = [("", MAIN)] + [(f"p{i}", f"urn:p{i}") for i in range(50)]
    assert all(ns == expected for ns in lists)
    # One list for the whole run of siblings, not one per element.
    assert all(ns is lists[0] for ns in lists[:20])
    assert len({id(ns) for ns in lists}) == 1


def test_namespace_list_changes_with_the_scope():
    data = (f'<worksheet xmlns="{MAIN}" xmlns:r="urn:r1"><sheetData/><a/>'
            '<g xmlns:r="urn:r2" xmlns:s="urn:s"><b/><c/></g><d/></worksheet>').encode()
    captured = _probe.xml_capture(data, "b") + _probe.xml_capture(data, "c")
    for _, ns in captured:
        assert ns == [("", MAIN), ("r", "urn:r2"), ("s", "urn:s")]
    _, actions, _ = bind(data)
    assert actions[0][2] == [("", MAIN), ("r", "urn:r1")]
    assert actions[2][2] == [("", MAIN), ("r", "urn:r1")]


def test_shared_string_items_under_many_prefixes():
    n = 200
    # Phonetic runs send each item to the host's si_content.
    items = "".join(f'<si><t>x{i}</t><rPh sb="0" eb="1"><t>p</t></rPh></si>' for i in range(n))
    data = f'<sst xmlns="{MAIN}" {many_prefixes(n)}>{items}</sst>'.encode()
    seen = []
    helpers = reader_helpers()
    real = helpers["si_content"]

    def si_content(snippet, namespaces):
        seen.append(namespaces)
        return real(snippet, namespaces)

    helpers["si_content"] = si_content
    got = native.read_string_table(io.BytesIO(data), helpers)
    assert got == read_shared_strings_py(io.BytesIO(data))
    assert len(seen) == n and len(seen[0]) == n + 1
    assert len({id(ns) for ns in seen}) == 1


def _best_of(fn, arg):
    # CPU time, so that other processes on the machine count for less.
    return best(fn, arg, repeat=7, clock=time.process_time, collect=False)[0]


def _growth(make, count, small, factor=16):
    """How much longer `count` takes on an input `factor` times larger.
    Linear work gives about `factor`, quadratic about `factor` squared; the
    bound the tests use sits well between the two, so that a loaded machine
    does not make a linear run look quadratic."""
    a, b = make(small), make(small * factor)
    count(a)  # warm up
    return _best_of(count, b) / max(_best_of(count, a), 1e-6)


def test_tokenizer_stays_linear_on_many_declared_prefixed_attributes():
    def make(n):
        attrs = " ".join(f'xmlns:p{i}="urn:p{i}" p{i}:a="1"' for i in range(n))
        return f"<r {attrs}/>".encode()

    assert _probe.xml_count(make(10)) == 2
    assert _growth(make, _probe.xml_count, 2000) < 80


def test_tokenizer_stays_linear_on_deep_nesting_with_prefixes():
    def make(n):
        opens = "".join(f'<e xmlns:p{i}="urn:p{i}">' for i in range(n))
        return (opens + "</e>" * n).encode()

    assert _probe.xml_count(make(3)) == 6
    assert _growth(make, _probe.xml_count, 2000) < 80


def test_prefix_lookup_after_deep_scopes_unwind():
    # Inner bindings of a prefix hide outer ones only while they are open;
    # the default namespace comes back the same way.
    depth = 60
    data = ('<p:a xmlns:p="urn:1" xmlns="urn:d">'
            + "".join(f'<p:b xmlns:p="urn:{i}" xmlns:q{i}="urn:q">' for i in range(2, depth))
            + '<x xmlns=""/><p:in/>' + "</p:b>" * (depth - 2)
            + '<p:c/><d xmlns=""><e/></d><f/></p:a>').encode()
    starts = [(ev[1], ev[2]) for ev in _probe.xml_events(data) if ev[0] == "start"]
    assert starts[0] == ("urn:1", "a")
    assert starts[1:depth - 1] == [(f"urn:{i}", "b") for i in range(2, depth)]
    assert starts[depth - 1:] == [("", "x"), (f"urn:{depth - 1}", "in"), ("urn:1", "c"),
                                  ("", "d"), ("", "e"), ("urn:d", "f")]
    with pytest.raises(native.NativeFallback, match="unbound prefix"):
        _probe.xml_events(data.replace(b"<p:c/>", b"<q2:c/>"))


# ---------------------------------------------------------------- sources


class Typed:
    """A source whose read returns the bytes wrapped by `kind`."""

    def __init__(self, data, kind, size=7):
        self.data, self.kind, self.size, self.pos = data, kind, size, 0

    def read(self, n):
        chunk = self.data[self.pos:self.pos + min(n, self.size)]
        self.pos += len(chunk)
        return self.kind(chunk)


KINDS = [bytearray, memoryview, lambda b: memoryview(bytearray(b))]
KIND_IDS = ["bytearray", "memoryview", "memoryview-of-bytearray"]

SHEET = sheet('<row r="1"><c r="A1"><v>7</v></c><c r="B1" t="inlineStr"><is><t>é</t></is></c></row>',
              before='<dimension ref="A1:B1"/>')


@pytest.mark.parametrize("kind", KINDS, ids=KIND_IDS)
def test_engine_readers_take_any_bytes_like_read_result(kind):
    store = native.CellStore()
    actions = []
    native.bind_cells(Typed(SHEET, kind), Parser(), "WS", store, STYLES, _cell_cls(), reader_helpers(),
                      actions)
    assert [(k, store[k].value) for k in store] == [((1, 1), 7), ((1, 2), "é")]
    assert native.find_dimension(Typed(SHEET, kind)) == (b'<dimension ref="A1:B1"/>', [("", MAIN)])
    sst = f'<sst xmlns="{MAIN}"><si><t>a</t></si><si><t>b</t></si></sst>'.encode()
    assert native.read_string_table(Typed(sst, kind), reader_helpers()) == ["a", "b"]


@pytest.mark.parametrize("kind", KINDS, ids=KIND_IDS)
def test_python_readers_take_any_bytes_like_read_result(kind):
    assert find_dimension_py(Typed(SHEET, kind)) == (b'<dimension ref="A1:B1"/>', [("", MAIN)])
    cells, _, _ = py_read(Typed(SHEET, kind))
    assert [(k, c.value) for k, c in cells.items()] == [((1, 1), 7), ((1, 2), "é")]


@pytest.mark.parametrize("bad", ["text", 3, None])
def test_read_results_that_are_not_bytes_like_are_refused(bad):
    class Bad:
        def read(self, n):
            return bad

    for call in (lambda s: native.find_dimension(s),
                 lambda s: native.read_string_table(s, reader_helpers())):
        with pytest.raises(TypeError):
            call(Bad())


def test_memoryview_of_a_non_byte_format_is_read_as_its_bytes():
    # An array of 16-bit items still holds the document's bytes in order.
    import array
    data = SHEET + b" " * (len(SHEET) % 2)
    arr = array.array("H")
    arr.frombytes(data)

    class Whole:
        done = False

        def read(self, n):
            if self.done:
                return b""
            self.done = True
            return memoryview(arr)

    assert native.find_dimension(Whole()) == (b'<dimension ref="A1:B1"/>', [("", MAIN)])


# ---------------------------------------------------------------- the Python reader


def test_python_reader_takes_a_namespace_uri_with_a_brace():
    data = sheet('<row r="1" r:x="y" ht="3"><c r="A1"><v>5</v></c></row>',
                 root_attrs=f'xmlns="{MAIN}" xmlns:r="}}rn:r"', after='<r:ext/>')
    cells, py_actions, parser = py_read(io.BytesIO(data))
    assert [(k, c.value) for k, c in cells.items()] == [((1, 1), 5)]
    engine = Parser()
    store, actions, _ = bind(data, parser=engine)
    assert py_actions == actions == [("element", b"<r:ext/>", [("", MAIN), ("r", "}rn:r")])]
    assert parser.row_dimensions == engine.row_dimensions == {
        "1": {"r": "1", "{}rn:r}x": "y", "ht": "3"}}


@pytest.mark.parametrize("root_ns, expected", [
    # the main namespace by prefix, a braced URI as the default: items read
    (f'xmlns:m="{MAIN}" xmlns="{{1,2}}"', ["plain", "rich", "ruby"]),
    # the braced URI is the items' own namespace: no item counts
    ('xmlns="{1,2}"', []),
])
def test_shared_strings_readers_take_a_namespace_uri_with_a_brace(root_ns, expected):
    prefix = "m:" if "xmlns:m" in root_ns else ""
    items = [f"<{prefix}si><{prefix}t>plain</{prefix}t></{prefix}si>",
             f'<{prefix}si><{prefix}r><{prefix}rPr><{prefix}b/></{prefix}rPr>'
             f'<{prefix}t>rich</{prefix}t></{prefix}r></{prefix}si>',
             f'<{prefix}si><{prefix}t>ruby</{prefix}t><{prefix}rPh sb="0" eb="1">'
             f'<{prefix}t>r</{prefix}t></{prefix}rPh><x:e xmlns:x="a}}b"/></{prefix}si>']
    data = (f'<{prefix}sst {root_ns} count="3">' + "".join(items) + f"</{prefix}sst>").encode()
    assert read_shared_strings_py(io.BytesIO(data)) == expected
    assert native.read_string_table(io.BytesIO(data), reader_helpers()) == expected


def test_text_snippets_parse_under_a_namespace_uri_with_a_brace():
    from tavrinex.text import parse_snippet

    el = parse_snippet(b'<x:t y:a="1">v</x:t>', [("x", "}rn:x"), ("y", "a}b")])
    assert (el.tag, el.attrib, el.text) == ("{}rn:x}t", {"{a}b}a": "1"}, "v")
    assert parse_snippet(b"<t>w</t>", [("", MAIN)]).tag == f"{{{MAIN}}}t"


def test_python_reader_name_cache_is_bounded():
    n = 3 * pyworksheet.NAME_CACHE_SIZE
    body = "".join(f'<x:e{i} xmlns:x="urn:{i % 7}"/>' for i in range(n))
    data = sheet("", after=body)
    py_read(io.BytesIO(data))
    assert pyworksheet.split_name.cache_info().currsize <= pyworksheet.NAME_CACHE_SIZE
    assert pyworksheet.split_name(f"urn:1{pyworksheet.SEP}c") == ("urn:1", "c")


def _cell_cls():
    from tavrinex.cell import Cell
    return Cell


def py_read(source):
    """(cells, actions, parser) of the Python reader over `source`."""
    parser = pyworksheet.WorksheetParser(["zero"], date_formats=[7])
    cells, actions = {}, []
    parser.parse(source, "WS", cells, STYLES, _cell_cls(), reader_helpers(), actions)
    return cells, actions, parser


def test_every_part_of_a_workbook_reads_under_a_namespace_uri_with_a_brace(tmp_path):
    # Each part declares x="a}b" on its root and holds an element in it.
    ext = '<x:ext xmlns:x="a}b"/>'
    braced = ' xmlns:x="a}b"'
    parts = minimal_parts(
        sheet_body='<row r="1"><c r="A1" t="s"><v>0</v></c><c r="B1"><v>2</v></c></row>',
        sheet_extra=('<mergeCells count="1"><mergeCell ref="A2:B2"/>' + ext + "</mergeCells>"
                     '<pageMargins left="0.5" right="0.5" top="1" bottom="1" header="0.3" '
                     'footer="0.3">' + ext + "</pageMargins>"),
        strings=["text"],
        styles=f'<numFmts count="1"><numFmt numFmtId="164" formatCode="0.0"/>{ext}</numFmts>'
               '<cellXfs count="1"><xf numFmtId="164"/></cellXfs>')
    for name, text in parts.items():
        root_end = text.index(">")
        if text[root_end - 1] == "/":
            root_end -= 1
        parts[name] = text[:root_end] + braced + text[root_end:]
    parts["xl/workbook.xml"] = parts["xl/workbook.xml"].replace("</workbook>",
                                                                ext + "</workbook>")
    path = tmp_path / "braced.xlsx"
    path.write_bytes(package(parts))

    wb = tavrinex.load_workbook(path)
    ws = wb["One"]
    assert [[c.value for c in row] for row in ws.iter_rows()] == [["text", 2]]
    assert ws["B1"].number_format == "0.0"
    assert [str(r) for r in ws.merged_cells] == ["A2:B2"]

    # The kept page margins, whose child declares the braced namespace, are
    # written back (without that foreign child).
    out = tmp_path / "saved.xlsx"
    wb.save(out)
    with zipfile.ZipFile(out) as z:
        saved = z.read("xl/worksheets/sheet1.xml").decode()
    assert '<pageMargins left="0.5" right="0.5" top="1" bottom="1"' in saved
    again = tavrinex.load_workbook(out)["One"]
    assert [[c.value for c in row] for row in again.iter_rows()] == [["text", 2]]
