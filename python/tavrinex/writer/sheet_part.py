"""A worksheet part: the elements around <sheetData>, in schema order, and
the comments with the VML drawing programs need to show them.

`WORKSHEET` is the worksheet's element order (tavrinex.parts.elements):
the elements the package models are registered on it below (dimension,
sheet views, sheet format, columns, merged cells, hyperlinks and the
legacy drawing of the comments), and so are those of the feature model
(tavrinex.writer.features: sheet properties, views, protection, the
autofilter, conditional formats, validations, print settings, tables),
each written as read while the text its model gives is the text it gave
right after loading; every other element of a loaded sheet is written back
as it was read. `SheetContext` is what their writers get:
the sheet's place in the package, its root's namespaces and its
relationships, new ones through ``relate``.

A loaded sheet keeps the relationships of its source part under the same
ids (``carry_rels``), but not those referred to only by elements written
anew from the model, whose relationships are new; its comments are kept
while their legacy drawing is.
"""

from __future__ import annotations

import re
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from tavrinex.comments import Comment, Hyperlink
from tavrinex.dimensions import RowDimension
from tavrinex.parts.elements import MAIN_NS, Layout, PartContext, Schema, carry_rels, mentions
from tavrinex.parts.xml import Element, Root, attribute, child_starts, edit_start
from tavrinex.utils.cell import get_column_letter
from tavrinex.writer import features, write_sheet_data
from tavrinex.writer.values import utf8
from tavrinex.writer.xmltext import DECLARATION, REL_NS, attrs, element, text, write_root

WORKSHEET = Schema(MAIN_NS, (
    "sheetPr", "dimension", "sheetViews", "sheetFormatPr", "cols", "sheetData", "sheetCalcPr",
    "sheetProtection", "protectedRanges", "scenarios", "autoFilter", "sortState",
    "dataConsolidate", "customSheetViews", "mergeCells", "phoneticPr", "conditionalFormatting",
    "dataValidations", "hyperlinks", "printOptions", "pageMargins", "pageSetup", "headerFooter",
    "rowBreaks", "colBreaks", "customProperties", "cellWatches", "ignoredErrors", "smartTags",
    "drawing", "legacyDrawing", "legacyDrawingHF", "drawingHF", "picture", "oleObjects",
    "controls", "webPublishItems", "tableParts", "extLst"))
SHEET_TYPE = "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"
COMMENTS_TYPE = "application/vnd.openxmlformats-officedocument.spreadsheetml.comments+xml"
VML_TYPE = "application/vnd.openxmlformats-officedocument.vmlDrawing"
HYPERLINK_REL = f"{REL_NS}/hyperlink"
COMMENTS_REL = f"{REL_NS}/comments"
VML_REL = f"{REL_NS}/vmlDrawing"
TABLE_REL = f"{REL_NS}/table"
TABLE_TYPE = "application/vnd.openxmlformats-officedocument.spreadsheetml.table+xml"
_DEFAULT_ROOT = Root(f'<worksheet xmlns="{MAIN_NS}" xmlns:r="{REL_NS}">'.encode(),
                     {"": MAIN_NS, "r": REL_NS})
_LEGACY = WORKSHEET.clark("legacyDrawing")


@dataclass
class SheetContext(PartContext):
    """A worksheet being written: its part here (and what PartContext
    holds), its place among the sheets, whether its tab is the selected
    one and the range of its cells."""

    number: int = 0
    selected: bool = False
    dimension: str = "A1"
    new: bool = True   # not read from a file: nothing absent was left out on purpose
    table_ids: dict[int, int] | None = None   # id(table) -> the id its part gets


def sheet_root(layout: Layout | None) -> Root:
    """The root a sheet is written under: the one it was read with, with
    the main namespace as default and the relationships one declared."""
    root = layout.root if layout is not None else None
    if root is None or root.namespaces.get("", MAIN_NS) != MAIN_NS:
        root = _DEFAULT_ROOT
    return root.declaring([("", MAIN_NS), ("r", REL_NS)])


# -- the elements the package models

@WORKSHEET.modelled("dimension")
def _dimension(ws: Any, ctx: SheetContext, kept: list[Element]) -> str:
    return element("dimension", {"ref": ctx.dimension})


