"""Finding a worksheet's `dimension` element without reading its cells.

Both finders return None or (snippet, namespaces): the element's bytes
exactly as in the document, from its `<` to the end of its end tag (or its
`/>`), and the [(prefix, uri)] bindings in scope at its parent, each prefix
once at the place of its outermost binding with the URI of its innermost
one ("" is the default namespace). The search stops at the end of
`sheetData`.
"""

from xml.parsers import expat

from tavrinex._native import NativeFallback, native
from tavrinex.reader.source import open_source
from tavrinex.reader.strings import SHEET_MAIN_NS

_CHUNK = 65536
# expat joins URI and local name with this; it cannot occur in a document.
_SEP = "\x01"
_DIMENSION = f"{SHEET_MAIN_NS}{_SEP}dimension"
_SHEET_DATA = f"{SHEET_MAIN_NS}{_SEP}sheetData"


class _Done(Exception):
    """Ends the parse from inside a handler."""


def _tag_end(buf, i):
    """Index just after the `>` of the tag starting at buf[i] (quoted
    values may hold `>`)."""
    n = len(buf)
    j = i + 1
    while j < n:
        c = buf[j]
        if c == 0x3E:  # >
            return j + 1
        if c in (0x22, 0x27):  # " '
            j = buf.index(c, j + 1)
        j += 1
    raise ValueError("unterminated tag")


def _in_scope(bindings):
    out = []
    where = {}
    for prefix, uri in bindings:
        if prefix in where:
            out[where[prefix]] = (prefix, uri)
        else:
            where[prefix] = len(out)
            out.append((prefix, uri))
    return out


def find_dimension_py(source):
    """The worksheet's main-namespace `dimension` element, found with expat."""
    parser = expat.ParserCreate(namespace_separator=_SEP)
    buf = bytearray()
    base = 0          # document offset of buf[0]
    low = 0           # offset of the latest event; nothing before it is needed again
    bindings = []     # (prefix, uri) in declaration order
    pending = 0       # declarations of the start tag being reported
    depth = 0
    capture = None    # (offset of the `<`, depth, namespaces) while inside dimension
    result = []

    def start_ns(prefix, uri):
        nonlocal pending
        bindings.append((prefix or "", uri or ""))
        pending += 1

    def end_ns(prefix):
        prefix = prefix or ""
        for k in range(len(bindings) - 1, -1, -1):
            if bindings[k][0] == prefix:
                del bindings[k]
                return

    def start(name, attrs):
        nonlocal depth, pending, capture, low
        depth += 1
        low = parser.CurrentByteIndex
        own, pending = pending, 0
        if capture is None and name == _DIMENSION:
            capture = (low, depth, _in_scope(bindings[:len(bindings) - own]))

    def end(name):
        nonlocal depth, low
        low = parser.CurrentByteIndex
        if capture is not None and depth == capture[1]:
            start_end = _tag_end(buf, capture[0] - base)
            if buf[start_end - 2] == 0x2F:  # `/>`: an empty-element tag
                end_at = start_end
            else:
                end_at = _tag_end(buf, low - base)
            result.append((bytes(buf[capture[0] - base:end_at]), capture[2]))
            raise _Done
        depth -= 1
        if capture is None and name == _SHEET_DATA:
            raise _Done

    parser.StartNamespaceDeclHandler = start_ns
    parser.EndNamespaceDeclHandler = end_ns
    parser.StartElementHandler = start
    parser.EndElementHandler = end
    try:
        while True:
            chunk = source.read(_CHUNK)
            if not chunk:
                parser.Parse(b"", True)
                break
            buf += chunk
            parser.Parse(chunk, False)
            if capture is None and low > base:
                del buf[:low - base]
                base = low
    except _Done:
        pass
    return result[0] if result else None


def find_dimension(source):
    """(snippet, namespaces) of the worksheet's dimension, or None.

    `source` is bytes or a seekable binary file; the engine is tried first.
    """
    stream, rewind = open_source(source)
    if native is not None:
        try:
            return native.find_dimension(stream)
        except NativeFallback:
            stream = rewind()
    return find_dimension_py(stream)
