"""What a worksheet carries beside its cells, shared by editable and
write-only sheets: views, autofilter, data validation, conditional
formats, tables, print settings, tab colour, state and protection.

Every setter checks its value when it is given, never at save time.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Iterator
from typing import Any

from tavrinex.filters import AutoFilter
from tavrinex.formula.rewrite import quote_sheet
from tavrinex.printing import HeaderFooter, PageMargins, PageSetup, SheetProperties
from tavrinex.protection import SheetProtection
from tavrinex.rules import ConditionalFormat, Rule
from tavrinex.tables import Table
from tavrinex.utils.cell import column_index_from_string, get_column_letter
from tavrinex.utils.ranges import (MAX_COLUMN, MAX_ROW, absolute, multi_range, overlaps,
                                   range_bounds)
from tavrinex.validation import DataValidation
from tavrinex.views import SheetView

STATES = ("visible", "hidden", "veryHidden")
PRINT_AREA = "_xlnm.Print_Area"
PRINT_TITLES = "_xlnm.Print_Titles"
FILTER_DATABASE = "_xlnm._FilterDatabase"
_ROWS = re.compile(r"\$?([0-9]+):\$?([0-9]+)")
_COLS = re.compile(r"\$?([A-Za-z]{1,3}):\$?([A-Za-z]{1,3})")


class CheckedList(list[Any]):
    """A list that takes items of one type only."""

    def __init__(self, kind: type, what: str, items: Iterable[Any] = ()) -> None:
        super().__init__()
        self._kind = kind
        self._what = what
        self.extend(items)

    def _check(self, item: Any) -> Any:
        if not isinstance(item, self._kind):
            raise TypeError(f"{self._what} takes {self._kind.__name__} objects, "
                            f"not {type(item).__name__}")
        return item

    def append(self, item: Any) -> None:
        super().append(self._check(item))

    def insert(self, index: Any, item: Any) -> None:
        super().insert(index, self._check(item))

    def extend(self, items: Iterable[Any]) -> None:
        super().extend(self._check(item) for item in items)

    def __setitem__(self, index: Any, item: Any) -> None:
        if isinstance(index, slice):
            super().__setitem__(index, [self._check(i) for i in item])
        else:
            super().__setitem__(index, self._check(item))


class Tables:
    """The tables of a sheet by name (``ws.tables["Sales"]``); ``ws.add_table``
    adds one."""

    def __init__(self) -> None:
        self._tables: dict[str, Table] = {}

    def __getitem__(self, name: str) -> Table:
        for key, table in self._tables.items():
            if key.casefold() == name.casefold():
                return table
        raise KeyError(f"no table {name!r} on this sheet")

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and any(k.casefold() == name.casefold()
                                             for k in self._tables)

    def __iter__(self) -> Iterator[str]:
        return iter(self._tables)

    def __len__(self) -> int:
        return len(self._tables)

    def items(self) -> list[tuple[str, Table]]:
        return list(self._tables.items())

    def values(self) -> list[Table]:
        return list(self._tables.values())

    def keys(self) -> list[str]:
        return list(self._tables)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Tables):
            return self._tables == other._tables
        if isinstance(other, dict):
            return self._tables == other
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"Tables({self._tables!r})"

    def _add(self, table: Table) -> None:
        self._tables[table.name] = table

    def __delitem__(self, name: str) -> None:
        del self._tables[self[name].name]


def _print_ranges(value: str) -> list[str]:
    """The ranges of a print name's value, without the sheet."""
    return [piece.rpartition("!")[2].replace("$", "") for piece in value.split(",")]


