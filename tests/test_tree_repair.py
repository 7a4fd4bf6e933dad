"""Tree repair: implied closes, end-tag priorities, the html/head/body
skeleton and redundant skeleton tags, observed through extraction."""
import pytest

import _larkspine as ls


def ex(html, *queries):
    return ls.extract(html, list(queries))


CASES = {
    "implied close": [
        ("<p>a<div>b</div>", ["body > div::text", "p div::text"], [["b"], []]),
        ("<p>a<span>b</span>", ["p span::text"], [["b"]]),
        ("<table><tr><td>a<td>b</table>", ["tr > td::text"], [["a", "b"]]),
        ("<table><tr><td>a<tr><td>b</table>", ["table > tr::attr(x)", "tr:nth-child(2) td::text"], [[], ["b"]]),
        ("<ul><li>a<li>b</ul>", ["ul > li::text", "li li::text"], [["a", "b"], []]),
        ("<ol><li>a<ol><li>b</ol></ol>", ["li ol li::text"], [["b"]]),
        ("<select><option>a<option>b</select>", ["option::text", "option option::text"], [["a", "b"], []]),
        ("<select><optgroup><option>a<optgroup><option>b</select>",
         ["optgroup optgroup option::text"], [["b"]]),
        ("<dl><dt>a<dd>b<dt>c</dl>", ["dl > dt::text", "dl > dd::text"], [["a", "c"], ["b"]]),
        ("<p>a<p>b", ["body > p::text"], [["a", "b"]]),
        ("<a href=1>x<a href=2>y</a>", ["a a::attr(href)", "a::attr(href)"], [[], ["1", "2"]]),
        ("<b>a<p>c</p>", ["b p::text", "body > p::text"], [[], ["c"]]),
        ("<h1>a<h2>b</h2>", ["h1 h2::text"], [["b"]]),
        ("<table><caption>c<tr><td>x</table>", ["caption tr::text", "table > tr > td::text"], [[], ["x"]]),
        ("<form><form>x</form></form>", ["form form::text", "body > form::text"], [[], ["x"]]),
        ("<center><font>a<center>b", ["font center::text"], [[]]),
    ],
    "end tags": [
        ("<div><p>x</div>y", ["div > p::text", "div::text", "body::text"], [["x"], [], ["y"]]),
        ("<td><div>x</td>y", ["td > div::text", "td::text"], [["x"], []]),
        ("<div><table><tr><td>x</div>y</td></tr></table></div>", ["td::text"], [["xy"]]),
        ("<p>a</P>b", ["p::text", "body::text"], [["a"], ["b"]]),
        ("<p>a</span>b</p>", ["p::text"], [["ab"]]),
        ("<div><p>a</p></div></div>b", ["body::text"], [["b"]]),
        ("<table><tr><td>x</table>y", ["body::text"], [["y"]]),
        ("<div><span>a</div>b", ["body::text", "span::text"], [["b"], ["a"]]),
        ("<p><div>x</p>y</div>", ["div::text"], [["xy"]]),
        ("<b><i>x</b>y</i>", ["b > i::text", "body::text"], [["x"], ["y"]]),
        ("<div>a<!-- c -->b</div>", ["div::text"], [["a", "b"]]),
    ],
    "skeleton": [
        ("hello", ["html > body::text", "body::attr(x)"], [["hello"], []]),
        ("<title>t</title>x", ["html > head > title::text", "html > body::text"], [["t"], ["x"]]),
        ("<body><meta name=a></body>", ["head", "body > meta::attr(name)"], [[], ["a"]]),
        ("<p>x</p><title>t</title>", ["body > title::text", "head"], [["t"], []]),
        ("<html><head><title>t</title></head><body>x</body></html>", ["html > head + body::text"], [["x"]]),
        ("<head><title>t</title></head>x", ["head::text", "body::text"], [[], ["x"]]),
        # A redundant body tag is ignored and its end tag only balances it; text
        # on both sides of them forms one run.
        ("<div>a</div><body class=b>c</body>d", ["body::attr(class)", "body::text"], [[], ["cd"]]),
        ("<body><body class=x>a</body>b</body>c", ["body::attr(class)", "body::text", "html::text"],
         [[], ["ab"], ["c"]]),
        ("<div><head><title>t</title></head></div>", ["div > title::text", "head title"], [["t"], []]),
        ("<div><body/>x", ["div::text", "body::text"], [[], ["x"]]),
        ("<html><p>a</p><html lang=x>b</html>c", ["html::attr(lang)", "p::text"], [[], ["a"]]),
        ("a<html>b", ["body::text"], [["ab"]]),
        ("   \n<p>x", ["body::text", "p::text"], [[], ["x"]]),
        ("<meta charset=utf-8>x", ["head > meta::attr(charset)", "body::text"], [["utf-8"], ["x"]]),
        ("<frameset><frame src=a></frameset>", ["frameset > frame::attr(src)"], [["a"]]),
        ("<head><p>x", ["head p", "body > p::text"], [[], ["x"]]),
        ("<html><head></head>  <body>x", ["html::text"], [[]]),
        ("<title>a</title> b", ["head::text", "body::text"], [[" "], ["b"]]),
    ],
    "void and self-closing": [
        ("<div/>x", ["div::text", "body::text"], [[], ["x"]]),
        ("<br>x<img src=a>y", ["br::text", "img::text", "body::text"], [[], [], ["x", "y"]]),
        ("<wbr>x</wbr>", ["wbr::text"], [["x"]]),
        ("<source>x", ["source::text"], [["x"]]),
        ("<p/>x<p>y", ["p::text"], [["y"]]),
        ("<input disabled value=a>", ["input::attr(disabled)", "input::attr(value)"], [["disabled"], ["a"]]),
        ("<input DISABLED>", ["input::attr(disabled)"], [["disabled"]]),
        ("<div hidden>", ["div::attr(hidden)"], [[""]]),
        ("<a href=/x/>y", ["a::text", "a::attr(href)"], [["y"], ["/x/"]]),
    ],
    "positions count synthesized frames": [
        ("<p>a", ["body:nth-child(1)::attr(x)", "html > :nth-child(1)::text", "p:first-child::text"], [[], [], ["a"]]),
        ("<title>t</title><p>a", ["html > :nth-child(2) > p::text", "body:nth-child(2) p::text"], [["a"], ["a"]]),
    ],
}


@pytest.mark.parametrize("html, queries, expected", [c for g in CASES.values() for c in g],
                         ids=[f"{g}:{c[0]!r}" for g, group in CASES.items() for c in group])
def test_tree_repair(html, queries, expected):
    assert ex(html, *queries) == expected


def test_long_names_are_ordinary_elements():
    html = "<p>a<averyverylongname>b</averyverylongname>c"
    assert ex(html, "p averyverylongname::text", "p::text") == [["b"], ["a", "c"]]


def test_deep_nesting_does_not_recurse():
    depth = 100_000
    html = "<div>" * depth + "x" + "</div>" * depth
    assert ex(html, "div > div > div::text") == [["x"]]
    assert len(ex(html, "div:first-child::text, div:not(:first-child)::text")[0]) == 1
