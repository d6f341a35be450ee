"""Shared pieces for the worksheet-reading tests: a parser object, a source
that hands out small reads, and a wrapper around bind_cells."""

import datetime
import io

from tavrinex import _tavrinex as native
from tavrinex.cell import Cell
from tavrinex.helpers import reader_helpers
from tavrinex.styles import StyleArray

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"


class Parser:
    def __init__(self, **options):
        self.epoch = datetime.datetime(1899, 12, 30)
        self.formula_and_value = False
        self.shared_strings = ["zero", "one", "two", "three", "four"]
        self.data_only = False
        self.rich_text = False
        self.date_formats = [7]
        self.timedelta_formats = []
        self.row_dimensions = {}
        for name, value in options.items():
            setattr(self, name, value)


class ChunkSource:
    """A file-like object whose read returns at most `size` bytes."""

    def __init__(self, data, size=65536):
        self.data, self.size, self.pos = data, size, 0

    def read(self, n):
        chunk = self.data[self.pos:self.pos + min(n, self.size)]
        self.pos += len(chunk)
        return chunk


def sheet(body, before="", after="", root_attrs=f'xmlns="{MAIN}"', root="worksheet"):
    return (f"<{root} {root_attrs}>{before}<sheetData>{body}</sheetData>{after}"
            f"</{root}>").encode()


STYLES = [StyleArray([i] * 9) for i in range(8)]


def bind(data, parser=None, styles=STYLES, read_size=65536, helpers=None, store=None):
    parser = parser or Parser()
    store = store if store is not None else native.CellStore()
    actions = []
    native.bind_cells(ChunkSource(data, read_size), parser, "WS", store, styles, Cell,
                      helpers or reader_helpers(), actions)
    return store, actions, parser


def cells(store):
    """[(key, value, data_type, style list)] in store order."""
    out = []
    for key in store:
        c = store[key]
        out.append((key, c.value, c.data_type, list(c._style) if c._style is not None else None))
    return out


class Opener:
    """open_source for a document, keeping every file it handed out."""

    def __init__(self, data):
        self.data = data
        self.opened = []

    def __call__(self):
        f = io.BytesIO(self.data)
        self.opened.append(f)
        return f

    @property
    def all_closed(self):
        return all(f.closed for f in self.opened)


class CountingOpener(Opener):
    """An opener that also counts the bytes read from every file."""

    def __init__(self, data):
        super().__init__(data)
        self.read_bytes = 0

    def __call__(self):
        f = super().__call__()
        read = f.read

        def counted(size=-1):
            chunk = read(size)
            self.read_bytes += len(chunk)
            return chunk

        f.read = counted
        return f
