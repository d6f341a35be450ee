"""CellStore: the compact cell container and its dict protocol."""

import datetime
import gc

import pytest

from tavrinex import _probe
from tavrinex import _tavrinex as native
from tavrinex.cell import Cell
from tavrinex.styles import StyleArray
from tavrinex.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH

SHARED = ["zero", "one", "two", "three"]


class Sheet:
    title = "Sheet"


def styles(n=4):
    return [StyleArray([i] * 9) for i in range(n)]


def make_store(cells=(), shared=SHARED, cell_styles=None, epoch=WINDOWS_EPOCH, ws=None,
               store=None):
    """A store configured like bind_cells does it and loaded with `cells`:
    (row, column, form, value[, data_type[, style]])."""
    store = native.CellStore() if store is None else store
    ws = Sheet() if ws is None else ws
    _probe.store_configure(store, ws, styles() if cell_styles is None else cell_styles, Cell,
                           shared, epoch)
    full = []
    for c in cells:
        row, col, form, value, *rest = c
        dtype = rest[0] if rest else "n"
        style = rest[1] if len(rest) > 1 else 0
        full.append((row, col, form, value, dtype, style))
    _probe.store_load(store, full)
    return store


def tiers(store):
    return [(r[0], r[1], r[2]) for r in _probe.store_records(store)]


# ---- placement and loading --------------------------------------------------

def test_duplicate_coordinate_keeps_first_position_and_later_value():
    s = make_store([(1, 1, "int", 1), (1, 2, "int", 2), (1, 1, "text", "later", "s")])
    assert list(s) == [(1, 1), (1, 2)]
    assert s[1, 1].value == "later" and s[1, 1].data_type == "s"
    assert len(s) == 2


def test_rows_out_of_order_go_to_overflow_in_document_order():
    cells = [(5, 1, "int", 51), (5, 2, "int", 52), (3, 1, "int", 31), (6, 1, "int", 61),
             (4, 4, "int", 44)]
    s = make_store(cells)
    assert list(s) == [(5, 1), (5, 2), (3, 1), (6, 1), (4, 4)]
    assert [t[0] for t in _probe.store_records(s)] == ["compact"] * 2 + ["overflow"] * 3
    assert [s[k].value for k in list(s)] == [51, 52, 31, 61, 44]


def test_wide_columns_overflow_and_everything_after_them():
    s = make_store([(1, 65535, "int", 1), (1, 65536, "int", 2), (2, 1, "int", 3)])
    assert tiers(s) == [("compact", 1, 65535), ("overflow", 1, 65536), ("overflow", 2, 1)]
    assert (s[1, 65536].value, s[2, 1].value) == (2, 3)
    assert s._bounds() == (1, 2, 1, 65536)


@pytest.mark.parametrize("value, kind", [
    (2**31, 3), (-2**31, 100), (2**31 - 1, 100), (-2**31 - 1, 3), (2**63 - 1, 3), (-2**63, 3),
    (0, 100)])
def test_integer_widths(value, kind):
    s = make_store([(1, 1, "int", value)])
    assert _probe.store_records(s)[0][3] == kind
    assert s[1, 1].value == value and type(s[1, 1].value) is int


def test_equal_texts_are_stored_once():
    text = "x" * 99 + "é"
    s = make_store([(1, 1, "text", text, "s"), (2, 1, "text", text, "s"),
                    (3, 1, "text", "other", "s")])
    assert s._stats()[3] == len(text.encode()) + 5
    assert [s[k, 1].value for k in (1, 2, 3)] == [text, text, "other"]


def test_styles_wide_and_absent():
    cell_styles = [StyleArray()] * 70000 + [StyleArray([7] * 9)]
    s = make_store([(1, 1, "int", 1, "n", 70000), (1, 2, "int", 2, "n", None),
                    (1, 3, "int", 3, "n", 0)], cell_styles=cell_styles)
    assert _probe.store_records(s)[0][5] == 70000
    c = s[1, 1]
    assert type(c._style) is StyleArray and c._style == cell_styles[70000]
    assert c._style is not cell_styles[70000]
    assert s[1, 2]._style is None
    # Every cell gets its own copy.
    assert s[1, 3]._style is not s[2 - 1, 1]._style


def test_materialised_cell_slots_and_identity():
    ws = Sheet()
    s = make_store([(4, 2, "int", 7), (4, 3, "bool", 1, "b")], ws=ws)
    a = s[4, 2]
    assert type(a) is Cell
    assert (a.parent, a.row, a.column, a.value, a.data_type) == (ws, 4, 2, 7, "n")
    assert a._hyperlink is None and a._comment is None
    assert s[4, 2] is a and s.get((4, 2)) is a
    assert s._stats()[:2] == (2, 1)
    b = s[4, 3]
    assert b.row is a.row  # one int per row
    assert b.value is True and b.data_type == "b"


