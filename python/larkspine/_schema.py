"""A named schema compiled once: fields and groups in, one record per page out.

:func:`check` lives here, beside :class:`Schema`, because telling what it was given (a
Page class, a Schema, bare declarations) takes knowing what a Schema is; the audit itself,
in :mod:`larkspine._check`, takes declarations and knows nothing of schemas, so the two
modules import one way.
"""

from __future__ import annotations

from collections.abc import Callable, Collection, Iterable, Iterator, Mapping, Sequence
from types import MappingProxyType
from typing import TYPE_CHECKING, Any

import _larkspine

from ._check import CheckReport, check_fields, declared_fields, warn_unsupported
from ._document import Html, as_document
from ._encoding import engine_label
from ._fields import MISSING, Field, Group
from ._gzip import DEFAULT_MAX_PAGE_SIZE
from ._lxml import FallbackGroup, FallbackPlan, require_parsel
from ._urls import BASE_QUERY, Joiner, page_base
from ._syntax import check_query

if TYPE_CHECKING:
    import pyarrow

    from ._archive import ArchiveSource, ArchiveStream

__all__ = ["Schema", "Record", "check", "extract_table"]

#: The name of the base URL's column in a batch of a schema with ``absolute`` fields.
_BASE_COLUMN = "<base>"

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

    With ``fallback=True``, the queries the engine refuses (unsupported, not malformed) are
    answered by parsel on an lxml tree of the page, built only for a schema that has such a
    query, once per page, with parsel's ``.getall()`` answers; a group with one is answered
    wholly by parsel. Processors, ``first``, ``absolute`` and fallback chains apply to those
    values as to the engine's, and the engine's answers do not change. Needs parsel
    (``pip install 'larkspine[fallback]'``).

    ```pycon
    >>> s = Schema({"title": field("h1::text", first=True), "links": field("a::attr(href)")})
    >>> s.extract(b"<h1>Hi</h1><a href=/x>x</a>")
    {'title': 'Hi', 'links': ['/x']}
    ```
    """

    __slots__ = ("_fields", "_flat", "_groups", "plan", "strict", "_needs_groups", "_needs_base", "_fallbacks",
                 "fallback", "_by_parsel")

    def __init__(
        self, fields: Mapping[str, Field[Any] | Group | str], *, strict: bool = False, fallback: bool = False
    ) -> None:
        self._compile(fields, strict, fallback)
        self._audit()

    @classmethod
    def _declared(
        cls, fields: Mapping[str, Field[Any] | Group | str], strict: bool, prefix: str, inherited: Collection[str] = (),
        fallback: bool = False,
    ) -> Schema:
        """The schema of a class or file named by ``prefix``, whose ``inherited`` fields were
        audited where they were first declared."""
        schema = cls.__new__(cls)
        schema._compile(fields, strict, fallback)
        schema._audit(prefix, inherited)
        return schema

    def _audit(self, prefix: str = "", inherited: Collection[str] = ()) -> None:
        """Refuse (``strict``) or warn of the queries the engine does not support, once, where
        the schema is defined, since at extraction they look like queries that match nothing.
        A query the fallback answers is not among them."""
        report = check_fields(self._fields, fallback=self.fallback)
        if self.strict:
            report.raise_for_unsupported()
        else:
            warn_unsupported(report, prefix, inherited)

    def _compile(self, fields: Mapping[str, Field[Any] | Group | str], strict: bool, fallback: bool = False) -> None:
        if not isinstance(fallback, bool):
            raise TypeError(f"larkspine: fallback must be a bool, got {type(fallback).__name__}")
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
        # Absolute fields need the document's base URL: the plan gets one more first-only
        # flat query, after the declared ones, so declared columns keep their positions.
        self._needs_base = any(f.absolute for _, f in self._flat) or any(
            sub.absolute for _, g in self._groups for sub in g.fields.values()
        )
        hidden = [BASE_QUERY] if self._needs_base else []
        # Fallback queries are more flat columns after those, each field's in order: the
        # declared columns keep their positions, and one scan answers the whole chain.
        self._fallbacks = tuple((i, f.fallbacks) for i, (_, f) in enumerate(self._flat) if f.fallbacks)
        self.strict = strict
        #: The compiled native plan: flat fields in declaration order, then the base query
        #: when a field is ``absolute``, then each field's fallback queries, then the groups.
        self.plan = _larkspine.Plan(
            [f.query for _, f in self._flat] + hidden + [q for _, f in self._flat for q in f.fallbacks],
            [(g.container, [(n, sub.query) for n, sub in g.fields.items()]) for _, g in self._groups],
            [f.first for _, f in self._flat] + [True] * len(hidden) + [f.first for _, f in self._flat for _ in f.fallbacks],
        )
        self.fallback = fallback
        #: What parsel answers in place of the engine (empty: every page is the engine's alone).
        self._by_parsel = _parsel_plan(self, bound) if fallback else FallbackPlan((), ())

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
        address, handed to processors that take a ``url`` argument and the base ``absolute``
        fields resolve against (unless the page has a ``<base href>``).
        """
        doc = as_document(html)
        label = engine_label(doc, encoding)
        if self._needs_groups:
            flat, grouped = self.plan.extract_grouped(doc, label)
        else:
            flat, grouped = self.plan.extract(doc, label), []
        if self._by_parsel:
            flat, grouped = self._by_parsel.answer(doc, label, flat, grouped)
        return self._finish(flat, grouped, url, doc, label)

    def extract_table(
        self,
        documents: Iterable[Html],
        encoding: str | Sequence[str | None] | None = None,
        *,
        threads: int = 1,
        urls: Sequence[str | None] | None = None,
    ) -> pyarrow.Table:
        """Many pages in one call: a ``pyarrow.Table`` with one row per document, in order.

        The columns are the fields, named and ordered as the records of :meth:`extract`
        are, and each value equals that record's: a ``first=True`` field is a ``string``
        column (null where nothing matched), any other field ``list<string>``, a group
        ``list<struct<...>>`` of its sub-fields. The native engine reads the whole batch
        with the interpreter lock released once, on ``threads`` native threads (``0``: one
        per CPU), and fills Arrow buffers directly: no Python object is made per value.

        Fields with processors or defaults (``each``, ``out``, ``default``, a ``first``
        group) are finished in Python after the batch, column by column, and their columns
        take the type pyarrow infers from the results. ``encoding`` is one label for every
        document or one per document; ``urls``, one per document, reach processors that take
        a ``url``. Needs pyarrow (``pip install 'larkspine[arrow]'``).
        """
        pa = _pyarrow()
        docs = documents if isinstance(documents, (list, tuple)) else list(documents)
        if urls is not None:
            if len(urls) != len(docs):
                raise ValueError(f"larkspine: urls has {len(urls)} entries for {len(docs)} documents")
            for i, u in enumerate(urls):
                if u is not None and not isinstance(u, str):
                    raise TypeError(f"larkspine: urls[{i}] must be a str or None, got {type(u).__name__}")
        labels: str | list[str | None] | None
        if encoding is None or isinstance(encoding, str):
            labels = engine_label(b"", encoding)
        else:
            labels = [engine_label(b"", e) for e in encoding]
        # The hidden columns' names are no identifiers, so no field can take them.
        hidden = [_BASE_COLUMN] if self._needs_base else []
        alternates = {self._flat[i][0]: [f"<{self._flat[i][0]} {k + 1}>" for k in range(len(qs))] for i, qs in self._fallbacks}
        names = (
            [name for name, _ in self._flat] + hidden + [n for ns in alternates.values() for n in ns]
            + [name for name, _ in self._groups]
        )
        batch = self.plan.extract_arrow(docs, labels, threads=threads, names=names)
        table = pa.table(batch)
        if self._by_parsel:
            table = self._parsel_columns(pa, table, names, docs, labels)
        page_urls: Sequence[str | None] = urls if urls is not None else [None] * len(docs)
        bases: Sequence[Any] = [MISSING] * len(docs)
        if self._needs_base:
            hrefs = table.column(_BASE_COLUMN).to_pylist()
            each_label = labels if isinstance(labels, list) else [labels] * len(docs)
            bases = [
                _joiner(page_base(u, h, None if h is None else as_document(d), l))
                for u, h, d, l in zip(page_urls, hrefs, docs, each_label)
            ]
        for name, f in self._flat:
            if _plain_field(f):
                continue
            if _columnar_field(f):  # absolute, and nothing else to apply
                table = _join_column(pa, table, name, bases)
                continue
            raw = table.column(name).to_pylist()
            if f.first:
                raw = [[] if v is None else [v] for v in raw]
            if f.fallbacks:
                chain = [raw] + [table.column(n).to_pylist() for n in alternates[name]]
                if f.first:
                    chain[1:] = [[[] if v is None else [v] for v in column] for column in chain[1:]]
                raw = [f.choose(columns) for columns in zip(*chain)]
            table = _replace(pa, table, name, [f.finish(v, u, b) for v, u, b in zip(raw, page_urls, bases)])
        for name, g in self._groups:
            subs = tuple(g.fields)
            if not g.first and g._out is None and all(_columnar_field(sub) for sub in g.fields.values()):
                if any(sub.absolute for sub in g.fields.values()):
                    table = _join_subfields(pa, table, name, [sub.absolute for sub in g.fields.values()], bases)
                if any(sub.first for sub in g.fields.values()):
                    table = _first_subfields(pa, table, name, [sub.first for sub in g.fields.values()])
                continue
            rows = [[[r[n] for n in subs] for r in v] for v in table.column(name).to_pylist()]
            table = _replace(pa, table, name, [g.finish(v, u, b) for v, u, b in zip(rows, page_urls, bases)])
        if self._needs_base or self._fallbacks or (self._groups and self._flat):
            table = table.select(list(self._fields))
        result: pyarrow.Table = table
        return result

    @property
    def _columnar(self) -> bool:
        """Every field is the engine's column, its links perhaps made absolute (see
        :func:`larkspine.batch.columnar`)."""
        if self._by_parsel:
            return False
        for decl in self.fields.values():
            if isinstance(decl, Group):
                if decl.first or decl._out is not None or not all(_columnar_field(f) for f in decl.fields.values()):
                    return False
            elif not _columnar_field(decl):
                return False
        return True

    def extract_archive(
        self,
        source: ArchiveSource,
        *,
        threads: int = 1,
        max_page_size: int = DEFAULT_MAX_PAGE_SIZE,
        only_2xx: bool = False,
        encoding: str | None = None,
    ) -> ArchiveStream:
        """Every page of WARC, ARC, gzip and HTML files, extracted into Arrow record batches.

        ``source`` is a path or several, taken as ``larkspine extract`` takes its inputs
        (files, directories, glob patterns, ``-``). The native reader reads, inflates and
        parses the records, and the engine extracts a batch of pages at a time into Arrow
        buffers, on ``threads`` native threads (``0``: one per CPU) without the interpreter
        lock; the batches come out in input order, one row per page, with the record's
        metadata columns first (see :class:`~larkspine.ArchiveStream`). Only HTML responses
        are pages (with ``only_2xx``, only those whose status is 2xx); a page over
        ``max_page_size`` bytes (decompressed) is a failure, as is a record that cannot be
        read, and reading goes on. ``encoding`` is the label for pages whose response names
        no charset. The schema's fields must be the engine's values (no processors or
        defaults). Needs pyarrow (``pip install 'larkspine[arrow]'``): for instance
        ``pyarrow.table(schema.extract_archive("crawl/*.warc.gz", threads=2))``.
        """
        from ._archive import ArchiveStream

        _pyarrow()
        return ArchiveStream(
            self, source, threads=threads, max_page_size=max_page_size, only_2xx=only_2xx, encoding=encoding
        )

    def _finish_groups(self, pa: Any, table: pyarrow.Table) -> pyarrow.Table:
        """A batch's group columns whose ``first`` sub-fields are values, not lists: what a
        batch needs finishing when its fields are the engine's columns as they are (no
        processor, default, fallback or absolute link)."""
        for name, g in self._groups:
            if any(sub.first for sub in g.fields.values()):
                table = _first_subfields(pa, table, name, [sub.first for sub in g.fields.values()])
        return table

    def _parsel_columns(
        self, pa: Any, table: pyarrow.Table, names: list[str], docs: Sequence[Html], labels: str | list[str | None] | None
    ) -> pyarrow.Table:
        """The batch's table with parsel's answers in the columns the fallback takes, typed as
        the engine's: a first-only column a value (or null) a page, any other a list."""
        each_label = labels if isinstance(labels, list) else [labels] * len(docs)
        answers = [
            self._by_parsel.answer(as_document(d), l, [[]] * len(self._flat_columns()), [[]] * len(self._groups))
            for d, l in zip(docs, each_label)
        ]
        firsts = self._flat_columns()
        for column, _ in self._by_parsel.flat:
            values: list[Any] = [flat[column] for flat, _ in answers]
            if firsts[column]:
                values = [v[0] if v else None for v in values]
            table = _typed(pa, table, names[column], values)
        for g in self._by_parsel.groups:
            name, group = self._groups[g.index]
            subs = tuple(group.fields)
            rows = [[dict(zip(subs, row)) for row in grouped[g.index]] for _, grouped in answers]
            table = _typed(pa, table, name, rows)
        return table

    def _flat_columns(self) -> list[bool]:
        """Whether each flat column of the plan is first-only, in the plan's order."""
        hidden = [True] if self._needs_base else []
        return [f.first for _, f in self._flat] + hidden + [f.first for _, f in self._flat for _ in f.fallbacks]

    def finish(self, flat: list[list[str]], grouped: list[Any], url: str | None = None) -> Record:
        """The record from the plan's raw result (``Plan.extract_grouped`` shape).

        Without the page, a ``<base href>`` counts wherever the scan found it (Scrapy reads
        one only in the first 4096 characters: :meth:`extract` applies that rule)."""
        return self._finish(flat, grouped, url, None, None)

    def _finish(
        self, flat: list[list[str]], grouped: list[Any], url: str | None, doc: bytes | str | None, label: str | None
    ) -> Record:
        base: str | Joiner | None = url
        if self._needs_base and len(flat) > len(self._flat):
            base_href = flat[len(self._flat)]
            base = _joiner(page_base(url, base_href[0] if base_href else None, doc, label))
        if self._fallbacks:
            flat = self._chosen(flat)
        values: dict[str, Any] = {}
        for (name, f), column in zip(self._flat, flat):
            values[name] = f.finish(column, url, base)
        for (name, g), rows in zip(self._groups, grouped):
            values[name] = g.finish(rows, url, base)
        if self._groups and self._flat:
            # Records list fields in declaration order, whatever their kind.
            return {name: values[name] for name in self._fields}
        return values

    def _chosen(self, flat: list[list[str]]) -> list[list[str]]:
        """The declared columns, each field with fallbacks given the column of the first of
        its queries that found something."""
        chosen = flat[: len(self._flat)]
        at = len(self._flat) + self._needs_base
        for i, queries in self._fallbacks:
            chosen[i] = self._flat[i][1].choose([flat[i], *flat[at : at + len(queries)]])
            at += len(queries)
        return chosen

    def __eq__(self, other: object) -> bool:
        return (
            isinstance(other, Schema) and dict(self._fields) == dict(other._fields) and self.fallback == other.fallback
        )

    def __hash__(self) -> int:
        return hash(tuple(self._fields))

    def __repr__(self) -> str:
        inner = ", ".join(f"{name!r}: {decl!r}" for name, decl in self._fields.items())
        return f"Schema({{{inner}}}{', fallback=True' if self.fallback else ''})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild_schema, (dict(self._fields), self.strict, self.fallback))


