"""The small style API of cells: font, solid fill, alignment, borders and
number formats, kept in the workbook's stylesheet.

Fonts, fills and borders are stylesheet elements; a cell refers to them by
index through its style array, and the writer gives each distinct array
one cell format id (``_cell_styles.add``).
"""

from __future__ import annotations

import datetime
import re
from dataclasses import dataclass
from typing import Any
from xml.etree import ElementTree as ET

from tavrinex.numbers import BUILTIN_FORMATS, FIRST_CUSTOM_ID
from tavrinex.writer.xmltext import MAIN_NS, serialize

_M = "{%s}" % MAIN_NS
_HEX = re.compile(r"[0-9A-Fa-f]{6}(?:[0-9A-Fa-f]{2})?")
BORDER_STYLES = frozenset(("thin", "medium", "thick", "dashed", "dotted", "double", "hair"))
HORIZONTAL = frozenset(("general", "left", "center", "right", "fill", "justify",
                        "centerContinuous", "distributed"))
VERTICAL = frozenset(("top", "center", "bottom", "justify", "distributed"))
_FONT, _FILL, _BORDER, _NUM_FMT, _ALIGNMENT = 0, 1, 2, 3, 5

# Number formats given to date and time values that have none.
DATETIME_FORMAT = "yyyy-mm-dd h:mm:ss"
DATE_FORMAT = "yyyy-mm-dd"
TIME_FORMAT = "hh:mm:ss"
TIMEDELTA_FORMAT = "[h]:mm:ss"


def argb(color: str) -> str:
    """"FF0000" or "80FF0000" as the 8-digit upper-case ARGB text."""
    if not isinstance(color, str) or not _HEX.fullmatch(color.lstrip("#")):
        raise ValueError(f"colours are 6 or 8 hex digits such as 'FF0000', not {color!r}")
    color = color.lstrip("#").upper()
    return color if len(color) == 8 else "FF" + color


def _sub(parent: ET.Element, name: str, **attributes: str) -> ET.Element:
    return ET.SubElement(parent, _M + name, attributes)


@dataclass(frozen=True)
class Font:
    name: str = "Calibri"
    size: float = 11
    bold: bool = False
    italic: bool = False
    color: str | None = None

    def element(self) -> ET.Element:
        el = ET.Element(_M + "font")
        if self.bold:
            _sub(el, "b")
        if self.italic:
            _sub(el, "i")
        if not isinstance(self.size, (int, float)) or isinstance(self.size, bool) \
                or not 1 <= self.size <= 409:
            raise ValueError(f"font sizes run from 1 to 409 points, not {self.size!r}")
        _sub(el, "sz", val=f"{self.size:g}")
        if self.color is not None:
            _sub(el, "color", rgb=argb(self.color))
        _sub(el, "name", val=str(self.name))
        _sub(el, "family", val="2")
        return el

    @classmethod
    def from_element(cls, el: ET.Element | None) -> Font:
        if el is None:
            return cls()
        found = {child.tag.rpartition("}")[2]: child for child in el}
        size = found["sz"].get("val") if "sz" in found else None
        color = found["color"].get("rgb") if "color" in found else None
        flag = (lambda k: k in found and found[k].get("val", "1") not in ("0", "false"))
        return cls(name=found["name"].get("val", "") if "name" in found else "Calibri",
                   size=float(size) if size else 11, bold=flag("b"), italic=flag("i"),
                   color=color)


@dataclass(frozen=True)
class PatternFill:
    """A solid fill of one colour (None: no fill)."""

    color: str | None = None

    def element(self) -> ET.Element:
        el = ET.Element(_M + "fill")
        if self.color is None:
            _sub(el, "patternFill", patternType="none")
            return el
        pattern = _sub(el, "patternFill", patternType="solid")
        _sub(pattern, "fgColor", rgb=argb(self.color))
        _sub(pattern, "bgColor", indexed="64")
        return el

    @classmethod
    def from_element(cls, el: ET.Element | None) -> PatternFill:
        pattern = el.find(_M + "patternFill") if el is not None else None
        if pattern is None or pattern.get("patternType") != "solid":
            return cls()
        fg = pattern.find(_M + "fgColor")
        return cls(fg.get("rgb") if fg is not None else None)


@dataclass(frozen=True)
class Border:
    """Border lines by side: a style name such as "thin", or None."""

    left: str | None = None
    right: str | None = None
    top: str | None = None
    bottom: str | None = None
    color: str | None = None

    @classmethod
    def all(cls, style: str = "thin", color: str | None = None) -> Border:
        return cls(style, style, style, style, color)

    def element(self) -> ET.Element:
        el = ET.Element(_M + "border")
        for side in ("left", "right", "top", "bottom"):
            style = getattr(self, side)
            if style is None:
                _sub(el, side)
                continue
            if style not in BORDER_STYLES:
                raise ValueError(f"border styles are {', '.join(sorted(BORDER_STYLES))}, "
                                 f"not {style!r}")
            line = _sub(el, side, style=style)
            if self.color is None:
                _sub(line, "color", auto="1")
            else:
                _sub(line, "color", rgb=argb(self.color))
        _sub(el, "diagonal")
        return el

    @classmethod
    def from_element(cls, el: ET.Element | None) -> Border:
        if el is None:
            return cls()
        sides: dict[str, Any] = {}
        for side in ("left", "right", "top", "bottom"):
            line = el.find(_M + side)
            sides[side] = line.get("style") if line is not None else None
            if line is not None and sides.get("color") is None:
                color = line.find(_M + "color")
                if color is not None and color.get("rgb"):
                    sides["color"] = color.get("rgb")
        return cls(**sides)


