"""Formula references after rows or columns are inserted or deleted, and
after a sheet is renamed: a table of cases with the formula Excel shows
after the same edit, each case once on rows and once on columns."""

import pytest
from hypothesis import given, strategies as st

from tavrinex.formula import TokenizerError
from tavrinex.formula.rewrite import Rename, Shift, quote_sheet, rewrite_formula, shift_sqref

# (edited sheet, index, amount, sheet of the formula, formula, Excel's result)
ROW_CASES = [
    # two rows inserted before row 3 of Data
    ("Data", 3, 2, "Data", "=A2", "=A2"),
    ("Data", 3, 2, "Data", "=A3", "=A5"),
    ("Data", 3, 2, "Data", "=$A$3*A$4+$A3", "=$A$5*A$6+$A5"),
    ("Data", 3, 2, "Data", "=SUM(A1:A2)", "=SUM(A1:A2)"),
    ("Data", 3, 2, "Data", "=SUM(A2:B3)", "=SUM(A2:B5)"),
    ("Data", 3, 2, "Data", "=SUM($A$3:$B$4)", "=SUM($A$5:$B$6)"),
    ("Data", 3, 2, "Data", "=SUM(3:4)+SUM($1:$3)", "=SUM(5:6)+SUM($1:$5)"),
    ("Data", 3, 2, "Data", "=SUM(A:B)", "=SUM(A:B)"),
    ("Data", 3, 2, "Data", "=A1048575", "=#REF!"),
    ("Data", 3, 2, "Data", "=SUM(A5:A1048576)", "=SUM(A7:A1048576)"),
    ("Data", 3, 2, "Data", "=SUM(A1048575:A1048576)", "=SUM(#REF!)"),
    ("Data", 3, 2, "Data", '=A3&"A3"&MyName&Table1[A3]', '=A5&"A3"&MyName&Table1[A3]'),
    ("Data", 3, 2, "Data", "=A3  +   1", "=A5  +   1"),
    ("Data", 3, 2, "Data", "=A1:INDEX(A:A,3)", "=A1:INDEX(A:A,3)"),
    ("Data", 3, 2, "Data", "=A3:INDEX(A:A,3)", "=A5:INDEX(A:A,3)"),
    ("Data", 3, 2, "Other", "=A3+Data!A3+data!B4", "=A3+Data!A5+data!B6"),
    ("My Data", 3, 2, "Other", "='My Data'!A3", "='My Data'!A5"),
    ("Data", 3, 2, "Other", "=SUM(Data:Other!A3)+[1]Data!A3", "=SUM(Data:Other!A3)+[1]Data!A3"),
    # rows 3 and 4 of Data deleted
    ("Data", 3, -2, "Data", "=A2+A5", "=A2+A3"),
    ("Data", 3, -2, "Data", "=A3+$A$4", "=#REF!+#REF!"),
    ("Data", 3, -2, "Data", "=SUM(A1:A10)", "=SUM(A1:A8)"),
    ("Data", 3, -2, "Data", "=SUM(A3:B4)", "=SUM(#REF!)"),
    ("Data", 3, -2, "Data", "=SUM(A4:A6)+SUM(A1:A3)", "=SUM(A3:A4)+SUM(A1:A2)"),
    ("Data", 3, -2, "Data", "=SUM(3:4)+SUM(2:5)", "=SUM(#REF!)+SUM(2:3)"),
    ("Data", 3, -2, "Data", "=SUM(B:B)", "=SUM(B:B)"),
    ("Data", 3, -2, "Other", "=Data!A4+1+Data!A6+A6", "=Data!#REF!+1+Data!A4+A6"),
    ("Data", 3, -2, "Other", "=SUM(Data:Other!A4)", "=SUM(Data:Other!A4)"),
]

