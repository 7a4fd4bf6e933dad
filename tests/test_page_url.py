"""A page's URL in its record: ``class Item(Page, url_field="url")``."""

from __future__ import annotations

import pickle

import pytest

import larkspine
from larkspine import Page, field

BODY = b"<h1>Teas</h1><a href=/a>a</a>"
URL = "https://tea.example/list"


class Listing(Page, url_field="url"):
    title = field("h1::text", first=True)


class MoreListing(Listing):
    links = field("a::attr(href)", absolute=True)


class Plain(Page):
    title = field("h1::text", first=True)


@pytest.mark.parametrize("cls, record", [
    (Listing, {"url": URL, "title": "Teas"}),
    (MoreListing, {"url": URL, "title": "Teas", "links": ["https://tea.example/a"]}),
    (Plain, {"title": "Teas"}),
])
def test_the_record_carries_the_url_first_when_asked(cls, record):
    page = cls(BODY, url=URL)
    assert page.to_dict() == record and list(page.to_dict()) == list(record)
    assert page.url == URL
    # Read back from the record, from a pickle: the same page.
    assert cls.from_record(page.to_dict(), url=URL if cls is Plain else None) == page
    assert pickle.loads(pickle.dumps(page)) == page


def test_an_item_adapter_reads_and_sets_the_url():
    itemadapter = pytest.importorskip("itemadapter")
    page = MoreListing(BODY, url=URL)
    adapter = itemadapter.ItemAdapter(page)
    assert dict(adapter) == page.to_dict() and len(adapter) == 3
    assert itemadapter.ItemAdapter.get_field_names_from_class(MoreListing) == ["url", "title", "links"]
    adapter["url"] = "https://tea.example/other"
    assert page.url == "https://tea.example/other"


@pytest.mark.parametrize("define, words", [
    (lambda: type("Bad", (Page,), {"url": field("p")}), "url_field='url'"),
    (lambda: type("Bad", (Page,), {"t": field("p")}, url_field="t"), "also a field's name"),
    (lambda: type("Bad", (Page,), {"t": field("p")}, url_field="not a name"), "must be an identifier"),
])
def test_a_clash_or_a_bad_name_is_refused_at_definition(define, words):
    with pytest.raises(TypeError, match=words):
        define()


def test_a_subclass_may_drop_the_url():
    class Without(Listing, url_field=None):
        pass
    assert Without(BODY, url=URL).to_dict() == {"title": "Teas"}
    assert larkspine.Page.__url_field__ is None


@pytest.mark.parametrize("rows, longest", [(3, 200), (500, 400), (5000, 400)])
def test_the_repr_stays_short_however_many_rows_a_page_has(rows, longest):
    class Offers(Page):
        title = field("h1::text", first=True)
        offers = larkspine.group("li", name=field("b::text", first=True), price=field("i::text", first=True))

    body = b"<h1>Offers</h1><ul>" + b"".join(b"<li><b>Tea %d</b><i>%d.00</i>" % (i, i) for i in range(rows)) + b"</ul>"
    text = repr(Offers(body)).removeprefix(Offers.__qualname__)
    assert len(text) <= longest, len(text)
    assert text.startswith("(title='Offers', offers=[{'name': 'Tea 0', 'price': '0.00'}")
    if rows <= 3:
        # A small page shows every value, as its record does.
        assert text == f"(title='Offers', offers={Offers(body).offers!r})"
