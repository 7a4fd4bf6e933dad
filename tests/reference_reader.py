"""The archive reader the package had before its reader moved into the native core, kept
as the oracle of the differential tests: Python over FastWARC and zlib, one input at a
time, on one thread. Its pages, failures and counts are what the native reader must give
on every archive the tests build (the native reader may keep more of a damaged archive,
where the tests say so).
"""

# mypy: ignore-errors
from __future__ import annotations

import gzip
import importlib
import io
import os
import re
import stat
import zlib
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from typing import Any, BinaryIO

from larkspine._gzip import PageTooLarge, read_limited
from larkspine.inputs import Document, InputFailure, ReadStats, warc_date

HTML_MEDIA_TYPES = frozenset({"text/html", "application/xhtml+xml"})
_GZIP_MAGIC = b"\x1f\x8b"
_WARC_MAGIC = b"WARC/"
_CHUNK = 1 << 16
_MAX_HTTP_HEADER = 1 << 20
Item = Document | InputFailure


def read_inputs(
    paths: Iterable[str], stats: ReadStats | None = None, *, max_page_size: int | None = None,
    only_2xx: bool | None = None,
) -> Iterator[Item]:
    """Every page of every file in ``paths``, in order, as the package's reader once read them."""
    stats = stats if stats is not None else ReadStats()
    if max_page_size is not None:
        stats.max_page_size = max_page_size
    if only_2xx is not None:
        stats.only_2xx = only_2xx
    for path in paths:
        try:
            stream = open(path, "rb")
        except OSError as e:
            yield InputFailure(path, None, _os_reason(e))
            continue
        stats.files += 1
        with stream:
            yield from _read_stream(stream, path, stats)


def _skip(stats: ReadStats, kind: str, category: str) -> None:
    """Count a skipped record: ``category`` is the name of one of the four counts."""
    setattr(stats, category, getattr(stats, category) + 1)
    stats.skipped += 1
    stats.skipped_kinds[kind] = stats.skipped_kinds.get(kind, 0) + 1


def _os_reason(e: BaseException) -> str:
    if isinstance(e, OSError) and e.strerror:
        return e.strerror
    return str(e) or type(e).__name__



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


def _read_stream(stream: BinaryIO, source: str, stats: ReadStats, part: Part | None = None) -> Iterator[Item]:
    """One page or one archive (its first part, with ``part``) from an open binary stream."""
    limit = stats.max_page_size
    try:
        head, first = _sniff(stream)
        gzipped = head.startswith(_GZIP_MAGIC)
        if first == _WARC_MAGIC:
            yield from _read_records(_Prefixed(head, stream), gzipped, source, stats, part)
            return
        if gzipped:
            body = read_limited(Inflated(_Prefixed(head, stream)), limit)
        else:
            body = _read_plain(stream, head, limit)
    except PageTooLarge as e:
        yield InputFailure(source, None, str(e))
        return
    except (OSError, EOFError, zlib.error) as e:
        yield InputFailure(source, None, _os_reason(e))
        return
    yield Document(source, None, None, body)


def _read_plain(stream: BinaryIO, head: bytes, limit: int) -> bytes:
    """The whole page whose first bytes ``head`` were read already. A regular file is read
    again from its start into a buffer of its size (one allocation, no copy); a larger one
    is refused without reading it."""
    size = None
    try:
        if stream.seekable():
            st = os.fstat(stream.fileno())
            if stat.S_ISREG(st.st_mode):
                size = st.st_size
    except (OSError, ValueError, io.UnsupportedOperation):
        size = None
    if size is not None:
        # Back to where the page starts (standard input redirected from a file may start
        # past the file's beginning), then read it whole into a buffer of its size.
        start = stream.tell() - len(head)
        if start >= 0 and size - start >= len(head):
            if size - start > limit:
                raise PageTooLarge(limit)
            stream.seek(start)
            return read_limited(stream, limit, size - start)
    return read_limited(_Prefixed(head, stream), limit)


def _read_up_to(stream: BinaryIO, n: int) -> bytes:
    """Exactly ``n`` bytes, or fewer only at end of stream (a pipe may return short reads)."""
    parts = []
    while n > 0:
        got = stream.read(n)
        if not got:
            break
        parts.append(got)
        n -= len(got)
    return b"".join(parts)


