"""The named report over the engine's schema audit: which queries the engine supports, and why not."""

from __future__ import annotations

import dataclasses
import functools
import os
import re
import sys
import warnings
from collections.abc import Collection, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal, cast

import _larkspine

from ._fields import Field, Group
from ._urls import BASE_QUERY
from ._syntax import check_query, syntax_error

__all__ = ["CheckReport", "QueryReport", "UnsupportedQueryWarning", "check_fields", "declared_fields", "warn_unsupported"]

Terminal = Literal["text", "attr", "outer", "normalize-space"]


class UnsupportedQueryWarning(UserWarning):
    """A query outside the engine's subset, found where it is defined: its field will be
    empty (``[]`` or ``None``) on every page, as if nothing matched.

    The message names the field, the query and the reason, with a hint where one applies.
    ``strict=True`` (on a ``Page`` class, a ``Schema``, :func:`~larkspine.check` or
    :func:`larkspine.extract`) raises instead; ``warnings.simplefilter("error",
    UnsupportedQueryWarning)`` turns every one into an error.
    """


@dataclass(frozen=True)
class QueryReport:
    """The verdict on one query of a schema."""

    #: ``"title"`` for a field, ``"offers"`` for a group's container, ``"offers.price"`` for a sub-field.
    name: str
    query: str
    kind: Literal["field", "group", "subfield"]
    supported: bool
    #: Why the engine cannot evaluate the query (``None`` when it can).
    reason: str | None
    #: The kind of value the query yields: its text, an attribute, the element's outer HTML,
    #: or its whitespace-normalised text (``None`` for a container or an unsupported query).
    terminal: Terminal | None
    #: Answered by parsel (lxml) instead of the engine: the schema has ``fallback=True`` and
    #: the engine refuses this query, or another query of its group.
    fallback: bool = False


@dataclass(frozen=True)
class CheckReport:
    """What :func:`~larkspine.check` found: one :class:`QueryReport` per query, and the budget usage."""

    queries: tuple[QueryReport, ...]
    members: int
    max_members: int
    sib_bits: int
    max_sib_bits: int
    #: Group sub-fields, over every group, and their limit.
    sub_fields: int = 0
    max_sub_fields: int = 0

    @property
    def ok(self) -> bool:
        """Every query is supported and the schema is within budget."""
        return not self.unsupported and self.within_budget

    @property
    def within_budget(self) -> bool:
        return (
            self.members <= self.max_members
            and self.sib_bits <= self.max_sib_bits
            and self.sub_fields <= self.max_sub_fields
        )

    @property
    def unsupported(self) -> tuple[QueryReport, ...]:
        """The queries neither the engine nor the fallback answers: always empty."""
        return tuple(q for q in self.queries if not q.supported and not q.fallback)

    @property
    def by_fallback(self) -> tuple[QueryReport, ...]:
        """The queries parsel (lxml) answers (``fallback=True``)."""
        return tuple(q for q in self.queries if q.fallback)

    def __bool__(self) -> bool:
        return self.ok

    def raise_for_unsupported(self) -> None:
        """Raise one ``ValueError`` listing every unsupported query (and a budget excess)."""
        problems = [f"  {q.name} = {q.query!r}: {q.reason}" for q in self.unsupported]
        if not self.within_budget:
            problems.append(f"  budget: {self._budget_text()}")
        if problems:
            raise ValueError(
                f"larkspine: {len(problems)} unsupported quer{'y' if len(problems) == 1 else 'ies'} "
                "(each would yield an empty column):\n" + "\n".join(problems)
            )

    def _budget_text(self) -> str:
        return (
            f"{self.members}/{self.max_members} selector members, "
            f"{self.sib_bits}/{self.max_sib_bits} sibling bits, "
            f"{self.sub_fields}/{self.max_sub_fields} group sub-fields"
        )

    def __str__(self) -> str:
        header = ("name", "query", "kind", "value", "status")
        rows = [
            (
                q.name,
                q.query,
                q.kind,
                q.terminal or "-",
                _status(q),
            )
            for q in self.queries
        ]
        widths = [max([len(header[i])] + [len(r[i]) for r in rows]) for i in range(4)]

        def line(cells: Sequence[str]) -> str:
            return "  ".join(c.ljust(w) for c, w in zip(cells[:4], widths)) + "  " + cells[4]

        out = [line(header), line(["-" * w for w in widths] + ["------"])]
        out += [line(r) for r in rows]
        verdict = "all supported" if not self.unsupported else f"{len(self.unsupported)} unsupported"
        if self.by_fallback:
            told = f"{len(self.by_fallback)} answered by lxml (parsel): {FALLBACK_COST}"
            verdict = told if not self.unsupported else f"{verdict}; {told}"
        out.append(f"budget: {self._budget_text()}; {verdict}")
        return "\n".join(out)


