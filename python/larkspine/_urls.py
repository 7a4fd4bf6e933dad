"""Absolute URLs: the document's base URL and references resolved against it, as Scrapy's
``response.urljoin`` resolves them on the same page.

That is ``urllib.parse.urljoin(base, reference)``, where ``base`` is what Scrapy's
``get_base_url`` gives: the page's URL made safe by w3lib's ``safe_url_string``; or, when
the first 4096 characters of the page's text hold a ``<base>`` element with an ``href``,
that ``href`` (stripped of HTML whitespace, made safe in the page's encoding) joined to it.
An ``href`` that is empty leaves the page's URL, and a later ``<base>`` is not read.

A schema with an ``absolute=True`` field finds that ``href`` in the same scan as its
fields (one hidden first-only query, :data:`BASE_QUERY`). Only a page whose ``<base>`` lies
beyond Scrapy's window is read again, and then only its first 4096 characters.

Joining is ``urljoin``'s answer for every value, memoised per base, with fast paths for
the shapes links have (absolute ``http(s)`` URLs, ``/rooted`` and ``relative/paths``) taken
only where a cheap pattern proves ``urljoin`` would give the same string (see
:meth:`Joiner.fast`). Where ``urljoin`` raises (a malformed IPv6 host), Scrapy's call
fails; the value is kept as written instead, so it is never lost.
"""

from __future__ import annotations

import codecs
import re
from collections.abc import Callable
from urllib.parse import urljoin, urlparse, urlsplit, urlunparse

import _larkspine

__all__ = ["BASE_QUERY", "SCRAPY_WINDOW", "Joiner", "base_in_window", "document_base", "page_base", "resolve_all"]

#: The hidden query a schema with absolute fields adds to its plan: the first ``<base>``
#: element with an ``href`` attribute.
BASE_QUERY = "base[href]::attr(href)"

#: How many characters of a page's text Scrapy's ``get_base_url`` searches for ``<base>``.
SCRAPY_WINDOW = 4096

#: What HTML strips around an attribute's URL (w3lib's ``HTML5_WHITESPACE``).
_HTML_WHITESPACE = " \t\n\r\x0c"

_SafeUrl = Callable[[str, str], str]
_safe_url_string: _SafeUrl | None = None


def _as_given(url: str, encoding: str = "utf8") -> str:
    return url


def _safe(url: str, encoding: str = "utf8") -> str:
    """w3lib's ``safe_url_string(url, encoding=...)``, which Scrapy applies to the page's
    URL and to the ``<base href>``. Without w3lib (no Scrapy, no parsel installed), the URL
    as given. Raises ``ValueError`` where w3lib does (a URL it cannot parse)."""
    global _safe_url_string
    safe = _safe_url_string
    if safe is None:
        safe = _safe_url_string = _load_safe()
    try:
        return safe(url, encoding)
    except LookupError:  # an encoding Python has no codec for: its URLs are read as UTF-8
        return safe(url, "utf8")


def _load_safe() -> _SafeUrl:
    try:
        from w3lib.url import safe_url_string
    except ImportError:  # w3lib comes with Scrapy and parsel
        return _as_given
    return safe_url_string


def document_base(page_url: str | None, base_href: str | None, encoding: str = "utf8") -> str | None:
    """The base URL references resolve against, as Scrapy's ``get_base_url`` finds it.

    ``base_href`` is the ``href`` of the first ``<base>`` that has one (within Scrapy's
    window), ``encoding`` the page's. ``None`` when there is no page URL and no absolute
    ``<base href>``: references then stay as written.
    """
    href = None if base_href is None else base_href.strip(_HTML_WHITESPACE)
    if page_url is None:
        # Scrapy always has a page URL; without one, only an absolute href gives a base.
        if not href:
            return None
        try:
            base = _safe(href, encoding)
            parts = urlsplit(base)
        except ValueError:
            return None
        return base if parts.scheme and parts.netloc else None
    try:
        document = _safe(page_url)
    except ValueError:  # Scrapy never holds such a URL: the caller's stands
        document = page_url
    if not href:
        return document
    try:
        return urljoin(document, _safe(href, encoding))
    except ValueError:  # Scrapy's urljoin fails on every link here; the page's URL serves
        return document


def page_base(page_url: str | None, base_href: str | None, doc: bytes | str | None, label: str | None) -> str | None:
    """The base for a page whose scan found ``base_href`` (the hidden query's first value, or
    ``None``); ``doc`` and ``label`` are the page and the encoding it was read with, for
    Scrapy's window and for the encoding w3lib makes the ``href`` safe in."""
    encoding = "utf8"
    if base_href is not None and doc is not None:
        if len(doc) > SCRAPY_WINDOW:  # a byte is at most one character: else all is inside
            base_href = base_in_window(doc, label)
        if base_href is not None and not base_href.isascii() and not isinstance(doc, str):
            encoding = _larkspine.detect_encoding(doc, label)
    return document_base(page_url, base_href, encoding)


_WINDOW_PLAN: _larkspine.Plan | None = None