def _sniff(stream: BinaryIO) -> tuple[bytes, bytes]:
    """The bytes read to tell a WARC archive from a page, and the first five of the content
    (after gunzipping). Reads only what a pipe has so far, so that the first records on
    standard input need not wait for more."""
    read = getattr(stream, "read1", stream.read)
    head = b""
    while True:
        more = read(_CHUNK)
        head += more
        if head[:2] == _GZIP_MAGIC:
            first = _gunzip_head(head, len(_WARC_MAGIC))
        else:
            first = head[: len(_WARC_MAGIC)]
        if len(first) == len(_WARC_MAGIC) or not more or len(head) >= _CHUNK:
            return head, first


def _gunzip_head(data: bytes, n: int) -> bytes:
    """The first ``n`` decompressed bytes of gzip data (fewer if it holds fewer)."""
    try:
        return zlib.decompressobj(wbits=31).decompress(data, n)
    except zlib.error:
        return b""


class _Prefixed(io.RawIOBase):
    """A stream that yields ``prefix`` and then the rest of ``stream`` (undoes a peek).

    It knows its position, which FastWARC asks for with ``seek(0, SEEK_CUR)`` (pipes cannot
    answer that themselves), and counts what it read.
    """

    def __init__(self, prefix: bytes, stream: Any) -> None:
        self._prefix = memoryview(prefix)
        self._read = getattr(stream, "read1", stream.read)
        self._pos = 0

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._pos

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        target = offset + (self._pos if whence == io.SEEK_CUR else 0)
        if whence not in (io.SEEK_SET, io.SEEK_CUR) or target < self._pos:
            raise io.UnsupportedOperation("this stream only seeks forward")
        while self._pos < target and self.read(min(_CHUNK, target - self._pos)):
            pass
        return self._pos

    def readinto(self, buffer: "memoryview | bytearray") -> int:  # type: ignore[override]
        view = memoryview(buffer).cast("B")
        if self._prefix:
            n = min(len(view), len(self._prefix))
            view[:n] = self._prefix[:n]
            self._prefix = self._prefix[n:]
        else:
            # read1 returns what a pipe holds now (at least a byte, unless at its end), so
            # records arriving on standard input are extracted as they arrive.
            data = self._read(min(len(view), _CHUNK))
            n = len(data)
            view[:n] = data
        self._pos += n
        return n


class _Unknown:
    """The record before a part of an archive, which the part itself cannot know."""


#: The last record known whole before a part starts reading (see :class:`Part`).
UNKNOWN: Any = _Unknown()


@dataclass(slots=True)
class Part:
    """One of the parts a large WARC.gz is read in, each by its own thread (see
    :mod:`larkspine._readers`): it starts at gzip member ``start`` and reads as the whole
    archive would be read from there, until a record starts at a member for which ``stop``
    says true (the next part's start): :attr:`stopped_at` is then that member's offset."""

    start: int
    stop: Callable[[int], bool]
    stopped_at: int | None = None
    #: The offset of the last record known whole when the part ends (:data:`UNKNOWN`: none
    #: in this part, for a part not at the archive's start).
    last: Any = None


@dataclass(frozen=True, slots=True)
class CorruptRun:
    """A corrupt run of members found by a part of an archive before any record of its
    own: the failure names the record before it, which only the parts before know."""

    source: str
    reason: str

    def failure(self, after: int | None) -> InputFailure:
        return InputFailure(self.source, None, _corrupt_reason(after, self.reason))


def _corrupt_reason(after: int | None, reason: str) -> str:
    where = "" if after is None else f" after the record at offset {after}"
    return f"corrupt WARC{where}: {reason}"


