"""The tokenizer's fast paths for plain tags and text runs against its
general parser: the same events, positions and errors, whatever the tag
looks like and wherever the reads split it."""

import pytest
from hypothesis import given, strategies as st

from tavrinex import _probe as probe
from tavrinex._native import NativeFallback

READ_SIZES = (1, 2, 3, 7, 65536)


def trace(data, read_size=65536, fast=True):
    try:
        return probe.xml_trace(data, read_size, fast)
    except NativeFallback as e:
        return str(e)


def assert_same(doc, sizes=READ_SIZES):
    expected = trace(doc, 65536, False)
    for size in sizes:
        assert trace(doc, size, True) == expected, size
    return expected


# ---------------------------------------------------------------- generated tags

NAMES = st.sampled_from(["a", "c", "row", "x_1", "n.m-2", "_u", "xmlns", "xml:space", "p:k",
                         "q:k", "k", "r", "é", ":a", "a:", "1a"])
VALUES = st.sampled_from(["", "1", "A1", "a b", "x>y", "&amp;", "&#10;", "&bad;", "&", "a<b",
                          "\t\n\r", "\u00e9", "\x01", "]]>", "urn:p", "\ufffe"])
GAPS = st.sampled_from([" ", "  ", "\t", "\r\n", ""])


@st.composite
def tag(draw):
    name = draw(st.sampled_from(["a", "c", "row", "p:e", "q:e", "z:e", "a.b-c_d"]))
    out = "<" + name
    for _ in range(draw(st.integers(0, 5))):
        q = draw(st.sampled_from(['"', "'"]))
        eq = draw(st.sampled_from(["=", " = ", "= ", "\t="]))
        out += f"{draw(GAPS)}{draw(NAMES)}{eq}{q}{draw(VALUES)}{q}"
    out += draw(st.sampled_from(["", " ", "\n"])) + draw(st.sampled_from([">", "/>", " />", "/ >"]))
    return out


@st.composite
def document(draw):
    parts = ['<root xmlns:p="urn:p" xmlns:q="urn:p">']
    for _ in range(draw(st.integers(1, 6))):
        t = draw(tag())
        parts.append(t)
        parts.append(draw(st.sampled_from(["", "text", "a &amp; b", "\r\n", "x]]>", "\u00e9"])))
        if t.endswith(">") and not t.endswith("/>") and not t.endswith("/ >"):
            name = t[1:].split()[0].rstrip(">")
            parts.append(f"</{name}>")
    parts.append("</root>")
    return "".join(parts).encode()


@given(document())
def test_generated_tags_agree_with_the_general_parser(doc):
    assert_same(doc)


@given(document(), st.integers(0, 200))
def test_tags_split_at_the_buffer_boundary_agree(doc, shift):
    # A filler text run puts the tags right after the first 65536 bytes.
    head = b"<w>" + b"t" * (65536 - 3 - shift)
    assert_same(head + doc + b"</w>", sizes=(65536, 4096))


# ---------------------------------------------------------------- chosen cases


def test_declarations_after_a_run_of_plain_tags():
    doc = (b"<r>" + b'<c a="1"/>' * 50 + b'<c xmlns="urn:x" a="1"><d/></c>'
           + b'<c xmlns:p="urn:p" p:a="1" a="2"/>' + b'<c a="1"/><d/></r>')
    got = assert_same(doc)
    starts = [e for e in got if e[0] in (0, 1)]
    # Inside the declaring tag its default namespace applies, then no longer.
    assert [s[1] for s in starts[51:54]] == [3, 3, 0]
    assert [a[6] for a in starts[53][4]] == [4, 0]
    assert [s[1] for s in starts[54:]] == [0, 0]


@pytest.mark.parametrize("split", range(-12, 4))
def test_names_and_values_across_the_first_read(split):
    # The element name, attribute name, value and '>' each in turn straddle
    # byte 65536, where the first read ends.
    tag = b'<element attribute="value">'
    head = b"<w>" + b"t" * (65536 - 3 - len(tag) - split)
    doc = head + tag + b"x</element></w>"
    got = assert_same(doc, sizes=(65536,))
    start = got[2]
    assert start[2] == b"element" and start[5] == len(head) and start[6] == len(head) + len(tag)
    assert start[4][0][4:6] == (len(head) + 20, len(head) + 25)


@pytest.mark.parametrize("doc, message", [
    # A repeated name is found while attributes are read, before later faults.
    (b'<e b="1" b="2" c="<"/>', "duplicate attribute"),
    (b'<e c="<" b="1" b="2"/>', "< in attribute"),
    (b'<e b="1" b="2" c="&bad;"/>', "duplicate attribute"),
    (b'<e c="&bad;" b="1" b="2"/>', "undefined entity"),
    (b'<e b="1"c="2" b="1"/>', "missing whitespace between attributes"),
    (b'<e b="1" b="2" xmlns:xmlns="u"/>', "duplicate attribute"),
    (b'<e xmlns:xmlns="u" b="1" b="2"/>', "xmlns prefix"),
    # ... and before prefixes are resolved.
    (b'<e z:b="1" z:b="2"/>', "duplicate attribute"),
    (b'<z:e b="1" b="2"/>', "duplicate attribute"),
    # The same namespace and local name under two prefixes is found after
    # every attribute was read and every prefix resolved.
    (b'<r xmlns:p="urn:u" xmlns:q="urn:u"><e p:b="1" q:b="2" c="<"/></r>', "< in attribute"),
    (b'<r xmlns:p="urn:u" xmlns:q="urn:u"><e p:b="1" q:b="2" z:c="3"/></r>', "unbound prefix"),
    (b'<r xmlns:p="urn:u"><e p:b="1" xmlns:q="urn:u" q:b="2"/></r>', "duplicate attribute"),
    (b'<r xmlns:p="urn:u" xmlns:q="urn:v"><e p:b="1" q:b="2"/></r>', None),
    # A prefixed and an unprefixed attribute never share a namespace.
    (b'<r xmlns:p="urn:u"><e p:b="1" b="2" xml:b="3" xmlns:q="urn:w" q:b="4"/></r>', None),
    (b'<r xmlns:p="urn:u"><e p:b="1" b="2" xmlns:q="urn:u" q:b="4"/></r>',
     "duplicate attribute"),
    # A fault inside a tag that never closes.
    (b'<e b="1" b="2"', "unclosed tag"),
    (b'<e b="1" c="<"', "unclosed tag"),
])
def test_tags_with_several_faults_report_the_first_in_order(doc, message):
    got = assert_same(doc)
    if message is None:
        assert isinstance(got, list)
    else:
        assert got == f"malformed: {message}"


@pytest.mark.parametrize("count", [15, 16, 17, 32, 33])
def test_tags_around_the_attribute_limits(count):
    attrs = b"".join(b' a%d="%d"' % (i, i) for i in range(count))
    got = assert_same(b"<e" + attrs + b"/>")
    assert len(got[0][4]) == count
    assert assert_same(b"<e" + attrs + b' a0="x"/>') == "malformed: duplicate attribute"


@pytest.mark.parametrize("doc", [
    b'<e xmlns="urn:d" a="1"/>',
    b"<e a='1' b=\"2\"\t/>",
    b'<e a="\xc3\xa9" b="&#xE9;"/>',
    b'<e a="1"/ >',
    b'<e a="1" / >',
    b'<e\ta\n=\r"1"/>',
])
def test_tags_just_outside_the_plain_form(doc):
    assert_same(doc)
