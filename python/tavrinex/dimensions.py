"""Row dimensions: the attributes a worksheet keeps for a row (height,
hidden, outline level, style), and the sheet's collection of them keyed
by row number."""

from typing import Any

from tavrinex.writer.values import safe_string

# Written after "r", in this order, when set.
ROW_FIELDS = ("spans", "s", "customFormat", "ht", "hidden", "customHeight", "outlineLevel",
              "collapsed", "thickTop", "thickBot", "ph")
_TRUE = ("1", "true", True, 1)
MAX_OUTLINE = 7


def _text(value):
    if isinstance(value, bool):
        return "1" if value else "0"
    return safe_string(value)


def _flag(value):
    return value in _TRUE


class RowDimension:
    """The attributes of one row. Given by their names in the file (``ht``,
    ``customHeight``, ``hidden``, ``outlineLevel``, ...) or through the
    properties `height`, `hidden`, `outline_level` and `collapsed`.
    Iterating gives the (name, text) pairs of the attributes that are set,
    in a fixed order, so that ``dict.update(dimension)`` adds them after a
    row's ``r``."""

    __slots__ = ("_attrs",)

    def __init__(self, **attributes):
        self._attrs = {}
        for name, value in attributes.items():
            if name in ROW_FIELDS:
                if value is not None:
                    self._attrs[name] = value
            elif name in ("height", "outline_level", "collapsed"):
                setattr(self, name, value)
            else:
                raise TypeError(f"unknown row attribute {name!r}")

    @classmethod
    def _adopt(cls, attributes):
        """A dimension over a reader's attribute dict itself (the dict is
        the reader's to give: no copy). Names the dimension does not know
        ("r", other namespaces) stay in it, unused."""
        dim = cls.__new__(cls)
        dim._attrs = attributes
        return dim

    @classmethod
    def from_attributes(cls, attributes):
        """From the attributes a reader found on a <row>; ``r`` and the
        attributes of other namespaces are left out."""
        dim = cls()
        pairs = attributes.items() if hasattr(attributes, "items") else attributes
        dim._attrs = {k: v for k, v in pairs if k in ROW_FIELDS}
        return dim

    # -- the attributes by their meaning

    @property
    def height(self):
        """The row's height in points, None for the default."""
        value = self._attrs.get("ht")
        try:
            return None if value is None else float(value)
        except ValueError:
            return None

    @height.setter
    def height(self, value):
        if value is None:
            self._attrs.pop("ht", None)
            self._attrs.pop("customHeight", None)
            return
        if isinstance(value, bool) or not isinstance(value, (int, float)) \
                or not 0 <= value <= 409:
            raise ValueError(f"row heights run from 0 to 409 points, not {value!r}")
        self._attrs["ht"] = value
        self._attrs["customHeight"] = True

    @property
    def hidden(self):
        return _flag(self._attrs.get("hidden"))

    @hidden.setter
    def hidden(self, value):
        if not isinstance(value, bool):
            raise TypeError(f"hidden is True or False, not {value!r}")
        if value:
            self._attrs["hidden"] = True
        else:
            self._attrs.pop("hidden", None)

    @property
    def outline_level(self):
        try:
            return int(self._attrs.get("outlineLevel", 0))
        except ValueError:
            return 0

    @outline_level.setter
    def outline_level(self, value):
        check_outline_level(value)
        if value:
            self._attrs["outlineLevel"] = value
        else:
            self._attrs.pop("outlineLevel", None)

    @property
    def collapsed(self):
        return _flag(self._attrs.get("collapsed"))

    @collapsed.setter
    def collapsed(self, value):
        if not isinstance(value, bool):
            raise TypeError(f"collapsed is True or False, not {value!r}")
        if value:
            self._attrs["collapsed"] = True
        else:
            self._attrs.pop("collapsed", None)

    @property
    def style_id(self):
        """The cell format the row's empty cells take (None: none)."""
        if not _flag(self._attrs.get("customFormat")):
            return None
        try:
            return int(self._attrs.get("s", 0))
        except ValueError:
            return None

    @style_id.setter
    def style_id(self, value):
        if value is None:
            self._attrs.pop("s", None)
            self._attrs.pop("customFormat", None)
            return
        if isinstance(value, bool) or not isinstance(value, int) or value < 0:
            raise ValueError(f"a row's style id is a cell format index, not {value!r}")
        self._attrs["s"] = value
        self._attrs["customFormat"] = True

    # -- as attributes

    def __iter__(self):
        attrs = self._attrs
        for name in ROW_FIELDS:
            value = attrs.get(name)
            if value is not None:
                yield name, _text(value)

    def __bool__(self):
        return any(True for _ in self)

    def __eq__(self, other):
        if not isinstance(other, RowDimension):
            return NotImplemented
        return list(self) == list(other)

    __hash__ = None

    def __repr__(self):
        args = ", ".join(f"{k}={v!r}" for k, v in self)
        return f"RowDimension({args})"


