"""Close-time decisions: reverse positions, :has(), text predicates, tails,
gated siblings and merged comma groups."""
import pytest

import _larkspine as ls


def one(html, query):
    return ls.extract(html, [query])[0]


CASES = {
    "reverse positions": [
        ("<ul><li>1</li><li>2</li><li>3</li></ul>", "li:last-child::text", ["3"]),
        ("<ul><li>1<li>2<li>3", "li:last-child::text", ["3"]),          # closed by the end of input
        ("<ul><li>1</li><li>2</li></ul>tail", "li:last-child::text", ["2"]),
        ("<ul><li>1</li><li>2</li><p>x</p></ul>", "li:last-child::text", []),
        ("<ul><li>1</li><li>2</li>text</ul>", "li:last-child::text", ["2"]),
        ("<ul><li>1</li><li>2</li><p>x</p></ul>", "li:last-of-type::text", ["2"]),
        ("<ul><li>1</li></ul><ul><li>2</li><li>3</li></ul>", "li:only-child::text", ["1"]),
        ("<div><p>1</p><i>x</i></div>", "p:only-of-type::text", ["1"]),
        ("<ul><li>1<li>2<li>3<li>4</ul>", "li:nth-last-child(2)::text", ["3"]),
        ("<ul><li>1<li>2<li>3<li>4</ul>", "li:nth-last-child(2n)::text", ["1", "3"]),
        ("<ul><li>1<li>2<li>3<li>4</ul>", "//li[last()-1]/text()", ["3"]),
        ("<ul><li>1<li>2<li>3</ul>", "//li[last()]/text()", ["3"]),
        ("<ul><li>a<b>1</b><li>b<b>2</b></ul>", "li:last-child ::text", ["b", "2"]),
        ("<ul><li>a<b>1</b><li>b<b>2</b></ul>", "li:last-child b::text", ["2"]),
        ("<ul><li>a<b>1</b><li>b<b>2</b></ul>", "li:last-child > b::text", ["2"]),
        ("<ul><li><a href=1>x</a><li><a href=2>y</a><a href=3>z</a></ul>", "li:last-child a::attr(href)", ["2", "3"]),
        ("<ul><li id=a>1<li id=b>2</ul>", "li:last-child::attr(id)", ["b"]),
        ("<ul><li>1<li><a>2</a></ul>", "li:last-child a", ["<a>2</a>"]),
        ("<p>1</p><p>2</p>", "p:last-child::text", ["2"]),      # children of the body
        ("<ul><li>1</ul><ul><li>2<li>3</ul>", "ul:last-child li::text", ["2", "3"]),
        ("<ul><li>1<li>2</ul>", "li:nth-last-child(2) ~ li::text", []),
        ("<ul><li>1<li>2</ul>", "li:last-child", []),
        ("<ul><li>1<li>2</ul>", "*:last-of-type::text", []),
    ],
    ":has()": [
        ("<div id=1><p><a>x</a></p></div><div id=2></div>", "div:has(a)::attr(id)", ["1"]),
        ("<div id=1><p><a>x</a></p></div>", "div:has(> a)::attr(id)", []),
        ("<div id=1><a>x</a></div>", "div:has(> a)::attr(id)", ["1"]),
        ("<div id=o><div id=i><a>x</a></div></div>", "div:has(a)::attr(id)", ["o", "i"]),
        ("<div id=1><img><a>x</a></div><div id=2><img></div>", "div:has(a, img)::attr(id)", ["1", "2"]),
        ("<div id=1><b class=k>x</b></div><div id=2><b>y</b></div>", "div:has(b.k) ::text", ["x"]),
        ("<div><a>1</a></div><div><b>2</b></div>", "div:has(a)", ["<div><a>1</a></div>"]),
        ("<section><div><a>1</a></div><div><b>2</b></div></section>", "div:has(a) a::text", ["1"]),
        ("<div><a>1</a>t</div>", "div:has(a)::text", ["t"]),
        ("<div><a>1</a></div>", "div:has(div)::text", []),
        ("<p><img src=x></p><p>no</p>", "//img/parent::p", ["<p><img src=x></p>"]),
        ("<div id=d><p><img></p></div>", "//img/ancestor::div/@id", ["d"]),
        ("<div><p>a</p></div>", "div:has(p) > p::text", ["a"]),
    ],
    "text predicates": [
        ('<p>a<i></i>b</p>', 'p:contains("ab")::text', ["a", "b"]),
        ('<p>a<i></i>b</p>', '//p[text()="ab"]/text()', []),
        ('<p><b>x</b></p><p>y</p>', 'p:contains("x") ::text', ["x"]),
        ('<p><b>x</b></p>', '//p[text()="x"]', []),
        ('<p>x</p><p>y</p><p>xx</p>', '//p[text()="x"]/text()', ["x"]),
        ('<dt>Price</dt><dd>1</dd><dt>Size</dt><dd>2</dd>', '//dt[.="Price"]/text()', ["Price"]),
        ('<dt>Pri<b>ce</b></dt>', '//dt[.="Price"]', ["<dt>Pri<b>ce</b></dt>"]),
        ('<dt>Pri<b>ce</b>!</dt>', '//dt[.="Price"]', []),
        ('<p>ab</p><p>b<i>a</i></p>', '//p[contains(text(), "b")]/text()', ["ab", "b"]),
        ('<p><i>a</i>b</p>', '//p[contains(text(), "b")]/text()', ["b"]),
        ('<p>a<i>x</i>b</p>', '//p[contains(text(), "b")]/text()', []),       # only the first own text node
        ('<p>x &amp; y</p>', 'p:contains("x & y")::text', ["x & y"]),
        ('<div>Price: <b>10</b></div>', 'div:contains("Price") b::text', ["10"]),
        ('<p class=a>x</p><p>x</p>', 'p:contains("x")::attr(class)', ["a"]),
        # An empty needle is contained in every text, also in no text at all.
        ('<p>a</p><p></p>', 'p:contains("")::text', ["a"]),
        ('<p>a</p><p></p>', '//p[contains(., "")]', ["<p>a</p>", "<p></p>"]),
        ('<p>a</p><p></p>', '//p[.=""]', ["<p></p>"]),
        ('<p>a</p><p></p>', '//p[contains(text(), "")]', ["<p>a</p>", "<p></p>"]),
    ],
    "gated siblings": [
        ('<dl><dt>Price</dt><dd>1</dd><dt>Size</dt><dd>2</dd></dl>', 'dt:contains("Price") + dd::text', ["1"]),
        ('<dl><dt>Price</dt><dd>1</dd><dd>2</dd></dl>', 'dt:contains("Price") ~ dd::text', ["1", "2"]),
        ('<dl><dt>Price</dt><x></x><dd>1</dd></dl>', 'dt:contains("Price") + dd::text', []),
        ('<dl><dt>Size</dt><dd>1</dd></dl>', 'dt:contains("Price") + dd::text', []),
        ('<h2><a>x</a></h2><p>1</p><h2>y</h2><p>2</p>', 'h2:has(a) + p::text', ["1"]),
        ('<dl><dt>Price</dt><dd>1</dd></dl>', '//dt[.="Price"]/following-sibling::dd/text()', ["1"]),
    ],
    "merged comma groups": [
        ('<h2>a</h2><p>x</p><p>y</p><h2>b</h2>', 'h2::text, p:contains("x")::text', ["a", "x", "b"]),
        ('<h2>a</h2><p>x</p>', 'h2::text, p:contains("x")::attr(id)', []),
        ('<h2 id=1>a</h2><p id=2>x</p>', 'h2::attr(id), p:contains("x")::attr(ID)', ["1", "2"]),
        ('<p>x</p>', 'p::text, p:contains("x")::text', ["x"]),               # reported twice, kept once
        ('<h2>a</h2><p>x</p>', 'h2::text, p:contains("x") ::text', []),
        ('<h2>a</h2><p>x</p>', 'h2::text, p:has(b)::text', []),
        ('<h2>a</h2><p>x</p>', 'h2::text, li:last-child::text', []),
        ('<p>x</p><h2>a</h2>', '//h2/text() | //p[.="x"]/text()', ["x", "a"]),
    ],
}


