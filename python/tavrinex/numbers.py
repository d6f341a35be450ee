"""Number formats: the built-in table and what a format says about a value.

A cell's style names a number format by id: ids below 164 are built in
(the table below), higher ids are defined by the workbook's styles part.
Whether a format shows a date, a time or an elapsed duration decides
whether a number cell is read as a datetime/date/time or a timedelta.
"""

from __future__ import annotations

import re

BUILTIN_FORMATS: dict[int, str] = {
    0: "General",
    1: "0",
    2: "0.00",
    3: "#,##0",
    4: "#,##0.00",
    5: '"$"#,##0_);("$"#,##0)',
    6: '"$"#,##0_);[Red]("$"#,##0)',
    7: '"$"#,##0.00_);("$"#,##0.00)',
    8: '"$"#,##0.00_);[Red]("$"#,##0.00)',
    9: "0%",
    10: "0.00%",
    11: "0.00E+00",
    12: "# ?/?",
    13: "# ??/??",
    14: "mm-dd-yy",
    15: "d-mmm-yy",
    16: "d-mmm",
    17: "mmm-yy",
    18: "h:mm AM/PM",
    19: "h:mm:ss AM/PM",
    20: "h:mm",
    21: "h:mm:ss",
    22: "m/d/yy h:mm",
    37: "#,##0 ;(#,##0)",
    38: "#,##0 ;[Red](#,##0)",
    39: "#,##0.00;(#,##0.00)",
    40: "#,##0.00;[Red](#,##0.00)",
    41: '_(* #,##0_);_(* \\(#,##0\\);_(* "-"_);_(@_)',
    42: '_("$"* #,##0_);_("$"* \\(#,##0\\);_("$"* "-"_);_(@_)',
    43: '_(* #,##0.00_);_(* \\(#,##0.00\\);_(* "-"??_);_(@_)',
    44: '_("$"* #,##0.00_)_("$"* \\(#,##0.00\\)_("$"* "-"??_)_(@_)',
    45: "mm:ss",
    46: "[h]:mm:ss",
    47: "mmss.0",
    48: "##0.0E+0",
    49: "@",
}

FIRST_CUSTOM_ID = 164
# Built-in ids whose text depends on the reader's locale but which always
# show dates (the East Asian calendars among them).
_LOCALE_DATE_IDS = frozenset(range(27, 37)) | frozenset(range(50, 59))

# Pieces of a format that show no date part: quoted text, escaped and
# padded characters, and bracketed colours, conditions and locales.
_LITERALS = re.compile(r'"[^"]*"|\\.|[_*].|\[(?!(?:h+|m+|s+)\])[^\]]*\]', re.IGNORECASE)
_DATE_CHARS = re.compile(r"[dmyhs]", re.IGNORECASE)
_ELAPSED = re.compile(r"\[(?:h+|m+|s+)\]", re.IGNORECASE)


def _first_section(code: str) -> str:
    """The section of a format used for positive numbers."""
    return _LITERALS.sub("", code).split(";", 1)[0]


def is_date_format(code: str | None) -> bool:
    """Whether the format shows a number as a date, a time or a duration."""
    if not code:
        return False
    section = _first_section(code)
    return section.lower() != "general" and _DATE_CHARS.search(section) is not None


def is_timedelta_format(code: str | None) -> bool:
    """Whether the format shows elapsed time ("[h]:mm:ss", "[mm]:ss")."""
    if not code:
        return False
    return _ELAPSED.search(_first_section(code)) is not None


def format_code(fmt_id: int, custom: dict[int, str] | None = None) -> str:
    """The text of number format `fmt_id`, "General" when it is unknown."""
    if custom:
        code = custom.get(fmt_id)
        if code is not None:
            return code
    return BUILTIN_FORMATS.get(fmt_id, "General")


def is_date_id(fmt_id: int, custom: dict[int, str] | None = None) -> bool:
    """Whether number format `fmt_id` shows dates, times or durations."""
    if custom and fmt_id in custom:
        return is_date_format(custom[fmt_id])
    return fmt_id in _LOCALE_DATE_IDS or is_date_format(BUILTIN_FORMATS.get(fmt_id))


def is_timedelta_id(fmt_id: int, custom: dict[int, str] | None = None) -> bool:
    if custom and fmt_id in custom:
        return is_timedelta_format(custom[fmt_id])
    return is_timedelta_format(BUILTIN_FORMATS.get(fmt_id))
