"""Print settings of a sheet: page setup, margins, headers and footers;
and the sheet properties (tab colour, fit to page) they share <sheetPr>
with."""

from __future__ import annotations

from typing import Any
from xml.etree import ElementTree as ET

from tavrinex.styles.colors import Color, as_color
from tavrinex.utils.elements import flag, integer, local, new, num_text, number, sub

ORIENTATIONS = frozenset(("portrait", "landscape"))


def _whole(value: Any, what: str, low: int, high: int) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} is a whole number, not {value!r}")
    if not low <= value <= high:
        raise ValueError(f"{what} runs from {low} to {high}, not {value}")
    return value


class _Checked:
    """Attributes checked on assignment by `_check(name, value)`; a file's
    other attributes in `extra`."""

    _FIELDS: tuple[str, ...] = ()

    def __setattr__(self, name: str, value: Any) -> None:
        if name in self._FIELDS:
            value = self._check(name, value)
        object.__setattr__(self, name, value)

    def _check(self, name: str, value: Any) -> Any:
        return value

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return self.snapshot() == other.snapshot()  # type: ignore[attr-defined]

    __hash__ = None  # type: ignore[assignment]

    def snapshot(self) -> tuple[Any, ...]:
        return tuple(getattr(self, f) for f in self._FIELDS)

    def __repr__(self) -> str:
        parts = ", ".join(f"{f}={getattr(self, f)!r}" for f in self._FIELDS)
        return f"{type(self).__name__}({parts})"


class PageSetup(_Checked):
    """`orientation` ("portrait"/"landscape"), `paper_size` (the programs'
    paper number: 1 Letter, 9 A4, ...), `scale` (10 to 400 percent), and
    `fit_to_width`/`fit_to_height` (pages; 0: as many as needed), which
    make the sheet print fitted to them."""

    _FIELDS = ("orientation", "paper_size", "scale", "fit_to_width", "fit_to_height")

    def __init__(self, orientation: str | None = None, paper_size: int | None = None,
                 scale: int | None = None, fit_to_width: int | None = None,
                 fit_to_height: int | None = None) -> None:
        self.extra: dict[str, str] = {}
        self.orientation = orientation
        self.paper_size = paper_size
        self.scale = scale
        self.fit_to_width = fit_to_width
        self.fit_to_height = fit_to_height

    def _check(self, name: str, value: Any) -> Any:
        if name == "orientation":
            if value is not None and value not in ORIENTATIONS:
                raise ValueError(f"orientation is 'portrait', 'landscape' or None, not {value!r}")
            return value
        if name == "paper_size":
            return _whole(value, "paper_size", 1, 255)
        if name == "scale":
            return _whole(value, "a print scale", 10, 400)
        return _whole(value, name, 0, 32767)

    @property
    def fit_to_page(self) -> bool:
        return self.fit_to_width is not None or self.fit_to_height is not None

    def is_default(self) -> bool:
        return all(getattr(self, f) is None for f in self._FIELDS) and not self.extra

    def element(self) -> ET.Element | None:
        if self.is_default():
            return None
        el = new("pageSetup")
        if self.paper_size is not None:
            el.set("paperSize", str(self.paper_size))
        if self.scale is not None:
            el.set("scale", str(self.scale))
        if self.fit_to_width is not None:
            el.set("fitToWidth", str(self.fit_to_width))
        if self.fit_to_height is not None:
            el.set("fitToHeight", str(self.fit_to_height))
        if self.orientation is not None:
            el.set("orientation", self.orientation)
        el.attrib.update(self.extra)
        return el

    @classmethod
    def from_element(cls, el: ET.Element, fit_to_page: bool = False) -> PageSetup:
        """The page setup of a <pageSetup>; the fit sizes count only when
        <sheetPr> says the sheet prints fitted (`fit_to_page`)."""
        made = cls()
        for name, attribute in (("paper_size", "paperSize"), ("scale", "scale")):
            object.__setattr__(made, name, integer(el.get(attribute)))
        known = {"paperSize", "scale", "orientation"}
        if fit_to_page:
            known |= {"fitToWidth", "fitToHeight"}
            for name, attribute in (("fit_to_width", "fitToWidth"),
                                    ("fit_to_height", "fitToHeight")):
                value = integer(el.get(attribute))
                object.__setattr__(made, name, 1 if value is None else value)
        orientation = el.get("orientation")
        if orientation in ORIENTATIONS:
            object.__setattr__(made, "orientation", orientation)
        else:
            known.discard("orientation")
        made.extra = {k: v for k, v in el.attrib.items() if k not in known}
        return made