def _joiner(base: str | None) -> Joiner | None:
    """One page's joiner: its absolute fields share the memo of joined links."""
    return None if base is None else Joiner(base)


def extract_table(
    documents: Iterable[Html],
    schema: Schema | Mapping[str, Field[Any] | Group | str] | type[Any],
    encoding: str | Sequence[str | None] | None = None,
    *,
    threads: int = 1,
    urls: Sequence[str | None] | None = None,
) -> pyarrow.Table:
    """:meth:`Schema.extract_table` for a :class:`Schema`, a mapping of fields or a ``Page`` class.

    ```pycon
    >>> t = extract_table([b"<h1>A</h1>", b"<h2>none</h2>"], {"title": field("h1::text", first=True)})
    >>> t.to_pylist()
    [{'title': 'A'}, {'title': None}]
    ```
    """
    if isinstance(schema, type):
        found = getattr(schema, "__schema__", None)
        if not isinstance(found, Schema):
            raise TypeError(f"larkspine: {schema.__qualname__} is not a Page class")
        schema = found
    elif not isinstance(schema, Schema):
        schema = Schema(schema)
    return schema.extract_table(documents, encoding, threads=threads, urls=urls)


def check(schema: object, strict: bool = False, *, fallback: bool | None = None) -> CheckReport:
    """Audit a schema without reading any HTML.

    ``schema`` is a :class:`~larkspine.Page` subclass, a :class:`~larkspine.Schema`, a
    mapping of names to fields/groups/query strings, or a list of query strings. The report
    says, per field, group container and sub-field, whether the engine supports the query
    and, if not, why; which kind of value it yields; and the budget usage, which counts the
    hidden ``<base href>`` query that ``absolute`` fields add to the plan. An unsupported
    query never raises at extraction (it yields an empty column), so scrapers check up
    front; ``strict=True`` raises one ``ValueError`` listing every unsupported query.

    With ``fallback=True`` (by default, the schema's own ``fallback``), the queries the
    engine refuses that parsel can run are marked ``fallback`` (answered by lxml), as is
    every query of a group that has one; they are no longer unsupported. One parsel cannot
    run either stays unsupported, and its reason says what parsel said.
    """
    found = getattr(schema, "__schema__", None) if isinstance(schema, type) else schema
    if isinstance(found, Schema):
        fields, own_fallback = found.fields, found.fallback
    else:
        fields, own_fallback = declared_fields(schema), False
    return check_fields(fields, strict, fallback=own_fallback if fallback is None else fallback)


