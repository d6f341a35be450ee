"""Formula values that are more than a text: array and data-table formulas."""


class ArrayFormula:
    """An array formula over the cells `ref` (such as "A1:B3")."""

    t = "array"

    __slots__ = ("ref", "text")

    def __init__(self, ref, text=None):
        self.ref = ref
        self.text = text

    def __iter__(self):
        """The attributes of the formula's <f> element."""
        yield "t", self.t
        yield "ref", self.ref

    def __eq__(self, other):
        if not isinstance(other, ArrayFormula):
            return NotImplemented
        return (self.ref, self.text) == (other.ref, other.text)

    __hash__ = None

    def __repr__(self):
        return f"ArrayFormula(ref={self.ref!r}, text={self.text!r})"


class DataTableFormula:
    """A what-if data table over `ref`; attribute values are kept as given.

    Other attributes of the <f> element (its ``t`` among them) are accepted
    and not kept: ``t`` is always "dataTable".
    """

    t = "dataTable"

    _ATTRIBUTES = ("ref", "ca", "dt2D", "dtr", "r1", "r2", "del1", "del2")
    __slots__ = _ATTRIBUTES

    def __init__(self, ref, ca=False, dt2D=False, dtr=False, r1=None, r2=None,
                 del1=False, del2=False, **kw):
        self.ref = ref
        self.ca = ca
        self.dt2D = dt2D
        self.dtr = dtr
        self.r1 = r1
        self.r2 = r2
        self.del1 = del1
        self.del2 = del2

    def __iter__(self):
        """The attributes of the formula's <f> element that are set."""
        yield "t", self.t
        for name in self._ATTRIBUTES:
            value = getattr(self, name)
            if value is not None and value is not False:
                yield name, value

    def __eq__(self, other):
        if not isinstance(other, DataTableFormula):
            return NotImplemented
        return all(getattr(self, n) == getattr(other, n) for n in self._ATTRIBUTES)

    __hash__ = None

    def __repr__(self):
        args = ", ".join(f"{n}={getattr(self, n)!r}" for n in self._ATTRIBUTES)
        return f"DataTableFormula({args})"
