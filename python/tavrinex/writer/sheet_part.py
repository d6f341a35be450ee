"""A worksheet part: what surrounds <sheetData>, and the comments with the
VML drawing programs need to show them."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

from tavrinex.comments import Comment, Hyperlink
from tavrinex.dimensions import RowDimension
from tavrinex.utils.cell import get_column_letter
from tavrinex.writer import features, write_sheet_data
from tavrinex.writer.values import utf8
from tavrinex.writer.xmltext import (DECLARATION, MAIN_NS, REL_NS, attrs, element,
                                     parse_kept, serialize, text)

# Elements kept from a loaded sheet, by where they go: before or after the rows.
BEFORE_ROWS = ("sheetPr", "dimension", "sheetViews", "sheetFormatPr", "cols")
AFTER_ROWS = ("sheetCalcPr", "sheetProtection", "protectedRanges", "scenarios", "autoFilter",
              "sortState", "dataConsolidate", "customSheetViews", "mergeCells", "phoneticPr",
              "conditionalFormatting", "dataValidations", "hyperlinks", "printOptions",
              "pageMargins", "pageSetup", "headerFooter", "rowBreaks", "colBreaks",
              "customProperties", "cellWatches", "ignoredErrors", "legacyDrawing")
# Written from the worksheet's own attributes, never from what was kept.
_MODELLED = frozenset(("dimension", "sheetFormatPr", "cols", "mergeCells", "hyperlinks",
                       "legacyDrawing"))
HYPERLINK_REL = f"{REL_NS}/hyperlink"
COMMENTS_REL = f"{REL_NS}/comments"
VML_REL = f"{REL_NS}/vmlDrawing"
TABLE_REL = f"{REL_NS}/table"


def sync_table_columns(ws: Any, table: Any) -> None:
    """Give a table's columns the names its header cells hold now."""
    if not table.header_row or table.columns is None:
        return
    for column, (row, col) in zip(table.columns, table.header_cells()):
        cell = ws._cells.get((row, col))
        value = cell.value if cell is not None else None
        if value is None or value == column.name:
            continue
        if not isinstance(value, str):
            value = str(value)
        column.name = value


def kept_elements(ws: Any) -> dict[str, list[str]]:
    """Text of the elements kept from a loaded sheet that are written
    back, by local name. Elements tied to parts that are not written
    (drawings, tables, controls) are left out with what they refer to."""
    kept: dict[str, list[str]] = {}
    for tag, snippet in getattr(ws, "_raw_elements", ()):
        if tag is None or not tag.startswith("{" + MAIN_NS + "}"):
            continue
        name = tag.rpartition("}")[2]
        if name in _MODELLED or name not in BEFORE_ROWS + AFTER_ROWS:
            continue
        el = parse_kept(snippet)
        if el is not None:
            kept.setdefault(name, []).append(serialize(el))
    return kept


def normalized_row_dimensions(dims: dict[Any, Any]) -> dict[int, RowDimension]:
    """Row dimensions keyed by row number, whatever the keys and values
    were given as (row texts and attribute dicts as read from a file)."""
    out: dict[int, RowDimension] = {}
    for key, value in dims.items():
        row = int(key)
        if isinstance(value, RowDimension):
            if value:   # one made by a look-up and never set says nothing
                out[row] = value
        elif isinstance(value, dict):
            out[row] = RowDimension.from_attributes(value)
        else:
            out[row] = RowDimension.from_attributes(dict(value))
    return out


def _columns(ws: Any) -> str:
    entries = []
    for letter, dim in ws.column_dimensions.items():
        values = {k: v for k, v in dict(dim).items() if not k.startswith("{")}
        if len(values) <= 2 and set(values) <= {"min", "max"}:
            continue   # created by a look-up, says nothing
        entries.append((int(values.get("min", 0) or 0), values))
    entries.sort(key=lambda item: item[0])
    joined: list[dict[str, str]] = []
    for _, values in entries:
        # Neighbours that are alike (a span split by a look-up) are one span again.
        last = joined[-1] if joined else None
        if last is not None and _same_but_span(last, values) \
                and str(int(last.get("max", "0") or 0) + 1) == values.get("min"):
            last["max"] = values["max"]
        else:
            joined.append(dict(values))
    return element("cols", None, "".join(element("col", v) for v in joined)) if joined else ""


