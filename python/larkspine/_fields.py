"""Field declarations: what one query becomes in a record.

A :class:`Field` is one query plus what to do with its column: keep every value or only the
first, map each value, post-process the whole result, and what to give when the page has no
value. A :class:`Group` is a container query whose elements become rows of sub-fields. Both
are descriptors, so on a :class:`~larkspine.Page` instance the attribute is the value.
"""

from __future__ import annotations

import inspect
from collections.abc import Callable, Mapping, Sequence
from typing import Any, Generic, Literal, TypeVar, overload

from ._urls import document_base, resolve_all
from ._syntax import check_query, syntax_error

__all__ = ["Field", "Group", "field", "group", "MISSING"]

T = TypeVar("T")
V = TypeVar("V")
D = TypeVar("D")


class _Missing:
    """The absence of a default (``None`` is a legitimate default)."""

    _instance: _Missing | None = None

    def __new__(cls) -> _Missing:
        if cls._instance is None:
            cls._instance = super().__new__(cls)
        return cls._instance

    def __repr__(self) -> str:
        return "MISSING"

    def __reduce__(self) -> str:
        return "MISSING"


MISSING: Any = _Missing()


#: A processor, or processors applied in turn (``[str.strip, float]``, as web-poet's ``out=``).
Processors = Callable[..., Any] | Sequence[Callable[..., Any]]
#: A processor chain ready to run: ``(value, url) -> value``.
_Chain = Callable[[Any, "str | None"], Any]


def _takes_url(fn: Callable[..., Any]) -> bool:
    try:
        return "url" in inspect.signature(fn).parameters
    except (TypeError, ValueError):  # builtins without a signature
        return False


def _chain(processors: Processors | None, name: str) -> _Chain | None:
    """The processors as one callable; each step gets the page URL if it takes ``url``."""
    if processors is None:
        return None
    fns: list[Any] = list(processors) if isinstance(processors, (list, tuple)) else [processors]
    for fn in fns:
        if not callable(fn):
            raise TypeError(
                f"larkspine: {name} must be a callable, a list of callables or None, got {type(fn).__name__}"
            )
    steps = [(fn, _takes_url(fn)) for fn in fns]

    def run(value: Any, url: str | None) -> Any:
        for fn, takes_url in steps:
            value = fn(value, url=url) if takes_url else fn(value)
        return value

    return run


def _check_declaration(query: object, what: str, first: object) -> None:
    """TypeError naming the argument, for what every declaration takes."""
    if not isinstance(query, str):
        raise TypeError(f"larkspine: {what} must be a str, got {type(query).__name__}")
    if not isinstance(first, bool):
        raise TypeError(f"larkspine: first must be a bool, got {type(first).__name__}")


class _Declaration:
    """What fields and groups share: a name given by the class they are declared in, and
    attribute access that reads the page's value under that name."""

    __slots__ = ("name",)

    def __init__(self) -> None:
        self.name: str | None = None

    def __set_name__(self, owner: type, name: str) -> None:
        if self.name is None:
            self.name = name

    def _value(self, instance: object) -> Any:
        if self.name is None:
            raise AttributeError("larkspine: this declaration is not attached to a Page class")
        return instance._values[self.name]  # type: ignore[attr-defined]


