"""The style of a cell: its font, fill, border, alignment, protection,
number format and named style, each kept in the workbook's stylesheet
and referred to by index through the cell's style array (the writer
gives each distinct array one cell format id, ``_cell_styles.add``)."""

from __future__ import annotations

import datetime
from typing import Any

from tavrinex.styles.alignment import Alignment, Protection
from tavrinex.styles.borders import Border
from tavrinex.styles.fills import GradientFill, PatternFill
from tavrinex.styles.fonts import Font
from tavrinex.styles.named import NamedStyle
from tavrinex.styles.stylesheet import Stylesheet, format_id

_FONT, _FILL, _BORDER, _NUM_FMT, _PROTECTION, _ALIGNMENT, _XF = 0, 1, 2, 3, 4, 5, 8

# Number formats given to date and time values that have none.
DATETIME_FORMAT = "yyyy-mm-dd h:mm:ss"
DATE_FORMAT = "yyyy-mm-dd"
TIME_FORMAT = "hh:mm:ss"
TIMEDELTA_FORMAT = "[h]:mm:ss"
_DEFAULTS = (Font(), PatternFill(pattern="none"), Border())


def stylesheet_of(cell: Any) -> Stylesheet:
    wb = getattr(cell.parent, "parent", None)
    sheet = getattr(wb, "stylesheet", None)
    if sheet is None:
        raise TypeError("styles can be set on cells of a tavrinex.Workbook only")
    return sheet


def _set(cell: Any, field: int, index: int) -> None:
    cell.style_array[field] = index


def _require(value: Any, kinds: type | tuple[type, ...], attribute: str, what: str) -> None:
    if not isinstance(value, kinds):
        raise TypeError(f"cell.{attribute} takes {what}, not {type(value).__name__}")


def set_font(cell: Any, font: Font) -> None:
    _require(font, Font, "font", "a tavrinex Font")
    _set(cell, _FONT, stylesheet_of(cell).fonts.add(font))


def set_fill(cell: Any, fill: PatternFill | GradientFill) -> None:
    _require(fill, (PatternFill, GradientFill), "fill", "a PatternFill or a GradientFill")
    _set(cell, _FILL, stylesheet_of(cell).fills.add(fill))


def set_border(cell: Any, border: Border) -> None:
    _require(border, Border, "border", "a Border")
    _set(cell, _BORDER, stylesheet_of(cell).borders.add(border))


def set_alignment(cell: Any, alignment: Alignment) -> None:
    _require(alignment, Alignment, "alignment", "an Alignment")
    _set(cell, _ALIGNMENT, stylesheet_of(cell).alignments.add(alignment))


def set_protection(cell: Any, protection: Protection) -> None:
    _require(protection, Protection, "protection", "a Protection")
    _set(cell, _PROTECTION, stylesheet_of(cell).protections.add(protection))


def _index(cell: Any, field: int) -> int:
    style = cell._style if hasattr(cell, "_style") else _read_only_style(cell)
    return style[field] if style is not None else 0


def _read_only_style(cell: Any) -> Any:
    styles = getattr(getattr(cell.parent, "parent", None), "_cell_styles", None)
    i = cell._style_id
    return styles[i] if styles is not None and 0 <= i < len(styles) else None


def _entry(cell: Any, field: int, table: Any, default: Any) -> Any:
    """The entry of `table` the cell's style points at (`default` when it
    points outside the table)."""
    i = _index(cell, field)
    return table[i] if 0 <= i < len(table) else default


def font_of(cell: Any) -> Font:
    return _entry(cell, _FONT, stylesheet_of(cell).fonts, _DEFAULTS[0])  # type: ignore[no-any-return]


def fill_of(cell: Any) -> PatternFill | GradientFill:
    return _entry(cell, _FILL, stylesheet_of(cell).fills, _DEFAULTS[1])  # type: ignore[no-any-return]


def border_of(cell: Any) -> Border:
    return _entry(cell, _BORDER, stylesheet_of(cell).borders, _DEFAULTS[2])  # type: ignore[no-any-return]


def alignment_of(cell: Any) -> Alignment:
    return _entry(cell, _ALIGNMENT, stylesheet_of(cell).alignments, Alignment())  # type: ignore[no-any-return]


def protection_of(cell: Any) -> Protection:
    return _entry(cell, _PROTECTION, stylesheet_of(cell).protections, Protection())  # type: ignore[no-any-return]


def set_named_style(cell: Any, style: NamedStyle | str) -> None:
    """Give the cell a named style and, with it, the style's formatting."""
    _, array = stylesheet_of(cell).named_style_xf(style)
    current = cell.style_array
    for field in (_FONT, _FILL, _BORDER, _NUM_FMT, _PROTECTION, _ALIGNMENT, _XF):
        current[field] = array[field]


def named_style_of(cell: Any) -> str:
    return stylesheet_of(cell).style_name(_index(cell, _XF))


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
