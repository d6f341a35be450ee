"""Cell classes: the editable cell and the read-only cells.

The engine fills the slots of these classes directly (it never calls their
constructors), so their slot lists are part of the engine's contract.
"""

import datetime
import decimal

from tavrinex.styles import StyleArray
from tavrinex.utils.cell import get_column_letter

ERROR_CODES = ("#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A")
TIME_TYPES = (datetime.datetime, datetime.date, datetime.time, datetime.timedelta)
NUMERIC_TYPES = (int, float, decimal.Decimal)


def _format_code(fmt_id, workbook):
    from tavrinex.numbers import format_code
    return format_code(fmt_id, getattr(workbook, "number_formats", None))


def _formula_types():
    from tavrinex.formula import ArrayFormula, DataTableFormula
    return ArrayFormula, DataTableFormula


def _rich_text_type():
    from tavrinex.text import CellRichText
    return CellRichText


def infer_data_type(value):
    """The data type a value takes when assigned to a cell."""
    if value is None:
        return "n"
    if isinstance(value, bool):
        return "b"
    if isinstance(value, NUMERIC_TYPES):
        return "n"
    if isinstance(value, TIME_TYPES):
        return "d"
    if isinstance(value, str):
        if len(value) > 1 and value.startswith("="):
            return "f"
        if value in ERROR_CODES:
            return "e"
        return "s"
    if isinstance(value, _formula_types()):
        return "f"
    if isinstance(value, _rich_text_type()):
        return "s"
    raise ValueError(f"Cannot convert {value!r} to Excel")


def _give_date_format(cell, value):
    """Dates and times assigned to cells of a workbook that keeps number
    formats get one that shows them as such."""
    wb = getattr(cell.parent, "parent", None)
    if getattr(wb, "number_formats", None) is None:
        return
    from tavrinex.styles.cells import default_date_format, set_number_format
    set_number_format(cell, default_date_format(value))


class Cell:
    """A cell of an editable worksheet."""

    __slots__ = ("parent", "_style", "row", "column", "_value", "_hyperlink",
                 "data_type", "_comment")

    def __init__(self, worksheet, row=None, column=None, value=None, style_array=None):
        self.parent = worksheet
        self._style = StyleArray(style_array) if style_array is not None else None
        self.row = row
        self.column = column
        self._value = None
        self._hyperlink = None
        self.data_type = "n"
        self._comment = None
        if value is not None:
            self.value = value

    @property
    def value(self):
        return self._value

    @value.setter
    def value(self, value):
        self.data_type = infer_data_type(value)
        self._value = value
        try:
            self.parent._cell_changed(self.row, self.column)
        except AttributeError:  # a cell of no worksheet
            pass
        if self.data_type == "d" and (self._style is None or self._style[3] == 0):
            _give_date_format(self, value)

    @property
    def coordinate(self):
        return f"{get_column_letter(self.column)}{self.row}"

    @property
    def column_letter(self):
        return get_column_letter(self.column)

    @property
    def style_array(self):
        """The cell's style indices (a fresh default when it has none)."""
        if self._style is None:
            self._style = StyleArray()
        return self._style

    @property
    def has_style(self):
        return self._style is not None and any(self._style)

    @property
    def number_format(self):
        """Text of the cell's number format ("General" when it has none)."""
        fmt_id = self._style[3] if self._style is not None else 0
        return _format_code(fmt_id, getattr(self.parent, "parent", None))

    @number_format.setter
    def number_format(self, code):
        from tavrinex.styles.cells import set_number_format
        set_number_format(self, code)

    @property
    def font(self):
        from tavrinex.styles.cells import font_of
        return font_of(self)

    @font.setter
    def font(self, font):
        from tavrinex.styles.cells import set_font
        set_font(self, font)

    @property
    def fill(self):
        from tavrinex.styles.cells import fill_of
        return fill_of(self)

    @fill.setter
    def fill(self, fill):
        from tavrinex.styles.cells import set_fill
        set_fill(self, fill)

    @property
    def border(self):
        from tavrinex.styles.cells import border_of
        return border_of(self)

    @border.setter
    def border(self, border):
        from tavrinex.styles.cells import set_border
        set_border(self, border)

    @property
    def alignment(self):
        from tavrinex.styles.cells import alignment_of
        return alignment_of(self)

    @alignment.setter
    def alignment(self, alignment):
        from tavrinex.styles.cells import set_alignment
        set_alignment(self, alignment)

    @property
    def protection(self):
        from tavrinex.styles.cells import protection_of
        return protection_of(self)

    @protection.setter
    def protection(self, protection):
        from tavrinex.styles.cells import set_protection
        set_protection(self, protection)

    @property
    def style(self):
        """The name of the cell's named style ("Normal" by default);
        setting one ("Good", or a NamedStyle) gives the cell its format."""
        from tavrinex.styles.cells import named_style_of
        return named_style_of(self)

    @style.setter
    def style(self, style):
        from tavrinex.styles.cells import set_named_style
        set_named_style(self, style)

    @property
    def hyperlink(self):
        return self._hyperlink

    @hyperlink.setter
    def hyperlink(self, link):
        """A Hyperlink, an address text ("https://...", or "#Sheet2!A1" for
        a place in the workbook), or None."""
        from tavrinex.comments import Hyperlink
        if link is None or isinstance(link, Hyperlink):
            self._hyperlink = link
        elif isinstance(link, str) and link:
            ref = self.coordinate
            self._hyperlink = (Hyperlink(ref, location=link[1:]) if link.startswith("#")
                               else Hyperlink(ref, target=link))
        else:
            raise TypeError(f"a hyperlink is a non-empty str or a Hyperlink, not {link!r}")

    @property
    def comment(self):
        return self._comment

    @comment.setter
    def comment(self, comment):
        """A Comment, a text (no author), or None."""
        from tavrinex.comments import Comment
        if isinstance(comment, str):
            comment = Comment(comment)
        if comment is not None and not isinstance(comment, Comment):
            raise TypeError(f"a comment is a str or a Comment, not {type(comment).__name__}")
        self._comment = comment

    @property
    def is_date(self):
        return self.data_type == "d"

    def __repr__(self):
        title = getattr(self.parent, "title", "?")
        return f"<Cell {title!r}.{self.coordinate}>"


