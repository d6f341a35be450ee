"""Workbooks as a Dask DataFrame: one partition per workbook and sheet.

``tavrinex.dask.read_excel("data/*.xlsx")`` reads each workbook with
read_table on Dask's workers (threads, processes or a distributed
cluster alike), the frame's columns and types taken from the first
partition, built with ``dask.dataframe.from_map``.
"""

from __future__ import annotations

import glob
import os
from collections.abc import Iterable, Sequence
from typing import Any

import dask.dataframe as dd

from tavrinex.data.read import read_table

PathArg = str | os.PathLike[str]


def _paths(paths_or_glob: PathArg | Iterable[PathArg]) -> list[str]:
    if isinstance(paths_or_glob, (str, os.PathLike)):
        text = os.fspath(paths_or_glob)
        found = sorted(glob.glob(text)) if glob.has_magic(text) else [text]
        if not found:
            raise FileNotFoundError(f"no workbook matches {text!r}")
        return found
    out = [os.fspath(p) for p in paths_or_glob]
    if not out:
        raise ValueError("read_excel needs at least one workbook")
    return out


class _Partition:
    """Reads one (path, sheet) partition as a pandas DataFrame."""

    def __init__(self, options: dict[str, Any]) -> None:
        self.options = options

    def __call__(self, part: tuple[str, int | str]) -> Any:
        path, sheet = part
        return read_table(path, sheet, **self.options).to_pandas()


def read_excel(paths_or_glob: PathArg | Iterable[PathArg],
               sheet: int | str | Sequence[int | str] = 0, **options: Any) -> dd.DataFrame:
    """A Dask DataFrame of the sheet `sheet` (or of each of a list of
    sheets) of every workbook `paths_or_glob` names (a path, a glob
    pattern or a list of paths), one partition per workbook and sheet, in
    order; `options` are read_table's. The partitions must agree on their
    columns: the first one gives the frame's meta."""
    sheets: list[int | str] = (list(sheet) if isinstance(sheet, (list, tuple))
                               else [sheet])   # type: ignore[list-item]
    parts = [(path, s) for path in _paths(paths_or_glob) for s in sheets]
    reader = _Partition(options)
    meta = reader(parts[0]).iloc[:0]
    return dd.from_map(reader, parts, meta=meta, enforce_metadata=True,
                       label="tavrinex-read-excel")
