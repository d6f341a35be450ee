"""Drawing parts: where a sheet's images and charts sit.

`drawing_xml` writes the drawing part of the images and charts added to a
sheet; `read_drawing` finds, in a drawing part read from a file, each
picture and chart with its anchor; `read_chart` reads the kind, title and
series ranges of a chart part (the part itself is kept as it was).
"""

from __future__ import annotations

import html
import re
from dataclasses import dataclass
from typing import Any
from xml.etree import ElementTree as ET
from xml.sax.saxutils import escape as xml_escape

from tavrinex.chart.model import ReadChart, Series
from tavrinex.image import EMU_PER_PIXEL, parse_anchor
from tavrinex.utils.cell import get_column_letter
from tavrinex.writer.xmltext import DECLARATION, REL_NS, element

XDR_NS = "http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing"
A_NS = "http://schemas.openxmlformats.org/drawingml/2006/main"
C_NS = "http://schemas.openxmlformats.org/drawingml/2006/chart"
DRAWING_CONTENT_TYPE = "application/vnd.openxmlformats-officedocument.drawing+xml"
DRAWING_REL = f"{REL_NS}/drawing"
IMAGE_REL = f"{REL_NS}/image"

_XDR, _A, _C, _R = (f"{{{ns}}}" for ns in (XDR_NS, A_NS, C_NS, REL_NS))


@dataclass(frozen=True)
class Placement:
    """One image or chart of a drawing part to write: its anchor text,
    its size in pixels (for a one-cell anchor), "pic" or "chart", the
    relationship id of its image or chart part and its name."""

    anchor: str
    width: int
    height: int
    kind: str
    rel_id: str
    name: str


def _marker(tag: str, row: int, column: int) -> str:
    """A from/to marker at the top left of the 0-based (row, column)."""
    return element(f"xdr:{tag}", None,
                   element("xdr:col", None, str(column)) + "<xdr:colOff>0</xdr:colOff>"
                   + element("xdr:row", None, str(row)) + "<xdr:rowOff>0</xdr:rowOff>")


def _picture(item: Placement, shape_id: int, cx: int, cy: int) -> str:
    return element("xdr:pic", None, (
        element("xdr:nvPicPr", None,
                element("xdr:cNvPr", {"id": shape_id, "name": item.name})
                + element("xdr:cNvPicPr", None, element("a:picLocks", {"noChangeAspect": 1})))
        + element("xdr:blipFill", None,
                  element("a:blip", {"r:embed": item.rel_id})
                  + element("a:stretch", None, "<a:fillRect/>"))
        + element("xdr:spPr", None,
                  element("a:xfrm", None, element("a:off", {"x": 0, "y": 0})
                          + element("a:ext", {"cx": cx, "cy": cy}))
                  + element("a:prstGeom", {"prst": "rect"}, "<a:avLst/>"))))


def _chart_frame(item: Placement, shape_id: int) -> str:
    return element("xdr:graphicFrame", {"macro": ""}, (
        element("xdr:nvGraphicFramePr", None,
                element("xdr:cNvPr", {"id": shape_id, "name": item.name})
                + "<xdr:cNvGraphicFramePr/>")
        + element("xdr:xfrm", None, element("a:off", {"x": 0, "y": 0})
                  + element("a:ext", {"cx": 0, "cy": 0}))
        + element("a:graphic", None, element(
            "a:graphicData", {"uri": C_NS},
            element("c:chart", {"xmlns:c": C_NS, "r:id": item.rel_id})))))


def anchors_xml(items: list[Placement], first_id: int = 2, declare: bool = False) -> bytes:
    """The anchor elements placing `items`, their shapes numbered from
    `first_id`; with `declare`, each anchor declares the namespaces it
    uses (for anchors added to a drawing part read from a file)."""
    anchors = []
    names = {"xmlns:xdr": XDR_NS, "xmlns:a": A_NS, "xmlns:r": REL_NS} if declare else {}
    for shape_id, item in enumerate(items, first_id):
        (row, column), last = parse_anchor(item.anchor)
        cx, cy = item.width * EMU_PER_PIXEL, item.height * EMU_PER_PIXEL
        if item.kind == "pic":
            body = _picture(item, shape_id, cx, cy)
        else:
            body = _chart_frame(item, shape_id)
        start = _marker("from", row - 1, column - 1)
        if last is None:
            anchors.append(element("xdr:oneCellAnchor", names or None, start
                                   + element("xdr:ext", {"cx": cx, "cy": cy})
                                   + body + "<xdr:clientData/>"))
        else:
            # To the top left of the cell after the last: the range's cells
            # are covered whole.
            anchors.append(element("xdr:twoCellAnchor", {**names, "editAs": "oneCell"}, start
                                   + _marker("to", last[0], last[1]) + body
                                   + "<xdr:clientData/>"))
    return "".join(anchors).encode("utf-8")


