"""Small helpers the modelled elements share: names in the main namespace,
attribute values read leniently (a file's odd value reads as absent, the
element itself is kept as read) and numbers written back shortest."""

from __future__ import annotations

import math
from dataclasses import MISSING
from typing import Any
from xml.etree import ElementTree as ET

MAIN_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
M = "{%s}" % MAIN_NS


def local(tag: Any) -> str:
    return tag.rpartition("}")[2] if isinstance(tag, str) else ""


def main_children(el: ET.Element) -> dict[str, ET.Element]:
    """The first child of each local name (namespaces are not told apart,
    as the rest of the reader does not)."""
    found: dict[str, ET.Element] = {}
    for child in el:
        if isinstance(child.tag, str):
            found.setdefault(local(child.tag), child)
    return found


def flag(text: str | None, default: bool = False) -> bool:
    """A boolean attribute's value ("1", "true", "0", "false")."""
    if text is None:
        return default
    value = text.strip().lower()
    if value in ("1", "true"):
        return True
    if value in ("0", "false"):
        return False
    return default


def integer(text: str | None) -> int | None:
    if text is None:
        return None
    try:
        return int(text)
    except ValueError:
        try:
            number = float(text)
        except ValueError:
            return None
        return int(number) if math.isfinite(number) and number == int(number) else None


def number(text: str | None) -> float | None:
    if text is None:
        return None
    try:
        value = float(text)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


def num_text(value: float) -> str:
    """A number as attribute text: integers without a point, others in the
    shortest form that reads back as the same double."""
    if isinstance(value, bool):
        return "1" if value else "0"
    if float(value).is_integer() and abs(value) < 1e15:
        return str(int(value))
    return repr(float(value))


def bool_text(value: bool) -> str:
    return "1" if value else "0"


def new(tag: str, attributes: dict[str, str] | None = None) -> ET.Element:
    return ET.Element(M + tag, attributes or {})


def sub(parent: ET.Element, tag: str, **attributes: str) -> ET.Element:
    return ET.SubElement(parent, M + tag, attributes)


def build(cls: Any, values: dict[str, Any]) -> Any:
    """An instance of the frozen dataclass `cls` with `values` (the others
    at their defaults), made without its checks: for values read from a
    file, which are kept as the file has them."""
    obj = object.__new__(cls)
    for name, spec in cls.__dataclass_fields__.items():
        object.__setattr__(obj, name, values[name] if name in values else spec.default)
    return obj


def check_choice(value: Any, choices: frozenset[str] | tuple[str, ...], what: str,
                 optional: bool = True) -> None:
    if value is None and optional:
        return
    if not isinstance(value, str) or value not in choices:
        raise ValueError(f"{what} is one of {', '.join(sorted(choices))}, not {value!r}")


def check_bool(value: Any, what: str) -> None:
    if not isinstance(value, bool):
        raise TypeError(f"{what} is True or False, not {value!r}")


def check_number(value: Any, what: str, low: float, high: float, *, whole: bool = False,
                 optional: bool = False) -> None:
    if value is None and optional:
        return
    kinds = (int,) if whole else (int, float)
    if isinstance(value, bool) or not isinstance(value, kinds):
        kind = "a whole number" if whole else "a number"
        raise TypeError(f"{what} is {kind}, not {value!r}")
    if not low <= value <= high:
        raise ValueError(f"{what} runs from {num_text(low)} to {num_text(high)}, "
                         f"not {value!r}")


def short_repr(obj: Any) -> str:
    """ClassName(field=value, ...) of the fields that differ from their defaults."""
    parts = []
    for name, spec in obj.__dataclass_fields__.items():
        value = getattr(obj, name)
        if spec.default is not MISSING and value == spec.default:
            continue
        parts.append(f"{name}={value!r}")
    return f"{type(obj).__name__}({', '.join(parts)})"
