"""The command line: ``tavrinex info|dump|bench FILE`` and ``tavrinex convert IN.csv OUT.xlsx``."""

from __future__ import annotations

import argparse
import csv
import datetime
import importlib.util
import json
import os
import re
import sys
import time
from collections.abc import Iterable, Iterator, Sequence
from contextlib import nullcontext
from typing import Any, TextIO

from tavrinex import _native
from tavrinex.errors import InvalidFileError
from tavrinex.reader.book import open_workbook


def _progress(total: int | None, desc: str, unit: str) -> Any:
    """A progress bar on standard error when it is a terminal, else None."""
    if not sys.stderr.isatty():
        return None
    from tqdm import tqdm  # type: ignore[import-untyped]
    return tqdm(total=total, desc=desc, unit=unit, file=sys.stderr, leave=False)


def _cell_count(ws: Any) -> int:
    cells = getattr(ws, "_cells", None)
    if cells is not None:
        return len(cells)
    return sum(1 for row in ws.iter_rows(values_only=True) for v in row if v is not None)


def _dimension(ws: Any) -> str:
    declared = getattr(ws, "_dimension", None)
    if declared:
        return declared
    return ws.calculate_dimension()


def cmd_info(args: argparse.Namespace, out: TextIO) -> int:
    bar = _progress(None, "sheets", "sheet")
    with bar if bar is not None else nullcontext():
        wb = open_workbook(args.file, on_sheet=(lambda ws: bar.update()) if bar else None)
    print(f"{wb.filename}: {len(wb.worksheets)} worksheet(s), "
          f"{'1904' if wb.epoch_1904 else '1900'} date system, "
          f"{len(wb.shared_strings)} shared strings, {len(wb._cell_styles)} cell styles",
          file=out)
    for ws in wb.worksheets:
        state = wb.sheet_states.get(ws.title, "visible")
        print(f"  {ws.title!r}: {_dimension(ws)}, {_cell_count(ws)} cells, "
              f"read by the {ws.reader_path} path"
              + ("" if state == "visible" else f", {state}"), file=out)
    if wb.unread_parts:
        print(f"  kept as read, not modelled: {', '.join(wb.unread_parts)}", file=out)
    return 0


def text_value(value: Any) -> str:
    """A cell value as text for csv and tsv output."""
    if value is None:
        return ""
    if isinstance(value, bool):
        return "TRUE" if value else "FALSE"
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, datetime.timedelta):
        return duration_text(value)
    return str(value)


def duration_text(value: datetime.timedelta) -> str:
    """Elapsed time as hours:minutes:seconds, "-30:00:00", "1:02:03.5"."""
    micros = value // datetime.timedelta(microseconds=1)
    sign = "-" if micros < 0 else ""
    seconds, micros = divmod(abs(micros), 1_000_000)
    minutes, seconds = divmod(seconds, 60)
    hours, minutes = divmod(minutes, 60)
    text = f"{sign}{hours}:{minutes:02}:{seconds:02}"
    return text + f".{micros:06}".rstrip("0") if micros else text


