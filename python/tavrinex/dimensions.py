"""Row dimensions: the attributes a worksheet keeps for a row."""

from tavrinex.writer.values import safe_string

# Written after "r", in this order, when set.
ROW_FIELDS = ("spans", "s", "customFormat", "ht", "hidden", "customHeight", "outlineLevel",
              "collapsed", "thickTop", "thickBot", "ph")


def _text(value):
    if isinstance(value, bool):
        return "1" if value else "0"
    return safe_string(value)


class RowDimension:
    """The attributes of one row. Iterating gives the (name, text) pairs of
    the attributes that are set, in a fixed order, so that
    ``dict.update(dimension)`` adds them after a row's ``r``."""

    __slots__ = ROW_FIELDS

    def __init__(self, **attributes):
        for name in ROW_FIELDS:
            setattr(self, name, None)
        for name, value in attributes.items():
            if name not in ROW_FIELDS:
                raise TypeError(f"unknown row attribute {name!r}")
            setattr(self, name, value)

    @classmethod
    def from_attributes(cls, attributes):
        """From the attributes a reader found on a <row>; ``r`` and the
        attributes of other namespaces are left out."""
        return cls(**{k: v for k, v in attributes.items() if k in ROW_FIELDS})

    def __iter__(self):
        for name in ROW_FIELDS:
            value = getattr(self, name)
            if value is not None:
                yield name, _text(value)

    def __eq__(self, other):
        if not isinstance(other, RowDimension):
            return NotImplemented
        return list(self) == list(other)

    __hash__ = None

    def __repr__(self):
        args = ", ".join(f"{k}={v!r}" for k, v in self)
        return f"RowDimension({args})"


def row_dimensions_from(parsed):
    """{row number: RowDimension} from a reader's {row text: attributes}."""
    return {int(key): RowDimension.from_attributes(attrs) for key, attrs in parsed.items()}
