"""What a cell holds, and the column types of a table.

A cell's value (as the package's read-only reader gives it, with formula
cells holding their cached values) falls into one kind; a column's type is
inferred from the kinds of its first rows:

=====================  ==========================================
kinds in the column    type
=====================  ==========================================
none (all empty)       "null"
booleans               "boolean"
whole numbers          "int" (numbers with no fraction, within int64)
numbers                "float" (as soon as one has a fraction)
text                   "string"
dates                  "date" when every one is at midnight in a
                       format that shows no time of day, else
                       "datetime" (dates and date-times mix)
times of day           "time"
durations              "duration" ("[h]:mm"-style formats)
anything else mixed    "string" ("coerce"), an error ("strict")
=====================  ==========================================

Error cells are null under "coerce" and an error under "strict". Values
that do not fit their column's type become null under "coerce" (a number
in a string column becomes its text) and raise under "strict".
"""

from __future__ import annotations

import datetime
from enum import IntEnum
from typing import Any

from tavrinex.writer.values import safe_string

TYPES = ("null", "boolean", "int", "float", "string", "datetime", "date", "time", "duration")
INT64_MIN, INT64_MAX = -(2 ** 63), 2 ** 63 - 1
DAY_US = 86_400_000_000
UNIX_EPOCH = datetime.datetime(1970, 1, 1)
_US = datetime.timedelta(microseconds=1)
_UTC = datetime.timezone.utc


class Kind(IntEnum):
    EMPTY = 0
    ERROR = 1      # payload: the error text
    BOOL = 2       # payload: bool
    INT = 3        # payload: int within int64
    FLOAT = 4      # payload: float
    TEXT = 5       # payload: str
    DATETIME = 6   # payload: microseconds since 1970-01-01
    DAYSTART = 7   # a DATETIME at midnight in a format that shows no time of day
    DATE = 8       # a date: microseconds of its midnight
    TIME = 9       # microseconds since midnight
    DURATION = 10  # microseconds


KIND_NAMES = {Kind.BOOL: "boolean", Kind.INT: "int", Kind.FLOAT: "float", Kind.TEXT: "string",
              Kind.DATETIME: "datetime", Kind.DAYSTART: "datetime", Kind.DATE: "date",
              Kind.TIME: "time", Kind.DURATION: "duration", Kind.ERROR: "error",
              Kind.EMPTY: "empty"}


def micros(value: datetime.datetime) -> int:
    """Microseconds from 1970-01-01 to a naive datetime."""
    return (value - UNIX_EPOCH) // _US


def classify(value: Any, data_type: str, style_id: Any,
             day_styles: frozenset[int]) -> tuple[Kind, Any]:
    """The kind and payload of a cell read with `data_type` and `style_id`."""
    if value is None:
        return Kind.EMPTY, None
    if data_type == "e":
        return Kind.ERROR, str(value)
    if isinstance(value, bool):
        return Kind.BOOL, value
    if isinstance(value, int):
        if INT64_MIN <= value <= INT64_MAX:
            return Kind.INT, value
        try:
            return Kind.FLOAT, float(value)
        except OverflowError:
            return Kind.TEXT, str(value)
    if isinstance(value, float):
        return Kind.FLOAT, value
    if isinstance(value, str):
        return Kind.TEXT, value
    if isinstance(value, datetime.datetime):
        if value.tzinfo is not None:   # an ISO date with an offset: its time in UTC
            value = value.astimezone(_UTC).replace(tzinfo=None)
        us = micros(value)
        day = us % DAY_US == 0 and style_id in day_styles
        return (Kind.DAYSTART if day else Kind.DATETIME), us
    if isinstance(value, datetime.date):
        return Kind.DATE, micros(datetime.datetime(value.year, value.month, value.day))
    if isinstance(value, datetime.time):
        return Kind.TIME, (((value.hour * 60 + value.minute) * 60 + value.second) * 1_000_000
                           + value.microsecond)
    if isinstance(value, datetime.timedelta):
        us = value // _US
        if not INT64_MIN <= us <= INT64_MAX:
            return Kind.ERROR, duration_text(value)
        return Kind.DURATION, us
    return Kind.TEXT, str(value)


def duration_text(value: datetime.timedelta) -> str:
    """Elapsed time as hours:minutes:seconds, "-30:00:00", "1:02:03.5"."""
    us = value // _US
    sign = "-" if us < 0 else ""
    seconds, us = divmod(abs(us), 1_000_000)
    minutes, seconds = divmod(seconds, 60)
    hours, minutes = divmod(minutes, 60)
    text = f"{sign}{hours}:{minutes:02}:{seconds:02}"
    return text + f".{us:06}".rstrip("0") if us else text


