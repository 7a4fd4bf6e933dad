"""Single gzip pages inflated whole, bounded, by the native reader (archives are read by
the archive run), and plain pages read whole only up to a size limit."""

from __future__ import annotations

import gzip
import io
import zlib
from typing import BinaryIO

import _larkspine

__all__ = [
    "DEFAULT_MAX_PAGE_SIZE",
    "PageTooLarge",
    "format_size",
    "gunzip",
    "gunzip_file",
    "gunzip_stream",
    "read_limited",
]

#: The default limit on one page's size, decompressed (see :func:`read_limited`).
DEFAULT_MAX_PAGE_SIZE = 64 << 20

_CHUNK = 1 << 16


class PageTooLarge(ValueError):
    """A page that decompresses (or reads) to more than the limit it was read with."""

    def __init__(self, limit: int, message: str | None = None) -> None:
        super().__init__(message or f"page too large: over the limit of {format_size(limit)} (max page size)")
        self.limit = limit


def format_size(size: int) -> str:
    """``64 MiB``, ``1.5 GiB``, ``1000 bytes``: a size as a person would write it."""
    for unit, shift in (("GiB", 30), ("MiB", 20), ("KiB", 10)):
        if size >= 1 << shift and size % (1 << (shift - 10)) == 0:
            return f"{size / (1 << shift):g} {unit}"
    return f"{size} bytes"


def read_limited(stream: BinaryIO | io.RawIOBase, limit: int, size: int | None = None) -> bytes:
    """Everything ``stream`` holds, or :class:`PageTooLarge` as soon as that is more than
    ``limit`` bytes. ``size``, when known, is what the stream holds (it is allocated at once).

    The bytes are gathered in a ``BytesIO`` whose buffer becomes the result without a copy,
    so a page costs its own size (plus at most an eighth while its size is unknown), not
    twice its size as joining a list of chunks would.
    """
    if size is not None and size > limit:
        raise PageTooLarge(limit)
    out = io.BytesIO()
    if size:
        out.seek(size - 1)
        out.write(b"\x00")  # allocates the whole buffer once; the reads below fill it
        out.seek(0)
    while True:
        chunk = stream.read(_CHUNK)
        if not chunk:
            break
        if out.tell() + len(chunk) > limit:
            raise PageTooLarge(limit)
        out.write(chunk)
    if size and out.tell() < size:
        out.truncate()
    return out.getvalue()


def _inflated(result: tuple[bytes | None, int, str], limit: int) -> bytes:
    """The content of a native inflate, or the exception its end stands for: ``EOFError``
    for data cut off inside a member, ``zlib.error`` for bad data (or bytes after a member
    that start none), :class:`PageTooLarge` past ``limit``, ``OSError`` for a read error."""
    content, end, reason = result
    if content is not None:
        return content
    if end == 1:
        raise EOFError(reason)
    if end == 2:
        raise zlib.error(reason)
    if end == 3:
        raise PageTooLarge(limit)
    raise OSError(reason)


def gunzip(data: bytes, limit: int | None = None) -> bytes:
    """Every member of a gzip stream, decompressed; ``EOFError`` if the last one is cut off,
    ``zlib.error`` for corrupt data, :class:`PageTooLarge` past ``limit`` bytes.

    Zero bytes between and after members (padding some writers add) are skipped, as the
    ``gzip`` module skips them. Unlike ``gzip.decompress``, which hands zlib the whole rest
    of the input at each member, the time is linear however many members there are.
    """
    bound = limit if limit is not None else len(data) * 1032 + (1 << 20)
    return _inflated(_larkspine._gunzip(data, bound), bound)


def gunzip_stream(stream: BinaryIO, limit: int) -> bytes:
    """:func:`gunzip` of an open file (a regular file from its start), read as it is
    inflated: a bomb costs the limit, not what it would inflate to."""
    return _inflated(_larkspine._gunzip_fd(stream.fileno(), limit), limit)


def gunzip_file(data: bytes) -> bytes:
    """:func:`gunzip` for the content of a ``.gz`` file: ``gzip.BadGzipFile`` when it is
    not gzip data at all, as :func:`gzip.decompress` has it."""
    if not data.startswith(b"\x1f\x8b"):
        raise gzip.BadGzipFile(f"Not a gzipped file ({data[:2]!r})")
    return gunzip(data)
