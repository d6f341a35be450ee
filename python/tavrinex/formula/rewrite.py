"""Rewriting the references of formulas when a sheet's rows or columns move
or a sheet is renamed.

A reference names cells by where they are, so when rows are inserted above
it, it follows them: relative and absolute references alike (the "$" only
matters when a formula is copied). A range follows each of its two edges:
rows inserted inside it widen it, rows deleted inside it narrow it, and a
reference whose cells are all deleted becomes ``#REF!`` (its sheet prefix
kept, as in ``Data!#REF!``). An edge pushed past the last row or column is
held there; a single cell or a range pushed wholly past it becomes
``#REF!``.

Three-dimensional references (``Sheet1:Sheet3!A1``) name the same cells on
every sheet of the span, so an edit of one sheet leaves them as they are;
renaming a sheet renames either end. References into other workbooks
(``[1]Sheet1!A1``) never change.

Only the references that change are rewritten: the rest of the formula text
stays character for character as it was.
"""

from __future__ import annotations

import functools
import re
from dataclasses import dataclass
from typing import Literal

from tavrinex.formula.tokenizer import Token, Tokenizer, TokenizerError
from tavrinex.utils.cell import column_index_from_string, get_column_letter

MAX_ROW = 1_048_576
MAX_COLUMN = 16_384

_CELL = re.compile(r"(\$?)([A-Za-z]{1,3})(\$?)([0-9]{1,7})\Z")
_AREA = re.compile(r"(\$?)([A-Za-z]{1,3})(\$?)([0-9]{1,7}):(\$?)([A-Za-z]{1,3})(\$?)([0-9]{1,7})\Z")
_ROWS = re.compile(r"(\$?)([0-9]{1,7}):(\$?)([0-9]{1,7})\Z")
_COLS = re.compile(r"(\$?)([A-Za-z]{1,3}):(\$?)([A-Za-z]{1,3})\Z")
# A sheet name that needs no quotes: letters, digits, "_" and "." (not
# first a digit or "."), and not something that reads as a reference.
_BARE_SHEET = re.compile(r"[^\W\d.][\w.]*\Z")
_LOOKS_LIKE_REF = re.compile(r"([A-Za-z]{1,3}[0-9]+|[Rr][0-9]*([Cc][0-9]*)?|[Cc][0-9]*"
                             r"|TRUE|FALSE)\Z", re.IGNORECASE)


@dataclass(frozen=True)
class Shift:
    """Rows (`axis` "rows") or columns ("cols") of the sheet titled `sheet`
    inserted before `index` (`amount` > 0), or deleted from `index` on
    (`amount` < 0, that many)."""

    sheet: str
    axis: Literal["rows", "cols"]
    index: int
    amount: int

    def __post_init__(self) -> None:
        if self.axis not in ("rows", "cols"):
            raise ValueError(f"axis is 'rows' or 'cols', not {self.axis!r}")
        if self.index < 1 or self.amount == 0:
            raise ValueError(f"a shift needs an index from 1 and an amount, not "
                             f"{self.index}, {self.amount}")

    @property
    def limit(self) -> int:
        return MAX_ROW if self.axis == "rows" else MAX_COLUMN

    def span(self, lo: int, hi: int) -> tuple[int, int] | None:
        """Where the rows (or columns) lo..hi are after the edit; None when
        none of them is left."""
        index, amount = self.index, self.amount
        if hi < index:
            return lo, hi
        if amount > 0:
            if lo >= index:
                lo += amount
            if lo > self.limit:
                return None
            return lo, min(hi + amount, self.limit)
        last = index - amount - 1          # last deleted
        if lo > last:
            return lo + amount, hi + amount
        new_lo = lo if lo < index else index
        new_hi = hi + amount if hi > last else index - 1
        return (new_lo, new_hi) if new_lo <= new_hi else None


@dataclass(frozen=True)
class Rename:
    """The sheet titled `old` is now titled `new`."""

    old: str
    new: str


Edit = Shift | Rename


def quote_sheet(title: str) -> str:
    """A sheet title as a formula writes it before "!"."""
    if _BARE_SHEET.match(title) and not _LOOKS_LIKE_REF.match(title):
        return title
    return "'" + title.replace("'", "''") + "'"


def _split_sheet(operand: str) -> tuple[str, str]:
    """(sheet prefix with its "!", the rest) of a reference operand."""
    if operand.startswith("'"):
        # A quoted name may hold "!"; its closing quote is the first one
        # not doubled.
        pos = 1
        while True:
            end = operand.find("'", pos)
            if end < 0:
                return "", operand
            if operand.startswith("'", end + 1):
                pos = end + 2
                continue
            break
        if operand.startswith("!", end + 1):
            return operand[:end + 2], operand[end + 2:]
        return "", operand
    sheet, bang, rest = operand.partition("!")
    return (sheet + bang, rest) if bang else ("", operand)


