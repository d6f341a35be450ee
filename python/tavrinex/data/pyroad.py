"""The Python road of read_table: the sheet read by the package's
read-only reader, the rows and columns laid out, the types inferred and
the values cast, in Python. It decides every value and type; the engine
gives the same tables, and where it cannot promise that it declines and
this road runs."""

from __future__ import annotations

from types import SimpleNamespace
from typing import Any

from tavrinex.data.book import Book, SheetRef, TableRef, parse_range
from tavrinex.data.options import Options, requested_types, select, skip_mask
from tavrinex.data.types import (KIND_NAMES, MIXED, Kind, NoFit, cast, category, classify,
                                 combine, type_of, value_text)
from tavrinex.utils.cell import get_column_letter

MAX_ROW = 1_048_576
MAX_COLUMN = 16_384
Bounds = tuple[int, int, int, int]


def cell_name(row: int, column: int) -> str:
    return f"{get_column_letter(column)}{row}"


class SheetCells:
    """A sheet's cells by column, as the engine's collector holds them:
    (range row, kind, payload) in row order."""

    def __init__(self, options: Options, bounds: Bounds | None) -> None:
        self.options = options
        self.bounds = bounds
        self.columns: dict[int, tuple[list[int], list[Kind], list[Any]]] = {}
        self.first_row = bounds[0] if bounds else 0
        self.last_row = bounds[2] if bounds else 0
        self.min_column = self.max_column = 0
        self.last_row_element = 0
        self.counting = (options.n_rows is not None and options.skip_callable is None
                         and not options.fill_merged)
        self.counted = self.kept = self.data_rows = 0
        self.enough = False

    def range_rows(self) -> int:
        return self.last_row - self.first_row + 1 if self.first_row else 0

    def skipped(self, t: int) -> bool:
        return t < self.options.skip_count or t in self.options.skip_list

    def add_row(self, idx: int, cells: list[tuple[int, Kind, Any]]) -> None:
        """One row element (cells in column order, once each)."""
        if idx < 1 or idx <= self.last_row_element:
            return
        self.last_row_element = idx
        t = -1
        for column, kind, payload in cells:
            if kind == Kind.EMPTY:
                continue
            if idx > MAX_ROW or column > MAX_COLUMN:
                raise ValueError(f"cell {cell_name(idx, column)} lies outside the worksheet "
                                 "grid (A1:XFD1048576)")
            if self.bounds:
                r1, c1, r2, c2 = self.bounds
                if not (r1 <= idx <= r2 and c1 <= column <= c2):
                    continue
            else:
                if not self.first_row:
                    self.first_row = idx
                self.last_row = idx
            if not self.min_column or column < self.min_column:
                self.min_column = column
            self.max_column = max(self.max_column, column)
            t = idx - self.first_row
            rows, kinds, payloads = self.columns.setdefault(column, ([], [], []))
            rows.append(t)
            kinds.append(kind)
            payloads.append(payload)
        if t >= 0 and self.counting:
            while self.counted < t:
                self.count_row(self.counted, True)
                self.counted += 1
            self.count_row(t, False)
            self.counted = t + 1

    def count_row(self, t: int, empty: bool) -> None:
        if self.skipped(t):
            return
        k = self.kept
        self.kept += 1
        header, n_rows = self.options.header_row, self.options.n_rows
        assert n_rows is not None
        if header is not None and k <= header:
            if k == header and n_rows == 0:
                self.enough = True
            return
        if self.options.skip_empty_rows and empty:
            return
        self.data_rows += 1
        if self.data_rows >= n_rows:
            self.enough = True

    def fill_merged(self, ranges: list[Bounds]) -> None:
        if not self.first_row or (not self.bounds and not self.min_column):
            return
        top, bottom = self.first_row, self.last_row
        left, right = ((self.bounds[1], self.bounds[3]) if self.bounds
                       else (self.min_column, self.max_column))
        cells = {(c, t): (k, p) for c, (rows, kinds, payloads) in self.columns.items()
                 for t, k, p in zip(rows, kinds, payloads)}
        for r1, c1, r2, c2 in ranges:
            inside = top <= r1 <= bottom and left <= c1 <= right
            value = cells.get((c1, r1 - top), (Kind.EMPTY, None)) if inside else (Kind.EMPTY, None)
            for c in range(max(c1, left), min(c2, right) + 1):
                for r in range(max(r1, top), min(r2, bottom) + 1):
                    cells[(c, r - top)] = value
        self.columns = {}
        for (c, t), (k, p) in sorted(cells.items()):
            if k != Kind.EMPTY:
                rows, kinds, payloads = self.columns.setdefault(c, ([], [], []))
                rows.append(t)
                kinds.append(k)
                payloads.append(p)


