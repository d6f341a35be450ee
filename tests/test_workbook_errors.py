"""Bad input: every kind gives a package exception naming the file and
the part, never a raw KeyError, a crash or a silent success."""

import io
import struct
import warnings
import zipfile

import pytest
from hypothesis import given, settings, strategies as st

import tavrinex
from tavrinex import _native
from tavrinex.errors import (BrokenPartError, EncryptedWorkbookError, InvalidFileError,
                             MissingPartError, ZipBombError)
from tavrinex.reader import excel
from tavrinex.reader.excel import Member, resolve

from conftest import EXAMPLES
from xlsx_files import BOOK_CT, content_types, minimal_parts, package, rels

ENGINES = [pytest.param(None, id="python")]
if _native.native is not None:
    ENGINES.insert(0, pytest.param(_native.native, id="engine"))


def fails(tmp_path, data, error, part=None, match=None, engine=None, name="bad.xlsx"):
    path = tmp_path / name
    path.write_bytes(data)
    with pytest.raises(error, match=match) as info:
        tavrinex.load_workbook(path, engine=engine)
    message = str(info.value)
    assert str(path) in message
    assert isinstance(info.value, ValueError)
    if part is not None:
        assert part in message and info.value.part == part
    return info.value


def test_not_a_zip(tmp_path):
    fails(tmp_path, b"Order,Date\n1,2\n", InvalidFileError, match="not a zip archive")
    fails(tmp_path, b"", InvalidFileError, match="not a zip archive")
    fails(tmp_path, b"PK\x03\x04 truncated", InvalidFileError, match="not a zip archive")


def test_missing_file_is_an_os_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        tavrinex.load_workbook(tmp_path / "absent.xlsx")


def test_zip_without_a_workbook(tmp_path):
    fails(tmp_path, package({"readme.txt": "hello"}), MissingPartError,
          part="[Content_Types].xml")
    fails(tmp_path, package({"[Content_Types].xml": content_types()}), MissingPartError,
          part="_rels/.rels", match="no workbook part")


def test_workbook_found_by_content_type_without_package_rels(tmp_path):
    parts = minimal_parts()
    del parts["_rels/.rels"]
    path = tmp_path / "norels.xlsx"
    path.write_bytes(package(parts))
    assert tavrinex.load_workbook(path)["One"]["A1"].value == 1


def test_document_that_is_not_a_workbook(tmp_path):
    parts = minimal_parts()
    parts["[Content_Types].xml"] = content_types([(
        "/xl/workbook.xml",
        "application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml")])
    fails(tmp_path, package(parts), InvalidFileError, part="xl/workbook.xml",
          match="not a workbook")


@pytest.mark.parametrize("missing", ["xl/workbook.xml", "xl/worksheets/sheet1.xml",
                                     "xl/sharedStrings.xml", "xl/styles.xml"])
def test_missing_parts(tmp_path, missing):
    parts = minimal_parts(strings=["a"], styles='<cellXfs><xf numFmtId="0"/></cellXfs>')
    del parts[missing]
    fails(tmp_path, package(parts), MissingPartError, part=missing)


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("part, text", [
    ("xl/workbook.xml", "<workbook"),
    ("xl/_rels/workbook.xml.rels", "<Relationships><Relationship"),
    ("[Content_Types].xml", "<Types"),
    ("xl/styles.xml", '<styleSheet xmlns="x"><cellXfs><xf numFmtId="x1"/></cellXfs></styleSheet>'),
    ("xl/styles.xml", '<styleSheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
                      '<cellXfs><xf numFmtId="99999999999"/></cellXfs></styleSheet>'),
    ("xl/sharedStrings.xml", "<sst><si><t>a</t></si>"),
    ("xl/worksheets/sheet1.xml", "<worksheet><sheetData><row r='1'><c r='A1'><v>1</v></c>"),
    ("xl/worksheets/sheet1.xml", "\x00\x01 not xml"),
])
def test_broken_parts(tmp_path, engine, part, text):
    parts = minimal_parts(strings=["a"], styles='<cellXfs><xf numFmtId="0"/></cellXfs>')
    parts[part] = text
    fails(tmp_path, package(parts), BrokenPartError, part=part, engine=engine)


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("cell", ['<c r="A1" t="s"><v>7</v></c>',   # no such string
                                  '<c r="A1" s="9"><v>1</v></c>'])  # no such style