def base_in_window(doc: bytes | str, label: str | None) -> str | None:
    """The ``href`` of the first ``<base>`` with one in the first :data:`SCRAPY_WINDOW`
    characters of the page's text, or ``None``: what Scrapy reads, for a page whose scan
    found a ``<base href>`` and whose text is longer than the window."""
    global _WINDOW_PLAN
    if isinstance(doc, str):
        text = doc
    else:
        # 4096 characters take at most 8 bytes each in any encoding the engine reads
        # (ISO-2022-JP's escapes included); a character cut at the end lies past the window.
        encoding = _larkspine.detect_encoding(doc, label)
        try:
            text = doc[: SCRAPY_WINDOW * 8].decode(_codec(encoding), "replace")
        except LookupError:  # x-user-defined: one character per byte
            text = doc[: SCRAPY_WINDOW * 8].decode("latin-1")
    # Scrapy's text has no byte-order mark.
    text = text[1 : SCRAPY_WINDOW + 1] if text[:1] == "\ufeff" else text[:SCRAPY_WINDOW]
    if _WINDOW_PLAN is None:
        _WINDOW_PLAN = _larkspine.Plan([BASE_QUERY], [], [True])
    column = _WINDOW_PLAN.extract(text, None)[0]
    return column[0] if column else None


def _codec(encoding: str) -> str:
    codecs.lookup(encoding)  # LookupError for a name Python does not know
    return encoding


