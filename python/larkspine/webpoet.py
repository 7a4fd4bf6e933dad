"""web-poet page objects filled from one native scan: :class:`LarkPage`.

A :class:`LarkPage` is a ``web_poet.WebPage`` whose fields are declared with this module's
:func:`field` (a query instead of a method body). The first field read runs ONE streaming
scan of ``response.body`` for every declared field; the others read its record. web-poet's
machinery is untouched: ``out=`` processors, ``Processors`` classes, ``meta``, ``to_item()``
and ``Returns[...]`` work as web-poet users expect::

    @attrs.define
    class ProductPage(LarkPage[Product]):
        name = field("h1::text", first=True, out=[str.strip])
        price = field(".price::text", first=True, out=[float])
        description = field("div.description", first=True)   # outer HTML -> parsel Selector

    item = await ProductPage(response).to_item()

A query whose values are elements (a CSS query without ``::text`` / ``::attr()``, an
XPath query without ``text()`` / ``@name``) hands its processors parsel ``Selector``\\ s for
those elements, re-parsed from their source, as ``response.css(...)`` would.

Requires the ``webpoet`` extra (``pip install --no-build-isolation '.[webpoet]'`` in a checkout).
"""

from __future__ import annotations

import re
from collections.abc import Callable
from typing import Any, ClassVar, TypeVar

import _larkspine
import web_poet
from parsel import Selector
from web_poet import WebPage
from web_poet.fields import get_fields_dict

from ._fields import _SUBFIELD_HOOK, MISSING, Field, Group, Processors
from ._response import response_input
from ._schema import Record, Schema

__all__ = ["LarkPage", "field", "group", "element_selector"]

ItemT = TypeVar("ItemT")

_LARK_DECL = "__larkspine_decl__"
_LARK_OUT = "__larkspine_out__"
_LARK_META = "__larkspine_meta__"
_RECORD = "_larkspine_record"


def field(
    query: str,
    *,
    first: bool = False,
    default: Any = MISSING,
    each: Processors | None = None,
    out: list[Callable[..., Any]] | None = None,
    absolute: bool = False,
    meta: dict[str, Any] | None = None,
) -> Any:
    """A web-poet field read from the page's one scan.

    The options are ``larkspine.field``'s: ``query`` is CSS or XPath; ``first=True`` gives
    the first value or ``default`` (``None`` unless given), else the list of values;
    ``each`` maps every value; ``absolute=True`` resolves URL values against the page's base
    URL. ``out`` and ``meta`` are web-poet's own: ``out`` processors run on the finished
    value and may take ``page``. The same declaration also serves as a sub-field of
    :func:`group`, where ``out`` runs on the sub-field's value in each row (and may take
    ``url``, as ``larkspine.field``'s processors do).
    """
    decl: Field[Any] = Field(
        query, first=first, default=None if first and default is MISSING else default, each=each, absolute=absolute
    )
    return _declare(decl, out, meta)


def group(
    container: str,
    fields: dict[str, Any] | None = None,
    /,
    *,
    first: bool = False,
    out: list[Callable[..., Any]] | None = None,
    meta: dict[str, Any] | None = None,
    **subfields: Any,
) -> Any:
    """A web-poet field holding rows: one dict per ``container`` match (see ``larkspine.group``).

    Sub-fields are query strings, ``larkspine.field(...)`` or this module's :func:`field`
    (which also serves in ``larkspine.group``).
    """
    merged: dict[str, Any] = dict(fields or {})
    for name in subfields:
        if name in merged:
            raise ValueError(f"larkspine: sub-field {name!r} of group {container!r} is given twice")
    merged.update(subfields)
    # Group takes this module's fields as sub-fields through their hook (see _declare).
    return _declare(Group(container, merged, first=first), out, meta)


def _subfield(decl: Field[Any], out: list[Callable[..., Any]] | None, meta: dict[str, Any] | None) -> Any:
    """The hook by which a web-poet field of this module serves as a sub-field of a group
    (``larkspine.group`` or :func:`group`): the ``Field`` it declares, with its ``out``
    processors run on the sub-field's value in each row."""

    def as_subfield(name: str, container: str) -> Field[Any]:
        if meta is not None:
            raise TypeError(
                f"larkspine: sub-field {name!r} of group {container!r} has meta=; web-poet metadata "
                "belongs to the group's own field"
            )
        return Field(
            decl.query, first=decl.first, default=decl.default, each=decl.each, out=out, absolute=decl.absolute
        )

    return as_subfield


