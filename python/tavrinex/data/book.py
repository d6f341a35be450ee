"""A workbook opened for the data road: its worksheets and Excel tables,
styles, date system and shared-string part, without reading any sheet."""

from __future__ import annotations

import io
import os
import re
import warnings
from dataclasses import dataclass
from typing import Any, BinaryIO, Union

from tavrinex.errors import BrokenPartError, InvalidFileError
from tavrinex.numbers import BUILTIN_FORMATS, FIRST_CUSTOM_ID, format_code
from tavrinex.reader.book import STRICT_MAIN_NS, _Loader, read_strings
from tavrinex.reader.excel import Archive, local_name
from tavrinex.styles import Stylesheet, new_stylesheet, read_stylesheet
from tavrinex.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH

Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, BinaryIO]

# Pieces of a number format that show no time of day (quoted text, escaped
# and padded characters, bracketed colours, conditions and locales).
_LITERALS = re.compile(r'"[^"]*"|\\.|[_*].|\[(?!(?:h+|m+|s+)\])[^\]]*\]', re.IGNORECASE)
_TIME_CHARS = re.compile(r"[hs]|am/pm|a/p", re.IGNORECASE)
_REF = re.compile(r"\$?([A-Za-z]{1,3})\$?([0-9]{1,7})(?::\$?([A-Za-z]{1,3})\$?([0-9]{1,7}))?")


def shows_time(code: str) -> bool:
    """Whether a date format shows a time of day (hours, seconds, AM/PM)."""
    section = _LITERALS.sub("", code).split(";", 1)[0]
    return _TIME_CHARS.search(section) is not None


def _column(letters: str) -> int:
    n = 0
    for ch in letters.upper():
        n = n * 26 + ord(ch) - 64
    return n


def parse_range(ref: str) -> tuple[int, int, int, int] | None:
    """(min_row, min_col, max_row, max_col) of "A1:C9" or "B2"; None when
    it is not a range."""
    match = _REF.fullmatch(ref.strip())
    if match is None:
        return None
    c1, r1 = _column(match[1]), int(match[2])
    c2, r2 = (c1, r1) if match[3] is None else (_column(match[3]), int(match[4]))
    if min(r1, r2) < 1:
        return None
    return min(r1, r2), min(c1, c2), max(r1, r2), max(c1, c2)


@dataclass(frozen=True)
class SheetRef:
    title: str
    part: str
    index: int


@dataclass(frozen=True)
class TableRef:
    """An Excel table: its name and range, without its totals rows."""
    name: str
    display_name: str
    sheet: SheetRef
    bounds: tuple[int, int, int, int]   # (min_row, min_col, max_row, max_col)
    header_rows: int


