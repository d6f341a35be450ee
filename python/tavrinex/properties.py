"""Document properties: the core ones (title, creator, dates, ...), the
application's (company, manager) and the user's custom properties.

Each reads from and writes to its part's root element; what a part holds
that the model does not name is kept and written back with it.
"""

from __future__ import annotations

import datetime
from collections.abc import Iterator, MutableMapping
from typing import Any
from xml.etree import ElementTree as ET

CP = "http://schemas.openxmlformats.org/package/2006/metadata/core-properties"
DC = "http://purl.org/dc/elements/1.1/"
DCTERMS = "http://purl.org/dc/terms/"
DCMITYPE = "http://purl.org/dc/dcmitype/"
XSI = "http://www.w3.org/2001/XMLSchema-instance"
APP = "http://schemas.openxmlformats.org/officeDocument/2006/extended-properties"
CUSTOM = "http://schemas.openxmlformats.org/officeDocument/2006/custom-properties"
VT = "http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes"
CORE_PREFIXES = {CP: "cp", DC: "dc", DCTERMS: "dcterms", DCMITYPE: "dcmitype", XSI: "xsi"}
FMTID = "{D5CDD505-2E9C-101B-9397-08002B2CF9AE}"

# attribute -> (namespace, element) of the core part, in the part's order
CORE_FIELDS = {"title": (DC, "title"), "subject": (DC, "subject"), "creator": (DC, "creator"),
               "keywords": (CP, "keywords"), "description": (DC, "description"),
               "last_modified_by": (CP, "lastModifiedBy"), "category": (CP, "category"),
               "created": (DCTERMS, "created"), "modified": (DCTERMS, "modified")}
APP_FIELDS = {"company": "Company", "manager": "Manager"}
_DATES = ("created", "modified")
FIELDS = tuple(CORE_FIELDS) + tuple(APP_FIELDS)
_TEXT_LIMIT = 255 * 1024


def _w3cdtf(value: datetime.datetime) -> str:
    if value.tzinfo is not None:
        value = value.astimezone(datetime.UTC).replace(tzinfo=None)
    return value.replace(microsecond=0).isoformat() + "Z"


def _parse_date(text: str | None) -> datetime.datetime | None:
    if not text:
        return None
    try:
        value = datetime.datetime.fromisoformat(text.strip().replace("Z", "+00:00"))
    except ValueError:
        return None
    if value.tzinfo is not None:
        value = value.astimezone(datetime.UTC).replace(tzinfo=None)
    return value


class DocumentProperties:
    """The workbook's document properties; dates are naive UTC datetimes
    (aware ones are converted), texts str, None when absent."""

    title: str | None
    subject: str | None
    creator: str | None
    keywords: str | None
    description: str | None
    last_modified_by: str | None
    category: str | None
    created: datetime.datetime | None
    modified: datetime.datetime | None
    company: str | None
    manager: str | None

    def __init__(self, **values: Any) -> None:
        for name in FIELDS:
            object.__setattr__(self, name, None)
        for name, value in values.items():
            setattr(self, name, value)

    def __setattr__(self, name: str, value: Any) -> None:
        if name not in FIELDS:
            raise AttributeError(f"document properties have no {name!r}; they are "
                                 f"{', '.join(FIELDS)}")
        if value is not None:
            if name in _DATES:
                if not isinstance(value, datetime.datetime):
                    raise TypeError(f"properties.{name} is a datetime, not "
                                    f"{type(value).__name__}")
                if value.tzinfo is not None:
                    value = value.astimezone(datetime.UTC).replace(tzinfo=None)
            elif not isinstance(value, str):
                raise TypeError(f"properties.{name} is a str, not {type(value).__name__}")
            elif len(value) > _TEXT_LIMIT or any(ord(c) < 32 and c not in "\t\n\r"
                                                  for c in value):
                raise ValueError(f"properties.{name} holds a control character or is longer "
                                 "than a document property may be")
        object.__setattr__(self, name, value)

    def snapshot(self) -> tuple[Any, ...]:
        return tuple(getattr(self, f) for f in FIELDS)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, DocumentProperties):
            return NotImplemented
        return self.snapshot() == other.snapshot()

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        parts = ", ".join(f"{f}={getattr(self, f)!r}" for f in FIELDS if getattr(self, f))
        return f"DocumentProperties({parts})"

    # -- the parts

    def read_core(self, root: ET.Element) -> None:
        for name, (ns, tag) in CORE_FIELDS.items():
            el = root.find(f"{{{ns}}}{tag}")
            if el is None:
                continue
            text = "".join(el.itertext())
            object.__setattr__(self, name, _parse_date(text) if name in _DATES else text)

    def read_app(self, root: ET.Element) -> None:
        for name, tag in APP_FIELDS.items():
            el = root.find(f"{{{APP}}}{tag}")
            if el is not None:
                object.__setattr__(self, name, "".join(el.itertext()))

    def core_root(self, kept: ET.Element | None = None) -> ET.Element:
        """The core part's root: `kept` (the part as read) with the modelled
        elements rewritten in place, new ones after them."""
        root = kept if kept is not None else ET.Element(f"{{{CP}}}coreProperties")
        for name, (ns, tag) in CORE_FIELDS.items():
            value = getattr(self, name)
            el = root.find(f"{{{ns}}}{tag}")
            if value is None:
                if el is not None:
                    root.remove(el)
                continue
            if el is None:
                el = ET.SubElement(root, f"{{{ns}}}{tag}")
            if name in _DATES:
                el.attrib = {f"{{{XSI}}}type": "dcterms:W3CDTF"}
                el.text = _w3cdtf(value)
            else:
                el.text = value
            el[:] = []
        return root

    def app_values(self) -> dict[str, str]:
        """The app part's modelled elements (local name -> text)."""
        return {tag: getattr(self, name) for name, tag in APP_FIELDS.items()
                if getattr(self, name) is not None}

    def apply_app(self, root: ET.Element) -> ET.Element:
        for name, tag in APP_FIELDS.items():
            value = getattr(self, name)
            el = root.find(f"{{{APP}}}{tag}")
            if value is None:
                if el is not None:
                    root.remove(el)
                continue
            if el is None:
                el = ET.SubElement(root, f"{{{APP}}}{tag}")
            el.text = value
        return root


