"""XPath forms that scrapers write, answered as parsel answers them: value
predicates, column positions and string functions, path and negated
predicates, `..`, the explicit axes and the parser's tolerance of spacing.
Each table row is a page built for the construct and a query; the expected
column is parsel's answer, computed when parsel is installed."""
import pytest

import _larkspine as ls

parsel = pytest.importorskip("parsel")

TABLE = """<html><body>
<table>
<tr><th>Garage</th><td>2 cars</td></tr>
<tr><th>Pool <b>yes</b></th><td>none</td></tr>
<tr class=x><td><a href=/a>A</a></td></tr>
</table>
<div class=ref>Ref: 12-34</div><div class=ref>Ref: 56</div>
</body></html>"""

LABELS = """<html><body><p><span>Tipo</span> carro</p><p><span>Cor</span> azul</p>
<p><b>Ano</b>: 2020 <i>x</i></p><div><span>Tipo</span><em>y</em></div></body></html>"""

LIST = """<html><body><ul>
<li>  </li><li>one <i>i</i></li><li> two </li><li class=last><a href=/l>L</a></li>
</ul><script>var places = [1, 2];</script><script>var x = 1;</script>
<button>Add to cart</button><button>Add more</button></body></html>"""

FORMS = """<html><body><form id=f1><p>Débitos</p><input value=Entrar></form>
<form id=f2><input value=Sair></form><dl><dt>Price</dt><dd>10</dd><dt>Size</dt><dd>3</dd></dl>
<table><tr><th><a>Dean</a></th><td>Smith</td></tr><tr><th><a>Provost</a></th><td>Jones</td></tr></table>
</body></html>"""

CASES = {
    "predicate on a text or attribute node": [
        (LIST, '//script/text()[contains(., "places")]'),
        (LIST, "//li//text()[normalize-space()]"),
        (LIST, "//li/text()[normalize-space(.)]"),
        (LIST, '//a/@href[contains(., "l")]'),
        (LIST, '//li/@class[. = "last"]'),
        (LIST, '//li/text()[. = " two "]'),
        (LIST, '//li/text()[normalize-space() = "two"]'),
        (LIST, '//li/text()[starts-with(., "one")]'),
        (LIST, '//li//text()[normalize-space() and contains(., "o")]'),
        (LIST, '//script/text()[contains(., "nowhere")]'),
    ],
    "path predicates": [
        (TABLE, "//tr[.//b]//td/text()"),
        (TABLE, "//tr[td]/@class"),
        (TABLE, "//tr[./th]//text()"),
        (TABLE, "//tr[th[contains(., 'Garage')]]//td/text()"),
        (TABLE, "//tr[th[contains(text(), 'Pool')]]//td/text()"),
        (TABLE, "//tr[.//a[@href='/a']]/@class"),
        (FORMS, "//form[.//p[contains(text(),'Déb')]]//input/@value"),
        (FORMS, "//form[.//input[@value='Entrar']]/@id"),
        (FORMS, "//form[@id and .//input]/@id"),
        (FORMS, '//th[a[text()="Dean"]]/following-sibling::td/text()'),
        (LIST, "//ul[li[@class='last']]//a/text()"),
    ],
    "text test joined to attribute tests": [
        (TABLE, "//div[@class='ref' and contains(text(), '56')]/text()"),
        (LIST, '//li[@class="last" and contains(., "L")]//@href'),
        (FORMS, "//dd[contains(., '1') and not(@class)]/text()"),
    ],
    "a position with attribute tests": [
        (LIST, "//li[@class][1]//text()"),
        (LIST, "//*[@class='last'][1]/a/@href"),
        (TABLE, "//tr[not(@class)][2]/td/text()"),
        (TABLE, "//div[@class='ref'][2]/text()"),
        (TABLE, "//div[@class='ref'][position() = 1]/text()"),
        (TABLE, "//div[@class='ref'][3]/text()"),
        (LIST, "//li[2][not(@class)]//text()"),
        (LIST, "//li[4][not(@class)]//text()"),
        ("<div><p class=a>1</p><p>2</p><p class=a>3</p></div><div><p class=a>4</p></div>",
         "//p[@class='a'][2]/text()"),
        ("<div class=x><div class=x><p>in</p></div><p>out</p></div>", "//div[@class='x'][1]/p/text()"),
    ],
    "not() of an attribute test": [
        (TABLE, "//tr[not(@class)]/th/text()"),
        (TABLE, "//tr[not(@class='x')]/td/text()"),
        (LIST, "//li[not(contains(@class, 'la'))]/text()"),
        (LIST, "//li[@class or not(@class)]/text()"),
    ],
    "parent and ancestor steps": [
        (LABELS, "//span[text()='Tipo']/../text()"),
        (LABELS, "//span[contains(., 'Cor')]/..//text()"),
        (LABELS, "//b[.='Ano']/parent::p//i/text()"),
        (LABELS, "//em/..//span/text()"),
        (LABELS, "//i/..//b/text()"),
        (TABLE, "//a/ancestor::tr/@class"),
    ],
    "parenthesised paths and string functions": [
        (LIST, '(//button[contains(text(), "Add")])[1]'),
        (LIST, '(//button[contains(text(), "Add")])[last()]'),
        (LIST, "(//li/text())[2]"),
        (LIST, "(//li//text())[last()]"),
        (LIST, "(//li//text())[last() - 1]"),
        (LIST, "(//li/text())[position() = 3]"),
        (LIST, "(//li/text())[9]"),
        (LIST, "(//li/text() | //button/text())[4]"),
        (TABLE, "substring-after(//div[@class='ref']//text(), ':')"),
        (TABLE, "substring-before(//div[@class='ref']/text(), '-')"),
        (TABLE, "substring-before(substring-after(//div[@class='ref']/text(), 'Ref: '), '-')"),
        (TABLE, "substring-after(//div[@class='ref']/text(), '')"),
        (TABLE, "substring-after(//nothing/text(), 'x')"),
        (TABLE, "string(//td/text())"),
        (TABLE, "string(//nothing/@x)"),
        (TABLE, "substring-after (//td/text(), ' ')"),
    ],
    "spelling the parser tolerates": [
        (LIST, "//a[contains (@href, 'l')]/text()"),
        (LIST, '//li[@class="last"and contains(., "L")]//@href'),
        (LIST, "//li[starts-with(@class,'la')or @x]//text()"),
        (LIST, "//ul/child::li/text()"),
        (LIST, "//ul/descendant::a/text()"),
        (LIST, "//ul//descendant::a/@href"),
        (LIST, "//ul[descendant::a]//li[@class]//text()"),
        (LIST, '//script[contains(text(), "places = [")]/text()'),
        (LIST, '//script[contains(text(), "2]")]/text()'),
    ],
}