def test_cells_referring_to_nothing(tmp_path, engine, cell):
    parts = minimal_parts(f'<row r="1">{cell}</row>', strings=["a"],
                          styles='<cellXfs><xf numFmtId="0"/></cellXfs>')
    fails(tmp_path, package(parts), BrokenPartError, part="xl/worksheets/sheet1.xml",
          engine=engine)


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("body", [
    '<row r="1"><c r="A1" t="s"><v>7</v></c></row>',        # no such string
    "<row r='1'><c r='A1'><v>1</v></c>",                    # the document is cut short
])
def test_read_only_sheets_report_what_breaks_while_iterating(tmp_path, engine, body):
    parts = minimal_parts(body, strings=["a"])
    path = tmp_path / "bad.xlsx"
    path.write_bytes(package(parts))
    wb = tavrinex.load_workbook(path, read_only=True, engine=engine)
    try:
        with pytest.raises(BrokenPartError) as info:
            list(wb["One"].iter_rows(values_only=True))
    finally:
        wb.close()
    assert str(path) in str(info.value) and info.value.part == "xl/worksheets/sheet1.xml"


def test_sheet_relationship_pointing_nowhere(tmp_path):
    parts = minimal_parts()
    parts["xl/workbook.xml"] = parts["xl/workbook.xml"].replace('r:id="rId1"', 'r:id="rId9"')
    fails(tmp_path, package(parts), BrokenPartError, part="xl/workbook.xml", match="rId9")
    parts = minimal_parts()
    parts["xl/_rels/workbook.xml.rels"] = rels(("rId1", "worksheet", "worksheets/nowhere.xml"))
    fails(tmp_path, package(parts), MissingPartError, part="xl/worksheets/nowhere.xml",
          match="sheet 'One'")
    parts["xl/_rels/workbook.xml.rels"] = rels(("rId1", "worksheet", "../../etc/passwd"))
    fails(tmp_path, package(parts), BrokenPartError, part="xl/_rels/workbook.xml.rels",
          match="outside the package")


def test_hyperlink_relationship_pointing_nowhere(tmp_path):
    parts = minimal_parts(sheet_extra='<hyperlinks><hyperlink ref="A1" r:id="rId4"/>'
                                      '</hyperlinks>')
    fails(tmp_path, package(parts), BrokenPartError, part="xl/worksheets/sheet1.xml",
          match="rId4")
    parts["xl/worksheets/_rels/sheet1.xml.rels"] = rels(
        ("rId4", "hyperlink", "https://example.com/", "External"))
    path = tmp_path / "ok.xlsx"
    path.write_bytes(package(parts))
    assert tavrinex.load_workbook(path)["One"]["A1"].hyperlink.target == "https://example.com/"


def test_comments_part_missing(tmp_path):
    parts = minimal_parts()
    parts["xl/worksheets/_rels/sheet1.xml.rels"] = rels(
        ("rId1", "comments", "../comments1.xml"))
    fails(tmp_path, package(parts), MissingPartError, part="xl/comments1.xml")


def _patch_sizes(data, name, size):
    """`data` with the uncompressed size of member `name` set to `size` in
    both its local header and the central directory."""
    buf = bytearray(data)
    encoded = name.encode()
    for signature, size_at, name_len_at, name_at in ((b"PK\x03\x04", 22, 26, 30),
                                                     (b"PK\x01\x02", 24, 28, 46)):
        start = 0
        while (at := buf.find(signature, start)) >= 0:
            (length,) = struct.unpack_from("<H", buf, at + name_len_at)
            if buf[at + name_at:at + name_at + length] == encoded:
                struct.pack_into("<I", buf, at + size_at, size)
            start = at + 4
    return bytes(buf)


