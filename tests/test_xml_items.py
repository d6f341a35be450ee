"""String items read natively (text or capture) and the host's text model."""

import pytest

from tavrinex import _probe as probe
from tavrinex._native import NativeFallback
from tavrinex.helpers import reader_helpers
from tavrinex.text import (CellRichText, Color, InlineFont, TextBlock, rich_inline, si_content,
                           text_content, validate_rpr)

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
HEAD = b'<sst xmlns="' + MAIN.encode() + b'" xmlns:x="urn:x">'


class Counting:
    """validate_rpr wrapper that counts its calls."""

    def __init__(self, verdict=None):
        self.calls = []
        self.verdict = verdict

    def __call__(self, snippet, namespaces):
        self.calls.append((snippet, namespaces))
        return validate_rpr(snippet, namespaces) if self.verdict is None else self.verdict


def items(body, read_size=65536, nested=(), item="si", **overrides):
    helpers = reader_helpers()
    helpers.update(overrides)
    return probe.text_items(HEAD + body + b"</sst>", helpers, item, nested, read_size)


RUNS = b"<si><r><t>Hello </t></r><r><rPr><b/></rPr><t>World</t></r></si>"


@pytest.mark.parametrize("body, expected", [
    (b"<si><t>a&amp;b</t></si>", "a&b"),
    (b"<si><t/></si>", ""),
    (b"<si/>", ""),
    (b"<si></si>", ""),
    (b"<si><t xml:space='preserve'> a </t></si>", " a "),
    (b"<si><t>_x0041_ x005F_</t></si>", "_x0041_ x005F_"),
    (b"<si><t>a\r\nb<![CDATA[&amp;]]></t></si>", "a\nb&amp;"),
    (b"<si><t>one</t><t>two</t></si>", "two"),
    (b"<si><t>a<x:b>b</x:b>c</t></si>", "abc"),
    (b"<si>\n  <t>a</t>\n  <extLst><t>hidden</t></extLst></si>", "a"),
    (b"<si><t>p</t><r><t>1</t><t>2</t></r><r/><r><rPr/></r><r><t>3</t></r></si>", "p23"),
    (b"<si><x:t>ns</x:t></si>", "ns"),
    (RUNS, "Hello World"),
])
def test_items_built_natively_match_the_host_model(body, expected):
    got = items(body)
    assert got == [("text", expected)]
    snippet = probe.xml_capture(HEAD + body + b"</sst>", "si")[0]
    assert text_content(*snippet) == expected


@pytest.mark.parametrize("body", [
    b'<si><t>abc</t><rPh sb="0" eb="1"><t>x</t></rPh></si>',
    b'<si><t>abc</t><phoneticPr fontId="1"/></si>',
    b'<si foo="1"><t>a</t></si>',
    b'<si foo="1"/>',
    b'<si><r k="1"><t>a</t></r></si>',
    b"<si><r><rPr><b/><junk/></rPr><t>a</t></r></si>",
    b"<si><r><rPr><sz val='big'/></rPr><t>a</t></r></si>",
])
def test_items_sent_to_python(body):
    (kind, snippet, namespaces), = items(body)
    assert kind == "capture"
    assert snippet == body
    assert namespaces == [("", MAIN), ("x", "urn:x")]


def test_prefixed_item_attribute_does_not_send_to_python():
    assert items(b'<si xml:space="preserve" x:k="1"><t> a</t></si>') == [("text", " a")]


def test_rejected_rpr_captures_and_accepted_rpr_is_cached():
    check = Counting()
    body = RUNS * 5 + b"<si><r><rPr><i/></rPr><t>z</t></r></si>"
    assert items(body, validate_rpr=check) == [("text", "Hello World")] * 5 + [("text", "z")]
    assert [c[0] for c in check.calls] == [b"<rPr><b/></rPr>", b"<rPr><i/></rPr>"]
    assert check.calls[0][1] == [("", MAIN), ("x", "urn:x")]

    reject = Counting(verdict=0)
    got = items(RUNS * 3, validate_rpr=reject)
    assert got == [("capture", RUNS, [("", MAIN), ("x", "urn:x")])] * 3
    assert len(reject.calls) == 1


def test_rpr_not_judged_once_the_item_goes_to_python():
    check = Counting()
    items(b'<si foo="1">' + RUNS[4:], validate_rpr=check)
    assert check.calls == []


def test_validate_rpr_exception_is_raised_after_the_item():
    class Boom(Exception):
        pass

    calls = []

    def failing(snippet, namespaces):
        calls.append(snippet)
        raise Boom("x")

    with pytest.raises(Boom):
        items(RUNS, validate_rpr=failing)
    assert calls == [b"<rPr><b/></rPr>"]
    # A tokenizer error later in the same item wins over the deferred exception.
    with pytest.raises(NativeFallback, match="mismatched tag"):
        items(b"<si><r><rPr><b/></rPr><t>x</t></r></x></si>", validate_rpr=failing)

    class BadTruth:
        def __bool__(self):
            raise Boom("truth")

    with pytest.raises(Boom, match="truth"):
        items(RUNS, validate_rpr=lambda s, n: BadTruth())


