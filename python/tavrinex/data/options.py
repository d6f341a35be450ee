"""The options of read_table, checked once and shared by both roads."""

from __future__ import annotations

import re
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal, Union

from tavrinex.data.types import TYPES

ColumnKey = Union[str, int]
SkipRows = Union[int, Iterable[int], Callable[[int], bool], None]
Columns = Union[str, Sequence[ColumnKey], None]
DTypes = Union[str, Mapping[ColumnKey, str], None]
Coercion = Literal["coerce", "strict"]
Merged = Literal["none", "fill"]
Strings = Literal["view", "dictionary", "plain"]

_LETTERS = re.compile(r"[A-Za-z]{1,3}")


def column_number(letters: str) -> int:
    n = 0
    for ch in letters.upper():
        n = n * 26 + ord(ch) - 64
    return n


def _letter_ranges(text: str) -> list[tuple[int, int]]:
    """"A:E", "A,C,E:F", "B:" (to the last column) as (first, last) column
    numbers; last is 0 for an open end."""
    ranges = []
    for piece in text.split(","):
        piece = piece.strip()
        first, sep, last = piece.partition(":")
        first, last = first.strip(), last.strip()
        if not _LETTERS.fullmatch(first) or (last and not _LETTERS.fullmatch(last)) or (
                not sep and last):
            raise ValueError(f"columns: {text!r} is not a column range such as 'A:E', "
                             "'A,C,E:F' or 'B:'")
        lo = column_number(first)
        hi = column_number(last) if last else (0 if sep else lo)
        if hi and hi < lo:
            raise ValueError(f"columns: {piece!r} ends before it starts")
        ranges.append((lo, hi))
    return ranges


@dataclass(frozen=True)
class Options:
    header_row: int | None = 0
    skip_count: int = 0
    skip_list: tuple[int, ...] = ()
    skip_callable: Callable[[int], Any] | None = None
    n_rows: int | None = None
    columns: Columns = None
    letter_ranges: tuple[tuple[int, int], ...] | None = None
    dtypes: DTypes = None
    schema_sample_rows: int | None = 1000
    strict: bool = False
    fill_merged: bool = False
    skip_empty_rows: bool = False
    strings: Strings = "view"

    def plan(self) -> tuple[Any, ...]:
        """The row plan as the engine takes it."""
        return (self.skip_count, list(self.skip_list), self.skip_callable is not None,
                -1 if self.header_row is None else self.header_row,
                -1 if self.n_rows is None else self.n_rows, self.skip_empty_rows,
                self.fill_merged)


def _count(name: str, value: Any, allow_none: bool = True) -> int | None:
    if value is None and allow_none:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int{' or None' if allow_none else ''}, "
                        f"not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{name} must be 0 or more, not {value}")
    return value


