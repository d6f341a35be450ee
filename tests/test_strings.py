"""read_string_table against the host's own shared-string reader."""

import gc
import io

import pytest
from hypothesis import given, strategies as st

from tavrinex import _tavrinex as native
from tavrinex._native import NativeFallback
from tavrinex.helpers import reader_helpers
from tavrinex.reader.strings import read_shared_strings, read_shared_strings_py
from tavrinex.text import si_content

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
HEAD = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n<sst xmlns="%s" count="9">' % MAIN


def table(*items):
    return (HEAD + "".join(items) + "</sst>").encode()


class Chunks:
    """A source that hands out at most `size` bytes per read."""

    def __init__(self, data, size=65536):
        self.data, self.size, self.off, self.calls = data, size, 0, 0

    def read(self, n):
        self.calls += 1
        chunk = self.data[self.off:self.off + min(n, self.size)]
        self.off += len(chunk)
        return chunk


def native_read(data, size=65536, **overrides):
    helpers = reader_helpers()
    helpers.update(overrides)
    return native.read_string_table(Chunks(data, size), helpers)


def test_plain_items_and_x005f_removal():
    data = table("<si><t>a</t></si>", "<si><t>b_x005F_d</t></si>", "<si><t>x005F_x005F_y</t></si>")
    assert native_read(data) == ["a", "b_d", "y"]


@pytest.mark.parametrize("text", [
    "x", "xx", "x005F", "x005F_", "xx005F_", "abcx005F", "abcx005F_", "x005Fx005F_",
    "x005F_x005F_x005F_", "tail x005f_ lower", "x00x005F_5F_", "a" * 200 + "x005F_",
    "x" * 40 + "005F_" + "x" * 7, "\u00e9x005F_\u4e2d", "x005F_&amp;", "boxes x 005F_",
])
def test_x005f_anywhere_in_plain_items(text):
    data = table("<si><t>%s</t></si>" % text, "<si><t>%s.</t></si>" % text)
    got = native_read(data)
    assert got == read_shared_strings_py(io.BytesIO(data))
    # one pass, left to right, as str.replace does
    plain = text.replace("&amp;", "&").replace("x005F_", "")
    assert got == [plain, (text + ".").replace("&amp;", "&").replace("x005F_", "")]


@pytest.mark.parametrize("read_size", [1, 65536])
def test_common_item_shapes(read_size):
    data = (b'<p:sst xmlns:p="%s"><p:si><p:t>pre&#x41;\r\n</p:t></p:si><p:si><t>u</t></p:si>'
            b'<p:si><t></t></p:si><p:si><t>\xc3\xa9&lt;</t> </p:si></p:sst>') % MAIN.encode()
    assert native_read(data, read_size) == ["preA\n", "u", "", "\u00e9<"]
    assert native_read(data, read_size) == read_shared_strings_py(io.BytesIO(data))


def test_phonetic_item_goes_to_si_content_and_its_value_is_kept():
    data = table('<si><t>abc</t><rPh sb="0" eb="1"><t>x</t></rPh></si>', "<si><t>p</t></si>")
    marker = object()
    calls = []

    def spy(snippet, namespaces):
        calls.append((snippet, namespaces))
        return marker

    assert native_read(data, si_content=spy) == [marker, "p"]
    assert calls == [(b'<si><t>abc</t><rPh sb="0" eb="1"><t>x</t></rPh></si>', [("", MAIN)])]


@pytest.mark.parametrize("data, expected", [
    (table(), []),
    (b"<sst xmlns='%s'/>" % MAIN.encode(), []),
    (b"<root xmlns='%s'><si><t>any root</t></si><x:si xmlns:x='urn:x'/></root>" % MAIN.encode(),
     ["any root"]),
    (b"<sst><si><t>no namespace</t></si></sst>", []),
])
def test_table_shapes(data, expected):
    assert native_read(data) == expected == read_shared_strings_py(io.BytesIO(data))


@pytest.mark.parametrize("data, message", [
    (table("<x><si><t>a</t></si></x>"), "unsupported: nested si"),
    (table("<si><t>a</t><si/></si>"), "unsupported: nested element handled by dispatcher"),
    ((HEAD + "<si><t>a</t>").encode(), "malformed: unclosed element"),
    ("<sst/>".encode("utf-16"), "unsupported: utf-16"),
    (b"<!DOCTYPE sst><sst/>", "unsupported: doctype"),
    (table("<si><t>a\x01</t></si>"), "malformed: invalid character"),
    (table("<si><t>a]]>b</t></si>"), "malformed: ]]> in text"),
    (table("<si><t>&bad;</t></si>"), "malformed: undefined entity"),
    (table("<si><t>a</t></sj>"), "malformed: mismatched tag"),
])
def test_refused_tables(data, message):
    with pytest.raises(NativeFallback) as info:
        native_read(data)
    assert str(info.value) == message


