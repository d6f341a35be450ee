"""Small XML text builders for the parts around the worksheets.

`element` writes one element from a tag, attributes and pre-escaped
content; `serialize` writes a parsed (ElementTree) element in the main
spreadsheet namespace, leaving out what lies in other namespaces, so that
pieces kept from a loaded workbook can be written back without their
original namespace declarations.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Mapping
from xml.etree import ElementTree as ET
from xml.sax.saxutils import escape, quoteattr

from tavrinex.writer.values import writable
from tavrinex.xmltree import fromstring

MAIN_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
REL_NS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
XML_NS = "http://www.w3.org/XML/1998/namespace"
DECLARATION = b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'

_PREFIXES = {MAIN_NS: "", REL_NS: "r:", XML_NS: "xml:"}


def text(value: str) -> str:
    """Character data, escaped, with the characters XML or UTF-8 cannot
    carry (controls, lone surrogates) in _xHHHH_ form."""
    return escape(writable(value, True))


def attrs(values: Mapping[str, object] | Iterable[tuple[str, object]]) -> str:
    """ name="value" pairs; None values are left out."""
    items = values.items() if isinstance(values, Mapping) else values
    return "".join(f" {name}={quoteattr(writable(str(value), True))}"
                   for name, value in items if value is not None)


def element(tag: str, attributes: Mapping[str, object] | None = None, content: str = "") -> str:
    head = tag + (attrs(attributes) if attributes else "")
    return f"<{head}>{content}</{tag}>" if content else f"<{head}/>"


def _name(clark: str, keep_rel: bool) -> str | None:
    """The written name of a Clark-notation name, None when it is foreign."""
    if not clark.startswith("{"):
        return clark
    uri, _, local = clark[1:].partition("}")
    prefix = _PREFIXES.get(uri)
    if prefix is None or (prefix == "r:" and not keep_rel):
        return None
    return prefix + local


def serialize(el: ET.Element, keep_rel: bool = False) -> str:
    """`el` as text with the main namespace as default. Elements and
    attributes of other namespaces (relationship ids too, unless
    `keep_rel`) are left out."""
    tag = _name(el.tag, keep_rel) if isinstance(el.tag, str) else None
    if tag is None:
        return ""
    pairs = []
    for key, value in el.attrib.items():
        name = _name(key, keep_rel)
        if name is not None:
            pairs.append((name, value))
    content = text(el.text) if el.text else ""
    for child in el:
        content += serialize(child, keep_rel)
        if child.tail and child.tail.strip():
            content += text(child.tail)
    return element(tag, dict(pairs), content)


def parse_kept(snippet: bytes) -> ET.Element | None:
    """A kept worksheet element parsed with the usual prefixes bound, or
    None when it does not parse."""
    head = (f'<w xmlns="{MAIN_NS}" xmlns:r="{REL_NS}" '
            'xmlns:mc="http://schemas.openxmlformats.org/markup-compatibility/2006" '
            'xmlns:x14ac="http://schemas.microsoft.com/office/spreadsheetml/2009/9/ac" '
            'xmlns:x14="http://schemas.microsoft.com/office/spreadsheetml/2009/9/main" '
            'xmlns:xm="http://schemas.microsoft.com/office/excel/2006/main" '
            'xmlns:xr="http://schemas.microsoft.com/office/spreadsheetml/2014/revision" '
            'xmlns:xr2="http://schemas.microsoft.com/office/spreadsheetml/2015/revision2" '
            'xmlns:xr3="http://schemas.microsoft.com/office/spreadsheetml/2016/revision3">')
    try:
        root = fromstring(head.encode() + snippet + b"</w>")
    except ET.ParseError:
        return None
    return root[0] if len(root) == 1 else None


def write_element(el: ET.Element, prefixes: Mapping[str, str] | None = None) -> str:
    """`el` as text keeping every namespace. `prefixes` maps the URIs
    declared around it to their prefixes ("" for the default namespace;
    the main spreadsheet namespace when not given); any other URI is
    declared on the element where it is first used."""
    scope = dict(prefixes) if prefixes is not None else {MAIN_NS: ""}
    scope.setdefault(XML_NS, "xml")
    out: list[str] = []
    _write_ns(el, scope, out)
    return "".join(out)


def write_root(el: ET.Element, prefixes: Mapping[str, str] | None = None) -> bytes:
    """A part whose root is `el`, the root declaring `prefixes` (URI ->
    prefix; the main namespace as the default when not given)."""
    scope = dict(prefixes) if prefixes is not None else {MAIN_NS: ""}
    body = write_element(el, scope)
    head = "".join(f" xmlns:{p}={quoteattr(u)}" if p else f" xmlns={quoteattr(u)}"
                   for u, p in scope.items() if u != XML_NS)
    end = re.match(r"<[^\s/>]+", body).end()  # type: ignore[union-attr]
    return DECLARATION + (body[:end] + head + body[end:]).encode("utf-8")


def _qualified(clark: str, scope: dict[str, str], new: list[tuple[str, str]],
               attribute: bool) -> str:
    if not clark.startswith("{"):
        return clark
    uri, _, name = clark[1:].rpartition("}")
    prefix = scope.get(uri)
    if prefix is None or (attribute and prefix == ""):
        # An attribute cannot take the default namespace: it needs a prefix.
        taken = set(scope.values())
        n = 0
        while f"ns{n}" in taken:
            n += 1
        prefix = f"ns{n}"
        scope[uri] = prefix
        new.append((prefix, uri))
    return f"{prefix}:{name}" if prefix else name


def _needs_scope(el: ET.Element, scope: dict[str, str]) -> bool:
    """Whether writing `el` declares a namespace (so it needs its own scope)."""
    if not el.tag.startswith("{"):
        return "" in scope.values()
    if el.tag[1:].rpartition("}")[0] not in scope:
        return True
    return any(k.startswith("{") and scope.get(k[1:].rpartition("}")[0]) in (None, "")
               for k in el.attrib)


def _write_ns(el: ET.Element, scope: dict[str, str], out: list[str]) -> None:
    if not isinstance(el.tag, str):
        return   # comments and processing instructions are not kept
    new: list[tuple[str, str]] = []
    inner = dict(scope) if _needs_scope(el, scope) else scope
    if not el.tag.startswith("{") and "" in inner.values():
        # A name in no namespace inside a default namespace: undeclare it.
        for uri in [u for u, p in inner.items() if p == ""]:
            del inner[uri]
        new.append(("", ""))
    tag = _qualified(el.tag, inner, new, False)
    pairs = [(_qualified(k, inner, new, True), v) for k, v in el.attrib.items()]
    decls = "".join(f" xmlns:{p}={quoteattr(u)}" if p else f" xmlns={quoteattr(u)}"
                    for p, u in new)
    content = [text(el.text)] if el.text else []
    for child in el:
        _write_ns(child, inner, content)
        if child.tail:
            content.append(text(child.tail))
    body = "".join(content)
    head = tag + decls + attrs(pairs)
    out.append(f"<{head}>{body}</{tag}>" if body else f"<{head}/>")
