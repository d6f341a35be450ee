"""The workbook part and the document properties.

`WORKBOOK` is the workbook part's element order (tavrinex.parts.elements).
Modelled are the date system of ``workbookPr``, the active tab of
``bookViews``, ``sheets``, ``definedNames`` and ``calcPr``; every other
element (fileVersion, externalReferences, pivotCaches, extLst, ...) is
written as it was read, and so are the attributes of modelled elements
that the model does not hold (``codeName``, ``firstSheet``, ``calcId``).

The sheet list holds the worksheets in their order and, in the place they
had among them, the sheets the package does not model (chartsheets,
dialog sheets), each under the relationship id and sheetId it was read
with. A defined name local to a sheet gets that sheet's place in this
list as its ``localSheetId``; a name whose sheet is gone is left out.

``core.xml`` is written as read with its modification time set to now;
``app.xml`` as read, with the sheet titles of its heading pairs and titles
of parts updated when the sheets changed.
"""

from __future__ import annotations

import datetime
from dataclasses import dataclass, field
from typing import Any

from tavrinex.parts.elements import MAIN_NS, Layout, PartContext, Schema
from tavrinex.parts.xml import Element, Root, attribute, child_starts, edit_start, split
from tavrinex.reader.excel import Relationship
from tavrinex.utils.datetime import MAC_EPOCH
from tavrinex.writer.xmltext import DECLARATION, REL_NS, element, text

WORKBOOK = Schema(MAIN_NS, (
    "fileVersion", "fileSharing", "workbookPr", "workbookProtection", "bookViews", "sheets",
    "functionGroups", "externalReferences", "definedNames", "calcPr", "oleSize",
    "customWorkbookViews", "pivotCaches", "smartTagPr", "smartTagTypes", "webPublishing",
    "fileRecoveryPr", "webPublishObjects", "extLst"))
_SML = "application/vnd.openxmlformats-officedocument.spreadsheetml"
# Content type of the workbook part by the extension of the file saved.
BOOK_TYPES = {
    ".xlsx": f"{_SML}.sheet.main+xml",
    ".xltx": f"{_SML}.template.main+xml",
    ".xlsm": "application/vnd.ms-excel.sheet.macroEnabled.main+xml",
    ".xltm": "application/vnd.ms-excel.template.macroEnabled.main+xml",
}
MACRO_TYPES = frozenset((BOOK_TYPES[".xlsm"], BOOK_TYPES[".xltm"],
                         "application/vnd.ms-excel.addin.macroEnabled.main+xml"))
CORE_TYPE = "application/vnd.openxmlformats-package.core-properties+xml"
APP_TYPE = "application/vnd.openxmlformats-officedocument.extended-properties+xml"
_DEFAULT_ROOT = Root(f'<workbook xmlns="{MAIN_NS}" xmlns:r="{REL_NS}">'.encode(),
                     {"": MAIN_NS, "r": REL_NS})
CALC_ID = "191029"


@dataclass
class OtherSheet:
    """A sheet of the workbook the package does not model (a chartsheet, a
    dialog or macro sheet): the attributes of its <sheet> entry as read
    and its relationship; written back in its place among the worksheets."""

    attributes: dict[str, str]
    rel: Relationship

    @property
    def title(self) -> str:
        return self.attributes.get("name", "")


@dataclass
class BookRecord:
    """What a loaded workbook keeps of its workbook part and package for
    the next save: the part as read (a Layout, with its relationships), the
    package's relationships, the workbook part's content type, the sheet
    entries in their order (worksheets and OtherSheet), the sheet titles
    app.xml was read with, and the document and custom properties as read
    (their snapshots)."""

    layout: Layout
    package_rels: dict[str, Relationship]
    content_type: str
    entries: list[Any] = field(default_factory=list)
    app_titles: list[str] = field(default_factory=list)
    properties: tuple[Any, ...] | None = None          # snapshots as read
    custom_properties: tuple[Any, ...] | None = None

    def others(self) -> list[OtherSheet]:
        return [e for e in self.entries if isinstance(e, OtherSheet)]


@dataclass
class BookContext(PartContext):
    """The workbook part being written (and what PartContext holds): the
    sheet entries in order, each (worksheet or OtherSheet, relationship id,
    sheetId, state); the index of the active one; whether a full
    calculation is asked for on load."""

    entries: list[tuple[Any, str, int, str]] = field(default_factory=list)
    active: int = 0
    full_calc: bool = False
    new: bool = True   # not read from a file: nothing absent was left out on purpose

    def sheet_index(self, sheet: Any) -> int | None:
        for i, entry in enumerate(self.entries):
            if entry[0] is sheet:
                return i
        return None


