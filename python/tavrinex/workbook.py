"""Workbooks, new or read from files: their worksheets in order, their
styles, defined names and sheet states.

``Workbook()`` starts a new workbook with one sheet; ``Workbook(write_only=
True)`` one whose sheets stream their rows to temporary files; `save`
writes either as an xlsx file.

Everything a later save needs is kept in plain attributes:

* ``stylesheet``: the styles part (tavrinex.styles.Stylesheet):
  fonts, fills, borders, alignments, protections, number formats and the
  cell formats, whose style arrays are ``_cell_styles`` (the same list);
* ``number_formats``: custom number formats by id (``stylesheet``'s);
* ``defined_names``: DefinedName entries in workbook order;
* ``sheet_states``: "visible", "hidden" or "veryHidden" by sheet title;
* ``epoch``: the date system (1904 when the workbook says so).
"""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Protocol

from tavrinex import worksheet as _worksheet
from tavrinex.names import DefinedName, DefinedNames
from tavrinex.properties import CustomProperties, DocumentProperties
from tavrinex.styles import NamedStyles, Stylesheet
from tavrinex.utils.datetime import MAC_EPOCH

if TYPE_CHECKING:
    from tavrinex.reader.excel import Archive


class Titled(Protocol):
    title: str


class ReadOnlySheet(Titled, Protocol):
    """What a worksheet of a read-only workbook offers."""

    merged_cells: Any
    column_dimensions: Any
    row_dimensions: Any
    reader_path: str

    def iter_rows(self, min_row: int | None = None, max_row: int | None = None,
                  min_col: int | None = None, max_col: int | None = None,
                  values_only: bool = False) -> Iterator[tuple[Any, ...]]: ...

    @property
    def rows(self) -> Iterator[tuple[Any, ...]]: ...

    @property
    def values(self) -> Iterator[tuple[Any, ...]]: ...

    @property
    def min_row(self) -> int: ...

    @property
    def max_row(self) -> int: ...

    @property
    def min_column(self) -> int: ...

    @property
    def max_column(self) -> int: ...

    def calculate_dimension(self) -> str: ...


