"""The package's own worksheet reader: a worksheet part into a dict of cells.

`WorksheetParser.parse` does in Python what the engine's ``bind_cells`` does
natively, and is what runs whenever the engine declines a worksheet. It walks
the document with a pull parser over expat that keeps the raw bytes of the
elements it does not interpret, so that they reach the element handlers as
(bytes, namespaces), exactly as written, in the ``actions`` list.
"""

import codecs
import datetime as _datetime
import functools
import math
import operator
import re
import xml.parsers.expat as expat
from array import array as _array

START, END, TEXT, EOF = range(4)

CHUNK = 65536
_TRIM = 1 << 20  # bytes no capture needs any more are dropped in steps this big
_DECL_RE = re.compile(rb"""^<\?xml[^>]*?encoding\s*=\s*["']([A-Za-z0-9._-]+)["']""")
_UTF8_NAMES = {"utf-8", "utf8"}


# expat joins a name's URI and local part with SEP: a control character, so
# it occurs in no name and no URI (any character may be in a URI but those).
SEP = "\x01"
# Names seen in one document are few; a hostile one may hold any number of
# distinct names, so the cache keeps only the most recent.
NAME_CACHE_SIZE = 4096


@functools.lru_cache(maxsize=NAME_CACHE_SIZE)
def split_name(name):
    """(namespace uri, local name) of an expat name "uri" SEP "local"."""
    uri, sep, local = name.rpartition(SEP)
    return uri, local


def clark(attrs):
    """Attributes keyed as "{uri}local" for prefixed names, plain otherwise."""
    if not any(SEP in key for key in attrs):
        return dict(attrs)
    return {("{" + key.replace(SEP, "}") if SEP in key else key): value
            for key, value in attrs.items()}


def _as_bytes(chunk):
    """The bytes of a read result: any bytes-like object, in order."""
    if isinstance(chunk, bytes):
        return chunk
    if isinstance(chunk, str) or not hasattr(type(chunk), "__buffer__"):
        raise TypeError(f"source.read() must return bytes, not {type(chunk).__name__}")
    return memoryview(chunk).tobytes()


def _transcoded(first, source):
    """The whole document as UTF-8 when it is written in another encoding,
    else None. Captured bytes are always handed on as UTF-8."""
    if first.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        encoding = "utf-16"
    elif first.startswith(b"\x00<"):
        encoding = "utf-16-be"
    elif first.startswith(b"<\x00"):
        encoding = "utf-16-le"
    else:
        match = _DECL_RE.match(first)
        if match is None or match[1].decode("ascii").lower() in _UTF8_NAMES:
            return None
        encoding = match[1].decode("ascii")
        try:
            codecs.lookup(encoding)
        except LookupError:
            return None  # expat reports what it cannot read
    data = bytearray(first)
    while chunk := _as_bytes(source.read(CHUNK)):
        data += chunk
    text = bytes(data).decode(encoding)
    return text.lstrip("\ufeff").encode("utf-8", "surrogatepass")


