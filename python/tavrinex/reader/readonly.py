"""Read-only worksheets: rows streamed from the worksheet part on demand.

A `ReadOnlyWorksheet` never holds the sheet: each pass over its rows
opens the part afresh and reads it one row at a time, with the engine's
``RowReader`` when it is installed and the Python row reader otherwise.
The layout (merged cells, column widths, row attributes) comes from a
prescan that does not read cells, made the first time it is asked for.
The declared extent is that of the dimension element written before the
cells: a pass over the rows reads only the part up to the cells for it,
so that plain iteration inflates the part once.

If the engine declines a sheet in the middle of a pass, the pass goes on
in Python from the row after the last one handed out.
"""

import re
import warnings
from itertools import repeat

from tavrinex import _native
from tavrinex.cell import EMPTY_CELL, ReadOnlyCell, ReadOnlyFormulaCell
from tavrinex.dimensions import RowDimension, RowDimensions
from tavrinex.helpers import reader_helpers
from tavrinex.reader.handlers import handle_element
from tavrinex.reader.prescan import prescan_opened, scan_head
from tavrinex.reader.rows import PyRowReader
from tavrinex.reader.worksheet import WorksheetParser
from tavrinex.utils.cell import get_column_letter

_ENGINE = object()  # "use the installed engine"
_UNKNOWN = object()  # the declared extent before it is read
_RANGE = re.compile(r"\$?([A-Za-z]{1,3})\$?([0-9]+)(?::\$?([A-Za-z]{1,3})\$?([0-9]+))?")


def _letters_to_index(letters):
    index = 0
    for ch in letters.upper():
        index = index * 26 + ord(ch) - 64
    return index


def parse_dimension(ref):
    """(min_row, min_col, max_row, max_col) of a dimension text such as
    "A1:C9" or "B2", or None when it is not one."""
    if not ref:
        return None
    match = _RANGE.fullmatch(ref.strip())
    if match is None:
        return None
    min_col, min_row = _letters_to_index(match[1]), int(match[2])
    if match[3] is None:
        max_col, max_row = min_col, min_row
    else:
        max_col, max_row = _letters_to_index(match[3]), int(match[4])
    if min_row < 1 or max_row < min_row or max_col < min_col:
        return None
    return min_row, min_col, max_row, max_col


