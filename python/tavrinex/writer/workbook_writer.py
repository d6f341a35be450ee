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

from tavrinex import _native
from tavrinex.utils.datetime import MAC_EPOCH
from tavrinex.worksheet import MAX_COLUMN, MAX_ROW, check_title
from tavrinex.writer.sheet_part import (COMMENTS_REL, VML_REL, comments_part, kept_elements,
                                        rels_part, sheet_bounds, sheet_dimension, sheet_head,
                                        sheet_tail, vml_part, write_rows_part)
from tavrinex.writer.styles_part import styles_part
from tavrinex.writer.xmltext import DECLARATION, MAIN_NS, REL_NS, attrs, element, text

_ENGINE: Any = object()
_PKG_REL = "http://schemas.openxmlformats.org/package/2006/relationships"
_CT_NS = "http://schemas.openxmlformats.org/package/2006/content-types"
_SML = "application/vnd.openxmlformats-officedocument.spreadsheetml"
_TYPES = {
    "workbook": f"{_SML}.sheet.main+xml",
    "worksheet": f"{_SML}.worksheet+xml",
    "styles": f"{_SML}.styles+xml",
    "comments": f"{_SML}.comments+xml",
    "core": "application/vnd.openxmlformats-package.core-properties+xml",
    "app": "application/vnd.openxmlformats-officedocument.extended-properties+xml",
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
    for dn in getattr(wb, "defined_names", ()):
        extra = {k: v for k, v in dn.attributes.items() if not k.startswith("{")}
        local = extra.get("localSheetId")
        if local is not None and not (local.isdigit() and int(local) < len(wb.worksheets)):
            continue   # its sheet is gone
        names.append(element("definedName", {"name": dn.name, **extra}, text(dn.value)))
    if names:
        parts.append(element("definedNames", None, "".join(names)))
    # A full recalculation on load only once cells changed: the cached
    # values of an unchanged workbook's formulas are written as read.
    parts.append(element("calcPr", {"calcId": "191029",
                                    "fullCalcOnLoad": "1" if wb.cells_changed else None}))
    parts.append("</workbook>")
    return DECLARATION + "".join(parts).encode("utf-8")


def _doc_props(wb: Any) -> tuple[bytes, bytes]:
    now = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%dT%H:%M:%SZ")
    core = DECLARATION + (
        '<cp:coreProperties xmlns:cp="http://schemas.openxmlformats.org/package/2006/'
        'metadata/core-properties" xmlns:dc="http://purl.org/dc/elements/1.1/" '
        'xmlns:dcterms="http://purl.org/dc/terms/" xmlns:dcmitype="http://purl.org/dc/dcmitype/" '
        'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"><dc:creator>tavrinex</dc:creator>'
        f'<dcterms:created xsi:type="dcterms:W3CDTF">{now}</dcterms:created>'
        f'<dcterms:modified xsi:type="dcterms:W3CDTF">{now}</dcterms:modified>'
        '</cp:coreProperties>').encode("utf-8")
    app = DECLARATION + (
        '<Properties xmlns="http://schemas.openxmlformats.org/officeDocument/2006/'
        'extended-properties"><Application>tavrinex</Application></Properties>').encode("utf-8")
    return core, app


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

        out.write(sheet_tail(ws, kept, comment_rels if comments else None, rels))
    pkg.overrides.append(("/" + name, _TYPES["worksheet"]))
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
        core, app = _doc_props(wb)
        pkg.add("docProps/core.xml", core, _TYPES["core"])
        pkg.add("docProps/app.xml", app, _TYPES["app"])
        pkg.add("_rels/.rels", rels_part([
            ("rId1", f"{REL_NS}/officeDocument", "xl/workbook.xml"),
            ("rId2", f"{_PKG_REL}/metadata/core-properties", "docProps/core.xml"),
            ("rId3", f"{REL_NS}/extended-properties", "docProps/app.xml")]))
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
