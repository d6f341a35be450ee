"""Inserting and deleting rows and columns, and renaming sheets, with
everything that refers to the cells following them.

Cells move in their store: the engine's CellStore moves its keys without
making a Python object for each cell; a dict of cells is rebuilt with the
same cells under new keys. Formulas on every sheet of the workbook and the
workbook's defined names are rewritten (tavrinex.formula.rewrite), and the
ranges a sheet keeps (merged cells, hyperlinks, row heights and column
widths) grow, shrink or move as Excel moves them.
"""

from __future__ import annotations

import dataclasses
import warnings
from collections.abc import Iterator
from typing import Any

from tavrinex.formula import ArrayFormula, DataTableFormula, TokenizerError
from tavrinex.formula.rewrite import MAX_COLUMN, MAX_ROW, Edit, Rename, Shift, rewrite_formula, \
    shift_ref, shift_sqref
from tavrinex.utils.cell import column_index_from_string, get_column_letter


def _index(value: Any, cols: bool) -> int:
    if isinstance(value, str) and cols:
        value = column_index_from_string(value)
    elif isinstance(value, bool) or not isinstance(value, int):
        kind = "a column number or letters" if cols else "a row number"
        raise TypeError(f"the index is {kind}, not {value!r}")
    limit = MAX_COLUMN if cols else MAX_ROW
    if not 1 <= value <= limit:
        raise ValueError(f"index {value} is outside 1..{limit}")
    return value


def _amount(value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"the amount is a whole number from 1, not {value!r}")
    return value


# ---------------------------------------------------------------- cells

def formula_cells(ws: Any) -> list[tuple[int, int, Any]]:
    """(row, column, value) of the sheet's formula cells, without making a
    cell object for the others."""
    cells = ws._cells
    native = getattr(cells, "_formula_cells", None)
    found = native() if native is not None else None
    if found is not None:
        return found
    items = cells.items() if isinstance(cells, dict) else ((k, cells[k]) for k in list(cells))
    return [(key[0], key[1], cell.value) for key, cell in items if cell.data_type == "f"]


def _move_cells(ws: Any, edit: Shift) -> list[Any]:
    """Moves the cells of `ws`; returns the cells left that hold a
    hyperlink."""
    cells = ws._cells
    cols = edit.axis == "cols"
    shift = getattr(cells, "_shift", None)
    linked = shift(cols, edit.index, edit.amount) if shift is not None else None
    if linked is not None:
        return linked
    items = list(cells.items()) if isinstance(cells, dict) else [(k, cells[k]) for k in list(cells)]
    index, amount = edit.index, edit.amount
    kept_from = index - amount if amount < 0 else index   # first coordinate not deleted
    moved: list[tuple[Any, Any]] = []
    append = moved.append
    for key, cell in items:
        row, column = key
        if cols:
            if column >= index:
                if column < kept_from:
                    continue
                column += amount
                cell.column = column
                key = (row, column)
        elif row >= index:
            if row < kept_from:
                continue
            row += amount
            cell.row = row
            key = (row, column)
        append((key, cell))
    cells.clear()
    if isinstance(cells, dict):
        cells.update(moved)
    else:
        for key, cell in moved:
            cells[key] = cell
    return [cell for _, cell in moved if getattr(cell, "_hyperlink", None) is not None]


def _check_room(ws: Any, edit: Shift) -> None:
    """Excel refuses to push cells off the sheet: so does this."""
    if edit.amount < 0 or not len(ws._cells):
        return
    last = ws.max_column if edit.axis == "cols" else ws.max_row
    if last >= edit.index and last + edit.amount > edit.limit:
        what = "columns" if edit.axis == "cols" else "rows"
        raise ValueError(f"inserting {edit.amount} {what} would push cells of {ws.title!r} "
                         f"past the last {what[:-1]} of the sheet")


# ---------------------------------------------------------------- formulas

