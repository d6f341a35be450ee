"""find_dimension, native and in Python."""

import io

import pytest
from hypothesis import given, strategies as st

from tavrinex import _tavrinex as native
from tavrinex._native import NativeFallback
from tavrinex.reader.dimension import find_dimension, find_dimension_py

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
ROOT = ('<worksheet xmlns="%s" xmlns:r="urn:rel" xmlns:mc="urn:mc">' % MAIN).encode()
NS = [("", MAIN), ("r", "urn:rel"), ("mc", "urn:mc")]


class Chunks:
    def __init__(self, data, size=65536):
        self.data, self.size, self.off = data, size, 0

    def read(self, n):
        chunk = self.data[self.off:self.off + min(n, self.size)]
        self.off += len(chunk)
        return chunk


def both(data, size=65536):
    """The engine's result, checked equal to the Python finder's."""
    got = native.find_dimension(Chunks(data, size))
    assert got == find_dimension_py(Chunks(data, size))
    return got


ROWS = b"".join(b'<row r="%d"><c r="A%d"><v>%d</v></c></row>' % (i, i, i) for i in range(1, 4000))


@pytest.mark.parametrize("size", [1, 3, 65536])
def test_dimension_before_sheet_data(size):
    data = (b'<?xml version="1.0"?>\n' + ROOT + b'<sheetPr/><dimension ref="A1:D10"/>'
            b"<sheetData>" + ROWS + b"</sheetData></worksheet>")
    assert both(data, size) == (b'<dimension ref="A1:D10"/>', NS)


def test_no_dimension_stops_at_end_of_sheet_data():
    data = ROOT + b"<sheetData>" + ROWS + b"</sheetData>" + b"<x/>" * 40000 + b"</worksheet>"
    src = Chunks(data)
    assert native.find_dimension(src) is None
    assert src.off < len(data)
    src = Chunks(data)
    assert find_dimension_py(src) is None
    assert src.off < len(data)
    # Nothing after sheetData is looked at, not even a broken tail.
    assert both(ROOT + b"<sheetData/><<<") is None


@pytest.mark.parametrize("data, expected", [
    (ROOT + b"<sheetPr/></worksheet>", None),
    (ROOT + b'<dimension ref="A1"><extLst><ext uri="u">x&amp;y</ext></extLst></dimension></worksheet>',
     (b'<dimension ref="A1"><extLst><ext uri="u">x&amp;y</ext></extLst></dimension>', NS)),
    (ROOT + b'<o:dimension xmlns:o="urn:o" ref="Z9"/><dimension ref="B2"/></worksheet>',
     (b'<dimension ref="B2"/>', NS)),
    (ROOT + b'<x xmlns:r="urn:r2"><dimension xmlns:q="urn:q" q:k="1" ref=\'A1:B2\'/></x></worksheet>',
     (b"<dimension xmlns:q=\"urn:q\" q:k=\"1\" ref='A1:B2'/>",
      [("", MAIN), ("r", "urn:r2"), ("mc", "urn:mc")])),
    (ROOT + b'<sheetData><row><c><dimension ref="C3"/></c></row></sheetData></worksheet>',
     (b'<dimension ref="C3"/>', NS)),
    (ROOT + b'<dimension ref="a>b"\n/></worksheet>', (b'<dimension ref="a>b"\n/>', NS)),
])
def test_found_or_not(data, expected):
    assert both(data) == expected
    assert both(data, 2) == expected


@pytest.mark.parametrize("data, message", [
    (ROOT + b'<dimension ref="A1"><sheetData/></dimension></worksheet>',
     "unsupported: nested element handled by dispatcher"),
    (ROOT + b'<dimension ref="A1"><x><dimension/></x></dimension></worksheet>',
     "unsupported: nested element handled by dispatcher"),
    (ROOT + b'<dimension ref="A1"><extLst>', "malformed: unclosed element"),
    ("<worksheet/>".encode("utf-16"), "unsupported: utf-16"),
])
def test_refused(data, message):
    with pytest.raises(NativeFallback) as info:
        native.find_dimension(Chunks(data))
    assert str(info.value) == message


def test_source_errors_propagate_and_package_falls_back():
    class Failing:
        def read(self, n):
            raise OSError("gone")

    with pytest.raises(OSError, match="gone"):
        native.find_dimension(Failing())
    with pytest.raises(TypeError, match="source"):
        native.find_dimension()
    nested = ROOT + b'<dimension ref="A1"><x><dimension/></x></dimension></worksheet>'
    stream = io.BytesIO(b"xx" + nested)
    stream.seek(2)
    expected = (b'<dimension ref="A1"><x><dimension/></x></dimension>', NS)
    assert find_dimension(stream) == expected
    assert find_dimension(nested) == expected
    assert find_dimension(ROOT + b"</worksheet>") is None


@given(st.lists(st.sampled_from([
    b"<sheetPr><tabColor rgb='FF0000'/></sheetPr>", b'<dimension ref="A1:B2"/>',
    b'<dimension ref="C1">\r\n<!-- c --></dimension>', b"<sheetViews/>", b"<cols><col min='1'/></cols>",
    b"<sheetData><row r='1'/></sheetData>", b'<p:dimension xmlns:p="urn:p" ref="Q"/>',
    b'<g xmlns:r="urn:other"><dimension ref="D4"/></g>', b"<?pi x?>", b"\n  ",
]), max_size=6), st.sampled_from([1, 5, 65536]))
def test_engine_equals_python_finder(children, size):
    both(ROOT + b"".join(children) + b"</worksheet>", size)
