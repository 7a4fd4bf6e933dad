"""Schema compilation, observed through the compiled schema's dump."""
import re

import pytest

t = pytest.importorskip("_larkspine_testing")


def dump(flat, groups=(), sigs=False):
    text = t.schema_dump(list(flat), list(groups))
    return text if sigs else re.sub(r"\{sig=0x[0-9a-f]+\}", "", text)


def lines(flat, groups=(), prefix=""):
    return [l for l in dump(flat, groups).splitlines() if l.startswith(prefix)]


@pytest.mark.parametrize("query, expected", [
    ("li:last-child::text", "rev li:rev(0,1) -> text => own q0 simple-last"),
    ("li:last-child ::text", "rev li:rev(0,1) -> text(subtree) => tail 0 q0 simple-last"),
    ("li:last-child b::text", "rev li:rev(0,1) -> text => tail 0 q0 simple-last"),
    ("li:nth-last-child(2)::attr(id)", "rev li:rev(0,2) -> attr(id) => own q0"),
    ("div:has(a)", "has div:has(a) -> outer => own q0"),
    ('p:contains("x") ::text', 'text p:text(all,contains,"x") -> text(subtree) => tail 0 q0'),
    ("ul li:last-child b i::text", "rev ul li:rev(0,1) -> text => tail 0 q0 simple-last"),
])
def test_deferred_routes(query, expected):
    assert expected in dump([query]).splitlines()


@pytest.mark.parametrize("query", [
    "li:last-child", "li:nth-last-child(2) ~ li::text", "li:last-child + li",
    "div:has(a):contains('x')", "div:has(a) > p:has(b) > i:has(u) > b:has(s)::text", "a:not(:last-child)::text",
    'h2::text, p:contains("x")::attr(id)', "h2::text, p:has(b)::text", 'h2::text, p:contains("x") ::text',
])
def test_queries_that_get_nothing(query):
    body = [l for l in dump([query]).splitlines() if l.split(" ")[0] in ("csel", "rev", "has", "text")]
    assert body == []


def test_gated_sibling():
    d = dump(['dt:contains("Price") + dd::text'])
    assert 'csel 0 q0: dt:text(all,contains,"Price") + [bit 0] dd -> text' in d
    assert 'text dt:text(all,contains,"Price") -> text => gate bit 0' in d


def test_shared_tails():
    d = dump(["div:has(a) b::text", "div:has(a) i::text", "div:has(b) i::text"])
    assert "has div:has(a) -> text => tail 0 q0" in d
    assert "has div:has(a) -> text => shared tail (2 members) q1" in d
    assert "has div:has(b) -> text => tail 1 q2" in d
    assert "tail 0 queries 0 1" in d and "tail 1 queries 2" in d


def test_tails_are_live_or_the_query_is_refused():
    # A tail the parser refuses takes its whole query with it: no template.
    assert not [l for l in dump(["div:has(a) p::first-line"]).splitlines() if l.startswith("has ")]
    # A tail with a second deferred construct is refused the same way.
    assert not [l for l in dump(["li:last-child b:nth-last-child(2)"]).splitlines() if l.startswith("rev ")]
    # Every tail of a routable query serves its column (none is dead).
    d = dump(["div:has(a) b::text", "li:last-child ::attr(id)", 'p:contains("x") i'])
    templates = [l for l in d.splitlines() if l.split(" ")[0] in ("rev", "has", "text")]
    assert len(templates) == 3 and not any("=> dead" in l for l in templates)


def test_merged_comma_group():
    d = dump(['h2::text, p:contains("x")::text'])
    assert "csel 0 q0: h2 -> text" in d
    assert 'text p:text(all,contains,"x") -> text => own q0' in d
    assert "merged: 0" in d


@pytest.mark.parametrize("flat, names", [
    (["a::attr(href)", "[x]", ".c"], "class href x"),
    (["a::attr(href)", "[x]", ".c", "#i"], "class href id x"),
    (["[X]", "[x]", "a::attr(X)"], "x"),
    (["normalize-space(//a/@title)"], "title"),
])
def test_attribute_names(flat, names):
    d = dump(flat)
    got = next(l for l in d.splitlines() if l.startswith("attr_names:"))
    assert sorted(got.split()[1:]) == names.split()


