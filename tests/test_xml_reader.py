"""The XML tokenizer: events, well-formedness errors, namespaces, capture,
chunked input, and a differential run against expat."""

from xml.parsers import expat

import pytest
from hypothesis import given, strategies as st

from tavrinex import _probe as probe
from tavrinex._native import NativeFallback

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
XML_NS = "http://www.w3.org/XML/1998/namespace"
SIZES = (1, 2, 3, 7, 65536)


def events(data, read_size=65536):
    return probe.xml_events(data, read_size)


def outcome(data, read_size=65536):
    try:
        return events(data, read_size)
    except NativeFallback as e:
        return str(e)


def error(data):
    with pytest.raises(NativeFallback) as info:
        events(data)
    return str(info.value)


S = lambda name, attrs=(), empty=False, ns="": ("start", ns, name, list(attrs), empty)
E = lambda name, ns="": ("end", ns, name)
T = lambda text, cdata=False: ("text", text, cdata)


@pytest.mark.parametrize("doc, expected", [
    (b"<a/>", [S("a", empty=True), E("a")]),
    (b'\xef\xbb\xbf<?xml version="1.0" encoding="UTF-8"?><a/>', [S("a", empty=True), E("a")]),
    (b"<?xml version='1.0' standalone='yes'?>\n<a/>", [S("a", empty=True), E("a")]),
    (b'<?xml version="1.0" encoding="utf-8" standalone="no" ?><a/>', [S("a", empty=True), E("a")]),
    (b'<?xml-stylesheet href="a"?><a/>', [S("a", empty=True), E("a")]),
    (b"<a/>  <!-- note --> <?pi x?>\n", [S("a", empty=True), E("a")]),
    (b"<a>x<!--c-->y</a>", [S("a"), T("x"), T("y"), E("a")]),
    (b"<a><![CDATA[]]></a>", [S("a"), T("", True), E("a")]),
    (b"<a><![CDATA[<&>\r\n]]]></a>", [S("a"), T("<&>\n]", True), E("a")]),
    (b'<a b="1>2"/>', [S("a", [("", "b", "1>2")], True), E("a")]),
    (b"<a b='x\r\ny\tz' c=\"&#10;&lt;\"/>",
     [S("a", [("", "b", "x y z"), ("", "c", "\n<")], True), E("a")]),
    (b"<a>a\r\nb\rc&#13;&amp;&#x1F600;&#233;</a>", [S("a"), T("a\nb\nc\r&\U0001F600\u00e9"), E("a")]),
    (b"<a>\xc3\xa9\xe2\x82\xac\x7f</a>", [S("a"), T("\u00e9\u20ac\x7f"), E("a")]),
    (b"<a >\n<b\t/></a \n>", [S("a"), T("\n"), S("b", empty=True), E("b"), E("a")]),
    (b"<a xml:space='preserve'/>", [S("a", [(XML_NS, "space", "preserve")], True), E("a")]),
    (b'<x:a xmlns:x="urn:u" x:b="1" b="2"/>',
     [S("a", [("urn:u", "b", "1"), ("", "b", "2")], True, "urn:u"), E("a", "urn:u")]),
    (b'<a xmlns="urn:d"><b xmlns=""/></a>',
     [S("a", ns="urn:d"), S("b", empty=True), E("b"), E("a", "urn:d")]),
    (b'<a xmlns:xml="http://www.w3.org/XML/1998/namespace"/>', [S("a", empty=True), E("a")]),
    (b'<a xmlns="urn:&amp;&#x20;"/>', [S("a", empty=True, ns="urn:& "), E("a", "urn:& ")]),
])
def test_accepted_documents(doc, expected):
    assert events(doc) == expected


