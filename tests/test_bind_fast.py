"""The engine's direct reading of cells against the Python reader, on the
forms the direct path converts itself (numbers, coordinates, style ids,
type letters) and on everything just beside them that it must hand on."""

import io
import itertools

import pytest

from tavrinex import _native
from tavrinex.cell import Cell
from tavrinex.helpers import reader_helpers
from tavrinex.reader.worksheet import WorksheetParser
from tavrinex.styles import StyleArray
from sheet_helpers import MAIN, ChunkSource
from test_pyreader_gen import HOST_ERRORS, cell_facts, python_read

pytestmark = pytest.mark.skipif(_native.native is None, reason="engine not built")

SHARED = [f"s{i}" for i in range(12)]
STYLES = [StyleArray([i, 0, 0, 14 if i == 3 else 0, 0, 0, 0, 0, 0]) for i in range(12)]
OPTIONS = {"date_formats": (3,)}


def doc(rows):
    return (f'<worksheet xmlns="{MAIN}"><sheetData>{rows}</sheetData></worksheet>').encode()


def read_both(data, read_size=65536):
    """(engine outcome, Python outcome): ("ok", facts) or ("raised", error)."""
    def native():
        store, actions = _native.native.CellStore(), []
        parser = WorksheetParser(SHARED, **OPTIONS)
        _native.native.bind_cells(ChunkSource(data, read_size), parser, "ws", store, STYLES,
                                  Cell, reader_helpers(), actions)
        return cell_facts(store), actions, parser.row_dimensions

    def python():
        cells, actions, dims = python_read(data, OPTIONS, SHARED, STYLES)
        return cell_facts(cells), actions, dims

    def outcome(fn):
        try:
            return "ok", fn()
        except (*HOST_ERRORS, TypeError) as exc:
            return "raised", (type(exc), str(exc))

    return outcome(native), outcome(python)


def assert_agree(data, read_size=65536):
    native, python = read_both(data, read_size)
    assert native == python
    return native


# ---- numbers around every eight-digit step

def number_texts():
    for digits in range(1, 21):
        body = "".join(str((i * 7 + digits) % 10) for i in range(digits))
        for lead in ("", "0", "000"):
            whole = lead + body
            yield whole
            for point in range(len(whole) + 1):
                yield whole[:point] + "." + whole[point:]
    yield from ("9007199254740992", "9007199254740993", "900719925474099.3",
                "0.9007199254740993", "999999999999999999", "1000000000000000000",
                "9223372036854775808", "12345678.", ".12345678", "1e5", "1.5E-3",
                "123456789012345678e2", "0", "0.0", "1_000", "1_000.5", "12345678_9")


# Texts the host reads some other way or refuses, each in a sheet of its own.
ODD_NUMBERS = ["1.2.3", "12a45678", "1234567a", "--1", "-", ".", "1e", "0x10", " 1", "1 ",
               "١٢", "1e400", "-12345678901234567890", "abc", "12345678\t", "1.5"]


