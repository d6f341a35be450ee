"""Conditional formats: rules over ranges of cells, each laying a
differential style over the cells it matches (or drawing a colour scale,
a data bar or icons).

Rules are immutable values. A rule read from a file keeps the attributes
and children the model does not name (Excel's extensions of data bars,
for one) and writes them back; they take no part in comparisons.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any, ClassVar
from xml.etree import ElementTree as ET

from tavrinex.styles.colors import Color, as_color
from tavrinex.styles.differential import DifferentialStyle
from tavrinex.utils.cell import get_column_letter
from tavrinex.utils.elements import flag, integer, local, new, num_text, sub
from tavrinex.utils.ranges import multi_range, range_bounds

OPERATORS = frozenset(("between", "notBetween", "equal", "notEqual", "greaterThan", "lessThan",
                       "greaterThanOrEqual", "lessThanOrEqual"))
VALUE_KINDS = frozenset(("min", "max", "num", "percent", "percentile", "formula"))
ICON_STYLES = frozenset((
    "3Arrows", "3ArrowsGray", "3Flags", "3TrafficLights1", "3TrafficLights2", "3Signs",
    "3Symbols", "3Symbols2", "4Arrows", "4ArrowsGray", "4RedToBlack", "4Rating",
    "4TrafficLights", "5Arrows", "5ArrowsGray", "5Rating", "5Quarters"))
_NUMBER = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")

Point = tuple[str, Any]                 # (kind, value)
ColorPoint = tuple[str, Any, Color | str]   # (kind, value, colour)
DxfId = Callable[[DifferentialStyle], int]


def _value(kind: Any, value: Any, what: str) -> Any:
    """A point's value as stored: None for min and max, numbers as numbers."""
    if kind not in VALUE_KINDS:
        raise ValueError(f"{what}'s kind is one of {', '.join(sorted(VALUE_KINDS))}, "
                         f"not {kind!r}")
    if kind in ("min", "max"):
        if value is not None:
            raise ValueError(f"{what} of kind {kind!r} takes the value None, not {value!r}")
        return None
    if isinstance(value, bool) or value is None:
        raise TypeError(f"{what} of kind {kind!r} needs a number or a formula, not {value!r}")
    if isinstance(value, (int, float)):
        return value
    if isinstance(value, str) and value.strip():
        if kind != "formula" and _NUMBER.fullmatch(value.strip()):
            parsed = float(value)
            return int(parsed) if parsed.is_integer() and "." not in value else parsed
        return value[1:] if value.startswith("=") else value
    raise TypeError(f"{what} of kind {kind!r} needs a number or a formula, not {value!r}")


def _point(point: Any, what: str) -> Point:
    if not isinstance(point, (tuple, list)) or len(point) != 2:
        raise TypeError(f"{what} is a (kind, value) pair, not {point!r}")
    return point[0], _value(point[0], point[1], what)


def _color_point(point: Any, what: str) -> ColorPoint:
    if not isinstance(point, (tuple, list)) or len(point) != 3:
        raise TypeError(f"{what} is a (kind, value, colour) triple, not {point!r}")
    color = as_color(point[2], f"{what}'s colour")
    if color is None:
        raise TypeError(f"{what} needs a colour")
    return point[0], _value(point[0], point[1], what), color


def _style(style: Any, rule: str) -> None:
    if style is not None and not isinstance(style, DifferentialStyle):
        raise TypeError(f"{rule}.style is a DifferentialStyle or None, not "
                        f"{type(style).__name__}")


def _formula_text(value: Any, what: str) -> str:
    if isinstance(value, bool):
        raise TypeError(f"{what} is a formula text or a number, not {value!r}")
    if isinstance(value, (int, float)):
        return num_text(value)
    if not isinstance(value, str) or not value.strip("= "):
        raise ValueError(f"{what} is a formula text or a number, not {value!r}")
    return value[1:] if value.startswith("=") else value


def _cfvo(parent: ET.Element, kind: str, value: Any) -> None:
    el = sub(parent, "cfvo", type=kind)
    if value is not None:
        el.set("val", num_text(value) if isinstance(value, (int, float)) else value)