def _pyarrow() -> Any:
    try:
        import pyarrow
    except ImportError:
        raise ImportError("larkspine: extract_table needs pyarrow: pip install 'larkspine[arrow]'") from None
    return pyarrow


def _plain_field(f: Field[Any]) -> bool:
    """The engine's column is the field's value: no processor or default to apply."""
    return _columnar_field(f) and not f.absolute


def _columnar_field(f: Field[Any]) -> bool:
    """The field's values are the engine's, joined to the page's base URL if ``absolute``:
    finished on the Arrow arrays, a page's values at a time, with no Python call per value."""
    return f._each is None and f._out is None and f.default is MISSING and not f.fallbacks


def _joined_values(pa: Any, values: Any, spans: Any, bases: Sequence[Any], nulls: bool = False) -> Any:
    """``values`` (a string array) with page ``p``'s, ``values[spans[p]:spans[p + 1]]``,
    joined to ``bases[p]`` (a :class:`Joiner`, or ``None``: kept as written). The count of
    values does not change, so offsets into them stay right; a null stays null.

    The join is made on the array's buffers (``_larkspine._join_link_array``): a link whose
    answer the core proves becomes bytes of the new array without a Python object; only the
    others reach ``urljoin``, once per distinct link of a page (the joiner's memo)."""
    at = spans.to_pylist()
    pages: list[tuple[int, int, tuple[Any, ...] | None]] = []
    joiners: list[Joiner] = []
    for p, joiner in enumerate(bases):
        lo, hi = at[p], at[p + 1]
        if joiner is None or lo == hi:
            continue
        pages.append((lo, hi, joiner.prefixes()))
        joiners.append(joiner)
    if not pages:
        return values
    offsets, data = _larkspine._join_link_array(values, pages, lambda k, link: joiners[k].urljoin(link))
    validity = None
    if values.null_count:
        # The validity bits of an array cut from another start at its offset: the new
        # array's start at 0.
        validity = values.buffers()[0] if values.offset == 0 else _pc().is_valid(values).buffers()[1]
    return pa.Array.from_buffers(values.type, len(values), [validity, pa.py_buffer(offsets), pa.py_buffer(data)],
                                 null_count=values.null_count)