def _rewrite(value: Any, host: str | None, edit: Edit, where: Any,
             failed: list[Any]) -> Any:
    """A cell value or name text after `edit`; the same object when nothing
    changes. `where` names it for the warning of an unreadable formula: a
    text, or (title, row, column)."""
    try:
        if isinstance(value, str):
            return rewrite_formula(value, host, edit)
        if isinstance(value, ArrayFormula) and isinstance(value.text, str):
            text = rewrite_formula(value.text, host, edit)
            ref = value.ref
            if isinstance(edit, Shift) and isinstance(ref, str) \
                    and (host or "").casefold() == edit.sheet.casefold():
                ref = shift_ref(ref, edit) or ref
            if text == value.text and ref == value.ref:
                return value
            return ArrayFormula(ref, text)
        if isinstance(value, DataTableFormula) and isinstance(edit, Shift) \
                and (host or "").casefold() == edit.sheet.casefold():
            changes = {}
            for name in ("ref", "r1", "r2"):
                ref = getattr(value, name)
                if isinstance(ref, str):
                    new = shift_ref(ref, edit)
                    if new is not None and new != ref:
                        changes[name] = new
            if changes:
                fields = {n: getattr(value, n) for n in value._ATTRIBUTES}
                return DataTableFormula(**{**fields, **changes})
    except TokenizerError:
        failed.append(where)
    return value


def _mentions(value: Any, title: str) -> bool:
    """Whether a formula can refer to the sheet titled `title` by name."""
    text = value.text if isinstance(value, ArrayFormula) else value
    if not isinstance(text, str):
        return False
    folded = text.casefold()
    return title.casefold() in folded or title.replace("'", "''").casefold() in folded


def _worksheets(wb: Any) -> Iterator[Any]:
    for ws in getattr(wb, "worksheets", ()):
        if hasattr(ws, "_cells"):
            yield ws


def _rewrite_sheet(ws: Any, edit: Edit, before: list[tuple[int, int, Any]] | None,
                   failed: list[Any]) -> None:
    """Rewrites the formulas of `ws`. `before` (for the edited sheet) holds
    the formulas as they were before its cells moved."""
    title = ws.title
    if before is None:
        name = edit.sheet if isinstance(edit, Shift) else edit.old
        for row, column, value in formula_cells(ws):
            if not _mentions(value, name):
                continue
            new = _rewrite(value, title, edit, (title, row, column), failed)
            if new is not value:
                ws.cell(row, column).value = new
        return
    assert isinstance(edit, Shift)
    cols = edit.axis == "cols"
    # What each moved cell reads now (a formula the engine stores relative
    # to its own cell may read differently at its new place); a dict of
    # cells is asked cell by cell, the store in one pass.
    cells = ws._cells
    now: Any
    if isinstance(cells, dict):
        now = _DictValues(cells)
    else:
        now = {(row, column): value for row, column, value in formula_cells(ws)}
    for row, column, value in before:
        where = (title, row, column)
        span = edit.span(column, column) if cols else edit.span(row, row)
        if span is None:
            continue
        if cols:
            column = span[0]
        else:
            row = span[0]
        new = _rewrite(value, title, edit, where, failed)
        if now.get((row, column)) != new:
            ws.cell(row, column).value = new


class _DictValues:
    """The values of a dict of cells by key, for ``get``."""

    def __init__(self, cells: dict[Any, Any]) -> None:
        self.cells = cells

    def get(self, key: Any) -> Any:
        cell = self.cells.get(key)
        return None if cell is None else cell.value


def _rewrite_names(wb: Any, edit: Edit, failed: list[Any]) -> None:
    for name in list(getattr(wb, "defined_names", ())):
        value = getattr(name, "value", None)
        if not isinstance(value, str) or not value:
            continue
        new = _rewrite("=" + value, None, edit, f"the defined name {name.name}", failed)
        if new != "=" + value:
            name.value = new[1:]


