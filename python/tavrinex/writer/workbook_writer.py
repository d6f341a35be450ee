"""Saving a workbook as an xlsx package.

The package is written as a graph (tavrinex.parts.package.PackageWriter):
each worksheet (its rows by `write_sheet_data`, the engine first, or
copied from the temporary file a write-only sheet streamed them to; the
elements around them by tavrinex.writer.sheet_part), then the styles part
(writing the rows is what gives each distinct style array its cell format
id), the workbook part and the document properties. A workbook loaded from
a file keeps every part of it the package does not model, with its
relationships and content type: they are copied from that file at the end,
compressed bytes as they are.
"""

from __future__ import annotations

import contextlib
import datetime
import os
import shutil
import tempfile
import warnings
import zipfile
from typing import Any
from xml.etree import ElementTree as ET

from tavrinex import _native
from tavrinex.properties import APP, CORE_PREFIXES, CUSTOM, FIELDS, VT
from tavrinex.parts.elements import Layout, carry_rels
from tavrinex.parts.package import (ISAL_LEVEL, ZLIB_LEVEL, PackageWriter,  # noqa: F401
                                    _fast_deflate, deflater)
from tavrinex.worksheet import MAX_COLUMN, MAX_ROW, check_title
from tavrinex.writer.book_part import (APP_TYPE, BOOK_TYPES, CORE_TYPE, MACRO_TYPES, NEW_APP,
                                       WORKBOOK, BookContext, BookRecord, OtherSheet, app_xml,
                                       book_root, core_xml, now_text, workbook_xml)
from tavrinex.writer.sheet_part import (SHEET_TYPE, WORKSHEET, SheetContext, sheet_bounds,
                                        sheet_dimension, sheet_head, sheet_root, sheet_tail,
                                        sync_table_columns, write_rows_part)
from tavrinex.writer.styles_part import styles_part
from tavrinex.writer.xmltext import REL_NS, write_root
from tavrinex.xmltree import fromstring

_ENGINE: Any = object()
_PKG_REL = "http://schemas.openxmlformats.org/package/2006/relationships"
STYLES_TYPE = "application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml"
CUSTOM_TYPE = "application/vnd.openxmlformats-officedocument.custom-properties+xml"
CHUNK = 1 << 20
# Workbook relationships written from the model, or not at all (the
# calculation chain lists formula cells, which edits change: Excel builds
# it again).
_BOOK_MODELLED = ("worksheet", "styles", "sharedStrings", "calcChain", "chartsheet",
                  "dialogsheet", "macrosheet", "vbaProject", "xlMacrosheet", "xlIntlMacrosheet")
_PACKAGE_MODELLED = ("officeDocument", "core-properties", "extended-properties")


def _check(wb: Any) -> None:
    if getattr(wb, "read_only", False):
        raise ValueError("a workbook opened read-only cannot be saved")
    if not wb.worksheets:
        raise ValueError("a workbook needs at least one worksheet to be saved")
    seen: set[str] = set()
    for ws in wb.worksheets:
        check_title(ws.title)
        if ws.title.casefold() in seen:
            raise ValueError(f"two sheets are titled {ws.title!r}")
        seen.add(ws.title.casefold())
        if getattr(ws, "_saved", False):
            raise ValueError(f"write-only sheet {ws.title!r} has been saved already; "
                             "its rows are gone")


def _state(wb: Any, ws: Any) -> str:
    state = getattr(ws, "sheet_state", None) or wb.sheet_states.get(ws.title, "visible")
    if state not in ("visible", "hidden", "veryHidden"):
        raise ValueError(f"sheet {ws.title!r} has state {state!r}, not visible, hidden "
                         "or veryHidden")
    return state


def _active(wb: Any) -> int:
    index = wb._active_index if 0 <= wb._active_index < len(wb.worksheets) else 0
    states = [_state(wb, ws) for ws in wb.worksheets]
    if states[index] != "visible":
        index = next((i for i, s in enumerate(states) if s == "visible"), -1)
        if index < 0:
            raise ValueError("a workbook needs at least one visible sheet")
    return index


def cells_changed(wb: Any, loaded: bool) -> bool:
    """Whether a cell changed since the workbook was loaded (or made): the
    saved file then asks for a full calculation on load, since the cached
    values of the formulas that depend on it are stale."""
    changed = getattr(wb, "cells_changed", None)
    return not loaded if changed is None else bool(changed)