@pytest.mark.parametrize("html, query, expected", [c for g in CASES.values() for c in g],
                         ids=[f"{g}:{c[1]!r}:{i}" for g, group in CASES.items() for i, c in enumerate(group)])
def test_deferred(html, query, expected):
    assert one(html, query) == expected


def test_shared_tail_serves_every_member():
    html = "<div><a>1</a><b>x</b><i>y</i></div><div><b>z</b></div>"
    assert ls.extract(html, ["div:has(a) b::text", "div:has(a) i::text", "b::text"]) == [["x"], ["y"], ["x", "z"]]


def test_nested_tail_ranges_run_once():
    html = "<div><a>1</a><div><a>2</a><b>in</b></div><b>out</b></div>"
    assert one(html, "div:has(a) b::text") == ["in", "out"]


def test_values_come_back_in_document_order():
    html = "<ul><li id=1>a</li><li id=2>b</li></ul><ul><li id=3>c</li></ul>"
    assert one(html, "li:last-child::attr(id)") == ["2", "3"]
    html = "<div><a>1</a><div><a>2</a></div></div>"
    assert one(html, "div:has(a)") == ["<div><a>1</a><div><a>2</a></div></div>", "<div><a>2</a></div>"]


def test_deferred_queries_in_groups_are_refused():
    html = "<ul><li>1</li><li>2</li></ul>"
    assert ls.extract_grouped(html, [], [("li:last-child", [("t", "text()")])]) == ([], [[]])
    assert ls.extract_grouped(html, [], [("ul", [("t", "li:last-child::text")])]) == ([], [[[[]]]])