def _views_text(ws: Any) -> str:
    return features.sheet_views(ws, False) if hasattr(ws, "views") else ""


@WORKSHEET.modelled("sheetViews", state=_views_text, always=True)
def _sheet_views(ws: Any, ctx: SheetContext, kept: list[Element]) -> str | bytes:
    """As read while the views are, with the first view's tabSelected in
    step with the active sheet; else from the model."""
    if WORKSHEET.unchanged(ws, getattr(ws, "_layout", None), WORKSHEET.clark("sheetViews")):
        if not kept:
            return ""   # a sheet read without views keeps having none
        raw = kept[0].raw
        try:
            views = child_starts(kept[0], ctx.root)
        except ValueError:
            return raw
        if views:
            at = views[0][1]
            read = attribute(raw[at:raw.index(b">", at) + 1], "tabSelected")
            if (read in ("1", "true")) != ctx.selected:
                raw = edit_start(raw, at, {"tabSelected": "1" if ctx.selected else None})
        return raw
    if hasattr(ws, "views"):
        return features.sheet_views(ws, ctx.selected)
    view = {"workbookViewId": "0"}
    if ctx.selected:
        view = {"tabSelected": "1", **view}
    return element("sheetViews", None, element("sheetView", view))


def _feature(name: str, text_of: Callable[[Any], str]) -> None:
    """Register an element the feature model writes."""
    def text_or_none(ws: Any) -> str:
        return text_of(ws) if hasattr(ws, "views") else ""

    def write(ws: Any, ctx: SheetContext, kept: list[Element]) -> str:
        return text_or_none(ws)
    WORKSHEET.modelled(name, state=text_or_none)(write)


for _name, _text in (("sheetPr", features.sheet_pr), ("sheetProtection", features.sheet_protection),
                     ("autoFilter", features.auto_filter),
                     ("conditionalFormatting", features.conditional_formatting),
                     ("dataValidations", features.data_validations),
                     ("pageMargins", features.page_margins), ("pageSetup", features.page_setup),
                     ("headerFooter", features.header_footer)):
    _feature(_name, _text)


def _outline_levels(ws: Any) -> dict[str, str]:
    """outlineLevelRow/outlineLevelCol of the deepest groups, for the
    outline bar programs draw."""
    levels = {}
    rows = max((dim.outline_level for dim in ws.row_dimensions.values()
                if isinstance(dim, RowDimension)), default=0)
    cols = max((dim.outline_level for dim in ws.column_dimensions.values()
                if hasattr(dim, "outline_level")), default=0)
    if rows:
        levels["outlineLevelRow"] = str(rows)
    if cols:
        levels["outlineLevelCol"] = str(cols)
    return levels


def _format(ws: Any) -> dict[str, str]:
    fmt = dict(getattr(ws, "sheet_format", {}))
    for name, level in _outline_levels(ws).items():
        if int(fmt.get(name, "0") or 0) < int(level):
            fmt[name] = level
    return fmt


def _format_state(ws: Any) -> tuple[tuple[str, str], ...]:
    return tuple(sorted(_format(ws).items()))


@WORKSHEET.modelled("sheetFormatPr", state=_format_state)
def _sheet_format(ws: Any, ctx: SheetContext, kept: list[Element]) -> str:
    fmt = ctx.attributes(_format(ws))
    if not fmt and not ctx.new:
        return ""
    fmt.setdefault("defaultRowHeight", "15")
    return element("sheetFormatPr", fmt)


def _column_entries(ws: Any) -> list[dict[str, Any]]:
    entries = []
    for letter, dim in ws.column_dimensions.items():
        values = dict(dim)
        if len(values) <= 2 and set(values) <= {"min", "max"}:
            continue   # created by a look-up, says nothing
        entries.append((int(values.get("min", 0) or 0), values))
    entries.sort(key=lambda item: item[0])
    joined: list[dict[str, Any]] = []
    for _, values in entries:
        # Neighbours that are alike (a span split by a look-up) are one span again.
        last = joined[-1] if joined else None
        if last is not None and _same_but_span(last, values) \
                and str(int(last.get("max", "0") or 0) + 1) == values.get("min"):
            last["max"] = values["max"]
        else:
            joined.append(dict(values))
    return joined


