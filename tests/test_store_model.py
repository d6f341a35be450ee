"""A CellStore behaves like the dict it replaces.

A state machine drives a store and a plain dict through the same random
operations and compares keys, order, values and errors after every step.
Loaded cells are compared by value until first read, by identity after.
"""

from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from tavrinex import _probe
from tavrinex import _tavrinex as native
from tavrinex.cell import Cell
from tavrinex.styles import StyleArray
from tavrinex.utils.datetime import WINDOWS_EPOCH

SHARED = ["a", "b", "c"]
STYLES = [StyleArray([i] * 9) for i in range(3)]


class Sheet:
    title = "S"


class Loaded:
    """A cell the store holds in compact form: its expected value."""

    def __init__(self, value, data_type="n"):
        self.value = value
        self.data_type = data_type


rows = st.integers(1, 6)
cols = st.one_of(st.integers(1, 5), st.just(70000))
native_keys = st.tuples(rows, cols)
slow_keys = native_keys.map(lambda k: (float(k[0]), k[1])) | native_keys.map(
    lambda k: (k[0], k[1] == 1 and True or k[1]))
foreign_keys = st.sampled_from(["A1", (1.5, 2), (-1, 1), (1, 2, 3), (2**32, 1), None])
keys = st.one_of(native_keys, native_keys, slow_keys, foreign_keys)

loaded_values = st.one_of(
    st.tuples(st.just("int"), st.integers(-2**63, 2**63 - 1)),
    st.tuples(st.just("float"), st.floats(allow_nan=False)),
    st.tuples(st.just("bool"), st.integers(0, 1)),
    st.tuples(st.just("shared"), st.integers(0, 2)),
    st.tuples(st.just("text"), st.text(max_size=5)),
    st.tuples(st.just("none"), st.none()),
)
loads = st.lists(st.tuples(native_keys, loaded_values), max_size=25)


class Box:
    """An assigned object; it has a `value` like the cells it stands in for."""

    def __init__(self):
        self.value = object()


def expected(form, value):
    return {"shared": lambda v: SHARED[v], "bool": bool}.get(form, lambda v: v)(value)


def outcome(fn):
    try:
        return "ok", fn()
    except Exception as e:  # the error itself is what is compared
        return "error", (type(e), e.args)


class StoreMachine(RuleBasedStateMachine):
    @initialize(cells=loads)
    def load(self, cells):
        self.ws = Sheet()
        self.store = native.CellStore()
        self.reload(cells)

    def reload(self, cells):
        _probe.store_configure(self.store, self.ws, STYLES, Cell, SHARED, WINDOWS_EPOCH)
        _probe.store_load(self.store, [(r, c, f, v, "s" if f == "shared" else "n", c % 3)
                                       for (r, c), (f, v) in cells])
        self.model = {}
        for (r, c), (f, v) in cells:
            self.model[(r, c)] = Loaded(expected(f, v))

    def check_value(self, key, got, cell=True):
        """`got` is what the store returned for `key`; the model learns the
        identity of a loaded cell the first time it is read."""
        want = self.model[key]
        if isinstance(want, Loaded):
            if cell:
                assert type(got) is Cell and got.parent is self.ws
                assert (got.row, got.column) == (key[0], key[1])
                self.model[key] = got
                got = got.value
            assert got == want.value and type(got) is type(want.value)
        else:
            assert got is (want if cell else want.value)

    def model_key(self, key):
        """The model's own key object equal to `key` (dicts keep the first)."""
        for k in self.model:
            if k == key:
                return k
        return None

    @rule(cells=loads)
    def reload_store(self, cells):
        self.reload(cells)

    @rule(key=keys)
    def getitem(self, key):
        got = outcome(lambda: self.store[key])
        want = outcome(lambda: self.model[key])
        assert got[0] == want[0]
        if got[0] == "ok":
            self.check_value(self.model_key(key), got[1])
        else:
            assert got[1] == want[1]

    @rule(key=keys)
    def get(self, key):
        got = outcome(lambda: self.store.get(key, "default"))
        mk = self.model_key(key)
        if mk is None:
            assert got == outcome(lambda: self.model.get(key, "default"))
        else:
            self.check_value(mk, got[1])

    @rule(key=keys)
    def contains(self, key):
        assert outcome(lambda: key in self.store) == outcome(lambda: key in self.model)

    @rule(key=keys)
    def setitem(self, key):
        value = Box()
        got = outcome(lambda: self.store.__setitem__(key, value))
        assert got == outcome(lambda: self.model.__setitem__(key, value))

    @rule(key=keys)
    def delitem(self, key):
        got = outcome(lambda: self.store.__delitem__(key))
        assert got == outcome(lambda: self.model.__delitem__(key))

    @rule()
    def popitem(self):
        mk = next(reversed(self.model), None)
        got = outcome(self.store.popitem)
        if mk is None:
            assert got == outcome(self.model.popitem)
            return
        assert got[0] == "ok" and got[1][0] == mk
        self.check_value(mk, got[1][1])
        del self.model[mk]

    @rule()
    def clear(self):
        self.store.clear()
        self.model.clear()

    @rule()
    def reversed_keys(self):
        assert list(reversed(self.store)) == list(reversed(self.model))

    @precondition(lambda self: not self.store._in_dict_mode())
    @rule(row=rows, lo=st.integers(0, 6), width=st.integers(-1, 4), values_only=st.booleans())
    def row(self, row, lo, width, values_only):
        hi = lo + width
        before = set(self.model)
        got, created = self.store._row(row, lo, hi, values_only)
        assert len(got) == max(0, hi - lo + 1)
        for col, item in zip(range(lo, hi + 1), got):
            if (row, col) not in self.model:
                self.model[(row, col)] = Loaded(None)
            self.check_value((row, col), item, cell=not values_only)
        assert created == (set(self.model) != before)

    @precondition(lambda self: not self.store._in_dict_mode())
    @rule(cols=st.booleans(), index=st.integers(1, 7), amount=st.integers(-3, 3).filter(bool))
    def shift(self, cols, index, amount):
        assert self.store._shift(cols, index, amount) == []
        moved = {}
        for (r, c), value in self.model.items():
            v = c if cols else r
            if index <= v < index - amount:
                continue              # deleted
            if v >= index:
                v += amount
            key = (r, v) if cols else (v, c)
            if type(value) is Cell:
                assert (value.row, value.column) == key
            moved[key] = value
        self.model = moved

    @invariant()
    def same_keys(self):
        assert list(self.store) == list(self.model)
        assert len(self.store) == len(self.model)
        in_dict = self.store._in_dict_mode()
        if in_dict or not self.model:
            assert self.store._bounds() is None
        else:
            r = [k[0] for k in self.model]
            c = [k[1] for k in self.model]
            assert self.store._bounds() == (min(r), max(r), min(c), max(c))
        cells = sum(1 for v in self.model.values() if not isinstance(v, Loaded))
        if not in_dict:
            assert self.store._stats()[:2] == (len(self.model), cells)


StoreMachine.TestCase.settings = settings(max_examples=max(10, settings().max_examples // 2),
                                          stateful_step_count=30)
test_store_behaves_like_a_dict = StoreMachine.TestCase