class Joiner:
    """``urljoin(base, value)`` for one base (one page's), memoised, with proven fast paths."""

    __slots__ = ("base", "scheme", "_origin", "_directory", "_document", "memo")

    def __init__(self, base: str) -> None:
        self.base = base
        self.memo: dict[str, str] = {}
        self._origin: str | None = None
        self._directory: str | None = None
        self._document: str | None = None
        try:
            parts = urlsplit(base)
        except ValueError:
            parts = None
        # The fast paths are proven for hierarchical http(s) bases with a host only.
        ok = parts is not None and parts.scheme in ("http", "https") and bool(parts.netloc)
        self.scheme = parts.scheme if parts is not None and ok else ""
        if parts is not None and ok:
            # urljoin(base, "/x") is urlunparse((scheme, netloc, "/x", "", "", "")): a
            # rooted path free of dot segments is kept whole, and with a host urlunsplit
            # writes scheme "://" netloc path.
            self._origin = f"{parts.scheme}://{parts.netloc}"

    def join_many(self, values: list[str]) -> None:
        """Every one of ``values`` (distinct, not yet joined) joined into the memo.

        :meth:`fast`'s tests are made once over all the values joined by newlines, a few
        scans in C instead of a dozen calls per value; the values they would refuse are
        found from where the scans stop, and alone go through :meth:`fast`."""
        blob = "\n".join(values)
        suspects: set[str] | None = None
        # A value holding a newline or non-ASCII, or a scheme without shapes: one by one;
        # so are a few values (a first-only field's), for which the scans cost more.
        if len(values) > 3 and self.scheme and blob.isascii() and blob.count("\n") == len(values) - 1:
            suspects = set()
            for token in _UNPROVEN:
                at = blob.find(token)
                while at >= 0:
                    start = blob.rfind("\n", 0, at) + 1
                    end = blob.find("\n", at + 1)
                    suspects.add(blob[start:] if end < 0 else blob[start:end])
                    at = -1 if end < 0 else blob.find(token, end)
            if blob and blob[-1] in "?#":
                suspects.add(values[-1])
        memo = self.memo
        base = self.base
        origin = self._origin
        for value in values:
            if suspects is None or not value or (suspects and value in suspects):
                joined = self.fast(value)
            # _shape's first cases, inline for the most frequent shapes.
            elif value.startswith("https://") and value[8:9] not in "/?#":
                joined = value
            elif value.startswith("http://") and value[7:8] not in "/?#":
                joined = value
            elif value[0] == "/" and origin is not None and value[1:2] != "/" and "/." not in value:
                joined = origin + value
            else:
                joined = self._shape(value)
            if joined is None:
                try:
                    joined = urljoin(base, value)
                except ValueError:  # urljoin refuses a malformed IPv6 host: keep the value
                    joined = value
            memo[value] = joined

    def _fragmentless(self) -> str:
        """``urljoin(base, "#")``: for a reference of a fragment alone, urljoin puts the
        base's parts back together with the reference's fragment (urlunparse writes
        ``#fragment`` after them when it is not empty)."""
        document = self._document
        if document is None:
            parts = urlparse(self.base)
            document = self._document = urlunparse(parts._replace(fragment=""))
        return document

    def _prefix(self, probe: str) -> str | None:
        """``urljoin(base, probe)`` less the probe's final ``x``, if it ends with ``/x``."""
        try:
            joined = urljoin(self.base, probe)
        except ValueError:
            return None
        return joined[:-1] if joined.endswith("/x") else None

    def fast(self, value: str) -> str | None:
        """``urljoin(self.base, value)`` where a cheap test proves what it is, else ``None``.

        Invariants, read off ``urllib.parse`` and checked against it by the tests (over
        generated bases and values). The base is http(s) with a host; the value is printable
        ASCII (so no tab, CR or LF, which urlsplit deletes, and no control it strips in front)
        and holds none of what else changes a URL in urlsplit and urlunsplit: ``;`` (params: a
        trailing one is dropped), brackets (an IPv6 host, validated), an empty query or
        fragment (``?#``, or a final ``?`` or ``#``: dropped). Then:

        - ``http(s)://host...`` is given back unchanged (split and put together again, or,
          for the other of the two schemes, returned as it is); ``//host...`` too, after the
          base's scheme.
        - ``/path`` with no segment starting with ``.`` (urljoin removes ``.`` and ``..``)
          is the base's origin followed by the value.
        - A relative path (no scheme by urlsplit's own test, not starting with ``.?#``, a space
          or a control, no ``//``, whose empty segments urljoin drops, and no ``/.``) is the
          base's directory followed by the value. The directory is ``urljoin(base, "x")``
          less its ``x``: urljoin treats the base's path alike whatever dot-free, non-empty
          segments follow it.
        - ``#fragment`` is the base without its fragment followed by the value.
        - An empty value is the base; a value whose only ``#`` ends it joins as the value
          without it (urlsplit reads the same parts from both), and ``#`` alone as the base
          without its fragment.
        - Any other ``scheme:...`` is returned as it is (urljoin returns a value of another
          scheme untouched), once urlsplit accepts it: it refuses only a ``//`` authority
          with brackets or non-ASCII; here tab, CR and LF alone are refused, as they could
          hide a ``//``.
        """
        if not self.scheme:
            return None
        if not value:
            return self.base  # urljoin's own first answer
        if value[-1] == "#" and value.find("#") == len(value) - 1:
            # An empty fragment is dropped as urlsplit reads the value: "x#" joins as "x",
            # unless urljoin returns it untouched, being of another scheme.
            if len(value) == 1:
                return self._fragmentless()
            given = _SCHEME.match(value)
            if given is None or given.group(1).lower() == self.scheme:
                value = value[:-1]
        if (
            value.isascii()
            and "\t" not in value
            and "\n" not in value
            and "\r" not in value
            and ";" not in value
            and "[" not in value
            and "]" not in value
            and "?#" not in value
            and value[-1] not in "?#"
        ):
            return self._shape(value)
        return self._other_scheme(value)

    def _shape(self, value: str) -> str | None:
        """:meth:`fast` for a value that passed its tests (see there)."""
        # The order of the tests is the frequency of the shapes: most links are absolute.
        if value.startswith("https://"):
            return None if value[8:9] in "/?#" else value  # ("" is in any str: no host)
        if value.startswith("http://"):
            return None if value[7:8] in "/?#" else value
        head = value[0]
        if head == "#":
            return self._fragmentless() + value
        if head == "/":
            if value[1:2] == "/":  # //host...: the base's scheme, if the host is not empty
                return None if value[2:3] in "/?#" else self.scheme + ":" + value
            if "/." in value:
                return None
            origin = self._origin
            return None if origin is None else origin + value
        if _SCHEME.match(value) is not None:
            return self._other_scheme(value)
        # No scheme (the pattern is urlsplit's own test): a relative path.
        if head in ".?#" or head <= " " or "//" in value or "/." in value:
            return None
        directory = self._directory
        if directory is None:
            directory = self._directory = self._prefix("x")
        return None if directory is None else directory + value

    def _other_scheme(self, value: str) -> str | None:
        """A value of a scheme other than the base's, which urljoin returns untouched."""
        m = _SCHEME.match(value)
        if m is None or m.group(1).lower() == self.scheme or "\t" in value or "\n" in value or "\r" in value:
            return None
        authority = _AUTHORITY.match(value, m.end())
        if authority is not None:
            host = authority.group(1)
            if not host.isascii() or "[" in host or "]" in host:
                return None
        return value


#: What the tests of :meth:`Joiner.fast` refuse (with non-ASCII): a value holding one is
#: unproven by :meth:`Joiner._shape`. In a batch joined by newlines, ``?\n`` and ``#\n``
#: are a value's final ``?`` or ``#``.
_UNPROVEN = ("\t", "\r", ";", "[", "]", "?#", "?\n", "#\n")
#: What urlsplit takes for a scheme: an ASCII letter, then scheme characters, then ``:``.
_SCHEME = re.compile(r"([A-Za-z][A-Za-z0-9+.\-]*):")
#: The authority urlsplit reads after ``scheme:``, when a ``//`` starts it.
_AUTHORITY = re.compile(r"//([^/?#]*)")


def resolve_all(values: list[str], base: str | Joiner | None) -> list[str]:
    """Every value resolved against ``base`` as ``urljoin`` resolves it (see the module).

    A :class:`Joiner` carries its memo from one call to the next: a page's fields share one,
    so the links a page repeats across its fields are joined once."""
    if base is None or not values:
        return values
    j = base if isinstance(base, Joiner) else Joiner(base)
    memo = j.memo
    new = set(values).difference(memo)
    if new:
        j.join_many(list(new))
    return list(map(memo.__getitem__, values))