class Field(_Declaration, Generic[T]):
    """One query and how its column becomes a value (see :func:`field`)."""

    __slots__ = ("query", "fallbacks", "first", "default", "each", "out", "absolute", "_each", "_out")

    def __init__(
        self,
        query: str,
        *,
        first: bool = False,
        default: Any = MISSING,
        each: Processors | None = None,
        out: Processors | None = None,
        absolute: bool = False,
        fallbacks: Sequence[str] = (),
    ) -> None:
        _check_declaration(query, "a field's query", first)
        if isinstance(fallbacks, str) or not all(isinstance(q, str) for q in fallbacks):
            raise TypeError("larkspine: a field's fallback queries must be strs, given after the first query")
        for q in fallbacks:
            check_query(q)  # fallbacks serve flat fields only
        if not isinstance(absolute, bool):
            raise TypeError(f"larkspine: absolute must be a bool, got {type(absolute).__name__}")
        # Where the field serves (a flat field or a group's sub-field) is not known yet:
        # refused here only when malformed in both roles, and again where it is used.
        if syntax_error(query) is not None and syntax_error(query, sub_field=True) is not None:
            check_query(query)
        super().__init__()
        self._each = _chain(each, "each")
        self._out = _chain(out, "out")
        self.query = query
        #: The queries tried in turn when ``query`` finds nothing (parsel's ``a.get() or b.get()``).
        self.fallbacks: tuple[str, ...] = tuple(fallbacks)
        self.first = first
        self.default = default
        self.each = each
        self.out = out
        self.absolute = absolute

    @overload
    def __get__(self, instance: None, owner: type | None = None) -> Field[T]: ...
    @overload
    def __get__(self, instance: object, owner: type | None = None) -> T: ...
    def __get__(self, instance: object, owner: type | None = None) -> Any:
        return self if instance is None else self._value(instance)

    def choose(self, columns: Sequence[list[str]]) -> list[str]:
        """The column of the first of the field's queries that found something (``columns``:
        one per query, the first query's first), or an empty one."""
        for column in columns:
            if column:
                return column
        return columns[0] if columns else []

    def finish(self, column: list[str], url: str | None = None, base: Any = MISSING) -> T:
        """The field's value from its column of strings.

        ``url`` is the page's URL (for processors that take one); ``base`` the document's
        base URL, which an ``absolute`` field resolves its values against (the page's URL
        when not given; ``None``: values stay as written).
        """
        if self.first:
            # The plan keeps one value for a first-only column, but not in every case
            # (a column decided when elements close keeps them all): cut it here.
            column = column[:1]
        if not column:
            if self.default is not MISSING:
                return self.default  # type: ignore[no-any-return]
            return None if self.first else []  # type: ignore[return-value]
        if self.absolute:
            column = resolve_all(column, document_base(url, None) if base is MISSING else base)
        each = self._each
        values: list[Any] = column if each is None else [each(v, url) for v in column]
        value: Any = values[0] if self.first else values
        if self._out is not None:
            value = self._out(value, url)
        return value  # type: ignore[no-any-return]

    def _spec(self) -> tuple[str, bool, Any, Any, Any, bool, tuple[str, ...]]:
        return (self.query, self.first, self.default, self.each, self.out, self.absolute, self.fallbacks)

    def _named(self, name: str | None) -> Field[T]:
        """A copy bound to ``name`` (one declaration may serve several names)."""
        f: Field[T] = Field(
            self.query, first=self.first, default=self.default, each=self.each, out=self.out, absolute=self.absolute,
            fallbacks=self.fallbacks,
        )
        f.name = name
        return f

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Field) and self._spec() == other._spec()

    def __hash__(self) -> int:
        return hash((self.query, self.first))

    def __repr__(self) -> str:
        parts = [repr(q) for q in (self.query, *self.fallbacks)]
        if self.first:
            parts.append("first=True")
        if self.default is not MISSING:
            parts.append(f"default={self.default!r}")
        if self.absolute:
            parts.append("absolute=True")
        for key in ("each", "out"):
            fn = getattr(self, key)
            if fn is not None:
                parts.append(f"{key}={getattr(fn, '__qualname__', fn)!s}")
        return f"field({', '.join(parts)})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild_field, self._spec() + (self.name,))


def _rebuild_field(
    query: str, first: bool, default: Any, each: Any, out: Any, absolute: bool, fallbacks: tuple[str, ...],
    name: str | None,
) -> Field[Any]:
    return Field(query, first=first, default=default, each=each, out=out, absolute=absolute, fallbacks=fallbacks)._named(
        name
    )


