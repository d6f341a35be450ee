"""The rows of a worksheet in writing order, and the Python sheet writer."""

from tavrinex.writer.backends import backend
from tavrinex.writer.values import add_comment

FLUSH_THRESHOLD = 1 << 20


def _row_number(key):
    if isinstance(key, int):
        return int(key)
    if isinstance(key, str) and key.isascii() and key.lstrip("-").isdigit():
        return int(key)
    raise TypeError(f"row dimension keys must be row numbers, not {key!r}")


def _is_position(key):
    return (type(key) is tuple and len(key) == 2
            and type(key[0]) is int and type(key[1]) is int)


def rows(ws):
    """[(row_idx, cells)] in ascending row order, each row's cells by column.

    Cells are placed by their (row, column) key, or by their own ``row``
    and ``column`` when the key is not such a pair. Rows that only have a
    row dimension come with no cells; a row's `row_idx` is then its
    dimension key, so that ``row_dimensions.get(row_idx)`` finds it.
    """
    cells = ws._cells
    placed = []
    for key in list(cells):
        cell = cells[key]
        placed.append((key if _is_position(key) else (cell.row, cell.column), cell))
    placed.sort(key=lambda item: item[0])
    by_row = {}
    for (row, _), cell in placed:
        entry = by_row.get(row)
        if entry is None:
            entry = by_row[row] = [row, []]
        entry[1].append(cell)
    dims = ws.row_dimensions
    for key in dims.keys():
        number = _row_number(key)
        entry = by_row.get(number)
        if entry is None:
            by_row[number] = [key, []]
        elif entry[0] not in dims:
            entry[0] = key
    return [(row_idx, cells) for _, (row_idx, cells) in sorted(by_row.items())]


class Pending:
    """Output handed to `write` in pieces of at least FLUSH_THRESHOLD
    characters (or bytes), at row ends, and at the end."""

    def __init__(self, write, empty):
        self._write = write
        self._empty = empty
        self._parts = []
        self._size = 0

    def add(self, piece):
        self._parts.append(piece)
        self._size += len(piece)

    def end_row(self):
        if self._size >= FLUSH_THRESHOLD:
            self.flush()

    def flush(self):
        if self._parts:
            chunk = self._empty.join(self._parts)
            self._write(chunk)
            self._parts = []
            self._size = 0


def write_rows(ws, write, lxml=True):
    """The Python sheet writer: the whole <sheetData> of `ws` through
    `write`, as bytes with the lxml back end and as str with ElementTree."""
    back = backend(lxml)
    out = Pending(write, back.empty)
    out.add(back.open_sheet)
    for row_idx, cells in rows(ws):
        out.add(back.row(ws, row_idx, cells, add_comment))
        out.end_row()
    out.add(back.close_sheet)
    out.flush()