def _same_but_span(a: dict[str, Any], b: dict[str, Any]) -> bool:
    return ({k: v for k, v in a.items() if k not in ("min", "max")}
            == {k: v for k, v in b.items() if k not in ("min", "max")})


def _columns_state(ws: Any) -> tuple[tuple[tuple[str, Any], ...], ...]:
    return tuple(tuple(sorted(v.items())) for v in _column_entries(ws))


@WORKSHEET.modelled("cols", state=_columns_state)
def _columns(ws: Any, ctx: SheetContext, kept: list[Element]) -> str:
    entries = _column_entries(ws)
    return element("cols", None, "".join(element("col", ctx.attributes(v))
                                         for v in entries)) if entries else ""


@WORKSHEET.modelled("mergeCells", state=lambda ws: tuple(ws.merged_cells))
def _merge_cells(ws: Any, ctx: SheetContext, kept: list[Element]) -> str:
    if not ws.merged_cells:
        return ""
    return element("mergeCells", {"count": len(ws.merged_cells)},
                   "".join(element("mergeCell", {"ref": ref}) for ref in ws.merged_cells))


def links_state(links: list[Any]) -> frozenset[Hyperlink]:
    """The hyperlinks of a sheet, as compared with those it was read with."""
    return frozenset(link for link in links if isinstance(link, Hyperlink))


@WORKSHEET.modelled("hyperlinks", state=lambda ws: links_state(ws._hyperlinks))
def _hyperlinks(ws: Any, ctx: SheetContext, kept: list[Element]) -> str:
    body = []
    seen = set()
    for link in ws._hyperlinks:
        if not isinstance(link, Hyperlink) or link.ref in seen:
            continue
        seen.add(link.ref)
        values: dict[str, Any] = {"ref": link.ref}
        if link.target:
            values[f"{ctx.r}:id"] = ctx.relate(HYPERLINK_REL, link.target, external=True)
        values["location"] = link.location
        values["tooltip"] = link.tooltip
        values["display"] = link.display
        body.append(element("hyperlink", values))
    return element("hyperlinks", None, "".join(body)) if body else ""


def comments_state(comments: list[tuple[int, int, Any]]) -> frozenset[tuple[int, int, Any]]:
    """The comments of a sheet, as compared with those it was read with."""
    return frozenset(comments)


@WORKSHEET.modelled("legacyDrawing", state=lambda ws: comments_state(ws._comments))
def _legacy_drawing(ws: Any, ctx: SheetContext, kept: list[Element]) -> str | bytes:
    """The drawing of the comments, written anew with them; kept as read
    while the sheet has no comments and had none (a drawing of controls)."""
    had_comments = any(rel.kind == "comments" for rel in ctx.source_rels.values())
    comments = list(ws._comments)
    if kept and not had_comments and not comments:
        return kept[0].raw
    if kept and _has_controls(ctx, kept[0]):
        ctx.warnings.append("the form controls of its legacy drawing")
    if not comments:
        return ""
    name = ctx.pkg.new_name("xl/comments{}.xml")
    vml = ctx.pkg.new_name("xl/drawings/vmlDrawing{}.vml")
    ctx.pkg.add(name, comments_part(comments), COMMENTS_TYPE)
    ctx.pkg.add(vml, vml_part(comments), VML_TYPE)
    ctx.relate(COMMENTS_REL, name)
    return element("legacyDrawing", {f"{ctx.r}:id": ctx.relate(VML_REL, vml)})


def _has_controls(ctx: SheetContext, legacy: Element) -> bool:
    """Whether the VML drawing a legacyDrawing read refers to holds shapes
    other than comment notes."""
    source = ctx.pkg.source
    for rid, rel in ctx.source_rels.items():
        if rel.kind == "vmlDrawing" and not rel.external and mentions(legacy.raw, rid):
            if source is None or not source.has(rel.target):
                return False
            data = source.read(rel.target)
            kinds = set(re.findall(rb'ObjectType\s*=\s*["\']([^"\']*)', data))
            return bool(kinds - {b"Note"})
    return False