def _read_records(
    reader: _Prefixed, gzipped: bool, source: str, stats: ReadStats, part: Part | None = None
) -> Iterator[Any]:
    """The pages of an archive. A gzipped one is decompressed here, member by member: a
    corrupt member is reported as one failure naming the bytes skipped, and reading goes on
    at the next member that starts a record (as crawlers write one member per record).

    With ``part``, only that part of a gzipped archive (see :class:`Part`); its first
    failure may be a :class:`CorruptRun`, for the caller to place."""
    try:
        from fastwarc.warc import ArchiveIterator
    except ImportError:
        yield InputFailure(source, None, "reading WARC files needs FastWARC: pip install 'larkspine[warc]'")
        return
    if not gzipped:
        try:
            for _, _, item in _records(ArchiveIterator, reader, None, source, stats):
                if item is not None:
                    yield item
        except (OSError, EOFError, zlib.error) as e:
            yield InputFailure(source, None, f"corrupt WARC: {_os_reason(e)}")
        return
    inflated = Inflated(reader, resync=True, start=0 if part is None else part.start)
    # The offset of the last record known whole.
    last: Any = None if part is None or part.start == 0 else UNKNOWN
    # The bytes skipped so far, reported once the next record is read or the archive ends,
    # so that broken members in a row are one failure: (start, end, error, last record).
    skipped: tuple[int, int, Exception, Any] | None = None
    stop: Callable[[int], bool] | None = None
    if part is not None:
        whole = part

        def stop(offset: int) -> bool:
            if offset > whole.start and whole.stop(offset):
                whole.stopped_at = offset
                return True
            return False

    def failure(start: int, end: int, error: Exception, after: Any) -> InputFailure | CorruptRun:
        reason = f"{_os_reason(error)}; bytes {start} to {end} skipped"
        if after is UNKNOWN:
            return CorruptRun(source, reason)
        return InputFailure(source, None, _corrupt_reason(after, reason))

    while True:
        # Each record is held back until the next one starts: only then has its member been
        # read to its end, and its checksum found right (a corrupt member may decompress
        # without complaint up to there). A record of a member found corrupt is dropped
        # with it: the skipped bytes are its failure.
        held: tuple[int, int | None, Item | None] | None = None
        try:
            for record in _records(ArchiveIterator, inflated, inflated, source, stats, stop):
                if held is not None:
                    if skipped is not None:
                        yield failure(*skipped)
                        skipped = None
                    if held[2] is not None:
                        yield held[2]
                    last = held[1] if held[1] is not None else last
                held = record
        except (OSError, EOFError, zlib.error) as e:
            inflated.broken, inflated.broken_at = e, inflated.compressed_pos
            inflated.broken_pos = inflated.tell()
        broken = inflated.broken
        if held is not None:
            pos, offset, item = held
            cut = isinstance(item, InputFailure) and item.reason.startswith("truncated")
            # A record whose member broke is lost with it when the member's data was bad,
            # or when the record itself was cut off there; one read whole before a member
            # merely ends early (its trailer cut off) is sound.
            if broken is None or pos < inflated.broken_pos or not (isinstance(broken, zlib.error) or cut):
                if skipped is not None:
                    yield failure(*skipped)
                    skipped = None
                if item is not None:
                    yield item
                last = offset if offset is not None else last
        if broken is None:
            if skipped is not None:
                yield failure(*skipped)
            if part is not None:
                part.last = last
            return
        start, end = inflated.resync()
        if skipped is not None and skipped[1] == start:
            skipped = (skipped[0], end, skipped[2], skipped[3])
        else:
            if skipped is not None:
                yield failure(*skipped)
            skipped = (start, end, broken, last)


def _records(
    archive: Any, stream: Any, inflated: Inflated | None, source: str, stats: ReadStats,
    stop: Callable[[int], bool] | None = None,
) -> Iterator[tuple[int, int | None, Item | None]]:
    """(position in ``stream``, offset, page or failure or ``None``) for each record
    FastWARC finds in ``stream`` (an uncompressed WARC), up to the first record that starts
    at a member for which ``stop`` says true (read by another part; see :class:`Part`)."""
    from fastwarc.warc import WarcRecordType

    records = archive(stream, parse_http=False, stream_detect=False, fsspec_args=False)
    for record in records:
        pos = record.stream_pos
        offset: int | None = pos
        if inflated is not None:
            # The compressed offset of the record's member; a record that starts inside a
            # member (a WARC gzipped as one stream) has no offset one could seek to.
            offset = inflated.member_at(pos)
            inflated.forget_members(pos)
            if stop is not None and offset is not None and stop(offset):
                return  # decided before the record is looked at: it and its counts are the next part's
        if _decimal(record.headers.get("Content-Length")) is None:
            yield pos, offset, InputFailure(
                source, offset, "truncated or malformed WARC record: its header has no Content-Length"
            )
            continue
        if record.record_type != WarcRecordType.response:
            kind = (record.headers.get("WARC-Type") or "unknown").lower()
            _skip(stats, kind, "requests" if record.record_type == WarcRecordType.request else "other_records")
            yield pos, offset, None
            continue
        yield pos, offset, _response(record, source, offset, stats)


