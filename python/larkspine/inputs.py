"""Pages for batch extraction: files, directories, globs, gzip, WARC archives and standard input.

What goes in: the INPUT arguments of ``larkspine extract`` -- paths, directories (walked
recursively), glob patterns, and ``-`` for standard input. What comes out, in input order: a
:class:`Document` per page and an :class:`InputFailure` per thing that could not be read.
A failure never ends the stream; the next input is read.

How a file is read is decided by its content, not its name: a file (gzipped or not) that
starts with ``WARC/`` is an archive, anything else is one HTML page. A directory is walked in
sorted order and only its HTML and WARC files are taken (by suffix, see :data:`HTML_SUFFIXES`
and :data:`WARC_SUFFIXES`), so images and stylesheets saved beside the pages are not read.

WARC archives are read record by record with FastWARC, never loaded whole. Only ``response``
records whose HTTP ``Content-Type`` is HTML are pages; every other record is counted in
:attr:`ReadStats.skipped`. A record's target URI and the ``charset`` parameter of its HTTP
``Content-Type`` travel with the page. The HTTP message is parsed here rather than by
FastWARC because FastWARC passes a cut-off record or HTTP header through as a short or
empty record; here each one is a failure with its offset:

- the WARC block is shorter than its ``Content-Length`` (a truncated download);
- the HTTP header has no blank line after it (a header without a body), or announces a
  body that is absent (unless the crawler marked the record ``WARC-Truncated``);
- a gzip member is corrupt, or the file ends inside one (FastWARC decompresses but says
  nothing when a ``.warc.gz`` is cut off: the compressed bytes from the last record on are
  kept and checked here, member by member, when the archive ends);
- a chunked or compressed HTTP body does not decode.

A record's offset is where it starts in the file as stored: in a ``.warc.gz`` written one
gzip member per record (as crawlers write them), the offset of the record's member in the
compressed file, so ``dd skip=OFFSET`` plus ``gunzip`` recovers it, as with a Common Crawl
index; in an uncompressed WARC the byte offset. A record inside a WARC gzipped as one stream
has no offset one could seek to, and gets ``None``.
"""

from __future__ import annotations

import glob
import importlib
import io
import os
import re
import sys
import zlib
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, BinaryIO

from ._gzip import gunzip, padding_after_member

if TYPE_CHECKING:
    from fastwarc.warc import WarcRecord

__all__ = [
    "Document",
    "InputFailure",
    "ReadStats",
    "gunzip",
    "HTML_SUFFIXES",
    "WARC_SUFFIXES",
    "read_inputs",
    "read_path",
    "read_warc",
]

#: File names a directory walk takes as HTML pages (each also with ``.gz``).
HTML_SUFFIXES = (".html", ".htm", ".xhtml", ".shtml")
#: File names a directory walk takes as WARC archives.
WARC_SUFFIXES = (".warc", ".warc.gz")
#: HTTP media types that are pages.
HTML_MEDIA_TYPES = frozenset({"text/html", "application/xhtml+xml"})

_GZIP_MAGIC = b"\x1f\x8b"
_WARC_MAGIC = b"WARC/"
_CHUNK = 1 << 16
#: Longer HTTP headers are not looked for (a record whose header ends later has "no body").
_MAX_HTTP_HEADER = 1 << 20


@dataclass(frozen=True, slots=True)
class Document:
    """One page to extract from."""

    #: The path as given or found (``-`` for standard input).
    source: str
    #: Where the WARC record starts in ``source`` (see the module notes); ``None`` for a plain file.
    offset: int | None
    #: The WARC record's target URI; ``None`` for a plain file.
    url: str | None
    #: The page's bytes (HTTP body decoded from any transfer and content coding).
    body: bytes
    #: The ``charset`` of the HTTP ``Content-Type`` exactly as sent, or ``None``.
    charset: str | None = None


@dataclass(frozen=True, slots=True)
class InputFailure:
    """A file or WARC record that could not be read, and why."""

    source: str
    offset: int | None
    reason: str

    def __str__(self) -> str:
        where = self.source if self.offset is None else f"{self.source} (record at offset {self.offset})"
        return f"{where}: {self.reason}"


