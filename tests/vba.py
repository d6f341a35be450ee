"""A minimal VBA project (vbaProject.bin) made here, for the macro-enabled
test workbooks: a compound file holding the PROJECT and PROJECTwm streams
and a VBA storage with _VBA_PROJECT, dir, a document module ThisWorkbook
and a standard module, their source compressed (literal tokens only, which
the compression format allows) and no performance cache, so a program
compiles the project from its source."""

import struct

FREE, END, FAT = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD
SECTOR, MINI = 512, 64


def compress(data):
    """A compressed container of `data` (under 3640 bytes: one chunk) whose
    tokens are all literals: a flag byte of zeros before each eight."""
    body = bytearray()
    for i in range(0, len(data), 8):
        body.append(0)
        body += data[i:i + 8]
    if len(body) + 2 > 4098:
        raise ValueError("the test project's streams fit in one chunk")
    header = (len(body) + 2 - 3) | (0b011 << 12) | (1 << 15)
    return b"\x01" + struct.pack("<H", header) + bytes(body)


def _record(rid, data):
    return struct.pack("<HI", rid, len(data)) + data


def dir_stream(modules):
    """The dir stream (uncompressed) of a project of (name, is_document)."""
    out = bytearray()
    out += _record(0x0001, struct.pack("<I", 1))          # 32-bit Windows
    out += _record(0x0002, struct.pack("<I", 0x409))
    out += _record(0x0014, struct.pack("<I", 0x409))
    out += _record(0x0003, struct.pack("<H", 1252))
    out += _record(0x0004, b"VBAProject")
    out += _record(0x0005, b"") + _record(0x0040, b"")    # doc string and its unicode form
    out += _record(0x0006, b"") + _record(0x003D, b"")    # help file paths
    out += _record(0x0007, struct.pack("<I", 0))
    out += _record(0x0008, struct.pack("<I", 0))
    out += struct.pack("<HIIH", 0x0009, 4, 1, 0)          # version 1.0
    out += _record(0x000C, b"") + _record(0x003C, b"")    # constants
    out += _record(0x000F, struct.pack("<H", len(modules)))
    out += _record(0x0013, struct.pack("<H", 0xFFFF))
    for name, document in modules:
        raw, wide = name.encode("cp1252"), name.encode("utf-16-le")
        out += _record(0x0019, raw) + _record(0x0047, wide)
        out += _record(0x001A, raw) + _record(0x0032, wide)
        out += _record(0x001C, b"") + _record(0x0048, b"")
        out += _record(0x0031, struct.pack("<I", 0))     # source at offset 0
        out += _record(0x001E, struct.pack("<I", 0))
        out += _record(0x002C, struct.pack("<H", 0xFFFF))
        out += struct.pack("<HI", 0x0022 if document else 0x0021, 0)
        out += struct.pack("<HI", 0x002B, 0)
    out += struct.pack("<HI", 0x0010, 0)
    return bytes(out)


def _entry(name, kind, child=FREE, left=FREE, right=FREE, start=0, size=0):
    encoded = name.encode("utf-16-le") + b"\0\0"
    return (encoded.ljust(64, b"\0") + struct.pack("<HBB", len(encoded), kind, 1)
            + struct.pack("<III", left, right, child) + b"\0" * 16 + b"\0" * 4
            + b"\0" * 16 + struct.pack("<IQ", start, size))


def _key(name):
    return (len(name), name.upper())