def _pc() -> Any:
    import pyarrow.compute

    return pyarrow.compute


def _join_column(pa: Any, table: pyarrow.Table, name: str, bases: Sequence[Any]) -> pyarrow.Table:
    """An ``absolute`` field's column, each page's values joined to its base (see
    :func:`_joined_values`): a ``list<string>`` column's values, or a first-only field's
    ``string`` column, a value a page."""
    column: Any = table.column(name)
    arr: Any = column.chunk(0) if column.num_chunks == 1 else column.combine_chunks()
    if pa.types.is_list(arr.type):
        values = _joined_values(pa, arr.values, arr.offsets, bases)
        rebuilt = pa.ListArray.from_arrays(arr.offsets, values, type=arr.type)
    else:
        rebuilt = _joined_values(pa, arr, pa.array(range(len(arr) + 1), pa.int32()), bases, nulls=True)
    return table.set_column(table.schema.get_field_index(name), name, rebuilt)


def _join_subfields(
    pa: Any, table: pyarrow.Table, name: str, absolute: list[bool], bases: Sequence[Any]
) -> pyarrow.Table:
    """A group column whose ``absolute`` sub-fields' values are joined to their page's base:
    a page's rows are ``group offsets[p]`` to ``[p + 1]``, and their values a sub-field's
    offsets at those rows."""
    import pyarrow.compute

    pc: Any = pyarrow.compute

    def joined(child: Any, groups: Any) -> Any:
        values = _joined_values(pa, child.values, pc.take(child.offsets, groups.offsets), bases)
        return pa.ListArray.from_arrays(child.offsets, values, type=child.type)

    return _rebuild_subfields(pa, table, name, absolute, joined)


