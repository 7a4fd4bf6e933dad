"""The free extraction functions: the native ones, taking what callers hold."""

from __future__ import annotations

import functools
import gzip
import os
import stat
from collections.abc import Sequence
from typing import Any

import _larkspine

from ._check import CheckReport, check_fields, declared_fields, warn_unsupported
from ._document import Html, as_document
from ._gzip import DEFAULT_MAX_PAGE_SIZE, PageTooLarge, gunzip_stream, read_limited
from ._encoding import engine_label
from ._syntax import check_query

__all__ = ["extract", "extract_file", "extract_grouped", "GroupSpec", "Columns", "GroupedRows"]

#: A group as the engine takes it: ``(container_query, [(subfield_name, subfield_query), ...])``.
GroupSpec = tuple[str, Sequence[tuple[str, str]]]
#: One column of values per flat query, in query order.
Columns = list[list[str]]
#: ``[group][row][subfield][value]``.
GroupedRows = list[list[list[list[str]]]]


def _queries(queries: object, name: str) -> Sequence[str]:
    # The engine refuses a str too, but with a message about its own internals;
    # here the caller learns what to pass instead.
    if isinstance(queries, str):
        raise TypeError(f"larkspine: {name} must be a list of query strings, not a str: pass [{queries!r}]")
    items = _once(queries)
    if isinstance(items, Sequence):
        for q in items:
            if isinstance(q, str):
                check_query(q)
    return items  # type: ignore[no-any-return]


def _groups(groups: object) -> Sequence[GroupSpec]:
    """The groups, each container and sub-field checked for syntax (the engine checks the shapes)."""
    items = _once(groups)
    if isinstance(items, Sequence):
        for g in items:
            if isinstance(g, tuple) and len(g) == 2 and isinstance(g[0], str) and isinstance(g[1], Sequence):
                check_query(g[0])
                for sub in g[1]:
                    if isinstance(sub, tuple) and len(sub) == 2 and isinstance(sub[1], str):
                        check_query(sub[1], sub_field=True)
    return items  # type: ignore[no-any-return]


def _once(items: object) -> Any:
    """A sequence as it is; any other iterable read once into a list (so that checking it
    does not exhaust it); anything else unchanged, for the engine to refuse."""
    if isinstance(items, Sequence):
        return items
    try:
        return list(items)  # type: ignore[call-overload]
    except TypeError:
        return items


def extract(html: Html, queries: Sequence[str], encoding: str | None = None, *, strict: bool = False) -> Columns:
    """Extract one column of values per query from one document, in one streaming pass.

    ``html`` is ``bytes`` (preferred), an already-decoded ``str``, or any bytes-like
    object. ``queries`` are CSS (with ``::text`` / ``::attr(name)``) or XPath queries; each
    column lists its values in document order, and an unsupported query yields an empty
    column, and is told once by an :class:`~larkspine.UnsupportedQueryWarning`;
    ``strict=True`` raises ``ValueError`` for it instead (see :func:`larkspine.check`).
    ``encoding`` is the charset label from the HTTP
    ``Content-Type`` header, a WHATWG label or a Python codec name such as Scrapy's
    ``response.encoding``; ``None`` sniffs (byte-order mark, ``<meta>``, else UTF-8). An
    unknown label raises ``ValueError``.

    ```pycon
    >>> extract(b"<h1>Hi</h1><a href=/x>x</a>", ["h1::text", "a::attr(href)"])
    [['Hi'], ['/x']]
    ```
    """
    doc = as_document(html)
    checked = _queries(queries, "queries")
    _audit(checked, strict)
    return _larkspine.extract(doc, checked, _label(doc, encoding))


def _audit(queries: Sequence[str], strict: bool) -> None:
    """Warn of (or, ``strict``, refuse) the queries the engine does not support."""
    if not isinstance(queries, Sequence) or not all(isinstance(q, str) for q in queries):
        return  # the engine refuses them, with its own message
    report = _report(tuple(queries))
    if report.unsupported:
        if strict:
            report.raise_for_unsupported()
        warn_unsupported(report, "queries")


