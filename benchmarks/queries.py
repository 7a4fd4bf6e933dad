#!/usr/bin/env python3
"""Query compilation speed: a realistic 20-query schema compiled (routed and
parsed into the selector model) over and over, timed inside the extension.

The free functions compile their schema on every call, so this is a per-call
cost for them; a Plan pays it once. Needs the test module
(_larkspine_testing), which `bash tools/run-tests.sh` installs.
"""
import _larkspine_testing as t

SCHEMA = [
    "title::text",
    'meta[name="description"]::attr(content)',
    'meta[property="og:title"]::attr(content)',
    'meta[property="og:image"]::attr(content)',
    'link[rel="canonical"]::attr(href)',
    "h1::text",
    "h2 ::text",
    "article p ::text",
    "a::attr(href)",
    "img::attr(src)",
    "ul.nav > li:nth-child(2n+1) a::text",
    'script[type="application/ld+json"]::text',
    "div.content :is(h2, h3)::text",
    "table.specs tr:not(.hidden) td::text",
    "/html/@lang",
    "//meta[@name='author']/@content",
    "//div[@id='main']//a[contains(@class, 'btn') or @role='button']/@href",
    "//ul/li[last()]/text()",
    "normalize-space(//h1)",
    '//dt[.="Price"]/following-sibling::dd/text()',
]


def main():
    repeat = 200
    rounds = 50
    best = float("inf")
    selectors = 0
    for _ in range(rounds):
        sec, selectors = t.time_compile(SCHEMA * repeat, 1)
        best = min(best, sec)
    n = len(SCHEMA) * repeat
    print(f"schema: {len(SCHEMA)} queries -> {selectors // repeat} selectors")
    print(f"{n / best / 1e3:.0f} thousand queries parsed per second "
          f"({best / repeat * 1e6:.1f} us per schema)")


if __name__ == "__main__":
    main()
