"""Malformed queries: the error raised where a query that parses in no reading is defined.

A query outside the engine's subset but valid CSS or XPath yields an empty column (and
:func:`larkspine.check` says why); a query that is not CSS or XPath at all is a bug in the
caller's code, and raises :class:`QuerySyntaxError` at once, as parsel raises on it. The
engine decides which queries are malformed; this module only words the error.
"""

from __future__ import annotations

import functools

import _larkspine

__all__ = ["QuerySyntaxError", "check_query", "syntax_error"]


class QuerySyntaxError(ValueError):
    """A query that does not parse as CSS or as XPath 1.0.

    ``query`` is the query as given, ``position`` the 0-based character index where its
    grammar stopped, and ``expected`` what the grammar allowed there (with what it found).
    """

    def __init__(self, query: str, position: int, expected: str) -> None:
        self.query = query
        self.position = position
        self.expected = expected
        super().__init__(
            f"larkspine: malformed query {query!r} at position {position}: expected {expected}"
        )

    def __reduce__(self) -> tuple[type[QuerySyntaxError], tuple[str, int, str]]:
        return (QuerySyntaxError, (self.query, self.position, self.expected))


@functools.lru_cache(maxsize=4096)
def syntax_error(query: str, sub_field: bool = False) -> QuerySyntaxError | None:
    """The error for a malformed query (as a group sub-field, where ``@href``, ``text()`` and
    ``.`` are XPath), or ``None``."""
    found = _larkspine._query_syntax_error(query, sub_field)
    if found is None:
        return None
    position, expected = found
    return QuerySyntaxError(query, position, expected)


def check_query(query: str, sub_field: bool = False) -> None:
    """Raise :class:`QuerySyntaxError` for a malformed query."""
    error = syntax_error(query, sub_field)
    if error is not None:
        raise QuerySyntaxError(error.query, error.position, error.expected)
