"""Input preparation: trimming, the byte-order mark, NUL removal, and when a
copy is made; query trimming by the Unicode White_Space property."""
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import _larkspine as ls

t = pytest.importorskip("_larkspine_testing")

TRIM = b"\t\n\x0b\x0c\r "


@pytest.mark.parametrize("doc, strip_bom, expected, offset", [
    (b"", True, b"", 0),
    (b" \t\n\x0b\x0c\r ", True, b"", None),
    (b"  <p>x</p>\n", True, b"<p>x</p>", 2),
    (b"\x0b<p>\x0b", False, b"<p>", 1),
    (b"\xef\xbb\xbf<p>", True, b"<p>", 3),
    (b"\xef\xbb\xbf<p>", False, b"\xef\xbb\xbf<p>", 0),
    (b"  \xef\xbb\xbf  <p>", True, b"  <p>", 5),        # mark after whitespace; whitespace after it kept
    (b"\xef\xbb\xbf\xef\xbb\xbf<p>", True, b"\xef\xbb\xbf<p>", 3),
    (b"\xef\xbb", True, b"\xef\xbb", 0),
    (b"\xa0x\xa0", True, b"\xa0x\xa0", 0),                # only ASCII bytes are trimmed here
    (b"a\x00b", True, b"ab", None),                      # NUL: a copy
    (b"\x00", True, b"", None),
    (b" \x00 ", True, b"", None),
    (b"\xef\xbb\xbf\x00a \x00", True, b"a ", None),
])
def test_normalize_borrowed(doc, strip_bom, expected, offset):
    got, got_offset = t.normalize(doc, strip_bom, False)
    assert got == expected
    if offset is not None:
        assert got_offset == offset  # a view into the caller's bytes: no copy
    elif b"\x00" in doc.strip(TRIM):
        assert got_offset is None


@given(st.binary(max_size=64).map(lambda b: b.replace(b"\xef", b"\xef\xbb\xbf")), st.booleans())
def test_normalize_owned_agrees_with_borrowed(doc, strip_bom):
    borrowed, _ = t.normalize(doc, strip_bom, False)
    owned, owned_offset = t.normalize(doc, strip_bom, True)
    assert owned == borrowed and owned_offset is None
    # The reference reading of the rules.
    ref = doc.strip(TRIM)
    if strip_bom and ref.startswith(b"\xef\xbb\xbf"):
        ref = ref[3:]
    assert borrowed == ref.replace(b"\x00", b"")


# The scan removes NUL bytes when it meets one, from inside any construct:
# every kind of value (text, attributes, outer HTML, close-time and tail
# values, group rows) is that of the document without them.
NUL_SCHEMA = ["p::text", "div ::text", "a::attr(href)", "div p", "li:last-child::text", "div:has(a)::attr(id)",
              'p:contains("ab")::text', "//li[last()]/text()", "normalize-space(//div)", "title::text",
              "script::text", "h1 + p::text", "li:last-child b"]
NUL_GROUPS = [("div", [("t", "text()"), ("self", "."), ("hrefs", ".//@href")])]
NUL_PIECES = st.sampled_from([
    b"<div>", b"</div>", b"<p>", b"</p>", b"<a href=x>", b"<a href='y z'>", b"</a>", b"<li>", b"</li>", b"<ul>",
    b"<b>", b"</b>", b"<h1>", b"<title>", b"</title>", b"<script>", b"</script>", b"<!--", b"-->", b"<!DOCTYPE x>",
    b"</>", b"<", b">", b"&amp;", b"&", b"ab", b"x", b" ", b"\r\n", b"\xc3\xa9", b"<div id=d>", b"<plaintext>",
    b"\0", b"\0", b"\0",
])


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(NUL_PIECES, max_size=40).map(lambda p: b"x" + b"".join(p) + b"y"))
def test_nul_bytes_are_removed_by_the_scan(doc):
    # Non-space bytes at both ends: trimming cannot meet a NUL.
    assert ls.extract_grouped(doc, NUL_SCHEMA, NUL_GROUPS) == \
        ls.extract_grouped(doc.replace(b"\0", b""), NUL_SCHEMA, NUL_GROUPS)


