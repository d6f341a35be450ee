"""What the writer puts in a cell: value texts, dates, styles and the
checks that keep every text writable as XML."""

import datetime
import decimal
import math
import numbers
import re

from tavrinex.utils.datetime import WINDOWS_EPOCH

_DAY = datetime.timedelta(days=1)
_US = datetime.timedelta(microseconds=1)
_DAY_US = 86_400_000_000
_EXACT_LIMIT = 2 ** 53

# Characters XML 1.0 cannot carry, written in the workbook's own escape form
# _xHHHH_. The lxml back end cannot write lone surrogates either.
_UNWRITABLE = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f]")
_UNWRITABLE_LXML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff]")
_CONTROL = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f]")
_ATTRIBUTE_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_.\-]*\Z")


def _escape_char(match):
    return f"_x{ord(match.group()):04X}_"


def writable(text, lxml):
    """`text` with the characters the back end cannot write escaped."""
    pattern = _UNWRITABLE_LXML if lxml else _UNWRITABLE
    return pattern.sub(_escape_char, text)


_SURROGATE = re.compile("[\ud800-\udfff]")


def utf8(chunk):
    """The UTF-8 bytes of a written chunk (str or bytes). A lone surrogate,
    which ElementTree leaves in a cell's text and UTF-8 cannot carry, is
    written in _xHHHH_ form as the lxml back end writes it."""
    if not isinstance(chunk, str):
        return chunk
    try:
        return chunk.encode("utf-8")
    except UnicodeEncodeError:
        return _SURROGATE.sub(_escape_char, chunk).encode("utf-8")


def _digits_text(x, digits):
    """x with `digits` significant digits in the layout of %.16g: exponent
    form below 1e-4 and from 1e16, trailing fraction zeros dropped."""
    mantissa, _, exp = ("%.*e" % (digits - 1, x)).partition("e")
    exponent = int(exp)
    if exponent < -4 or exponent > 15:
        if "." in mantissa:
            mantissa = mantissa.rstrip("0").rstrip(".")
        return f"{mantissa}e{'-' if exponent < 0 else '+'}{abs(exponent):02d}"
    text = "%.*f" % (digits - 1 - exponent, x)
    return text.rstrip("0").rstrip(".") if "." in text else text


def float_text(x):
    """The text of a float: printf's %.16g when it reads back as the same
    double, else 17 digits in the same layout, so no digit is lost."""
    text = "%.16g" % x
    if float(text) == x or not math.isfinite(x):
        return text
    return _digits_text(x, 17)


def safe_string(value):
    """The text of a cell value: numbers as `float_text` writes them (NaN
    and the infinities give ""), True and False as 1 and 0."""
    if isinstance(value, str):
        return value
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, int):
        value = int(value)
        if -_EXACT_LIMIT <= value <= _EXACT_LIMIT:
            return str(value)
        try:
            return float_text(float(value))
        except OverflowError:  # beyond the range of a double
            return str(value)
    if isinstance(value, decimal.Decimal):
        return float_text(float(value)) if value.is_finite() else ""
    if isinstance(value, numbers.Real):
        value = float(value)
        return float_text(value) if math.isfinite(value) else ""
    return str(value)


def has_style(style):
    """Whether a cell's style array sets anything."""
    return style is not None and any(style)


def check_row_attribute(name, value):
    """Raises for a row attribute that cannot be written as given."""
    for item, what in ((name, "names"), (value, "values")):
        if not isinstance(item, str):
            raise TypeError(f"row attribute {what} must be str, not {type(item).__name__}")
    name.encode("utf-8")
    value.encode("utf-8")
    if not _ATTRIBUTE_NAME.match(name):
        raise ValueError(f"invalid row attribute name {name!r}")
    if _CONTROL.search(value):
        raise ValueError(f"row attribute {name} holds a control character")


# -- dates


def _naive_epoch(epoch):
    if type(epoch) is datetime.date:
        return datetime.datetime(epoch.year, epoch.month, epoch.day)
    return epoch


def date_serial(value, epoch):
    """The serial of a datetime, date, time of day or timedelta.

    Whole days are counted from `epoch` (one less from 1900-01-01 to
    1900-02-28 with the 1900 epoch); the time of day is the value's own.
    """
    if isinstance(value, datetime.timedelta):
        return (value // _US) / _DAY_US
    if isinstance(value, datetime.time):
        return (value.microsecond / 1_000_000
                + (value.hour * 3600 + value.minute * 60 + value.second)) / 86400
    if isinstance(value, datetime.datetime):
        if value.tzinfo is not None:
            raise TypeError(f"timezone-aware datetimes cannot be written: {value!r}")
        moment = value
    elif isinstance(value, datetime.date):
        moment = datetime.datetime(value.year, value.month, value.day)
    else:
        raise TypeError(f"not a date or time: {value!r}")
    epoch = _naive_epoch(epoch)
    days = (moment - epoch) // _DAY
    if epoch == WINDOWS_EPOCH and 1 <= days <= 60:
        days -= 1
    return days + (moment.microsecond / 1_000_000
                   + (moment.hour * 3600 + moment.minute * 60 + moment.second)) / 86400


def date_value_raw(ws, value):
    """(value to write, keep_d) for a date cell's value: an ISO text with
    ``t="d"`` when the workbook writes ISO dates, else a serial."""
    if isinstance(value, (datetime.datetime, datetime.date, datetime.time)):
        if ws.parent.iso_dates:
            return value.isoformat(), True
        return date_serial(value, ws.parent.epoch), False
    if isinstance(value, datetime.timedelta):
        return date_serial(value, ws.parent.epoch), False
    if isinstance(value, numbers.Number) and not isinstance(value, bool):
        return value, False
    return value, True


def date_value(ws, cell):
    """date_value_raw of a cell's value."""
    return date_value_raw(ws, cell._value)


def add_comment(ws, cell):
    """Records a written cell's comment for the comments part."""
    ws._comments.append((cell.row, cell.column, cell._comment))
