"""write_table: Arrow tables and pandas DataFrames into a worksheet.

The engine's TableWriter reads the record batches in place and writes
the rows, without a Python object per cell, in chunks that are deflated
on this thread while the next chunk is made on another (both run without
the interpreter lock). Strings go to the shared-string table; dates,
date-times, times and durations get number formats that show them.
Without the engine the same rows are written in Python (via pyarrow).
"""

from __future__ import annotations

import os
import queue
import shutil
import tempfile
import threading
import zipfile
import zlib
from collections.abc import Iterator
from typing import Any, BinaryIO, Union

from tavrinex import _native
from tavrinex.styles import StyleArray, new_stylesheet
from tavrinex.utils.cell import get_column_letter
from tavrinex.worksheet import MAX_COLUMN, MAX_ROW, check_title
from tavrinex.writer.sheet_part import rels_part
from tavrinex.writer.styles_part import styles_part
from tavrinex.writer.xmltext import DECLARATION, MAIN_NS, REL_NS, attrs, element, text

ENGINE: Any = object()
Target = Union[str, "os.PathLike[str]", BinaryIO]

CHUNK = 1 << 20
# Deflate of the worksheet and shared strings: ISA-L's level 1 when the
# isal package is installed (the `fast` extra), else zlib's level 1.
ISAL_LEVEL = 1
ZLIB_LEVEL = 1
# Cell format ids of the styles part: dates, date-times, times, durations.
STYLE_IDS = (1, 2, 3, 4)
_SML = "application/vnd.openxmlformats-officedocument.spreadsheetml"
_TABLE_REL = f"{REL_NS}/table"

_isal: Any
try:
    from isal import isal_zlib as _isal
except ImportError:  # pragma: no cover - depends on the installation
    _isal = None


def deflate_level() -> tuple[str, int]:
    """(library, level) that deflates the large parts of write_table."""
    return ("isal", ISAL_LEVEL) if _isal is not None else ("zlib", ZLIB_LEVEL)


def _record_batches(data: Any) -> Any:
    """An object with __arrow_c_stream__ for `data`."""
    module = type(data).__module__.split(".")[0]
    if module == "pandas" and type(data).__name__ == "DataFrame":
        import pyarrow as pa  # type: ignore[import-untyped]
        return pa.Table.from_pandas(data, preserve_index=False)
    if hasattr(data, "__arrow_c_stream__"):
        return data
    raise TypeError("write_table takes a table with __arrow_c_stream__ (a pyarrow Table, a "
                    f"polars DataFrame, a tavrinex Table) or a pandas DataFrame, not "
                    f"{type(data).__name__}")


