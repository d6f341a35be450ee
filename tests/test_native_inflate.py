"""Members inflated on a native thread while the reader parses: the same
bytes, the same errors at the same reads as the inflating stream written in
Python, and no thread, descriptor or hang left behind however the reader
stops."""

import gc
import io
import os
import random
import struct
import subprocess
import sys
import threading
import zipfile

import pytest

import tavrinex
from tavrinex.errors import BrokenPartError, ZipBombError
from tavrinex.reader import excel
from tavrinex.reader.excel import Archive, Inflating, NativeInflating

from xlsx_files import minimal_parts, package, payload, understated_sheet_package

_inflate = pytest.importorskip("tavrinex._inflate")

BIG = 3_000_000   # several of the thread's chunks


def _zip(path, data, name="p.xml"):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zf:
        zf.writestr(name, data)
    return path


def _central(raw, name=b"p.xml"):
    at = bytes(raw).find(b"PK\x01\x02")
    assert raw[at + 46:at + 46 + len(name)] == name
    return at


def _spec(path, name="p.xml"):
    """The arguments of a native reader over member `name` of `path`."""
    raw = path.read_bytes()
    info = zipfile.ZipFile(io.BytesIO(raw)).getinfo(name)
    name_len, extra_len = struct.unpack_from("<HH", raw, info.header_offset + 26)
    offset = info.header_offset + 30 + name_len + extra_len
    return dict(path=str(path), offset=offset, compressed_size=info.compress_size, method=8,
                expected_size=info.file_size, crc=info.CRC, limit=1 << 40)


def _threads():
    # the interpreter's threads and the inflaters, which Python does not see
    return len(os.listdir("/proc/self/task"))


def _fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.fixture
def native(monkeypatch):
    """Archives opened in the test inflate on the native thread."""
    monkeypatch.setattr(excel, "native_inflate_enabled", lambda: True)
    monkeypatch.delenv(excel.NATIVE_INFLATE_ENV, raising=False)


def _outcome(path, sizes, native):
    """What reading member p.xml of `path` in reads of `sizes` (the last
    repeated to the end) gives: the bytes, or the error with its cause, and
    how many reads succeeded before it."""
    old = os.environ.get(excel.NATIVE_INFLATE_ENV)
    os.environ[excel.NATIVE_INFLATE_ENV] = "1" if native else "0"
    try:
        archive = Archive(path)
    finally:
        if old is None:
            del os.environ[excel.NATIVE_INFLATE_ENV]
        else:
            os.environ[excel.NATIVE_INFLATE_ENV] = old
    assert archive._native == native
    chunks = []
    try:
        with archive.open("p.xml") as member:
            assert isinstance(member._raw, NativeInflating if archive._native else Inflating)
            for i in range(1 << 30):
                chunk = member.read(sizes[min(i, len(sizes) - 1)])
                if not chunk:
                    return b"".join(chunks)
                chunks.append(chunk)
    except Exception as exc:   # compared below, whatever it is
        cause = exc.__cause__
        return (type(exc), str(exc), type(cause), str(cause), len(chunks))
    finally:
        archive.close()


@pytest.fixture(autouse=True)
def every_size(monkeypatch):
    # members of any size take the native inflater in these tests
    monkeypatch.setattr(excel, "NATIVE_MIN_SIZE", 0)


def _same_on_both(path, sizes=(65536,)):
    if _inflate.library != "isa-l":
        pytest.skip("archives take the native inflater only when it is built with ISA-L")
    threads = _threads()
    got = _outcome(path, list(sizes), True)
    assert got == _outcome(path, list(sizes), False)
    assert _threads() == threads
    return got


# -- the bytes

@pytest.mark.parametrize("size", [0, 1, 65536, 262_144, 262_145, BIG])
def test_bytes_as_zipfile_gives_them(tmp_path, size):
    data = payload(size, seed=size)
    path = _zip(tmp_path / "a.zip", data)
    assert _same_on_both(path) == data
    assert _same_on_both(path, [1, 7, 65536, 1 << 20]) == data


@pytest.mark.parametrize("size", [1, 7, 65536, -1])
def test_every_read_size(tmp_path, size):
    data = payload(700_001, seed=5)
    path = _zip(tmp_path / "a.zip", data)
    with _inflate.Reader(**_spec(path)) as reader:
        got = []
        while chunk := reader.read(size):
            assert size < 0 or len(chunk) == size or reader.tell() == len(data)
            got.append(chunk)
        assert b"".join(got) == data
        assert reader.read(size) == b"" and reader.read(0) == b""
        assert reader.tell() == len(data)
    assert reader.closed


