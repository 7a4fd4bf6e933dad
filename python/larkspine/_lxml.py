"""The opt-in fallback: queries the engine refuses, answered by parsel (lxml).

A schema made with ``fallback=True`` keeps every query the engine supports on the engine,
and answers the others as parsel does: ``Selector(...).css(q).getall()`` or
``.xpath(q).getall()``, routed as the engine routes (see :func:`routes_to_xpath`). The tree
is built only for a page whose schema has such a query, once per page, from the page's
text decoded in the encoding the engine read it with, so that both read the same
characters. A group with any such query is answered wholly by parsel: its container, then
each sub-field relative to each container element.

parsel is imported here only, and only when a schema asks for the fallback: the engine and
every schema without it run without parsel installed.
"""

from __future__ import annotations

import codecs
import functools
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import _larkspine

__all__ = ["FALLBACK_EXTRA", "FallbackPlan", "page_selector", "parsel_error", "require_parsel", "routes_to_xpath"]

#: The install command that brings the fallback's dependency.
FALLBACK_EXTRA = "pip install 'larkspine[fallback]'"

# Unicode White_Space, as the engine trims a query before deciding its language.
_WHITE_SPACE = (
    "\t\n\v\f\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a"
    "\u2028\u2029\u202f\u205f\u3000"
)


def require_parsel() -> Any:
    """The parsel module, or an ``ImportError`` that names the extra to install."""
    try:
        import parsel
    except ImportError:
        raise ImportError(
            "larkspine: fallback=True answers the queries the engine refuses with parsel (lxml), "
            f"which is not installed: {FALLBACK_EXTRA}"
        ) from None
    return parsel


def routes_to_xpath(query: str) -> bool:
    """Whether the engine reads ``query`` as XPath: it starts with ``/``, ``./`` or ``(``, is
    ``.``, or is a function call (``string(...)``, ``normalize-space (...)``); anything
    else is CSS. The rule is the engine's own, so that parsel reads each query in the
    language the engine refused it in."""
    t = query.strip(_WHITE_SPACE)
    if not t:
        return False
    if t[0] in "/(" or t.startswith("./") or t == ".":
        return True
    i = 0
    while i < len(t) and ("a" <= t[i] <= "z" or (i > 0 and t[i] == "-")):
        i += 1
    if i == 0:
        return False
    while i < len(t) and t[i] in " \t\n\f\r":
        i += 1
    return i < len(t) and t[i] == "("


def sub_field_routes_to_xpath(query: str) -> bool:
    """Whether a group's sub-field is XPath: as a flat query, and also ``@name`` (the
    container's attribute), which the engine reads relative to the container."""
    t = query.strip(_WHITE_SPACE)
    return t.startswith("@") or routes_to_xpath(t)


#: A small page each query the fallback takes is run on once, where it is defined: a
#: function lxml does not know is found when it runs, not when it compiles.
_PROBE = "<html><head><title>t</title></head><body><div id=a class=b><p>x<a href=y>z</a></p></div></body></html>"


@functools.lru_cache(maxsize=1024)
def parsel_error(query: str, sub_field: bool = False) -> str | None:
    """Why parsel cannot run ``query`` (as a sub-field: on an element), or ``None``."""
    parsel = require_parsel()
    probe = parsel.Selector(text=_PROBE, type="html")
    if sub_field:
        found = probe.xpath("//div")
        probe = found[0] if found else probe
    xpath = sub_field_routes_to_xpath(query) if sub_field else routes_to_xpath(query)
    try:
        probe.xpath(query) if xpath else probe.css(query)
    except Exception as e:  # cssselect's and lxml's errors share no base class but these
        return f"{type(e).__name__}: {' '.join(str(e).split())}"
    return None


# WHATWG encodings whose Python codec has another name than the one w3lib resolves.
_PYTHON_CODECS = {"x-mac-cyrillic": "mac-cyrillic", "iso-8859-8-i": "iso8859-8", "windows-874": "cp874"}
_BOMS = {"utf-8": b"\xef\xbb\xbf", "utf-16le": b"\xff\xfe", "utf-16be": b"\xfe\xff"}