@pytest.mark.parametrize("form, value, dtype, expect", [
    ("none", None, "n", None),
    ("float", -0.0, "n", -0.0),
    ("float", 1e308, "n", 1e308),
    ("bool", 0, "b", False),
    ("shared", 3, "s", "three"),
    ("text", "#N/A", "e", "#N/A"),
    ("text", "=A1+1", "f", "=A1+1"),
    ("date_int", 61, "d", datetime.datetime(1900, 3, 1)),
    ("date_int", 0, "d", datetime.time(0, 0)),
    ("date_float", 0.75, "d", datetime.time(18, 0)),
    ("date_float", 45000.5, "d", datetime.datetime(2023, 3, 15, 12, 0)),
    ("int", 5, "weird", 5),
])
def test_values_by_kind(form, value, dtype, expect):
    s = make_store([(1, 1, form, value, dtype)])
    c = s[1, 1]
    assert c.value == expect and type(c.value) is type(expect) and c.data_type == dtype
    assert s._row(1, 1, 1, True) == ((expect,), False)


def test_dates_use_the_configured_epoch():
    s = make_store([(1, 1, "date_int", 1, "d")], epoch=MAC_EPOCH)
    assert s[1, 1].value == datetime.datetime(1904, 1, 2)


def test_value_objects_and_shared_strings_through_item_access():
    class Table:
        def __getitem__(self, i):
            return f"#{i}"
    marker = object()
    s = make_store([(1, 1, "object", marker, "s"), (1, 2, "shared", 2, "s")], shared=Table())
    assert s[1, 1].value is marker and s[1, 2].value == "#2"


def test_data_types_are_interned_by_equality_up_to_248():
    s = native.CellStore()
    _probe.store_configure(s, Sheet(), styles(), Cell, SHARED, WINDOWS_EPOCH)
    cells = [(1, i + 1, "int", i, f"t{i}", 0) for i in range(248)]
    cells.append((2, 1, "int", 0, "t5", 0))
    _probe.store_load(s, cells)
    assert s[2, 1].data_type == "t5" and s[1, 248].data_type == "t247"
    with pytest.raises(native.NativeFallback, match="^too many data types$"):
        _probe.store_load(s, [(3, 1, "int", 0, "t248", 0)])


def test_style_items_are_fetched_once_per_id_and_must_be_arrays():
    class Styles:
        def __init__(self):
            self.calls = []

        def __getitem__(self, i):
            self.calls.append(i)
            return StyleArray([i] * 9) if i < 3 else (1, 2)
    st = Styles()
    s = make_store([(1, c, "int", c, "n", c % 2) for c in range(1, 7)] + [(2, 1, "int", 0, "n", 3)],
                   cell_styles=st)
    assert [s[1, c]._style[0] for c in range(1, 7)] == [1, 0, 1, 0, 1, 0]
    assert sorted(st.calls) == [0, 1]
    with pytest.raises(TypeError, match="array"):
        s[2, 1]


def test_failed_materialisation_leaves_the_cell_as_it_was():
    class Flaky:
        fail = True

        def __getitem__(self, i):
            if Flaky.fail:
                raise LookupError("not yet")
            return StyleArray([i] * 9)
    s = make_store([(1, 1, "int", 9, "n", 1)], cell_styles=Flaky())
    with pytest.raises(LookupError):
        s[1, 1]
    assert s._stats()[1] == 0 and (1, 1) in s
    Flaky.fail = False
    assert s[1, 1].value == 9 and s[1, 1]._style[0] == 1 and s._stats()[1] == 1


def test_unconfigured_store_cannot_build_cells():
    s = native.CellStore(1, 2, x=3)
    assert s._row(1, 1, 2, True) == ((None, None), True)
    with pytest.raises(RuntimeError):
        s._row(1, 1, 1, False)
    s[(1, 5)] = "v"
    assert s[1, 5] == "v"


def test_overflow_compaction_keeps_order():
    s = make_store()
    keys = [(r, 70000 + r % 7) for r in range(2100, 0, -1)]
    for k in keys:
        s[k] = k
    keep = keys[::21]
    for i, k in enumerate(keys):
        if i % 21:
            del s[k]
    assert list(s) == keep and len(s) == 100
    assert all(s[k] == k for k in keep) and all((k in s) == (i % 21 == 0)
                                                for i, k in enumerate(keys))
    s[(1, 1)] = "new"
    assert list(s)[-1] == (1, 1) and s.popitem() == ((1, 1), "new")


