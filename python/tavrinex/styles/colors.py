"""Colours: an ARGB value, a theme colour with a tint, an index into the
workbook's palette, or the automatic colour."""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Any
from xml.etree import ElementTree as ET

from tavrinex.utils.elements import (bool_text, build, check_number, flag, integer, new, num_text,
                                  number, short_repr)

_HEX = re.compile(r"[0-9A-Fa-f]{6}(?:[0-9A-Fa-f]{2})?")


def argb(color: str) -> str:
    """"FF0000" or "80FF0000" as the 8-digit upper-case ARGB text."""
    if not isinstance(color, str) or not _HEX.fullmatch(color.lstrip("#")):
        raise ValueError(f"colours are 6 or 8 hex digits such as 'FF0000', not {color!r}")
    color = color.lstrip("#").upper()
    return color if len(color) == 8 else "FF" + color


@dataclass(frozen=True, repr=False)
class Color:
    """One of `rgb` (6 or 8 hex digits), `theme` (an index into the
    theme's colours), `indexed` (into the palette) or `auto`, with a
    `tint` from -1 (darker) to 1 (lighter)."""

    __repr__ = short_repr

    rgb: str | None = None
    theme: int | None = None
    tint: float = 0.0
    indexed: int | None = None
    auto: bool | None = None

    def __post_init__(self) -> None:
        given = [name for name in ("rgb", "theme", "indexed", "auto")
                 if getattr(self, name) is not None]
        if len(given) != 1:
            raise ValueError("a Color takes one of rgb, theme, indexed or auto, "
                             f"not {', '.join(given) or 'none'}")
        if self.rgb is not None:
            object.__setattr__(self, "rgb", argb(self.rgb))
        check_number(self.theme, "a theme colour", 0, 255, whole=True, optional=True)
        check_number(self.indexed, "a palette index", 0, 65, whole=True, optional=True)
        check_number(self.tint, "a colour's tint", -1, 1)
        if self.auto is not None and not isinstance(self.auto, bool):
            raise TypeError(f"Color.auto is True or False, not {self.auto!r}")

    def to_element(self, tag: str = "color") -> ET.Element:
        attributes: dict[str, str] = {}
        if self.auto is not None:
            attributes["auto"] = bool_text(self.auto)
        if self.indexed is not None:
            attributes["indexed"] = str(self.indexed)
        if self.rgb is not None:
            attributes["rgb"] = self.rgb
        if self.theme is not None:
            attributes["theme"] = str(self.theme)
        if self.tint:
            attributes["tint"] = num_text(self.tint)
        return new(tag, attributes)

    @classmethod
    def from_element(cls, el: ET.Element) -> Color:
        auto = el.get("auto")
        return build(cls, {"rgb": el.get("rgb"), "theme": integer(el.get("theme")),
                           "indexed": integer(el.get("indexed")),
                           "tint": number(el.get("tint")) or 0.0,
                           "auto": None if auto is None else flag(auto)})


def as_color(value: Any, what: str = "a colour") -> Color | None:
    """`value` as a Color: a Color, a hex text such as "FF0000", or None."""
    if value is None or isinstance(value, Color):
        return value
    if isinstance(value, str):
        return Color(rgb=value)
    raise TypeError(f"{what} is a Color or a hex text such as 'FF0000', "
                    f"not {type(value).__name__}")
