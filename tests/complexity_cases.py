"""Input generators whose cost must grow linearly with n, shared by
tests/test_complexity.py (n against 16n) and benchmarks/complexity.py
(exponents over n..8n).

Each case builds, for a given n, a call whose cost is measured; building the
input is not part of the measurement. `n` is a starting size; the test and the
benchmark scale it until one call is long enough to time.
"""
import atexit
import gc
import gzip
import os
import shutil
import tempfile
import time
from dataclasses import dataclass
from functools import partial
from typing import Callable

import _larkspine as ls
from larkspine.inputs import gunzip, walk_inputs

DEEP_QUERIES = ["p div::text", "div:has(p)::attr(x)", 'div:contains("zz")::text', '//div[.="x"]/text()',
                "div:last-child::attr(x)", "//div[last()]/@x", "div div div > div::text",
                '//div[.//div[contains(text(), "x")]]/@x', "//div[div[@y]]/@x", "//div/../@x",
                "//div//text()[normalize-space()]", "(//div/@x)[last()]", "//div[not(@y)][1]/@x",
                "//div[div]/div/@x", '//div[contains(., "x")]/div[div]/div/text()', "//div/../div/@x",
                "//div[normalize-space(text())]/@x", "//div[not(contains(text(), 'x'))]/@x",
                "//div[normalize-space()]/div/@x", "(//div)[3]/div/text()", "//div[normalize-space()='x']/@x",
                "//div[not(div)]/@x", "//div[div/div/div]/@x", "//div[.//div/div[contains(., 'x')]]/@x",
                "//div/../../../@x", "//div[position()>1]/@x", "//div[not(div/div)]/div/@x",
                "//div[count(div)=1]/@x", "//div[count(div)>0]/div/@x", "//div[div][1]/@x",
                "//div[contains(., 'x')][1]/div/@x"]
# following:: after many contexts, decided at their start and at their close,
# and paths from the context element.
FOLLOWING_QUERIES = ["//label/following::div[1]/text()", "//label/following::div//text()",
                     "//span[contains(text(), 'a')]/following::div[1]//text()",
                     "//div/following::label[1]/following::div[1]/@x", "./body/div/text()", ".//text()", "./@x",
                     "//label/following-sibling::text()", "//span[contains(text(), 'a')]/following-sibling::text()",
                     "//label/following-sibling::div[1]/@x", "//span[contains(text(), 'a')]/following-sibling::*[1]/@x"]
# Column steps over many values, and over one long value (substring search).
VALUE_QUERIES = ["//li//text()[normalize-space()]", "(//li/text())[last()]", "substring-after(//li/text(), 'a')",
                 "//li/text()[contains(., 'aaab')]", "//li/@x[starts-with(., 'y')]", "(//b/text())[2]"]


@dataclass(frozen=True)
class Case:
    name: str
    make: Callable[[int], Callable[[], object]]
    n: int  # starting size
    memory: bool = True  # the benchmark's memory exponent is meaningful (the input's size grows with n)


def cpu_seconds(call):
    # The cyclic collector stays off while a call builds its result lists: a
    # collection then would walk every live object of the process and charge
    # it to whichever call happened to trigger it.
    gc.disable()
    try:
        start = time.thread_time()
        call()
        return time.thread_time() - start
    finally:
        gc.enable()


def doc(build, queries=("p::text",), groups=(), encoding=None):
    """A case that extracts `queries` (and `groups`) from build(n)."""
    def make(n):
        html = build(n)
        q, g = list(queries), list(groups)
        return lambda: ls.extract_grouped(html, q, g, encoding=encoding)
    # What the batch tests replay: the same document, queries and label.
    make.document = build
    make.schema = (list(queries), list(groups), encoding)
    return make


def query(build):
    """A case that compiles (audits) the query list build(n)."""
    def make(n):
        qs = build(n)
        return lambda: ls.audit_schema(qs, [])
    return make


def literal(build, queries):
    """A case whose document build(n) and query literal grow together: each of
    `queries` is formatted with a literal of n bytes that the text never holds
    whole (n `a` then a `b`), so every search runs to the end."""
    def make(n):
        html, lit = build(n), "a" * n + "b"
        qs = [q.format(lit) for q in queries]
        return lambda: ls.extract(html, qs)
    return make


# Text and attribute tests whose literal is as long as the text they test.
LITERAL_QUERIES = ["//div[contains(., '{0}')]/@x", "//div[.='{0}']/@x", "//div[normalize-space()='{0}']/@x",
                   "//div[contains(normalize-space(), '{0}')]/@x", "div:contains('{0}')::attr(x)",
                   "//div[contains(text(), '{0}')]/@x", "//div[normalize-space(text())='{0}']/@x"]