def _vt(value: Any) -> tuple[str, str]:
    """(vt type, text) of a custom property's value."""
    if isinstance(value, bool):
        return "bool", "true" if value else "false"
    if isinstance(value, int):
        return ("i4" if -(1 << 31) <= value < (1 << 31) else "i8"), str(value)
    if isinstance(value, float):
        return "r8", repr(value)
    if isinstance(value, datetime.datetime):
        return "filetime", _w3cdtf(value)
    return "lpwstr", value


def _from_vt(el: ET.Element) -> Any:
    kind = el.tag.rpartition("}")[2]
    text = el.text or ""
    if kind == "bool":
        return text.strip().lower() in ("true", "1")
    if kind in ("i1", "i2", "i4", "i8", "int", "ui1", "ui2", "ui4", "ui8", "uint"):
        return int(text)
    if kind in ("r4", "r8", "decimal"):
        return float(text)
    if kind in ("filetime", "date"):
        return _parse_date(text)
    return text


class CustomProperties(MutableMapping[str, Any]):
    """Custom document properties: names to str, int, float, bool or
    datetime values, in order. Properties of other types read from a
    file are kept as they are (and given as their text)."""

    def __init__(self, values: dict[str, Any] | None = None) -> None:
        self._values: dict[str, Any] = {}
        self._kept: dict[str, ET.Element] = {}   # name -> <property> of a type not modelled
        for name, value in (values or {}).items():
            self[name] = value

    def __getitem__(self, name: str) -> Any:
        return self._values[name]

    def __setitem__(self, name: str, value: Any) -> None:
        if not isinstance(name, str) or not 0 < len(name) <= 255:
            raise ValueError(f"custom property names are texts of 1 to 255 characters, "
                             f"not {name!r}")
        if not isinstance(value, (str, int, float, bool, datetime.datetime)):
            raise TypeError(f"custom property {name!r} takes str, int, float, bool or "
                            f"datetime, not {type(value).__name__}")
        if isinstance(value, float) and value != value:
            raise ValueError(f"custom property {name!r} cannot be NaN")
        if isinstance(value, datetime.datetime) and value.tzinfo is not None:
            value = value.astimezone(datetime.UTC).replace(tzinfo=None)
        self._values[name] = value
        self._kept.pop(name, None)

    def __delitem__(self, name: str) -> None:
        del self._values[name]
        self._kept.pop(name, None)

    def __iter__(self) -> Iterator[str]:
        return iter(self._values)

    def __len__(self) -> int:
        return len(self._values)

    def __repr__(self) -> str:
        return f"CustomProperties({self._values!r})"

    def snapshot(self) -> tuple[Any, ...]:
        return tuple(self._values.items())

    def read(self, root: ET.Element) -> None:
        for prop in root:
            name = prop.get("name")
            if name is None or len(prop) != 1:
                continue
            try:
                self._values[name] = _from_vt(prop[0])
            except ValueError:
                self._values[name] = prop[0].text or ""
            if prop[0].tag.rpartition("}")[2] not in ("lpwstr", "i4", "i8", "r8", "bool",
                                                      "filetime"):
                self._kept[name] = prop

    def root(self) -> ET.Element:
        root = ET.Element(f"{{{CUSTOM}}}Properties")
        for pid, (name, value) in enumerate(self._values.items(), 2):
            kept = self._kept.get(name)
            if kept is not None:
                kept.set("pid", str(pid))
                root.append(kept)
                continue
            prop = ET.SubElement(root, f"{{{CUSTOM}}}property",
                                 {"fmtid": FMTID, "pid": str(pid), "name": name})
            kind, text = _vt(value)
            ET.SubElement(prop, f"{{{VT}}}{kind}").text = text
        return root
