"""Absolute URLs: the document's base URL and references resolved against it.

The base URL is what browsers and Scrapy's ``response.urljoin`` use: the ``href`` of the
first ``<base>`` element that has one, itself resolved against the page's URL, else the
page's URL. A schema with an ``absolute=True`` field finds that ``href`` in the same scan as
its fields (one hidden first-only query, :data:`BASE_QUERY`), so no second pass reads the page.

References are resolved by the WHATWG URL Standard, as browsers resolve ``a.href``, with
``ada-url`` (a C++ parser behind a small binding). Against ``urllib.parse.urljoin``, which
``response.urljoin`` calls, the result is the same URL serialized as the standard does:
``https://host`` gains its ``/``, a host is lower-cased, spaces are percent-encoded, an empty
``?`` or ``#`` is kept, and ``a//b`` inside a relative path stays as written (urljoin folds
it into ``a/b``). A reference the standard rejects (``http://``, ``http://[bad``) is
resolved by urljoin instead, so a value never disappears.
"""

from __future__ import annotations

from urllib.parse import urljoin

from ada_url import ada_adapter, join_url, normalize_url

__all__ = ["BASE_QUERY", "document_base", "resolve_all"]

#: The hidden query a schema with absolute fields adds to its plan: the first ``<base>``
#: element with an ``href``, as the HTML standard picks the document's base URL.
BASE_QUERY = "base[href]::attr(href)"


def _fallback(base: str, reference: str) -> str:
    """urljoin's answer, for what the standard rejects (or a base it rejects)."""
    try:
        return urljoin(base, reference)
    except ValueError:  # urljoin refuses a malformed IPv6 host
        return reference


def _join(base: str, reference: str) -> str:
    try:
        return join_url(base, reference)
    except ValueError:
        return _fallback(base, reference)


def document_base(page_url: str | None, base_href: str | None) -> str | None:
    """The base URL references resolve against: ``<base href>`` joined to the page's URL,
    else the page's URL; ``None`` when neither gives one (references then stay as written)."""
    if base_href is None:
        return page_url
    if page_url is None:
        try:
            return normalize_url(base_href)
        except ValueError:  # a relative <base href> with no page URL: no base
            return None
    return _join(page_url, base_href)


# ada's C interface, as the binding exposes it (None if a version stops doing so: the
# public join_url then serves). Called directly, a link costs two thirds of join_url's
# time, which encodes the base and registers a finalizer on every call.
_LIB = getattr(ada_adapter, "lib", None)
_FFI = getattr(ada_adapter, "ffi", None)


def resolve_all(values: list[str], base: str | None) -> list[str]:
    """Every value resolved against ``base``; values that repeat are resolved once."""
    if base is None or not values:
        return values
    # Pages repeat their links (menus, footers, share buttons): about a third of the
    # values of a link column are repeats, resolved here by one dict look-up.
    seen: dict[str, str] = {}
    out: list[str] = []
    if _LIB is None or _FFI is None:
        for value in values:
            joined = seen.get(value)
            if joined is None:
                joined = seen[value] = _join(base, value)
            out.append(joined)
        return out
    parse, is_valid, get_href, free, unpack = (
        _LIB.ada_parse_with_base, _LIB.ada_is_valid, _LIB.ada_get_href, _LIB.ada_free, _FFI.unpack
    )
    base_bytes = base.encode("utf-8", "surrogatepass")
    base_length = len(base_bytes)
    for value in values:
        joined = seen.get(value)
        if joined is None:
            try:
                data = value.encode()
            except UnicodeEncodeError:  # a lone surrogate, from a decoded str document
                joined = _fallback(base, value)
            else:
                url = parse(data, len(data), base_bytes, base_length)
                try:
                    if is_valid(url):
                        href = get_href(url)
                        # The standard's serialization is ASCII: the decode cannot fail.
                        joined = unpack(href.data, href.length).decode()
                    else:
                        joined = _fallback(base, value)
                finally:
                    free(url)  # each parsed URL is freed before the next is made
            seen[value] = joined
        out.append(joined)
    return out
