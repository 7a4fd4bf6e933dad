"""Tree repair: implied closes, end-tag priorities, the html/head/body
skeleton and redundant skeleton tags, observed through extraction."""
import pytest
from hypothesis import given, settings, strategies as st

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
        # An equal priority does not block: </td> closes through an open th.
        ("<td>a<x><th>b</td>c", ["th::text", "body::text"], [["b"], ["c"]]),
        ("<div><x><div>a</div>b</div>c", ["div div::text", "div > x::text", "body::text"], [["a"], ["b"], ["c"]]),
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


# A model of the end-tag rule and the start-closes rows that apply among the
# names below, with the nearest open element found by walking the stack:
# random tag soup must give the tree it gives. Many distinct names, spelt in
# mixed case, exercise the engine's index of open names (insertions,
# removals, names that share a slot).
PRIORITY = {"div": 1, "td": 2, "th": 2, "tr": 3, "table": 5}
CLOSES = {"td": {"td", "th", "span"}, "th": {"td", "th", "span"}, "tr": {"td", "th", "tr"}}
NAMES = ["div", "td", "th", "tr", "table", "span"] + [f"n{i}" for i in range(40)]


def model_children(tokens):
    """Children ids per element (document order) and the ids at the top level."""
    stack, children, top = [], [], []
    for is_end, name in tokens:
        low = name.lower()
        if not is_end:
            while stack and stack[-1][0] in CLOSES.get(low, ()):
                stack.pop()
            ident = len(children)
            children.append([])
            (children[stack[-1][1]] if stack else top).append(ident)
            stack.append((low, ident))
            continue
        found = next((i for i in range(len(stack) - 1, -1, -1) if stack[i][0] == low), None)
        if found is None or any(PRIORITY.get(n, 0) > PRIORITY.get(low, 0) for n, _ in stack[found + 1:]):
            continue
        del stack[found:]
    return children, top


# Half the tags from the six names the rules know, half from the others.
name_st = st.one_of(st.sampled_from(NAMES[:6]), st.sampled_from(NAMES[6:])).flatmap(
    lambda n: st.lists(st.booleans(), min_size=len(n), max_size=len(n)).map(
        lambda up: "".join(c.upper() if u else c for c, u in zip(n, up))))


@settings(max_examples=400, deadline=None)
@given(st.lists(st.tuples(st.booleans(), name_st), max_size=120))
def test_random_tag_soup_builds_the_modelled_tree(tokens):
    html, ident = [], 0
    for is_end, name in tokens:
        if is_end:
            html.append(f"</{name}>")
        else:
            html.append(f"<{name} id={ident}>")
            ident += 1
    flat, (rows,) = ls.extract_grouped("".join(html), ["body > *::attr(id)"], [("[id]", [("kids", "./*/@id")])])
    children, top = model_children(tokens)
    assert flat == [[str(i) for i in top]]
    assert rows == [[[str(i) for i in kids]] for kids in children]
