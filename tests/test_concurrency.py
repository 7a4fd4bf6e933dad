"""Scans on many threads at once: 8 threads share one Plan (and call the free
functions) over documents that take every path of the engine, and every
result equals the sequential one. The scans run with the interpreter lock
released, so this is where a data race would show; CI also runs this file
against a ThreadSanitizer build."""
import concurrent.futures
import gzip

import pytest

import _larkspine as ls
from tests.conftest import SHARED

THREADS = 8

FLAT = ["p::text", "div ::text", "a::attr(href)", "li:last-child::text", "div:has(a)::attr(id)",
        'p:contains("x")::text', "//li[last()]/text()", "h2::text, p:contains(\"1\")::text", "normalize-space(//p)",
        "title::text", "li + li::text", "ul > li:nth-child(2n+1) b::text", "section"]
GROUPS = [("ul", [("first", "li:first-child::text"), ("links", ".//@href"), ("self", ".")]),
          ("div", [("t", "text()"), ("all", ".//text()")])]

SYNTHETIC = [
    b"<title>t</title><div id=d><p>x1</p><a href=/a>a</a></div><ul><li>1<li><b>2</b><li>3</ul><h2>h</h2>" * 40,
    "<meta charset=shift_jis><p>\u65e5 x</p><section><div><p>1</p></div></section>".encode("shift_jis") * 50,
    ("<ul><li>" * 300 + "<a href=x>deep</a>").encode(),
    "<div>\u65e5\u672c<p>x</p></div>".encode("utf-16"),
    b"<b><i>" * 500 + b"</p>" * 500 + b"<p>x</p>",
    b"<table><tr><td>1<td>2</table><frameset><frame><meta charset=utf-8>&#0;\x00<p>x&amp;y</p>",
]


@pytest.fixture(scope="module")
def documents():
    """The synthetic documents, and slices of real pages when the corpus is present."""
    articles = SHARED / "corpus" / "articles"
    pages = sorted(articles.glob("*.gz"))[:6] if articles.is_dir() else []
    return SYNTHETIC + [gzip.decompress(p.read_bytes())[:60_000] for p in pages]


def run_all(calls, rounds):
    """Runs every call `rounds` times on THREADS threads, interleaved."""
    with concurrent.futures.ThreadPoolExecutor(THREADS) as pool:
        futures = [pool.submit(call) for _ in range(rounds) for call in calls]
        return [f.result() for f in futures]


def test_one_plan_shared_by_eight_threads(documents):
    plan = ls.Plan(FLAT, GROUPS)
    expected = [plan.extract_grouped(d) for d in documents]
    got = run_all([lambda d=d: plan.extract_grouped(d) for d in documents], 8)
    assert got == expected * 8


def test_first_only_plan_with_early_stop_shared(documents):
    queries = ["p::text", "a::attr(href)", "title::text", "li"]
    plan = ls.Plan(queries, [], first_only=[True] * len(queries))
    expected = [plan.extract(d) for d in documents]
    assert all(len(col) <= 1 for cols in expected for col in cols)
    assert run_all([lambda d=d: plan.extract(d) for d in documents], 4) == expected * 4


def test_free_functions_and_plans_built_on_threads(documents):
    docs = documents[:4]
    expected = [ls.extract_grouped(d, FLAT, GROUPS) for d in docs]
    calls = [lambda d=d: ls.extract_grouped(d, FLAT, GROUPS) for d in docs]
    calls.append(lambda: ls.Plan(FLAT, GROUPS).extract_grouped(docs[0]))
    calls.append(lambda: ls.audit_schema(FLAT, GROUPS))
    got = run_all(calls, 3)
    audit = ls.audit_schema(FLAT, GROUPS)
    assert got == (expected + [expected[0], audit]) * 3


def test_str_and_bytes_on_threads():
    text = "<p>\u00e9t\u00e9</p><ul><li>a<li>b</ul>" * 200
    plan = ls.Plan(["p::text", "li::text"], [])
    expected = plan.extract(text.encode())
    assert plan.extract(text) == expected
    assert run_all([lambda: plan.extract(text), lambda: plan.extract(text.encode())], 8) == [expected] * 16


@pytest.mark.parametrize("threads", [2, 4])
def test_extract_arrow_on_native_threads_and_callers(documents, threads):
    # Native threads inside each batch, and several batches at once on one
    # plan: every row equals the sequential extract_grouped of its document.
    pa = pytest.importorskip("pyarrow")
    plan = ls.Plan(FLAT, GROUPS, first_only=[True, False] * 3)
    docs = documents * 3
    expected = pa.record_batch(plan.extract_arrow(docs)).to_pylist()
    first = [q for q, f in enumerate(plan.first_only) if f]
    for row, doc in zip(expected, docs):
        flat, grouped = plan.extract_grouped(doc)
        assert [row[str(q)] for q in range(len(FLAT)) if q not in first] == \
            [col for q, col in enumerate(flat) if q not in first]
        assert [row[str(q)] for q in first] == [flat[q][0] if flat[q] else None for q in first]
        assert len(row[str(len(FLAT))]) == len(grouped[0])
    got = run_all([lambda: pa.record_batch(plan.extract_arrow(docs, threads=threads)).to_pylist()], 4)
    assert got == [expected] * 4
