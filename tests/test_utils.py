"""Coordinates, column letters, number text, whitespace and operand classes
checked against Python itself: '%.16g', decimal, float(), str.strip() and
models."""

import decimal
import math
import re
import struct
import sys

import pytest
from hypothesis import example, given, strategies as st

from tavrinex import _probe
from tavrinex.utils.cell import column_index_from_string, get_column_letter
from tavrinex.writer.values import float_text, safe_string


# ---------------------------------------------------------------- float_text

def bits_to_float(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


finite_by_bits = st.integers(0, 2**64 - 1).map(bits_to_float).filter(math.isfinite)
powers_of_ten = st.integers(-325, 308).map(lambda k: float(f"1e{k}"))
# 17 significant digits ending in 5: the decimal lies (nearly) halfway
# between two 16-digit texts, where the last digit is decided by the exact
# binary value and ties to even.
near_halfway = st.builds(lambda m, e: float(f"{m}5e{e}"),
                         st.integers(10**15, 10**16 - 1), st.integers(-330, 290))
whole_near_1e16 = st.integers(10**16 - 5000, 10**16 + 5000).map(float)
neighbours = st.builds(lambda x, up: math.nextafter(x, math.inf if up else -math.inf),
                       powers_of_ten | whole_near_1e16, st.booleans())
doubles = (st.floats(allow_nan=False, allow_infinity=False) | finite_by_bits | powers_of_ten
           | near_halfway | whole_near_1e16 | neighbours)


def float_text_both(x):
    """float_text of the engine and of the package's writer, which must agree."""
    engine = _probe.float_text(x)
    assert engine == float_text(x)
    return engine


def digits_and_exponent(text):
    """(sign, significant digits, decimal exponent) of a number text."""
    d = decimal.Decimal(text)
    sign, digits, exponent = d.as_tuple()
    digits = "".join(map(str, digits)).rstrip("0") or "0"
    return sign, digits, d.adjusted()


@given(doubles, st.booleans())
@example(5e-324, False)
@example(sys.float_info.max, True)
@example(2.2250738585072014e-308, False)   # smallest normal
@example(9999999999999999.0, False)         # rounds up to 1e+16 in 16 digits
@example(0.000099999999999999995, False)    # rounds to 0.0001: fixed form
@example(999999999999999.9, False)
@example(0.0, True)                         # -0
@example(9999999999999998.0, False)
@example(0.00012345678901234567, False)
@example(1.2345678901234567e16, False)      # 17 digits, from 1e16 on in exponent form
def test_float_text_keeps_every_digit(x, negate):
    x = -x if negate else x
    text = float_text_both(x)
    assert float(text) == x
    sixteen = "%.16g" % x
    if float(sixteen) == x:
        assert text == sixteen   # what %.16g kept is written as before
        return
    # Otherwise the exactly rounded 17 digits, in the layout of %.16g.
    exact = decimal.Context(prec=17, rounding=decimal.ROUND_HALF_EVEN).plus(decimal.Decimal(x))
    assert digits_and_exponent(text) == digits_and_exponent(str(exact))
    exponent = digits_and_exponent(text)[2]
    assert ("e" in text) == (exponent < -4 or exponent > 15)
    if "e" in text:
        assert re.fullmatch(r"-?\d(\.\d*[1-9])?e[+-]\d{2,3}", text)
    else:
        assert not re.search(r"\.\d*0$", text)


@pytest.mark.parametrize("x, text", [
    (0.1 + 0.2, "0.30000000000000004"),
    (0.00012345678901234567, "0.00012345678901234567"),
    (5e-324, "4.940656458412465e-324"),
    (1.7976931348623157e308, "1.7976931348623157e+308"),
    (27.299999999999997, "27.299999999999997"),
    (1.2345678901234567e16, "1.2345678901234568e+16"),
    (0.1, "0.1"), (1 / 3, "0.3333333333333333"), (1e16, "1e+16"), (-0.0, "-0"),
    (1.5e-7, "1.5e-07"), (1e22, "1e+22"), (12345.678, "12345.678"),
])
def test_float_text_examples(x, text):
    assert float_text_both(x) == text


@pytest.mark.parametrize("x", [math.inf, -math.inf, math.nan])
def test_float_text_probe_refuses_non_finite(x):
    with pytest.raises(ValueError):
        _probe.float_text(x)


# ------------------------------------------------------------------ int_text

int64 = st.integers(-2**63, 2**63 - 1)
around_2_53 = st.integers(-2**53 - 2000, -2**53 + 2000) | st.integers(2**53 - 2000, 2**53 + 2000)
int64_ends = st.integers(-2**63, -2**63 + 5000) | st.integers(2**63 - 5000, 2**63 - 1)


@given(int64 | around_2_53 | int64_ends)
@example(2**53 + 1)
@example(-2**63)
def test_int_text_is_the_text_of_its_double(v):
    text = _probe.int_text(v)
    assert text == safe_string(v)
    assert text == (str(v) if abs(v) <= 2**53 else float_text(float(v)))
    assert float(text) == float(v)


@pytest.mark.parametrize("v", [2**63, -2**63 - 1])
def test_int_text_probe_is_64_bit(v):
    with pytest.raises(OverflowError):
        _probe.int_text(v)


# ---------------------------------------------------------------- value_text

class IntSub(int):
    pass


class StrSub(str):
    pass


class FloatSub(float):
    pass


@pytest.mark.parametrize("value, expect", [
    (None, ("absent", None)),
    ("", ("text", "")),
    ("a\u00e9\U0001F600", ("text", "a\u00e9\U0001F600")),
    (True, ("text", "1")),
    (False, ("text", "0")),
    (0, ("text", "0")),
    (-2**63, ("text", "-9.223372036854776e+18")),
    (2**63 - 1, ("text", "9.223372036854776e+18")),
    (2**63, ("unhandled", None)),
    (10**30, ("unhandled", None)),
    (-10**30, ("unhandled", None)),
    (2.5, ("text", "2.5")),
    (-0.0, ("text", "-0")),
    (math.nan, ("text", "")),
    (math.inf, ("text", "")),
    (-math.inf, ("text", "")),
    ("\ud800", ("unhandled", None)),
    (IntSub(3), ("unhandled", None)),
    (StrSub("x"), ("unhandled", None)),
    (FloatSub(1.5), ("unhandled", None)),
    (b"1", ("unhandled", None)),
    (1j, ("unhandled", None)),
])
def test_value_text(value, expect):
    assert _probe.value_text(value) == expect


@given(int64 | st.floats(allow_nan=False, allow_infinity=False))
def test_value_text_numbers_match_the_package(v):
    assert _probe.value_text(v) == ("text", safe_string(v))


# ------------------------------------------------------------------ py_strip

SPACES = [chr(c) for c in range(sys.maxunicode + 1) if chr(c).isspace()]


def test_whitespace_set_is_pythons():
    # Every code point alone and around a letter, against str.strip().
    mismatched = []
    for cp in range(sys.maxunicode + 1):
        if 0xD800 <= cp <= 0xDFFF:
            continue
        c = chr(cp)
        for text in (c, c + "x" + c):
            if _probe.py_strip(text) != text.strip():
                mismatched.append(hex(cp))
                break
    assert mismatched == []


@given(st.text(st.sampled_from(SPACES) | st.characters(codec="utf-8"), max_size=12))
@example("\x1c a \u3000")
@example("\u3000\u2029\u00a0")
def test_py_strip_is_str_strip(text):
    assert _probe.py_strip(text) == text.strip()


# ---------------------------------------------------- is_float_literal / operands

float_alphabet = st.sampled_from(list("0123456789+-._eE \t") + ["inf", "nan", "infinity", "INF",
                                                                "NaN", "x", "\x1c"])
float_like = st.lists(float_alphabet, max_size=10).map("".join)


def float_ok(text):
    try:
        float(text)
    except ValueError:
        return False
    return True


FLOAT_CASES = ["1_000", ".5", "5.", "1.e5", "1E-3", "+.5e+0", "1__0", "_1", "1_", "1._5", ".",
               ".e5", "1e", "1e1_0", "1e_1", " -inf ", "+Infinity", "nan", "-", "+", "", " ",
               "1.5.", "0x10", "1e+", "--1", "in", "infinit",
               # float() strips no U+001C..U+001F, though str.strip() does,
               # but it does strip the non-ASCII spaces
               "\x1c1", "1\x1f", "\u30001.5\u00a0", "\u2029-2\u0085", "\u200b1"]


@given(float_like)
@pytest.mark.parametrize("fixed", FLOAT_CASES)
def test_is_float_literal_is_float(fixed, text):
    for t in (fixed, text):
        assert _probe.is_float_literal(t) == float_ok(t), t


def operand_model(value):
    if value.startswith('"'):
        return "Text"
    if value.startswith("#"):
        return "Error"
    if value in ("TRUE", "FALSE"):
        return "Logical"
    if not value.isascii():
        return "NeedPython"
    return "Number" if float_ok(value) else "Range"


@pytest.mark.parametrize("value, kind", [
    ("TRUE", "Logical"), ("FALSE", "Logical"), (" TRUE", "Range"), ("true", "Range"),
    ("1e5", "Number"), (" 1e5 ", "Number"), ("NaN", "Number"), ("-Infinity", "Number"),
    ("A1", "Range"), ("1_", "Range"), ("", "Range"), ('"text"', "Text"), ('"', "Text"),
    ("#REF!", "Error"), ("#", "Error"), ("\u0661\u0662", "NeedPython"), ("1\u00a0", "NeedPython"),
    ("Sheet1!A1:B2", "Range"), ("1\x1c", "Range"), ("\v1\f", "Number"),
])
def test_classify_operand_examples(value, kind):
    assert _probe.classify_operand(value) == kind


@given(float_like | st.text(max_size=8) | st.sampled_from(['"a', "#N/A", "TRUE", "FALSE"]))
def test_classify_operand_model(value):
    assert _probe.classify_operand(value) == operand_model(value)


# ------------------------------------------------ coordinates, letters, ints

COORD = re.compile(r"([A-Z]{1,3})([1-9][0-9]{0,8})")


def coordinate_model(text):
    m = COORD.fullmatch(text)
    if m is None or not text.isascii():
        return None
    letters, digits = m.groups()
    return int(digits), column_index_from_string(letters)


coord_like = st.lists(st.sampled_from(list("ABYZaz$0159 ") + ["\u0661", "\uff21"]),
                      max_size=12).map("".join)


@given(coord_like | st.builds(lambda c, r: get_column_letter(c) + str(r),
                              st.integers(1, 18278), st.integers(0, 10**10)))
@pytest.mark.parametrize("fixed", ["A1", "ZZZ999999999", "a1", "$A$1", "A01", "A0", "AAAA1", "A",
                                   "1", "A1B", "A1234567890", "", "XFD1048576", "A-1", "A+1"])
def test_parse_coordinate_model(fixed, text):
    for t in (fixed, text):
        assert _probe.parse_coordinate(t) == coordinate_model(t), t


def test_column_letters_all_columns():
    for n in range(1, 18279):
        letters = _probe.column_letters(n)
        assert letters == get_column_letter(n)
        assert _probe.parse_coordinate(letters + "7") == (7, n)


def letters_model(n):
    out = ""
    while n:
        n, rem = divmod(n - 1, 26)
        out = chr(65 + rem) + out
    return out


@given(st.integers(1, 2**64 - 1))
@example(217180147158)      # last column with eight letters
@example(217180147159)      # first with nine: the fixed buffer declines it
def test_column_letters_beyond_zzz(n):
    assert _probe.column_letters(n) == letters_model(n)
    assert _probe.append_column_letters("=", n) == "=" + letters_model(n)


@given(st.text(st.sampled_from("0123456789-+ "), max_size=21))
@example("-0")
@example("9" * 18)
@example("-" + "9" * 18)
@example("1" * 19)
@example("\u0661")
def test_parse_fast_int_model(text):
    expect = int(text) if re.fullmatch(r"-?[0-9]{1,18}", text) else None
    assert _probe.parse_fast_int(text) == expect
