"""Pages for batch extraction: files, directories, globs, gzip, WARC archives and standard input.

What goes in: the INPUT arguments of ``larkspine extract`` -- paths, directories (walked
recursively), glob patterns, and ``-`` for standard input. What comes out, in input order: a
:class:`Document` per page and an :class:`InputFailure` per thing that could not be read.
A failure never ends the stream; the next input is read.

How a file is read is decided by its content, not its name: a file (gzipped or not) that
starts with ``WARC/`` is an archive, anything else is one HTML page. A directory is walked in
sorted order and only its HTML and WARC files are taken (by suffix, see :data:`HTML_SUFFIXES`
and :data:`WARC_SUFFIXES`), so images and stylesheets saved beside the pages are not read.
Walks and globs take only regular files, each real file once, never follow a link to a
folder, and never open a FIFO or device they find: it is a failure, by name.

Cost: no page is held past ``max_page_size`` bytes (decompressed; a larger one is the failure
"page too large"), a page is read into one buffer of its size, and a WARC record that is not
a page costs the 64 KiB chunk its HTTP header is read with. A :class:`Document`'s ``source``
is always valid text: a file name's bytes that are not UTF-8 are shown as ``\\xNN``.

WARC archives are read record by record with FastWARC, never loaded whole. Only ``response``
records whose HTTP ``Content-Type`` is HTML are pages (with ``only_2xx``, only those whose
HTTP status is 2xx); every other record is counted in :attr:`ReadStats.skipped`, by kind
(requests, other records, responses that are not HTML, responses not 2xx). A record's
target URI, HTTP status, ``WARC-Date``, ``WARC-Record-ID``, HTTP media type and the
``charset`` parameter of its HTTP ``Content-Type`` travel with the page. The HTTP message is parsed here rather than by
FastWARC because FastWARC passes a cut-off record or HTTP header through as a short or
empty record; here each one is a failure with its offset:

- the WARC block is shorter than its ``Content-Length`` (a truncated download);
- the HTTP header has no blank line after it (a header without a body), or announces a
  body that is absent (unless the crawler marked the record ``WARC-Truncated``);
- a gzip member is corrupt, or the file ends inside one: a ``.warc.gz`` is decompressed here,
  member by member, and a corrupt member is one failure naming the bytes skipped; reading
  goes on at the next member that starts a record (crawlers write one member per record);
- a chunked or compressed HTTP body does not decode.

A record's offset is where it starts in the file as stored: in a ``.warc.gz`` written one
gzip member per record (as crawlers write them), the offset of the record's member in the
compressed file, so ``dd skip=OFFSET`` plus ``gunzip`` recovers it, as with a Common Crawl
index; in an uncompressed WARC the byte offset. A record inside a WARC gzipped as one stream
has no offset one could seek to, and gets ``None``.
"""

from __future__ import annotations

import fnmatch
import glob
import importlib
import io
import os
import re
import stat
import sys
import zlib
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from datetime import datetime
from typing import TYPE_CHECKING, Any, BinaryIO

from ._gzip import DEFAULT_MAX_PAGE_SIZE, Inflated, PageTooLarge, gunzip, read_limited

if TYPE_CHECKING:
    from fastwarc.warc import WarcRecord

