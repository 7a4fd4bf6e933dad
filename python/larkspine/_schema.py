"""A named schema compiled once: fields and groups in, one record per page out."""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from types import MappingProxyType
from typing import Any

import _larkspine

from ._document import Html, as_document
from ._encoding import engine_label
from ._fields import Field, Group
from ._syntax import check_query

__all__ = ["Schema", "Record"]

#: One page's values by field name.
Record = dict[str, Any]


class Schema:
    """Named fields and groups, compiled once into one native :class:`~_larkspine.Plan`.

    ``fields`` maps names to :func:`~larkspine.field` / :func:`~larkspine.group` declarations
    (a bare query string is ``field(query)``), in the order the record lists them. The
    plan is built here, once: a malformed or over-budget schema raises ``ValueError`` now,
    not on every page; with ``strict=True`` an unsupported query does too (see
    :func:`larkspine.check`). A schema is immutable, thread-safe and picklable (the plan is
    rebuilt from its queries where it is unpickled).

    >>> s = Schema({"title": field("h1::text", first=True), "links": field("a::attr(href)")})
    >>> s.extract(b"<h1>Hi</h1><a href=/x>x</a>")
    {'title': 'Hi', 'links': ['/x']}
    """

    __slots__ = ("_fields", "_flat", "_groups", "plan", "strict", "_needs_groups")

    def __init__(self, fields: Mapping[str, Field[Any] | Group | str], *, strict: bool = False) -> None:
        if not isinstance(fields, Mapping):
            raise TypeError(f"larkspine: a schema's fields must be a mapping of name to field, got {type(fields).__name__}")
        bound: dict[str, Field[Any] | Group] = {}
        for name, decl in fields.items():
            if not isinstance(name, str) or not name.isidentifier():
                raise ValueError(f"larkspine: field name {name!r} is not an identifier")
            bound[name] = _bind(name, decl)
        self._fields: Mapping[str, Field[Any] | Group] = MappingProxyType(bound)
        self._flat = tuple((name, f) for name, f in bound.items() if isinstance(f, Field))
        self._groups = tuple((name, g) for name, g in bound.items() if isinstance(g, Group))
        self._needs_groups = bool(self._groups)
        self.strict = strict
        #: The compiled native plan: flat fields in declaration order, then the groups.
        self.plan = _larkspine.Plan(
            [f.query for _, f in self._flat],
            [(g.container, [(n, sub.query) for n, sub in g.fields.items()]) for _, g in self._groups],
            [f.first for _, f in self._flat],
        )
        if strict:
            from ._check import check

            check(self, strict=True)

    @property
    def fields(self) -> Mapping[str, Field[Any] | Group]:
        """The declarations by name, in record order (read-only)."""
        return self._fields

    def __iter__(self) -> Iterator[str]:
        return iter(self._fields)

    def __len__(self) -> int:
        return len(self._fields)

    def extract(self, html: Html, encoding: str | None = None, url: str | None = None) -> Record:
        """One page's record: one native scan, then each field's processors.

        ``html`` and ``encoding`` are as for :func:`larkspine.extract`; ``url`` is the page's
        address, handed to processors that take a ``url`` argument.
        """
        doc = as_document(html)
        label = engine_label(doc, encoding)
        if self._needs_groups:
            flat, grouped = self.plan.extract_grouped(doc, label)
        else:
            flat, grouped = self.plan.extract(doc, label), []
        return self.finish(flat, grouped, url)

    def finish(self, flat: list[list[str]], grouped: list[Any], url: str | None = None) -> Record:
        """The record from the plan's raw result (``Plan.extract_grouped`` shape)."""
        values: dict[str, Any] = {}
        for (name, f), column in zip(self._flat, flat):
            values[name] = f.finish(column, url)
        for (name, g), rows in zip(self._groups, grouped):
            values[name] = g.finish(rows, url)
        if self._groups and self._flat:
            # Records list fields in declaration order, whatever their kind.
            return {name: values[name] for name in self._fields}
        return values

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Schema) and dict(self._fields) == dict(other._fields)

    def __hash__(self) -> int:
        return hash(tuple(self._fields))

    def __repr__(self) -> str:
        inner = ", ".join(f"{name!r}: {decl!r}" for name, decl in self._fields.items())
        return f"Schema({{{inner}}})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild_schema, (dict(self._fields), self.strict))


def _rebuild_schema(fields: dict[str, Field[Any] | Group], strict: bool) -> Schema:
    return Schema(fields, strict=strict)


def _bind(name: str, decl: object) -> Field[Any] | Group:
    """A copy of the declaration that knows its name (one declaration may serve many names)."""
    if isinstance(decl, str):
        decl = Field(decl)
    if isinstance(decl, Field):
        check_query(decl.query)  # a flat field: malformed as such, whatever it is as a sub-field
    if isinstance(decl, (Field, Group)):
        return decl._named(name)
    raise TypeError(
        f"larkspine: field {name!r} must be a query str, field(...) or group(...), got {type(decl).__name__}"
    )