def _read_cfvo(el: ET.Element) -> Point:
    kind = el.get("type", "num")
    text = el.get("val")
    if kind in ("min", "max") or text is None:
        return kind, None
    if kind != "formula" and _NUMBER.fullmatch(text.strip()):
        parsed = float(text)
        return kind, int(parsed) if parsed.is_integer() and "." not in text else parsed
    return kind, text


@dataclass(frozen=True)
class Rule:
    """What every rule has: `stop_if_true` stops the rules after it for the
    cells it matches. The kept attributes and children of a file's rule
    are `extra` and `children`."""

    type: ClassVar[str] = ""
    stop_if_true: bool = field(default=False, kw_only=True)
    extra: tuple[tuple[str, str], ...] = field(default=(), kw_only=True, compare=False,
                                               repr=False)
    children: tuple[ET.Element, ...] = field(default=(), kw_only=True, compare=False,
                                             repr=False)

    def _element(self, priority: int, dxf_id: DxfId, first: str) -> ET.Element:
        el = new("cfRule", {"type": self.type})
        style = getattr(self, "style", None)
        if style is not None:
            el.set("dxfId", str(dxf_id(style)))
        el.set("priority", str(priority))
        if self.stop_if_true:
            el.set("stopIfTrue", "1")
        self._fill(el, first)
        el.attrib.update(dict(self.extra))
        el.extend(self.children)
        return el

    def _fill(self, el: ET.Element, first: str) -> None:
        raise NotImplementedError


@dataclass(frozen=True)
class CellIs(Rule):
    """Cells whose value meets `operator` with `formulas` (one, or two for
    "between" and "notBetween")."""

    type: ClassVar[str] = "cellIs"
    operator: str
    formulas: Any
    style: DifferentialStyle | None = None

    def __post_init__(self) -> None:
        if self.operator not in OPERATORS:
            raise ValueError(f"a CellIs operator is one of {', '.join(sorted(OPERATORS))}, "
                             f"not {self.operator!r}")
        formulas = self.formulas
        if isinstance(formulas, (str, int, float)):
            formulas = (formulas,)
        formulas = tuple(_formula_text(f, "a CellIs formula") for f in formulas)
        want = 2 if self.operator in ("between", "notBetween") else 1
        if len(formulas) != want:
            raise ValueError(f"operator {self.operator!r} takes {want} formula"
                             f"{'s' if want > 1 else ''}, not {len(formulas)}")
        object.__setattr__(self, "formulas", formulas)
        _style(self.style, "CellIs")

    def _fill(self, el: ET.Element, first: str) -> None:
        el.set("operator", self.operator)
        for formula in self.formulas:
            sub(el, "formula").text = formula


@dataclass(frozen=True)
class Expression(Rule):
    """Cells for which `formula` (written for the range's first cell) is true."""

    type: ClassVar[str] = "expression"
    formula: str
    style: DifferentialStyle | None = None

    def __post_init__(self) -> None:
        object.__setattr__(self, "formula", _formula_text(self.formula, "an Expression formula"))
        _style(self.style, "Expression")

    def _fill(self, el: ET.Element, first: str) -> None:
        sub(el, "formula").text = self.formula


@dataclass(frozen=True)
class ColorScale(Rule):
    """A colour scale through two or three points, each (kind, value,
    colour): kind "min", "max" (value None), "num", "percent",
    "percentile" or "formula"."""

    type: ClassVar[str] = "colorScale"
    start: ColorPoint
    end: ColorPoint
    mid: ColorPoint | None = None

    def __post_init__(self) -> None:
        object.__setattr__(self, "start", _color_point(self.start, "a colour scale's start"))
        object.__setattr__(self, "end", _color_point(self.end, "a colour scale's end"))
        if self.mid is not None:
            object.__setattr__(self, "mid", _color_point(self.mid, "a colour scale's mid"))

    def _points(self) -> list[ColorPoint]:
        return [p for p in (self.start, self.mid, self.end) if p is not None]

    def _fill(self, el: ET.Element, first: str) -> None:
        scale = sub(el, "colorScale")
        points = self._points()
        for kind, value, _ in points:
            _cfvo(scale, kind, value)
        for _, _, color in points:
            assert isinstance(color, Color)   # made one by __post_init__
            scale.append(color.to_element())