def book_root(layout: Layout | None) -> Root:
    root = layout.root if layout is not None else None
    if root is None or root.namespaces.get("", MAIN_NS) != MAIN_NS:
        root = _DEFAULT_ROOT
    return root.declaring([("", MAIN_NS), ("r", REL_NS)])


def _first_child(kept: Element, root: Root) -> int | None:
    try:
        children = child_starts(kept, root)
    except ValueError:
        return None
    return children[0][1] if children else None


@WORKBOOK.modelled("workbookPr", state=lambda wb: wb.epoch)
def _workbook_pr(wb: Any, ctx: BookContext, kept: list[Element]) -> str | bytes:
    value = "1" if wb.epoch == MAC_EPOCH else None
    if kept:
        return edit_start(kept[0].raw, 0, {"date1904": value})
    return element("workbookPr", {"date1904": value}) if ctx.new or value else ""


@WORKBOOK.modelled("bookViews")
def _book_views(wb: Any, ctx: BookContext, kept: list[Element]) -> str | bytes:
    """As read, with the first view's activeTab the active sheet (and its
    firstSheet, the first tab shown, no further right)."""
    if not kept:
        if not ctx.new and not ctx.active:
            return ""   # the first sheet is active without one
        return element("bookViews", None, element(
            "workbookView", {"activeTab": ctx.active, "firstSheet": 0}))
    raw = kept[0].raw
    at = _first_child(kept[0], ctx.root)
    if at is None:
        return raw
    tag_end = raw.index(b">", at)
    view = raw[at:tag_end + 1]
    first = attribute(view, "firstSheet")
    now = attribute(view, "activeTab")
    changes: dict[str, str | None] = {}
    if (int(now) if now is not None and now.isdigit() else 0) != ctx.active:
        changes["activeTab"] = str(ctx.active)
    if first is not None and (not first.isdigit() or int(first) > ctx.active):
        changes["firstSheet"] = None
    return edit_start(raw, at, changes) if changes else raw


@WORKBOOK.modelled("sheets")
def _sheets(wb: Any, ctx: BookContext, kept: list[Element]) -> str:
    body = []
    for sheet, rid, sheet_id, state in ctx.entries:
        other = isinstance(sheet, OtherSheet)
        read = sheet.attributes if other else getattr(sheet, "_sheet_attributes", {})
        read_state = read.get("state")
        if not other and (read_state or "visible") != state:
            read_state = None if state == "visible" else state
        values: dict[str, Any] = {"name": sheet.title, "sheetId": sheet_id, "state": read_state}
        for key, value in read.items():
            if key not in values and not key.startswith("{"):
                values[key] = value
        values[f"{ctx.r}:id"] = rid
        body.append(element("sheet", values))
    return element("sheets", None, "".join(body))


def defined_names(wb: Any) -> list[Any]:
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


def _names_state(wb: Any) -> tuple[Any, ...]:
    """The names with the place of the sheet each is local to: the names
    are written anew when one changes or a sheet moves."""
    places = {id(ws): i for i, ws in enumerate(wb.worksheets)}
    return tuple((dn.name, dn.value, dn.hidden, dn.comment, tuple(sorted(dn.attributes.items())),
                  None if dn.sheet is None else (places.get(id(dn.sheet)), dn.sheet.title),
                  dn.local_sheet_id)
                 for dn in defined_names(wb))


@WORKBOOK.modelled("definedNames", state=_names_state)
def _defined_names(wb: Any, ctx: BookContext, kept: list[Element]) -> str:
    names = []
    count = len(ctx.entries)
    for dn in defined_names(wb):
        extra = {k: v for k, v in dn.attributes.items() if not k.startswith("{")}
        if dn.sheet is not None:
            index = ctx.sheet_index(dn.sheet)
            if index is None:
                continue   # its sheet is gone
            extra["localSheetId"] = str(index)
        elif dn.local_sheet_id is not None:
            if dn.local_sheet_id >= count:
                continue
            extra["localSheetId"] = str(dn.local_sheet_id)
        if dn.hidden:
            extra["hidden"] = "1"
        if dn.comment is not None:
            extra["comment"] = dn.comment
        names.append(element("definedName", {"name": dn.name, **extra}, text(dn.value)))
    return element("definedNames", None, "".join(names)) if names else ""


@WORKBOOK.modelled("calcPr")
def _calc_pr(wb: Any, ctx: BookContext, kept: list[Element]) -> str | bytes:
    """As read; asking for a full calculation on load when cells changed
    (or the workbook is new)."""
    if kept:
        if not ctx.full_calc:
            return kept[0].raw
        return edit_start(kept[0].raw, 0, {"fullCalcOnLoad": "1"})
    if not ctx.full_calc:
        return ""
    return element("calcPr", {"calcId": CALC_ID, "fullCalcOnLoad": "1"})


