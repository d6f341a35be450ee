"""read_table and read_tables: sheets into Tables.

The engine reads the sheet into compact cell records and builds the Arrow
columns itself; where it cannot promise the Python road's table it raises
NativeFallback and the Python road (tavrinex.data.pyroad) reads the sheet.
"""

from __future__ import annotations

import os
import sys
import warnings
from collections.abc import Iterable, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any

from tavrinex import _native
from tavrinex.data import pyroad
from tavrinex.data.book import Book, SheetRef, Source, TableRef
from tavrinex.data.frame import Table
from tavrinex.data.options import (Coercion, Columns, DTypes, Merged, Options, SkipRows,
                                   Strings, make_options, requested_types, select, skip_mask)
from tavrinex.errors import InvalidFileError
from tavrinex.helpers import reader_helpers

ENGINE: Any = object()   # "use the installed engine"


def read_table(source: Source, sheet: int | str = 0, *, header_row: int | None = 0,
               skip_rows: SkipRows = None, n_rows: int | None = None, columns: Columns = None,
               dtypes: DTypes = None, schema_sample_rows: int | None = 1000,
               dtype_coercion: Coercion = "coerce", merged: Merged = "none",
               skip_empty_rows: bool = False, strings: Strings = "view",
               engine: Any = ENGINE) -> Table:
    """One sheet (or Excel table) of the workbook `source` as a Table.

    `source` is a path, bytes or a binary file; `sheet` an index among the
    worksheets, a sheet title or the name of an Excel table. Rows count
    from the first row that holds a value (of a table: its first row):
    `skip_rows` (a count, row indexes, or a callable given each index)
    drops rows; `header_row` indexes the rows left and names the columns
    (None: ``column_1``, ...); the rows after it are the data, of which
    `n_rows` are kept, `skip_empty_rows` dropping those without a value.
    The columns are those the header and data rows span; `columns` picks
    some by names and indexes (a list) or by letters ("A:E", "A,C,E:F",
    "B:"). Types are inferred over `schema_sample_rows` data rows (None:
    all) unless `dtypes` gives one, for all columns or by column;
    `dtype_coercion` "strict" raises ValueError naming the first cell that
    does not fit, "coerce" makes it null (text in a string column).
    `merged="fill"` gives every cell of a merged range its top-left value.
    String columns share the shared strings' buffer (`strings="view"`),
    index them (``"dictionary"``) or hold their own copy (``"plain"``).
    `engine=None` reads with the Python road only.
    """
    options = make_options(header_row=header_row, skip_rows=skip_rows, n_rows=n_rows,
                           columns=columns, dtypes=dtypes,
                           schema_sample_rows=schema_sample_rows,
                           dtype_coercion=dtype_coercion, merged=merged,
                           skip_empty_rows=skip_empty_rows, strings=strings)
    with Book(source) as book:
        return read_book_table(book, sheet, options, engine)


def read_book_table(book: Book, sheet: int | str, options: Options, engine: Any = ENGINE) -> Table:
    native = _native.native if engine is ENGINE else engine
    sheet_ref, table_ref = book.find(sheet)
    if native is not None:
        try:
            return _engine_table(book, sheet_ref, table_ref, options, native)
        except native.NativeFallback:
            pass
    names, types, columns, rows = pyroad.read(book, sheet_ref, table_ref, options, native)
    return Table(names=names, types=types, columns=columns, num_rows=rows,
                 strings=options.strings, reader_path="python")


def _native_strings(book: Book, native: Any) -> Any:
    """The shared strings as the engine's SharedStrings, made once a book."""
    if book._native_strings is not None:
        return book._native_strings
    strings = None
    if book.strings_part is not None:
        info = book.archive.find(book.strings_part)
        with book.archive.open(book.strings_part) as source:
            try:
                strings = native.read_shared_strings(source, reader_helpers(),
                                                     info.file_size if info else 0)
            except native.NativeFallback:
                pass
    if strings is None:
        strings = native.shared_strings_from_list(book.python_strings(native))
    book._native_strings = strings
    return strings


