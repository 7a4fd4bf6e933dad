"""The Plan type: construction, first-only flags and the early stop."""
import concurrent.futures

import pytest

import _larkspine as ls

DOC = b"<ul><li id=a>1</li><li id=b>2</li><li id=c>3</li></ul><p>x</p><p>y</p>"


@pytest.mark.parametrize("queries, flags, expected", [
    (["li::text", "p::text"], [True, False], [["1"], ["x", "y"]]),
    (["li::text", "p::text"], [True, True], [["1"], ["x"]]),
    (["li::text", "p::text"], [False, False], [["1", "2", "3"], ["x", "y"]]),
    (["li::attr(id)"], [True], [["a"]]),
    (["li::attr(id)"], [True, True, True], [["a"]]),              # extra flags are ignored
    (["li::attr(id)", "p::text"], [True], [["a"], ["x", "y"]]),    # missing flags are false
    # A first-only outer-HTML column holds its first element, whatever the
    # other flags (with or without the early stop).
    (["li"], [True], [["<li id=a>1</li>"]]),
    (["li, p"], [True], [["<li id=a>1</li>"]]),
    (["li", "p::text"], [True, False], [["<li id=a>1</li>"], ["x", "y"]]),
    (["li", "p::text"], [True, True], [["<li id=a>1</li>"], ["x"]]),
    (["p", "li"], [True, False], [["<p>x</p>"], ["<li id=a>1</li>", "<li id=b>2</li>", "<li id=c>3</li>"]]),
    (["p, li", "li::text"], [True, False], [["<li id=a>1</li>"], ["1", "2", "3"]]),
    (["ul", "ul > *"], [False, True], [["<ul><li id=a>1</li><li id=b>2</li><li id=c>3</li></ul>"],
                                        ["<li id=a>1</li>"]]),
    # Schemas assembled at the end ignore the flags altogether.
    (["li:last-child::text", "p::text"], [True, True], [["3"], ["x", "y"]]),
    (["ul:has(li)::attr(x)", "p::text"], [True, True], [[], ["x", "y"]]),
    (['li:contains("2")::text', "p::text"], [True, True], [["2"], ["x", "y"]]),
    (['p::text, li:contains("2")::text'], [True], [["2", "x", "y"]]),
    (["normalize-space(//li)", "p::text"], [True, True], [["1"], ["x", "y"]]),
])
def test_first_only(queries, flags, expected):
    plan = ls.Plan(queries, [], first_only=flags)
    assert plan.extract(DOC) == expected
    assert plan.extract(DOC.decode()) == expected


@pytest.mark.parametrize("doc, query, expected", [
    # Nested matches: the outer element starts first, though it closes last.
    ("<div id=a><div id=b></div></div><div id=c></div>", "div", '<div id=a><div id=b></div></div>'),
    ("<section><p>1<p>2</section>", "section, p", "<section><p>1<p>2</section>"),
    ("<p>1<p>2", "p", "<p>1"),
    ("x<b>1", "b", "<b>1"),  # closed at the end of input
])
@pytest.mark.parametrize("other", [[], ["p::text"], ["i::text"], ["div::attr(id)"]])
def test_first_only_outer_html_is_the_first_element(doc, query, expected, other):
    for flags in ([True] + [False] * len(other), [True] * (1 + len(other))):
        assert ls.Plan([query, *other], [], first_only=flags).extract(doc)[0] == [expected]


def test_first_only_with_groups_keeps_rows():
    plan = ls.Plan(["p::text"], [("li", [("t", "text()")])], first_only=[True])
    assert plan.extract_grouped(DOC) == ([["x"]], [[[["1"]], [["2"]], [["3"]]]])


def test_early_stop_reads_no_further(testing):
    head = b"<title>a</title><p id=p1>x</p>"
    doc = head + b"<title>b</title>" + b"<div>" * 1000
    columns, scanned = testing.plan_scan(doc, ["title::text", "p::attr(id)"], [True, True])
    assert columns == [["a"], ["p1"]]
    assert scanned == len(b"<title>a</title><p id=p1>")  # stops at the tag that filled the last column
    # Without the flags, or with one query unflagged, the whole document is read.
    assert testing.plan_scan(doc, ["title::text", "p::attr(id)"], [True, False])[1] == len(doc)
    assert testing.plan_scan(doc, ["title::text", "p::attr(id)"], [])[1] == len(doc)
    # Flags on a schema assembled at the end are ignored: every value, whole document.
    columns, scanned = testing.plan_scan(doc, ["title::text", "li:last-child::text"], [True, True])
    assert columns == [["a", "b"], []] and scanned == len(doc)


