"""Workbook files for the tests: written by XlsxWriter (an independent
writer), or put together part by part for the cases no writer produces
(odd part names, inline strings, broken and hostile packages)."""

import io
import random
import struct
import zipfile

import tavrinex

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
PKG_RELS = "http://schemas.openxmlformats.org/package/2006/relationships"
DOC_RELS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
CT = "http://schemas.openxmlformats.org/package/2006/content-types"
SHEET_CT = "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"
BOOK_CT = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"


def rels(*entries):
    """A relationships part of (id, kind, target[, mode]) entries."""
    items = []
    for entry in entries:
        rid, kind, target = entry[:3]
        mode = f' TargetMode="{entry[3]}"' if len(entry) > 3 else ""
        items.append(f'<Relationship Id="{rid}" Type="{DOC_RELS}/{kind}" '
                     f'Target="{target}"{mode}/>')
    return f'<Relationships xmlns="{PKG_RELS}">{"".join(items)}</Relationships>'


def content_types(overrides=(), defaults=()):
    items = ['<Default Extension="xml" ContentType="application/xml"/>',
             '<Default Extension="rels" ContentType='
             '"application/vnd.openxmlformats-package.relationships+xml"/>']
    items += [f'<Default Extension="{e}" ContentType="{t}"/>' for e, t in defaults]
    items += [f'<Override PartName="{p}" ContentType="{t}"/>' for p, t in overrides]
    return f'<Types xmlns="{CT}">{"".join(items)}</Types>'


def sheet_xml(body, extra=""):
    return (f'<worksheet xmlns="{MAIN}" xmlns:r="{DOC_RELS}">'
            f'<sheetData>{body}</sheetData>{extra}</worksheet>')


def minimal_parts(sheet_body='<row r="1"><c r="A1"><v>1</v></c></row>', sheet_extra="",
                  strings=None, styles=None, date1904=False):
    """The parts of a one-sheet workbook, by name."""
    wb_rels = [("rId1", "worksheet", "worksheets/sheet1.xml")]
    parts = {
        "[Content_Types].xml": content_types([("/xl/workbook.xml", BOOK_CT),
                                              ("/xl/worksheets/sheet1.xml", SHEET_CT)]),
        "_rels/.rels": rels(("rId1", "officeDocument", "xl/workbook.xml")),
        "xl/workbook.xml": (
            f'<workbook xmlns="{MAIN}" xmlns:r="{DOC_RELS}">'
            + ('<workbookPr date1904="1"/>' if date1904 else "")
            + '<sheets><sheet name="One" sheetId="1" r:id="rId1"/></sheets></workbook>'),
        "xl/worksheets/sheet1.xml": sheet_xml(sheet_body, sheet_extra),
    }
    if strings is not None:
        wb_rels.append(("rId2", "sharedStrings", "sharedStrings.xml"))
        parts["xl/sharedStrings.xml"] = (
            f'<sst xmlns="{MAIN}">' + "".join(f"<si><t>{s}</t></si>" for s in strings)
            + "</sst>")
    if styles is not None:
        wb_rels.append(("rId3", "styles", "styles.xml"))
        parts["xl/styles.xml"] = f'<styleSheet xmlns="{MAIN}">{styles}</styleSheet>'
    parts["xl/_rels/workbook.xml.rels"] = rels(*wb_rels)
    return parts


def package(parts, compression=zipfile.ZIP_DEFLATED):
    """The bytes of a zip holding `parts` (name -> str or bytes)."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", compression) as z:
        for name, data in parts.items():
            z.writestr(name, data.encode() if isinstance(data, str) else data)
    return buf.getvalue()


def appended_workbook(title, rows, write_only=False):
    """A new workbook (write-only or not) with one sheet `title` holding
    `rows`, each added by append."""
    wb = tavrinex.Workbook(write_only=write_only)
    ws = wb.create_sheet(title) if write_only else wb.active
    if not write_only:
        ws.title = title
    for row in rows:
        ws.append(row)
    return wb


def payload(size, seed=0):
    """`size` bytes of XML-like text with some random bytes among it, for
    members that must inflate to something irregular."""
    rnd = random.Random(seed)
    words = [b"<c r=\"A1\"><v>", b"</v></c>", b"abc", b"\xc3\xa9", b"12345.5", b"\n"]
    out = bytearray()
    while len(out) < size:
        out += rnd.choice(words) if rnd.random() < 0.8 else bytes([rnd.randrange(256)])
    return bytes(out[:size])


def understated_sheet_package():
    """A one-sheet workbook whose worksheet inflates to over 8 MB while its
    central directory entry declares 100 bytes."""
    parts = minimal_parts()
    parts["xl/worksheets/sheet1.xml"] = parts["xl/worksheets/sheet1.xml"].replace(
        "</worksheet>", "<!--" + " " * (8 << 20) + "--></worksheet>")
    raw = bytearray(package(parts))
    central = bytes(raw).rfind(b"xl/worksheets/sheet1.xml") - 46
    assert raw[central:central + 4] == b"PK\x01\x02"
    struct.pack_into("<I", raw, central + 24, 100)
    return bytes(raw)
