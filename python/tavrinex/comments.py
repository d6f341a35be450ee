"""Cell comments (notes) and hyperlinks as read from a workbook."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class Comment:
    """A cell's comment: its plain text and its author ("" when none)."""

    text: str
    author: str = ""


@dataclass(frozen=True)
class Hyperlink:
    """A cell's hyperlink.

    `ref` is the cell or range it covers; `target` the external address
    (resolved through the sheet's relationships, None for a link inside the
    workbook); `location` the place inside the workbook ("Sheet2!A1");
    `id` the relationship id it was stored under.
    """

    ref: str
    target: str | None = None
    location: str | None = None
    tooltip: str | None = None
    display: str | None = None
    id: str | None = None