def test_early_stop_waits_for_outer_html(testing):
    doc = b"<div><p>1</p><p>2</p></div><div>3</div><p>4</p>"
    columns, scanned = testing.plan_scan(doc, ["div", "p::text"], [True, True])
    assert columns == [["<div><p>1</p><p>2</p></div>"], ["1"]]
    assert scanned == len(b"<div><p>1</p><p>2</p></div>")


def test_first_only_rejects_bad_flags():
    with pytest.raises(TypeError):
        ls.Plan(["a"], [], first_only=[None])
    with pytest.raises(TypeError):
        ls.Plan(["a"], [], first_only=[1.0])


def test_plan_budget_at_construction():
    with pytest.raises(ValueError, match="129 member selectors"):
        ls.Plan(["a"] * 129, [])
    with pytest.raises(ValueError, match="65 sibling-combinator"):
        ls.Plan([", ".join(["a + b"] * 13)] * 5, [])


def test_shared_plan_across_threads():
    plan = ls.Plan(["li::text", "p", "li:last-child::attr(id)", 'p:contains("y")::text'],
                   [("li", [("id", "@id")])])
    docs = [DOC * n for n in range(1, 30)]
    expected = [plan.extract_grouped(d) for d in docs]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        assert list(pool.map(plan.extract_grouped, docs * 3)) == expected * 3


def test_plan_instances_are_independent_of_their_arguments():
    queries = ["li::text"]
    plan = ls.Plan(queries, [])
    queries.append("p::text")
    assert plan.extract(DOC) == [["1", "2", "3"]]


# A plan keeps its scan buffers from one call to the next. Whatever an earlier
# document left in them (a deep stack, side-stack state of deferred queries,
# many attributes, a NUL that switched the scan to a copy, an early stop, a
# set grown past the size that is kept), the next document's answer is the
# one a fresh plan gives.
REUSE_QUERIES = [
    "p::text", "div ::text", "a::attr(href)", "li:last-child::text", "div:has(a)::attr(id)",
    'p:contains("x")::text', "//li[last()]/text()", "//dt[.='k']/following-sibling::dd/text()",
    "li:nth-child(2)::text", "b + i::text", "div > p", "normalize-space(//h1)",
]
REUSE_GROUPS = [("li", [("t", "text()"), ("a", "./a/@href")])]
PROBE = (b"<h1> A  title </h1><div id=d><p>x1</p><a href=/a>l</a><ul><li>one</li><li>two<a href=/b>b</a></li>"
         b"<li>three</li></ul><dl><dt>k</dt><dd>v</dd></dl><b>b</b><i>i</i></div>")


@pytest.mark.parametrize("first", [
    pytest.param(b"<div>" * 50_000 + b"<p>deep</p>", id="deep stack"),
    pytest.param(b"<ul>" + b"<li><a href=x>y</a>" * 20_000 + b"</ul>", id="deferred state on many elements"),
    pytest.param(b"<a " + b" ".join(b"a%d=%d" % (i, i) for i in range(30_000)) + b">t</a>", id="many attributes"),
    pytest.param(b"<p>a\x00b</p><div id=q><a href='\x00'>z</a></div>", id="NUL switches to a copy"),
    pytest.param(b"<table><td><p>cell<div><li>x", id="unclosed tree"),
    pytest.param(b"", id="empty"),
])
@pytest.mark.parametrize("flags", [None, [True] * len(REUSE_QUERIES)], ids=["all values", "first only"])
def test_reused_plan_answers_like_a_fresh_one(first, flags):
    def make():
        return ls.Plan(REUSE_QUERIES, REUSE_GROUPS, flags) if flags else ls.Plan(REUSE_QUERIES, REUSE_GROUPS)
    expected = make().extract_grouped(PROBE)
    assert expected[0][0] == ["x1"]  # the probe exercises the schema
    plan = make()
    for _ in range(2):  # the second round starts from buffers grown by the first
        plan.extract_grouped(first)
        assert plan.extract_grouped(PROBE) == expected