def _first_subfields(pa: Any, table: pyarrow.Table, name: str, first: list[bool]) -> pyarrow.Table:
    """A group column whose ``first=True`` sub-fields hold their first value (or null)
    instead of a list, computed on the Arrow arrays: no Python object per value."""
    import pyarrow.compute

    pc: Any = pyarrow.compute

    def first_values(child: Any, groups: Any) -> Any:
        # The value at each list's start, or null where the list is empty.
        starts = child.offsets[:-1]
        index = pc.if_else(pc.greater(pc.list_value_length(child), 0), starts, pa.scalar(None, pa.int32()))
        return pc.take(child.values, index)

    return _rebuild_subfields(pa, table, name, first, first_values)


def _rebuild_subfields(
    pa: Any, table: pyarrow.Table, name: str, chosen: list[bool], change: Callable[[Any, Any], Any]
) -> pyarrow.Table:
    """A group column with each ``chosen`` sub-field's array replaced by ``change(child,
    groups)`` (``groups``: the column's list array, whose offsets say which rows are whose)."""
    column: Any = table.column(name)
    groups: Any = column.chunk(0) if column.num_chunks == 1 else column.combine_chunks()
    rows: Any = groups.values
    children = [change(rows.field(i), groups) if is_chosen else rows.field(i) for i, is_chosen in enumerate(chosen)]
    struct = pa.StructArray.from_arrays(children, names=[rows.type.field(i).name for i in range(len(chosen))])
    rebuilt = pa.ListArray.from_arrays(groups.offsets, struct)
    return table.set_column(table.schema.get_field_index(name), name, rebuilt)


