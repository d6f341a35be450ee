"""Tables handed to pyarrow, pandas and polars through the PyCapsule
interface, many workbooks read on threads, and write_table round trips
through independent readers."""

import datetime
import gc
import io
import threading
import zipfile

import pytest

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")

import tavrinex  # noqa: E402
from tavrinex import _native  # noqa: E402

from soffice import SOFFICE, csv_rows  # noqa: E402
from test_table import mixed_book  # noqa: E402

ENGINES = [None] + ([_native.native] if _native.native is not None else [])
D = datetime.datetime


@pytest.fixture(scope="module")
def mixed(tmp_path_factory):
    return mixed_book(tmp_path_factory.mktemp("io") / "mixed.xlsx")


def test_the_capsule_feeds_pyarrow_pandas_and_polars(mixed):
    table = tavrinex.read_table(mixed)
    values = table.to_pydict()
    arrow = table.to_arrow()
    assert arrow.to_pydict() == values
    assert arrow.schema.field("day").type == pa.date32()
    assert arrow.schema.field("span").type == pa.duration("us")
    # frames from the capsule equal frames built from the values
    frame = table.to_pandas()
    pd.testing.assert_frame_equal(frame, pa.table(values, schema=arrow.schema)
                                  .to_pandas(date_as_object=False))
    assert frame["day"].dtype.kind == "M"
    assert table.to_polars().equals(pl.DataFrame(values, schema=pl.from_arrow(arrow).schema))
    assert pl.DataFrame(table).shape == (table.num_rows, table.num_columns)


def test_columns_share_the_shared_strings_buffer(tmp_path):
    import xlsxwriter
    path = tmp_path / "shared.xlsx"
    wb = xlsxwriter.Workbook(str(path))
    ws = wb.add_worksheet()
    ws.write_row(0, 0, ["a", "b"])
    for r in range(1, 50):
        ws.write_row(r, 0, [f"a long enough text, number {r}", f"another long text {r % 7}"])
    wb.close()
    table = tavrinex.read_table(path)
    if table.reader_path != "engine":
        pytest.skip("the engine is not built")
    arrow = table.to_arrow()
    a, b = (arrow.column(j).chunks[0] for j in range(2))
    assert a.type == pa.string_view()
    # one data buffer (the shared strings) behind both columns
    assert a.buffers()[2].address == b.buffers()[2].address
    dictionary = tavrinex.read_table(path, strings="dictionary").to_arrow()
    da, db = (dictionary.column(j).chunks[0] for j in range(2))
    assert da.dictionary.buffers()[2].address == db.dictionary.buffers()[2].address
    assert da.to_pylist() == a.to_pylist()


def test_arrays_outlive_the_table(mixed):
    table = tavrinex.read_table(mixed)
    expected = table.to_pydict()
    capsule = table.__arrow_c_stream__()
    arrow = pa.table(table)
    frame = table.to_polars()
    del table
    gc.collect()
    assert arrow.to_pydict() == expected
    assert frame.to_dict(as_series=False)["text"] == expected["text"]
    assert pa.RecordBatchReader._import_from_c_capsule(capsule).read_all().to_pydict() == expected


def test_requested_schema_other_than_its_own_is_refused(mixed):
    table = tavrinex.read_table(mixed)
    if table.reader_path == "engine":
        with pytest.raises(NotImplementedError):
            table.__arrow_c_stream__(table.__arrow_c_schema__())


# -- many workbooks

class _Failing(io.RawIOBase):
    """A file whose reads fail part way."""

    def __init__(self, data):
        self._data = io.BytesIO(data)
        self._reads = 0

    def readable(self):
        return True

    def seekable(self):
        return True

    def seek(self, offset, whence=0):
        return self._data.seek(offset, whence)

    def tell(self):
        return self._data.tell()

    def readinto(self, b):
        self._reads += 1
        if self._reads > 6:
            raise OSError("the disk went away")
        return self._data.readinto(b)


def test_read_tables_in_order_with_the_first_failure(mixed, tmp_path):
    data = mixed.read_bytes()
    one = tavrinex.read_table(mixed).to_pydict()
    tables = tavrinex.read_tables([mixed, data, io.BytesIO(data), str(mixed)], threads=3)
    assert [t.to_pydict() for t in tables] == [one] * 4
    bad = tmp_path / "bad.xlsx"
    bad.write_bytes(b"not a zip")
    with pytest.raises(tavrinex.InvalidFileError, match="bad.xlsx"):
        tavrinex.read_tables([mixed, bad, mixed, bad], threads=2)
    with pytest.raises(tavrinex.BrokenPartError, match="the disk went away"):
        tavrinex.read_tables([mixed, _Failing(data)], threads=2)
    with pytest.raises(ValueError, match="threads must be 1 or more"):
        tavrinex.read_tables([mixed], threads=0)


