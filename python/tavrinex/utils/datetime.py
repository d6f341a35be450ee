"""Excel serial dates and ISO 8601 texts.

A serial counts days from an epoch: 1899-12-30 for workbooks in the 1900
date system (so that serial 61 is 1900-03-01 despite the fictitious
1900-02-29 that serial 60 stands for), 1904-01-01 for the 1904 system.
Serials convert at millisecond precision, rounded half to even.
"""

import datetime
import math
import numbers
import re
from decimal import Decimal
from fractions import Fraction

WINDOWS_EPOCH = datetime.datetime(1899, 12, 30)
MAC_EPOCH = datetime.datetime(1904, 1, 1)

_DAY_MS = 86_400_000
_DAY_US = 86_400_000_000


def _split_serial(x):
    """Whole days and milliseconds of a float serial; the milliseconds are
    in 0 .. 86_400_000 (the upper end when rounding reaches the next day)."""
    if not math.isfinite(x):
        raise ValueError(f"serial {x!r} is not a finite number")
    frac = math.fmod(x, 1.0)
    whole = math.trunc(x)
    if frac < 0:
        frac += 1.0
        whole -= 1
    # Same operations, in the same order, as the native reader.
    return whole, round(frac * 86400.0 * 1000.0)


def _serial_number(value):
    """An int or a float serial from any real number (bool and Decimal too)."""
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, float):
        return value
    if isinstance(value, (numbers.Real, Decimal)):
        return float(value)
    raise TypeError(f"an Excel serial must be a number, not {type(value).__name__}")


def from_excel(value, epoch=WINDOWS_EPOCH, timedelta=False):
    """The datetime (or time of day, or timedelta) that a serial stands for.

    Serials 0 <= x < 1 are times of day; with the 1900 epoch, serials below
    60 are moved one day on to skip the fictitious 1900-02-29. Values
    outside the datetime range raise OverflowError, non-finite ones
    ValueError.
    """
    serial = _serial_number(value)
    if timedelta:
        if isinstance(serial, int):
            return datetime.timedelta(days=serial)
        whole, ms = _split_serial(serial)
        return datetime.timedelta(days=whole, milliseconds=ms)
    leap_shift = epoch == WINDOWS_EPOCH
    if isinstance(serial, int):
        if serial == 0:
            return datetime.time(0, 0)
        if leap_shift and 0 < serial < 60:
            serial += 1
        return epoch + datetime.timedelta(days=serial)
    whole, ms = _split_serial(serial)
    if 0 <= serial < 1 and ms < _DAY_MS:
        seconds, millis = divmod(ms, 1000)
        minutes, seconds = divmod(seconds, 60)
        hours, minutes = divmod(minutes, 60)
        return datetime.time(hours, minutes, seconds, millis * 1000)
    if leap_shift and 0 < serial < 60:
        whole += 1
    return epoch + datetime.timedelta(days=whole, milliseconds=ms)


def to_excel(dt, epoch=WINDOWS_EPOCH):
    """The serial of a datetime, date, time of day or timedelta.

    Dates give whole days (an int), the others a float. With the 1900 epoch,
    days before 1900-03-01 count one less, mirroring from_excel.
    """
    if isinstance(dt, datetime.timedelta):
        return (dt // datetime.timedelta(microseconds=1)) / _DAY_US
    if isinstance(dt, datetime.time):
        micros = ((dt.hour * 60 + dt.minute) * 60 + dt.second) * 1_000_000 + dt.microsecond
        return micros / _DAY_US
    if isinstance(dt, datetime.datetime):
        whole_day = False
    elif isinstance(dt, datetime.date):
        dt = datetime.datetime(dt.year, dt.month, dt.day)
        whole_day = True
    else:
        raise TypeError(
            f"to_excel() takes a datetime, date, time or timedelta, not {type(dt).__name__}")
    if type(epoch) is datetime.date:
        epoch = datetime.datetime(epoch.year, epoch.month, epoch.day)
    micros = (dt - epoch) // datetime.timedelta(microseconds=1)
    if epoch == WINDOWS_EPOCH and _DAY_US <= micros < 61 * _DAY_US:
        micros -= _DAY_US
    if whole_day and micros % _DAY_US == 0:
        return micros // _DAY_US
    return micros / _DAY_US


_NUMBER = r"(\d+(?:[.,]\d+)?)"
_DURATION_RE = re.compile(
    rf"([+-])?P(?:{_NUMBER}Y)?(?:{_NUMBER}M)?(?:{_NUMBER}W)?(?:{_NUMBER}D)?"
    rf"(?:T(?:{_NUMBER}H)?(?:{_NUMBER}M)?(?:{_NUMBER}S)?)?",
    re.IGNORECASE)
# Microseconds per duration field after years and months (W, D, H, M, S).
_FIELD_US = (7 * _DAY_US, _DAY_US, 3_600_000_000, 60_000_000, 1_000_000)


def _parse_duration(text):
    match = _DURATION_RE.fullmatch(text)
    if match is None or text[-1] in "Tt" or all(g is None for g in match.groups()[1:]):
        raise ValueError(f"Invalid ISO 8601 duration: {text!r}")
    sign, *fields = match.groups()
    present = [f for f in fields if f is not None]
    if any(("." in f or "," in f) for f in present[:-1]):
        raise ValueError(f"only the last field of a duration may have a fraction: {text!r}")
    years, months, *timed = [Fraction(f.replace(",", ".")) if f else 0 for f in fields]
    if years or months:
        raise ValueError(f"years and months have no fixed length: {text!r}")
    micros = round(sum(value * unit for value, unit in zip(timed, _FIELD_US)))
    try:
        delta = datetime.timedelta(microseconds=micros)
    except OverflowError:
        raise ValueError(f"duration out of range: {text!r}") from None
    return -delta if sign == "-" else delta


def _drop_utc(value, text):
    # A "Z" suffix marks UTC, which is what workbooks store: give the naive value.
    if text[-1] in "Zz" and value.tzinfo is datetime.timezone.utc:
        return value.replace(tzinfo=None)
    return value


def from_ISO8601(formatted_string):
    """Parse an ISO 8601 date, datetime, time or duration text.

    "2018-01-02" gives a date, "2018-01-02T03:04:05" a datetime, "03:04:05"
    a time and "P1DT2H" a timedelta. A trailing "Z" gives a naive value (in
    UTC); an explicit offset gives an aware one. Raises ValueError for any
    other text.
    """
    if not isinstance(formatted_string, str):
        raise TypeError(
            f"from_ISO8601() takes a str, not {type(formatted_string).__name__}")
    text = formatted_string.strip()
    if not text:
        raise ValueError("Invalid ISO 8601 text: ''")
    if text.lstrip("+-")[:1] in ("P", "p"):
        return _parse_duration(text)
    if text[0] not in "Tt":
        try:
            return datetime.date.fromisoformat(text)
        except ValueError:
            pass
        try:
            return _drop_utc(datetime.datetime.fromisoformat(text), text)
        except ValueError:
            pass
    # Without the "T" a time needs its colons: "2018" is a year, not 20:18.
    if text[0] in "Tt" or ":" in text:
        try:
            return _drop_utc(datetime.time.fromisoformat(text), text)
        except ValueError:
            pass
    raise ValueError(f"Invalid ISO 8601 text: {formatted_string!r}")
