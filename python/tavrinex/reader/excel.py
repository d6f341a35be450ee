"""The xlsx package: a zip archive of parts tied together by relationships.

`Archive` opens the file, finds parts by name without regard to case (as
the format requires), resolves relationship targets, parses the small XML
parts and hands out the large ones as streams. Every stream inflates in
bounded chunks and stops a member that inflates past a sane multiple of its
compressed size, whatever its header declares. Every failure becomes one of
the package's exceptions naming the file and the part.
"""

from __future__ import annotations

import importlib
import io
import os
import posixpath
import struct
import zipfile
import zlib
from dataclasses import dataclass
from typing import IO, Any, BinaryIO
from urllib.parse import unquote
from xml.etree import ElementTree as ET
from xml.parsers import expat

from tavrinex import xmltree
from tavrinex.errors import (BrokenPartError, EncryptedWorkbookError, InvalidFileError,
                             MissingPartError, ZipBombError)

_fast_zlib: Any
try:   # ISA-L's inflate is several times faster than zlib's; zlib when it is absent
    from isal import isal_zlib as _fast_zlib
except ImportError:  # pragma: no cover - depends on the installation
    _fast_zlib = None

_inflate: Any = None
try:   # deflated members inflated on a native thread, beside the parser
    _inflate = importlib.import_module("tavrinex._inflate")
except ImportError:  # pragma: no cover - pure-Python installation
    pass
# "0" turns the native inflater off, "all" uses it for members of every
# size (read when an archive opens).
NATIVE_INFLATE_ENV = "TAVRINEX_NATIVE_INFLATE"
# Members declaring fewer bytes inflate faster here than a thread starts.
NATIVE_MIN_SIZE = 1 << 20

CHUNK = 65536
# Compressed bytes read from the file at a time by the inflating stream.
RAW_CHUNK = 1 << 18
# A member may inflate to at most MAX_RATIO times its compressed size, or
# MIN_LIMIT bytes when that is more. Worksheets of real workbooks compress
# between 5 and 100 times; deflate cannot exceed about 1030.
MAX_RATIO = 250
MIN_LIMIT = 32 << 20

OLE_SIGNATURE = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"
CONTENT_TYPES = "[Content_Types].xml"
RELS_NS = "http://schemas.openxmlformats.org/package/2006/relationships"


def local_name(tag: str) -> str:
    """"{uri}name" -> "name"."""
    return tag.rpartition("}")[2]


def rel_kind(rel_type: str) -> str:
    """The last segment of a relationship type: "worksheet", "styles", ...
    (the same for transitional and strict files)."""
    return rel_type.rstrip("/").rpartition("/")[2]


def rels_part(part: str) -> str:
    """Name of the relationships part of `part` ("" is the package)."""
    folder, _, name = part.rpartition("/")
    return f"{folder}/_rels/{name}.rels" if folder else f"_rels/{name}.rels"


def resolve(source: str, target: str) -> str | None:
    """The part a relationship of `source` targets, or None when the
    target leaves the package."""
    target = unquote(target.strip()).replace("\\", "/")
    if target.startswith("/"):
        path = target.lstrip("/")
    else:
        path = posixpath.join(posixpath.dirname(source), target)
    path = posixpath.normpath(path)
    if path.startswith("../") or path in ("..", "."):
        return None
    return path


@dataclass(frozen=True)
class Relationship:
    """One relationship of a part: its id, type, target part (or the raw
    target when external) and whether the target is outside the package."""

    id: str
    type: str
    target: str
    external: bool = False

    @property
    def kind(self) -> str:
        return rel_kind(self.type)


def inflater() -> Any:
    """The module whose decompressobj inflates deflated members."""
    return _fast_zlib if _fast_zlib is not None else zlib


def inflater_name() -> str:
    return "isal" if _fast_zlib is not None else "zlib"


def native_inflate_enabled() -> bool:
    """Whether archives opened now inflate members on a native thread."""
    return (_inflate is not None and _inflate.library == "isa-l"
            and os.environ.get(NATIVE_INFLATE_ENV, "1") != "0")


