"""What the fuzzer runs: one target per reader, each with seed inputs and a
check that compares the engine with the package's Python code.

A check takes the input bytes and raises `Mismatch` when the engine and
the Python path disagree, when the engine's result depends on the size of
the reads, or when the engine fails with an error of its own. Declining
(NativeFallback) is always allowed: the package then reads in Python.

Adding a reader is a few lines: a function that runs it on bytes and
returns something comparable, a check built from it, and an entry in
TARGETS.
"""

import datetime
import decimal
import hashlib
import io
import random
import zipfile
from dataclasses import dataclass
from typing import Callable

from tavrinex import _probe
from tavrinex import _tavrinex as native
from tavrinex import load_workbook
from tavrinex.cell import EMPTY_CELL, Cell, ReadOnlyCell
from tavrinex.errors import InvalidFileError
from tavrinex.formula import (ArrayFormula, Token, Tokenizer, TokenizerError, Translator,
                              TranslatorError)
from tavrinex.helpers import reader_helpers, writer_helpers
from tavrinex.reader.bind import read_worksheet
from tavrinex.reader.dimension import find_dimension_py
from tavrinex.reader.prescan import prescan_sheet_py
from tavrinex.reader.rows import PyRowReader
from tavrinex.reader.strings import read_shared_strings_py
from tavrinex.reader.worksheet import WorksheetParser
from tavrinex.styles import StyleArray
from tavrinex.utils.cell import get_column_letter
from tavrinex.worksheet import Workbook, Worksheet
from tavrinex.writer import SheetDataStream, write_rows
from tavrinex.writer import rows as writer_rows
from xlsx_files import minimal_parts, package

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
READ_SIZES = (65536, 7, 1)
SHARED = ["zero", "one", "two", "three"]
STYLES = [StyleArray([i] * 9) for i in range(4)]


# The Python readers' errors for documents that are not well-formed XML.
ILL_FORMED = ("ExpatError", "ParseError")


class Mismatch(AssertionError):
    """The engine and the Python path disagree on an input."""


@dataclass(frozen=True)
class Target:
    name: str
    seeds: tuple
    check: Callable[[bytes], None]


class Chunks:
    """A source handing out at most `size` bytes per read."""

    def __init__(self, data, size):
        self.data, self.size, self.pos = data, size, 0

    def read(self, n):
        chunk = self.data[self.pos:self.pos + min(n, self.size)]
        self.pos += len(chunk)
        return chunk


def outcome(run):
    """("ok", result), ("fallback", None) or ("raised", (type, message)).
    Errors that are not exceptions (the engine's internal failures) are
    never an outcome: they always count as a mismatch."""
    try:
        return "ok", run()
    except native.NativeFallback:
        return "fallback", None
    except Exception as exc:
        return "raised", (type(exc).__name__, str(exc))
    except BaseException as exc:
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise
        raise Mismatch(f"internal failure: {type(exc).__name__}: {exc}") from exc


def same_at_every_size(engine, data):
    """The outcome of `engine(data, read_size)`, which must be the same at
    every read size."""
    first = None
    for size in READ_SIZES:
        got = outcome(lambda: engine(data, size))
        if first is None:
            first = got
        elif got != first:
            raise Mismatch(f"read size {size} gives {got!r}, not {first!r}")
    return first


def differential(engine, python, data):
    """Runs `engine(data, read_size)` at every read size and `python(data)`;
    the engine's outcome must not depend on the read size, and where it
    reads the input, Python must give the same result or error."""
    first = same_at_every_size(engine, data)
    if first[0] == "fallback":
        return
    expected = outcome(lambda: python(data))
    if first[0] == "raised" and expected[0] == "raised":
        if first[1][0] == expected[1][0]:
            return  # the same error class; messages may place the fault differently
        if expected[1][0] in ILL_FORMED:
            # A document that is ill-formed and also holds a value the host
            # refuses fails either way; the two parsers meet the faults in
            # a different order.
            return
    if first != expected:
        raise Mismatch(f"engine {first!r}\npython {expected!r}")


# ---------------------------------------------------------------- worksheets


class Parser:
    """The worksheet parser object bind_cells reads its options from."""

    def __init__(self):
        import datetime
        self.epoch = datetime.datetime(1899, 12, 30)
        self.formula_and_value = False
        self.shared_strings = SHARED
        self.data_only = False
        self.rich_text = False
        self.date_formats = [1]
        self.timedelta_formats = [2]
        self.row_dimensions = {}