@functools.lru_cache(maxsize=256)
def _report(queries: tuple[str, ...]) -> CheckReport:
    # A loop over pages passes the same queries each time: audited once.
    return check_fields(declared_fields(list(queries)))


def extract_grouped(
    html: Html,
    flat_queries: Sequence[str],
    groups: Sequence[GroupSpec],
    encoding: str | None = None,
) -> tuple[Columns, GroupedRows]:
    """Flat columns and grouped rows from one streaming pass.

    ``groups`` is a list of ``(container_query, [(name, subfield_query), ...])``; the result
    is ``(flat_columns, grouped)`` with ``grouped[g][row][subfield]`` a list of values, rows in
    document order. Sub-field names are carried by the caller; :class:`larkspine.Schema` and
    :class:`larkspine.Page` turn rows into dicts.
    """
    doc = as_document(html)
    if isinstance(groups, str):
        raise TypeError("larkspine: groups must be a list of (container, [(name, query), ...]) pairs, not a str")
    return _larkspine.extract_grouped(
        doc, _queries(flat_queries, "flat_queries"), _groups(groups), _label(doc, encoding)
    )


def extract_file(
    path: str | os.PathLike[str],
    queries: Sequence[str],
    encoding: str | None = None,
    *,
    max_page_size: int = DEFAULT_MAX_PAGE_SIZE,
    strict: bool = False,
) -> Columns:
    """:func:`extract` over a saved page; a file name ending in ``.gz`` is gunzipped.

    A page larger than ``max_page_size`` bytes (64 MiB; decompressed, for ``.gz``) raises
    ``ValueError`` "too large" without being read further: a gzip bomb costs the limit.
    """
    if not isinstance(path, (str, os.PathLike)):
        # open() would take an int as a file descriptor.
        raise TypeError(f"larkspine: path must be a str or os.PathLike, got {type(path).__name__}")
    if isinstance(max_page_size, bool) or not isinstance(max_page_size, int) or max_page_size < 1:
        raise ValueError(f"larkspine: max_page_size must be a positive number of bytes, got {max_page_size!r}")
    with open(path, "rb") as f:
        try:
            st = os.fstat(f.fileno())
            if os.fspath(path).endswith(".gz"):
                # A regular file is inflated from its start whatever was peeked; a pipe is
                # not peeked at (its bytes would be taken from the inflater).
                magic = f.peek(2)[:2] if stat.S_ISREG(st.st_mode) else b"\x1f\x8b"
                if magic != b"\x1f\x8b":
                    raise gzip.BadGzipFile(f"Not a gzipped file ({magic!r})")
                data = gunzip_stream(f, max_page_size)
            else:
                data = read_limited(f, max_page_size, st.st_size if stat.S_ISREG(st.st_mode) else None)
        except PageTooLarge as e:
            raise PageTooLarge(max_page_size, f"larkspine: {os.fsdecode(path)}: {e}") from None
    return extract(data, queries, encoding, strict=strict)


def _label(doc: bytes | str, encoding: str | None) -> str | None:
    label = engine_label(doc, encoding)
    if isinstance(doc, str) and label is not None:
        _check_str_label(doc, encoding, label)
    return label


def _check_str_label(doc: str, encoding: str | None, label: str) -> None:
    """Refuse a label naming another encoding than UTF-8 for already-decoded text.

    The engine makes that check, quoting the label it is given; it is given the caller's own
    label first, and the WHATWG name only for a Python codec name that the engine's own
    lookup does not map (``cp932``), with a note saying whose name that was.
    """
    _larkspine.detect_encoding(doc, encoding)
    if label != encoding:
        try:
            _larkspine.detect_encoding(doc, label)
        except ValueError as e:
            e.add_note(f"(encoding={encoding!r} is Python's name for {label})")
            raise