@pytest.mark.parametrize("doc, message", [
    (b"", "malformed: no element found"),
    (b"  <!-- only -->", "malformed: no element found"),
    (b"\xfe\xff\x00<", "unsupported: utf-16"),
    (b"\xff\xfe<\x00", "unsupported: utf-16"),
    (b"<\x00a\x00", "unsupported: utf-16"),
    (b'<?xml version="1.0"', "malformed: unclosed decl"),
    (b'<?xml version="1.1"?><a/>', "unsupported: xml version"),
    (b'<?xml version="1.0" encoding="latin-1"?><a/>', "unsupported: encoding"),
    (b'<?xml version="1.0" encoding=""?><a/>', "unsupported: encoding"),
    (b"<?xml version='1.0' standalone='maybe'?><a/>", "malformed: bad standalone"),
    (b"<?xml?><a/>", "malformed: bad decl"),
    (b'<?xml encoding="utf-8" version="1.0"?><a/>', "malformed: bad decl"),
    (b'<?xml version="1.0"encoding="utf-8"?><a/>', "malformed: bad decl"),
    (b'<?xml version="1.0" standalone="no" encoding="utf-8"?><a/>', "malformed: bad decl"),
    (b'<?xml version="1.0" foo="x"?><a/>', "malformed: bad decl"),
    (b'<?xml version="1.0?><a/>', "malformed: bad decl"),
    (b' <?xml version="1.0"?><a/>', "malformed: misplaced xml declaration"),
    (b"<a><?XmL x?></a>", "malformed: misplaced xml declaration"),
    (b"<a>", "malformed: unclosed element"),
    (b"<a>x</a>y", "malformed: junk outside root"),
    (b"x<a/>", "malformed: junk outside root"),
    (b"<a/><b/>", "malformed: junk after document element"),
    (b"<a/><", "malformed: unclosed token"),
    (b"<a><!-- x", "malformed: unclosed comment"),
    (b"<a><!-- a -- b --></a>", "malformed: -- in comment"),
    (b"<a><!-- a ---></a>", "malformed: -- in comment"),
    (b"<![CDATA[x]]><a/>", "malformed: cdata outside root"),
    (b"<a><![CDATA[x", "malformed: unclosed cdata"),
    (b"<!DOCTYPE a><a/>", "unsupported: doctype"),
    (b"<a><!ELEMENT a></a>", "malformed: bad markup declaration"),
    (b"<a><?pi", "malformed: unclosed pi"),
    (b"<a><?1x?></a>", "malformed: bad pi"),
    (b"<a><??></a>", "malformed: bad pi"),
    (b"<a><?pi\x01?></a>", "malformed: bad pi"),
    (b"<a><?p:i x?></a>", "malformed: colon in pi target"),
    (b"<a>]]></a>", "malformed: ]]> in text"),
    (b"<a b='1'", "malformed: unclosed tag"),
    (b"<a></a", "malformed: unclosed end tag"),
    (b"<>", "malformed: expected name"),
    (b"<a></>", "malformed: expected name"),
    (b"<1a/>", "malformed: bad name"),
    (b"< a/>", "malformed: bad name"),
    (b"<\xc3\xa9/>", "unsupported: non-ascii name"),
    (b"<a\xc3\xa9/>", "unsupported: non-ascii name"),
    (b"<a b\xc3\xa9='1'/>", "unsupported: non-ascii name"),
    (b"<a></a b>", "malformed: bad end tag"),
    (b"<a></b>", "malformed: mismatched tag"),
    (b"<a><b></a></b>", "malformed: mismatched tag"),
    (b'<a b="1"d="2"/>', "malformed: missing whitespace between attributes"),
    (b"<a b/>", "malformed: expected ="),
    (b"<a b=1/>", "malformed: expected quote"),
    (b'<a b="1<2"/>', "malformed: < in attribute"),
    (b'<a b="1" b="2"/>', "malformed: duplicate attribute"),
    (b'<a xmlns:p="u" xmlns:p="v"/>', "malformed: duplicate attribute"),
    (b"<a>\x01</a>", "malformed: invalid character"),
    (b"<a b='\x0c'/>", "malformed: invalid character"),
    (b"<a>\xef\xbf\xbe</a>", "malformed: invalid character"),
    (b"<a><!-- \x00 --></a>", "malformed: invalid character"),
    (b"<a>\xc0\xaf</a>", "malformed: invalid utf-8"),
    (b"<a>\xed\xa0\x80</a>", "malformed: invalid utf-8"),
    (b"<a>\xf4\x90\x80\x80</a>", "malformed: invalid utf-8"),
    (b"<a>\xe2\x82</a>", "malformed: invalid utf-8"),
    (b"<a b='\xff'/>", "malformed: invalid utf-8"),
    (b"<a>a & b</a>", "malformed: bad reference"),
    (b"<a>&nbsp;</a>", "malformed: undefined entity"),
    (b"<a>&#;</a>", "malformed: undefined entity"),
    (b"<a>&;</a>", "malformed: undefined entity"),
    (b"<a>&AMP;</a>", "malformed: undefined entity"),
    (b"<a>&#x;</a>", "malformed: bad char ref"),
    (b"<a>&#12345678901;</a>", "malformed: bad char ref"),
    (b"<a>&#4294967296;</a>", "malformed: bad char ref"),
    (b"<a>&#X41;</a>", "malformed: bad char ref"),
    (b"<a>&#12a;</a>", "malformed: bad char ref"),
    (b"<a>&#0;</a>", "malformed: invalid char ref"),
    (b"<a b='&#xD800;'/>", "malformed: invalid char ref"),
    (b"<a>&#xFFFE;</a>", "malformed: invalid char ref"),
    (b"<a>&#x110000;</a>", "malformed: invalid char ref"),
    # namespaces
    (b"<:a/>", "unsupported: bad qname"),
    (b"<a:/>", "unsupported: bad qname"),
    (b"<a:b:d/>", "unsupported: bad qname"),
    (b"<a xmlns:='u'/>", "unsupported: bad qname"),
    (b"<a:1/>", "malformed: bad qname"),
    (b"<a x:-b='1'/>", "malformed: bad qname"),
    (b'<a xmlns:xml="urn:x"/>', "malformed: xml prefix"),
    (b'<a xmlns:xmlns="http://www.w3.org/2000/xmlns/"/>', "malformed: xmlns prefix"),
    (b'<a xmlns="http://www.w3.org/2000/xmlns/"/>', "malformed: reserved namespace"),
    (b'<a xmlns:p="http://www.w3.org/XML/1998/namespace"/>', "malformed: reserved namespace"),
    (b'<a xmlns:p=""/>', "malformed: empty prefixed namespace"),
    (b"<p:a/>", "malformed: unbound prefix"),
    (b'<a p:b="1"/>', "malformed: unbound prefix"),
    (b'<a xmlns:p="u"><p:b/></a><p:c/>', "malformed: junk after document element"),
    (b'<a xmlns:p="u"/>', None),
    (b'<a xmlns:p="u" xmlns:q="u" p:b="1" q:b="2"/>', "malformed: duplicate attribute"),
])
def test_refused_documents(doc, message):
    if message is None:
        events(doc)
    else:
        assert error(doc) == message


