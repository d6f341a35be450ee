"""A sheet's autofilter: the range it covers and the values each column
is filtered to."""

from __future__ import annotations

from typing import Any
from xml.etree import ElementTree as ET

from tavrinex.utils.elements import flag, integer, local, new, num_text, sub
from tavrinex.utils.ranges import normalized_range, range_bounds


class AutoFilter:
    """``ref`` is the range (header row first) or None for no filter;
    ``filters`` maps a column's index within the range (from 0) to the
    values it shows (None stands for blank cells). Filters of other kinds
    read from a file (custom, top 10, by colour) are kept as they are."""

    def __init__(self, ref: str | None = None) -> None:
        self._ref: str | None = None
        self._filters: dict[int, list[str | None]] = {}
        self.attributes: dict[str, str] = {}
        self.kept_columns: dict[int, ET.Element] = {}   # filter columns of other kinds
        self.children: list[ET.Element] = []            # sortState, extLst
        self.ref = ref

    def __repr__(self) -> str:
        return f"AutoFilter(ref={self._ref!r}, filters={self._filters!r})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, AutoFilter):
            return NotImplemented
        return (self._ref, self._filters) == (other._ref, other._filters)

    __hash__ = None  # type: ignore[assignment]

    def snapshot(self) -> tuple[Any, ...]:
        return self._ref, tuple((k, tuple(v)) for k, v in sorted(self._filters.items()))

    @property
    def ref(self) -> str | None:
        return self._ref

    @ref.setter
    def ref(self, value: str | None) -> None:
        if value is None:
            self._ref = None
            self._filters.clear()
            self.kept_columns.clear()
            return
        self._ref = normalized_range(value, "an autofilter's range")
        width = self.width
        for index in [i for i in self._filters if i >= width]:
            del self._filters[index]

    @property
    def width(self) -> int:
        if self._ref is None:
            return 0
        r1, c1, r2, c2 = range_bounds(self._ref)
        return c2 - c1 + 1

    @property
    def filters(self) -> dict[int, list[str | None]]:
        return {k: list(v) for k, v in sorted(self._filters.items())}

    def add_filter(self, column_index: int, values: Any) -> None:
        """Show only the rows whose cell in column `column_index` (from 0,
        within the range) holds one of `values` (texts or numbers; None
        for blank cells)."""
        if self._ref is None:
            raise ValueError("set auto_filter.ref before adding filters")
        if isinstance(column_index, bool) or not isinstance(column_index, int):
            raise TypeError(f"a filter's column index is an int, not {column_index!r}")
        if not 0 <= column_index < self.width:
            raise ValueError(f"column index {column_index} is outside the filter's range "
                             f"{self._ref} (0 to {self.width - 1})")
        if isinstance(values, (str, int, float)) or values is None:
            values = [values]
        shown: list[str | None] = []
        for value in values:
            if value is None:
                shown.append(None)
            elif isinstance(value, bool) or not isinstance(value, (str, int, float)):
                raise TypeError(f"filter values are texts or numbers, not {value!r}")
            else:
                shown.append(value if isinstance(value, str) else num_text(value))
        if not shown:
            raise ValueError("a filter shows at least one value")
        self._filters[column_index] = shown
        self.kept_columns.pop(column_index, None)

    def remove_filter(self, column_index: int) -> None:
        self._filters.pop(column_index, None)
        self.kept_columns.pop(column_index, None)

    # -- elements

    @classmethod
    def from_element(cls, el: ET.Element) -> AutoFilter:
        made = cls()
        made._ref = el.get("ref")
        made.attributes = {k: v for k, v in el.attrib.items() if k != "ref"}
        for child in el:
            if local(child.tag) != "filterColumn":
                made.children.append(child)
                continue
            index = integer(child.get("colId"))
            parts = list(child)
            values = _plain_values(child, parts)
            if index is None:
                continue
            if values is None:
                made.kept_columns[index] = child
            else:
                made._filters[index] = values
        return made

    def element(self) -> ET.Element | None:
        if self._ref is None:
            return None
        el = new("autoFilter", {"ref": self._ref, **self.attributes})
        columns = {**self.kept_columns}
        for index, values in self._filters.items():
            column = new("filterColumn", {"colId": str(index)})
            holder = sub(column, "filters")
            if None in values:
                holder.set("blank", "1")
            for value in values:
                if value is not None:
                    sub(holder, "filter", val=value)
            columns[index] = column
        el.extend(columns[i] for i in sorted(columns))
        el.extend(self.children)
        return el


def _plain_values(column: ET.Element, parts: list[ET.Element]) -> list[str | None] | None:
    """The values of a filter column that lists values and nothing else,
    or None when it holds something else."""
    if set(column.attrib) - {"colId"} or len(parts) != 1 or local(parts[0].tag) != "filters":
        return None
    holder = parts[0]
    if set(holder.attrib) - {"blank"}:
        return None
    values: list[str | None] = []
    for item in holder:
        if local(item.tag) != "filter" or set(item.attrib) != {"val"}:
            return None
        values.append(item.get("val", ""))
    if flag(holder.get("blank")):
        values.append(None)
    return values