def test_threads_reading_at_once_agree(mixed):
    expected = tavrinex.read_table(mixed).to_pydict()
    got = [None] * 4
    barrier = threading.Barrier(4)

    def run(i):
        barrier.wait()
        got[i] = tavrinex.read_table(mixed).to_pydict()

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == [expected] * 4


# -- write_table

def arrow_sample():
    n = 40
    return pa.table({
        "int": pa.array([i * 3 - 50 if i % 7 else None for i in range(n)], pa.int64()),
        "small": pa.array([i % 100 for i in range(n)], pa.uint8()),
        "float": pa.array([i / 3 - 3.5 for i in range(n)]),   # every digit kept
        "text": pa.array([f"row {i} & <more>" if i % 5 else " spaced " for i in range(n)]),
        "view": pa.array([f"v{i % 3}" for i in range(n)], pa.string_view()),
        "cat": pa.array([["x", "y"][i % 2] for i in range(n)]).dictionary_encode(),
        "flag": pa.array([i % 2 == 0 for i in range(n)]),
        "day": pa.array([datetime.date(2024, 2, 1) + datetime.timedelta(days=i)
                         for i in range(n)]),
        "moment": pa.array([D(2024, 1, 1, 6) + datetime.timedelta(minutes=97 * i)
                            for i in range(n)], pa.timestamp("ms")),
        "clock": pa.array([datetime.time(i % 24, 30) for i in range(n)], pa.time64("us")),
        "took": pa.array([datetime.timedelta(seconds=61 * i) for i in range(n)],
                         pa.duration("s")),
        "nothing": pa.nulls(n),
    })


@pytest.mark.parametrize("engine", ENGINES, ids=["python", "engine"][:len(ENGINES)])
def test_write_table_round_trip(tmp_path, engine):
    data = arrow_sample()
    path = tmp_path / "out.xlsx"
    tavrinex.write_table(data, path, "Data", engine=engine)
    table = tavrinex.read_table(path)
    assert table.schema == {"int": "int", "small": "int", "float": "float", "text": "string",
                            "view": "string", "cat": "string", "flag": "boolean",
                            "day": "date", "moment": "datetime", "clock": "time",
                            "took": "duration", "nothing": "null"}
    got = table.to_pydict()
    want = data.to_pydict()
    for name in got:
        assert got[name] == want[name], name
    ws = tavrinex.load_workbook(path)["Data"]
    assert ws["H2"].number_format == "yyyy-mm-dd" and ws["I2"].number_format.startswith("yyyy")
    longest = max(len(t) for t in data["text"].to_pylist())
    assert ws.column_dimensions["D"]["width"] == str(longest + 2)


def test_write_table_engine_and_python_write_the_same_parts(tmp_path):
    if _native.native is None:
        pytest.skip("the engine is not built")
    data = arrow_sample()
    parts = []
    for engine in (_native.native, None):
        out = io.BytesIO()
        tavrinex.write_table(data, out, table_style="TableStyleMedium2", engine=engine)
        with zipfile.ZipFile(out) as z:
            parts.append({name: z.read(name) for name in z.namelist()})
    assert parts[0] == parts[1]


def test_write_table_inputs_and_refusals(tmp_path):
    frame = pd.DataFrame({"a": [1, 2, 3], "b": ["x", "y", None]}, index=[7, 8, 9])
    tavrinex.write_table(frame, tmp_path / "pd.xlsx")
    assert tavrinex.read_table(tmp_path / "pd.xlsx").to_pydict() == {"a": [1, 2, 3],
                                                                    "b": ["x", "y", None]}
    tavrinex.write_table(pl.DataFrame({"n": [1.5, None]}), tmp_path / "pl.xlsx", header=False)
    assert tavrinex.read_table(tmp_path / "pl.xlsx", header_row=None).to_pydict() == {
        "column_1": [1.5]}
    table = tavrinex.read_table(tmp_path / "pd.xlsx")
    tavrinex.write_table(table, tmp_path / "again.xlsx")   # a Table writes itself
    assert tavrinex.read_table(tmp_path / "again.xlsx").to_pydict() == table.to_pydict()
    with pytest.raises(TypeError, match="column 'l' has the Arrow type of format '\\+l'"):
        tavrinex.write_table(pa.table({"l": [[1], [2]]}), tmp_path / "list.xlsx")
    with pytest.raises(TypeError, match="not list"):
        tavrinex.write_table([[1, 2]], tmp_path / "rows.xlsx")
    with pytest.raises(ValueError, match="distinct, non-empty column names"):
        tavrinex.write_table(pa.table({"a": [1], "A": [2]}), tmp_path / "t.xlsx",
                             table_style="TableStyleLight1")
    with pytest.raises(ValueError):
        tavrinex.write_table(frame, tmp_path / "t.xlsx", "bad/title")
    assert not (tmp_path / "list.xlsx").exists() and not (tmp_path / "t.xlsx").exists()


