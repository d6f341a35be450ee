"""Splitting a formula into tokens.

A formula is scanned once from left to right. Characters that cannot end a
name or reference collect in a pending token until a token ender, a string,
a bracket or an error literal decides what they are.
"""

import re


class TokenizerError(Exception):
    """A formula that cannot be split into tokens."""


class Token:
    """One token of a formula: its text, its type and its subtype."""

    __slots__ = ("value", "type", "subtype")

    # Types
    LITERAL = "LITERAL"
    OPERAND = "OPERAND"
    FUNC = "FUNC"
    ARRAY = "ARRAY"
    PAREN = "PAREN"
    SEP = "SEP"
    OP_PRE = "OP_PRE"
    OP_IN = "OP_IN"
    OP_POST = "OP_POST"
    WHITESPACE = "WHITESPACE"

    # Subtypes
    NONE = ""
    TEXT = "TEXT"
    NUMBER = "NUMBER"
    LOGICAL = "LOGICAL"
    ERROR = "ERROR"
    RANGE = "RANGE"
    OPEN = "OPEN"
    CLOSE = "CLOSE"
    ARG = "ARG"
    ROW = "ROW"

    def __init__(self, value, type_, subtype=""):
        self.value = value
        self.type = type_
        self.subtype = subtype

    @classmethod
    def make_operand(cls, value):
        """An operand token, its subtype read from the text."""
        if value.startswith('"'):
            subtype = cls.TEXT
        elif value.startswith("#"):
            subtype = cls.ERROR
        elif value in ("TRUE", "FALSE"):
            subtype = cls.LOGICAL
        else:
            try:
                float(value)
            except ValueError:
                subtype = cls.RANGE
            else:
                subtype = cls.NUMBER
        return cls(value, cls.OPERAND, subtype)

    @classmethod
    def make_subexp(cls, value):
        """An opener or closer: "(", ")", "{", "}" or a function's "NAME("."""
        if value in "{}":
            type_ = cls.ARRAY
        elif value in "()":
            type_ = cls.PAREN
        else:
            type_ = cls.FUNC
        subtype = cls.CLOSE if value in ")}" else cls.OPEN
        return cls(value, type_, subtype)

    def closer(self):
        """The token that closes this opener."""
        return Token("}" if self.type == self.ARRAY else ")", self.type, self.CLOSE)

    def __eq__(self, other):
        if not isinstance(other, Token):
            return NotImplemented
        return (self.value, self.type, self.subtype) == (other.value, other.type, other.subtype)

    __hash__ = None

    def __repr__(self):
        return f"Token({self.value!r}, {self.type!r}, {self.subtype!r})"