def test_end_of_document_repeats_and_namespace_scope_ends():
    # The end of a scope really pops the binding: the prefix is unbound after it.
    assert error(b'<r><a xmlns:p="u"/><p:b/></r>') == "malformed: unbound prefix"
    assert events(b'<r xmlns:p="u"><a xmlns:p="v"><p:b/></a><p:b/></r>')[2:4] == [
        S("b", empty=True, ns="v"), E("b", "v")]


CHUNKED_DOCS = [
    b'\xef\xbb\xbf<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n'
    b'<!-- lead --><?pi data?><w xmlns="' + MAIN.encode() + b'" xmlns:r="urn:r">'
    b'<row r="1" spans="1:3"><c r="A1" t="s"><v>0</v></c><c r="B1"><f>SUM(A1:A3)&amp;"x"</f></c>'
    b"</row><t xml:space='preserve'> a\r\nb &#x20AC;\xe2\x82\xac <![CDATA[x]]y]]></t>"
    b"<r:e r:k='v&apos;&quot;' k=\"1>0\"/></w>\n<!-- tail -->",
    b"<a>" + b"x" * 5000 + b"&amp;" + b"\xc3\xa9" * 700 + b"</a>",
    b"<a>x</a>y",
    b"<a b='&#0;'/>",
    b"<a><b>",
]


@pytest.mark.parametrize("doc", CHUNKED_DOCS)
def test_read_size_does_not_change_the_result(doc):
    results = [outcome(doc, n) for n in SIZES]
    assert all(r == results[0] for r in results)


def _at_boundary(construct, offset_in_construct):
    """<a> + padding + construct, with construct[offset_in_construct] at
    document offset 65535 (the last byte of the first read)."""
    pad = 65535 - offset_in_construct - 3
    return b"<a>" + b"p" * pad + construct + b"</a>"


@pytest.mark.parametrize("construct, at, expected_tail", [
    (b"<!--c-->", 5, None),            # `-->`
    (b"<![CDATA[z]]>", 10, T("z", True)),  # `]]>`
    (b"<?pi v?>", 6, None),            # `?>`
    (b"<b k='>' j=\"'\"/>", 6, S("b", [("", "k", ">"), ("", "j", "'")], True)),
    (b"<b></b>", 5, E("b")),           # end tag `>`
    (b"<b\n/>", 3, S("b", empty=True)),
    (b"&amp;", 2, None),
])
def test_delimiters_split_across_reads(construct, at, expected_tail):
    doc = _at_boundary(construct, at)
    got = events(doc)
    assert got == events(doc, 7)
    assert got[0] == S("a") and got[-1] == E("a")
    if expected_tail is not None:
        assert expected_tail in got


