"""What removing a worksheet takes with it, and what it leaves pointing at
nothing.

The parts only the sheet used (its drawings, comments, tables, pivot
tables) go by themselves: a save copies what the remaining sheets and the
workbook still reach. Names local to the sheet go with it here. Defined
names, charts and pivot caches that still refer to the sheet stay (Excel
shows #REF! for them), and one warning names them.
"""

from __future__ import annotations

import re
import warnings
from typing import Any

from tavrinex.errors import InvalidFileError

_CHART = "drawingml.chart+xml"
_PIVOT_CACHE = "pivotCacheDefinition+xml"


def sheet_reference(title: str) -> re.Pattern[str]:
    """A pattern for a reference to the sheet `title` in formula text:
    'Title'! or, for a title that needs no quotes, Title!."""
    quoted = "'" + re.escape(title.replace("'", "''")) + "'!"
    return re.compile(rf"(?<![\w.']){re.escape(title)}!|{quoted}", re.IGNORECASE)


def sheet_removed(wb: Any, ws: Any) -> None:
    names: Any = getattr(wb, "defined_names", ())
    for dn in list(names):
        if getattr(dn, "sheet", None) is ws:
            names.remove(dn)
    pattern = sheet_reference(ws.title)
    referrers = [f"the defined name {dn.name}" for dn in names
                 if isinstance(dn.value, str) and pattern.search(dn.value)]
    referrers += _kept_referrers(wb, ws, pattern)
    if referrers:
        warnings.warn(f"sheet {ws.title!r} was removed, but these still refer to it: "
                      + ", ".join(referrers), stacklevel=3)


def _kept_referrers(wb: Any, removed: Any, pattern: re.Pattern[str]) -> list[str]:
    """Charts and pivot caches kept from the file, still reached from the
    workbook, that refer to the sheet."""
    source = getattr(wb, "_source", None)
    record = getattr(wb, "_book", None)
    if source is None or record is None:
        return []
    found = []
    try:
        with source.open() as reader:
            roots = [rel for rel in record.layout.rels.values()
                     if rel.kind not in ("worksheet",) and not rel.external]
            for ws in wb.worksheets:
                layout = getattr(ws, "_layout", None)
                if layout is not None and ws is not removed:
                    roots += [rel for rel in layout.rels.values() if not rel.external]
            seen: set[str] = set()
            queue = [rel.target for rel in roots]
            while queue:
                part = queue.pop()
                if part.lower() in seen or not reader.has(part):
                    continue
                seen.add(part.lower())
                ctype = reader.content_type(part) or ""
                if _CHART in ctype:
                    formulas = re.findall(r"<(?:\w+:)?f>([^<]*)</(?:\w+:)?f>",
                                          reader.read(part).decode("utf-8", "replace"))
                    if any(pattern.search(_unescape(f)) for f in formulas):
                        found.append(f"the chart {part}")
                elif _PIVOT_CACHE in ctype:
                    text = reader.read(part).decode("utf-8", "replace")
                    for match in re.finditer(r"<(?:\w+:)?worksheetSource\b[^>]*>", text):
                        sheet = re.search(r"""\ssheet\s*=\s*["']([^"']*)["']""", match[0])
                        if sheet and _unescape(sheet[1]).casefold() == removed.title.casefold():
                            found.append(f"the pivot cache {part}")
                if "worksheet+xml" in ctype:
                    continue   # the remaining sheets' own parts are roots already
                queue += [rel.target for rel in reader.rels(part).values() if not rel.external]
    except InvalidFileError:
        return found   # the save reports a changed source
    return sorted(set(found))


def _unescape(text: str) -> str:
    return (text.replace("&apos;", "'").replace("&quot;", '"').replace("&lt;", "<")
            .replace("&gt;", ">").replace("&amp;", "&"))