def _sheet_names(prefix: str) -> list[str] | None:
    """The sheet titles of a prefix ("Data!", "'My Sheet'!", "A:C!" for a
    span); None for a reference into another workbook."""
    text = prefix[:-1]
    if text.startswith("'") and text.endswith("'") and len(text) >= 2:
        text = text[1:-1].replace("''", "'")
    if text.startswith("["):
        return None
    return text.split(":")


def _rename_prefix(prefix: str, edit: Rename) -> str:
    names = _sheet_names(prefix)
    if names is None:
        return prefix
    old = edit.old.casefold()
    if not any(name.casefold() == old for name in names):
        return prefix
    names = [edit.new if name.casefold() == old else name for name in names]
    if len(names) == 1:
        return quote_sheet(names[0]) + "!"
    joined = ":".join(names)
    bare = all(quote_sheet(name) == name for name in names)
    return (joined if bare else "'" + joined.replace("'", "''") + "'") + "!"


def _targets(prefix: str, host: str | None, sheet: str) -> bool:
    """Whether a reference with `prefix`, in a formula of sheet `host`,
    names cells of `sheet`."""
    if not prefix:
        return host is not None and host.casefold() == sheet.casefold()
    names = _sheet_names(prefix)
    return names is not None and len(names) == 1 and names[0].casefold() == sheet.casefold()


def _row_part(flag: str, row: int) -> str:
    return f"{flag}{row}"


def _col_part(flag: str, col: int) -> str:
    return flag + _letters(col)


# Both are asked the same few thousand columns over and over.
@functools.lru_cache(maxsize=None)
def _column(letters: str) -> int:
    return column_index_from_string(letters.upper())


@functools.lru_cache(maxsize=None)
def _letters(col: int) -> str:
    return get_column_letter(col)


def _shift_body(body: str, edit: Shift) -> str | None:
    """The reference `body` (no sheet prefix) after `edit`: the same text
    when it does not change, None when its cells are gone. Text that is
    not a cell, area, row or column reference comes back unchanged."""
    rows = edit.axis == "rows"
    match = _CELL.match(body)
    if match:
        cf, col, rf, row = match.groups()
        c, r = _column(col), int(row)
        if not (1 <= r <= MAX_ROW and c <= MAX_COLUMN):
            return body
        span = edit.span(r, r) if rows else edit.span(c, c)
        if span is None:
            return None
        if (span[0] == r) if rows else (span[0] == c):
            return body
        return (cf + col + _row_part(rf, span[0]) if rows
                else _col_part(cf, span[0]) + rf + row)
    match = _AREA.match(body)
    if match:
        cf1, col1, rf1, row1, cf2, col2, rf2, row2 = match.groups()
        c1, r1, c2, r2 = _column(col1), int(row1), _column(col2), int(row2)
        if not (1 <= min(r1, r2) and max(r1, r2) <= MAX_ROW and max(c1, c2) <= MAX_COLUMN):
            return body
        if rows:
            (lo, lo_f), (hi, hi_f) = sorted([(r1, rf1), (r2, rf2)])
        else:
            (lo, lo_f), (hi, hi_f) = sorted([(c1, cf1), (c2, cf2)])
        span = edit.span(lo, hi)
        if span is None:
            return None
        if span == (lo, hi):
            return body
        # Written with the lower edge first, whichever order it came in.
        if rows:
            return (f"{cf1}{col1}{_row_part(lo_f, span[0])}:"
                    f"{cf2}{col2}{_row_part(hi_f, span[1])}")
        return (f"{_col_part(lo_f, span[0])}{rf1}{row1}:"
                f"{_col_part(hi_f, span[1])}{rf2}{row2}")
    line = _ROWS.match(body) if rows else _COLS.match(body)
    if line:
        f1, a, f2, b = line.groups()
        x, y = (int(a), int(b)) if rows else (_column(a), _column(b))
        if min(x, y) < 1 or max(x, y) > edit.limit:
            return body
        (lo, lo_f), (hi, hi_f) = sorted([(x, f1), (y, f2)])
        span = edit.span(lo, hi)
        if span is None:
            return None
        if span == (lo, hi):
            return body
        part = _row_part if rows else _col_part
        return f"{part(lo_f, span[0])}:{part(hi_f, span[1])}"
    return body


def _rewrite_operand(operand: str, host: str | None, edit: Edit) -> str:
    prefix, body = _split_sheet(operand)
    if isinstance(edit, Rename):
        return _rename_prefix(prefix, edit) + body if prefix else operand
    if not _targets(prefix, host, edit.sheet):
        return operand
    new = _shift_body(body, edit)
    if new is None:
        return prefix + "#REF!"
    return operand if new == body else prefix + new


def _rewrite_token(token: Token, host: str | None, edit: Edit) -> str:
    value = token.value
    if token.type == Token.OPERAND and token.subtype == Token.RANGE:
        return _rewrite_operand(value, host, edit)
    if token.type == Token.OPERAND and token.subtype == Token.ERROR and isinstance(edit, Rename):
        prefix, body = _split_sheet(value)
        return _rename_prefix(prefix, edit) + body if prefix else value
    if token.type == Token.FUNC and ":" in value and not value.startswith(("'", '"')):
        # A reference that ends in a function call, as in A1:INDEX(...).
        head, colon, func = value.rpartition(":")
        if not _FUNC_NAME.match(func):
            return value
        new = _rewrite_operand(head, host, edit)
        return value if new == head else new + colon + func
    return value


