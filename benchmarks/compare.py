#!/usr/bin/env python3
"""Throughput of one realistic schema over the pages of ../shared/corpus/articles:
Plan.extract against selectolax (lexbor), lxml with precompiled XPath, and
parsel, each timed end to end (parse, query, Python strings), interleaved in one
process; Plan.extract on 2 threads against 1; a memchr pass as the floor; and
the peak memory of one large document.

Usage: python benchmarks/compare.py [--rounds N]
"""
import argparse
import gzip
import pathlib
import subprocess
import sys
import threading
import time

import _larkspine as ls

CORPUS = pathlib.Path(__file__).resolve().parent.parent.parent / "shared" / "corpus" / "articles"

# (name, CSS for the engine, selectolax and parsel, XPath for lxml)
FIELDS = [
    ("title", "title::text", "//title/text()"),
    ("description", 'meta[name="description"]::attr(content)', '//meta[@name="description"]/@content'),
    ("og:title", 'meta[property="og:title"]::attr(content)', '//meta[@property="og:title"]/@content'),
    ("og:description", 'meta[property="og:description"]::attr(content)', '//meta[@property="og:description"]/@content'),
    ("og:image", 'meta[property="og:image"]::attr(content)', '//meta[@property="og:image"]/@content'),
    ("author", 'meta[name="author"]::attr(content)', '//meta[@name="author"]/@content'),
    ("canonical", 'link[rel="canonical"]::attr(href)', '//link[@rel="canonical"]/@href'),
    ("h1", "h1 ::text", "//h1//text()"),
    ("h2", "h2 ::text", "//h2//text()"),
    ("links", "a::attr(href)", "//a/@href"),
    ("images", "img::attr(src)", "//img/@src"),
    ("paragraphs", "p ::text", "//p//text()"),
    ("list items", "li ::text", "//li//text()"),
    ("json-ld", 'script[type="application/ld+json"]::text', '//script[@type="application/ld+json"]/text()'),
    ("lang", "html::attr(lang)", "/html/@lang"),
]
ENGINE_QUERIES = [css for _, css, _ in FIELDS[:-1]] + ["/html/@lang"]


def load():
    if not CORPUS.is_dir():
        sys.exit(f"corpus not found: {CORPUS}")
    return [gzip.decompress(p.read_bytes()) for p in sorted(CORPUS.glob("*.gz"))]


# A schema of close-time decisions: (engine, selectolax CSS or callable, lxml XPath, parsel CSS/XPath).
DEFERRED = [
    ("li:last-child::text", "li:last-child", "//li[not(following-sibling::*)]/text()", "li:last-child::text"),
    ("div:has(img)::attr(class)", "div:has(img)", "//div[.//img]/@class", "div:has(img)::attr(class)"),
    ('p:contains("the") ::text', 'p:lexbor-contains("the")', '//p[contains(., "the")]//text()',
     'p:contains("the") ::text'),
    ("//ul/li[last()]/text()", "ul > li:last-of-type", "//ul/li[last()]/text()", "//ul/li[last()]/text()"),
]
# Fields near the top of a page, first value only.
FIRST_ONLY = [
    ("title::text", "title", "//title/text()"),
    ('meta[name="description"]::attr(content)', 'meta[name="description"]', '//meta[@name="description"]/@content'),
    ('meta[property="og:title"]::attr(content)', 'meta[property="og:title"]', '//meta[@property="og:title"]/@content'),
    ('link[rel="canonical"]::attr(href)', 'link[rel="canonical"]', '//link[@rel="canonical"]/@href'),
]


def node_values(nodes, css):
    if "::attr(" in css:
        name = css.split("::attr(")[1].rstrip(")")
        return [n.attributes.get(name) for n in nodes if n.attributes.get(name) is not None]
    return [n.text(deep=css.endswith(" ::text")) for n in nodes]


