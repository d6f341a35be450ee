"""Raw XML of parts: a part split at its root's children, the root's start
tag read alone, and edits of one start tag that leave every other byte as
it was written.

Kept elements are written back as the bytes they were read as, so they
rely on the namespace declarations of the root they were read under:
`Root` keeps that start tag whole (declarations, ``mc:Ignorable`` and
every other attribute) and the qualified name its end tag needs.
"""

from __future__ import annotations

import codecs
import re
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any
from xml.parsers import expat
from xml.sax.saxutils import escape

from tavrinex.writer.values import writable
from tavrinex.xmltree import SEP, fixname

_DECL = re.compile(rb"""^<\?xml[^>]*?encoding\s*=\s*["']([A-Za-z0-9._-]+)["']""")
_UTF8 = {"utf-8", "utf8"}
# One attribute of a start tag: its name and its quoted value.
_ATTRIBUTE = re.compile(rb"""\s+([^\s=/>]+)\s*=\s*("[^"]*"|'[^']*')""")
_ROOT_CHUNK = 1 << 16


def encoding_of(head: bytes) -> str | None:
    """The encoding of a document starting with `head`, None for UTF-8
    without a byte-order mark."""
    if head.startswith(codecs.BOM_UTF8):
        return "utf-8-sig"
    if head.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        return "utf-16"
    if head.startswith(b"\x00<"):
        return "utf-16-be"
    if head.startswith(b"<\x00"):
        return "utf-16-le"
    match = _DECL.match(head)
    if match is None or match[1].decode("ascii").lower() in _UTF8:
        return None
    return match[1].decode("ascii")


def utf8_document(data: bytes) -> bytes:
    """`data` as UTF-8: a document in another declared or BOM-marked
    encoding is transcoded, its declaration then naming UTF-8."""
    encoding = encoding_of(data[:256])
    if encoding is None:
        return data
    text = data.decode(encoding).lstrip("\ufeff")
    if text.startswith("<?xml"):
        end = text.index("?>") + 2
        text = re.sub(r"""encoding\s*=\s*["'][^"']*["']""", 'encoding="UTF-8"', text[:end],
                      count=1) + text[end:]
    return text.encode("utf-8", "surrogatepass")


def start_tag_end(data: bytes, start: int) -> int:
    """Index just past the ">" of the start tag at data[start] (quoted
    values may hold ">")."""
    i = start + 1
    quote = 0
    n = len(data)
    while i < n:
        c = data[i]
        if quote:
            if c == quote:
                quote = 0
        elif c == 0x22 or c == 0x27:
            quote = c
        elif c == 0x3E:
            return i + 1
        i += 1
    raise ValueError("a start tag runs to the end of the data")


def _qname(tag: bytes) -> str:
    """The qualified name of a start tag ("x:worksheet")."""
    match = re.match(rb"<([^\s/>]+)", tag)
    if match is None:
        raise ValueError("not a start tag")
    return match[1].decode("utf-8")


@dataclass(frozen=True)
class Root:
    """The start tag of a part's root as written. `namespaces` are the
    declarations it makes (prefix, "" for the default, to URI)."""

    tag: bytes
    namespaces: Mapping[str, str] = field(default_factory=dict)

    @property
    def name(self) -> str:
        return _qname(self.tag)

    def end(self) -> bytes:
        return b"</" + self.name.encode("utf-8") + b">"

    def prefix(self, uri: str) -> str | None:
        """The prefix the root binds to `uri` ("" for the default), or None."""
        for prefix, bound in self.namespaces.items():
            if bound == uri:
                return prefix
        return None

    def declaring(self, wanted: Iterable[tuple[str, str]]) -> Root:
        """This root with (prefix, uri) declarations added for each URI it
        does not bind yet (a prefix taken for another URI gets a number)."""
        namespaces = dict(self.namespaces)
        extra = []
        for prefix, uri in wanted:
            if uri in namespaces.values() and (prefix != "" or namespaces.get("") == uri):
                continue
            if prefix == "" and "" in namespaces:
                continue   # another default namespace: the caller's names must be prefixed
            name, n = prefix, 1
            while name in namespaces:
                name, n = f"{prefix}{n}", n + 1
            namespaces[name] = uri
            extra.append((name, uri))
        if not extra:
            return self
        decls = {("xmlns:" + p if p else "xmlns"): u for p, u in extra}
        return Root(set_attributes(self.tag, decls), namespaces)


def root_of(tag: bytes) -> Root:
    """The Root of a start tag read alone."""
    declared: dict[str, str] = {}
    parser = expat.ParserCreate(None, SEP)
    parser.StartNamespaceDeclHandler = lambda prefix, uri: declared.setdefault(prefix or "",
                                                                               uri or "")
    body = tag[:-2] + b">" if tag.endswith(b"/>") else tag
    parser.Parse(body, False)
    return Root(body, declared)


def read_root(stream: Any) -> Root | None:
    """The root start tag of the XML document `stream` reads (as little is
    read as it takes); None when it cannot be read alone."""
    data = stream.read(_ROOT_CHUNK)
    if encoding_of(data[:256]) is not None:
        while chunk := stream.read(_ROOT_CHUNK):
            data += chunk
        try:
            data = utf8_document(data)
        except (UnicodeError, LookupError):
            return None
    found: list[int] = []
    parser = expat.ParserCreate(None, SEP)

    def start(name: str, attrs: object) -> None:
        found.append(parser.CurrentByteIndex)
        parser.StartElementHandler = None

    parser.StartElementHandler = start
    fed = 0
    try:
        while True:
            parser.Parse(data[fed:], False)
            fed = len(data)
            if found:
                while True:
                    try:
                        end = start_tag_end(data, found[0])
                        break
                    except ValueError:
                        chunk = stream.read(_ROOT_CHUNK)
                        if not chunk:
                            return None
                        data += chunk
                return root_of(data[found[0]:end])
            chunk = stream.read(_ROOT_CHUNK)
            if not chunk:
                return None
            data += chunk
    except (expat.ExpatError, ValueError):
        return None