ROWS = [(g, page, q) for g, rows in CASES.items() for page, q in rows]


@pytest.mark.parametrize("group, page, query", ROWS, ids=[f"{g}:{q}" for g, _, q in ROWS])
def test_answers_as_parsel_does(group, page, query):
    from tests import differential

    differential.assert_as_parsel(page, query)


CSS_CASES = [
    (LIST, "li::Text"),
    (LIST, "li ::TEXT"),
    (LIST, "a::Attr(href)"),
]


@pytest.mark.parametrize("page, query", CSS_CASES)
def test_value_suffixes_ignore_case_as_cssselect_does(page, query):
    assert ls.extract(page.encode(), [query])[0] == parsel.Selector(text=page).css(query).getall()


# Still unsupported: the audit names the construct.
UNSUPPORTED = [
    ("//p/text()[1]", "positional predicate"),
    ("//div[@class='x' or @id][1]", "positional predicate"),
    ("(//a)[last()]/b", "positional predicate"),
    ("(//a/b)[1]/c", "positional predicate"),
    ("//label/following::div[2]", "this `following::` form is unsupported"),
    ("//p/self::p", "unsupported XPath axis"),
    ("//tr[th[.='x']]/td[last()]/text()", "the path compiles, but its steps decided when an element closes"),
    ("//tr[td//a]", "outside the supported downward-XPath subset"),
    ('//tr[th[a[text()="x"]]]//td/text()', "this text-content predicate form is unsupported"),
    ("//a[not(b//c)]", "this XPath function or placement is unsupported"),
    ("string(//a)", "this XPath function or placement is unsupported"),
    ("//p[normalize-space()=' x']", "this text-content predicate form is unsupported"),
    ("//p[contains(text(), 'a') and contains(text(), 'b')]", "this text-content predicate form is unsupported"),
    ("//p[contains(text(), 'a') or @x]", "this text-content predicate form is unsupported"),
]


@pytest.mark.parametrize("query, reason", UNSUPPORTED)
def test_what_is_left_is_explained(query, reason):
    (ok, why), = ls.audit_schema([query], [])[0]
    assert not ok and why.startswith(reason)
    assert ls.extract(b"<p>x</p>", [query]) == [[]]


def test_column_steps_are_refused_in_groups():
    flat, groups, _ = ls.audit_schema([], [("li", [("t", ".//b/text()[normalize-space()]")]),
                                            ("(//li)[1]", [("t", "text()")])])
    assert groups[0][1][0][0] is False and "unsupported in a group" in groups[0][1][0][1]
    assert groups[1][0][0] is False and "unsupported in a group" in groups[1][0][1]


def test_first_only_never_drops_the_value_a_step_keeps():
    # Dropping values as they stream would leave a filter or a position
    # nothing (or the wrong value) to keep.
    page = b"<ul><li> </li><li>a</li><li>b</li></ul>"
    plan = ls.Plan(["//li/text()[normalize-space()]", "(//li/text())[last()]", "//li/text()"], [],
                   first_only=[True, True, True])
    assert [col[:1] for col in plan.extract(page)] == [["a"], ["b"], [" "]]


CORPUS_QUERIES = [
    "//p//text()[normalize-space()]",
    "//a/@href[starts-with(., 'http')]",
    "(//a/@href)[3]",
    "(//p//text())[last()]",
    "//div[.//a]/@class",
    "//li[a]/@class",
    "//a/../@class",
    "//div[not(@class)]/@id",
    "//p[.//a[contains(text(), 'e')]]/@class",
    "string(//title/text())",
    "substring-after(//meta[@property='og:title']/@content, ' ')",
    "//ul/child::li/descendant::a/@href",
]


def test_corpus_pages_agree(shared_dir):
    """The constructs above on real article pages, where parsel finds something."""
    from tests import differential

    pages = differential.pages(40)
    if not pages:
        pytest.skip("no corpus pages")
    flat, _, _ = ls.audit_schema(CORPUS_QUERIES, [])
    assert all(ok for ok, _ in flat)
    compared = 0
    for name, text in pages:
        sel = parsel.Selector(text=text)
        ours = ls.extract(text.encode(), CORPUS_QUERIES)
        for q, col in zip(CORPUS_QUERIES, ours):
            theirs = sel.xpath(q).getall()
            if theirs and theirs != [""]:
                compared += 1
                assert col == theirs, (name, q)
    assert compared > len(pages)