def value_text(kind: Kind, payload: Any) -> str:
    """The text of a value in a string column (and of a header cell):
    numbers as the writer writes them, booleans as TRUE/FALSE, dates and
    times in ISO 8601, durations as hours:minutes:seconds."""
    if kind == Kind.EMPTY:
        return ""
    if kind in (Kind.TEXT, Kind.ERROR):
        return str(payload)
    if kind == Kind.BOOL:
        return "TRUE" if payload else "FALSE"
    if kind in (Kind.INT, Kind.FLOAT):
        return safe_string(payload)
    if kind in (Kind.DATETIME, Kind.DAYSTART):
        return (UNIX_EPOCH + datetime.timedelta(microseconds=payload)).isoformat()
    if kind == Kind.DATE:
        return (UNIX_EPOCH + datetime.timedelta(microseconds=payload)).date().isoformat()
    if kind == Kind.TIME:
        return (datetime.datetime.min + datetime.timedelta(microseconds=payload)).time().isoformat()
    return duration_text(datetime.timedelta(microseconds=payload))


# -- inference: kinds grouped, the group of a column's first rows its type

_BOOL, _INTLIKE, _FLOAT, _STR, _DATETIME, _DAY, _TIME, _DURATION, MIXED = range(1, 10)
_MIXED = MIXED
_CATEGORY = {Kind.BOOL: _BOOL, Kind.INT: _INTLIKE, Kind.TEXT: _STR, Kind.DATETIME: _DATETIME,
             Kind.DAYSTART: _DAY, Kind.DATE: _DAY, Kind.TIME: _TIME, Kind.DURATION: _DURATION}
_TYPE_OF = {None: "null", _BOOL: "boolean", _INTLIKE: "int", _FLOAT: "float", _STR: "string",
            _DATETIME: "datetime", _DAY: "date", _TIME: "time", _DURATION: "duration",
            _MIXED: "string"}


def whole(x: float) -> bool:
    """A float with no fraction that an int64 holds."""
    return x.is_integer() and -9223372036854775808.0 <= x < 9223372036854775808.0


def category(kind: Kind, payload: Any) -> int:
    if kind == Kind.FLOAT:
        return _INTLIKE if whole(payload) else _FLOAT
    return _CATEGORY[kind]


def combine(a: int | None, b: int) -> int:
    if a is None or a == b:
        return b
    if {a, b} == {_INTLIKE, _FLOAT}:
        return _FLOAT
    if {a, b} == {_DATETIME, _DAY}:
        return _DATETIME
    return _MIXED


def type_of(cat: int | None) -> str:
    return _TYPE_OF[cat]


# -- casting: a value into its column's type

class NoFit(Exception):
    """The value does not fit the type."""


def cast(kind: Kind, payload: Any, type_name: str, strict: bool) -> Any:
    """The value of a cell in a column of `type_name`, in the column's
    units (microseconds for datetime, time and duration; days for date);
    None when it is null. Raises NoFit where the value does not fit (under
    "coerce" the caller makes it null)."""
    if kind == Kind.EMPTY:
        return None
    if kind == Kind.ERROR:
        raise NoFit
    if type_name == "boolean" and kind == Kind.BOOL:
        return payload
    if type_name == "int":
        if kind == Kind.INT:
            return payload
        if kind == Kind.FLOAT and whole(payload):
            return int(payload)
    elif type_name == "float":
        if kind == Kind.INT:
            return float(payload)
        if kind == Kind.FLOAT:
            return payload
    elif type_name == "string":
        if kind == Kind.TEXT:
            return payload
        if not strict:
            return value_text(kind, payload)
    elif type_name == "datetime":
        if kind in (Kind.DATETIME, Kind.DAYSTART, Kind.DATE):
            return payload
    elif type_name == "date":
        if kind in (Kind.DATETIME, Kind.DAYSTART, Kind.DATE):
            if strict and payload % DAY_US:
                raise NoFit
            return payload // DAY_US
    elif type_name == "time":
        if kind == Kind.TIME:
            return payload
    elif type_name == "duration":
        if kind == Kind.DURATION:
            return payload
    raise NoFit


def python_value(type_name: str, value: Any) -> Any:
    """A column value (in the column's units) as a Python object."""
    if value is None:
        return None
    if type_name == "datetime":
        return UNIX_EPOCH + datetime.timedelta(microseconds=value)
    if type_name == "date":
        return (UNIX_EPOCH + datetime.timedelta(days=value)).date()
    if type_name == "time":
        return (datetime.datetime.min + datetime.timedelta(microseconds=value)).time()
    if type_name == "duration":
        return datetime.timedelta(microseconds=value)
    return value