class Workbook[S: Titled = Any](_worksheet.Workbook):
    """A workbook: new, with one sheet (`write_only`: sheets that take rows
    through ``append`` only and keep none), or read by
    `tavrinex.load_workbook` (`empty`: made without a sheet). `S` is the
    type of its worksheets (Worksheet, or ReadOnlySheet in read-only mode)."""

    def __init__(self, write_only: bool = False, *, filename: str = "",
                 shared_strings: list[Any] | None = None,
                 stylesheet: Stylesheet | None = None, epoch: Any = None,
                 read_only: bool = False, data_only: bool = False,
                 empty: bool = False) -> None:
        if stylesheet is None:
            from tavrinex.styles import new_stylesheet
            stylesheet = new_stylesheet()
        super().__init__(shared_strings=shared_strings, cell_styles=stylesheet.cell_styles,
                         epoch=epoch)
        stylesheet.cell_styles = self._cell_styles   # one list for both
        self.stylesheet = stylesheet
        self.number_formats = stylesheet.number_formats
        self.filename = filename
        self.read_only = read_only
        self.data_only = data_only
        self._worksheets: list[S] = []
        self.defined_names = DefinedNames(self)
        self._properties = DocumentProperties(creator="tavrinex")
        self._custom_properties = CustomProperties()
        self._modified_read: Any = None   # the modification date the file had
        self.unread_parts: list[str] = []
        self._active_index = 0
        self._date_formats = stylesheet.date_style_ids()
        self._timedelta_formats = stylesheet.timedelta_style_ids()
        self._archive: Archive | None = None
        self.write_only = bool(write_only)
        self.write_limits = True   # cells beyond XFD1048576 are refused
        if not empty and not write_only:
            self.create_sheet("Sheet")

    def __repr__(self) -> str:
        return f"<Workbook {self.filename!r} {self.sheetnames}>"

    @property
    def cells_changed(self) -> bool:
        """Whether a cell changed since the workbook was loaded (for a new
        workbook: since it was made): a value set, a row appended, rows or
        columns inserted or deleted. A save then asks spreadsheet programs
        to recalculate every formula on load."""
        # Sheets that keep no record (write-only ones) count as changed.
        return any(getattr(ws, "_edited", True) for ws in self._worksheets)

    @property
    def worksheets(self) -> list[S]:
        """The sheets in order. Assigning a new order of the same sheets
        moves them as `move_sheet` does."""
        return self._worksheets

    @worksheets.setter
    def worksheets(self, order: list[S]) -> None:
        order = list(order)
        if len(order) != len(self._worksheets) or {id(ws) for ws in order} != {
                id(ws) for ws in self._worksheets}:
            raise ValueError("a new order of the worksheets holds the same sheets, each once")
        self._reorder(order)

    def _reorder(self, order: list[S]) -> None:
        """Puts the sheets in `order`; sheet-local names and the active
        sheet go with their sheets."""
        old = {id(ws): i for i, ws in enumerate(self._worksheets)}
        place = {old[id(ws)]: new for new, ws in enumerate(order)}
        for name in self.defined_names:
            # A local name tied to its sheet object moves with it; one that
            # holds its sheet's place (as a number, or as the text a file
            # gave) gets the new place.
            if any(getattr(name, attr, None) is not None
                   and not isinstance(getattr(name, attr), str) for attr in ("sheet", "scope")):
                continue
            local = getattr(name, "local_sheet_id", None)
            if isinstance(local, int) and local in place:
                setattr(name, "local_sheet_id", place[local])
            attributes = getattr(name, "attributes", None)
            text = attributes.get("localSheetId") if isinstance(attributes, dict) else None
            if isinstance(attributes, dict) and isinstance(text, str) and text.isdigit() \
                    and int(text) in place:
                attributes["localSheetId"] = str(place[int(text)])
        if self._active_index in place:
            self._active_index = place[self._active_index]
        self._worksheets[:] = order

    def move_sheet(self, sheet: Any, offset: int = 0) -> None:
        """Move a sheet (or the sheet of that title) `offset` places: to the
        right when positive, to the left when negative."""
        ws = self[sheet] if isinstance(sheet, str) else sheet
        index = self._worksheets.index(ws)
        if isinstance(offset, bool) or not isinstance(offset, int):
            raise TypeError(f"the offset is a whole number of places, not {offset!r}")
        target = index + offset
        if not 0 <= target < len(self._worksheets):
            raise ValueError(f"sheet {ws.title!r} at place {index} cannot move {offset} places "
                             f"among {len(self._worksheets)} sheets")
        order = list(self._worksheets)
        order.insert(target, order.pop(index))
        self._reorder(order)

    def copy_worksheet(self, ws: Any) -> Any:
        """A copy of the worksheet `ws` at the end of the workbook, titled
        "<title> Copy" (then "<title> Copy2", ...): its cells with values,
        formulas, styles, comments and hyperlinks, its dimensions, merged
        ranges, layout and sheet-local names. Tables (their names must be
        unique), images and charts are not copied."""
        from tavrinex.structure import copy_worksheet
        return copy_worksheet(self, ws)

    @property
    def epoch_1904(self) -> bool:
        """Whether dates count from 1904-01-01 (the 1904 date system)."""
        return self.epoch == MAC_EPOCH

    @property
    def sheet_states(self) -> dict[str, str]:
        """The state of each sheet by title ("visible", "hidden", "veryHidden")."""
        return {ws.title: getattr(ws, "sheet_state", "visible") for ws in self.worksheets}

    @property
    def properties(self) -> DocumentProperties:
        """The document properties (title, creator, dates, company, ...)."""
        return self._properties

    @properties.setter
    def properties(self, value: DocumentProperties) -> None:
        if not isinstance(value, DocumentProperties):
            raise TypeError(f"properties takes DocumentProperties, not {type(value).__name__}")
        self._properties = value

    @property
    def custom_properties(self) -> CustomProperties:
        """Custom document properties: names to str, int, float, bool or datetime."""
        return self._custom_properties

    @custom_properties.setter
    def custom_properties(self, value: Any) -> None:
        self._custom_properties = value if isinstance(value, CustomProperties) \
            else CustomProperties(dict(value))

    @property
    def named_styles(self) -> NamedStyles:
        """The named cell styles ("Normal", ...); ``cell.style = "Good"``
        takes a built-in one into the workbook."""
        return self.stylesheet.named_styles

    @property
    def sheetnames(self) -> list[str]:
        return [ws.title for ws in self.worksheets]

    def __getitem__(self, name: str) -> S:
        for ws in self.worksheets:
            if ws.title == name:
                return ws
        raise KeyError(f"Worksheet {name} does not exist.")

    def __contains__(self, name: object) -> bool:
        return any(ws.title == name for ws in self.worksheets)

    def __iter__(self) -> Iterator[S]:
        return iter(self.worksheets)

    def __len__(self) -> int:
        return len(self.worksheets)

    @property
    def active(self) -> S | None:
        """The sheet selected when the workbook was saved (the first
        visible one when that is not a worksheet here), or None."""
        if 0 <= self._active_index < len(self.worksheets):
            return self.worksheets[self._active_index]
        for ws in self.worksheets:
            if self.sheet_states.get(ws.title, "visible") == "visible":
                return ws
        return self.worksheets[0] if self.worksheets else None

    @active.setter
    def active(self, ws: Any) -> None:
        self._active_index = ws if isinstance(ws, int) else self.worksheets.index(ws)

    def index(self, ws: S) -> int:
        return self.worksheets.index(ws)

    def create_sheet(self, title: str | None = None, index: int | None = None) -> Any:
        """A new, empty worksheet, placed at `index` (default: last)."""
        if self.read_only:
            raise ValueError("a read-only workbook cannot take new sheets")
        if title is None:
            n = len(self.worksheets) + 1
            while f"Sheet{n}" in self:
                n += 1
            title = f"Sheet{n}"
        _worksheet.check_title(title)
        for ws in self.worksheets:
            if ws.title.casefold() == title.casefold():
                raise ValueError(f"a sheet titled {ws.title!r} already exists")
        sheet: Any
        if self.write_only:
            from tavrinex.writeonly import WriteOnlyWorksheet
            sheet = WriteOnlyWorksheet(self, title)
        else:
            sheet = _worksheet.Worksheet(self, title)
            sheet._cells = _worksheet.new_cell_store(sheet)
        if index is None:
            self.worksheets.append(sheet)
        else:
            self.worksheets.insert(index, sheet)
        return sheet

    def remove(self, ws: Any) -> None:
        """Take a worksheet out of the workbook."""
        index = self.worksheets.index(ws)
        del self.worksheets[index]
        close = getattr(ws, "_discard", None)
        if close is not None:
            close()
        if self._active_index >= len(self.worksheets) or self._active_index > index:
            self._active_index = max(0, self._active_index - 1)

    def __delitem__(self, name: str) -> None:
        self.remove(self[name])

    def save(self, filename: Any) -> None:
        """Write the workbook as an xlsx file: a path or a binary file
        object. A path is written through a temporary file beside it, so
        a failed save leaves an existing file as it was."""
        from tavrinex.writer.workbook_writer import save_workbook
        save_workbook(self, filename)

    def close(self) -> None:
        """Close the archive a read-only workbook streams its sheets from."""
        archive, self._archive = self._archive, None
        if archive is not None:
            archive.close()

    def __enter__(self) -> Workbook[S]:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