def test_readinto(tmp_path):
    data = payload(600_000, seed=6)
    path = _zip(tmp_path / "a.zip", data)
    with _inflate.Reader(**_spec(path)) as reader:
        buffer = bytearray(100_003)
        got = bytearray()
        while n := reader.readinto(buffer):
            got += buffer[:n]
        assert got == data
        assert reader.readinto(bytearray(0)) == 0
        with pytest.raises(TypeError):
            reader.readinto(b"read-only")
    with pytest.raises(ValueError, match="closed"):
        reader.readinto(buffer)


def test_seek_restarts_and_skips(tmp_path, native):
    data = payload(BIG, seed=7)
    path = _zip(tmp_path / "a.zip", data)
    with Archive(path) as archive, archive.open("p.xml") as member:
        assert isinstance(member._raw, NativeInflating)
        assert member.read(1000) == data[:1000]
        assert member.seek(2_000_000) == 2_000_000
        assert member.read(10) == data[2_000_000:2_000_010]
        assert member.seek(-500, io.SEEK_CUR) == 1_999_510
        assert member.read(5) == data[1_999_510:1_999_515]
        assert member.seek(-10, io.SEEK_END) == len(data) - 10
        assert member.read() == data[-10:]
        assert member.seek(0) == 0 and member.read(3) == data[:3]


def test_small_members_stay_in_the_reading_thread(tmp_path, native, monkeypatch):
    monkeypatch.setattr(excel, "NATIVE_MIN_SIZE", 1 << 20)
    small, large = payload((1 << 20) - 1, seed=1), payload(1 << 20, seed=2)
    path = tmp_path / "two.zip"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zf:
        zf.writestr("small.xml", small)
        zf.writestr("large.xml", large)
    for switch, small_kind in (("1", Inflating), ("all", NativeInflating)):
        monkeypatch.setenv(excel.NATIVE_INFLATE_ENV, switch)
        with Archive(path) as archive:
            with archive.open("small.xml") as a, archive.open("large.xml") as b:
                assert isinstance(a._raw, small_kind) and isinstance(b._raw, NativeInflating)
                assert a.read() == small and b.read() == large


def test_whole_workbooks_same_on_both(tmp_path):
    import xlsxwriter
    path = tmp_path / "w.xlsx"
    wb = xlsxwriter.Workbook(str(path))
    rnd = random.Random(11)
    for name in ("A", "B"):
        ws = wb.add_worksheet(name)
        for r in range(12_000):
            ws.write_row(r, 0, [rnd.random() * 1e6, f"text {rnd.randrange(9000)} of {name}", r,
                                r % 3 == 0, f"note {r}"])
    wb.close()

    def both(native):
        os.environ[excel.NATIVE_INFLATE_ENV] = "1" if native else "0"
        try:
            full = tavrinex.load_workbook(path)
            lazy = tavrinex.load_workbook(path, read_only=True)
            return ([list(ws.iter_rows(values_only=True)) for ws in full.worksheets],
                    [list(ws.iter_rows(values_only=True)) for ws in lazy.worksheets])
        finally:
            del os.environ[excel.NATIVE_INFLATE_ENV]

    on, off = both(True), both(False)
    assert on == off
    assert on[0] == on[1]
    assert on[0][1][5][2] == 5 and on[0][1][5][4] == "note 5"


# -- damage found by the thread, reported on the reading thread

def _damaged(tmp_path, edit, size=BIG):
    data = payload(size, seed=9)
    raw = bytearray(_zip(tmp_path / "ok.zip", data).read_bytes())
    info = zipfile.ZipFile(io.BytesIO(bytes(raw))).getinfo("p.xml")
    edit(raw, info)
    path = tmp_path / "bad.zip"
    path.write_bytes(bytes(raw))
    return path


def _data_offset(raw, info):
    name_len, extra_len = struct.unpack_from("<HH", raw, info.header_offset + 26)
    return info.header_offset + 30 + name_len + extra_len


@pytest.mark.parametrize("sizes", [(65536,), (1 << 20,), (7, 300_000)])
def test_corrupt_data_mid_member(tmp_path, sizes):
    def edit(raw, info):
        at = _data_offset(raw, info) + info.compress_size // 2
        raw[at:at + 300] = bytes(range(256)) + bytes(44)
    got = _same_on_both(_damaged(tmp_path, edit), sizes)
    assert got[0] is BrokenPartError and "damaged in the archive" in got[1]
    assert got[4] >= 1   # the bytes before the damage were handed out first