class SheetFeatures:
    """The features of a sheet; `parent` is its workbook."""

    parent: Any
    title: str

    def _init_features(self) -> None:
        self.views = SheetView()
        self._auto_filter = AutoFilter()
        self._data_validations = CheckedList(DataValidation, "data_validations")
        self._conditional_formats = CheckedList(ConditionalFormat, "conditional_formats")
        self.tables = Tables()
        self._page_setup = PageSetup()
        self._page_margins = PageMargins()
        self._header_footer = HeaderFooter()
        self.sheet_properties = SheetProperties()
        self._protection = SheetProtection()
        self._sheet_state = "visible"

    # -- views

    @property
    def freeze_panes(self) -> str | None:
        """The first cell that scrolls ("B2" freezes row 1 and column A), or None."""
        return self.views.freeze_panes

    @freeze_panes.setter
    def freeze_panes(self, value: Any) -> None:
        self.views.freeze_panes = value

    @property
    def zoom(self) -> int:
        return self.views.zoom

    @zoom.setter
    def zoom(self, value: int) -> None:
        self.views.zoom = value

    @property
    def show_gridlines(self) -> bool:
        return self.views.show_gridlines

    @show_gridlines.setter
    def show_gridlines(self, value: bool) -> None:
        self.views.show_gridlines = value

    @property
    def active_cell(self) -> str:
        return self.views.active_cell

    @active_cell.setter
    def active_cell(self, value: str) -> None:
        self.views.active_cell = value

    @property
    def selection(self) -> str:
        return self.views.selection

    @selection.setter
    def selection(self, value: str) -> None:
        self.views.selection = value

    # -- filter, validation, conditional formats

    @property
    def auto_filter(self) -> AutoFilter:
        return self._auto_filter

    @property
    def data_validations(self) -> list[DataValidation]:
        return self._data_validations

    def add_data_validation(self, validation: DataValidation) -> None:
        self._data_validations.append(validation)

    @property
    def conditional_formats(self) -> list[ConditionalFormat]:
        """(ranges, rules) of each conditional format, in priority order."""
        return self._conditional_formats

    def add_conditional_format(self, ranges: Any, rule: Rule) -> None:
        """Apply `rule` to `ranges` ("A1:A10 C1"), after the rules already there."""
        if not isinstance(rule, Rule):
            raise TypeError(f"add_conditional_format takes a rule of tavrinex.rules, "
                            f"not {type(rule).__name__}")
        text = multi_range(ranges, "a conditional format's ranges")
        for entry in self._conditional_formats:
            if entry.ranges == text and entry is self._conditional_formats[-1]:
                entry.add(rule)
                return
        self._conditional_formats.append(ConditionalFormat(text, [rule]))

    # -- tables

    def add_table(self, table: Table) -> None:
        """Add `table`: its name must be new to the workbook, its range may
        overlap no other table and no merged range, and its header cells
        are filled from its columns where empty (and must be unique)."""
        if not isinstance(table, Table):
            raise TypeError(f"add_table takes a tavrinex.Table, not {type(table).__name__}")
        for ws in getattr(self.parent, "worksheets", ()):
            tables = getattr(ws, "tables", None)
            if tables is not None and table.name in tables:
                raise ValueError(f"the workbook has a table named {table.name!r} already "
                                 f"(on sheet {ws.title!r})")
        names = getattr(self.parent, "defined_names", None)
        if names is not None and any(dn.name.casefold() == table.name.casefold()
                                     for dn in names):
            raise ValueError(f"table name {table.name!r} is a defined name of the workbook")
        bounds = table.bounds
        for other in self.tables.values():
            if overlaps(bounds, other.bounds):
                raise ValueError(f"table {table.name!r} ({table.ref}) overlaps table "
                                 f"{other.name!r} ({other.ref})")
        for ref in getattr(self, "merged_cells", ()):
            try:
                merged = range_bounds(ref)
            except ValueError:
                continue
            if overlaps(bounds, merged):
                raise ValueError(f"table {table.name!r} ({table.ref}) overlaps the merged "
                                 f"range {ref}")
        self._take_table(table)
        self.tables._add(table)

    def _take_table(self, table: Table) -> None:
        """Fill and check the header cells of a new table (the editable
        sheet's; a write-only sheet checks them as the rows come)."""
        raise NotImplementedError

    # -- printing

    @property
    def page_setup(self) -> PageSetup:
        return self._page_setup

    @page_setup.setter
    def page_setup(self, value: PageSetup) -> None:
        if not isinstance(value, PageSetup):
            raise TypeError(f"page_setup takes a PageSetup, not {type(value).__name__}")
        self._page_setup = value

    @property
    def page_margins(self) -> PageMargins:
        return self._page_margins

    @page_margins.setter
    def page_margins(self, value: PageMargins) -> None:
        if not isinstance(value, PageMargins):
            raise TypeError(f"page_margins takes a PageMargins, not {type(value).__name__}")
        self._page_margins = value

    @property
    def header_footer(self) -> HeaderFooter:
        return self._header_footer

    @header_footer.setter
    def header_footer(self, value: HeaderFooter) -> None:
        if not isinstance(value, HeaderFooter):
            raise TypeError(f"header_footer takes a HeaderFooter, not {type(value).__name__}")
        self._header_footer = value

    def _names(self) -> Any:
        names = getattr(self.parent, "defined_names", None)
        if names is None or not hasattr(names, "set"):
            raise TypeError("print settings need a sheet of a tavrinex.Workbook")
        return names

    def _print_name(self, name: str) -> str | None:
        names = getattr(self.parent, "defined_names", None)
        dn = names.get(name, self) if names is not None and hasattr(names, "get") else None
        return dn.value if dn is not None else None

    @property
    def print_area(self) -> str | None:
        """The range printed ("A1:D20"; several separated by spaces), or None."""
        value = self._print_name(PRINT_AREA)
        return None if value is None else " ".join(_print_ranges(value))

    @print_area.setter
    def print_area(self, value: Any) -> None:
        names = self._names()
        if value is None:
            names.set(PRINT_AREA, None, self)
            return
        sheet = quote_sheet(self.title)
        areas = [f"{sheet}!{absolute(range_bounds(part))}"
                 for part in multi_range(value, "a print area").split()]
        names.set(PRINT_AREA, ",".join(areas), self)

    def _titles(self) -> tuple[str | None, str | None]:
        value = self._print_name(PRINT_TITLES)
        rows = cols = None
        for part in _print_ranges(value) if value else ():
            if _ROWS.fullmatch(part):
                rows = part
            elif _COLS.fullmatch(part):
                cols = part.upper()
        return rows, cols

    def _set_titles(self, rows: str | None, cols: str | None) -> None:
        sheet = quote_sheet(self.title)
        parts = []
        if rows is not None:
            first, last = _ROWS.fullmatch(rows).groups()  # type: ignore[union-attr]
            parts.append(f"{sheet}!${first}:${last}")
        if cols is not None:
            first, last = _COLS.fullmatch(cols).groups()  # type: ignore[union-attr]
            parts.append(f"{sheet}!${first.upper()}:${last.upper()}")
        self._names().set(PRINT_TITLES, ",".join(parts) if parts else None, self)

    @property
    def print_title_rows(self) -> str | None:
        """The rows printed at the top of each page ("1:2"), or None."""
        return self._titles()[0]

    @print_title_rows.setter
    def print_title_rows(self, value: str | None) -> None:
        if value is not None:
            match = _ROWS.fullmatch(value) if isinstance(value, str) else None
            if match is None or not 1 <= int(match.group(1)) <= int(match.group(2)) <= MAX_ROW:
                raise ValueError(f"print_title_rows is a row range such as '1:2', not {value!r}")
            value = f"{int(match.group(1))}:{int(match.group(2))}"
        self._set_titles(value, self._titles()[1])

    @property
    def print_title_cols(self) -> str | None:
        """The columns printed at the left of each page ("A:B"), or None."""
        return self._titles()[1]

    @print_title_cols.setter
    def print_title_cols(self, value: str | None) -> None:
        if value is not None:
            match = _COLS.fullmatch(value) if isinstance(value, str) else None
            ok = match is not None
            if ok:
                assert match is not None
                first = column_index_from_string(match.group(1).upper())
                last = column_index_from_string(match.group(2).upper())
                ok = first <= last <= MAX_COLUMN
            if not ok:
                raise ValueError(f"print_title_cols is a column range such as 'A:B', "
                                 f"not {value!r}")
            value = f"{get_column_letter(first)}:{get_column_letter(last)}"
        self._set_titles(self._titles()[0], value)

    # -- the sheet

    @property
    def tab_color(self) -> Any:
        """The tab's colour (a Color; a hex text is accepted), or None."""
        return self.sheet_properties.tab_color

    @tab_color.setter
    def tab_color(self, value: Any) -> None:
        self.sheet_properties.set_tab_color(value)

    @property
    def sheet_state(self) -> str:
        """"visible", "hidden" or "veryHidden"; a workbook keeps one
        visible sheet at least."""
        return self._sheet_state

    @sheet_state.setter
    def sheet_state(self, value: str) -> None:
        if value not in STATES:
            raise ValueError(f"a sheet state is one of {', '.join(STATES)}, not {value!r}")
        if value != "visible" and self._sheet_state == "visible":
            others = [ws for ws in getattr(self.parent, "worksheets", ()) if ws is not self]
            if self in getattr(self.parent, "worksheets", ()) and not any(
                    getattr(ws, "sheet_state", "visible") == "visible" for ws in others):
                raise ValueError(f"sheet {self.title!r} is the last visible sheet; a "
                                 "workbook keeps one visible")
        self._sheet_state = value

    @property
    def protection(self) -> SheetProtection:
        return self._protection

    def protect(self, password: str | None = None, **allowed: bool) -> None:
        """Protect the sheet, with `password` if given; keywords allow
        actions (``format_cells=True``, ``sort=True``, ...; selecting cells
        is allowed unless ``select_locked_cells=False``)."""
        self._protection.set(password, allowed)

    def unprotect(self) -> None:
        self._protection.enabled = False
        self._protection.password_hash = None
