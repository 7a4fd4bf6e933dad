"""What reading inputs gives: pages, failures, the sources the walk finds, and the counts."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from ._gzip import DEFAULT_MAX_PAGE_SIZE

__all__ = ["Document", "InputFailure", "ReadStats", "Source", "display_name"]


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
    """An input, or a record in one, that could not be read."""

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
    #: Records skipped, by WARC type, HTTP media type or status, for the curious (at most
    #: 64 kinds; the rest are counted together under ``"(other kinds)"``).
    skipped_kinds: dict[str, int] = field(default_factory=dict)
    #: The largest page read, in bytes after decompression (``max_page_size``).
    max_page_size: int = DEFAULT_MAX_PAGE_SIZE
    #: Keep only responses whose HTTP status is 2xx.
    only_2xx: bool = False

    def add(self, counts: dict[str, Any]) -> None:
        """Add the counts of a run of the native reader (``_ArchiveRun.counts()``)."""
        for name in ("skipped", "requests", "other_records", "non_html", "not_2xx", "files"):
            setattr(self, name, getattr(self, name) + int(counts[name]))
        for kind, n in counts["kinds"]:
            self.skipped_kinds[kind] = self.skipped_kinds.get(kind, 0) + int(n)


@dataclass(frozen=True, slots=True)
class Source:
    """An input found by the walk and not yet opened: a file (``path``), a descriptor
    (``fd``: standard input, never closed) or an open binary stream (``stream``: a URL)."""

    #: The name records and failures give (``-`` for standard input), as text.
    source: str
    path: str | None = None
    fd: int | None = None
    stream: Any = None
    #: Found by a walk or glob: opened without blocking and read only if a regular file.
    found: bool = False


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
