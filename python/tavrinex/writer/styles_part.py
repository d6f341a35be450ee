"""The styles part: number formats, fonts, fills, borders and cell formats."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any
from xml.etree import ElementTree as ET

from tavrinex.reader.stylesheet import Stylesheet
from tavrinex.writer.xmltext import DECLARATION, MAIN_NS, attrs, element, serialize

_M = "{%s}" % MAIN_NS


def _el(tag: str, children: Sequence[ET.Element] = (), **attributes: str) -> ET.Element:
    el = ET.Element(_M + tag, attributes)
    el.extend(children)
    return el


def new_stylesheet() -> Stylesheet:
    """The styles of a new workbook: one font, the two fills every
    workbook has, an empty border and the Normal style."""
    sheet = Stylesheet()
    sheet.fonts = [_el("font", [_el("sz", val="11"), _el("name", val="Calibri"),
                                _el("family", val="2")])]
    sheet.fills = [_el("fill", [_el("patternFill", patternType="none")]),
                   _el("fill", [_el("patternFill", patternType="gray125")])]
    sheet.borders = [_el("border", [_el(side) for side in
                                    ("left", "right", "top", "bottom", "diagonal")])]
    sheet.cell_style_xfs = [_el("xf", numFmtId="0", fontId="0", fillId="0", borderId="0")]
    sheet.named_styles = [_el("cellStyle", name="Normal", xfId="0", builtinId="0")]
    return sheet


def _collection(name: str, items: list[ET.Element]) -> str:
    body = "".join(serialize(item) for item in items)
    return element(name, {"count": len(items)}, body)


def _cell_format(style: Any, sheet: Stylesheet) -> str:
    font, fill, border, num_fmt, protection, alignment, pivot, quote, xf_id = style
    attributes: dict[str, Any] = {"numFmtId": num_fmt, "fontId": font, "fillId": fill,
                                  "borderId": border, "xfId": xf_id}
    if pivot:
        attributes["pivotButton"] = "1"
    if quote:
        attributes["quotePrefix"] = "1"
    for flag, used in (("applyNumberFormat", num_fmt), ("applyFont", font),
                       ("applyFill", fill), ("applyBorder", border),
                       ("applyAlignment", alignment), ("applyProtection", protection)):
        if used:
            attributes[flag] = "1"
    body = ""
    if alignment and 0 <= alignment < len(sheet.alignments):
        body += element("alignment", sheet.alignments[alignment])
    if protection and 0 <= protection < len(sheet.protections):
        body += element("protection", sheet.protections[protection])
    return element("xf", attributes, body)


def _check_indices(cell_styles: list[Any], sheet: Stylesheet) -> None:
    for i, style in enumerate(cell_styles):
        for field, items in ((0, sheet.fonts), (1, sheet.fills), (2, sheet.borders)):
            if not 0 <= style[field] < max(len(items), 1):
                raise ValueError(f"cell style {i} refers to a missing font, fill or border "
                                 f"({list(style)})")


def styles_part(sheet: Stylesheet, cell_styles: list[Any]) -> bytes:
    """The text of the styles part for `cell_styles` (the cellXfs)."""
    fonts = sheet.fonts or new_stylesheet().fonts
    fills = sheet.fills or new_stylesheet().fills
    borders = sheet.borders or new_stylesheet().borders
    _check_indices(cell_styles, sheet)
    parts = []
    if sheet.number_formats:
        parts.append(element("numFmts", {"count": len(sheet.number_formats)}, "".join(
            element("numFmt", {"numFmtId": i, "formatCode": code})
            for i, code in sorted(sheet.number_formats.items()))))
    parts.append(_collection("fonts", fonts))
    parts.append(_collection("fills", fills))
    parts.append(_collection("borders", borders))
    parts.append(_collection("cellStyleXfs", sheet.cell_style_xfs
                             or new_stylesheet().cell_style_xfs))
    parts.append(element("cellXfs", {"count": len(cell_styles)},
                         "".join(_cell_format(style, sheet) for style in cell_styles)))
    parts.append(_collection("cellStyles", sheet.named_styles or new_stylesheet().named_styles))
    if sheet.dxfs:
        parts.append(_collection("dxfs", sheet.dxfs))
    if sheet.table_styles is not None:
        parts.append(serialize(sheet.table_styles))
    if sheet.colors is not None:
        parts.append(serialize(sheet.colors))
    return DECLARATION + (f'<styleSheet{attrs({"xmlns": MAIN_NS})}>'
                          + "".join(parts) + "</styleSheet>").encode("utf-8")