def test_split_cdata_end_in_text_is_still_refused():
    doc = _at_boundary(b"]]>", 1)
    assert error(doc) == "malformed: ]]> in text"


def test_xml_declaration_split_across_reads():
    doc = b'<?xml version="1.0"' + b" " * (65535 - 19) + b'?><a/>'
    assert events(doc) == [S("a", empty=True), E("a")]


def test_capture_of_element_larger_than_a_read():
    inner = b"".join(b'<c r="A%d"><v>%d</v></c>' % (i, i) for i in range(12000))
    target = b'<d xmlns:q="urn:q" q:k="1">' + inner + b"</d>"
    assert len(target) > 3 * 65536
    doc = (b'<w xmlns="' + MAIN.encode() + b'"><x>' + b"y" * 300000 + b"</x>" + target
           + b"<d/></w>")
    for n in (4093, 65536):
        got = probe.xml_capture(doc, "d", n)
        assert got == [(target, [("", MAIN)]), (b"<d/>", [("", MAIN)])]


def test_capture_namespaces_in_scope():
    doc = (b'<w xmlns="' + MAIN.encode() + b'" xmlns:r="urn:r1"><s xmlns:r="urn:r2" xmlns:t="urn:t">'
           b'<dimension ref="A1:C3" xmlns:z="urn:z"/></s></w>')
    assert probe.xml_capture(doc, "dimension") == [
        (b'<dimension ref="A1:C3" xmlns:z="urn:z"/>', [("", MAIN), ("r", "urn:r2"), ("t", "urn:t")])]
    assert probe.xml_capture(doc, "w") == [(doc, [])]


def test_capture_refuses_truncated_element():
    with pytest.raises(NativeFallback, match="unclosed element|unexpected eof"):
        probe.xml_capture(b"<w><d><x/>", "d")


@pytest.mark.parametrize("read_size", [1, 5, 65536])
def test_raw_access_skips_content_across_refills(read_size):
    body = b"".join(b"<c r='A%d'><v>%d</v></c>" % (i, i) for i in range(9000))
    doc = b"<w><sheetData>" + body + b"</sheetData><tail k='v'>t</tail></w>"
    got = probe.xml_skip_raw(doc, "sheetData", read_size)
    assert got == [S("w"), S("sheetData"), ("skipped", body), E("sheetData"),
                   S("tail", [("", "k", "v")]), T("t"), E("tail"), E("w")]


# ---------------------------------------------------------------- differential

def expat_events(data):
    """Events of expat with namespace processing, text runs merged."""
    out = []
    p = expat.ParserCreate(namespace_separator="\x01")
    p.ordered_attributes = True

    def split(name):
        uri, _, local = name.rpartition("\x01")
        return uri, local

    def start(name, attrs):
        pairs = [(*split(attrs[k]), attrs[k + 1]) for k in range(0, len(attrs), 2)]
        out.append(("start", *split(name), pairs))

    def text(data):
        if out and out[-1][0] == "text":
            out[-1] = ("text", out[-1][1] + data)
        else:
            out.append(("text", data))

    p.StartElementHandler = start
    p.EndElementHandler = lambda name: out.append(("end", *split(name)))
    p.CharacterDataHandler = text
    p.Parse(data, True)
    return out


def merged(evs):
    out = []
    for ev in evs:
        if ev[0] == "text":
            if not ev[1]:
                continue
            if out and out[-1][0] == "text":
                out[-1] = ("text", out[-1][1] + ev[1])
            else:
                out.append(("text", ev[1]))
        elif ev[0] == "start":
            out.append(ev[:4])
        else:
            out.append(ev)
    return out


MESSAGES = {
    "utf-16", "unclosed decl", "xml version", "encoding", "bad standalone", "bad decl",
    "unclosed element", "no element found", "junk outside root", "junk after document element",
    "unclosed token", "unclosed comment", "-- in comment", "cdata outside root", "unclosed cdata",
    "doctype", "bad markup declaration", "unclosed pi", "bad pi", "misplaced xml declaration",
    "colon in pi target", "]]> in text", "unclosed tag", "unclosed end tag", "expected name",
    "bad name", "non-ascii name", "bad end tag", "mismatched tag",
    "missing whitespace between attributes", "expected =", "expected quote",
    "unterminated attribute", "< in attribute", "duplicate attribute", "invalid character",
    "invalid utf-8", "bad reference", "undefined entity", "bad char ref", "invalid char ref",
    "bad qname", "unbound prefix", "xmlns prefix", "xml prefix", "reserved namespace",
    "empty prefixed namespace",
}