def cell_facts(cells):
    return [(key, cell.row, cell.column, cell._value, type(cell._value).__name__, cell.data_type,
             None if cell._style is None else tuple(cell._style))
            for key, cell in ((k, cells[k]) for k in list(cells))]


def actions_facts(actions):
    return [tuple(a) for a in actions]


def engine_sheet(data, size):
    parser = Parser()
    store, actions = native.CellStore(), []
    native.bind_cells(Chunks(data, size), parser, "ws", store, STYLES, Cell, reader_helpers(),
                      actions)
    return cell_facts(store), actions_facts(actions), parser.row_dimensions


def python_sheet(data):
    options = Parser()
    parser = WorksheetParser(SHARED, options.epoch, date_formats=options.date_formats,
                             timedelta_formats=options.timedelta_formats)
    cells, actions = {}, []
    parser.parse(io.BytesIO(data), "ws", cells, STYLES, Cell, reader_helpers(), actions)
    return cell_facts(cells), actions_facts(actions), parser.row_dimensions


def check_sheet(data):
    differential(engine_sheet, python_sheet, data)


def _sheet(body, before="", after="", root_attrs=""):
    return (f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n'
            f'<worksheet xmlns="{MAIN}" xmlns:r="urn:r"{root_attrs}>{before}<sheetData>{body}'
            f"</sheetData>{after}</worksheet>").encode()


SHEET_SEEDS = (
    _sheet('<row r="1" spans="1:4" ht="15" customHeight="1"><c r="A1"><v>42</v></c>'
           '<c r="B1" t="s"><v>2</v></c><c r="C1" t="b"><v>1</v></c><c r="D1" t="e"><v>#N/A</v></c>'
           '</row><row><c s="1"><v>40000.5</v></c><c t="str"><v>x &amp; y</v></c>'
           '<c s="2"><v>0.25</v></c><c t="d"><v>2024-02-29T10:00:00</v></c></row>',
           before='<dimension ref="A1:D2"/><sheetViews><sheetView workbookViewId="0"/></sheetViews>',
           after='<mergeCells count="1"><mergeCell ref="A1:B1"/></mergeCells>'),
    _sheet('<row r="2"><c r="B2"><f t="shared" ref="B2:B5" si="0">A2*2+$C$1</f><v>4</v></c>'
           '<c r="C2"><f t="array" ref="C2:C3">SUM(A1:A3)</f></c>'
           '<c r="D2"><f t="dataTable" ref="D2:D3" dt2D="0" dtr="1" r1="A1"/></c></row>'
           '<row r="3"><c r="B3"><f t="shared" si="0"/><v>6</v></c><c r="E3"><f>IF(A3&gt;1,"a","b")</f></c>'
           '</row><row r="4"><c r="B4"><f t="shared" si="0"/></c></row>'),
    _sheet('<row r="1"><c r="A1" t="inlineStr"><is><t xml:space="preserve"> a\r\nb </t></is></c>'
           '<c r="B1" t="inlineStr"><is><r><rPr><b/><sz val="11"/></rPr><t>bold</t></r>'
           '<r><t>plain</t></r></is></c><c r="C1" t="inlineStr"><is><t>x005F_x0041_</t>'
           '<rPh sb="0" eb="1"><t>p</t></rPh></is></c>'
           '<c r="D1" t="inlineStr"><is><t><![CDATA[<cdata>]]></t></is></c></row>',
           root_attrs=' xmlns:x14ac="urn:x14ac"', after='<r:ext r:id="rId1"/>'),
    _sheet('<row r="1048576"><c r="XFD1048576"><v>-1.5E-300</v></c><c r="A1048576"><v>1e309</v></c>'
           '</row><row r="7" x14ac:dyDescent="0.25"><c r="AA7" s="3"><v>123456789012345678901</v></c>'
           '</row>', root_attrs=' xmlns:x14ac="urn:x14ac"'),
)


# ---------------------------------------------------------------- shared strings


def engine_sst(data, size):
    return native.read_string_table(Chunks(data, size), reader_helpers())


def python_sst(data):
    return read_shared_strings_py(io.BytesIO(data))


def check_sst(data):
    differential(engine_sst, python_sst, data)


