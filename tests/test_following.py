"""The `following::` axis, answered as parsel (lxml) answers it: every element
that starts after a context element has ended, in document order and once;
`following::E[1]` the first such E after each context. Pages are built for
the construct: nested contexts, contexts whose first following element
coincides, contexts decided at their close (a text or path test), a context
the end of the document closes, and steps and values after the axis."""
import pytest

import _larkspine as ls

parsel = pytest.importorskip("parsel")

FORM = """<html><body>
<label for=nome>Nome</label><div>Ana</div><div>extra</div>
<label for=cor>Cor</label><p>text <div class="v">azul</div></p>
<label for=ano>Ano</label><label for=mes>Mes</label><div class="v">2020<span>!</span></div>
<div><label for=in>In</label></div><div class="v"><a href=/a>1</a><a href=/b>2</a></div>
</body></html>"""

NESTED = """<html><body>
<div class=c><div class=c><span>in</span></div><span>mid</span></div><span>after</span>
<section><span>s1</span></section><div class=c>x</div>
</body></html>"""

SPANS = """<html><body><p><span>Nome:</span> <span>Nome: Ana</span><span>z</span></p>
<p><span>Cidade: <span>inner</span></span><span>Lisboa</span></p>
<p><b>Fax:</b></p><span>no <i>x</i></span>
</body></html>"""

TABLES = """<html><body>
<h3>Resumo das Multas</h3><div><table id=t1><tr class=head><th>h</th></tr>
<tr><td>1</td><td>a</td></tr><tr class=total><td>9</td></tr>
<tr><td><table id=inner><tr><td>nested</td></tr></table></td></tr></table></div>
<h3>Outro</h3><table id=t2><tr><td>2</td></tr></table>
<table id=t3><tr><td><span>Dados do Veiculo</span></td></tr></table>
<table id=t4><tr><td>v1</td></tr><tr><td>v2</td></tr></table>
<h3>Resumo final</h3>
</body></html>"""

UNCLOSED = """<html><body><div><h2>Open<p>one</p><p>two</p>"""

CHAIN = """<html><body><h1>T</h1><p>a</p><h2>S</h2><p>b</p><p>c</p><h2>R</h2><div><p>d</p></div></body></html>"""

CASES = {
    "a context decided at its start": [
        (FORM, "//label[@for='nome']/following::div[1]/text()"),
        (FORM, "//label[@for='cor']/following::div[1]/text()"),
        (FORM, "//label/following::div[1]/text()"),
        (FORM, "//label/following::div[@class='v'][1]//text()"),
        (FORM, "//label[@for='in']/following::div[1]//a/@href"),
        (FORM, "//label[@for='ano']/following::div[1]"),
        (FORM, "//label[@for='ano']/following::span[1]/text()"),
        (FORM, "//label/following::*[1]/@class"),
    ],
    "every later element": [
        (FORM, "//label[@for='cor']/following::div/text()"),
        (FORM, "//label/following::a/@href"),
        (NESTED, "//section/following::div//text()"),
        (NESTED, "//div[@class='c']/following::span/text()"),
    ],
    "nested and coinciding contexts": [
        (NESTED, "//div[@class='c']/following::span[1]/text()"),
        (NESTED, "//div/following::span[1]/text()"),
        (NESTED, "//span/following::span[1]/text()"),
        (NESTED, "//*[@class='c']/following::*[1]"),
    ],
    "a context decided at its close": [
        (SPANS, "//span[contains(text(),'Nome:')]/following::span[1]/text()"),
        (SPANS, "//span[contains(text(),'Cidade:')]/following::span[1]/text()"),
        (SPANS, "//span[contains(., 'inner')]/following::span[1]/text()"),
        (SPANS, "//b[text()='Fax:']/following::span[1]//text()"),
        (SPANS, "//p[.//b]/following::span/text()"),
        (TABLES, "//h3[contains(text(),'Resumo')]/following::table[1]//tr/td/text()"),
        (TABLES, "//h3[contains(text(),'Resumo')]/following::table[1]//tr[@class]/@class"),
        (TABLES, "//h3[contains(text(),'Outro')]/following::table[1]/@id"),
        (TABLES, "//table[.//span[text()='Dados do Veiculo']]/following::table[1]//td/text()"),
    ],
    "the end of the document closes the context": [
        (UNCLOSED, "//h2/following::p[1]/text()"),
        (UNCLOSED, "//h2/following::p/text()"),
        (UNCLOSED, "//div/following::p/text()"),
        (UNCLOSED, "//p/following::p[1]/text()"),
    ],
    "steps after the axis": [
        (CHAIN, "//h1/following::h2[1]/following::p[1]/text()"),
        (CHAIN, "//h2/following::p[1]/following::p[1]/text()"),
        (CHAIN, "//h2/following::div[1]/p/text()"),
        (CHAIN, "//h1/following::*[1]/text()"),
        (CHAIN, "/html/body/h2/following::p/text()"),
        (CHAIN, ".//h2/following::p[1]/text()"),
    ],
}

