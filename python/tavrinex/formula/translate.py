"""Moving a formula from the cell that holds it to another cell.

Relative references move by the distance between the two cells; parts
written with "$" stay. Only what follows the last "!" of a reference is
looked into, so sheet names never change.
"""

import re

from tavrinex.formula.tokenizer import Token, Tokenizer
from tavrinex.utils.cell import column_index_from_string, coordinate_to_tuple, get_column_letter


class TranslatorError(Exception):
    """A formula that cannot be moved to another cell."""


_ROW = r"\$?[1-9][0-9]{0,6}"
_COL = r"\$?[A-Za-z]{1,3}"
ROW_RANGE_RE = re.compile(rf"({_ROW}):({_ROW})$")
COL_RANGE_RE = re.compile(rf"({_COL}):({_COL})$")
CELL_REF_RE = re.compile(rf"({_COL})({_ROW})$")


class Translator:
    """A formula written at `origin` (a cell reference such as "B2").

    ``translate_formula(dest)`` gives the formula as it reads at `dest`. If
    `origin` or `dest` is None nothing moves, but column letters are still
    written in upper case, as for any other destination.
    """

    def __init__(self, formula, origin):
        self.formula = formula
        self.origin = origin
        self.tokenizer = Tokenizer(formula)

    def get_tokens(self):
        return list(self.tokenizer.items)

    @staticmethod
    def translate_row(row_str, rdelta):
        """A row part moved by `rdelta`; "$5" stays."""
        if row_str.startswith("$"):
            return row_str
        row = int(row_str) + rdelta
        if row < 1:
            raise TranslatorError("Formula out of range")
        return str(row)

    @staticmethod
    def translate_col(col_str, cdelta):
        """A column part moved by `cdelta`; "$B" stays."""
        if col_str.startswith("$"):
            return col_str
        try:
            return get_column_letter(column_index_from_string(col_str) + cdelta)
        except ValueError:
            raise TranslatorError("Formula out of range") from None

    @classmethod
    def translate_range(cls, range_str, rdelta, cdelta):
        """A reference operand moved: cells, row ranges, column ranges and
        chains such as A1:B2:C3."""
        sheet, bang, rest = range_str.rpartition("!")
        sheet += bang
        match = ROW_RANGE_RE.match(rest)
        if match:
            return (sheet + cls.translate_row(match[1], rdelta) + ":"
                    + cls.translate_row(match[2], rdelta))
        match = COL_RANGE_RE.match(rest)
        if match:
            return (sheet + cls.translate_col(match[1], cdelta) + ":"
                    + cls.translate_col(match[2], cdelta))
        if ":" in rest:
            return sheet + ":".join(cls.translate_range(part, rdelta, cdelta)
                                    for part in rest.split(":"))
        match = CELL_REF_RE.match(rest)
        if match:
            return (sheet + cls.translate_col(match[1], cdelta)
                    + cls.translate_row(match[2], rdelta))
        return sheet + rest

    def translate_formula(self, dest=None):
        """The formula as it reads in cell `dest`."""
        rdelta = cdelta = 0
        if self.origin is not None and dest is not None:
            orow, ocol = coordinate_to_tuple(self.origin)
            drow, dcol = coordinate_to_tuple(dest)
            rdelta, cdelta = drow - orow, dcol - ocol
        return self.translate_by(rdelta, cdelta)

    def translate_by(self, rdelta, cdelta):
        """The formula with its relative references moved by (rdelta, cdelta)."""
        tokens = self.get_tokens()
        if not tokens:
            return ""
        if tokens[0].type == Token.LITERAL:
            return tokens[0].value
        out = ["="]
        for token in tokens:
            if token.type == Token.OPERAND and token.subtype == Token.RANGE:
                out.append(self.translate_range(token.value, rdelta, cdelta))
            else:
                out.append(token.value)
        return "".join(out)