@functools.lru_cache(maxsize=64)
def _codec(encoding: str) -> str:
    """The Python codec that decodes as the WHATWG ``encoding`` does (w3lib's table, which
    Scrapy decodes responses with: ``Shift_JIS`` is ``cp932``, ``windows-1252`` ``cp1252``)."""
    from w3lib.encoding import resolve_encoding

    key = encoding.lower()
    found = _PYTHON_CODECS.get(key) or resolve_encoding(key)
    if found is None:
        try:
            found = codecs.lookup(key).name
        except LookupError:
            found = "utf-8"
    return str(found)


def _c1_errors(error: UnicodeError) -> tuple[str, int]:
    """A byte a ``windows-*`` code page leaves undefined, read as the WHATWG decoder reads
    it: one from 0x80 to 0x9F is the C1 control of that value (the WHATWG indexes fill
    those holes so), 0xCA (undefined in Python's cp1255 alone) is U+05BA as in the WHATWG
    windows-1255, any other U+FFFD."""
    if not isinstance(error, UnicodeDecodeError):
        raise error
    byte = error.object[error.start]
    if 0x80 <= byte <= 0x9F:
        return chr(byte), error.start + 1
    return ("\u05ba" if byte == 0xCA else "\ufffd"), error.start + 1


def _pair_errors(
    leads: frozenset[int], extension: Callable[[int, int], str] | None = None
) -> Callable[[UnicodeError], tuple[str, int]]:
    """The handler that reads a bad sequence of a multi-byte encoding whose lead bytes are
    ``leads`` as the WHATWG decoder reads it: a lead byte and the non-ASCII byte after it
    are one U+FFFD; an ASCII byte after a lead is read again, as itself; a byte that leads
    nothing is one U+FFFD alone. ``extension(lead, trail)`` reads a pair the Python codec
    lacks but the WHATWG index has."""

    def handle(error: UnicodeError) -> tuple[str, int]:
        if not isinstance(error, UnicodeDecodeError):
            raise error
        data, at = error.object, error.start
        if data[at] in leads and at + 1 < len(data) and data[at + 1] >= 0x80:
            return (extension(data[at], data[at + 1]) if extension is not None else "\ufffd"), at + 2
        return "\ufffd", at + 1

    return handle


_DOUBLE = frozenset(range(0x81, 0xFF))
#: The WHATWG multi-byte encodings (as :func:`larkspine.detect_encoding` names them) and
#: their lead bytes.
_LEADS = {
    "euc-kr": _DOUBLE,
    "big5": _DOUBLE,
    "gbk": _DOUBLE,
    "gb18030": _DOUBLE,
    "shift_jis": frozenset(range(0x81, 0xA0)) | frozenset(range(0xE0, 0xFD)),
    "euc-jp": frozenset({0x8E, 0x8F}) | frozenset(range(0xA1, 0xFF)),
}


def _jis0208_pair(lead: int, trail: int) -> str:
    """An EUC-JP pair that Python's euc_jp lacks (the NEC and IBM rows of the WHATWG
    jis0208 index), read through the same index's Shift_JIS form, which cp932 has."""
    if not (0xA1 <= lead <= 0xFE and 0xA1 <= trail <= 0xFE):
        return "\ufffd"
    row, cell = lead - 0xA1, trail - 0xA1
    first = row // 2 + (0x81 if row < 62 else 0xC1)
    second = cell + (0x40 if cell < 63 else 0x41) if row % 2 == 0 else cell + 0x9F
    try:
        return bytes((first, second)).decode("cp932")
    except UnicodeDecodeError:
        return "\ufffd"


codecs.register_error("larkspine-c1", _c1_errors)
for _name, _leads in _LEADS.items():
    codecs.register_error(f"larkspine-{_name}", _pair_errors(_leads, _jis0208_pair if _name == "euc-jp" else None))

