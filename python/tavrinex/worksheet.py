"""Editable worksheets and the little of a workbook they need."""

from tavrinex.cell import Cell
from tavrinex.styles import StyleArray, StyleList
from tavrinex.utils.cell import coordinate_to_tuple


class Workbook:
    """What worksheets take from their workbook: the style list, the date
    epoch and the shared strings."""

    def __init__(self, shared_strings=None, cell_styles=None, epoch=None, iso_dates=False):
        if epoch is None:
            from tavrinex.utils.datetime import WINDOWS_EPOCH
            epoch = WINDOWS_EPOCH
        self.shared_strings = list(shared_strings) if shared_strings is not None else []
        self._cell_styles = StyleList(cell_styles if cell_styles is not None else [StyleArray()])
        self.epoch = epoch
        self.iso_dates = iso_dates


class Worksheet:
    """A worksheet whose cells live in ``_cells``: a dict, or the engine's
    CellStore, keyed by (row, column)."""

    def __init__(self, parent=None, title="Sheet"):
        self.parent = parent if parent is not None else Workbook()
        self.title = title
        self._cells = {}
        self.row_dimensions = {}      # str(row) -> the row's attributes
        self.column_dimensions = {}   # column letters -> the <col> attributes
        self.merged_cells = []        # range texts such as "A1:B2"
        self.hyperlinks = []          # attributes of each <hyperlink>
        self.sheet_format = {}
        self._dimension = None
        self._raw_elements = []       # (tag, bytes) of elements kept as written
        self.sheet_state = "visible"  # or "hidden", "veryHidden"
        self.reader_path = None       # "engine" or "python" once read from a file
        self._hyperlinks = []         # hyperlinks of the cells written out
        self._comments = []           # (row, column, comment) of the cells written out

    def __repr__(self):
        return f"<Worksheet {self.title!r}>"

    # -- cells

    def cell(self, row, column, value=None):
        """The cell at (row, column), created empty when missing; `value`,
        when not None, is assigned to it."""
        if row < 1 or column < 1:
            raise ValueError("Row or column values must be at least 1")
        key = (row, column)
        cell = self._cells.get(key)
        if cell is None:
            cell = self._cells[key] = Cell(self, row=row, column=column)
        if value is not None:
            cell.value = value
        return cell

    def __getitem__(self, coordinate):
        """``ws["B2"]``: the cell; ``ws["A1:B2"]``: rows of cells."""
        if not isinstance(coordinate, str):
            raise TypeError(f"worksheet keys are cell references, not {type(coordinate).__name__}")
        if ":" in coordinate:
            first, _, last = coordinate.partition(":")
            min_row, min_col = coordinate_to_tuple(first)
            max_row, max_col = coordinate_to_tuple(last)
            return tuple(self.iter_rows(min_row, max_row, min_col, max_col))
        row, column = coordinate_to_tuple(coordinate)
        return self.cell(row, column)

    def __setitem__(self, coordinate, value):
        self[coordinate].value = value

    # -- extent

    def _store_bounds(self):
        """(min_row, max_row, min_col, max_col) from the engine's store, or
        None when the cells are a dict (or the store fell into dict mode)."""
        bounds = getattr(self._cells, "_bounds", None)
        return bounds() if bounds is not None else None

    def _extent(self, index):
        keys = list(self._cells)
        return [key[index] for key in keys] if keys else []

    @property
    def min_row(self):
        bounds = self._store_bounds()
        if bounds is not None:
            return bounds[0]
        return min(self._extent(0), default=1)

    @property
    def max_row(self):
        bounds = self._store_bounds()
        if bounds is not None:
            return bounds[1]
        return max(self._extent(0), default=1)

    @property
    def min_column(self):
        bounds = self._store_bounds()
        if bounds is not None:
            return bounds[2]
        return min(self._extent(1), default=1)

    @property
    def max_column(self):
        bounds = self._store_bounds()
        if bounds is not None:
            return bounds[3]
        return max(self._extent(1), default=1)

    def calculate_dimension(self):
        """The range the cells span, such as "A1:C3"."""
        from tavrinex.utils.cell import get_column_letter
        return (f"{get_column_letter(self.min_column)}{self.min_row}:"
                f"{get_column_letter(self.max_column)}{self.max_row}")

    # -- rows

    def iter_rows(self, min_row=None, max_row=None, min_col=None, max_col=None,
                  values_only=False):
        """Rows of cells (or of values) over the given ranges, 1-based and
        inclusive; missing cells are created as ``cell()`` creates them."""
        if min_row is None:
            min_row = 1
        if min_col is None:
            min_col = 1
        if max_row is None:
            max_row = self.max_row
        if max_col is None:
            max_col = self.max_column
        if min_row < 1 or min_col < 1:
            raise ValueError("Row or column values must be at least 1")
        values_only = bool(values_only)
        for row in range(min_row, max_row + 1):
            yield self._cells_by_row(row, min_col, max_col, values_only)

    def _cells_by_row(self, row, min_col, max_col, values_only):
        cells = self._cells
        in_dict_mode = getattr(cells, "_in_dict_mode", None)
        if in_dict_mode is not None and not in_dict_mode():
            return cells._row(row, min_col, max_col, values_only)[0]
        row_cells = tuple(self.cell(row, column) for column in range(min_col, max_col + 1))
        if values_only:
            return tuple(cell.value for cell in row_cells)
        return row_cells

    @property
    def rows(self):
        return self.iter_rows()

    @property
    def values(self):
        return self.iter_rows(values_only=True)