def _warn(failed: list[Any]) -> None:
    for where in failed:
        if isinstance(where, tuple):
            title, row, column = where
            where = f"{title}!{get_column_letter(column)}{row}"
        warnings.warn(f"the formula of {where} could not be read; its references were left "
                      "as they were", stacklevel=4)


# ---------------------------------------------------------------- ranges

def _move_dimensions(ws: Any, edit: Shift) -> None:
    if edit.axis == "rows":
        dims = ws.row_dimensions
        moved = {}
        for key, dim in dims.items():
            row = int(key)
            span = edit.span(row, row)
            if span is not None:
                moved[str(span[0]) if isinstance(key, str) else span[0]] = dim
        dims.clear()
        dims.update(moved)
        return
    dims = ws.column_dimensions
    entries = list(dims.items())
    dims.clear()
    for letter, dim in entries:
        lo = int(dim.get("min") or column_index_from_string(letter))
        hi = int(dim.get("max") or lo)
        span = edit.span(lo, hi)
        if span is None:
            continue
        dim["min"], dim["max"] = str(span[0]), str(span[1])
        dims[get_column_letter(span[0])] = dim


def _move_anchor(anchor: str, edit: Shift) -> str:
    """An image's or chart's anchor after `edit`: it moves and stretches
    with its cells; when all of them are deleted it sits at the first cell
    after them."""
    from tavrinex.image import parse_anchor
    (r1, c1), last = parse_anchor(anchor)
    r2, c2 = last if last is not None else (r1, c1)
    rows = edit.axis == "rows"
    span = edit.span(r1, r2) if rows else edit.span(c1, c2)
    if span is None:
        span = (min(edit.index, edit.limit),) * 2
    if rows:
        r1, r2 = span
    else:
        c1, c2 = span
    first = f"{get_column_letter(c1)}{r1}"
    return first if last is None else f"{first}:{get_column_letter(c2)}{r2}"


def _move_drawings(ws: Any, edit: Shift, failed: list[Any]) -> None:
    for item in getattr(ws, "_images", ()):
        item.anchor = _move_anchor(item.anchor, edit)
    for chart in getattr(ws, "_charts", ()):
        if chart.anchor:
            chart.anchor = _move_anchor(chart.anchor, edit)
    for name in ("_read_images", "_read_charts"):
        read = getattr(ws, name, None)
        if read:
            setattr(ws, name, [dataclasses.replace(item, anchor=_move_anchor(item.anchor, edit))
                               if item.anchor else item for item in read])


def _rewrite_series(series: Any, edit: Edit, failed: list[Any]) -> dict[str, str]:
    """The series' ranges that change with `edit`, by attribute name."""
    changes = {}
    for name in ("values", "categories", "title_ref"):
        ref = getattr(series, name)
        if ref:
            new = _rewrite("=" + ref, None, edit, f"a chart series ({ref})", failed)
            if new[1:] != ref:
                changes[name] = new[1:]
    return changes


def _rewrite_charts(wb: Any, edit: Edit, failed: list[Any]) -> None:
    """Series ranges of the charts of every sheet after `edit`. Charts read
    from a file are listed anew; their parts are rewritten when saved
    (the workbook keeps the edits for that in ``_structure_edits``)."""
    for ws in _worksheets(wb):
        for chart in getattr(ws, "_charts", ()):
            for series in chart.series:
                for name, ref in _rewrite_series(series, edit, failed).items():
                    setattr(series, name, ref)
        read = getattr(ws, "_read_charts", None)
        if read:
            ws._read_charts = [dataclasses.replace(chart, series=tuple(
                dataclasses.replace(s, **_rewrite_series(s, edit, failed))
                for s in chart.series)) for chart in read]


def _record(wb: Any, ws: Any, edit: Edit) -> None:
    """Notes an edit for the parts kept from the file that it changes: the
    drawings of `ws` (None for a rename) and every chart."""
    if hasattr(wb, "__dict__"):
        wb.__dict__.setdefault("_structure_edits", []).append((ws, edit))