def _response(record: Any, source: str, offset: int | None, stats: ReadStats) -> Item | None:
    """The page of a response record, read as far as needed: the HTTP header first (a
    record that is no HTML page costs no more than that), then the body up to the limit."""
    headers = record.headers
    expected = _decimal(headers.get("Content-Length")) or 0
    reader: Any = record.reader
    head = b""
    head_end, sep = -1, 0
    ended = reader is None
    while not ended and len(head) < _MAX_HTTP_HEADER:
        chunk = reader.read(_CHUNK)
        ended = not chunk
        head += chunk
        head_end, sep = _header_end(head)
        if head_end >= 0:
            break
    if head_end < 0:
        if ended and len(head) < expected:
            return InputFailure(source, offset, f"truncated WARC record: {len(head)} of {expected} bytes")
        if not head.startswith(b"HTTP/"):
            _skip(stats, "non-HTTP response", "non_html")
            return None
        return InputFailure(source, offset, "HTTP header without a body (no blank line after the header)")
    status, fields = _parse_http_header(head[:head_end])
    if status is None:
        _skip(stats, "non-HTTP response", "non_html")
        return None
    media, charset = _content_type(fields.get("content-type"))
    if media not in HTML_MEDIA_TYPES:
        _skip(stats, media or "no Content-Type", "non_html")
        return None
    if not 100 <= status <= 999:
        status = 0  # no status line one could read: neither kept nor dropped as a status
    if stats.only_2xx and not 200 <= status <= 299:
        _skip(stats, f"status {status}" if status else "no status", "not_2xx")
        return None
    url = headers.get("WARC-Target-URI")
    limit = stats.max_page_size
    raw = _Counted(head[head_end + sep :], reader, len(head))
    try:
        try:
            body = _read_body(raw, fields, limit, expected)
        finally:
            raw.drain()  # the rest of the block (after a decoded body's end), to check its length
    except PageTooLarge as e:
        return InputFailure(source, offset, str(e))
    except (OSError, EOFError, zlib.error, ValueError) as e:
        if raw.total < expected:
            return InputFailure(source, offset, f"truncated WARC record: {raw.total} of {expected} bytes")
        return InputFailure(source, offset, f"undecodable HTTP body: {_os_reason(e)}")
    if raw.total < expected:
        return InputFailure(source, offset, f"truncated WARC record: {raw.total} of {expected} bytes")
    announced = _decimal(fields.get("content-length"))
    if (
        not body
        and announced
        and "transfer-encoding" not in fields
        and headers.get("WARC-Truncated") is None
    ):
        return InputFailure(source, offset, f"HTTP header without a body (Content-Length: {announced})")
    return Document(
        source, offset, url, body, charset, status=status or None, date=warc_date(headers.get("WARC-Date")),
        record_id=headers.get("WARC-Record-ID"), content_type=media,
    )


class _Counted(io.RawIOBase):
    """A record's block after its HTTP header: ``prefix`` (read with the header), then the
    rest of the record's reader; :attr:`total` counts the block's bytes read, header included."""

    def __init__(self, prefix: bytes, reader: Any, total: int) -> None:
        self._stream = _Prefixed(prefix, reader)
        self._reader = reader
        self.total = total - len(prefix)

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: "memoryview | bytearray") -> int:  # type: ignore[override]
        n = self._stream.readinto(buffer)
        self.total += n
        return n

    def drain(self) -> None:
        while self.read(_CHUNK):
            pass


def _read_body(raw: _Counted, fields: dict[str, str], limit: int, expected: int) -> bytes:
    """The body without its transfer coding (chunked) and content coding (gzip, deflate),
    decoded a chunk at a time and never past ``limit`` bytes."""
    stream: Any = raw
    coded = False
    if "chunked" in fields.get("transfer-encoding", "").lower():
        stream, coded = _Dechunked(stream), True
    coding = fields.get("content-encoding", "").strip().lower()
    if coding in ("gzip", "x-gzip"):
        stream, coded = Inflated(stream), True
    elif coding == "deflate":
        stream, coded = Inflated(stream, gzip=False), True
    elif coding not in ("", "identity", "none"):
        raise ValueError(f"unsupported Content-Encoding {coding!r}")
    size = None if coded else max(expected - raw.total, 0)
    return read_limited(stream, limit, size)


#: Longest chunk-size line of a chunked body (with any chunk extensions).
_MAX_CHUNK_LINE = 1 << 12