# ---- the key rule -------------------------------------------------------------

class IntLike:
    def __init__(self, v, eq=True, h=None, fail=None):
        self.v, self.eq, self.h, self.fail = v, eq, h, fail

    def __int__(self):
        if self.fail == "int":
            raise ArithmeticError("int")
        return self.v

    def __eq__(self, other):
        if self.fail == "eq":
            raise ArithmeticError("eq")
        return self.eq

    def __hash__(self):
        if self.fail == "hash":
            raise ArithmeticError("hash")
        return hash(self.v) if self.h is None else self.h


class TupleSub(tuple):
    pass


@pytest.mark.parametrize("key, found", [
    ((1, 2), True),
    ((1.0, 2), True),
    ((True, 2), True),
    (TupleSub((1, 2)), True),
    ((IntLike(1), 2), True),
    ((1.5, 2), False),
    ((-1, 2), False),
    ((1, 2, 3), False),
    ("A1", False),
    ((1, 2**32 + 2), False),
    ((1, "2"), False),
    ((IntLike(1, eq=False), 2), False),
    ((IntLike(1, h=99), 2), False),
    ((IntLike(1, fail="int"), 2), False),
    ((IntLike(1, fail="eq"), 2), False),
])
def test_key_rule(key, found):
    s = make_store([(1, 2, "int", 12)])
    assert (key in s) is found
    if found:
        assert s[key].value == 12 and s.get(key, "dflt").value == 12
    else:
        with pytest.raises(KeyError) as ei:
            s[key]
        assert ei.value.args == (key,)
        assert s.get(key, "dflt") == "dflt"
        with pytest.raises(KeyError):
            del s[key]


@pytest.mark.parametrize("op", [
    lambda s, k: s[k], lambda s, k: s.get(k), lambda s, k: k in s,
    lambda s, k: s.__delitem__(k), lambda s, k: s.__setitem__(k, 1)])
@pytest.mark.parametrize("key", [[1, 2], ((1, [2]), 3), (IntLike(1, fail="hash"), 2)])
def test_unhashable_keys_raise(op, key):
    s = make_store([(1, 2, "int", 12)])
    with pytest.raises((TypeError, ArithmeticError)):
        op(s, key)
    assert not s._in_dict_mode() and len(s) == 1


# ---- assignment and dict mode ---------------------------------------------------

def test_non_native_key_switches_to_dict_mode():
    s = make_store([(1, 1, "int", 1), (2, 3, "text", "t", "s")])
    s["A1"] = "x"
    assert s._in_dict_mode() and s._bounds() is None
    assert list(s) == [(1, 1), (2, 3), "A1"] and len(s) == 3
    assert type(s[1, 1]) is Cell and s[2, 3].value == "t" and s["A1"] == "x"
    assert type(iter(s)) is not type(iter(native.CellStore()))
    s[(9, 9)] = 5
    del s[1, 1]
    assert list(reversed(s)) == [(9, 9), "A1", (2, 3)]
    assert s.popitem() == ((9, 9), 5)
    assert s._stats()[0] == 0  # native tiers are empty


def test_slow_key_assignment():
    s = make_store([(1, 2, "int", 12)])
    s[(True, 2)] = "in place"
    assert not s._in_dict_mode() and s[1, 2] == "in place"
    s[(1.0, 3)] = "dict"
    assert s._in_dict_mode()
    key = list(s)[-1]
    assert type(key[0]) is float and s[1, 3] == "dict"


def test_assignment_keeps_position_and_version():
    s = make_store([(1, 1, "int", 1), (1, 2, "int", 2)])
    it = iter(s)
    assert next(it) == (1, 1)
    s[1, 1] = "replaced"
    s[1, 2]  # materialising does not disturb iteration either
    assert list(it) == [(1, 2)]
    s[(1, 70000)] = "x"
    assert not s._in_dict_mode() and list(s)[-1] == (1, 70000)
    assert s.popitem() == ((1, 70000), "x")


@pytest.mark.parametrize("change, message", [
    (lambda s: s.__setitem__((5, 5), 1), "dictionary changed size during iteration"),
    (lambda s: s.__delitem__((1, 2)), "dictionary changed size during iteration"),
    (lambda s: (s.__delitem__((1, 2)), s.__setitem__((5, 5), 1)),
     "dictionary keys changed during iteration"),
    (lambda s: s._row(7, 1, 1, True), "dictionary changed size during iteration"),
    (lambda s: s.clear(), "dictionary changed size during iteration"),
    (lambda s: s.__setitem__("k", 1), "dictionary changed size during iteration"),
])
def test_iteration_detects_changes(change, message):
    s = make_store([(1, 1, "int", 1), (1, 2, "int", 2), (2, 1, "int", 3)])
    it = iter(s)
    next(it)
    change(s)
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        next(it)


