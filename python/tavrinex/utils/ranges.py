"""Range texts: a cell ("B2"), a range of cells ("A1:C3"), and lists of
them separated by spaces ("A1:A10 C1"), as worksheet features take them."""

from __future__ import annotations

import re

from tavrinex.utils.cell import column_index_from_string, get_column_letter

MAX_ROW = 1_048_576
MAX_COLUMN = 16_384   # XFD
_CELL = re.compile(r"\$?([A-Za-z]{1,3})\$?([0-9]{1,7})")

Bounds = tuple[int, int, int, int]   # (min_row, min_col, max_row, max_col)


def cell_position(text: str, what: str = "a cell reference") -> tuple[int, int]:
    """(row, column) of a cell such as "B2" ("$B$2" too); ValueError for
    anything else or a cell beyond XFD1048576."""
    match = _CELL.fullmatch(text) if isinstance(text, str) else None
    if match is None:
        raise ValueError(f"{what} is a cell such as 'B2', not {text!r}")
    column = column_index_from_string(match.group(1))
    row = int(match.group(2))
    if row < 1:
        raise ValueError(f"{what} is a cell such as 'B2' (rows count from 1), not {text!r}")
    if not (row <= MAX_ROW and column <= MAX_COLUMN):
        raise ValueError(f"{what} {text!r} lies beyond the last cell of a sheet (XFD1048576)")
    return row, column


def range_bounds(text: str, what: str = "a range") -> Bounds:
    """(min_row, min_col, max_row, max_col) of "A1:C3" or "B2"."""
    if not isinstance(text, str):
        raise TypeError(f"{what} is a range text such as 'A1:C3', not {type(text).__name__}")
    first, colon, last = text.partition(":")
    try:
        r1, c1 = cell_position(first, what)
        r2, c2 = cell_position(last, what) if colon else (r1, c1)
    except ValueError:
        raise ValueError(f"{what} is a cell or a range such as 'A1:C3', not {text!r}") from None
    return min(r1, r2), min(c1, c2), max(r1, r2), max(c1, c2)


def range_text(bounds: Bounds) -> str:
    """"A1:C3" (or "B2" for one cell) of bounds."""
    r1, c1, r2, c2 = bounds
    first = f"{get_column_letter(c1)}{r1}"
    last = f"{get_column_letter(c2)}{r2}"
    return first if first == last else f"{first}:{last}"


def normalized_range(text: str, what: str = "a range") -> str:
    return range_text(range_bounds(text, what))


def multi_range(text: str, what: str = "ranges") -> str:
    """A list of ranges ("A1:A10 C1", or a list of range texts) as one
    normalized text."""
    if isinstance(text, (list, tuple)):
        text = " ".join(text)
    if not isinstance(text, str):
        raise TypeError(f"{what} are range texts such as 'A1:A10 C1', not "
                        f"{type(text).__name__}")
    parts = text.replace(",", " ").split()
    if not parts:
        raise ValueError(f"{what} name at least one cell, not {text!r}")
    return " ".join(normalized_range(part, what) for part in parts)


def overlaps(a: Bounds, b: Bounds) -> bool:
    return a[0] <= b[2] and b[0] <= a[2] and a[1] <= b[3] and b[1] <= a[3]


def absolute(bounds: Bounds) -> str:
    """"$A$1:$C$3" of bounds."""
    r1, c1, r2, c2 = bounds
    first = f"${get_column_letter(c1)}${r1}"
    return first if (r1, c1) == (r2, c2) else f"{first}:${get_column_letter(c2)}${r2}"
