"""Formula tokenizer and translator: the package's Python code and the
engine, which must agree token for token and character for character."""

import pytest
from hypothesis import given, strategies as st

from tavrinex import _probe
from tavrinex.formula import (ArrayFormula, DataTableFormula, Token, Tokenizer, TokenizerError,
                              Translator, TranslatorError)
from tavrinex.utils.cell import get_column_letter

from fuzz_targets import cell, host_translate

T = Token
TYPES = [T.LITERAL, T.OPERAND, T.FUNC, T.ARRAY, T.PAREN, T.SEP, T.OP_PRE, T.OP_IN, T.OP_POST,
         T.WHITESPACE]
SUBTYPES = [T.NONE, T.TEXT, T.NUMBER, T.LOGICAL, T.ERROR, T.RANGE, T.OPEN, T.CLOSE, T.ARG, T.ROW]


def host_tokens(formula):
    """The Python tokenizer's result in the probe's form."""
    try:
        items = Tokenizer(formula).items
    except TokenizerError as e:
        return ("error", "Tokenizer", str(e))
    except IndexError as e:
        assert str(e) == "pop from empty list"
        return ("error", "PopEmpty", "")
    return [(t.value, TYPES.index(t.type), SUBTYPES.index(t.subtype)) for t in items]


def named(tokens):
    return [(v, TYPES[t], SUBTYPES[s]) for v, t, s in tokens]


@pytest.mark.parametrize("formula, expected", [
    ("=1.5E+3", [("1.5E+3", T.OPERAND, T.NUMBER)]),
    ("=1.5F+3", [("1.5F", T.OPERAND, T.RANGE), ("+", T.OP_IN, ""), ("3", T.OPERAND, T.NUMBER)]),
    ("=2e-5*3E+1", [("2e-5", T.OPERAND, T.NUMBER), ("*", T.OP_IN, ""),
                    ("3E+1", T.OPERAND, T.NUMBER)]),
    ("=0E+1", [("0E", T.OPERAND, T.RANGE), ("+", T.OP_IN, ""), ("1", T.OPERAND, T.NUMBER)]),
    ("=-1", [("-", T.OP_PRE, ""), ("1", T.OPERAND, T.NUMBER)]),
    ("=A1 -1", [("A1", T.OPERAND, T.RANGE), (" ", T.WHITESPACE, ""), ("-", T.OP_IN, ""),
                ("1", T.OPERAND, T.NUMBER)]),
    ("=(1)-2%-+3", [("(", T.PAREN, T.OPEN), ("1", T.OPERAND, T.NUMBER), (")", T.PAREN, T.CLOSE),
                    ("-", T.OP_IN, ""), ("2", T.OPERAND, T.NUMBER), ("%", T.OP_POST, ""),
                    ("-", T.OP_IN, ""), ("+", T.OP_PRE, ""), ("3", T.OPERAND, T.NUMBER)]),
    ("=SUM(A1,B1)", [("SUM(", T.FUNC, T.OPEN), ("A1", T.OPERAND, T.RANGE), (",", T.SEP, T.ARG),
                     ("B1", T.OPERAND, T.RANGE), (")", T.FUNC, T.CLOSE)]),
    ("=(A1,B1)", [("(", T.PAREN, T.OPEN), ("A1", T.OPERAND, T.RANGE), (",", T.OP_IN, ""),
                  ("B1", T.OPERAND, T.RANGE), (")", T.PAREN, T.CLOSE)]),
    ("=A1,B1", [("A1", T.OPERAND, T.RANGE), (",", T.OP_IN, ""), ("B1", T.OPERAND, T.RANGE)]),
    ("={1,2;3,4}", [("{", T.ARRAY, T.OPEN), ("1", T.OPERAND, T.NUMBER), (",", T.SEP, T.ARG),
                    ("2", T.OPERAND, T.NUMBER), (";", T.SEP, T.ROW), ("3", T.OPERAND, T.NUMBER),
                    (",", T.SEP, T.ARG), ("4", T.OPERAND, T.NUMBER), ("}", T.ARRAY, T.CLOSE)]),
    ("='Sheet 1'!A1", [("'Sheet 1'!A1", T.OPERAND, T.RANGE)]),
    ("='It''s'!A1", [("'It''s'!A1", T.OPERAND, T.RANGE)]),
    ("=Sheet1!#REF!", [("Sheet1!#REF!", T.OPERAND, T.RANGE)]),
    ("=#N/A", [("#N/A", T.OPERAND, T.ERROR)]),
    ("=Table1[[#This Row],[Col]]", [("Table1[[#This Row],[Col]]", T.OPERAND, T.RANGE)]),
    ('="a""b"&TRUE', [('"a""b"', T.OPERAND, T.TEXT), ("&", T.OP_IN, ""),
                      ("TRUE", T.OPERAND, T.LOGICAL)]),
    # A string after "A1:" is emitted at once; the pending text follows it.
    ('=A1:"x"', [('"x"', T.OPERAND, T.TEXT), ("A1:", T.OPERAND, T.RANGE)]),
    # A line feed is whitespace but does not end the pending token.
    ("=A\nB", [("\n", T.WHITESPACE, ""), ("AB", T.OPERAND, T.RANGE)]),
    ("=A1 \n +B1", [("A1", T.OPERAND, T.RANGE), (" ", T.WHITESPACE, ""), ("+", T.OP_IN, ""),
                    ("B1", T.OPERAND, T.RANGE)]),
    ("=A1>=1<>2", [("A1", T.OPERAND, T.RANGE), (">=", T.OP_IN, ""), ("1", T.OPERAND, T.NUMBER),
                   ("<>", T.OP_IN, ""), ("2", T.OPERAND, T.NUMBER)]),
    ("=1_000+ nan", [("1_000", T.OPERAND, T.NUMBER), ("+", T.OP_IN, ""), (" ", T.WHITESPACE, ""),
                     ("nan", T.OPERAND, T.NUMBER)]),
    ("=\t5", [("\t5", T.OPERAND, T.NUMBER)]),
    ("=SUM(A1", [("SUM(", T.FUNC, T.OPEN), ("A1", T.OPERAND, T.RANGE)]),
    ("A1+1", [("A1+1", T.LITERAL, "")]),
    ("", []),
    ("=", []),
])
def test_tokens(formula, expected):
    assert [(t.value, t.type, t.subtype) for t in Tokenizer(formula).items] == expected
    assert named(_probe.tokenize(formula)) == expected


