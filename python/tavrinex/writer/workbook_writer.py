"""Saving a workbook as an xlsx package, on the standard library's zipfile.

Each worksheet's rows are written by `write_sheet_data` (the engine first),
or copied from the temporary file a write-only sheet streamed them to. The
styles part comes after the sheets, since writing the rows is what gives
each distinct style array its cell format id.
"""

from __future__ import annotations

import datetime
import os
import shutil
import tempfile
import warnings
import zipfile
import zlib
from typing import Any

from xml.etree import ElementTree as ET

from tavrinex import _native
from tavrinex.properties import APP, CORE_PREFIXES, CUSTOM, VT
from tavrinex.utils.datetime import MAC_EPOCH
from tavrinex.worksheet import MAX_COLUMN, MAX_ROW, check_title
from tavrinex.writer import features
from tavrinex.writer.sheet_part import (COMMENTS_REL, TABLE_REL, VML_REL, comments_part,
                                        kept_elements, sync_table_columns,
                                        rels_part, sheet_bounds, sheet_dimension, sheet_head,
                                        sheet_tail, vml_part, write_rows_part)
from tavrinex.writer.styles_part import styles_part
from tavrinex.writer.xmltext import DECLARATION, MAIN_NS, REL_NS, attrs, element, text, write_root

_ENGINE: Any = object()
_PKG_REL = "http://schemas.openxmlformats.org/package/2006/relationships"
_CT_NS = "http://schemas.openxmlformats.org/package/2006/content-types"
_SML = "application/vnd.openxmlformats-officedocument.spreadsheetml"
_TYPES = {
    "workbook": f"{_SML}.sheet.main+xml",
    "worksheet": f"{_SML}.worksheet+xml",
    "styles": f"{_SML}.styles+xml",
    "comments": f"{_SML}.comments+xml",
    "table": f"{_SML}.table+xml",
    "core": "application/vnd.openxmlformats-package.core-properties+xml",
    "app": "application/vnd.openxmlformats-officedocument.extended-properties+xml",
    "custom": "application/vnd.openxmlformats-officedocument.custom-properties+xml",
}
CHUNK = 1 << 20
# Deflate level of zlib, and of ISA-L (levels 0 to 3) when it is installed:
# ISA-L's level 2 deflates worksheets about ten times faster than zlib's
# level 6, into files about an eighth larger.
ZLIB_LEVEL = 6
ISAL_LEVEL = 2

_fast_zlib: Any
try:
    from isal import isal_zlib as _fast_zlib
except ImportError:  # pragma: no cover - depends on the installation
    _fast_zlib = None


def deflater() -> tuple[Any, int]:
    """(module, level) that deflates the worksheet parts of a save."""
    return (_fast_zlib, ISAL_LEVEL) if _fast_zlib is not None else (zlib, ZLIB_LEVEL)


def _fast_deflate(out: Any) -> None:
    """Have ISA-L, when installed, deflate the part `out` (a member just
    opened for writing, nothing written yet) instead of zlib. Both write
    raw deflate streams; zipfile keeps the sizes and the CRC itself."""
    if (_fast_zlib is not None and getattr(out, "_compressor", None) is not None
            and getattr(out, "_file_size", None) == 0):
        out._compressor = _fast_zlib.compressobj(ISAL_LEVEL, zlib.DEFLATED, -15)


class _Package:
    """The zip being written, with the content type of each part."""

    def __init__(self, zf: zipfile.ZipFile) -> None:
        self.zf = zf
        self.overrides: list[tuple[str, str]] = []
        self.table_count = 0

    def add(self, name: str, data: bytes, ctype: str | None = None) -> None:
        self.zf.writestr(name, data)
        if ctype is not None:
            self.overrides.append(("/" + name, ctype))

    def content_types(self) -> bytes:
        body = [element("Default", {"Extension": "rels", "ContentType":
                                    "application/vnd.openxmlformats-package.relationships+xml"}),
                element("Default", {"Extension": "xml", "ContentType": "application/xml"}),
                element("Default", {"Extension": "vml", "ContentType":
                                    "application/vnd.openxmlformats-officedocument.vmlDrawing"})]
        body += [element("Override", {"PartName": n, "ContentType": t})
                 for n, t in self.overrides]
        return DECLARATION + (f'<Types{attrs({"xmlns": _CT_NS})}>' + "".join(body)
                              + "</Types>").encode("utf-8")


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


