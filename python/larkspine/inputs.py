"""Pages for batch extraction: files, directories, globs, gzip, WARC and ARC archives, and
standard input.

What goes in: the INPUT arguments of ``larkspine extract`` -- paths, directories (walked
recursively), glob patterns, URLs (with fsspec) and ``-`` for standard input. What comes out,
in input order: a :class:`Document` per page and an :class:`InputFailure` per thing that could
not be read. A failure never ends the stream; the next input is read.

Walking and reading are apart. This module walks: it expands directories, globs and input
lists into :class:`Source` entries, in order, and opens nothing (a file is opened by the
reader when its turn comes, so that a run over 10,000 files holds a few descriptors, not
10,000). Reading -- decompression, WARC/ARC records, HTTP messages, page bodies -- is the
native archive reader's (``_larkspine._ArchiveRun``), on one or more threads without the
interpreter lock; :mod:`larkspine._run` hands it the sources and takes its pages.

How a file is read is decided by its content, not its name: a file (gzipped or not) that
starts with ``WARC/`` is a WARC archive (0.17, 1.0, 1.1), one that starts ``filedesc://`` an
ARC archive, anything else is one HTML page. A directory is walked in sorted order and only
its HTML and WARC files are taken (by suffix, see :data:`HTML_SUFFIXES` and
:data:`WARC_SUFFIXES`), so images and stylesheets saved beside the pages are not read. Walks
and globs take only regular files, each real file once, never follow a link to a folder, and
never open a FIFO or device they find: it is a failure, by name.

Cost: no page is held past ``max_page_size`` bytes (decompressed; a larger one is the failure
"page too large"), and a record that is not a page passes through 64 KiB at a time. A
:class:`Document`'s ``source`` is always valid text: a file name's bytes that are not UTF-8
are shown as ``\\xNN``.

In an archive, only ``response`` records whose HTTP ``Content-Type`` is HTML are pages (with
``only_2xx``, only those whose HTTP status is 2xx); every other record is counted in
:attr:`ReadStats.skipped`, by kind (requests, other records, responses that are not HTML,
responses not 2xx). A record's target URI, HTTP status, ``WARC-Date``, ``WARC-Record-ID``,
HTTP media type and the ``charset`` parameter of its HTTP ``Content-Type`` travel with the
page. A record that cannot be read is a failure with its offset, and reading goes on:

- the WARC block is shorter than its ``Content-Length`` (a truncated download), or longer
  (reading resumes at the record it ran into);
- a stray line, or a record without ``WARC-Type``: reading resumes at the next line that
  starts ``WARC/``, and the failure names the bytes skipped;
- the HTTP header has no blank line after it, or announces a body that is absent (unless
  the crawler marked the record ``WARC-Truncated``);
- a gzip member is corrupt, or the file ends inside one: reading goes on at the next member
  that starts a record (crawlers write one member per record);
- a chunked or compressed HTTP body does not decode (``br`` and ``zstd`` are named failures).

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
import os
import re
import stat
import sys
from collections.abc import Iterable, Iterator
from datetime import datetime
from typing import Any, BinaryIO

from ._gzip import gunzip
from ._pages import Document, InputFailure, ReadStats, Source, display_name  # noqa: F401 - the module's own names

__all__ = [
    "Document",
    "InputFailure",
    "ReadStats",
    "Source",
    "gunzip",
    "HTML_SUFFIXES",
    "WARC_SUFFIXES",
    "input_that_is",
    "read_input_list",
    "read_inputs",
    "read_path",
    "read_warc",
    "walk_inputs",
    "warc_date",
]

#: File names a directory walk takes as HTML pages (each also with ``.gz``).
HTML_SUFFIXES = (".html", ".htm", ".xhtml", ".shtml")
#: File names a directory walk takes as WARC archives.
WARC_SUFFIXES = (".warc", ".warc.gz")

_CHUNK = 1 << 16


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

    ``jobs`` above 1 reads on that many native threads: several inputs at once, and a large
    WARC.gz in parts that start at gzip members. The pages, failures and counts are the same,
    in the same order, for every ``jobs``. Closing the iterator stops the threads.
    """
    from ._run import read_pages

    stats = stats if stats is not None else ReadStats()
    if isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1:
        raise ValueError(f"larkspine: jobs must be at least 1, got {jobs!r}")
    _set_limits(stats, max_page_size, only_2xx)
    yield from read_pages(walk_inputs(inputs), stats, jobs=jobs)


def _set_limits(stats: ReadStats, max_page_size: int | None, only_2xx: bool | None) -> None:
    if max_page_size is not None:
        stats.max_page_size = _check_limit(max_page_size)
    if only_2xx is not None:
        stats.only_2xx = only_2xx


def read_path(path: str, stats: ReadStats | None = None, *, max_page_size: int | None = None) -> Iterator[Item]:
    """The pages of one file: an archive's HTML responses, or the file as one page."""
    from ._run import read_pages

    stats = stats if stats is not None else ReadStats()
    _set_limits(stats, max_page_size, None)
    yield from read_pages(iter([_named(path)]), stats)


def read_warc(
    stream: BinaryIO, source: str, stats: ReadStats | None = None, *, max_page_size: int | None = None
) -> Iterator[Item]:
    """The HTML responses of one archive (WARC or ARC, gzipped or not) read from an open
    binary stream, record by record."""
    from ._run import read_pages

    stats = stats if stats is not None else ReadStats()
    _set_limits(stats, max_page_size, None)
    yield from read_pages(iter([Source(source, stream=stream)]), stats)


