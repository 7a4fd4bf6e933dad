#!/usr/bin/env python3
"""What the Python layer costs: a 15-field Page class against the bare Plan.extract of the
same queries, over the pages of ../shared/corpus/articles, interleaved in one process; and
what absolute URLs cost: the same Page with its four link fields (links, images, og:image,
canonical) declared ``absolute=True``, and with them joined by ``urllib.parse.urljoin`` in
an ``each`` processor, as a spider would without the option.

Each round times every variant over every page once, in rotating order, so that a busy
second core or a frequency change lands on all variants alike; the figures are the
median round. Aims: the Page path within 10% of the bare plan; the absolute Page within 1.5x of the Page.

Usage: python benchmarks/page.py [--rounds N]
"""
import argparse
import gzip
import pathlib
import statistics
import sys
import time
from urllib.parse import urljoin

import larkspine
from larkspine import Page, field

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from compare import ENGINE_QUERIES, FIELDS  # noqa: E402

CORPUS = pathlib.Path(__file__).resolve().parent.parent.parent / "shared" / "corpus" / "articles"
FIRST = {"title", "description", "og:title", "og:description", "og:image", "author", "canonical", "lang"}

LINKS = {"og:image", "canonical", "links", "images"}
URL = "https://news.example/2024/05/story.html"


def page_class(name: str, **link_options: object) -> type[Page]:
    namespace = {
        n.replace(":", "_").replace("-", "_").replace(" ", "_"): field(
            query, first=n in FIRST, **(link_options if n in LINKS else {})  # type: ignore[arg-type]
        )
        for (n, _, _), query in zip(FIELDS, ENGINE_QUERIES)
    }
    return type(name, (Page,), namespace)


Article = page_class("Article")
Absolute = page_class("Absolute", absolute=True)
Joined = page_class("Joined", each=lambda href, url: urljoin(url, href))
FLAGS = [name in FIRST for name, _, _ in FIELDS]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()
    if not CORPUS.is_dir():
        sys.exit(f"corpus not found: {CORPUS}")
    pages = [gzip.decompress(p.read_bytes()) for p in sorted(CORPUS.glob("*.gz"))]
    mb = sum(map(len, pages)) / 1e6
    plain = larkspine.Plan(ENGINE_QUERIES, [])
    flagged = larkspine.Plan(ENGINE_QUERIES, [], FLAGS)
    variants = {
        "Plan.extract (no flags)": lambda b: plain.extract(b),
        "Plan.extract (first-only flags)": lambda b: flagged.extract(b),
        "larkspine.extract": lambda b: larkspine.extract(b, ENGINE_QUERIES),
        "Page class -> to_dict()": lambda b: Article(b, url=URL).to_dict(),
        "Page, 4 link fields absolute": lambda b: Absolute(b, url=URL).to_dict(),
        "Page, 4 link fields urljoin each": lambda b: Joined(b, url=URL).to_dict(),
    }
    assert [Article(b).to_dict()["links"] for b in pages[:5]] == [plain.extract(b)[9] for b in pages[:5]]
    times: dict[str, list[float]] = {name: [] for name in variants}
    names = list(variants)
    for r in range(args.rounds):
        for name in names[r % len(names):] + names[: r % len(names)]:
            fn = variants[name]
            start = time.perf_counter()
            for body in pages:
                fn(body)
            times[name].append(time.perf_counter() - start)
    # The layer's own work, timed alone: turning the plan's columns into records.
    schema = Article.__schema__
    columns = [flagged.extract(b) for b in pages]
    layer = []
    for _ in range(args.rounds):
        start = time.perf_counter()
        for c in columns:
            schema.finish(c, [], None)
        layer.append(time.perf_counter() - start)
    base = statistics.median(times["Plan.extract (first-only flags)"])
    print(f"{len(pages)} pages, {mb:.1f} MB, {args.rounds} rounds (median round)")
    print(f"{'variant':34}{'MB/s':>8}{'µs/page':>10}{'vs flagged plan':>18}")
    for name in names:
        t = statistics.median(times[name])
        print(f"{name:34}{mb / t:>8.0f}{t / len(pages) * 1e6:>10.0f}{t / base:>17.3f}x")
    t = statistics.median(layer)
    print(f"{'records from columns (layer only)':34}{'':>8}{t / len(pages) * 1e6:>10.1f}{t / base:>17.3f}x")
    page = statistics.median(times["Page class -> to_dict()"])
    for name in ("Page, 4 link fields absolute", "Page, 4 link fields urljoin each"):
        print(f"{name} / Page: {statistics.median(times[name]) / page:.2f}x")


if __name__ == "__main__":
    main()
