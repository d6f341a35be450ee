"""Editable worksheets and the little of a workbook they need."""

import dataclasses
import datetime
import re

import decimal

from tavrinex.cell import Cell, infer_data_type
from tavrinex.dimensions import RowDimensions, check_outline_level
from tavrinex.sheetfeatures import SheetFeatures
from tavrinex.styles import StyleArray, StyleList
from tavrinex.utils.cell import column_index_from_string, coordinate_to_tuple, get_column_letter
from tavrinex.utils.elements import num_text

MAX_ROW = 1_048_576
MAX_COLUMN = 16_384   # XFD: the last column spreadsheet programs show (utils.cell reads up to ZZZ)
# Data types of the value types that need no further look.
_PLAIN_TYPES = {int: "n", float: "n", bool: "b", decimal.Decimal: "n"}
_ROW_NUMBER = re.compile(r"[1-9][0-9]*\Z")
_COLUMN_LETTERS = re.compile(r"[A-Za-z]{1,3}\Z")
_FORBIDDEN_TITLE = re.compile(r"[\\*?:/\[\]]")
# Date and time types whose cells all get the same default number format.
DATE_TYPES = (datetime.datetime, datetime.date, datetime.time, datetime.timedelta)


def new_cell_store(ws):
    """An empty engine CellStore set up as the cells of the new sheet `ws`,
    or a dict when the engine is not built."""
    from tavrinex import _native
    if _native.native is None:
        return {}
    store = _native.native.CellStore()
    store._configure(ws, ws.parent._cell_styles, Cell)
    return store


def check_title(title):
    """Raises ValueError for a sheet title spreadsheet programs refuse."""
    if not isinstance(title, str):
        raise TypeError(f"sheet titles are str, not {type(title).__name__}")
    if not title or len(title) > 31:
        raise ValueError(f"sheet titles hold 1 to 31 characters, not {len(title)}: {title!r}")
    bad = _FORBIDDEN_TITLE.search(title)
    if bad:
        raise ValueError(f"sheet title {title!r} holds {bad.group()!r}; "
                         "titles cannot hold any of \\ / * ? : [ ]")
    if title.startswith("'") or title.endswith("'"):
        raise ValueError(f"sheet title {title!r} begins or ends with an apostrophe")
    if any(ord(ch) < 32 for ch in title):
        raise ValueError(f"sheet title {title!r} holds a control character")


class ColumnDimension(dict):
    """The attributes of a <col> entry (``min`` and ``max`` the columns it
    spans), with `width`, `hidden`, `outline_level` and `collapsed` as
    properties."""

    @property
    def width(self):
        try:
            return float(self["width"]) if "width" in self else None
        except ValueError:
            return None

    @width.setter
    def width(self, value):
        if value is None:
            self.pop("width", None)
            self.pop("customWidth", None)
            return
        if isinstance(value, bool) or not isinstance(value, (int, float)) \
                or not 0 <= value <= 255:
            raise ValueError(f"column widths run from 0 to 255, not {value!r}")
        self["width"] = num_text(value)
        self["customWidth"] = "1"

    @property
    def hidden(self):
        return self.get("hidden") in ("1", "true")

    @hidden.setter
    def hidden(self, value):
        if value:
            self["hidden"] = "1"
        else:
            self.pop("hidden", None)

    @property
    def outline_level(self):
        try:
            return int(self.get("outlineLevel", 0))
        except ValueError:
            return 0

    @outline_level.setter
    def outline_level(self, value):
        check_outline_level(value)
        if value:
            self["outlineLevel"] = str(value)
        else:
            self.pop("outlineLevel", None)

    @property
    def collapsed(self):
        return self.get("collapsed") in ("1", "true")

    @collapsed.setter
    def collapsed(self, value):
        if value:
            self["collapsed"] = "1"
        else:
            self.pop("collapsed", None)

    def span(self):
        """(min, max) of the columns the entry covers, or None when they
        are not numbers."""
        try:
            low = int(self.get("min", ""))
            return low, int(self.get("max", low))
        except ValueError:
            return None