class PullParser:
    """Events (START, name, attrs, offset), (END, name, offset), (TEXT, str)
    and (EOF,), in document order. Names are expat's "uri" SEP "local" form.

    Byte offsets are absolute positions in the (UTF-8) document. The bytes
    from the oldest running capture on stay in `_buf`.
    """

    def __init__(self, source):
        self._source = source
        self._buf = bytearray()
        self._base = 0          # document offset of _buf[0]
        self._holds = []        # start offsets of running captures
        self._last = 0          # offset of the last tag expat reported
        self._queue = []
        self._pos = 0
        self._done = False
        self._bindings = []     # (prefix, uri) in declaration order
        self._own = []          # per open element: bindings its tag declared
        self._decls = []        # bindings declared for the next start tag
        self.last_end = 0       # offset of the last END event handed out

        first = _as_bytes(source.read(CHUNK))
        whole = _transcoded(first, source)
        if whole is not None:
            self._pending = [whole, b""]
            self._parser = self._make_parser("UTF-8")
        else:
            self._pending = [first] if first else [b""]
            self._parser = self._make_parser(None)

    def _make_parser(self, encoding):
        p = expat.ParserCreate(encoding, namespace_separator=SEP)
        p.buffer_text = True
        p.buffer_size = CHUNK
        queue = self._queue
        decls = self._decls

        def start(name, attrs):
            self._last = p.CurrentByteIndex
            queue.append((START, name, attrs, self._last, decls[:]))
            decls.clear()

        def end(name):
            self._last = p.CurrentByteIndex
            queue.append((END, name, self._last))

        def ns_start(prefix, uri):
            decls.append((prefix or "", uri or ""))

        p.StartElementHandler = start
        p.EndElementHandler = end
        p.CharacterDataHandler = lambda text: queue.append((TEXT, text))
        p.StartNamespaceDeclHandler = ns_start
        return p

    def _feed(self):
        if self._pending:
            chunk = self._pending.pop(0)
        else:
            chunk = _as_bytes(self._source.read(CHUNK))
        keep = min(self._holds) if self._holds else self._last
        if keep - self._base >= _TRIM:
            del self._buf[:keep - self._base]
            self._base = keep
        self._buf += chunk
        self._parser.Parse(chunk, not chunk)
        if not chunk:
            self._done = True

    def next(self):
        """The next event; namespace bindings follow the element nesting."""
        queue = self._queue
        while self._pos >= len(queue):
            queue.clear()
            self._pos = 0
            if self._done:
                return (EOF,)
            self._feed()
        event = queue[self._pos]
        self._pos += 1
        kind = event[0]
        if kind == START:
            own = event[4]
            self._bindings.extend(own)
            self._own.append(len(own))
        elif kind == END:
            self.last_end = event[2]
            count = self._own.pop()
            if count:
                del self._bindings[-count:]
        return event

    def namespaces(self):
        """The bindings in scope: each prefix once, at its outermost place,
        with its innermost URI; "" is the default namespace."""
        result = {}
        for prefix, uri in self._bindings:
            result[prefix] = uri  # dicts keep the first insertion's place
        return list(result.items())

    def hold(self, offset):
        self._holds.append(offset)

    def release(self, offset):
        self._holds.remove(offset)

    def element_end(self, start, end_offset):
        """Document offset just past an element that starts at `start` and
        whose END event was reported at `end_offset`."""
        buf, base = self._buf, self._base
        tag_end = _start_tag_end(buf, start - base)
        if buf[tag_end - 2] == 0x2F:  # "/>": an empty-element tag
            return base + tag_end
        return buf.index(b">", end_offset - base) + 1 + base

    def raw(self, start, stop):
        return bytes(self._buf[start - self._base:stop - self._base])

    def children(self):
        """Yields the START event of each child of the element whose START
        was just read, until its END (whose offset is then `last_end`); the
        caller reads each child to its END before taking the next."""
        while True:
            event = self.next()
            kind = event[0]
            if kind == START:
                yield event
            elif kind == END:
                return

    def skip(self):
        """Reads past the END of the element whose START was just read."""
        depth = 1
        while True:
            kind = self.next()[0]
            if kind == START:
                depth += 1
            elif kind == END:
                depth -= 1
                if depth == 0:
                    return
            elif kind == EOF:  # expat raises before this; kept as a guard
                raise ValueError("unexpected end of document")

    def text(self):
        """Character data inside the element just started, at any depth, or
        None when there is none."""
        parts = []
        depth = 1
        while True:
            event = self.next()
            kind = event[0]
            if kind == TEXT:
                parts.append(event[1])
            elif kind == START:
                depth += 1
            elif kind == END:
                depth -= 1
                if depth == 0:
                    return "".join(parts) if parts else None
            else:
                raise ValueError("unexpected end of document")

    def capture(self, start_event):
        """(bytes, namespaces) of the element whose START was just read."""
        start = start_event[3]
        self.hold(start)
        try:
            depth = 1
            while True:
                event = self.next()
                kind = event[0]
                if kind == START:
                    depth += 1
                elif kind == END:
                    depth -= 1
                    if depth == 0:
                        stop = self.element_end(start, event[2])
                        return self.raw(start, stop), self.namespaces()
                elif kind == EOF:
                    raise ValueError("unexpected end of document")
        finally:
            self.release(start)


def _start_tag_end(buf, i):
    """Index just past the ">" of the start tag at buf[i] (quotes respected)."""
    quote = 0
    n = len(buf)
    i += 1
    while i < n:
        c = buf[i]
        if quote:
            if c == quote:
                quote = 0
        elif c == 0x22 or c == 0x27:
            quote = c
        elif c == 0x3E:
            return i + 1
        i += 1
    raise ValueError("start tag not in buffer")


