"""Input preparation: trimming, the byte-order mark, NUL removal, and when a
copy is made; query trimming by the Unicode White_Space property."""
import pytest
from hypothesis import given, strategies as st

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
    ("\u3000//a", "xpath"), (".a", "css"), (".", "css"), ("normalize-space (//p)", "css"),
    ("Normalize-space(//p)", "css"), ("a//b", "css"), ("", "css"), ("(//a)", "css"),
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