def write_table(data: Any, target: Target, sheet: str = "Sheet1", *, header: bool = True,
                column_widths: str | None = "auto", date_format: str = "yyyy-mm-dd",
                datetime_format: str = "yyyy-mm-dd hh:mm:ss", table_style: str | None = None,
                table_name: str = "Table1", engine: Any = ENGINE) -> None:
    """Write `data` (anything with ``__arrow_c_stream__``, such as a pyarrow
    Table, a polars DataFrame or a tavrinex Table, or a pandas DataFrame)
    to a new workbook at `target` (a path or a binary file) as the sheet
    `sheet`: the column names in row 1 (unless `header` is false), a row a
    record below. `column_widths="auto"` sizes each column to its longest
    text; `date_format` and `datetime_format` are the number formats of
    date and timestamp columns; `table_style` (such as
    "TableStyleMedium9") makes the range an Excel table named
    `table_name`."""
    check_title(sheet)
    if column_widths not in ("auto", None):
        raise ValueError(f"column_widths must be 'auto' or None, not {column_widths!r}")
    if table_style is not None and not header:
        raise ValueError("an Excel table needs its header row (header=True)")
    native = _native.native if engine is ENGINE else engine
    source = _record_batches(data)
    rows: Any = (native.TableWriter(source, header, STYLE_IDS) if native is not None
                 else PyTableWriter(source, header, STYLE_IDS))
    names, types = rows.names, rows.types
    if len(names) > MAX_COLUMN or rows.last_row > MAX_ROW:
        raise ValueError(f"{rows.last_row} rows of {len(names)} columns do not fit a worksheet "
                         f"({MAX_ROW} rows, {MAX_COLUMN} columns)")
    if table_style is not None:
        _check_table(names, table_name)
    widths = None
    if column_widths == "auto":
        widths = rows.text_widths(len(_sample(date_format)), len(_sample(datetime_format)), 8)
    if not isinstance(target, (str, os.PathLike)):
        with tempfile.TemporaryFile() as tmp:
            _write_package(tmp, rows, sheet, names, types, widths, date_format, datetime_format,
                           table_style, table_name)
            tmp.seek(0)
            shutil.copyfileobj(tmp, target, CHUNK)
        return
    path = os.fspath(target)
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp_path = tempfile.mkstemp(prefix=".~" + os.path.basename(path)[:40], suffix=".tmp",
                                    dir=folder)
    try:
        with os.fdopen(fd, "wb") as tmp:
            _write_package(tmp, rows, sheet, names, types, widths, date_format,
                           datetime_format, table_style, table_name)
        os.chmod(tmp_path, 0o644)
        os.replace(tmp_path, path)
    except BaseException:
        try:
            os.unlink(tmp_path)
        except OSError:
            pass
        raise


def _sample(number_format: str) -> str:
    """About the text a format shows for a date (for column widths)."""
    out = number_format
    for piece, shown in (("yyyy", "2000"), ("yy", "00"), ("mmmm", "September"),
                         ("mmm", "Sep"), ("dddd", "Wednesday"), ("ddd", "Wed"), ("\\", "")):
        out = out.replace(piece, shown)
    return out.replace('"', "")


def _check_table(names: list[str], table_name: str) -> None:
    if not table_name or not (table_name[0].isalpha() or table_name[0] in "_\\") or any(
            not (ch.isalnum() or ch in "_.\\") for ch in table_name):
        raise ValueError(f"{table_name!r} is not a name an Excel table can have")
    seen = set()
    for name in names:
        if not name or name.casefold() in seen:
            raise ValueError(f"an Excel table needs distinct, non-empty column names; "
                             f"{name!r} is not")
        seen.add(name.casefold())


def _chunks(rows: Any) -> Iterator[bytes]:
    """The rows' chunks, made on a thread of their own while the caller
    deflates the last one."""
    ready: queue.Queue[Any] = queue.Queue(maxsize=2)
    stop = threading.Event()

    def make() -> None:
        try:
            while not stop.is_set():
                chunk = rows.next_rows(CHUNK)
                ready.put(chunk)
                if chunk is None:
                    return
        except BaseException as exc:   # handed to the writing thread
            ready.put(exc)

    worker = threading.Thread(target=make, name="tavrinex-write-table", daemon=True)
    worker.start()
    try:
        while True:
            chunk = ready.get()
            if chunk is None:
                return
            if isinstance(chunk, BaseException):
                raise chunk
            yield chunk
    finally:
        stop.set()
        while worker.is_alive():
            try:
                ready.get(timeout=0.05)
            except queue.Empty:
                pass
        worker.join()


def _member(zf: zipfile.ZipFile, name: str) -> Any:
    out: Any = zf.open(name, "w", force_zip64=True)
    if _isal is not None and getattr(out, "_compressor", None) is not None:
        out._compressor = _isal.compressobj(ISAL_LEVEL, zlib.DEFLATED, -15)
    return out