@pytest.mark.parametrize("doc, expected", [
    (b"<p>a\x00b</p>", [["ab"], ["<p>ab</p>"]]),
    (b"<p>a</p\x00><p>b</p>", [["a", "b"], ["<p>a</p>", "<p>b</p>"]]),
    (b"<\x00p>a</p>", [["a"], ["<p>a</p>"]]),
    (b"<p title='\x00'>a</p>", [["a"], ["<p title=''>a</p>"]]),
    (b"<p>a<!-\x00- c -\x00->b</p>", [["a", "b"], ["<p>a<!-- c -->b</p>"]]),
    (b"<p>a<script>x\x00</script>b</p>", [["a", "b"], ["<p>a<script>x</script>b</p>"]]),
    (b"<p>a</scr\x00ipt>b", [["ab"], ["<p>a</script>b"]]),
    (b"\x00 <p>a", [["a"], ["<p>a"]]),
])
def test_nul_in_every_construct(doc, expected):
    assert ls.extract(doc, ["p::text", "p"]) == expected


@pytest.mark.parametrize("text, trimmed", [
    ("  a b  ", "a b"),
    ("\u00a0\u2003x\u3000\u2029", "x"),
    ("\u0085\u1680x\u205f\u202f", "x"),
    ("\u200bx\u200b", "\u200bx\u200b"),                    # zero-width space is not White_Space
    ("\x1cx", "\x1cx"),
    ("\t\n\x0b\x0c\r x", "x"),
    ("", ""),
    ("\u2000\u200a", ""),
])
def test_query_trimming(text, trimmed):
    assert t.trim(text) == trimmed


@given(st.text(max_size=20))
def test_query_trimming_agrees_with_unicode_white_space(text):
    expected = text.strip("".join(chr(c) for c in [*range(9, 14), 0x20, 0x85, 0xA0, 0x1680,
                                                     *range(0x2000, 0x200B), 0x2028, 0x2029,
                                                     0x202F, 0x205F, 0x3000]))
    assert t.trim(text) == expected


@pytest.mark.parametrize("query, route", [
    ("  //a/text()", "xpath"), ("./a", "xpath"), ("/html/body", "xpath"), ("normalize-space(//p)", "xpath"),
    ("\u3000//a", "xpath"), (".a", "css"), (".", "xpath"), ("normalize-space (//p)", "xpath"),
    ("Normalize-space(//p)", "css"), ("a//b", "css"), ("", "css"), ("(//a)", "xpath"),
    ("substring-after(//a/@x, 'y')", "xpath"), ("string\t(//a/text())", "xpath"), ("a.b(c)", "css"),
    ("-a(b)", "css"), ("li:not(.x)", "css"), ("count", "css"),
])
def test_query_routing(query, route):
    assert t.route(query) == route


@pytest.mark.parametrize("field, via, query, anchor", [
    (".", "compile_one", "*", 0),
    (" . ", "compile_one", "*", 0),
    ("text()", "xpath", "//*/text()", 0),
    ("./text()", "xpath", "//*/text()", 0),
    (".//text()", "xpath", "//*//text()", 0),
    (".//@href", "xpath", "//*//@href", 0),
    ("./@href", "xpath", "//*/@href", 0),
    ("@href", "xpath", "//*/@href", 0),
    ("@", "xpath", "//*/@", 0),
    ("./span", "compile_one", ".//span", 1),
    ("./span/b", "compile_one", ".//span/b", 1),
    (".//span", "compile_one", ".//span", None),
    ("span.price", "compile_one", "span.price", None),
    (" //x ", "compile_one", " //x ", None),
    ("text() ", "xpath", "//*/text()", 0),
    ("text()x", "compile_one", "text()x", None),
])
def test_sub_field_routing(field, via, query, anchor):
    assert t.route_sub(field) == (via, query, anchor)
