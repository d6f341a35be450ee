"""Tables kept from a file stay valid as their header cells are edited.

A table part is kept as it was read, but Excel repairs a file whose table
column names differ from the table's header cells. `read_tables` records,
for each table of a sheet, its part, range and column names and the
header cells' values as loaded; `sync_tables`, at save time, gives the
columns whose header cell the user changed the cell's text as their name
(unique within the table, as Excel makes them) and hands the table part,
so edited, to the package writer in place of the bytes read.
"""

from __future__ import annotations

import datetime
import re
from dataclasses import dataclass, field
from typing import Any

from tavrinex.reader.excel import Relationship
from tavrinex.utils.cell import coordinate_to_tuple

_COLUMN = re.compile(rb"<(?:[\w.-]+:)?tableColumn\b")


@dataclass
class TableRecord:
    """A table of a sheet as read: its part, its header row and columns
    (first row, first and last column), the column names and the header
    cells' values when loaded (None without a header row)."""

    part: str
    row: int
    first: int
    last: int
    names: list[str]
    loaded: list[Any] | None = field(default=None)

    def shift(self, edit: Any) -> None:
        """Follow rows or columns inserted or deleted (an edit with a
        ``span`` and an ``axis``); a header row deleted, or columns
        inserted or deleted inside the table, end the following of its
        header cells."""
        if self.loaded is None:
            return
        if edit.axis == "rows":
            moved = edit.span(self.row, self.row)
            if moved is None:
                self.loaded = None
            else:
                self.row = moved[0]
            return
        moved = edit.span(self.first, self.last)
        if moved is None or moved[1] - moved[0] != self.last - self.first:
            self.loaded = None
        else:
            self.first, self.last = moved


def _range(ref: str) -> tuple[int, int, int]:
    first, _, last = ref.partition(":")
    row, col = coordinate_to_tuple(first.replace("$", ""))
    _, last_col = coordinate_to_tuple((last or first).replace("$", ""))
    return row, col, last_col


def read_tables(ws: Any, rels: dict[str, Relationship], archive: Any) -> list[TableRecord]:
    """The tables of a loaded sheet, with its header values as loaded."""
    found = []
    for rel in rels.values():
        if rel.kind != "table" or rel.external or not archive.has(rel.target):
            continue
        try:
            root = archive.parse(rel.target)
            row, first, last = _range(root.get("ref", ""))
        except (ValueError, Exception):   # a table part the package cannot read: kept as is
            continue
        columns = next((c for c in root if c.tag.rpartition("}")[2] == "tableColumns"), None)
        names = [c.get("name", "") for c in (columns if columns is not None else ())
                 if c.tag.rpartition("}")[2] == "tableColumn"]
        record = TableRecord(rel.target, row, first, last, names)
        if root.get("headerRowCount", "1") != "0" and len(names) == last - first + 1:
            record.loaded = header_values(ws, record)
        found.append(record)
    return found


def header_values(ws: Any, table: TableRecord) -> list[Any]:
    cells = ws._cells
    out = []
    for column in range(table.first, table.last + 1):
        cell = cells.get((table.row, column))
        out.append(None if cell is None else cell.value)
    return out


def header_text(value: Any) -> str:
    """A header cell's value as the column name Excel gives it."""
    if value is None:
        return ""
    if isinstance(value, bool):
        return "TRUE" if value else "FALSE"
    if isinstance(value, float):
        return str(int(value)) if value.is_integer() else repr(value)
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    return str(value)


def new_names(table: TableRecord, now: list[Any]) -> list[str]:
    """The column names after the edit: an edited header cell's text
    (Column<n> when empty), made unique as Excel makes them."""
    assert table.loaded is not None
    names = []
    for i, (name, before, after) in enumerate(zip(table.names, table.loaded, now), 1):
        if after == before and type(after) is type(before):
            names.append(name)
            continue
        text = header_text(after) or f"Column{i}"
        names.append(text)
    seen: set[str] = set()
    for i, name in enumerate(names):
        base, n = name, 2
        while name.casefold() in seen:
            name, n = f"{base}{n}", n + 1
        seen.add(name.casefold())
        names[i] = name
    return names


def rename_columns(data: bytes, names: list[str]) -> bytes:
    """The table part `data` with its columns named `names`, every other
    byte as it was."""
    from tavrinex.parts.xml import edit_start
    starts = [m.start() for m in _COLUMN.finditer(data)]
    for at, name in reversed(list(zip(starts, names))):
        data = edit_start(data, at, {"name": name})
    return data


def sync_tables(ws: Any, pkg: Any) -> list[tuple[TableRecord, list[str], list[Any]]]:
    """Hand the package writer the table parts of `ws` whose header cells
    changed, with their columns renamed; returns (table, names, values) of
    each, for after the save."""
    changed = []
    source = pkg.source
    for table in getattr(ws, "_kept_tables", ()):
        if table.loaded is None or source is None or not source.has(table.part):
            continue
        now = header_values(ws, table)
        if now == table.loaded and all(type(a) is type(b) for a, b in zip(now, table.loaded)):
            continue
        names = new_names(table, now)
        if names != table.names:
            pkg.replace(table.part, rename_columns(source.read(table.part), names))
        changed.append((table, names, now))
    return changed