def _move_ranges(ws: Any, edit: Shift, linked: list[Any]) -> None:
    merged = []
    for ref in ws.merged_cells:
        new = shift_ref(ref, edit)
        # A merge left with one cell merges nothing.
        if new is not None and ":" in new and new.partition(":")[0] != new.partition(":")[2]:
            merged.append(new)
    ws.merged_cells[:] = merged
    for cell in linked:
        link = cell._hyperlink
        ref = shift_ref(link.ref, edit) if isinstance(link.ref, str) else None
        cell._hyperlink = dataclasses.replace(link, ref=ref or cell.coordinate)
    kept = []
    for attrs in ws.hyperlinks:
        ref = attrs.get("ref")
        new = shift_ref(ref, edit) if ref else ref
        if new is not None:
            kept.append({**attrs, "ref": new} if ref else attrs)
    ws.hyperlinks[:] = kept


# ---------------------------------------------------------------- sheet features

def _formula_field(text: Any, host: str, edit: Edit, what: str, failed: list[Any]) -> Any:
    """A formula kept without its "=" (validations, conditional formats)
    after `edit`."""
    if not isinstance(text, str) or not text:
        return text
    new = _rewrite("=" + text, host, edit, what, failed)
    return new[1:] if new != "=" + text else text


def _rewrite_features(ws: Any, edit: Edit, failed: list[Any]) -> None:
    """The formulas of the sheet's data validations and conditional format
    rules after `edit` (of any sheet)."""
    title = ws.title
    for dv in getattr(ws, "data_validations", None) or ():
        for name in ("formula1", "formula2"):
            value = getattr(dv, name, None)
            new = _formula_field(value, title, edit, f"a data validation of {title}", failed)
            if new != value:
                setattr(dv, name, new)
    for cf in getattr(ws, "conditional_formats", None) or ():
        rules = getattr(cf, "rules", None)
        if not isinstance(rules, list):
            continue
        for i, rule in enumerate(rules):
            changes: dict[str, Any] = {}
            formula = getattr(rule, "formula", None)
            if isinstance(formula, str):
                new = _formula_field(formula, title, edit, f"a conditional format of {title}",
                                     failed)
                if new != formula:
                    changes["formula"] = new
            formulas = getattr(rule, "formulas", None)
            if isinstance(formulas, tuple):
                new_all = tuple(_formula_field(f, title, edit,
                                               f"a conditional format of {title}", failed)
                                for f in formulas)
                if new_all != formulas:
                    changes["formulas"] = new_all
            if changes and dataclasses.is_dataclass(rule):
                rules[i] = dataclasses.replace(rule, **changes)   # type: ignore[type-var]


def _move_table(table: Any, edit: Shift) -> bool:
    """Moves, widens or narrows a table with its cells; False when its
    header row (or all its cells) went."""
    from tavrinex.image import parse_anchor
    (r1, c1), last = parse_anchor(table.ref)
    r2, c2 = last if last is not None else (r1, c1)
    if edit.axis == "rows":
        if edit.amount < 0 and getattr(table, "header_row", True) \
                and edit.span(r1, r1) is None:
            return False
        span = edit.span(r1, r2)
        if span is None:
            return False
        need = 1 + bool(getattr(table, "header_row", True)) + bool(getattr(table, "totals_row",
                                                                         False))
        lo, hi = span
        table.ref = f"{get_column_letter(c1)}{lo}:{get_column_letter(c2)}{max(hi, lo + need - 1)}"
        return True
    span = edit.span(c1, c2)
    if span is None:
        return False
    columns = getattr(table, "columns", None)
    if columns is not None:
        kept = [col for n, col in enumerate(columns, c1) if edit.span(n, n) is not None]
        if edit.amount > 0 and c1 < edit.index <= c2 and columns:
            # New columns of the table take free names, as Excel gives them.
            column_type = type(columns[0])
            taken = {col.name.casefold() for col in kept}
            new_cols: list[Any] = []
            n = 1
            while len(new_cols) < edit.amount:
                if f"column{n}" not in taken:
                    new_cols.append(column_type(f"Column{n}"))
                n += 1
            at = edit.index - c1
            kept = kept[:at] + new_cols + kept[at:]
        object.__setattr__(table, "columns", None)
        table.ref = f"{get_column_letter(span[0])}{r1}:{get_column_letter(span[1])}{r2}"
        table.columns = kept
    else:
        table.ref = f"{get_column_letter(span[0])}{r1}:{get_column_letter(span[1])}{r2}"
    return True


