"""Handlers for the worksheet elements around the cells.

The reader hands each element outside the cells over as its raw bytes and
the namespace bindings it was written under; `handle_element` re-reads it in
that context and records it on the worksheet.
"""

import xml.etree.ElementTree as ET
from xml.sax.saxutils import quoteattr

from tavrinex.reader.features import HANDLERS as FEATURE_HANDLERS
from tavrinex.utils.cell import get_column_letter
from tavrinex.xmltree import fromstring

MAIN_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
_M = "{%s}" % MAIN_NS


def parse_snippet(snippet, namespaces):
    """The element of `snippet`, parsed inside a wrapper that declares
    `namespaces` (a list of (prefix, uri), "" for the default namespace)."""
    decls = []
    for prefix, uri in namespaces:
        if prefix == "xml":
            continue  # bound implicitly; redeclaring it is allowed but pointless
        name = "xmlns:" + prefix if prefix else "xmlns"
        decls.append(f" {name}={quoteattr(uri)}")
    head = ("<_wrapper" + "".join(decls) + ">").encode("utf-8")
    root = fromstring(head + snippet + b"</_wrapper>")
    if len(root) != 1:
        raise ValueError("a snippet holds exactly one element")
    return root[0]


def _merge_cells(ws, el):
    for merged in el.iter(_M + "mergeCell"):
        ref = merged.get("ref")
        if ref:
            ws.merged_cells.append(ref)


def _cols(ws, el):
    complete = True
    for col in el.iter(_M + "col"):
        attrs = dict(col.attrib)
        try:
            letter = get_column_letter(int(attrs.get("min", "")))
        except ValueError:
            complete = False  # kept raw below, so the entry is not lost
            continue
        ws.column_dimensions[letter] = attrs
    return complete


def _hyperlinks(ws, el):
    for link in el.iter(_M + "hyperlink"):
        ws.hyperlinks.append(dict(link.attrib))


def _dimension(ws, el):
    ws._dimension = el.get("ref")


def _sheet_format(ws, el):
    ws.sheet_format = dict(el.attrib)


HANDLERS = {
    **FEATURE_HANDLERS,
    _M + "mergeCells": _merge_cells,
    _M + "cols": _cols,
    _M + "hyperlinks": _hyperlinks,
    _M + "dimension": _dimension,
    _M + "sheetFormatPr": _sheet_format,
}


def handle_element(ws, snippet, namespaces):
    """Record one element on `ws`: by its handler when it has one, else
    kept as (tag, bytes) in ``ws._raw_elements`` (also when its handler
    could use only part of it). A snippet that does not
    parse on its own (it may rely on entities declared by the document) is
    kept raw under the tag None rather than dropped."""
    try:
        el = parse_snippet(snippet, namespaces)
    except (ET.ParseError, ValueError):
        ws._raw_elements.append((None, snippet))
        return
    handler = HANDLERS.get(el.tag)
    if handler is None:
        ws._raw_elements.append((el.tag, snippet))
    elif handler(ws, el) is False:
        ws._raw_elements.append((el.tag, snippet))
