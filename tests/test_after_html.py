"""Content after </html> stands in a second top-level element: CSS and relative
XPath look only inside the first one, absolute XPath everywhere, as parsel
(lxml 6) evaluates them. Also: the other documented readings of parsel's."""
import pytest

import _larkspine as ls
import larkspine
from larkspine import Page, field, group
from tests.differential import parsel_values

AFTER = "<p>a</p></html><p>b</p>"

CASES = [
    (AFTER, "p::text", ["a"]),
    (AFTER, ".//p/text()", ["a"]),
    (AFTER, "//p/text()", ["a", "b"]),
    (AFTER, "//p[last()]/text()", ["a", "b"]),
    (AFTER, "/html/p/text()", ["b"]),
    (AFTER, "p:last-child::text", ["a"]),
    (AFTER, "html:last-child p::text", []),
    (AFTER, "normalize-space(//p[2])", [""]),
    ("<div><p>a</p></html><p>b</p></div>", "p::text", ["a"]),
    ("<div><p>a</p></html><p>b</p></div>", "//p/text()", ["a", "b"]),
    ("<div><p>a</p></html><p>b</p></div>", "div:has(p) p::text", ["a"]),
    ("<p>a</p></html>b", "html::text", []),
    ("<p>a</p></html>b", "html ::text", ["a"]),
    ("<p>a</p></html>b", "//html/text()", ["b"]),
    ('<p>a</p></html><p class=x>b</p>', 'p:contains("b")::text', []),
    ('<p>a</p></html><p class=x>b</p>', '//p[contains(., "b")]/text()', ["b"]),
    ("<html><body><p>a</p></body></html>\n<p>b</p>", "p::text", ["a"]),
    ("<html><body><p>a</p></body></html>\n", "p::text", ["a"]),
    ("<p>a</p></body><p>b</p>", "p::text", ["a", "b"]),
    ("<p>a</p></body><p>b</p>", "body > p::text", ["a"]),
    ("<style></style><html><<style></style></html><", "body::text", ["<", "<"]),
    ("6<head><div><script></script></html>-", "div ::text", ["-"]),
    ("<p>a</p></html><!--c--><p>b</p>", "p::text", ["a"]),
]


AFTER_B = "<b>a</b></html><b>t:u</b>"

# Grouped positions and the string functions evaluate their path as written:
# from the document when it is absolute. A relative path's steps after a
# following:: or following-sibling:: step may leave the root element.
XPATH_CASES = [
    (AFTER_B, "(//b/text())[last()]", ["t:u"]),
    (AFTER_B, "(//b/text())[2]", ["t:u"]),
    (AFTER_B, "(//b)[2]/text()", ["t:u"]),
    ("<p>a</p></html><b>x</b><b>y</b>", "(//b)[2]/text()", ["y"]),
    (AFTER_B, "string((//b/text())[2])", ["t:u"]),
    (AFTER_B, "substring-after((//b/text())[last()], ':')", ["u"]),
    (AFTER_B, "substring-before((//b/text())[2], ':')", ["t"]),
    ("</html><b>t:u</b>", "string(//b/text())", ["t:u"]),
    ("</html><b>t:u</b>", "substring-after(//b/text(), ':')", ["u"]),
    ("<i>x</i></html><b>t:u</b>", "substring-before (//b/text(), ':')", ["t"]),
    ("<p>a</p><b>u</b></html><b>t</b>", ".//p/following::b/text()", ["u", "t"]),
    ("<p>a</p></html><b>t</b>", ".//p/following::b[1]/text()", ["t"]),
    ("<i>a</i></html><p>x</p><b>t</b>", ".//p/following::b/text()", []),
    ("<p>a</p></html><b>t</b>", "./following-sibling::*//text()", ["t"]),
    ("<p>a</p></html><b>t</b>", "./following-sibling::html/b/text()", ["t"]),
    ("<p>a</p></html><b>t</b>", "./following-sibling::*/b/text()", ["t"]),
    ("<p>a</p></html><b>t</b>", ".//following-sibling::b/text()", []),
    ("<p>a</p></html><b>t</b><b>u</b>", "./following::b/text()", ["t", "u"]),
    ("<p>a</p></html><b>t</b><b>u</b>", "./following::b[1]/text()", ["t"]),
    ("<p>a</p><b>t</b>", "./following::b/text()", []),
    ("<p>a</p></html>x<div><b>t</b></div>", "./following::*/text()", ["x", "t"]),
    ("<p>a</p></html><div><b>t</b></div>", ".//p/following::div[1]/b/text()", ["t"]),
    ("<p>a</p></html><div><b>t</b><i>u<b>v</b></i></div>", ".//p/following::div[1]/*[not(b)]/text()", ["t"]),
    ("<p>x</p></html><div><b>t</b></div>", ".//p[contains(., 'x')]/following::div[1]//b[contains(., 't')]/text()",
     ["t"]),
    # The document node is the parent of the root element.
    ("<p>a</p>", "//html/..//p/text()", ["a"]),
    ("<p>a</p>", "/html/..//p/text()", ["a"]),
    ("<p>a</p>", "//html/../html/body/p/text()", ["a"]),
    ("<p>a</p>", "//html/..//html/..//p/text()", ["a"]),
    ("<p>a</p></html><p>b</p>", "//html/..//p/text()", ["a", "b"]),
    ("<p>a</p></html><p>b</p>", "//html/parent::node()//p/text()", ["a", "b"]),
]