def test_zip_bomb_declared(tmp_path, monkeypatch):
    monkeypatch.setattr(excel, "MIN_LIMIT", 1 << 20)
    parts = minimal_parts()
    parts["xl/worksheets/sheet1.xml"] = parts["xl/worksheets/sheet1.xml"].replace(
        "</worksheet>", "<!--" + " " * (40 << 20) + "--></worksheet>")
    fails(tmp_path, package(parts), ZipBombError, part="xl/worksheets/sheet1.xml",
          match="too many")


@pytest.mark.parametrize("engine", ENGINES)
def test_zip_bomb_understating_its_size(tmp_path, engine):
    parts = minimal_parts()
    sheet = parts["xl/worksheets/sheet1.xml"].replace(
        "</worksheet>", "<!--" + " " * (4 << 20) + "--></worksheet>")
    parts["xl/worksheets/sheet1.xml"] = sheet
    data = _patch_sizes(package(parts), "xl/worksheets/sheet1.xml", 2000)
    # what the header declares is all that is inflated; the rest is an error
    fails(tmp_path, data, InvalidFileError, part="xl/worksheets/sheet1.xml", engine=engine)


def test_member_stops_past_its_limit():
    stream = Member(io.BytesIO(b"x" * 5000), 3000, "f.xlsx", "xl/p.xml")
    assert stream.read(2000) == b"x" * 2000
    with pytest.raises(ZipBombError, match="f.xlsx: xl/p.xml: inflates past 3000"):
        stream.read(2000)
    stream.seek(0)
    assert len(stream.read(3000)) == 3000
    with pytest.raises(ZipBombError):
        stream.read()


def test_damaged_compressed_data(tmp_path):
    parts = minimal_parts()
    parts["xl/worksheets/sheet1.xml"] += "<!--" + "abcdefgh" * 4000 + "-->"
    data = bytearray(package(parts))
    info = zipfile.ZipFile(io.BytesIO(bytes(data))).getinfo("xl/worksheets/sheet1.xml")
    name_len, extra_len = struct.unpack_from("<HH", data, info.header_offset + 26)
    at = info.header_offset + 30 + name_len + extra_len + info.compress_size // 2
    data[at:at + 64] = bytes(64)
    error = fails(tmp_path, bytes(data), BrokenPartError)
    assert error.part == "xl/worksheets/sheet1.xml"


def test_encrypted_workbooks(tmp_path):
    ole = excel.OLE_SIGNATURE + bytes(504) + "EncryptedPackage".encode("utf-16-le")
    fails(tmp_path, ole, EncryptedWorkbookError, match="encrypted")
    # a zip whose members are encrypted
    data = bytearray(package(minimal_parts(), compression=zipfile.ZIP_STORED))
    for signature, flag_at in ((b"PK\x03\x04", 6), (b"PK\x01\x02", 8)):
        start = 0
        while (at := data.find(signature, start)) >= 0:
            data[at + flag_at] |= 1
            start = at + 4
    error = fails(tmp_path, bytes(data), EncryptedWorkbookError)
    assert error.part == "[Content_Types].xml"


def test_stream_input_errors_name_the_stream():
    with pytest.raises(InvalidFileError, match="<stream>: not an xlsx file"):
        tavrinex.load_workbook(io.BytesIO(b"nothing"))


def test_errors_are_raised_after_closing_the_archive(tmp_path, monkeypatch):
    closed = []
    original = excel.Archive.close
    monkeypatch.setattr(excel.Archive, "close", lambda self: (closed.append(1),
                                                              original(self)))
    parts = minimal_parts()
    parts["xl/workbook.xml"] = "<workbook"
    fails(tmp_path, package(parts), BrokenPartError)
    assert closed == [1]


def test_relationship_targets():
    assert resolve("xl/workbook.xml", "worksheets/sheet1.xml") == "xl/worksheets/sheet1.xml"
    assert resolve("xl/worksheets/sheet1.xml", "../comments1.xml") == "xl/comments1.xml"
    assert resolve("xl/workbook.xml", "/xl/./styles.xml") == "xl/styles.xml"
    assert resolve("xl/workbook.xml", "my%20sheet.xml") == "xl/my sheet.xml"
    assert resolve("", "xl/workbook.xml") == "xl/workbook.xml"
    assert resolve("xl/workbook.xml", "../../x.xml") is None
    assert BOOK_CT.endswith("sheet.main+xml")