def sync_table_columns(ws: Any, table: Any) -> None:
    """Give a table's columns the names its header cells hold now, made
    unique within the table as Excel makes them ("Area", "Area2")."""
    if not table.header_row or table.columns is None:
        return
    changed = False
    for column, (row, col) in zip(table.columns, table.header_cells()):
        cell = ws._cells.get((row, col))
        value = cell.value if cell is not None else None
        if value is None or value == column.name:
            continue
        if not isinstance(value, str):
            value = str(value)
        if value != column.name:
            column.name = value
            changed = True
    if not changed:
        return
    seen: set[str] = set()
    for column in table.columns:
        name, n = column.name, 2
        while name.casefold() in seen:
            name, n = f"{column.name}{n}", n + 1
        seen.add(name.casefold())
        if name != column.name:
            column.name = name


def _tables_state(ws: Any) -> tuple[Any, ...]:
    tables = getattr(ws, "tables", None)
    return tuple(t.snapshot() for t in tables.values()) if tables is not None else ()


@WORKSHEET.modelled("tableParts", state=_tables_state)
def _table_parts(ws: Any, ctx: SheetContext, kept: list[Element]) -> str:
    """Each table's part written from the model (under the name it was
    read from), and the sheet's list of them."""
    tables = getattr(ws, "tables", None)
    if tables is None or not len(tables.values()):
        return ""
    read = getattr(ws, "_table_parts", {})
    ids = []
    for table in tables.values():
        part = read.get(id(table))
        name = part if part and not ctx.pkg.taken_here(part) else \
            ctx.pkg.new_name("xl/tables/table{}.xml")
        if part:
            ctx.pkg.rename(part, name)
        table_id = (ctx.table_ids or {}).get(id(table), 1)
        ctx.pkg.add(name, write_root(table.element(table_id)), TABLE_TYPE)
        ids.append(ctx.relate(TABLE_REL, name))
    return element("tableParts", {"count": len(ids)},
                   "".join(element("tablePart", {f"{ctx.r}:id": rid}) for rid in ids))


# -- writing a sheet

def normalized_row_dimensions(dims: dict[Any, Any]) -> dict[int, RowDimension]:
    """Row dimensions keyed by row number, whatever the keys and values
    were given as (row texts and attribute dicts as read from a file)."""
    out: dict[int, RowDimension] = {}
    for key, value in dims.items():
        row = int(key)
        if isinstance(value, RowDimension):
            out[row] = value
        elif isinstance(value, dict):
            out[row] = RowDimension.from_attributes(value)
        else:
            out[row] = RowDimension.from_attributes(dict(value))
    return out


def sheet_head(ws: Any, ctx: SheetContext) -> bytes:
    """Everything before the rows, with the <sheetData> start tag left to
    the row writer."""
    written = WORKSHEET.write(ws, getattr(ws, "_layout", None), ctx, stop="sheetData")
    ctx.written.extend(written)
    return DECLARATION + ctx.root.tag + b"".join(el.raw for el in written)


def sheet_tail(ws: Any, ctx: SheetContext) -> bytes:
    """Everything after the rows; then the relationships of the sheet are
    complete."""
    layout = getattr(ws, "_layout", None)
    written = WORKSHEET.write(ws, layout, ctx, start="sheetCalcPr")
    ctx.written.extend(written)
    carry_rels(ctx, layout, WORKSHEET, dropped_unless_referenced=("hyperlink",),
               tied={"comments": _LEGACY})
    return b"".join(el.raw for el in written) + ctx.root.end()


def write_rows_part(ws: Any, write: Callable[[bytes], Any], *, lxml: bool, engine: Any) -> str:
    """<sheetData> of an editable sheet through `write` (bytes), with its
    row dimensions keyed by number for the engine; returns which writer
    wrote it."""
    saved = ws.row_dimensions
    ws.row_dimensions = normalized_row_dimensions(saved)
    try:
        return write_sheet_data(ws, lambda chunk: write(utf8(chunk)), lxml=lxml, engine=engine)
    finally:
        ws.row_dimensions = saved


def sheet_bounds(ws: Any) -> tuple[int, int, int, int] | None:
    """(min_row, max_row, min_col, max_col) of the cells, found in one pass
    over them; None when there are none."""
    if not len(ws._cells):
        return None
    bounds = ws._store_bounds()
    if bounds is not None:
        return bounds
    return ws.min_row, ws.max_row, ws.min_column, ws.max_column