def _sst(*items):
    return (f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            f'<sst xmlns="{MAIN}" count="{len(items)}">' + "".join(items) + "</sst>").encode()


SST_SEEDS = (
    _sst("<si><t>plain</t></si>", "<si><t xml:space=\"preserve\"> sp </t></si>",
         "<si><t>a&amp;b&#x41;&#66;</t></si>", "<si><t/></si>", "<si/>"),
    _sst("<si><r><rPr><b/><i/><color rgb=\"FF0000\"/><rFont val=\"Arial\"/></rPr><t>rich</t></r>"
         "<r><t>tail</t></r></si>", "<si><t>x005F_x005F_</t><phoneticPr fontId=\"1\"/></si>",
         "<si><t>caf\u00e9 \u20ac</t><rPh sb=\"0\" eb=\"2\"><t>k</t></rPh></si>"),
)


# ---------------------------------------------------------------- tokenizer


def tokenizer_trace(data, size, fast):
    """Every event of the tokenizer with its positions, or its error."""
    try:
        return _probe.xml_trace(data, size, fast)
    except native.NativeFallback as exc:
        return str(exc)


def check_tokenizer(data):
    """The tokenizer's fast paths report exactly what its general parser
    reports: the same events, positions and errors, at every read size."""
    expected = tokenizer_trace(data, 65536, False)
    for size in READ_SIZES:
        got = tokenizer_trace(data, size, True)
        if got != expected:
            raise Mismatch(f"read size {size}: fast {got!r}\ngeneral {expected!r}")


TOKENIZER_SEEDS = SHEET_SEEDS + SST_SEEDS + (
    b'<a  b = "1"\tc=\'2\' d="&amp;&#10;\r\n"><e f="x>y"/><g xmlns="urn:g" h="1"/>'
    b'<p:i xmlns:p="urn:p" p:j="1" k="2"/><l m="\xc3\xa9" n=""/></a >',
)

# ---------------------------------------------------------------- dimension


def engine_dimension(data, size):
    return native.find_dimension(Chunks(data, size))


def python_dimension(data):
    return find_dimension_py(io.BytesIO(data))


def check_dimension(data):
    differential(engine_dimension, python_dimension, data)


# ---------------------------------------------------------------- formulas

# Formula inputs are the formula's UTF-8 text.
FORMULA_ORIGIN = (3, 2)
FORMULA_DESTS = [(3, 2), (1, 1), (10, 5), (2, 16384), None]


# The engine's token type and subtype numbers, in order.
TOKEN_TYPES = [Token.LITERAL, Token.OPERAND, Token.FUNC, Token.ARRAY, Token.PAREN, Token.SEP,
               Token.OP_PRE, Token.OP_IN, Token.OP_POST, Token.WHITESPACE]
TOKEN_SUBTYPES = [Token.NONE, Token.TEXT, Token.NUMBER, Token.LOGICAL, Token.ERROR, Token.RANGE,
                  Token.OPEN, Token.CLOSE, Token.ARG, Token.ROW]


def host_tokens(text):
    try:
        return [(t.value, t.type, t.subtype) for t in Tokenizer(text).items]
    except TokenizerError as exc:
        return ("error", "Tokenizer", str(exc))
    except IndexError:
        return ("error", "PopEmpty", "")


def cell(pos):
    """The A1 reference of a (row, column) pair; None stays None."""
    return None if pos is None else f"{get_column_letter(pos[1])}{pos[0]}"


def host_translate(text, origin, dest):
    """The Python translator's result in the probe's form."""
    try:
        return ("ok", Translator(text, cell(origin)).translate_formula(cell(dest)))
    except TokenizerError as exc:
        return ("error", "Tokenizer", str(exc))
    except TranslatorError as exc:
        return ("error", "Translator", str(exc))
    except IndexError:
        return ("error", "PopEmpty", "")


def check_formula(data):
    text = data.decode("utf-8", "replace")
    tokens = _probe.tokenize(text)
    if tokens == ("error", "NeedPython", ""):
        if text.isascii():
            raise Mismatch("an ASCII formula was handed to Python")
        return
    if isinstance(tokens, list):
        tokens = [(v, TOKEN_TYPES[t], TOKEN_SUBTYPES[s]) for v, t, s in tokens]
    if tokens != host_tokens(text):
        raise Mismatch(f"tokens {tokens!r}\nhost {host_tokens(text)!r}")
    rendered = _probe.render_many(text, FORMULA_ORIGIN, FORMULA_DESTS)
    if isinstance(rendered, tuple):
        return  # did not tokenize: compared above
    rendered = [("ok", r) if isinstance(r, str) else r for r in rendered]
    expected = [host_translate(text, FORMULA_ORIGIN, d) for d in FORMULA_DESTS]
    if rendered != expected:
        raise Mismatch(f"translations {rendered!r}\nhost {expected!r}")