def _move_features(ws: Any, edit: Shift, failed: list[Any]) -> None:
    """Validations, conditional formats, the autofilter and the tables of
    the edited sheet move, grow and shrink with its cells; those whose
    cells all went go."""
    validations = getattr(ws, "data_validations", None)
    if isinstance(validations, list):
        kept = []
        for dv in validations:
            ranges = shift_sqref(dv.ranges, edit) if isinstance(dv.ranges, str) else dv.ranges
            if ranges is None:
                continue
            if ranges != dv.ranges:
                dv.ranges = ranges
            kept.append(dv)
        validations[:] = kept
    formats = getattr(ws, "conditional_formats", None)
    if isinstance(formats, list):
        kept = []
        for cf in formats:
            ranges = shift_sqref(cf.ranges, edit) if isinstance(cf.ranges, str) else cf.ranges
            if ranges is None:
                continue
            cf.ranges = ranges
            kept.append(cf)
        formats[:] = kept
    auto: Any = getattr(ws, "auto_filter", None)
    ref = getattr(auto, "ref", None)
    if isinstance(ref, str):
        auto.ref = shift_ref(ref, edit)
    tables = getattr(ws, "tables", None)
    if tables is not None and hasattr(tables, "items"):
        for name, table in list(tables.items()):
            if not _move_table(table, edit):
                del tables[name]


# ---------------------------------------------------------------- entry points

def shift(ws: Any, axis: str, idx: Any, amount: Any, delete: bool) -> None:
    """Rows or columns inserted (`delete` false) before `idx`, or deleted
    from `idx` on, `amount` of them."""
    cols = axis == "cols"
    index, count = _index(idx, cols), _amount(amount)
    edit = Shift(ws.title, "cols" if cols else "rows", index, -count if delete else count)
    _check_room(ws, edit)
    failed: list[Any] = []
    before = formula_cells(ws)
    linked = _move_cells(ws, edit)
    _rewrite_sheet(ws, edit, before, failed)
    for other in _worksheets(ws.parent):
        if other is not ws:
            _rewrite_sheet(other, edit, None, failed)
        _rewrite_features(other, edit, failed)
    _rewrite_names(ws.parent, edit, failed)
    _rewrite_charts(ws.parent, edit, failed)
    _move_dimensions(ws, edit)
    _move_ranges(ws, edit, linked)
    _move_features(ws, edit, failed)
    _move_drawings(ws, edit, failed)
    _record(ws.parent, ws, edit)
    _warn(failed)


def rename(wb: Any, old: str, new: str) -> None:
    """Formulas and defined names that name the sheet `old` name `new`."""
    edit = Rename(old, new)
    failed: list[Any] = []
    for ws in _worksheets(wb):
        _rewrite_sheet(ws, edit, None, failed)
        _rewrite_features(ws, edit, failed)
    _rewrite_names(wb, edit, failed)
    _rewrite_charts(wb, edit, failed)
    _record(wb, None, edit)
    _warn(failed)


# ---------------------------------------------------------------- copies