ATTR_LITERAL_QUERIES = ["//div[contains(@x, '{0}')]/@x", "div[x*='{0}']::attr(x)", "div[x*='{0}' i]::attr(x)",
                        "//div/@x[contains(., '{0}')]"]


def free_extract(build):
    """A case that runs the free extract on a tiny document with build(n) queries."""
    def make(n):
        qs = build(n)
        return lambda: ls.extract(b"<p>x</p>", qs)
    return make


def plan_compile(build):
    def make(n):
        qs = build(n)
        return lambda: ls.Plan(qs, [])
    return make


def folders(n, pattern):
    """A case that reads ``pattern`` over n folders, each with a page and the links that
    made globs explode (``loop -> .``, ``up -> ..``); the folders are built once, outside
    the measured call, and removed at exit."""
    root = tempfile.mkdtemp(prefix="larkspine-complexity-")
    atexit.register(shutil.rmtree, root, True)
    for i in range(n):
        folder = os.path.join(root, "d", f"f{i:06d}", "g")
        os.makedirs(folder)
        with open(os.path.join(folder, "p.html"), "wb") as f:
            f.write(b"<p>x</p>")
        os.symlink(".", os.path.join(folder, "loop"))
        os.symlink("..", os.path.join(folder, "up"))
    # The walk alone, on this thread (reading happens on the run's threads, whose CPU time
    # this thread's clock does not see).
    return lambda: sum(1 for _ in walk_inputs([os.path.join(root, pattern)]))


def warc_members(n, every):
    """A case that reads a WARC.gz of n records whose every ``every``-th member is corrupt."""
    from tests.warcs import Response, warc_bytes

    one, _ = warc_bytes([Response("http://x/", b"<p>x</p>")])
    bad = one[:20] + b"\xff" * 8 + one[28:]
    data = b"".join(bad if i % every == every - 1 else one for i in range(n))
    return native_read(data)


def native_read(data):
    """A call reading ``data`` with the native archive reader (the test module's entry)."""
    import _larkspine_testing as testing

    return partial(testing.read_archive, data)


def _one_record(body=b"<p>x</p>", headers=()):
    from tests.warcs import Response, record_bytes

    return record_bytes(Response("http://x/", body, headers=headers, date="2024-01-01T00:00:00Z", record_urn="uuid:1"))


def _tiny_members(n, corrupt_every=0):
    one = gzip.compress(_one_record(), mtime=0)
    bad = one[:20] + b"\xff" * 8 + one[28:]
    return b"".join(bad if corrupt_every and i % corrupt_every == corrupt_every - 1 else one for i in range(n))


def _long_header_line(n):
    record = _one_record()
    return record.replace(b"WARC-Type: response\r\n", b"WARC-Type: response\r\nX-Long: " + b"a" * n + b"\r\n") + record


def _long_http_header(n):
    return _one_record(headers=tuple(f"X-{i}: {i}" for i in range(n))) * 2


def _many_chunks(n):
    body = b"1\r\nx\r\n" * n + b"0\r\n\r\n"
    return _one_record(body, headers=("Transfer-Encoding: chunked",))


def _stray_lines(n):
    return _one_record() + b"stray line\r\n" * n + _one_record()


def gzip_junk(n):
    """A case that resynchronises over n fake member headers after a good record."""
    from tests.warcs import Response, warc_bytes

    one, _ = warc_bytes([Response("http://x/", b"<p>x</p>")])
    data = one + b"\x1f\x8b\x08\x00" * n + one
    return native_read(data)


JA = "日本語のテキスト"