def test_source_and_helper_failures_propagate():
    class Failing:
        def read(self, n):
            raise OSError("disk")

    class Text:
        def read(self, n):
            return "<sst/>"

    with pytest.raises(OSError, match="disk"):
        native.read_string_table(Failing(), reader_helpers())
    with pytest.raises(TypeError, match="str"):
        native.read_string_table(Text(), reader_helpers())
    with pytest.raises(ZeroDivisionError):
        native_read(table("<si foo='1'/>"), si_content=lambda s, n: 1 / 0)
    with pytest.raises(TypeError, match="helpers"):
        native.read_string_table(Chunks(table()), [])
    helpers = reader_helpers()
    del helpers["si_content"]
    with pytest.raises(BaseException, match="si_content helper") as info:
        native.read_string_table(Chunks(table()), helpers)
    assert not isinstance(info.value, Exception)


def test_package_reader_falls_back_and_rewinds():
    data = b'<!DOCTYPE sst><sst xmlns="' + MAIN.encode() + b'"><si><t>a_x005F_</t></si></sst>'
    stream = io.BytesIO(b"junk" + data)
    stream.seek(4)
    assert read_shared_strings(stream) == ["a_"]
    assert read_shared_strings(data) == ["a_"]
    assert read_shared_strings(table("<si><t>q</t></si>")) == ["q"]


# ---------------------------------------------------------------- differential

TEXT = st.lists(st.sampled_from([
    "a", "b c", " ", "&amp;", "&lt;&gt;", "&#233;", "&#x1F600;", "\r\n", "\r", "\n", "\t",
    "_x005F_", "x005F_", "_x0041_", "\u00e9", "\u4e2d", "<![CDATA[&x\r\n]]>", "<!-- c -->",
]), max_size=5).map("".join)
GOOD_RPR = ["<rPr><b/></rPr>", "<rPr><sz val='11'/><color theme='1'/></rPr>", "<rPr/>",
            "<rPr><rFont val='Arial'/><i val='0'/></rPr>"]
BAD_RPR = ["<rPr><glow/></rPr>", "<rPr><b val='x'/></rPr>", "<rPr><b/><b/></rPr>"]


@st.composite
def item(draw):
    """(xml, goes_to_python)"""
    python = False
    attrs = ""
    if draw(st.integers(0, 9)) == 0:
        attrs, python = ' count="1"', True
    elif draw(st.booleans()):
        attrs = ' xml:space="preserve"'
    parts = []
    if draw(st.booleans()):
        parts.append("<t>%s</t>" % draw(TEXT))
    for _ in range(draw(st.integers(0, 3))):
        run = []
        if draw(st.booleans()):
            bad = draw(st.integers(0, 5)) == 0
            run.append(draw(st.sampled_from(BAD_RPR if bad else GOOD_RPR)))
            python |= bad
        if draw(st.integers(0, 5)):
            run.append("<t>%s</t>" % draw(TEXT))
        rattr = ""
        if draw(st.integers(0, 15)) == 0:
            rattr, python = ' k="v"', True
        parts.append("<r%s>%s</r>" % (rattr, "".join(run)))
    if draw(st.integers(0, 6)) == 0:
        parts.append(draw(st.sampled_from(['<rPh sb="0" eb="1"><t>ph</t></rPh>',
                                           '<phoneticPr fontId="0"/>'])))
        python = True
    if draw(st.integers(0, 8)) == 0:
        parts.append("<extLst><ext><t>ignored</t></ext></extLst>")
    ws = draw(st.sampled_from(["", "\n  "]))
    body = ws.join(parts)
    xml = "<si%s>%s</si>" % (attrs, body) if body or draw(st.booleans()) else "<si%s/>" % attrs
    return xml, python


@given(st.lists(item(), max_size=12), st.sampled_from([1, 7, 65536]))
def test_engine_equals_host_reader(entries, read_size):
    data = table(*(x for x, _ in entries))
    calls = []

    def counting(snippet, namespaces):
        calls.append(snippet)
        return si_content(snippet, namespaces)

    got = native_read(data, read_size, si_content=counting)
    assert got == read_shared_strings_py(io.BytesIO(data))
    assert calls == [x.encode() for x, python in entries if python]


# ---------------------------------------------------------------- runs of plain items

BREAKERS = ["<si><t>a&amp;b</t></si>", "<si><t>x005F_y</t></si>", "<si><t>cr\r\nlf</t></si>",
            "<si><t>\u00e9t\u00e9</t></si>", "<si/>", "<si><r><t>rich</t></r></si>",
            '<si><t xml:space="preserve"> s </t></si>', "<si><t>]]</t></si>", "\n  ",
            "<!-- c --><si><t>after comment</t></si>", "<si><t><![CDATA[cd]]></t></si>"]