class ReadOnlyCell:
    """A cell handed out by a read-only worksheet."""

    __slots__ = ("parent", "row", "column", "_value", "data_type", "_style_id")

    def __init__(self, sheet, row, column, value, data_type="n", style_id=0):
        self.parent = sheet
        self.row = row
        self.column = column
        self._value = value
        self.data_type = data_type
        self._style_id = style_id

    @property
    def value(self):
        return self._value

    @property
    def coordinate(self):
        return f"{get_column_letter(self.column)}{self.row}"

    @property
    def style_id(self):
        return self._style_id

    @property
    def font(self):
        from tavrinex.styles.cells import font_of
        return font_of(self)

    @property
    def fill(self):
        from tavrinex.styles.cells import fill_of
        return fill_of(self)

    @property
    def border(self):
        from tavrinex.styles.cells import border_of
        return border_of(self)

    @property
    def alignment(self):
        from tavrinex.styles.cells import alignment_of
        return alignment_of(self)

    @property
    def protection(self):
        from tavrinex.styles.cells import protection_of
        return protection_of(self)

    @property
    def number_format(self):
        """Text of the cell's number format ("General" when it has none)."""
        wb = getattr(self.parent, "parent", None)
        styles = getattr(wb, "_cell_styles", None)
        fmt_id = 0
        if styles is not None and 0 <= self._style_id < len(styles):
            fmt_id = styles[self._style_id][3]
        return _format_code(fmt_id, wb)

    def __eq__(self, other):
        return (isinstance(other, ReadOnlyCell)
                and (self.row, self.column, self._value) == (other.row, other.column, other._value))

    def __ne__(self, other):
        return not self == other

    __hash__ = None

    def __repr__(self):
        return f"<ReadOnlyCell {getattr(self.parent, 'title', '?')!r}.{self.coordinate}>"


class ReadOnlyFormulaCell(ReadOnlyCell):
    """A read-only cell of a sheet read in formula-and-value mode: the
    value of a formula cell is its formula, and `cached_value` the value
    last calculated for it (for other cells, the value itself)."""

    __slots__ = ("formula", "cached_value")

    def __init__(self, sheet, row, column, value, data_type="n", style_id=0, formula=None,
                 cached_value=None):
        super().__init__(sheet, row, column, value, data_type, style_id)
        self.formula = formula
        self.cached_value = cached_value


class EmptyCell:
    """The value-less cell that fills gaps in read-only rows."""

    __slots__ = ()
    value = None
    is_date = False
    data_type = "n"
    style_id = 0

    def __repr__(self):
        return "<EmptyCell>"


EMPTY_CELL = EmptyCell()