@dataclass(slots=True)
class ReadStats:
    """Counts kept while reading (pages and failures are counted by whoever consumes them)."""

    #: WARC records that are not HTML responses (request, metadata, warcinfo, images, ...).
    skipped: int = 0
    #: Files opened (pages and archives).
    files: int = 0
    #: Records skipped, by WARC type or HTTP media type, for the curious.
    skipped_kinds: dict[str, int] = field(default_factory=dict)

    def skip(self, kind: str) -> None:
        self.skipped += 1
        self.skipped_kinds[kind] = self.skipped_kinds.get(kind, 0) + 1


Item = Document | InputFailure


def read_inputs(inputs: Sequence[str], stats: ReadStats | None = None) -> Iterator[Item]:
    """Every page of every input, in order (see the module notes)."""
    stats = stats if stats is not None else ReadStats()
    for arg in inputs:
        if arg == "-":
            yield from _read_stream(sys.stdin.buffer, "-", stats)
        elif "://" in arg:
            yield from _read_url(arg, stats)
        elif os.path.isdir(arg):
            yield from _read_directory(arg, stats)
        elif os.path.lexists(arg) or not glob.has_magic(arg):
            yield from read_path(arg, stats)
        else:
            matches = sorted(glob.glob(arg, recursive=True))
            if not matches:
                yield InputFailure(arg, None, "no file matches this pattern")
            for path in matches:
                if os.path.isdir(path):
                    yield from _read_directory(path, stats)
                else:
                    yield from read_path(path, stats)


def _read_directory(top: str, stats: ReadStats) -> Iterator[Item]:
    found = False
    unlisted: list[OSError] = []  # folders that cannot be listed fail by name; the walk goes on
    for root, dirs, files in os.walk(top, onerror=unlisted.append):
        yield from _unlisted(unlisted, top)
        dirs.sort()
        for name in sorted(files):
            lower = name.lower()
            stem = lower[:-3] if lower.endswith(".gz") else lower
            if stem.endswith(HTML_SUFFIXES) or lower.endswith(WARC_SUFFIXES):
                found = True
                yield from read_path(os.path.join(root, name), stats)
    top_failed = any(e.filename == top for e in unlisted)
    yield from _unlisted(unlisted, top)
    if not found and not top_failed:
        yield InputFailure(top, None, "directory holds no HTML or WARC file (" + ", ".join(
            HTML_SUFFIXES + WARC_SUFFIXES) + ", optionally .gz)")


def _unlisted(errors: list[OSError], top: str) -> Iterator[InputFailure]:
    while errors:
        e = errors.pop(0)
        yield InputFailure(e.filename or top, None, f"cannot list the directory: {_os_reason(e)}")


def read_path(path: str, stats: ReadStats | None = None) -> Iterator[Item]:
    """The pages of one file: a WARC archive's HTML responses, or the file as one page."""
    stats = stats if stats is not None else ReadStats()
    try:
        stream = open(path, "rb")
    except OSError as e:
        yield InputFailure(path, None, _os_reason(e))
        return
    with stream:
        stats.files += 1
        yield from _read_stream(stream, path, stats)


def _read_url(url: str, stats: ReadStats) -> Iterator[Item]:
    """One file named by a URL (``s3://``, ``https://``, ``file://`` ...), opened with fsspec."""
    try:
        fsspec: Any = importlib.import_module("fsspec")  # untyped; comes with Dask
    except ImportError:
        yield InputFailure(url, None, "reading URLs needs fsspec: pip install fsspec (and s3fs, gcsfs, ...)")
        return
    try:
        opened = fsspec.open(url, "rb").open()
    except Exception as e:  # noqa: BLE001 - a file system's own errors too (zip://: BadZipFile)
        yield InputFailure(url, None, _os_reason(e))
        return
    with opened:
        stats.files += 1
        yield from _read_stream(opened, url, stats)


