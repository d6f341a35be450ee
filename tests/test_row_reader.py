"""RowReader, and the Python row reader with the same interface: row
shaping, slot binding, actions, formula-and-value cells, argument errors
and re-entrant use."""

import datetime
import gc
import weakref

import pytest

from tavrinex import _native
from tavrinex.cell import EMPTY_CELL, ReadOnlyCell, ReadOnlyFormulaCell
from tavrinex.helpers import reader_helpers
from tavrinex.reader.rows import PyRowReader
from sheet_helpers import ChunkSource, Parser, sheet

native = _native.native
READERS = [pytest.param(PyRowReader, id="python")]
if native is not None:
    READERS.insert(0, pytest.param(native.RowReader, id="engine"))

FILL = object()


class LinkedCell(ReadOnlyCell):
    __slots__ = ("_hyperlink",)


def reader(cls, body, read_size=65536, after="", **options):
    return cls(ChunkSource(sheet(body, after=after), read_size), Parser(**options),
               reader_helpers())


def cells_of(row):
    return [FILL if c is FILL else (c.row, c.column, c.value, c.data_type, c.style_id)
            for c in row]


@pytest.fixture(params=READERS)
def rr(request):
    return request.param


class TestShaping:
    ROW = '<row r="1"><c r="A1"><v>1</v></c><c r="C1" s="2"><v>x</v></c></row>'

    def test_missing_rows_are_the_callers_business(self, rr):
        r = reader(rr, '<row r="1"><c><v>1</v></c></row><row r="3"><c><v>2</v></c></row>')
        assert r.next_row("ws", 1, None, True, ReadOnlyCell, None) == (1, (1,))
        assert r.next_row("ws", 1, None, True, ReadOnlyCell, None) == (3, (2,))
        assert r.next_row("ws", 1, None, True, ReadOnlyCell, None) is None

    def test_gaps_inside_a_row_take_the_filler(self, rr):
        r = reader(rr, self.ROW.replace("<v>x</v>", "<v>7</v>"))
        idx, row = r.next_row("WS", 1, None, False, ReadOnlyCell, FILL)
        assert idx == 1
        assert cells_of(row) == [(1, 1, 1, "n", 0), FILL, (1, 3, 7, "n", 2)]
        assert row[0].parent == "WS" and type(row[0]) is ReadOnlyCell

    def test_max_col_cuts_and_min_col_shifts(self, rr):
        body = self.ROW.replace("<v>x</v>", "<v>7</v>")
        assert reader(rr, body).next_row("ws", 1, 2, True, ReadOnlyCell, None) == (1, (1, None))
        assert reader(rr, body).next_row("ws", 2, None, True, ReadOnlyCell, None) == (1, (None, 7))
        assert reader(rr, body).next_row("ws", 4, None, True, ReadOnlyCell, None) == (1, ())
        assert reader(rr, body).next_row("ws", 0, 4, True, ReadOnlyCell, None) == (
            1, (None, 1, None, 7, None))

    def test_empty_rows(self, rr):
        r = reader(rr, '<row r="5"/><row r="6"></row>')
        assert r.next_row("ws", 1, None, True, ReadOnlyCell, None) == (5, ())
        assert r.next_row("ws", 1, 3, False, ReadOnlyCell, FILL) == (6, (FILL, FILL, FILL))

    def test_a_later_cell_of_a_column_wins(self, rr):
        r = reader(rr, '<row r="2"><c r="B2"><v>1</v></c><c r="B2"><v>2</v></c></row>')
        assert r.next_row("ws", 1, None, True, ReadOnlyCell, None) == (2, (None, 2))

    def test_implicit_rows_and_columns(self, rr):
        r = reader(rr, '<row><c><v>1</v></c><c r="D7"><v>2</v></c><c><v>3</v></c></row><row/>')
        assert r.next_raw() == (1, [(1, 1, 1, "n", 0), (7, 4, 2, "n", 0), (1, 5, 3, "n", 0)])
        assert r.next_raw() == (2, [])

    def test_raw_rows_carry_every_value_form(self, rr):
        body = ('<row r="1"><c t="s"><v>1</v></c><c t="b"><v>1</v></c><c t="e"><v>#N/A</v></c>'
                '<c t="inlineStr"><is><t>in</t></is></c><c s="7"><v>61</v></c>'
                '<c t="str"><v>s</v></c><c><f>A1*2</f><v>3</v></c><c t="x"><v>9</v></c></row>')
        idx, cells = reader(rr, body).next_raw()
        assert [(c[2], c[3]) for c in cells] == [
            ("one", "s"), (True, "b"), ("#N/A", "e"), ("in", "s"),
            (datetime.datetime(1900, 3, 1), "d"), ("s", "s"), ("=A1*2", "f"), ("9", "x")]


    @pytest.mark.parametrize("master, r, member", [
        ("A1*2", "U4", "=B1*2"),                           # moved to where it stands
        ("A1*2", "$U$4", "=B1*2"),                         # the same from an odd r
        ("\u00e9t\u00e9+A1", "U4", "=\u00e9t\u00e9+A1"),  # host translator, no place
        ("\u00e9t\u00e9+A1", "$U$4", "=\u00e9t\u00e9+A1"),
    ])
    def test_shared_member_without_r(self, rr, master, r, member):
        body = (f'<row r="4"><c r="{r}"><f t="shared" ref="U4:V4" si="0">{master}</f>'
                '<v>1</v></c><c><f t="shared" si="0"/><v>2</v></c></row>')
        assert reader(rr, body).next_raw()[1][1] == (4, 22, member, "f", 0)