@pytest.mark.parametrize("body, key, sets", [
    (b"<si><t>a</t><odd>x</odd></si>", "text_dangerous", {"odd"}),
    (b"<si><r><odd/><t>a</t></r></si>", "rich_dangerous", {"odd"}),
])
def test_dangerous_children(body, key, sets):
    assert items(body) == [("text", "a")]
    assert items(body, **{key: sets})[0][0] == "capture"


@pytest.mark.parametrize("body, nested, message", [
    (b"<si><t>a</t><si/></si>", ("si",), "unsupported: nested element handled by dispatcher"),
    (b"<si><r><t>a<c/></t></r></si>", ("c",), "unsupported: nested element handled by dispatcher"),
    (b"<si><r><c/></r></si>", ("c",), "unsupported: nested element handled by dispatcher"),
    (b"<si><x><y><c/></y></x></si>", ("c",), "unsupported: nested element handled by dispatcher"),
])
def test_nested_dispatcher_elements(body, nested, message):
    with pytest.raises(NativeFallback) as info:
        items(body, nested=nested)
    assert str(info.value) == message


def test_other_namespace_is_not_the_dispatchers():
    assert items(b"<si><t>a</t><x:si/></si>", nested=("si",)) == [("text", "a")]


@pytest.mark.parametrize("read_size", [1, 3, 65536])
def test_item_capture_across_reads(read_size):
    long_text = "\u00e9" * 40000
    body = (b"<si><t>" + long_text.encode() + b"</t><rPh><t>p</t></rPh></si>"
            + b"<si><r><rPr><b/></rPr><t>" + b"y" * 70000 + b"</t></r></si>")
    got = items(body, read_size=read_size)
    assert got[0] == ("capture", body[:body.index(b"</si>") + 5], [("", MAIN), ("x", "urn:x")])
    assert got[1] == ("text", "y" * 70000)


def test_inline_string_item():
    doc = b'<c xmlns="' + MAIN.encode() + b'" t="inlineStr"><is><t>v</t></is></c>'
    assert probe.text_items(doc, reader_helpers(), "is") == [("text", "v")]


# ---------------------------------------------------------------- host model

NS = [("", MAIN)]


@pytest.mark.parametrize("rpr, ok", [
    (b"<rPr/>", True),
    (b"<rPr><b/><i val='0'/><strike val='true'/><sz val='11.5'/><color rgb='FF00FF00'/>"
     b"<rFont val='Calibri'/><family val='2'/><charset val='1'/><scheme val='minor'/>"
     b"<u/><vertAlign val='superscript'/><outline/><shadow/><condense/><extend/></rPr>", True),
    (b"<rPr><color theme='1' tint='-0.25'/></rPr>", True),
    (b"<rPr><b/><b/></rPr>", False),
    (b"<rPr><b val='maybe'/></rPr>", False),
    (b"<rPr><sz/></rPr>", False),
    (b"<rPr><u val='wavy'/></rPr>", False),
    (b"<rPr><b x='1'/></rPr>", False),
    (b"<rPr k='1'/>", False),
    (b"<rPr><glow/></rPr>", False),
    (b"<rPr><b><i/></b></rPr>", False),
    (b"<rPr>text</rPr>", False),
    (b"<rPr xmlns:o='urn:o'><o:b/></rPr>", False),
])
def test_validate_rpr(rpr, ok):
    assert validate_rpr(rpr, NS) is ok


def test_rich_inline_builds_runs():
    snippet = (b"<is><t>lead</t><r><t>plain</t></r><r><rPr><b/><sz val='9'/>"
               b"<color rgb='FFFF0000'/></rPr><t>bold</t></r><r><rPr/></r></is>")
    rich = rich_inline(snippet, NS)
    assert isinstance(rich, CellRichText)
    assert rich == ["lead", "plain",
                    TextBlock(InlineFont(b=True, sz=9.0, color=Color(rgb="FFFF0000")), "bold")]
    assert str(rich) == text_content(snippet, NS) == "leadplainbold"
    assert rich_inline(b"<is><t>only</t></is>", NS) == "only"


def test_si_content_removes_x005f_and_reads_in_context():
    snippet = b"<p:si><p:t>a_x005F_b x005F_x005F_</p:t><p:rPh><p:t>z</p:t></p:rPh></p:si>"
    assert si_content(snippet, [("p", MAIN), ("", "urn:other")]) == "a_b "
