"""The file a workbook was loaded from, as the source of the parts a save
copies.

Parts the package does not model are not held in memory after loading:
`SourcePackage` remembers where the file is and its archive's directory
(each member's CRC-32 and sizes), and a save opens it again (``open()``)
to copy those parts, compressed bytes as they are. A file that changed
since it was loaded is refused with SourceChangedError rather than mixed
into the new file. A workbook read from a file object copies the members a
save may need into a temporary archive at load time, since the caller may
close the object before saving.
"""

from __future__ import annotations

import os
import struct
import tempfile
import weakref
import zipfile
from collections.abc import Iterable, Iterator
from typing import IO, Any, BinaryIO, cast

from tavrinex.errors import InvalidFileError, SourceChangedError
from tavrinex.reader.excel import Archive, Relationship

_LOCAL = struct.Struct("<4s2B4HL2L2H")
_COPY_CHUNK = 1 << 20


def data_start(file: IO[bytes], info: zipfile.ZipInfo) -> int:
    """Offset of a member's compressed bytes, read from its local header."""
    file.seek(info.header_offset)
    header = file.read(_LOCAL.size)
    if len(header) != _LOCAL.size or header[:4] != b"PK\x03\x04":
        raise zipfile.BadZipFile(f"bad local header of {info.filename!r}")
    fields = _LOCAL.unpack(header)
    return int(info.header_offset + _LOCAL.size + fields[10] + fields[11])


def raw_chunks(file: IO[bytes], info: zipfile.ZipInfo) -> Iterator[bytes]:
    """The compressed bytes of a member, in chunks."""
    file.seek(data_start(file, info))
    left = info.compress_size
    while left > 0:
        chunk = file.read(min(_COPY_CHUNK, left))
        if not chunk:
            raise zipfile.BadZipFile(f"{info.filename!r} ends early")
        left -= len(chunk)
        yield chunk


def copy_raw(zf: zipfile.ZipFile, name: str, info: zipfile.ZipInfo,
             chunks: Iterable[bytes]) -> None:
    """Add the member `info` of another archive to `zf` under `name`, its
    compressed bytes copied as they are (no inflate, no deflate)."""
    out = zipfile.ZipInfo(name, info.date_time)
    out.compress_type = info.compress_type
    out.CRC = info.CRC
    out.file_size = info.file_size
    out.compress_size = info.compress_size
    # deflate's option bits stay; a data descriptor is not needed any more
    out.flag_bits = info.flag_bits & 0x06
    out.external_attr = 0o600 << 16
    zip64 = out.file_size > zipfile.ZIP64_LIMIT or out.compress_size > zipfile.ZIP64_LIMIT
    z: Any = zf   # zipfile has no public call for this: done as ZipFile.mkdir does it
    with z._lock:
        if z._writing:
            raise ValueError("a member of the archive is open for writing")
        if z._seekable:
            z.fp.seek(z.start_dir)
        out.header_offset = z.fp.tell()
        z._writecheck(out)
        z._didModify = True
        z.fp.write(out.FileHeader(zip64))
        for chunk in chunks:
            z.fp.write(chunk)
        z.filelist.append(out)
        z.NameToInfo[out.filename] = out
        z.start_dir = z.fp.tell()


def _directory(zf: zipfile.ZipFile) -> dict[str, tuple[int, int, int]]:
    return {info.filename.lstrip("/").lower(): (info.CRC, info.compress_size, info.file_size)
            for info in zf.infolist() if not info.is_dir()}