class _Save:
    """One save of a workbook into an open zip."""

    def __init__(self, wb: Any, zf: zipfile.ZipFile, source: Any, kind: str | None, lxml: bool,
                 engine: Any) -> None:
        self.wb = wb
        self.record: BookRecord | None = getattr(wb, "_book", None)
        self.pkg = PackageWriter(zf, source)
        self.kind = kind
        self.lxml = lxml
        self.engine = engine
        self.lost: list[str] = []
        self.layouts: dict[int, Layout] = {}   # id(ws) -> the sheet as written
        self.book_entries: list[tuple[Any, str, int, str]] = []
        self.table_ids = self.number_tables()
        self.book_written: Layout | None = None

    # -- the plan: part names and relationship ids

    def number_tables(self) -> dict[int, int]:
        """The id each table's part gets: the one it was read with, unless
        another table holds it; new ones after the highest."""
        tables = [t for ws in self.wb.worksheets
                  for t in getattr(getattr(ws, "tables", None), "values", list)()]
        taken: set[int] = set()
        out: dict[int, int] = {}
        for table in tables:
            if isinstance(table.id, int) and table.id > 0 and table.id not in taken:
                out[id(table)] = table.id
                taken.add(table.id)
        following = max(taken, default=0) + 1
        for table in tables:
            if id(table) not in out:
                out[id(table)] = following
                following += 1
        return out

    def book_type(self) -> str:
        if self.kind in BOOK_TYPES:
            return BOOK_TYPES[self.kind]
        if self.record is not None and self.record.content_type in BOOK_TYPES.values():
            return self.record.content_type
        return BOOK_TYPES[".xlsx"]

    def run(self) -> None:
        wb, pkg, record = self.wb, self.pkg, self.record
        book = record.layout.part if record is not None else "xl/workbook.xml"
        pkg.rename(book, book)
        book_layout = record.layout if record is not None else None
        active = _active(wb)
        names: list[str] = []
        for ws in wb.worksheets:
            layout = getattr(ws, "_layout", None)
            name = layout.part if layout is not None and layout.part else ""
            if not name or name.lower() in (n.lower() for n in names):
                name = pkg.new_name("xl/worksheets/sheet{}.xml")
            if layout is not None and layout.part:
                pkg.rename(layout.part, name)
            pkg.plan(name)
            names.append(name)
        book_rels = pkg.rels(book)
        book_rels.reserve(book_layout.rels if book_layout is not None else ())
        ids = [book_rels.add(f"{REL_NS}/worksheet", name,
                             rid=getattr(ws, "_sheet_rid", None) if record else None)
               for ws, name in zip(wb.worksheets, names)]
        entries = self.entries(ids)
        for number, (ws, name) in enumerate(zip(wb.worksheets, names), 1):
            self.write_sheet(ws, name, number, number - 1 == active)
        styles = self.styles_name()
        pkg.add(styles, styles_part(wb.stylesheet, wb._cell_styles), STYLES_TYPE)
        styles_rid = next((rid for rid, rel in (book_layout.rels.items() if book_layout else ())
                           if rel.kind == "styles"), None)
        pkg.relate(book, f"{REL_NS}/styles", styles, rid=styles_rid)
        self.write_book(book, book_layout, entries, active)
        self.write_package_rels(book)
        pkg.finish()

    def entries(self, ids: list[str]) -> list[tuple[Any, str, int, str]]:
        """The sheet list: worksheets, and the sheets kept as read in the
        place they had among them, with their relationship ids and sheetIds."""
        wb = self.wb
        order: list[Any] = list(self.record.entries) if self.record is not None else []
        present = {id(ws) for ws in wb.worksheets}
        anchored: dict[int, list[OtherSheet]] = {}
        anchor = 0   # id of the worksheet before, 0 for the start
        for entry in order:
            if isinstance(entry, OtherSheet):
                anchored.setdefault(anchor, []).append(entry)
            elif id(entry) in present:
                anchor = id(entry)
        used: set[int] = set()
        out: list[tuple[Any, str, int, str]] = []

        def sheet_id(read: Any) -> int:
            try:
                value = int(read)
            except (TypeError, ValueError):
                value = 0
            return value if value > 0 and value not in used else 0

        def add(sheet: Any, rid: str, wanted: int, state: str) -> None:
            out.append((sheet, rid, wanted, state))
            used.add(wanted)

        pending: list[tuple[Any, str, str]] = []
        for other in anchored.get(0, []):
            pending.append((other, other.rel.id, other.attributes.get("state", "visible")))
        for ws, rid in zip(wb.worksheets, ids):
            pending.append((ws, rid, _state(wb, ws)))
            for other in anchored.get(id(ws), []):
                pending.append((other, other.rel.id, other.attributes.get("state", "visible")))
        given = []
        for sheet, rid, state in pending:
            read = (sheet.attributes if isinstance(sheet, OtherSheet)
                    else getattr(sheet, "_sheet_attributes", {})).get("sheetId")
            wanted = sheet_id(read)
            given.append(wanted)
            if wanted:
                used.add(wanted)
        next_id = max(used, default=0) + 1
        used.clear()
        for (sheet, rid, state), wanted in zip(pending, given):
            if not wanted or wanted in used:
                wanted, next_id = next_id, next_id + 1
            add(sheet, rid, wanted, state)
        return out

    def styles_name(self) -> str:
        layout = self.record.layout if self.record is not None else None
        for rel in (layout.rels.values() if layout is not None else ()):
            if rel.kind == "styles" and not rel.external:
                self.pkg.rename(rel.target, rel.target)
                return rel.target
        return "xl/styles.xml"

    # -- the parts

    def write_sheet(self, ws: Any, name: str, number: int, selected: bool) -> None:
        wb, pkg = self.wb, self.pkg
        layout = getattr(ws, "_layout", None)
        streamed = getattr(ws, "write_only", False)
        if not streamed:   # a write-only sheet collected them while streaming
            ws._hyperlinks = []
            ws._comments = []
        with pkg.open(name, SHEET_TYPE) as out:
            if streamed:
                ws._finish()
                dimension = ws._dimension_ref()
            else:
                bounds = sheet_bounds(ws)
                if bounds is not None and (bounds[1] > MAX_ROW or bounds[3] > MAX_COLUMN):
                    raise ValueError(f"sheet {ws.title!r} has cells beyond the last row "
                                     f"({MAX_ROW}) or column ({MAX_COLUMN}, XFD) of a "
                                     "worksheet")
                dimension = sheet_dimension(ws, bounds) if bounds else "A1"
            ctx = SheetContext(pkg, name, sheet_root(layout),
                               source_rels=layout.rels if layout is not None else {},
                               number=number, selected=selected, dimension=dimension,
                               new=layout is None, table_ids=self.table_ids)
            out.write(sheet_head(ws, ctx))
            if streamed:
                out.write(b"<sheetData>")
                ws._copy_rows(out.write)
                out.write(b"</sheetData>")
            else:
                write_rows_part(ws, out.write, lxml=self.lxml, engine=self.engine)
                for table in getattr(getattr(ws, "tables", None), "values", list)():
                    sync_table_columns(ws, table)
            out.write(sheet_tail(ws, ctx))
        self.lost.extend(f"{what} of sheet {ws.title!r}" for what in ctx.warnings)
        written = Layout(name, ctx.root, list(ctx.written), {}, dict(pkg.rels(name).items))
        WORKSHEET.loaded(ws, written)
        self.layouts[id(ws)] = written
        del wb

    def write_book(self, book: str, layout: Layout | None,
                   entries: list[tuple[Any, str, int, str]], active: int) -> None:
        wb, pkg = self.wb, self.pkg
        self.book_entries = entries
        book_type = self.book_type()
        full_index = next(i for i, e in enumerate(entries) if e[0] is wb.worksheets[active])
        ctx = BookContext(pkg, book, book_root(layout),
                          source_rels=layout.rels if layout is not None else {},
                          entries=entries, active=full_index,
                          full_calc=cells_changed(wb, layout is not None), new=layout is None)
        for sheet, rid, _, _ in entries:
            if isinstance(sheet, OtherSheet):
                if ctx.keep_rel(rid) is None:
                    self.lost.append(f"sheet {sheet.title!r} (its part is missing)")
        if layout is not None:
            for rid, rel in layout.rels.items():
                if rel.kind == "vbaProject":
                    if book_type in MACRO_TYPES:
                        ctx.keep_rel(rid)
                    else:
                        self.lost.append(f"the VBA project (macros) {rel.target}, which only "
                                         "a macro-enabled file (.xlsm) holds")
        data = workbook_xml(wb, ctx, layout)
        carry_rels(ctx, layout, WORKBOOK, modelled_kinds=_BOOK_MODELLED)
        pkg.add(book, data, book_type)
        self.book_written = Layout(book, ctx.root, list(ctx.written), {},
                                   dict(pkg.rels(book).items))
        WORKBOOK.loaded(wb, self.book_written)

    def write_package_rels(self, book: str) -> None:
        pkg, record = self.pkg, self.record
        source_rels = record.package_rels if record is not None else {}
        office = next((rid for rid, rel in source_rels.items() if rel.kind == "officeDocument"),
                      None)
        pkg.relate("", f"{REL_NS}/officeDocument", book, rid=office)
        rels = pkg.rels("")
        rels.reserve(source_rels)
        core = app = None
        for rid, rel in source_rels.items():
            if rel.external:
                pkg.relate("", rel.type, rel.target, external=True, rid=rid)
            elif rel.kind == "core-properties":
                core = (rid, rel)
            elif rel.kind == "extended-properties":
                app = (rid, rel)
            elif rel.kind in ("officeDocument", "custom-properties"):
                continue
            elif rel.kind == "origin":   # digital signatures, which no longer match
                self.lost.append("the digital signatures (they would not match the "
                                 "changed workbook)")
            else:
                kept = pkg.keep(rel.target)
                if kept is not None:
                    pkg.relate("", rel.type, kept, rid=rid)
        self.write_properties(core, app)

    def write_properties(self, core: tuple[str, Any] | None, app: tuple[str, Any] | None) -> None:
        """core.xml as read with its modification time now, app.xml as read
        with the sheet titles now, custom.xml kept; each written from the
        properties model (over what was read) once it changed."""
        wb, pkg, record = self.wb, self.pkg, self.record
        source = pkg.source
        props = wb.properties
        stamp = datetime.datetime.now(datetime.UTC).replace(tzinfo=None, microsecond=0)
        set_by_user = props.modified is not None and props.modified != wb._modified_read
        changed = record is None or _without_modified(props.snapshot()) != \
            _without_modified(record.properties)
        core_name = core[1].target if core is not None else "docProps/core.xml"
        read = (source.read(core_name) if core is not None and source is not None
                and source.has(core_name) else None)
        if not set_by_user:
            props.modified = stamp
        wb._modified_read = props.modified
        if read is not None and not changed and not set_by_user:
            data = core_xml(read, now_text())
        else:
            if props.created is None and read is None:
                props.created = stamp
            data = write_root(props.core_root(fromstring(read) if read is not None else None),
                              CORE_PREFIXES)
        pkg.rename(core_name, core_name)
        pkg.add(core_name, data, CORE_TYPE)
        pkg.relate("", f"{_PKG_REL}/metadata/core-properties", core_name,
                   rid=core[0] if core else None)
        app_name = app[1].target if app is not None else "docProps/app.xml"
        pkg.rename(app_name, app_name)
        titles = [sheet.title for sheet, _, _, _ in self.book_entries]
        if app is not None and source is not None and source.has(app_name):
            data = source.read(app_name)
            if changed:
                data = write_root(props.apply_app(fromstring(data)), {APP: "", VT: "vt"})
            before = record.app_titles if record is not None else []
            if before != titles:
                data = app_xml(data, before, [ws.title for ws in wb.worksheets])
        else:
            app_root = ET.Element(f"{{{APP}}}Properties")
            ET.SubElement(app_root, f"{{{APP}}}Application").text = "tavrinex"
            data = write_root(props.apply_app(app_root), {APP: ""})
        pkg.add(app_name, data, APP_TYPE)
        pkg.relate("", f"{REL_NS}/extended-properties", app_name, rid=app[0] if app else None)
        self.write_custom()

    def write_custom(self) -> None:
        """custom.xml: kept as read while the custom properties are, else
        written from them (or left out when there are none)."""
        wb, pkg, record = self.wb, self.pkg, self.record
        custom = wb.custom_properties
        read = next(((rid, rel) for rid, rel in (record.package_rels.items() if record else ())
                     if rel.kind == "custom-properties" and not rel.external), None)
        if read is not None and record is not None \
                and custom.snapshot() == record.custom_properties:
            kept = pkg.keep(read[1].target)
            if kept is not None:
                pkg.relate("", read[1].type, kept, rid=read[0])
            return
        name = read[1].target if read is not None else "docProps/custom.xml"
        if read is not None:
            pkg.drop(read[1].target)
        if not len(custom):
            return
        pkg.rename(name, name)
        pkg.add(name, write_root(custom.root(), {CUSTOM: "", VT: "vt"}), CUSTOM_TYPE)
        pkg.relate("", f"{REL_NS}/custom-properties", name, rid=read[0] if read else None)


