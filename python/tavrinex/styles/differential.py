"""Differential styles: the formatting a conditional format or a table
style lays over a cell (the stylesheet's dxfs)."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, fields, replace
from typing import Any
from xml.etree import ElementTree as ET

from tavrinex.utils.elements import M, build, integer, local, new, short_repr, sub
from tavrinex.styles.alignment import Alignment, Protection
from tavrinex.styles.borders import Border
from tavrinex.styles.fills import Fill, GradientFill, PatternFill, fill_from_element
from tavrinex.styles.fonts import Font

# A differential font says only what it changes: the name, size and family
# of Font's defaults are left out when written, and read back as such.
_FONT_DEFAULTS = {"name": Font.name, "size": Font.size, "family": Font.family}


def _check(value: Any, kinds: type | tuple[type, ...], what: str) -> None:
    if value is not None and not isinstance(value, kinds):
        raise TypeError(f"DifferentialStyle.{what} is a {getattr(kinds, '__name__', what)} "
                        f"or None, not {type(value).__name__}")


@dataclass(frozen=True, repr=False)
class DifferentialStyle:
    """What a rule changes in the cells it matches: any of a font, a fill,
    a border, a number format (its text), an alignment and a protection."""

    __repr__ = short_repr

    font: Font | None = None
    fill: Fill | None = None
    border: Border | None = None
    number_format: str | None = None
    alignment: Alignment | None = None
    protection: Protection | None = None

    def __post_init__(self) -> None:
        _check(self.font, Font, "font")
        _check(self.fill, (PatternFill, GradientFill), "fill")
        _check(self.border, Border, "border")
        _check(self.alignment, Alignment, "alignment")
        _check(self.protection, Protection, "protection")
        if self.number_format is not None and (not isinstance(self.number_format, str)
                                               or not self.number_format):
            raise ValueError(f"a number format is a non-empty str, not {self.number_format!r}")

    def to_element(self, format_id: Callable[[str], int] | None = None) -> ET.Element:
        """The <dxf>; `format_id` gives the id of a number format text."""
        el = new("dxf")
        if self.font is not None:
            font = self.font.to_element()
            for name, default in _FONT_DEFAULTS.items():
                if getattr(self.font, name) == default:
                    for child in font.findall(M + ("sz" if name == "size" else name)):
                        font.remove(child)
            el.append(font)
        if self.number_format is not None:
            fmt_id = format_id(self.number_format) if format_id is not None else 164
            sub(el, "numFmt", numFmtId=str(fmt_id), formatCode=self.number_format)
        if self.fill is not None:
            fill = self.fill
            if isinstance(fill, PatternFill) and fill.pattern == "solid" \
                    and fill.bg_color is None and fill.fg_color is not None:
                # Programs take the colour of a solid differential fill from bgColor.
                fill = replace(fill, bg_color=fill.fg_color)
            el.append(fill.to_element())
        if self.alignment is not None:
            el.append(self.alignment.to_element())
        if self.protection is not None:
            el.append(self.protection.to_element())
        if self.border is not None:
            el.append(self.border.to_element())
        return el

    @classmethod
    def from_element(cls, el: ET.Element) -> DifferentialStyle:
        values: dict[str, Any] = {}
        for child in el:
            name = local(child.tag)
            if name == "font" and "font" not in values:
                font = Font.from_element(child)
                absent = {key: default for key, default in _FONT_DEFAULTS.items()
                          if getattr(font, key) is None}
                values["font"] = build(Font, {**vars(font), **absent})
            elif name == "numFmt" and "number_format" not in values:
                values["number_format"] = child.get("formatCode")
                values["_format_id"] = integer(child.get("numFmtId"))
            elif name == "fill" and "fill" not in values:
                fill = fill_from_element(child)
                if isinstance(fill, PatternFill) and fill.pattern == "solid" \
                        and fill.bg_color == fill.fg_color:
                    fill = build(PatternFill, {"fg_color": fill.fg_color, "pattern": "solid"})
                values["fill"] = fill
            elif name == "alignment" and "alignment" not in values:
                values["alignment"] = Alignment.from_element(child)
            elif name == "protection" and "protection" not in values:
                values["protection"] = Protection.from_element(child)
            elif name == "border" and "border" not in values:
                values["border"] = Border.from_element(child)
        values.pop("_format_id", None)
        return build(cls, {f.name: values.get(f.name) for f in fields(cls)})