class _Dechunked(io.RawIOBase):
    """A chunked HTTP body without its chunk framing, decoded as it is read."""

    def __init__(self, raw: Any) -> None:
        self._read = raw.read
        self._buf = b""
        self._at = 0
        self._left = 0  # bytes left of the current chunk
        self._after_chunk = False  # the CRLF ending a chunk's data comes next
        self._done = False

    def readable(self) -> bool:
        return True

    def _more(self) -> bool:
        more = self._read(_CHUNK)
        if not more:
            return False
        self._buf = self._buf[self._at :] + more
        self._at = 0
        return True

    def _line(self) -> bytes:
        while True:
            eol = self._buf.find(b"\n", self._at, self._at + _MAX_CHUNK_LINE + 1)
            if eol >= 0:
                line = self._buf[self._at : eol]
                self._at = eol + 1
                return line
            if len(self._buf) - self._at > _MAX_CHUNK_LINE:
                raise ValueError(f"bad chunk size {self._buf[self._at : self._at + 20]!r}")
            if not self._more():
                raise ValueError("chunked body ends inside a chunk size line")

    def readinto(self, buffer: "memoryview | bytearray") -> int:  # type: ignore[override]
        if self._done:
            return 0
        if self._left == 0:
            if self._after_chunk:
                if len(self._buf) - self._at < 2:
                    self._more()
                if self._buf[self._at : self._at + 2] == b"\r\n":
                    self._at += 2
                elif self._buf[self._at : self._at + 1] == b"\n":
                    self._at += 1
                self._after_chunk = False
            size_text = self._line().split(b";", 1)[0].strip()
            try:
                size = int(size_text, 16)
            except ValueError:
                size = -1
            if size < 0:
                raise ValueError(f"bad chunk size {size_text[:20]!r}")
            if size == 0:
                self._done = True
                return 0
            self._left = size
        if self._at >= len(self._buf) and not self._more():
            raise ValueError("chunked body ends inside a chunk")
        view = memoryview(buffer).cast("B")
        n = min(len(view), self._left, len(self._buf) - self._at)
        view[:n] = memoryview(self._buf)[self._at : self._at + n]
        self._at += n
        self._left -= n
        self._after_chunk = self._left == 0
        return n


def _header_end(block: bytes) -> tuple[int, int]:
    """Where the HTTP header ends and how long its blank-line separator is (-1 if absent).

    A header ends at the first CRLF CRLF, or at an earlier LF LF (servers that send bare
    LFs); the LF LF search stops where the CRLF one ended, so the body is not scanned.
    """
    crlf = block.find(b"\r\n\r\n", 0, _MAX_HTTP_HEADER)
    lf = block.find(b"\n\n", 0, crlf if crlf >= 0 else _MAX_HTTP_HEADER)
    if lf >= 0:
        return lf, 2
    return crlf, 4


def _decimal(value: str | None) -> int | None:
    """A header's decimal number, or ``None`` unless it is ASCII digits (``str.isdigit`` and
    ``int`` also take other scripts' digits, superscripts and blanks such as U+001C), or has
    more than 30 significant digits (``int`` refuses more than 4,300, and no length comes
    near 10**30)."""
    value = value.strip(" \t") if value is not None else ""
    if not (value.isascii() and value.isdigit()) or len(value.lstrip("0")) > 30:
        return None
    return int(value)


def _parse_http_header(head: bytes) -> tuple[int | None, dict[str, str]]:
    """The status code and the header fields (lower-case names; the first of repeated fields)."""
    # Lines end at CR LF, LF or CR only: str.splitlines would also split at the bytes
    # 0x1C-0x1E and 0x85, which are field content.
    lines = re.split(r"\r\n|\r|\n", head.decode("latin-1"))
    if not lines or not lines[0].startswith("HTTP/"):
        return None, {}
    parts = lines[0].split(None, 2)
    status = (_decimal(parts[1]) if len(parts) > 1 else None) or 0
    fields: dict[str, str] = {}
    for line in lines[1:]:
        name, colon, value = line.partition(":")
        if colon:
            fields.setdefault(name.strip().lower(), value.strip())
    return status, fields


def _content_type(value: str | None) -> tuple[str, str | None]:
    """The media type (lower case) and the ``charset`` parameter of a ``Content-Type`` value."""
    if not value:
        return "", None
    media, _, params = value.partition(";")
    charset = None
    for param in params.split(";"):
        name, eq, val = param.partition("=")
        if eq and name.strip().lower() == "charset":
            charset = val.strip().strip("\"'").strip() or None
            break
    return media.strip().lower(), charset
