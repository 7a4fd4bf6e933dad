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
    ("count(//a)", "this XPath function or placement is unsupported"),   # a function call is XPath
    ("count (//a)", "this XPath function or placement is unsupported"),
    ("a!", GENERIC),
    ("//a[@href=$u]", VARIABLE),
    ("//a[@n=2]", "comparison against an unquoted operand"),
    ("//a[@n=b]", "comparison against an unquoted operand"),
    ("//a[contains(@a, x)]", "comparison against an unquoted operand"),
    ("//a/preceding-sibling::b", "unsupported XPath axis"),
    ("::", OTHER_PSEUDO),                  # routed as CSS
    ("//a/::b", "unsupported XPath axis"),
    ("//li[position()<3][@a]", "positional predicate"),
    ("//li[@a][last()]", "positional predicate"),
    ('//p[normalize-space()=" x"]', "this text-content predicate form is unsupported"),
    ("//a[not(b//c)]", "this XPath function or placement is unsupported"),
    ("//label/following::div[2]", "this `following::` form is unsupported"),
    ("//h3[contains(text(), 'x')]//following::table[1]//tr", "this `following::` form is unsupported"),
    ("//h3/following::p[contains(text(), 'x')]", "this `following::` form is unsupported"),
    ("//h3[following::p]", "this `following::` form is unsupported"),
    ("//i[contains(text(), 'x')]/preceding-sibling::b[1]/text()", "unsupported XPath axis"),
    ("//*[self::p]/self::p/text()", "unsupported XPath axis"),
    ("//a[contains(text(), 'following::')][2]", "positional predicate"),
    ("//p/text()[1]", "positional predicate"),
    ('//script[contains(text(), "a = [")][2]/text()', "positional predicate"),   # not a bracket of the path
    ("//div[p]/p[last()]/text()", "the path compiles, but its steps decided when an element closes"),
    ("/body/a", BARE_ABSOLUTE),
    ("//DIV", UPPERCASE),
    ("//a[1 + 1]", OUTSIDE),
    ("//a[@x='$y']/b/c[", OUTSIDE),
    ("a::text, b", MIXED),
    ("li:last-child::text, b::text", "a comma-group member needs deferred-close matching"),
    ("a, p::first-line", "a comma-group member is itself unsupported \u2014 " + OTHER_PSEUDO +
     "; the member is `p::first-line`"),
    # Members that compile alone as XPath, inside a CSS group (found by fuzzing).
    ("a,//d", "a comma-group member is itself unsupported \u2014 a comma group is CSS and this member is XPath"),
    ("p, normalize-space(//d)", "a comma-group member is itself unsupported \u2014 a comma group is CSS"),
    ("p,//d[1]::text", "a comma-group member is itself unsupported \u2014 a comma group is CSS"),
])
def test_reason(query, starts):
    assert t.reason(query).startswith(starts)