def test_popitem_and_reversed_follow_store_order():
    s = make_store([(1, 1, "int", 1), (2, 1, "int", 2), (2, 2, "int", 3)])
    s[(1, 70000)] = "x"
    assert list(reversed(s)) == [(1, 70000), (2, 2), (2, 1), (1, 1)]
    assert s.popitem() == ((1, 70000), "x")
    key, cell = s.popitem()
    assert key == (2, 2) and cell.value == 3
    del s[2, 1]
    assert s.popitem()[0] == (1, 1)
    with pytest.raises(KeyError, match="popitem\\(\\): dictionary is empty"):
        s.popitem()


def test_clear_in_both_modes_keeps_the_context():
    s = make_store([(1, 1, "int", 1)])
    assert s.clear() is None and len(s) == 0 and list(s) == []
    s["x"] = 1
    assert s.clear() is None
    assert not s._in_dict_mode() and len(s) == 0
    assert s._row(2, 1, 1, False)[0][0].parent is not None


# ---- _row -------------------------------------------------------------------------

def test_row_creates_missing_cells_once():
    s = make_store([(3, 3, "int", 33)])
    cells, created = s._row(3, 1, 3, False)
    assert created is True and [c.value for c in cells] == [None, None, 33]
    assert [(c.row, c.column, c.data_type, c._style) for c in cells[:2]] == \
        [(3, 1, "n", None), (3, 2, "n", None)]
    again, created = s._row(3, 1, 3, False)
    assert created is False and all(a is b for a, b in zip(again, cells))
    assert list(s) == [(3, 3), (3, 1), (3, 2)]
    assert s._row(3, 5, 4, True) == ((), False)


def test_row_skips_removed_cells_and_restores_the_collector():
    s = make_store([(1, c, "int", c) for c in range(1, 6)])
    del s[1, 3]
    vals, created = s._row(1, 1, 5, True)
    assert vals == (1, 2, None, 4, 5) and created
    assert gc.isenabled()
    s = make_store([(1, 1, "int", 1, "n", 99)])
    with pytest.raises(IndexError):
        s._row(1, 1, 1, False)
    assert gc.isenabled()
    gc.disable()
    try:
        s._row(2, 1, 1, False)
        assert not gc.isenabled()
    finally:
        gc.enable()


@pytest.mark.parametrize("args, exc", [
    ((1, 1, 1, 1), TypeError),
    ((1.0, 1, 1, True), TypeError),
    ((1, "1", 1, True), TypeError),
    ((-1, 1, 1, True), ValueError),
    ((1, 0, 2**32, True), ValueError),
    ((1, 1, 2**64, True), OverflowError),
])
def test_row_argument_errors(args, exc):
    with pytest.raises(exc):
        make_store()._row(*args)


# ---- surface and borrowing ---------------------------------------------------------

def test_key_iter_type():
    s = make_store([(1, 1, "int", 1)])
    it = iter(s)
    t = type(it)
    assert t.__name__ == "KeyIter" and t.__module__ == "tavrinex._tavrinex"
    assert not hasattr(native, "KeyIter") and iter(it) is it
    with pytest.raises(TypeError):
        t()
    assert list(it) == [(1, 1)] and list(it) == []


def test_text_signatures():
    assert native.CellStore.get.__text_signature__ == "($self, key, default=None)"
    assert native.CellStore._row.__doc__.startswith("One row of `Worksheet._cells_by_row`")
    assert native.CellStore.__text_signature__ == "(*_args, **_kwargs)"


def test_reentrant_use_is_refused():
    seen = []

    class Styles:
        def __getitem__(self, i):
            for op in (lambda: len(store), lambda: store[1, 2], lambda: (1, 2) in store,
                       lambda: list(store)):
                try:
                    op()
                except RuntimeError as e:
                    seen.append(str(e))
            with pytest.raises(BaseException, match="Already borrowed") as ei:
                _probe.store_configure(store, None, [], Cell, [], WINDOWS_EPOCH)
            assert not isinstance(ei.value, Exception)
            return StyleArray()

    store = make_store([(1, 1, "int", 1), (1, 2, "int", 2)], cell_styles=Styles())
    assert store[1, 1].value == 1
    assert seen == ["Already mutably borrowed", "Already borrowed", "Already mutably borrowed",
                    "Already mutably borrowed"]
    assert len(store) == 2  # the hold was released