class ColumnDimensions(dict):
    """Column letters to their ColumnDimension, created on first use. A
    letter inside a span read from a file (``<col min="2" max="4">``) finds
    that span's attributes: the span is split so that the column has an
    entry of its own, and a save joins neighbours that are alike again."""

    def __getitem__(self, letter):
        if isinstance(letter, str) and not letter.isupper():
            letter = letter.upper()
        return super().__getitem__(letter)

    def __setitem__(self, letter, attrs):
        if not isinstance(attrs, ColumnDimension):
            attrs = ColumnDimension(attrs)
        super().__setitem__(letter.upper() if isinstance(letter, str) else letter, attrs)

    def __missing__(self, letter):
        index = column_index_from_string(letter)
        dim = self._split_at(index)
        if dim is None:
            dim = ColumnDimension(min=str(index), max=str(index))
        super().__setitem__(letter.upper(), dim)
        return dim

    def _split_at(self, index):
        """Takes column `index` out of an entry spanning it from an earlier
        column: the entry keeps the columns before, a copy under the next
        letter those after. Returns the column's own entry with the span's
        attributes, or None when no entry spans it."""
        for dim in self.values():
            span = dim.span()
            if span is not None and span[0] < index <= span[1]:
                break
        else:
            return None
        low, high = span
        dim["max"] = str(index - 1)
        if index < high:
            after = ColumnDimension(dim, min=str(index + 1), max=str(high))
            super().__setitem__(get_column_letter(index + 1), after)
        return ColumnDimension(dim, min=str(index), max=str(index))

    def group(self, start, end, outline_level=1, hidden=False):
        """Give columns `start` to `end` (letters) an outline level (hidden
        when the group is folded)."""
        first = column_index_from_string(start)
        last = column_index_from_string(end)
        if first > last:
            raise ValueError(f"a group runs from its first column to its last, not "
                             f"{start}:{end}")
        check_outline_level(outline_level)
        for column in range(first, last + 1):
            dim = self[get_column_letter(column)]
            dim.outline_level = outline_level
            dim.hidden = hidden


class Workbook:
    """What worksheets take from their workbook: the style list, the date
    epoch and the shared strings."""

    def __init__(self, shared_strings=None, cell_styles=None, epoch=None, iso_dates=False):
        if epoch is None:
            from tavrinex.utils.datetime import WINDOWS_EPOCH
            epoch = WINDOWS_EPOCH
        self.shared_strings = list(shared_strings) if shared_strings is not None else []
        self._cell_styles = StyleList(cell_styles if cell_styles is not None else [StyleArray()])
        self.epoch = epoch
        self.iso_dates = iso_dates


def copy_cell(source, cell):
    """Gives `cell` what an appended Cell carries: its value, style, comment
    and hyperlink (pointed at the new place)."""
    cell.value = source.value
    if source.has_style:
        cell._style = StyleArray(source._style)
    cell._comment = source._comment
    if source._hyperlink is not None:
        cell._hyperlink = dataclasses.replace(source._hyperlink, ref=cell.coordinate)


