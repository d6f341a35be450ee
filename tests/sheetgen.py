"""Worksheet documents for property and differential tests.

`sheets()` draws a whole case: the document bytes plus the reading options,
shared strings and style list it is read with. The documents cover the cell
forms a reader meets: numbers in every textual form, shared strings in and
out of range, inline plain and rich strings, booleans, errors, ISO dates,
date-styled serials under both epochs and with duration styles, plain,
array, data-table and shared formulas, implicit rows and columns, duplicate
coordinates, rows out of order, very wide rows, unusual style ids, row
attributes, elements around the cells, entities, CDATA, comments and
namespace prefixes.
"""

import datetime

from hypothesis import strategies as st

from tavrinex.styles import StyleArray
from tavrinex.utils.cell import get_column_letter
from tavrinex.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
SHARED = ["zero", "one", "two", "three", "four"]
DATE_STYLE, DURATION_STYLE = 3, 4
STYLES = [StyleArray((i, 0, 0, 0, 0, 0, 0, 0, i)) for i in range(6)]

NUMBERS = ["0", "42", "-0", "+5", " 7", "007", "-999999999999999999", "1234567890123456789",
           "1" * 25, "1e3", "1.5E+2", ".5", "5.", "-.25e-3", "0.1", "3.14159", "1e308",
           "1e400", "-1e-400", "2.5", "45000.75", "59", "60", "61", "2958465", "2958466",
           "-1", "1e12", "0.999999999999"]
BAD_NUMBERS = ["1.5x", "nan", "inf", "1_000", "abc", "1e"]
ISO = ["2024-01-02", "2024-01-02T03:04:05", "12:30:00", "P1DT2H"]
BAD_ISO = ["2024-13-01", "soon"]
STYLE_TEXTS = ["0", "1", "2", "3", "4", "5", "-1", "-6", " 2", "+3", "00", "99",
               "9" * 30, "", "x"]
TEXTS = ["plain", "a &amp; b", "&lt;tag&gt;", "&#x41;&#66;", "<![CDATA[<raw & text>]]>",
         "tab\there", "line\r\nend", "caf\u00e9", "_x0041_", " spaced "]
FORMULAS = ["SUM(A1:A3)", "A1+B1", "$A$1*2", "a1+1", "LOG10(A1)", "Sheet1!A1", 'A1&amp;"B1"',
            "A1 +  B1", "SUM(3:4)", "SUM(A:C)", "MyName*2", "Table1[Col]", "1+", "XFD1",
            "ZZZ1+1", "{1,2}", "IF(A1&gt;0,1,2)", "\u00e9t\u00e9+A1"]
BAD_FORMULAS = ["(", '"unclosed', "1)"]
# Shared formulas that move anywhere without leaving the sheet.
FIXED_FORMULAS = ["$A$1*2", "MyName*2", "SUM($A$1:$B$2)", "1+2"]
# "~" stands for the main namespace's prefix (empty when it is the default).
ELEMENTS = ['<~dimension ref="A1:C5"/>', '<~sheetPr><~outlinePr summaryBelow="0"/></~sheetPr>',
            '<~sheetFormatPr defaultRowHeight="15"/>',
            '<~cols><~col min="1" max="2" width="9.5" customWidth="1"/></~cols>',
            '<~mergeCells count="1"><~mergeCell ref="A1:B2"/></~mergeCells>',
            '<~hyperlinks><~hyperlink ref="A1" r:id="rId1"/></~hyperlinks>',
            '<~conditionalFormatting sqref="A1"><~cfRule type="x" priority="1"/>'
            '</~conditionalFormatting>',
            '<~pageMargins left="0.7" right="0.7" top="0.75" bottom="0.75"/>',
            '<~extLst><~ext uri="{x}"><q:thing xmlns:q="urn:q">&amp;<!-- c --></q:thing>'
            '</~ext></~extLst>',
            '<~custom a="1"><![CDATA[ <kept> ]]></~custom>']


def _element(draw, p):
    return draw(st.sampled_from(ELEMENTS)).replace("~", p)


def _ref(draw, row):
    form = draw(st.sampled_from(["none", "none", "plain", "plain", "plain", "odd", "far"]))
    if form == "none":
        return ""
    if form == "far":
        col = draw(st.sampled_from([702, 703, 18278]))
    else:
        col = draw(st.integers(1, 30))
    letters = get_column_letter(col)
    if form == "odd":
        return ' r="%s"' % draw(st.sampled_from(
            [letters.lower() + str(row), "$" + letters + "$" + str(row), letters + "0" + str(row)]))
    return ' r="%s%d"' % (letters, row)


