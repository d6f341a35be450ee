"""Sheet protection: whether a sheet is protected, its password's hash,
and the actions left allowed to the user."""

from __future__ import annotations

from typing import Any
from xml.etree import ElementTree as ET

from tavrinex.utils.elements import flag, new

# action -> (attribute, value of the attribute when the sheet is
# protected and nothing is said, meaning: the action is not allowed)
ACTIONS: dict[str, tuple[str, bool]] = {
    "objects": ("objects", False), "scenarios": ("scenarios", False),
    "format_cells": ("formatCells", True), "format_columns": ("formatColumns", True),
    "format_rows": ("formatRows", True), "insert_columns": ("insertColumns", True),
    "insert_rows": ("insertRows", True), "insert_hyperlinks": ("insertHyperlinks", True),
    "delete_columns": ("deleteColumns", True), "delete_rows": ("deleteRows", True),
    "select_locked_cells": ("selectLockedCells", False),
    "select_unlocked_cells": ("selectUnlockedCells", False),
    "sort": ("sort", True), "auto_filter": ("autoFilter", True),
    "pivot_tables": ("pivotTables", True),
}
# Allowed once a sheet is protected, unless said otherwise.
DEFAULT_ALLOWED = frozenset(("select_locked_cells", "select_unlocked_cells"))


def legacy_hash(password: str) -> str:
    """The 16-bit hash spreadsheet programs keep of a sheet's password, as
    four hex digits."""
    value = 0
    for ch in reversed(password):
        value = ((value >> 14) & 0x01) | ((value << 1) & 0x7FFF)
        value ^= ord(ch) & 0xFFFF
    value = ((value >> 14) & 0x01) | ((value << 1) & 0x7FFF)
    value ^= len(password)
    value ^= 0xCE4B
    return f"{value:04X}"


class SheetProtection:
    """`enabled`, `password_hash` (None: no password) and the actions
    allowed while protected, each an attribute (`format_cells`, `sort`, ...)."""

    def __init__(self) -> None:
        self.enabled = False
        self.password_hash: str | None = None
        self.allowed: set[str] = set(DEFAULT_ALLOWED)
        self.extra: dict[str, str] = {}   # other attributes of a file (stronger hashes)

    def __getattr__(self, name: str) -> bool:
        if name in ACTIONS:
            return name in self.__dict__.get("allowed", ())
        raise AttributeError(name)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, SheetProtection):
            return NotImplemented
        return self.snapshot() == other.snapshot()

    __hash__ = None  # type: ignore[assignment]

    def snapshot(self) -> tuple[Any, ...]:
        return self.enabled, self.password_hash, frozenset(self.allowed)

    def __repr__(self) -> str:
        if not self.enabled:
            return "SheetProtection(enabled=False)"
        return (f"SheetProtection(password_hash={self.password_hash!r}, "
                f"allowed={sorted(self.allowed)!r})")

    def set(self, password: str | None, allowed: dict[str, Any]) -> None:
        for name, value in allowed.items():
            if name not in ACTIONS:
                raise TypeError(f"protect() takes no action {name!r}; the actions are "
                                f"{', '.join(ACTIONS)}")
            if not isinstance(value, bool):
                raise TypeError(f"{name} is True (allowed) or False, not {value!r}")
        if password is not None and (not isinstance(password, str) or not password):
            raise ValueError(f"a password is a non-empty str, not {password!r}")
        if password is not None and len(password) > 255:
            raise ValueError(f"a password holds at most 255 characters, not {len(password)}")
        self.enabled = True
        self.password_hash = legacy_hash(password) if password is not None else None
        self.allowed = {n for n in ACTIONS
                        if allowed.get(n, n in DEFAULT_ALLOWED)}
        self.extra = {}

    def element(self) -> ET.Element | None:
        if not self.enabled:
            return None
        el = new("sheetProtection")
        if self.password_hash is not None:
            el.set("password", self.password_hash)
        el.attrib.update(self.extra)
        el.set("sheet", "1")
        for name, (attribute, protected_by_default) in ACTIONS.items():
            protected = name not in self.allowed
            if protected != protected_by_default:
                el.set(attribute, "1" if protected else "0")
        return el

    @classmethod
    def from_element(cls, el: ET.Element) -> SheetProtection:
        made = cls()
        made.enabled = flag(el.get("sheet"))
        made.password_hash = el.get("password")
        made.allowed = {name for name, (attribute, default) in ACTIONS.items()
                        if not flag(el.get(attribute), default)}
        known = {"password", "sheet"} | {attribute for attribute, _ in ACTIONS.values()}
        made.extra = {k: v for k, v in el.attrib.items() if k not in known}
        return made