class Worksheet(SheetFeatures):
    """A worksheet whose cells live in ``_cells``: a dict, or the engine's
    CellStore, keyed by (row, column)."""

    def __init__(self, parent=None, title="Sheet"):
        self.parent = parent if parent is not None else Workbook()
        self._title = title
        self._cells = {}
        # (row, column) -> (t, v, cm) of loaded formula cells the Python
        # reader read (a CellStore keeps its own); dropped as cells change.
        self._formula_cache = {}
        self._edited = False          # a cell changed (see Workbook.cells_changed)
        self._date_styles = {}        # date type -> style id of its default number format
        self.row_dimensions = RowDimensions()   # row number -> RowDimension
        self.column_dimensions = ColumnDimensions()   # column letters -> <col> attributes
        self.merged_cells = []        # range texts such as "A1:B2"
        self.hyperlinks = []          # attributes of each <hyperlink>
        self.sheet_format = {}
        self._dimension = None
        self._raw_elements = []       # (tag, bytes) of elements kept as written
        self._init_features()
        self.reader_path = None       # "engine" or "python" once read from a file
        self._hyperlinks = []         # hyperlinks of the cells written out
        self._comments = []           # (row, column, comment) of the cells written out

    def __repr__(self):
        return f"<Worksheet {self.title!r}>"

    @property
    def title(self):
        return self._title

    @title.setter
    def title(self, title):
        check_title(title)
        sheets = getattr(self.parent, "worksheets", ())
        for other in sheets:
            if other is not self and other.title.casefold() == title.casefold():
                raise ValueError(f"a sheet titled {other.title!r} already exists")
        old, self._title = self._title, title
        if old != title and any(ws is self for ws in sheets):
            from tavrinex import structure
            structure.rename(self.parent, old, title)

    # -- cells

    def cell(self, row, column, value=None):
        """The cell at (row, column), created empty when missing; `value`,
        when not None, is assigned to it."""
        if row < 1 or column < 1:
            raise ValueError("Row or column values must be at least 1")
        if (row > MAX_ROW or column > MAX_COLUMN) and getattr(self.parent, "write_limits", False):
            raise ValueError(f"cell ({row}, {column}) is beyond the last row ({MAX_ROW}) "
                             f"or column ({MAX_COLUMN}, XFD) of a worksheet")
        key = (row, column)
        cell = self._cells.get(key)
        if cell is None:
            cell = self._cells[key] = Cell(self, row=row, column=column)
        if value is not None:
            cell.value = value
        return cell

    def __getitem__(self, key):
        """``ws["B2"]``: the cell; ``ws["A1:B2"]``: rows of cells;
        ``ws[3]`` or ``ws["3"]``: a row of cells; ``ws[2:4]`` or ``ws["2:4"]``:
        rows; ``ws["C"]``: a column of cells; ``ws["A:C"]``: columns. Rows
        span the used columns and columns the used rows."""
        if isinstance(key, int) and not isinstance(key, bool):
            return self._row_cells(key)
        if isinstance(key, slice):
            if key.step is not None:
                raise ValueError("worksheet row slices take no step")
            first = self.min_row if key.start is None else key.start
            last = self.max_row if key.stop is None else key.stop
            return tuple(self._row_cells(row) for row in range(first, last + 1))
        if not isinstance(key, str):
            raise TypeError(f"worksheet keys are cell references, not {type(key).__name__}")
        first, colon, last = key.partition(":")
        if _ROW_NUMBER.match(first) and (not colon or _ROW_NUMBER.match(last)):
            if not colon:
                return self._row_cells(int(first))
            return tuple(self._row_cells(row) for row in range(int(first), int(last) + 1))
        if _COLUMN_LETTERS.match(first) and (not colon or _COLUMN_LETTERS.match(last)):
            min_col = column_index_from_string(first.upper())
            max_col = column_index_from_string(last.upper()) if colon else min_col
            columns = tuple(self.iter_cols(min_col=min_col, max_col=max_col,
                                           min_row=self.min_row, max_row=self.max_row))
            return columns if colon else columns[0]
        if colon:
            min_row, min_col = coordinate_to_tuple(first)
            max_row, max_col = coordinate_to_tuple(last)
            return tuple(self.iter_rows(min_row, max_row, min_col, max_col))
        row, column = coordinate_to_tuple(key)
        return self.cell(row, column)

    def _row_cells(self, row):
        if row < 1:
            raise ValueError("Row or column values must be at least 1")
        return next(self.iter_rows(row, row, self.min_column, self.max_column))

    def __iter__(self):
        """The rows of cells, as ``iter_rows()`` gives them."""
        return self.iter_rows()

    def __setitem__(self, coordinate, value):
        self[coordinate].value = value

    def append(self, values):
        """Add a row after the last one: a list or tuple of values (or
        cells, whose values and styles are copied), or a dict keyed by
        column numbers or letters."""
        if type(values) is tuple:
            items = None
        elif isinstance(values, dict):
            items = [(column_index_from_string(k) if isinstance(k, str) else k, v)
                     for k, v in values.items()]
        elif isinstance(values, (list, tuple, range)) or hasattr(values, "__next__"):
            values = tuple(values)
            items = None
        else:
            raise TypeError(f"append takes a list, tuple, range, generator or dict, "
                            f"not {type(values).__name__}")
        row = self._next_row()
        if row > MAX_ROW and getattr(self.parent, "write_limits", False):
            self.cell(row, 1)   # raises the usual error
        self._edited = True
        cells = self._cells
        if items is None:
            # The engine's store keeps plain values without Cell objects.
            append_row = getattr(cells, "_append_row", None)
            if append_row is not None and len(values) <= MAX_COLUMN \
                    and append_row(row, values, self._date_styles, self._new_cell):
                self._appended = (row, len(cells))
                return
            items = list(enumerate(values, 1))
        for column, value in items:
            kind = type(value)
            if (kind in _PLAIN_TYPES or kind is str) and type(column) is int \
                    and 1 <= column <= MAX_COLUMN:
                # The common values: no setter, no second look-up.
                key = (row, column)
                cell = cells.get(key)
                if cell is None:
                    cell = cells[key] = Cell(self, row=row, column=column)
                cell.data_type = _PLAIN_TYPES.get(kind) or infer_data_type(value)
                cell._value = value
            elif isinstance(value, Cell):
                copy_cell(value, self.cell(row, column))
            else:
                self.cell(row, column, value)
        self._appended = (row, len(self._cells))

    def _cached_value(self, row, column):
        """(t, v, cm) of the formula cell at (row, column) as the loaded file
        wrote them (None for what it did not have), or None."""
        cache = self._formula_cache
        if cache is not None:
            return cache.get((row, column)) if cache else None
        cached = getattr(self._cells, "_cached", None)
        return cached(row, column) if cached is not None else None

    def _cell_changed(self, row, column):
        """Notes that the cell at (row, column) changed: its kept cached value
        goes."""
        self._edited = True
        cache = self._formula_cache
        if cache is not None:
            if cache:
                cache.pop((row, column), None)
        else:
            forget = getattr(self._cells, "_forget_cached", None)
            if forget is not None:
                forget(row, column)

    def _cells_moved(self):
        """Cells moved (rows or columns inserted or deleted): no kept cached
        value holds any more."""
        self._edited = True
        if self._formula_cache is not None:
            self._formula_cache = {}
        else:
            drop = getattr(self._cells, "_drop_cached", None)
            if drop is not None:
                drop()

    def _new_cell(self, row, column, value):
        """The cell `append` puts at (row, column) for `value`, not yet in
        the sheet; notes the style a new date or time value got, so that
        the engine gives it to later values of that type."""
        cell = Cell(self, row=row, column=column)
        if isinstance(value, Cell):
            copy_cell(value, cell)
        elif value is not None:
            cell.value = value
            kind = type(value)
            if kind in DATE_TYPES and cell._style is not None:
                self._date_styles[kind] = self.parent._cell_styles.add(cell._style)
        return cell

    def _next_row(self):
        # The sheet's extent is looked up only when cells came in some
        # other way since the last append (it costs a pass over them).
        last, count = getattr(self, "_appended", (0, 0))
        if len(self._cells) != count:
            last = max(last, self.max_row)
        return last + 1

    # -- rows and columns

    def insert_rows(self, idx, amount=1):
        """Insert `amount` empty rows before row `idx`. Cells below move
        down with their values, styles, comments and hyperlinks, and every
        formula, defined name and range of the workbook that refers to
        them follows, as in Excel."""
        from tavrinex import structure
        self._cells_moved()
        structure.shift(self, "rows", idx, amount, delete=False)

    def delete_rows(self, idx, amount=1):
        """Delete `amount` rows from row `idx` on; cells below move up.
        References into the deleted rows become #REF!, ranges shrink."""
        from tavrinex import structure
        self._cells_moved()
        structure.shift(self, "rows", idx, amount, delete=True)

    def insert_cols(self, idx, amount=1):
        """Insert `amount` empty columns before column `idx` (a number or
        letters); as `insert_rows`, for columns."""
        from tavrinex import structure
        self._cells_moved()
        structure.shift(self, "cols", idx, amount, delete=False)

    def delete_cols(self, idx, amount=1):
        """Delete `amount` columns from column `idx` (a number or letters)
        on; as `delete_rows`, for columns."""
        from tavrinex import structure
        self._cells_moved()
        structure.shift(self, "cols", idx, amount, delete=True)

    # -- images and charts

    def add_image(self, image, anchor=None):
        """Place a tavrinex.Image on the sheet, at its own anchor or at
        `anchor` ("B2", or "B2:E10" to fill those cells)."""
        from tavrinex.image import Image, parse_anchor
        if not isinstance(image, Image):
            raise TypeError(f"add_image takes a tavrinex.Image, not {type(image).__name__}")
        if anchor is not None:
            parse_anchor(anchor)
            image.anchor = anchor.upper()
        self.__dict__.setdefault("_images", []).append(image)

    def add_chart(self, chart, anchor="H2"):
        """Place a chart of tavrinex.chart, its top left corner at `anchor`
        ("H2"; "H2:P20" stretches it over those cells)."""
        from tavrinex.chart import Chart
        from tavrinex.image import parse_anchor
        if not isinstance(chart, Chart):
            raise TypeError(f"add_chart takes a chart of tavrinex.chart, not "
                            f"{type(chart).__name__}")
        if not chart.series:
            raise ValueError(f"{chart!r} has no series to draw")
        parse_anchor(anchor)
        chart.anchor = anchor.upper()
        self.__dict__.setdefault("_charts", []).append(chart)

    @property
    def images(self):
        """The images of the sheet: those read from its file (PlacedImage:
        anchor, size, bytes, format) and those added."""
        return list(getattr(self, "_read_images", ())) + list(getattr(self, "_images", ()))

    @property
    def charts(self):
        """The charts of the sheet: those read from its file (ReadChart:
        kind, title, series ranges, anchor; kept as they were) and those
        added."""
        return list(getattr(self, "_read_charts", ())) + list(getattr(self, "_charts", ()))

    def merge_cells(self, range_string):
        """Merge the cells of a range such as "A1:C2"."""
        first, sep, last = range_string.partition(":")
        if not sep:
            raise ValueError(f"merged ranges have two corners, such as 'A1:B2': {range_string!r}")
        (r1, c1), (r2, c2) = coordinate_to_tuple(first), coordinate_to_tuple(last)
        if r1 > r2 or c1 > c2:
            raise ValueError(f"range {range_string!r} does not run from top left to bottom right")
        self.merged_cells.append(range_string.upper())

    def _take_table(self, table):
        columns = table.columns
        header = table.header_cells()
        names = []
        if table.header_row:
            for i, (row, column) in enumerate(header):
                cell = self._cells.get((row, column))
                value = cell.value if cell is not None else None
                if value is None:
                    value = columns[i].name if columns is not None else f"Column{i + 1}"
                    self.cell(row, column).value = value
                elif not isinstance(value, str):
                    raise ValueError(f"table {table.name!r}: header cell "
                                     f"{self.cell(row, column).coordinate} holds {value!r}; "
                                     "header cells hold text")
                elif columns is not None and columns[i].name != value:
                    raise ValueError(f"table {table.name!r}: header cell "
                                     f"{self.cell(row, column).coordinate} holds {value!r}, "
                                     f"column {i + 1} is named {columns[i].name!r}")
                names.append(value)
        else:
            names = [c.name for c in columns] if columns is not None else \
                [f"Column{i + 1}" for i in range(len(header))]
        seen = {}
        for i, name in enumerate(names):
            if name.casefold() in seen:
                raise ValueError(f"table {table.name!r}: columns {seen[name.casefold()] + 1} "
                                 f"and {i + 1} are both named {name!r}")
            seen[name.casefold()] = i
        from tavrinex.tables import TableColumn
        table.columns = [columns[i] if columns is not None else TableColumn(name)
                         for i, name in enumerate(names)]
        if table.totals_row:
            row = table.bounds[2]
            for column, entry in zip(range(table.bounds[1], table.bounds[3] + 1), table.columns):
                cell = self._cells.get((row, column))
                if cell is not None and cell.value is not None:
                    continue
                value = entry.totals_label if entry.totals_label is not None \
                    else table.totals_formula(entry)
                if value is not None:
                    self.cell(row, column).value = value

    # -- extent

    def _store_bounds(self):
        """(min_row, max_row, min_col, max_col) from the engine's store, or
        None when the cells are a dict (or the store fell into dict mode)."""
        bounds = getattr(self._cells, "_bounds", None)
        return bounds() if bounds is not None else None

    def _extent(self, index):
        keys = list(self._cells)
        return [key[index] for key in keys] if keys else []

    @property
    def min_row(self):
        bounds = self._store_bounds()
        if bounds is not None:
            return bounds[0]
        return min(self._extent(0), default=1)

    @property
    def max_row(self):
        bounds = self._store_bounds()
        if bounds is not None:
            return bounds[1]
        return max(self._extent(0), default=1)

    @property
    def min_column(self):
        bounds = self._store_bounds()
        if bounds is not None:
            return bounds[2]
        return min(self._extent(1), default=1)

    @property
    def max_column(self):
        bounds = self._store_bounds()
        if bounds is not None:
            return bounds[3]
        return max(self._extent(1), default=1)

    def calculate_dimension(self):
        """The range the cells span, such as "A1:C3"."""
        from tavrinex.utils.cell import get_column_letter
        return (f"{get_column_letter(self.min_column)}{self.min_row}:"
                f"{get_column_letter(self.max_column)}{self.max_row}")

    # -- rows

    def iter_rows(self, min_row=None, max_row=None, min_col=None, max_col=None,
                  values_only=False):
        """Rows of cells (or of values) over the given ranges, 1-based and
        inclusive; missing cells are created as ``cell()`` creates them."""
        if min_row is None:
            min_row = 1
        if min_col is None:
            min_col = 1
        if max_row is None:
            max_row = self.max_row
        if max_col is None:
            max_col = self.max_column
        if min_row < 1 or min_col < 1:
            raise ValueError("Row or column values must be at least 1")
        values_only = bool(values_only)
        cells = self._cells
        in_dict_mode = getattr(cells, "_in_dict_mode", None)
        if in_dict_mode is None:
            for row in range(min_row, max_row + 1):
                yield self._cells_by_row(row, min_col, max_col, values_only)
            return
        store_row = cells._row
        for row in range(min_row, max_row + 1):
            if self._cells is cells and not in_dict_mode():
                yield store_row(row, min_col, max_col, values_only)[0]
            else:
                yield self._cells_by_row(row, min_col, max_col, values_only)

    def _cells_by_row(self, row, min_col, max_col, values_only):
        cells = self._cells
        in_dict_mode = getattr(cells, "_in_dict_mode", None)
        if in_dict_mode is not None and not in_dict_mode():
            return cells._row(row, min_col, max_col, values_only)[0]
        row_cells = tuple(self.cell(row, column) for column in range(min_col, max_col + 1))
        if values_only:
            return tuple(cell.value for cell in row_cells)
        return row_cells

    @property
    def rows(self):
        return self.iter_rows()

    def iter_cols(self, min_col=None, max_col=None, min_row=None, max_row=None,
                  values_only=False):
        """Columns of cells (or of values) over the given ranges, 1-based
        and inclusive; missing cells are created as ``cell()`` creates them."""
        min_col = 1 if min_col is None else min_col
        min_row = 1 if min_row is None else min_row
        max_col = self.max_column if max_col is None else max_col
        max_row = self.max_row if max_row is None else max_row
        if min_row < 1 or min_col < 1:
            raise ValueError("Row or column values must be at least 1")
        for column in range(min_col, max_col + 1):
            cells = tuple(self.cell(row, column) for row in range(min_row, max_row + 1))
            yield tuple(cell.value for cell in cells) if values_only else cells

    @property
    def columns(self):
        return self.iter_cols()

    @property
    def values(self):
        return self.iter_rows(values_only=True)