def test_strict_workbooks_are_refused_not_read_empty(tmp_path):
    parts = minimal_parts()
    strict = "http://purl.oclc.org/ooxml/spreadsheetml/main"
    for name in ("xl/workbook.xml", "xl/worksheets/sheet1.xml"):
        parts[name] = parts[name].replace(
            "http://schemas.openxmlformats.org/spreadsheetml/2006/main", strict)
    fails(tmp_path, package(parts), InvalidFileError, part="xl/workbook.xml",
          match="Strict Open XML")


def test_file_objects_that_cannot_be_read(tmp_path):
    class Unseekable(io.RawIOBase):
        name = "pipe"

        def readable(self):
            return True

        def seekable(self):
            return False

    with pytest.raises(InvalidFileError, match="pipe: the file object must be a seekable"):
        tavrinex.load_workbook(Unseekable())
    path = tmp_path / "book.xlsx"
    path.write_bytes(package(minimal_parts()))
    with open(path, encoding="latin-1") as text, pytest.raises(InvalidFileError,
                                                               match="binary mode"):
        tavrinex.load_workbook(text)


def _valid_parts():
    parts = minimal_parts(
        '<row r="1"><c r="A1" t="s" s="1"><v>0</v></c><c r="B1"><f>A1</f><v>2</v></c>'
        '<c r="C1" t="inlineStr"><is><t>in</t></is></c></row>',
        sheet_extra='<mergeCells><mergeCell ref="A1:B1"/></mergeCells>'
                    '<hyperlinks><hyperlink ref="A1" r:id="rId1"/></hyperlinks>',
        strings=["a", "b"],
        styles='<numFmts><numFmt numFmtId="164" formatCode="yyyy"/></numFmts>'
               '<cellXfs><xf numFmtId="0"/><xf numFmtId="164"><alignment horizontal="left"/>'
               '</xf></cellXfs>')
    parts["xl/worksheets/_rels/sheet1.xml.rels"] = rels(
        ("rId1", "hyperlink", "https://example.com/", "External"),
        ("rId2", "comments", "../comments1.xml"))
    parts["xl/comments1.xml"] = (
        '<comments xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
        '<authors><author>Ann</author></authors><commentList><comment ref="B1" authorId="0">'
        '<text><t>note</t></text></comment></commentList></comments>')
    return parts


_PARTS = _valid_parts()


@settings(max_examples=max(20, EXAMPLES // 2))
@given(st.sampled_from(sorted(_PARTS)), st.data())
def test_damaged_parts_give_a_result_or_a_package_error(tmp_path_factory, name, data):
    """Any change to any one part: the workbook loads, or a package error
    is raised; nothing else escapes, on either path."""
    text = _PARTS[name]
    start = data.draw(st.integers(0, len(text)))
    stop = data.draw(st.integers(start, min(len(text), start + 40)))
    insert = data.draw(st.sampled_from(["", "<", ">", '"', "&", "x", "9", "-1", "<c/>", "</",
                                        'r="', "\x00", "é", "A0", "99999999999"]))
    parts = dict(_PARTS)
    parts[name] = text[:start] + insert + text[stop:]
    path = tmp_path_factory.mktemp("damaged") / "d.xlsx"
    path.write_bytes(package(parts))
    for engine in [p.values[0] for p in ENGINES]:
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                tavrinex.load_workbook(path, engine=engine)
        except InvalidFileError as exc:
            assert str(path) in str(exc)


_PACKAGE = package(_PARTS)


@settings(max_examples=max(20, EXAMPLES // 2))
@given(st.lists(st.tuples(st.integers(0, len(_PACKAGE) - 1), st.integers(0, 255)),
                min_size=1, max_size=4))
def test_damaged_archives_give_a_result_or_a_package_error(tmp_path_factory, flips):
    data = bytearray(_PACKAGE)
    for at, value in flips:
        data[at] = value
    path = tmp_path_factory.mktemp("flipped") / "f.xlsx"
    path.write_bytes(bytes(data))
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            tavrinex.load_workbook(path)
    except InvalidFileError as exc:
        assert str(path) in str(exc)