def check_outline_level(value):
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"an outline level is a whole number, not {value!r}")
    if not 0 <= value <= MAX_OUTLINE:
        raise ValueError(f"outline levels run from 0 to {MAX_OUTLINE}, not {value}")


def _row(key):
    if isinstance(key, str) and key.isdigit():
        key = int(key)
    if isinstance(key, bool) or not isinstance(key, int):
        raise TypeError(f"row dimensions are keyed by row number, not {key!r}")
    if not 1 <= key <= 1_048_576:
        raise ValueError(f"rows run from 1 to 1048576, not {key}")
    return key


class RowDimensions(dict):
    """Row numbers to their RowDimension, made on first use
    (``ws.row_dimensions[6].height = 30``); rows read from a file are
    keyed by number too. The attribute dicts a reader found stay as they
    are until a row is asked for (most are never asked for)."""

    def _wrap(self, key, value):
        if type(value) is dict:
            value = RowDimension._adopt(value)
            dict.__setitem__(self, key, value)
        return value

    def __getitem__(self, key):
        key = _row(key)
        return self._wrap(key, super().__getitem__(key))

    def __missing__(self, key):
        dim = RowDimension()
        super().__setitem__(key, dim)
        return dim

    def __setitem__(self, key, value):
        if isinstance(value, dict):
            value = RowDimension.from_attributes(value)
        elif not isinstance(value, RowDimension):
            value = RowDimension.from_attributes(dict(value))
        super().__setitem__(_row(key), value)

    def __contains__(self, key):
        try:
            return super().__contains__(_row(key))
        except (TypeError, ValueError):
            return False

    def get(self, key, default=None):
        try:
            key = _row(key)
        except (TypeError, ValueError):
            return default
        value = super().get(key, default)
        return self._wrap(key, value) if value is not default else value

    def values(self):
        return [self._wrap(k, v) for k, v in super().items()]

    def items(self):
        return [(k, self._wrap(k, v)) for k, v in super().items()]

    def setdefault(self, key, default=None):
        if key not in self:
            self[key] = default if default is not None else RowDimension()
        return self[key]

    def pop(self, key, *default):
        value = super().pop(_row(key), *default)
        return RowDimension._adopt(value) if type(value) is dict else value

    def __eq__(self, other):
        if not isinstance(other, dict):
            return NotImplemented
        return dict(self.items()) == dict(other.items())

    __hash__ = None

    def group(self, start, end, outline_level=1, hidden=False):
        """Give rows `start` to `end` an outline level (hidden when the
        group is folded)."""
        start, end = _row(start), _row(end)
        if start > end:
            raise ValueError(f"a group runs from its first row to its last, not {start}:{end}")
        check_outline_level(outline_level)
        for row in range(start, end + 1):
            dim = self[row]
            dim.outline_level = outline_level
            dim.hidden = hidden

    @classmethod
    def read(cls, parsed):
        """From a reader's {row text: attributes}, whose dicts it takes."""
        made = cls(zip(map(int, parsed.keys()), parsed.values()))
        for key, attrs in dict.items(made):
            if type(attrs) is not dict and not isinstance(attrs, RowDimension):
                dict.__setitem__(made, key, RowDimension.from_attributes(attrs))
        return made


def row_dimensions_from(parsed):
    """{row number: RowDimension} from a reader's {row text: attributes}."""
    return RowDimensions.read(parsed)
