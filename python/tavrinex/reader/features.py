"""Reading the worksheet elements the feature model holds: each handler
takes the parsed element into the worksheet's model."""

from __future__ import annotations

from typing import Any
from xml.etree import ElementTree as ET

from tavrinex.filters import AutoFilter
from tavrinex.printing import HeaderFooter, PageMargins, PageSetup, SheetProperties
from tavrinex.protection import SheetProtection
from tavrinex.rules import read_conditional_format
from tavrinex.sheetfeatures import SheetFeatures
from tavrinex.utils.elements import MAIN_NS, local
from tavrinex.validation import DataValidation

_M = "{%s}" % MAIN_NS


def _sheet_pr(ws: Any, el: ET.Element) -> None:
    ws.sheet_properties = SheetProperties.from_element(el)


def _views(ws: Any, el: ET.Element) -> None:
    ws.views.read(el)


def _protection(ws: Any, el: ET.Element) -> None:
    ws._protection = SheetProtection.from_element(el)


def _auto_filter(ws: Any, el: ET.Element) -> None:
    ws._auto_filter = AutoFilter.from_element(el)


def _dxf(ws: Any) -> Any:
    dxfs = getattr(getattr(ws.parent, "stylesheet", None), "dxfs", None)

    def style(index: int) -> Any:
        return dxfs[index] if dxfs is not None and 0 <= index < len(dxfs) else None
    return style


def _conditional_formatting(ws: Any, el: ET.Element) -> None:
    priority, found = read_conditional_format(el, _dxf(ws))
    pending = ws.__dict__.setdefault("_cf_read", [])
    pending.append((priority, len(pending), found))
    # In priority order, however the file ordered its elements.
    ws._conditional_formats[:] = [f for _, _, f in sorted(pending, key=lambda p: p[:2])]


def _data_validations(ws: Any, el: ET.Element) -> None:
    ws._validations_attributes = {k: v for k, v in el.attrib.items() if k != "count"}
    for child in el:
        if local(child.tag) == "dataValidation":
            ws._data_validations.append(DataValidation.from_element(child))


def _page_margins(ws: Any, el: ET.Element) -> None:
    ws._page_margins = PageMargins.from_element(el)


def _page_setup(ws: Any, el: ET.Element) -> None:
    ws._page_setup = PageSetup.from_element(el, ws.sheet_properties.fit_to_page)
    ws._page_setup_read = True


def _header_footer(ws: Any, el: ET.Element) -> None:
    ws._header_footer = HeaderFooter.from_element(el)


def _table_parts(ws: Any, el: ET.Element) -> None:
    ws._table_part_ids = [v for child in el for k, v in child.attrib.items()
                          if local(k) == "id" and k.startswith("{")]


def _modelled(handler: Any) -> Any:
    """`handler` for sheets that hold the feature model; other holders of
    the elements (a read-only sheet's layout) keep them raw."""
    def handle(ws: Any, el: ET.Element) -> bool | None:
        if not isinstance(ws, SheetFeatures):
            return False
        handler(ws, el)
        return None
    return handle


HANDLERS = {_M + name: _modelled(handler) for name, handler in (
    ("sheetPr", _sheet_pr), ("sheetViews", _views), ("sheetProtection", _protection),
    ("autoFilter", _auto_filter), ("conditionalFormatting", _conditional_formatting),
    ("dataValidations", _data_validations), ("pageMargins", _page_margins),
    ("pageSetup", _page_setup), ("headerFooter", _header_footer),
    ("tableParts", _table_parts))}