#: What answering queries through parsel costs, as ``benchmarks/fallback.py`` measures it.
FALLBACK_COST = (
    "each page is also parsed into an lxml tree, about 2 ms more per article page, 8-11x the "
    "engine's pass of 15 fields"
)


def _status(q: QueryReport) -> str:
    if q.fallback:
        return "answered by lxml (parsel), with its group" if q.supported else f"answered by lxml (parsel); engine: {q.reason}"
    return "ok" if q.supported else f"UNSUPPORTED: {q.reason}"


def check_fields(
    fields: Mapping[str, Field[Any] | Group], strict: bool = False, *, fallback: bool = False
) -> CheckReport:
    """The report of :func:`larkspine.check` on bound declarations: what the engine answers
    of ``fields`` and, with ``fallback``, what parsel answers in its place. The caller has
    resolved what it was given (:func:`declared_fields`, or a schema's own fields)."""
    flat = [(name, f) for name, f in fields.items() if isinstance(f, Field)]
    groups = [(name, g) for name, g in fields.items() if isinstance(g, Group)]
    for _, f in flat:
        check_query(f.query)  # a malformed query is an error, not an unsupported one
    engine_groups = [(g.container, [(n, s.query) for n, s in g.fields.items()]) for _, g in groups]
    # A schema with an absolute field compiles one hidden first-only query more (the
    # document's <base href>): it takes its share of the budget, as in the schema's plan,
    # but it is no field of the report.
    absolute = any(f.absolute for _, f in flat) or any(s.absolute for _, g in groups for s in g.fields.values())
    hidden = [BASE_QUERY] if absolute else []
    # A field's fallback queries follow, as in the schema's plan; each is a row of the
    # report, named by the field and its place in the chain (``title[1]``).
    chained = [
        (name, f"{name}[{k}]" if k else name, q) for name, f in flat for k, q in enumerate((f.query, *f.fallbacks))
    ]
    for _, _, q in chained:
        check_query(q)
    queries = [q for _, _, q in chained]
    first_queries = [f.query for _, f in flat]
    alternates = [q for _, f in flat for q in f.fallbacks]
    flat_audit, group_audit, budget = _larkspine.audit_schema(first_queries + hidden + alternates, engine_groups)
    sub_budget = _larkspine._sub_field_budget(engine_groups)
    verdicts = dict(zip(first_queries + hidden + alternates, flat_audit))
    flat_terms = dict(zip(queries, (_terminal(t) for t in _larkspine.selector_terminals(queries))))
    by_name: dict[str, list[QueryReport]] = {}
    for name, row, q in chained:
        ok, reason = verdicts[q]
        by_name.setdefault(name, []).append(
            QueryReport(row, q, "field", ok, _hinted(q, reason), flat_terms[q] if ok else None)
        )
    for (name, g), ((c_ok, c_reason), subs) in zip(groups, group_audit):
        reports = [QueryReport(name, g.container, "group", c_ok, _hinted(g.container, c_reason), None)]
        for (sub_name, sub), (ok, reason) in zip(g.fields.items(), subs):
            term = _subfield_terminal(sub.query) if ok else None
            reports.append(QueryReport(
                f"{name}.{sub_name}", sub.query, "subfield", ok, _hinted(sub.query, reason, True, g.container), term
            ))
        by_name[name] = reports
    if fallback:
        _mark_fallback(by_name, groups)
    report = CheckReport(
        tuple(q for name in fields for q in by_name[name]),
        *budget,
        *sub_budget,
    )
    if strict:
        report.raise_for_unsupported()
    return report