def test_written_tables_read_by_independent_programs(tmp_path):
    """python-calamine reads the values; LibreOffice opens the Excel table
    and shows the values."""
    from python_calamine import CalamineWorkbook
    # (a cell after a gap carries its reference; the others go without)
    data = pa.table({"name": ["lamp", "desk", "pen"], "units": [2, None, 10],
                     "price": [9.5, 120.0, None],
                     "sold": [datetime.date(2024, 3, d) for d in (1, 2, 3)]})
    path = tmp_path / "sales.xlsx"
    tavrinex.write_table(data, path, "Sales", table_style="TableStyleMedium9")
    rows = CalamineWorkbook.from_path(str(path)).get_sheet_by_name("Sales").to_python()
    assert rows[0] == ["name", "units", "price", "sold"]
    assert rows[1][:3] == ["lamp", 2.0, 9.5] and rows[3][3] == datetime.date(2024, 3, 3)
    assert rows[2] == ["desk", "", 120.0, datetime.date(2024, 3, 2)]
    import fastexcel
    assert fastexcel.read_excel(str(path)).load_sheet("Sales").to_arrow().to_pydict()[
        "price"] == [9.5, 120.0, None]
    assert tavrinex.read_table(path, "Table1").to_pydict() == data.to_pydict()
    if SOFFICE is None:
        pytest.skip("LibreOffice is not installed")
    shown = csv_rows(path, tmp_path)
    assert shown[0] == ["name", "units", "price", "sold"]
    assert shown[2] == ["desk", "", "120", "2024-03-02"]
    assert shown[3] == ["pen", "10", "", "2024-03-03"]


def test_tables_without_the_engine_give_the_same_arrow(mixed, monkeypatch):
    packed = {mode: pa.table(tavrinex.read_table(mixed, strings=mode, engine=None))
              for mode in ("view", "dictionary", "plain")}
    monkeypatch.setattr(_native, "native", None)   # a pure-Python installation
    for mode, expected in packed.items():
        table = tavrinex.read_table(mixed, strings=mode)
        assert table.reader_path == "python"
        got = pa.table(table)
        assert got.schema == expected.schema and got.to_pydict() == expected.to_pydict()
        assert pa.record_batch(table).num_rows == table.num_rows


def test_the_sheet_is_read_without_the_interpreter_lock(tmp_path):
    """While the engine reads a sheet (from bytes in memory, so that no
    Python code runs in between), a Python thread keeps counting."""
    if _native.native is None:
        pytest.skip("the engine is not built")
    from tavrinex.data.book import Book
    from tavrinex.data.options import make_options
    from tavrinex.data.read import _native_strings
    from tavrinex.helpers import reader_helpers
    from tavrinex.reader.worksheet import WorksheetParser

    n = 200_000
    out = io.BytesIO()
    tavrinex.write_table(pa.table({"a": range(n), "b": [i / 7 for i in range(n)],
                                   "c": [f"s{i % 50}" for i in range(n)]}), out)
    native = _native.native
    with Book(out.getvalue()) as book:
        strings = _native_strings(book, native)
        with book.archive.open(book.sheets[0].part) as part:
            source = io.BytesIO(part.read())
        reader = native.sheet_table(source, WorksheetParser([], data_only=True),
                                    reader_helpers(), strings, (), make_options().plan(), None)
        counted = [0]
        running = threading.Event()
        done = threading.Event()

        def count():
            running.set()
            while not done.is_set():
                counted[0] += 1

        counter = threading.Thread(target=count)
        counter.start()
        running.wait()
        before = counted[0]
        reader.parse()
        during = counted[0] - before
        done.set()
        counter.join()
        names, _ = reader.lay_out(None)
        table = reader.build([0, 1, 2], [None] * 3, 1000, False, "view")
    assert names == ["a", "b", "c"] and table.num_rows == n
    assert during > 1000