FORMULA_SEEDS = tuple(s.encode() for s in (
    "=SUM(A1:B2)*$C$3+Sheet1!D4",
    "=IF(A1>0,\"yes\",\"no\")&TEXT(B2,\"0.00\")",
    "={1,2;3,4}+'My Sheet'!$A$1:$B$2",
    "=A:A+1:1+#REF!+TRUE-1.5E+3%",
    "=OFFSET(R1C1,1,1) + [1]Book!Name",
    "=-(-A1)^2 <> B$1 & \"a\"\"b\"",
))


# ---------------------------------------------------------------- rows

# Arguments of the calls a row-reading run makes are drawn from the input
# itself, so that a saved case replays the same calls.


def input_rng(data):
    return random.Random(hashlib.sha1(data).digest())


class LinkedCell(ReadOnlyCell):
    __slots__ = ("_hyperlink",)


def row_calls(data):
    """next_row argument tuples after "ws", None standing for next_raw."""
    rng = input_rng(data)
    calls = []
    for _ in range(rng.randint(1, 10)):
        kind = rng.randrange(4)
        min_col = rng.choice((1, 1, 2, 4, 0, -2))
        max_col = rng.choice((None, None, 0, 1, 3, 30))
        if kind == 0:
            calls.append(None)
        elif kind == 1:
            calls.append((min_col, max_col, True, ReadOnlyCell, None, None))
        elif kind == 2:
            calls.append((min_col, max_col, False, ReadOnlyCell, EMPTY_CELL, None))
        else:
            calls.append((min_col, max_col, False, LinkedCell, EMPTY_CELL, ["_hyperlink"]))
    return calls + [None]


def row_item(item):
    if isinstance(item, ReadOnlyCell):
        return (type(item).__name__, item.parent, item.row, item.column, item._value,
                type(item._value).__name__, item.data_type, item._style_id,
                getattr(item, "_hyperlink", "unset"))
    return (type(item).__name__, item)


def read_rows(reader_cls, data, size):
    options = Parser()
    parser = WorksheetParser(SHARED, options.epoch, date_formats=options.date_formats,
                             timedelta_formats=options.timedelta_formats)
    reader = reader_cls(Chunks(data, size), parser, reader_helpers())
    results = []
    for call in row_calls(data):
        got = reader.next_raw() if call is None else reader.next_row("ws", *call)
        results.append(None if got is None else (got[0], [row_item(i) for i in got[1]]))
    # Then to the end, so that both readers meet every fault of the
    # document (they buffer differently, so a fault ahead of the rows
    # taken may surface earlier in one of them).
    while (got := reader.next_raw()) is not None:
        results.append((got[0], [row_item(i) for i in got[1]]))
    results.append(reader.next_raw())
    return results, [tuple(a) for a in reader.actions], parser.row_dimensions


def check_rows(data):
    differential(lambda d, size: read_rows(native.RowReader, d, size),
                 lambda d: read_rows(PyRowReader, d, 65536), data)


# ---------------------------------------------------------------- prescan


def prescan_args(data):
    rng = input_rng(data)
    corners = rng.choice((None, [(1, 1)], [(1, 1), (2, 3), (1048576, 16384), (7, 1)]))
    return rng.random() < 0.7, corners


def check_prescan(data):
    want_rows, corners = prescan_args(data)

    def engine(d, size):
        return native.prescan_sheet(Chunks(d, size), want_rows, corners, reader_helpers())

    def python(d):
        return prescan_sheet_py(io.BytesIO(d), want_rows, corners, reader_helpers())

    expected = outcome(lambda: python(data))
    if expected[0] == "raised" and expected[1][0] in ILL_FORMED:
        # The engine steps over the inside of sheetData without checking
        # it, so it may scan what the Python prescan finds ill-formed; it
        # must still give one outcome whatever the read size.
        same_at_every_size(engine, data)
        return
    differential(engine, python, data)