@pytest.mark.parametrize("html,query,expected", CASES + XPATH_CASES)
def test_queries_see_the_top_level_elements_their_kind_sees(html, query, expected):
    assert ls.extract(html, [query])[0] == expected


@pytest.mark.parametrize("html,query,expected", CASES + XPATH_CASES)
def test_parsel_gives_the_same(html, query, expected):
    parsel = pytest.importorskip("parsel")
    assert parsel_values(parsel.Selector(text=html), query) == expected


def test_groups_follow_their_container_kind():
    groups = [("p", [("t", "text()")]), ("//p", [("t", "text()")])]
    _, rows = ls.extract_grouped(AFTER, [], groups)
    assert rows == [[[["a"]]], [[["a"]], [["b"]]]]


def test_pages_and_plans_agree():
    class After(Page):
        css = field("p::text")
        xpath = field("//p/text()")
        rows = group("p", t="text()")

    page = After(AFTER.encode())
    assert (page.css, page.xpath, page.rows) == (["a"], ["a", "b"], [{"t": ["a"]}])
    plan = ls.Plan(["p::text", "//p/text()"], [], [True, True])
    assert plan.extract(AFTER) == [["a"], ["a"]]


@pytest.mark.parametrize("depth", [100, 2045, 2046, 5000])
def test_deep_nesting_is_read_whole(depth):
    doc = "<div>" * depth + "<p>x</p>"
    assert ls.extract(doc, ["p::text", "div:nth-child(1) > p::text"]) == [["x"], ["x"]]
    parsel = pytest.importorskip("parsel")
    # lxml truncates its tree from 2,046 levels on (documented).
    assert parsel.Selector(text=doc).css("p::text").getall() == (["x"] if depth < 2046 else [])


XHTML = ('<?xml version="1.0" encoding="utf-8"?>\n<html xmlns="http://www.w3.org/1999/xhtml">'
         '<head><title>T</title></head><body><p class="a">x</p></body></html>')


def test_xhtml_with_a_prolog_reads_as_html():
    assert ls.extract(XHTML, ["p::text", "//p/@class", "title::text"]) == [["x"], ["a"], ["T"]]
    parsel = pytest.importorskip("parsel")
    assert parsel.Selector(text=XHTML).css("p::text").getall() == []
    assert parsel.Selector(text=XHTML, type="html").css("p::text").getall() == ["x"]


UNDECLARED = [
    ("<p>Příliš žluťoučký kůň úpěl ďábelské ódy</p>", "cp1250"),
    ("<p>Le café à la carte est très élégant, déjà prêt à être servi.</p>", "cp1252"),
    ("<p>plain ascii</p>", "ascii"),
]


@pytest.mark.parametrize("text,codec", UNDECLARED)
def test_scrapy_reads_undeclared_pages_as_its_encoding_guess_tells_the_engine(text, codec):
    http = pytest.importorskip("scrapy.http")
    body = text.encode(codec)
    response = http.HtmlResponse("https://example.org/", body=body)
    expected = response.css("p::text").getall()
    assert larkspine.extract(body, ["p::text"], encoding=response.encoding) == [expected]
    # Without the guess the engine reads UTF-8, as the standard does.
    utf8 = body.decode("utf-8", errors="replace")
    assert larkspine.extract(body, ["p::text"]) == [[utf8[3:-4]]]