def test_texts_too_long_for_the_arena_become_value_objects():
    longest = "a" * (2**24 - 1)
    s = make_store([(1, 1, "text", longest, "s"), (1, 2, "text", longest + "b", "s")])
    assert [r[3] for r in _probe.store_records(s)] == [7, 12]
    assert s._stats()[3] == 2**24 - 1
    assert s[1, 1].value == longest and s[1, 2].value == longest + "b"


def test_converted_cells_take_their_kinds():
    from tavrinex.helpers import reader_helpers

    class Parser:
        epoch = WINDOWS_EPOCH
        formula_and_value = False
        shared_strings = SHARED
        data_only = rich_text = False
        date_formats = [3]
        timedelta_formats = []

    s = make_store()
    actions = []
    _probe.store_convert_load(s, [
        (1, 1, None, "12", 0), (1, 2, None, "2.5", 0), (1, 3, "b", "1", 0), (1, 4, "s", "2", 0),
        (1, 5, "str", "hi", 0), (1, 6, None, "61", 3), (1, 7, None, "0.5", 3),
        (1, 8, None, "1e20", 3), (1, 9, None, "+3", 0), (1, 10, "odd", "v", 0),
        (1, 11, "inlineStr", None, 0)], Parser(), reader_helpers(), actions)
    assert [r[3] for r in _probe.store_records(s)] == [100, 4, 5, 6, 7, 10, 11, 7, 12, 7, 2]
    vals, _ = s._row(1, 1, 11, True)
    assert vals == (12, 2.5, True, "two", "hi", datetime.datetime(1900, 3, 1),
                    datetime.time(12, 0), "#VALUE!", 3, "v", None)
    assert [s[1, c].data_type for c in range(1, 12)] == \
        ["n", "n", "b", "s", "s", "d", "d", "e", "n", "odd", "inlineStr"]
    assert [a[0] for a in actions] == ["warn"]


def test_reloading_a_store_in_dict_mode_leaves_dict_mode():
    s = make_store([(1, 1, "int", 1)])
    s["x"] = 1
    make_store([(2, 2, "int", 22)], store=s)
    assert not s._in_dict_mode() and list(s) == [(2, 2)] and s[2, 2].value == 22


def test_clear_in_dict_mode_stops_live_iterators():
    s = make_store([(1, 1, "int", 1), (1, 2, "int", 2)])
    s["x"] = 1
    it = iter(s)
    assert next(it) == (1, 1)
    s.clear()
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        next(it)
    assert list(s) == [] and not s._in_dict_mode()


def test_reload_in_dict_mode_stops_live_iterators():
    s = make_store([(1, 1, "int", 1)])
    s["x"] = 1
    it = iter(s)
    next(it)
    make_store([(2, 2, "int", 22)], store=s)
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        next(it)


def test_values_dropped_by_clear_see_a_consistent_store():
    s = make_store([(1, 1, "int", 1)])
    seen = []

    class Noisy:
        def __del__(self):
            seen.append((len(s), s._in_dict_mode()))

    s["x"] = Noisy()
    s[(1, 1)] = Noisy()
    s.clear()
    gc.collect()
    assert seen == [(0, False), (0, False)]


def test_shift_moves_keys_drops_deleted_cells_and_keeps_styles():
    store = make_store([(1, 1, "int", 1), (2, 1, "text", "two", "s", 2), (2, 3, "float", 2.5),
                        (3, 2, "shared", 3, "s", 1), (4, 1, "int", 2**40)])
    kept = store[2, 3]                        # materialised before the moves
    dropped = store[3, 2]
    box = object()
    store[5, 5] = box                         # an assigned object, not a cell
    assert store._shift(False, 3, -1) == []   # row 3 deleted
    assert list(store) == [(1, 1), (2, 1), (2, 3), (3, 1), (4, 5)]
    assert store[3, 1].value == 2**40 and store[4, 5] is box
    assert (dropped.row, dropped.column, dropped.value) == (3, 2, "three")   # out of the store
    assert store._shift(True, 2, 2) == []     # two columns before B
    assert list(store) == [(1, 1), (2, 1), (2, 5), (3, 1), (4, 7)]
    assert store[2, 5] is kept and (kept.row, kept.column, kept.value) == (2, 5, 2.5)
    two = store[2, 1]
    assert (two.value, list(two._style)) == ("two", [2] * 9)
    with pytest.raises(ValueError):
        store._shift(False, 0, 1)
    with pytest.raises(ValueError):
        store._shift(False, 1, 2**32)         # keys past 32 bits
    assert list(store) == [(1, 1), (2, 1), (2, 5), (3, 1), (4, 7)]