# Attributes a copied sheet does not take from its source: its identity,
# its cells (copied one by one), what is made at save time, and what may
# not be copied (tables, whose names are unique in a workbook; images and
# charts, whose parts belong to one sheet).
_NOT_COPIED = frozenset(("parent", "_title", "_cells", "reader_path", "_hyperlinks",
                         "_comments", "_appended", "tables", "_tables", "_images", "_charts",
                         "_read_images", "_read_charts", "_drawing"))
# Kept elements that point into the sheet's own relationships.
_RELATED = frozenset(("drawing", "legacyDrawing", "legacyDrawingHF", "picture", "oleObjects",
                      "controls", "tableParts"))


def _copy_title(wb: Any, title: str) -> str:
    taken = {ws.title.casefold() for ws in wb.worksheets}
    for n in range(1, 10_000):
        suffix = " Copy" if n == 1 else f" Copy{n}"
        candidate = title[:31 - len(suffix)] + suffix
        if candidate.casefold() not in taken:
            return candidate
    raise ValueError(f"no free title for a copy of {title!r}")


def _sheet_of(dn: Any) -> Any:
    """The worksheet a defined name is tied to (as `sheet` or `scope`), or
    None."""
    for name in ("sheet", "scope"):
        value = getattr(dn, name, None)
        if value is not None and not isinstance(value, str):
            return value
    return None


def _local_to(dn: Any, ws: Any, index: int) -> bool:
    """Whether the defined name `dn` is local to `ws`, the sheet at place
    `index`: tied to it, or holding its place."""
    sheet = _sheet_of(dn)
    if sheet is not None:
        return sheet is ws
    if getattr(dn, "local_sheet_id", None) == index:
        return True
    return getattr(dn, "attributes", {}).get("localSheetId") == str(index)


def _local_copy(dn: Any, value: str, ws: Any, index: int) -> Any:
    """A copy of the local name `dn` for the sheet `ws` at place `index`."""
    import copy
    new = copy.copy(dn)
    new.value = value
    new.attributes = dict(getattr(dn, "attributes", {}))
    if "localSheetId" in new.attributes:
        new.attributes["localSheetId"] = str(index)
    for name in ("sheet", "scope"):
        if getattr(dn, name, None) is _sheet_of(dn) and _sheet_of(dn) is not None:
            setattr(new, name, ws)
    if getattr(dn, "local_sheet_id", None) is not None:
        new.local_sheet_id = index
    return new


def copy_worksheet(wb: Any, source: Any) -> Any:
    """`Workbook.copy_worksheet`."""
    import copy

    from tavrinex.worksheet import copy_cell

    if source not in wb.worksheets or not hasattr(source, "_cells"):
        raise ValueError(f"{source!r} is not an editable worksheet of this workbook")
    index = wb.worksheets.index(source)
    target = wb.create_sheet(_copy_title(wb, source.title))
    memo: dict[int, Any] = {id(wb): wb, id(source): target}
    for name, value in vars(source).items():
        if name in _NOT_COPIED:
            continue
        if name == "_raw_elements":
            value = [(tag, snippet) for tag, snippet in value
                     if not (isinstance(tag, str) and tag.rpartition("}")[2] in _RELATED)]
        setattr(target, name, copy.deepcopy(value, memo))
    cells = source._cells
    for key in list(cells):
        cell = cells[key]
        copy_cell(cell, target.cell(*key))
    target.sheet_state = "visible"
    failed: list[Any] = []
    # References to the source by name, in the copy, name the copy.
    _rewrite_sheet(target, Rename(source.title, target.title), None, failed)
    names: Any = getattr(wb, "defined_names", ())
    for dn in list(names):
        if _local_to(dn, source, index):
            value = _rewrite("=" + dn.value, None, Rename(source.title, target.title),
                             f"the defined name {dn.name}", failed)
            names.append(_local_copy(dn, value[1:], target, len(wb.worksheets) - 1))
    _warn(failed)
    return target
