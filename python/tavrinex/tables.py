"""Tables: named ranges of rows with a header row, columns, an optional
totals row and a table style. Each is a part of its own beside the sheet."""

from __future__ import annotations

from typing import Any
from xml.etree import ElementTree as ET

from tavrinex.names import check_name
from tavrinex.utils.elements import MAIN_NS, flag, integer, local, new, sub
from tavrinex.utils.ranges import Bounds, normalized_range, range_bounds, range_text

TOTALS_FUNCTIONS = frozenset(("sum", "average", "count", "countNums", "max", "min", "stdDev",
                              "var", "custom", "none"))
# SUBTOTAL's function numbers (those that skip hidden rows) by totals function.
SUBTOTAL = {"average": 101, "countNums": 102, "count": 103, "max": 104, "min": 105,
            "stdDev": 107, "sum": 109, "var": 110}
_FLAGS = ("header_row", "totals_row", "show_row_stripes", "show_column_stripes",
          "show_first_column", "show_last_column")


class TableColumn:
    """A table column: its `name` (the header cell's text) and what the
    totals row shows under it (`totals_function`, or `totals_label`)."""

    def __init__(self, name: str, totals_function: str | None = None,
                 totals_label: str | None = None) -> None:
        if not isinstance(name, str) or not name:
            raise ValueError(f"a table column's name is a non-empty str, not {name!r}")
        if totals_function is not None and totals_function not in TOTALS_FUNCTIONS:
            raise ValueError(f"a totals function is one of {', '.join(sorted(TOTALS_FUNCTIONS))},"
                             f" not {totals_function!r}")
        if totals_label is not None and not isinstance(totals_label, str):
            raise TypeError(f"a totals label is a str, not {type(totals_label).__name__}")
        self.name = name
        self.totals_function = totals_function
        self.totals_label = totals_label
        self.extra: dict[str, str] = {}
        self.children: list[ET.Element] = []

    def _key(self) -> tuple[Any, ...]:
        return self.name, self.totals_function, self.totals_label

    def __eq__(self, other: object) -> bool:
        if isinstance(other, str):
            return self.name == other and self.totals_function is None
        if not isinstance(other, TableColumn):
            return NotImplemented
        return self._key() == other._key()

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        extra = "".join(f", {k}={v!r}" for k, v in (("totals_function", self.totals_function),
                                                    ("totals_label", self.totals_label)) if v)
        return f"TableColumn({self.name!r}{extra})"


def _columns(columns: Any) -> list[TableColumn] | None:
    if columns is None:
        return None
    if isinstance(columns, (str, bytes)) or not hasattr(columns, "__iter__"):
        raise TypeError(f"table columns are a list of names or TableColumns, not {columns!r}")
    made = [c if isinstance(c, TableColumn) else TableColumn(c) for c in columns]
    seen: set[str] = set()
    for column in made:
        if column.name.casefold() in seen:
            raise ValueError(f"two table columns are named {column.name!r}")
        seen.add(column.name.casefold())
    return made