@dataclass(frozen=True)
class Alignment:
    horizontal: str | None = None
    vertical: str | None = None
    wrap_text: bool = False

    def attributes(self) -> dict[str, str]:
        attrs = {}
        if self.horizontal is not None:
            if self.horizontal not in HORIZONTAL:
                raise ValueError(f"horizontal alignment {self.horizontal!r} is not one of "
                                 f"{', '.join(sorted(HORIZONTAL))}")
            attrs["horizontal"] = self.horizontal
        if self.vertical is not None:
            if self.vertical not in VERTICAL:
                raise ValueError(f"vertical alignment {self.vertical!r} is not one of "
                                 f"{', '.join(sorted(VERTICAL))}")
            attrs["vertical"] = self.vertical
        if self.wrap_text:
            attrs["wrapText"] = "1"
        return attrs

    @classmethod
    def from_attributes(cls, attrs: dict[str, str]) -> Alignment:
        return cls(attrs.get("horizontal"), attrs.get("vertical"),
                   attrs.get("wrapText", "0") in ("1", "true"))


# -- the workbook side


def stylesheet_of(cell: Any) -> Any:
    wb = getattr(cell.parent, "parent", None)
    sheet = getattr(wb, "stylesheet", None)
    if sheet is None:
        raise TypeError("styles can be set on cells of a tavrinex.Workbook only")
    return sheet


def _element_index(items: list[ET.Element], el: ET.Element) -> int:
    """Index of an element written the same as `el`, appended when new."""
    key = serialize(el)
    for i, item in enumerate(items):
        if serialize(item) == key:
            return i
    items.append(el)
    return len(items) - 1


def _set(cell: Any, field: int, index: int) -> None:
    style = cell.style_array
    style[field] = index


def _require(value: Any, cls: type, attribute: str, what: str) -> None:
    if not isinstance(value, cls):
        raise TypeError(f"cell.{attribute} takes {what}, not {type(value).__name__}")


def set_font(cell: Any, font: Font) -> None:
    _require(font, Font, "font", "a tavrinex Font")
    _set(cell, _FONT, _element_index(stylesheet_of(cell).fonts, font.element()))


def set_fill(cell: Any, fill: PatternFill) -> None:
    _require(fill, PatternFill, "fill", "a PatternFill")
    sheet = stylesheet_of(cell)
    _set(cell, _FILL, 0 if fill.color is None else _element_index(sheet.fills, fill.element()))


def set_border(cell: Any, border: Border) -> None:
    _require(border, Border, "border", "a Border")
    _set(cell, _BORDER, _element_index(stylesheet_of(cell).borders, border.element()))


def set_alignment(cell: Any, alignment: Alignment) -> None:
    _require(alignment, Alignment, "alignment", "an Alignment")
    attrs = alignment.attributes()
    table = stylesheet_of(cell).alignments
    if not attrs:
        index = 0
    elif attrs in table:
        index = table.index(attrs)
    else:
        table.append(attrs)
        index = len(table) - 1
    _set(cell, _ALIGNMENT, index)


def _entry(cell: Any, field: int, table: list[Any]) -> Any:
    """The entry of `table` the cell's style points at; None when it points
    outside the table."""
    i = cell.style_array[field] if cell.has_style else 0
    return table[i] if 0 <= i < len(table) else None


def font_of(cell: Any) -> Font:
    return Font.from_element(_entry(cell, _FONT, stylesheet_of(cell).fonts))


def fill_of(cell: Any) -> PatternFill:
    return PatternFill.from_element(_entry(cell, _FILL, stylesheet_of(cell).fills))


def border_of(cell: Any) -> Border:
    return Border.from_element(_entry(cell, _BORDER, stylesheet_of(cell).borders))


def alignment_of(cell: Any) -> Alignment:
    return Alignment.from_attributes(_entry(cell, _ALIGNMENT, stylesheet_of(cell).alignments) or {})


def format_id(code: str, custom: dict[int, str]) -> int:
    """The id of number format `code`, added to `custom` when it is new."""
    if not isinstance(code, str) or not code:
        raise ValueError(f"a number format is a non-empty str, not {code!r}")
    for fmt_id, text in BUILTIN_FORMATS.items():
        if text == code:
            return fmt_id
    for fmt_id, text in custom.items():
        if text == code:
            return fmt_id
    fmt_id = max([FIRST_CUSTOM_ID - 1, *custom]) + 1
    custom[fmt_id] = code
    return fmt_id


def set_number_format(cell: Any, code: str) -> None:
    wb = getattr(cell.parent, "parent", None)
    custom = getattr(wb, "number_formats", None)
    if custom is None:
        raise TypeError("number formats can be set on cells of a tavrinex.Workbook only")
    _set(cell, _NUM_FMT, format_id(code, custom))


def default_date_format(value: Any) -> str | None:
    """The number format a date or time value gets when it has none."""
    if isinstance(value, datetime.datetime):
        return DATETIME_FORMAT
    if isinstance(value, datetime.date):
        return DATE_FORMAT
    if isinstance(value, datetime.time):
        return TIME_FORMAT
    if isinstance(value, datetime.timedelta):
        return TIMEDELTA_FORMAT
    return None