INFLATE_ERRORS: tuple[Any, ...] = (zlib.error,) + (
    (_fast_zlib.error,) if _fast_zlib is not None else ())
_LOCAL_HEADER = struct.Struct("<4s2B4HL2L2H")
_LOCAL_SIGNATURE = b"PK\x03\x04"


# What a damaged deflated member raises, on either inflating path.
_ENDS_INSIDE = "the archive ends inside the member"
_NO_END_MARKER = "Compressed file ended before the end-of-stream marker was reached"


def _data_start(file: BinaryIO, info: zipfile.ZipInfo) -> int:
    """Offset of the member's compressed data, from its local header."""
    file.seek(info.header_offset)
    header = file.read(_LOCAL_HEADER.size)
    if len(header) != _LOCAL_HEADER.size:
        raise zipfile.BadZipFile("truncated local file header")
    fields = _LOCAL_HEADER.unpack(header)
    if fields[0] != _LOCAL_SIGNATURE:
        raise zipfile.BadZipFile("bad magic number for file header")
    return int(info.header_offset + _LOCAL_HEADER.size + fields[10] + fields[11])


def _too_long(info: zipfile.ZipInfo) -> zipfile.BadZipFile:
    # more than the directory declares: stopped before inflating on
    return zipfile.BadZipFile(f"inflates past the {info.file_size} bytes of the directory")


def _wrong_size(info: zipfile.ZipInfo, size: int) -> zipfile.BadZipFile:
    return zipfile.BadZipFile(f"inflates to {size} bytes, not the "
                              f"{info.file_size} of the directory")


def _bad_crc(info: zipfile.ZipInfo) -> zipfile.BadZipFile:
    return zipfile.BadZipFile(f"Bad CRC-32 for file {info.filename!r}")


def _zip_bomb(filename: str, limit: int, part: str) -> ZipBombError:
    return ZipBombError(filename, f"inflates past {limit} bytes, too many for its "
                        f"compressed size", part)


class _Forward:
    """Seeking for an inflating stream, which only reads forward: seeking
    back restarts it, seeking forward reads on."""

    _pos: int
    _info: zipfile.ZipInfo

    def _restart(self) -> None:
        raise NotImplementedError

    def _advance(self, size: int) -> bytes:
        raise NotImplementedError

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        if whence == io.SEEK_CUR:
            offset += self._pos
        elif whence == io.SEEK_END:
            offset += self._info.file_size
        elif whence != io.SEEK_SET:
            raise ValueError(f"invalid whence ({whence})")
        offset = max(offset, 0)
        if offset < self._pos:
            self._restart()
        while self._pos < offset:
            if not self._advance(min(offset - self._pos, 1 << 20)):
                break
        return self._pos


class Inflating(_Forward):
    """A deflated member read straight from its own handle on the archive's
    file, inflated by `module` (the faster library when installed) and
    checked against the CRC-32 of the directory at the end.

    Reads return exactly the requested size until the end. Seeking back
    inflates again from the start."""

    def __init__(self, path: str, info: zipfile.ZipInfo, module: Any) -> None:
        self._info = info
        self._module = module
        self._file: BinaryIO | None = open(path, "rb")
        try:
            self._data_start = _data_start(self._file, info)
        except BaseException:
            self.close()
            raise
        self._restart()

    def _restart(self) -> None:
        self._inflate = self._module.decompressobj(-15)
        self._left = self._info.compress_size
        self._pending = b""
        self._crc = 0
        self._pos = 0
        self._done = False
        assert self._file is not None
        self._file.seek(self._data_start)

    def _step(self, want: int) -> bytes:
        """At most `want` inflated bytes; b"" only at the end."""
        file = self._file
        if file is None:
            raise ValueError("I/O operation on closed file.")
        while not self._done:
            data = self._pending
            if not data and self._left > 0:
                data = file.read(min(RAW_CHUNK, self._left))
                if not data:
                    raise EOFError(_ENDS_INSIDE)
                self._left -= len(data)
            out = self._inflate.decompress(data, want)
            self._pending = self._inflate.unconsumed_tail
            if self._inflate.eof:
                self._done = True
            elif not out and not self._pending and self._left <= 0:
                raise EOFError(_NO_END_MARKER)
            if out:
                self._crc = self._module.crc32(out, self._crc)
                self._pos += len(out)
                if self._pos > self._info.file_size:
                    raise _too_long(self._info)
                if self._done:
                    self._finish()
                return out
        self._finish()
        return b""

    def _finish(self) -> None:
        if self._pos != self._info.file_size:
            raise _wrong_size(self._info, self._pos)
        if self._crc != self._info.CRC:
            raise _bad_crc(self._info)

    def read(self, size: int = -1) -> bytes:
        if size < 0:
            size = 1 << 62
        chunks = []
        while size > 0:
            chunk = self._step(min(size, 1 << 24))
            if not chunk:
                break
            chunks.append(chunk)
            size -= len(chunk)
        return chunks[0] if len(chunks) == 1 else b"".join(chunks)

    def _advance(self, size: int) -> bytes:
        return self._step(size)

    def close(self) -> None:
        if self._file is not None:
            self._file.close()
            self._file = None

    @property
    def closed(self) -> bool:
        return self._file is None