def _workbook_part(wb: Any, active: int) -> bytes:
    parts = [f'<workbook{attrs({"xmlns": MAIN_NS, "xmlns:r": REL_NS})}>']
    parts.append(element("workbookPr", {"date1904": "1"} if wb.epoch == MAC_EPOCH else None))
    parts.append(element("bookViews", None, element(
        "workbookView", {"activeTab": active, "firstSheet": 0})))
    sheets = []
    for i, ws in enumerate(wb.worksheets, 1):
        state = _state(wb, ws)
        sheets.append(element("sheet", {"name": ws.title, "sheetId": i,
                                        "state": None if state == "visible" else state,
                                        "r:id": f"rId{i}"}))
    parts.append(element("sheets", None, "".join(sheets)))
    names = []
    for dn in _defined_names(wb):
        extra = {k: v for k, v in dn.attributes.items() if not k.startswith("{")}
        if dn.sheet is not None:
            if dn.sheet not in wb.worksheets:
                continue   # its sheet is gone
            extra["localSheetId"] = str(wb.worksheets.index(dn.sheet))
        elif dn.local_sheet_id is not None:
            if dn.local_sheet_id >= len(wb.worksheets):
                continue
            extra["localSheetId"] = str(dn.local_sheet_id)
        if dn.hidden:
            extra["hidden"] = "1"
        if dn.comment is not None:
            extra["comment"] = dn.comment
        names.append(element("definedName", {"name": dn.name, **extra}, text(dn.value)))
    if names:
        parts.append(element("definedNames", None, "".join(names)))
    # A full recalculation on load only once cells changed: the cached
    # values of an unchanged workbook's formulas are written as read.
    parts.append(element("calcPr", {"calcId": "191029",
                                    "fullCalcOnLoad": "1" if wb.cells_changed else None}))
    parts.append("</workbook>")
    return DECLARATION + "".join(parts).encode("utf-8")


def _defined_names(wb: Any) -> list[Any]:
    """The workbook's names, with the hidden filter range of each sheet
    that has an autofilter and lacks it."""
    from tavrinex.formula.rewrite import quote_sheet
    from tavrinex.names import DefinedName
    from tavrinex.sheetfeatures import FILTER_DATABASE
    from tavrinex.utils.ranges import absolute, range_bounds
    names = list(getattr(wb, "defined_names", ()))
    for ws in wb.worksheets:
        ref = getattr(getattr(ws, "auto_filter", None), "ref", None)
        if ref is None or any(dn.name == FILTER_DATABASE and dn.sheet is ws for dn in names):
            continue
        value = f"{quote_sheet(ws.title)}!{absolute(range_bounds(ref))}"
        names.append(DefinedName(FILTER_DATABASE, value, sheet=ws, hidden=True))
    return names


def _doc_props(wb: Any) -> tuple[bytes, bytes, bytes | None]:
    """The core, app and (when there are any) custom properties parts.
    The modification date is the save's, unless it was set since loading."""
    props = wb.properties
    now = datetime.datetime.now(datetime.UTC).replace(tzinfo=None, microsecond=0)
    if props.modified is None or props.modified == getattr(wb, "_modified_read", None):
        props.modified = now
    wb._modified_read = props.modified
    if props.created is None:
        props.created = now
    core = write_root(props.core_root(), CORE_PREFIXES)
    app_root = ET.Element(f"{{{APP}}}Properties")
    ET.SubElement(app_root, f"{{{APP}}}Application").text = "tavrinex"
    props.apply_app(app_root)
    app = write_root(app_root, {APP: ""})
    custom = None
    if len(wb.custom_properties):
        custom = write_root(wb.custom_properties.root(), {CUSTOM: "", VT: "vt"})
    return core, app, custom


def _table_parts(pkg: _Package, ws: Any, rels: list[tuple[str, str, str]]
                 ) -> tuple[list[str], list[tuple[str, bytes]]]:
    """The relationship ids of the sheet's tables and their parts (added
    once the sheet's own part is closed)."""
    ids = []
    parts = []
    for table in ws.tables.values():
        if not getattr(ws, "write_only", False):
            sync_table_columns(ws, table)
        pkg.table_count += 1
        parts.append((f"xl/tables/table{pkg.table_count}.xml",
                      write_root(table.element(pkg.table_count))))
        rid = f"rId{len(rels) + 1}"
        rels.append((rid, TABLE_REL, f"../tables/table{pkg.table_count}.xml"))
        ids.append(rid)
    return ids, parts