# The worksheet reader.

MAIN_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"

# Main-namespace elements the worksheet handles by name, wherever they are.
DISPATCH_TAGS = frozenset((
    "row", "col", "sheetProtection", "extLst", "conditionalFormatting", "legacyDrawing",
    "rowBreaks", "colBreaks", "printOptions", "pageMargins", "pageSetup", "headerFooter",
    "autoFilter", "dataValidations", "sheetPr", "sheetViews", "sheetFormatPr", "scenarios",
    "tableParts", "hyperlinks", "mergeCells", "customSheetViews",
))

_FAST_INT = re.compile(r"-?[0-9]{1,18}")
_FLOAT = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
_COORD = re.compile(r"([A-Z]{1,3})([1-9][0-9]{0,8})")
_FIXED_TYPES = frozenset(("b", "d", "e", "f", "n", "s"))
_INT64 = range(-(1 << 63), 1 << 63)
_MS_PER_DAY = 86_400_000
_ABSENT = object()  # a cell without an <is> item
_NOT_KEPT = object()  # no cached value kept for the cell


def root_children(events):
    """Yields the START event of each child of the document's root element,
    from the pull parser `events`; the caller reads each child to its END
    before taking the next."""
    depth = 0
    while True:
        event = events.next()
        kind = event[0]
        if kind == START:
            if depth == 0:
                depth = 1
                continue
            yield event
        elif kind == END:
            depth = 0
        elif kind == EOF:
            return


def is_sheet_data(event):
    """Whether a START event opens the main namespace's sheetData."""
    uri, local = split_name(event[1])
    return uri == MAIN_NS and local == "sheetData"


def row_number(r, previous, row_index):
    """The number of a row whose `r` attribute is `r` (None when absent),
    after row `previous`; `row_index` reads the unusual forms."""
    if r is None:
        return previous + 1
    if _FAST_INT.fullmatch(r):
        return int(r)
    return row_index(r)


def cell_position(r, row, column, coordinate_to_tuple):
    """(row, column) of a cell whose `r` attribute is `r`, in row `row`
    after column `column`: a cell without one takes the next column."""
    if r:
        rc = parse_coordinate(r)
        return rc if rc is not None else coordinate_to_tuple(r)
    return row, column + 1


def parse_coordinate(text):
    """(row, column) of a plain reference such as "B12", else None: lower
    case, "$", leading zeros and longer forms are left to the host."""
    match = _COORD.fullmatch(text)
    if match is None:
        return None
    column = 0
    for ch in match[1]:
        column = column * 26 + ord(ch) - 64
    return int(match[2]), column


def serial_to_datetime(value, epoch, windows):
    """The datetime (or time) of a date serial, or None when it has none.

    `value` is an int or a float; `windows` says that `epoch` is the 1900
    epoch, whose serials below 60 count the missing 29 February 1900.
    """
    if type(value) is int:
        n = value
        if n == 0:
            return _datetime.time(0, 0)
        if windows and 0 < n < 60:
            n += 1
        if abs(n) >= 1_000_000_000:
            return None
        try:
            return epoch + _datetime.timedelta(days=n)
        except OverflowError:
            return None
    x = value
    if not math.isfinite(x):
        return None
    whole = math.trunc(x)
    frac = math.fmod(x, 1.0)
    if frac < 0:
        frac += 1.0
        whole -= 1
    elif frac == 0:
        frac = 0.0
    ms = round(frac * 86400 * 1000)  # ties to even
    if 0 <= x < 1 and ms < _MS_PER_DAY:
        return _datetime.time(ms // 3_600_000, ms // 60_000 % 60, ms // 1000 % 60,
                              ms % 1000 * 1000)
    days = whole + (1 if windows and 0 < x < 60 else 0)
    if abs(days) > 999_999_999:
        return None
    try:
        return epoch + _datetime.timedelta(days=days, milliseconds=ms)
    except OverflowError:
        return None


class _SharedGroup:
    """A shared formula met at its master cell.

    With `origin` (row, column) members move by their distance to the
    master. Without (the master had no ``r``, or its formula has operands
    that only the host's number parsing classifies), each member is handed
    to the translator with its own ``r`` text.
    """

    __slots__ = ("translator", "origin")

    def __init__(self, translator, origin):
        self.translator = translator
        self.origin = origin

    def move(self, row, column, r):
        if self.origin is None or r:
            return self.translator.translate_formula(r)
        return self.translator.translate_by(row - self.origin[0], column - self.origin[1])