# ---------------------------------------------------------------- writer

# The input is a worksheet: read by the package into a worksheet (a store
# where the engine reads it), edited with values drawn from the input, and
# written by the engine's SheetWriter and by the Python writer on both XML
# back ends, whole and row by row.

WRITE_VALUES = [
    None, "plain", "a & b", "<t>", 'q"', "tab\there", "cr\r\nlf", "\x01ctl", "nul\x00",
    "lone \ud800", "_x0041_", " pad ", "=SUM(A1:A2)", "=", "#N/A", "caf\u00e9 \U0001F600",
    0, -1, 2 ** 53 + 1, 2 ** 63, -2 ** 63 - 1, 10 ** 30, True, False, 0.1 + 0.2, -0.0,
    float("nan"), float("inf"), 5e-324, 1e16, decimal.Decimal("1.5"), decimal.Decimal("NaN"),
    datetime.datetime(1900, 2, 28, 12), datetime.datetime(1899, 12, 30), datetime.date(2024, 2, 29),
    datetime.time(23, 59, 59, 999999), datetime.timedelta(days=-3, seconds=5),
    ArrayFormula("A1:A2", "=SUM(B1:B2)"),
]
WRITE_TYPES = ["auto", "auto", "auto", "n", "s", "b", "e", "d", "str", "inlineStr", "f", "x"]


def write_recipe(data):
    """A function making a fresh worksheet: the input read, then edited."""
    rng = input_rng(data)
    edits = [(rng.randint(1, 8), rng.choice((1, 2, 3, 700, 16384, 18279)),
              rng.randrange(len(WRITE_VALUES)), rng.choice(WRITE_TYPES),
              rng.choice((None, None, StyleArray(), StyleArray([1] * 9))))
             for _ in range(rng.randint(0, 6))]
    deletes = [rng.randrange(40) for _ in range(rng.randint(0, 2))]
    iso = rng.random() < 0.3

    def build():
        ws = Worksheet(Workbook(shared_strings=SHARED, cell_styles=STYLES, iso_dates=iso))
        read_worksheet(io.BytesIO(data), ws)
        cells = ws._cells
        for row, column, value, data_type, style in edits:
            cell = Cell(ws, row=row, column=column)
            try:
                cell.value = WRITE_VALUES[value]
            except ValueError:
                cell._value = WRITE_VALUES[value]
            if data_type != "auto":
                cell.data_type = data_type
            cell._style = style
            cells[(row, column)] = cell
        for k in deletes:
            keys = list(cells)
            if keys:
                del cells[keys[k % len(keys)]]
        return ws

    return build


def written_output(run):
    calls = []
    try:
        ws = run(calls.append)
    except Exception as exc:
        return ("raised", type(exc).__name__, str(exc))
    empty = b"" if calls and isinstance(calls[0], bytes) else ""
    return ("ok", empty.join(calls), {type(c) for c in calls}, list(ws._hyperlinks),
            list(ws._comments))


def check_writer(data):
    build = write_recipe(data)
    try:
        build()
    except Exception:
        return  # not a worksheet the package reads: nothing to write
    for lxml in (True, False):
        def engine(write):
            ws = build()
            native.SheetWriter(ws, write, lxml, writer_helpers(lxml=lxml)).write_sheet_data(
                lambda: writer_rows(ws))
            return ws

        def python(write):
            ws = build()
            write_rows(ws, write, lxml)
            return ws

        got, expected = written_output(engine), written_output(python)
        if got[0] == "raised" and got[1] == "NativeFallback":
            continue  # declined before writing; the package writes in Python
        if got != expected:
            raise Mismatch(f"lxml={lxml}\nengine {got!r}\npython {expected!r}")

        def streamed(engine_module):
            def run(write):
                ws = build()
                cells = ws._cells
                keys = sorted(k for k in list(cells) if isinstance(k, tuple))
                stream = SheetDataStream(ws, write, lxml=lxml, engine=engine_module)
                by_row = {}
                for key in keys:
                    by_row.setdefault(key[0], []).append(cells[key])
                for n, (row, row_cells) in enumerate(sorted(by_row.items())):
                    stream.append(row_cells, row)
                    if n % 3 == 2:
                        stream.close()
                stream.close()
                return ws
            return run

        got, expected = written_output(streamed(native)), written_output(streamed(None))
        if got != expected:
            raise Mismatch(f"rows lxml={lxml}\nengine {got!r}\npython {expected!r}")


