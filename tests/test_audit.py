"""The schema audit and the fixed diagnostic messages."""
import pytest

import _larkspine as ls

t = pytest.importorskip("_larkspine_testing")

GENERIC = ("invalid or unsupported CSS selector for the Larkspine subset (tag/`*`, `.class`, `#id`, "
           "`[attr]`/`[attr=v]`, descendant/`>`/`+`/`~`, `::text`/`::attr(name)`)")
OTHER_PSEUDO = "pseudo-class/element is unsupported; supported terminals are `::text` and `::attr(name)`"
PSEUDO_ELEMENT = "pseudo-element (`::before`, `::after`) is unsupported"
NAMESPACE = "namespace prefix (`ns|tag`) is unsupported"
MIXED = ("comma group mixes an element (outer-HTML) terminal with a value (`::text`/`::attr`) terminal \u2014 a "
         "deferred capture can't be ordered against streamed values, so document order is unrecoverable; use "
         "one terminal kind per group")
BARE_ABSOLUTE = ("a single-slash `/x` selects only the document root element; use `//x` (any depth) or "
                 "`/html/\u2026`")
VARIABLE = ("XPath variable reference (`$name`) is unsupported \u2014 Larkspine's API takes no variable "
            "bindings (unlike `sel.xpath(q, name=\u2026)`); inline the value as a quoted literal")
RELATIVE_CHILD = ("relative child anchor (`./x`) is unsupported in this context; `.//x` selects all "
                  "descendants and is not an equivalent rewrite")
UPPERCASE = ("uppercase name in the path \u2014 libxml2 lowercases HTML names but XPath name-tests are "
             "case-sensitive, so it matches nothing; lowercase the tag/attribute name")
OUTSIDE = ("outside the supported downward-XPath subset (child/descendant steps, `*`/tag tests, attribute "
           "predicates, `text()`/`@attr` terminals)")


@pytest.mark.parametrize("query, starts", [
    ("   ", "empty selector"),
    ("li:nth-last-child(2) > b::text", "a reverse position (`:last-*`"),
    ("div:has(a) + p", ":has() is supported on ONE compound"),
    ("div:HAS(a)", ":has() is supported on ONE compound"),
    ("a:is(b c)", ":is()/:where() alternatives must be plain compounds"),
    ('p:contains("a"):contains("b")', ":contains() is supported as cssselect defines it"),
    ("*:nth-of-type(2)", "`:nth-child()`/`:nth-of-type()` on the universal `*`"),
    ("a:not(b c)", ":not() with a combinator argument"),
    ("a:not(b>c)", ":not() with a combinator argument"),
    ("a|b", NAMESPACE),
    ("a||b", GENERIC),
    ("p::first-line", OTHER_PSEUDO),
    ("p:hover", OTHER_PSEUDO),
    ("p::before", PSEUDO_ELEMENT),
    ("count(//a)", GENERIC),
    ("a!", GENERIC),
    ("//a[@href=$u]", VARIABLE),
    ("//a[@n=2]", "comparison against an unquoted operand"),
    ("//a[@n=b]", "comparison against an unquoted operand"),
    ("//a[contains(@a, x)]", "comparison against an unquoted operand"),
    ("//a/preceding-sibling::b", "unsupported XPath axis"),
    ("::", OTHER_PSEUDO),                  # routed as CSS
    ("//a/::b", "unsupported XPath axis"),
    ("//li[position()<3]", "positional predicate"),
    ("//li[2][@a]", "positional predicate"),
    ('//p[normalize-space(text())="x"]', "this text-content predicate form is unsupported"),
    ("//a[not(@x)]", "this XPath function or placement is unsupported"),
    ("./a", RELATIVE_CHILD),
    ("/body/a", BARE_ABSOLUTE),
    ("//DIV", UPPERCASE),
    ("//a[1 + 1]", OUTSIDE),
    ("//a[@x='$y']/b/c[", OUTSIDE),
    ("a::text, b", MIXED),
    ("li:last-child::text, b::text", "a comma-group member needs deferred-close matching"),
    ("a, p::first-line", "a comma-group member is itself unsupported \u2014 " + OTHER_PSEUDO +
     "; the member is `p::first-line`"),
])
def test_reason(query, starts):
    assert t.reason(query).startswith(starts)


def test_every_message_is_exact_for_whole_strings():
    assert t.reason("p::first-line") == OTHER_PSEUDO
    assert t.reason("/body/a") == BARE_ABSOLUTE
    assert t.reason("a::text, b") == MIXED
    assert t.reason("a, p::first-line") == ("a comma-group member is itself unsupported \u2014 " + OTHER_PSEUDO +
                                            "; the member is `p::first-line`")


def test_audit_of_flat_queries():
    flat, groups, budget = ls.audit_schema(["a::text", "p::first-line", "li:last-child::text", "div:has(a)"], [])
    assert flat == [(True, None), (False, OTHER_PSEUDO), (True, None), (True, None)]
    assert groups == [] and budget == (4, 128, 0, 64)


def test_audit_of_an_empty_schema():
    assert ls.audit_schema([], []) == ([], [], (0, 128, 0, 64))


def test_audit_of_groups():
    _, groups, budget = ls.audit_schema([], [
        ("li:last-child", [("a", "a + b"), ("b", "span::text"), ("c", "li:last-child::text"), ("d", "p::x")]),
        ("div, p", [("n", "normalize-space(//h1)")]),
        ("ul", []),
    ])
    deferred_container = "selector requires deferred-close matching, which is unsupported for a grouped container (empty group)"
    assert groups[0] == ((False, deferred_container), [
        (False, "sibling combinator (`+`/`~`) inside a grouped sub-field is unsupported (empty column)"),
        (True, None),
        (False, "selector requires deferred-close matching, which is unsupported inside a grouped sub-field (empty column)"),
        (False, OTHER_PSEUDO),
    ])
    assert groups[1] == ((False, "a grouped container or sub-field requires a single selector; CSS comma groups "
                                  "and XPath unions/or-expansions are unsupported in this context"),
                         [(False, "normalize-space() is supported for flat fields, but its scalar output is "
                                  "unsupported in a group")])
    assert groups[2] == ((True, None), [])
    assert budget == (2, 128, 0, 64)


def test_audit_reports_an_over_budget_schema_without_raising():
    flat, _, budget = ls.audit_schema(["a + b"] * 130, [])
    assert len(flat) == 130 and budget == (130, 128, 130, 64)
