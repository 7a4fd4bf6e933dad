"""Charset labels as callers pass them, resolved to the WHATWG encodings the engine decodes.

Scrapy, w3lib and web-poet report a page's charset as a *Python codec name* (``cp932``,
``euc_jp``, ``big5hkscs``, ``iso2022_jp``, ``cp874``), while the engine understands the
WHATWG labels browsers use. The engine ignores a label it does not know and sniffs the page
instead, which on a Japanese page is a plausible, silent, wrong decode. So every label goes
through :func:`resolve_encoding` first: a WHATWG label, else a Python codec name with a
WHATWG equivalent, else a ``ValueError`` naming it.
"""

from __future__ import annotations

import codecs
from functools import lru_cache

import _larkspine

from ._document import Html, as_document

__all__ = ["detect_encoding", "page_label", "resolve_encoding"]

# Python codec names (as ``codecs.lookup(...).name`` spells them) whose WHATWG encoding
# is not found by the name itself or by the name with "_" read as "-". Each pair names
# the same code page, or a WHATWG decoder that is a superset of Python's (the WHATWG
# Shift_JIS, Big5 and EUC-KR decoders are Microsoft's and HKSCS's extensions).
_PYTHON_CODECS: dict[str, str] = {
    "cp932": "Shift_JIS",
    # JIS X 0213 extends JIS X 0208; the WHATWG decoders read the JIS X 0208 part alike.
    "shift_jis_2004": "Shift_JIS",
    "shift_jisx0213": "Shift_JIS",
    "euc_jis_2004": "EUC-JP",
    "euc_jisx0213": "EUC-JP",
    "big5hkscs": "Big5",
    "iso2022_jp": "ISO-2022-JP",
    "cp874": "windows-874",
    "cp949": "EUC-KR",
    "utf-8-sig": "UTF-8",
    "utf-16-be": "UTF-16BE",
    "utf-16-le": "UTF-16LE",
    "mac-cyrillic": "x-mac-cyrillic",
    "mac-roman": "macintosh",
}


@lru_cache(maxsize=256)
def _resolve(label: str) -> str | None:
    found = _larkspine.resolve_label(label)
    if found is not None:
        return found
    try:
        name = codecs.lookup(label.strip()).name
    except (LookupError, ValueError):
        return None
    return (
        _larkspine.resolve_label(name)
        or _larkspine.resolve_label(name.replace("_", "-"))
        or _PYTHON_CODECS.get(name)
    )


def resolve_encoding(label: str) -> str:
    """The WHATWG encoding name for a charset label, as the engine will decode with it.

    ``label`` is a WHATWG label (``"latin1"``, ``"shift_jis"``, ``"utf8"``: ASCII
    case-insensitive, surrounding whitespace ignored) or a Python codec name such as
    Scrapy's ``response.encoding`` (``"cp932"``, ``"euc_jp"``, ``"big5hkscs"``).

    Raises ``ValueError`` when the label names no encoding the engine can decode; the
    engine would otherwise ignore the label and sniff the page.
    """
    if not isinstance(label, str):
        raise TypeError(f"encoding must be a str (a charset label), got {type(label).__name__}")
    found = _resolve(label)
    if found is None:
        raise ValueError(
            f"larkspine: unknown encoding {label!r}: neither a WHATWG label nor a Python codec "
            "with a WHATWG equivalent"
        )
    return found


def engine_label(html: bytes | str, encoding: str | None) -> str | None:
    """The label to hand to the engine for this document.

    A WHATWG label goes through unchanged (so the engine's own messages quote what the caller
    wrote); a Python codec name is replaced by its WHATWG name.
    """
    if encoding is None:
        return None
    canonical = resolve_encoding(encoding)
    return encoding if _larkspine.resolve_label(encoding) is not None else canonical


def detect_encoding(html: Html, encoding: str | None = None) -> str:
    """The encoding a document would be read with, as a WHATWG name.

    In order: a byte-order mark, the caller's label (``encoding``, which may be a Python
    codec name), an XML declaration or ``<meta>`` charset, else UTF-8. A ``str`` is already
    decoded and is answered ``"UTF-8"``.
    """
    doc = as_document(html)
    return _larkspine.detect_encoding(doc, engine_label(doc, encoding))


@lru_cache(maxsize=256)
def page_label(charset: str) -> str | None:
    """The engine label for a page's own charset (an HTTP ``Content-Type`` parameter), or
    ``None`` to ignore it: a charset that names no encoding is ignored, as browsers ignore
    it, and the page is sniffed."""
    try:
        return resolve_encoding(charset)
    except ValueError:
        return None