@dataclass(frozen=True)
class DataBar(Rule):
    """A bar of `color` in each cell, from the `start` to the `end`
    point, each (kind, value)."""

    type: ClassVar[str] = "dataBar"
    color: Color | str
    start: Point = ("min", None)
    end: Point = ("max", None)
    # Attributes of a file's <dataBar> (lengths, showValue), kept as read.
    bar_attributes: tuple[tuple[str, str], ...] = field(default=(), kw_only=True,
                                                         compare=False, repr=False)

    def __post_init__(self) -> None:
        color = as_color(self.color, "a data bar's colour")
        if color is None:
            raise TypeError("a data bar needs a colour")
        object.__setattr__(self, "color", color)
        object.__setattr__(self, "start", _point(self.start, "a data bar's start"))
        object.__setattr__(self, "end", _point(self.end, "a data bar's end"))

    def _fill(self, el: ET.Element, first: str) -> None:
        bar = sub(el, "dataBar", **dict(self.bar_attributes))
        for kind, value in (self.start, self.end):
            _cfvo(bar, kind, value)
        assert isinstance(self.color, Color)
        bar.append(self.color.to_element())


@dataclass(frozen=True)
class IconSet(Rule):
    """Icons of `icon_style` ("3TrafficLights1", ...) by `thresholds`,
    one (kind, value) for each icon, the first usually ("percent", 0)."""

    type: ClassVar[str] = "iconSet"
    icon_style: str
    thresholds: Any
    reverse: bool = False
    show_value: bool = True

    def __post_init__(self) -> None:
        if self.icon_style not in ICON_STYLES:
            raise ValueError(f"an icon style is one of {', '.join(sorted(ICON_STYLES))}, "
                             f"not {self.icon_style!r}")
        if isinstance(self.thresholds, (str, bytes)) or not hasattr(self.thresholds,
                                                                    "__iter__"):
            raise TypeError(f"icon thresholds are (kind, value) pairs, not {self.thresholds!r}")
        points = tuple(_point(p, "an icon threshold") for p in self.thresholds)
        want = int(self.icon_style[0])
        if len(points) != want:
            raise ValueError(f"icon style {self.icon_style!r} takes {want} thresholds, "
                             f"not {len(points)}")
        object.__setattr__(self, "thresholds", points)
        for name in ("reverse", "show_value"):
            if not isinstance(getattr(self, name), bool):
                raise TypeError(f"IconSet.{name} is True or False, not {getattr(self, name)!r}")

    def _fill(self, el: ET.Element, first: str) -> None:
        icons = sub(el, "iconSet", iconSet=self.icon_style)
        if not self.show_value:
            icons.set("showValue", "0")
        if self.reverse:
            icons.set("reverse", "1")
        for kind, value in self.thresholds:
            _cfvo(icons, kind, value)


@dataclass(frozen=True)
class Top10(Rule):
    """The `rank` highest values (lowest with `bottom`; a percentage of
    the cells with `percent`)."""

    type: ClassVar[str] = "top10"
    rank: int
    style: DifferentialStyle | None = None
    percent: bool = False
    bottom: bool = False

    def __post_init__(self) -> None:
        for name in ("percent", "bottom"):
            if not isinstance(getattr(self, name), bool):
                raise TypeError(f"Top10.{name} is True or False, not {getattr(self, name)!r}")
        limit = 100 if self.percent else 1000
        if isinstance(self.rank, bool) or not isinstance(self.rank, int):
            raise TypeError(f"Top10.rank is a whole number, not {self.rank!r}")
        if not 1 <= self.rank <= limit:
            raise ValueError(f"Top10.rank runs from 1 to {limit}"
                             f"{' (percent)' if self.percent else ''}, not {self.rank}")
        _style(self.style, "Top10")

    def _fill(self, el: ET.Element, first: str) -> None:
        if self.percent:
            el.set("percent", "1")
        if self.bottom:
            el.set("bottom", "1")
        el.set("rank", str(self.rank))


