"""The CSS selector parser, observed through the model dump."""
import pytest
from hypothesis import given, settings, strategies as st

import _larkspine as ls

t = pytest.importorskip("_larkspine_testing")


def css(q):
    return t.compile("css", q)


CASES = {
    "names and case": [
        ("DIV.Item", ["div.Item -> outer"]),
        ("div#Main.a.b", ["div#Main.a.b -> outer"]),
        (":FIRST-CHILD", [":nth(0,1) -> outer"]),
        ("[HREF]", ["[href] -> outer"]),
        ("*", ["* -> outer"]),
        ("#123", ["#123 -> outer"]),
        (".123", []),
        (".-1", []),
        (".--a", []),
        (".-a", [".-a -> outer"]),
        ("._a", ["._a -> outer"]),
        (".é", [".\u00e9 -> outer"]),
        ("dïv", []),                          # a non-ASCII tag name
        ("#", []),
        (".", []),
        ("a\u00a0", ["a -> outer"]),             # trimmed by White_Space
        ("", []),
        ("   ", []),
    ],
    "escapes": [
        (".a\\31 ", [".a1 -> outer"]),
        (".a\\31  b", [".a1 b -> outer"]),
        ("#\\31 23", ["#123 -> outer"]),
        (".a\\:b", [".a:b -> outer"]),
        (".a\\ b", []),                       # a class may not contain whitespace
        ("#a\\ b", ["#a b -> outer"]),
        (".a\\", []),
        (".\\0", [".\ufffd -> outer"]),
        (".\\D800", [".\ufffd -> outer"]),
        (".a\\\nb", []),                     # no line continuation in a name
        ("[a='x\\\ny']", ['[a="xy"] -> outer']),
        ("[a='x\\\r\ny'] p", ['[a="xy"] p -> outer']),
        (':contains("a\\\nb")', [':text(all,contains,"ab") -> outer']),
        ("a::attr('x\\\ny')", ["a -> attr(xy)"]),
        ("a::attr(x\\\ny)", []),
        ("\x00", []),                          # U+FFFD is no tag name here
        ('[a="\x00x"]', ['[a="\ufffdx"] -> outer']),
        (".a\x00", [".a\ufffd -> outer"]),
        (".\\110000", [".\ufffd -> outer"]),
        ("[a='x\\'y']", ['[a="x\'y"] -> outer']),
        ("[a=\"\\66 oo\"]", ['[a="foo"] -> outer']),
    ],
    "ids and classes": [
        ("#a#a", ["#a -> outer"]),
        ("#a#b", ['#a[id="b"] -> outer']),
        ("#a#b#b", ['#a[id="b"][id="b"] -> outer']),
        (".a.a", [".a.a -> outer"]),
    ],
    "attributes": [
        ("[a]", ["[a] -> outer"]),
        ("[a=x]", ['[a="x"] -> outer']),
        ("[a^=x][b$=y][c*=z][d~=w][e|=v]", ['[a^="x"][b$="y"][c*="z"][d~="w"][e|="v"] -> outer']),
        ('[a="x"i]', ['[a="x" i] -> outer']),
        ('[a="x" i ]', ['[a="x" i] -> outer']),
        ('[a = "x" I ]', ['[a="x" i] -> outer']),
        ('[a="x" s]', ['[a="x"] -> outer']),
        ("[a=x i]", ['[a="x" i] -> outer']),
        ("[a=xi]", ['[a="xi"] -> outer']),
        ("[a=x j]", []),
        ("[ a]", []),
        ("[a=1]", []),
        ("[a=]", []),
        ("[a='']", ['[a=""] -> outer']),
        ("[a=\"unterminated", []),
        ("[a!=x]", []),
        ("[-]", []),
        ("[1a]", []),
        ("[data-X=y]", ['[data-x="y"] -> outer']),
        ("[a='x]'] b", ['[a="x]"] b -> outer']),
    ],
    "combinators": [
        ("a b", ["a b -> outer"]),
        ("a>b", ["a > b -> outer"]),
        ("a >b", ["a > b -> outer"]),
        ("a> b", ["a > b -> outer"]),
        ("a + b ~ c", ["a + b ~ c -> outer"]),
        ("a\t\nb", ["a b -> outer"]),
        ("a > > b", []),
        ("a >+ b", []),
        ("> a", []),
        ("a >", []),
        ("a:nth-child(2n + 1) b", ["a:nth(2,1) b -> outer"]),
        ("a[t='x y'] b", ['a[t="x y"] b -> outer']),
    ],
    "value suffixes": [
        ("::text", ["* -> text"]),
        ("* ::text", ["* -> text(subtree)"]),
        ("li::text", ["li -> text"]),
        ("li ::text", ["li -> text(subtree)"]),
        ("li *::text", ["li -> text(subtree)"]),
        ("li *::attr(href)", ["li -> attr(href, descendants)"]),
        ("li > *::text", ["li > * -> text"]),
        ("li>*::text", ["li > * -> text"]),
        ("ul > ::text", ["ul > * -> text"]),
        ("ul + ::text", ["ul + * -> text"]),
        ("div*::text", []),
        ("a::attr(href)", ["a -> attr(href)"]),
        ("a::attr( href )", ["a -> attr(href)"]),
        ("a::attr('data-x')", ["a -> attr(data-x)"]),
        ("a::attr(Data-X)", ["a -> attr(Data-X)"]),
        ("a::attr(-)", []),
        ("a::attr(1x)", []),
        ("a::attr()", []),
        ("a::attr(href", []),
        ("a::attr(href)x", []),
        ("::attr(id)", ["* -> attr(id)"]),
        ("a::text::text", []),
        ("a::before", []),
        ("p::first-line", []),
    ],
    "comma groups": [
        ("a, b", ["a -> outer", "b -> outer"]),
        ("a::text, b::text", ["a -> text", "b -> text"]),
        ("a, b::text", []),
        ("a,", []),
        ("a, p::first-line", []),
        ("a[x=','], b", ['a[x=","] -> outer', "b -> outer"]),
        (":is(a, b), c", [":is(a, b) -> outer", "c -> outer"]),
    ],
    "positions": [
        ("li:first-child", ["li:nth(0,1) -> outer"]),
        ("li:last-child", ["li:rev(0,1) -> outer"]),
        ("li:only-child", ["li:rev(0,1,only) -> outer"]),
        ("li:first-of-type", ["li:nth(0,1,of-type) -> outer"]),
        ("li:last-of-type", ["li:rev(0,1,of-type) -> outer"]),
        ("li:only-of-type", ["li:rev(0,1,only,of-type) -> outer"]),
        ("li:nth-child( 2n + 1 )", ["li:nth(2,1) -> outer"]),
        ("li:nth-child(odd)", ["li:nth(2,1) -> outer"]),
        ("li:nth-child(EVEN)", ["li:nth(2,0) -> outer"]),
        (":nth-child(+n)", [":nth(1,0) -> outer"]),
        (":nth-child(-n+3)", [":nth(-1,3) -> outer"]),
        (":nth-child(2n- 1)", [":nth(2,-1) -> outer"]),
        (":nth-child(2n5)", [":nth(2,5) -> outer"]),
        (":nth-child(n)", [":nth(1,0) -> outer"]),
        (":nth-child(-5)", [":nth(0,-5) -> outer"]),
        (":nth-child(2n+)", []),
        (":nth-child(2 n)", [":nth(2,0) -> outer"]),
        (":nth-child(3000000000)", []),
        (":nth-child(2147483647)", [":nth(0,2147483647) -> outer"]),
        (":nth-child(-2147483648)", [":nth(0,-2147483648) -> outer"]),
        (":nth-child()", []),
        (":nth-child", []),
        ("li:nth-last-child(2)", ["li:rev(0,2) -> outer"]),
        ("li:nth-last-of-type(2n)", ["li:rev(2,0,of-type) -> outer"]),
        ("li:nth-of-type(2)", ["li:nth(0,2,of-type) -> outer"]),
        ("*:nth-of-type(2)", []),
        (":first-of-type", []),
        ("*:nth-child(2)", ["*:nth(0,2) -> outer"]),
        ("li:first-child()", []),
        ("li:first-child:last-child", []),
        ("li:first-child:nth-child(2)", []),
    ],
    "negation and alternatives": [
        (":not(.a, .b)", [":not(.a, .b) -> outer"]),
        (":not(.a):not(.b)", [":not(.a, .b) -> outer"]),
        (":not(:not(.a))", []),
        (":not(a b)", []),
        (":not()", []),
        (":not(:is(a))", []),
        ("div.a:is(.x, .y):where(#z)", ["div.a:is(.x, .y):is(#z) -> outer"]),
        (":is(.a .b)", []),
        (":is(a:first-child)", []),
        (":is(:is(a))", []),
        (":is(a:not(b))", [":is(a:not(b)) -> outer"]),
        (":is(a,)", []),
    ],
    "has and contains": [
        ("div:has(a)", ["div:has(a) -> outer"]),
        ("div:has(> a)", ["div:has(> a) -> outer"]),
        ("div:has(a, b)", ["div:has(:is(a, b)) -> outer"]),
        ("div:has(> a, > img)", ["div:has(> :is(a, img)) -> outer"]),
        ("div:has(> a, img)", []),
        ("div:has(a b)", []),
        ("div:has(a+b)", []),
        ("div:has(:has(a))", []),
        ("div:has(a):has(b)", []),
        ("div:has(a:first-child)", []),
        ("div:has(a):first-child", ["div:nth(0,1):has(a) -> outer"]),
        ("div:first-child:has(a)", []),
        ("div:has([t='a b'])", ['div:has([t="a b"]) -> outer']),
        ("div:has()", []),
        ('p:contains("Price")', ['p:text(all,contains,"Price") -> outer']),
        ("p:contains(Price)", ['p:text(all,contains,"Price") -> outer']),
        ("p:contains('a\\62 c')", ['p:text(all,contains,"abc") -> outer']),
        ("p:contains(12)", []),
        ('p:contains("a"):contains("b")', []),
        ('dt:contains("Price") + dd::text', ['dt:text(all,contains,"Price") + dd -> text']),
    ],
    "unsupported": [
        ("a|b", []), ("ns|a", []), ("a:hover", []), ("a:lang(en)", []), (":root", []),
        ("a::after", []), ("$a", []), ("a!", []), ("a{b}", []),
    ],
}