class TestSlots:
    def test_extra_none_slots_are_set(self, rr):
        r = reader(rr, '<row r="1"><c><v>1</v></c></row>')
        _, (cell,) = r.next_row("ws", 1, None, False, LinkedCell, None, ["_hyperlink"])
        assert type(cell) is LinkedCell and cell._hyperlink is None and cell.value == 1

    def test_unknown_extra_name(self, rr):
        r = reader(rr, '<row r="1"><c><v>1</v></c></row>')
        with pytest.raises(TypeError, match="^nope is not a slot$"):
            r.next_row("ws", 1, None, False, ReadOnlyCell, None, ["nope"])

    def test_class_change_rebinds(self, rr):
        r = reader(rr, '<row><c><v>1</v></c></row><row><c><v>2</v></c></row>'
                       '<row><c><v>3</v></c></row>')
        assert type(r.next_row("ws", 1, None, False, LinkedCell, None, ["_hyperlink"])[1][0]) \
            is LinkedCell
        second = r.next_row("ws", 1, None, False, ReadOnlyCell, None)[1][0]
        assert type(second) is ReadOnlyCell and second.value == 2
        third = r.next_row("ws", 1, None, False, LinkedCell, None, ["_hyperlink"])[1][0]
        assert third._hyperlink is None and third.value == 3

    def test_formula_and_value_cells(self, rr):
        body = '<row r="1"><c r="A1"><f>B1+1</f><v>5</v></c><c r="B1"><v>4</v></c></row>'
        r = reader(rr, body, formula_and_value=True, data_only=True)
        _, (a, b) = r.next_row("ws", 1, None, False, ReadOnlyFormulaCell, None)
        assert (a.value, a.data_type, a.formula, a.cached_value) == ("=B1+1", "f", "=B1+1", 5)
        assert (b.value, b.formula, b.cached_value) == (4, None, 4)

    def test_formula_and_value_needs_the_formula_slots(self, rr):
        r = reader(rr, '<row r="1"><c><v>1</v></c></row>', formula_and_value=True)
        with pytest.raises(TypeError, match="^formula is not a slot$"):
            r.next_row("ws", 1, None, False, ReadOnlyCell, None)


