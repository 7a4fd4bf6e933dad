"""larkspine.check: the named report over the engine's audit."""
import pytest

import larkspine
from larkspine import Page, Schema, field, group


with pytest.warns(larkspine.UnsupportedQueryWarning):
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


# The hint table: the reason a user acts on, for queries whose engine reason misleads or
# lists more than applies. (query, in a group, words the reason has, words it must not have)
HINTS = [
    ("a/@href", True, ["reads as CSS", "hint: `./a/@href` (relative to the container)"], ["//a/@href", "//h2"]),
    ("a/@href", False, ["reads as CSS", "hint: `//a/@href` (from the document)"], []),
    ("h2/following-sibling::p", False, ["hint: `//h2/following-sibling::p`"], []),
    ("following::a/@href", False, ["`following::` is an XPath axis", "`//h2/following::a/@href`"],
     ["pseudo-class/element is unsupported"]),
    ("following::a/@href", True, ["`following::` is an XPath axis", "`./following::a/@href` is unsupported too"],
     ["pseudo-class/element is unsupported", "`//h3["]),
    ("//a/@href", True, ["relative to the container: `.//a/@href`"], []),
    ("string-length(//p)", False, ["`string-length()` is unsupported", "each=len"], ["count()"]),
    ("string-length(.)", True, ["`string-length()` is unsupported"], []),
    ("count(//li)", False, ["`count()` is unsupported", "out=len"], ["string-length"]),
    ("concat(//a/text(), //b/text())", False, ["`concat()` is unsupported"], []),
    ("//li[2]//text()[1]", False, ["position on a text node", "first=True"], ["following-sibling", "`or`"]),
    ("//li[position()>2][@a]/text()", False, ["`position()` combined with another predicate", "`[N]`"],
     ["text node", "`or`"]),
    ("//li[last()][@a]", False, ["`[last()]` combined with another predicate"], ["text node"]),
    ("//li[@a or @b][1]", False, ["`[N]` after an `or`"], ["text node", "`position()` combined"]),
    ("p::first-line", False, ["pseudo-class/element is unsupported"], ["hint"]),
]


@pytest.mark.parametrize("query, in_group, has, lacks", HINTS)
def test_the_reason_names_what_applies_to_the_query(query, in_group, has, lacks):
    schema = {"g": group("li", x=query)} if in_group else {"x": field(query)}
    (reason,) = [q.reason for q in larkspine.check(schema).unsupported]
    for words in has:
        assert words in reason, (reason, words)
    for words in lacks:
        assert words not in reason, (reason, words)
    # One or two sentences, not the engine's list of every positional or function form.
    assert len(reason) < 330, reason


@pytest.mark.parametrize("query, in_group", [
    ("a/@href", True), ("a/@href", False), ("h2/following-sibling::p", False), ("//a/@href", True),
])
def test_a_hinted_query_is_supported(query, in_group):
    reason = larkspine.check({"g": group("li", x=query)} if in_group else {"x": field(query)}).unsupported[0].reason
    hinted = reason.rpartition("`")[0].rpartition("`")[2]
    fixed = larkspine.check({"g": group("li", x=hinted)} if in_group else {"x": field(hinted)})
    assert fixed.ok, (hinted, fixed.unsupported)


# Unsupported queries are told where they are defined, once, naming the field and the query.

@pytest.fixture
def untold(monkeypatch):
    """A process that has told nothing yet (each query is told once per process)."""
    from larkspine import _check

    monkeypatch.setattr(_check, "_told", set())


def _define_page(query):
    class Draft(Page):
        title = field("h1::text", first=True)
        odd = field(query)
    return Draft


def _define_schema(query):
    return Schema({"title": "h1::text", "odd": query})


def _define_schema_file(query):
    import json
    import os
    import pathlib
    import tempfile

    from larkspine.schemafile import load_schema

    folder = pathlib.Path(tempfile.gettempdir(), f"larkspine-test-check-{os.getpid()}")
    folder.mkdir(exist_ok=True)
    (folder / "draft.json").write_text(json.dumps({"title": "h1::text", "odd": query}))
    return load_schema(folder / "draft.json", allow_unsupported=True)


def _extract(query):
    return larkspine.extract(b"<h1>T</h1><p>x</p>", ["h1::text", query])


@pytest.mark.parametrize("define, name", [
    (_define_page, "Draft.odd"),
    (_define_schema, "odd"),
    (_define_schema_file, "draft.json: odd"),
    (_extract, "queries[1]"),
])
def test_an_unsupported_query_warns_once_where_it_is_defined(untold, define, name):
    with pytest.warns(larkspine.UnsupportedQueryWarning) as caught:
        define("p::first-line")
        define("p::first-line")
    assert len(caught) == 1, [str(w.message) for w in caught]
    message = str(caught[0].message)
    assert f"{name} = 'p::first-line' is unsupported" in message
    assert "pseudo-class/element is unsupported" in message
    assert isinstance(caught[0].message, UserWarning)
    # It points at the caller's code, not at the package.
    assert caught[0].filename == __file__


def test_a_supported_schema_warns_of_nothing(untold, recwarn):
    _define_page("p::text")
    _define_schema("//p/text()")
    _extract("p::text")
    assert not [w for w in recwarn if issubclass(w.category, larkspine.UnsupportedQueryWarning)]


@pytest.mark.parametrize("define", [
    lambda q: type("Draft", (Page,), {"odd": field(q)}, strict=True),
    lambda q: Schema({"odd": q}, strict=True),
    lambda q: larkspine.extract(b"<p>x</p>", [q], strict=True),
])
def test_strict_raises_instead_of_warning(untold, recwarn, define):
    with pytest.raises(ValueError, match="(?s)1 unsupported query.*first-line"):
        define("p::first-line")
    assert not recwarn.list


def test_a_subclass_and_an_unpickled_schema_do_not_tell_again(untold):
    import pickle

    with pytest.warns(larkspine.UnsupportedQueryWarning) as caught:
        Base = _define_page("p::first-line")

        class Child(Base):
            more = field("b::text")

        class Override(Base):
            odd = field("count(//p)")

        pickle.loads(pickle.dumps(Base.__schema__))
    assert [str(w.message).split(" = ")[0] for w in caught] == [
        f"larkspine: {Base.__qualname__}.odd", f"larkspine: {Override.__qualname__}.odd"
    ]


def test_an_error_filter_raises_at_each_definition(untold):
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("error", larkspine.UnsupportedQueryWarning)
        for _ in range(2):
            with pytest.raises(larkspine.UnsupportedQueryWarning):
                _define_schema("p::first-line")