class PageMargins(_Checked):
    """Margins in inches."""

    _FIELDS = ("left", "right", "top", "bottom", "header", "footer")
    DEFAULTS = (0.7, 0.7, 0.75, 0.75, 0.3, 0.3)

    def __init__(self, left: float = 0.7, right: float = 0.7, top: float = 0.75,
                 bottom: float = 0.75, header: float = 0.3, footer: float = 0.3) -> None:
        self.left, self.right, self.top, self.bottom = left, right, top, bottom
        self.header, self.footer = header, footer

    def _check(self, name: str, value: Any) -> Any:
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError(f"the {name} margin is a number of inches, not {value!r}")
        if not 0 <= value < 49:
            raise ValueError(f"the {name} margin runs from 0 to 49 inches, not {value}")
        return value

    def is_default(self) -> bool:
        return self.snapshot() == self.DEFAULTS

    def element(self) -> ET.Element:
        return new("pageMargins", {f: num_text(getattr(self, f)) for f in self._FIELDS})

    @classmethod
    def from_element(cls, el: ET.Element) -> PageMargins:
        made = cls()
        for name, default in zip(cls._FIELDS, cls.DEFAULTS):
            value = number(el.get(name))
            object.__setattr__(made, name, default if value is None else value)
        return made


class HeaderFooter(_Checked):
    """Header and footer texts in the programs' &-codes ("&CPage &P of
    &N"): odd pages (all pages unless even ones are given), even pages
    and the first page."""

    _FIELDS = ("odd_header", "odd_footer", "even_header", "even_footer", "first_header",
               "first_footer")
    _TAGS = ("oddHeader", "oddFooter", "evenHeader", "evenFooter", "firstHeader", "firstFooter")

    def __init__(self, odd_header: str | None = None, odd_footer: str | None = None,
                 even_header: str | None = None, even_footer: str | None = None,
                 first_header: str | None = None, first_footer: str | None = None) -> None:
        self.extra: dict[str, str] = {}
        self.odd_header, self.odd_footer = odd_header, odd_footer
        self.even_header, self.even_footer = even_header, even_footer
        self.first_header, self.first_footer = first_header, first_footer

    def _check(self, name: str, value: Any) -> Any:
        if value is None:
            return None
        if not isinstance(value, str):
            raise TypeError(f"{name} is a str, not {type(value).__name__}")
        if len(value) > 255:
            raise ValueError(f"{name} holds at most 255 characters, not {len(value)}")
        return value

    def is_default(self) -> bool:
        return all(getattr(self, f) is None for f in self._FIELDS) and not self.extra

    def element(self) -> ET.Element | None:
        if self.is_default():
            return None
        el = new("headerFooter")
        if self.even_header is not None or self.even_footer is not None:
            el.set("differentOddEven", "1")
        if self.first_header is not None or self.first_footer is not None:
            el.set("differentFirst", "1")
        el.attrib.update(self.extra)
        for name, tag in zip(self._FIELDS, self._TAGS):
            if getattr(self, name) is not None:
                sub(el, tag).text = getattr(self, name)
        return el

    @classmethod
    def from_element(cls, el: ET.Element) -> HeaderFooter:
        made = cls()
        for child in el:
            name = local(child.tag)
            if name in cls._TAGS:
                object.__setattr__(made, cls._FIELDS[cls._TAGS.index(name)], child.text or "")
        made.extra = {k: v for k, v in el.attrib.items()
                      if k not in ("differentOddEven", "differentFirst")}
        return made


class SheetProperties:
    """The modelled part of <sheetPr>: the tab colour and whether the
    sheet prints fitted to pages; the rest is kept as read."""

    def __init__(self) -> None:
        self.tab_color: Color | None = None
        self.fit_to_page = False
        self.attributes: dict[str, str] = {}
        self.children: list[ET.Element] = []     # outlinePr and what is not modelled
        self.setup_attributes: dict[str, str] = {}

    def snapshot(self) -> tuple[Any, ...]:
        return self.tab_color, self.fit_to_page

    def set_tab_color(self, value: Any) -> None:
        self.tab_color = as_color(value, "a tab colour")

    def element(self, fit_to_page: bool, outline: ET.Element | None = None) -> ET.Element | None:
        children = [c for c in self.children if local(c.tag) != "outlinePr"]
        if outline is None:
            outline = next((c for c in self.children if local(c.tag) == "outlinePr"), None)
        if self.tab_color is None and not fit_to_page and not children and outline is None \
                and not self.attributes and not self.setup_attributes:
            return None
        el = new("sheetPr", dict(self.attributes))
        if self.tab_color is not None:
            el.append(self.tab_color.to_element("tabColor"))
        if outline is not None:
            el.append(outline)
        if fit_to_page or self.setup_attributes:
            setup = sub(el, "pageSetUpPr", **self.setup_attributes)
            if fit_to_page:
                setup.set("fitToPage", "1")
            else:
                setup.attrib.pop("fitToPage", None)
        el.extend(children)
        return el

    @classmethod
    def from_element(cls, el: ET.Element) -> SheetProperties:
        made = cls()
        made.attributes = dict(el.attrib)
        for child in el:
            name = local(child.tag)
            if name == "tabColor":
                made.tab_color = Color.from_element(child)
            elif name == "pageSetUpPr":
                made.fit_to_page = flag(child.get("fitToPage"))
                made.setup_attributes = {k: v for k, v in child.attrib.items()
                                         if k != "fitToPage"}
            else:
                made.children.append(child)
        return made