def _without_modified(snapshot: tuple[Any, ...] | None) -> tuple[Any, ...] | None:
    if snapshot is None:
        return None
    return tuple(v for f, v in zip(FIELDS, snapshot) if f != "modified")


def _write(wb: Any, out: Any, lxml: bool, engine: Any, kind: str | None) -> _Save:
    engine = _native.native if engine is _ENGINE else engine
    source = getattr(wb, "_source", None)
    with (source.open() if source is not None else contextlib.nullcontext()) as reader:
        with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED, compresslevel=ZLIB_LEVEL) as zf:
            save = _Save(wb, zf, reader, kind, lxml, engine)
            save.run()
    return save


def write_package(wb: Any, out: Any, *, lxml: bool = True, engine: Any = _ENGINE,
                  kind: str | None = None) -> list[str]:
    """The whole workbook as an xlsx package into the binary file `out`;
    `kind` is the extension it is saved under (".xlsx", ".xlsm", ...), None
    for a file object. Returns what could not be kept, for the warning."""
    return _write(wb, out, lxml, engine, kind).lost


def save_workbook(wb: Any, filename: Any, *, lxml: bool = True, engine: Any = _ENGINE) -> None:
    """Save `wb` to a path (through a temporary file beside it, renamed at
    the end) or to a binary file object (written only once the whole
    package is made)."""
    _check(wb)
    if hasattr(filename, "write"):
        with tempfile.TemporaryFile() as tmp:
            lost = write_package(wb, tmp, lxml=lxml, engine=engine)
            tmp.seek(0)
            shutil.copyfileobj(tmp, filename, CHUNK)
        _warn(lost)
        return
    path = os.fspath(filename)
    kind = os.path.splitext(path)[1].lower()
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp_path = tempfile.mkstemp(prefix=".~" + os.path.basename(path)[:40], suffix=".tmp",
                                    dir=folder)
    source = getattr(wb, "_source", None)
    over_source = source is not None and source.same_file(path)
    try:
        with os.fdopen(fd, "wb") as tmp:
            save = _write(wb, tmp, lxml, engine, kind)
        if os.path.exists(path):
            shutil.copymode(path, tmp_path)
        else:
            os.chmod(tmp_path, 0o644)
        os.replace(tmp_path, path)
    except BaseException:
        try:
            os.unlink(tmp_path)
        except OSError:
            pass
        raise
    wb.filename = path
    if over_source:
        _rebind(wb, save)
    _warn(save.lost)


def _warn(lost: list[str]) -> None:
    if lost:
        warnings.warn("not saved: " + "; ".join(lost), stacklevel=4)


def _rebind(wb: Any, save: _Save) -> None:
    """After a save over the file the workbook was loaded from: that file,
    as written, is what the next save copies from."""
    wb._source.refresh()
    for ws in wb.worksheets:
        written = save.layouts.get(id(ws))
        if written is not None:
            ws._layout = written
    for sheet, rid, sheet_id, _ in save.book_entries:
        if not isinstance(sheet, OtherSheet):
            sheet._sheet_rid = rid
            sheet._sheet_attributes = {**getattr(sheet, "_sheet_attributes", {}),
                                       "sheetId": str(sheet_id)}
    record = save.record
    if record is not None and save.book_written is not None:
        record.layout = save.book_written
        record.package_rels = dict(save.pkg.rels("").items)
        record.content_type = save.book_type()
        record.entries = [sheet for sheet, _, _, _ in save.book_entries]
        record.app_titles = [sheet.title for sheet in record.entries]
        record.properties = wb.properties.snapshot()
        record.custom_properties = wb.custom_properties.snapshot()