class NativeInflating(_Forward):
    """A deflated member inflated on a native thread of its own, ahead of
    the reader, with the same bytes, checks and errors as `Inflating`.

    Reads return exactly the requested size until the end. Seeking back
    starts the inflater again; seeking forward reads on."""

    def __init__(self, path: str, info: zipfile.ZipInfo, limit: int, filename: str,
                 part: str) -> None:
        self._path = path
        self._info = info
        self._limit = limit
        self._filename = filename
        self._part = part
        with open(path, "rb") as f:
            self._data_start = _data_start(f, info)
        self._pos = 0
        self._reader: Any = None
        self._restart()

    def _restart(self) -> None:
        if self._reader is not None:
            self._reader.close()
        info = self._info
        self._reader = None
        self._reader = _inflate.Reader(self._path, self._data_start, info.compress_size,
                                       info.compress_type, info.file_size, info.CRC,
                                       self._limit)
        self._pos = 0

    def _failure(self, exc: Exception) -> BaseException:
        """The error the Python inflating stream raises for what the thread met."""
        kind, message, size = exc.args
        if kind == "truncated":
            return EOFError(_ENDS_INSIDE)
        if kind == "unterminated":
            return EOFError(_NO_END_MARKER)
        if kind == "too_long":
            return _too_long(self._info)
        if kind == "wrong_size":
            return _wrong_size(self._info, size)
        if kind == "bad_crc":
            return _bad_crc(self._info)
        if kind == "over_limit":
            return _zip_bomb(self._filename, self._limit, self._part)
        if _inflate.library == "isa-l" and _fast_zlib is not None:
            return _fast_zlib.error(message)
        return zlib.error(message)

    def read(self, size: int = -1) -> bytes:
        if self._reader is None:
            raise ValueError("I/O operation on closed file.")
        try:
            data: bytes = self._reader.read(size)
        except _inflate.InflateError as exc:
            raise self._failure(exc) from None
        self._pos += len(data)
        return data

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        if self._reader is None:
            raise ValueError("I/O operation on closed file.")
        return super().seek(offset, whence)

    def _advance(self, size: int) -> bytes:
        return self.read(size)

    def close(self) -> None:
        if self._reader is not None:
            self._reader.close()
            self._reader = None

    @property
    def closed(self) -> bool:
        return self._reader is None


