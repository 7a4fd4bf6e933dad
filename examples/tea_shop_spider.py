"""A Scrapy spider built on larkspine: a ``Page`` class for catalog pages, a web-poet
``LarkPage`` (through scrapy-poet) for product pages.

    scrapy runspider examples/tea_shop_spider.py -a start=URL -o items.jsonl

``examples/tea_shop/`` is a small shop to try it on, from the checkout's root:
``-a start=file://$PWD/examples/tea_shop/index.html`` (a catalog in two pages, the first
with a ``<base href>``, and six products, two of them in Shift_JIS and windows-1251).

``examples/tea_shop_parsel.py`` is the same spider written with parsel selectors; both
export the same items (``tests/test_examples.py`` runs them on generated pages and compares).
Catalog pages yield the ``Catalog`` page itself: a ``Page`` is a Scrapy item. Needs
``pip install --no-build-isolation '.[webpoet]' scrapy scrapy-poet`` in the checkout.
"""

from __future__ import annotations

from collections.abc import AsyncIterator, Iterator
from typing import Any

import attrs
import scrapy
import web_poet

from larkspine import Page, field, webpoet


class Catalog(Page):
    heading = field("h1::text", first=True, each=str.strip)
    products = field("li.product a::attr(href)", absolute=True)
    next_page = field('a[rel="next"]::attr(href)', first=True, absolute=True)


@attrs.define
class ProductPage(webpoet.LarkPage[dict[str, Any]]):
    name = webpoet.field("h1::text", first=True, each=str.strip)
    price = webpoet.field("span.price::text", first=True, each=float)
    tags = webpoet.field(".tags li::text")
    image = webpoet.field("img.photo::attr(src)", first=True, absolute=True)
    sizes = webpoet.group(
        "tr.size",
        grams=webpoet.field("td.grams::text", first=True, each=int),
        price=webpoet.field("td.price::text", first=True, each=float),
    )

    @web_poet.field
    def url(self) -> str:
        return str(self.response.url)


class TeaShop(scrapy.Spider):
    name = "tea-shop"
    custom_settings = {"ADDONS": {"scrapy_poet.Addon": 300}}

    def __init__(self, start: str, **kwargs: Any) -> None:
        super().__init__(**kwargs)
        self.start_urls = [start]

    def parse(self, response: Any) -> Iterator[Any]:
        catalog = Catalog.from_response(response)
        yield catalog
        yield from response.follow_all(catalog.products, self.parse_product)
        if catalog.next_page:
            yield response.follow(catalog.next_page, self.parse)

    async def parse_product(self, response: Any, page: ProductPage) -> AsyncIterator[dict[str, Any]]:
        yield await page.to_item()
