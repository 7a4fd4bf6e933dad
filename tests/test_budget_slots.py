"""Every mask slot a schema uses is counted in its budget, group sub-fields are
bounded, and a sub-field written as absolute XPath is refused, not re-anchored."""
import pytest

import _larkspine as ls
import larkspine
from larkspine import Page, field, group

DOC = (
    b"<h1>T</h1><dl><dt>Price</dt><dd>12</dd><dt>Size</dt><dd>M</dd></dl>"
    b"<ul><li><div>Code</div><div>42</div></li></ul>"
    b"<section><h2><b>x</b></h2><p>after</p></section><div><a>l</a></div><p>next</p>"
)

# Queries that take a second, hidden slot: a text predicate or :has() gating a
# sibling step (the streamed selector and the template that opens its gate).
GATED = [
    ("//li//div[contains(., 'Code')]/following-sibling::div//text()", ["42"]),
    ('dt:contains("Price") + dd::text', ["12"]),
    ('dt:contains("Price") ~ dd::text', ["12", "M"]),
    ('//dt[text()="Size"]/following-sibling::dd/text()', ["M"]),
    ("div:has(a) + p::text", ["next"]),
    ("h2:has(> b) ~ p::text", ["after"]),
]

# Queries that take one slot, deferred or streamed.
SINGLE = [
    ("li:last-child div::text", ["Code", "42"]),
    ('dt:contains("Price")::text', ["Price"]),
    ("div:has(a)::text", []),
    ("dt + dd::text", ["12", "M"]),
]

FILLER = "//h1/text()"


@pytest.mark.parametrize("query,expected", GATED + SINGLE)
def test_each_query_answers_alone(query, expected):
    assert ls.extract(DOC, [query]) == [expected]


@pytest.mark.parametrize("query,expected", GATED)
def test_a_gated_sibling_counts_two_and_fills_the_budget_to_its_edge(query, expected):
    edge = [FILLER] * 126 + [query]
    _, _, (members, limit, _, _) = ls.audit_schema(edge, [])
    assert (members, limit) == (128, 128)
    columns = ls.extract(DOC, edge)
    assert columns[-1] == expected and columns[0] == ["T"]
    assert ls.Plan(edge, []).extract(DOC)[-1] == expected
    over = [FILLER] * 127 + [query]
    with pytest.raises(ValueError, match="schema has 129 member selectors, over the limit of 128"):
        ls.extract(DOC, over)
    with pytest.raises(ValueError, match="schema has 129 member selectors"):
        ls.Plan(over, [])
    assert not larkspine.check(over).within_budget


def test_the_reported_case_is_refused_rather_than_emptied():
    q = "//li//div[contains(., 'Code')]/following-sibling::div//text()"
    with pytest.raises(ValueError, match="129 member selectors"):
        ls.extract(DOC, ["//h1/text()"] * 127 + [q])


@pytest.mark.parametrize("query,expected", SINGLE)
def test_one_slot_queries_count_one(query, expected):
    edge = [FILLER] * 127 + [query]
    assert ls.audit_schema(edge, [])[2][0] == 128
    assert ls.extract(DOC, edge)[-1] == expected


def test_gated_siblings_mixed_with_containers_fill_the_budget():
    # 3 gated (6 slots) + 2 containers + 120 plain = 128.
    flat = [q for q, _ in GATED[:3]] + [FILLER] * 120
    groups = [("li", [("d", "div::text")]), ("dl", [("t", "dt::text")])]
    assert ls.audit_schema(flat, groups)[2][0] == 128
    cols, rows = ls.extract_grouped(DOC, flat, groups)
    assert cols[:3] == [e for _, e in GATED[:3]]
    assert rows == [[[["Code", "42"]]], [[["Price", "Size"]]]]
    with pytest.raises(ValueError, match="129 member selectors"):
        ls.extract_grouped(DOC, flat + [FILLER], groups)


# Sub-fields take no mask slot but cost every element of their container a test each.

def sub_fields(n):
    return [("li", [(f"f{i}", f"div.c{i}::text") for i in range(n)])]


def test_sub_fields_are_bounded():
    assert ls.extract_grouped(DOC, [], sub_fields(256))[1][0][0][:1] == [[]]
    with pytest.raises(ValueError, match=r"^larkspine: schema has 257 group sub-fields, over the limit of 256\. Split the schema\.$"):
        ls.extract_grouped(DOC, [], sub_fields(257))
    with pytest.raises(ValueError, match="257 group sub-fields"):
        ls.Plan([], sub_fields(257))
    # Over several groups.
    with pytest.raises(ValueError, match="300 group sub-fields"):
        ls.Plan([], sub_fields(150) * 2)


def test_check_counts_sub_fields():
    g = group("li", {f"f{i}": f"div.c{i}::text" for i in range(257)})
    report = larkspine.check({"rows": g})
    assert (report.sub_fields, report.max_sub_fields) == (257, 256)
    assert not report.within_budget and not report.ok
    assert "257/256 group sub-fields" in str(report)
    small = larkspine.check({"rows": group("li", a="div::text", b="@id")})
    assert (small.sub_fields, small.within_budget) == (2, True)
    with pytest.raises(ValueError, match="257 group sub-fields"):
        larkspine.Schema({"rows": g})


# An absolute XPath sub-field would search the whole document (as parsel's
# `li.xpath("//h1/text()")` does); one pass cannot hold what lies outside the
# container in its row, so it is refused: an empty column that check explains.

ABSOLUTE = ["//h1/text()", "  //h1/text()", "/html/body/h1/text()", "//div/text()"]


@pytest.mark.parametrize("sub", ABSOLUTE)
def test_absolute_sub_fields_are_refused(sub):
    _, rows = ls.extract_grouped(DOC, [], [("li", [("t", sub)])])
    assert rows == [[[[]]]]
    (_, [(ok, reason)]), = ls.audit_schema([], [("li", [("t", sub)])])[1]
    assert not ok and reason.startswith("absolute XPath in a grouped sub-field searches the whole document")


def test_the_relative_form_answers_inside_the_container():
    class Rows(Page):
        rows = group("li", t=field("//div/text()", first=True), r=field(".//div/text()", first=True))

    assert Rows(DOC).rows == [{"t": None, "r": "Code"}]
    report = larkspine.check(Rows)
    (bad,) = report.unsupported
    assert bad.name == "rows.t"
    assert bad.reason.endswith("hint: relative to the container: `.//div/text()`")
    with pytest.raises(ValueError, match="rows.t"):
        larkspine.check(Rows, strict=True)


def test_parsel_searches_the_document_from_an_absolute_sub_field():
    parsel = pytest.importorskip("parsel")
    li = parsel.Selector(text=DOC.decode()).css("li")[0]
    # What the refused form would have to answer: text outside the container.
    assert li.xpath("//div/text()").getall()[:2] == ["Code", "42"]
    assert li.xpath("//h1/text()").get() == "T"
