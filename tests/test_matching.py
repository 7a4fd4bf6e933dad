"""Streamed matching end to end: compounds, segments, siblings, text runs,
attribute values, outer HTML, normalize-space, groups, and value decoding."""
import pytest

import _larkspine as ls


def one(html, query, encoding=None):
    return ls.extract(html, [query], encoding=encoding)[0]


CASES = {
    "attribute operators": [
        ('<i title="">a</i><i>b</i>', "[title='']::text", ["a"]),
        ('<i title="">a</i>', "[title^='']::text", []),
        ('<i title="">a</i>', "[title$='']::text", []),
        ('<i title="">a</i>', "[title*='']::text", []),
        ('<i title="">a</i>', "[title~='']::text", []),
        ('<i lang="">a</i><i lang="-x">b</i><i lang="en-US">c</i><i lang="en">d</i><i lang="eng">e</i>',
         "[lang|='']::text", ["a", "b"]),
        ('<i lang="en-US">c</i><i lang="en">d</i><i lang="eng">e</i>', "[lang|=en]::text", ["c", "d"]),
        ('<i class="  b\ta  ">x</i><i class="A">y</i><i class="ab">z</i>', ".a::text", ["x"]),
        ('<i id="x">a</i><i id="X">b</i>', "#X::text", ["b"]),
        ('<i id="a" id="b">x</i>', "#b::text", []),
        ('<i class="a" class="b">x</i>', ".b::text", []),
        ('<i data-x="V">x</i>', '[data-x="v" i]::text', ["x"]),
        ('<i Data-X="v">x</i>', "[DATA-X]::text", ["x"]),
        ('<i a="xyz">1</i><i a="yz">2</i>', '[a$="yz"]::text', ["1", "2"]),
        # A comma group is a union: an element matched by two members counts once.
        ('<i a="Hello World">x</i>', '[a~="World"]::text, [a*="lo W"]::text', ["x"]),
        ('<i a="HELLO">x</i>', '[a^="hel" i]::text', ["x"]),
        ('<i a="a\tb">x</i>', '[a~="b"]::text', ["x"]),
        ('<i a="a\u00a0b">x</i>', '[a~="b"]::text', []),
    ],
    "negation and alternatives": [
        ('<div class="x">1</div><div class="y">2</div><div>3</div>', "div:not(.x, .y)::text", ["3"]),
        ('<div class="x" id="z">1</div><div class="y">2</div><div id="z">3</div>',
         "div:is(.x, .y):where(#z)::text", ["1"]),
        ("<p><a>1</a><b>2</b><i>3</i></p>", "p > :is(a, i)::text", ["1", "3"]),
        ("<p><a>1</a><b>2</b></p>", "p > :not(a)::text", ["2"]),
    ],
    "positions": [
        ("<ul><li>1<li>2<li>3<li>4<li>5</ul>", "li:nth-child(2n+1)::text", ["1", "3", "5"]),
        ("<ul><li>1<li>2<li>3<li>4<li>5</ul>", "li:nth-child(-n+3)::text", ["1", "2", "3"]),
        ("<ul><li>1<li>2<li>3</ul>", "li:nth-child(0n+0)::text", []),
        ("<ul><li>1<li>2<li>3</ul>", "li:nth-child(n+2)::text", ["2", "3"]),
        ("<div><p>1</p><i>x</i><p>2</p></div>", "p:nth-of-type(2)::text", ["2"]),
        ("<div><p>1</p><i>x</i><p>2</p></div>", "p:nth-child(2)::text", []),
        ("<div><p>1</p><i>x</i><p>2</p></div>", "//p[2]/text()", ["2"]),
        ("<div><p>1</p><i>x</i><p>2</p></div>", "//*[2]/text()", ["x"]),
        ("<div><p>1</p><P>2</P></div>", "p:nth-of-type(2)::text", ["2"]),
        ("<div><p>1</p>text<!-- c --><p>2</p></div>", "p:nth-child(2)::text", ["2"]),
    ],
    "segments and combinators": [
        ("<div><span><em><i>x</i></em></span></div>", "div > span i::text", ["x"]),
        ("<div><em><span><i>x</i></span></em></div>", "div > span i::text", []),
        ("<b><p>x</p></b>", "b p::text", []),  # <p> closes an open <b>
        ("<div><div><p>x</p></div></div>", "div > div > p::text", ["x"]),
        ("<div><span><p>x</p></span></div>", "div > p::text", []),
        ("<div class=a><div class=b><div class=a><p>x</p></div></div></div>", ".a > .b p::text", ["x"]),
        ("<div class=a><div class=b><p class=c><i>x</i></p></div></div>", ".a .b > .c i::text", ["x"]),
        ("<h1>t</h1><p>1</p><p>2</p>", "h1 + p::text", ["1"]),
        ("<h1>t</h1><p>1</p><p>2</p>", "h1 ~ p::text", ["1", "2"]),
        ("<h1>t</h1>text<p>1</p>", "h1 + p::text", ["1"]),
        ("<h1>t</h1><br><p>1</p>", "h1 + p::text", []),
        ("<div><h1>t</h1></div><p>1</p>", "h1 ~ p::text", []),
        ("<h1>t</h1><p>1</p><h2>u</h2><p>2</p><p>3</p>", "h1 ~ h2 + p::text", ["2"]),
        ("<ul><li class=a>1<li>2<li>3</ul>", ".a ~ li::text, .a + li::text", ["2", "3"]),
        ("<p>x</p><div><p>y</p></div>", "//p/following-sibling::div/p/text()", ["y"]),
    ],
    "text runs": [
        ("<p>a<b>b</b>c</p>", "p::text", ["a", "c"]),
        ("<p>a<b>b</b>c</p>", "p ::text", ["a", "b", "c"]),
        ("<p>a<b>b</b>c</p>", "//p//text()", ["a", "b", "c"]),
        ("<div> <p>x</p> </div>", "div::text", [" ", " "]),
        ("<p>a<!-- c -->b</p>", "p::text", ["a", "b"]),
        ("<p>a</>b</p>", "p::text", ["ab"]),
        ("<p>a<!DOCTYPE x>b</p>", "p::text", ["ab"]),
        ("<p>a</q>b</p>", "p::text", ["ab"]),
        ("<p>a<?pi?>b</p>", "p::text", ["a", "b"]),
        ("<title>a&amp;b</title>", "title::text", ["a&b"]),
        ("<script>a&amp;b</script>", "script::text", ["a&amp;b"]),
        ("<style>a<b></style>", "style::text", ["a<b>"]),
        ("<p>a&amp;b&lt;c&#62;d&nbsp;</p>", "p::text", ["a&b<c>d\u00a0"]),
        ("<p>a\r\nb\rc</p>", "p::text", ["a\nb\nc"]),
        ("<textarea>a<b>c</b></textarea>", "textarea::text", ["a<b>c</b>"]),
        ("<plaintext><p>x", "plaintext::text", ["<p>x"]),
        ("<p>x</p>tail", "p::text, body::text", ["x", "tail"]),
        ("<p>1 < 2</p>", "p::text", ["1 < 2"]),
    ],
    "attribute values": [
        ("<a href=1 HREF=2>x</a>", "a::attr(href)", ["1"]),
        ("<a href='a&amp;b'>x</a>", "a::attr(href)", ["a&b"]),
        ("<a href='?a=1&copy=2'>x</a>", "a::attr(href)", ["?a=1&copy=2"]),
        ("<a href='a\r\nb'>x</a>", "a::attr(href)", ["a\nb"]),
        ("<div id=a><p id=b><i id=c>x</i></p></div>", "div ::attr(id)", ["a", "b", "c"]),
        ("<div id=a><p id=b></p></div>", "//div//@id", ["a", "b"]),
        ("<a href=1><b href=2>x</b></a>", "a::attr(href)", ["1"]),
        ("<a title>x</a>", "a::attr(title)", [""]),
        ("<a checked>x</a>", "a::attr(checked)", ["checked"]),
        ("<a b=c d=e f=g h=i j=k>x</a>", "a::attr(j)", ["k"]),
        ("<a b=c d=e f=g h=i j=k>x</a>", "[f=g]::attr(h)", ["i"]),
    ],
    "outer html": [
        ("<p class=a>x<b>y</b></p>", "p", ["<p class=a>x<b>y</b></p>"]),
        ("<p>x<p>y", "p", ["<p>x", "<p>y"]),
        ("<div><p>x</div>", "p", ["<p>x"]),
        ("<ul><li>a<li>b", "//li", ["<li>a", "<li>b"]),
        ("<div><div>x</div></div>", "div", ["<div><div>x</div></div>", "<div>x</div>"]),
        ("<p>&amp;\r\n</p>", "p", ["<p>&amp;\n</p>"]),
        ("<br>", "br", ["<br>"]),
        # A synthesized element's source starts where it was inferred.
        ("<p>a", "body", ["<p>a"]),
        ("<body><p>a</p></body>", "body", ["<body><p>a</p></body>"]),
        # Elements inferred at one offset come in document order, outermost first.
        ("<title>t</title>x", "head, html", ["<title>t</title>x", "<title>t</title>"]),
        ("<title>t</title>x", "*", ["<title>t</title>x", "<title>t</title>", "<title>t</title>", "x"]),
        ("x<p>y", "//*", ["x<p>y", "x<p>y", "<p>y"]),
    ],
    "normalize-space": [
        ("<h1>  a \t\n b  </h1><h1>c</h1>", "normalize-space(//h1)", ["a b"]),
        ("<h1>  a <i>b</i> </h1>", "normalize-space(//h1)", ["a b"]),
        ("<h1> a <i>b</i></h1>", "normalize-space(//h1/text())", ["a"]),
        ("<h1><i> b </i>a</h1>", "normalize-space(//h1//text())", ["b"]),
        ("<p>x</p>", "normalize-space(//h1)", [""]),
        ("<a href=' x  y '>", "normalize-space(//a/@href)", ["x y"]),
        ("<p>\u00a0x\u00a0</p>", "normalize-space(//p)", ["\u00a0x\u00a0"]),
    ],
}