@dataclass(frozen=True)
class Duplicates(Rule):
    """Values that occur more than once in the range."""

    type: ClassVar[str] = "duplicateValues"
    style: DifferentialStyle | None = None

    def __post_init__(self) -> None:
        _style(self.style, "Duplicates")

    def _fill(self, el: ET.Element, first: str) -> None:
        pass


@dataclass(frozen=True)
class ContainsText(Rule):
    """Cells whose text contains `text` (whatever the case)."""

    type: ClassVar[str] = "containsText"
    text: str
    style: DifferentialStyle | None = None

    def __post_init__(self) -> None:
        if not isinstance(self.text, str) or not self.text:
            raise ValueError(f"ContainsText.text is a non-empty str, not {self.text!r}")
        _style(self.style, "ContainsText")

    def _fill(self, el: ET.Element, first: str) -> None:
        el.set("operator", "containsText")
        el.set("text", self.text)
        quoted = self.text.replace('"', '""')
        sub(el, "formula").text = f'NOT(ISERROR(SEARCH("{quoted}",{first})))'


@dataclass(frozen=True)
class OtherRule(Rule):
    """A rule of a kind the model does not name, as a file has it."""

    kind: str
    style: DifferentialStyle | None = None

    @property
    def type(self) -> str:  # type: ignore[override]
        return self.kind

    def _fill(self, el: ET.Element, first: str) -> None:
        el.set("type", self.kind)


RULES: dict[str, type[Rule]] = {cls.type: cls for cls in (
    CellIs, Expression, ColorScale, DataBar, IconSet, Top10, Duplicates, ContainsText)}


class ConditionalFormat:
    """The rules of one range list, in priority order; unpacks as
    ``ranges, rules``."""

    def __init__(self, ranges: Any, rules: Iterable[Rule] = ()) -> None:
        self.ranges = multi_range(ranges, "a conditional format's ranges")
        self.rules: list[Rule] = []
        for rule in rules:
            self.add(rule)
        self.extra: dict[str, str] = {}
        self.children: list[ET.Element] = []

    def add(self, rule: Rule) -> None:
        if not isinstance(rule, Rule):
            raise TypeError(f"conditional formats take rules of tavrinex.rules, not "
                            f"{type(rule).__name__}")
        self.rules.append(rule)

    def __iter__(self) -> Iterator[Any]:
        return iter((self.ranges, self.rules))

    def __eq__(self, other: object) -> bool:
        if isinstance(other, ConditionalFormat):
            return (self.ranges, self.rules) == (other.ranges, other.rules)
        if isinstance(other, tuple) and len(other) == 2:
            return (self.ranges, list(self.rules)) == (other[0], list(other[1]))
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"ConditionalFormat({self.ranges!r}, {self.rules!r})"

    def snapshot(self) -> tuple[Any, ...]:
        return self.ranges, tuple(self.rules)

    def element(self, priorities: Iterator[int], dxf_id: DxfId) -> ET.Element:
        el = new("conditionalFormatting", {**self.extra, "sqref": self.ranges})
        r1, c1, _, _ = range_bounds(self.ranges.split()[0])
        first = f"{get_column_letter(c1)}{r1}"
        for rule in self.rules:
            el.append(rule._element(next(priorities), dxf_id, first))
        el.extend(self.children)
        return el