def sheet_dimension(ws: Any, bounds: tuple[int, int, int, int] | None = None) -> str:
    """The range the cells span ("A1" when there are none), from `bounds`
    when the caller has them."""
    if bounds is None:
        bounds = sheet_bounds(ws)
        if bounds is None:
            return "A1"
    min_row, max_row, min_col, max_col = bounds
    first = f"{get_column_letter(min_col)}{min_row}"
    last = f"{get_column_letter(max_col)}{max_row}"
    return first if first == last else f"{first}:{last}"


# -- comments


def comments_part(comments: list[tuple[int, int, Comment]]) -> bytes:
    authors: list[str] = []
    body = []
    for row, column, comment in comments:
        author = getattr(comment, "author", "") or ""
        if author not in authors:
            authors.append(author)
        words = getattr(comment, "text", str(comment))
        body.append(element("comment", {"ref": f"{get_column_letter(column)}{row}",
                                        "authorId": authors.index(author)},
                            element("text", None, element("t", {"xml:space": "preserve"},
                                                          text(words) or " "))))
    return DECLARATION + (
        f'<comments{attrs({"xmlns": MAIN_NS})}>'
        + element("authors", None, "".join(element("author", None, text(a)) for a in authors))
        + element("commentList", None, "".join(body)) + "</comments>").encode("utf-8")


_VML_HEAD = (
    '<xml xmlns:v="urn:schemas-microsoft-com:vml" '
    'xmlns:o="urn:schemas-microsoft-com:office:office" '
    'xmlns:x="urn:schemas-microsoft-com:office:excel">'
    '<o:shapelayout v:ext="edit"><o:idmap v:ext="edit" data="1"/></o:shapelayout>'
    '<v:shapetype id="_x0000_t202" coordsize="21600,21600" o:spt="202" '
    'path="m,l,21600r21600,l21600,xe"><v:stroke joinstyle="miter"/>'
    '<v:path gradientshapeok="t" o:connecttype="rect"/></v:shapetype>')


def vml_part(comments: list[tuple[int, int, Comment]]) -> bytes:
    """The legacy drawing that gives each comment its (hidden) note box."""
    shapes = []
    for n, (row, column, _) in enumerate(comments, 1):
        shapes.append(
            f'<v:shape id="_x0000_s{1024 + n}" type="#_x0000_t202" '
            'style="position:absolute;margin-left:59.25pt;margin-top:1.5pt;width:108pt;'
            'height:59.25pt;z-index:1;visibility:hidden" fillcolor="#ffffe1" '
            'o:insetmode="auto"><v:fill color2="#ffffe1"/>'
            '<v:shadow on="t" color="black" obscured="t"/>'
            '<v:path o:connecttype="none"/><v:textbox style="mso-direction-alt:auto">'
            '<div style="text-align:left"></div></v:textbox>'
            '<x:ClientData ObjectType="Note"><x:MoveWithCells/><x:SizeWithCells/>'
            f'<x:Anchor>{column}, 15, {max(row - 2, 0)}, 2, {column + 2}, 15, {row + 2}, 16'
            '</x:Anchor><x:AutoFill>False</x:AutoFill>'
            f'<x:Row>{row - 1}</x:Row><x:Column>{column - 1}</x:Column>'
            '</x:ClientData></v:shape>')
    return (_VML_HEAD + "".join(shapes) + "</xml>").encode("utf-8")


def rels_part(rels: list[tuple[str, str, str]]) -> bytes:
    """A relationships part of (id, type, target as written) entries; the
    targets of hyperlinks are external. (The package writer makes those of
    a save; this is for writers that put a package together themselves.)"""
    body = []
    for rid, kind, target in rels:
        values = {"Id": rid, "Type": kind, "Target": target}
        if kind == HYPERLINK_REL:
            values["TargetMode"] = "External"
        body.append(element("Relationship", values))
    ns = "http://schemas.openxmlformats.org/package/2006/relationships"
    return DECLARATION + (f'<Relationships{attrs({"xmlns": ns})}>' + "".join(body)
                          + "</Relationships>").encode("utf-8")