@pytest.mark.parametrize("formula, kind, message", [
    ("=A1)", "PopEmpty", ""),
    ("=}", "PopEmpty", ""),
    ("=(A1}", "Tokenizer", "Mismatched ( and { pair in '=(A1}'"),
    ("=SUM({1)", "Tokenizer", "Mismatched ( and { pair in '=SUM({1)'"),
    ('="abc', "Tokenizer", 'Reached end of formula while parsing string in ="abc'),
    ("='abc''", "Tokenizer", "Reached end of formula while parsing link in ='abc''"),
    ("=T[[a]", "Tokenizer", "Encountered unmatched '[' in =T[[a]"),
    ("=#FOO", "Tokenizer", "Invalid error code at position 1 in '=#FOO'"),
    ("=A#N/A", "Tokenizer", "Unexpected character at position 2 in '=A#N/A'"),
    ('=A"x"', "Tokenizer", "Unexpected character at position 2 in '=A\"x\"'"),
    ("=A{1}", "Tokenizer", "Unexpected character at position 2 in '=A{1}'"),
    ("=:{1}", "Tokenizer", "Unexpected character at position 2 in '=:{1}'"),
    # positions count characters, not bytes
    ('="é"&x"', "Tokenizer", "Unexpected character at position 6 in '=\"é\"&x\"'"),
    ("=\"名\"+#X", "Tokenizer", "Invalid error code at position 5 in '=\"名\"+#X'"),
])
def test_tokenizer_errors(formula, kind, message):
    assert host_tokens(formula) == ("error", kind, message)
    assert _probe.tokenize(formula) == ("error", kind, message)


