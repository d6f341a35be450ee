"""The feature and style models on their own: random styles through a save,
the namespaces of kept elements, the edges of the name rules, panes of
each kind and rules through their elements."""

import io
import itertools
from xml.etree import ElementTree as ET

import pytest
from hypothesis import given, strategies as st

import tavrinex
from tavrinex import (Alignment, Border, Color, DifferentialStyle, Font, GradientFill,
                      PatternFill, Protection, Side)
from tavrinex.names import check_name
from tavrinex.rules import (CellIs, ColorScale, ConditionalFormat, ContainsText, DataBar,
                            Duplicates, Expression, IconSet, Top10, read_conditional_format)
from tavrinex.styles.borders import BORDER_STYLES
from tavrinex.styles.fills import PATTERNS
from tavrinex.views import SheetView
from tavrinex.writer.xmltext import MAIN_NS, write_element
from tavrinex.xmltree import fromstring

colors = st.one_of(
    st.builds(Color, rgb=st.from_regex(r"[0-9A-F]{8}", fullmatch=True)),
    st.builds(Color, theme=st.integers(0, 11), tint=st.sampled_from([0, -0.25, 0.3999755859375])),
    st.builds(Color, indexed=st.integers(0, 65)),
    st.just(Color(auto=True)))
fonts = st.builds(Font, name=st.sampled_from(["Calibri", "Arial", "Noto Sans CJK"]),
                  size=st.sampled_from([8, 10.5, 11, 409]), bold=st.booleans(),
                  italic=st.booleans(),
                  underline=st.sampled_from([None, "single", "double", "singleAccounting"]),
                  strike=st.booleans(), vert_align=st.sampled_from([None, "superscript"]),
                  color=st.none() | colors, family=st.sampled_from([None, 1, 2]),
                  charset=st.sampled_from([None, 0, 204]),
                  scheme=st.sampled_from([None, "minor", "major"]), outline=st.booleans(),
                  shadow=st.booleans(), condense=st.booleans(), extend=st.booleans())
fills = st.one_of(
    st.builds(PatternFill, st.none() | colors, st.sampled_from(sorted(PATTERNS - {"none"})),
              st.none() | colors),
    st.builds(GradientFill, st.sampled_from(["linear", "path"]), st.sampled_from([0, 45, 90]),
              st.sampled_from([0, 0.5]), st.sampled_from([0, 0.5]), st.just(0), st.just(0),
              st.lists(st.tuples(st.sampled_from([0, 0.5, 1]), colors), max_size=3)))
sides = st.builds(Side, st.none() | st.sampled_from(sorted(BORDER_STYLES)), st.none() | colors)
borders = st.builds(Border, sides, sides, sides, sides, sides, st.booleans(), st.booleans(),
                    st.booleans(), st.none() | sides, st.none() | sides)
alignments = st.builds(
    Alignment, st.sampled_from([None, "left", "centerContinuous", "distributed"]),
    st.sampled_from([None, "top", "justify"]), st.booleans(), st.booleans(),
    st.integers(0, 250), st.sampled_from([0, 1, 90, 91, 180, 255]), st.integers(-250, 250),
    st.booleans(), st.integers(0, 2))
protections = st.builds(Protection, st.booleans(), st.booleans())


@given(st.lists(st.tuples(fonts, fills, borders, alignments, protections), min_size=1,
                max_size=4))
def test_any_style_comes_back_from_a_save(styles):
    wb = tavrinex.Workbook()
    ws = wb.active
    for row, (font, fill, border, alignment, protection) in enumerate(styles, 1):
        cell = ws.cell(row, 1, row)
        cell.font, cell.fill, cell.border = font, fill, border
        cell.alignment, cell.protection = alignment, protection
        ws.cell(row, 2, "same font").font = font
    out = io.BytesIO()
    wb.save(out)
    back = tavrinex.load_workbook(out).active
    for row, style in enumerate(styles, 1):
        cell = back.cell(row, 1)
        assert (cell.font, cell.fill, cell.border, cell.alignment, cell.protection) == style
        assert back.cell(row, 2).style_array.fontId == cell.style_array.fontId
    # Equal values share one entry: the fonts written are the distinct ones and the default.
    distinct = {s[0] for s in styles} - {Font()}
    assert len(back.parent.stylesheet.fonts) == 1 + len(distinct)


X = "urn:example:x"


