"""Exceptions raised when a workbook file cannot be read.

Every one names the file and, where there is one, the part of the archive
that is at fault. They derive from ValueError: the input is wrong, not the
system (a file that cannot be opened at all raises the usual OSError).
"""

from __future__ import annotations


class InvalidFileError(ValueError):
    """The file is not a workbook this package can read."""

    def __init__(self, filename: str, message: str, part: str | None = None) -> None:
        self.filename = filename
        self.part = part
        where = f"{filename}: {part}" if part else filename
        super().__init__(f"{where}: {message}")


class MissingPartError(InvalidFileError):
    """A part the workbook refers to is not in the archive."""


class BrokenPartError(InvalidFileError):
    """A part is in the archive but cannot be read (bad XML, bad data,
    a damaged compressed stream)."""


class ZipBombError(InvalidFileError):
    """A part inflates far beyond what its compressed size allows."""


class EncryptedWorkbookError(InvalidFileError):
    """The workbook is encrypted (saved with a password to open)."""


class SourceChangedError(InvalidFileError):
    """The file a workbook was loaded from changed (or went away) before
    a save that copies the parts the workbook keeps from it."""