@pytest.mark.parametrize("formula", ["=é1", "=A1+١٢", "=Sheet1!#REF!+ü", "=SUM(ä)"])
def test_non_ascii_operands_need_python(formula):
    assert _probe.tokenize(formula) == ("error", "NeedPython", "")


def test_non_ascii_strings_stay_native():
    assert named(_probe.tokenize('="é"&1')) == [('"é"', T.OPERAND, T.TEXT),
                                                 ("&", T.OP_IN, ""), ("1", T.OPERAND, T.NUMBER)]


B2 = (2, 2)


@pytest.mark.parametrize("formula, dest, expected", [
    ("=A1+$A$1", (3, 3), "=B2+$A$1"),
    ("=SUM(A1:A10)", (12, 2), "=SUM(A11:A20)"),
    ("=SUM(3:4)", (5, 2), "=SUM(6:7)"),
    ("=SUM($3:4)", (5, 2), "=SUM($3:7)"),
    ("=SUM(A:C)", (2, 4), "=SUM(C:E)"),
    ("=SUM(a:c)", (2, 2), "=SUM(A:C)"),
    ("=SUM(A:$C)", (2, 3), "=SUM(B:$C)"),
    ("=A$1+$A1", (4, 4), "=C$1+$A3"),
    ("=Sheet1!A1", (2, 3), "=Sheet1!B1"),
    ("=Sheet1!A1:Sheet2!B2", (2, 3), "=Sheet1!A1:Sheet2!C2"),
    ("='a!b'!A1", (3, 2), "='a!b'!A2"),
    ("=A1:B2:C3", (3, 3), "=B2:C3:D4"),
    ("=A1:MyName", (3, 3), "=B2:MyName"),
    ("=XFD1", (2, 3), "=XFE1"),
    ("=A9999999", (3, 2), "=A10000000"),
    ("=A1 +  B1", (3, 2), "=A2 + B2"),
    ("=MyName*2", (9, 9), "=MyName*2"),
    ("=Table1[Col]", (9, 9), "=Table1[Col]"),
    ("=A12345678", (9, 9), "=A12345678"),  # eight digits: not a reference
    ("=ABCD1", (9, 9), "=ABCD1"),
    ("=A01", (9, 9), "=A01"),
    ("A1+1", (9, 9), "A1+1"),
    ("", (9, 9), ""),
    ("=a1", None, "=A1"),
    # a line feed just after a reference inside a quoted chain is dropped
    ("='q:A1\n:r'", (3, 3), "='q:B2:r'"),
])
def test_translate(formula, dest, expected):
    assert Translator(formula, "B2").translate_formula(cell(dest)) == expected
    assert _probe.translate(formula, B2, dest) == ("ok", expected)


@pytest.mark.parametrize("formula, dest", [
    ("=A1+$A$1", (1, 2)),
    ("=A1", (2, 1)),
    ("=ZZZ1", (2, 3)),
    ("=SUM(1:4)", (1, 2)),
    ("=SUM(A:B)", (2, 1)),
    ("=B2:A1:C3", (2, 1)),
])
def test_out_of_range(formula, dest):
    with pytest.raises(TranslatorError, match="^Formula out of range$"):
        Translator(formula, "B2").translate_formula(cell(dest))
    assert _probe.translate(formula, B2, dest) == ("error", "Translator", "Formula out of range")


def test_moves_are_exact_far_from_the_origin():
    big = 2**62
    assert _probe.translate("=A1+B$3", (1, 1), (big, 3)) == ("ok", f"=C{big}+D$3")
    assert _probe.translate("=A5", (-big, 1), (big, 1)) == ("ok", f"=A{2 * big + 5}")
    assert _probe.translate("=A5", (big, 1), (-big, 1))[0] == "error"


