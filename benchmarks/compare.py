#!/usr/bin/env python3
"""Throughput of Plan.extract over the pages of ../shared/corpus/articles against
selectolax (lexbor), lxml with precompiled XPath, and parsel, each timed end to
end (parse, query, Python strings), in one process, interleaved round by round.

Sections:
  - schemas: the 15-field schema, a head-only first-only schema, a schema that
    matches nothing, a schema of close-time queries, and the tokenizer alone
    (against each peer's parse alone);
  - held: the microseconds per page that Plan.extract holds the interpreter
    lock (building the result, destroying the core result, freeing the Python
    result), from the test module;
  - threads: Plan.extract on 2 threads against 1, next to the machine's own
    2-thread gain measured the same way with hashlib.sha256 over large buffers
    (a GIL-free stdlib workload), round by round;
  - memory: the peak memory of one large document.

The machine is shared: every figure is the median over the rounds, ratios are
taken within a round (both sides saw the same machine state), single-thread
times are the measuring thread's CPU time (preemption by other load is not
counted; the thread section uses wall time), and the load average is printed
before and after.

Usage: python benchmarks/compare.py [--rounds N] [--only schemas,held,threads,memory]
"""
import argparse
import gzip
import hashlib
import os
import pathlib
import statistics
import subprocess
import sys
import threading
import time

import _larkspine as ls

try:
    import _larkspine_testing as lt
except ImportError:  # installed without the test module: no tokenizer or held figures
    lt = None

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
# Head fields, first value only: (engine, selectolax, lxml).
FIRST_ONLY = [
    ("title::text", "title", "//title/text()"),
    ('meta[name="description"]::attr(content)', 'meta[name="description"]', '//meta[@name="description"]/@content'),
    ('meta[property="og:title"]::attr(content)', 'meta[property="og:title"]', '//meta[@property="og:title"]/@content'),
    ('link[rel="canonical"]::attr(href)', 'link[rel="canonical"]', '//link[@rel="canonical"]/@href'),
]
# Queries that compile but match nothing on these pages: (engine and parsel, selectolax, lxml).
NOTHING = [
    ("x-none::text", "x-none", "//x-none/text()"),
    (".no-such-class::attr(href)", ".no-such-class",
     "//*[contains(concat(' ', normalize-space(@class), ' '), ' no-such-class ')]/@href"),
    ("#no-such-id ::text", "#no-such-id", '//*[@id="no-such-id"]//text()'),
]


def node_values(nodes, css):
    if "::attr(" in css:
        name = css.split("::attr(")[1].rstrip(")")
        return [n.attributes.get(name) for n in nodes if n.attributes.get(name) is not None]
    return [n.text(deep=css.endswith(" ::text")) for n in nodes]


def peers():
    try:
        from selectolax.lexbor import LexborHTMLParser
    except ImportError:
        LexborHTMLParser = None
    try:
        import lxml.html
        from lxml import etree
    except ImportError:
        lxml = etree = None
    try:
        import parsel
    except ImportError:
        parsel = None
    return LexborHTMLParser, lxml, etree, parsel


