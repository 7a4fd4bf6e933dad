"""larkspine.check: the named report over the engine's audit."""
import pytest

import larkspine
from larkspine import Page, Schema, field, group


class Mixed(Page):
    title = field("h1::text", first=True)
    body = field("div.article")
    first_line = field("p::first-line")
    summary = field("normalize-space(//p)")
    rows = group("li:last-child", name="b::text")
    offers = group("li.offer", link="./a/@href", near=field("a + b::text"), html="span")


def test_each_field_group_and_subfield_has_a_verdict():
    report = larkspine.check(Mixed)
    got = [(q.name, q.kind, q.supported, q.terminal) for q in report.queries]
    assert got == [
        ("title", "field", True, "text"),
        ("body", "field", True, "outer"),
        ("first_line", "field", False, None),
        ("summary", "field", True, "normalize-space"),
        ("rows", "group", False, None),
        ("rows.name", "subfield", True, "text"),
        ("offers", "group", True, None),
        ("offers.link", "subfield", True, "attr"),
        ("offers.near", "subfield", False, None),
        ("offers.html", "subfield", True, "outer"),
    ]
    reasons = {q.name: q.reason for q in report.unsupported}
    assert reasons["first_line"].startswith("pseudo-class/element is unsupported")
    assert "deferred-close matching" in reasons["rows"]
    assert "sibling combinator" in reasons["offers.near"]
    assert not report.ok and not report
    assert (report.members, report.max_members, report.sib_bits, report.max_sib_bits)[1::2] == (128, 64)


def test_the_table_names_every_query_and_the_budget():
    text = str(larkspine.check(Mixed))
    lines = text.splitlines()
    assert lines[0].split() == ["name", "query", "kind", "value", "status"]
    assert len(lines) == 2 + 10 + 1
    assert "UNSUPPORTED: pseudo-class/element is unsupported" in lines[4]
    assert lines[-1].startswith("budget: ") and lines[-1].endswith("3 unsupported")


@pytest.mark.parametrize("schema", [
    Mixed, Mixed.__schema__, dict(Mixed.__schema__.fields),
])
def test_every_form_of_a_schema_gives_the_same_report(schema):
    assert larkspine.check(schema) == larkspine.check(Mixed)


def test_a_list_of_queries_is_checked_by_position():
    report = larkspine.check(["a::text", "p::first-line"])
    assert [(q.name, q.supported) for q in report.queries] == [("[0]", True), ("[1]", False)]


def test_strict_raises_one_error_listing_every_unsupported_query():
    with pytest.raises(ValueError) as info:
        larkspine.check(Mixed, strict=True)
    message = str(info.value)
    assert message.startswith("larkspine: 3 unsupported queries")
    for name in ("first_line", "rows", "offers.near"):
        assert f"  {name} = " in message


def test_a_supported_schema_passes_strict_and_is_truthy():
    report = larkspine.check(Schema({"t": "title::text", "g": group("li", a="b::text")}), strict=True)
    assert report.ok and report and report.unsupported == ()
    assert str(report).endswith("all supported")


def test_an_over_budget_schema_is_reported_not_raised():
    queries = {f"f{i}": f"p{i}::text" for i in range(130)}
    report = larkspine.check(queries)
    assert report.members == 130 and not report.within_budget and not report.ok
    with pytest.raises(ValueError, match="budget: 130/128"):
        report.raise_for_unsupported()


def test_check_refuses_what_is_not_a_schema():
    with pytest.raises(TypeError, match="check\\(\\) takes"):
        larkspine.check(42)


@pytest.mark.parametrize("absolute, plain", [
    (field("a::attr(href)", absolute=True), field("a::attr(href)")),
    (group("li", x=field("a::attr(href)", first=True, absolute=True)), group("li", x=field("a::attr(href)", first=True))),
])
def test_the_hidden_base_query_of_absolute_fields_counts_in_the_budget(absolute, plain):
    base_members = larkspine.check(["base[href]::attr(href)"]).members
    # Fill the budget to its limit with the plain declaration.
    probe = larkspine.check({"links": plain})
    filler = {f"f{i}": f"p{i}::text" for i in range(probe.max_members - probe.members)}
    without = larkspine.check({**filler, "links": plain})
    report = larkspine.check({**filler, "links": absolute})
    assert without.members == without.max_members and without.within_budget
    assert report.members == without.members + base_members and not report.within_budget
    # The hidden query is no row of the report, and the plan is refused where check says so.
    assert [q.name for q in report.queries] == [q.name for q in without.queries]
    Schema({**filler, "links": plain})
    with pytest.raises(ValueError):
        Schema({**filler, "links": absolute})
