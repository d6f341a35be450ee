"""The style model: colours, fonts, fills, borders, alignment, protection,
named and differential styles, and the stylesheet that holds them.

Style values are frozen dataclasses: ``dataclasses.replace(cell.font,
bold=True)`` gives a font that differs in that one attribute. A cell
refers to its styles through a style array (StyleArray) of indices into
the workbook's stylesheet; StyleList is the stylesheet's list of them.
"""

from tavrinex.styles.alignment import Alignment, Protection
from tavrinex.styles.array import StyleArray, StyleList
from tavrinex.styles.borders import BORDER_STYLES, Border, Side
from tavrinex.styles.colors import Color
from tavrinex.styles.differential import DifferentialStyle
from tavrinex.styles.fills import PATTERNS, Fill, GradientFill, PatternFill
from tavrinex.styles.fonts import Font
from tavrinex.styles.named import BUILTIN_STYLE_NAMES, NamedStyle
from tavrinex.styles.stylesheet import NamedStyles, Stylesheet, StyleTable, new_stylesheet, \
    read_stylesheet

__all__ = ["Alignment", "BORDER_STYLES", "BUILTIN_STYLE_NAMES", "Border", "Color",
           "DifferentialStyle", "Fill", "Font", "GradientFill", "NamedStyle", "NamedStyles",
           "PATTERNS", "PatternFill", "Protection", "Side", "StyleArray", "StyleList",
           "StyleTable", "Stylesheet", "new_stylesheet", "read_stylesheet"]
