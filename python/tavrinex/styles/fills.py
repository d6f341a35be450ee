"""Fills: pattern fills (a solid colour among them) and gradient fills."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any
from xml.etree import ElementTree as ET

from tavrinex.utils.elements import (build, check_choice, check_number, local, new, num_text, number,
                                  short_repr, sub)
from tavrinex.styles.colors import Color, as_color

PATTERNS = frozenset((
    "none", "solid", "mediumGray", "darkGray", "lightGray", "darkHorizontal", "darkVertical",
    "darkDown", "darkUp", "darkGrid", "darkTrellis", "lightHorizontal", "lightVertical",
    "lightDown", "lightUp", "lightGrid", "lightTrellis", "gray125", "gray0625"))
GRADIENT_TYPES = frozenset(("linear", "path"))


@dataclass(frozen=True, repr=False)
class PatternFill:
    """A pattern of `fg_color` over `bg_color`; "solid" (the default) fills
    with `fg_color`, "none" is no fill. `pattern` None leaves the pattern
    to the context (differential styles of conditional formats)."""

    __repr__ = short_repr

    fg_color: Color | str | None = None
    pattern: str | None = "solid"
    bg_color: Color | str | None = None

    def __post_init__(self) -> None:
        check_choice(self.pattern, PATTERNS, "a fill pattern")
        object.__setattr__(self, "fg_color", as_color(self.fg_color, "a fill's colour"))
        object.__setattr__(self, "bg_color", as_color(self.bg_color, "a fill's colour"))

    def to_element(self) -> ET.Element:
        el = new("fill")
        pattern = sub(el, "patternFill", **({} if self.pattern is None
                                            else {"patternType": self.pattern}))
        if self.fg_color is not None:
            pattern.append(self.fg_color.to_element("fgColor"))
        if self.bg_color is not None:
            pattern.append(self.bg_color.to_element("bgColor"))
        return el


@dataclass(frozen=True, repr=False)
class GradientFill:
    """A gradient through `stops`, a sequence of (position from 0 to 1,
    colour): "linear" at `degree`, or "path" from the rectangle that
    `left`, `right`, `top` and `bottom` (0 to 1) inset."""

    __repr__ = short_repr

    type: str = "linear"
    degree: float = 0
    left: float = 0
    right: float = 0
    top: float = 0
    bottom: float = 0
    stops: Any = ()

    def __post_init__(self) -> None:
        check_choice(self.type, GRADIENT_TYPES, "a gradient type", optional=False)
        check_number(self.degree, "a gradient's degree", -360, 360)
        for side in ("left", "right", "top", "bottom"):
            check_number(getattr(self, side), f"GradientFill.{side}", 0, 1)
        if isinstance(self.stops, (str, bytes)) or not hasattr(self.stops, "__iter__"):
            raise TypeError(f"gradient stops are (position, colour) pairs, not {self.stops!r}")
        stops = []
        for stop in self.stops:
            if not isinstance(stop, (tuple, list)) or len(stop) != 2:
                raise TypeError(f"a gradient stop is a (position, colour) pair, not {stop!r}")
            check_number(stop[0], "a gradient stop's position", 0, 1)
            stops.append((stop[0], as_color(stop[1], "a gradient stop's colour")))
        object.__setattr__(self, "stops", tuple(stops))

    def to_element(self) -> ET.Element:
        el = new("fill")
        attributes = {}
        if self.type != "linear":
            attributes["type"] = self.type
        for name in ("degree", "left", "right", "top", "bottom"):
            if getattr(self, name):
                attributes[name] = num_text(getattr(self, name))
        gradient = sub(el, "gradientFill", **attributes)
        for position, color in self.stops:
            stop = sub(gradient, "stop", position=num_text(position))
            if color is not None:
                stop.append(color.to_element())
        return el


Fill = PatternFill | GradientFill


def fill_from_element(el: ET.Element) -> Fill:
    """The fill of a <fill> element (no fill when it holds neither kind)."""
    for child in el:
        if local(child.tag) == "patternFill":
            colors: dict[str, Any] = {}
            for part in child:
                kind = local(part.tag)
                if kind in ("fgColor", "bgColor") and kind not in colors:
                    colors[kind] = Color.from_element(part)
            return build(PatternFill, {"fg_color": colors.get("fgColor"),
                                       "bg_color": colors.get("bgColor"),
                                       "pattern": child.get("patternType")})
        if local(child.tag) == "gradientFill":
            stops = []
            for stop in child:
                if local(stop.tag) != "stop":
                    continue
                color = next((Color.from_element(c) for c in stop if local(c.tag) == "color"),
                             None)
                stops.append((number(stop.get("position")) or 0.0, color))
            values = {name: number(child.get(name)) or 0 for name in
                      ("degree", "left", "right", "top", "bottom")}
            return build(GradientFill, {"type": child.get("type", "linear"),
                                        "stops": tuple(stops), **values})
    return PatternFill(pattern="none")