def runners(schema):
    out = {}
    try:
        from selectolax.lexbor import LexborHTMLParser
    except ImportError:
        LexborHTMLParser = None
    try:
        import lxml.html
        from lxml import etree
    except ImportError:
        lxml = None
    try:
        import parsel
    except ImportError:
        parsel = None

    if schema == "fields":
        plan = ls.Plan(ENGINE_QUERIES, [])
        out["larkspine Plan.extract"] = plan.extract
        if LexborHTMLParser:
            def selectolax_run(page):
                tree = LexborHTMLParser(page)
                return [node_values(tree.css(css.split("::")[0].strip()), css) for _, css, _ in FIELDS]
            out["selectolax (lexbor)"] = selectolax_run
        xpaths = [x for _, _, x in FIELDS]
        cssq = [css for _, css, _ in FIELDS]
    elif schema == "deferred":
        plan = ls.Plan([e for e, _, _, _ in DEFERRED], [])
        out["larkspine Plan.extract"] = plan.extract
        if LexborHTMLParser:
            def selectolax_run(page):
                tree = LexborHTMLParser(page)
                return [node_values(tree.css(sx), e) for e, sx, _, _ in DEFERRED]
            out["selectolax (lexbor)"] = selectolax_run
        xpaths = [x for _, _, x, _ in DEFERRED]
        cssq = [p for _, _, _, p in DEFERRED]
    else:  # first-only
        plan = ls.Plan([e for e, _, _ in FIRST_ONLY], [], first_only=[True] * len(FIRST_ONLY))
        out["larkspine Plan.extract"] = plan.extract
        if LexborHTMLParser:
            def selectolax_run(page):
                tree = LexborHTMLParser(page)
                cols = []
                for e, sx, _ in FIRST_ONLY:
                    node = tree.css_first(sx)
                    cols.append(node_values([node], e)[:1] if node else [])
                return cols
            out["selectolax (lexbor)"] = selectolax_run
        xpaths = [x for _, _, x in FIRST_ONLY]
        cssq = [e for e, _, _ in FIRST_ONLY]
    if lxml:
        compiled = [etree.XPath(x) for x in xpaths]

        def lxml_run(page):
            root = lxml.html.fromstring(page)
            cols = [[str(v) for v in xp(root)] for xp in compiled]
            return [c[:1] for c in cols] if schema == "first-only" else cols
        out["lxml (precompiled XPath)"] = lxml_run
    if parsel:
        def parsel_run(page):
            sel = parsel.Selector(body=page, encoding="utf-8")
            cols = [sel.xpath(q).getall() if q.startswith("/") else sel.css(q).getall() for q in cssq]
            return [c[:1] for c in cols] if schema == "first-only" else cols
        out["parsel"] = parsel_run
    return out


def memchr_floor(pages, rounds):
    try:
        import _larkspine_testing as t
        return min(sum(t.time_pass("memchr", "utf-8", p, 1)[0] for p in pages) for _ in range(rounds))
    except ImportError:
        best = float("inf")
        for _ in range(rounds):
            start = time.perf_counter()
            for p in pages:
                p.count(b"<")
            best = min(best, time.perf_counter() - start)
        return best


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    pages = load()
    mb = sum(map(len, pages)) / 1e6
    floor = memchr_floor(pages, args.rounds)
    print(f"{len(pages)} pages, {mb:.1f} MB, best of {args.rounds}; memchr floor {mb / floor:.0f} MB/s")
    for schema, title in (("fields", f"{len(FIELDS)} fields"), ("deferred", f"{len(DEFERRED)} close-time queries"),
                          ("first-only", f"{len(FIRST_ONLY)} first-only fields near the top")):
        fns = runners(schema)
        best = {name: float("inf") for name in fns}
        for _ in range(args.rounds):  # interleaved: every runner sees the same machine state
            for name, fn in fns.items():
                start = time.perf_counter()
                for p in pages:
                    fn(p)
                best[name] = min(best[name], time.perf_counter() - start)
        ours = best["larkspine Plan.extract"]
        print(f"\n{title}")
        print(f"{'runner':28}{'MB/s':>10}{'larkspine is':>16}")
        for name, sec in best.items():
            print(f"{name:28}{mb / sec:>10.0f}{sec / ours:>15.1f}x")
    print()

    # Threads: each of two threads extracts its share of the pages with one
    # shared Plan, as a crawler's worker threads would.
    plan = ls.Plan(ENGINE_QUERIES, [])
    work = pages * 4

    def share(chunk):
        for p in chunk:
            plan.extract(p)

    single = double = float("inf")
    for _ in range(args.rounds):
        start = time.perf_counter()
        share(work)
        single = min(single, time.perf_counter() - start)
        threads = [threading.Thread(target=share, args=(work[i::2],)) for i in range(2)]
        start = time.perf_counter()
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        double = min(double, time.perf_counter() - start)
    print(f"threads: 1 -> {mb * 4 / single:.0f} MB/s, 2 -> {mb * 4 / double:.0f} MB/s ({single / double:.2f}x)")

    # Peak memory, in a fresh process so that the high-water mark is this run's.
    code = (
        "import gzip, pathlib, resource, sys, _larkspine as ls\n"
        f"pages = [gzip.decompress(p.read_bytes()) for p in sorted(pathlib.Path({str(CORPUS)!r}).glob('*.gz'))]\n"
        "big = b''.join(pages) * 4\n"
        "plan = ls.Plan(sys.argv[1:], [])\n"
        "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        "result = plan.extract(big)\n"
        "after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        "values = sum(len(v.encode()) for col in result for v in col)\n"
        "print(len(big), (after - before) * 1024, values)\n")
    for queries in (["title::text", "/html/@lang", 'link[rel="canonical"]::attr(href)'], ENGINE_QUERIES):
        out = subprocess.run([sys.executable, "-c", code, *queries], capture_output=True, text=True, check=True)
        size, grown, values = map(int, out.stdout.split())
        print(f"peak memory, one {size / 1e6:.0f} MB document, {len(queries)} queries: "
              f"max RSS +{grown / 1e6:.1f} MB for {values / 1e6:.1f} MB of values")


if __name__ == "__main__":
    main()