def drawing_xml(items: list[Placement]) -> bytes:
    """The drawing part placing `items`."""
    root = element("xdr:wsDr", {"xmlns:xdr": XDR_NS, "xmlns:a": A_NS, "xmlns:r": REL_NS},
                   anchors_xml(items).decode("utf-8"))
    return DECLARATION + root.encode("utf-8")


# ---------------------------------------------------------------- reading

@dataclass(frozen=True)
class DrawnItem:
    """A picture or chart found in a drawing part: "pic" or "chart", its
    anchor text, its size in pixels (None where the part gives none) and
    the relationship id of its image or chart."""

    kind: str
    anchor: str
    width: int | None
    height: int | None
    rel_id: str


def _cell_of(marker: ET.Element | None) -> tuple[int, int, bool] | None:
    if marker is None:
        return None
    try:
        col = int(marker.findtext(_XDR + "col") or 0)
        row = int(marker.findtext(_XDR + "row") or 0)
        offset = int(marker.findtext(_XDR + "colOff") or 0) or int(
            marker.findtext(_XDR + "rowOff") or 0)
    except ValueError:
        return None
    return row, col, bool(offset)


def _anchor_text(anchor: ET.Element) -> str | None:
    start = _cell_of(anchor.find(_XDR + "from"))
    if start is None:
        return None
    first = f"{get_column_letter(start[1] + 1)}{start[0] + 1}"
    end = _cell_of(anchor.find(_XDR + "to"))
    if end is None:
        return first
    row, col, offset = end
    if not offset:             # ends at the top left of the cell after the last
        row, col = row - 1, col - 1
    row, col = max(row, start[0]), max(col, start[1])
    return f"{first}:{get_column_letter(col + 1)}{row + 1}"


def _extent(el: ET.Element | None) -> tuple[int | None, int | None]:
    if el is None:
        return None, None
    try:
        return (round(int(el.get("cx", "")) / EMU_PER_PIXEL),
                round(int(el.get("cy", "")) / EMU_PER_PIXEL))
    except ValueError:
        return None, None


def read_drawing(root: ET.Element) -> list[DrawnItem]:
    """The pictures and charts of a drawing part, in document order
    (shapes in groups and in alternate content are not looked into)."""
    found = []
    for anchor in root:
        if anchor.tag not in (_XDR + "oneCellAnchor", _XDR + "twoCellAnchor"):
            continue
        where = _anchor_text(anchor)
        if where is None:
            continue
        width, height = _extent(anchor.find(_XDR + "ext"))
        pic = anchor.find(_XDR + "pic")
        if pic is not None:
            blip = pic.find(f"{_XDR}blipFill/{_A}blip")
            rid = blip.get(_R + "embed") if blip is not None else None
            if rid:
                if width is None:
                    width, height = _extent(pic.find(f"{_XDR}spPr/{_A}xfrm/{_A}ext"))
                found.append(DrawnItem("pic", where, width, height, rid))
            continue
        chart = anchor.find(f"{_XDR}graphicFrame/{_A}graphic/{_A}graphicData/{_C}chart")
        if chart is not None and chart.get(_R + "id"):
            found.append(DrawnItem("chart", where, width, height, chart.get(_R + "id", "")))
    return found


_KINDS = {"barChart": "bar", "bar3DChart": "bar", "lineChart": "line", "line3DChart": "line",
          "areaChart": "area", "area3DChart": "area", "pieChart": "pie", "pie3DChart": "pie",
          "ofPieChart": "pie", "doughnutChart": "doughnut", "scatterChart": "scatter"}


def _title_text(title: ET.Element | None) -> str | None:
    if title is None:
        return None
    ref = title.findtext(f"{_C}tx/{_C}strRef/{_C}f")
    if ref is not None:
        cached = title.findtext(f"{_C}tx/{_C}strRef/{_C}strCache/{_C}pt/{_C}v")
        return cached if cached is not None else ref
    runs = [t.text or "" for t in title.iter(_A + "t")]
    return "".join(runs) if runs else None


def read_chart(root: ET.Element, anchor: str | None = None, part: str | None = None) -> ReadChart:
    """Kind, title and series of a chart part."""
    chart = root.find(_C + "chart")
    plot = chart.find(_C + "plotArea") if chart is not None else None
    kind = "unknown"
    series: list[Series] = []
    if plot is not None:
        for group in plot:
            name = group.tag.rpartition("}")[2]
            if not name.endswith("Chart"):
                continue
            if kind == "unknown":
                kind = _KINDS.get(name, name)
            for ser in group.findall(_C + "ser"):
                values = (ser.findtext(f"{_C}val/{_C}numRef/{_C}f")
                          or ser.findtext(f"{_C}yVal/{_C}numRef/{_C}f") or "")
                cats = None
                for tag in ("cat", "xVal"):
                    for ref in ("numRef", "strRef", "multiLvlStrRef"):
                        cats = cats or ser.findtext(f"{_C}{tag}/{_C}{ref}/{_C}f")
                title_ref = ser.findtext(f"{_C}tx/{_C}strRef/{_C}f")
                title = ser.findtext(f"{_C}tx/{_C}v")
                series.append(Series(values, cats, title, title_ref))
    title = _title_text(chart.find(_C + "title")) if chart is not None else None
    return ReadChart(kind, title, tuple(series), anchor, part)