def runners(schema):
    """{runner name: function of one page}, the engine first."""
    LexborHTMLParser, lxml, etree, parsel = peers()
    out = {}
    if schema == "tokenizer":
        if lt is None:
            return {}
        out["larkspine tokenizer"] = lt.count_events
        if LexborHTMLParser:
            out["selectolax parse"] = LexborHTMLParser
        if lxml:
            out["lxml parse"] = lxml.html.fromstring
        if parsel:
            out["parsel parse"] = lambda page: parsel.Selector(body=page, encoding="utf-8")
        return out

    first_only = schema == "head-only first-only"
    if schema == "15 fields":
        engine = ENGINE_QUERIES
        sx = [(css.split("::")[0].strip(), css) for _, css, _ in FIELDS]
        xpaths = [x for _, _, x in FIELDS]
        pq = [css for _, css, _ in FIELDS]
    elif schema == "close-time":
        engine = [e for e, _, _, _ in DEFERRED]
        sx = [(s, e) for e, s, _, _ in DEFERRED]
        xpaths = [x for _, _, x, _ in DEFERRED]
        pq = [p for _, _, _, p in DEFERRED]
    elif schema == "match-nothing":
        engine = [e for e, _, _ in NOTHING]
        sx = [(s, e) for e, s, _ in NOTHING]
        xpaths = [x for _, _, x in NOTHING]
        pq = engine
    else:
        engine = [e for e, _, _ in FIRST_ONLY]
        sx = [(s, e) for e, s, _ in FIRST_ONLY]
        xpaths = [x for _, _, x in FIRST_ONLY]
        pq = engine
    plan = ls.Plan(engine, [], first_only=[first_only] * len(engine))
    out["larkspine Plan.extract"] = plan.extract
    if LexborHTMLParser:
        if first_only:
            def selectolax_run(page):
                tree = LexborHTMLParser(page)
                cols = []
                for s, e in sx:
                    node = tree.css_first(s)
                    cols.append(node_values([node], e)[:1] if node else [])
                return cols
        else:
            def selectolax_run(page):
                tree = LexborHTMLParser(page)
                return [node_values(tree.css(s), e) for s, e in sx]
        out["selectolax (lexbor)"] = selectolax_run
    if lxml:
        compiled = [etree.XPath(x) for x in xpaths]

        def lxml_run(page):
            root = lxml.html.fromstring(page)
            cols = [[str(v) for v in xp(root)] for xp in compiled]
            return [c[:1] for c in cols] if first_only else cols
        out["lxml (precompiled XPath)"] = lxml_run
    if parsel:
        def parsel_run(page):
            sel = parsel.Selector(body=page, encoding="utf-8")
            cols = [sel.xpath(q).getall() if q.startswith("/") else sel.css(q).getall() for q in pq]
            return [c[:1] for c in cols] if first_only else cols
        out["parsel"] = parsel_run
    return out


def time_pages(fn, pages, clock=time.thread_time):
    """Seconds to run fn over the pages: by default this thread's CPU time, so
    that time spent preempted by other work on a busy machine is not counted
    (every runner is single-threaded)."""
    start = clock()
    for p in pages:
        fn(p)
    return clock() - start


def memchr_floor(pages, rounds):
    if lt is not None:
        return statistics.median(sum(lt.time_pass("memchr", "utf-8", p, 1)[0] for p in pages)
                                 for _ in range(rounds))
    return statistics.median(time_pages(lambda p: p.count(b"<"), pages) for _ in range(rounds))


def load_text():
    one, five, _ = os.getloadavg()
    return f"load average {one:.2f} (1 min), {five:.2f} (5 min) on {os.cpu_count()} CPUs"


def schemas_section(pages, rounds, mb):
    for schema in ("15 fields", "head-only first-only", "match-nothing", "close-time", "tokenizer"):
        fns = runners(schema)
        if not fns:
            print(f"\n{schema}: needs the test module (bash tools/run-tests.sh installs it)")
            continue
        ours_name = next(iter(fns))
        times = {name: [] for name in fns}
        for r in range(rounds):  # interleaved: every runner sees the same machine state
            names = list(fns)
            names = names[r % len(names):] + names[:r % len(names)]
            for name in names:
                times[name].append(time_pages(fns[name], pages))
        ours = times[ours_name]
        print(f"\n{schema}")
        print(f"{'runner':28}{'MB/s':>8}{'larkspine is':>14}{'(range)':>14}")
        for name, ts in times.items():
            ratios = [t / o for t, o in zip(ts, ours)]
            spread = f"{min(ratios):.1f}-{max(ratios):.1f}" if name != ours_name else ""
            print(f"{name:28}{mb / statistics.median(ts):>8.0f}{statistics.median(ratios):>13.2f}x{spread:>14}")