def compound_file(streams):
    """A version 3 compound file of `streams` ({"path/name": bytes}, one
    level of storages), every stream in the mini stream."""
    storages = {"": []}
    for path in streams:
        folder, _, name = path.rpartition("/")
        if folder and folder not in storages:
            storages[folder] = []
            storages[""].append(folder)
        storages[folder].append(name)
    order = ["Root Entry"]       # directory ids
    paths = [""]
    for folder, names in storages.items():
        for name in names:
            order.append(name)
            paths.append(f"{folder}/{name}" if folder else name)
    ids = {p: i for i, p in enumerate(paths)}
    mini = bytearray()
    minifat = []
    placed = {}
    for path, data in streams.items():
        first = len(mini) // MINI
        count = max(1, -(-len(data) // MINI))
        minifat += [first + i + 1 for i in range(count - 1)] + [END]
        placed[path] = (first, len(data))
        mini += data.ljust(count * MINI, b"\0")

    def tree(folder):
        """Children of a storage as a balanced tree: (root id, links)."""
        names = sorted(storages.get(folder, []), key=_key)
        links = {}

        def build(lo, hi):
            if lo >= hi:
                return FREE
            mid = (lo + hi) // 2
            node = ids[f"{folder}/{names[mid]}" if folder else names[mid]]
            links[node] = (build(lo, mid), build(mid + 1, hi))
            return node
        return build(0, len(names)), links

    links = {}
    children = {}
    for folder in storages:
        root, found = tree(folder)
        children[folder] = root
        links.update(found)
    dir_sectors = -(-len(order) // 4)
    minifat_sectors = -(-len(minifat) * 4 // SECTOR)
    mini_sectors = -(-len(mini) // SECTOR)
    first_dir, first_minifat = 1, 1 + dir_sectors
    first_mini = first_minifat + minifat_sectors
    entries = bytearray()
    for i, (name, path) in enumerate(zip(order, paths)):
        left, right = links.get(i, (FREE, FREE))
        if path == "":
            entries += _entry(name, 5, children[""], start=first_mini, size=len(mini))
        elif path in storages:
            entries += _entry(name, 1, children[path], left, right)
        else:
            start, size = placed[path]
            entries += _entry(name, 2, FREE, left, right, start, size)
    entries = entries.ljust(dir_sectors * SECTOR, b"\0")
    unused = b"\0" * 68 + struct.pack("<III", FREE, FREE, FREE) + b"\0" * 48
    for k in range(len(order), dir_sectors * 4):
        entries[k * 128:k * 128 + 128] = unused
    fat = [FAT]
    for first, count in ((first_dir, dir_sectors), (first_minifat, minifat_sectors),
                         (first_mini, mini_sectors)):
        fat += [first + i + 1 for i in range(count - 1)] + [END]
    fat += [FREE] * (SECTOR // 4 - len(fat))
    header = (b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + b"\0" * 16
              + struct.pack("<HHHHH", 0x3E, 3, 0xFFFE, 9, 6) + b"\0" * 6
              + struct.pack("<IIIIIIIII", 0, 1, first_dir, 0, 4096, first_minifat,
                            minifat_sectors, END, 0)
              + struct.pack("<I", 0) + struct.pack("<I", FREE) * 108)
    minifat_bytes = struct.pack(f"<{len(minifat)}I", *minifat)
    minifat_bytes = minifat_bytes.ljust(minifat_sectors * SECTOR, b"\xff")
    return (header + struct.pack(f"<{len(fat)}I", *fat) + bytes(entries) + minifat_bytes
            + bytes(mini).ljust(mini_sectors * SECTOR, b"\0"))


DOCUMENT_ATTRIBUTES = (
    'Attribute VB_Base = "0{00020819-0000-0000-C000-000000000046}"\r\n'
    "Attribute VB_GlobalNameSpace = False\r\nAttribute VB_Creatable = False\r\n"
    "Attribute VB_PredeclaredId = True\r\nAttribute VB_Exposed = True\r\n"
    "Attribute VB_TemplateDerived = False\r\nAttribute VB_Customizable = True\r\n")


def vba_project(code="Function Twice(x)\r\n    Twice = x * 2\r\nEnd Function\r\n"):
    """The bytes of a vbaProject.bin: ThisWorkbook and Module1 holding `code`."""
    modules = [("ThisWorkbook", True), ("Module1", False)]
    sources = {
        "ThisWorkbook": 'Attribute VB_Name = "ThisWorkbook"\r\n' + DOCUMENT_ATTRIBUTES,
        "Module1": 'Attribute VB_Name = "Module1"\r\n' + code,
    }
    project = ('ID="{5A1BDC4F-0E4B-4F34-8F6C-31A6C8D5A0E1}"\r\n'
               "Document=ThisWorkbook/&H00000000\r\nModule=Module1\r\n"
               'Name="VBAProject"\r\nHelpContextID="0"\r\n'
               'VersionCompatible32="393222000"\r\n\r\n[Host Extender Info]\r\n'
               "&H00000001={3832D640-CF90-11CF-8E43-00A0C911005A};VBE;&H00000000\r\n"
               "\r\n[Workspace]\r\nThisWorkbook=0, 0, 0, 0, C\r\nModule1=0, 0, 0, 0, C\r\n")
    wm = b"".join(n.encode("cp1252") + b"\0" + n.encode("utf-16-le") + b"\0\0"
                  for n, _ in modules) + b"\0\0"
    streams = {
        "PROJECT": project.encode("cp1252"),
        "PROJECTwm": wm,
        "VBA/_VBA_PROJECT": b"\xcc\x61\xff\xff\x00\x00\x00",
        "VBA/dir": compress(dir_stream(modules)),
    }
    for name, _ in modules:
        streams[f"VBA/{name}"] = compress(sources[name].encode("cp1252"))
    return compound_file(streams)
