"""Loading a workbook file: the parts of the package into a Workbook.

The package relationships lead to the workbook part, whose relationships
lead to the sheets, the shared strings and the styles; each sheet's own
relationships lead to its hyperlink targets and comments. Worksheets are
read by `read_worksheet` (the engine first, Python after it) in full mode,
or handed to the read-only worksheet, which streams them on each pass.
"""

from __future__ import annotations

import importlib
import os
import warnings
import zipfile
import zlib
from collections.abc import Callable
from typing import Any, BinaryIO, Literal, overload
from xml.etree import ElementTree as ET
from xml.parsers import expat

from tavrinex import _native
from tavrinex.comments import Comment, Hyperlink
from tavrinex.drawing import attach_drawings
from tavrinex.errors import BrokenPartError, InvalidFileError, MissingPartError
from tavrinex.helpers import reader_helpers
from tavrinex.reader.bind import read_worksheet
from tavrinex.reader.excel import Archive, Member, Relationship, local_name, rels_part
from tavrinex.reader.strings import read_shared_strings_py
from tavrinex.styles import new_stylesheet, read_stylesheet
from tavrinex.text import CellRichText, TextBlock, item_text, parse_snippet, remove_x005f, rich_item
from tavrinex.utils.cell import coordinate_to_tuple
from tavrinex.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH
from tavrinex.names import DefinedName
from tavrinex.properties import DocumentProperties
from tavrinex.tables import Table
from tavrinex.workbook import ReadOnlySheet, Workbook
from tavrinex.worksheet import Worksheet

_ENGINE: Any = object()   # "use the installed engine"

STRICT_MAIN_NS = "http://purl.oclc.org/ooxml/spreadsheetml/main"
WORKBOOK_TYPES = (
    "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml",
    "application/vnd.openxmlformats-officedocument.spreadsheetml.template.main+xml",
    "application/vnd.ms-excel.sheet.macroEnabled.main+xml",
    "application/vnd.ms-excel.template.macroEnabled.main+xml",
    "application/vnd.ms-excel.addin.macroEnabled.main+xml",
)
# What the package does not model, by a piece of the content type.
_UNMODELLED = (
    ("spreadsheetml.chartsheet+xml", "chartsheets"),
    ("drawing+xml", "drawings"),
    ("drawingml.chart+xml", "charts"),
    ("image/", "images"),
    ("pivotTable+xml", "pivot tables"),
    ("pivotCacheDefinition+xml", "pivot tables"),
    ("vbaProject", "macros"),
    ("spreadsheetml.dialogsheet+xml", "dialog sheets"),
    ("macrosheet+xml", "macro sheets"),
)
_BROKEN = (ValueError, KeyError, IndexError, TypeError, OverflowError, expat.ExpatError,
           ET.ParseError, zipfile.BadZipFile, zlib.error, EOFError, UnicodeError)

SheetCallback = Callable[[Any], None]


FileArg = str | os.PathLike[str] | BinaryIO


@overload
def load_workbook(filename: FileArg, read_only: Literal[False] = False, data_only: bool = False,
                  rich_text: bool = False, *, engine: Any = _ENGINE) -> Workbook[Worksheet]: ...
@overload
def load_workbook(filename: FileArg, read_only: Literal[True], data_only: bool = False,
                  rich_text: bool = False, *, engine: Any = _ENGINE) -> Workbook[ReadOnlySheet]: ...
@overload
def load_workbook(filename: FileArg, read_only: bool, data_only: bool = False,
                  rich_text: bool = False, *,
                  engine: Any = _ENGINE) -> Workbook[Worksheet | ReadOnlySheet]: ...
def load_workbook(filename: FileArg, read_only: bool = False, data_only: bool = False,
                  rich_text: bool = False, *, engine: Any = _ENGINE) -> Workbook[Any]:
    """Open the xlsx workbook `filename` (a path or a seekable binary file).

    `read_only` gives worksheets that stream their rows from the archive,
    which stays open until ``wb.close()`` (or the end of a ``with`` block);
    `data_only` gives the cached values of formula cells instead of their
    formulas; `rich_text` keeps formatted runs of text as CellRichText.
    `engine` is the native module to try first (None: Python only).

    Raises tavrinex.errors.InvalidFileError (a ValueError) or one of its
    subclasses when the file is not a readable workbook.
    """
    return open_workbook(filename, read_only, data_only, rich_text, engine=engine)