def _inline(draw, p):
    form = draw(st.sampled_from(["t", "runs", "rpr", "phonetic", "attr", "empty", "dangerous"]))
    text = draw(st.sampled_from(TEXTS))
    if form == "t":
        return f"<{p}is><{p}t>{text}</{p}t></{p}is>"
    if form == "runs":
        return (f"<{p}is><{p}r><{p}t>{text}</{p}t></{p}r><{p}r><{p}rPr><{p}i/></{p}rPr>"
                f"<{p}t xml:space=\"preserve\"> two</{p}t></{p}r></{p}is>")
    if form == "rpr":
        return (f"<{p}is><{p}r><{p}rPr><{p}b/><{p}sz val=\"11\"/></{p}rPr><{p}t>{text}</{p}t>"
                f"</{p}r></{p}is>")
    if form == "phonetic":
        return (f"<{p}is><{p}t>{text}</{p}t><{p}rPh sb=\"0\" eb=\"1\"><{p}t>x</{p}t></{p}rPh>"
                f"<{p}phoneticPr fontId=\"1\"/></{p}is>")
    if form == "attr":
        return f"<{p}is foo=\"1\"><{p}t>{text}</{p}t></{p}is>"
    if form == "dangerous":
        return f"<{p}is><{p}t>{text}</{p}t><{p}extra/></{p}is>"
    return f"<{p}is/>"


def _formula(draw, p, groups, errors):
    form = draw(st.sampled_from(["plain", "plain", "empty", "array", "table", "shared",
                                 "shared", "member", "member"]))
    if not errors and form == "shared":
        text = draw(st.sampled_from(FIXED_FORMULAS))
    else:
        text = draw(st.sampled_from(FORMULAS + (BAD_FORMULAS if errors else [])))
    if form == "plain":
        return f"<{p}f>{text}</{p}f>"
    if form == "empty":
        return f"<{p}f/>"
    if form == "array":
        ref = draw(st.sampled_from([' ref="A1:A2"', ""]))
        return f'<{p}f t="array"{ref}>{text}</{p}f>'
    if form == "table":
        return f'<{p}f t="dataTable" ref="B2:C3" dt2D="1" dtr="0" r1="A1" r2="A2"/>'
    si = draw(st.integers(0, 3))
    if form == "shared":
        groups.add(si)
        return f'<{p}f t="shared" ref="A1:C9" si="{si}">{text}</{p}f>'
    return f'<{p}f t="shared" si="{si}"/>'


def _cell(draw, p, row, groups, errors, markup=True):
    ref = _ref(draw, row)
    style = ""
    if draw(st.booleans()):
        choices = STYLE_TEXTS if errors else STYLE_TEXTS[:11]
        style = ' s="%s"' % draw(st.sampled_from(choices))
    kind = draw(st.sampled_from(["n", "n", "n", "date", "s", "inline", "b", "e", "str", "d",
                                 "f", "x", "empty", "v-only"]))
    name = draw(st.sampled_from(["c", "c", "c", "c", "other"]))
    numbers = NUMBERS + (BAD_NUMBERS if errors else [])
    t, body = "", ""
    if kind in ("n", "date"):
        if kind == "date":
            style = ' s="%d"' % draw(st.sampled_from([DATE_STYLE, DURATION_STYLE]))
        body = f"<{p}v>{draw(st.sampled_from(numbers))}</{p}v>"
    elif kind == "s":
        t = ' t="s"'
        indices = ["0", "4", "-1", " 2"] + (["5", "-6", "x"] if errors else [])
        body = f"<{p}v>{draw(st.sampled_from(indices))}</{p}v>"
    elif kind == "inline":
        t = ' t="inlineStr"'
        body = _inline(draw, p) if draw(st.booleans()) else f"<{p}v>7</{p}v>"
    elif kind == "b":
        t = ' t="b"'
        body = f"<{p}v>{draw(st.sampled_from(['0', '1', '2', ' 1']))}</{p}v>"
    elif kind == "e":
        t = ' t="e"'
        body = f"<{p}v>{draw(st.sampled_from(['#DIV/0!', '#N/A', '#REF!']))}</{p}v>"
    elif kind == "str":
        t = ' t="str"'
        texts = TEXTS if markup else [text for text in TEXTS if "<!" not in text]
        body = f"<{p}v>{draw(st.sampled_from(texts))}</{p}v>"
    elif kind == "d":
        t = ' t="d"'
        body = f"<{p}v>{draw(st.sampled_from(ISO + (BAD_ISO if errors else [])))}</{p}v>"
    elif kind == "f":
        body = _formula(draw, p, groups, errors) + f"<{p}v>{draw(st.sampled_from(numbers[:12]))}</{p}v>"
    elif kind == "x":
        t = ' t="%s"' % draw(st.sampled_from(["x", "", "n", "inlineStr"]))
        body = f"<{p}v>9</{p}v>"
    elif kind == "v-only":
        body = f"<{p}v/>"
    if markup and draw(st.integers(0, 9)) == 0:
        body = "<!-- note -->" + body + "<skipme><v>1</v></skipme>"
    if not body:
        return f"<{p}{name}{ref}{style}{t}/>"
    return f"<{p}{name}{ref}{style}{t}>{body}</{p}{name}>"


