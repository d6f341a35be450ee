"""The chart model: chart kinds, their series and the ranges they draw.

Ranges are kept as formula text ("'Data'!$B$2:$B$7"), so that inserting
rows or renaming a sheet rewrites them as it rewrites cell formulas.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Any, ClassVar

from tavrinex.formula.rewrite import quote_sheet
from tavrinex.utils.cell import get_column_letter

LEGEND_POSITIONS = {"right": "r", "left": "l", "top": "t", "bottom": "b"}
_COLOR = re.compile(r"[0-9A-Fa-f]{6}\Z")
_RANGE_TEXT = re.compile(r"(?:'(?:[^']|'')+'|[^'!:\s]+(?::[^'!:\s]+)?)!"
                         r"\$?[A-Za-z]{1,3}\$?[0-9]+(?::\$?[A-Za-z]{1,3}\$?[0-9]+)?\Z")


class Reference:
    """A range of a worksheet for a chart: columns min_col..max_col and rows
    min_row..max_row (1-based; the maxima default to the minima). `ws` is
    a worksheet or a sheet title."""

    def __init__(self, ws: Any, min_col: int, min_row: int, max_col: int | None = None,
                 max_row: int | None = None) -> None:
        title = ws if isinstance(ws, str) else getattr(ws, "title", None)
        if not isinstance(title, str):
            raise TypeError(f"a Reference takes a worksheet or a sheet title, not {ws!r}")
        self.title: str = title
        max_col = min_col if max_col is None else max_col
        max_row = min_row if max_row is None else max_row
        for name, value, limit in (("min_col", min_col, 16_384), ("min_row", min_row, 1_048_576),
                                   ("max_col", max_col, 16_384), ("max_row", max_row, 1_048_576)):
            if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= limit:
                raise ValueError(f"{name} runs from 1 to {limit}, not {value!r}")
        if max_col < min_col or max_row < min_row:
            raise ValueError(f"a Reference runs from its minima to its maxima, not from "
                             f"({min_col}, {min_row}) to ({max_col}, {max_row})")
        self.min_col, self.min_row, self.max_col, self.max_row = min_col, min_row, max_col, max_row

    @property
    def single_cell(self) -> bool:
        return (self.min_col, self.min_row) == (self.max_col, self.max_row)

    def __str__(self) -> str:
        first = f"${get_column_letter(self.min_col)}${self.min_row}"
        last = f"${get_column_letter(self.max_col)}${self.max_row}"
        return f"{quote_sheet(self.title)}!{first}" + ("" if self.single_cell else f":{last}")

    def __repr__(self) -> str:
        return f"Reference({str(self)!r})"


def _range_text(value: Any, what: str) -> str:
    if isinstance(value, Reference):
        return str(value)
    if isinstance(value, str):
        text = value[1:] if value.startswith("=") else value
        if _RANGE_TEXT.match(text):
            return text
        raise ValueError(f"{what} is a range of a sheet such as \"'Data'!$B$2:$B$7\", "
                         f"not {value!r}")
    raise TypeError(f"{what} is a Reference or a range text, not {type(value).__name__}")


@dataclass
class Series:
    """One series: the range of its values, of its categories (x values
    for a scatter chart), its name (a text, or the range of one cell
    holding it) and its colour ("RRGGBB")."""

    values: str
    categories: str | None = None
    title: str | None = None
    title_ref: str | None = None
    color: str | None = None

    def ranges(self) -> list[str]:
        return [r for r in (self.values, self.categories, self.title_ref) if r]


def _series(values: Any, categories: Any, title: Any, color: Any) -> Series:
    vals = _range_text(values, "values")
    cats = None if categories is None else _range_text(categories, "categories")
    title_text = title_ref = None
    if isinstance(title, Reference):
        if not title.single_cell:
            raise ValueError(f"a series title is one cell, not {title}")
        title_ref = str(title)
    elif isinstance(title, str) or title is None:
        title_text = title
    else:
        raise TypeError(f"a series title is a text or a one-cell Reference, not {title!r}")
    if color is not None:
        if not isinstance(color, str) or not _COLOR.match(color.lstrip("#")):
            raise ValueError(f"a series colour is 'RRGGBB' hex, not {color!r}")
        color = color.lstrip("#").upper()
    return Series(vals, cats, title_text, title_ref, color)


def _choice(name: str, value: Any, allowed: Any) -> Any:
    if value not in allowed:
        options = ", ".join(repr(a) for a in allowed)
        raise ValueError(f"{name} is one of {options}, not {value!r}")
    return value


class Chart:
    """What every chart has: a title, a legend position ("right", "left",
    "top", "bottom", or None for no legend), its series and its size in
    pixels."""

    kind: ClassVar[str] = ""
    has_axes: ClassVar[bool] = False

    def __init__(self, title: str | None = None, legend: str | None = "right",
                 width: int = 480, height: int = 288) -> None:
        if title is not None and not isinstance(title, str):
            raise TypeError(f"a chart title is a text, not {title!r}")
        self.title = title
        self.legend = _choice("legend", legend, [*LEGEND_POSITIONS, None])
        for name, value in (("width", width), ("height", height)):
            if isinstance(value, bool) or not isinstance(value, int) or value <= 0:
                raise ValueError(f"chart {name} is a positive number of pixels, not {value!r}")
        self.width, self.height = width, height
        self.series: list[Series] = []
        self.anchor: str | None = None     # set by Worksheet.add_chart

    def add_series(self, values: Any, categories: Any = None, title: Any = None,
                   color: str | None = None) -> Series:
        """A series of the `values` range (a Reference or a range text),
        with optional `categories` range, `title` (text or one-cell
        Reference) and `color` ("RRGGBB")."""
        series = _series(values, categories, title, color)
        self.series.append(series)
        return series

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.title!r} with {len(self.series)} series>"


class _AxisChart(Chart):
    has_axes = True

    def __init__(self, title: str | None = None, legend: str | None = "right",
                 x_title: str | None = None, y_title: str | None = None,
                 y_number_format: str | None = None, width: int = 480,
                 height: int = 288) -> None:
        super().__init__(title, legend, width, height)
        for name, value in (("x_title", x_title), ("y_title", y_title),
                            ("y_number_format", y_number_format)):
            if value is not None and not isinstance(value, str):
                raise TypeError(f"{name} is a text, not {value!r}")
        self.x_title, self.y_title, self.y_number_format = x_title, y_title, y_number_format


_GROUPINGS = ("standard", "stacked", "percentStacked")


class BarChart(_AxisChart):
    """Bars: upright columns (`direction` "col") or horizontal bars ("bar"),
    side by side ("clustered"), stacked or stacked to 100%
    ("percentStacked")."""

    kind = "bar"

    def __init__(self, direction: str = "col", grouping: str = "clustered",
                 **options: Any) -> None:
        super().__init__(**options)
        self.direction = _choice("direction", direction, ("col", "bar"))
        self.grouping = _choice("grouping", grouping, ("clustered", "stacked", "percentStacked"))


class LineChart(_AxisChart):
    """Lines through the values of each series, at the categories."""

    kind = "line"

    def __init__(self, grouping: str = "standard", **options: Any) -> None:
        super().__init__(**options)
        self.grouping = _choice("grouping", grouping, _GROUPINGS)


class AreaChart(_AxisChart):
    """Filled areas under the values of each series."""

    kind = "area"

    def __init__(self, grouping: str = "standard", **options: Any) -> None:
        super().__init__(**options)
        self.grouping = _choice("grouping", grouping, _GROUPINGS)


class PieChart(Chart):
    """One pie; each value of the (first) series a slice."""

    kind = "pie"


class DoughnutChart(PieChart):
    """A pie with a hole (`hole_size`, percent of the diameter, 10-90)."""

    kind = "doughnut"

    def __init__(self, hole_size: int = 50, **options: Any) -> None:
        super().__init__(**options)
        if isinstance(hole_size, bool) or not isinstance(hole_size, int) \
                or not 10 <= hole_size <= 90:
            raise ValueError(f"hole_size runs from 10 to 90, not {hole_size!r}")
        self.hole_size = hole_size


class ScatterChart(_AxisChart):
    """Points at (x, y): each series a range of y values over a range of x
    values, drawn as markers (`lines`: joined by lines as well)."""

    kind = "scatter"

    def __init__(self, lines: bool = False, **options: Any) -> None:
        super().__init__(**options)
        self.lines = bool(lines)

    def add_series(self, y_values: Any, x_values: Any = None, title: Any = None,
                   color: str | None = None) -> Series:
        """A series of `y_values` over `x_values` (ranges: Reference or text)."""
        if x_values is None:
            raise TypeError("a scatter series needs its x values")
        return super().add_series(y_values, x_values, title, color)


@dataclass(frozen=True)
class ReadChart:
    """A chart read from a file, kept as it was: its kind ("bar", "line",
    "area", "pie", "doughnut", "scatter", or the element name of another
    kind), its title text (None without one), its series and its anchor."""

    kind: str
    title: str | None
    series: tuple[Series, ...] = field(default=())
    anchor: str | None = None
    part: str | None = None
