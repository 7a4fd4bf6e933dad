#!/usr/bin/env python3
"""What one fallback field costs: the 15 usual article fields as a ``Schema``, against the
same schema with ``fallback=True`` and one field more that the engine refuses, so that
parsel (lxml) answers it on a tree of each page. Over ../shared/corpus/articles and
../shared/corpus/dense, interleaved in one process: each round times both schemas over
every page once, in alternating order, so that a busy second core lands on both alike; the
figures are the median round, and the ratio is what a page costs with the fallback field
over what it costs without.

The fallback field's query (``//p/text()[2]``, a position on a text node) is of the kind
scrapers write and the engine refuses; any refused query costs about the same, since what
it pays for is lxml parsing the page into a tree, once per page.

Usage: nice python benchmarks/fallback.py [--rounds N] [--query XPATH]
"""
import argparse
import gzip
import pathlib
import statistics
import sys
import time

from larkspine import Schema, field

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from compare import ENGINE_QUERIES, FIELDS  # noqa: E402

SHARED = pathlib.Path(__file__).resolve().parent.parent.parent / "shared" / "corpus"
FIRST = {"title", "description", "og:title", "og:description", "og:image", "author", "canonical", "lang"}


def usual_fields() -> dict[str, object]:
    return {
        n.replace(":", "_").replace("-", "_").replace(" ", "_"): field(query, first=n in FIRST)
        for (n, _, _), query in zip(FIELDS, ENGINE_QUERIES)
    }


def pages_of(folder: pathlib.Path) -> list[bytes]:
    return [gzip.decompress(p.read_bytes()) for p in sorted(folder.glob("*.gz"))]


def measure(pages: list[bytes], schemas: dict[str, Schema], rounds: int) -> dict[str, float]:
    times: dict[str, list[float]] = {name: [] for name in schemas}
    names = list(schemas)
    for r in range(rounds):
        for name in names if r % 2 == 0 else names[::-1]:
            extract = schemas[name].extract
            start = time.perf_counter()
            for body in pages:
                extract(body)
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(t) for name, t in times.items()}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--query", default="//p/text()[2]")
    args = parser.parse_args()
    if not SHARED.is_dir():
        sys.exit(f"corpus not found: {SHARED}")
    usual = usual_fields()
    schemas = {
        "15 fields": Schema(usual),
        "15 fields + 1 fallback": Schema({**usual, "second_text": field(args.query)}, fallback=True),
    }
    assert schemas["15 fields + 1 fallback"]._by_parsel, f"the engine answers {args.query!r}: no fallback to measure"
    print(f"fallback field: {args.query!r}; {args.rounds} rounds (median round)")
    print(f"{'corpus':10}{'pages':>7}{'MB':>7}{'ms/page':>10}{'+fallback':>11}{'ratio':>8}")
    for corpus in ("articles", "dense"):
        pages = pages_of(SHARED / corpus)
        mb = sum(map(len, pages)) / 1e6
        t = measure(pages, schemas, args.rounds)
        base, more = t["15 fields"], t["15 fields + 1 fallback"]
        n = len(pages)
        print(f"{corpus:10}{n:>7}{mb:>7.1f}{base / n * 1e3:>10.2f}{more / n * 1e3:>11.2f}{more / base:>7.1f}x")


if __name__ == "__main__":
    main()