def _row(draw, p, number, groups, errors, markup=True, wide=41):
    attrs = ""
    r_form = draw(st.sampled_from(["plain", "plain", "plain", "none", "odd"]))
    if r_form == "plain":
        attrs += f' r="{number}"'
    elif r_form == "odd":
        attrs += ' r="%s"' % draw(st.sampled_from([f"0{number}", f" {number}", f"{number} "]))
    if draw(st.booleans()):
        attrs += ' spans="1:3"'
    if draw(st.integers(0, 3)) == 0:
        attrs += draw(st.sampled_from([' ht="20" customHeight="1"', ' hidden="1"',
                                       ' x14ac:dyDescent="0.25"', ' s="1" customFormat="1"',
                                       ' outlineLevel="&#49;"']))
    if wide and draw(st.integers(0, wide - 1)) == 0:
        # A row wider than the compact tier holds.
        cells = f'<{p}c r="ZZZ{number}"><{p}v>1</{p}v></{p}c>' + f"<{p}c/>" * 47_300
        cells += f"<{p}c><{p}v>2</{p}v></{p}c>"
    else:
        cells = "".join(_cell(draw, p, number, groups, errors, markup)
                        for _ in range(draw(st.integers(0, 6))))
    if not cells and draw(st.booleans()):
        return f"<{p}row{attrs}/>"
    return f"<{p}row{attrs}>{cells}</{p}row>"


class Case:
    """One generated read; unpacks as (doc, options, shared, styles)."""

    def __init__(self, doc, options, shared, styles):
        self.doc, self.options, self.shared, self.styles = doc, options, shared, styles

    def __iter__(self):
        return iter((self.doc, self.options, self.shared, self.styles))

    def __repr__(self):
        doc = self.doc if len(self.doc) < 3000 else self.doc[:1500] + b" ... " + self.doc[-1500:]
        return f"Case({doc!r}, {self.options!r})"


@st.composite
def sheets(draw, errors=True, markup=True, wide=41):
    """(document bytes, options, shared strings, cell styles).

    With `errors`, documents may hold values the host refuses (bad numbers,
    out-of-range shared strings and style ids), so reading them may raise.
    Without `markup`, the cells hold no comments or CDATA and the main
    namespace is the default one. One row in `wide` on average is wider
    than the store's compact tier (47,302 cells); 0: none is.
    """
    p = draw(st.sampled_from(["", "", "s:"] if markup else [""]))
    decl = f'xmlns:s="{MAIN}"' if p else f'xmlns="{MAIN}"'
    decl += ' xmlns:r="urn:r" xmlns:x14ac="urn:x14ac"'
    parts = [_element(draw, p) for _ in range(draw(st.integers(0, 3)))]
    groups = set()
    rows = []
    number = 0
    for _ in range(draw(st.integers(0, 8))):
        number = max(1, draw(st.sampled_from([number + 1, number + 1, number + 2, number - 1,
                                              number])))
        rows.append(_row(draw, p, number, groups, errors, markup, wide))
    if draw(st.integers(0, 5)) == 0:
        rows.insert(draw(st.integers(0, len(rows))), f"<{p}foo a='1'/>")
    if rows or draw(st.booleans()):
        parts.append(f"<{p}sheetData>{''.join(rows)}</{p}sheetData>")
    else:
        parts.append(f"<{p}sheetData/>")
    parts.extend(_element(draw, p) for _ in range(draw(st.integers(0, 3))))
    head = draw(st.sampled_from(["", '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n',
                                 "<!-- leading comment -->"]))
    doc = f"{head}<{p}worksheet {decl}>{''.join(parts)}</{p}worksheet>".encode()
    options = {
        "epoch": draw(st.sampled_from([WINDOWS_EPOCH, MAC_EPOCH, WINDOWS_EPOCH,
                                       datetime.datetime(1899, 12, 30,
                                                         tzinfo=datetime.timezone.utc)])),
        "data_only": draw(st.booleans()),
        "formula_and_value": draw(st.booleans()),
        "rich_text": draw(st.booleans()),
        "date_formats": (DATE_STYLE, DURATION_STYLE, True),
        "timedelta_formats": (DURATION_STYLE,),
    }
    return Case(doc, options, list(SHARED), list(STYLES))