@dataclass(frozen=True)
class Element:
    """A top-level element of a part as read: "{uri}local" (None when its
    bytes could not be parsed alone) and its bytes, in UTF-8."""

    tag: str | None
    raw: bytes
    namespaces: tuple[tuple[str, str], ...] = ()

    @property
    def local(self) -> str | None:
        return None if self.tag is None else self.tag.rpartition("}")[2]


def split(data: bytes) -> tuple[Root, list[Element]]:
    """A whole (small) part: its root and its top-level elements, in
    document order."""
    data = utf8_document(data)
    parser = expat.ParserCreate(None, SEP)
    depth = 0
    root_at = -1
    begin = 0
    current = ""
    children: list[Element] = []
    declared: dict[str, str] = {}

    def ns_start(prefix: str | None, uri: str | None) -> None:
        if depth == 0:
            declared.setdefault(prefix or "", uri or "")

    def start(name: str, attrs: object) -> None:
        nonlocal depth, root_at, begin, current
        if depth == 0:
            root_at = parser.CurrentByteIndex
        elif depth == 1:
            begin, current = parser.CurrentByteIndex, fixname(name)
        depth += 1

    def end(name: str) -> None:
        nonlocal depth
        depth -= 1
        if depth == 1:
            tag_end = start_tag_end(data, begin)
            if data[tag_end - 2] == 0x2F:   # "/>": an empty-element tag
                stop = tag_end
            else:
                stop = data.index(b">", parser.CurrentByteIndex) + 1
            children.append(Element(current, data[begin:stop]))

    parser.StartNamespaceDeclHandler = ns_start
    parser.StartElementHandler = start
    parser.EndElementHandler = end
    parser.Parse(data, True)
    tag = data[root_at:start_tag_end(data, root_at)]
    if tag.endswith(b"/>"):
        tag = tag[:-2] + b">"
    return Root(tag, declared), children


def attribute_text(value: str) -> str:
    """A value quoted for an attribute (characters XML cannot carry in
    _xHHHH_ form)."""
    return '"' + escape(writable(value, True), {'"': "&quot;", "\n": "&#10;", "\r": "&#13;",
                                "\t": "&#9;"}) + '"'


def set_attributes(tag: bytes, changes: Mapping[str, str | None]) -> bytes:
    """The start tag `tag` with each named attribute (a qualified name as
    written) set to its value, or removed for None; the other bytes stay.
    New attributes go at the end of the tag."""
    qname = _qname(tag)
    pos = 1 + len(qname.encode("utf-8"))
    out = [tag[:pos]]
    seen = set()
    while (match := _ATTRIBUTE.match(tag, pos)) is not None:
        name = match[1].decode("utf-8")
        if name in changes:
            seen.add(name)
            value = changes[name]
            if value is not None:
                out.append(tag[match.start():match.start(2)] + attribute_text(value).encode())
        else:
            out.append(match[0])
        pos = match.end()
    for name, value in changes.items():
        if name not in seen and value is not None:
            out.append(f" {name}={attribute_text(value)}".encode("utf-8"))
    out.append(tag[pos:])
    return b"".join(out)


def attribute(tag: bytes, name: str) -> str | None:
    """The value of the attribute `name` (as written) of a start tag, as
    written (entities not replaced)."""
    qname = _qname(tag)
    pos = 1 + len(qname.encode("utf-8"))
    while (match := _ATTRIBUTE.match(tag, pos)) is not None:
        if match[1].decode("utf-8") == name:
            return match[2][1:-1].decode("utf-8")
        pos = match.end()
    return None


def edit_start(raw: bytes, index: int, changes: Mapping[str, str | None]) -> bytes:
    """`raw` with the start tag that begins at `index` edited by
    `set_attributes`."""
    end = start_tag_end(raw, index)
    tag = raw[index:end]
    empty = tag.endswith(b"/>")
    edited = set_attributes(tag[:-2] + b">" if empty else tag, changes)
    if empty:
        edited = edited[:-1] + b"/>"
    return raw[:index] + edited + raw[end:]


def child_starts(element: Element, root: Root | None = None,
                 level: int = 1) -> list[tuple[str, int]]:
    """("{uri}local", offset in `element.raw`) of each child element (of
    each grandchild for `level` 2, ...), read under the declarations of
    `root` and those kept with the element. ValueError when it does not
    parse."""
    namespaces = dict(root.namespaces) if root is not None else {}
    namespaces.update(element.namespaces)
    decls = "".join(f' xmlns{":" + p if p else ""}={attribute_text(u)}'
                    for p, u in namespaces.items() if p != "xml")
    head = f"<_w{decls}>".encode("utf-8")
    parser = expat.ParserCreate(None, SEP)
    depth = 0
    found: list[tuple[str, int]] = []

    def start(name: str, attrs: object) -> None:
        nonlocal depth
        if depth == level + 1:
            found.append((fixname(name), parser.CurrentByteIndex - len(head)))
        depth += 1

    def end(name: str) -> None:
        nonlocal depth
        depth -= 1

    parser.StartElementHandler = start
    parser.EndElementHandler = end
    try:
        parser.Parse(head + element.raw + b"</_w>", True)
    except expat.ExpatError as exc:
        raise ValueError(str(exc)) from None
    return found
