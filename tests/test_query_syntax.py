"""A query that parses in no reading raises QuerySyntaxError where it is defined;
a valid query outside the subset still yields an empty column."""
import subprocess
import sys

import pytest

import _larkspine as ls
import larkspine
from larkspine import Page, QuerySyntaxError, Schema, field, group

# (query, position, what the message names as expected), positions as
# cssselect reports them.
MALFORMED_CSS = [
    ("div >", 5, "a selector"),
    ("h1::attr(href", 13, "an argument"),
    ("li:", 3, "an identifier"),
    ("a[href", 6, "']' or an operator"),
    ("a[href=]", 7, "a string or an identifier"),
    ("p::text b", 8, "the end of the selector"),
    ("'unclosed", 0, "a closing quote"),
    ("x'y", 1, "a closing quote"),
    ("a,", 2, "a selector"),
    (",a", 0, "a selector"),
    ("div:not(p", 9, "')'"),
    ("div:has(", 8, "a selector"),
    ("a >> b", 3, "a selector"),
    ("#", 0, "a selector"),
    ("a.#x", 2, "an identifier"),
    ("[", 1, "an attribute name"),
    ("a)", 1, "a selector"),
    ("a[href=x y]", 9, "']'"),
    ("div:is(a,", 9, "a selector"),
    ("a:nth-child(2n+1", 16, "an argument"),
    ("a[=x]", 2, "an attribute name"),
    ("a[href^]", 6, "']' or an operator"),
    ("ul > > li", 5, "a selector"),
    ("p:contains(", 11, "an argument"),
    ("div::", 5, "an identifier"),
    ("  é >", 5, "a selector"),  # positions count characters, not bytes
]

MALFORMED_XPATH = [
    ("//li[", 5, "an expression"),
    ("//li[1", 6, "']'"),
    ("//", 2, "a node test"),
    ("/a/", 3, "a node test"),
    ("//a[@]", 5, "a node test"),
    ("//a[@href=]", 10, "an expression"),
    ("//a)", 3, "an operator or the end"),
    ("//a b", 4, "an operator or the end"),
    ("//a[contains(., 'x']", 19, "',' or ')'"),
    ("//a/@", 5, "a node test"),
    ("//a['x]", 4, "a closing quote"),
    ("//a[1]]", 6, "an operator or the end"),
    ("//a/b::c", 4, "an axis name"),
    ("normalize-space(//p", 19, "',' or ')'"),
    ("./a[", 4, "an expression"),
    ("//*[text()=", 11, "an expression"),
    ("//a | ", 5, "an expression"),  # the query is trimmed first
    ("//a and", 7, "an expression"),
    ("//a[@x=$]", 8, "a variable name"),
    ("//a/..[1]", 6, "an operator or the end"),
    ("//1", 2, "a node test"),
    ("//a[last(]", 9, "an expression"),
    ("//a/text(", 9, "')'"),
    ("//a[b c]", 6, "']'"),
    ("//a//", 5, "a node test"),
    ("  //li[", 7, "an expression"),
]

# Valid CSS or XPath that the subset does not serve: empty columns, no error.
# (query, the language its peer parses it in)
UNSUPPORTED = [
    ("p::first-line", "css"),
    ("a:hover::text", "css"),
    ("p::foo", "css"),
    ("a:nth-child(foo)", "css"),
    ("ns|p::text", "css"),
    ("p[1]", "xpath"),  # CSS it is not, but XPath it is
    ("text()", "xpath"),
    ("@href", "xpath"),
    ("//a/preceding::b/text()", "xpath"),
    ("string(//h2)", "xpath"),
    ("count(//li)", "xpath"),
    ("following-sibling::p", "xpath"),
    ("//li[position()<3][@a]/text()", "xpath"),
    ("//a[@x=$v]/@x", "xpath"),
    ("//*[local-name()='a']/text()", "xpath"),
    ("///a/text()", "xpath"),
    ("/ /a/text()", "xpath"),
    ("//a/node()", "xpath"),
]