# Sections of rows after a heading: the tables after each heading, with rows
# to keep and rows to drop by a path or text test decided at their close.
DEBTS = """<html><body><h3>Débitos de IPVA</h3><p>x</p>
<table><tr><th>h</th></tr><tr><td>a</td></tr><tr class=total><td>t</td></tr>
<tr><td>b<table><tr><td>in</td></tr></table></td></tr></table>
<table><tr><td>second</td></tr></table>
<legend>Divida Ativa</legend><div><table><thead><tr><td>th</td></tr></thead>
<tbody><tr><td>c</td></tr><tr><th>no</th></tr></tbody></table></div>
<h3>Outros</h3><table><tr><td>o<b>bold</b></td></tr><tr><td>p</td></tr></table></body></html>"""

CASES["a text or path test after the axis"] = [
    (DEBTS, "//h3[contains(text(),'IPVA')]/following::table[1]//tr[not(./th) and not(@class='total')]"),
    (DEBTS, "//h3[contains(text(),'IPVA')]/following::table[1]//tr[not(./th)]/td/text()"),
    (DEBTS, "//legend[contains(text(),'Divida')]/following::table[1]//tbody/tr[./td]"),
    (DEBTS, "//legend[contains(text(),'Divida')]/following::table[1]//tbody/tr[./td]/td/text()"),
    (DEBTS, "//h3/following::table[1]//tr[td]/td/text()"),
    (DEBTS, "//h3/following::table//tr[contains(., 'o')]//text()"),
    (DEBTS, "//h3/following::table[1]//td[b]/text()"),
    (DEBTS, "//h3[.='Outros']/following::table[1]//td[not(b)]/text()"),
    (DEBTS, "//p/following::table[1]/tr[td[contains(text(), 'b')]]//td/text()"),
    (DEBTS, "//h3/following-sibling::table/tr[td]/td/text()"),
    (DEBTS, "//p/following-sibling::table//td[contains(text(), 'b')]/table//td/text()"),
    (DEBTS, "//h3[contains(., 'Outros')]/following-sibling::table/tr[.//b]/td/text()"),
]

# Labels and values as siblings: a later label re-arms the first-sibling
# step, a label without a value of its own takes the next one's.
PAIRS = """<html><body><dl><dt>Email</dt><dd>a@x</dd><dd>second</dd><dt>Phone</dt><dt>Fax</dt><dd>123</dd></dl>
<table><tr><th>Size</th><td>1</td><td>2</td></tr><tr><th>Pot</th><th>x</th><td>3</td></tr></table>
<div><span>Products</span> <span>A</span><span>B</span></div>
<ul><li>1</li><li class=a>2</li><li>3</li><li class=a>4</li><li>5<ul><li>n1</li><li>n2</li></ul></li></ul>
<h5>Genealogia</h5><p>x</p><table><tr><td>g<table><tr><td>in</td></tr></table></td><td>h</td></tr></table>
<table><tr><td>no</td></tr></table></body></html>"""

