"""Members of a workbook on disk inflated through their own handles, by the
faster library when installed and by zlib when it is not: the same bytes
as zipfile gives, in any read pattern, and damage reported as the
package's errors."""

import io
import random
import struct
import zipfile

import pytest
from hypothesis import given, strategies as st

import tavrinex
from tavrinex.errors import BrokenPartError, InvalidFileError, ZipBombError
from tavrinex.reader import excel
from tavrinex.reader.excel import Archive, Inflating

from xlsx_files import payload, understated_sheet_package

INFLATERS = [pytest.param("fast", id="fast"), pytest.param("zlib", id="zlib")]


@pytest.fixture(autouse=True)
def python_inflating(monkeypatch):
    # these cover the inflating stream written in Python; test_native_inflate.py
    # holds the native thread to the same results
    monkeypatch.setenv(excel.NATIVE_INFLATE_ENV, "0")


@pytest.fixture(params=INFLATERS)
def inflater(request, monkeypatch):
    if request.param == "fast":
        if excel._fast_zlib is None:
            pytest.skip("no faster inflate library installed")
    else:
        monkeypatch.setattr(excel, "_fast_zlib", None)
    return request.param


def _zip(path, members, method=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(path, "w", method) as zf:
        for name, data in members.items():
            zf.writestr(name, data)
    return path


def _data_offset(data, info):
    name_len, extra_len = struct.unpack_from("<HH", data, info.header_offset + 26)
    return info.header_offset + 30 + name_len + extra_len


def test_module_follows_installation(inflater):
    assert excel.inflater_name() == ("isal" if inflater == "fast" else "zlib")
    assert hasattr(excel.inflater().decompressobj(-15), "unconsumed_tail")


@pytest.mark.parametrize("size", [0, 1, 65535, 65536, 300_001, 3_000_000])
def test_members_read_as_zipfile_reads_them(tmp_path, inflater, size):
    data = payload(size, seed=size)
    path = _zip(tmp_path / "a.zip", {"p.xml": data})
    archive = Archive(path)
    with archive.open("p.xml") as member:
        assert isinstance(member._raw, Inflating)
        assert member.read() == data
        assert member.read(10) == b""
        assert member.tell() == size
    archive.close()


@given(sizes=st.lists(st.integers(0, 200_000), min_size=1, max_size=30),
       seeks=st.lists(st.integers(0, 600_000), max_size=4))
def test_any_read_and_seek_pattern(tmp_path_factory, sizes, seeks):
    data = payload(500_000, seed=3)
    path = tmp_path_factory.getbasetemp() / "pattern.zip"
    if not path.exists():
        _zip(path, {"p.xml": data})
    with Archive(path) as archive, archive.open("p.xml") as member:
        pos = 0
        for i, size in enumerate(sizes):
            chunk = member.read(size)
            assert chunk == data[pos:pos + size]
            pos += len(chunk)
            if i < len(seeks):
                pos = min(seeks[i], len(data))
                assert member.seek(seeks[i]) == pos
    # seeking relative to the current position and to the end
    with Archive(path) as archive, archive.open("p.xml") as member:
        member.read(1000)
        assert member.seek(-500, io.SEEK_CUR) == 500
        assert member.read(5) == data[500:505]
        assert member.seek(-10, io.SEEK_END) == len(data) - 10
        assert member.read() == data[-10:]


def test_file_objects_and_stored_members_go_through_zipfile(tmp_path, inflater):
    data = payload(100_000)
    path = _zip(tmp_path / "s.zip", {"p.xml": data}, zipfile.ZIP_STORED)
    with Archive(path) as archive, archive.open("p.xml") as member:
        assert not isinstance(member._raw, Inflating)
        assert member.read() == data
    deflated = _zip(tmp_path / "d.zip", {"p.xml": data})
    with open(deflated, "rb") as f:
        with Archive(f) as archive, archive.open("p.xml") as member:
            assert not isinstance(member._raw, Inflating)
            assert member.read() == data


def test_two_members_open_at_once(tmp_path, inflater):
    a, b = payload(200_000, 1), payload(200_000, 2)
    path = _zip(tmp_path / "two.zip", {"a.xml": a, "b.xml": b})
    with Archive(path) as archive:
        ma, mb = archive.open("a.xml"), archive.open("b.xml")
        got_a, got_b = [], []
        while True:
            ca, cb = ma.read(7000), mb.read(9000)
            if not ca and not cb:
                break
            got_a.append(ca)
            got_b.append(cb)
        ma.close()
        mb.close()
        assert ma.closed and mb.closed
    assert b"".join(got_a) == a and b"".join(got_b) == b


def _damaged(tmp_path, edit, size=200_000):
    data = payload(size, seed=9)
    raw = bytearray(_zip(tmp_path / "ok.zip", {"p.xml": data}).read_bytes())
    info = zipfile.ZipFile(io.BytesIO(bytes(raw))).getinfo("p.xml")
    edit(raw, info)
    path = tmp_path / "bad.zip"
    path.write_bytes(bytes(raw))
    return path


def _central_offset(raw, name=b"p.xml"):
    at = bytes(raw).find(b"PK\x01\x02")
    assert raw[at + 46:at + 46 + len(name)] == name
    return at


def _read_fails(path, error=BrokenPartError):
    with Archive(path) as archive:
        with pytest.raises(error) as caught:
            with archive.open("p.xml") as member:
                while member.read(65536):
                    pass
    assert caught.value.part == "p.xml"
    return caught.value


def test_wrong_crc(tmp_path, inflater):
    def edit(raw, info):
        struct.pack_into("<I", raw, _central_offset(raw) + 16, info.CRC ^ 1)
    assert "CRC" in str(_read_fails(_damaged(tmp_path, edit)))


def test_damaged_stream(tmp_path, inflater):
    def edit(raw, info):
        at = _data_offset(raw, info) + info.compress_size // 3
        raw[at:at + 200] = bytes(range(200))
    _read_fails(_damaged(tmp_path, edit))


def test_stream_cut_short(tmp_path, inflater):
    def edit(raw, info):
        # the directory says the compressed data ends halfway
        struct.pack_into("<I", raw, _central_offset(raw) + 20, info.compress_size // 2)
    assert "end-of-stream" in str(_read_fails(_damaged(tmp_path, edit)))


def test_more_than_declared_stops_early(tmp_path, inflater):
    def edit(raw, info):
        struct.pack_into("<I", raw, _central_offset(raw) + 24, 1000)
    path = _damaged(tmp_path, edit, size=2_000_000)
    with Archive(path) as archive, archive.open("p.xml") as member:
        with pytest.raises(BrokenPartError, match="past the 1000 bytes"):
            member.read(65536)
        # nothing near the real size was inflated
        assert member._raw._pos < 2_000_000


def test_bad_local_header(tmp_path, inflater):
    def edit(raw, info):
        raw[info.header_offset:info.header_offset + 4] = b"PK\x05\x06"
    path = _damaged(tmp_path, edit)
    with Archive(path) as archive, pytest.raises(InvalidFileError, match="magic"):
        archive.open("p.xml")


def test_closed_member_and_archive(tmp_path, inflater):
    path = _zip(tmp_path / "c.zip", {"p.xml": payload(1000)})
    archive = Archive(path)
    member = archive.open("p.xml")
    member.close()
    member.close()
    with pytest.raises(ValueError):
        member._raw.read(10)
    archive.close()
    with pytest.raises(ValueError):
        archive.open("p.xml")


def test_understated_worksheet_is_a_zip_bomb_or_broken(tmp_path, inflater, monkeypatch):
    monkeypatch.setattr(excel, "MIN_LIMIT", 1 << 16)
    path = tmp_path / "bomb.xlsx"
    path.write_bytes(understated_sheet_package())
    with pytest.raises(InvalidFileError) as caught:
        tavrinex.load_workbook(path)
    assert caught.value.part == "xl/worksheets/sheet1.xml"


def test_whole_workbook_same_on_both_inflaters(tmp_path, monkeypatch):
    import xlsxwriter
    path = tmp_path / "w.xlsx"
    wb = xlsxwriter.Workbook(str(path))
    ws = wb.add_worksheet()
    rnd = random.Random(5)
    for r in range(3000):
        ws.write_row(r, 0, [rnd.random(), f"text {rnd.randrange(500)}", r, r % 3 == 0])
    wb.close()

    def grid():
        book = tavrinex.load_workbook(path)
        return [list(row) for row in book.worksheets[0].iter_rows(values_only=True)]

    first = grid()
    monkeypatch.setattr(excel, "_fast_zlib", None)
    assert grid() == first
    assert first[10][2] == 10 and isinstance(first[10][1], str)
