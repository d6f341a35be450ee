"""Style arrays: the nine style indices a cell refers to."""

from array import array

_FIELDS = ("fontId", "fillId", "borderId", "numFmtId", "protectionId",
           "alignmentId", "pivotButton", "quotePrefix", "xfId")


class StyleArray(array):
    """An ``array('i')`` of the nine style fields, with named accessors."""

    __slots__ = ()
    tagname = "xf"

    def __new__(cls, args=(0,) * 9):
        return array.__new__(cls, "i", args)

    def __hash__(self):
        return hash(tuple(self))

    def __copy__(self):
        return StyleArray(self)

    def __deepcopy__(self, memo):
        return StyleArray(self)


def _field(index):
    def get(self):
        return self[index]

    def set(self, value):
        self[index] = value

    return property(get, set)


for _i, _name in enumerate(_FIELDS):
    setattr(StyleArray, _name, _field(_i))
del _i, _name


class StyleList(list):
    """The workbook's list of cell style arrays. ``add`` gives the index of
    an equal array already listed, appending it first when there is none,
    so that each distinct array has one id."""

    def __init__(self, iterable=()):
        super().__init__(iterable)
        self._index = {}
        self._indexed = 0  # items [0, _indexed) are in _index

    def _changed(self):
        self._indexed = 0

    def _lookup(self, key):
        if self._indexed == 0:
            self._index.clear()
        # Appends made through list methods are indexed here; any other
        # change resets the index (see the wrapped methods below).
        for i in range(self._indexed, len(self)):
            self._index.setdefault(tuple(self[i]), i)
        self._indexed = len(self)
        return self._index.get(key)

    def add(self, style):
        """The id of `style` (a style array), appended when it is new."""
        key = tuple(style)
        i = self._lookup(key)
        if i is None:
            i = len(self)
            self.append(StyleArray(style))
            self._index[key] = i
            self._indexed = len(self)
        return i


def _resetting(name):
    method = getattr(list, name)

    def wrapper(self, *args, **kwargs):
        self._changed()
        return method(self, *args, **kwargs)

    wrapper.__name__ = name
    return wrapper


for _name in ("__setitem__", "__delitem__", "__iadd__", "__imul__", "insert", "remove", "pop",
              "clear", "sort", "reverse", "extend"):
    setattr(StyleList, _name, _resetting(_name))
del _name
