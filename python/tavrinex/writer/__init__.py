"""Writing a worksheet's <sheetData>: the engine first, Python after it.

`write_sheet_data` writes a whole worksheet; `SheetDataStream` writes the
rows of a write-only worksheet one by one. Both hand their output to a
`write` callable in pieces: bytes with the lxml back end, str with the
ElementTree one (used as well whenever lxml is not installed).
"""

import operator

from tavrinex import _native
from tavrinex.helpers import writer_helpers
from tavrinex.writer.backends import backend, lxml_available
from tavrinex.writer.rows import Pending, rows, write_rows
from tavrinex.writer.values import add_comment

__all__ = ["SheetDataStream", "rows", "write_rows", "write_sheet_data"]

_ENGINE = object()  # "use the installed engine"


class _Counting:
    """Forwards to `write` and counts what went through."""

    def __init__(self, write):
        self._write = write
        self.sent = 0

    def __call__(self, chunk):
        self._write(chunk)
        self.sent += len(chunk)


class _SkipPrefix:
    """Forwards to `write` all but the first `skip` bytes or characters."""

    def __init__(self, write, skip):
        self._write = write
        self._skip = skip

    def __call__(self, chunk):
        if self._skip:
            if len(chunk) <= self._skip:
                self._skip -= len(chunk)
                return
            chunk = chunk[self._skip:]
            self._skip = 0
        self._write(chunk)


def _lengths(ws):
    return len(ws._hyperlinks), len(getattr(ws, "_comments", ()))


def _restore(ws, lengths):
    del ws._hyperlinks[lengths[0]:]
    comments = getattr(ws, "_comments", None)
    if comments is not None:
        del comments[lengths[1]:]


def write_sheet_data(ws, write, *, lxml=True, engine=_ENGINE):
    """Write the whole <sheetData> of `ws` through `write`.

    `engine` is the native module to try first (None: Python only). Returns
    "engine" or "python", whichever wrote the output. Should the engine
    decline after handing some output to `write`, the Python writer's
    output, which is the same byte for byte, goes on from there.
    """
    lxml = bool(lxml) and lxml_available()
    if engine is _ENGINE:
        engine = _native.native
    skip = 0
    if engine is not None:
        before = _lengths(ws)
        counting = _Counting(write)
        writer = engine.SheetWriter(ws, counting, lxml, writer_helpers(lxml=lxml))
        try:
            writer.write_sheet_data(lambda: rows(ws))
        except engine.NativeFallback:
            _restore(ws, before)
            skip = counting.sent
        else:
            return "engine"
    write_rows(ws, _SkipPrefix(write, skip) if skip else write, lxml)
    return "python"


class SheetDataStream:
    """The rows of a write-only worksheet, written as they come.

    ``append(cells)`` writes one row (its cells in the order given);
    ``close()`` hands what is pending to `write`. The caller writes what
    surrounds the rows. `row_idx`, when not given, follows the last row.
    """

    def __init__(self, ws, write, *, lxml=True, engine=_ENGINE):
        self.lxml = bool(lxml) and lxml_available()
        if engine is _ENGINE:
            engine = _native.native
        self._ws = ws
        self._row = 0
        self._writer = None
        if engine is not None:
            try:
                self._writer = engine.SheetWriter(ws, write, self.lxml,
                                                  writer_helpers(lxml=self.lxml))
            except engine.NativeFallback:
                self._writer = None
        if self._writer is None:
            self._backend = backend(self.lxml)
            self._out = Pending(write, self._backend.empty)

    @property
    def engine(self):
        """True while rows go through the engine."""
        return self._writer is not None

    def append(self, cells, row_idx=None):
        row_idx = self._row + 1 if row_idx is None else operator.index(row_idx)
        if self._writer is not None:
            self._writer.write_row(cells, row_idx)
        else:
            self._out.add(self._backend.row(self._ws, row_idx, cells, add_comment))
            self._out.end_row()
        self._row = row_idx

    def append_values(self, values, row_idx, date_styles, make_cell):
        """Write one row from a tuple of values through the engine, as
        ``append`` writes the cells made of them (see
        ``SheetWriter.write_values``); False, with nothing written, when
        rows go through Python."""
        if self._writer is None:
            return False
        self._writer.write_values(values, row_idx, date_styles, make_cell)
        self._row = row_idx
        return True

    def close(self):
        if self._writer is not None:
            self._writer.flush()
        else:
            self._out.flush()
