"""Reading a worksheet row by row in Python.

`PyRowReader` has the interface of the engine's ``RowReader`` and is what
runs when the engine declines a sheet. It streams the document through the
worksheet reader's own walk and conversion code (`reader.worksheet`), so a
cell reads the same here as in a full read, and only one row is held at a
time.
"""

import types

from tavrinex.reader.worksheet import _NOT_KEPT, _Run

_CELL_SLOTS = ("parent", "row", "column", "_value", "data_type", "_style_id")
_FORMULA_SLOTS = ("formula", "cached_value")


class _StreamRun(_Run):
    """A worksheet read that collects each row's cells instead of storing
    them: (row, column, value, data type, style id, formula, cached value)."""

    def __init__(self, parser, source, helpers, actions):
        super().__init__(parser, source, None, None, None, None, helpers, actions)
        self.formula_cache = None   # streamed rows keep no cached values for a save
        self.row_cells = []

    def on_cell(self, row, column, style, value, data_type, cached):
        if cached is _NOT_KEPT:
            formula, cached = None, value
        else:
            formula = value
        self.row_cells.append((row, column, value, data_type, style, formula, cached))


def shape_row(cells, ws, min_col, max_col, values_only, cell_cls, filler, extra_none=(),
              formula_and_value=False):
    """The row tuple a read-only worksheet hands out for one row's cells:
    columns `min_col` to `max_col` (to the last cell's column when
    `max_col` is None or 0), `filler` where the row has no cell, and a
    later cell of a column replacing an earlier one."""
    if not max_col:
        if not cells:
            return ()
        max_col = cells[-1][1]
    width = max_col + 1 - min_col
    if width <= 0:
        return ()
    out = [filler] * width
    for cell in cells:
        column = cell[1]
        if min_col <= column <= max_col:
            out[column - min_col] = cell[2] if values_only else _make_cell(
                cell, ws, cell_cls, extra_none, formula_and_value)
    return tuple(out)


def _make_cell(cell, ws, cell_cls, extra_none, formula_and_value):
    row, column, value, data_type, style, formula, cached = cell
    obj = cell_cls.__new__(cell_cls)
    obj.parent = ws
    obj.row = row
    obj.column = column
    obj._value = value
    obj.data_type = data_type
    obj._style_id = style
    if formula_and_value:
        obj.formula = formula
        obj.cached_value = cached
    for name in extra_none:
        setattr(obj, name, None)
    return obj


class PyRowReader:
    """``RowReader(source, parser, helpers)`` in Python.

    `parser` carries the reading options of a `WorksheetParser` and its
    ``row_dimensions`` dict, which reading fills as it goes.
    """

    def __init__(self, source, parser, helpers):
        if not isinstance(helpers, dict):
            raise TypeError(
                f"RowReader() argument 'helpers' must be dict, not {type(helpers).__name__}")
        self._actions = []
        self._run = _StreamRun(parser, source, helpers, self._actions)
        self._formula_and_value = self._run.formula_and_value
        self._walk = None
        self._done = False

    @property
    def actions(self):
        return self._actions

    def _pull(self):
        """(row number, cells) of the next row, or None at the end; after
        the end or an error every pull gives None."""
        if self._done:
            return None
        try:
            if self._walk is None:
                self._walk = self._run.walk()
            idx = next(self._walk)
        except StopIteration:
            self._done = True
            return None
        except BaseException:
            self._done = True
            raise
        finally:
            cells = self._run.row_cells
            self._run.row_cells = []
        return idx, cells

    def next_raw(self):
        got = self._pull()
        if got is None:
            return None
        idx, cells = got
        return idx, [cell[:5] for cell in cells]

    def next_row(self, ws, min_col, max_col, values_only, cell_cls, filler, extra_none=None):
        if not isinstance(values_only, bool):
            raise TypeError("next_row() argument 'values_only' must be bool, not "
                            + type(values_only).__name__)
        if extra_none is None:
            extra_none = ()
        elif isinstance(extra_none, str):
            raise TypeError("next_row() argument 'extra_none' must be a sequence of str, "
                            "not str")
        else:
            extra_none = tuple(extra_none)
        if not values_only:
            _check_slots(cell_cls, extra_none, self._formula_and_value)
        got = self._pull()
        if got is None:
            return None
        idx, cells = got
        return idx, shape_row(cells, ws, min_col, max_col, values_only, cell_cls, filler,
                              extra_none, self._formula_and_value)


def _check_slots(cls, extra_none, formula_and_value):
    names = _CELL_SLOTS + (_FORMULA_SLOTS if formula_and_value else ()) + extra_none
    for name in names:
        if not isinstance(name, str):
            raise TypeError("next_row() argument 'extra_none' must be a sequence of str, "
                            f"not a sequence holding {type(name).__name__}")
        if not _is_slot(cls, name):
            raise TypeError(f"{name} is not a slot")


def _is_slot(cls, name):
    descr = getattr(cls, name, None)
    return isinstance(descr, types.MemberDescriptorType)