def _mark_fallback(by_name: dict[str, list[QueryReport]], groups: Sequence[tuple[str, Group]]) -> None:
    """Mark, in place, what parsel answers: each refused flat query it can run, and every
    query of a group where one is refused and parsel can run them all."""
    from ._lxml import parsel_error

    group_names = {name for name, _ in groups}
    for name, reports in by_name.items():
        refused = [q for q in reports if not q.supported]
        if not refused:
            continue
        if name in group_names:
            errors = [(q, parsel_error(q.query, q.kind == "subfield")) for q in reports]
            failed = [(q, e) for q, e in errors if e is not None]
            if not failed:
                reports[:] = [dataclasses.replace(q, fallback=True) for q in reports]
            else:
                told = {q.name: e for q, e in failed}
                reports[:] = [
                    q if q.supported else dataclasses.replace(q, reason=_parsel_refuses(q, told.get(q.name)))
                    for q in reports
                ]
            continue
        marked = []
        for q in reports:
            error = None if q.supported else parsel_error(q.query)
            if q.supported:
                marked.append(q)
            elif error is None:
                marked.append(dataclasses.replace(q, fallback=True))
            else:
                marked.append(dataclasses.replace(q, reason=_parsel_refuses(q, error)))
        reports[:] = marked


def _parsel_refuses(q: QueryReport, error: str | None) -> str | None:
    if error is None:
        return f"{q.reason}; the fallback does not take its group, where parsel refuses another query"
    return f"{q.reason}; parsel (the fallback) refuses it too: {error}"


_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
#: The (prefix, field, query) triples already warned of in this process: a class made twice
#: (attrs' slotted classes, a module imported again) tells its queries once.
_told: set[tuple[str, str, str]] = set()


def warn_unsupported(report: CheckReport, prefix: str = "", skip: Collection[str] = ()) -> None:
    """One :class:`UnsupportedQueryWarning` per unsupported query of ``report``, except
    for the fields named in ``skip`` (a subclass's inherited fields, already told where
    their class was defined). ``prefix`` goes before the field's name (``Article.``, a file's
    ``article.toml: ``). Each query is told once per process and name.

    The warning points at the first frame outside this package: the class statement, the
    ``Schema(...)`` or ``extract(...)`` call."""
    for q in report.unsupported:
        told = (prefix, q.name, q.query)
        if re.split(r"[.\[]", q.name)[0] in skip or told in _told:
            continue
        warnings.warn(
            f"larkspine: {prefix}{q.name} = {q.query!r} is unsupported and will always be empty: {q.reason}",
            UnsupportedQueryWarning,
            stacklevel=_outside_package(),
        )
        # Only once shown: under an "error" filter the warning raised, and raises again
        # where the same query is defined next.
        _told.add(told)


def _outside_package() -> int:
    """The ``stacklevel`` of the first caller outside this package, for the caller of
    :func:`warn_unsupported`'s ``warnings.warn``."""
    frame = sys._getframe(2)
    level = 2
    while frame.f_back is not None and os.path.dirname(os.path.abspath(frame.f_code.co_filename)) == _PACKAGE_DIR:
        frame = frame.f_back
        level += 1
    return level


_TERMINALS = frozenset({"text", "attr", "outer", "normalize-space"})


# The hint table. The engine's reasons are fixed strings that name the construct it
# refused; a few of them meet queries refused for another cause than the one they name
# (an XPath path that does not start with `/` parses as CSS), or list every rule of a
# family where one applies. Each rule below takes the query, the engine's reason and the
# query's role, and gives the reason a user acts on, or None to leave the next rule to
# it; a reason no rule rewrites is shown as the engine gives it.