CASES["the first later sibling"] = [
    (PAIRS, "//dt[contains(text(),'Email')]/following-sibling::dd[1]/text()"),
    (PAIRS, "//dt/following-sibling::dd[1]/text()"),
    (PAIRS, "//th[.='Size']/following-sibling::td[1]/text()"),
    (PAIRS, "//th/following-sibling::*[1]/text()"),
    (PAIRS, "//span[normalize-space(text())='Products']/following-sibling::span[1]/text()"),
    (PAIRS, "//li/following-sibling::li[1]/text()"),
    (PAIRS, "//li[@class='a']/following-sibling::li[1]/text()"),
    (PAIRS, "//li/following-sibling::li[@class='a'][1]/text()"),
    (PAIRS, "//li[1]/following-sibling::li[position()=1]/text()"),
    (PAIRS, "//h5[text()='Genealogia']/following-sibling::table[1]//td[not(table)]/text()"),
    (PAIRS, "//dt/following-sibling::dd[1]/following-sibling::dd[1]/text()"),
    (PAIRS, "//dd/following-sibling::dt[1]/following::td[1]/text()"),
    (PAIRS, "./body/following-sibling::*[1]"),
]

ROWS = [(g, page, q) for g, rows in CASES.items() for page, q in rows]


@pytest.mark.parametrize("group, page, query", ROWS, ids=[f"{g}:{q}" for g, _, q in ROWS])
def test_answers_as_parsel_does(group, page, query):
    from tests import differential

    differential.assert_as_parsel(page, query)


def test_queries_of_one_schema_keep_their_own_triggers():
    queries = [q for _, page, q in ROWS if page is FORM]
    sel = parsel.Selector(text=FORM)
    assert ls.extract(FORM.encode(), queries) == [sel.xpath(q).getall() for q in queries]


def test_first_only_takes_the_first_value():
    q = "//label/following::div[1]/text()"
    plan = ls.Plan([q], [], first_only=[True])
    assert plan.extract(FORM.encode()) == [parsel.Selector(text=FORM).xpath(q).getall()[:1]]


def test_a_group_container_after_the_axis():
    container = "//h3/following::table[1]"
    fields = [("cells", ".//td/text()"), ("id", "@id")]
    _, grouped = ls.extract_grouped(TABLES.encode(), [], [(container, fields)])
    expected = [[row.xpath(".//td/text()").getall(), row.xpath("@id").getall()]
                for row in parsel.Selector(text=TABLES).xpath(container)]
    assert grouped == [expected]


@pytest.mark.parametrize("query, reason", [
    ("//label/following::div[2]/text()", "this `following::` form is unsupported"),
    ("//label/following::div[1][@class='v']", "this `following::` form is unsupported"),
    ("//label//following::div", "this `following::` form is unsupported"),
    ("//label/following::div[contains(text(), 'x')]", "this `following::` form is unsupported"),
    ("//label/following::div[span]", "this `following::` form is unsupported"),
    ("//label/following::div[1]/p[span]/following::b", "this `following::` form is unsupported"),
    ("//label[p]/span/following::div//p[span]", "this `following::` form is unsupported"),
    ("//label/following::div[@a or @b][1]", "positional predicate"),
    ("//label/following-sibling::div[2]/text()", "positional predicate"),
    ("//label/following-sibling::div[1][@a]/text()", "positional predicate"),
    ("//div[following::p]", "this `following::` form is unsupported"),
    ("//label/following::text()", "this `following::` form is unsupported"),
])
def test_what_is_left_is_explained(query, reason):
    (ok, why), = ls.audit_schema([query], [])[0]
    assert not ok and why.startswith(reason)


