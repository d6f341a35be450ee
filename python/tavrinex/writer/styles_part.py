"""The styles part: the stylesheet written back whole, with what was added
to it since it was read (or made)."""

from __future__ import annotations

from typing import Any

from tavrinex.styles.stylesheet import Stylesheet, part_namespaces, part_root
from tavrinex.writer.xmltext import DECLARATION, write_element


def _check_indices(cell_styles: list[Any], sheet: Stylesheet) -> None:
    for i, style in enumerate(cell_styles):
        for field, table in ((0, sheet.fonts), (1, sheet.fills), (2, sheet.borders)):
            if not 0 <= style[field] < max(len(table), 1):
                raise ValueError(f"cell style {i} refers to a missing font, fill or border "
                                 f"({list(style)})")


def styles_part(sheet: Stylesheet, cell_styles: list[Any]) -> bytes:
    """The text of the styles part for `cell_styles` (the cellXfs)."""
    _check_indices(cell_styles, sheet)
    root = part_root(sheet, cell_styles)
    prefixes = part_namespaces(sheet)
    head = "".join(f' xmlns:{p}="{u}"' if p else f' xmlns="{u}"'
                   for u, p in prefixes.items())
    text = write_element(root, prefixes)
    # The root declares every namespace the part declared.
    first = text.index("styleSheet") + len("styleSheet")
    return DECLARATION + (text[:first] + head + text[first:]).encode("utf-8")