@pytest.mark.parametrize("sign", ["", "-", "+"])
def test_numbers_of_every_length_read_as_the_host_reads_them(sign):
    texts = [sign + t for t in number_texts()]
    # Twenty cells to a row, half of them date-styled.
    cells = [f'<c r="{chr(65 + i % 20)}{i // 20 + 1}"{" s=\"3\"" if i % 2 else ""}>'
             f"<v>{t}</v></c>" for i, t in enumerate(texts)]
    rows = "".join(f'<row r="{r + 1}">{"".join(cells[r * 20:r * 20 + 20])}</row>'
                   for r in range((len(cells) + 19) // 20))
    kind, (facts, _, _) = assert_agree(doc(rows))
    assert kind == "ok" and len(facts) == len(texts)


@pytest.mark.parametrize("text", ODD_NUMBERS)
def test_one_value_the_host_refuses_or_reads_agrees(text):
    assert_agree(doc(f'<row r="1"><c r="A1"><v>{text}</v></c><c r="B1" t="b"><v>{text}</v></c>'
                     f'<c r="C1" t="s"><v>{text}</v></c></row>'))


# ---- the start tag of a cell

TAGS = [
    '<c r="B1" s="2" t="s">', '<c t="s" s="2" r="B1">', '<c s="2" r="B1">', '<c r="B1" t="n">',
    '<c t="b">', '<c>', '<c s="11">', "<c r='B1' s='2'>", '<c  r="B1">', '<c r="B1"\ts="2">',
    '<c r="B1"\n s="1">', '<c r="B1" >', '<c r="B1" s="2" cm="1">', '<c vm="1" r="B1">',
    '<c r="b1">', '<c r="ABCD1">', '<c r="A01">', '<c r="A0">', '<c r="A1234567890">',
    '<c r="XFD1048576">', '<c r="ZZZ999999999">', '<c r="">', '<c r="1A">', '<c r="A">',
    '<c r="B1" s="">', '<c r="B1" s="007">', '<c r="B1" s="-1">', '<c r="B1" s="+1">',
    '<c r="B1" s="1234567890123456789">', '<c r="B1" s="9999999999999999999">',
    '<c r="B1" s="999999999999999999">', '<c r="ZZZ999999999" s="0000000000000000001">', '<c r="B1" s=" 1">', '<c r="B1" t="">',
    '<c r="B1" t="inlineStr">', '<c r="B1" t="str">', '<c r="B1" t="e">',
    '<c r="B1" t="abcdefghijklmnopq">', '<c r="B1" t="s1">', '<c r="B&#49;">',
    '<c r="B1" r="C1">', '<c r="B1" s="1" s="2">', '<c t="s" t="n">', '<c x:r="B1">',
]


# Repeated attributes: the engine leaves such sheets to the Python reader.
DECLINED = {'<c r="B1" r="C1">', '<c r="B1" s="1" s="2">', '<c t="s" t="n">'}


@pytest.mark.parametrize("tag", TAGS)
def test_cell_start_tags_in_any_form(tag):
    cells = f'<c r="A1"><v>1</v></c>{tag}<v>3</v></c>{tag.replace(">", "/>")}<c><v>4</v></c>'
    data = doc(f'<row r="1">{cells}</row><row r="2">{cells.replace("1", "2")}</row>')
    if "x:r" in tag:
        data = data.replace(b"<worksheet ", b'<worksheet xmlns:x="urn:x" ')
    if tag in DECLINED:
        with pytest.raises(_native.NativeFallback, match="duplicate attribute"):
            read_both(data)
    else:
        assert_agree(data)


def test_coordinates_out_of_order_missing_and_repeated():
    rows = ('<row r="3"><c r="C3"><v>1</v></c><c r="A3"><v>2</v></c><c><v>3</v></c>'
            '<c r="B3"><v>4</v></c><c><v>5</v></c><c r="C3"><v>6</v></c></row>'
            '<row r="1"><c><v>7</v></c><c r="E5"><v>8</v></c><c><v>9</v></c></row>'
            '<row><c r="A2"><v>10</v></c></row><row><c><v>11</v></c></row>')
    kind, (facts, _, _) = assert_agree(doc(rows))
    assert kind == "ok"
    # Unnumbered cells and rows follow the previous ones; a repeated
    # coordinate replaces the value in the first one's place.
    assert [(f[0], f[3]) for f in facts] == [((3, 3), 6), ((3, 1), 11), ((3, 2), 4),
                                             ((1, 1), 7), ((5, 5), 8), ((1, 6), 9),
                                             ((2, 1), 10)]


# ---- cells split between reads

MIXED = ('<c r="A{r}" s="3"><v>45123.{r}</v></c><c r="B{r}" t="s"><v>{s}</v></c>'
         '<c r="C{r}" t="b"><v>1</v></c><c r="D{r}"><f>A{r}*2+B{r}</f><v>{r}</v></c>'
         '<c r="E{r}" t="str"><v>text {r}</v></c><c r="F{r}"><v>-1234567890123.{r}</v></c>'
         '<c r="G{r}" t="e"><v>#N/A</v></c><c r="H{r}"/><c r="I{r}" t="inlineStr"><is><t>i'
         '</t></is></c>')


def mixed_rows(count, pad=0):
    return "".join(f'<row r="{r}" spans="1:9">{" " * pad}{MIXED.format(r=r, s=r % 12)}</row>'
                   for r in range(1, count + 1))


@pytest.mark.parametrize("read_size", [1, 2, 3, 5, 8, 13, 64])
def test_small_reads_split_every_part_of_a_cell(read_size):
    kind, (facts, _, _) = assert_agree(doc(mixed_rows(3)), read_size)
    assert kind == "ok" and len(facts) == 27


@pytest.mark.parametrize("pad", range(0, 48, 3))
def test_cells_straddling_the_read_boundary(pad):
    # Some 380 bytes a row: the 65,536-byte boundary falls across a
    # different part of a cell for each padding.
    data = doc(mixed_rows(200, pad))
    native, python = read_both(data)
    assert native == python and len(native[1][0]) == 1800


# ---- formula templates per column

def test_formulas_whose_shape_changes_down_a_column():
    shapes = ["A{r}*2", "A{r}*2", "$A$1+B{r}", "SUM(A1:A{r})", "A{r}*2", "B{q}-A{r}", "X",
              "A{r}*2", "A1048576+A{r}", "C{r}", "C{q}"]
    rows = "".join(
        f'<row r="{r}"><c r="C{r}"><f>{shapes[r % len(shapes)].format(r=r, q=r + 1)}</f>'
        f'<v>1</v></c><c r="D{r}"><f>C{r}</f></c></row>'
        for r in itertools.chain(range(1, 40), range(1048570, 1048577), range(100, 90, -1)))
    kind, (facts, _, _) = assert_agree(doc(rows))
    assert kind == "ok"


def test_a_shorter_formula_after_a_template_keeps_its_own_text():
    rows = ('<row r="10"><c r="A10"><f>B10</f></c></row>'
            '<row r="11"><c r="A11"><f>B10</f></c></row>'
            '<row r="12"><c r="A1"><f>B1</f></c></row>')
    store = _native.native.CellStore()
    _native.native.bind_cells(io.BytesIO(doc(rows)), WorksheetParser(SHARED), "ws", store, STYLES,
                              Cell, reader_helpers(), [])
    assert [store[k].value for k in store] == ["=B10", "=B10", "=B1"]
    assert_agree(doc(rows))


# ---- one row to the next

ROW_FORMS = [
    '<row r="{r}">', '<row r="{r}" spans="1:2">', '<row spans="1:2" r="{r}">', '<row>',
    '<row spans="1:2">', '<row r="{r}" ht="20" customHeight="1">', "<row r='{r}'>",
    '<row  r="{r}">', '<row r="{r}" >', '<row r="0{r}">', '<row r="{r}.0">', '<row r="x">',
    '<row r="{r}" r="{r}">', '<row xmlns:y="urn:y" r="{r}" y:a="1">',
]


@pytest.mark.parametrize("form", ROW_FORMS)
@pytest.mark.parametrize("between", ["", "\n  ", "\r\n\t"])
def test_rows_following_rows_in_any_form(form, between):
    body = '<c r="A{r}"><v>{r}</v></c><c><v>2</v></c>'
    rows = between.join(form.format(r=r) + body.format(r=r) + "</row>" for r in range(1, 6))
    data = doc(rows + between + '<row r="9"/><row r="10"><c><v>1</v></c></row>')
    if "r=\"{r}\" r=" in form:
        with pytest.raises(_native.NativeFallback, match="duplicate attribute"):
            read_both(data)
        return
    native, python = read_both(data)
    assert native == python
    if native[0] == "ok":
        assert len(native[1][0]) == 11


@pytest.mark.parametrize("between", ["<!-- note -->", "x", "&#32;", "<?pi?>", "<row/>"])
def test_whatever_stands_between_rows_is_read_as_the_host_reads_it(between):
    rows = f'<row r="1"><c><v>1</v></c></row>{between}<row r="2"><c><v>2</v></c></row>'
    assert_agree(doc(rows))


def test_row_end_tags_with_a_prefix_or_space():
    prefixed = (f'<x:worksheet xmlns:x="{MAIN}" xmlns="{MAIN}"><sheetData>'
                '<x:row r="1"><c><v>1</v></c></x:row><row r="2"><c><v>2</v></c></row >'
                '<row r="3"><c><v>3</v></c></row></sheetData></x:worksheet>').encode()
    kind, (facts, _, _) = assert_agree(prefixed)
    assert [f[0] for f in facts] == [(1, 1), (2, 1), (3, 1)]


@pytest.mark.parametrize("cell", [
    "<f/>", "<f></f>", "<f>A1</f>", "<f >B1*2</f>", '<f t="shared" si="0" ref="C1:C3">A1</f>',
    '<f t="array" ref="C1">A1:B1</f>', "<f>A1</f><is><t>x</t></is>", "<f>A1</f><v>&#49;</v>",
    "<f>A&amp;1</f><v>1</v>", "<f>A1</f><f>B1</f>", "<v>1</v><f>SUM(A1:B1)</f>",
])
@pytest.mark.parametrize("read_size", [3, 65536])
def test_formula_cells_read_directly_or_by_the_tokenizer(cell, read_size):
    rows = "".join(f'<row r="{r}"><c r="A{r}"><v>1</v></c><c r="C{r}">{cell}</c>'
                   f'<c r="D{r}"><f>C{r}+1</f></c></row>' for r in (1, 2, 3))
    assert_agree(doc(rows), read_size)