def held_section(pages, rounds):
    if lt is None:
        print("\nheld share: needs the test module (bash tools/run-tests.sh installs it)")
        return
    rows = [lt.held_split(pages, ENGINE_QUERIES) for _ in range(rounds)]
    n = len(pages)
    scan, build, teardown, free, values = (statistics.median(col) for col in zip(*rows))
    held = build + teardown + free
    print(f"\ninterpreter lock held per call, 15 fields, {values / n:.0f} values per page (median of {rounds})")
    print(f"  released (prepare + scan) {scan / n * 1e6:7.1f} us/page")
    print(f"  held: build result        {build / n * 1e6:7.1f} us/page")
    print(f"        destroy core result {teardown / n * 1e6:7.1f} us/page")
    print(f"        free Python result  {free / n * 1e6:7.1f} us/page")
    print(f"        total               {held / n * 1e6:7.1f} us/page = {held / values * 1e9:.0f} ns per value, "
          f"{held / (held + scan) * 100:.1f}% of a call")


def threads_section(pages, rounds, mb):
    # Each of two threads does half of the same work as one thread does alone,
    # as a crawler's worker threads would with one shared Plan.
    plan = ls.Plan(ENGINE_QUERIES, [])
    work = pages * 4
    buffers = [os.urandom(1 << 20) * 4 for _ in range(2)]
    hashes = [buffers[i % 2] for i in range(24)]

    def extract_share(chunk):
        for p in chunk:
            plan.extract(p)

    def hash_share(chunk):
        for b in chunk:
            hashlib.sha256(b).digest()

    def one_and_two(fn, items):
        start = time.perf_counter()
        fn(items)
        single = time.perf_counter() - start
        threads = [threading.Thread(target=fn, args=(items[i::2],)) for i in range(2)]
        start = time.perf_counter()
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        return single, time.perf_counter() - start

    ours, sha, rel = [], [], []
    for _ in range(rounds):
        s1, s2 = one_and_two(hash_share, hashes)
        e1, e2 = one_and_two(extract_share, work)
        ours.append(e1 / e2)
        sha.append(s1 / s2)
        rel.append((e1 / e2) / (s1 / s2))
        single = e1
    print(f"\nthreads (median of {rounds}): Plan.extract 2 threads / 1 = {statistics.median(ours):.2f}x; "
          f"sha256 2 threads / 1 = {statistics.median(sha):.2f}x (the machine's own gain); "
          f"larkspine reaches {statistics.median(rel) * 100:.0f}% of it "
          f"(range {min(rel) * 100:.0f}-{max(rel) * 100:.0f}%); 1 thread {mb * 4 / single:.0f} MB/s")


def memory_section():
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
    print()
    for queries in (["title::text", "/html/@lang", 'link[rel="canonical"]::attr(href)'], ENGINE_QUERIES):
        out = subprocess.run([sys.executable, "-c", code, *queries], capture_output=True, text=True, check=True)
        size, grown, values = map(int, out.stdout.split())
        print(f"peak memory, one {size / 1e6:.0f} MB document, {len(queries)} queries: "
              f"max RSS +{grown / 1e6:.1f} MB for {values / 1e6:.1f} MB of values")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--only", default="schemas,held,threads,memory",
                    help="comma-separated sections: schemas, held, threads, memory")
    args = ap.parse_args()
    sections = set(args.only.split(","))
    pages = load()
    mb = sum(map(len, pages)) / 1e6
    print(f"{len(pages)} pages, {mb:.1f} MB, median of {args.rounds} rounds; {load_text()}")
    print(f"memchr floor {mb / memchr_floor(pages, args.rounds):.0f} MB/s")
    if "schemas" in sections:
        schemas_section(pages, args.rounds, mb)
    if "held" in sections:
        held_section(pages, args.rounds)
    if "threads" in sections:
        threads_section(pages, args.rounds, mb)
    if "memory" in sections:
        memory_section()
    print(f"\nafter the run: {load_text()}")


if __name__ == "__main__":
    main()
