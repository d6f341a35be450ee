"""The styles part: the stylesheet written back whole, with what was added
to it since it was read (or made)."""

from __future__ import annotations

from typing import Any

from tavrinex.styles.stylesheet import Stylesheet, part_namespaces, part_root
from tavrinex.writer.xmltext import write_root


def _check_indices(cell_styles: list[Any], sheet: Stylesheet) -> None:
    for i, style in enumerate(cell_styles):
        for field, table in ((0, sheet.fonts), (1, sheet.fills), (2, sheet.borders)):
            if not 0 <= style[field] < max(len(table), 1):
                raise ValueError(f"cell style {i} refers to a missing font, fill or border "
                                 f"({list(style)})")


def styles_part(sheet: Stylesheet, cell_styles: list[Any]) -> bytes:
    """The text of the styles part for `cell_styles` (the cellXfs)."""
    _check_indices(cell_styles, sheet)
    return write_root(part_root(sheet, cell_styles), part_namespaces(sheet))