@pytest.mark.parametrize("html, query, expected", [c for g in CASES.values() for c in g],
                         ids=[f"{g}:{c[1]!r}:{i}" for g, group in CASES.items() for i, c in enumerate(group)])
def test_matching(html, query, expected):
    assert one(html, query) == expected


@pytest.mark.parametrize("doc, label, query, expected", [
    (b"<p title='\x80'>\x93x\x94</p>", "windows-1252", "p::text", ["\u201cx\u201d"]),
    (b"<p title='\x80'>x</p>", "windows-1252", "p::attr(title)", ["\u20ac"]),
    (b"<p>\xff</p>", None, "p::text", ["\ufffd"]),
    (b"<p>\x82\xa0</p>", "shift_jis", "p::text", ["\u3042"]),
    (b"<p>\x82\xa0</p>", "shift_jis", "p", ["<p>\u3042</p>"]),
    (b"<meta charset=koi8-r><p>\xc1</p>", None, "p::text", ["\u0430"]),
    (b"\xff\xfe<\x00p\x00>\x00\xe9\x00", None, "p::text", ["\u00e9"]),
    (b"\xef\xbb\xbf<p>x</p>", None, "p", ["<p>x</p>"]),
    (b"<p>a\x00b</p>", None, "p::text", ["ab"]),
    (b"<p>a\x00b</p>", None, "p", ["<p>ab</p>"]),
    (b"<p \xe9=1 class=\xe9>x</p>", "windows-1252", ".\u00e9::text", ["x"]),
    (b"<p d\xe9=v q=1 r=2 s=3>x</p>", "windows-1252", "p::attr(d\u00e9)", ["v"]),
])
def test_values_are_decoded_from_the_document_encoding(doc, label, query, expected):
    assert one(doc, query, encoding=label) == expected