_CSS_REASONS = ("invalid or unsupported CSS selector", "pseudo-class/element is unsupported")
_ABSOLUTE_SUB_FIELD = "absolute XPath in a grouped sub-field"
_AXIS = re.compile(
    r"^\s*(ancestor|ancestor-or-self|attribute|child|descendant|descendant-or-self|following|"
    r"following-sibling|namespace|parent|preceding|preceding-sibling|self)::"
)
#: A relative XPath path: a name, `@name` or `text()` step followed by `/`, or a lone `@name`.
_RELATIVE_PATH = re.compile(r"^\s*(?:[\w.*-]+/|@[\w-]+\s*$|text\(\)\s*$)")
_POSITIONAL = "positional predicate"
_POSITION_SUPPORTED = (
    "`[N]`, `[last()]`/`[last()-k]` or a range alone (`[position()>1]`) on an element step are "
    "supported (`//li[2]`), and one position of a whole parenthesised path (`(//li/text())[1]`)"
)
# Which clause of the engine's positional reason applies, by the form the query has, and
# whether the forms that are supported follow it.
_POSITION_CASES = (
    (re.compile(r"text\(\)\s*\[\s*(?:\d|last|position)"),
     "a position on a text node (`text()[1]`) is unsupported; `first=True` keeps the first value, "
     "as parsel's `.get()` does, and `(//p/text())[1]` takes the first of the whole path", False),
    (re.compile(r"position\(\)"), "`position()` combined with another predicate is unsupported", True),
    (re.compile(r"following-sibling::[^/\[]*(?:\[[^\]]*\])*\[\s*(?:\d|last)"),
     "a position other than a last `[1]` on a `following-sibling::` step is unsupported "
     "(`following-sibling::p[1]` is supported)", True),
    (re.compile(r"last\(\)"), "`[last()]` combined with another predicate is unsupported", True),
    (re.compile(r"\bor\b|\[[^\]]*(?:text\(\)|/)[^\]]*\]\s*\[\s*\d"),
     "`[N]` after an `or`, and a position other than `[1]` after a text or path test "
     "(`//li[@a or @b][1]`, `//li[.//a][2]`), are unsupported", True),
)
_FUNCTION_REASONS = ("this XPath function or placement is unsupported", "outside the supported downward-XPath")
_CALL = re.compile(r"([A-Za-z][\w-]*)\s*\(")
# Functions the engine evaluates nowhere, and what a user does instead.
_FUNCTION_INSTEAD = {
    "string-length": "take the text and measure it in Python (`each=len`)",
    "count": "only `count(x) = N` of one child step in a predicate is (`//tr[count(td)=8]`); "
    "take the elements (`//li`) and count them in Python (`out=len`)",
    "concat": "take each part as a field and join them in Python (`out=`)",
    "translate": "take the text and map it in Python (`each=`)",
    "substring": "take the text and slice it in Python (`each=`)",
    "sum": "take the values and add them in Python (`out=`)",
    "number": "take the text and convert it in Python (`each=float`)",
    "boolean": "take the elements and test them in Python (`out=bool`)",
    "name": "take the element's outer HTML (no ending) and read its tag in Python",
    "local-name": "take the element's outer HTML (no ending) and read its tag in Python",
    "lang": "test the `lang` attribute instead (`//p[@lang=\"en\"]`)",
    "id": "test the `id` attribute instead (`//*[@id=\"x\"]`)",
}
_FUNCTIONS_SUPPORTED = (
    "at the top, `normalize-space()`, `string()`, `substring-after()` and `substring-before()` "
    "of a text or attribute path are supported"
)


def _hinted(query: str, reason: str | None, sub_field: bool = False, container: str = "*") -> str | None:
    """The reason a user acts on: the engine's, or the first rule of the hint table's."""
    if reason is None:
        return None
    for rule in (_xpath_read_as_css, _absolute_in_group, _position, _function):
        told = rule(query, reason, sub_field, container)
        if told is not None:
            return told
    return reason