# Every fixed message, with a query that triggers it.
MESSAGES = [
    ('GENERIC', 'a!',
     'invalid or unsupported CSS selector for the Larkspine subset (tag/`*`, `.class`, `#id`, `[attr]`/`[attr=v]`, descendant/`>`/`+`/`~`, `::text`/`::attr(name)`)'),
    ('OTHER_PSEUDO', 'p::first-line',
     'pseudo-class/element is unsupported; supported terminals are `::text` and `::attr(name)`'),
    ('PSEUDO_ELEMENT', 'p::before',
     'pseudo-element (`::before`, `::after`) is unsupported'),
    ('NAMESPACE', 'ns|a',
     'namespace prefix (`ns|tag`) is unsupported'),
    ('NOT_COMBINATOR', 'a:not(b c)',
     ':not() with a combinator argument (e.g. `:not(a b)`) is unsupported; a compound argument (`:not(.x)`) and a compound LIST (`:not(.x, .y)`) are both fine'),
    ('NTH_UNIVERSAL', '*:nth-of-type(2)',
     '`:nth-child()`/`:nth-of-type()` on the universal `*` (e.g. `*:nth-of-type(2)`) is unsupported; name the element (`li:nth-of-type(2)`) — that form is supported'),
    ('REVERSE', 'li:last-child',
     "a reverse position (`:last-*`/`:only-*`/`:nth-last-*`) is supported on ONE compound of a lone selector, with the value being that element's own (`li:last-child::text`), its subtree (`li:last-child ::text`), or a DESCENDANT's (`li:last-child b::text`); a comma group, a group sub-field, `*`-of-type isn't"),
    ('CONTAINS', 'p:contains("a"):contains("b")',
     ':contains() is supported as cssselect defines it — ONE string/ident argument (`:contains("Price")`), on ONE compound of a lone selector, with the value being that element\'s own (`dt:contains("Price")::text`), its subtree (`div:contains("x") ::text`), a DESCENDANT\'s (`div:contains("x") a::attr(href)`), or a following SIBLING\'s (`dt:contains("Price") + dd::text`). In a COMMA GROUP it must be the element\'s own value and the group must name one kind of node — all `::text`, or all `::attr` with the SAME name (`h2::text, p:contains("x")::text`) — since the column is merged by document offset. Unsupported: a second `:contains()` on the same compound (cssselect ANDs them), one inside `:not()`/`:is()`, a `Many`/`One` member, a comma group whose members name different nodes or whose value comes from a subtree'),
    ('IS', 'a:is(b c)',
     ':is()/:where() alternatives must be plain compounds (tag/`*`/class/id/attr/`:not`); a combinator (`:is(a b)`), a positional/reverse/`:has` inside an alternative, or a nested `:is` is unsupported. Combined forms like `div.a:is(.x, .y)` ARE supported (with correct AND semantics, which cssselect also produces from 1.5.0 on; it ORed them up to 1.4.0)'),
    ('HAS', 'div:has(a b)',
     ":has() is supported on ONE compound of a lone selector, as a relative selector LIST whose members are each one compound — `:has(a)`, `:has(> img)`, `:has(a, img)`, `:has(> a, > img)`. The value may be that element's own (`div:has(a)::attr(id)`), its subtree (`div:has(a) ::text`), or a DESCENDANT's (`div:has(a) a::attr(href)`). A member may be a tag/`*`/id/class/attribute/`:not` compound (id/attribute/`:not` members and the list itself are a divergence in our favor; cssselect rejects them). Unsupported: a chain/sibling inside (`:has(.a .b)`, `:has(a + b)`), a list MIXING relative combinators (`:has(> a, img)`), a nested/second `:has`, a positional inner, a group member"),
    ('AXIS', '//a/preceding-sibling::b',
     'unsupported XPath axis — supported axes are child (`/`, `child::`), descendant (`//`, `descendant::`), `following-sibling::` and `following::` (after a single `/`), and `ancestor::`/`parent::`/`..` right after a first `//` step (`//INNER/ancestor::E`, `//INNER/..//x`); `preceding[-sibling]::`, `ancestor-or-self::` and `self::` outside a predicate (`//*[self::p or self::pre]` is supported) are not'),
    ('OUTSIDE_SUBSET', '//a[1 + 1]',
     'outside the supported downward-XPath subset (child/descendant steps, `*`/tag tests, attribute predicates, `text()`/`@attr` terminals)'),
    ('UPPERCASE', '//DIV',
     'uppercase name in the path — libxml2 lowercases HTML names but XPath name-tests are case-sensitive, so it matches nothing; lowercase the tag/attribute name'),
    ('BARE_ABSOLUTE', '/body/a',
     'a single-slash `/x` selects only the document root element; use `//x` (any depth) or `/html/…`'),
    ('FOLLOWING', '//label/following::div[2]',
     "this `following::` form is unsupported; `following::E` and `following::E[1]` after a single `/` are supported when E is a name test with attribute predicates; the step before the axis may test its text or a path (`//h3[contains(text(), 'x')]/following::table[1]//td/text()`), and so may the steps below E (`//h3/following::table[1]//tr[not(th)]`); `//following::`, a position other than a last `[1]`, a text or path test on E itself or on a step before the one the axis starts from, a second `following::` or sibling step, and `following::` inside a predicate are not"),
    ('FUNCTION', '//a[count(b)]',
     'this XPath function or placement is unsupported; supported are, at the top, `normalize-space(path)`, `string(path)`, `substring-after(path, "v")` and `substring-before(path, "v")` of a text or attribute path (flat fields only); in a predicate, `not(@a)`/`not(@a="v")`/`not(contains(@a, "v"))`; on a text or attribute node, `[normalize-space()]`, `[contains(., "v")]`, `[starts-with(., "v")]`, `[.="v"]`, `[normalize-space()="v"]`; `not()` of a path (`[not(p)]`, `[not(.//a)]`) and of a text test; `count(x) = N` (also `!=`, `<`, `<=`, `>`, `>=`) of one child step in a predicate (`//tr[count(td)=8]`); any other `count()`, `concat()`, `translate()`, `substring()` and `string-length()` are not'),
    ('TEXT_PREDICATE', '//p[normalize-space()=" x"]',
     'this text-content predicate form is unsupported; ONE text test per step is supported — `[.="v"]`, `[contains(.,"v")]`, `[text()="v"]`, `[contains(text(),"v")]`, `[normalize-space()]`, `[normalize-space(text())]`, `[normalize-space(text())="v"]`, `[normalize-space()="v"]`, `[contains(normalize-space(),"v")]` (a value without white space at either end), or `not()` of one — alone or joined to attribute tests by `and`, on the step that holds the value or inside a path predicate (`//tr[th[.="x"]]`); two text tests on one step, one under `or`, `!=`/`<`/`>`, `string-length(...)`, a path inside `contains()`, and a text test on a `following-sibling::` step are not'),
    ('POSITIONAL', '//li[position()<3][@a]',
     'positional predicate (`[position()<n]` or `[last()]` combined with another predicate, `[N]` after an `or` (`//li[@a or @b][1]`), a position other than `[1]` after a text or path test, a position other than a last `[1]` on a `following-sibling::` step, or on a text node (`text()[1]`)) is unsupported; `[N]` (`//li[2]`), `[last()]`/`[last()-k]` or a range alone (`[position()>1]`, `[position()<=3]`) on an element step is supported, `[N]` also before or after attribute tests (`//li[2][@a]`, `//li[@a][2]`, counted among the siblings that pass them), `[1]` after a text or path test (`//h3[contains(., "x")][1]`, the first sibling that passes it), and so is one position of a whole parenthesised path (`(//li/text())[2]`, `(//a)[last()]`), followed by more steps when the path is one `//` step decided at its start tag and the position a number (`(//div[@class="x"])[2]/p/text()`)'),
    ('PLACEMENT', "//div[p]/p[last()]/text()",
     'the path compiles, but its steps decided when an element closes (a text test, a path in a predicate such as `[p]` or `[.//a]`, `..`/`parent::`/`ancestor::`, `[last()]`) cannot all be placed: at most three such steps in one path, a `[last()]` only as the first of them and not on an outer-HTML subject, and no `following-sibling::` step after one'),
    ('UNQUOTED', '//a[@n=2]',
     'comparison against an unquoted operand — XPath reads `[@a=2]` numerically (`@a="02"` matches) and `[@a=b]` as a node-set compare against child `<b>` elements, neither of which is a byte compare; quote the value (`[@a="2"]`) if a literal is what you meant'),
    ('VARIABLE', '//a[@href=$u]',
     "XPath variable reference (`$name`) is unsupported — Larkspine's API takes no variable bindings (unlike `sel.xpath(q, name=…)`); inline the value as a quoted literal"),
    ('UNEXPLAINED', 'a, b',
     'comma group is unsupported here, and none of the three known causes (an unsupported member, a deferred member, mixed terminals) applies — the taxonomy is meant to be exhaustive, so this is worth reporting'),
    ('MIXED', 'a::text, b',
     "comma group mixes an element (outer-HTML) terminal with a value (`::text`/`::attr`) terminal — a deferred capture can't be ordered against streamed values, so document order is unrecoverable; use one terminal kind per group"),
]


@pytest.mark.parametrize("key, query, message", MESSAGES, ids=[m[0] for m in MESSAGES])
def test_every_message_byte_for_byte(key, query, message):
    assert t.reason(query) == message


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
