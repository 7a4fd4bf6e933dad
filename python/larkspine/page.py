"""Page classes: a schema declared as a class, compiled once when the class is defined.

This module gathers what page classes are made of: :class:`Page`, the :func:`field` and
:func:`group` declarations, the :class:`Schema` they compile into, and :func:`check`, the
named report over the engine's audit that says which queries the engine supports and why
not (an unsupported query yields an empty column rather than an error).
"""

from __future__ import annotations

import reprlib
from typing import Any, ClassVar, Self

from ._check import CheckReport, QueryReport
from ._document import Html
from ._fields import Field, Group, field, group
from ._items import install as _install_item_adapter
from ._response import response_input
from ._schema import Record, Schema, check

__all__ = ["CheckReport", "Field", "Group", "Page", "QueryReport", "Record", "Schema", "check", "field", "group"]


_SHORT = reprlib.Repr()
_SHORT.maxlist = _SHORT.maxtuple = 4
_SHORT.maxdict = 8
_SHORT.maxstring = _SHORT.maxother = 120
_SHORT.maxlevel = 4


class _Inherit:
    """``url_field`` not given: a subclass keeps its base's."""


_INHERIT = _Inherit()


class Page:
    """Base class of declarative page schemas.

    Declare fields as class attributes; the class compiles them into one native plan when
    it is defined (a malformed or over-budget schema fails there, once), and each instance
    is one page, extracted in one streaming pass. Instances are Scrapy items: a spider may
    yield them, and ``ItemAdapter(page)`` reads (and a pipeline may replace) field values::

        class Article(Page):
            title = field("h1::text", first=True)
            links = field("a::attr(href)")
            offers = group("li.offer", name="b::text", price=field(".price::text", first=True))

        page = Article(response.body, encoding=response.encoding, url=response.url)
        page.title, page.to_dict()

    A subclass inherits its bases' fields, may add or override them, and gets its own plan.
    ``class Article(Page, strict=True)`` also refuses unsupported queries at definition
    (see :func:`larkspine.check`). ``class Article(Page, url_field="url")`` makes the page's
    URL part of its record, first, under that name: in ``to_dict()``, to Scrapy's feed
    exports and pipelines, and read back by ``from_record``. ``class Article(Page,
    fallback=True)`` answers the queries the engine refuses through parsel (see
    :class:`Schema`); a subclass inherits it.
    """

    __slots__ = ("url", "_values")
    __schema__: ClassVar[Schema] = Schema({})
    #: The record key that carries the page's URL (``url_field=``), or ``None``.
    __url_field__: ClassVar[str | None] = None

    url: str | None
    _values: Record

    def __init_subclass__(
        cls,
        *,
        strict: bool | None = None,
        url_field: str | None | _Inherit = _INHERIT,
        fallback: bool | None = None,
        **kwargs: Any,
    ) -> None:
        super().__init_subclass__(**kwargs)
        if not isinstance(url_field, _Inherit):
            if url_field is not None and (not isinstance(url_field, str) or not url_field.isidentifier()):
                raise TypeError(f"larkspine: url_field must be an identifier or None, got {url_field!r}")
            cls.__url_field__ = url_field
        declared: dict[str, Field[Any] | Group] = {}
        inherited_strict = inherited_fallback = False
        for base in reversed(cls.__mro__[1:]):
            schema = base.__dict__.get("__schema__")
            if isinstance(schema, Schema):
                declared.update(schema.fields)
                inherited_strict = inherited_strict or schema.strict
                inherited_fallback = inherited_fallback or schema.fallback
        inherited = dict(declared)
        for name, value in list(cls.__dict__.items()):
            if isinstance(value, (Field, Group)):
                if name in _RESERVED or name.startswith("_"):
                    carry = "; for the page's URL in its record, use class ...(Page, url_field='url')"
                    raise TypeError(
                        f"larkspine: field name {name!r} of {cls.__qualname__} clashes with "
                        f"{'a Page attribute' if name in _RESERVED else 'private names'}; rename it"
                        + (carry if name == "url" else "")
                    )
                declared[name] = value
            elif name in declared and not name.startswith("__"):
                # A plain attribute or method replaces an inherited field.
                del declared[name]
        # Inherited fields kept as they were declared were audited with their own class.
        unchanged = [name for name, decl in declared.items() if inherited.get(name) is decl]
        if fallback is not None and fallback != inherited_fallback:
            # Audited where the fallback answered them or not: told again under this class's.
            unchanged = []
        schema = Schema._declared(
            declared, inherited_strict if strict is None else strict, f"{cls.__qualname__}.", unchanged,
            inherited_fallback if fallback is None else fallback,
        )
        cls.__schema__ = schema
        if cls.__url_field__ is not None and cls.__url_field__ in schema.fields:
            raise TypeError(
                f"larkspine: url_field {cls.__url_field__!r} of {cls.__qualname__} is also a field's name; "
                "rename one of them"
            )
        # Bind each field under its name on this class, so a declaration shared between
        # classes or names reads the right value.
        for name, decl in schema.fields.items():
            setattr(cls, name, decl)

    def __init__(self, html: Html, *, encoding: str | None = None, url: str | None = None) -> None:
        """Extract one page: ``html`` as for :func:`larkspine.extract` (bytes preferred)."""
        if url is not None and not isinstance(url, str):
            raise TypeError(f"larkspine: url must be a str or None, got {type(url).__name__}")
        if not isinstance(html, (bytes, str)) and hasattr(html, "body") and hasattr(html, "url"):
            name = type(self).__qualname__
            raise TypeError(
                f"larkspine: {name}(...) takes a document (bytes or str), got {type(html).__name__}; "
                f"for a response, use {name}.from_response(response)"
            )
        self.url = url
        self._values = type(self).__schema__.extract(html, encoding, url)

    @classmethod
    def from_response(cls, response: Any) -> Self:
        """One page from a Scrapy ``Response`` or a web-poet ``HttpResponse``.

        Reads ``response.body`` with ``response.encoding`` (the charset the response's own
        ``.text`` and ``.css()`` decode with, which may be a Python codec name) and keeps
        ``response.url``.
        """
        body, encoding, url = response_input(response)
        return cls(body, encoding=encoding, url=url)

    @classmethod
    def from_record(cls, record: Record, *, url: str | None = None) -> Self:
        """A page from an already-extracted record (for instance one read back from JSON);
        with ``url_field``, the record's URL is the page's unless ``url`` is given."""
        self = cls.__new__(cls)
        names = cls.__schema__.fields
        if cls.__url_field__ is not None and cls.__url_field__ in record:
            record = dict(record)
            carried = record.pop(cls.__url_field__)
            url = carried if url is None else url
        unknown = set(record) - set(names)
        if unknown:
            raise ValueError(f"larkspine: {cls.__qualname__} has no field(s) {sorted(unknown)}")
        self.url = url
        self._values = {name: record.get(name) for name in names}
        return self

    def to_dict(self) -> Record:
        """The record: field values by name, in declaration order (a fresh dict), after the
        page's URL when the class has a ``url_field``."""
        if self.__url_field__ is not None:
            return {self.__url_field__: self.url, **self._values}
        return dict(self._values)

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        assert isinstance(other, Page)
        return self._values == other._values and self.url == other.url

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        # Short whatever the page holds: a group of hundreds of rows shows its first few.
        inner = ", ".join(f"{k}={_SHORT.repr(v)}" for k, v in self._values.items())
        return f"{type(self).__qualname__}({inner})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (_restore_page, (type(self), self._values, self.url))


def _restore_page(cls: type[Page], values: Record, url: str | None) -> Page:
    return cls.from_record(values, url=url)


_RESERVED = frozenset(name for name in dir(Page) if not name.startswith("__")) | {"url"}

# Pages are Scrapy items: ItemAdapter(page), feed exports and pipelines take them as they are.
_install_item_adapter(Page)