def _xpath_read_as_css(query: str, reason: str, sub_field: bool, container: str) -> str | None:
    """An XPath path that does not start with `/`, `./` or `(` parses as CSS, where its axis
    or slash is refused as a pseudo-element or a stray character."""
    if not reason.startswith(_CSS_REASONS):
        return None
    axis = _AXIS.match(query)
    if axis is None and not _RELATIVE_PATH.match(query):
        return None
    why = "this query reads as CSS: an XPath query starts with `/`, `./` or `(`"
    if axis is not None:
        why = f"`{axis.group(1)}::` is an XPath axis, but {why}"
    written = query.strip()
    if sub_field:
        candidate = "./" + written
    elif axis is not None:
        # From the document, an axis needs the step it starts from: the hint shows where.
        return f"{why}; hint: start from the element it follows, `//h2/{written}`"
    else:
        candidate = "//" + written
    unsupported = _unsupported_reason(candidate, sub_field, container)
    where = "relative to the container" if sub_field else "from the document"
    if unsupported is None:
        return f"{why}; hint: `{candidate}` ({where})"
    # Only the nested reason's first clause: the rest lists what else is supported.
    told = (_hinted(candidate, unsupported, sub_field, container) or unsupported).split("; ")[0]
    return f"{why}; written as XPath, `{candidate}` is unsupported too: {told}"


def _absolute_in_group(query: str, reason: str, sub_field: bool, container: str) -> str | None:
    if sub_field and reason.startswith(_ABSOLUTE_SUB_FIELD) and query.lstrip().startswith("//"):
        return f"{reason}; hint: relative to the container: `.{query.strip()}`"
    return None


def _position(query: str, reason: str, sub_field: bool, container: str) -> str | None:
    """The engine lists every positional form it refuses and accepts; this keeps the one that
    applies to the query."""
    if not reason.startswith(_POSITIONAL):
        return None
    for pattern, told, with_supported in _POSITION_CASES:
        if pattern.search(query):
            return f"{told}; {_POSITION_SUPPORTED}" if with_supported else told
    return f"this positional predicate is unsupported; {_POSITION_SUPPORTED}"


def _function(query: str, reason: str, sub_field: bool, container: str) -> str | None:
    """A function the engine evaluates nowhere, named, with what to do instead."""
    if not reason.startswith(_FUNCTION_REASONS):
        return None
    for called in _CALL.findall(query):
        instead = _FUNCTION_INSTEAD.get(called)
        if instead is not None:
            return f"`{called}()` is unsupported: {instead}; {_FUNCTIONS_SUPPORTED}"
    if reason.startswith(_FUNCTION_REASONS[0]):
        return f"{_FUNCTION_REASONS[0]}; {_FUNCTIONS_SUPPORTED} (see the queries page)"
    return None


@functools.lru_cache(maxsize=1024)
def _unsupported_reason(query: str, sub_field: bool = False, container: str = "*") -> str | None:
    """The engine's reason for one query alone (as a sub-field of ``container``), or None
    when it is supported or malformed."""
    if syntax_error(query, sub_field) is not None:
        return None
    if sub_field:
        _, group_audit, _ = _larkspine.audit_schema([], [(container, [("value", query)])])
        ((_, _), ((ok, reason),)) = group_audit[0]
    else:
        ((ok, reason),), _, _ = _larkspine.audit_schema([query], [])
    return None if ok else cast(str, reason)


def _terminal(name: str | None) -> Terminal | None:
    return cast(Terminal, name) if name in _TERMINALS else None


def _subfield_terminal(query: str) -> Terminal | None:
    (term,) = _larkspine.selector_terminals([query])
    relative = query.lstrip()
    if term is None and relative.startswith("./"):
        # A relative XPath sub-field (the engine anchors it at the container): its value
        # kind is that of the same steps anywhere in the page.
        (term,) = _larkspine.selector_terminals(["//" + relative[1:].lstrip("/")])
    return _terminal(term)


def declared_fields(schema: object) -> Mapping[str, Field[Any] | Group]:
    """The declarations of a mapping of fields or a list of queries, bound as a schema binds
    them (a query string is ``field(query)``); a Page class or a Schema is resolved by
    :func:`larkspine.check` before it comes here."""
    if isinstance(schema, Mapping):
        out: dict[str, Field[Any] | Group] = {}
        for name, decl in schema.items():
            out[str(name)] = Field(decl) if isinstance(decl, str) else decl
        return out
    if isinstance(schema, Sequence) and not isinstance(schema, (str, bytes)):
        return {f"[{i}]": Field(q) for i, q in enumerate(schema)}
    raise TypeError(
        "larkspine: check() takes a Page class, a Schema, a mapping of fields or a list of "
        f"queries, got {type(schema).__name__}"
    )