def make_options(*, header_row: int | None = 0, skip_rows: SkipRows = None,
                 n_rows: int | None = None, columns: Columns = None, dtypes: DTypes = None,
                 schema_sample_rows: int | None = 1000, dtype_coercion: Coercion = "coerce",
                 merged: Merged = "none", skip_empty_rows: bool = False,
                 strings: Strings = "view") -> Options:
    header_row = _count("header_row", header_row)
    n_rows = _count("n_rows", n_rows)
    schema_sample_rows = _count("schema_sample_rows", schema_sample_rows)
    skip_count = 0
    skip_list: tuple[int, ...] = ()
    skip_callable: Callable[[int], Any] | None = None
    if skip_rows is None:
        pass
    elif isinstance(skip_rows, int) and not isinstance(skip_rows, bool):
        skip_count = _count("skip_rows", skip_rows, allow_none=False) or 0
    elif callable(skip_rows):
        skip_callable = skip_rows
    elif isinstance(skip_rows, Iterable) and not isinstance(skip_rows, (str, bytes)):
        rows = list(skip_rows)
        for row in rows:
            _count("a row index of skip_rows", row, allow_none=False)
        skip_list = tuple(sorted(set(rows)))
    else:
        raise TypeError("skip_rows must be an int, a list of row indexes or a callable, "
                        f"not {type(skip_rows).__name__}")
    letter_ranges = None
    if isinstance(columns, str):
        letter_ranges = tuple(_letter_ranges(columns))
    elif columns is not None:
        if not isinstance(columns, Sequence):
            raise TypeError("columns must be a text such as 'A:E' or a list of names "
                            f"and indexes, not {type(columns).__name__}")
        for key in columns:
            if isinstance(key, bool) or not isinstance(key, (str, int)):
                raise TypeError(f"columns lists names (str) and indexes (int), not {key!r}")
        if len(set(columns)) != len(columns):
            raise ValueError(f"columns names a column twice: {list(columns)!r}")
    if isinstance(dtypes, str):
        _check_type(dtypes)
    elif isinstance(dtypes, Mapping):
        for key, name in dtypes.items():
            if isinstance(key, bool) or not isinstance(key, (str, int)):
                raise TypeError(f"dtypes keys are column names or indexes, not {key!r}")
            _check_type(name)
    elif dtypes is not None:
        raise TypeError(f"dtypes must be a type name or a mapping, not {type(dtypes).__name__}")
    if dtype_coercion not in ("coerce", "strict"):
        raise ValueError(f"dtype_coercion must be 'coerce' or 'strict', not {dtype_coercion!r}")
    if merged not in ("none", "fill"):
        raise ValueError(f"merged must be 'none' or 'fill', not {merged!r}")
    if strings not in ("view", "dictionary", "plain"):
        raise ValueError(f"strings must be 'view', 'dictionary' or 'plain', not {strings!r}")
    return Options(header_row=header_row, skip_count=skip_count, skip_list=skip_list,
                   skip_callable=skip_callable, n_rows=n_rows, columns=columns,
                   letter_ranges=letter_ranges, dtypes=dtypes,
                   schema_sample_rows=schema_sample_rows, strict=dtype_coercion == "strict",
                   fill_merged=merged == "fill", skip_empty_rows=bool(skip_empty_rows),
                   strings=strings)


def _check_type(name: Any) -> None:
    if name not in TYPES:
        raise ValueError(f"unknown column type {name!r} (the types are {', '.join(TYPES)})")


def skip_mask(options: Options, range_rows: int) -> bytes | None:
    """The rows a callable skips, one byte a row of the range."""
    if options.skip_callable is None:
        return None
    return bytes(1 if options.skip_callable(t) else 0 for t in range(range_rows))


def select(options: Options, names: list[str], sheet_columns: list[int]) -> list[int]:
    """The table's columns `columns` selects, by their place in the table."""
    if options.columns is None:
        return list(range(len(names)))
    if options.letter_ranges is not None:
        chosen = [i for i, c in enumerate(sheet_columns)
                  if any(lo <= c and (hi == 0 or c <= hi) for lo, hi in options.letter_ranges)]
        if not chosen:
            raise ValueError(f"columns {options.columns!r} select no column of the table")
        return chosen
    chosen = []
    for key in options.columns:
        if isinstance(key, str):
            if key not in names:
                raise ValueError(f"no column named {key!r} (the columns are "
                                 f"{', '.join(map(repr, names)) or 'none'})")
            chosen.append(names.index(key))
        else:
            if not 0 <= key < len(names):
                raise ValueError(f"no column {key}: the table has {len(names)} columns")
            chosen.append(key)
    if len(set(chosen)) != len(chosen):
        raise ValueError(f"columns names a column twice: {list(options.columns)!r}")
    return chosen


def requested_types(options: Options, names: list[str],
                    chosen: list[int]) -> list[str | None]:
    """The type asked for each chosen column (None: inferred)."""
    dtypes = options.dtypes
    if dtypes is None:
        return [None] * len(chosen)
    if isinstance(dtypes, str):
        return [dtypes] * len(chosen)
    out: list[str | None] = [None] * len(chosen)
    for key, type_name in dtypes.items():
        index = names.index(key) if isinstance(key, str) and key in names else key
        if not isinstance(index, int) or index not in chosen:
            raise ValueError(f"dtypes names {key!r}, which is not a column read")
        out[chosen.index(index)] = type_name
    return out