@pytest.mark.parametrize("dest", [(1, 1), (3, 4), (2, 1)])
def test_long_formulas(dest):
    text = "=" + "+".join(f"{get_column_letter(i)}{i}" for i in range(1, 300)) + '&"' + "x" * 3000 + '"'
    assert _probe.translate(text, B2, dest) == host_translate(text, B2, dest)


def test_translator_without_positions_only_rewrites_letters():
    assert Translator("=b3+c$4", None).translate_formula("Z9") == "=B3+C$4"
    assert Translator("=b3+c$4", "B2").translate_formula(None) == "=B3+C$4"


@pytest.mark.parametrize("formula, dest, exc", [
    ("=A1)", (3, 3), IndexError("pop from empty list")),
    ("=#X", (3, 3), TokenizerError("Invalid error code at position 1 in '=#X'")),
    ("=A1", (1, 1), TranslatorError("Formula out of range")),
])
def test_errors_reach_python_as_the_host_raises_them(formula, dest, exc):
    with pytest.raises(type(exc)) as native:
        _probe.raise_translate(formula, B2, dest, TokenizerError, TranslatorError)
    with pytest.raises(type(exc)) as host:
        Translator(formula, "B2").translate_formula(cell(dest))
    assert str(native.value) == str(host.value) == str(exc)


def test_error_class_that_raises():
    def broken(message):
        raise LookupError(message)
    with pytest.raises(LookupError, match="^Formula out of range$"):
        _probe.raise_translate("=A1", B2, (1, 1), TokenizerError, broken)


def test_error_class_returning_a_non_exception():
    with pytest.raises(TypeError, match="exceptions must derive from BaseException"):
        _probe.raise_translate("=A1", B2, (1, 1), TokenizerError, str)


# Generated formulas: references of every shape, functions, arrays, strings,
# errors, numbers, operators and whitespace, plus raw character soup.

def _case(letters):
    return st.lists(st.booleans(), min_size=len(letters), max_size=len(letters)).map(
        lambda up: "".join(c if u else c.lower() for c, u in zip(letters, up)))


dollar = st.sampled_from(["", "$"])
col_text = st.one_of(st.integers(1, 40), st.integers(18260, 18278), st.integers(1, 18278)).map(
    get_column_letter).flatmap(_case)
row_text = st.one_of(st.integers(1, 30), st.integers(1, 9999999), st.just(10**7),
                     st.just(0)).map(str) | st.just("01")
col_part = st.tuples(dollar, col_text).map("".join)
row_part = st.tuples(dollar, row_text).map("".join)
cell_ref = st.tuples(col_part, row_part).map("".join)
sheet = st.sampled_from(["", "Sheet1!", "'My Sheet'!", "'It''s'!", "'a!b'!", "[1]S!", "Sheet1!A1:S2!"])
reference = st.tuples(sheet, st.one_of(
    cell_ref,
    st.tuples(row_part, row_part).map(":".join),
    st.tuples(col_part, col_part).map(":".join),
    st.lists(st.one_of(cell_ref, st.just("Name")), min_size=2, max_size=4).map(":".join),
)).map("".join)
number = st.sampled_from(["1", "0", "42", "1.5", ".5", "5.", "1.5E+3", "2e-5", "1E", "1_000",
                          "1__0", "007", "nan", "Infinity", "1e5", "\t1", "1\r", "\x1c1"])
string = st.text(st.sampled_from('ab "é'), max_size=6).map(lambda s: '"' + s.replace('"', '""') + '"')
error = st.sampled_from(["#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A",
                         "#GETTING_DATA", "Sheet1!#REF!", "#BAD"])
table = st.sampled_from(["Table1[Col]", "T[[#This Row],[Col]]", "T[[#Headers],[a]:[b]]", "T[]"])
name = st.sampled_from(["MyName", "TRUE", "FALSE", "x_1", "é", "名前", "١٢", "A1é"])
atom = st.one_of(reference, number, string, error, table, name)
space = st.sampled_from(["", "", " ", "  ", "\n", " \n ", "\n\n"])
infix = st.sampled_from(["+", "-", "*", "/", "^", "&", "=", ">", "<", ">=", "<=", "<>", ",", ":", " "])