@pytest.mark.parametrize("query, expected", [c for group in CASES.values() for c in group],
                         ids=[f"{g}:{c[0]!r}" for g, group in CASES.items() for c in group])
def test_parse(query, expected):
    assert css(query) == expected


def test_nesting_is_bounded():
    # Only a case-variant :NOT( escapes the "no :not inside :not" text rule,
    # so that is how deep nesting can be written at all.
    def nested(n):
        q = "a"
        for _ in range(n):
            q = f"b:NOT({q})"
        return q
    assert css(nested(32)) != []
    assert css(nested(33)) == []
    assert css(nested(5000)) == []


@pytest.mark.parametrize("text, pieces", [
    ("a, b", ["a", " b"]),
    ("a", ["a"]),
    ("", [""]),
    ("a,", ["a", ""]),
    ("a(b,c),d", ["a(b,c)", "d"]),
    ("a[x=','],b", ["a[x=',']", "b"]),
    ("a\\,b,c", ["a\\,b", "c"]),
    ("a\\31 ,b", ["a\\31 ", "b"]),
    ("'a,b\",c'", ["'a,b\",c'"]),
    (")a,b", [")a,b"]),                 # the counter went below zero
    ("a),(b,c", ["a),(b", "c"]),
])
def test_split_top_commas(text, pieces):
    assert t.css_piece("split", text) == pieces


