"""The spider of ``examples/tea_shop_spider.py`` written with parsel selectors, for comparison.

    scrapy runspider examples/tea_shop_parsel.py -a start=URL -o items.jsonl
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import scrapy


class TeaShopParsel(scrapy.Spider):
    name = "tea-shop-parsel"

    def __init__(self, start: str, **kwargs: Any) -> None:
        super().__init__(**kwargs)
        self.start_urls = [start]

    def parse(self, response: Any) -> Iterator[Any]:
        heading = response.css("h1::text").get()
        products = [response.urljoin(href) for href in response.css("li.product a::attr(href)").getall()]
        next_page = response.css('a[rel="next"]::attr(href)').get()
        next_page = None if next_page is None else response.urljoin(next_page)
        yield {"heading": heading.strip() if heading else None, "products": products, "next_page": next_page}
        yield from response.follow_all(products, self.parse_product)
        if next_page:
            yield response.follow(next_page, self.parse)

    def parse_product(self, response: Any) -> Iterator[dict[str, Any]]:
        name = response.css("h1::text").get()
        price = response.css("span.price::text").get()
        image = response.css("img.photo::attr(src)").get()
        yield {
            "name": name.strip() if name else None,
            "price": float(price) if price else None,
            "tags": response.css(".tags li::text").getall(),
            "image": response.urljoin(image) if image else None,
            "sizes": [
                {
                    "grams": int(g) if (g := row.css("td.grams::text").get()) else None,
                    "price": float(p) if (p := row.css("td.price::text").get()) else None,
                }
                for row in response.css("tr.size")
            ],
            "url": response.url,
        }
