"""The shared-string table: the list of the workbook's strings in table order.

`read_shared_strings` tries the native engine and falls back to the Python
reader, `read_shared_strings_py`, whenever the engine raises NativeFallback.
"""

import xml.parsers.expat as expat

from tavrinex._native import NativeFallback, native
from tavrinex.helpers import reader_helpers
from tavrinex.reader.source import open_source
from tavrinex.reader.worksheet import END, START, TEXT, PullParser
from tavrinex.text import item_text, remove_x005f
from tavrinex.xmltree import ET, fixattrs, fixname, parse_error

SHEET_MAIN_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
_SI = f"{{{SHEET_MAIN_NS}}}si"


def _plain_item(elem):
    return remove_x005f(item_text(elem))


def _iterparse(source):
    """("start" | "end", element) pairs in document order, as ElementTree's
    iterparse gives them, from a parser that reads any namespace URI."""
    events = PullParser(source)
    builder = ET.TreeBuilder()
    try:
        while True:
            event = events.next()
            kind = event[0]
            if kind == START:
                yield "start", builder.start(fixname(event[1]), fixattrs(event[2]))
            elif kind == END:
                yield "end", builder.end(fixname(event[1]))
            elif kind == TEXT:
                builder.data(event[1])
            else:
                return
    except expat.ExpatError as err:
        raise parse_error(err) from None


def read_shared_strings_py(source, item=_plain_item):
    """The strings of a shared-string part read into ElementTree elements.

    Only `si` children of the root element count (the root may have any
    name); each is read by the package's text model (tavrinex.text), with
    every "x005F_" removed. `item` reads one `si` element; the workbook
    reader passes its rich-text reader in rich-text mode.
    """
    strings = []
    depth = 0
    root = None
    for event, elem in _iterparse(source):
        if event == "start":
            depth += 1
            if depth == 1:
                root = elem
            continue
        depth -= 1
        if depth == 1:
            if elem.tag == _SI:
                strings.append(item(elem))
            root.remove(elem)  # keep memory flat over large tables
    return strings


def read_shared_strings(source):
    """The shared strings of `source` (bytes or a seekable binary file)."""
    stream, rewind = open_source(source)
    if native is not None:
        try:
            return native.read_string_table(stream, reader_helpers())
        except NativeFallback:
            stream = rewind()
    return read_shared_strings_py(stream)