class Tokenizer:
    """Tokens of a formula text; ``items`` holds them after construction.

    A text that does not start with "=" is a single LITERAL token.
    """

    # A mantissa that a following "+" or "-" continues as an exponent: "1.5E".
    SN_RE = re.compile(r"^[1-9](\.[0-9]+)?[Ee]$")
    TOKEN_ENDERS = ",;}) +-*/^&=><%"
    OPERATORS = "+-*/^&=><%"
    WHITESPACE = " \n"
    ERROR_CODES = ("#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A",
                   "#GETTING_DATA")

    def __init__(self, formula):
        self.formula = formula
        self.items = []
        self.token_stack = []  # openers not closed yet
        self.offset = 0
        self.token = []  # pieces of the pending token
        self._parse()

    def _parse(self):
        formula = self.formula
        if not formula:
            return
        if formula[0] != "=":
            self.items.append(Token(formula, Token.LITERAL))
            return
        self.offset = 1
        while self.offset < len(formula):
            if self._continue_exponent():
                continue
            ch = formula[self.offset]
            if ch in self.TOKEN_ENDERS:
                self.save_token()
            if ch in "\"'":
                self.offset += self._parse_string()
            elif ch == "[":
                self.offset += self._parse_brackets()
            elif ch == "#":
                self.offset += self._parse_error()
            elif ch in self.WHITESPACE:
                self.offset += self._parse_whitespace()
            elif ch in self.OPERATORS:
                self.offset += self._parse_operator()
            elif ch in "{(":
                self.offset += self._parse_opener()
            elif ch in ")}":
                self.offset += self._parse_closer()
            elif ch in ";,":
                self.offset += self._parse_separator()
            else:
                self.token.append(ch)
                self.offset += 1
        self.save_token()

    def _continue_exponent(self):
        """Keep "+"/"-" inside a number such as 1.5E+3."""
        if self.formula[self.offset] in "+-" and self.token \
                and self.SN_RE.match("".join(self.token)):
            self.token.append(self.formula[self.offset])
            self.offset += 1
            return True
        return False

    def _check_pending(self, can_follow):
        """A pending token may only stand before this character after `can_follow`."""
        if self.token and self.token[-1] not in can_follow:
            raise TokenizerError(
                f"Unexpected character at position {self.offset} in '{self.formula}'")

    def _parse_string(self):
        self._check_pending((":",))
        delim = self.formula[self.offset]
        start = self.offset
        pos = start + 1
        while True:
            end = self.formula.find(delim, pos)
            if end < 0:
                kind = "string" if delim == '"' else "link"
                raise TokenizerError(
                    f"Reached end of formula while parsing {kind} in {self.formula}")
            if self.formula.startswith(delim, end + 1):  # a doubled quote
                pos = end + 2
                continue
            break
        value = self.formula[start:end + 1]
        if delim == '"':
            self.items.append(Token.make_operand(value))
        else:
            self.token.append(value)
        return len(value)

    def _parse_brackets(self):
        depth = 0
        for pos in range(self.offset, len(self.formula)):
            ch = self.formula[pos]
            if ch == "[":
                depth += 1
            elif ch == "]":
                depth -= 1
                if depth == 0:
                    chunk = self.formula[self.offset:pos + 1]
                    self.token.append(chunk)
                    return len(chunk)
        raise TokenizerError(f"Encountered unmatched '[' in {self.formula}")

    def _parse_error(self):
        self._check_pending(("!",))
        for code in self.ERROR_CODES:
            if self.formula.startswith(code, self.offset):
                self.items.append(Token.make_operand("".join(self.token) + code))
                self.token.clear()
                return len(code)
        raise TokenizerError(
            f"Invalid error code at position {self.offset} in '{self.formula}'")

    def _parse_whitespace(self):
        self.items.append(Token(self.formula[self.offset], Token.WHITESPACE))
        end = self.offset
        while end < len(self.formula) and self.formula[end] in self.WHITESPACE:
            end += 1
        return end - self.offset

    def _parse_operator(self):
        pair = self.formula[self.offset:self.offset + 2]
        if pair in (">=", "<=", "<>"):
            self.items.append(Token(pair, Token.OP_IN))
            return 2
        ch = self.formula[self.offset]
        if ch == "%":
            token = Token("%", Token.OP_POST)
        elif ch in "*/^&=><":
            token = Token(ch, Token.OP_IN)
        else:
            prev = self._last_significant()
            if prev is not None and (prev.subtype == Token.CLOSE
                                     or prev.type in (Token.OPERAND, Token.OP_POST)):
                token = Token(ch, Token.OP_IN)
            else:
                token = Token(ch, Token.OP_PRE)
        self.items.append(token)
        return 1

    def _last_significant(self):
        for token in reversed(self.items):
            if token.type != Token.WHITESPACE:
                return token
        return None

    def _parse_opener(self):
        ch = self.formula[self.offset]
        if ch == "{":
            self._check_pending(())
            token = Token.make_subexp("{")
        elif self.token:
            token = Token.make_subexp("".join(self.token) + "(")
            self.token.clear()
        else:
            token = Token.make_subexp("(")
        self.items.append(token)
        self.token_stack.append(token)
        return 1

    def _parse_closer(self):
        opener = self.token_stack.pop()
        closer = opener.closer()
        if closer.value != self.formula[self.offset]:
            raise TokenizerError(f"Mismatched ( and {{ pair in '{self.formula}'")
        self.items.append(closer)
        return 1

    def _parse_separator(self):
        if self.formula[self.offset] == ";":
            token = Token(";", Token.SEP, Token.ROW)
        elif not self.token_stack or self.token_stack[-1].type == Token.PAREN:
            token = Token(",", Token.OP_IN)  # range union
        else:
            token = Token(",", Token.SEP, Token.ARG)
        self.items.append(token)
        return 1

    def save_token(self):
        """Emit the pending token, if any, as an operand."""
        if self.token:
            self.items.append(Token.make_operand("".join(self.token)))
            self.token.clear()

    def render(self):
        """The formula text the tokens make up again."""
        if not self.items:
            return ""
        if self.items[0].type == Token.LITERAL:
            return self.items[0].value
        return "=" + "".join(token.value for token in self.items)