PREFIXES = ["", "a", "b"]
URIS = ["urn:one", "urn:two", MAIN, ""]
TEXTS = st.lists(st.sampled_from([
    "x", " ", "\r\n", "\r", "\t", "&amp;", "&lt;", "&#65;", "&#x20AC;", "\u00e9", "\U0001F600",
    "<![CDATA[c]d>]]>", "<!--n-->", "<?pi v?>", "]]", "&quot;", "&#13;",
]), max_size=4).map("".join)


@st.composite
def element(draw, depth=0, declared=()):
    declared = list(declared)
    decls = []
    for prefix in draw(st.lists(st.sampled_from(PREFIXES), max_size=2, unique=True)):
        uri = draw(st.sampled_from(URIS if prefix == "" else URIS[:3]))
        decls.append(f' xmlns{":" + prefix if prefix else ""}="{uri}"')
        declared.append(prefix)
    bound = [p for p in declared if p]
    prefix = draw(st.sampled_from([""] + bound))
    name = (prefix + ":" if prefix else "") + draw(st.sampled_from(["e", "row", "c", "v"]))
    attrs = []
    for aname in draw(st.lists(st.sampled_from(["k", "r", "xml:space"] + [p + ":k" for p in bound]),
                               max_size=3, unique=True)):
        value = draw(st.sampled_from(["1", "a b", "&amp;&#10;", "x\ty\r\nz", "\u00e9", ">"]))
        q = draw(st.sampled_from(['"', "'"]))
        attrs.append(f" {aname}={q}{value}{q}")
    head = f"<{name}{''.join(decls)}{''.join(attrs)}"
    if depth >= 3 or draw(st.booleans()):
        return head + draw(st.sampled_from(["/>", " />"]))
    parts = [draw(TEXTS)]
    for _ in range(draw(st.integers(0, 3))):
        parts.append(draw(element(depth + 1, declared)))
        parts.append(draw(TEXTS))
    return head + ">" + "".join(parts) + f"</{name}>"


@st.composite
def document(draw):
    prolog = draw(st.sampled_from(["", '<?xml version="1.0" encoding="UTF-8"?>\n', "\ufeff",
                                   "<!-- c -->\n"]))
    doc = (prolog + draw(element()) + draw(st.sampled_from(["", "\n", "<!--t-->"]))).encode()
    data = bytearray(doc)
    for _ in range(draw(st.integers(0, 3))):
        if not data:
            break
        i = draw(st.integers(0, len(data) - 1))
        op = draw(st.sampled_from(["insert", "delete", "replace"]))
        b = draw(st.sampled_from(b"<>&;:\"'/!?-[]= x\x00\x01\x80\xc3\xff\r#"))
        if op == "insert":
            data.insert(i, b)
        elif op == "delete":
            del data[i]
        else:
            data[i] = b
    return bytes(data)


@given(document())
def test_agrees_with_expat(doc):
    try:
        ours = events(doc)
    except NativeFallback as e:
        kind, _, message = str(e).partition(": ")
        assert kind in ("malformed", "unsupported") and message in MESSAGES
        return
    assert merged(ours) == expat_events(doc)


@given(document(), st.sampled_from([1, 2, 3, 7]))
def test_chunked_reads_agree(doc, read_size):
    assert outcome(doc, read_size) == outcome(doc)


@given(st.binary(max_size=300).map(lambda b: b"<a>" + b))
def test_arbitrary_bytes_give_a_result_or_a_listed_error(data):
    got = outcome(data, 3)
    assert got == outcome(data)
    if isinstance(got, str):
        kind, _, message = got.partition(": ")
        assert kind in ("malformed", "unsupported") and message in MESSAGES


@pytest.mark.parametrize("dup, message", [
    (None, None),
    (b' a700="x"', "malformed: duplicate attribute"),
    (b' p:a5="x"', "malformed: duplicate attribute"),  # same namespace and local name as q:a5
])
def test_tags_with_many_attributes(dup, message):
    attrs = b"".join(b' a%d="%d"' % (i, i) for i in range(1000))
    doc = (b'<r xmlns:p="urn:u" xmlns:q="urn:u"><e' + attrs + b' q:a5="y"' + (dup or b"")
           + b"/></r>")
    if message is None:
        got = events(doc)
        assert len(got[1][3]) == 1001 and got == events(doc, 1)
    else:
        assert error(doc) == message


def test_huge_tag_read_one_byte_at_a_time():
    value = b"v" * 300000
    doc = b'<a k="' + value + b'"/>'
    assert events(doc, 1) == [S("a", [("", "k", value.decode())], True), E("a")]