@overload
def field(query: str, *fallbacks: str, first: Literal[False] = False, each: None = None, out: None = None, absolute: bool = False) -> Field[list[str]]: ...
@overload
def field(query: str, *fallbacks: str, first: Literal[False] = False, default: D, each: None = None, out: None = None, absolute: bool = False) -> Field[list[str] | D]: ...
@overload
def field(query: str, *fallbacks: str, first: Literal[True], each: None = None, out: None = None, absolute: bool = False) -> Field[str | None]: ...
@overload
def field(query: str, *fallbacks: str, first: Literal[True], default: D, each: None = None, out: None = None, absolute: bool = False) -> Field[str | D]: ...
@overload
def field(query: str, *fallbacks: str, first: Literal[False] = False, each: Callable[..., V], out: None = None, absolute: bool = False) -> Field[list[V]]: ...
@overload
def field(query: str, *fallbacks: str, first: Literal[True], each: Callable[..., V], out: None = None, absolute: bool = False) -> Field[V | None]: ...
@overload
def field(query: str, *fallbacks: str, first: Literal[True], default: D, each: Callable[..., V], out: None = None, absolute: bool = False) -> Field[V | D]: ...
@overload
def field(query: str, *fallbacks: str, first: bool = False, default: Any = MISSING, each: Processors | None = None, out: Processors | None = None, absolute: bool = False) -> Field[Any]: ...
def field(
    query: str,
    *fallbacks: str,
    first: bool = False,
    default: Any = MISSING,
    each: Processors | None = None,
    out: Processors | None = None,
    absolute: bool = False,
) -> Field[Any]:
    """Declare a field: a CSS or XPath query and how its values become the field's value.

    - ``first=False`` (default): every value, as ``list[str]`` in document order (like
      parsel's ``getall()``); ``first=True``: the first value or ``None`` (like ``get()``),
      and the engine stops collecting that column after its first value.
    - ``default``: what the field is when the page has no value (instead of ``[]`` / ``None``).
    - ``each``: a callable applied to every value (``each=str.strip``, ``each=int``).
    - ``out``: a callable applied to the finished value (after ``each`` and ``first``), for
      instance ``out=" ".join``. It is not applied to a default.
    - ``absolute=True``: each value is a URL reference (``a::attr(href)``, ``img::attr(src)``)
      resolved against the document's base URL, before ``each``: the first ``<base href>``
      (itself resolved against the page's URL), else the page's URL, as browsers and
      Scrapy's ``response.urljoin`` do. Without a page URL or ``<base href>``, values stay
      as written.

    ``each`` and ``out`` may also be lists of callables, applied in turn (``each=[str.strip,
    float]``, as web-poet's ``out=``). A callable that takes a ``url`` keyword argument
    receives the page's URL.

    More queries after the first are fallbacks, tried in the order given when the ones
    before found nothing: ``field("h1::text", "//title/text()", first=True)`` is parsel's
    ``sel.css("h1::text").get() or sel.xpath("//title/text()").get()``. The page is still
    read once: every query of the chain is in the plan. Fallbacks serve flat fields, not a
    group's sub-fields.
    """
    return Field(query, first=first, default=default, each=each, out=out, absolute=absolute, fallbacks=fallbacks)


#: The method by which a declaration of another module serves as a group's sub-field:
#: ``hook(name, container) -> Field`` (see ``larkspine.webpoet.field``).
_SUBFIELD_HOOK = "__larkspine_subfield__"


