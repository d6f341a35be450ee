"""Alignment and protection: the two parts a cell format holds inside it."""

from __future__ import annotations

from dataclasses import dataclass
from xml.etree import ElementTree as ET

from tavrinex.utils.elements import (bool_text, build, check_bool, check_choice, check_number, flag,
                                  integer, new, short_repr)

HORIZONTAL = frozenset(("general", "left", "center", "right", "fill", "justify",
                        "centerContinuous", "distributed"))
VERTICAL = frozenset(("top", "center", "bottom", "justify", "distributed"))
# (attribute, element attribute)
_NUMBERS = (("text_rotation", "textRotation"), ("indent", "indent"),
            ("relative_indent", "relativeIndent"), ("reading_order", "readingOrder"))
_FLAGS = (("wrap_text", "wrapText"), ("justify_last_line", "justifyLastLine"),
          ("shrink_to_fit", "shrinkToFit"))


@dataclass(frozen=True, repr=False)
class Alignment:
    """Where text sits in a cell. `text_rotation` is 0 to 180 degrees (91
    to 180 turn downwards) or 255 (letters stacked); `reading_order` 0
    (by content), 1 (left to right) or 2 (right to left)."""

    __repr__ = short_repr

    horizontal: str | None = None
    vertical: str | None = None
    wrap_text: bool = False
    shrink_to_fit: bool = False
    indent: int = 0
    text_rotation: int = 0
    relative_indent: int = 0
    justify_last_line: bool = False
    reading_order: int = 0

    def __post_init__(self) -> None:
        check_choice(self.horizontal, HORIZONTAL, "a horizontal alignment")
        check_choice(self.vertical, VERTICAL, "a vertical alignment")
        for attribute, _ in _FLAGS:
            check_bool(getattr(self, attribute), f"Alignment.{attribute}")
        check_number(self.indent, "an indent", 0, 250, whole=True)
        check_number(self.relative_indent, "a relative indent", -250, 250, whole=True)
        check_number(self.reading_order, "a reading order", 0, 2, whole=True)
        if self.text_rotation != 255:
            check_number(self.text_rotation, "a text rotation (or 255, stacked)", 0, 180,
                         whole=True)

    def to_element(self) -> ET.Element:
        attributes = {}
        if self.horizontal is not None:
            attributes["horizontal"] = self.horizontal
        if self.vertical is not None:
            attributes["vertical"] = self.vertical
        if self.text_rotation:
            attributes["textRotation"] = str(self.text_rotation)
        for attribute, name in _FLAGS[:1]:
            if getattr(self, attribute):
                attributes[name] = "1"
        for attribute, name in _NUMBERS[1:3]:
            if getattr(self, attribute):
                attributes[name] = str(getattr(self, attribute))
        for attribute, name in _FLAGS[1:]:
            if getattr(self, attribute):
                attributes[name] = "1"
        if self.reading_order:
            attributes["readingOrder"] = str(self.reading_order)
        return new("alignment", attributes)

    @classmethod
    def from_element(cls, el: ET.Element) -> Alignment:
        values: dict[str, object] = {"horizontal": el.get("horizontal"),
                                     "vertical": el.get("vertical")}
        for attribute, name in _FLAGS:
            values[attribute] = flag(el.get(name))
        for attribute, name in _NUMBERS:
            values[attribute] = integer(el.get(name)) or 0
        return build(cls, values)


@dataclass(frozen=True, repr=False)
class Protection:
    """Whether a cell is locked and its formula hidden once the sheet is
    protected."""

    __repr__ = short_repr

    locked: bool = True
    hidden: bool = False

    def __post_init__(self) -> None:
        check_bool(self.locked, "Protection.locked")
        check_bool(self.hidden, "Protection.hidden")

    def to_element(self) -> ET.Element:
        attributes = {}
        if not self.locked:
            attributes["locked"] = bool_text(False)
        if self.hidden:
            attributes["hidden"] = bool_text(True)
        return new("protection", attributes)

    @classmethod
    def from_element(cls, el: ET.Element) -> Protection:
        return build(cls, {"locked": flag(el.get("locked"), True),
                           "hidden": flag(el.get("hidden"))})