@pytest.mark.parametrize("xml, prefixes, expected", [
    # a kept foreign child declares its namespace where it is used
    (f'<a xmlns="{MAIN_NS}"><x:b xmlns:x="{X}" x:c="1"/></a>', None,
     f'<a><ns0:b xmlns:ns0="{X}" ns0:c="1"/></a>'),
    # a prefix the root declares is used as it is
    (f'<a xmlns="{MAIN_NS}" xmlns:x="{X}"><x:b x:c="1"/></a>', {MAIN_NS: "", X: "x"},
     '<a><x:b x:c="1"/></a>'),
    # an attribute in the default namespace needs a prefix of its own
    (f'<a xmlns="{MAIN_NS}" xmlns:m="{MAIN_NS}" m:c="1"/>', None,
     f'<a xmlns:ns0="{MAIN_NS}" ns0:c="1"/>'),
    # an element in no namespace inside the default one undeclares it
    (f'<a xmlns="{MAIN_NS}"><b xmlns=""><c/></b></a>', None, '<a><b xmlns=""><c/></b></a>'),
    # text and tails are escaped and kept
    (f'<a xmlns="{MAIN_NS}">1 &lt; 2<b/>&amp;</a>', None, "<a>1 &lt; 2<b/>&amp;</a>"),
])
def test_elements_keep_their_namespaces(xml, prefixes, expected):
    el = fromstring(xml.encode())
    text = write_element(el, prefixes)
    assert text == expected
    declared = "".join(f' xmlns:{p}="{u}"' for u, p in (prefixes or {}).items() if p)
    again = fromstring(f'<w xmlns="{MAIN_NS}"{declared}>{text}</w>'.encode())[0]
    assert ET.canonicalize(ET.tostring(again)) == ET.canonicalize(ET.tostring(el))


@pytest.mark.parametrize("name, ok", [
    ("n" * 255, True), ("n" * 256, False), ("XFD1048576", False), ("XFE1", True),
    ("A1048577", True), ("R1C1", False), ("rc", False), ("R", False), ("RC1x", True),
    ("_x", True), ("\\x", True), ("x.y?z", True), ("1x", False), ("x y", False),
    ("é_name", True), ("_xlnm.Print_Area", True), ("_xlnm.", False), ("a-b", False),
])
def test_the_edges_of_the_name_rules(name, ok):
    if ok:
        assert check_name(name) == name
    else:
        with pytest.raises(ValueError):
            check_name(name)


@pytest.mark.parametrize("cell, pane, split", [
    ("B2", "bottomRight", {"xSplit": "1", "ySplit": "1"}),
    ("C1", "topRight", {"xSplit": "2"}),
    ("A4", "bottomLeft", {"ySplit": "3"}),
])
def test_panes_of_each_kind(cell, pane, split):
    view = SheetView()
    view.freeze_panes = cell
    el = view.element(selected=True)
    pane_el = el[0].find(f"{{{MAIN_NS}}}pane")
    assert {k: v for k, v in pane_el.attrib.items() if k.endswith("Split")} == split
    assert (pane_el.get("topLeftCell"), pane_el.get("activePane"), pane_el.get("state")) == (
        cell, pane, "frozen")
    again = SheetView()
    again.read(el)
    assert again.freeze_panes == cell
    view.freeze_panes = "A1"            # no frozen rows or columns
    assert view.freeze_panes is None and view.element(False)[0].find(
        f"{{{MAIN_NS}}}pane") is None


def test_a_split_that_is_not_frozen_is_kept():
    el = fromstring(f'<sheetViews xmlns="{MAIN_NS}"><sheetView workbookViewId="0" '
                    'showRuler="0"><pane xSplit="2000" ySplit="1500" activePane="bottomRight"/>'
                    '<selection pane="bottomRight" activeCell="D5" sqref="D5"/></sheetView>'
                    '</sheetViews>'.encode())
    view = SheetView()
    view.read(el)
    assert view.freeze_panes is None and view.zoom == 100
    written = view.element(False)[0]
    assert written.get("showRuler") == "0"
    assert written.find(f"{{{MAIN_NS}}}pane").get("xSplit") == "2000"


def test_rules_through_their_elements():
    dxfs = [DifferentialStyle(font=Font(bold=True)), DifferentialStyle(fill=PatternFill("00FF00"))]
    fmt = ConditionalFormat("C3:D9 F1", [
        CellIs("notBetween", [1, "$A$1"], dxfs[0], stop_if_true=True),
        Expression("=MOD(ROW(),2)=0", dxfs[1]), ColorScale(("num", 5, "FF0000"),
                                                            ("formula", "$B$1", "00FF00")),
        DataBar(Color(theme=5), ("percent", 10), ("percentile", 90)),
        IconSet("5Rating", [("percent", 0), ("num", 2), ("num", "3.5"), ("formula", "$A$2"),
                            ("percentile", 90)], reverse=True, show_value=False),
        Top10(15, dxfs[0], percent=True, bottom=True), Duplicates(dxfs[1]),
        ContainsText('say "hi"', dxfs[0])])
    el = fmt.element(itertools.count(7), dxfs.index)
    assert [rule.get("priority") for rule in el] == [str(n) for n in range(7, 15)]
    formula = el[-1].find(f"{{{MAIN_NS}}}formula").text
    assert formula == 'NOT(ISERROR(SEARCH("say ""hi""",C3)))'   # the range's first cell
    priority, back = read_conditional_format(el, dxfs.__getitem__)
    assert priority == 7 and back == fmt
    assert back.rules[4].thresholds[2] == ("num", 3.5)    # numbers read as numbers
