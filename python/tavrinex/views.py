"""The sheet's view: frozen panes, zoom, gridlines and the selection, as
the first <sheetView> of <sheetViews> holds them.

What the model does not name (other attributes, a split that is not
frozen, other views) is kept from the file and written back with it.
"""

from __future__ import annotations

from typing import Any
from xml.etree import ElementTree as ET

from tavrinex.utils.cell import get_column_letter
from tavrinex.utils.elements import flag, integer, local, new, sub
from tavrinex.utils.ranges import cell_position, multi_range, range_bounds

_MODELLED = frozenset(("showGridLines", "zoomScale", "tabSelected", "workbookViewId"))


def _freeze_text(value: Any) -> str | None:
    if value is None:
        return None
    coordinate = getattr(value, "coordinate", value)   # a cell stands for its coordinate
    row, column = cell_position(coordinate, "freeze_panes")
    return None if (row, column) == (1, 1) else f"{get_column_letter(column)}{row}"


class SheetView:
    """The modelled part of a sheet's first view."""

    def __init__(self) -> None:
        self._freeze: str | None = None
        self._zoom: int | None = None
        self._show_gridlines = True
        self._active_cell: str | None = None
        self._selection: str | None = None
        self.attributes: dict[str, str] = {}    # of the view, not modelled
        self.children: list[ET.Element] = []    # of the view, not modelled (a split pane)
        self.other_views: list[ET.Element] = []
        self.views_attributes: dict[str, str] = {}

    def snapshot(self) -> tuple[Any, ...]:
        return (self._freeze, self._zoom, self._show_gridlines, self._active_cell,
                self._selection)

    # -- the public values

    @property
    def freeze_panes(self) -> str | None:
        return self._freeze

    @freeze_panes.setter
    def freeze_panes(self, value: Any) -> None:
        self._freeze = _freeze_text(value)
        if self._freeze is not None:
            self.children = [c for c in self.children if local(c.tag) != "pane"]

    @property
    def zoom(self) -> int:
        return 100 if self._zoom is None else self._zoom

    @zoom.setter
    def zoom(self, value: Any) -> None:
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"zoom is a whole percentage from 10 to 400, not {value!r}")
        if not 10 <= value <= 400:
            raise ValueError(f"zoom runs from 10 to 400 (percent), not {value}")
        self._zoom = value

    @property
    def show_gridlines(self) -> bool:
        return self._show_gridlines

    @show_gridlines.setter
    def show_gridlines(self, value: Any) -> None:
        if not isinstance(value, bool):
            raise TypeError(f"show_gridlines is True or False, not {value!r}")
        self._show_gridlines = value

    @property
    def active_cell(self) -> str:
        return self._active_cell or "A1"

    @active_cell.setter
    def active_cell(self, value: Any) -> None:
        coordinate = getattr(value, "coordinate", value)
        row, column = cell_position(coordinate, "active_cell")
        self._active_cell = f"{get_column_letter(column)}{row}"
        if not _inside(row, column, self._selection):
            self._selection = self._active_cell

    @property
    def selection(self) -> str:
        return self._selection or self.active_cell

    @selection.setter
    def selection(self, value: Any) -> None:
        self._selection = multi_range(value, "selection")
        if self._active_cell is None or not _inside(*cell_position(self._active_cell),
                                                    self._selection):
            first = range_bounds(self._selection.split()[0])
            self._active_cell = f"{get_column_letter(first[1])}{first[0]}"

    # -- elements

    def read(self, views: ET.Element) -> None:
        """Take the values of a <sheetViews> element."""
        self.views_attributes = dict(views.attrib)
        found = [child for child in views if local(child.tag) == "sheetView"]
        if not found:
            return
        view, self.other_views = found[0], found[1:]
        self.attributes = {k: v for k, v in view.attrib.items() if k not in _MODELLED}
        self._show_gridlines = flag(view.get("showGridLines"), True)
        zoom = integer(view.get("zoomScale"))
        self._zoom = zoom if zoom is not None and 10 <= zoom <= 400 else None
        if view.get("zoomScale") is not None and self._zoom is None:
            self.attributes["zoomScale"] = view.get("zoomScale", "")
        active_pane = None
        for child in view:
            name = local(child.tag)
            if name == "pane" and child.get("state") in ("frozen", "frozenSplit"):
                self._freeze = child.get("topLeftCell") or _split_cell(child)
                active_pane = child.get("activePane")
            elif name == "selection" and child.get("pane") in (None, active_pane) \
                    and self._active_cell is None:
                self._active_cell = child.get("activeCell")
                self._selection = child.get("sqref")
            elif name != "selection":
                self.children.append(child)

    def element(self, selected: bool) -> ET.Element:
        """The <sheetViews>; `selected`: the sheet is the one shown."""
        views = new("sheetViews", dict(self.views_attributes))
        view = sub(views, "sheetView")
        if not self._show_gridlines:
            view.set("showGridLines", "0")
        if selected:
            view.set("tabSelected", "1")
        if self._zoom is not None:
            view.set("zoomScale", str(self._zoom))
        view.attrib.update(self.attributes)
        view.set("workbookViewId", "0")
        pane_name = None
        if self._freeze is not None:
            row, column = cell_position(self._freeze)
            pane_name = ("bottomRight" if row > 1 and column > 1
                         else "topRight" if column > 1 else "bottomLeft")
            pane = sub(view, "pane")
            if column > 1:
                pane.set("xSplit", str(column - 1))
            if row > 1:
                pane.set("ySplit", str(row - 1))
            pane.set("topLeftCell", self._freeze)
            pane.set("activePane", pane_name)
            pane.set("state", "frozen")
        view.extend(c for c in self.children if local(c.tag) != "extLst")
        if self._active_cell is not None or pane_name is not None:
            selection = sub(view, "selection")
            if pane_name is not None:
                selection.set("pane", pane_name)
            if self._active_cell is not None:
                selection.set("activeCell", self.active_cell)
                selection.set("sqref", self.selection)
        view.extend(c for c in self.children if local(c.tag) == "extLst")
        views.extend(self.other_views)
        return views


def _split_cell(pane: ET.Element) -> str:
    x = integer(pane.get("xSplit")) or 0
    y = integer(pane.get("ySplit")) or 0
    return f"{get_column_letter(x + 1)}{y + 1}"


def _inside(row: int, column: int, ranges: str | None) -> bool:
    if not ranges:
        return False
    for part in ranges.split():
        r1, c1, r2, c2 = range_bounds(part)
        if r1 <= row <= r2 and c1 <= column <= c2:
            return True
    return False