@pytest.mark.parametrize("text, expected", [
    ("abc", "abc"), ("\\41", "A"), ("\\41 b", "Ab"), ("\\41\r\nb", "Ab"), ("\\41\rb", "A\rb"[:1] + "b"),
    ("\\000041x", "Ax"), ("\\0000041", "\x041"), ("\\", None), ("a\\", None),
    # Zero, surrogates and values past U+10FFFF stand for U+FFFD (CSS Syntax, cssselect).
    ("\\0", "\ufffd"), ("\\0 x", "\ufffdx"), ("\\d800", "\ufffd"), ("\\dfff y", "\ufffdy"),
    ("\\110000", "\ufffd"), ("\\é", "é"), ("\\\\", "\\"),
    # A backslash before a newline: a line continuation in a string, a failure in a name.
    ("\\\n", None), ("a\\\r\nb", None), ("a\\\fb", None),
])
def test_unescape_css(text, expected):
    assert t.css_piece("unescape", text) == expected


@pytest.mark.parametrize("text, expected", [
    ("pr\\\ne", "pre"), ("pr\\\r\ne", "pre"), ("pr\\\re", "pre"), ("pr\\\fe", "pre"), ("a\\\r\r", "a\r"),
    ("\\\n", ""), ("\\41\\\nb", "Ab"), ("a\\\\\nb", "a\\\nb"), ("\\0", "\ufffd"), ("a\\", None),
])
def test_unescape_css_string(text, expected):
    assert t.css_piece("unescape_string", text) == expected


