"""The layout of a worksheet without its cells.

`prescan_sheet` returns a dict with the keys "head" and "tail" (the
elements before and after ``sheetData``, each as (bytes, namespaces)),
"rows" ((row number, [(name, value), ...]) for rows that carry more than
``r`` and ``spans``, when `want_rows`) and "corners" ((row, column) ->
the cell's ``s`` text or None, for the requested cells present in the
sheet). The engine is tried first; `prescan_sheet_py` does the same in
Python when the engine declines. `scan_head` reads only the elements
before the cells.
"""

import operator

from tavrinex import _native
from tavrinex.helpers import reader_helpers
from tavrinex.reader.source import open_source
from tavrinex.reader.worksheet import (CHUNK, END, MAIN_NS, SEP, START, PullParser,
                                       cell_position, clark, is_sheet_data, root_children, row_number,
                                       split_name)

_ENGINE = object()  # "use the installed engine"


def prescan_sheet_py(source, want_rows, corners, helpers):
    """The prescan dict of the worksheet part in `source` (a binary file),
    read with expat."""
    return _Prescan(source, bool(want_rows), corners, helpers).run()


class _Prescan:
    def __init__(self, source, want_rows, corners, helpers):
        self.events = PullParser(source)
        self.want_rows = want_rows
        self.corners = set()
        if corners is not None:
            for pair in corners:
                row, column = tuple(pair)
                self.corners.add((operator.index(row), operator.index(column)))
        self.corner_rows = {row for row, _ in self.corners}
        self.row_index = helpers["row_index"]
        self.coordinate_to_tuple = helpers["coordinate_to_tuple"]
        self.rows = []
        self.found = {}
        self.row = 0
        self.column = 0

    def run(self):
        events = self.events
        head, tail = [], []
        after = False
        for event in root_children(events):
            # Only the first sheetData divides head from tail.
            if not after and is_sheet_data(event):
                after = True
                self.sheet_data()
            else:
                (tail if after else head).append(events.capture(event))
        return {"head": head, "tail": tail, "rows": self.rows, "corners": self.found}

    def sheet_data(self):
        events = self.events
        rows_wanted = self.want_rows or bool(self.corners)
        cells_wanted = bool(self.corners)
        depth = 1
        while True:
            event = events.next()
            kind = event[0]
            if kind == START:
                depth += 1
                uri, local = split_name(event[1])
                if uri != MAIN_NS:
                    continue
                if local == "row" and rows_wanted:
                    self.row_tag(event[2])
                elif local == "c" and cells_wanted:
                    self.cell_tag(event[2])
            elif kind == END:
                depth -= 1
                if depth == 0:
                    return

    def row_tag(self, attrs):
        self.column = 0
        self.row = operator.index(row_number(attrs.get("r"), self.row, self.row_index))
        # attribute names in a namespace come joined by SEP, before clark()
        if self.want_rows and any(k != "r" and k != "spans" and SEP not in k for k in attrs):
            self.rows.append((self.row, list(clark(attrs).items())))

    def cell_tag(self, attrs):
        row, column = cell_position(attrs.get("r"), self.row, self.column,
                                    self.coordinate_to_tuple)
        self.column = column
        if (row, column) in self.corners:
            self.found[(row, column)] = attrs.get("s")


def scan_head(open_source):
    """The elements before ``sheetData`` of the part opened by
    `open_source()` (a list of (bytes, namespaces), as "head" of the
    prescan), reading no further than the start of the cells."""
    source = open_source()
    try:
        events = PullParser(_Trickle(source))
        head = []
        for event in root_children(events):
            if is_sheet_data(event):
                break
            head.append(events.capture(event))
        return head
    finally:
        source.close()


class _Trickle:
    """A file read in small pieces, growing to CHUNK, so that a parse that
    stops early has parsed little past where it stopped. The first piece
    runs to the end of the XML declaration (at most CHUNK bytes), as a
    first read of CHUNK bytes would show it."""

    def __init__(self, source):
        self._source = source
        self._size = 0

    def read(self, size=-1):
        if size is None or size < 0:
            size = CHUNK
        if self._size == 0:
            self._size = _FIRST
            data = self._source.read(min(size, _FIRST))
            while b">" not in data and len(data) < min(size, CHUNK):
                more = self._source.read(min(_FIRST, min(size, CHUNK) - len(data)))
                if not more:
                    break
                data += more
            return data
        self._size = min(self._size * 2, CHUNK)
        return self._source.read(min(size, self._size))


_FIRST = 4096


def prescan_sheet(source, want_rows, corners, *, helpers=None, engine=_ENGINE):
    """The prescan dict of `source` (bytes or a binary file positioned at
    the start of the worksheet part): the engine's when it reads the
    sheet, else the Python prescan's. A file that cannot seek is read into
    memory first, so that it can be read twice."""
    _, rewind = open_source(source)
    return prescan_opened(rewind, want_rows, corners, helpers=helpers, engine=engine,
                          close=False)


def prescan_opened(open_source, want_rows, corners, *, helpers=None, engine=_ENGINE,
                   close=True):
    """The same for a part opened by `open_source()` (a zero-argument
    callable), once for the engine and once more if it declines; with
    `close`, each opened file is closed when done."""
    if helpers is None:
        helpers = reader_helpers()
    if engine is _ENGINE:
        engine = _native.native
    if corners is not None:
        corners = list(corners)  # iterated once per attempt
    if engine is not None:
        source = open_source()
        try:
            return engine.prescan_sheet(source, want_rows, corners, helpers)
        except engine.NativeFallback:
            pass
        finally:
            if close:
                source.close()
    source = open_source()
    try:
        return prescan_sheet_py(source, want_rows, corners, helpers)
    finally:
        if close:
            source.close()