def rewrite_formula(formula: str, host: str | None, edit: Edit) -> str:
    """`formula` (text starting with "=") of a cell on the sheet titled
    `host` (None for a defined name, whose references all name their
    sheet) after `edit`. Raises TokenizerError for a formula that cannot
    be split into tokens."""
    if isinstance(edit, Shift) and _PLAIN.match(formula) and not _CHAIN.search(formula) \
            and _balanced(formula):
        return _rewrite_plain(formula, host, edit)
    return _rewrite_tokens(formula, host, edit)


def _balanced(formula: str) -> bool:
    """Whether no ")" comes before its "(" (the tokenizer refuses those)."""
    if ")" not in formula:
        return True
    depth = 0
    for paren in _PARENS.findall(formula):
        depth += 1 if paren == "(" else -1
        if depth < 0:
            return False
    return True


# Formulas of these characters only (no strings, quoted names, brackets,
# arrays or error literals), without chains of ranges such as A1:B2:C3,
# have their references moved by one pattern rather than the tokenizer,
# to the same result (the tests compare both on generated formulas);
# renames, rare, always take the tokenizer.
_PLAIN = re.compile(r"=[A-Za-z0-9$:!._+\-*/^&=<>%(), ]*\Z")
_CHAIN = re.compile(r":[\w$.]*:")
_PARENS = re.compile(r"[()]")
_FUNC_NAME = re.compile(r"[A-Za-z_][\w.]*\(\Z")
_PLAIN_REF = re.compile(
    r"(?<![\w.$!:])((?:[A-Za-z_][\w.]*!)?)"
    r"((?>\$?[A-Za-z]{1,3}\$?[0-9]+(?=:[A-Za-z_][\w.]*\()|\$?[A-Za-z]{1,3}\$?[0-9]+(?::\$?[A-Za-z]{1,3}\$?[0-9]+)?"
    r"|\$?[0-9]+:\$?[0-9]+|\$?[A-Za-z]{1,3}:\$?[A-Za-z]{1,3}))(?![\w.(!$])"
    r"(?!:(?![A-Za-z_][\w.]*\())")


def _rewrite_plain(formula: str, host: str | None, edit: Shift) -> str:
    sheet = edit.sheet.casefold()
    at_home = host is not None and host.casefold() == sheet

    def moved(match: re.Match[str]) -> str:
        prefix, body = match[1], match[2]
        # A plain prefix is one unquoted sheet name.
        if not (prefix[:-1].casefold() == sheet if prefix else at_home):
            return match[0]
        new = _shift_body(body, edit)
        if new is None:
            return prefix + "#REF!"
        return prefix + new

    return _PLAIN_REF.sub(moved, formula)


def _rewrite_tokens(formula: str, host: str | None, edit: Edit) -> str:
    try:
        tokens = Tokenizer(formula).items
    except IndexError:   # a closer without its opener
        raise TokenizerError(f"Unmatched closer in {formula!r}") from None
    if not tokens or tokens[0].type == Token.LITERAL:
        return formula
    changes = []
    for token in tokens:
        new = _rewrite_token(token, host, edit)
        if new != token.value:
            changes.append((token, new))
    if not changes:
        return formula
    return _splice(formula, tokens, dict((id(t), new) for t, new in changes))


def _splice(formula: str, tokens: list[Token], new_values: dict[int, str]) -> str:
    """The formula with the given tokens replaced, everything between them
    kept as written (the tokens hold whitespace shortened)."""
    out = [formula[0]]
    pos = 1
    for token in tokens:
        if token.type == Token.WHITESPACE:
            continue
        at = formula.find(token.value, pos)
        if at < 0 or formula[pos:at].strip(" \n"):
            # Not found in order: fall back to the tokens' own text.
            return "=" + "".join(new_values.get(id(t), t.value) for t in tokens)
        out.append(formula[pos:at])
        out.append(new_values.get(id(token), token.value))
        pos = at + len(token.value)
    out.append(formula[pos:])
    return "".join(out)


def shift_ref(ref: str, edit: Shift) -> str | None:
    """A range text without sheet ("A1:C3", "B2", "3:5", "A:A") after
    `edit` of its sheet; None when none of its cells is left."""
    return _shift_body(ref, edit)


def shift_sqref(sqref: str, edit: Shift) -> str | None:
    """A space-separated list of ranges ("A1:B2 D4") after `edit` of its
    sheet: ranges wholly deleted leave the list; None when none is left."""
    parts = [shift_ref(part, edit) for part in sqref.split()]
    kept = [part for part in parts if part is not None]
    return " ".join(kept) if kept else None