class ReadOnlyWorksheet:
    """A worksheet whose rows are read from its part on each pass.

    `open_source` is a zero-argument callable returning a new binary file
    at the start of the worksheet part; every pass (each `iter_rows`, the
    prescan) opens one and closes it when done. The reading options are
    those of the full reader; `engine` is the native module to try first
    (None: Python only).
    """

    def __init__(self, parent, title, open_source, *, data_only=False, rich_text=False,
                 date_formats=(), timedelta_formats=(), formula_and_value=False, helpers=None,
                 engine=_ENGINE, broken=None):
        self.parent = parent
        # broken(exc): the error to raise instead of exc when reading the
        # sheet fails (a workbook names its part), or None to let exc through
        self._broken = broken
        self.title = title
        self._open_source = open_source
        self._options = dict(data_only=data_only, rich_text=rich_text,
                             date_formats=date_formats, timedelta_formats=timedelta_formats,
                             formula_and_value=formula_and_value)
        self._helpers = helpers if helpers is not None else reader_helpers(rich_text=rich_text)
        self._engine = _native.native if engine is _ENGINE else engine
        self._cell_cls = ReadOnlyFormulaCell if formula_and_value else ReadOnlyCell
        self._layout = None
        self._declared = _UNKNOWN
        self._computed = None
        self.reader_path = None

    def __repr__(self):
        return f"<ReadOnlyWorksheet {self.title!r}>"

    # -- layout, from the prescan

    def _prescan(self):
        if self._layout is None:
            found = prescan_opened(self._open_source, True, None, helpers=self._helpers,
                                   engine=self._engine)
            layout = _Layout()
            for snippet, namespaces in found["head"]:
                handle_element(layout, snippet, namespaces)
            # The extent is the one declared before the cells, whichever
            # way it was found; a dimension after them does not count.
            head_dimension = layout._dimension
            for snippet, namespaces in found["tail"]:
                handle_element(layout, snippet, namespaces)
            layout._dimension = head_dimension
            for number, attrs in found["rows"]:
                layout.row_dimensions[int(number)] = RowDimension.from_attributes(attrs)
            self._layout = layout
        return self._layout

    def _declared_bounds(self):
        """The bounds of the dimension element before the cells, or None
        when there is no usable one; from the layout when it was read,
        else from the part up to the cells."""
        if self._declared is _UNKNOWN:
            if self._layout is not None:
                text = self._layout._dimension
            else:
                head = _Layout()
                for snippet, namespaces in scan_head(self._open_source):
                    handle_element(head, snippet, namespaces)
                text = head._dimension
            self._declared = parse_dimension(text)
        return self._declared

    @property
    def merged_cells(self):
        return self._prescan().merged_cells

    @property
    def column_dimensions(self):
        return self._prescan().column_dimensions

    @property
    def row_dimensions(self):
        return self._prescan().row_dimensions

    @property
    def hyperlinks(self):
        return self._prescan().hyperlinks

    @property
    def sheet_format(self):
        return self._prescan().sheet_format

    # -- extent

    def _bounds(self):
        """(min_row, min_col, max_row, max_col): the dimension element's
        when it has a usable one, else computed from the cells."""
        declared = self._declared_bounds()
        if declared is not None:
            return declared
        if self._computed is None:
            self._computed = self._compute_bounds()
        return self._computed

    def _compute_bounds(self):
        min_row = min_col = None
        max_row = max_col = 0
        for _, cells in self._raw_rows():
            for cell in cells:
                row, column = cell[0], cell[1]
                if min_row is None or row < min_row:
                    min_row = row
                if min_col is None or column < min_col:
                    min_col = column
                max_row = max(max_row, row)
                max_col = max(max_col, column)
        if min_row is None:
            return 1, 1, 1, 1
        return min_row, min_col, max_row, max_col

    @property
    def min_row(self):
        return self._bounds()[0]

    @property
    def min_column(self):
        return self._bounds()[1]

    @property
    def max_row(self):
        return self._bounds()[2]

    @property
    def max_column(self):
        return self._bounds()[3]

    def calculate_dimension(self):
        """The used range as text, such as "A1:C9"."""
        min_row, min_col, max_row, max_col = self._bounds()
        return f"{get_column_letter(min_col)}{min_row}:{get_column_letter(max_col)}{max_row}"

    # -- rows

    def iter_rows(self, min_row=None, max_row=None, min_col=None, max_col=None,
                  values_only=False):
        """Rows of cells (or values) in document order, 1-based and
        inclusive. Rows missing from the sheet come as rows of the empty
        cell (None for values). Without `max_col` a row is as wide as the
        sheet's declared width or its own last cell, whichever is wider;
        without `max_row` the rows run to the end of the sheet (and on to
        its declared last row)."""
        min_row = 1 if min_row is None else min_row
        min_col = 1 if min_col is None else min_col
        if min_row < 1 or min_col < 1:
            raise ValueError("Row or column values must be at least 1")
        values_only = bool(values_only)
        return self._guarded(self._iter_rows(min_row, max_row, min_col, max_col, values_only))

    def _guarded(self, rows):
        if self._broken is None:
            return rows
        return self._guarded_rows(rows)

    def _guarded_rows(self, rows):
        try:
            yield from rows
        except Exception as exc:
            error = self._broken(exc)
            if error is None:
                raise
            raise error from exc

    def _iter_rows(self, min_row, max_row, min_col, max_col, values_only):
        filler = None if values_only else EMPTY_CELL
        declared = self._declared_bounds()
        pad_to = 0
        if max_col is None and declared is not None:
            pad_to = declared[3] + 1 - min_col
        width = max_col + 1 - min_col if max_col is not None else pad_to
        empty_row = tuple(repeat(filler, max(width, 0)))
        last = max_row
        if last is None and declared is not None:
            last = declared[2]

        expected = min_row  # the next row number to hand out
        rows = self._rows(min_col, max_col, values_only, filler)
        try:
            for idx, row in rows:
                if max_row is not None and idx > max_row:
                    break
                if idx < expected:
                    continue  # before the range, or out of order
                while expected < idx:
                    yield empty_row
                    expected += 1
                if len(row) < pad_to:
                    row = row + tuple(repeat(filler, pad_to - len(row)))
                yield row
                expected += 1
        finally:
            rows.close()  # closes the part now, also when abandoned early
        if last is not None:
            while expected <= last:
                yield empty_row
                expected += 1

    @property
    def rows(self):
        return self.iter_rows()

    @property
    def values(self):
        return self.iter_rows(values_only=True)

    # -- the passes

    def _parser(self):
        wb = self.parent
        return WorksheetParser(wb.shared_strings, wb.epoch, **self._options)

    def _rows(self, min_col, max_col, values_only, filler):
        """(idx, row tuple) for each row of the sheet, engine first."""
        args = (self, min_col, max_col, values_only, self._cell_cls, filler)
        return self._pass("next_row", args)

    def _raw_rows(self):
        return self._pass("next_raw", ())

    def _pass(self, method, args):
        """What the reader's `method` gives, called with `args`, row after
        row: the engine's reader first, the Python one from where it gave up."""
        delivered = 0
        engine = self._engine
        if engine is not None:
            source = self._open_source()
            try:
                parser = self._parser()
                reader = engine.RowReader(source, parser, self._helpers)
                self.reader_path = "engine"
                pull, actions = getattr(reader, method), reader.actions
                fallback = engine.NativeFallback
                while True:
                    try:
                        got = pull(*args)
                    except fallback:
                        break
                    if actions or parser.row_dimensions:
                        _replay(actions, parser)
                    if got is None:
                        return
                    yield got
                    delivered += 1
            finally:
                source.close()
        source = self._open_source()
        try:
            parser = self._parser()
            reader = PyRowReader(source, parser, self._helpers)
            self.reader_path = "python"
            # Rows the engine handed out already, with their warnings.
            for _ in range(delivered):
                if reader.next_raw() is None:
                    return
            del reader.actions[:]
            pull = getattr(reader, method)
            while True:
                got = pull(*args)
                _replay(reader.actions, parser)
                if got is None:
                    return
                yield got
        finally:
            source.close()


class _Layout:
    """What the element handlers record for a read-only worksheet."""

    def __init__(self):
        self.row_dimensions = RowDimensions()
        self.column_dimensions = {}
        self.merged_cells = []
        self.hyperlinks = []
        self.sheet_format = {}
        self._dimension = None
        self._raw_elements = []


def _replay(actions, parser):
    """Issues the warnings a row brought and forgets what it collected:
    the layout comes from the prescan, so elements and row attributes met
    while streaming are not kept (memory stays that of one row)."""
    if actions:
        for action in actions:
            if action[0] == "warn":
                warnings.warn(action[1])
        del actions[:]
    if parser.row_dimensions:
        parser.row_dimensions.clear()