@pytest.mark.parametrize("text, expected", [
    ("  a  ", "a"), ("a\\31 ", "a\\31 "), ("a\\31   ", "a\\31 "), ("\\ ", "\\ "), ("a\\  ", "a\\ "),
    ("\u3000a\u3000", "a"), ("", ""), ("a\\31 b ", "a\\31 b"),
])
def test_trim_css(text, expected):
    assert t.css_piece("trim", text) == expected


@pytest.mark.parametrize("text, expected", [
    ("a", True), ("-a", True), ("_", True), ("-", False), ("--a", False), ("-1", False), ("1a", False),
    ("a-1_b", True), ("é", True), ("\u00a0", True), ("a b", False), ("", False), ("a.b", False),
])
def test_is_css_ident(text, expected):
    assert t.css_piece("ident", text) == expected


@pytest.mark.parametrize("text, expected", [
    ("odd", (2, 1)), (" EVEN ", (2, 0)), ("n", (1, 0)), ("-n", (-1, 0)), ("+n", (1, 0)),
    ("3n", (3, 0)), ("-3n+2", (-3, 2)), ("3n - 2", (3, -2)), ("7", (0, 7)), ("+7", (0, 7)),
    ("n+", None), ("n-", None), ("", None), ("x", None), ("2x", None), ("--n", None),
    ("3000000000n", None), ("n+3000000000", None), ("1 2", None),
])
def test_anpb(text, expected):
    assert t.css_piece("anpb", text) == expected


QUERY_CHARS = st.sampled_from(list("abdivp*#.[]()=\"'\\:>+~, \t-_|^$!1234567890") + [
    ":not(", ":is(", ":where(", ":has(", ":contains(", ":nth-child(", ":first-child", "::text",
    "::attr(", " ::text", "\u00e9", "\u3000", "\ufffd", ":NOT(", "2n+1", "odd"])


@settings(max_examples=600, deadline=None)
@given(st.lists(QUERY_CHARS, max_size=40).map("".join) | st.text(max_size=30))
def test_random_queries_never_break_the_model(query):
    # t.compile raises the internal-fault exception if a model invariant fails.
    for which in ("css", "query", "one", "sub"):
        t.compile(which, query)
    assert t.reason(query)  # every query has exactly one explanation
    flat, groups, budget = ls.audit_schema([query], [(query, [("f", query)])])
    supported, why = flat[0]
    assert supported == (why is None)  # an unsupported query always says why
    if supported:
        assert t.compile("query", query)