def _write_package(out: Any, rows: Any, sheet: str, names: list[str], types: list[str],
                   widths: list[int] | None, date_format: str, datetime_format: str,
                   table_style: str | None, table_name: str) -> None:
    last_row = max(rows.last_row, 1)
    last_col = get_column_letter(max(len(names), 1))
    ref = f"A1:{last_col}{max(last_row, 2) if table_style else last_row}"
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED, compresslevel=ZLIB_LEVEL) as zf:
        with _member(zf, "xl/worksheets/sheet1.xml") as part:
            head = [f'<worksheet{attrs({"xmlns": MAIN_NS, "xmlns:r": REL_NS})}>',
                    element("dimension", {"ref": ref if names else "A1"}),
                    '<sheetViews><sheetView tabSelected="1" workbookViewId="0"/></sheetViews>',
                    element("sheetFormatPr", {"defaultRowHeight": "15"})]
            if widths:
                head.append("<cols>" + "".join(
                    element("col", {"min": j, "max": j, "width": min(255, w + 2),
                                    "customWidth": "1"})
                    for j, w in enumerate(widths, 1)) + "</cols>")
            head.append("<sheetData>")
            part.write(DECLARATION + "".join(head).encode("utf-8"))
            for chunk in _chunks(rows):
                part.write(chunk)
            tail = "</sheetData>"
            if table_style is not None:
                tail += '<tableParts count="1"><tablePart r:id="rId1"/></tableParts>'
            part.write((tail + "</worksheet>").encode("utf-8"))
        overrides = [("/xl/worksheets/sheet1.xml", f"{_SML}.worksheet+xml")]
        if rows.unique_strings:
            with _member(zf, "xl/sharedStrings.xml") as part:
                part.write(DECLARATION + (f'<sst{attrs({"xmlns": MAIN_NS})} '
                                          f'count="{rows.string_cells}" '
                                          f'uniqueCount="{rows.unique_strings}">').encode())
                while (chunk := rows.next_strings(CHUNK)) is not None:
                    part.write(chunk)
                part.write(b"</sst>")
            overrides.append(("/xl/sharedStrings.xml", f"{_SML}.sharedStrings+xml"))
        if table_style is not None:
            zf.writestr("xl/worksheets/_rels/sheet1.xml.rels",
                        rels_part([("rId1", _TABLE_REL, "../tables/table1.xml")]))
            zf.writestr("xl/tables/table1.xml", _table_part(names, ref, table_style, table_name))
            overrides.append(("/xl/tables/table1.xml", f"{_SML}.table+xml"))
        styles = new_stylesheet()
        styles.number_formats = {164: date_format, 165: datetime_format}
        zf.writestr("xl/styles.xml", styles_part(styles, _cell_styles()))
        overrides.append(("/xl/styles.xml", f"{_SML}.styles+xml"))
        zf.writestr("xl/workbook.xml", DECLARATION + (
            f'<workbook{attrs({"xmlns": MAIN_NS, "xmlns:r": REL_NS})}>'
            '<bookViews><workbookView activeTab="0"/></bookViews><sheets>'
            + element("sheet", {"name": sheet, "sheetId": 1, "r:id": "rId1"})
            + "</sheets></workbook>").encode("utf-8"))
        overrides.append(("/xl/workbook.xml", f"{_SML}.sheet.main+xml"))
        book_rels = [("rId1", f"{REL_NS}/worksheet", "worksheets/sheet1.xml"),
                     ("rId2", f"{REL_NS}/styles", "styles.xml")]
        if rows.unique_strings:
            book_rels.append(("rId3", f"{REL_NS}/sharedStrings", "sharedStrings.xml"))
        zf.writestr("xl/_rels/workbook.xml.rels", rels_part(book_rels))
        zf.writestr("_rels/.rels", rels_part([("rId1", f"{REL_NS}/officeDocument",
                                               "xl/workbook.xml")]))
        ct = "http://schemas.openxmlformats.org/package/2006/content-types"
        body = [element("Default", {"Extension": "rels", "ContentType":
                                    "application/vnd.openxmlformats-package.relationships+xml"}),
                element("Default", {"Extension": "xml", "ContentType": "application/xml"})]
        body += [element("Override", {"PartName": n, "ContentType": t}) for n, t in overrides]
        zf.writestr("[Content_Types].xml", DECLARATION + (
            f'<Types{attrs({"xmlns": ct})}>' + "".join(body) + "</Types>").encode("utf-8"))


