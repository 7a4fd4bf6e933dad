"""Larkspine: fast, exact HTML extraction in one streaming pass.

Queries are CSS (with ``::text`` and ``::attr(name)``) or XPath, answered as parsel gives
them, by a native engine that reads the page once without building a tree::

    import larkspine
    from larkspine import Page, field, group

    larkspine.extract(body, ["h1::text", "a::attr(href)"])      # [['Title'], ['/a', '/b']]

    class Article(Page):
        title = field("h1::text", first=True)
        links = field("a::attr(href)")
        offers = group("li.offer", name="b::text", price=field(".price::text", first=True))

    Article(body, encoding="cp932", url=url).to_dict()
    larkspine.extract_table(bodies, Article, threads=2)   # a pyarrow.Table, one row per page

An unsupported query yields an empty column rather than raising at extraction; it is told
where it is defined, by an :class:`UnsupportedQueryWarning` (``strict=True`` raises instead),
and :func:`check` says which queries and why.
"""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version

from _larkspine import Plan

from ._archive import ArchiveStream
from ._api import Columns, GroupedRows, GroupSpec, extract, extract_file, extract_grouped
from ._check import CheckReport, QueryReport, UnsupportedQueryWarning
from ._document import Html
from ._encoding import detect_encoding, resolve_encoding
from ._fields import MISSING, Field, Group, field, group
from .page import Page
from ._schema import Record, Schema, check, extract_table
from ._syntax import QuerySyntaxError

try:
    __version__ = version("larkspine")
except PackageNotFoundError:  # pragma: no cover - running from a source tree
    __version__ = "0+unknown"

__all__ = [
    "ArchiveStream",
    "CheckReport",
    "Columns",
    "Field",
    "Group",
    "GroupSpec",
    "GroupedRows",
    "Html",
    "MISSING",
    "Page",
    "Plan",
    "QueryReport",
    "QuerySyntaxError",
    "Record",
    "Schema",
    "UnsupportedQueryWarning",
    "check",
    "detect_encoding",
    "extract",
    "extract_file",
    "extract_grouped",
    "extract_table",
    "field",
    "group",
    "resolve_encoding",
]
