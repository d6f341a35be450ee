"""ElementTree elements from expat, with namespaced names in the usual
"{uri}local" form, read by a parser whose namespace separator no URI holds.

ElementTree's own parser joins a name's URI and local part with "}", and
expat refuses a document whose namespace URI contains the separator, so a
legal URI such as "}rn:r" made it raise where the engine reads the document.
"""

from __future__ import annotations

from typing import Any, Protocol
from xml.etree import ElementTree as ET
from xml.parsers import expat

# A control character: it occurs in no name and in no URI.
SEP = "\x01"


def fixname(name: str) -> str:
    """ElementTree's "{uri}local" form of an expat name "uri" SEP "local"."""
    return "{" + name.replace(SEP, "}") if SEP in name else name


def fixattrs(attrs: dict[str, str]) -> dict[str, str]:
    if not any(SEP in key for key in attrs):
        return attrs
    return {fixname(key): value for key, value in attrs.items()}


def parse_error(err: expat.ExpatError) -> ET.ParseError:
    """The ParseError ElementTree raises for the same expat error."""
    exc = ET.ParseError(str(err))
    exc.code = err.code
    exc.position = (err.lineno, err.offset)
    return exc


class Readable(Protocol):
    def read(self, size: int, /) -> bytes: ...


def _tree_parser(builder: ET.TreeBuilder,
                 namespaces: list[tuple[str, str]] | None = None) -> Any:
    parser = expat.ParserCreate(None, SEP)
    if namespaces is not None:
        parser.StartNamespaceDeclHandler = lambda prefix, uri: namespaces.append(
            (prefix or "", uri or ""))
    parser.buffer_text = True
    parser.StartElementHandler = lambda name, attrs: builder.start(fixname(name),
                                                                   fixattrs(attrs))
    parser.EndElementHandler = lambda name: builder.end(fixname(name))
    parser.CharacterDataHandler = builder.data
    return parser


def fromstring(data: bytes) -> ET.Element:
    """The root element of a whole document."""
    builder = ET.TreeBuilder()
    try:
        _tree_parser(builder).Parse(data, True)
    except expat.ExpatError as err:
        raise parse_error(err) from None
    return builder.close()


def parse(stream: Readable, chunk: int = 1 << 16,
          namespaces: list[tuple[str, str]] | None = None) -> ET.Element:
    """The root element of a whole document read from a binary stream, in
    chunks of `chunk` bytes; `namespaces`, when given, receives each
    (prefix, uri) the document declares, in document order."""
    builder = ET.TreeBuilder()
    parser = _tree_parser(builder, namespaces)
    try:
        while data := stream.read(chunk):
            parser.Parse(data, False)
        parser.Parse(b"", True)
    except expat.ExpatError as err:
        raise parse_error(err) from None
    return builder.close()
