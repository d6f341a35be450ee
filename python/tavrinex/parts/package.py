"""Writing an xlsx package as a graph of parts, relationships and content
types.

`PackageWriter` wraps the zip being written. The package's writers add the
parts they make from the model (``add`` for bytes, ``open`` for a part
streamed in pieces, deflated with ISA-L when it is installed), each with
its content type, and tie them together with ``relate(source, type,
target)``, which gives out relationship ids that no other relationship of
that source holds. Parts of the file the workbook was loaded from that the
package does not model are kept with ``keep(part)``: at ``finish()`` each
is copied from the source archive (its compressed bytes as they are) with
its content type, and so is everything below it, through its own
relationships, whose part is copied as it was when every target it names
is kept under its old name. ``finish()`` then writes each relationships
part and ``[Content_Types].xml``.

New part names come from ``new_name("xl/drawings/drawing{}.xml")``, which
never gives a name the source package or this package holds. A writer
that must change a kept part (a table whose header changed) hands its new
bytes to ``replace(part, data)``; one that makes a modelled part under
another name than it had records it with ``rename(old, new)``, so kept
parts that point to it follow.

A relationship's target is a part name (no leading "/"); it is written
relative to its source part.
"""

from __future__ import annotations

import posixpath
import zipfile
import zlib
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from typing import IO, Any

from tavrinex.parts.source import SourceReader
from tavrinex.parts.xml import attribute_text
from tavrinex.reader.excel import Relationship, rels_part

PKG_RELS_NS = "http://schemas.openxmlformats.org/package/2006/relationships"
CT_NS = "http://schemas.openxmlformats.org/package/2006/content-types"
RELS_TYPE = "application/vnd.openxmlformats-package.relationships+xml"
DECLARATION = b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
# Deflate level of zlib, and of ISA-L (levels 0 to 3) when it is installed:
# ISA-L's level 2 deflates worksheets about ten times faster than zlib's
# level 6, into files about an eighth larger.
ZLIB_LEVEL = 6
ISAL_LEVEL = 2

_fast_zlib: Any
try:
    from isal import isal_zlib as _fast_zlib
except ImportError:  # pragma: no cover - depends on the installation
    _fast_zlib = None


def deflater() -> tuple[Any, int]:
    """(module, level) that deflates the large parts of a save."""
    return (_fast_zlib, ISAL_LEVEL) if _fast_zlib is not None else (zlib, ZLIB_LEVEL)


def _fast_deflate(out: Any) -> None:
    """Have ISA-L, when installed, deflate the member `out` (just opened
    for writing, nothing written yet) instead of zlib. Both write raw
    deflate streams; zipfile keeps the sizes and the CRC itself."""
    if (_fast_zlib is not None and getattr(out, "_compressor", None) is not None
            and getattr(out, "_file_size", None) == 0):
        out._compressor = _fast_zlib.compressobj(ISAL_LEVEL, zlib.DEFLATED, -15)


class Rels:
    """The relationships of one part, by id, in the order they were made."""

    def __init__(self) -> None:
        self.items: dict[str, Relationship] = {}
        self._reserved: set[str] = set()
        self._next = 1

    def reserve(self, ids: Iterable[str]) -> None:
        """Ids given out only when asked for by name (those of the
        relationships read, which kept elements may refer to)."""
        self._reserved.update(ids)

    def add(self, rel_type: str, target: str, external: bool = False,
            rid: str | None = None) -> str:
        """Add a relationship; `rid` is kept when no other holds it."""
        if rid is None or rid in self.items:
            while f"rId{self._next}" in self.items or f"rId{self._next}" in self._reserved:
                self._next += 1
            rid = f"rId{self._next}"
        self.items[rid] = Relationship(rid, rel_type, target, external)
        return rid

    def xml(self, source: str) -> bytes:
        folder = posixpath.dirname(source)
        body = []
        for rel in self.items.values():
            target = rel.target if rel.external else relative(folder, rel.target)
            mode = ' TargetMode="External"' if rel.external else ""
            body.append(f'<Relationship Id={attribute_text(rel.id)} '
                        f'Type={attribute_text(rel.type)} '
                        f'Target={attribute_text(target)}{mode}/>')
        return DECLARATION + (f'<Relationships xmlns="{PKG_RELS_NS}">' + "".join(body)
                              + "</Relationships>").encode("utf-8")


def relative(folder: str, target: str) -> str:
    """The target part name as written in a relationship of a part in
    `folder` ("" for the package's own)."""
    if not folder:
        return target
    return posixpath.relpath(target, folder)