def _plain_operands(translator):
    """Whether every operand of the formula is classified without the
    host's number parsing (non-ASCII operands are not)."""
    for token in translator.get_tokens():
        if (token.type == token.OPERAND and not token.value.isascii()
                and token.value[:1] not in ('"', "#")):
            return False
    return True


class WorksheetParser:
    """Reads the cells of one worksheet part.

    The attributes are the reading options the engine reads too:
    `shared_strings` (list or anything indexable), `epoch`, `data_only`,
    `formula_and_value`, `rich_text`, `date_formats` and `timedelta_formats`
    (style ids), and `row_dimensions`, the dict that reading fills with the
    attributes of rows that carry more than ``r`` and ``spans``.
    """

    def __init__(self, shared_strings, epoch=None, data_only=False, rich_text=False,
                 date_formats=(), timedelta_formats=(), formula_and_value=False):
        if epoch is None:
            from tavrinex.utils.datetime import WINDOWS_EPOCH
            epoch = WINDOWS_EPOCH
        self.shared_strings = shared_strings
        self.epoch = epoch
        self.data_only = data_only
        self.rich_text = rich_text
        self.formula_and_value = formula_and_value
        self.date_formats = date_formats
        self.timedelta_formats = timedelta_formats
        self.row_dimensions = {}
        # (row, column) -> (t, v, cm) of formula cells as written, for the save
        self.formula_cache = {}

    def parse(self, source, ws, cells, cell_styles, cell_cls, helpers, actions):
        """Read `source` into `cells`, a dict (row, column) -> cell.

        Elements other than the cells are appended to `actions` as
        ("element", bytes, namespaces) and date warnings as ("warn",
        message), in document order; the caller replays them. A later cell
        with the coordinate of an earlier one replaces it in place.
        """
        _Run(self, source, ws, cells, cell_styles, cell_cls, helpers, actions).run()