def _cell_styles() -> list[StyleArray]:
    """General, then dates (164), date-times (165), times (21, h:mm:ss) and
    durations (46, [h]:mm:ss)."""
    return [StyleArray()] + [StyleArray((0, 0, 0, fmt, 0, 0, 0, 0, 0))
                             for fmt in (164, 165, 21, 46)]


def _table_part(names: list[str], ref: str, style: str, name: str) -> bytes:
    columns = "".join(element("tableColumn", {"id": i, "name": n})
                      for i, n in enumerate(names, 1))
    return DECLARATION + (
        f'<table{attrs({"xmlns": MAIN_NS, "id": 1, "name": name, "displayName": name})}'
        f'{attrs({"ref": ref, "totalsRowShown": 0})}>'
        + element("autoFilter", {"ref": ref})
        + element("tableColumns", {"count": len(names)}, columns)
        + element("tableStyleInfo", {"name": style, "showFirstColumn": 0, "showLastColumn": 0,
                                     "showRowStripes": 1, "showColumnStripes": 0})
        + "</table>").encode("utf-8")


# -- the same rows written in Python, when the engine is not installed

_DAY_US = 86_400_000_000
_EPOCH_DAYS = 25569


def _serial_days(days: int) -> int:
    days += _EPOCH_DAYS
    return days - 1 if 1 <= days <= 60 else days