class PackageWriter:
    """The package being written into `zf`, with `source` (open) the
    package the workbook was loaded from, or None."""

    def __init__(self, zf: zipfile.ZipFile, source: SourceReader | None = None) -> None:
        self.zf = zf
        self.source = source
        self._names: set[str] = set()          # lower-case names written or kept
        self._planned: set[str] = set()        # lower-case names to be written
        self._reserved: set[str] = set()
        if source is not None:
            self._reserved = {n.lstrip("/").lower() for n in source.archive.names()}
        self.types: dict[str, str] = {}        # part name -> content type
        self.defaults: dict[str, str] = {"rels": RELS_TYPE, "xml": "application/xml"}
        if source is not None:
            for ext, ctype in source.defaults.items():
                self.defaults.setdefault(ext, ctype)
        self._rels: dict[str, Rels] = {}
        self._kept: dict[str, str] = {}        # lower source name -> name here
        self._renamed: dict[str, str] = {}     # lower source name -> name here
        self._replaced: dict[str, bytes] = {}
        self._dropped: set[str] = set()
        self._queue: list[str] = []
        self._pending: list[tuple[str, bytes]] = []
        self._streaming = False

    # -- names

    def taken(self, name: str) -> bool:
        key = name.lower()
        return key in self._names or key in self._planned or key in self._reserved

    def taken_here(self, name: str) -> bool:
        """Whether a part of this package (written, kept or planned) holds
        `name`; the source's names do not count."""
        key = name.lower()
        return key in self._names or key in self._planned

    def plan(self, name: str) -> None:
        """Hold `name` for a part written later (new_name skips it)."""
        self._planned.add(name.lower())

    def new_name(self, pattern: str) -> str:
        """The first name `pattern` gives ("{}" takes 1, 2, ...) that no
        part of this package or of the source holds."""
        n = 1
        while self.taken(pattern.format(n)):
            n += 1
        return pattern.format(n)

    # -- parts made here

    def _claim(self, name: str, content_type: str | None) -> None:
        key = name.lower()
        if key in self._names:
            raise ValueError(f"the package already holds a part named {name!r}")
        self._names.add(key)
        if content_type is not None:
            self.types[name] = content_type

    def add(self, name: str, data: bytes, content_type: str | None = None) -> None:
        """A part made from the model (written once no part is streaming)."""
        self._claim(name, content_type)
        if self._streaming:
            self._pending.append((name, data))
        else:
            self.zf.writestr(name, data)

    @contextmanager
    def open(self, name: str, content_type: str | None) -> Iterator[IO[bytes]]:
        """A part written in pieces, deflated by the faster library."""
        self._claim(name, content_type)
        self._streaming = True
        try:
            with self.zf.open(name, "w", force_zip64=True) as out:
                _fast_deflate(out)
                yield out
        finally:
            self._streaming = False
        pending, self._pending = self._pending, []
        for part, data in pending:
            self.zf.writestr(part, data)

    def relate(self, source: str, rel_type: str, target: str, *, external: bool = False,
               rid: str | None = None) -> str:
        """Relate `source` ("" for the package) to the part `target` (or
        to an external address); the id, `rid` when it is free."""
        return self.rels(source).add(rel_type, target, external, rid)

    def rels(self, source: str) -> Rels:
        found = self._rels.get(source)
        if found is None:
            found = self._rels[source] = Rels()
        return found

    # -- parts kept from the source

    def rename(self, old: str, new: str) -> None:
        """The source part `old` is written (from the model) as `new`."""
        self._renamed[old.lower()] = new

    def replace(self, part: str, data: bytes) -> None:
        """Write `data` for the source part `part` if it is kept."""
        self._replaced[part.lower()] = data

    def drop(self, part: str) -> None:
        """Never keep the source part `part` (nor relate kept parts to it)."""
        self._dropped.add(part.lower())

    def keep(self, part: str) -> str | None:
        """The name in this package of the source part `part`, which is
        copied with everything its relationships reach; None when it is
        dropped or not in the source."""
        key = part.lower()
        if key in self._renamed:
            return self._renamed[key]
        if key in self._kept:
            return self._kept[key]
        if key in self._names:
            return part   # made from the model under its old name
        source = self.source
        if source is None or key in self._dropped or not source.has(part):
            return None
        name = source.name(part)
        self._kept[key] = name
        self._names.add(name.lower())
        self._queue.append(part)
        return name

    def _copy_kept(self, part: str) -> None:
        source = self.source
        assert source is not None
        name = self._kept[part.lower()]
        ctype = source.content_type(part)
        if ctype is not None and self.defaults.get(name.rpartition(".")[2].lower()) != ctype:
            self.types[name] = ctype
        data = self._replaced.get(part.lower())
        if data is not None:
            self.zf.writestr(name, data)
        else:
            source.copy(self.zf, part, name)
        rels = source.rels(part)
        if not rels:
            return
        same = True
        out = self.rels(name)
        for rel in rels.values():
            target = rel.target
            if not rel.external:
                kept = self.keep(target)
                if kept is None:
                    same = False
                    continue
                same = same and kept == target
                target = kept
            out.add(rel.type, target, rel.external, rel.id)
        if same and name.lower() == part.lower():
            # every target as it was: the relationships part is copied too
            del self._rels[name]
            rels_name = rels_part(part)
            self._names.add(rels_name.lower())
            source.copy(self.zf, rels_name, source.name(rels_name))

    def finish(self) -> None:
        """Copy the kept parts, then write every relationships part and
        the content types."""
        while self._queue:
            self._copy_kept(self._queue.pop(0))
        for source, rels in self._rels.items():
            if rels.items:
                name = rels_part(source)
                self._names.add(name.lower())
                self.zf.writestr(name, rels.xml(source))
        self.zf.writestr("[Content_Types].xml", self.content_types())

    def content_types(self) -> bytes:
        body = [f'<Default Extension={attribute_text(ext)} ContentType={attribute_text(t)}/>'
                for ext, t in self.defaults.items()]
        for name, ctype in self.types.items():
            if self.defaults.get(name.rpartition(".")[2].lower()) == ctype:
                continue
            body.append(f'<Override PartName={attribute_text("/" + name)} '
                        f'ContentType={attribute_text(ctype)}/>')
        return DECLARATION + (f'<Types xmlns="{CT_NS}">' + "".join(body)
                              + "</Types>").encode("utf-8")
