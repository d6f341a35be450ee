"""Sources a reader may have to read twice (the engine first, then Python
when the engine declines)."""

import io
from collections.abc import Callable
from typing import IO, Any


def open_source(source: Any) -> tuple[IO[bytes], Callable[[], IO[bytes]]]:
    """A readable binary file for `source` and a function that rewinds it
    and returns the file to read from again.

    `source` is a bytes-like object (read from the start each time) or a
    binary file, read from its current position; a file that cannot seek
    is read into memory first, so that it can be read twice.
    """
    if isinstance(source, (bytes, bytearray, memoryview)):
        data = bytes(source)
        current = [io.BytesIO(data)]

        def fresh() -> IO[bytes]:
            current[0] = io.BytesIO(data)
            return current[0]

        return current[0], fresh
    if not _seekable(source):
        source = io.BytesIO(source.read())
    start = source.tell()

    def rewind() -> IO[bytes]:
        source.seek(start)
        return source

    return source, rewind


def _seekable(source: Any) -> bool:
    try:
        return bool(source.seekable())
    except AttributeError:
        return False