class Member:
    """A binary stream over one member of the archive.

    Reads inflate at most the requested size at a time; the position is
    checked against `limit` after each read, so a member whose header
    understates (or does not state) its size is stopped all the same.
    Seekable: seeking back re-inflates from the start.
    """

    def __init__(self, raw: IO[bytes] | Inflating | NativeInflating, limit: int, filename: str,
                 part: str) -> None:
        self._raw = raw
        self._limit = limit
        self._filename = filename
        self._part = part
        self._pos = 0

    def _guard(self) -> None:
        if self._pos > self._limit:
            raise _zip_bomb(self._filename, self._limit, self._part)

    def read(self, size: int | None = -1) -> bytes:
        if size is None or size < 0:
            chunks = []
            while chunk := self.read(CHUNK):
                chunks.append(chunk)
            return b"".join(chunks)
        try:
            data = self._raw.read(min(size, CHUNK * 16))
        except (zipfile.BadZipFile, EOFError, OSError, *INFLATE_ERRORS) as exc:
            raise BrokenPartError(self._filename, f"damaged in the archive ({exc})",
                                  self._part) from exc
        self._pos += len(data)
        self._guard()
        return data

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._pos

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        try:
            self._pos = self._raw.seek(offset, whence)
        except (zipfile.BadZipFile, EOFError, OSError, *INFLATE_ERRORS) as exc:
            raise BrokenPartError(self._filename, f"damaged in the archive ({exc})",
                                  self._part) from exc
        self._guard()
        return self._pos

    def close(self) -> None:
        self._raw.close()

    @property
    def closed(self) -> bool:
        return bool(self._raw.closed)

    def __enter__(self) -> Member:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _display_name(filename: object) -> str:
    if isinstance(filename, (str, bytes, os.PathLike)):
        return os.fsdecode(filename)
    name = getattr(filename, "name", None)
    return name if isinstance(name, str) else "<stream>"


def _head(filename: str | os.PathLike[str] | BinaryIO) -> bytes:
    """The first bytes of the file, leaving a stream where it was."""
    if isinstance(filename, (str, bytes, os.PathLike)):
        with open(filename, "rb") as f:
            return f.read(8)
    name = _display_name(filename)
    seekable = getattr(filename, "seekable", None)
    if seekable is None or not seekable():
        raise InvalidFileError(name, "the file object must be a seekable binary file "
                               "(a zip archive is read from its end)")
    start = filename.tell()
    head = filename.read(8)
    filename.seek(start)
    if not isinstance(head, bytes):
        raise InvalidFileError(name, "the file object must be opened in binary mode")
    return head