class Group(_Declaration):
    """A container query whose every match becomes a row of named sub-fields (see :func:`group`)."""

    __slots__ = ("container", "fields", "first", "out", "_out")

    def __init__(
        self,
        container: str,
        fields: Mapping[str, Field[Any] | str],
        *,
        first: bool = False,
        out: Processors | None = None,
    ) -> None:
        _check_declaration(container, "a group's container query", first)
        check_query(container)
        super().__init__()
        self._out = _chain(out, "out")
        subfields: dict[str, Field[Any]] = {}
        for name, sub in fields.items():
            if not isinstance(name, str) or not name.isidentifier():
                raise ValueError(f"larkspine: sub-field name {name!r} of group {container!r} is not an identifier")
            if isinstance(sub, str):
                sub = Field(sub)
            elif not isinstance(sub, Field) and callable(getattr(sub, _SUBFIELD_HOOK, None)):
                # A field declared elsewhere (larkspine.webpoet.field) gives the Field it stands for.
                sub = getattr(sub, _SUBFIELD_HOOK)(name, container)
            if not isinstance(sub, Field):
                raise TypeError(
                    f"larkspine: sub-field {name!r} of group {container!r} must be a query str or a "
                    f"field(...), got {type(sub).__name__}"
                )
            check_query(sub.query, sub_field=True)
            if sub.fallbacks:
                raise ValueError(
                    f"larkspine: sub-field {name!r} of group {container!r} has fallback queries; a group's "
                    "sub-fields take one query each"
                )
            subfields[name] = sub._named(name)
        if not subfields:
            raise ValueError(f"larkspine: group {container!r} has no sub-fields")
        self.container = container
        self.fields: Mapping[str, Field[Any]] = subfields
        self.first = first
        self.out = out

    @overload
    def __get__(self, instance: None, owner: type | None = None) -> Group: ...
    @overload
    def __get__(self, instance: object, owner: type | None = None) -> Any: ...
    def __get__(self, instance: object, owner: type | None = None) -> Any:
        return self if instance is None else self._value(instance)

    def finish(self, rows: list[list[list[str]]], url: str | None = None, base: Any = MISSING) -> Any:
        """The group's value: one dict per row, keyed by sub-field name."""
        subs = tuple(self.fields.values())
        names = tuple(self.fields)
        records = [
            {name: sub.finish(column, url, base) for name, sub, column in zip(names, subs, row)} for row in rows
        ]
        value: Any = records
        if self.first:
            value = records[0] if records else None
        if self._out is not None and records:
            value = self._out(value, url)
        return value

    def _spec(self) -> tuple[Any, ...]:
        return (self.container, dict(self.fields), self.first, self.out)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Group) and self._spec() == other._spec()

    def __hash__(self) -> int:
        return hash(self.container)

    def __repr__(self) -> str:
        subs = ", ".join(f"{k}={v!r}" for k, v in self.fields.items())
        extra = ", first=True" if self.first else ""
        return f"group({self.container!r}, {subs}{extra})"

    def _named(self, name: str | None) -> Group:
        g = Group(self.container, self.fields, first=self.first, out=self.out)
        g.name = name
        return g

    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild_group, self._spec() + (self.name,))


def _rebuild_group(container: str, fields: dict[str, Field[Any]], first: bool, out: Any, name: str | None) -> Group:
    return Group(container, fields, first=first, out=out)._named(name)


def group(
    container: str,
    fields: Mapping[str, Field[Any] | str] | None = None,
    /,
    *,
    first: bool = False,
    out: Processors | None = None,
    **subfields: Field[Any] | str,
) -> Group:
    """Declare a group: each element matching ``container`` becomes a row (a dict).

    Sub-fields are queries relative to the container element, given as keywords
    (``group("li.offer", name="b::text", price=field(".price::text", first=True))``) or as a
    mapping (``group("li", {"first": "b::text"})``, for names that clash with the options).
    ``first=True`` gives the first row or ``None`` instead of the list of rows; ``out`` is
    applied to the finished rows.
    """
    merged: dict[str, Field[Any] | str] = dict(fields or {})
    for name in subfields:
        if name in merged:
            raise ValueError(f"larkspine: sub-field {name!r} of group {container!r} is given twice")
    merged.update(subfields)
    return Group(container, merged, first=first, out=out)