CASES = [
    # End tags meeting a deep stack (the name search and the priority check).
    Case("b*n + stray </i>*n", doc(lambda n: b"<b>" * n + b"</i>" * n), 2000),
    Case("<b><i><u>*n + </p>*n", doc(lambda n: b"<b><i><u>" * n + b"</p>" * n), 1000),
    Case("<p> + <div>*n + </p>*n", doc(lambda n: b"<p>" + b"<div>" * n + b"</p>" * n), 2000),
    Case("<table>*n + </td>*n", doc(lambda n: b"<table>" * n + b"</td>" * n), 2000),
    Case("<frameset>*n + <frame>*n", doc(lambda n: b"<frameset>" * n + b"<frame>" * n), 2000),
    Case("<html> + <frameset>*n + <meta>*n", doc(lambda n: b"<html>" + b"<frameset>" * n + b"<meta>" * n), 2000),
    Case("<div><td>*n + </div>*n (blocked)", doc(lambda n: b"<div><td>" * n + b"</div>" * n), 2000),
    Case("<td><div>*n + </td>*n (closes through)", doc(lambda n: b"<td><div>" * n + b"</td>" * n), 2000),
    Case("n distinct open names + stray end tags",
         doc(lambda n: "".join(f"<x{i}>" for i in range(n)).encode() + b"</y>" * n), 2000),
    Case("n distinct open names closed in order",
         doc(lambda n: "".join(f"<x{i}>" for i in range(n)).encode()
             + "".join(f"</X{i}>" for i in reversed(range(n))).encode()), 2000),
    Case("<head>*n + <title>*n", doc(lambda n: b"<head>" * n + b"<title>" * n), 2000),
    Case("<body>*n + </body>*n", doc(lambda n: b"<body>" * n + b"</body>" * n), 2000),
    # Deferred candidates deep in the tree: each tail scan sees a bounded
    # context of the candidate's ancestors, not the whole chain.
    Case("<div>*n + deep <p><a></a>x</p>*n, :has() tails",
         doc(lambda n: b"<div>" * n + b"<p><a></a>x</p>" * n, ["p:has(a) ::text", "//p[last()]//text()"]), 1000),
    Case("<tr> rows + nested <div><p>*n, child steps into tails",
         doc(lambda n: b"<table>" + b"<tr><td><b>x</b></td><td>v</td></tr>" * n + b"</table>"
             + b"<div><p>x</p>" * n, ["//tr[.//b]/td[2]/text()", "//div[p]/p/text()", "//p/../p/text()"]), 1000),
    Case("n distinct open names + <p><a></a>x</p>*n, :has() tails",
         doc(lambda n: "".join(f"<x{i}>" for i in range(n)).encode() + b"<p><a></a>x</p>" * n,
             ['p:has(a) ::text', 'p:contains("x") a::text']), 1000),
    # The tokenizer's own worst cases.
    Case("< *n", doc(lambda n: b"<" * n), 20000),
    Case("<a  *n", doc(lambda n: b"<a " * n), 20000),
    Case("<!-- *n", doc(lambda n: b"<!--" * n), 20000),
    Case("& *n", doc(lambda n: b"&" * n, ["body::text"]), 20000),
    Case("&a *n (unterminated references)", doc(lambda n: b"&a" * n, ["body::text"]), 20000),
    Case("<script> + <!--<script> *n", doc(lambda n: b"<script>" + b"<!--<script>" * n, ["script::text"]), 5000),
    Case("stray end tags", doc(lambda n: b"</p></div></li>" * n), 5000),
    Case("one tag with n attributes",
         doc(lambda n: ("<a " + " ".join(f"a{i}={i}" for i in range(n)) + " href=x>t</a>").encode(),
             ["a::attr(href)", "a::text"]), 2000),
    Case("one tag with n equal attributes", doc(lambda n: b"<a " + b"x=1 " * n + b">", ["a::attr(x)"]), 2000),
    # Deep and repeated structures.
    Case("unclosed <div>*n", doc(lambda n: b"<div>" * n + b"x", ["div > div > div::text", "p div::text"]), 2000),
    Case("<ul><li>*n", doc(lambda n: b"<ul><li>" * n + b"x",
                           ["li:last-child::attr(x)", "ul li li li b::text", "li::text"]), 2000),
    Case("<li>*n", doc(lambda n: b"<li>x" * n, ["li::text", "li:nth-child(2n)::text"]), 2000),
    Case("<select><option>*n", doc(lambda n: b"<select><option>x" * n, ["option::text"]), 2000),
    Case("<option>*n", doc(lambda n: b"<option>x" * n, ["option::text"]), 2000),
    Case("<a>*n", doc(lambda n: b"<a href=x>y" * n, ["a::attr(href)"]), 2000),
    Case("<table><tr><td>*n", doc(lambda n: b"<table><tr><td>x" * n, ["td::text", "tr > td::text"]), 1000),
    Case("<dl><dt><dd>*n", doc(lambda n: b"<dl><dt>a<dd>b" * n, ["dd::text"]), 1000),
    Case(":has/:contains/:last-child/[last()] on a deep nest", doc(lambda n: b"<div>" * n + b"x", DEEP_QUERIES), 1000),
    Case("same, closed", doc(lambda n: b"<div>" * n + b"x" + b"</div>" * n, DEEP_QUERIES), 1000),
    Case("sibling runs", doc(lambda n: b"<p>a</p>" * n,
                             ["p + p::attr(x)", "p ~ p::attr(y)", "p:nth-child(2n+1)::attr(z)", "p:last-child::text"]),
         2000),
    Case("nested group containers",
         doc(lambda n: b"<div>a" * n, [], [("div", [("t", "text()"), ("b", "b::text"), ("a", "./a/@href")])]), 1000),
    Case("group containers in a row",
         doc(lambda n: b"<li><b>x</b><a href=y>z</a></li>" * n, [], [("li", [("b", "b::text"), ("all", ".//text()"),
                                                                              ("self", ".")])]), 1000),
    Case("outer HTML of elements in a row", doc(lambda n: b"<section>x</section>" * n, ["section"]), 1000),
    Case("filtered positions in rows", doc(lambda n: b"<p class=a>x</p><p>y</p>" * n,
                                           ["//p[@class='a'][2]/text()", "//*[@class][1]/@class"]), 2000),
    Case("column steps over n rows", doc(lambda n: b"<li x=y> aa <b>x</b></li>" * n, VALUE_QUERIES), 1000),
    Case("column steps over one long value", doc(lambda n: b"<li>" + b"a" * (64 * n) + b"</li>", VALUE_QUERIES),
         1000),
    Case("text :has() arguments in rows",
         doc(lambda n: b"<tr><th>Size</th><td>1</td></tr>" * n,
             ["//tr[th[.='Size']]//td/text()", "//th[contains(text(), 'S')]/..//td/text()"]), 1000),
    Case("following:: after n contexts", doc(lambda n: b"<label>a</label><span>a</span><div x=1>d</div>" * n,
                                             FOLLOWING_QUERIES), 1000),
    Case("text and path tests after following:: after n contexts",
         doc(lambda n: b"<label>a</label><div><p>d</p><p>e<b>x</b></p></div>" * n,
             ["//label/following::div[1]/p[b]/text()",
              "//label[contains(text(), 'a')]/following::div[1]//p[contains(., 'd')]/text()",
              "//label/following-sibling::div/p[not(b)]/text()", "//label/following::div//p[.//b]//text()"]), 1000),
    Case("following:: out of a deep nest", doc(lambda n: b"<div><label>a</label>" * n + b"</div>" * n
                                               + b"<div>x</div>" * n, FOLLOWING_QUERIES), 1000),
    Case("text tests with an n-byte literal on n text runs",
         literal(lambda n: b"<div>" + b"<b> a</b>" * n + b"</div>", LITERAL_QUERIES), 1000),
    Case("text tests with an n-byte literal on one text of 4n bytes",
         literal(lambda n: b"<div>" + b"a" * (4 * n) + b"</div>", LITERAL_QUERIES), 1000),
    Case("attribute tests with an n-byte literal on a value of 4n bytes",
         literal(lambda n: b"<div x='" + b"a" * (4 * n) + b"'></div>" * 4, ATTR_LITERAL_QUERIES), 1000),
    # The same markup in encodings that are transcoded or decoded per value.
    Case("UTF-16: b*n + stray </i>*n", doc(lambda n: ("<b>" * n + "</i>" * n).encode("utf-16")), 2000),
    Case("UTF-16: text in nested divs", doc(lambda n: (f"<div><p>{JA}" * n).encode("utf-16"), ["p::text"]), 1000),
    Case("Shift_JIS: text in nested divs",
         doc(lambda n: (f"<div><p>{JA}" * n).encode("shift_jis"), ["p::text", "div ::text"], encoding="shift_jis"),
         1000),
    Case("Shift_JIS: b*n + stray </i>*n", doc(lambda n: b"<b>" * n + b"</i>" * n, encoding="shift_jis"), 2000),
    # Query compilation.
    Case("XPath of n child steps", query(lambda n: ["/html" + "/div" * n + "/text()"]), 200, memory=False),
    Case("XPath of n descendant steps", query(lambda n: ["//div" * n + "/text()"]), 200, memory=False),
    Case("XPath of n steps with predicates", query(lambda n: ["//div[@a]" * n + "/@x"]), 200, memory=False),
    Case("XPath union of n paths", query(lambda n: [" | ".join(f"//x{i}/text()" for i in range(n))]), 100,
         memory=False),
    Case("XPath of n value predicates", query(lambda n: ["//p/text()" + "[contains(., 'x')]" * n]), 200,
         memory=False),
    Case("XPath of n path predicates", query(lambda n: ["//div[.//a[@x and contains(text(), 'y')]]" * n + "/@x"]),
         100, memory=False),
    Case("XPath of n negated text and path predicates",
         query(lambda n: ["//div[not(contains(text(), 'x')) and not(p)]/div[normalize-space()='y']" * n + "/@x"]),
         100, memory=False),
    Case("XPath of close-decided steps then n child steps",
         query(lambda n: ["//div[.//a]/div[p]" + "/div" * n + "/text()"]), 200, memory=False),
    Case("XPath grouped position then n steps", query(lambda n: ["(//div[@a])[2]" + "/p" * n + "/text()"]), 200,
         memory=False),
    Case("XPath of n nested parentheses", query(lambda n: ["(" * n + "//p/text()" + ")" * n + "[1]"]), 200,
         memory=False),
    Case("XPath spelled loosely, n steps", query(lambda n: ["//div/child::p[contains (@a, 'x')and @b]" * n]), 100,
         memory=False),
    Case("XPath of a following:: step and a path test, then n steps",
         query(lambda n: ["//a[contains(text(), 'x')]/following::b[1]//c[d]" + "/e" * n + "/text()"]), 200,
         memory=False),
    Case("XPath of a predicate path of n steps", query(lambda n: ["//div[" + "/".join(["p"] * n) + "]/@x"]), 200,
         memory=False),
    Case("count() of children over n rows of eight cells",
         doc(lambda n: b"<table>" + (b"<tr>" + b"<td>x" * 8 + b"</tr>") * n, ["//tr[count(td)=8]/td[1]/text()",
                                                                          "//table[count(tr)>1]//td[2]/text()"]),
         1000),
    Case("XPath of n `..` steps", query(lambda n: ["//div" + "/.." * n + "/@x"]), 200, memory=False),
    Case("XPath of n following:: steps", query(lambda n: ["//a" + "/following::b[1]" * n + "//c/text()"]), 200,
         memory=False),
    Case("CSS of n compounds", query(lambda n: ["div " * n + "p::text"]), 200, memory=False),
    Case("CSS comma group of n members", query(lambda n: [", ".join(f"x{i} > y::text" for i in range(n))]), 100,
         memory=False),
    Case("CSS of n nested :not()", query(lambda n: ["p" + ":not(" * n + "a" + ")" * n]), 100, memory=False),
    Case("n queries sharing a prefix", query(lambda n: [f"body > div.main ul li:nth-child(2) a.x{i}::text"
                                                        for i in range(n)]), 100, memory=False),
    Case("free extract of an n-step XPath", free_extract(lambda n: ["/html" + "/div" * n + "/text()"]), 200,
         memory=False),
    Case("Plan of an n-step XPath", plan_compile(lambda n: ["/html" + "/body" * n + "/text()"]), 200, memory=False),
    # The batch reader's gzip: a hostile .html.gz (or a WARC record's gzip body, or a WARC.gz's tail)
    # of many tiny members, zero padding between them.
    Case("gzip of n empty members, zero-padded", lambda n: partial(gunzip, (gzip.compress(b"") + b"\0" * 3) * n),
         2000),
    # The batch reader's walks and globs, over folders holding link loops.
    Case("glob d/**/*.html over n folders with loop and up links", lambda n: folders(n, "d/**/*.html"), 50),
    Case("glob d/** over n folders with loop and up links", lambda n: folders(n, "d/**"), 50),
    Case("walk of n folders with loop and up links", lambda n: folders(n, "d"), 50),
    # Corrupt gzip members in a WARC.gz: each skipped to the next record's member.
    Case("WARC.gz of n records, every other member corrupt", lambda n: warc_members(n, 2), 200),
    Case("WARC.gz of n records, every member corrupt", lambda n: warc_members(n, 1), 200),
    Case("WARC.gz with n fake member headers between two records", gzip_junk, 2000),
    # The native archive reader (src/reader/), through the private test module.
    Case("native: WARC.gz of n tiny members", lambda n: native_read(_tiny_members(n)), 2000),
    Case("native: WARC.gz of n records, every other member corrupt",
         lambda n: native_read(_tiny_members(n, corrupt_every=2)), 2000),
    Case("native: WARC header with a line of n bytes", lambda n: native_read(_long_header_line(n)), 20000),
    Case("native: HTTP header of n lines", lambda n: native_read(_long_http_header(n)), 2000),
    Case("native: chunked body of n one-byte chunks", lambda n: native_read(_many_chunks(n)), 20000),
    Case("native: n stray lines between two records", lambda n: native_read(_stray_lines(n)), 2000),
]
