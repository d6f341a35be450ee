"""Cell references and column letters."""

import re

MAX_COLUMN = 18278  # ZZZ
_COORD_RE = re.compile(r"^\$?([A-Za-z]{1,3})\$?(\d+)$")


def get_column_letter(index):
    """Letters of a 1-based column number: 1 -> "A", 27 -> "AA"."""
    if not 1 <= index <= MAX_COLUMN:
        raise ValueError(f"Invalid column index {index}")
    letters = []
    while index > 0:
        index, rem = divmod(index - 1, 26)
        letters.append(chr(65 + rem))
    return "".join(reversed(letters))


def column_index_from_string(letters):
    """1-based column number of "A" .. "ZZZ", either case."""
    if not 1 <= len(letters) <= 3 or not letters.isascii() or not letters.isalpha():
        raise ValueError(f"{letters!r} is not a valid column name")
    index = 0
    for ch in letters.upper():
        index = index * 26 + ord(ch) - 64
    return index


def coordinate_to_tuple(coordinate):
    """ "B12" -> (12, 2); "$b$12" is accepted too."""
    match = _COORD_RE.match(coordinate)
    if not match:
        raise ValueError(f"Invalid cell coordinates ({coordinate})")
    letters, digits = match.groups()
    row = int(digits)
    if row < 1:
        raise ValueError(f"Invalid cell coordinates ({coordinate})")
    return row, column_index_from_string(letters)


def row_index(text):
    """Row number of a row's ``r`` attribute."""
    return int(text)