def _compose(children):
    args = st.lists(children, min_size=0, max_size=3)
    return st.one_of(
        st.tuples(children, space, infix, space, children).map("".join),
        st.tuples(st.sampled_from(["SUM", "IF", "sum", "Sheet1!F", "_xlfn.X"]), args).map(
            lambda p: p[0] + "(" + ",".join(p[1]) + ")"),
        children.map(lambda c: "(" + c + ")"),
        st.lists(st.lists(number, min_size=1, max_size=3).map(",".join), min_size=1,
                 max_size=3).map(lambda rows: "{" + ";".join(rows) + "}"),
        st.tuples(st.sampled_from(["-", "+", "--"]), children).map("".join),
        children.map(lambda c: c + "%"),
    )


expression = st.recursive(atom, _compose, max_leaves=8)
soup = st.text(st.sampled_from(list("A1$:!'\"[]#(){},; +-*/^&=<>%\nE.eé\t\r\x0b\x1c_")),
               max_size=20)
formula = st.one_of(
    st.tuples(st.just("="), space, expression).map("".join),
    soup.map(lambda s: "=" + s),
    soup,
)
position = st.tuples(st.one_of(st.integers(1, 12), st.integers(1, 10**7)),
                     st.one_of(st.integers(1, 12), st.integers(18270, 18278)))


def _same_tokens(text, native):
    if native == ("error", "NeedPython", ""):
        assert not text.isascii()
        return
    assert native == host_tokens(text)


@given(formula)
def test_tokens_match_the_host(text):
    _same_tokens(text, _probe.tokenize(text))


@given(formula, position, st.lists(st.one_of(position, st.none()), min_size=1, max_size=4))
def test_translation_matches_the_host(text, origin, dests):
    """One template rendered to several cells reads as the host's
    translation to each of them."""
    native = _probe.render_many(text, origin, dests)
    if isinstance(native, tuple):  # the formula did not tokenize
        _same_tokens(text, native)
        return
    native = [("ok", r) if isinstance(r, str) else r for r in native]
    assert native == [host_translate(text, origin, dest) for dest in dests]
    assert _probe.translate(text, origin, dests[0]) == native[0]


def test_render_block_agrees_with_single_renders():
    ok, failed, size, last = _probe.render_block("=A1+$B$2*Sheet1!C3:D4", (5, 3), (1, 3), 10)
    rendered = [_probe.translate("=A1+$B$2*Sheet1!C3:D4", (5, 3), (r, 3)) for r in range(1, 11)]
    good = [r[1] for r in rendered if r[0] == "ok"]
    assert (ok, failed, size, last) == (len(good), 10 - len(good), sum(map(len, good)), good[-1])
    assert failed == 4  # rows 1 to 4 move A1 above the sheet


def test_array_formula():
    f = ArrayFormula(ref="A1:B2", text="=A1:A2*2")
    assert (f.ref, f.text, f.t) == ("A1:B2", "=A1:A2*2", "array")
    assert f == ArrayFormula("A1:B2", "=A1:A2*2") != ArrayFormula("A1:B2")
    assert dict(f) == {"t": "array", "ref": "A1:B2"}
    assert repr(f) == "ArrayFormula(ref='A1:B2', text='=A1:A2*2')"


def test_data_table_formula_from_element_attributes():
    attrs = {"t": "dataTable", "ref": "B2:C4", "dt2D": "1", "dtr": "0", "r1": "A1", "r2": "A2"}
    f = DataTableFormula(**attrs)
    assert (f.t, f.ref, f.dt2D, f.dtr, f.r1, f.r2, f.ca, f.del1, f.del2) == (
        "dataTable", "B2:C4", "1", "0", "A1", "A2", False, False, False)
    assert dict(f) == attrs
    assert f == DataTableFormula(**attrs) != DataTableFormula(ref="B2:C4")
    assert repr(f).startswith("DataTableFormula(ref='B2:C4', ca=False, dt2D='1'")