def _read_stream(stream: BinaryIO, source: str, stats: ReadStats) -> Iterator[Item]:
    """One page or one archive from an open binary stream."""
    try:
        head, first = _sniff(stream)
        gzipped = head.startswith(_GZIP_MAGIC)
        if first == _WARC_MAGIC:
            yield from _read_records(_Prefixed(head, stream), gzipped, source, stats)
            return
        body = head + stream.read()
        if gzipped:
            body = gunzip(body)
    except (OSError, EOFError, zlib.error) as e:
        yield InputFailure(source, None, _os_reason(e))
        return
    yield Document(source, None, None, body)


def read_warc(stream: BinaryIO, source: str, stats: ReadStats | None = None) -> Iterator[Item]:
    """The HTML responses of one WARC archive (gzipped or not), read record by record."""
    stats = stats if stats is not None else ReadStats()
    try:
        head = _read_up_to(stream, len(_GZIP_MAGIC))
    except OSError as e:
        yield InputFailure(source, None, _os_reason(e))
        return
    yield from _read_records(_Prefixed(head, stream), head == _GZIP_MAGIC, source, stats)


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


def _os_reason(e: BaseException) -> str:
    if isinstance(e, OSError) and e.strerror:
        return e.strerror
    return str(e) or type(e).__name__


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

    It also keeps the bytes read from ``keep_from`` on, so that the end of a gzipped archive
    can be checked after FastWARC has read it, and knows its position, which FastWARC asks
    for with ``seek(0, SEEK_CUR)`` (pipes cannot answer that themselves).
    """

    def __init__(self, prefix: bytes, stream: BinaryIO) -> None:
        self._prefix = memoryview(prefix)
        self._stream = stream
        self._read = getattr(stream, "read1", stream.read)
        self._pos = 0
        #: Bytes read from offset ``_kept_from`` on (only while ``keeping``).
        self._kept = bytearray()
        self._kept_from = 0
        self.keeping = False

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
            data = self._read(len(view))
            n = len(data)
            view[:n] = data
        if self.keeping:
            self._kept += view[:n]
        self._pos += n
        return n

    def keep_from(self, offset: int) -> None:
        """Forget the kept bytes before ``offset`` (which must be within what was read)."""
        if offset > self._kept_from:
            del self._kept[: offset - self._kept_from]
            self._kept_from = offset

    def kept(self) -> bytes:
        """The bytes read from the last ``keep_from`` offset on."""
        return bytes(self._kept)

    def kept_starts_member(self) -> bool:
        return self._kept[:3] == b"\x1f\x8b\x08"


def _read_records(reader: _Prefixed, gzipped: bool, source: str, stats: ReadStats) -> Iterator[Item]:
    try:
        from fastwarc.stream_io import GzipReader
        from fastwarc.warc import ArchiveIterator, WarcRecordType
    except ImportError:
        yield InputFailure(source, None, "reading WARC files needs FastWARC: pip install 'larkspine[warc]'")
        return
    reader.keeping = gzipped
    # The compression is known already; FastWARC's own sniffing would misread a short first
    # read from a pipe.
    source_stream = GzipReader(reader, fsspec_args=False) if gzipped else reader
    records = ArchiveIterator(source_stream, parse_http=False, stream_detect=False, fsspec_args=False)
    last: int | None = None
    cut_off = False
    try:
        for record in records:
            last = record.stream_pos
            offset: int | None = last
            if gzipped:
                # FastWARC reports the compressed position where the record's member starts;
                # in a one-stream archive that is no member start and no usable offset.
                reader.keep_from(last)
                if not reader.kept_starts_member():
                    offset = None
            if _decimal(record.headers.get("Content-Length")) is None:
                yield InputFailure(
                    source, offset, "truncated or malformed WARC record: its header has no Content-Length"
                )
                cut_off = True
                continue
            if record.record_type != WarcRecordType.response:
                stats.skip((record.headers.get("WARC-Type") or "unknown").lower())
                continue
            item = _response(record, source, offset, stats)
            # A cut-off last record is reported once, as the record; not again as the file.
            cut_off = isinstance(item, InputFailure) and item.reason.startswith("truncated")
            if item is not None:
                yield item
        if gzipped and not cut_off:
            _check_gzip_end(reader, last)
    except (OSError, EOFError, zlib.error) as e:
        if gzipped and last is not None and _padded_end(reader):
            return
        where = "" if last is None else f" after the record at offset {last}"
        yield InputFailure(source, None, f"corrupt WARC{where}: {_os_reason(e)}")


def _padded_end(reader: _Prefixed) -> bool:
    """Whether the archive ends, after the last record's member, in zero bytes: padding that
    ``gzip`` skips but FastWARC reports as a data error."""
    try:
        reader.read()
    except OSError:
        return False
    return reader.kept_starts_member() and padding_after_member(reader.kept())


def _check_gzip_end(reader: _Prefixed, last: int | None) -> None:
    """Raise if the archive's gzip stream does not end with a complete member.

    The bytes from the last record's member on are decompressed again: they must be whole
    members (and zero padding). In a one-stream archive the kept bytes start mid-stream and
    cannot be checked on their own; there a cut-off ends the last record early, which the
    record's length check reports.
    """
    reader.read()  # whatever FastWARC left unread: a cut-off member it gave up on
    if last is None:
        reader.keep_from(0)
    if reader.kept_starts_member():
        gunzip(reader.kept())
    elif last is None and reader.kept():
        raise EOFError("no complete WARC record in the gzip data")


def _response(record: WarcRecord, source: str, offset: int | None, stats: ReadStats) -> Item | None:
    headers = record.headers
    expected = _decimal(headers.get("Content-Length")) or 0
    reader = record.reader
    block = reader.read() if reader is not None else b""
    if len(block) < expected:
        return InputFailure(source, offset, f"truncated WARC record: {len(block)} of {expected} bytes")
    url = headers.get("WARC-Target-URI")
    head_end, sep = _header_end(block)
    if head_end < 0:
        if not block.startswith(b"HTTP/"):
            stats.skip("non-HTTP response")
            return None
        return InputFailure(source, offset, "HTTP header without a body (no blank line after the header)")
    status, fields = _parse_http_header(block[:head_end])
    if status is None:
        stats.skip("non-HTTP response")
        return None
    media, charset = _content_type(fields.get("content-type"))
    if media not in HTML_MEDIA_TYPES:
        stats.skip(media or "no Content-Type")
        return None
    body = block[head_end + sep:]
    try:
        body = _decode_body(body, fields)
    except (OSError, EOFError, zlib.error, ValueError) as e:
        return InputFailure(source, offset, f"undecodable HTTP body: {_os_reason(e)}")
    announced = _decimal(fields.get("content-length"))
    if (
        not body
        and announced
        and "transfer-encoding" not in fields
        and headers.get("WARC-Truncated") is None
    ):
        return InputFailure(source, offset, f"HTTP header without a body (Content-Length: {announced})")
    return Document(source, offset, url, body, charset)


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


def _decode_body(body: bytes, fields: dict[str, str]) -> bytes:
    """The body without its transfer coding (chunked) and content coding (gzip, deflate)."""
    if "chunked" in fields.get("transfer-encoding", "").lower():
        body = _dechunk(body)
    coding = fields.get("content-encoding", "").strip().lower()
    if coding in ("", "identity", "none"):
        return body
    if coding in ("gzip", "x-gzip"):
        return gunzip(body)
    if coding == "deflate":
        try:
            return zlib.decompress(body)
        except zlib.error:  # raw deflate, as some servers send it
            return zlib.decompress(body, -zlib.MAX_WBITS)
    raise ValueError(f"unsupported Content-Encoding {coding!r}")


def _dechunk(body: bytes) -> bytes:
    out: list[bytes] = []
    pos = 0
    while True:
        eol = body.find(b"\n", pos)
        if eol < 0:
            raise ValueError("chunked body ends inside a chunk size line")
        size_text = body[pos:eol].split(b";", 1)[0].strip()
        try:
            size = int(size_text, 16)
        except ValueError:
            raise ValueError(f"bad chunk size {size_text[:20]!r}") from None
        pos = eol + 1
        if size == 0:
            return b"".join(out)
        if pos + size > len(body):
            raise ValueError("chunked body ends inside a chunk")
        out.append(body[pos:pos + size])
        pos += size
        if body[pos:pos + 2] == b"\r\n":
            pos += 2
        elif body[pos:pos + 1] == b"\n":
            pos += 1
