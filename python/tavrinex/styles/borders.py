"""Borders: a line style and colour for each side of a cell."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any
from xml.etree import ElementTree as ET

from tavrinex.utils.elements import (bool_text, build, check_bool, check_choice, flag, local,
                                  main_children, new, short_repr)
from tavrinex.styles.colors import Color, as_color

BORDER_STYLES = frozenset((
    "thin", "medium", "dashed", "dotted", "thick", "double", "hair", "mediumDashed", "dashDot",
    "mediumDashDot", "dashDotDot", "mediumDashDotDot", "slantDashDot"))
_SIDES = ("left", "right", "top", "bottom", "diagonal")
_INNER = ("vertical", "horizontal")


@dataclass(frozen=True, repr=False)
class Side:
    """One side's line: `style` None (no line) or one of the 13 border
    styles, and its colour."""

    __repr__ = short_repr

    style: str | None = None
    color: Color | str | None = None

    def __post_init__(self) -> None:
        check_choice(self.style, BORDER_STYLES, "a border style")
        object.__setattr__(self, "color", as_color(self.color, "a border's colour"))

    def to_element(self, tag: str) -> ET.Element:
        el = new(tag, {"style": self.style} if self.style is not None else None)
        if self.color is not None:
            el.append(self.color.to_element())
        return el

    @classmethod
    def from_element(cls, el: ET.Element) -> Side:
        color = next((c for c in el if local(c.tag) == "color"), None)
        return build(cls, {"style": el.get("style"),
                           "color": Color.from_element(color) if color is not None else None})


def _side(value: Any, name: str, optional: bool = False) -> Side | None:
    if value is None:
        return None if optional else Side()
    if isinstance(value, Side):
        return value
    if isinstance(value, str):
        return Side(value)
    raise TypeError(f"Border.{name} is a Side or a border style text, not {value!r}")


@dataclass(frozen=True, repr=False)
class Border:
    """The sides of a cell's border (each a Side, or a style text such as
    "thin"); `diagonal` is drawn up and/or down as `diagonal_up` and
    `diagonal_down` say; `vertical` and `horizontal` are the inner lines
    of a range (None: not given)."""

    __repr__ = short_repr

    left: Side | str | None = Side()
    right: Side | str | None = Side()
    top: Side | str | None = Side()
    bottom: Side | str | None = Side()
    diagonal: Side | str | None = Side()
    diagonal_up: bool = False
    diagonal_down: bool = False
    outline: bool = True
    vertical: Side | str | None = None
    horizontal: Side | str | None = None

    def __post_init__(self) -> None:
        for name in _SIDES:
            object.__setattr__(self, name, _side(getattr(self, name), name))
        for name in _INNER:
            object.__setattr__(self, name, _side(getattr(self, name), name, optional=True))
        for name in ("diagonal_up", "diagonal_down", "outline"):
            check_bool(getattr(self, name), f"Border.{name}")

    @classmethod
    def all(cls, style: str = "thin", color: Color | str | None = None) -> Border:
        """The same line on the four outer sides."""
        side = Side(style, color)
        return cls(side, side, side, side)

    def to_element(self) -> ET.Element:
        attributes = {}
        if self.diagonal_up:
            attributes["diagonalUp"] = "1"
        if self.diagonal_down:
            attributes["diagonalDown"] = "1"
        if not self.outline:
            attributes["outline"] = bool_text(False)
        el = new("border", attributes)
        for name in _SIDES + _INNER:
            side = getattr(self, name)
            if side is not None:
                el.append(side.to_element(name))
        return el

    @classmethod
    def from_element(cls, el: ET.Element) -> Border:
        found = main_children(el)
        values: dict[str, Any] = {}
        for name, alias in (("left", "start"), ("right", "end")):
            part = found.get(name, found.get(alias))
            values[name] = Side.from_element(part) if part is not None else Side()
        for name in _SIDES[2:]:
            values[name] = Side.from_element(found[name]) if name in found else Side()
        for name in _INNER:
            values[name] = Side.from_element(found[name]) if name in found else None
        values["diagonal_up"] = flag(el.get("diagonalUp"))
        values["diagonal_down"] = flag(el.get("diagonalDown"))
        values["outline"] = flag(el.get("outline"), True)
        return build(cls, values)