# Dispatch by tag: the candidate selectors of each tag and the attributes its
# elements keep (most tags: "*"; the tags that differ follow, then names
# without a tag id when they differ).
@pytest.mark.parametrize("flat, groups, lines", [
    (["a::attr(href)", "p.c::text"], [],
     ["dispatch *: keep - csels -", "dispatch a: keep href csels 0", "dispatch p: keep class csels 1"]),
    # A universal compound: every tag keeps its attribute and is a candidate.
    (["[x]::text", "img::attr(src)"], [], ["dispatch *: keep x csels 0", "dispatch img: keep x,src csels 0,1"]),
    # Ancestors and :not() keep what they test; a name without an id is "*".
    (["div.a p:not([y])::text", "x-y::attr(z)"], [],
     ["dispatch *: keep y csels -", "dispatch div: keep class,y csels -", "dispatch p: keep y csels 0",
      "dispatch (other names): keep y,z csels 1"]),
    # A descendant-attribute terminal reads every element's attribute.
    (["//ul//@href"], [], ["dispatch *: keep href csels -", "dispatch ul: keep href csels 0"]),
    # A later segment's subject and a sibling's first compound.
    (["h1 + p::text"], [], ["dispatch *: keep - csels -", "dispatch h1: keep - csels 0", "dispatch p: keep - csels 0"]),
    # Sub-fields keep what they read.
    ([], [("li", [("a", "./a/@href")])], ["dispatch *: keep - csels -", "dispatch a: keep href csels -",
                                           "dispatch li: keep - csels 0"]),
])
def test_dispatch_by_tag(flat, groups, lines):
    d = t.schema_dump(flat, groups)
    assert [l for l in d.splitlines() if l.startswith("dispatch ")] == lines


@pytest.mark.parametrize("flat, flags", [
    (["div"], {"sig_tag": False, "wants_source": True}),
    (["div", "p"], {"sig_tag": True}),
    ([".a"], {"sig_class": False}),
    ([".a.b"], {"sig_class": True}),
    (["#x"], {"sig_id": True}),
    (["li:nth-child(2)::text"], {"any_positional": True, "wants_source": False}),
    (["a + b"], {"any_sibling": True}),
    (["normalize-space(//p/text())"], {"any_normalize": True, "normalize_outer": False}),
    (["normalize-space(//p)"], {"normalize_outer": True}),
])
def test_flags(flat, flags):
    d = dump(flat)
    line = next(l for l in d.splitlines() if l.startswith("flags:"))
    for flag, on in flags.items():
        assert (f" {flag}" in line) is on, (flag, line)


def test_of_type_tags_and_signatures():
    d = dump(["li:nth-of-type(2)", "LI:last-of-type::text", "p:nth-of-type(odd)", "*:nth-child(2)"])
    assert "of_type_tags: li p" in d


@pytest.mark.parametrize("flat, signed", [
    (["div"], False),                    # one tag test: no tag bits
    (["div", "p"], True),                # two: tag bits
    (["*", "*"], False),                 # the universal selector never contributes
    ([".a"], False),
    (["#x"], True),                      # an id always contributes
])
def test_signatures(flat, signed):
    assert ("{sig=" in dump(flat, sigs=True)) is signed


def test_sibling_bits_and_cold_selectors():
    d = dump(["a + b ~ c", "d + e"])
    assert "csel 0 q0: a + [bit 0] b ~ [bit 1] c -> outer" in d
    assert "csel 1 q1: d + [bit 2] e -> outer" in d
    many = dump(["a" + " + a" * 40, "b" + " + b" * 30, "c + c"])
    assert "csel 1 q1: " in many and many.splitlines()[1].endswith("cold")
    assert "csel 2 q2: c + [bit 40] c -> outer" in many


def test_group_containers_and_sub_fields():
    d = dump([], [("li", [("a", "./a/@href"), ("b", "a + b"), ("c", "li:last-child"), ("d", ".//text()")])])
    assert "csel 0 g0: li -> outer" in d
    assert "sub g0.0: anchor=1 a -> attr(href)" in d
    assert "sub g0.1: none" in d and "sub g0.2: none" in d
    assert "sub g0.3: anchor=0 * -> text(subtree)" in d


def test_templates_beyond_the_masks_are_cold():
    # 64 gated siblings and 64 plain queries fill the 128 CSel slots; the gate
    # templates come after them and so are never candidates.
    gated = [f'dt:contains("k{i}") + dd::text' for i in range(64)]
    plain = [f"p{i}::text" for i in range(64)]
    d = dump(gated + plain)
    gates = [l for l in d.splitlines() if l.startswith("text dt")]
    assert len(gates) == 64 and all(l.endswith("cold") for l in gates)
    # The budget counts each gate's template, so such a schema never reaches a
    # scan: it is refused rather than silently emptied.
    import _larkspine as ls
    with pytest.raises(ValueError, match="schema has 192 member selectors"):
        ls.extract("<dl><dt>k0</dt><dd>v</dd></dl>", gated + plain)
