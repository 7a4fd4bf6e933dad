"""Text tests in element predicates as scrapers write them:
`[normalize-space(text())]`, `[normalize-space()]`, `not()` of a text test,
`normalize-space(text())` compared or searched, and a string literal as a
predicate. Each row is a page built for the construct and a query; the
expected column is parsel's answer."""
import pytest

import _larkspine as ls

parsel = pytest.importorskip("parsel")

ARTICLE = """<html><body><div class=body>
<p>First paragraph.</p>
<p>   </p>
<p><b>bold first</b> then text</p>
<p>
<i>x</i></p>
<p>Featured Article: skip me</p>
<p>keep <a href=/a>me</a></p>
<p></p>
<pre>  code  </pre>
<span> Products </span><span>other</span>
</div></body></html>"""

LINKS = """<html><body>
<a href=/1>  Veja mais   informações aqui </a>
<a href=/2>Veja</a>
<div class=x><img src=a.png></div><div class=x>text</div>
<span>E-mail e/ou
 senha incorretos</span><span>ok</span>
</body></html>"""

NESTS = """<html><body><div id=o>  a <div id=i> b <span id=s>c</span>
</div></div><div id=p>a<div id=q>b</div>c</div><div id=r>b</div></body></html>"""

# Literals that overlap themselves, cross text runs and nested candidates:
# the streamed search must see every occurrence, wherever it starts.
SEARCH = """<html><body><div id=a>aa<b>a</b>ab</div><div id=b>abab<i>ac</i></div>
<div id=c> x  <div id=d>abc</div></div><div id=e>ab<u>c</u></div><div id=f>aab</div>
<p id=g class="aaab x">aab <b>c</b></p><p id=h>  ab  ab  </p></body></html>"""

CASES = {
    "searched text": [
        (SEARCH, "//div[contains(., 'aaaab')]/@id"),
        (SEARCH, "//div[contains(., 'abac')]/@id"),
        (SEARCH, "//div[contains(., 'aab')]/@id"),
        (SEARCH, "//div[.='abc']/@id"),
        (SEARCH, "//div[.='aab']/@id"),
        (SEARCH, "//*[normalize-space()='x abc']/@id"),
        (SEARCH, "//*[normalize-space()='abc']/@id"),
        (SEARCH, "//*[normalize-space()='ab ab']/@id"),
        (SEARCH, "//*[contains(normalize-space(), 'b ab')]/@id"),
        (SEARCH, "//p[contains(text(), 'aab')]/@id"),
        (SEARCH, "//p[contains(@class, 'aab')]/@id"),
        (SEARCH, "//p[contains(@class, 'aaaab')]/@id"),
        (SEARCH, "//*[contains(., 'aab c')]/@id"),
    ],
    "normalize-space of the first text node": [
        (ARTICLE, "//div[@class='body']/p[normalize-space(text())]//text()"),
        (ARTICLE, "//div[@class='body']//*[normalize-space(text())]/text()"),
        (ARTICLE, "//p[normalize-space(text())]/@class"),
        (ARTICLE, "//span[normalize-space(text())='Products']/text()"),
        (ARTICLE, "//span[contains(normalize-space(text()), 'Prod')]/text()"),
        (LINKS, "//a[normalize-space(text())='Veja mais informações aqui']/@href"),
    ],
    "normalize-space of the whole text": [
        (ARTICLE, "//p[normalize-space()]//text()"),
        (LINKS, "//a[normalize-space()='Veja mais informações aqui']/text()"),
        (LINKS, "//span[contains(normalize-space(),'E-mail e/ou senha incorretos')]/text()"),
        (LINKS, "//*[normalize-space(.)='Veja']/@href"),
        (ARTICLE, "//p[normalize-space()='bold first then text']/b/text()"),
        (ARTICLE, "//div[contains(normalize-space(), 'two lines')]/@class"),
        (NESTS, "//div[normalize-space()='a b c']/@id"),
        (NESTS, "//div[contains(normalize-space(), 'b c')]/@id"),
        (NESTS, "//*[normalize-space()='b']/@id"),
        (ARTICLE, "//p[normalize-space(.)]/b/text()"),
        (LINKS, "//div[normalize-space()]/text()"),
    ],
    "not() of a text test": [
        (ARTICLE, "//div[@class='body']/p[not(contains(text(), 'Featured Article: '))]/text()"),
        (ARTICLE, "//p[not(contains(., 'me'))]//text()"),
        (ARTICLE, "//p[not(text()='   ')]//text()"),
        (ARTICLE, "//p[not(normalize-space(text()))]"),
        (ARTICLE, "//*[not(.='other')]/text()"),
        (LINKS, "//span[not(contains(text(), 'senha'))]/text()"),
    ],
    "with attribute tests, in path predicates, before steps": [
        (ARTICLE, "//div[p[not(contains(text(), 'Featured'))]]/@class"),
        (ARTICLE, "//div[.//span[normalize-space(text())='Products']]/pre/text()"),
        (ARTICLE, "//p[normalize-space(text())]/a/@href"),
        (ARTICLE, "//div[@class='body' and normalize-space()]/span/text()"),
        (LINKS, "//div[@class='x' and not(contains(., 'text'))]/img/@src"),
    ],
    "a string as a predicate": [
        (LINKS, "//div[@class='x']['text()']/@class"),
        (LINKS, "//div['text()']/img/@src"),
    ],
}

ROWS = [(g, page, q) for g, rows in CASES.items() for page, q in rows]


@pytest.mark.parametrize("group, page, query", ROWS, ids=[f"{g}:{q}" for g, _, q in ROWS])
def test_answers_as_parsel_does(group, page, query):
    from tests import differential

    differential.assert_as_parsel(page, query)


@pytest.mark.parametrize("query, dumped", [
    ("//p[normalize-space(text())]", ":text(own,nonblank,"),
    ("//p[normalize-space()]", ":text(all,nonblank,"),
    ("//p[not(contains(text(), 'a'))]", ':text(not,own,contains,"a")'),
    ("//p[normalize-space(text())='a']", ':text(own,normalized,equals,"a")'),
    ("//p[contains(normalize-space(text()), 'a')]", ':text(own,normalized,contains,"a")'),
    ("//p[normalize-space()='a b']", ':text(all,normalized,equals,"a b")'),
])
def test_the_model_names_each_form(testing, query, dumped):
    assert any(dumped in d for d in testing.compile("query", query))


STILL_UNSUPPORTED = [
    "//p[normalize-space()=' x']",
    "//p[contains(normalize-space(), 'x ')]",
    "//p[not(not(contains(text(), 'x')))]",
    "//p[normalize-space(text()) and contains(text(), 'x')]",
]


@pytest.mark.parametrize("query", STILL_UNSUPPORTED)
def test_what_is_left_is_explained(query):
    (ok, why), = ls.audit_schema([query], [])[0]
    assert not ok and why.startswith("this text-content predicate form is unsupported")
    assert ls.extract(b"<p>x</p>", [query]) == [[]]


CORPUS_QUERIES = [
    "//p[normalize-space(text())]/text()",
    "//div[normalize-space()]/@class",
    "//li[not(contains(., 'a'))]//text()",
    "//a[normalize-space(text())='Home']/@href",
    "//p[not(normalize-space(text()))]/a/@href",
    "//*[normalize-space(text())]/@id",
]


def test_corpus_pages_agree(shared_dir):
    """The constructs above on real article pages, where parsel finds something."""
    from tests import differential

    if not differential.assert_corpus_agrees(CORPUS_QUERIES, skip_blank=True):
        pytest.skip("no corpus pages")