def test_a_grouped_sub_field_names_the_axis():
    _, groups, _ = ls.audit_schema([], [("div", [("x", "./span/following::b")])])
    assert groups[0][1][0] == (False, "the following:: axis inside a grouped sub-field is unsupported "
                                      "(empty column)")


def test_budget_counts_a_trigger_bit_per_axis():
    assert ls.audit_schema(["//a/following::b[1]/following::c", "//a/following-sibling::b"], [])[2][2] == 3


@pytest.mark.parametrize("query, slots", [
    ("//h3/following::table[1]//tr[td]/td/text()", 2),                        # the feeder, the template
    ("//h3[contains(text(), 'IPVA')]/following::table[1]//tr[td]/td/text()", 3),  # and the heading's gate
    ("//h3[contains(text(), 'IPVA')]/following::table[1]//tr/td/text()", 2),      # a gated sibling
])
def test_budget_counts_what_a_gated_template_takes(query, slots):
    assert ls.audit_schema([query], [])[2][0] == slots
    assert ls.Plan([query] * (128 // slots), []).extract(DEBTS.encode())[0] == \
        parsel.Selector(text=DEBTS).xpath(query).getall()


CORPUS_QUERIES = [
    "//h1/following::p[1]//text()",
    "//h2/following::a[1]/@href",
    "//title/following::meta[1]/@content",
    "//a/following::a[1]/@href",
    "//h2/following::ul[1]//a/@href",
    "//*[@id]/following::div[1]/@class",
    "//label/following::input[1]/@name",
    "//h3[contains(text(), 'e')]/following::p[1]//text()",
    "//header/following::a/@href",
    "//h2/following-sibling::p[1]//text()",
    "//h1/following::ul[1]/li[a]/a/@href",
    "//h2/following::p[1]//a[contains(., 'e')]/@href",
]


def test_corpus_pages_agree(shared_dir):
    """The axis on real article pages, where parsel finds something."""
    from tests import differential

    if not differential.assert_corpus_agrees(CORPUS_QUERIES):
        pytest.skip("no corpus pages")


STRONG = """<html><body><div><p><strong>Prijzengeld:</strong> 1000 euro<br>extra <i>i</i> tail</p>
<p><strong>Definitie</strong></p><p>lead <strong>Definitie</strong> uitleg</p>
<strong>Los</strong> body text</div><ul><li><b>a</b>1<b>b</b>2</li></ul></body></html>"""

AFTER_CASES = [
    '//strong[contains(text(),"Prijzengeld")]/following-sibling::text()',
    '//strong[text()="Definitie"]/following-sibling::text()',
    './/strong[contains(text(),"Definitie")]/following-sibling::text()',
    "//strong/following-sibling::text()",
    "//li/b/following-sibling::text()",
    "//b[.='a']/following-sibling::text()",
    "//p[strong]/following-sibling::text()",
    "//div[.//i]//strong/following-sibling::text()",
    "//br/following-sibling::text()[normalize-space()]",
    "substring-after(//strong/following-sibling::text(), ' ')",
]


@pytest.mark.parametrize("query", AFTER_CASES)
def test_text_after_an_element_answers_as_parsel_does(query):
    expected = parsel.Selector(text=STRONG).xpath(query).getall()
    assert ls.audit_schema([query], [])[0][0] == (True, None)
    assert ls.extract(STRONG.encode(), [query])[0] == expected


@pytest.mark.parametrize("query", [
    "//li/b[last()]/following-sibling::text()",
    "//b//following-sibling::text()",
    "normalize-space(//b/following-sibling::text())",
    "//b/following-sibling::text() | //li/text()",
])
def test_text_after_an_element_refused_where_it_cannot_stream(query):
    assert ls.audit_schema([query], [])[0][0][0] is False
    assert ls.extract(STRONG.encode(), [query]) == [[]]