def json_value(value: Any) -> Any:
    """A cell value as JSON: numbers, strings, booleans and null as they
    are, dates and times in ISO 8601, durations in seconds."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if value == value and abs(value) != float("inf") else str(value)
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, datetime.timedelta):
        return value.total_seconds()
    return str(value)


def _open_sheet(args: argparse.Namespace) -> tuple[Any, Any]:
    """The workbook and the sheet to dump, in read-only mode when the
    streaming worksheet is installed."""
    read_only = importlib.util.find_spec("tavrinex.reader.readonly") is not None
    wb = open_workbook(args.file, read_only=read_only, data_only=args.data_only)
    if args.sheet is None:
        ws = wb.active
        if ws is None:
            raise SystemExit(f"{wb.filename}: the workbook has no worksheet")
    elif args.sheet in wb:
        ws = wb[args.sheet]
    else:
        wb.close()
        raise SystemExit(f"{wb.filename}: no worksheet {args.sheet!r} "
                         f"(the worksheets are {', '.join(map(repr, wb.sheetnames))})")
    return wb, ws


def write_rows(rows: Iterable[Sequence[Any]], fmt: str, out: TextIO) -> int:
    """Write `rows` to `out` as csv, tsv or jsonl; returns the row count."""
    count = 0
    if fmt == "jsonl":
        for row in rows:
            out.write(json.dumps([json_value(v) for v in row], ensure_ascii=False))
            out.write("\n")
            count += 1
        return count
    writer = csv.writer(out, dialect="excel-tab" if fmt == "tsv" else "excel",
                        lineterminator="\n")
    for row in rows:
        writer.writerow([text_value(v) for v in row])
        count += 1
    return count


def _counted(rows: Iterable[Any], bar: Any) -> Iterator[Any]:
    for row in rows:
        bar.update()
        yield row


def cmd_dump(args: argparse.Namespace, out: TextIO) -> int:
    wb, ws = _open_sheet(args)
    with wb:
        rows: Iterable[Any] = ws.iter_rows(values_only=True)
        bar = _progress(ws.max_row, ws.title, "row")
        if bar is not None:
            rows = _counted(rows, bar)
        try:
            write_rows(rows, args.format, out)
        finally:
            if bar is not None:
                bar.close()
    return 0


def _timed_load(path: str, engine: Any) -> tuple[float, int, list[str]]:
    start = time.perf_counter()
    wb = open_workbook(path, engine=engine)
    cells = 0
    for ws in wb.worksheets:
        for row in ws.iter_rows(values_only=True):
            cells += len(row)
    return time.perf_counter() - start, cells, [ws.reader_path for ws in wb.worksheets]


def cmd_bench(args: argparse.Namespace, out: TextIO) -> int:
    engine = _native.native
    py_time, cells, _ = _timed_load(args.file, None)
    print(f"Python path: {py_time:.3f} s to load and read {cells} values", file=out)
    if engine is None:
        print("the engine is not built: nothing to compare", file=out)
        return 0
    best = min(_timed_load(args.file, engine) for _ in range(args.repeat))
    print(f"engine:      {best[0]:.3f} s (best of {args.repeat}), "
          f"{py_time / best[0]:.1f}x the Python path; sheets read by: "
          f"{', '.join(best[2])}", file=out)
    return 0


_LEADING_ZERO = re.compile(r"[+-]?0[0-9]")
_INT = re.compile(r"[+-]?[0-9]{1,15}")
_FLOAT = re.compile(r"[+-]?(?:[0-9]+\.[0-9]*|\.[0-9]+|[0-9]+)(?:[eE][+-]?[0-9]+)?")
_DATE = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2}")
_DATETIME = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2}[T ][0-9]{2}:[0-9]{2}(?::[0-9]{2}(?:\.[0-9]{1,6})?)?")


def csv_value(text: str) -> Any:
    """A csv field as a cell value: integers, decimal numbers, ISO dates
    and date-times are recognised; anything else stays text."""
    if not text:
        return None
    if _LEADING_ZERO.match(text):
        return text   # codes such as "007" keep their zeros
    if _INT.fullmatch(text):
        return int(text)
    if _FLOAT.fullmatch(text):
        return float(text)
    try:
        if _DATE.fullmatch(text):
            return datetime.date.fromisoformat(text)
        if _DATETIME.fullmatch(text):
            return datetime.datetime.fromisoformat(text)
    except ValueError:
        pass
    return text


def cmd_convert(args: argparse.Namespace, out: TextIO) -> int:
    from tavrinex.workbook import Workbook
    stem = os.path.splitext(os.path.basename(args.source))[0]
    title = re.sub(r"[\\/*?:\[\]']", "_", stem)[:31] or "Sheet1"
    wb: Workbook[Any] = Workbook(write_only=True)
    ws = wb.create_sheet(title)
    bar = _progress(None, "rows", "row")
    rows = 0
    try:
        with open(args.source, newline="", encoding=args.encoding) as source:
            for record in csv.reader(source, delimiter=args.delimiter):
                ws.append([csv_value(field) for field in record])
                rows += 1
                if bar is not None:
                    bar.update()
    finally:
        if bar is not None:
            bar.close()
    wb.save(args.target)
    print(f"{args.target}: {rows} rows written to sheet {title!r}", file=out)
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="tavrinex",
                                     description="Read and write xlsx workbooks with tavrinex.")
    sub = parser.add_subparsers(dest="command", required=True)
    info = sub.add_parser("info", help="sheets, dimensions, cell counts and reader paths")
    info.add_argument("file")
    info.set_defaults(run=cmd_info)
    dump = sub.add_parser("dump", help="write the rows of a sheet to standard output")
    dump.add_argument("file")
    dump.add_argument("--sheet", help="the sheet to dump (default: the active one)")
    dump.add_argument("--format", choices=("csv", "tsv", "jsonl"), default="csv")
    dump.add_argument("--data-only", action="store_true",
                      help="cached values of formula cells instead of their formulas")
    dump.set_defaults(run=cmd_dump)
    bench = sub.add_parser("bench", help="time the engine against the Python path")
    bench.add_argument("file")
    bench.add_argument("--repeat", type=int, default=3, help="engine runs (best counts)")
    bench.set_defaults(run=cmd_bench)
    convert = sub.add_parser("convert", help="write a csv file as an xlsx workbook")
    convert.add_argument("source", help="the csv file")
    convert.add_argument("target", help="the xlsx file to write")
    convert.add_argument("--delimiter", default=",")
    convert.add_argument("--encoding", default="utf-8-sig")
    convert.set_defaults(run=cmd_convert)
    return parser


def main(argv: Sequence[str] | None = None, out: TextIO | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return int(args.run(args, out if out is not None else sys.stdout))
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, and keep the
        # interpreter from failing on the final flush of the closed pipe.
        if out is None:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except (InvalidFileError, OSError, UnicodeDecodeError, csv.Error) as exc:
        print(f"tavrinex: {exc}", file=sys.stderr)
        return 1