def walk_inputs(inputs: Iterable[str | InputFailure]) -> Iterator[Source | InputFailure]:
    """The inputs walked in order (directories and globs expanded, each file once), and the
    failures met doing so; nothing is opened but URLs (see the module notes)."""
    seen = _Seen()
    for arg in inputs:
        if isinstance(arg, InputFailure):
            yield arg
        elif arg == "-":
            yield _stdin()
        elif "\0" in arg:
            yield InputFailure(arg.replace("\0", "\\0"), None, "a name with a NUL byte names no file")
        elif "://" in arg:
            yield _open_url(arg)
        elif os.path.isdir(arg):
            yield from _read_directory(arg, seen)
        elif os.path.lexists(arg) or not glob.has_magic(arg):
            found = _named(arg)
            key = _key(arg)
            if key is not None:
                seen.files.add(key)
            yield found
        else:
            matched = False
            for path in _glob(arg):
                matched = True  # a failure says why the pattern may match nothing
                if isinstance(path, InputFailure):
                    if _first_unlisted(path.source, seen):
                        yield path
                    continue
                if os.path.isdir(path):
                    yield from _read_directory(path, seen, quiet=True)
                else:
                    yield from _read_found(path, seen)
            if not matched:
                yield InputFailure(arg, None, "no file matches this pattern")


def input_that_is(output: str, inputs: Iterable[str]) -> str | None:
    """The input (as found: a path, ``-``) that is the same file as ``output``, if any.

    Files are compared by device and inode, so symlinks and hard links are seen through;
    the inputs are walked as :func:`walk_inputs` walks them (URLs are not opened here).
    Nothing needs walking when ``output`` does not exist or is not a regular file: it cannot
    be an input the run would lose.
    """
    key = _key(output)
    if key is None or not stat.S_ISREG(os.stat(output).st_mode):
        return None
    for entry in walk_inputs(arg for arg in inputs if "://" not in arg):
        if not isinstance(entry, Source):
            continue
        if entry.fd is not None:
            try:
                st = os.fstat(entry.fd)
            except OSError:
                continue
            if (st.st_dev, st.st_ino) == key:
                return "-"
        elif entry.path is not None and _key(entry.path) == key:
            return entry.path
    return None


def _named(path: str) -> Source:
    """A file named by the caller: opened as named when read (a FIFO then waits for its
    writer, as standard input does)."""
    return Source(path, path=path)


def _stdin() -> Source:
    """Standard input: its descriptor when it has one (read without the interpreter lock),
    else the stream ``sys.stdin`` holds (a test's stand-in, say)."""
    try:
        return Source("-", fd=sys.stdin.buffer.fileno())
    except (AttributeError, OSError, ValueError):
        return Source("-", stream=getattr(sys.stdin, "buffer", sys.stdin))


def _open_url(url: str) -> Source | InputFailure:
    """One file named by a URL (``s3://``, ``https://``, ``file://`` ...), opened with fsspec."""
    try:
        fsspec: Any = importlib.import_module("fsspec")  # untyped; comes with Dask
    except ImportError:
        return InputFailure(url, None, "reading URLs needs fsspec: pip install fsspec (and s3fs, gcsfs, ...)")
    try:
        opened = fsspec.open(url, "rb").open()
    except Exception as e:  # noqa: BLE001 - a file system's own errors too (zip://: BadZipFile)
        return InputFailure(url, None, _os_reason(e))
    return Source(url, stream=opened)


def _key(path: str) -> tuple[int, int] | None:
    try:
        st = os.stat(path)
    except (OSError, ValueError):
        return None
    return st.st_dev, st.st_ino


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


def _read_directory(top: str, seen: _Seen, quiet: bool = False) -> Iterator[Source | InputFailure]:
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
                yield from _read_found(entry.path, seen)
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




def _read_found(path: str, seen: _Seen) -> Iterator[Source | InputFailure]:
    """A file found by a walk or a glob: taken only if it is a regular file (or a link to
    one) not taken before. The reader opens it without blocking and checks again that it
    is a regular file, so a FIFO put there in between does not wait for a writer; FIFOs and
    devices are failures, named, and never opened."""
    try:
        st = os.stat(path)
    except OSError as e:
        name = os.path.normpath(path)
        if name not in seen.unopened:
            seen.unopened.add(name)
            yield InputFailure(path, None, _os_reason(e))
        return
    if not stat.S_ISREG(st.st_mode):
        yield from _refuse(path, st, seen)
        return
    key = (st.st_dev, st.st_ino)
    if key in seen.files:
        return
    seen.files.add(key)
    yield Source(path, path=path, found=True)


def _os_reason(e: BaseException) -> str:
    if isinstance(e, OSError) and e.strerror:
        return e.strerror
    return str(e) or type(e).__name__


# ASCII digits only: ``\d`` alone also takes other scripts' digits, which ``int`` reads.
_WARC_DATE = re.compile(r"(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)(?:\.(\d{1,9}))?Z", re.ASCII)


def warc_date(value: str | None) -> str | None:
    """A ``WARC-Date`` (UTC, ``2024-05-01T12:00:00Z``, perhaps with a fraction of a second) as
    ``YYYY-MM-DDThh:mm:ss[.ffffff]Z``: a fraction finer than a microsecond is cut to
    microseconds, so that every output format holds the same instant. ``None`` for a value
    that is no such date (another form, a month 13). The native reader writes the dates of
    records so; this is its rule for callers that hold a date of their own."""
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