def _declare(decl: Field[Any] | Group, out: list[Callable[..., Any]] | None, meta: dict[str, Any] | None) -> Any:
    def read(page: LarkPage[Any]) -> Any:
        return page.larkspine_record()[read.__name__]

    # The name is filled in when the page class is created (see LarkPage.__init_subclass__).
    # web-poet copies these attributes onto the field it returns (functools.update_wrapper),
    # where a group finds the hook when the field serves as a sub-field.
    setattr(read, _LARK_DECL, decl)
    setattr(read, _LARK_OUT, out)
    setattr(read, _LARK_META, meta)
    if isinstance(decl, Field):
        setattr(read, _SUBFIELD_HOOK, _subfield(decl, out, meta))
    return web_poet.field(read, out=out, meta=meta)


class LarkPage(WebPage[ItemT]):
    """A ``web_poet.WebPage`` whose :func:`field`\\ s come from one native scan of the response."""

    #: The larkspine fields of this class, compiled into one plan (what ``larkspine.check`` reads).
    __schema__: ClassVar[Schema] = Schema({})
    #: Per field name, how to turn an outer-HTML value into a Selector (None: a string value).
    __larkspine_elements__: ClassVar[dict[str, tuple[str | None, bool]]] = {}

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        declared: dict[str, Field[Any] | Group] = {}
        for name in get_fields_dict(cls):
            descriptor = getattr(cls, name, None)
            read = getattr(descriptor, "original_method", None)
            decl = getattr(read, _LARK_DECL, None)
            if read is not None and isinstance(decl, (Field, Group)):
                read.__name__ = name
                declared[name] = decl
        # A field a base declared alike was audited with the base (attrs may also make the
        # class twice; the audit tells each query once).
        inherited = [
            name for name, decl in declared.items()
            if any(b.__dict__.get("__schema__", Schema).fields.get(name) == decl for b in cls.__mro__[1:]
                   if isinstance(b.__dict__.get("__schema__"), Schema))
        ]
        schema = Schema._declared(declared, False, f"{cls.__qualname__}.", inherited)
        cls.__schema__ = schema
        flat = [(name, decl) for name, decl in declared.items() if isinstance(decl, Field)]
        terminals = _larkspine.selector_terminals([decl.query for _, decl in flat])
        identities = _larkspine.selector_node_identity([decl.query for _, decl in flat])
        cls.__larkspine_elements__ = {
            name: identity
            for (name, _), terminal, identity in zip(flat, terminals, identities)
            if terminal == "outer"
        }

    def larkspine_record(self) -> Record:
        """Every declared field's value from one scan of ``response.body`` (computed once)."""
        cached: Record | None = self.__dict__.get(_RECORD)
        if cached is None:
            body, encoding, url = response_input(self.response)
            cls = type(self)
            cached = cls.__schema__.extract(body, encoding, url)
            for name, identity in cls.__larkspine_elements__.items():
                value = cached[name]
                if isinstance(value, list):
                    cached[name] = [element_selector(v, identity) for v in value]
                elif isinstance(value, str):
                    cached[name] = element_selector(value, identity)
            self.__dict__[_RECORD] = cached
        return cached


_START_TAG = re.compile(r"\s*<([A-Za-z][^\s/>]*)")


def element_selector(outer_html: str, identity: tuple[str | None, bool] = (None, True)) -> Selector:
    """A parsel ``Selector`` for the element whose outer HTML the engine returned.

    ``identity`` is the query's ``selector_node_identity`` entry: the tag its subject is
    pinned to, and whether it can match an ``html`` / ``head`` / ``body`` element that the
    page left out (the engine then returns that element's content, without tags, since
    there are none in the source).
    """
    pinned, can_be_synthesized = identity
    root = Selector(text=outer_html)
    tag = pinned
    if tag is None:
        start = _START_TAG.match(outer_html)
        tag = start.group(1).lower() if start else None
        if tag is None and can_be_synthesized:
            tag = "html"
    if tag in ("html", "head", "body"):
        path = "/html" if tag == "html" else f"/html/{tag}"
        found = root.xpath(path)
        if found:
            return found[0]
        # An empty synthesized head or body re-parses to nothing: an empty element stands for it.
        return Selector(text=f"<{tag}></{tag}>").xpath(path)[0]
    if tag is not None:
        found = root.xpath("(//*[name()=$tag])[1]", tag=tag)
        if found:
            return found[0]
    return root