class _Run:
    """State of one read: the options, the helpers and the cursor."""

    def __init__(self, parser, source, ws, cells, cell_styles, cell_cls, helpers, actions):
        h = helpers
        self.int = h["int"]
        self.float = h["float"]
        self.coordinate_to_tuple = h["coordinate_to_tuple"]
        self.row_index = h["row_index"]
        self.from_excel = h["from_excel"]
        self.from_ISO8601 = h["from_ISO8601"]
        self.date_warning = h["date_warning"]
        self.ArrayFormula = h["ArrayFormula"]
        self.DataTableFormula = h["DataTableFormula"]
        self.Translator = h["Translator"]
        self.text_content = h["text_content"]
        self.rich_inline = h["rich_inline"]
        self.validate_rpr = h["validate_rpr"]
        self.text_dangerous = set(h["text_dangerous"])
        self.rich_dangerous = set(h["rich_dangerous"])

        from tavrinex.utils.datetime import WINDOWS_EPOCH
        epoch = parser.epoch
        self.epoch = epoch
        self.native_epoch = type(epoch) is _datetime.datetime and epoch.tzinfo is None
        self.windows = self.native_epoch and epoch == WINDOWS_EPOCH
        self.formula_and_value = bool(getattr(parser, "formula_and_value", False))
        self.formulas = (not parser.data_only) or self.formula_and_value
        self.shared_strings = parser.shared_strings
        self.rich_text = bool(parser.rich_text)
        self.date_formats = _style_ids(parser.date_formats)
        self.timedelta_formats = _style_ids(parser.timedelta_formats)
        self.row_dimensions = parser.row_dimensions
        self.formula_cache = getattr(parser, "formula_cache", {})
        if not isinstance(self.row_dimensions, dict):
            raise TypeError("parser.row_dimensions must be dict, not "
                            + type(self.row_dimensions).__name__)

        self.source = source
        self.ws = ws
        self.cells = cells
        self.cell_styles = cell_styles
        self.cell_cls = cell_cls
        self.actions = actions
        self.row = 0
        self.column = 0
        self.shared = {}      # si text -> _SharedGroup
        self.rpr_cache = {}   # raw rPr bytes -> verdict of validate_rpr
        self.styles = {}      # style key -> style array to copy

    # -- document structure

    def run(self):
        for _ in self.walk():
            pass

    def walk(self):
        """Reads the document, yielding each row's number once the row has
        been read (its cells handed to `on_cell`)."""
        self.events = PullParser(self.source)
        for event in root_children(self.events):
            if is_sheet_data(event):
                yield from self.sheet_data()
            else:
                self.element(event)

    def element(self, event):
        snippet, namespaces = self.events.capture(event)
        self.actions.append(("element", snippet, namespaces))

    def sheet_data(self):
        for event in self.events.children():
            uri, local = split_name(event[1])
            if uri == MAIN_NS and local == "row":
                self.parse_row(event[2])
                yield self.row
            else:
                self.element(event)

    def parse_row(self, attrs):
        self.row = row_number(attrs.get("r"), self.row, self.row_index)
        self.column = 0
        if any(key != "r" and key != "spans" and SEP not in key for key in attrs):
            self.row_dimensions[str(self.row)] = clark(attrs)
        for event in self.events.children():
            uri, local = split_name(event[1])
            if uri == MAIN_NS and local in DISPATCH_TAGS:
                self.element(event)
            else:
                self.parse_cell(event[2])

    # -- cells

    def parse_cell(self, attrs):
        r = attrs.get("r")
        style_text = attrs.get("s")
        data_type = attrs.get("t")

        row, column = cell_position(r, self.row, self.column, self.coordinate_to_tuple)
        self.column = column

        if style_text is None:
            style = style_id = 0  # a cell without `s` takes the first style
        elif _FAST_INT.fullmatch(style_text):
            style = style_id = int(style_text)
        elif style_text == "":
            style, style_id = "", None
        else:
            style = self.int(style_text)
            try:
                style_id = operator.index(style)
            except TypeError:
                style_id = None
            if style_id is not None and style_id in _INT64:
                style = style_id
            else:
                style_id = None  # an unusual style: used as given, never a date style

        value_text = formula = None
        inline = _ABSENT
        seen_v = seen_is = False
        events = self.events
        for event in events.children():
            uri, local = split_name(event[1])
            if uri != MAIN_NS:
                events.skip()
            elif local == "v":
                text = events.text()
                if not seen_v:
                    seen_v = True
                    value_text = text
            elif local == "f":
                text = events.text()
                if formula is None:
                    formula = (event[2], text)
            elif local == "is" and not seen_is:
                seen_is = True
                inline = self.text_item(event)
            elif local in DISPATCH_TAGS:
                self.element(event)
            else:
                events.skip()

        used = formula is not None and self.formulas
        cache = self.formula_cache
        if used and cache is not None:
            cm = attrs.get("cm")
            if value_text or cm is not None:
                # What the file says the formula gave, kept for the save.
                cache[(row, column)] = (data_type, value_text or None, cm)
        value, data_type = self.convert(data_type, value_text, style_id, r, inline, used)
        cached = _NOT_KEPT
        if used:
            if self.formula_and_value:
                cached = value
            value = self.formula_value(formula, row, column, r)
            data_type = "f"
        self.on_cell(row, column, style, value, data_type, cached)

    def on_cell(self, row, column, style, value, data_type, cached):
        """Takes one read cell: `style` is the style id (or the unusual
        value `s` gave), `cached` the value of a formula cell's <v> in
        formula-and-value mode (_NOT_KEPT otherwise)."""
        style_array = self.style_array(style)
        cell = self.cell_cls.__new__(self.cell_cls)
        cell.parent = self.ws
        cell._style = style_array
        cell.row = row
        cell.column = column
        cell._value = value
        cell._hyperlink = None
        cell.data_type = data_type
        cell._comment = None
        self.cells[(row, column)] = cell

    def style_array(self, style):
        """A new style array copied from ``cell_styles[style]``."""
        item = self.cell_styles[style]
        return _array.__new__(type(item), "i", item)

    def convert(self, t, text, style_id, r, inline, used_formula):
        """(value, data type) of a cell from its type, <v> text and inline
        string."""
        if t == "inlineStr":
            if inline is not _ABSENT:
                return inline, "s"
            return None, "inlineStr"
        if not text:
            if t is None:
                return None, "n"
            return None, t
        if t is None or t == "n":
            native = True
            if "." in text or "e" in text or "E" in text:
                if _FLOAT.fullmatch(text):
                    value = float(text)
                else:
                    value = self.float(text)
                    native = type(value) is float
            elif _FAST_INT.fullmatch(text):
                value = int(text)
            else:
                value = self.int(text)
                native = False
            if style_id is not None and style_id in self.date_formats:
                return self.date(value, native, style_id, r, used_formula)
            return value, "n"
        if t == "s":
            if _FAST_INT.fullmatch(text):
                index = int(text)
            else:
                index = self.int(text)
            return self.shared_strings[index], "s"
        if t == "b":
            if _FAST_INT.fullmatch(text):
                return int(text) != 0, "b"
            return bool(self.int(text)), "b"
        if t == "d":
            return self.from_ISO8601(text), "d"
        if t == "str":
            return text, "s"
        return text, t

    def date(self, value, native, style_id, r, used_formula):
        timedelta = style_id in self.timedelta_formats
        if timedelta or not native or not self.native_epoch:
            try:
                return self.from_excel(value, self.epoch, timedelta=timedelta), "d"
            except (OverflowError, ValueError):
                pass
        else:
            result = serial_to_datetime(value, self.epoch, self.windows)
            if result is not None:
                return result, "d"
        message = self.date_warning(r, value)
        if not used_formula:
            self.actions.append(("warn", message))
        return "#VALUE!", "e"

    def formula_value(self, formula, row, column, r):
        attrs, text = formula
        value = "=" + text if text else "="
        kind = attrs.get("t")
        if kind == "array":
            return self.ArrayFormula(**{"ref": attrs.get("ref"), "text": value})
        if kind == "dataTable":
            return self.DataTableFormula(**clark(attrs))
        if kind == "shared":
            si = attrs.get("si")
            group = self.shared.get(si)
            if group is not None:
                return group.move(row, column, r)
            if text:
                translator = self.Translator(value, r)
                positional = bool(r) and _plain_operands(translator)
                self.shared[si] = _SharedGroup(translator, (row, column) if positional else None)
        return value

    # -- inline strings

    def text_item(self, event):
        """The value of an <is> item: its text, built here when it is plain
        runs and text, else what the host's text helpers make of it."""
        events = self.events
        start = event[3]
        events.hold(start)
        try:
            needs = _has_plain_attribute(event[2])
            item_text = None
            runs = []
            state = [needs, None]  # needs_python, pending exception
            for ev in events.children():
                local = split_name(ev[1])[1]
                if local == "t":
                    item_text = events.text()
                elif local == "r":
                    runs.append(self.run_text(ev, state))
                else:
                    events.skip()
                    if local in ("rPh", "phoneticPr") or local in self.text_dangerous:
                        state[0] = True
            stop = events.element_end(start, events.last_end)
            if state[1] is not None:
                raise state[1]
            if not state[0]:
                return (item_text or "") + "".join(text for text in runs if text)
            snippet = events.raw(start, stop)
            namespaces = events.namespaces()
            if self.rich_text and runs:
                return self.rich_inline(snippet, namespaces)
            return self.text_content(snippet, namespaces)
        finally:
            events.release(start)

    def run_text(self, event, state):
        """The text of one rich run; sets state[0] when the item must go to
        the host, state[1] to an exception of validate_rpr."""
        events = self.events
        if _has_plain_attribute(event[2]):
            state[0] = True
        text = None
        for ev in events.children():
            local = split_name(ev[1])[1]
            if local == "t":
                text = events.text()
            elif local == "rPr":
                start = ev[3]
                events.hold(start)
                try:
                    events.skip()
                    if state[0] or state[1] is not None:
                        continue
                    stop = events.element_end(start, events.last_end)
                    snippet = events.raw(start, stop)
                finally:
                    events.release(start)
                verdict = self.rpr_cache.get(snippet)
                if verdict is None:
                    try:
                        verdict = bool(self.validate_rpr(snippet, events.namespaces()))
                    except Exception as exc:
                        state[1] = exc
                        continue
                    self.rpr_cache[snippet] = verdict
                state[0] = not verdict
            else:
                events.skip()
                if local in self.rich_dangerous:
                    state[0] = True
        return text


def _has_plain_attribute(attrs):
    return any(SEP not in key for key in attrs)


def _style_ids(items):
    return frozenset(x for x in items if isinstance(x, int) and not isinstance(x, bool))