DOC = b"<h2>H</h2><ul><li><a x=1 href=/h>a</a><li>b</ul><p>p</p>"


def cases(table):
    return [pytest.param(q, pos, exp, id=q) for q, pos, exp in table]


@pytest.mark.parametrize("query,position,expected", cases(MALFORMED_CSS + MALFORMED_XPATH))
def test_malformed_queries_report_position_and_expectation(query, position, expected):
    found = ls._query_syntax_error(query)
    assert found is not None
    assert found[0] == position
    assert found[1].startswith(expected), found
    with pytest.raises(QuerySyntaxError) as info:
        field(query)
    e = info.value
    assert isinstance(e, ValueError)
    assert (e.query, e.position) == (query, position)
    assert f"at position {position}" in str(e) and repr(query) in str(e)


@pytest.mark.parametrize("query,position,expected", cases(MALFORMED_CSS))
def test_cssselect_refuses_the_malformed_css_too(query, position, expected):
    cssselect = pytest.importorskip("cssselect")
    with pytest.raises(cssselect.SelectorSyntaxError) as info:
        cssselect.parse(query)
    if f" at {position}" not in str(info.value) and "pseudo-element" not in str(info.value):
        pytest.fail(f"cssselect reports another position: {info.value}")


@pytest.mark.parametrize("query,position,expected", cases(MALFORMED_XPATH))
def test_lxml_refuses_the_malformed_xpath_too(query, position, expected):
    etree = pytest.importorskip("lxml.etree")
    with pytest.raises(etree.XPathSyntaxError):
        etree.XPath(query.strip())


@pytest.mark.parametrize("query,language", UNSUPPORTED)
def test_valid_queries_outside_the_subset_are_not_malformed(query, language):
    assert ls._query_syntax_error(query) is None
    assert larkspine.extract(DOC, [query]) == [[]]

    class Draft(Page):
        f = field(query)

    assert Draft(DOC).f == []
    report = larkspine.check(Draft)
    assert not report.ok and report.unsupported[0].name == "f"
    with pytest.raises(ValueError) as info:
        larkspine.check(Draft, strict=True)
    assert not isinstance(info.value, QuerySyntaxError)


@pytest.mark.parametrize("query,language", UNSUPPORTED)
def test_the_peers_parse_the_valid_queries(query, language):
    if language == "css":
        cssselect = pytest.importorskip("cssselect")
        cssselect.parse(query)
    else:
        etree = pytest.importorskip("lxml.etree")
        etree.XPath(query)


# Every entry point refuses a malformed query where it is defined.

def test_page_class_definition_refuses():
    with pytest.raises(QuerySyntaxError, match="position 5"):
        class Broken(Page):
            title = field("div >")


def test_schema_refuses_a_bare_string_and_a_field():
    with pytest.raises(QuerySyntaxError):
        Schema({"x": "//li["})
    with pytest.raises(QuerySyntaxError):
        Schema({"x": field("h1::attr(href")})


def test_groups_refuse_a_malformed_container_or_sub_field():
    with pytest.raises(QuerySyntaxError, match="'ul >'"):
        group("ul >", a="li::text")
    with pytest.raises(QuerySyntaxError, match="'a\\['"):
        group("ul", a="a[")


@pytest.mark.parametrize("sub", ["text()", "./text()", "@href", "./@href", ".//@href", ".", " @href "])
def test_sub_field_forms_are_xpath_in_a_group(sub):
    g = group("li", v=field(sub))
    assert larkspine.check({"g": g}).ok


def test_check_and_extract_refuse():
    with pytest.raises(QuerySyntaxError):
        larkspine.check(["h1::text", "div >"])
    with pytest.raises(QuerySyntaxError):
        larkspine.check({"a": "li:"})
    with pytest.raises(QuerySyntaxError):
        larkspine.extract(DOC, ["h1::text", "//li["])
    with pytest.raises(QuerySyntaxError):
        larkspine.extract_grouped(DOC, [], [("li", [("a", "a[")])])
    # The native module keeps its contract: an empty column.
    assert ls.extract(DOC, ["div >"]) == [[]]