def open_workbook(filename: FileArg, read_only: bool = False, data_only: bool = False,
                  rich_text: bool = False, *, engine: Any = _ENGINE,
                  on_sheet: SheetCallback | None = None) -> Workbook[Any]:
    """`load_workbook`, calling `on_sheet(ws)` as each worksheet is read."""
    archive = Archive(filename)
    try:
        wb = _Loader(archive, read_only, data_only, rich_text, engine, on_sheet).load()
    except BaseException:
        archive.close()
        raise
    if read_only:
        wb._archive = archive
    else:
        archive.close()
        for ws in wb.worksheets:
            ws._edited = False   # what reading did is no change
    return wb


def _rich_si_content(snippet: bytes, namespaces: list[tuple[str, str]]) -> Any:
    return _without_x005f(rich_item(parse_snippet(snippet, namespaces)))


def _without_x005f(value: Any) -> Any:
    if isinstance(value, CellRichText):
        return CellRichText(TextBlock(p.font, remove_x005f(p.text)) if isinstance(p, TextBlock)
                            else remove_x005f(p) for p in value)
    return remove_x005f(value)


def _needs_rich_reading(item: ET.Element) -> bool:
    """Whether an item is one the engine hands to ``si_content`` in rich
    mode: a run with properties or attributes, or phonetic parts."""
    for child in item:
        name = local_name(child.tag)
        if name in ("rPh", "phoneticPr"):
            return True
        if name == "r":
            if any("}" not in key for key in child.attrib):
                return True
            if any(local_name(part.tag) == "rPr" for part in child):
                return True
    return False


def _rich_item(elem: ET.Element) -> Any:
    """One shared string in rich-text mode, in Python: the same value the
    engine gives with ``_rich_si_content``."""
    return _without_x005f(rich_item(elem) if _needs_rich_reading(elem) else item_text(elem))


def read_strings(source: Member, rich_text: bool, engine: Any) -> list[Any]:
    """The shared-string table: the engine first, Python when it declines."""
    if engine is not None:
        helpers = reader_helpers(rich_text=rich_text)
        if rich_text:
            helpers["si_content"] = _rich_si_content
        try:
            return engine.read_string_table(source, helpers)
        except engine.NativeFallback:
            source.seek(0)
    if rich_text:
        return read_shared_strings_py(source, item=_rich_item)
    return read_shared_strings_py(source)