# ---------------------------------------------------------------- workbooks

# The input is a whole .xlsx (a zip), or a part to put into a template
# workbook: a first line naming the part, then its bytes. Mutated zips
# mostly exercise the archive checks; replaced parts reach the readers.

BOOK_PARTS = minimal_parts(
    sheet_body='<row r="1" spans="1:3"><c r="A1" t="s"><v>0</v></c><c r="B1" s="1"><v>45000.5</v>'
               '</c><c r="C1"><f>A1&amp;"x"</f><v>zx</v></c></row><row r="3"><c r="A3" '
               't="inlineStr"><is><t>in</t></is></c><c r="B3" t="b"><v>1</v></c></row>',
    sheet_extra='<mergeCells count="1"><mergeCell ref="A3:B3"/></mergeCells>',
    strings=["zero", "one & two"],
    styles='<numFmts count="1"><numFmt numFmtId="164" formatCode="yyyy-mm-dd"/></numFmts>'
           '<fonts count="1"><font/></fonts><fills count="1"><fill/></fills>'
           '<borders count="1"><border/></borders><cellStyleXfs count="1"><xf/></cellStyleXfs>'
           '<cellXfs count="2"><xf/><xf numFmtId="164" applyNumberFormat="1"/></cellXfs>')


def book_bytes(data):
    if data.startswith(b"PK"):
        return data
    name, _, body = data.partition(b"\n")
    parts = dict(BOOK_PARTS)
    parts[name.decode("utf-8", "replace") if name.decode("utf-8", "replace") in parts
          else "xl/worksheets/sheet1.xml"] = body
    return package(parts)


def book_facts(data, engine, read_only):
    wb = load_workbook(io.BytesIO(book_bytes(data)), read_only=read_only, engine=engine)
    try:
        facts = []
        for ws in wb.worksheets:
            if read_only:
                facts.append((ws.title, [tuple(row) for row in ws.iter_rows(values_only=True)]))
            else:
                facts.append((ws.title, sorted(
                    (k, repr(c.value), c.data_type) for k, c in ((k, ws._cells[k])
                                                                 for k in list(ws._cells)))))
        return facts
    finally:
        wb.close()


def book_outcome(data, engine, read_only):
    try:
        return "ok", book_facts(data, engine, read_only)
    except InvalidFileError as exc:
        return "invalid", type(exc).__name__
    except Exception as exc:
        raise Mismatch(f"load_workbook raised {type(exc).__name__}: {exc}") from exc


def check_workbook(data):
    read_only = input_rng(data).random() < 0.4
    got = book_outcome(data, native, read_only)
    expected = book_outcome(data, None, read_only)
    if got != expected:
        raise Mismatch(f"read_only={read_only}\nengine {got!r}\npython {expected!r}")


WORKBOOK_SEEDS = (
    package(BOOK_PARTS),
    package(BOOK_PARTS, zipfile.ZIP_STORED),
    b"xl/worksheets/sheet1.xml\n" + BOOK_PARTS["xl/worksheets/sheet1.xml"].encode(),
    b"xl/sharedStrings.xml\n" + BOOK_PARTS["xl/sharedStrings.xml"].encode(),
    b"xl/styles.xml\n" + BOOK_PARTS["xl/styles.xml"].encode(),
    b"xl/workbook.xml\n" + BOOK_PARTS["xl/workbook.xml"].encode(),
    b"[Content_Types].xml\n" + BOOK_PARTS["[Content_Types].xml"].encode(),
    b"xl/_rels/workbook.xml.rels\n" + BOOK_PARTS["xl/_rels/workbook.xml.rels"].encode(),
)


TARGETS = {t.name: t for t in (
    Target("sheet", SHEET_SEEDS, check_sheet),
    Target("sst", SST_SEEDS, check_sst),
    Target("dimension", SHEET_SEEDS, check_dimension),
    Target("formula", FORMULA_SEEDS, check_formula),
    Target("rows", SHEET_SEEDS, check_rows),
    Target("prescan", SHEET_SEEDS, check_prescan),
    Target("writer", SHEET_SEEDS, check_writer),
    Target("workbook", WORKBOOK_SEEDS, check_workbook),
    Target("tokenizer", TOKENIZER_SEEDS, check_tokenizer),
)}