def test_bom_does_not_move_offsets():
    doc = b"<p>a</p><p>b</p>"
    assert ls.extract(b"\xef\xbb\xbf" + doc, ["p", "p::text"]) == ls.extract(doc, ["p", "p::text"])


GROUP_CASES = [
    ("<ul><li><a href=1>A</a> <b>x</b></li><li><a href=2>B</a></li></ul>",
     ("li", [("link", "./a/@href"), ("text", "./a/text()"), ("hrefs", ".//@href"), ("b", "b::text")]),
     [[["1"], ["A"], ["1"], ["x"]], [["2"], ["B"], ["2"], []]]),
    ("<div class=r id=1><span>a</span></div><div class=r id=2></div>",
     ("div.r", [("id", "@id"), ("same", "./@id"), ("self", "."), ("t", "text()"), ("all", ".//text()")]),
     [[["1"], ["1"], ['<div class=r id=1><span>a</span></div>'], [], ["a"]],
      [["2"], ["2"], ["<div class=r id=2></div>"], [], []]]),
    ("<div class=r><div class=r><i>x</i></div></div>",
     ("div.r", [("i", "i::text"), ("child-i", "./i/text()")]),
     [[["x"], []], [["x"], ["x"]]]),
    ("<li><p>1</p><p>2</p></li>", ("li", [("p", "p::text"), ("sib", "p + p::text"), ("bad", "p:::x")]),
     [[["1", "2"], [], []]]),
    ("<li><span>a</span></li>", ("li, p", [("s", "span::text")]), []),
    ("<li><span>a</span></li>", ("normalize-space(//li)", [("s", "span::text")]), []),
    ("<table><tr><td>1</td><td>2</td></tr><tr><td>3</td></tr></table>",
     ("tr", [("cells", "td::text"), ("first", "td:first-child::text"), ("span", ".//span")]),
     [[["1", "2"], ["1"], []], [["3"], ["3"], []]]),
]


@pytest.mark.parametrize("html, group, rows", GROUP_CASES)
def test_groups(html, group, rows):
    flat, grouped = ls.extract_grouped(html, [], [group])
    assert flat == [] and grouped == [rows]


def test_rows_follow_container_start_order():
    html = "<div class=o>1<div class=i>2</div>3</div>"
    _, grouped = ls.extract_grouped(html, [], [("div", [("t", "text()")])])
    assert grouped == [[[["1", "3"]], [["2"]]]]


def test_flat_and_grouped_together():
    html = "<h1>T</h1><ul><li>a</li><li>b</li></ul>"
    assert ls.extract_grouped(html, ["h1::text", "li::text"], [("li", [("t", "text()")]), ("ul", [("n", "li")])]) == (
        [["T"], ["a", "b"]], [[[["a"]], [["b"]]], [[["<li>a</li>", "<li>b</li>"]]]])