class TestStream:
    def test_actions_arrive_with_the_call_that_reached_them(self, rr):
        r = reader(rr, '<row r="1"/>', after='<pageMargins left="1"/>')
        actions = r.actions
        assert r.next_raw() == (1, [])
        assert actions == [] and r.actions is actions
        assert r.next_raw() is None
        assert [a[:2] for a in actions] == [("element", b'<pageMargins left="1"/>')]
        assert r.next_raw() is None and r.next_row("ws", 1, None, True, None, None) is None

    def test_date_warnings_are_actions(self, rr):
        r = reader(rr, '<row r="1"><c r="A1" s="7"><v>1e300</v></c></row>')
        assert r.next_row("ws", 1, None, True, ReadOnlyCell, None) == (1, ("#VALUE!",))
        assert [a[0] for a in r.actions] == ["warn"]

    @pytest.mark.parametrize("read_size", [1, 7])
    def test_small_reads(self, rr, read_size):
        body = "".join(f'<row r="{i}"><c r="B{i}" t="s"><v>{i % 5}</v></c></row>'
                       for i in range(1, 40))
        r = reader(rr, body, read_size)
        got = [r.next_row("ws", 1, None, True, ReadOnlyCell, None) for _ in range(40)]
        assert got[:39] == [(i, (None, Parser().shared_strings[i % 5])) for i in range(1, 40)]
        assert got[39] is None

    def test_host_errors_end_the_stream(self, rr):
        r = reader(rr, '<row r="1"><c t="s"><v>1</v></c></row>'
                       '<row r="2"><c t="s"><v>9</v></c></row><row r="3"/>')
        assert r.next_raw() == (1, [(1, 1, "one", "s", 0)])
        with pytest.raises(IndexError):
            r.next_raw()
        assert r.next_raw() is None

    def test_shared_strings_shrinking_between_rows(self, rr):
        parser = Parser()
        data = sheet('<row r="1"><c t="s"><v>4</v></c></row><row r="2"><c t="s"><v>4</v></c></row>')
        r = rr(ChunkSource(data), parser, reader_helpers())
        assert r.next_raw()[1][0][2] == "four"
        del parser.shared_strings[2:]
        with pytest.raises(IndexError):
            r.next_raw()


@pytest.mark.skipif(native is None, reason="engine not built")
class TestEngineOnly:
    def test_argument_errors(self):
        r = reader(native.RowReader, '<row r="1"/>')
        with pytest.raises(TypeError, match="min_col"):
            r.next_row("ws", "1", None, True, ReadOnlyCell, None)
        with pytest.raises(TypeError, match="max_col"):
            r.next_row("ws", 1, 2.0, True, ReadOnlyCell, None)
        with pytest.raises(TypeError, match="values_only"):
            r.next_row("ws", 1, None, 1, ReadOnlyCell, None)
        with pytest.raises(TypeError, match="extra_none"):
            r.next_row("ws", 1, None, False, ReadOnlyCell, None, "_hyperlink")
        with pytest.raises(TypeError, match="helpers"):
            native.RowReader(ChunkSource(b""), Parser(), [])
        # Refused arguments leave the stream where it was.
        assert r.next_row("ws", 1, None, True, ReadOnlyCell, None) == (1, ())

    def test_reentrant_use_is_refused(self):
        class Strings(list):
            def __getitem__(self, index):
                seen.append(pytest.raises(RuntimeError, match="Already borrowed"))
                with seen[-1]:
                    holder[0].next_raw()
                return list.__getitem__(self, index)

        seen, holder = [], [None]
        parser = Parser(shared_strings=Strings(["a", "b"]))
        data = sheet('<row r="1"><c t="s"><v>1</v></c></row>')
        r = holder[0] = native.RowReader(ChunkSource(data), parser, reader_helpers())
        # A list subclass is indexed through its own __getitem__.
        assert r.next_raw() == (1, [(1, 1, "b", "s", 0)])
        assert len(seen) == 1

    def test_engine_declines_with_native_fallback(self):
        doc = b'<?xml version="1.1"?><worksheet/>'
        with pytest.raises(native.NativeFallback):
            native.RowReader(ChunkSource(doc), Parser(), reader_helpers()).next_raw()

    @pytest.mark.parametrize("through", ["source", "shared_strings", "helper"])
    def test_reader_in_a_cycle_through_what_it_holds_is_collected(self, through):
        class Strings(list):
            pass

        class Source(ChunkSource):
            pass

        class Helper:
            def __call__(self, text):
                return int(text)

        source = Source(sheet('<row r="1"><c t="s"><v>0</v></c></row><row r="2"/>'), 7)
        parser = Parser(shared_strings=Strings(["a"]))
        helpers = reader_helpers()
        helpers["int"] = Helper()
        r = native.RowReader(source, parser, helpers)
        assert r.next_raw() == (1, [(1, 1, "a", "s", 0)])  # mid-document: its state is alive
        target = {"source": source, "shared_strings": parser.shared_strings,
                  "helper": helpers["int"]}[through]
        target.reader = r
        gone = weakref.ref(target)
        del r, source, parser, helpers, target
        gc.collect()
        assert gone() is None

    def test_reader_in_a_cycle_is_collected(self):
        parser = Parser()
        r = native.RowReader(ChunkSource(sheet('<row r="1"/>')), parser, reader_helpers())
        parser.reader = r
        r.next_raw()
        gone = weakref.ref(parser)
        del r, parser
        gc.collect()
        assert gone() is None