def _fraction(us: int) -> float:
    return (us % 1_000_000 / 1_000_000 + us // 1_000_000) / 86400


class PyTableWriter:
    """TableWriter in Python: the same text, from pyarrow's values."""

    def __init__(self, source: Any, header: bool, styles: tuple[int, int, int, int]) -> None:
        import pyarrow as pa  # type: ignore[import-untyped]
        from tavrinex.writer.values import safe_string
        self._number = safe_string
        table = pa.table(source)
        self.names = list(table.column_names)
        self.types = [_py_type(t) for t in table.schema.types]
        self._styles = dict(zip(("date", "datetime", "time", "duration"), styles))
        self._columns = [self._micros(table.column(j), t) for j, t in enumerate(self.types)]
        self._rows = table.num_rows
        self._header = header
        self.last_row = self._rows + (1 if header else 0)
        self._strings: dict[str, int] = {}
        self.string_cells = 0
        self._next = 0
        self._started = False
        self._done_strings = False

    @staticmethod
    def _micros(column: Any, type_name: str) -> list[Any]:
        """The values of a column, temporal ones as microseconds (days for
        dates), floored as the engine floors them."""
        import pyarrow as pa
        t = column.type
        if pa.types.is_dictionary(t):
            column, t = column.cast(t.value_type), t.value_type
        if type_name in ("datetime", "time", "duration"):
            width = pa.int32() if pa.types.is_time32(t) else pa.int64()
            ints = column.cast(width).to_pylist()
            if t.unit == "ns":
                return [None if v is None else v // 1000 for v in ints]
            per = {"s": 1_000_000, "ms": 1000, "us": 1}[t.unit]
            return [None if v is None else v * per for v in ints]
        if type_name == "date":
            if pa.types.is_date64(t):
                return [None if v is None else v // 86_400_000
                        for v in column.cast(pa.int64()).to_pylist()]
            return column.cast(pa.int32()).to_pylist()
        return column.to_pylist()

    @property
    def unique_strings(self) -> int:
        return len(self._strings)

    def _index(self, s: str) -> int:
        self.string_cells += 1
        return self._strings.setdefault(s, len(self._strings))

    def text_widths(self, date_chars: int, datetime_chars: int, time_chars: int) -> list[int]:
        widths = []
        fixed = {"date": date_chars, "datetime": datetime_chars, "time": time_chars,
                 "boolean": 5, "duration": 10}
        for name, type_name, values in zip(self.names, self.types, self._columns):
            w = len(name) if self._header else 0
            if type_name in fixed:
                w = max(w, fixed[type_name])
            elif type_name == "string":
                w = max([w] + [len(v) for v in values if v is not None])
            elif type_name in ("int", "float"):
                w = max([w] + [min(11, len(self._number(v))) if type_name == "float" else
                               len(self._number(v)) for v in values if v is not None
                               and (type_name == "int" or v == v and abs(v) != float("inf"))])
            widths.append(w)
        return widths

    def next_rows(self, size: int) -> bytes | None:
        parts: list[str] = []
        length = 0
        if not self._started:
            self._started = True
            if self._header:
                parts.append('<row r="1">' + "".join(
                    f'<c t="s"><v>{self._index(n)}</v></c>' for n in self.names) + "</row>")
        letters = [get_column_letter(j) for j in range(1, len(self.names) + 1)]
        while self._next < self._rows and length < size:
            i = self._next
            self._next += 1
            r = i + 1 + (1 if self._header else 0)
            cells = []
            following = 0   # the column a cell without a reference would take
            for j, type_name in enumerate(self.types):
                v = self._columns[j][i]
                if v is None or type_name == "null":
                    continue
                if type_name == "float" and (v != v or abs(v) == float("inf")):
                    continue
                head = "<c" if j == following else f'<c r="{letters[j]}{r}"'
                following = j + 1
                style = self._styles.get(type_name)
                if style:
                    head += f' s="{style}"'
                if type_name == "boolean":
                    cells.append(f'{head} t="b"><v>{1 if v else 0}</v></c>')
                elif type_name == "string":
                    cells.append(f'{head} t="s"><v>{self._index(v)}</v></c>')
                else:
                    cells.append(f"{head}><v>{self._number(self._value(type_name, v))}</v></c>")
            row = f'<row r="{r}">' + "".join(cells) + "</row>"
            parts.append(row)
            length += len(row)
        if not parts:
            return None
        return "".join(parts).encode("utf-8")

    @staticmethod
    def _value(type_name: str, v: Any) -> Any:
        if type_name == "int" and v > 2 ** 63 - 1:
            return float(v)
        if type_name == "date":
            return _serial_days(v)
        if type_name == "datetime":
            day = v // _DAY_US
            return _serial_days(day) + _fraction(v - day * _DAY_US)
        if type_name == "time":
            return _fraction(v)
        if type_name == "duration":
            return v / _DAY_US
        return v

    def next_strings(self, size: int) -> bytes | None:
        if self._done_strings:
            return None
        self._done_strings = True
        if not self._strings:
            return None
        items = []
        for s in self._strings:
            spaced = s[:1] in (" ", "\t", "\n") or s[-1:] in (" ", "\t", "\n")
            items.append(('<si><t xml:space="preserve">' if spaced else "<si><t>") + text(s)
                         + "</t></si>")
        return "".join(items).encode("utf-8")


def _py_type(t: Any) -> str:
    import pyarrow as pa
    if pa.types.is_dictionary(t):
        t = t.value_type
    for test, name in ((pa.types.is_null, "null"), (pa.types.is_boolean, "boolean"),
                       (pa.types.is_integer, "int"), (pa.types.is_floating, "float"),
                       (pa.types.is_date, "date"), (pa.types.is_timestamp, "datetime"),
                       (pa.types.is_time, "time"), (pa.types.is_duration, "duration")):
        if test(t):
            return name
    if pa.types.is_string(t) or pa.types.is_large_string(t) or pa.types.is_string_view(t):
        return "string"
    raise TypeError(f"write_table does not write Arrow type {t}")

