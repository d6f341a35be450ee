"""Images placed on worksheets.

PNG, JPEG and GIF are recognised and measured from their own header
bytes; other formats (BMP, TIFF, ...) are measured by Pillow where it is
installed. An image sits at an anchor: one cell ("B2": its top left corner
there, its size its own) or two cells ("B2:E10": stretched from the top left
of the first to the top left of the cell after the second).
"""

from __future__ import annotations

import io
import os
import re
import struct
from dataclasses import dataclass
from typing import IO, Any

from tavrinex.utils.cell import column_index_from_string

EMU_PER_PIXEL = 9525          # at 96 pixels an inch, as Excel lays out pictures

_ANCHOR = re.compile(r"\$?([A-Za-z]{1,3})\$?([0-9]+)(?::\$?([A-Za-z]{1,3})\$?([0-9]+))?\Z")
_CONTENT_TYPES = {"png": "image/png", "jpeg": "image/jpeg", "gif": "image/gif",
                  "bmp": "image/bmp", "tiff": "image/tiff", "webp": "image/webp",
                  "emf": "image/x-emf", "wmf": "image/x-wmf"}
# JPEG start-of-frame markers: the ones that carry the picture's size.
_SOF = frozenset(range(0xC0, 0xD0)) - {0xC4, 0xC8, 0xCC}


class ImageError(ValueError):
    """Bytes that are not an image this package can place."""


def _png_size(data: bytes) -> tuple[int, int]:
    if len(data) < 24 or data[12:16] != b"IHDR":
        raise ImageError("PNG image without its IHDR header")
    width, height = struct.unpack(">II", data[16:24])
    return width, height


def _gif_size(data: bytes) -> tuple[int, int]:
    if len(data) < 10:
        raise ImageError("GIF image cut short in its header")
    width, height = struct.unpack("<HH", data[6:10])
    return width, height


def _jpeg_size(data: bytes) -> tuple[int, int]:
    pos = 2
    while pos + 4 <= len(data):
        if data[pos] != 0xFF:
            raise ImageError(f"JPEG image with a broken segment at byte {pos}")
        marker = data[pos + 1]
        if marker == 0xFF:                 # fill byte before a marker
            pos += 1
            continue
        if marker in (0x01,) or 0xD0 <= marker <= 0xD7:   # markers without a length
            pos += 2
            continue
        (length,) = struct.unpack(">H", data[pos + 2:pos + 4])
        if marker in _SOF:
            if pos + 9 > len(data):
                break
            height, width = struct.unpack(">HH", data[pos + 5:pos + 9])
            return width, height
        if marker == 0xDA or length < 2:   # image data before any frame header
            break
        pos += 2 + length
    raise ImageError("JPEG image without a frame header")


def _pillow_size(data: bytes) -> tuple[str, int, int]:
    try:
        from PIL import Image as PILImage
    except ImportError:
        raise ImageError("not a PNG, JPEG or GIF image (other formats need Pillow, which "
                         "is not installed)") from None
    try:
        with PILImage.open(io.BytesIO(data)) as picture:
            kind = (picture.format or "").lower()
            width, height = picture.size
    except Exception as exc:
        raise ImageError(f"not an image Pillow can read: {exc}") from None
    if kind not in _CONTENT_TYPES:
        raise ImageError(f"{kind or 'this'} images cannot be placed in a workbook")
    return kind, width, height


def image_info(data: bytes) -> tuple[str, int, int]:
    """(format, width, height in pixels) of image bytes: "png", "jpeg",
    "gif", or a format Pillow names."""
    if data.startswith(b"\x89PNG\r\n\x1a\n"):
        return ("png", *_png_size(data))
    if data.startswith(b"\xff\xd8"):
        return ("jpeg", *_jpeg_size(data))
    if data[:6] in (b"GIF87a", b"GIF89a"):
        return ("gif", *_gif_size(data))
    return _pillow_size(data)


def content_type(kind: str) -> str:
    return _CONTENT_TYPES[kind]


def parse_anchor(anchor: str) -> tuple[tuple[int, int], tuple[int, int] | None]:
    """((row, column), (row, column) or None) of an anchor text, 1-based."""
    match = _ANCHOR.match(anchor) if isinstance(anchor, str) else None
    if not match:
        raise ValueError(f"an anchor is a cell such as 'B2' or two such as 'B2:E10', "
                         f"not {anchor!r}")
    first = (int(match[2]), column_index_from_string(match[1]))
    second = (int(match[4]), column_index_from_string(match[3])) if match[3] else None
    for row, column in [first] + ([second] if second else []):
        if not (1 <= row <= 1_048_576 and column <= 16_384):
            raise ValueError(f"anchor {anchor!r} is outside the sheet")
    if second is not None and (second[0] < first[0] or second[1] < first[1]):
        raise ValueError(f"anchor {anchor!r} does not run from top left to bottom right")
    return first, second


def _read_source(source: Any) -> bytes:
    if isinstance(source, (bytes, bytearray, memoryview)):
        return bytes(source)
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as f:
            return f.read()
    read = getattr(source, "read", None)
    if read is None:
        raise TypeError(f"an image source is a path, bytes or a binary file object, "
                        f"not {type(source).__name__}")
    data = read()
    if not isinstance(data, (bytes, bytearray)):
        raise TypeError("an image file object must be opened in binary mode")
    return bytes(data)


class Image:
    """An image for ``Worksheet.add_image``, from a path, bytes or a binary
    file object. `width` and `height` (pixels) default to the image's own
    size; given one, the other keeps the image's proportions. `anchor` is
    "B2" (the image keeps its size) or "B2:E10" (it fills those cells)."""

    def __init__(self, source: str | os.PathLike[str] | bytes | IO[bytes], anchor: str = "B2",
                 width: float | None = None, height: float | None = None) -> None:
        self.data = _read_source(source)
        self.format, self.pixel_width, self.pixel_height = image_info(self.data)
        parse_anchor(anchor)
        self.anchor = anchor.upper()
        for name, value in (("width", width), ("height", height)):
            if value is not None and (isinstance(value, bool) or not isinstance(value, (int, float))
                                      or value <= 0):
                raise ValueError(f"image {name} is a positive number of pixels, not {value!r}")
        natural_w, natural_h = self.pixel_width or 1, self.pixel_height or 1
        if width is None and height is not None:
            width = height * natural_w / natural_h
        if height is None and width is not None:
            height = width * natural_h / natural_w
        self.width = round(width) if width is not None else self.pixel_width
        self.height = round(height) if height is not None else self.pixel_height

    @property
    def content_type(self) -> str:
        return content_type(self.format)

    def __repr__(self) -> str:
        return f"<Image {self.format} {self.width}x{self.height} at {self.anchor}>"


@dataclass(frozen=True)
class PlacedImage:
    """An image of a sheet read from a file: its anchor ("B2" or "B2:E10"),
    its size in pixels as placed, its bytes and its format ("png", ...)."""

    anchor: str
    width: int
    height: int
    data: bytes
    format: str