@pytest.mark.parametrize("read_size", [1, 7, 500, 65536])
def test_runs_of_plain_items_across_reads(read_size):
    rnd = __import__("random").Random(read_size)
    items = []
    for i in range(3000):
        if rnd.random() < 0.1:
            items.append(rnd.choice(BREAKERS))
        else:
            # lengths around the read window and the scan's 16-byte steps
            items.append("<si><t>%s</t></si>" % ("%d fox>trot ]" % i * rnd.choice([0, 1, 3, 17]))[:rnd.choice([5, 15, 16, 17, 300])])
    items.append("<si><t>%s</t></si>" % ("long " * 3000))  # beyond one read
    items.append("<si><t>%s</t></si>" % ("y" * 300_000))   # beyond the widest raw window
    items.append("<si><t>last</t></si>")
    data = table(*items)
    got = native_read(data, read_size)
    assert got == read_shared_strings_py(io.BytesIO(data))
    assert len(got) == sum(1 for x in items if x.strip() and "<si" in x)
    assert got[-1] == "last" and got[-2] == "y" * 300_000


@pytest.mark.parametrize("data, expected", [
    # the default namespace bound on an item is not the one of its siblings
    (('<sst xmlns:m="%s"><si xmlns="%s"><t>in</t></si><si><t>out</t></si>'
      '<m:si><m:t>in2</m:t></m:si></sst>' % (MAIN, MAIN)).encode(), ["in", "in2"]),
    (('<sst xmlns="%s"><si><t>a</t></si><si><t>b</t></si><other/><si><t>c</t></si></sst>'
      % MAIN).encode(), ["a", "b", "c"]),
    (('<sst xmlns="%s"><si><t>a</t></si><si><t>b</t><t>c</t></si><si><t>d</t></si> </sst>'
      % MAIN).encode(), ["a", "c", "d"]),
])
def test_plain_runs_respect_structure(data, expected):
    assert native_read(data, 3) == native_read(data) == expected
    assert expected == read_shared_strings_py(io.BytesIO(data))


@pytest.mark.parametrize("bad, message", [
    ("<si><t>b\x01</t></si>", "malformed: invalid character"),
    ("<si><t>b]]>c</t></si>", "malformed: ]]> in text"),
    ("<si><t>&nope;</t></si>", "malformed: undefined entity"),
    ("<si><t>\xff</t></si>", "malformed: invalid utf-8"),
    ("<si><t>b</t></sj>", "malformed: mismatched tag"),
    ("<si><t>b</t>", "malformed: unclosed element"),
])
def test_errors_inside_a_run_of_plain_items(bad, message):
    head = HEAD.encode() + b"<si><t>a</t></si>" * 50
    data = head + bad.encode("latin-1") + (b"</sst>" if "unclosed" not in message else b"")
    for size in (1, 65536):
        with pytest.raises(NativeFallback) as info:
            native_read(data, size)
        assert str(info.value) == message


def test_source_failing_inside_a_run_of_plain_items():
    data = table(*["<si><t>item %d</t></si>" % i for i in range(5000)])

    class Breaks(Chunks):
        def read(self, n):
            if self.off > len(self.data) // 2:
                raise OSError("gone")
            return super().read(n)

    with pytest.raises(OSError, match="gone"):
        native.read_string_table(Breaks(data, 1000), reader_helpers())


@pytest.mark.parametrize("root_attrs, sized", [
    (' uniqueCount="3"', True), (' count="9" uniqueCount="1"', True), (' uniqueCount="500"', True),
    (' count="2"', True), (' uniqueCount="999999999999"', True), (' uniqueCount="-4"', False),
    (' uniqueCount="x"', False), (' uniqueCount=""', False), (' count="0"', False), ("", False)])
def test_declared_counts_are_only_a_hint(root_attrs, sized):
    items = ["<si><t>%d</t></si>" % i for i in range(3)] + ['<si foo="1"/>', "<si><t>e</t></si>"]
    data = ('<sst xmlns="%s"%s>%s</sst>' % (MAIN, root_attrs, "".join(items))).encode()
    seen = set()

    def collecting(snippet, namespaces):
        # a list sized up front has empty slots: no collection may reach it
        gc.collect()
        seen.update(id(o) for o in gc.get_objects() if type(o) is list)
        return "rich"

    got = native_read(data, si_content=collecting)
    assert got == ["0", "1", "2", "rich", "e"]
    assert (id(got) in seen) is not sized
    assert gc.is_tracked(got)
    got.append("more")
    assert got[-1] == "more" and len(got) == 6


@pytest.mark.parametrize("special, expect", [
    ("\x01", "malformed: invalid character"), ("&amp;", "&"), ("\r\n", "\n"), ("\u00e9", "\u00e9"),
    ("]]", "]]"), (">", ">"), ("\x7f", "\x7f"), ("x005F_", "")])
def test_special_bytes_at_every_offset_of_a_run(special, expect):
    # a run's bytes are scanned sixteen at a time: each offset around the
    # block edges, before the run's end, must be seen
    for before in range(0, 40):
        for after in (0, 1, 15, 16, 17):
            text = "a" * before + special + "b" * after
            data = table("<si><t>lead</t></si>", "<si><t>%s</t></si>" % text)
            if expect.startswith("malformed"):
                with pytest.raises(NativeFallback, match=expect.split(": ")[1]):
                    native_read(data)
            else:
                assert native_read(data) == ["lead", "a" * before + expect + "b" * after]