class Archive:
    """An open xlsx package. `filename` is a path or a seekable binary file
    object; a file object stays open when the archive closes."""

    def __init__(self, filename: str | os.PathLike[str] | BinaryIO) -> None:
        self.filename = _display_name(filename)
        # Deflated members of a file on disk are inflated by the faster
        # library through their own handles; members of a file object go
        # through zipfile, which shares the object's position safely.
        self._path = (os.fsdecode(filename) if isinstance(filename, (str, bytes, os.PathLike))
                      else None)
        # Deflated members of a file on disk inflate on a native thread when
        # the module is built with ISA-L and not switched off (with zlib it
        # is slower than ISA-L inflating in this thread).
        self._native = self._path is not None and native_inflate_enabled()
        self._native_min = (0 if os.environ.get(NATIVE_INFLATE_ENV) == "all"
                            else NATIVE_MIN_SIZE)
        head = _head(filename)
        if head.startswith(OLE_SIGNATURE):
            raise EncryptedWorkbookError(
                self.filename, "an OLE compound file: an encrypted workbook (or a "
                "legacy .xls file), which cannot be read without its password")
        try:
            self._zip = zipfile.ZipFile(filename)
        except zipfile.BadZipFile as exc:
            raise InvalidFileError(self.filename, f"not an xlsx file: not a zip archive ({exc})") \
                from exc
        except (ValueError, EOFError, NotImplementedError) as exc:
            # a damaged directory, or one that asks for an unknown zip feature
            raise InvalidFileError(self.filename, f"not an xlsx file: {exc}") from exc
        self._parts: dict[str, zipfile.ZipInfo] = {}
        for info in self._zip.infolist():
            if not info.is_dir():
                self._parts.setdefault(info.filename.lstrip("/").lower(), info)
        self._rels: dict[str, dict[str, Relationship]] = {}
        self._closed = False

    # -- parts

    def names(self) -> list[str]:
        """Names of every part, as the archive spells them."""
        return [info.filename for info in self._parts.values()]

    def find(self, part: str) -> zipfile.ZipInfo | None:
        return self._parts.get(part.lstrip("/").lower())

    def has(self, part: str) -> bool:
        return self.find(part) is not None

    def open(self, part: str) -> Member:
        """A stream over `part`; MissingPartError when it is absent."""
        info = self.find(part)
        if info is None:
            raise MissingPartError(self.filename, "missing from the archive", part)
        if info.flag_bits & 0x1:
            raise EncryptedWorkbookError(self.filename, "the member is encrypted", part)
        limit = max(MIN_LIMIT, MAX_RATIO * info.compress_size)
        if info.file_size > limit:
            raise ZipBombError(self.filename,
                               f"declares {info.file_size} bytes from {info.compress_size} "
                               f"compressed, too many", part)
        if self._closed:
            raise ValueError("Attempt to use ZIP archive that was already closed")
        try:
            raw: IO[bytes] | Inflating | NativeInflating
            if self._path is not None and info.compress_type == zipfile.ZIP_DEFLATED:
                if self._native and info.file_size >= self._native_min:
                    raw = NativeInflating(self._path, info, limit, self.filename, part)
                else:
                    raw = Inflating(self._path, info, inflater())
            else:
                raw = self._zip.open(info)
        except (zipfile.BadZipFile, NotImplementedError, RuntimeError, zlib.error,
                EOFError, OSError, ValueError) as exc:
            # ValueError: a header offset pointing before the archive's start
            raise BrokenPartError(self.filename, f"cannot be opened ({exc})", part) from exc
        return Member(raw, limit, self.filename, part)

    def parse(self, part: str, namespaces: list[tuple[str, str]] | None = None
              ) -> ET.Element:
        """The root element of the XML part `part`; `namespaces`, when
        given, receives the (prefix, uri) pairs the part declares."""
        with self.open(part) as stream:
            try:
                return xmltree.parse(stream, namespaces=namespaces)
            except (ET.ParseError, expat.ExpatError) as exc:
                raise BrokenPartError(self.filename, f"not well-formed XML ({exc})",
                                      part) from exc

    def rels(self, part: str) -> dict[str, Relationship]:
        """The relationships of `part` ("" for the package) by id; none
        when it has no relationships part."""
        cached = self._rels.get(part)
        if cached is not None:
            return cached
        name = rels_part(part)
        found: dict[str, Relationship] = {}
        if self.has(name):
            for el in self.parse(name):
                if local_name(el.tag) != "Relationship":
                    continue
                rid, rtype, target = el.get("Id"), el.get("Type"), el.get("Target")
                if not rid or rtype is None or target is None:
                    raise BrokenPartError(self.filename,
                                          "a relationship lacks its Id, Type or Target", name)
                external = el.get("TargetMode", "").lower() == "external"
                resolved = target if external else resolve(part, target)
                if resolved is None:
                    raise BrokenPartError(self.filename,
                                          f"relationship {rid} points outside the package",
                                          name)
                found[rid] = Relationship(rid, rtype, resolved, external)
        self._rels[part] = found
        return found

    def content_types(self) -> tuple[dict[str, str], dict[str, str]]:
        """(defaults by lower-case extension, overrides by lower-case part
        name) of the package's content types."""
        if not self.has(CONTENT_TYPES):
            raise MissingPartError(self.filename, "missing: not an xlsx package",
                                   CONTENT_TYPES)
        defaults: dict[str, str] = {}
        overrides: dict[str, str] = {}
        for el in self.parse(CONTENT_TYPES):
            name = local_name(el.tag)
            if name == "Default":
                defaults[el.get("Extension", "").lower()] = el.get("ContentType", "")
            elif name == "Override":
                overrides[el.get("PartName", "").lstrip("/").lower()] = el.get("ContentType", "")
        return defaults, overrides

    def close(self) -> None:
        self._closed = True
        self._zip.close()

    def __enter__(self) -> Archive:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