def _write_sheet(pkg: _Package, wb: Any, ws: Any, number: int, selected: bool, lxml: bool,
                 engine: Any) -> None:
    name = f"xl/worksheets/sheet{number}.xml"
    kept = kept_elements(ws)
    rels: list[tuple[str, str, str]] = []
    streamed = getattr(ws, "write_only", False)
    if not streamed:   # a write-only sheet collected them while streaming
        ws._hyperlinks = []
        ws._comments = []
    with pkg.zf.open(name, "w", force_zip64=True) as out:
        _fast_deflate(out)
        if streamed:
            ws._finish()
            out.write(sheet_head(ws, ws._dimension_ref(), selected, kept))
            out.write(b"<sheetData>")
            ws._copy_rows(out.write)
            out.write(b"</sheetData>")
        else:
            bounds = sheet_bounds(ws)
            if bounds is not None and (bounds[1] > MAX_ROW or bounds[3] > MAX_COLUMN):
                raise ValueError(f"sheet {ws.title!r} has cells beyond the last row "
                                 f"({MAX_ROW}) or column ({MAX_COLUMN}, XFD) of a worksheet")
            out.write(sheet_head(ws, sheet_dimension(ws, bounds) if bounds else "A1", selected,
                                 kept))
            write_rows_part(ws, out.write, lxml=lxml, engine=engine)
        comments = list(ws._comments)

        def comment_rels() -> str:
            rels.append((f"rId{len(rels) + 1}", COMMENTS_REL, f"../comments{number}.xml"))
            vml = f"rId{len(rels) + 1}"
            rels.append((vml, VML_REL, f"../drawings/vmlDrawing{number}.vml"))
            return vml

        table_rels, tables = _table_parts(pkg, ws, rels)
        out.write(sheet_tail(ws, kept, comment_rels if comments else None, rels, table_rels))
    pkg.overrides.append(("/" + name, _TYPES["worksheet"]))
    for part, data in tables:
        pkg.add(part, data, _TYPES["table"])
    if comments:
        pkg.add(f"xl/comments{number}.xml", comments_part(comments), _TYPES["comments"])
        pkg.add(f"xl/drawings/vmlDrawing{number}.vml", vml_part(comments))
    if rels:
        pkg.add(f"xl/worksheets/_rels/sheet{number}.xml.rels", rels_part(rels))


def write_package(wb: Any, out: Any, *, lxml: bool = True, engine: Any = _ENGINE) -> None:
    """The whole workbook as an xlsx package into the binary file `out`."""
    engine = _native.native if engine is _ENGINE else engine
    active = _active(wb)
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED, compresslevel=ZLIB_LEVEL) as zf:
        pkg = _Package(zf)
        for number, ws in enumerate(wb.worksheets, 1):
            _write_sheet(pkg, wb, ws, number, number - 1 == active, lxml, engine)
        pkg.add("xl/workbook.xml", _workbook_part(wb, active), _TYPES["workbook"])
        rels = [(f"rId{i}", f"{REL_NS}/worksheet", f"worksheets/sheet{i}.xml")
                for i in range(1, len(wb.worksheets) + 1)]
        rels.append((f"rId{len(rels) + 1}", f"{REL_NS}/styles", "styles.xml"))
        pkg.add("xl/_rels/workbook.xml.rels", rels_part(rels))
        pkg.add("xl/styles.xml", styles_part(wb.stylesheet, wb._cell_styles), _TYPES["styles"])
        core, app, custom = _doc_props(wb)
        pkg.add("docProps/core.xml", core, _TYPES["core"])
        pkg.add("docProps/app.xml", app, _TYPES["app"])
        package_rels = [("rId1", f"{REL_NS}/officeDocument", "xl/workbook.xml"),
                        ("rId2", f"{_PKG_REL}/metadata/core-properties", "docProps/core.xml"),
                        ("rId3", f"{REL_NS}/extended-properties", "docProps/app.xml")]
        if custom is not None:
            pkg.add("docProps/custom.xml", custom, _TYPES["custom"])
            package_rels.append(("rId4", f"{REL_NS}/custom-properties", "docProps/custom.xml"))
        pkg.add("_rels/.rels", rels_part(package_rels))
        zf.writestr("[Content_Types].xml", pkg.content_types())


def save_workbook(wb: Any, filename: Any, *, lxml: bool = True, engine: Any = _ENGINE) -> None:
    """Save `wb` to a path (through a temporary file beside it, renamed at
    the end) or to a binary file object (written only once the whole
    package is made)."""
    _check(wb)
    if getattr(wb, "unread_parts", None):
        warnings.warn("not saved (the package does not model them): "
                      f"{', '.join(wb.unread_parts)}", stacklevel=3)
    if hasattr(filename, "write"):
        with tempfile.TemporaryFile() as tmp:
            write_package(wb, tmp, lxml=lxml, engine=engine)
            tmp.seek(0)
            shutil.copyfileobj(tmp, filename, CHUNK)
        return
    path = os.fspath(filename)
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp_path = tempfile.mkstemp(prefix=".~" + os.path.basename(path)[:40], suffix=".tmp",
                                    dir=folder)
    try:
        with os.fdopen(fd, "wb") as tmp:
            write_package(wb, tmp, lxml=lxml, engine=engine)
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