COLUMN_CASES = [
    # two columns inserted before column C of Data
    ("Data", 3, 2, "Data", "=B1", "=B1"),
    ("Data", 3, 2, "Data", "=C1", "=E1"),
    ("Data", 3, 2, "Data", "=$C$1*$D1+C$1", "=$E$1*$F1+E$1"),
    ("Data", 3, 2, "Data", "=SUM(A1:B1)", "=SUM(A1:B1)"),
    ("Data", 3, 2, "Data", "=SUM(B1:C2)", "=SUM(B1:E2)"),
    ("Data", 3, 2, "Data", "=SUM($C$1:$D$2)", "=SUM($E$1:$F$2)"),
    ("Data", 3, 2, "Data", "=SUM(C:D)+SUM($A:$C)", "=SUM(E:F)+SUM($A:$E)"),
    ("Data", 3, 2, "Data", "=SUM(1:2)", "=SUM(1:2)"),
    ("Data", 3, 2, "Data", "=XFC1", "=#REF!"),
    ("Data", 3, 2, "Data", "=SUM(E1:XFD1)", "=SUM(G1:XFD1)"),
    ("Data", 3, 2, "Data", "=SUM(XFC1:XFD1)", "=SUM(#REF!)"),
    ("Data", 3, 2, "Data", '=C1&"C1"&MyName&Table1[C1]', '=E1&"C1"&MyName&Table1[C1]'),
    ("Data", 3, 2, "Data", "=C1  +   1", "=E1  +   1"),
    ("Data", 3, 2, "Data", "=A1:INDEX(1:1,3)", "=A1:INDEX(1:1,3)"),
    ("Data", 3, 2, "Data", "=C1:INDEX(1:1,3)", "=E1:INDEX(1:1,3)"),
    ("Data", 3, 2, "Other", "=C1+Data!C1+data!D2", "=C1+Data!E1+data!F2"),
    ("My Data", 3, 2, "Other", "='My Data'!C1", "='My Data'!E1"),
    ("Data", 3, 2, "Other", "=SUM(Data:Other!C1)+[1]Data!C1", "=SUM(Data:Other!C1)+[1]Data!C1"),
    # columns C and D of Data deleted
    ("Data", 3, -2, "Data", "=B1+E1", "=B1+C1"),
    ("Data", 3, -2, "Data", "=C1+$D$1", "=#REF!+#REF!"),
    ("Data", 3, -2, "Data", "=SUM(A1:J1)", "=SUM(A1:H1)"),
    ("Data", 3, -2, "Data", "=SUM(C1:D2)", "=SUM(#REF!)"),
    ("Data", 3, -2, "Data", "=SUM(D1:F1)+SUM(A1:C1)", "=SUM(C1:D1)+SUM(A1:B1)"),
    ("Data", 3, -2, "Data", "=SUM(C:D)+SUM(B:E)", "=SUM(#REF!)+SUM(B:C)"),
    ("Data", 3, -2, "Data", "=SUM(2:2)", "=SUM(2:2)"),
    ("Data", 3, -2, "Other", "=Data!D1+1+Data!F1+F1", "=Data!#REF!+1+Data!D1+F1"),
    ("Data", 3, -2, "Other", "=SUM(Data:Other!D1)", "=SUM(Data:Other!D1)"),
]


@pytest.mark.parametrize("axis, case", [("rows", c) for c in ROW_CASES]
                         + [("cols", c) for c in COLUMN_CASES])
def test_shift_cases(axis, case):
    sheet, index, amount, host, formula, expected = case
    assert rewrite_formula(formula, host, Shift(sheet, axis, index, amount)) == expected


# (old title, new title, formula, result)
RENAME_CASES = [
    ("Data", "My Data", "=Data!A1+data!B2+A1", "='My Data'!A1+'My Data'!B2+A1"),
    ("My Data", "Data", "='My Data'!A1:B2", "=Data!A1:B2"),
    ("Data", "New", "=SUM(Data:Other!A1)+SUM(Other:Data!A1)", "=SUM(New:Other!A1)+SUM(Other:New!A1)"),
    ("Data", "New Name", "=SUM(Data:Other!A1)", "=SUM('New Name:Other'!A1)"),
    ("Data", "New", "=Data!#REF!+Data!Local+DataX!A1", "=New!#REF!+New!Local+DataX!A1"),
    ("Data", "A1", "=Data!A1", "='A1'!A1"),
    ("Data", "O'Brien", "=Data!A1", "='O''Brien'!A1"),
    ("Data", "New", '="Data!A1"&[1]Data!A1', '="Data!A1"&[1]Data!A1'),
]


