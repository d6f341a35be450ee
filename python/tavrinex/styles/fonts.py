"""Fonts: the <font> entries of the stylesheet."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any
from xml.etree import ElementTree as ET

from tavrinex.utils.elements import (build, check_bool, check_choice, check_number, flag, integer,
                                  main_children, new, num_text, number, short_repr, sub)
from tavrinex.styles.colors import Color, as_color

UNDERLINES = frozenset(("single", "double", "singleAccounting", "doubleAccounting"))
VERT_ALIGNS = frozenset(("superscript", "subscript"))
SCHEMES = frozenset(("major", "minor"))
_FLAGS = (("bold", "b"), ("italic", "i"), ("strike", "strike"), ("condense", "condense"),
          ("extend", "extend"), ("outline", "outline"), ("shadow", "shadow"))


@dataclass(frozen=True, repr=False)
class Font:
    """A font. `underline` is None or one of "single", "double",
    "singleAccounting", "doubleAccounting"; `vert_align` None,
    "superscript" or "subscript"; `color` a Color or a hex text; `scheme`
    None, "major" or "minor" (the theme's heading or body font)."""

    __repr__ = short_repr

    name: str | None = "Calibri"
    size: float | None = 11
    bold: bool = False
    italic: bool = False
    underline: str | None = None
    strike: bool = False
    vert_align: str | None = None
    color: Color | str | None = None
    family: int | None = 2
    charset: int | None = None
    scheme: str | None = None
    outline: bool = False
    shadow: bool = False
    condense: bool = False
    extend: bool = False

    def __post_init__(self) -> None:
        if self.name is not None and (not isinstance(self.name, str)
                                      or not 0 < len(self.name) <= 31):
            raise ValueError(f"font names are texts of 1 to 31 characters, not {self.name!r}")
        check_number(self.size, "a font size", 1, 409, optional=True)
        for attribute, _ in _FLAGS:
            check_bool(getattr(self, attribute), f"Font.{attribute}")
        check_choice(self.underline, UNDERLINES, "Font.underline")
        check_choice(self.vert_align, VERT_ALIGNS, "Font.vert_align")
        check_choice(self.scheme, SCHEMES, "Font.scheme")
        check_number(self.family, "a font family", 0, 14, whole=True, optional=True)
        check_number(self.charset, "a font charset", 0, 255, whole=True, optional=True)
        object.__setattr__(self, "color", as_color(self.color, "a font's colour"))

    def to_element(self, tag: str = "font") -> ET.Element:
        el = new(tag)
        for attribute, child in _FLAGS[:3]:
            if getattr(self, attribute):
                sub(el, child)
        for attribute, child in _FLAGS[3:]:
            if getattr(self, attribute):
                sub(el, child)
        if self.underline is not None:
            sub(el, "u", **({} if self.underline == "single" else {"val": self.underline}))
        if self.vert_align is not None:
            sub(el, "vertAlign", val=self.vert_align)
        if self.size is not None:
            sub(el, "sz", val=num_text(self.size))
        if self.color is not None:
            el.append(self.color.to_element())
        if self.name is not None:
            sub(el, "name", val=self.name)
        if self.family is not None:
            sub(el, "family", val=str(self.family))
        if self.charset is not None:
            sub(el, "charset", val=str(self.charset))
        if self.scheme is not None:
            sub(el, "scheme", val=self.scheme)
        return el

    @classmethod
    def from_element(cls, el: ET.Element) -> Font:
        found = main_children(el)
        values: dict[str, Any] = {}

        def val(child: str) -> str | None:
            return found[child].get("val") if child in found else None

        for attribute, child in _FLAGS:
            values[attribute] = child in found and flag(found[child].get("val"), True)
        underline = val("u") if "u" in found else None
        if "u" in found:
            underline = underline or "single"
            values["underline"] = underline if underline in UNDERLINES else None
        vert = val("vertAlign")
        values["vert_align"] = vert if vert in VERT_ALIGNS else None
        values["size"] = number(val("sz"))
        values["name"] = val("name") if "name" in found else val("rFont")
        values["family"] = integer(val("family"))
        values["charset"] = integer(val("charset"))
        scheme = val("scheme")
        values["scheme"] = scheme if scheme in SCHEMES else None
        values["color"] = Color.from_element(found["color"]) if "color" in found else None
        return build(cls, values)
