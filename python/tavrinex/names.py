"""Defined names: names for formulas and ranges, global to the workbook or
local to one sheet, with the name rules spreadsheet programs apply."""

from __future__ import annotations

import re
from collections.abc import Iterator
from typing import Any

from tavrinex.utils.ranges import MAX_COLUMN, MAX_ROW

RESERVED = "_xlnm."
_FIRST = re.compile(r"[^\W\d]|[_\\]")
_REST = re.compile(r"[\w.\\?]*")
_A1 = re.compile(r"\$?([A-Za-z]{1,3})\$?([0-9]+)")
_R1C1 = re.compile(r"[Rr][0-9]*[Cc][0-9]*|[RrCc]")
NAME_LIMIT = 255


def _is_cell_reference(name: str) -> bool:
    match = _A1.fullmatch(name)
    if match:
        letters, digits = match.groups()
        column = 0
        for ch in letters.upper():
            column = column * 26 + ord(ch) - 64
        return column <= MAX_COLUMN and 1 <= int(digits) <= MAX_ROW
    return bool(_R1C1.fullmatch(name))


def check_name(name: Any, what: str = "a defined name") -> str:
    """`name` when spreadsheet programs take it as a name; ValueError (or
    TypeError) naming what is wrong otherwise."""
    if not isinstance(name, str):
        raise TypeError(f"{what} is a str, not {type(name).__name__}")
    if not 1 <= len(name) <= NAME_LIMIT:
        raise ValueError(f"{what} holds 1 to {NAME_LIMIT} characters, not {len(name)}: "
                         f"{name[:40]!r}")
    body = name[len(RESERVED):] if name.startswith(RESERVED) else name
    if any(ch.isspace() for ch in name):
        raise ValueError(f"{what} {name!r} holds a space")
    if not body or not _FIRST.match(body[0]) or not _REST.fullmatch(body[1:]):
        raise ValueError(f"{what} {name!r} must begin with a letter, an underscore or a "
                         "backslash and hold only letters, digits, underscores, periods, "
                         "backslashes and question marks")
    if _is_cell_reference(name):
        raise ValueError(f"{what} {name!r} is a cell reference")
    return name


class DefinedName:
    """A name, its formula text (`value`, without "="), its scope (None:
    the workbook; else the title of the sheet it belongs to), and whether
    it is hidden; `attributes` keeps what else a file gave it."""

    def __init__(self, name: str, value: str, attributes: dict[str, str] | None = None, *,
                 sheet: Any = None, hidden: bool = False, comment: str | None = None) -> None:
        self.name = name
        self.value = value
        attributes = dict(attributes or {})
        self.hidden = hidden or attributes.pop("hidden", "0").lower() in ("1", "true")
        self.comment = comment if comment is not None else attributes.pop("comment", None)
        local = attributes.pop("localSheetId", None)
        self.local_sheet_id: int | None = int(local) if local and local.isdigit() else None
        self.sheet = sheet           # the worksheet of a local name, once known
        self.attributes = attributes

    @property
    def scope(self) -> str | None:
        if self.sheet is not None:
            return str(self.sheet.title)
        return None if self.local_sheet_id is None else f"#{self.local_sheet_id}"

    def _key(self) -> tuple[Any, ...]:
        return (self.name, self.value, self.scope, self.hidden, self.comment)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, DefinedName):
            return NotImplemented
        return self._key() == other._key()

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        extra = "".join(f", {k}={v!r}" for k, v in (("scope", self.scope),
                                                    ("hidden", self.hidden),
                                                    ("comment", self.comment)) if v)
        return f"DefinedName({self.name!r}, {self.value!r}{extra})"


