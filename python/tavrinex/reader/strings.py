"""The shared-string table: the list of the workbook's strings in table order.

`read_shared_strings` tries the native engine and falls back to the Python
reader, `read_shared_strings_py`, whenever the engine raises NativeFallback.
"""

import io
from xml.etree import ElementTree as ET

from tavrinex._native import NativeFallback, native
from tavrinex.helpers import reader_helpers
from tavrinex.text import item_text, remove_x005f

SHEET_MAIN_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
_SI = f"{{{SHEET_MAIN_NS}}}si"


def read_shared_strings_py(source):
    """The strings of a shared-string part read with ElementTree.

    Only `si` children of the root element count (the root may have any
    name); each is read by the package's text model (tavrinex.text), with
    every "x005F_" removed.
    """
    strings = []
    depth = 0
    root = None
    for event, elem in ET.iterparse(source, events=("start", "end")):
        if event == "start":
            depth += 1
            if depth == 1:
                root = elem
            continue
        depth -= 1
        if depth == 1:
            if elem.tag == _SI:
                strings.append(remove_x005f(item_text(elem)))
            root.remove(elem)  # keep memory flat over large tables
    return strings


def open_source(source):
    """A readable file for `source` and a function that rewinds it.

    `source` is a bytes-like object (read from the start each time) or a
    binary file; a file must be seekable to be read a second time.
    """
    if isinstance(source, (bytes, bytearray, memoryview)):
        data = bytes(source)
        current = [io.BytesIO(data)]

        def rewind():
            current[0] = io.BytesIO(data)
            return current[0]

        return current[0], rewind
    start = source.tell()

    def rewind():
        source.seek(start)
        return source

    return source, rewind


def read_shared_strings(source):
    """The shared strings of `source` (bytes or a seekable binary file)."""
    stream, rewind = open_source(source)
    if native is not None:
        try:
            return native.read_string_table(stream, reader_helpers())
        except NativeFallback:
            stream = rewind()
    return read_shared_strings_py(stream)