def _replace(pa: Any, table: pyarrow.Table, name: str, values: list[Any]) -> pyarrow.Table:
    try:
        column = pa.array(values)
    except (pa.ArrowInvalid, pa.ArrowTypeError) as e:
        raise TypeError(f"larkspine: the values of field {name!r} after its processors form no Arrow column: {e}") from None
    return table.set_column(table.schema.get_field_index(name), name, column)


def _rebuild_schema(fields: dict[str, Field[Any] | Group], strict: bool, fallback: bool = False) -> Schema:
    # Audited where it was defined: a worker that unpickles it warns of nothing again.
    schema = Schema.__new__(Schema)
    schema._compile(fields, strict, fallback)
    return schema


def _parsel_plan(schema: Schema, bound: Mapping[str, Field[Any] | Group]) -> FallbackPlan:
    """What parsel answers for ``schema``: the flat queries and the groups its check marks
    as the fallback's, each flat one at its column of the plan."""
    require_parsel()
    marked = {q.name for q in check_fields(bound, fallback=True).by_fallback}
    n = len(schema._flat)
    flat: list[tuple[int, str]] = []
    at = n + schema._needs_base
    for i, (name, f) in enumerate(schema._flat):
        for k, q in enumerate((f.query, *f.fallbacks)):
            if (f"{name}[{k}]" if k else name) in marked:
                flat.append((i if k == 0 else at + k - 1, q))
        at += len(f.fallbacks)
    groups = tuple(
        FallbackGroup(i, g.container, tuple(sub.query for sub in g.fields.values()))
        for i, (name, g) in enumerate(schema._groups)
        if name in marked
    )
    return FallbackPlan(tuple(flat), groups)


def _typed(pa: Any, table: pyarrow.Table, name: str, values: list[Any]) -> pyarrow.Table:
    """``table`` with column ``name`` replaced by ``values``, of the column's own type."""
    index = table.schema.get_field_index(name)
    return table.set_column(index, name, pa.array(values, type=table.schema.field(index).type))


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