class DefinedNames:
    """The workbook's defined names in order, found by name and scope."""

    def __init__(self, workbook: Any = None) -> None:
        self._workbook = workbook
        self._names: list[DefinedName] = []

    def _sheet(self, scope: Any) -> Any:
        if scope is None or not isinstance(scope, str):
            return scope
        for ws in getattr(self._workbook, "worksheets", ()):
            if ws.title == scope:
                return ws
        raise ValueError(f"no sheet titled {scope!r} to hold a local name")

    def _same_scope(self, dn: DefinedName, sheet: Any) -> bool:
        if sheet is None:
            return dn.sheet is None and dn.local_sheet_id is None
        return dn.sheet is sheet

    def get(self, name: str, scope: Any = None) -> DefinedName | None:
        """The name `name` of `scope` (None: the workbook; a worksheet or
        its title), whatever the case of its letters."""
        sheet = self._sheet(scope)
        folded = name.casefold()
        for dn in self._names:
            if dn.name.casefold() == folded and self._same_scope(dn, sheet):
                return dn
        return None

    def __getitem__(self, key: int | str | tuple[str, Any]) -> DefinedName:
        """By name (global), by (name, scope), or by place in the list."""
        if isinstance(key, int):
            return self._names[key]
        name, scope = key if isinstance(key, tuple) else (key, None)
        found = self.get(name, scope)
        if found is None:
            where = "the workbook" if scope is None else f"sheet {getattr(scope, 'title', scope)!r}"
            raise KeyError(f"no defined name {name!r} in {where}")
        return found

    def __contains__(self, key: object) -> bool:
        if isinstance(key, DefinedName):
            return key in self._names
        if isinstance(key, tuple):
            return self.get(*key) is not None
        return isinstance(key, str) and self.get(key) is not None

    def __iter__(self) -> Iterator[DefinedName]:
        return iter(list(self._names))

    def __len__(self) -> int:
        return len(self._names)

    def __repr__(self) -> str:
        return f"DefinedNames({self._names!r})"

    def add(self, name: str, value: str, scope: Any = None, hidden: bool = False,
            comment: str | None = None) -> DefinedName:
        """Define `name` as `value` (a formula such as "Sheet1!$A$1:$A$9",
        with or without "="), in `scope` (None: the whole workbook; a
        worksheet or its title)."""
        check_name(name)
        if not isinstance(value, str) or not value.strip("= "):
            raise ValueError(f"a defined name's value is a formula text, not {value!r}")
        if not isinstance(hidden, bool):
            raise TypeError(f"hidden is True or False, not {hidden!r}")
        if comment is not None and (not isinstance(comment, str) or len(comment) > 255):
            raise ValueError(f"a defined name's comment is a str of at most 255 characters, "
                             f"not {comment!r}")
        sheet = self._sheet(scope)
        if self.get(name, sheet) is not None:
            where = "the workbook" if sheet is None else f"sheet {sheet.title!r}"
            raise ValueError(f"{where} has a name {name!r} already")
        dn = DefinedName(name, value[1:] if value.startswith("=") else value, sheet=sheet,
                         hidden=hidden, comment=comment)
        self._names.append(dn)
        return dn

    def append(self, dn: DefinedName) -> None:
        """Take a name as given (not checked); a local one given by its
        sheet's place is tied to the sheet there now."""
        sheets = list(getattr(self._workbook, "worksheets", ()))
        if dn.sheet is None and dn.local_sheet_id is not None \
                and dn.local_sheet_id < len(sheets):
            dn.sheet = sheets[dn.local_sheet_id]
        self._names.append(dn)

    def remove(self, name: str | DefinedName, scope: Any = None) -> None:
        dn = name if isinstance(name, DefinedName) else self[(name, scope)]
        self._names.remove(dn)

    def set(self, name: str, value: str | None, scope: Any) -> None:
        """Replace (or with None remove) the name of `scope`, if any."""
        old = self.get(name, scope)
        if old is not None:
            self._names.remove(old)
        if value is not None:
            self.add(name, value, scope)

    def bind_sheets(self, sheets: list[Any]) -> None:
        """Tie each local name read from a file to its sheet (`sheets`: the
        workbook's sheets in file order, None for those not kept)."""
        for dn in self._names:
            if dn.sheet is None and dn.local_sheet_id is not None \
                    and dn.local_sheet_id < len(sheets):
                dn.sheet = sheets[dn.local_sheet_id]
