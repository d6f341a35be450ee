"""The data road of ``tavrinex convert``: sheets read with read_table into
Parquet, CSV, JSON lines or Arrow IPC files, and Parquet files written as
workbooks with write_table; the command line's read_table options."""

from __future__ import annotations

import argparse
import csv
import datetime
import json
import re
from collections.abc import Iterator
from typing import Any

from tavrinex.data.frame import Table
from tavrinex.data.types import TYPES, duration_text

# What a sheet is written as, by the target's extension.
TABLE_FORMATS = (".arrow", ".csv", ".jsonl", ".parquet")
_LETTERS = re.compile(r"[A-Za-z]{1,3}(:[A-Za-z]{0,3})?(,[A-Za-z]{1,3}(:[A-Za-z]{0,3})?)*")


def add_table_options(parser: argparse.ArgumentParser) -> None:
    """read_table's options, for a workbook source."""
    group = parser.add_argument_group("reading a sheet (xlsx sources)")
    group.add_argument("--sheet", help="the sheet (index, title or Excel table name; default 0)")
    group.add_argument("--header-row", default="0",
                       help="index of the header row among the rows kept, or 'none'")
    group.add_argument("--skip-rows", help="a count, or row indexes such as 0,2,5")
    group.add_argument("--n-rows", type=int, help="data rows to read at most")
    group.add_argument("--columns", help="letters (A:E, A,C,E:F, B:) or names and indexes "
                                         "separated by commas")
    group.add_argument("--dtypes", help=f"one type ({', '.join(TYPES)}) or name=type pairs "
                                        "separated by commas")
    group.add_argument("--schema-sample-rows", default="1000",
                       help="rows types are inferred over, or 'all'")
    group.add_argument("--strict", action="store_true",
                       help="a value that does not fit its column is an error, not null")
    group.add_argument("--fill-merged", action="store_true",
                       help="every cell of a merged range takes its top-left value")
    group.add_argument("--skip-empty-rows", action="store_true")


def _key(text: str) -> str | int:
    return int(text) if text.isdigit() else text


def table_options(args: argparse.Namespace) -> dict[str, Any]:
    """read_table's keywords from the parsed command line."""
    options: dict[str, Any] = {}
    header = args.header_row.strip().lower()
    options["header_row"] = None if header == "none" else int(header)
    if args.skip_rows:
        pieces = [p.strip() for p in args.skip_rows.split(",") if p.strip()]
        options["skip_rows"] = int(pieces[0]) if len(pieces) == 1 else [int(p) for p in pieces]
    if args.n_rows is not None:
        options["n_rows"] = args.n_rows
    if args.columns:
        if _LETTERS.fullmatch(args.columns.replace(" ", "")):
            options["columns"] = args.columns
        else:
            options["columns"] = [_key(p.strip()) for p in args.columns.split(",")]
    if args.dtypes:
        if "=" in args.dtypes:
            options["dtypes"] = {_key(k.strip()): v.strip() for k, _, v in
                                 (p.partition("=") for p in args.dtypes.split(","))}
        else:
            options["dtypes"] = args.dtypes.strip()
    sample = args.schema_sample_rows.strip().lower()
    options["schema_sample_rows"] = None if sample == "all" else int(sample)
    if args.strict:
        options["dtype_coercion"] = "strict"
    if args.fill_merged:
        options["merged"] = "fill"
    if args.skip_empty_rows:
        options["skip_empty_rows"] = True
    return options


def sheet_of(args: argparse.Namespace) -> int | str:
    if args.sheet is None:
        return 0
    return int(args.sheet) if re.fullmatch(r"-?[0-9]+", args.sheet) else args.sheet


def _text(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, bool):
        return "TRUE" if value else "FALSE"
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, datetime.timedelta):
        return duration_text(value)
    return str(value)


def _json(value: Any) -> Any:
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if value == value and abs(value) != float("inf") else str(value)
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, datetime.timedelta):
        return value.total_seconds()
    return str(value)


def _rows(table: Table) -> Iterator[tuple[Any, ...]]:
    columns = table.to_pydict()
    return zip(*columns.values()) if columns else iter(())


def write_sheet_table(table: Table, target: str) -> None:
    """`table` into `target`, its format chosen by the extension."""
    extension = target[target.rfind("."):].lower()
    if extension == ".parquet":
        import pyarrow.parquet as pq  # type: ignore[import-untyped]
        pq.write_table(table.to_arrow(), target)
    elif extension == ".arrow":
        import pyarrow as pa  # type: ignore[import-untyped]
        arrow = table.to_arrow()
        with pa.OSFile(target, "wb") as sink, pa.ipc.new_file(sink, arrow.schema) as writer:
            writer.write_table(arrow)
    elif extension == ".csv":
        with open(target, "w", newline="", encoding="utf-8") as out:
            writer = csv.writer(out, lineterminator="\n")
            writer.writerow(table.column_names)
            for row in _rows(table):
                writer.writerow([_text(v) for v in row])
    elif extension == ".jsonl":
        names = table.column_names
        with open(target, "w", encoding="utf-8") as out:
            for row in _rows(table):
                out.write(json.dumps({n: _json(v) for n, v in zip(names, row)},
                                     ensure_ascii=False))
                out.write("\n")
    else:   # the command line refuses other extensions before reading
        raise ValueError(f"no table format for {target!r}")


def parquet_rows(source: str) -> Any:
    """A Parquet file's table, for write_table."""
    import pyarrow.parquet as pq  # type: ignore[import-untyped]
    return pq.read_table(source)
