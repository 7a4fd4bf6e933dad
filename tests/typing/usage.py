"""How a typed caller sees larkspine: checked by mypy --strict in the test suite (never run)."""
from __future__ import annotations

import array
import mmap
from typing import assert_type

import _larkspine
import larkspine
from larkspine import CheckReport, Page, Schema, field, group

body: bytes = b"<h1>x</h1>"

assert_type(larkspine.extract(body, ["h1::text"]), list[list[str]])
assert_type(larkspine.extract(bytearray(body), ["h1::text"], encoding="cp932"), list[list[str]])
flat, rows = larkspine.extract_grouped(body, [], [("li", [("name", "b::text")])])
assert_type(rows, list[list[list[list[str]]]])
assert_type(larkspine.resolve_encoding("euc_jp"), str)
assert_type(larkspine.detect_encoding(memoryview(body)), str)
assert_type(larkspine.extract(array.array("B", body), ["p"]), list[list[str]])
assert_type(larkspine.extract(mmap.mmap(-1, 1), ["p"]), list[list[str]])


class Article(Page):
    title = field("h1::text", first=True)
    subtitle = field("h2::text", first=True, default="")
    links = field("a::attr(href)")
    sizes = field("img::attr(width)", each=int)
    first_size = field("img::attr(width)", first=True, each=int)
    joined = field("p::text", out=" ".join)
    offers = group("li.offer", name="b::text")


page = Article(body, encoding="utf-8", url="https://example.com/")
assert_type(page.title, str | None)
assert_type(page.subtitle, str)
assert_type(page.links, list[str])
assert_type(page.sizes, list[int])
assert_type(page.first_size, int | None)
assert_type(page.url, str | None)
record = Article.__schema__.extract(body)
assert_type(Article.from_record(record), Article)
assert_type(Article.title, larkspine.Field[str | None])
assert_type(larkspine.check(Article), CheckReport)
assert_type(Schema({"t": "title::text"}).plan, _larkspine.Plan)
plan = _larkspine.Plan(["h1::text"], [], [True])
assert_type(plan.extract(body), list[list[str]])
assert_type(plan.flat_queries, tuple[str, ...])
