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
