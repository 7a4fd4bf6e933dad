"""A position of a parenthesised one-step path followed by more steps:
`(//div[@class='section-content'])[11]/tabs-card/.../span/text()`, the N-th
element of the document that the step selects, then the steps below it;
also inside another parenthesised position. Each row is a page built for
the construct and a query; the expected column is parsel's answer."""
import pytest

import _larkspine as ls

parsel = pytest.importorskip("parsel")

SECTIONS = """<html><body>
<div class=section-content><card><span>one</span></card></div>
<div class=wrap><div class=section-content><card><span>two</span><span>2b</span></card>
  <div class=section-content><card><span>three</span></card></div></div></div>
<div class=section-content><p>no card</p></div>
<div class=section-content><card><ul><li>a</li><li>b</li><li>c</li></ul></card></div>
<div class='w_AM expand-collapse-content'><div><p><span>first</span><span>second</span></p></div></div>
<div class='w_AM expand-collapse-content'><div><p><span>third</span></p><p><span>fourth</span></p></div></div>
</body></html>"""

CASES = [
    (SECTIONS, "(//div[@class='section-content'])[1]/card/span/text()"),
    (SECTIONS, "(//div[@class='section-content'])[2]/card/span/text()"),
    (SECTIONS, "(//div[@class='section-content'])[3]/card/span/text()"),
    (SECTIONS, "(//div[@class='section-content'])[4]/card/span/text()"),
    (SECTIONS, "(//div[@class='section-content'])[5]/card/ul/li[2]/text()"),
    (SECTIONS, "(//div[@class='section-content'])[9]/card/span/text()"),
    (SECTIONS, "(//div[@class='section-content'])[2]//span/text()"),
    (SECTIONS, "(//div[@class='section-content'])[position() = 2]/card/span[2]/text()"),
    (SECTIONS, "(//div)[2]/div/card/span/text()"),
    (SECTIONS, "(//span)[3]/text()"),
    (SECTIONS, "(//div[contains(@class, 'section')])[2]/card/span[1]"),
    (SECTIONS, "((//div[@class='w_AM expand-collapse-content'])[2]/div/p/span/text())[1]"),
    (SECTIONS, "((//div[@class='w_AM expand-collapse-content'])[1]/div/p/span/text())[last()]"),
    (SECTIONS, "(//div[@class='section-content'])[2]/card[span]/span/text()"),
    (SECTIONS, "(//div[@class='section-content'])[1]/card/span/text() | (//li)[1]/text()"),
]


@pytest.mark.parametrize("page, query", CASES)
def test_answers_as_parsel_does(page, query):
    from tests import differential

    differential.assert_as_parsel(page, query)


def test_the_count_is_the_documents_not_the_siblings():
    # The second matching div is nested in the first: siblings would count
    # it first, the document counts it second.
    page = "<div class=a><div class=a><b>inner</b></div><b>outer</b></div><div class=a><b>last</b></div>"
    for n in (1, 2, 3):
        q = f"(//div[@class='a'])[{n}]/b/text()"
        assert ls.extract(page.encode(), [q])[0] == parsel.Selector(text=page).xpath(q).getall(), q


def test_first_only_stops_at_the_nth():
    plan = ls.Plan(["(//div[@class='section-content'])[2]/card/span/text()"], [], first_only=[True])
    assert plan.extract(SECTIONS.encode()) == [["two"]]


STILL_UNSUPPORTED = [
    "(//div/p)[2]/b",            # more than one step in the parentheses
    "(//div)[last()]/b",         # a position from the end
    "(//div[p])[2]/b",           # a step decided when the element closes
    "(.//div)[2]/b",             # relative
    "(//div)[2][@a]/b",          # a second predicate
]


@pytest.mark.parametrize("query", STILL_UNSUPPORTED)
def test_what_is_left_is_explained(query):
    (ok, why), = ls.audit_schema([query], [])[0]
    assert not ok and why.startswith("positional predicate")
    assert ls.extract(b"<div><p><b>x</b></p></div>", [query]) == [[]]


CORPUS_QUERIES = [
    "(//div)[3]/p/text()",
    "(//ul)[1]/li/a/@href",
    "(//p)[2]//text()",
    "(//a[@href])[5]/@href",
    "((//ul)[2]/li//text())[1]",
]


def test_corpus_pages_agree(shared_dir):
    """The construct on real article pages, where parsel finds something."""
    from tests import differential

    if not differential.assert_corpus_agrees(CORPUS_QUERIES, skip_blank=True):
        pytest.skip("no corpus pages")