class Table:
    """A table over `ref` ("A1:D20", the header row and the totals row
    included), in `style` (a table style name, None for none)."""

    def __init__(self, name: str, ref: str, style: str | None = "TableStyleMedium9",
                 header_row: bool = True, totals_row: bool = False,
                 show_row_stripes: bool = True, show_column_stripes: bool = False,
                 columns: Any = None, show_first_column: bool = False,
                 show_last_column: bool = False) -> None:
        self.extra: dict[str, str] = {}          # a file's attributes the model does not name
        self.children: list[ET.Element] = []     # and its children (sortState, extLst)
        self.style_extra: dict[str, str] = {}
        self.filter_element: ET.Element | None = None
        self.id: int | None = None
        self.display_name: str | None = None
        self.name = name
        self.header_row = header_row
        self.totals_row = totals_row
        self.ref = ref
        self.style = style
        self.show_row_stripes = show_row_stripes
        self.show_column_stripes = show_column_stripes
        self.show_first_column = show_first_column
        self.show_last_column = show_last_column
        self.columns = columns

    def __setattr__(self, name: str, value: Any) -> None:
        if name == "name":
            check_name(value, "a table name")
            if "\\" in value or "?" in value or value.startswith("_xlnm."):
                raise ValueError(f"a table name holds letters, digits, underscores and "
                                 f"periods only, not {value!r}")
        elif name == "ref":
            value = normalized_range(value, "a table's range")
            r1, _, r2, _ = range_bounds(value)
            need = 1 + self.__dict__.get("header_row", True) + self.__dict__.get("totals_row",
                                                                                  False)
            if r2 - r1 + 1 < need:
                raise ValueError(f"table range {value} has {r2 - r1 + 1} rows; its header, "
                                 f"totals and data rows need {need}")
        elif name == "style":
            if value is not None and (not isinstance(value, str) or not value):
                raise ValueError(f"a table style is a style name or None, not {value!r}")
        elif name in _FLAGS:
            if not isinstance(value, bool):
                raise TypeError(f"Table.{name} is True or False, not {value!r}")
        elif name == "columns":
            value = _columns(value)
            if value is not None and "ref" in self.__dict__ and len(value) != self.width:
                raise ValueError(f"table {self.name!r} spans {self.width} columns; "
                                 f"{len(value)} column names were given")
        object.__setattr__(self, name, value)

    @property
    def bounds(self) -> Bounds:
        return range_bounds(self.ref)

    @property
    def width(self) -> int:
        r1, c1, r2, c2 = self.bounds
        return c2 - c1 + 1

    def _key(self) -> tuple[Any, ...]:
        return (self.name, self.ref, self.style, self.header_row, self.totals_row,
                self.show_row_stripes, self.show_column_stripes, self.show_first_column,
                self.show_last_column, self.columns)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Table):
            return NotImplemented
        return self._key() == other._key()

    __hash__ = None  # type: ignore[assignment]

    def snapshot(self) -> tuple[Any, ...]:
        key = self._key()
        return key[:-1] + (tuple(c._key() for c in self.columns or ()),)

    def __repr__(self) -> str:
        return f"Table({self.name!r}, {self.ref!r}, columns={self.columns!r})"

    # -- the part

    def element(self, table_id: int) -> ET.Element:
        el = ET.Element(f"{{{MAIN_NS}}}table", {"id": str(table_id), "name": self.name,
                                                 "displayName": self.display_name or self.name,
                                                 "ref": self.ref})
        if not self.header_row:
            el.set("headerRowCount", "0")
        if self.totals_row:
            el.set("totalsRowCount", "1")
        else:
            el.set("totalsRowShown", "0")
        el.attrib.update(self.extra)
        if self.header_row:
            r1, c1, r2, c2 = self.bounds
            ref = range_text((r1, c1, r2 - int(self.totals_row), c2))
            if self.filter_element is not None:
                self.filter_element.set("ref", ref)
                el.append(self.filter_element)
            else:
                sub(el, "autoFilter", ref=ref)
        given = self.columns if self.columns is not None else [
            TableColumn(f"Column{i + 1}") for i in range(self.width)]
        columns = sub(el, "tableColumns", count=str(len(given)))
        for n, column in enumerate(given, 1):
            item = sub(columns, "tableColumn", id=str(n), name=column.name)
            if column.totals_label is not None:
                item.set("totalsRowLabel", column.totals_label)
            if column.totals_function is not None:
                item.set("totalsRowFunction", column.totals_function)
            item.attrib.update(column.extra)
            item.extend(column.children)
        before = [c for c in self.children if local(c.tag) == "sortState"]
        el[1 if self.header_row else 0:1 if self.header_row else 0] = before
        if self.style is not None or self.style_extra:
            info = sub(el, "tableStyleInfo")
            if self.style is not None:
                info.set("name", self.style)
            for name, attribute in (("show_first_column", "showFirstColumn"),
                                    ("show_last_column", "showLastColumn"),
                                    ("show_row_stripes", "showRowStripes"),
                                    ("show_column_stripes", "showColumnStripes")):
                info.set(attribute, "1" if getattr(self, name) else "0")
            info.attrib.update(self.style_extra)
        el.extend(c for c in self.children if local(c.tag) != "sortState")
        return el

    @classmethod
    def from_element(cls, el: ET.Element) -> Table:
        made = object.__new__(cls)
        values: dict[str, Any] = {
            "extra": {k: v for k, v in el.attrib.items()
                      if k not in ("id", "name", "displayName", "ref", "headerRowCount",
                                   "totalsRowCount", "totalsRowShown")},
            "children": [], "style_extra": {}, "filter_element": None,
            "id": integer(el.get("id")), "name": el.get("displayName") or el.get("name", ""),
            "display_name": el.get("displayName"), "ref": el.get("ref", ""),
            "header_row": integer(el.get("headerRowCount")) != 0,
            "totals_row": bool(integer(el.get("totalsRowCount"))),
            "style": None, "show_row_stripes": False, "show_column_stripes": False,
            "show_first_column": False, "show_last_column": False, "columns": []}
        if el.get("totalsRowShown") not in (None, "0"):
            values["extra"]["totalsRowShown"] = el.get("totalsRowShown")
        for child in el:
            name = local(child.tag)
            if name == "autoFilter":
                values["filter_element"] = child
            elif name == "tableColumns":
                for item in child:
                    column = object.__new__(TableColumn)
                    column.name = item.get("name", "")
                    column.totals_function = item.get("totalsRowFunction")
                    column.totals_label = item.get("totalsRowLabel")
                    column.extra = {k: v for k, v in item.attrib.items()
                                    if k not in ("id", "name", "totalsRowFunction",
                                                 "totalsRowLabel")}
                    column.children = list(item)
                    values["columns"].append(column)
            elif name == "tableStyleInfo":
                values["style"] = child.get("name")
                for field, attribute in (("show_first_column", "showFirstColumn"),
                                         ("show_last_column", "showLastColumn"),
                                         ("show_row_stripes", "showRowStripes"),
                                         ("show_column_stripes", "showColumnStripes")):
                    values[field] = flag(child.get(attribute))
                values["style_extra"] = {
                    k: v for k, v in child.attrib.items()
                    if k not in ("name", "showFirstColumn", "showLastColumn", "showRowStripes",
                                 "showColumnStripes")}
            else:
                values["children"].append(child)
        for key, value in values.items():
            object.__setattr__(made, key, value)
        return made

    def header_cells(self) -> list[tuple[int, int]]:
        """(row, column) of each header cell."""
        r1, c1, _, c2 = self.bounds
        return [(r1, c) for c in range(c1, c2 + 1)]

    def totals_formula(self, column: TableColumn) -> str | None:
        """The formula the totals row holds under `column`, if any."""
        number = SUBTOTAL.get(column.totals_function or "")
        if number is None:
            return None
        escaped = "".join("'" + ch if ch in "[]#'" else ch for ch in column.name)
        return f"=SUBTOTAL({number},{self.name}[{escaped}])"
