"""The styles part: cell formats as style arrays, and everything a later
save needs to write the styles back.

Fonts, fills, borders and the other collections are kept as the parsed
elements of the part (ElementTree elements in their own namespace), in
part order, so that the indices cells refer to stay valid. Alignment and
protection, which the part nests inside each cell format, are pulled out
into lists of attribute dicts that the style arrays index, entry 0 being
the default (no element).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from xml.etree import ElementTree as ET

from tavrinex.numbers import format_code, is_date_id, is_timedelta_id
from tavrinex.reader.excel import local_name
from tavrinex.styles import StyleArray


_NUM_FMT = 3  # numFmtId's place in a StyleArray


def _int(text: str | None, default: int = 0) -> int:
    if text is None:
        return default
    try:
        return int(text)
    except ValueError:
        try:
            return int(float(text))
        except ValueError:
            raise ValueError(f"{text!r} is not an integer") from None


def _flag(text: str | None) -> int:
    return 1 if text is not None and text.strip().lower() in ("1", "true") else 0


def _children(root: ET.Element, name: str) -> list[ET.Element]:
    """Children of the collection `name` of the root ([] when absent)."""
    for child in root:
        if local_name(child.tag) == name:
            return list(child)
    return []


@dataclass
class Stylesheet:
    """The styles of a workbook.

    ``cell_styles[i]`` is the StyleArray of style id i (the cellXfs);
    ``number_formats`` maps custom format ids to their text; ``fonts``,
    ``fills``, ``borders``, ``cell_style_xfs`` (the cellStyleXfs),
    ``named_styles`` (the cellStyles), ``dxfs``, ``colors`` and
    ``table_styles`` hold the part's elements as read; ``alignments`` and
    ``protections`` the attributes of each distinct alignment and
    protection (index 0: none), as indexed by the style arrays.
    """

    cell_styles: list[StyleArray] = field(default_factory=lambda: [StyleArray()])
    number_formats: dict[int, str] = field(default_factory=dict)
    fonts: list[ET.Element] = field(default_factory=list)
    fills: list[ET.Element] = field(default_factory=list)
    borders: list[ET.Element] = field(default_factory=list)
    alignments: list[dict[str, str]] = field(default_factory=lambda: [{}])
    protections: list[dict[str, str]] = field(default_factory=lambda: [{}])
    cell_style_xfs: list[ET.Element] = field(default_factory=list)
    named_styles: list[ET.Element] = field(default_factory=list)
    dxfs: list[ET.Element] = field(default_factory=list)
    colors: ET.Element | None = None
    table_styles: ET.Element | None = None

    def number_format(self, style_id: int) -> str:
        """Format text of style id `style_id`."""
        return format_code(self.cell_styles[style_id][_NUM_FMT], self.number_formats)

    def date_style_ids(self) -> frozenset[int]:
        """Style ids whose number format shows dates, times or durations."""
        return frozenset(i for i, style in enumerate(self.cell_styles)
                         if is_date_id(style[_NUM_FMT], self.number_formats))

    def timedelta_style_ids(self) -> frozenset[int]:
        """Style ids whose number format shows elapsed time."""
        return frozenset(i for i, style in enumerate(self.cell_styles)
                         if is_timedelta_id(style[_NUM_FMT], self.number_formats))


def _index(table: list[dict[str, str]], attrs: dict[str, str]) -> int:
    if not attrs:
        return 0
    try:
        return table.index(attrs)
    except ValueError:
        table.append(attrs)
        return len(table) - 1


def read_stylesheet(root: ET.Element) -> Stylesheet:
    """A Stylesheet from the root element of a styles part. Bad numbers
    raise ValueError."""
    sheet = Stylesheet(cell_styles=[])
    for fmt in _children(root, "numFmts"):
        if local_name(fmt.tag) == "numFmt" and fmt.get("numFmtId") is not None:
            sheet.number_formats[_int(fmt.get("numFmtId"))] = fmt.get("formatCode", "")
    sheet.fonts = _children(root, "fonts")
    sheet.fills = _children(root, "fills")
    sheet.borders = _children(root, "borders")
    sheet.cell_style_xfs = _children(root, "cellStyleXfs")
    sheet.named_styles = _children(root, "cellStyles")
    sheet.dxfs = _children(root, "dxfs")
    for child in root:
        name = local_name(child.tag)
        if name == "colors":
            sheet.colors = child
        elif name == "tableStyles":
            sheet.table_styles = child
    for xf in _children(root, "cellXfs"):
        if local_name(xf.tag) != "xf":
            continue
        alignment = protection = 0
        for part in xf:
            name = local_name(part.tag)
            if name == "alignment":
                alignment = _index(sheet.alignments, dict(part.attrib))
            elif name == "protection":
                protection = _index(sheet.protections, dict(part.attrib))
        sheet.cell_styles.append(StyleArray((
            _int(xf.get("fontId")), _int(xf.get("fillId")), _int(xf.get("borderId")),
            _int(xf.get("numFmtId")), protection, alignment,
            _flag(xf.get("pivotButton")), _flag(xf.get("quotePrefix")),
            _int(xf.get("xfId")))))
    if not sheet.cell_styles:
        sheet.cell_styles.append(StyleArray())
    return sheet