#: Where Python's codecs map a character other than the WHATWG index's (each Python
#: character here comes from that one byte sequence alone, so the mapping is exact).
_REMAPPED = {
    # KOI8-U: the WHATWG one is KOI8-RU, bytes 0xAE and 0xBE.
    "koi8-u": {0x255D: "\u045e", 0x256C: "\u040e"},
    # EUC-JP: Python's follows JIS, the WHATWG index Microsoft's (as Shift_JIS does).
    "euc-jp": {0x301C: "\uff5e", 0x2016: "\u2225", 0x2212: "\uff0d", 0xA2: "\uffe0", 0xA3: "\uffe1",
               0xAC: "\uffe2"},
    # Big5: Python's HKSCS table. Two more pairs differ (0xA1FE, 0xA240: U+FF0F and U+FF3C
    # in Python, U+2215 and U+FE68 in WHATWG's), but Python gives those characters for
    # other pairs too, so they stay as Python reads them; so do 192 pairs of HKSCS
    # characters Python lacks.
    "big5": {0x2022: "\u2027", 0xFF64: "\ufe51", 0x203E: "\xaf", 0x223C: "\uff5e", 0x2641: "\u2295",
             0x2609: "\u2299", 0xA5: "\uffe5", 0xA2: "\uffe0", 0xA3: "\uffe1"},
}


def _errors(encoding: str) -> str:
    """The decoding error handler that reads bad bytes of ``encoding`` as WHATWG does."""
    key = encoding.lower()
    if key.startswith("windows-"):
        return "larkspine-c1"
    return f"larkspine-{key}" if key in _LEADS else "replace"


def page_text(doc: bytes | str, label: str | None) -> str:
    """The page's text as the engine reads it: decoded in the encoding it detects (byte-order
    mark, ``label``, ``<meta>``, UTF-8), the mark itself dropped, a bad byte U+FFFD."""
    if isinstance(doc, str):
        return doc
    encoding = _larkspine.detect_encoding(doc, label)
    bom = _BOMS.get(encoding.lower())
    body = doc[len(bom) :] if bom is not None and doc.startswith(bom) else doc
    text = body.decode(_codec(encoding), _errors(encoding))
    remapped = _REMAPPED.get(encoding.lower())
    return text if remapped is None else text.translate(remapped)


def page_selector(doc: bytes | str, label: str | None) -> Any:
    """The page as a ``parsel.Selector`` (an HTML one, whatever the text looks like)."""
    parsel = require_parsel()
    return parsel.Selector(text=page_text(doc, label), type="html")


def _run(selector: Any, query: str, xpath: bool) -> list[str]:
    found = selector.xpath(query) if xpath else selector.css(query)
    return [str(v) for v in found.getall()]


@dataclass(frozen=True)
class FallbackGroup:
    """A group answered by parsel: its index among the schema's groups and its queries."""

    index: int
    container: str
    subs: tuple[str, ...]


@dataclass(frozen=True)
class FallbackPlan:
    """What parsel answers for one schema: ``flat``, the plan's flat columns and their
    queries; ``groups``, whole groups."""

    flat: tuple[tuple[int, str], ...]
    groups: tuple[FallbackGroup, ...]

    def __bool__(self) -> bool:
        return bool(self.flat or self.groups)

    def answer(
        self, doc: bytes | str, label: str | None, flat: Sequence[list[str]], grouped: Sequence[Any]
    ) -> tuple[list[list[str]], list[Any]]:
        """The plan's raw result (``flat`` columns, ``grouped`` rows) with parsel's answers
        in place of the engine's for the queries this plan holds."""
        selector = page_selector(doc, label)
        flat = list(flat)
        grouped = list(grouped)
        for column, query in self.flat:
            flat[column] = _run(selector, query, routes_to_xpath(query))
        for g in self.groups:
            grouped[g.index] = self.rows(selector, g)
        return flat, grouped

    @staticmethod
    def rows(selector: Any, g: FallbackGroup) -> list[list[list[str]]]:
        """Each container element's row: each sub-field's values relative to the element."""
        routes = [sub_field_routes_to_xpath(q) for q in g.subs]
        container = selector.xpath(g.container) if routes_to_xpath(g.container) else selector.css(g.container)
        return [[_run(element, q, xpath) for q, xpath in zip(g.subs, routes)] for element in container]
