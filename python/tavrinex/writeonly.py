"""Write-only worksheets: rows go straight to a temporary file as they are
appended, so memory stays bounded by a row whatever the sheet's size."""

from __future__ import annotations

import shutil
import tempfile
from collections.abc import Callable, Iterable
from typing import Any

import decimal
import itertools

from tavrinex.cell import Cell, infer_data_type
from tavrinex.dimensions import RowDimensions
from tavrinex.sheetfeatures import SheetFeatures
from tavrinex.styles.cells import default_date_format
from tavrinex.styles.stylesheet import format_id
from tavrinex.styles import StyleArray
from tavrinex.utils.cell import get_column_letter
from tavrinex.worksheet import (DATE_TYPES, MAX_COLUMN, MAX_ROW, ColumnDimensions,
                                check_title, copy_cell)
from tavrinex.writer import SheetDataStream
from tavrinex.writer.values import utf8


# Data types of the value types that need no further look.
_PLAIN_TYPES = {int: "n", float: "n", bool: "b", type(None): "n", decimal.Decimal: "n"}


class WriteOnlyWorksheet(SheetFeatures):
    """A sheet of a ``Workbook(write_only=True)``: ``append`` is the only
    way in; rows cannot be read back. Column widths, merged cells and
    the sheet state can be set until the workbook is saved."""

    def __init__(self, parent: Any, title: str) -> None:
        self.parent = parent
        self._title = title
        self.column_dimensions = ColumnDimensions()
        self.row_dimensions = RowDimensions()
        self.merged_cells: list[str] = []
        self.sheet_format: dict[str, str] = {}
        self._init_features()
        self._table_rows: dict[int, list[tuple[Any, str]]] = {}   # row -> (table, "header"/"totals")
        self._hyperlinks: list[Any] = []
        self._comments: list[Any] = []
        self._rows_file: Any = None
        self._stream: SheetDataStream | None = None
        self._row = 0
        self._max_column = 0
        self._pool: list[Cell] = []
        self._date_styles: dict[type, StyleArray] = {}
        self._saved = False

    def __repr__(self) -> str:
        return f"<WriteOnlyWorksheet {self.title!r}>"

    @property
    def title(self) -> str:
        return self._title

    @title.setter
    def title(self, title: str) -> None:
        check_title(title)
        self._title = title

    write_only = True

    def _open(self) -> SheetDataStream:
        self._rows_file = tempfile.TemporaryFile()
        write = self._rows_file.write
        self._stream = SheetDataStream(self, lambda chunk: write(utf8(chunk)))
        return self._stream

    def _cell(self, column: int) -> Cell:
        # One cell per column is reused from row to row: each row is
        # written out before the next is appended.
        pool = self._pool
        while len(pool) < column:
            pool.append(Cell(self, row=0, column=len(pool) + 1))
        return pool[column - 1]

    def append(self, values: Iterable[Any]) -> None:
        """Write one row after the last: values, or cells (their value,
        style, hyperlink and comment)."""
        if self._saved:
            raise ValueError(f"sheet {self.title!r} has been saved; it takes no more rows")
        kind = type(values)
        if kind is not tuple and kind is not list and (
                isinstance(values, (str, bytes)) or not isinstance(values, Iterable)):
            raise TypeError(f"append takes an iterable of values, not {type(values).__name__}")
        stream = self._stream if self._stream is not None else self._open()
        row = self._row + 1
        if row > MAX_ROW:
            raise ValueError(f"a worksheet holds at most {MAX_ROW} rows")
        # One value past the limit is enough to refuse the row.
        row_values = (values if isinstance(values, tuple)
                      else tuple(itertools.islice(values, MAX_COLUMN + 1)))
        if row in self._table_rows:
            row_values = self._table_row(row, row_values)
        count = len(row_values)
        # The engine writes plain values without making their cells.
        if not (count <= MAX_COLUMN and stream.append_values(row_values, row, self._date_styles,
                                                             self._fill_cell)):
            cells = []
            for column, value in enumerate(row_values, 1):
                if column > MAX_COLUMN:
                    raise ValueError(f"a row holds at most {MAX_COLUMN} cells")
                cells.append(self._fill_cell(row, column, value))
            stream.append(cells, row)
        self._row = row
        if count > self._max_column:
            self._max_column = count

    def _fill_cell(self, row: int, column: int, value: Any) -> Cell:
        """The pooled cell of `column`, holding `value` (or the value, style,
        hyperlink and comment of a cell) at `row`."""
        cell = self._pool[column - 1] if column <= len(self._pool) else self._cell(column)
        cell.row = row
        kind = type(value)
        data_type = _PLAIN_TYPES.get(kind)
        if data_type is not None or kind is str:
            # The common values, without the setter's checks.
            cell._value = value
            cell.data_type = data_type if data_type is not None else infer_data_type(value)
            cell._style = cell._hyperlink = cell._comment = None
        elif kind in DATE_TYPES:
            cell._value = value
            cell.data_type = "d"
            cell._style = self._date_style(kind, value)
            cell._hyperlink = cell._comment = None
        elif isinstance(value, Cell):
            cell._style = cell._hyperlink = None
            copy_cell(value, cell)
        else:
            cell._style = None
            cell._hyperlink = None
            cell._comment = None
            cell.value = value
        return cell

    def _take_table(self, table: Any) -> None:
        r1, c1, r2, c2 = table.bounds
        if r1 <= self._row:
            raise ValueError(f"table {table.name!r} starts at row {r1}, which this write-only "
                             f"sheet has written already; add tables before their rows")
        if table.columns is None and not table.header_row:
            from tavrinex.tables import TableColumn
            table.columns = [TableColumn(f"Column{i + 1}") for i in range(c2 - c1 + 1)]
        if table.header_row:
            self._table_rows.setdefault(r1, []).append((table, "header"))
        if table.totals_row:
            self._table_rows.setdefault(r2, []).append((table, "totals"))

    def _table_row(self, row: int, values: tuple[Any, ...]) -> tuple[Any, ...]:
        """The row's values with the header (or totals) cells of tables
        filled and checked, as an editable sheet does on add_table."""
        from tavrinex.tables import TableColumn
        cells = list(values)
        for table, kind in self._table_rows[row]:
            r1, c1, r2, c2 = table.bounds
            if len(cells) < c2:
                cells.extend([None] * (c2 - len(cells)))
            given = table.columns
            names: list[str] = []
            for i, column in enumerate(range(c1, c2 + 1)):
                value = cells[column - 1]
                if isinstance(value, Cell):
                    value = value.value
                if kind == "totals":
                    entry = given[i] if given is not None else None
                    if value is None and entry is not None:
                        cells[column - 1] = (entry.totals_label if entry.totals_label is not None
                                             else table.totals_formula(entry))
                    continue
                if value is None:
                    value = given[i].name if given is not None else f"Column{i + 1}"
                    cells[column - 1] = value
                elif not isinstance(value, str):
                    raise ValueError(f"table {table.name!r}: header cell "
                                     f"{get_column_letter(column)}{row} holds {value!r}; "
                                     "header cells hold text")
                elif given is not None and given[i].name != value:
                    raise ValueError(f"table {table.name!r}: header cell "
                                     f"{get_column_letter(column)}{row} holds {value!r}, "
                                     f"column {i + 1} is named {given[i].name!r}")
                if value.casefold() in (n.casefold() for n in names):
                    raise ValueError(f"table {table.name!r}: two columns are named {value!r}")
                names.append(value)
            if kind == "header":
                table.columns = [given[i] if given is not None else TableColumn(n)
                                 for i, n in enumerate(names)]
        return tuple(cells)

    def _date_style(self, kind: type, value: Any) -> StyleArray:
        """The style array that gives values of `kind` their default
        number format; shared by all such cells, which never change it."""
        style = self._date_styles.get(kind)
        if style is None:
            style = StyleArray()
            code = default_date_format(value)
            assert code is not None   # kind is one of the date and time types
            style[3] = format_id(code, self.parent.number_formats)
            self._date_styles[kind] = style
        return style

    def cell(self, value: Any = None) -> Cell:
        """A detached cell to style and pass to ``append``."""
        return Cell(self, row=0, column=1, value=value)

    @property
    def max_row(self) -> int:
        return self._row

    @property
    def max_column(self) -> int:
        return self._max_column

    def _dimension_ref(self) -> str:
        if not self._row or not self._max_column:
            return "A1"
        return f"A1:{get_column_letter(self._max_column)}{self._row}"

    def _finish(self) -> None:
        if self._stream is not None:
            self._stream.close()

    def _copy_rows(self, write: Callable[[bytes], Any]) -> None:
        """Hand the rows written so far to `write`; the sheet is spent."""
        self._saved = True
        if self._rows_file is None:
            return
        self._rows_file.seek(0)
        shutil.copyfileobj(self._rows_file, _Writer(write), 1 << 20)
        self._discard()

    def _discard(self) -> None:
        if self._rows_file is not None:
            self._rows_file.close()
            self._rows_file = None
        self._stream = None


class _Writer:
    def __init__(self, write: Callable[[bytes], Any]) -> None:
        self.write = write