def _same_but_span(a: dict[str, str], b: dict[str, str]) -> bool:
    return ({k: v for k, v in a.items() if k not in ("min", "max")}
            == {k: v for k, v in b.items() if k not in ("min", "max")})


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


def sheet_head(ws: Any, dimension: str, selected: bool, kept: dict[str, list[str]]) -> bytes:
    """Everything before the rows, with the <sheetData> start tag left to
    the row writer."""
    parts = [f'<worksheet{attrs({"xmlns": MAIN_NS, "xmlns:r": REL_NS})}>']
    parts.append(features.sheet_pr(ws))
    parts.append(element("dimension", {"ref": dimension}))
    parts.append(features.sheet_views(ws, selected))
    fmt = {k: v for k, v in getattr(ws, "sheet_format", {}).items() if not k.startswith("{")}
    fmt.setdefault("defaultRowHeight", "15")
    for name, level in _outline_levels(ws).items():
        if int(fmt.get(name, "0") or 0) < int(level):
            fmt[name] = level
    parts.append(element("sheetFormatPr", fmt))
    parts.append(_columns(ws))
    return DECLARATION + "".join(parts).encode("utf-8")


def _hyperlink_elements(links: list[Hyperlink], rels: list[tuple[str, str, str]]) -> str:
    body = []
    seen = set()
    for link in links:
        if not isinstance(link, Hyperlink) or link.ref in seen:
            continue
        seen.add(link.ref)
        values: dict[str, Any] = {"ref": link.ref}
        if link.target:
            rid = f"rId{len(rels) + 1}"
            rels.append((rid, HYPERLINK_REL, link.target))
            values["r:id"] = rid
        values["location"] = link.location
        values["tooltip"] = link.tooltip
        values["display"] = link.display
        body.append(element("hyperlink", values))
    return element("hyperlinks", None, "".join(body)) if body else ""


# Elements after the rows written from the feature model.
_FEATURES: dict[str, Callable[[Any], str]] = {
    "sheetProtection": features.sheet_protection, "autoFilter": features.auto_filter,
    "conditionalFormatting": features.conditional_formatting,
    "dataValidations": features.data_validations, "pageMargins": features.page_margins,
    "pageSetup": features.page_setup, "headerFooter": features.header_footer}


def sheet_tail(ws: Any, kept: dict[str, list[str]], comments_rels: Callable[[], str] | None,
               rels: list[tuple[str, str, str]], table_rels: Sequence[str] = ()) -> bytes:
    """Everything after the rows. `comments_rels`, when the sheet has
    comments, adds their relationships and gives the VML drawing's id;
    `table_rels` are the relationship ids of the sheet's table parts."""
    parts = []
    for name in AFTER_ROWS:
        if name in _FEATURES:
            parts.append(_FEATURES[name](ws))
            continue
        if name == "mergeCells" and ws.merged_cells:
            parts.append(element("mergeCells", {"count": len(ws.merged_cells)},
                                 "".join(element("mergeCell", {"ref": ref})
                                         for ref in ws.merged_cells)))
        elif name == "hyperlinks":
            parts.append(_hyperlink_elements(ws._hyperlinks, rels))
        elif name == "legacyDrawing" and comments_rels is not None:
            parts.append(element("legacyDrawing", {"r:id": comments_rels()}))
        else:
            parts.extend(kept.get(name, ()))
    parts.append(features.table_parts(list(table_rels)))
    parts.append("</worksheet>")
    return "".join(parts).encode("utf-8")


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
    """A relationships part; targets of hyperlinks are external."""
    body = []
    for rid, kind, target in rels:
        values = {"Id": rid, "Type": kind, "Target": target}
        if kind == HYPERLINK_REL:
            values["TargetMode"] = "External"
        body.append(element("Relationship", values))
    ns = "http://schemas.openxmlformats.org/package/2006/relationships"
    return DECLARATION + (f'<Relationships{attrs({"xmlns": ns})}>' + "".join(body)
                          + "</Relationships>").encode("utf-8")