def test_bad_crc_on_the_read_that_reaches_the_end(tmp_path):
    def edit(raw, info):
        struct.pack_into("<I", raw, _central(raw) + 16, info.CRC ^ 1)
    path = _damaged(tmp_path, edit)
    for sizes in [(65536,), (BIG,), (BIG - 1,), (-1,)]:
        got = _same_on_both(path, sizes)
        assert got[0] is BrokenPartError and got[2] is zipfile.BadZipFile
        assert got[1].endswith("p.xml: damaged in the archive (Bad CRC-32 for file 'p.xml')")
        # raised by the read that reaches the end (members read at most 1 MiB
        # at a time), not by the one after it
        step = min(sizes[0], 1 << 20)
        assert got[4] == (-(-BIG // step) - 1 if step > 0 else 0), sizes


def test_more_than_declared_stops_mid_member(tmp_path):
    def edit(raw, info):
        struct.pack_into("<I", raw, _central(raw) + 24, 1_000_000)
    got = _same_on_both(_damaged(tmp_path, edit))
    assert got[3] == "inflates past the 1000000 bytes of the directory"
    assert got[4] == 1_000_000 // 65536


def test_less_than_declared(tmp_path):
    def edit(raw, info):
        struct.pack_into("<I", raw, _central(raw) + 24, BIG + 5)
    got = _same_on_both(_damaged(tmp_path, edit))
    assert got[3] == f"inflates to {BIG} bytes, not the {BIG + 5} of the directory"


def test_compressed_data_cut_short(tmp_path):
    def edit(raw, info):
        struct.pack_into("<I", raw, _central(raw) + 20, info.compress_size // 2)
    got = _same_on_both(_damaged(tmp_path, edit))
    assert got[2] is EOFError and "end-of-stream" in got[3]


def test_understated_worksheet_fails_alike(tmp_path, monkeypatch):
    monkeypatch.setattr(excel, "MIN_LIMIT", 1 << 16)
    path = tmp_path / "bomb.xlsx"
    path.write_bytes(understated_sheet_package())
    errors = []
    for switch in ("1", "0"):
        monkeypatch.setenv(excel.NATIVE_INFLATE_ENV, switch)
        with pytest.raises(BrokenPartError) as caught:
            tavrinex.load_workbook(path)
        errors.append((str(caught.value), str(caught.value.__cause__)))
    assert errors[0] == errors[1]
    assert "past the 100 bytes" in errors[0][0]


def test_limit_enforced_by_the_thread(tmp_path):
    data = payload(BIG, seed=4)
    path = _zip(tmp_path / "a.zip", data)
    spec = _spec(path) | {"limit": 500_000}
    reader = _inflate.Reader(**spec)
    assert reader.read(400_000) == data[:400_000]
    with pytest.raises(_inflate.InflateError) as caught:
        reader.read(200_000)
    assert caught.value.args[0] == "over_limit"
    reader.close()
    # the archive's member turns it into the zip-bomb error
    info = zipfile.ZipFile(path).getinfo("p.xml")
    member = NativeInflating(str(path), info, 500_000, "a.zip", "p.xml")
    with pytest.raises(ZipBombError, match="inflates past 500000 bytes"):
        member.read(1 << 20)
    member.close()


def test_source_truncated_after_open(tmp_path, native):
    data = payload(BIG, seed=8)
    path = _zip(tmp_path / "a.zip", data)
    size = path.stat().st_size
    with Archive(path) as archive, archive.open("p.xml") as member:
        assert member.read(10) == data[:10]
        os.truncate(path, size // 3)
        with pytest.raises(BrokenPartError) as caught:
            while member.read(65536):
                pass
    assert isinstance(caught.value.__cause__, EOFError)
    assert str(caught.value.__cause__) in ("the archive ends inside the member",
                                           "Compressed file ended before the end-of-stream "
                                           "marker was reached")


def test_source_removed_after_open_still_reads(tmp_path, native):
    data = payload(BIG, seed=10)
    path = _zip(tmp_path / "a.zip", data)
    with Archive(path) as archive, archive.open("p.xml") as member:
        path.unlink()
        assert member.read() == data


def test_source_that_cannot_be_read(tmp_path):
    spec = _spec(_zip(tmp_path / "a.zip", b"x" * 1000)) | {"path": str(tmp_path)}
    with _inflate.Reader(**spec) as reader, pytest.raises(IsADirectoryError):
        reader.read(10)
    with pytest.raises(FileNotFoundError):
        _inflate.Reader(**spec | {"path": str(tmp_path / "missing.zip")})


def test_bad_arguments(tmp_path):
    spec = _spec(_zip(tmp_path / "a.zip", b"x" * 1000))
    for key, value, error in [("method", 0, ValueError), ("crc", 1 << 32, ValueError),
                              ("offset", -1, ValueError), ("limit", "9", ValueError),
                              ("path", "a\0b", ValueError)]:
        with pytest.raises(error):
            _inflate.Reader(**spec | {key: value})


# -- stopping early leaves nothing behind

def test_early_close_after_one_read(tmp_path):
    path = _zip(tmp_path / "a.zip", payload(BIG, seed=12))
    gc.collect()
    threads, fds = _threads(), _fds()
    reader = _inflate.Reader(**_spec(path))
    assert _threads() == threads + 1 and _fds() == fds + 1
    assert len(reader.read(1)) == 1
    reader.close()
    assert reader.closed and _threads() == threads and _fds() == fds
    reader.close()
    with pytest.raises(ValueError, match="closed"):
        reader.read(1)
    with pytest.raises(ValueError, match="closed"):
        reader.__enter__()


def test_dropped_without_close_joins(tmp_path):
    path = _zip(tmp_path / "a.zip", payload(BIG, seed=13))
    gc.collect()
    threads, fds = _threads(), _fds()
    readers = [_inflate.Reader(**_spec(path)) for _ in range(5)]
    readers[0].read(100)
    del readers
    gc.collect()
    assert _threads() == threads and _fds() == fds


def test_many_members_opened_and_closed(tmp_path, native):
    members = {f"m{i}.xml": payload(300_000, seed=i) for i in range(4)}
    path = tmp_path / "many.zip"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zf:
        for name, data in members.items():
            zf.writestr(name, data)
    gc.collect()
    threads, fds = _threads(), _fds()
    with Archive(path) as archive:
        for i in range(200):
            name = f"m{i % 4}.xml"
            with archive.open(name) as member:
                got = member.read(7 * i + 1)
            assert got == members[name][:7 * i + 1]
    assert _threads() == threads and _fds() == fds


def test_parser_failing_mid_part_leaves_no_thread(tmp_path, native):
    rows = "".join(f'<row r="{r}"><c r="A{r}"><v>{r}</v></c></row>' for r in range(1, 60_000))
    parts = minimal_parts(rows + '<row r="60000"><c r="A60000"><v>1</v></c><broken</row>')
    path = tmp_path / "broken.xlsx"
    path.write_bytes(package(parts))
    gc.collect()
    threads, fds = _threads(), _fds()
    for read_only in (False, True):
        book = None
        with pytest.raises(BrokenPartError) as caught:
            book = tavrinex.load_workbook(path, read_only=read_only)
            for _ in book.worksheets[0].iter_rows(values_only=True):
                pass
        assert caught.value.part == "xl/worksheets/sheet1.xml"
        del caught, book
        gc.collect()
        assert _threads() == threads and _fds() == fds


def test_closed_from_another_thread_while_reading(tmp_path):
    path = _zip(tmp_path / "a.zip", payload(BIG, seed=14))
    threads = _threads()
    reader = _inflate.Reader(**_spec(path))
    outcomes = []

    def consume():
        try:
            while reader.read(65536):
                pass
            outcomes.append("end")
        except ValueError as exc:
            outcomes.append(str(exc))

    worker = threading.Thread(target=consume)
    worker.start()
    reader.close()
    worker.join(timeout=30)
    assert not worker.is_alive()
    assert outcomes in (["end"], ["I/O operation on closed file."])
    assert _threads() == threads


# -- the inflater's own C++ tests, plain and under ThreadSanitizer

@pytest.mark.parametrize("name", ["inflate_tests", "inflate_tests_tsan"])
def test_native_program(name):
    native = os.environ.get("TAVRINEX_NATIVE_DIR")
    if not native:
        pytest.skip("TAVRINEX_NATIVE_DIR is not set: no build tree to run from")
    program = os.path.join(os.path.dirname(native), "native-tests", name)
    if name.endswith("_tsan") and not os.path.exists(program):
        pytest.skip("not built beside a sanitizer build")
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    done = subprocess.run([program], capture_output=True, text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    assert " 0 failed" in done.stdout and "ThreadSanitizer" not in done.stderr


def test_interpreter_exits_with_readers_open(tmp_path):
    path = _zip(tmp_path / "a.zip", payload(BIG, seed=15))
    script = (
        "import sys\n"
        "from tavrinex import _inflate\n"
        f"spec = {_spec(path)!r}\n"
        "readers = [_inflate.Reader(**spec) for _ in range(3)]\n"
        "readers[0].read(1)\n"
        "sys.modules['__main__'].kept = readers\n"
        "print('open')\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "open\n"
