"""Gzip and deflate streams decompressed a bounded chunk at a time, in time linear in their
size, and pages read whole only up to a size limit."""

from __future__ import annotations

import gzip
import importlib
import io
import re
import zlib
from typing import Any, BinaryIO

__all__ = [
    "DEFAULT_MAX_PAGE_SIZE",
    "Inflated",
    "PageTooLarge",
    "format_size",
    "gunzip",
    "gunzip_file",
    "read_limited",
]

#: The default limit on one page's size, decompressed (see :func:`read_limited`).
DEFAULT_MAX_PAGE_SIZE = 64 << 20

_CHUNK = 1 << 16
_FIRST_CHUNK = 1 << 8
_NOT_ZERO = re.compile(b"[^\x00]")

try:
    # zlib-ng, when installed: zlib's interface, checks and messages, a copy of the
    # standard module built on a deflate that inflates about twice as fast.
    _zlib: Any = importlib.import_module("zlib_ng.zlib_ng")
except ImportError:
    _zlib = zlib
#: What corrupt data raises in the inflater used (zlib-ng has a class of its own).
_INFLATE_ERRORS: tuple[type[Exception], ...] = tuple({zlib.error, _zlib.error})


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


class Inflated(io.RawIOBase):
    """The decompressed content of a gzip stream (every member, zero padding between and
    after them skipped) or, with ``gzip=False``, of one zlib or raw deflate stream, read
    from ``source`` a bounded chunk at a time.

    No call decompresses more than the caller asks for (at most 64 KiB), so a bomb costs
    only what is read of it. Errors: ``EOFError`` when the stream ends inside a member,
    ``zlib.error`` for corrupt data or anything but zero bytes after a member.

    Archives are read by the native reader; this serves single ``.gz`` pages
    (:func:`larkspine.extract_file`, :func:`gunzip`).
    """

    def __init__(self, source: BinaryIO | io.RawIOBase, *, gzip: bool = True) -> None:
        self._read = getattr(source, "read1", source.read)
        self._gzip = gzip
        #: Compressed bytes read and not yet consumed: ``_data[_at:]``.
        self._data = b""
        self._at = 0
        self._ended = False  # the source has no more bytes
        self._inflate: Any = None  # a decompressor of zlib's interface
        self._chunk = _FIRST_CHUNK
        self._pos = 0
        self._done = False  # a deflate stream (gzip=False) ended

    def readable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._pos

    def seekable(self) -> bool:
        return False

    def readinto(self, buffer: "memoryview | bytearray") -> int:  # type: ignore[override]
        view = memoryview(buffer).cast("B")
        want = min(len(view), _CHUNK)
        if want == 0:
            return 0
        while True:
            got = self._inflate_some(want)
            if got is None:
                return 0
            if got:
                view[: len(got)] = got
                self._pos += len(got)
                return len(got)

    def _inflate_some(self, want: int) -> bytes | None:
        """Up to ``want`` decompressed bytes (possibly none yet), or ``None`` at the end."""
        if self._inflate is None:
            if not self._start_member():
                return None
        inflate = self._inflate
        assert inflate is not None
        if self._at >= len(self._data) and not self._fill():
            kind = "gzip data: the file ends inside a compressed member" if self._gzip else "deflate data"
            raise EOFError(f"truncated {kind}")
        chunk = memoryview(self._data)[self._at : self._at + self._chunk]
        try:
            out: bytes = inflate.decompress(chunk, want)
        except _INFLATE_ERRORS as e:
            raise zlib.error(*e.args) from None  # zlib's own class, whichever inflater said it
        # At a member's end the input left over is ``unused_data`` (``unconsumed_tail`` may
        # then hold the same bytes again); before it, what the output limit left unread.
        self._at += len(chunk) - len(inflate.unused_data if inflate.eof else inflate.unconsumed_tail)
        # Chunks grow from small within a member: what zlib copies of the input past a
        # member's end (``unused_data``) is then about the member's own size at most, so
        # many tiny members cost linear time.
        self._chunk = min(2 * self._chunk, _CHUNK)
        if inflate.eof:
            self._inflate = None
            self._done = not self._gzip
        return out

    def _start_member(self) -> bool:
        """Begin the next member (skipping zero padding); False at the end of the input."""
        if self._done:
            return False
        while True:
            if self._at >= len(self._data) and not self._fill():
                return False
            if not self._gzip:
                break
            found = _NOT_ZERO.search(self._data, self._at)
            if found:
                self._at = found.start()
                break
            self._at = len(self._data)
        if self._gzip:
            wbits = 31
        else:
            if len(self._data) - self._at < 2:
                self._fill(keep=True)
            head = self._data[self._at : self._at + 2]
            # A zlib header (RFC 1950) is a multiple of 31 with method 8; servers sending
            # "deflate" often send raw deflate instead.
            wbits = 15 if len(head) == 2 and head[0] & 0x0F == 8 and int.from_bytes(head, "big") % 31 == 0 else -15
        self._inflate = _zlib.decompressobj(wbits=wbits)
        self._chunk = _FIRST_CHUNK
        return True

    def _fill(self, keep: bool = False) -> bool:
        """Read more compressed bytes (keeping the unconsumed ones); False at the end."""
        if self._ended:
            return False
        more = self._read(_CHUNK)
        if not more:
            self._ended = True
            return False
        if keep and self._at < len(self._data):
            self._data = self._data[self._at :] + more
        else:
            self._data = more
        self._at = 0
        return True


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


def gunzip(data: bytes, limit: int | None = None) -> bytes:
    """Every member of a gzip stream, decompressed; ``EOFError`` if the last one is cut off,
    :class:`PageTooLarge` past ``limit`` bytes.

    Zero bytes between and after members (padding some writers add) are skipped, as the
    ``gzip`` module skips them. Unlike ``gzip.decompress``, which hands zlib the whole rest
    of the input at each member, the time is linear however many members there are.
    """
    stream = Inflated(io.BytesIO(data))
    return read_limited(stream, limit if limit is not None else len(data) * 1032 + (1 << 20))


def gunzip_file(data: bytes) -> bytes:
    """:func:`gunzip` for the content of a ``.gz`` file: ``gzip.BadGzipFile`` when it is
    not gzip data at all, as :func:`gzip.decompress` has it."""
    if not data.startswith(b"\x1f\x8b"):
        raise gzip.BadGzipFile(f"Not a gzipped file ({data[:2]!r})")
    return gunzip(data)
