"""Serial dates: from_excel against an exact model of the serial rules,
to_excel round trips, and ISO 8601 texts."""

import math
from datetime import date, datetime, time, timedelta, timezone
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import example, given, strategies as st

from tavrinex.utils.datetime import (MAC_EPOCH, WINDOWS_EPOCH, from_excel, from_ISO8601,
                                     to_excel)

DAY_MS = 86_400_000
LAST_DAY = 3_652_058  # 9999-12-31 counted from 0001-01-01


# ------------------------------------------------------------------ the model

def days_before_year(y):
    y -= 1
    return y * 365 + y // 4 - y // 100 + y // 400


def month_lengths(y):
    leap = y % 4 == 0 and (y % 100 != 0 or y % 400 == 0)
    return [31, 29 if leap else 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31]


def day_number(y, m, d):
    return days_before_year(y) + sum(month_lengths(y)[:m - 1]) + d - 1


def civil(n):
    y = n // 366 + 1
    while days_before_year(y + 1) <= n:
        y += 1
    n -= days_before_year(y)
    m = 1
    for length in month_lengths(y):
        if n < length:
            break
        n -= length
        m += 1
    return y, m, n + 1


def model(value, epoch):
    """What the serial rules give, or None when the serial does not convert.
    Calendar and splitting in exact arithmetic; the milliseconds are the
    double product frac * 86400 * 1000, rounded half to even."""
    windows = epoch == WINDOWS_EPOCH
    epoch_day = day_number(epoch.year, epoch.month, epoch.day)
    epoch_us = ((epoch.hour * 60 + epoch.minute) * 60 + epoch.second) * 10**6 + epoch.microsecond
    if isinstance(value, int):
        if value == 0:
            return time(0, 0)
        days, us = value + (1 if windows and 0 < value < 60 else 0), 0
    else:
        if not math.isfinite(value):
            return None
        exact = Fraction(value)
        whole = math.floor(exact)
        frac = float(exact - whole)  # correctly rounded: 1.0 for a tiny negative fraction
        ms = round(frac * 86400.0 * 1000.0)
        if 0 <= value < 1 and ms < DAY_MS:
            return time(ms // 3_600_000, ms // 60_000 % 60, ms // 1000 % 60, ms % 1000 * 1000)
        days, us = whole + (1 if windows and 0 < value < 60 else 0), ms * 1000
    us += epoch_us
    day = epoch_day + days + us // (DAY_MS * 1000)
    if not 0 <= day <= LAST_DAY:
        return None
    us %= DAY_MS * 1000
    s, us = divmod(us, 10**6)
    return datetime(*civil(day), s // 3600, s // 60 % 60, s % 60, us)


def converted(value, epoch=WINDOWS_EPOCH):
    try:
        return from_excel(value, epoch)
    except (OverflowError, ValueError):
        return None


# ---------------------------------------------------------------- from_excel

EPOCHS = [WINDOWS_EPOCH, MAC_EPOCH, datetime(2000, 6, 15, 23, 59, 59, 999_999), datetime(1, 1, 1)]

# n/2048 days is a whole number of half milliseconds: exact ties.
half_ms = st.builds(lambda n, m: n + m / 2048, st.integers(-800_000, 3_000_000),
                    st.integers(0, 2047))
serials = (st.integers(-800_000, 3_100_000) | st.integers(-2**70, 2**70)
           | st.floats(-1e7, 1e7) | st.floats(allow_nan=False) | half_ms
           | st.floats(-1e-15, 1e-15) | st.floats(0, 70))


@given(serials, st.sampled_from(EPOCHS))
@example(-1e-20, WINDOWS_EPOCH)       # fraction rounds up to a whole day
@example(0.99999999999, WINDOWS_EPOCH)  # a time that rounds to 24:00
@example(59.99999999999, WINDOWS_EPOCH)
@example(2958465.9999999999, WINDOWS_EPOCH)
@example(-693593, WINDOWS_EPOCH)
@example(math.nan, MAC_EPOCH)
@example(-math.inf, WINDOWS_EPOCH)
@example(10**9 - 1, datetime(1, 1, 1))
def test_from_excel_follows_serial_rules(value, epoch):
    assert converted(value, epoch) == model(value, epoch)


@pytest.mark.parametrize("value, expect", [
    (0, time(0, 0)),
    (0.0, time(0, 0)),
    (0.5, time(12, 0)),
    (0.75, time(18, 0)),
    (1 / 2048, time(0, 0, 42, 188_000)),        # 42187.5 ms: half to even, up
    (3 / 2048, time(0, 2, 6, 562_000)),         # 126562.5 ms: half to even, down
    (1, datetime(1900, 1, 1)),
    (1.25, datetime(1900, 1, 1, 6)),
    (59, datetime(1900, 2, 28)),
    (60, datetime(1900, 2, 28)),                # the fictitious 29 February
    (61, datetime(1900, 3, 1)),
    (61.5, datetime(1900, 3, 1, 12)),
    (43831, datetime(2020, 1, 1)),
    (-1, datetime(1899, 12, 29)),
    (-0.5, datetime(1899, 12, 29, 12)),
    (-693593, datetime(1, 1, 1)),
    (2958465, datetime(9999, 12, 31)),
    (2958465.5, datetime(9999, 12, 31, 12)),
    (True, datetime(1900, 1, 1)),
    (Decimal("61.5"), datetime(1900, 3, 1, 12)),
    (Fraction(1, 4), time(6, 0)),
])
def test_from_excel_windows(value, expect):
    result = from_excel(value)
    assert result == expect and type(result) is type(expect)


@pytest.mark.parametrize("value, expect", [
    (0, time(0, 0)),
    (1, datetime(1904, 1, 2)),
    (59, datetime(1904, 2, 29)),  # no shift: 1904 is a leap year
    (-1.5, datetime(1903, 12, 30, 12)),
])
def test_from_excel_mac(value, expect):
    assert from_excel(value, MAC_EPOCH) == expect


@pytest.mark.parametrize("value, error", [
    (-693594, OverflowError), (2958466, OverflowError), (2958465.99999999999, OverflowError),
    (10**12, OverflowError), (-10**30, OverflowError), (1e300, OverflowError),
    (math.nan, ValueError), (math.inf, ValueError), (-math.inf, ValueError),
    (Decimal("NaN"), ValueError),
])
def test_from_excel_out_of_range(value, error):
    with pytest.raises(error):
        from_excel(value)


@pytest.mark.parametrize("value", ["1", None, b"1", 1j])
def test_from_excel_wants_a_number(value):
    with pytest.raises(TypeError):
        from_excel(value)


def test_from_excel_aware_epoch():
    epoch = datetime(1899, 12, 30, tzinfo=timezone.utc)
    # Not the naive 1900 epoch: no shift below 60.
    assert from_excel(1.5, epoch) == datetime(1899, 12, 31, 12, tzinfo=timezone.utc)


@pytest.mark.parametrize("value, expect", [
    (0, timedelta(0)),
    (3, timedelta(days=3)),
    (1.5, timedelta(days=1, hours=12)),
    (-0.5, timedelta(hours=-12)),
    (59.5, timedelta(days=59, hours=12)),   # no 1900 shift for durations
    (1 / 2048, timedelta(milliseconds=42188)),
    (0.5 / 86_400_000, timedelta(0)),       # half a millisecond: ties to even
])
def test_from_excel_timedelta(value, expect):
    assert from_excel(value, timedelta=True) == expect


@pytest.mark.parametrize("value, error", [
    (10**10, OverflowError), (1e10, OverflowError), (math.nan, ValueError),
])
def test_from_excel_timedelta_out_of_range(value, error):
    with pytest.raises(error):
        from_excel(value, timedelta=True)


# ------------------------------------------------------------------ to_excel

@pytest.mark.parametrize("value, epoch, serial", [
    (datetime(1900, 1, 1), WINDOWS_EPOCH, 1.0),
    (datetime(1900, 2, 28), WINDOWS_EPOCH, 59.0),
    (datetime(1900, 3, 1), WINDOWS_EPOCH, 61.0),
    (datetime(1899, 12, 31, 6), WINDOWS_EPOCH, 0.25),  # "1900-01-00" in the 1900 system
    (datetime(1900, 3, 1, 12), WINDOWS_EPOCH, 61.5),
    (datetime(1899, 12, 29, 12), WINDOWS_EPOCH, -0.5),
    (date(2020, 1, 1), WINDOWS_EPOCH, 43831),
    (date(1904, 1, 2), MAC_EPOCH, 1),
    (time(18, 0), WINDOWS_EPOCH, 0.75),
    (timedelta(days=1, hours=12), WINDOWS_EPOCH, 1.5),
])
def test_to_excel_examples(value, epoch, serial):
    result = to_excel(value, epoch)
    assert result == serial and type(result) is type(serial)


def test_to_excel_refuses_other_types():
    with pytest.raises(TypeError):
        to_excel("2020-01-01")


ms_datetimes = st.datetimes(datetime(1, 1, 2), datetime(9999, 12, 30)).map(
    lambda d: d.replace(microsecond=d.microsecond // 1000 * 1000))


@given(ms_datetimes, st.sampled_from([WINDOWS_EPOCH, MAC_EPOCH]))
def test_to_excel_round_trips(dt, epoch):
    if epoch == WINDOWS_EPOCH and datetime(1899, 12, 30) <= dt < datetime(1900, 1, 1):
        return  # no serial stands for these: 0 .. 1 are times of day
    serial = to_excel(dt, epoch)
    if 0 <= serial < 1:
        # The epoch's own day: serials below 1 read back as times of day.
        assert from_excel(serial, epoch) == dt.time()
        return
    assert from_excel(serial, epoch) == dt
    assert from_excel(to_excel(dt.date(), epoch), epoch) == datetime.combine(dt.date(), time())


@given(st.times().map(lambda t: t.replace(microsecond=t.microsecond // 1000 * 1000)),
       st.integers(-10**6, 10**6), st.integers(0, DAY_MS - 1))
def test_times_and_durations_round_trip(t, days, ms):
    assert from_excel(to_excel(t)) == t
    delta = timedelta(days=days, milliseconds=ms)
    assert from_excel(to_excel(delta), timedelta=True) == delta


# -------------------------------------------------------------- from_ISO8601

@pytest.mark.parametrize("text, expect", [
    ("2018-01-02", date(2018, 1, 2)),
    ("20180102", date(2018, 1, 2)),
    (" 2018-01-02 ", date(2018, 1, 2)),
    ("2018-01-02T03:04:05", datetime(2018, 1, 2, 3, 4, 5)),
    ("2018-01-02T03:04:05.123Z", datetime(2018, 1, 2, 3, 4, 5, 123_000)),
    ("2018-01-02T03:04:05.1234567", datetime(2018, 1, 2, 3, 4, 5, 123_456)),
    ("2018-01-02 03:04", datetime(2018, 1, 2, 3, 4)),
    ("2018-01-02T03:04:05+05:30",
     datetime(2018, 1, 2, 3, 4, 5, tzinfo=timezone(timedelta(hours=5, minutes=30)))),
    ("03:04:05", time(3, 4, 5)),
    ("T03:04", time(3, 4)),
    ("T0304", time(3, 4)),
    ("03:04:05,5", time(3, 4, 5, 500_000)),
    ("03:04:05Z", time(3, 4, 5)),
    ("P1DT2H", timedelta(days=1, hours=2)),
    ("PT1.5S", timedelta(seconds=1.5)),
    ("P2W", timedelta(weeks=2)),
    ("PT36H", timedelta(hours=36)),
    ("P0Y0M3D", timedelta(days=3)),
    ("-P1DT30M", -timedelta(days=1, minutes=30)),
    ("P1.5D", timedelta(days=1, hours=12)),
    ("PT0.0000005S", timedelta(0)),          # half a microsecond: ties to even
    ("PT0.0000015S", timedelta(microseconds=2)),
])
def test_from_iso8601(text, expect):
    result = from_ISO8601(text)
    assert result == expect and type(result) is type(expect)
    if isinstance(expect, (datetime, time)):
        assert result.tzinfo == expect.tzinfo


@pytest.mark.parametrize("text", [
    "", " ", "2018", "1230", "2018-13-01", "2018-02-30", "2018-01-02T25:00", "3:04", "noon",
    "P", "PT", "P1DT", "P1Y", "P1M", "P1.5DT2H", "P1H", "PT1D", "P-1D", "P1DXX",
    "PT99999999999999999S",
])
def test_from_iso8601_rejects(text):
    with pytest.raises(ValueError):
        from_ISO8601(text)


def test_from_iso8601_wants_str():
    with pytest.raises(TypeError):
        from_ISO8601(b"2018-01-02")