class _Loader:
    def __init__(self, archive: Archive, read_only: bool, data_only: bool, rich_text: bool,
                 engine: Any, on_sheet: SheetCallback | None) -> None:
        self.archive = archive
        self.name = archive.filename
        self.read_only = read_only
        self.data_only = data_only
        self.rich_text = rich_text
        self.engine = _native.native if engine is _ENGINE else engine
        self.explicit_engine = engine is not _ENGINE
        self.on_sheet = on_sheet

    def broken(self, part: str, exc: BaseException) -> BrokenPartError:
        return BrokenPartError(self.name, f"cannot be read ({type(exc).__name__}: {exc})", part)

    def target(self, rel: Relationship, source: str, what: str) -> str:
        """The part `rel` targets, which must be in the archive."""
        if rel.external or not self.archive.has(rel.target):
            raise MissingPartError(
                self.name, f"missing: {what} (relationship {rel.id} of {source}) points to it",
                rel.target)
        return rel.target

    # -- the workbook part

    def workbook_part(self, overrides: dict[str, str]) -> str:
        for rel in self.archive.rels("").values():
            if rel.kind == "officeDocument" and not rel.external:
                return self.target(rel, "_rels/.rels", "the office document")
        for part, ctype in overrides.items():
            if ctype in WORKBOOK_TYPES and self.archive.has(part):
                return part
        raise MissingPartError(self.name, "no workbook part: not an xlsx workbook",
                               "_rels/.rels")

    def load(self) -> Workbook[Any]:
        archive = self.archive
        defaults, overrides = archive.content_types()
        part = self.workbook_part(overrides)
        ctype = overrides.get(part.lower())
        if ctype is not None and ctype not in WORKBOOK_TYPES:
            raise InvalidFileError(self.name, f"is {ctype}, not a workbook", part)
        root = archive.parse(part)
        if root.tag == f"{{{STRICT_MAIN_NS}}}workbook":
            # Its cells are in another namespace: reading on would give empty sheets.
            raise InvalidFileError(self.name, "a Strict Open XML workbook, which this package "
                                   "does not read (save it as a standard workbook)", part)
        if local_name(root.tag) != "workbook":
            raise BrokenPartError(self.name, f"root element is {local_name(root.tag)!r}, "
                                  "not 'workbook'", part)
        rels = archive.rels(part)
        by_kind: dict[str, Relationship] = {}
        for rel in rels.values():
            by_kind.setdefault(rel.kind, rel)

        stylesheet = new_stylesheet()
        if "styles" in by_kind:
            styles_part = self.target(by_kind["styles"], part, "the styles")
            try:
                declared: list[tuple[str, str]] = []
                stylesheet = read_stylesheet(archive.parse(styles_part, declared), declared)
            except (ValueError, OverflowError) as exc:   # an index beyond 32 bits
                if isinstance(exc, InvalidFileError):
                    raise
                raise self.broken(styles_part, exc) from exc

        strings: list[Any] = []
        if "sharedStrings" in by_kind:
            sst_part = self.target(by_kind["sharedStrings"], part, "the shared strings")
            with archive.open(sst_part) as source:
                try:
                    strings = read_strings(source, self.rich_text, self.engine)
                except InvalidFileError:
                    raise
                except _BROKEN as exc:
                    raise self.broken(sst_part, exc) from exc

        epoch = WINDOWS_EPOCH
        for child in root:
            if local_name(child.tag) == "workbookPr":
                if child.get("date1904", "").strip().lower() in ("1", "true"):
                    epoch = MAC_EPOCH
        wb = Workbook(filename=self.name, stylesheet=stylesheet, epoch=epoch,
                      read_only=self.read_only, data_only=self.data_only, empty=True)
        # The table was made for this workbook alone: it takes it as it is,
        # without the copy the constructor makes of a caller's list.
        wb.shared_strings = strings if type(strings) is list else list(strings)
        del strings
        self.read_workbook_items(wb, root)
        self.read_properties(wb)
        self.read_sheets(wb, root, part, rels)
        wb.unread_parts = self.unmodelled(defaults, overrides)
        if wb.unread_parts:
            warnings.warn(f"{self.name}: not read (the package does not model them): "
                          f"{', '.join(wb.unread_parts)}", stacklevel=4)
        return wb

    def read_properties(self, wb: Workbook[Any]) -> None:
        """The document properties of the package's core, app and custom parts."""
        wb._properties = DocumentProperties()
        for rel in self.archive.rels("").values():
            if rel.external or not self.archive.has(rel.target):
                continue
            reader = {"core-properties": wb._properties.read_core,
                      "extended-properties": wb._properties.read_app,
                      "custom-properties": wb._custom_properties.read}.get(rel.kind)
            if reader is None:
                continue
            try:
                reader(self.archive.parse(rel.target))
            except _BROKEN as exc:
                raise self.broken(rel.target, exc) from exc
        wb._modified_read = wb._properties.modified

    def read_workbook_items(self, wb: Workbook[Any], root: ET.Element) -> None:
        for child in root:
            name = local_name(child.tag)
            if name == "definedNames":
                for el in child:
                    if local_name(el.tag) == "definedName":
                        attrs = {k: v for k, v in el.attrib.items() if k != "name"}
                        wb.defined_names.append(
                            DefinedName(el.get("name", ""), el.text or "", attrs))
            elif name == "bookViews":
                for view in child:
                    try:
                        wb._active_index = int(view.get("activeTab", "0"))
                    except ValueError:
                        wb._active_index = 0
                    break

    def read_sheets(self, wb: Workbook[Any], root: ET.Element, part: str,
                    rels: dict[str, Relationship]) -> None:
        sheets = next((c for c in root if local_name(c.tag) == "sheets"), None)
        entries = [el for el in (sheets if sheets is not None else ())
                   if local_name(el.tag) == "sheet"]
        position = {}   # place among all sheets -> place among worksheets
        in_file_order: list[Any] = []   # each sheet of the file, None when not a worksheet
        for index, el in enumerate(entries):
            title = el.get("name")
            rid = next((v for k, v in el.attrib.items()
                        if k.startswith("{") and local_name(k) == "id"), None)
            if title is None or rid is None:
                raise BrokenPartError(self.name, "a sheet lacks its name or relationship id",
                                      part)
            rel = rels.get(rid)
            if rel is None:
                raise BrokenPartError(
                    self.name, f"sheet {title!r} refers to relationship {rid!r}, which "
                    f"{rels_part(part)} does not hold", part)
            if rel.kind != "worksheet":
                in_file_order.append(None)
                continue   # chartsheets and the like: reported as unmodelled
            sheet_part = self.target(rel, part, f"sheet {title!r}")
            state = el.get("state", "visible")
            position[index] = len(wb.worksheets)
            ws = (self.read_only_sheet(wb, title, sheet_part) if self.read_only
                  else self.full_sheet(wb, title, sheet_part))
            # As the file has it: the rule of one visible sheet is the user's to keep.
            if hasattr(ws, "_sheet_state"):
                ws._sheet_state = state
            else:
                ws.sheet_state = state
            wb.worksheets.append(ws)
            in_file_order.append(ws)
            if self.on_sheet is not None:
                self.on_sheet(ws)
        wb._active_index = position.get(wb._active_index, -1)
        wb.defined_names.bind_sheets(in_file_order)

    # -- worksheets

    def read_only_sheet(self, wb: Workbook[Any], title: str, part: str) -> Any:
        # The streaming worksheet is imported only when read-only mode is asked for.
        ReadOnlyWorksheet = importlib.import_module("tavrinex.reader.readonly").ReadOnlyWorksheet
        archive = self.archive
        extra = {"engine": self.engine} if self.explicit_engine else {}
        return ReadOnlyWorksheet(wb, title, lambda: archive.open(part),
                                 data_only=self.data_only, rich_text=self.rich_text,
                                 date_formats=wb._date_formats,
                                 timedelta_formats=wb._timedelta_formats,
                                 broken=lambda exc: (self.broken(part, exc)
                                                     if isinstance(exc, _BROKEN) else None),
                                 **extra)

    def full_sheet(self, wb: Workbook[Any], title: str, part: str) -> Worksheet:
        ws = Worksheet(wb, title)
        with self.archive.open(part) as source:
            try:
                read_worksheet(source, ws, data_only=self.data_only, rich_text=self.rich_text,
                               date_formats=wb._date_formats,
                               timedelta_formats=wb._timedelta_formats, engine=self.engine)
            except InvalidFileError:
                raise
            except _BROKEN as exc:
                raise self.broken(part, exc) from exc
        ws.reader_path = "python" if isinstance(ws._cells, dict) else "engine"
        rels = self.archive.rels(part)
        self.attach_hyperlinks(ws, part, rels)
        attach_drawings(self.archive, ws, part, rels)
        for rel in rels.values():
            if rel.kind == "comments":
                self.attach_comments(ws, self.target(rel, part, "the comments"))
        for rid in getattr(ws, "_table_part_ids", ()):
            table_rel = rels.get(rid)
            if table_rel is None or table_rel.kind != "table":
                raise BrokenPartError(self.name, f"a table part refers to relationship {rid!r}, "
                                      f"which {rels_part(part)} does not hold", part)
            table_part = self.target(table_rel, part, "a table")
            try:
                ws.tables._add(Table.from_element(self.archive.parse(table_part)))
            except _BROKEN as exc:
                raise self.broken(table_part, exc) from exc
        return ws

    def attach_hyperlinks(self, ws: Worksheet, part: str,
                          rels: dict[str, Relationship]) -> None:
        for attrs in ws.hyperlinks:
            ref = attrs.get("ref")
            if not ref:
                continue
            rid = next((v for k, v in attrs.items()
                        if k.startswith("{") and local_name(k) == "id"), None)
            target = None
            if rid is not None:
                rel = rels.get(rid)
                if rel is None:
                    raise BrokenPartError(
                        self.name, f"hyperlink of {ref} refers to relationship {rid!r}, "
                        f"which {rels_part(part)} does not hold", part)
                target = rel.target
            link = Hyperlink(ref, target, attrs.get("location"), attrs.get("tooltip"),
                             attrs.get("display"), rid)
            try:
                row, column = coordinate_to_tuple(ref.partition(":")[0])
            except ValueError as exc:
                raise self.broken(part, exc) from exc
            ws.cell(row, column)._hyperlink = link

    def attach_comments(self, ws: Worksheet, part: str) -> None:
        root = self.archive.parse(part)
        authors: list[str] = []
        for child in root:
            name = local_name(child.tag)
            if name == "authors":
                authors = [a.text or "" for a in child]
            elif name == "commentList":
                for el in child:
                    ref = el.get("ref")
                    if local_name(el.tag) != "comment" or not ref:
                        continue
                    text_el = next((t for t in el if local_name(t.tag) == "text"), None)
                    text = item_text(text_el) if text_el is not None else ""
                    try:
                        author_id = int(el.get("authorId", "-1"))
                        row, column = coordinate_to_tuple(ref.partition(":")[0])
                    except ValueError as exc:
                        raise self.broken(part, exc) from exc
                    author = authors[author_id] if 0 <= author_id < len(authors) else ""
                    ws.cell(row, column)._comment = Comment(text, author)

    # -- what is left out

    def unmodelled(self, defaults: dict[str, str], overrides: dict[str, str]) -> list[str]:
        found: list[str] = []
        for name in self.archive.names():
            key = name.lstrip("/").lower()
            ctype = overrides.get(key)
            if ctype is None:
                ctype = defaults.get(key.rpartition(".")[2], "")
            for piece, what in _UNMODELLED:
                if piece in ctype and what not in found:
                    found.append(what)
        return found