def _engine_table(book: Book, sheet: SheetRef, table: TableRef | None, options: Options,
                  native: Any) -> Table:
    from tavrinex.reader.book import _BROKEN
    from tavrinex.reader.handlers import handle_element
    from tavrinex.reader.worksheet import WorksheetParser

    strings = _native_strings(book, native)
    # The engine indexes `strings` itself; the parser's list is asked only
    # for an index outside them, which raises the host's IndexError.
    parser = WorksheetParser([], book.epoch, data_only=True,
                             date_formats=book.date_styles,
                             timedelta_formats=book.timedelta_styles)
    bounds = pyroad.table_bounds(table)
    with book.archive.open(sheet.part) as source:
        reader = native.sheet_table(source, parser, reader_helpers(), strings, book.day_styles,
                                    options.plan(), bounds)
        try:
            reader.parse()
        except (native.NativeFallback, InvalidFileError):
            raise
        except _BROKEN as exc:
            raise book._loader.broken(sheet.part, exc) from exc
    if options.fill_merged:
        layout = _Merged()
        for snippet, namespaces in reader.elements:
            handle_element(layout, snippet, namespaces)
        reader.fill_merged(pyroad.merged_ranges(layout.merged_cells))
    names, sheet_columns = reader.lay_out(skip_mask(options, reader.range_rows))
    chosen = select(options, names, sheet_columns)
    asked = requested_types(options, names, chosen)
    arrays = reader.build(chosen, asked, options.schema_sample_rows, options.strict,
                          options.strings)
    for message in reader.warnings:
        warnings.warn(message, stacklevel=4)
    return Table(arrays, strings=options.strings)


class _Merged:
    """What the element handlers record, for merged ranges only."""

    def __init__(self) -> None:
        self.merged_cells: list[str] = []
        self.column_dimensions: dict[str, Any] = {}
        self.hyperlinks: list[Any] = []
        self.sheet_format: dict[str, str] = {}
        self._dimension = None
        self._raw_elements: list[Any] = []


def read_tables(sources: Iterable[Source] | Source, sheet: int | str | Sequence[int | str] = 0,
                *, threads: int | None = None, progress: bool | None = None,
                **options: Any) -> list[Table]:
    """Many tables read on a pool of threads, in the order given: each of
    `sources` (or the one workbook given) with `sheet`, or with each of
    `sheet` when it is a list. The engine reads without the interpreter
    lock, so the reads run side by side on as many cores as `threads`
    (default: the cores). The first failure is raised once every read
    has ended. A progress bar shows on standard error when it is a
    terminal (`progress` True or False forces it)."""
    engine = options.pop("engine", ENGINE)
    checked = make_options(**options)
    if isinstance(sources, (str, bytes, bytearray, memoryview, os.PathLike)) or hasattr(
            sources, "read"):
        sources = [sources]   # type: ignore[list-item]
    sources = list(sources)   # type: ignore[arg-type]
    sheets = list(sheet) if isinstance(sheet, (list, tuple)) else None
    jobs: list[tuple[Any, int | str]] = []
    for source in sources:
        for name in (sheets if sheets is not None else [sheet]):
            jobs.append((source, name))   # type: ignore[arg-type]
    if threads is None:
        threads = os.cpu_count() or 1
    if threads < 1:
        raise ValueError(f"threads must be 1 or more, not {threads}")

    def one(job: tuple[Any, int | str]) -> Table:
        with Book(job[0]) as book:
            return read_book_table(book, job[1], checked, engine)

    bar = _progress(len(jobs), progress)
    results: list[Any] = [None] * len(jobs)
    errors: list[tuple[int, BaseException]] = []
    with ThreadPoolExecutor(max_workers=min(threads, max(len(jobs), 1))) as pool:
        futures = [pool.submit(one, job) for job in jobs]
        for i, future in enumerate(futures):
            try:
                results[i] = future.result()
            except BaseException as exc:   # every read ends before the first error is raised
                errors.append((i, exc))
            if bar is not None:
                bar.update()
    if bar is not None:
        bar.close()
    if errors:
        raise errors[0][1]
    return results


def _progress(total: int, wanted: bool | None) -> Any:
    if wanted is None:
        wanted = sys.stderr.isatty()
    if not wanted:
        return None
    from tqdm import tqdm  # type: ignore[import-untyped]
    return tqdm(total=total, desc="tables", unit="table", file=sys.stderr, leave=False)
