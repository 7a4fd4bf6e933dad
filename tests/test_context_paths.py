"""Paths from the context at the top level, answered as parsel answers them.
parsel's root selector stands on the document's root element, so `.` is the
`html` element, `./x` its children (usually none: the parser puts content in
`head` and `body`), `./@a` its attributes and `.//text()` its text;
`//text()` is every text node of the document. Pages include comments, a
doctype and text outside `html`."""
import pytest

import _larkspine as ls

parsel = pytest.importorskip("parsel")

PLAIN = ('<html lang="en" data-target="#main"><head><title>T</title></head>'
         '<body><p>a</p><p>b <b>c</b></p></body></html>')

OUTSIDE = ('<!DOCTYPE html>\n<!-- before --><html data-target="#x"><head><title>T</title></head>'
           '<body><p>a</p><td>cell</td><span>s</span></body></html>\n<!-- after -->')

NO_HTML = "lead text<p>x <i>y</i></p><table><tr><td>1</td><td><a href=/h>2</a></td></tr></table>"

AFTER = "<html><body><p>in</p></body></html>\n<p>late</p> tail"

PAGES = {"plain": PLAIN, "outside": OUTSIDE, "no html": NO_HTML, "after": AFTER}

QUERIES = [
    "./@data-target",
    "./@lang",
    "./text()",
    ".//text()",
    "//text()",
    "./body/p/text()",
    "./head/title/text()",
    "./body//b/text()",
    "./td[1]",
    "./span",
    "./td[2]/a/@href",
    "./body/p[2]//text()",
    "./*/@data-target",
    ".//@href",
    "normalize-space(./body/p[2])",
    "(./body/p/text())[last()]",
    "./body/p | ./head/title",
    "./following-sibling::p/text()",
    "./following-sibling::body",
]


@pytest.mark.parametrize("page", PAGES, ids=list(PAGES))
@pytest.mark.parametrize("query", QUERIES)
def test_answers_as_parsel_does(page, query):
    html = PAGES[page]
    got = parsel.Selector(text=html).xpath(query)
    expected = [got.get()] if query.startswith("normalize-space(") else got.getall()
    assert ls.audit_schema([query], [])[0][0] == (True, None)
    assert ls.extract(html.encode(), [query])[0] == expected


@pytest.mark.parametrize("page", ["plain"])
def test_the_context_itself(page):
    html = PAGES[page]
    assert ls.extract(html.encode(), ["."]) == [parsel.Selector(text=html).xpath(".").getall()]


def test_a_dot_alone_is_xpath_and_a_class_is_css():
    assert ls.selector_terminals([".", ".x", "./@a", ".//text()"]) == ["outer", "outer", "attr", "text"]
    assert ls.extract(b'<html class="x"><p class="x">p</p></html>', [".x::text"]) == [["p"]]


def test_grouped_sub_fields_keep_their_own_context():
    """The same relative forms inside a group are relative to each container."""
    html = "<ul><li class=a>1<b>x</b></li><li class=b>2</li></ul>"
    fields = [("self", "./@class"), ("b", "./b/text()"), ("all", ".//text()")]
    _, grouped = ls.extract_grouped(html.encode(), [], [("li", fields)])
    rows = parsel.Selector(text=html).css("li")
    assert grouped == [[[r.xpath(q).getall() for _, q in fields] for r in rows]]


CORPUS_QUERIES = ["./@lang", "./head/title/text()", "./body/@class", ".//title/text()", "./head/meta[1]/@charset",
                  "./body/div[1]/@class", "(./head/link/@href)[2]"]


def test_corpus_pages_agree(shared_dir):
    from tests import differential

    if not differential.assert_corpus_agrees(CORPUS_QUERIES):
        pytest.skip("no corpus pages")


def test_following_from_the_context_leaves_it():
    # From the root element it reaches content after </html> only (as parsel:
    # tests/test_after_html.py); from a container it would leave the row.
    page = b"<p>a</p></html><p>b</p>"
    assert ls.extract(page, ["./following::p[1]/text()", "./following::p/text()"]) == [["b"], ["b"]]
    assert ls.extract(b"<p>a</p><p>b</p>", ["./following::p/text()"]) == [[]]
    _, groups, _ = ls.audit_schema([], [("div", [("x", "./following::p[1]/text()")])])
    assert groups[0][1][0][0] is False