class Book:
    """The workbook `source` (a path, bytes or a binary file), open until
    close()."""

    def __init__(self, source: Source) -> None:
        if isinstance(source, (bytes, bytearray, memoryview)):
            source = io.BytesIO(bytes(source))
        self.archive = Archive(source)
        self.name = self.archive.filename
        self._tables: list[TableRef] | None = None
        self._strings: list[Any] | None = None
        self._native_strings: Any = None
        try:
            self._load()
        except BaseException:
            self.archive.close()
            raise

    def _load(self) -> None:
        archive = self.archive
        self._loader = loader = _Loader(archive, True, True, False, None, None)
        _, overrides = archive.content_types()
        part = loader.workbook_part(overrides)
        root = archive.parse(part)
        if root.tag == f"{{{STRICT_MAIN_NS}}}workbook":
            raise InvalidFileError(self.name, "a Strict Open XML workbook, which this package "
                                   "does not read (save it as a standard workbook)", part)
        if local_name(root.tag) != "workbook":
            raise BrokenPartError(self.name, f"root element is {local_name(root.tag)!r}, "
                                  "not 'workbook'", part)
        rels = archive.rels(part)
        by_kind: dict[str, Any] = {}
        for rel in rels.values():
            by_kind.setdefault(rel.kind, rel)
        self.stylesheet: Stylesheet = new_stylesheet()
        if "styles" in by_kind:
            styles_part = loader.target(by_kind["styles"], part, "the styles")
            try:
                declared: list[tuple[str, str]] = []
                self.stylesheet = read_stylesheet(archive.parse(styles_part, declared), declared)
            except (ValueError, OverflowError) as exc:
                if isinstance(exc, InvalidFileError):
                    raise
                raise loader.broken(styles_part, exc) from exc
        self.strings_part: str | None = None
        strings_rel = by_kind.get("sharedStrings")
        if strings_rel is not None:
            if strings_rel.external or not archive.has(strings_rel.target):
                warnings.warn(f"{self.name}: the shared strings {strings_rel.target} are "
                              "missing from the archive; read as none", stacklevel=3)
            else:
                self.strings_part = strings_rel.target
        self.epoch = WINDOWS_EPOCH
        for child in root:
            if local_name(child.tag) == "workbookPr":
                if child.get("date1904", "").strip().lower() in ("1", "true"):
                    self.epoch = MAC_EPOCH
        self.sheets: list[SheetRef] = []
        sheets = next((c for c in root if local_name(c.tag) == "sheets"), None)
        for el in (sheets if sheets is not None else ()):
            if local_name(el.tag) != "sheet":
                continue
            title = el.get("name")
            rid = next((v for k, v in el.attrib.items()
                        if k.startswith("{") and local_name(k) == "id"), None)
            sheet_rel = rels.get(rid) if rid is not None else None
            if title is None or sheet_rel is None:
                raise BrokenPartError(self.name, "a sheet lacks its name or relationship", part)
            if sheet_rel.kind != "worksheet":
                continue
            self.sheets.append(SheetRef(title, loader.target(sheet_rel, part, f"sheet {title!r}"),
                                        len(self.sheets)))
        styles = self.stylesheet
        self.date_styles = styles.date_style_ids()
        self.timedelta_styles = styles.timedelta_style_ids()
        self.day_styles = frozenset(
            i for i in self.date_styles
            if _shows_day_only(styles.cell_styles[i][3], styles.number_formats))

    def tables(self) -> list[TableRef]:
        """The Excel tables of the worksheets, read on first use."""
        if self._tables is None:
            found = []
            for sheet in self.sheets:
                for rel in self.archive.rels(sheet.part).values():
                    if rel.kind != "table" or rel.external or not self.archive.has(rel.target):
                        continue
                    root = self.archive.parse(rel.target)
                    bounds = parse_range(root.get("ref", ""))
                    if bounds is None:
                        raise BrokenPartError(self.name, f"table range {root.get('ref')!r} "
                                              "is not a range", rel.target)
                    try:
                        header = int(root.get("headerRowCount", "1"))
                        totals = int(root.get("totalsRowCount", "0"))
                    except ValueError as exc:
                        raise self._loader.broken(rel.target, exc) from exc
                    r1, c1, r2, c2 = bounds
                    r2 = max(r1, r2 - max(totals, 0))
                    found.append(TableRef(root.get("name", ""),
                                          root.get("displayName", root.get("name", "")), sheet,
                                          (r1, c1, r2, c2), header))
            self._tables = found
        return self._tables

    def find(self, sheet: int | str) -> tuple[SheetRef, TableRef | None]:
        """The worksheet `sheet` names (an index among the worksheets, a
        sheet title, or the name of an Excel table)."""
        if isinstance(sheet, bool) or not isinstance(sheet, (int, str)):
            raise TypeError(f"sheet is an index or a name, not {type(sheet).__name__}")
        if isinstance(sheet, int):
            if not -len(self.sheets) <= sheet < len(self.sheets):
                raise IndexError(f"{self.name}: no worksheet {sheet} (it has "
                                 f"{len(self.sheets)})")
            return self.sheets[sheet], None
        for ref in self.sheets:
            if ref.title == sheet:
                return ref, None
        for table in self.tables():
            if sheet in (table.display_name, table.name):
                return table.sheet, table
        lowered = sheet.lower()
        for table in self.tables():
            if lowered in (table.display_name.lower(), table.name.lower()):
                return table.sheet, table
        raise KeyError(f"{self.name}: no worksheet or table named {sheet!r} (the worksheets "
                       f"are {', '.join(repr(s.title) for s in self.sheets)})")

    def python_strings(self, engine: Any) -> list[Any]:
        """The shared strings as a list of str (the Python road)."""
        if self._strings is None:
            strings: list[Any] = []
            if self.strings_part is not None:
                with self.archive.open(self.strings_part) as source:
                    try:
                        strings = read_strings(source, False, engine)
                    except InvalidFileError:
                        raise
                    except (ValueError, KeyError, IndexError, TypeError, EOFError) as exc:
                        raise self._loader.broken(self.strings_part, exc) from exc
            self._strings = strings
        return self._strings

    def close(self) -> None:
        self.archive.close()

    def __enter__(self) -> Book:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


# Built-in ids whose text depends on the reader's locale: these show times.
_LOCALE_TIME_IDS = frozenset((32, 33, 34, 35, 55, 56, 57, 58))


def _shows_day_only(fmt_id: int, custom: dict[int, str]) -> bool:
    """Whether a date format shows the day without a time of day."""
    if fmt_id not in custom and fmt_id < FIRST_CUSTOM_ID and fmt_id not in BUILTIN_FORMATS:
        return fmt_id not in _LOCALE_TIME_IDS
    return not shows_time(format_code(fmt_id, custom))
