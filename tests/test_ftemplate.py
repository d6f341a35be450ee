"""Formula templates: formula texts sharing one shape per column read back exactly."""

import pytest
from hypothesis import given, strategies as st

from tavrinex import _probe


def intern(*cells):
    return _probe.formula_templates(list(cells))


@pytest.mark.parametrize("cells, count", [
    ([("=A1+B1", 1, 3), ("=A2+B2", 2, 3)], 1),          # moved one row down
    ([("=$A$1*2", 5, 2), ("=$A$1*2", 6, 2)], 1),        # absolute refs do not move
    ([("=A1+B1", 1, 3), ("=A1+B1", 2, 3)], 2),          # same text, other shape
    ([("=a1+1", 1, 1), ("=a1+1", 7, 9)], 1),            # no candidates: text only
    ([("=SUM(A1:A3)", 4, 1)], 1),
    ([("=LOG10(A1)", 1, 2), ("=LOG10(A2)", 2, 2)], 1),
    ([("=Sheet1!A1", 1, 2), ("=Sheet1!A2", 2, 2)], 1),
    # half-absolute references: only the relative half moves
    ([("=$A1+B$2", 3, 3), ("=$A2+B$2", 4, 3), ("=$A2+C$2", 4, 4)], 1),
    ([("=$A1+B$2", 3, 3), ("=$B2+B$2", 4, 3), ("=$A2+B$3", 4, 3)], 3),
])
def test_shared_shapes(cells, count):
    numbers, templates, rendered = intern(*cells)
    assert templates == count
    assert rendered == [text for text, _, _ in cells]


def test_short_formula_gets_no_template():
    assert intern(("=A1", 1, 1)) == ([None], 0, [None])


@pytest.mark.parametrize("text, moved, expect", [
    ("=LOG10(A1)", (2, 1), "=LOG10(A2)"),       # LOG10 before "(" is not a reference
    ("=Sheet1!A1", (1, 2), "=Sheet1!B1"),       # more than 3 letters is not a reference
    ('="A1"&B1', (2, 1), '="A1"&B2'),           # quoted text is skipped
    ("='A1 x'!C1+D1", (1, 2), "='A1 x'!D1+E1"),  # quoted sheet name skipped
    ("=A1.5+B2", (2, 1), "=A1.5+B3"),
    ("=A$1+$B2", (3, 2), "=B$1+$B4"),
    ("=A12345678+B1", (2, 1), "=A12345678+B2"),  # eight digits: not a reference
])
def test_references_found_in_text(text, moved, expect):
    # A second cell with the moved text shares the first cell's template
    # exactly when the candidates were found as expected.
    numbers, count, rendered = intern((text, 1, 1), (expect, *moved))
    assert rendered == [text, expect]
    assert numbers[0] == numbers[1] and count == 1


def test_cell_whose_text_differs_from_the_template_keeps_its_own():
    # The second cell has the same shape hash candidates but other text.
    numbers, count, rendered = intern(("=A1*3", 1, 2), ("=A2*4", 2, 2))
    assert rendered == ["=A1*3", "=A2*4"] and count == 2


refs = st.builds(lambda ca, c, ra, r: f"{'$' if ca else ''}{c}{'$' if ra else ''}{r}",
                 st.booleans(), st.sampled_from(["A", "B", "Z", "AA", "XFD", "ZZZ"]),
                 st.booleans(), st.integers(1, 9999999))
pieces = st.one_of(refs, st.sampled_from(["+", "*", "SUM(", ")", ":", '"x"', "'S'!", " ", "1",
                                          "a1", "é", "LOG10(", "$", "_", "."]))


@given(st.lists(st.tuples(st.lists(pieces, min_size=1, max_size=8).map(lambda p: "=" + "".join(p)),
                          st.integers(1, 2000), st.integers(1, 500)), min_size=1, max_size=20))
def test_every_interned_cell_reads_back_its_own_text(cells):
    numbers, count, rendered = intern(*cells)
    for (text, _, _), num, out in zip(cells, numbers, rendered):
        if len(text.encode()) <= 3:
            assert num is None
        if num is not None:
            assert out == text
    assert count == len({n for n in numbers if n is not None})
