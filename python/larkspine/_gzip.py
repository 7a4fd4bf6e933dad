"""Gzip and deflate streams decompressed a bounded chunk at a time, in time linear in their
size, and pages read whole only up to a size limit."""

from __future__ import annotations

import gzip
import importlib
import io
import re
import zlib
from collections import deque
from collections.abc import Callable
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
_GZIP_MEMBER = b"\x1f\x8b\x08"
#: What a WARC record starts with: a member found while resynchronising must start one.
_RECORD_START = b"WARC/"
#: Compressed bytes a candidate member may take to show its first decompressed bytes.
_PROBE = 1 << 16
_NOT_ZERO = re.compile(b"[^\x00]")

try:
    # zlib-ng (the [warc] extra): zlib's interface, checks and messages, a copy of the
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

    With ``resync`` (for WARC archives of one member per record), an error is not raised
    but ends the stream: :attr:`broken` holds it, and :meth:`resync` skips to the next
    member whose content starts a record (``WARC/``) and says which bytes it skipped.
    Where that search starts depends only on the file, not on how the reading went, as long
    as ``source`` returns its bytes in 64 KiB reads at multiples of 64 KiB of the file (a
    regular file read from its start does): so a part of an archive read on its own, with
    its reads aligned the same way, skips the same bytes as a reading of the whole.

    ``start`` is the offset in the file at which ``source`` begins (a part of an archive
    read on its own), so that member offsets and skipped ranges are the file's own.
    """

    def __init__(
        self, source: BinaryIO | io.RawIOBase, *, gzip: bool = True, resync: bool = False, start: int = 0
    ) -> None:
        self._read = getattr(source, "read1", source.read)
        self._gzip = gzip
        self._resync = resync
        #: Compressed bytes read and not yet consumed: ``_data[_at:]``, starting at
        #: compressed offset ``_base + _at``.
        self._data = b""
        self._at = 0
        self._base = start  # ``source`` begins at this offset of the file (a part read on its own)
        self._ended = False  # the source has no more bytes
        self._inflate: Any = None  # a decompressor of zlib's interface
        self._member_start = 0
        self._chunk = _FIRST_CHUNK
        self._pos = 0
        self._done = False  # a deflate stream (gzip=False) ended
        #: (decompressed offset, compressed offset) of member starts not yet forgotten.
        self.members: deque[tuple[int, int]] = deque()
        #: The error that ended the stream (with ``resync``), and the compressed offset of
        #: the member it was found in.
        self.broken: Exception | None = None
        self.broken_at = 0
        #: The decompressed offset where the broken member's content began.
        self.broken_pos = 0

    def readable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._pos

    def seekable(self) -> bool:
        return False

    @property
    def compressed_pos(self) -> int:
        return self._base + self._at

    def readinto(self, buffer: "memoryview | bytearray") -> int:  # type: ignore[override]
        view = memoryview(buffer).cast("B")
        want = min(len(view), _CHUNK)
        if want == 0 or self.broken is not None:
            return 0
        while True:
            try:
                got = self._inflate_some(want)
            except (EOFError, zlib.error) as e:
                if not self._resync:
                    raise
                self.broken, self.broken_at = e, self._member_start
                self.broken_pos = self.members[-1][0] if self.members else self._pos
                self._inflate = None
                return 0
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
        self._member_start = self.compressed_pos
        self._chunk = _FIRST_CHUNK
        self.members.append((self._pos, self._member_start))
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
        self._base += self._at
        self._at = 0
        return True

    def forget_members(self, before: int) -> None:
        """Drop the member starts at decompressed offsets before ``before``."""
        while self.members and self.members[0][0] < before:
            self.members.popleft()

    def member_at(self, pos: int) -> int | None:
        """The compressed offset of the member whose content starts at ``pos``, if one does."""
        for upos, cpos in self.members:
            if upos == pos:
                return cpos
            if upos > pos:
                break
        return None

    def resync(self) -> tuple[int, int]:
        """After :attr:`broken`: skip to the next member that starts a WARC record, and
        return the compressed byte range skipped (its end is the end of the input when no
        such member follows). The scan starts just after the broken member's start if
        that is still held, else at the start of the bytes held: the read in which the
        error was found, which zlib finds in the same read however the output was asked
        for. Each candidate is probed with at most 64 KiB, so the scan costs time linear
        in what it skips."""
        start = self.broken_at
        self.broken = None
        # The broken member gave nothing past this point: the next member's content starts here.
        while self.members and self.members[-1][0] >= self._pos:
            self.members.pop()
        self._inflate = None
        self._chunk = _FIRST_CHUNK
        if self._base <= start < self._base + len(self._data):
            self._at = start - self._base + 1
        elif start < self._base:
            self._at = 0  # all held is past the member's start
        while True:
            found = self._data.find(_GZIP_MEMBER, self._at)
            if found < 0:
                # Keep the last two bytes: a member header may straddle two reads.
                self._at = max(self._at, len(self._data) - 2)
                if not self._fill(keep=True):
                    self._at = len(self._data)
                    return start, self.compressed_pos
                continue
            self._at = found
            while len(self._data) - self._at < _PROBE and self._fill(keep=True):
                pass
            if _starts_record(memoryview(self._data)[self._at : self._at + _PROBE]):
                return start, self.compressed_pos
            self._at += 1


#: A member taken as a place to split an archive decompresses whole, checksum right, within
#: this many compressed bytes and to at most this many bytes.
_SPLIT_PROBE = 4 << 20
#: Candidate member headers tried per search for such a member, so that a search costs at
#: most this many probes however many gzip magic numbers the data holds.
_SPLIT_CANDIDATES = 32


def record_member_in(read_at: Callable[[int, int], bytes], origin: int, end: int) -> int | None:
    """The offset of the first gzip member starting in ``[origin, end)`` whose content
    starts a WARC record and decompresses whole with its checksum right, or ``None``.

    ``read_at(offset, size)`` reads the file (``os.pread``). Any bytes may look like a member
    header (a record's body may even hold a gzipped WARC, stored as it is), so what this
    finds is only a candidate: a reader starting there must be confirmed by the part before
    it reaching the same member (see :mod:`larkspine._readers`). The search is bounded: at
    most :data:`_SPLIT_CANDIDATES` probes of :data:`_SPLIT_PROBE` bytes each.
    """
    at = origin
    tried = 0
    while at < end and tried < _SPLIT_CANDIDATES:
        data = read_at(at, min(_CHUNK * 4, end - at + 2))
        if len(data) < 3:
            return None
        found = data.find(_GZIP_MEMBER)
        if found < 0 or at + found >= end:
            at += len(data) - 2  # a header may straddle two reads
            if found >= 0:
                return None
            continue
        tried += 1
        if _whole_record_member(read_at, at + found):
            return at + found
        at += found + 1
    return None


def _whole_record_member(read_at: Callable[[int, int], bytes], pos: int) -> bool:
    inflate = _zlib.decompressobj(wbits=31)
    head = b""
    made = 0
    at = pos
    data = b""
    try:
        while at - pos < _SPLIT_PROBE and made <= _SPLIT_PROBE:
            if not data:
                data = read_at(at, _CHUNK)
                if not data:
                    return False
            out = inflate.decompress(data, _CHUNK)
            made += len(out)
            if len(head) < len(_RECORD_START):
                head += out[: len(_RECORD_START) - len(head)]
                if not _RECORD_START.startswith(head):
                    return False
            if inflate.eof:
                return head == _RECORD_START
            left = inflate.unconsumed_tail
            at += len(data) - len(left)
            data = left
    except _INFLATE_ERRORS:
        return False
    return False


def _starts_record(data: memoryview) -> bool:
    """Whether the gzip member at the start of ``data`` decompresses to ``WARC/`` first."""
    inflate = _zlib.decompressobj(wbits=31)
    out = b""
    pos = 0
    try:
        while len(out) < len(_RECORD_START) and pos < len(data) and not inflate.eof:
            step = data[pos : pos + _FIRST_CHUNK]
            out += inflate.decompress(step, len(_RECORD_START) - len(out))
            pos += len(step) - len(inflate.unconsumed_tail)
    except _INFLATE_ERRORS:
        return False
    return out[: len(_RECORD_START)] == _RECORD_START


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