def read_rule(el: ET.Element, dxf: Callable[[int], DifferentialStyle | None]
              ) -> tuple[int, Rule]:
    """(priority, rule) of a <cfRule>; `dxf` gives the style of a dxfId."""
    kind = el.get("type", "")
    dxf_id = integer(el.get("dxfId"))
    style = dxf(dxf_id) if dxf_id is not None else None
    priority = integer(el.get("priority")) or 0
    known = {"type", "dxfId", "priority", "stopIfTrue"}
    values: dict[str, Any] = {"stop_if_true": flag(el.get("stopIfTrue"))}
    formulas = [(c.text or "") for c in el if local(c.tag) == "formula"]
    body = {local(c.tag): c for c in el if local(c.tag) in ("colorScale", "dataBar", "iconSet")}
    try:
        rule = _read_known(kind, el, style, formulas, body, values, known)
    except (ValueError, TypeError):
        rule = None
    if rule is None:
        known = {"type", "dxfId", "priority", "stopIfTrue"}
        rule = OtherRule(kind=kind, style=style, stop_if_true=values["stop_if_true"])
        children = list(el)
    else:
        taken = {"formula"} | set(body)
        children = [c for c in el if local(c.tag) not in taken]
    extra = tuple((k, v) for k, v in el.attrib.items() if k not in known)
    object.__setattr__(rule, "extra", extra)
    object.__setattr__(rule, "children", tuple(children))
    return priority, rule


def _read_known(kind: str, el: ET.Element, style: Any, formulas: list[str],
                body: dict[str, ET.Element], values: dict[str, Any], known: set[str]
                ) -> Rule | None:
    stop = values["stop_if_true"]
    if kind == "cellIs":
        known.add("operator")
        return CellIs(el.get("operator", ""), tuple(formulas), style, stop_if_true=stop)
    if kind == "expression" and len(formulas) == 1:
        return Expression(formulas[0], style, stop_if_true=stop)
    if kind == "top10":
        known.update(("rank", "percent", "bottom"))
        return Top10(integer(el.get("rank")) or 10, style, flag(el.get("percent")),
                     flag(el.get("bottom")), stop_if_true=stop)
    if kind == "duplicateValues":
        return Duplicates(style, stop_if_true=stop)
    if kind == "containsText" and el.get("text") is not None:
        known.update(("operator", "text"))
        return ContainsText(el.get("text", ""), style, stop_if_true=stop)
    part = body.get(kind)
    if part is None:
        return None
    cfvos = [_read_cfvo(c) for c in part if local(c.tag) == "cfvo"]
    colors = [Color.from_element(c) for c in part if local(c.tag) == "color"]
    if kind == "colorScale" and len(cfvos) in (2, 3) and len(colors) == len(cfvos):
        points = [(k, v, c) for (k, v), c in zip(cfvos, colors)]
        return ColorScale(points[0], points[-1], points[1] if len(points) == 3 else None,
                          stop_if_true=stop)
    if kind == "dataBar" and len(cfvos) == 2 and len(colors) == 1:
        return DataBar(colors[0], cfvos[0], cfvos[1], stop_if_true=stop,
                       bar_attributes=tuple(part.attrib.items()))
    if kind == "iconSet" and set(part.attrib) <= {"iconSet", "showValue", "reverse"}:
        return IconSet(part.get("iconSet", "3TrafficLights1"), cfvos,
                       flag(part.get("reverse")), flag(part.get("showValue"), True),
                       stop_if_true=stop)
    return None


def read_conditional_format(el: ET.Element, dxf: Callable[[int], DifferentialStyle | None]
                            ) -> tuple[int, ConditionalFormat]:
    """(priority of its first rule, the format) of a <conditionalFormatting>,
    its rules in priority order."""
    found = ConditionalFormat.__new__(ConditionalFormat)
    found.ranges = el.get("sqref", "")
    found.extra = {k: v for k, v in el.attrib.items() if k != "sqref"}
    found.children = [c for c in el if local(c.tag) != "cfRule"]
    pairs = sorted((read_rule(c, dxf) for c in el if local(c.tag) == "cfRule"),
                   key=lambda pair: pair[0])
    found.rules = [rule for _, rule in pairs]
    return (pairs[0][0] if pairs else 0), found


__all__ = ["CellIs", "ColorScale", "ConditionalFormat", "ContainsText", "DataBar",
           "Duplicates", "Expression", "IconSet", "OtherRule", "Rule", "Top10"]