class Layout:
    def __init__(self, cells: SheetCells, skip: bytes | None) -> None:
        options = cells.options
        n = cells.range_rows()
        has_value = [False] * n
        for rows, _, _ in cells.columns.values():
            for t in rows:
                has_value[t] = True
        kept = [t for t in range(n) if not cells.skipped(t) and not (skip and skip[t])]
        self.header = -1
        first = 0
        if options.header_row is not None:
            if options.header_row < len(kept):
                self.header = kept[options.header_row]
                first = options.header_row + 1
            else:
                first = len(kept)
        self.row_of = [-1] * n
        self.num_rows = 0
        for t in kept[first:]:
            if options.skip_empty_rows and not has_value[t]:
                continue
            if options.n_rows is not None and self.num_rows >= options.n_rows:
                break
            self.row_of[t] = self.num_rows
            self.num_rows += 1
        if cells.bounds:
            lo, hi = cells.bounds[1], cells.bounds[3]
        else:
            used = [c for c, (rows, _, _) in cells.columns.items()
                    if any(self.row_of[t] >= 0 or t == self.header for t in rows)]
            lo, hi = (min(used), max(used)) if used else (0, -1)
        self.sheet_columns = list(range(lo, hi + 1)) if lo else []
        self.names: list[str] = []
        taken: set[str] = set()
        for j, c in enumerate(self.sheet_columns):
            name = ""
            if self.header >= 0 and c in cells.columns:
                rows, kinds, payloads = cells.columns[c]
                if self.header in rows:
                    e = rows.index(self.header)
                    name = value_text(kinds[e], payloads[e])
            if not name:
                name = f"column_{j + 1}"
            candidate, k = name, 0
            while candidate in taken:
                k += 1
                candidate = f"{name}_{k}"
            taken.add(candidate)
            self.names.append(candidate)


def _strict_error(cells: SheetCells, t: int, column: int, name: str, what: str) -> ValueError:
    return ValueError(f"cell {cell_name(cells.first_row + t, column)} in column \"{name}\": "
                      f"{what}")


def build_column(cells: SheetCells, layout: Layout, j: int, type_name: str | None,
                 options: Options) -> tuple[str, list[Any]]:
    """The type and values (in the type's units) of table column j."""
    name = layout.names[j]
    column = layout.sheet_columns[j]
    rows, kinds, payloads = cells.columns.get(column, ([], [], []))
    strict = options.strict
    sample = options.schema_sample_rows
    if type_name is None:
        cat = None
        for t, k, p in zip(rows, kinds, payloads):
            row = layout.row_of[t]
            if row < 0:
                continue
            if sample is not None and row >= sample:
                break
            if k == Kind.ERROR:
                if strict:
                    raise _strict_error(cells, t, column, name, f"error value {p}")
                continue
            nxt = combine(cat, category(k, p))
            if nxt == MIXED and strict:
                raise _strict_error(cells, t, column, name, f"{KIND_NAMES[k]} value does not "
                                    f"fit type {type_of(cat)}")
            cat = nxt
        type_name = type_of(cat)
    values: list[Any] = [None] * layout.num_rows
    for t, k, p in zip(rows, kinds, payloads):
        row = layout.row_of[t]
        if row < 0:
            continue
        try:
            values[row] = cast(k, p, type_name, strict)
        except NoFit:
            if strict:
                what = (f"error value {p}" if k == Kind.ERROR
                        else f"{KIND_NAMES[k]} value does not fit type {type_name}")
                raise _strict_error(cells, t, column, name, what) from None
    return type_name, values


def merged_ranges(refs: list[str]) -> list[Bounds]:
    """The merged ranges of range texts, in order; texts that are not
    ranges are passed over."""
    out = []
    for ref in refs:
        bounds = parse_range(ref)
        if bounds is not None:
            out.append(bounds)
    return out


def table_bounds(table: TableRef | None) -> Bounds | None:
    return table.bounds if table is not None else None


def read(book: Book, sheet: SheetRef, table: TableRef | None, options: Options,
         engine: Any) -> tuple[list[str], list[str], list[list[Any]], int]:
    """(names, types, columns, rows) of the table, read by the package's
    read-only reader (the engine's row reader first when `engine` is
    given, else Python alone)."""
    from tavrinex.reader.book import _BROKEN
    from tavrinex.reader.readonly import ReadOnlyWorksheet

    archive = book.archive
    parent = SimpleNamespace(shared_strings=book.python_strings(engine), epoch=book.epoch)
    loader = book._loader
    ws = ReadOnlyWorksheet(parent, sheet.title, lambda: archive.open(sheet.part), data_only=True,
                           date_formats=book.date_styles, timedelta_formats=book.timedelta_styles,
                           engine=engine,
                           broken=lambda exc: (loader.broken(sheet.part, exc)
                                               if isinstance(exc, _BROKEN) else None))
    cells = SheetCells(options, table_bounds(table))
    day = book.day_styles
    rows = ws._guarded(ws._rows(1, None, False, None))
    try:
        for idx, row in rows:
            shaped = []
            for column, cell in enumerate(row, 1):
                if cell is not None:
                    kind, payload = classify(cell.value, cell.data_type, cell._style_id, day)
                    shaped.append((column, kind, payload))
            try:
                cells.add_row(idx, shaped)
            except ValueError as exc:
                raise loader.broken(sheet.part, exc) from exc
            if cells.enough:
                break
    finally:
        rows.close()
    if options.fill_merged:
        cells.fill_merged(merged_ranges(ws.merged_cells))
    layout = Layout(cells, skip_mask(options, cells.range_rows()))
    chosen = select(options, layout.names, layout.sheet_columns)
    asked = requested_types(options, layout.names, chosen)
    names, types, columns = [], [], []
    for j, type_name in zip(chosen, asked):
        final, values = build_column(cells, layout, j, type_name, options)
        names.append(layout.names[j])
        types.append(final)
        columns.append(values)
    return names, types, columns, layout.num_rows