class SourcePackage:
    """Where a loaded workbook came from: a path, or a temporary archive of
    the members of a file object."""

    def __init__(self, archive: Archive, filename: Any, skip: Iterable[str] = ()) -> None:
        self.filename = archive.filename
        self.path: str | None = None
        self._spool: IO[bytes] | None = None
        zf = archive._zip
        if isinstance(filename, (str, bytes, os.PathLike)):
            self.path = os.path.abspath(os.fsdecode(filename))
        else:
            # The caller may close its file object: what a save may copy
            # goes to a temporary archive now (the big modelled parts not).
            skipped = {name.lower() for name in skip}
            fp: Any = zf.fp
            self._spool = tempfile.TemporaryFile()
            weakref.finalize(self, self._spool.close)
            with zipfile.ZipFile(self._spool, "w") as out:
                for info in zf.infolist():
                    if info.is_dir() or info.filename.lstrip("/").lower() in skipped:
                        continue
                    copy_raw(out, info.filename, info, raw_chunks(fp, info))
        self.directory = _directory(zf)

    def same_file(self, path: str) -> bool:
        """Whether `path` is the file this package was read from."""
        if self.path is None:
            return False
        try:
            return os.path.samefile(self.path, path)
        except OSError:
            return os.path.abspath(path) == self.path

    def open(self) -> SourceReader:
        try:
            file: IO[bytes] = (open(self.path, "rb") if self.path is not None
                               else self._spool)   # type: ignore[assignment]
        except OSError as exc:
            raise SourceChangedError(self.filename, f"cannot be opened again to copy the "
                                     f"parts the workbook keeps from it ({exc})") from exc
        return SourceReader(self, file, close=self.path is not None)

    def refresh(self) -> None:
        """Take the directory of the file again (after a save over it)."""
        if self.path is not None:
            with zipfile.ZipFile(self.path) as zf:
                self.directory = _directory(zf)

    def close(self) -> None:
        if self._spool is not None:
            self._spool.close()
            self._spool = None


class SourceReader:
    """The source package open during a save: its parts, relationships and
    content types, and raw copies of its members."""

    def __init__(self, package: SourcePackage, file: IO[bytes], close: bool) -> None:
        self.package = package
        self._file = file
        self._close = close
        if not close:
            file.seek(0)
        try:
            self.archive = Archive(cast(BinaryIO, file))
            self.defaults, self.overrides = self.archive.content_types()
        except (InvalidFileError, OSError) as exc:
            self.close()
            raise SourceChangedError(package.filename, "changed since the workbook was "
                                     f"loaded; its kept parts cannot be copied ({exc})") from exc
        self.archive.filename = package.filename

    def _info(self, part: str) -> zipfile.ZipInfo | None:
        info = self.archive.find(part)
        if info is None:
            return None
        key = info.filename.lstrip("/").lower()
        recorded = self.package.directory.get(key)
        if recorded is None and self._close:
            return None   # not in the file that was loaded
        if recorded is not None and recorded != (info.CRC, info.compress_size, info.file_size):
            raise SourceChangedError(self.package.filename, "changed since the workbook was "
                                     "loaded; the part the save copies from it differs", part)
        return info

    def has(self, part: str) -> bool:
        return self._info(part) is not None

    def name(self, part: str) -> str:
        """The part's name as the archive spells it (without a leading /)."""
        info = self._info(part)
        return info.filename.lstrip("/") if info is not None else part

    def content_type(self, part: str) -> str | None:
        key = part.lstrip("/").lower()
        found = self.overrides.get(key)
        if found is None:
            found = self.defaults.get(key.rpartition(".")[2])
        return found

    def rels(self, part: str) -> dict[str, Relationship]:
        return self.archive.rels(part)

    def read(self, part: str) -> bytes:
        """The inflated bytes of a part."""
        self._info(part)
        with self.archive.open(part) as stream:
            return stream.read()

    def copy(self, zf: zipfile.ZipFile, part: str, name: str) -> None:
        info = self._info(part)
        if info is None:
            raise SourceChangedError(self.package.filename, "changed since the workbook was "
                                     "loaded: a part it keeps is gone", part)
        copy_raw(zf, name, info, raw_chunks(self._file, info))

    def close(self) -> None:
        if self._close:
            self._file.close()

    def __enter__(self) -> SourceReader:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
