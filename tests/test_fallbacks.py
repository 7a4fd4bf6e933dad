"""Fallback chains: a field's later queries are tried, in the order given, when the ones
before found nothing (parsel's ``a.get() or b.get()``), in one scan of the page."""

from __future__ import annotations

import pickle

import pytest

import larkspine
from larkspine import Page, Schema, field, group

WITH_H1 = b"<title>Shop | Tea</title><h1>Teas</h1><nav><a href=/n>n</a></nav><a href=/a>a</a>"
NO_H1 = b"<title>Shop | Tea</title><a href=/a>a</a><meta property=og:title content=OG>"
BARE = b"<p>nothing here</p>"

# (queries, options, page, value)
CHAINS = [
    (["h1::text", "//title/text()"], {"first": True}, WITH_H1, "Teas"),
    (["h1::text", "//title/text()"], {"first": True}, NO_H1, "Shop | Tea"),
    (["h1::text", "//title/text()"], {"first": True}, BARE, None),
    (["h1::text", "h2::text", "meta[property='og:title']::attr(content)"], {"first": True}, NO_H1, "OG"),
    (["nav a::attr(href)", "a::attr(href)"], {}, WITH_H1, ["/n"]),
    (["nav a::attr(href)", "a::attr(href)"], {}, NO_H1, ["/a"]),
    (["h1::text", "//title/text()"], {"first": True, "default": "?"}, BARE, "?"),
    (["h1::text", "//title/text()"], {"first": True, "each": str.upper}, NO_H1, "SHOP | TEA"),
    (["nav a::attr(href)", "a::attr(href)"], {"absolute": True}, NO_H1, ["https://tea.example/a"]),
]


def _page_class(queries, options):
    class Item(Page):
        value = field(*queries, **options)
        title = field("title::text", first=True)
    return Item


@pytest.mark.parametrize("queries, options, page, value", CHAINS)
def test_the_first_query_that_finds_something_gives_the_value(queries, options, page, value):
    url = "https://tea.example/x"
    Item = _page_class(queries, options)
    assert Item(page, url=url).value == value
    schema = Schema({"value": field(*queries, **options), "title": field("title::text", first=True)})
    assert schema.extract(page, url=url)["value"] == value
    # An unpickled schema (as a worker gets it) chooses alike.
    assert pickle.loads(pickle.dumps(schema)).extract(page, url=url)["value"] == value


@pytest.mark.parametrize("queries, options", sorted({(tuple(q), tuple(sorted(o))) for q, o, _, _ in CHAINS}))
def test_a_batch_gives_each_page_what_a_page_gives(queries, options):
    pytest.importorskip("pyarrow")
    opts = next(o for q, o, _, _ in CHAINS if tuple(q) == queries and tuple(sorted(o)) == options)
    Item = _page_class(queries, opts)
    pages = [WITH_H1, NO_H1, BARE, NO_H1]
    urls = ["https://tea.example/x"] * len(pages)
    table = larkspine.extract_table(pages, Item, urls=urls)
    assert table.column_names == ["value", "title"]
    assert table.to_pylist() == [Item(p, url=u).to_dict() for p, u in zip(pages, urls)]


def test_check_reports_every_query_of_the_chain_and_counts_it_in_the_budget():
    report = larkspine.check({"title": field("h1::text", "p::first-line", "//title/text()", first=True)})
    assert [(q.name, q.query, q.supported) for q in report.queries] == [
        ("title", "h1::text", True), ("title[1]", "p::first-line", False), ("title[2]", "//title/text()", True),
    ]
    assert report.members == larkspine.check(["h1::text", "p::first-line", "//title/text()"]).members


def test_an_unsupported_fallback_warns_naming_its_place(monkeypatch):
    from larkspine import _check

    monkeypatch.setattr(_check, "_told", set())
    with pytest.warns(larkspine.UnsupportedQueryWarning, match=r"odd\[1\] = 'p::first-line'"):
        Schema({"odd": field("h1::text", "p::first-line")})


@pytest.mark.parametrize("make, error, words", [
    (lambda: field("h1::text", "div >"), larkspine.QuerySyntaxError, "malformed query 'div >'"),
    (lambda: field("h1::text", 3), TypeError, "fallback queries must be strs"),
    (lambda: group("li", name=field("b::text", "i::text")), ValueError, "sub-fields take one query"),
])
def test_malformed_or_misplaced_fallbacks_are_refused_where_declared(make, error, words):
    with pytest.raises(error, match=words):
        make()


def test_the_repr_and_equality_name_the_whole_chain():
    f = field("h1::text", "//title/text()", first=True)
    assert repr(f) == "field('h1::text', '//title/text()', first=True)"
    assert f == field("h1::text", "//title/text()", first=True) != field("h1::text", first=True)