@pytest.mark.parametrize("old, new, formula, expected", RENAME_CASES)
def test_rename_cases(old, new, formula, expected):
    assert rewrite_formula(formula, "Other", Rename(old, new)) == expected


def test_quoting_of_titles():
    assert [quote_sheet(t) for t in ["Data", "Q1_2024", "Sales.EU", "2024", "R1C1", "RC",
                                     "ABC12", "TRUE", "a b", "x-y", "Données"]] == [
        "Data", "Q1_2024", "Sales.EU", "'2024'", "'R1C1'", "'RC'", "'ABC12'", "'TRUE'",
        "'a b'", "'x-y'", "Données"]


def test_untokenizable_formulas_raise():
    for formula in ['="open', "=A1)", "=#BAD!"]:
        with pytest.raises(TokenizerError):
            rewrite_formula(formula, "Data", Shift("Data", "rows", 1, 1))
    # Anything not starting with "=" is not a formula.
    assert rewrite_formula("A3", "Data", Shift("Data", "rows", 1, 1)) == "A3"


def test_sqref_lists_drop_wholly_deleted_ranges():
    edit = Shift("Data", "rows", 3, -2)
    assert shift_sqref("A1:B10 C3:D4 E5", edit) == "A1:B8 E3"
    assert shift_sqref("C3:D4", edit) is None
    assert shift_sqref("A1:B2 C5", Shift("Data", "cols", 2, 1)) == "A1:C2 D5"


refs = st.builds(
    lambda prefix, a, body, b: prefix + a + body + b,
    st.sampled_from(["", "", "Data!", "Other!", "data!", "Data:Other!", "_x.y!"]),
    st.sampled_from(["", "$"]),
    st.sampled_from(["A1", "C3", "XFD9", "AB12", "XFE1", "A1048576", "B2:C4", "C4:B2", "3:5",
                     "$2:3", "A:C", "C:$B", "1:1048576", "A2:$XFD$3", "A1:INDEX(A:A,2)"]),
    st.sampled_from(["", "", "*2", "+1.5E3", "%", "^MyName"]))
pieces = st.one_of(refs, st.sampled_from(["1", "2.5", "TRUE", "LOG10(4)", "R1C1", "Name1",
                                          "A1B2", "-A3", "(C5)"]))
plain_formulas = st.builds(
    lambda items, ops, wrap: "=" + wrap.replace("X", "".join(
        item + op for item, op in zip(items, ops + [""] * len(items)))[:-0 or None]),
    st.lists(pieces, min_size=1, max_size=4),
    st.lists(st.sampled_from(["+", "-", "*", ",", " ", "&", "<>", ":"]), max_size=4),
    st.sampled_from(["X", "SUM(X)", "IF(X,1,2)"]))
shifts = st.builds(Shift, st.sampled_from(["Data", "Other"]), st.sampled_from(["rows", "cols"]),
                   st.integers(1, 6), st.integers(-3, 3).filter(bool))


@given(formula=plain_formulas, host=st.sampled_from(["Data", "Other", None]), edit=shifts)
def test_plain_formulas_rewrite_as_the_tokenizer_does(formula, host, edit):
    from tavrinex.formula import rewrite as rw
    try:
        slow = rw._rewrite_tokens(formula, host, edit)
    except TokenizerError:
        return
    if rw._PLAIN.match(formula) and not rw._CHAIN.search(formula) and rw._balanced(formula):
        assert rw._rewrite_plain(formula, host, edit) == slow
