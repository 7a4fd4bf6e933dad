"""The named report over the engine's schema audit: which queries the engine supports, and why not."""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal, cast

import _larkspine

from ._fields import Field, Group
from ._urls import BASE_QUERY
from ._syntax import check_query

__all__ = ["check", "CheckReport", "QueryReport"]

Terminal = Literal["text", "attr", "outer", "normalize-space"]


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


@dataclass(frozen=True)
class CheckReport:
    """What :func:`check` found: one :class:`QueryReport` per query, and the budget usage."""

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
        return tuple(q for q in self.queries if not q.supported)

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
                "ok" if q.supported else f"UNSUPPORTED: {q.reason}",
            )
            for q in self.queries
        ]
        widths = [max([len(header[i])] + [len(r[i]) for r in rows]) for i in range(4)]

        def line(cells: Sequence[str]) -> str:
            return "  ".join(c.ljust(w) for c, w in zip(cells[:4], widths)) + "  " + cells[4]

        out = [line(header), line(["-" * w for w in widths] + ["------"])]
        out += [line(r) for r in rows]
        verdict = "all supported" if not self.unsupported else f"{len(self.unsupported)} unsupported"
        out.append(f"budget: {self._budget_text()}; {verdict}")
        return "\n".join(out)


def check(schema: object, strict: bool = False) -> CheckReport:
    """Audit a schema without reading any HTML.

    ``schema`` is a :class:`~larkspine.Page` subclass, a :class:`~larkspine.Schema`, a
    mapping of names to fields/groups/query strings, or a list of query strings. The report
    says, per field, group container and sub-field, whether the engine supports the query
    and, if not, why; which kind of value it yields; and the budget usage, which counts the
    hidden ``<base href>`` query that ``absolute`` fields add to the plan. An unsupported
    query never raises at extraction (it yields an empty column), so scrapers check up
    front; ``strict=True`` raises one ``ValueError`` listing every unsupported query.
    """
    fields = _declarations(schema)
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
    flat_audit, group_audit, budget = _larkspine.audit_schema([f.query for _, f in flat] + hidden, engine_groups)
    sub_budget = _larkspine._sub_field_budget(engine_groups)
    flat_terms = [_terminal(t) for t in _larkspine.selector_terminals([f.query for _, f in flat])]
    by_name: dict[str, list[QueryReport]] = {}
    for (name, f), (ok, reason), term in zip(flat, flat_audit, flat_terms):
        by_name[name] = [QueryReport(name, f.query, "field", ok, _hinted(f.query, reason), term if ok else None)]
    for (name, g), ((c_ok, c_reason), subs) in zip(groups, group_audit):
        reports = [QueryReport(name, g.container, "group", c_ok, _hinted(g.container, c_reason), None)]
        for (sub_name, sub), (ok, reason) in zip(g.fields.items(), subs):
            term = _subfield_terminal(sub.query) if ok else None
            reports.append(
                QueryReport(f"{name}.{sub_name}", sub.query, "subfield", ok, _hinted(sub.query, reason, True), term)
            )
        by_name[name] = reports
    report = CheckReport(
        tuple(q for name in fields for q in by_name[name]),
        *budget,
        *sub_budget,
    )
    if strict:
        report.raise_for_unsupported()
    return report


_TERMINALS = frozenset({"text", "attr", "outer", "normalize-space"})

# The engine's fixed reasons that some queries meet for another cause than the one they
# name; the report adds what applies after the reason.
_CSS_REASONS = ("invalid or unsupported CSS selector", "pseudo-class/element is unsupported")
_ABSOLUTE_SUB_FIELD = "absolute XPath in a grouped sub-field"
_XPATH_AXIS = re.compile(
    r"^\s*(?:ancestor|ancestor-or-self|attribute|child|descendant|descendant-or-self|following|"
    r"following-sibling|namespace|parent|preceding|preceding-sibling|self)::|^\s*[\w.-]+/"
)


def _hinted(query: str, reason: str | None, sub_field: bool = False) -> str | None:
    """The engine's reason, with a hint after it where the reason alone misleads."""
    if reason is None:
        return None
    hint = None
    if reason.startswith(_CSS_REASONS) and _XPATH_AXIS.search(query):
        hint = (
            "this reads as CSS because an XPath query starts with `/`, `./` or `(`; write the "
            "XPath as a path from the document (`//h2/following-sibling::p`)"
        )
    elif sub_field and reason.startswith(_ABSOLUTE_SUB_FIELD) and query.lstrip().startswith("//"):
        hint = f"relative to the container: `.{query.strip()}`"
    return reason if hint is None else f"{reason}; hint: {hint}"


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


def _declarations(schema: object) -> Mapping[str, Field[Any] | Group]:
    from ._schema import Schema

    found = getattr(schema, "__schema__", None)
    if isinstance(schema, type) and isinstance(found, Schema):
        return found.fields
    if isinstance(schema, Schema):
        return schema.fields
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