__all__ = [
    "Document",
    "InputFailure",
    "ReadStats",
    "gunzip",
    "HTML_SUFFIXES",
    "WARC_SUFFIXES",
    "read_input_list",
    "read_inputs",
    "read_path",
    "read_warc",
    "warc_date",
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
    #: The WARC record's HTTP status code (100 to 999), or ``None``.
    status: int | None = None
    #: The record's ``WARC-Date`` as ``YYYY-MM-DDThh:mm:ss[.ffffff]Z`` (see :func:`warc_date`),
    #: or ``None``.
    date: str | None = None
    #: The record's ``WARC-Record-ID`` as sent (``<urn:uuid:...>``), or ``None``.
    record_id: str | None = None
    #: The media type of the HTTP ``Content-Type``, in lower case, without parameters, or ``None``.
    content_type: str | None = None

    def __post_init__(self) -> None:
        object.__setattr__(self, "source", display_name(self.source))


@dataclass(frozen=True, slots=True)
class InputFailure:
    """A file or WARC record that could not be read, and why."""

    source: str
    offset: int | None
    reason: str

    def __post_init__(self) -> None:
        object.__setattr__(self, "source", display_name(self.source))

    def __str__(self) -> str:
        where = self.source if self.offset is None else f"{self.source} (record at offset {self.offset})"
        return f"{where}: {self.reason}"


@dataclass(slots=True)
class ReadStats:
    """Counts kept while reading (pages and failures are counted by whoever consumes them),
    and the limits the reading applies."""

    #: WARC records that are not pages: the sum of the four counts below.
    skipped: int = 0
    #: ``request`` records.
    requests: int = 0
    #: Other records that are not responses (``warcinfo``, ``metadata``, ``revisit``, ...).
    other_records: int = 0
    #: Responses that are not HTML (images, PDF, no ``Content-Type``, not HTTP).
    non_html: int = 0
    #: HTML responses whose status is not 2xx, skipped under ``only_2xx``.
    not_2xx: int = 0
    #: Files opened (pages and archives).
    files: int = 0
    #: Records skipped, by WARC type, HTTP media type or status, for the curious.
    skipped_kinds: dict[str, int] = field(default_factory=dict)
    #: The largest page read, in bytes after decompression (``max_page_size``).
    max_page_size: int = DEFAULT_MAX_PAGE_SIZE
    #: Keep only responses whose HTTP status is 2xx.
    only_2xx: bool = False

    def skip(self, kind: str, category: str) -> None:
        """Count a skipped record: ``category`` is the name of one of the four counts."""
        setattr(self, category, getattr(self, category) + 1)
        self.skipped += 1
        self.skipped_kinds[kind] = self.skipped_kinds.get(kind, 0) + 1


Item = Document | InputFailure


def read_inputs(
    inputs: Iterable[str | InputFailure], stats: ReadStats | None = None, *, max_page_size: int | None = None,
    only_2xx: bool | None = None, jobs: int = 1,
) -> Iterator[Item]:
    """Every page of every input, in order (see the module notes).

    ``inputs`` is taken one at a time, so it may be a lazy stream of names (see
    :func:`read_input_list`); a failure in it is handed on in its place.
    ``max_page_size`` bounds what one page may cost, decompressed (default 64 MiB): a larger
    page is a failure "page too large", read no further than the limit. ``only_2xx`` keeps
    only WARC responses whose HTTP status is 2xx (plain files have no status and are kept).

    ``jobs`` above 1 reads on that many threads: several inputs at once, and a large WARC.gz
    in parts that start at gzip members (see :mod:`larkspine._readers`). The pages, failures
    and counts are the same, in the same order, for every ``jobs``. Closing the iterator
    stops the threads.
    """
    stats = stats if stats is not None else ReadStats()
    if isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1:
        raise ValueError(f"larkspine: jobs must be at least 1, got {jobs!r}")
    plan = open_inputs(inputs, stats, max_page_size=max_page_size, only_2xx=only_2xx)
    if jobs > 1:
        from ._readers import read_on_threads

        yield from read_on_threads(plan, stats, jobs)
    else:
        yield from _read_all(plan, stats)


def open_inputs(
    inputs: Iterable[str | InputFailure], stats: ReadStats, *, max_page_size: int | None = None,
    only_2xx: bool | None = None,
) -> Iterator[Item | Opened]:
    """The inputs of :func:`read_inputs` walked and opened in order, not read: each an
    :class:`Opened` (its pages read by :func:`read_opened`) or a failure met on the way."""
    if max_page_size is not None:
        stats.max_page_size = _check_limit(max_page_size)
    if only_2xx is not None:
        stats.only_2xx = only_2xx
    return _plan(inputs, stats, _Seen())


@dataclass(slots=True)
class Opened:
    """An input opened (in input order, by the thread that walks the inputs) and not yet read."""

    stream: Any
    source: str
    #: Whether reading it ends by closing it (standard input is left open).
    owned: bool = True
    #: A regular file named or found, read from its start: a large WARC.gz may be read in parts.
    file: bool = False


def _read_all(plan: Iterable[Item | Opened], stats: ReadStats) -> Iterator[Item]:
    for entry in plan:
        if isinstance(entry, Opened):
            yield from read_opened(entry, stats)
        else:
            yield entry


def read_opened(entry: Opened, stats: ReadStats, part: Part | None = None) -> Iterator[Item]:
    """The pages of an opened input (of its first part, with ``part``), which is then closed."""
    try:
        yield from _read_stream(entry.stream, entry.source, stats, part)
    finally:
        if entry.owned:
            entry.stream.close()


def _plan(inputs: Iterable[str | InputFailure], stats: ReadStats, seen: _Seen) -> Iterator[Item | Opened]:
    """The inputs opened in order (walks and globs expanded), and the failures met doing so."""
    for arg in inputs:
        if isinstance(arg, InputFailure):
            yield arg
        elif arg == "-":
            yield Opened(sys.stdin.buffer, "-", owned=False)
        elif "\0" in arg:
            yield InputFailure(arg.replace("\0", "\\0"), None, "a name with a NUL byte names no file")
        elif "://" in arg:
            yield from _read_url(arg, stats)
        elif os.path.isdir(arg):
            yield from _read_directory(arg, stats, seen)
        elif os.path.lexists(arg) or not glob.has_magic(arg):
            yield from _read_path(arg, stats, seen)
        else:
            found = False
            for path in _glob(arg):
                found = True  # a failure says why the pattern may match nothing
                if isinstance(path, InputFailure):
                    if _first_unlisted(path.source, seen):
                        yield path
                    continue
                if os.path.isdir(path):
                    yield from _read_directory(path, stats, seen, quiet=True)
                else:
                    yield from _read_found(path, stats, seen)
            if not found:
                yield InputFailure(arg, None, "no file matches this pattern")


def _check_limit(limit: int) -> int:
    if isinstance(limit, bool) or not isinstance(limit, int) or limit < 1:
        raise ValueError(f"larkspine: max_page_size must be a positive number of bytes, got {limit!r}")
    return limit


#: The longest line of an input list: longer than any path a system takes (Linux: 4,096 bytes).
MAX_LISTED_NAME = 1 << 16


def read_input_list(stream: BinaryIO, name: str) -> Iterator[str | InputFailure]:
    """The inputs named in a list, one per line (``--input-file``), read as they are needed.

    Lines end at LF (a CR before it is dropped); blank lines and lines starting with ``#``
    (comments) are skipped; nothing else is trimmed, so names may hold spaces (a file whose
    name starts with ``#`` is listed as ``./#name``). A name's bytes become a ``str`` as ``os.fsdecode``
    makes them, so a name that is not UTF-8 opens the file it names. Memory stays bounded
    by :data:`MAX_LISTED_NAME`: a longer line is a failure, skipped without being held, and
    a list that cannot be read further ends with a failure.
    """
    line_no = 0
    while True:
        try:
            line = stream.readline(MAX_LISTED_NAME + 1)
        except OSError as e:
            yield InputFailure(name, None, f"cannot read the input list past line {line_no}: {_os_reason(e)}")
            return
        if not line:
            return
        line_no += 1
        if len(line) > MAX_LISTED_NAME and not line.endswith(b"\n"):
            try:
                while (rest := stream.readline(_CHUNK)) and not rest.endswith(b"\n"):
                    pass
            except OSError:
                pass  # seen by the next read
            yield InputFailure(name, None, f"line {line_no} is longer than {MAX_LISTED_NAME:,} bytes: skipped")
            continue
        entry = line.removesuffix(b"\n").removesuffix(b"\r")
        if not entry.strip() or entry.startswith(b"#"):
            continue
        if b"\0" in entry:
            # No system takes a name with a NUL byte: the line is one failed input.
            yield InputFailure(name, None, f"line {line_no} holds a NUL byte, which no file name can: skipped")
            continue
        yield os.fsdecode(entry)


_SIZE = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([kmgt]?)(i?)(b?)\s*", re.IGNORECASE)


def parse_size(text: str) -> int:
    """A size as a person writes it: ``65536``, ``16MiB``, ``1GB``, ``1.5G``.

    ``KB``, ``MB``, ``GB``, ``TB`` are powers of 1000; ``KiB`` ... ``TiB``, and the bare
    letters ``K``, ``M``, ``G``, ``T``, powers of 1024 (as GNU ``sort -S`` and ``du`` read
    them). Case does not matter. ``ValueError`` for anything else, or for less than a byte.
    """
    match = _SIZE.fullmatch(text)
    if match is None or (match.group(3) and not match.group(2)):
        raise ValueError(f"not a size: {text!r} (write it as 65536, 16MiB, 1GB, ...)")
    number, unit, binary, byte = (str(g) for g in match.groups())
    power = "kmgt".find(unit.lower()) + 1 if unit else 0
    base = 1000 if unit and byte and not binary else 1024
    # Decimal arithmetic on the digits: no float rounding, and no huge float for many digits.
    whole, _, frac = number.partition(".")
    if len(whole.lstrip("0")) > 30:
        raise ValueError(f"not a size: {text!r} is too large")
    scale: int = base**power
    size: int = int(whole or "0") * scale + int(frac or "0") * scale // 10 ** len(frac)
    if size < 1:
        raise ValueError(f"not a size: {text!r} is less than a byte")
    return size


def display_name(path: str) -> str:
    """``path`` as text that any output can carry: a file name's bytes that are not UTF-8
    (which Python holds as lone surrogates, ``os.fsdecode``'s ``surrogateescape``) are
    written as ``\\xNN`` escapes, the way ``backslashreplace`` writes them."""
    if path.isascii():
        return path
    try:
        path.encode("utf-8")
        return path
    except UnicodeEncodeError:
        pass
    try:
        return path.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    except UnicodeEncodeError:  # a surrogate that no file name's byte decodes to
        return path.encode("utf-8", "backslashreplace").decode("ascii")


def _glob(pattern: str) -> Iterator[str | InputFailure]:
    """The paths matching ``pattern``, found lazily, depth first in sorted order, and a
    failure for each folder the pattern must list and cannot (as the directory walk has it).

    As :func:`glob.glob` with ``recursive=True`` (``**`` is any number of folders, names
    starting with a dot match only a pattern that does), except that ``**`` does not follow
    symbolic links to folders and visits each folder once for each place in the pattern:
    a link loop (``loop -> .``) costs nothing, and no pattern costs more than the folders
    times its parts. The work is an explicit stack, never a recursion as deep as the tree.
    """
    # Paths are built from the pattern's own parts, so that a match reads as the pattern
    # was written (``./g/a.html`` for ``./g/*``), as glob.glob has it.
    root = os.sep if pattern.startswith(os.sep) else ""
    parts = [p for p in pattern.split(os.sep) if p]
    stack: list[tuple[str, int]] = [(root, 0)]
    states: set[tuple[int, int, int]] = set()
    yielded: set[str] = set()
    while stack:
        base, i = stack.pop()
        if i == len(parts):
            if base != root and base not in yielded:
                yielded.add(base)
                yield base
            continue
        part = parts[i]
        if not glob.has_magic(part):
            path = os.path.join(base, part)
            if os.path.lexists(path) if i + 1 == len(parts) else os.path.isdir(path):
                stack.append((path, i + 1))
            continue
        try:
            st = os.stat(base or os.curdir)
        except FileNotFoundError:
            continue  # gone since its folder was listed
        except OSError as e:
            yield InputFailure(base or os.curdir, None, f"cannot list the directory: {_os_reason(e)}")
            continue
        key = (st.st_dev, st.st_ino, i)
        if key in states:
            continue
        states.add(key)
        try:
            with os.scandir(base or os.curdir) as listing:
                entries = sorted(listing, key=lambda e: e.name)
        except OSError as e:
            yield InputFailure(base or os.curdir, None, f"cannot list the directory: {_os_reason(e)}")
            continue
        hidden_ok = part.startswith(".")
        if part == "**":
            # Each folder below (not through links), in order; as the pattern's last part,
            # ``**`` matches the files in them too.
            last = i + 1 == len(parts)
            later = [
                (os.path.join(base, e.name), i if folder else i + 1)
                for e in entries
                if not e.name.startswith(".")
                for folder in [_is_dir(e) and not e.is_symlink()]
                if folder or last
            ]
            stack.extend(reversed(later))
            stack.append((base, i + 1))
            continue
        names = set(fnmatch.filter([e.name for e in entries], part))
        last = i + 1 == len(parts)
        matches = [
            (os.path.join(base, e.name), i + 1) for e in entries
            if e.name in names and (hidden_ok or not e.name.startswith(".")) and (last or _is_dir(e))
        ]
        stack.extend(reversed(matches))


def _first_unlisted(folder: str, seen: _Seen) -> bool:
    """Whether ``folder`` is met unlistable for the first time in the run (then remembered)."""
    key = os.path.normpath(folder)
    if key in seen.unlisted:
        return False
    seen.unlisted.add(key)
    return True


def _is_dir(entry: os.DirEntry[str]) -> bool:
    try:
        return entry.is_dir()
    except OSError:
        return False


def _read_directory(
    top: str, stats: ReadStats, seen: _Seen, quiet: bool = False
) -> Iterator[Item | Opened]:
    """The HTML and WARC files under ``top``, walked lazily, depth first in sorted order.

    Symbolic links to folders are not followed, and each folder is listed once (a set of
    (device, inode)), so no link or mount loop makes the walk endless. ``quiet`` (a folder
    a glob matched) drops the failure for a folder that holds no page.
    """
    found = False
    top_failed = False
    stack = [top]
    while stack:
        folder = stack.pop()
        try:
            st = os.stat(folder)
            key = (st.st_dev, st.st_ino)
            if key in seen.folders:
                if folder == top:
                    return  # walked already, under another name
                continue
            with os.scandir(folder) as listing:
                entries = sorted(listing, key=lambda e: e.name)
            seen.folders.add(key)
        except OSError as e:
            top_failed = top_failed or folder == top
            # A folder a glob matched may be one the glob itself failed to list.
            if _first_unlisted(folder, seen) or not quiet:
                yield InputFailure(folder, None, f"cannot list the directory: {_os_reason(e)}")
            continue
        subfolders = []
        for entry in entries:
            try:
                is_folder = entry.is_dir(follow_symlinks=False)
            except OSError:
                is_folder = False
            if is_folder:
                subfolders.append(entry.path)
                continue
            lower = entry.name.lower()
            stem = lower[:-3] if lower.endswith(".gz") else lower
            if stem.endswith(HTML_SUFFIXES) or lower.endswith(WARC_SUFFIXES):
                found = True
                yield from _read_found(entry.path, stats, seen)
        stack.extend(reversed(subfolders))
    if not found and not top_failed and not quiet:
        yield InputFailure(top, None, "directory holds no HTML or WARC file (" + ", ".join(
            HTML_SUFFIXES + WARC_SUFFIXES) + ", optionally .gz)")


class _Seen:
    """The (device, inode) of every file read and every folder walked in one run."""

    __slots__ = ("files", "folders", "unopened", "unlisted")

    def __init__(self) -> None:
        #: Files read or refused (FIFOs, devices): each is read, or named, once.
        self.files: set[tuple[int, int]] = set()
        self.folders: set[tuple[int, int]] = set()
        #: Paths found that could not be opened (a dangling link), normalised.
        self.unopened: set[str] = set()
        #: Folders that could not be listed, normalised: a glob names each once.
        self.unlisted: set[str] = set()


_KINDS = (
    (stat.S_ISFIFO, "a FIFO"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
    (stat.S_ISSOCK, "a socket"),
    (stat.S_ISDIR, "a directory"),
)


def _kind(mode: int) -> str:
    for test, name in _KINDS:
        if test(mode):
            return name
    return "not a regular file"


def _refuse(path: str, st: os.stat_result, seen: _Seen) -> Iterator[InputFailure]:
    """A failure for a special file found by a walk or glob, once however often it is found."""
    key = (st.st_dev, st.st_ino)
    if key not in seen.files:
        seen.files.add(key)
        yield InputFailure(path, None, f"not a regular file ({_kind(st.st_mode)}): skipped")


def _read_found(path: str, stats: ReadStats, seen: _Seen) -> Iterator[Item | Opened]:
    """A file found by a walk or a glob: read only if it is a regular file (or a link to
    one) not read before. It is opened without blocking, so that a FIFO found there does
    not wait for a writer; it and devices are failures, named, and never read."""
    try:
        # A device is never opened (opening some has effects of its own); the check is
        # made again on what was opened, in case the name changed in between.
        first = os.stat(path)
        if not stat.S_ISREG(first.st_mode):
            yield from _refuse(path, first, seen)
            return
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as e:
        name = os.path.normpath(path)
        if name not in seen.unopened:
            seen.unopened.add(name)
            yield InputFailure(path, None, _os_reason(e))
        return
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            os.close(fd)
            yield from _refuse(path, st, seen)
            return
        key = (st.st_dev, st.st_ino)
        if key in seen.files:
            os.close(fd)
            return
        seen.files.add(key)
        os.set_blocking(fd, True)
        stream = os.fdopen(fd, "rb")
    except OSError as e:
        os.close(fd)
        yield InputFailure(path, None, _os_reason(e))
        return
    stats.files += 1
    yield Opened(stream, path, file=True)


def read_path(path: str, stats: ReadStats | None = None, *, max_page_size: int | None = None) -> Iterator[Item]:
    """The pages of one file: a WARC archive's HTML responses, or the file as one page."""
    stats = stats if stats is not None else ReadStats()
    if max_page_size is not None:
        stats.max_page_size = _check_limit(max_page_size)
    yield from _read_all(_read_path(path, stats, _Seen()), stats)


def _read_path(path: str, stats: ReadStats, seen: _Seen) -> Iterator[Item | Opened]:
    """A file named by the caller: opened as named (a FIFO then waits for its writer, as
    standard input does), and remembered so that a walk or glob does not read it again."""
    try:
        stream = open(path, "rb")
    except OSError as e:
        yield InputFailure(path, None, _os_reason(e))
        return
    try:
        st = os.fstat(stream.fileno())
        seen.files.add((st.st_dev, st.st_ino))
    except OSError:
        pass
    stats.files += 1
    yield Opened(stream, path, file=True)


def _read_url(url: str, stats: ReadStats) -> Iterator[Item | Opened]:
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
    stats.files += 1
    yield Opened(opened, url)


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


def read_warc(
    stream: BinaryIO, source: str, stats: ReadStats | None = None, *, max_page_size: int | None = None
) -> Iterator[Item]:
    """The HTML responses of one WARC archive (gzipped or not), read record by record."""
    stats = stats if stats is not None else ReadStats()
    if max_page_size is not None:
        stats.max_page_size = _check_limit(max_page_size)
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


def read_part(stream: BinaryIO, source: str, stats: ReadStats, part: Part) -> Iterator[Item | CorruptRun]:
    """The pages of a part of a gzipped archive, from ``stream`` positioned at ``part.start``."""
    yield from _read_records(_Prefixed(b"", stream), True, source, stats, part)


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
            stats.skip(kind, "requests" if record.record_type == WarcRecordType.request else "other_records")
            yield pos, offset, None
            continue
        yield pos, offset, _response(record, source, offset, stats)


def _response(record: WarcRecord, source: str, offset: int | None, stats: ReadStats) -> Item | None:
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
            stats.skip("non-HTTP response", "non_html")
            return None
        return InputFailure(source, offset, "HTTP header without a body (no blank line after the header)")
    status, fields = _parse_http_header(head[:head_end])
    if status is None:
        stats.skip("non-HTTP response", "non_html")
        return None
    media, charset = _content_type(fields.get("content-type"))
    if media not in HTML_MEDIA_TYPES:
        stats.skip(media or "no Content-Type", "non_html")
        return None
    if not 100 <= status <= 999:
        status = 0  # no status line one could read: neither kept nor dropped as a status
    if stats.only_2xx and not 200 <= status <= 299:
        stats.skip(f"status {status}" if status else "no status", "not_2xx")
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


# ASCII digits only: ``\d`` alone also takes other scripts' digits, which ``int`` reads.
_WARC_DATE = re.compile(r"(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)(?:\.(\d{1,9}))?Z", re.ASCII)


def warc_date(value: str | None) -> str | None:
    """A ``WARC-Date`` (UTC, ``2024-05-01T12:00:00Z``, perhaps with a fraction of a second) as
    ``YYYY-MM-DDThh:mm:ss[.ffffff]Z``: a fraction finer than a microsecond is cut to
    microseconds, so that every output format holds the same instant. ``None`` for a value
    that is no such date (another form, a month 13)."""
    match = _WARC_DATE.fullmatch(value.strip(" \t")) if value is not None else None
    if match is None:
        return None
    try:
        year, month, day, hour, minute, second = (int(g) for g in match.groups()[:6])
        datetime(year, month, day, hour, minute, second)
    except ValueError:
        return None
    whole = match.group(0)[:19]
    fraction = match.group(7)
    return f"{whole}.{fraction[:6]}Z" if fraction else f"{whole}Z"


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
