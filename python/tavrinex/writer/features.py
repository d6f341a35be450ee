"""The worksheet elements written from the feature model, as text in the
sheet part's namespaces (the main one the default, ``r:`` for
relationships); kept children of other namespaces declare theirs."""

from __future__ import annotations

import itertools
from collections.abc import Callable, Iterator
from typing import Any
from xml.etree import ElementTree as ET

from tavrinex.utils.elements import new, sub
from tavrinex.writer.xmltext import MAIN_NS, REL_NS, write_element

PREFIXES = {MAIN_NS: "", REL_NS: "r"}


def text_of(el: ET.Element | None) -> str:
    return "" if el is None else write_element(el, PREFIXES)


def sheet_pr(ws: Any) -> str:
    return text_of(ws.sheet_properties.element(ws.page_setup.fit_to_page))


def sheet_views(ws: Any, selected: bool) -> str:
    return text_of(ws.views.element(selected))


def sheet_protection(ws: Any) -> str:
    return text_of(ws.protection.element())


def auto_filter(ws: Any) -> str:
    return text_of(ws.auto_filter.element())


def _dxf_id(ws: Any) -> Callable[[Any], int]:
    dxfs = ws.parent.stylesheet.dxfs
    return dxfs.add  # type: ignore[no-any-return]


def conditional_formatting(ws: Any) -> str:
    if not ws.conditional_formats:
        return ""
    priorities: Iterator[int] = itertools.count(1)
    dxf_id = _dxf_id(ws)
    return "".join(text_of(entry.element(priorities, dxf_id))
                   for entry in ws.conditional_formats if entry.rules)


def data_validations(ws: Any) -> str:
    if not ws.data_validations:
        return ""
    el = new("dataValidations", {"count": str(len(ws.data_validations)),
                                 **getattr(ws, "_validations_attributes", {})})
    el.extend(dv.element() for dv in ws.data_validations)
    return text_of(el)


def page_margins(ws: Any) -> str:
    margins = ws.page_margins
    if margins.is_default() and not getattr(ws, "_margins_read", True):
        return ""
    return text_of(margins.element())


def page_setup(ws: Any) -> str:
    return text_of(ws.page_setup.element())


def header_footer(ws: Any) -> str:
    return text_of(ws.header_footer.element())


def table_parts(rel_ids: list[str]) -> str:
    if not rel_ids:
        return ""
    el = new("tableParts", {"count": str(len(rel_ids))})
    for rid in rel_ids:
        sub(el, "tablePart", **{f"{{{REL_NS}}}id": rid})
    return text_of(el)
