"""Number formats: which show dates, times and durations."""

import pytest

from tavrinex.numbers import (BUILTIN_FORMATS, format_code, is_date_format, is_date_id,
                              is_timedelta_format, is_timedelta_id)

DATES = ["yyyy-mm-dd", "d/m/yy", "mmm yyyy", "hh:mm", "h:mm AM/PM", "[$-409]d mmm yyyy",
         "[Red]dd.mm.yyyy", "yyyy-mm-dd;@", "DD-MMM-YYYY", "ss.0", "[h]:mm:ss", "[mm]:ss",
         '"at" h"h"', "d \\d"]
NOT_DATES = ["General", "0.00", "#,##0", "0%", "0.00E+00", "@", '"days" 0', '0 "hrs"',
             "\\d\\a\\y 0", "[Red]0.00", "#,##0.00 [$€-407]", "_(* #,##0_)", "[>=100]0;0.0",
             "", None, '0;"mm-dd"', "*d0"]
DURATIONS = ["[h]:mm:ss", "[mm]:ss", "[ss].000", "[H]:MM", "[hh]"]


@pytest.mark.parametrize("code", DATES)
def test_date_formats(code):
    assert is_date_format(code)


@pytest.mark.parametrize("code", NOT_DATES)
def test_formats_without_dates(code):
    assert not is_date_format(code) and not is_timedelta_format(code)


@pytest.mark.parametrize("code", DURATIONS)
def test_duration_formats(code):
    assert is_timedelta_format(code) and is_date_format(code)


def test_plain_dates_are_not_durations():
    assert not any(is_timedelta_format(code) for code in DATES if "[" not in code
                   or code.startswith(("[$", "[Red")))


def test_builtin_ids():
    dates = {i for i in range(164) if is_date_id(i)}
    assert dates == set(range(14, 23)) | set(range(27, 37)) | {45, 46, 47} | set(range(50, 59))
    assert {i for i in range(164) if is_timedelta_id(i)} == {46}
    assert format_code(14) == "mm-dd-yy" and format_code(49) == "@"
    assert format_code(200) == "General" and format_code(200, {200: "0.0"}) == "0.0"
    # a workbook may redefine a built-in id; its own text then decides
    assert not is_date_id(14, {14: "0.00"}) and is_date_id(2, {2: "yyyy"})
    assert is_timedelta_id(170, {170: "[h]"}) and not is_timedelta_id(170, {170: "h"})
    assert all(isinstance(code, str) and code for code in BUILTIN_FORMATS.values())
