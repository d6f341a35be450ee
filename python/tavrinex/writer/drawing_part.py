"""The <drawing> element of a worksheet and the parts below it.

A sheet with images or charts added here gets a drawing part placing them,
a media part per image and a chart part per chart. A drawing read from the
file is kept as it was while nothing changed it; rows or columns inserted
or deleted since loading move its anchors (its part rewritten where it
is kept), and the series ranges of the charts below it follow every edit
of the workbook (tavrinex.structure keeps them in ``_structure_edits``).
When images or charts are added to a sheet that had a drawing, its
anchors and relationships are carried into a new drawing part beside the
new ones.
"""

from __future__ import annotations

from typing import Any

from tavrinex.chart.writer import CHART_CONTENT_TYPE, CHART_REL, chart_xml
from tavrinex.drawing import DRAWING_CONTENT_TYPE, DRAWING_REL, IMAGE_REL, Placement, \
    anchors_xml, drawing_xml, rewrite_chart_part, shift_drawing_part
from tavrinex.parts.xml import Element, attribute
from tavrinex.writer.sheet_part import WORKSHEET
from tavrinex.writer.xmltext import element


def _edits(ws: Any) -> tuple[list[Any], list[Any]]:
    """(the edits of `ws`'s own rows and columns, every edit) since load."""
    edits = getattr(getattr(ws, "parent", None), "_structure_edits", None) or []
    return [e for sheet, e in edits if sheet is ws], [e for _, e in edits]


def _state(ws: Any) -> tuple[int, int, int]:
    edits = getattr(getattr(ws, "parent", None), "_structure_edits", None) or []
    return len(getattr(ws, "_images", ())), len(getattr(ws, "_charts", ())), len(edits)


def _new_items(ws: Any, ctx: Any, drawing: str) -> list[Placement]:
    """The parts of the images and charts added to `ws`, related to the
    drawing part `drawing`; their placements in it."""
    items = []
    for n, image in enumerate(getattr(ws, "_images", ()), 1):
        media = ctx.pkg.new_name("xl/media/image{}." + image.format)
        ctx.pkg.add(media, image.data, image.content_type)
        rid = ctx.pkg.relate(drawing, IMAGE_REL, media)
        items.append(Placement(image.anchor, image.width, image.height, "pic", rid,
                               f"Picture {n}"))
    for n, chart in enumerate(getattr(ws, "_charts", ()), 1):
        part = ctx.pkg.new_name("xl/charts/chart{}.xml")
        ctx.pkg.add(part, chart_xml(chart), CHART_CONTENT_TYPE)
        rid = ctx.pkg.relate(drawing, CHART_REL, part)
        items.append(Placement(chart.anchor or "H2", chart.width, chart.height, "chart", rid,
                               f"Chart {n}"))
    return items


@WORKSHEET.modelled("drawing", state=_state)
def _drawing(ws: Any, ctx: Any, kept: list[Element]) -> str | bytes:
    own, every = _edits(ws)
    source = ctx.pkg.source
    old_part = None
    if kept and source is not None:
        rid = attribute(kept[0].raw, f"{ctx.r}:id")
        rel = ctx.source_rels.get(rid) if rid else None
        if rel is not None and not rel.external and source.has(rel.target):
            old_part = rel.target
    if old_part is not None and every:
        for rel in source.rels(old_part).values():
            if rel.kind == "chart" and not rel.external and source.has(rel.target):
                data = source.read(rel.target)
                new = rewrite_chart_part(data, every)
                if new != data:
                    ctx.pkg.replace(rel.target, new)
    added = getattr(ws, "_images", None) or getattr(ws, "_charts", None)
    if not added:
        if not kept:
            return ""
        if old_part is not None and own:
            data = source.read(old_part)
            new = shift_drawing_part(data, own)
            if new != data:
                ctx.pkg.replace(old_part, new)
        return kept[0].raw
    name = ctx.pkg.new_name("xl/drawings/drawing{}.xml")
    if old_part is None:
        data = drawing_xml(_new_items(ws, ctx, name))
    else:
        # The drawing read, its anchors moved, its relationships carried
        # over under their ids, and the new anchors after its own.
        for rel in source.rels(old_part).values():
            target = rel.target if rel.external else ctx.pkg.keep(rel.target)
            if target is not None:
                ctx.pkg.relate(name, rel.type, target, external=rel.external, rid=rel.id)
        data = shift_drawing_part(source.read(old_part), own)
        end = data.rstrip().rfind(b"</")
        data = data[:end] + anchors_xml(_new_items(ws, ctx, name), first_id=1024,
                                        declare=True) + data[end:]
    ctx.pkg.add(name, data, DRAWING_CONTENT_TYPE)
    return element("drawing", {f"{ctx.r}:id": ctx.relate(DRAWING_REL, name)})