@settings(max_examples=100, deadline=None)
@given(st.binary(max_size=40))
def test_invalid_utf8_queries(data):
    query = data.decode("utf-8", errors="replace")
    # compile() raises the internal-fault exception on a broken model invariant.
    css, xpath = t.compile("css", query), t.compile("xpath", query)
    routed = t.compile("query", query)
    assert routed == (xpath if t.route(query) == "xpath" else css)


ELEMENT_PARTS = ["a", "div.x", "ul > li", "li:nth-child(2)", "p:not(.a)", ":is(a, b) c",
                 "div:has(> img)", "table tr + tr", "[data-x^='y']", "li:last-child", "*"]


@pytest.mark.parametrize("element", ELEMENT_PARTS)
@pytest.mark.parametrize("suffix, terminal", [
    ("", "outer"), ("::text", "text"), (" ::text", "text"), ("::attr(href)", "attr"),
    (" ::attr(data-x)", "attr"), (" *::text", "text"),
])
def test_terminals_agree_with_the_written_suffix(element, suffix, terminal):
    for query in (element + suffix, f"{element}{suffix}, b{suffix}"):
        assert ls.selector_terminals([query]) == [terminal], query


def test_introspection():
    assert ls.selector_terminals(["//a/@href", "li ::text", "div", "normalize-space(//h1)",
                                  "p::first-line"]) == ["attr", "text", "outer", "normalize-space", None]
    assert ls.selector_node_identity(["li.item", "body", "div, p", "*", "#main", "p::first-line"]) == [
        ("li", False), ("body", True), (None, False), (None, True), (None, False), (None, True)]
    assert ls.selector_node_identity(["html > body", "body.x", "li, li", "li, p", "HTML", "body[x]",
                                      "head:first-child", "*.a, *"]) == [
        ("body", True), ("body", False), ("li", False), (None, False), ("html", True), ("body", False),
        ("head", True), (None, True)]


# The text rules of CSS Syntax that parsel (cssselect) applies before parsing:
# a NUL stands for U+FFFD; in a quoted string a backslash before a newline
# vanishes; escapes of zero or a surrogate give U+FFFD.
TEXT_RULE_DOC = '<p id="\ufffdx">a</p><p id="pre">b</p><p id="\ufffd" class="\ufffd">c</p>'


@pytest.mark.parametrize("query, expected", [
    ('[id="\x00x"]::text', ["a"]),
    ("[id='\x00']::text", ["c"]),
    ("#\x00x::text", ["a"]),
    (".\x00::text", ["c"]),
    ('p:contains("\x00")::text', []),  # U+FFFD is in no text here
    ('[id="pr\\\ne"]::text', ["b"]),
    ('[id="pr\\\r\ne"]::text', ["b"]),
    ('[id="pr\\\re"]::text', ["b"]),
    ('[id="pr\\\fe"]::text', ["b"]),
    ("[id='p\\\nr\\\ne']::text", ["b"]),
    ('p:contains("\\\nb")::text', ["b"]),
    ('[id="\\0 x"]::text', ["a"]),
    ('[id="\\d800 x"]::text', ["a"]),
    ("#\\0 x::text", ["a"]),
    ("[id=pr\\\ne]::text", []),  # no continuation outside a string
])
def test_selector_text_rules(query, expected):
    assert ls.extract(TEXT_RULE_DOC, [query]) == [expected]
    try:
        import parsel
    except ImportError:
        return
    try:
        got = parsel.Selector(text=TEXT_RULE_DOC).css(query).getall()
    except Exception:  # parsel refuses the query; the engine's empty column is its answer
        got = []
    assert got == expected