def placed_size(item: DrawnItem, natural: tuple[int, int]) -> tuple[int, int]:
    """A picture's size as placed: the part's, else the image's own."""
    if item.width is not None and item.height is not None:
        return item.width, item.height
    return natural


def attach_drawings(archive: Any, ws: Any, part: str, rels: dict[str, Any]) -> None:
    """Lists the pictures and charts of the drawings of sheet part `part`
    in ``ws._read_images`` and ``ws._read_charts``. A drawing, image or
    chart part that cannot be read is left out of the lists (the parts
    themselves are kept as they are)."""
    from tavrinex.image import PlacedImage, image_info

    images: list[PlacedImage] = []
    charts: list[ReadChart] = []
    for rel in rels.values():
        if rel.kind != "drawing" or rel.external or not archive.has(rel.target):
            continue
        try:
            items = read_drawing(archive.parse(rel.target))
            drawing_rels = archive.rels(rel.target)
        except Exception:
            continue
        for item in items:
            target = drawing_rels.get(item.rel_id)
            if target is None or target.external or not archive.has(target.target):
                continue
            try:
                if item.kind == "pic":
                    with archive.open(target.target) as member:
                        data = member.read()
                    try:
                        kind, width, height = image_info(data)
                    except ValueError:
                        kind, width, height = target.target.rpartition(".")[2].lower(), 0, 0
                    width, height = placed_size(item, (width, height))
                    images.append(PlacedImage(item.anchor, width, height, data, kind))
                else:
                    charts.append(read_chart(archive.parse(target.target), item.anchor,
                                             target.target))
            except Exception:
                continue
    ws._read_images = images
    ws._read_charts = charts


# ---------------------------------------------------------------- kept parts after edits

_FORMULA_TEXT = re.compile(rb"(<(?:[\w.-]+:)?f>)([^<]*)(</(?:[\w.-]+:)?f>)")
_MARKER = re.compile(rb"<((?:[\w.-]+:)?)(from|to)>(.*?)</\1\2>", re.DOTALL)
_MARKER_PART = re.compile(rb"<((?:[\w.-]+:)?)(col|row)>\s*([0-9]+)\s*</\1\2>")


def rewrite_chart_part(data: bytes, edits: list[Any]) -> bytes:
    """A chart part read from a file with the range formulas of its series
    and titles (<c:f>) rewritten after `edits` (tavrinex.formula.rewrite
    edits, in the order they were made); other bytes stay as they were."""
    from tavrinex.formula import TokenizerError
    from tavrinex.formula.rewrite import rewrite_formula

    def one(match: re.Match[bytes]) -> bytes:
        raw = match[2].decode("utf-8")
        formula = "=" + html.unescape(raw)
        new = formula
        try:
            for edit in edits:
                new = rewrite_formula(new, None, edit)
        except TokenizerError:
            return match[0]
        if new == formula:
            return match[0]
        return match[1] + xml_escape(new[1:]).encode("utf-8") + match[3]

    return _FORMULA_TEXT.sub(one, data)


def shift_drawing_part(data: bytes, edits: list[Any]) -> bytes:
    """A drawing part read from a file with the cells its anchors' corners
    sit in moved after `edits` of its sheet (tavrinex.formula.rewrite
    Shift edits): a corner in deleted cells goes to the first cell after
    them, at the top left of it."""

    def marker(match: re.Match[bytes]) -> bytes:
        body = match[3]
        cells = {m[2]: int(m[3]) for m in _MARKER_PART.finditer(body)}
        if set(cells) != {b"col", b"row"}:
            return match[0]
        reset = False
        for edit in edits:
            key = b"row" if edit.axis == "rows" else b"col"
            v = cells[key] + 1                 # the 1-based row or column it sits in
            span = edit.span(v, v)
            if span is None:
                span, reset = (edit.index, edit.index), True
            cells[key] = span[0] - 1

        def part(m: re.Match[bytes]) -> bytes:
            return b"<%s%s>%d</%s%s>" % (m[1], m[2], cells[m[2]], m[1], m[2])

        body = _MARKER_PART.sub(part, body)
        if reset:
            body = re.sub(rb"(<(?:[\w.-]+:)?(?:col|row)Off>)\s*-?[0-9]+\s*(</)", rb"\g<1>0\2",
                          body)
        return b"<%s%s>%s</%s%s>" % (match[1], match[2], body, match[1], match[2])

    return _MARKER.sub(marker, data)
