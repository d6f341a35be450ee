"""Named cell styles ("Normal", "Good", "Heading 1", ...): a name over a
whole format, which cells take with ``cell.style = "Good"``."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from tavrinex.utils.elements import check_bool, check_number, short_repr
from tavrinex.styles.alignment import Alignment, Protection
from tavrinex.styles.borders import Border, Side
from tavrinex.styles.colors import Color
from tavrinex.styles.fills import Fill, GradientFill, PatternFill
from tavrinex.styles.fonts import Font

NO_FILL = PatternFill(pattern="none")


@dataclass(frozen=True, repr=False)
class NamedStyle:
    """A named cell style. `builtin_id` marks one of the styles that
    spreadsheet programs know by number (Normal is 0)."""

    __repr__ = short_repr

    name: str
    font: Font = Font()
    fill: Fill = NO_FILL
    border: Border = Border()
    alignment: Alignment = Alignment()
    protection: Protection = Protection()
    number_format: str = "General"
    builtin_id: int | None = None
    hidden: bool = False

    def __post_init__(self) -> None:
        if not isinstance(self.name, str) or not 0 < len(self.name) <= 255:
            raise ValueError(f"style names are texts of 1 to 255 characters, not {self.name!r}")
        for attribute, kind in (("font", Font), ("fill", (PatternFill, GradientFill)),
                                ("border", Border), ("alignment", Alignment),
                                ("protection", Protection)):
            if not isinstance(getattr(self, attribute), kind):
                raise TypeError(f"NamedStyle.{attribute} takes a "
                                f"{getattr(kind, '__name__', 'fill')}, not "
                                f"{type(getattr(self, attribute)).__name__}")
        if not isinstance(self.number_format, str) or not self.number_format:
            raise ValueError(f"a number format is a non-empty str, not {self.number_format!r}")
        check_number(self.builtin_id, "a built-in style id", 0, 53, whole=True, optional=True)
        check_bool(self.hidden, "NamedStyle.hidden")


def _font(**values: Any) -> Font:
    return Font(**{"color": Color(theme=1), "scheme": "minor", **values})


def _line(style: str, color: Any) -> Side:
    return Side(style, color)


def _box(style: str, color: str) -> Border:
    return Border.all(style, color)


_ACCENT = Color(theme=4)
# The built-in styles of the default theme, by name: (builtin id, style parts).
_BUILTINS: dict[str, tuple[int, dict[str, Any]]] = {
    "Normal": (0, {"font": _font()}),
    "Comma": (3, {"font": _font(), "number_format":
                  '_(* #,##0.00_);_(* \\(#,##0.00\\);_(* "-"??_);_(@_)'}),
    "Currency": (4, {"font": _font(), "number_format":
                     '_("$"* #,##0.00_)_("$"* \\(#,##0.00\\)_("$"* "-"??_)_(@_)'}),
    "Percent": (5, {"font": _font(), "number_format": "0%"}),
    "Comma [0]": (6, {"font": _font(), "number_format":
                      '_(* #,##0_);_(* \\(#,##0\\);_(* "-"_);_(@_)'}),
    "Currency [0]": (7, {"font": _font(), "number_format":
                         '_("$"* #,##0_);_("$"* \\(#,##0\\);_("$"* "-"_);_(@_)'}),
    "Hyperlink": (8, {"font": _font(color=Color(theme=10), underline="single")}),
    "Followed Hyperlink": (9, {"font": _font(color=Color(theme=11), underline="single")}),
    "Note": (10, {"font": _font(), "fill": PatternFill("FFFFCC"),
                  "border": _box("thin", "B2B2B2")}),
    "Warning Text": (11, {"font": _font(color="FF0000")}),
    "Title": (15, {"font": Font(name="Calibri Light", size=18, color=Color(theme=3),
                                scheme="major")}),
    "Heading 1": (16, {"font": _font(size=15, bold=True, color=Color(theme=3)),
                       "border": Border(bottom=_line("thick", _ACCENT))}),
    "Heading 2": (17, {"font": _font(size=13, bold=True, color=Color(theme=3)),
                       "border": Border(bottom=_line("thick", Color(theme=4, tint=0.5)))}),
    "Heading 3": (18, {"font": _font(bold=True, color=Color(theme=3)),
                       "border": Border(bottom=_line("medium", Color(theme=4, tint=0.4)))}),
    "Heading 4": (19, {"font": _font(bold=True, color=Color(theme=3))}),
    "Input": (20, {"font": _font(color="3F3F76"), "fill": PatternFill("FFCC99"),
                   "border": _box("thin", "7F7F7F")}),
    "Output": (21, {"font": _font(bold=True, color="3F3F3F"), "fill": PatternFill("F2F2F2"),
                    "border": _box("thin", "3F3F3F")}),
    "Calculation": (22, {"font": _font(bold=True, color="FA7D00"),
                         "fill": PatternFill("F2F2F2"), "border": _box("thin", "7F7F7F")}),
    "Check Cell": (23, {"font": _font(bold=True, color=Color(theme=0)),
                        "fill": PatternFill("A5A5A5"), "border": _box("double", "3F3F3F")}),
    "Linked Cell": (24, {"font": _font(color="FA7D00"),
                         "border": Border(bottom=_line("double", "FF8001"))}),
    "Total": (25, {"font": _font(bold=True),
                   "border": Border(top=_line("thin", _ACCENT), bottom=_line("double", _ACCENT))}),
    "Good": (26, {"font": _font(color="006100"), "fill": PatternFill("C6EFCE")}),
    "Bad": (27, {"font": _font(color="9C0006"), "fill": PatternFill("FFC7CE")}),
    "Neutral": (28, {"font": _font(color="9C5700"), "fill": PatternFill("FFEB9C")}),
    "Explanatory Text": (53, {"font": _font(italic=True, color="7F7F7F")}),
}


def builtin_style(name: str) -> NamedStyle | None:
    """The built-in style called `name`, or None."""
    entry = _BUILTINS.get(name)
    if entry is None:
        return None
    builtin_id, parts = entry
    return NamedStyle(name, builtin_id=builtin_id, **parts)


BUILTIN_STYLE_NAMES = tuple(_BUILTINS)