def test_the_error_pickles():
    import pickle

    with pytest.raises(QuerySyntaxError) as info:
        field("div >")
    again = pickle.loads(pickle.dumps(info.value))
    assert (again.query, again.position, str(again)) == ("div >", 5, str(info.value))


def test_schema_file_and_command_refuse_with_the_position(tmp_path):
    pytest.importorskip("click")
    from larkspine.schemafile import SchemaFileError, read_declarations

    path = tmp_path / "s.toml"
    path.write_text('title = "h1::text"\nbad = "div >"\n')
    with pytest.raises(SchemaFileError, match=r"field 'bad'.*'div >' at position 5"):
        read_declarations(str(path))
    group_path = tmp_path / "g.toml"
    group_path.write_text('[rows]\ngroup = "li"\nfields = { a = "a[", b = "@href" }\n')
    with pytest.raises(SchemaFileError, match=r"'a\[' at position 2"):
        read_declarations(str(group_path))
    run = subprocess.run(
        [sys.executable, "-m", "larkspine", "check", str(path)], capture_output=True, text=True
    )
    assert run.returncode == 2
    assert "at position 5" in run.stderr and "Traceback" not in run.stderr


HINTED = [
    ("following-sibling::p", "`following-sibling::` is an XPath axis", "`//h2/following-sibling::p`"),
    ("ancestor::div/@id", "`ancestor::` is an XPath axis", "`//h2/ancestor::div/@id`"),
    ("h2/following-sibling::p", "reads as CSS", "`//h2/following-sibling::p` (from the document)"),
]


@pytest.mark.parametrize("query,cause,advice", HINTED)
def test_check_mends_misleading_reasons_with_a_hint(query, cause, advice):
    (q,) = larkspine.check([query]).unsupported
    reason, _, hint = q.reason.partition("; hint: ")
    # The engine's reason (a pseudo-element, a stray character) names what the query is not.
    engine = ls.audit_schema([query], [])[0][0][1]
    assert engine.startswith(("invalid or unsupported CSS", "pseudo-class")) and engine not in q.reason
    assert cause in reason and "reads as CSS" in reason and advice in hint


# Queries whose reason once misled (a position called unsupported where the step after it
# was; an XPath function judged as CSS): the reason names the construct, and of the engine's
# list of every positional or function form keeps only what applies (never longer).
SELF_EXPLAINED = [
    ("//div[p]/li[last()]/a/text()", "a `[last()]` only as the first of them"),
    ("//h2/following-sibling::p[2]/text()", "a position other than a last `[1]` on a `following-sibling::` step"),
    ("string(//h2)", "`string()`"),
    ("count(//li)", "only `count(x) = N` of one child step in a predicate"),
]


@pytest.mark.parametrize("query,names", SELF_EXPLAINED)
def test_reasons_name_their_construct_and_what_applies(query, names):
    (q,) = larkspine.check([query]).unsupported
    assert len(q.reason) <= len(ls.audit_schema([query], [])[0][0][1])
    assert names in q.reason and not q.reason.startswith(("invalid or unsupported CSS", "pseudo-class"))


def test_iterables_of_queries_are_checked_without_being_exhausted():
    assert larkspine.extract(DOC, (q for q in ["h2::text", "p::text"])) == [["H"], ["p"]]
    flat, rows = larkspine.extract_grouped(DOC, iter(["h2::text"]), iter([("li", [("a", "a::text")])]))
    assert flat == [["H"]] and rows == [[[["a"]], [[]]]]
    with pytest.raises(QuerySyntaxError):
        larkspine.extract(DOC, (q for q in ["h2::text", "p >"]))
    with pytest.raises(TypeError):
        larkspine.extract(DOC, None)