def workbook_xml(wb: Any, ctx: BookContext, layout: Layout | None) -> bytes:
    written = WORKBOOK.write(wb, layout, ctx)
    ctx.written.extend(written)
    return DECLARATION + ctx.root.tag + b"".join(el.raw for el in written) + ctx.root.end()


# -- document properties

_DCTERMS = "http://purl.org/dc/terms/"
_XSI = "http://www.w3.org/2001/XMLSchema-instance"
_NEW_CORE = (
    '<cp:coreProperties xmlns:cp="http://schemas.openxmlformats.org/package/2006/'
    'metadata/core-properties" xmlns:dc="http://purl.org/dc/elements/1.1/" '
    'xmlns:dcterms="http://purl.org/dc/terms/" xmlns:dcmitype="http://purl.org/dc/dcmitype/" '
    'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"><dc:creator>tavrinex</dc:creator>'
    '<dcterms:created xsi:type="dcterms:W3CDTF">{now}</dcterms:created>'
    '<dcterms:modified xsi:type="dcterms:W3CDTF">{now}</dcterms:modified>'
    '</cp:coreProperties>')
NEW_APP = DECLARATION + (
    '<Properties xmlns="http://schemas.openxmlformats.org/officeDocument/2006/'
    'extended-properties"><Application>tavrinex</Application></Properties>').encode("utf-8")


def now_text() -> str:
    return datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%dT%H:%M:%SZ")


def core_xml(data: bytes | None, now: str) -> bytes:
    """core.xml as read (or new), with dcterms:modified set to `now`."""
    if data is None:
        return DECLARATION + _NEW_CORE.format(now=now).encode("utf-8")
    root, children = split(data)
    dcterms = root.prefix(_DCTERMS)
    xsi = root.prefix(_XSI)
    if not dcterms or not xsi:
        root = root.declaring([("dcterms", _DCTERMS), ("xsi", _XSI)])
        dcterms, xsi = root.prefix(_DCTERMS), root.prefix(_XSI)
    modified = (f'<{dcterms}:modified {xsi}:type="{dcterms}:W3CDTF">{now}'
                f'</{dcterms}:modified>').encode("utf-8")
    out = []
    placed = False
    for child in children:
        if child.tag == f"{{{_DCTERMS}}}modified":
            if not placed:
                out.append(modified)
                placed = True
            continue
        out.append(child.raw)
    if not placed:
        out.append(modified)
    return DECLARATION + root.tag + b"".join(out) + root.end()


def app_xml(data: bytes, before: list[str], now: list[str]) -> bytes:
    """app.xml as read, with the first group of its heading pairs whose
    titles are all sheet titles it was read with (`before`: the worksheets,
    where the other sheets have groups of their own) holding the worksheet
    titles `now` instead."""
    from lxml import etree  # type: ignore[import-untyped]
    parser = etree.XMLParser(resolve_entities=False, no_network=True, huge_tree=False)
    root = etree.fromstring(data, parser)

    def child(el: Any, name: str) -> Any:
        return next((c for c in el if isinstance(c.tag, str)
                     and etree.QName(c).localname == name), None)

    pairs, titles = child(root, "HeadingPairs"), child(root, "TitlesOfParts")
    pair_vector = child(pairs, "vector") if pairs is not None else None
    title_vector = child(titles, "vector") if titles is not None else None
    if pair_vector is None or title_vector is None:
        return data
    variants = [v for v in pair_vector if isinstance(v.tag, str)]
    entries = [t for t in title_vector if isinstance(t.tag, str)]
    old = set(before)
    pos = 0
    done = False
    for i in range(0, len(variants) - 1, 2):
        count_el = next((c for c in variants[i + 1].iter() if isinstance(c.tag, str)
                         and etree.QName(c).localname in ("i4", "int", "ui4")), None)
        if count_el is None or not (count_el.text or "").strip().isdigit():
            return data
        count = int(count_el.text.strip())
        group = entries[pos:pos + count]
        if not done and group and all((t.text or "") in old for t in group):
            template = group[0]
            for t in group:
                title_vector.remove(t)
            anchor = pos
            for n, title in enumerate(now):
                made = etree.Element(template.tag)
                made.text = title
                title_vector.insert(anchor + n, made)
            count_el.text = str(len(now))
            entries = [t for t in title_vector if isinstance(t.tag, str)]
            pos += len(now)
            done = True
        else:
            pos += count
    if not done:
        return data
    title_vector.set("size", str(len(entries)))
    return etree.tostring(root, xml_declaration=True, encoding="UTF-8", standalone=True)

