"""Token events of the byte tokenizer, observed through the test module."""
import pytest
from hypothesis import given, settings, strategies as st

t = pytest.importorskip("_larkspine_testing")


def S(name, attrs=(), sc=False, start=None, end=None):
    return ("start", name, list(attrs), sc, start, end)


def E(name, start, end):
    return ("end", name, start, end)


def T(text, start, decode=True):
    return ("text", text, decode, start)


CASES = [
    # Text and stray '<'.
    (b"a < b", [T(b"a < b", 0)]),
    (b"a <3 <p>", [T(b"a <3 ", 0), S(b"p", start=5, end=8)]),
    (b"x<", [T(b"x<", 0)]),
    (b"x</", [T(b"x", 0), T(b"</", 1)]),
    (b"<", [T(b"<", 0)]),
    # Start tags and attributes.
    (b"<div class=", [] ),
    (b"ab<div class=", [T(b"ab", 0)]),
    (b"<input disabled value=a b=c/>", [S(b"input", [(b"disabled", None), (b"value", b"a"), (b"b", b"c/")], False, 0, 29)]),
    (b"<br/>", [S(b"br", [], True, 0, 5)]),
    (b"<a / href=x>", [S(b"a", [(b"href", b"x")], False, 0, 12)]),
    (b"<a href=/x/>", [S(b"a", [(b"href", b"/x/")], False, 0, 12)]),
    (b'<p a="1" a="2">', [S(b"p", [(b"a", b"1"), (b"a", b"2")], False, 0, 15)]),
    (b"<a b=>", [S(b"a", [(b"b", b"")], False, 0, 6)]),
    (b'<a b="x>', []),
    (b"<a b='x>' c = \"y\">", [S(b"a", [(b"b", b"x>"), (b"c", b"y")], False, 0, 18)]),
    (b"<a =x>", [S(b"a", [(b"=x", None)], False, 0, 6)]),
    (b"<a ==x>", [S(b"a", [(b"=", b"x")], False, 0, 7)]),
    (b"<DiV Class=X>", [S(b"DiV", [(b"Class", b"X")], False, 0, 13)]),
    (b"<a\tb\nc>", [S(b"a", [(b"b", None), (b"c", None)], False, 0, 7)]),
    (b"<a b\x0bc>", [S(b"a", [(b"b\x0bc", None)], False, 0, 7)]),
    # End tags.
    (b"</p>", [E(b"p", 0, 4)]),
    (b"</p x=1>", [E(b"p", 0, 8)]),
    (b"</p", [E(b"p", 0, 3)]),
    (b"x</p", [T(b"x", 0), E(b"p", 1, 4)]),
    (b"</ div>y", [T(b"y", 7)]),
    (b"</3>y", [T(b"y", 4)]),
    (b"x</>y", [T(b"x", 0), ("stretch", 1, 4), T(b"y", 4)]),
    # Comments, declarations, processing instructions.
    (b"<!-->y", [T(b"y", 5)]),
    (b"<!--->y", [T(b"y", 6)]),
    (b"<!-- a -- b --!>y", [T(b"y", 16)]),
    (b"<!-- a -- b -->y", [T(b"y", 15)]),
    (b"x<!-- open", [T(b"x", 0)]),
    (b"x<!--c-->y", [T(b"x", 0), T(b"y", 9)]),
    (b"<![CDATA[x>y]]>", [T(b"y]]>", 11)]),
    (b"x<!DOCTYPE html>y", [T(b"x", 0), ("stretch", 1, 16), T(b"y", 16)]),
    (b"x<!doctypehtml>y", [T(b"x", 0), ("stretch", 1, 15), T(b"y", 15)]),
    (b"x<!doctype>y", [T(b"x", 0), ("stretch", 1, 11), T(b"y", 11)]),
    (b"x<!doctyp>y", [T(b"x", 0), T(b"y", 10)]),
    (b"<?xml version='1.0'?>y", [T(b"y", 21)]),
    (b"<!x", []),
    # Raw text, RCDATA, script escapes, plaintext.
    (b"<title>a &amp; <b>c</b></TITLE >", [S(b"title", start=0, end=7), T(b"a &amp; <b>c</b>", 7), E(b"title", 23, 32)]),
    (b"<style>a<b>&amp;</style>", [S(b"style", start=0, end=7), T(b"a<b>&amp;", 7, False), E(b"style", 16, 24)]),
    (b"<textarea>x</textareax></textarea>", [S(b"textarea", start=0, end=10), T(b"x</textareax>", 10), E(b"textarea", 23, 34)]),
    (b"<xmp>a</XMP", [S(b"xmp", start=0, end=5), T(b"a", 5, False), E(b"xmp", 6, 11)]),
    (b'<script>if (a<b) x="</scr"+"ipt>";</script>', [S(b"script", start=0, end=8), T(b'if (a<b) x="</scr"+"ipt>";', 8, False), E(b"script", 34, 43)]),
    (b"<script><!-- <script></script> --></script>", [S(b"script", start=0, end=8), T(b"<!-- <script></script> -->", 8, False), E(b"script", 34, 43)]),
    (b"<script><!-- </script>x", [S(b"script", start=0, end=8), T(b"<!-- ", 8, False), E(b"script", 13, 22), T(b"x", 22)]),
    (b"<script><!--></script>", [S(b"script", start=0, end=8), T(b"<!-->", 8, False), E(b"script", 13, 22)]),
    (b"<script>a</script", [S(b"script", start=0, end=8), T(b"a", 8, False), E(b"script", 9, 17)]),
    (b"<SCRIPT>a</Script\t>", [S(b"SCRIPT", start=0, end=8), T(b"a", 8, False), E(b"SCRIPT", 9, 19)]),
    (b"<script>never closed", [S(b"script", start=0, end=8), T(b"never closed", 8, False)]),
    (b"<title>rest", [S(b"title", start=0, end=7), T(b"rest", 7)]),
    (b"<textarea/>x", [S(b"textarea", [], True, 0, 11), T(b"x", 11)]),
    (b"<script/>x", [S(b"script", [], True, 0, 9), T(b"x", 9)]),
    (b"<plaintext>a</plaintext><b>", [S(b"plaintext", start=0, end=11), T(b"a</plaintext><b>", 11, False)]),
    (b"<noscript><b>x</b></noscript>", [S(b"noscript", start=0, end=10), S(b"b", start=10, end=13), T(b"x", 13), E(b"b", 14, 18), E(b"noscript", 18, 29)]),
    (b"<iframe><p></iframe>", [S(b"iframe", start=0, end=8), T(b"<p>", 8, False), E(b"iframe", 11, 20)]),
    (b"<style></style", [S(b"style", start=0, end=7), E(b"style", 7, 14)]),
]


ISAS = t.isas()


@pytest.mark.parametrize("isa", ISAS)
@pytest.mark.parametrize("doc, events", CASES)
def test_events(doc, events, isa):
    got = t.tokenize(doc, -1, isa)
    expect = []
    for ev in events:
        if ev[0] == "start" and ev[4] is None:
            raise AssertionError("give offsets")
        expect.append(ev)
    assert got == expect


# The scan is compiled once per instruction set (32-, 16- and 8-byte searches;
# the portable variant looks at class runs byte by byte): every variant gives
# the same events wherever the constructs fall relative to a vector boundary.
@pytest.mark.parametrize("isa", [i for i in ISAS if i != "portable"])
@pytest.mark.parametrize("doc", sorted({d for d, _ in CASES}))
def test_scan_variants_agree_at_every_alignment(doc, isa):
    for pad in range(0, 40):
        for padded in (b"x" * pad + doc, b"<a " + b"b" * pad + doc[:1] + b" c=" + b"d" * pad + b">" + doc,
                       doc + b" " * pad + b"<p class=" + b"q" * pad + b">"):
            assert t.tokenize(padded, -1, isa) == t.tokenize(padded, -1, "portable"), pad


@pytest.mark.parametrize("name, kind", [
    (b"script", 1), (b"STYLE", 1), (b"xmp", 1), (b"iframe", 1), (b"noembed", 1), (b"NoFrames", 1),
    (b"title", 2), (b"textarea", 2), (b"plaintext", 3), (b"noscript", 0), (b"scripts", 0),
    (b"div", 0), (b"scr\xc3\xafpt", 0), (b"a" * 11, 0),
])
def test_raw_kind(name, kind):
    assert t.raw_kind(name) == kind


# Inside a document the scan reads a tag name's id a word at a time (names
# of up to 8 bytes in one word); the recording sink checks that id against
# the byte-by-byte one for every tag. Names of every length from 1 to 11, in
# mixed case, with bytes that only look like letters once folded carelessly.
@pytest.mark.parametrize("name", [
    b"a", b"B", b"li", b"H1", b"h\x11", b"h\xb1", b"dIv", b"SPAN", b"TiTlE", b"script", b"ArTiClE", b"NOSCRIPT",
    b"noscrip\x14", b"textareA", b"blockQuote", b"figcaption", b"FIGCAPTIONS", b"d\xc4v", b"di\xd6",
    b"abcdefgh", b"abcdefghi", b"p@", b"p[", b"p`", b"PLAINTEXt",
    b"H\x16", b"a\xc1", b"Ab\x02r", b"u\x0b", b"BLOCKQUO", b"blockquo\xf4e", b"h6\x01",
])
@pytest.mark.parametrize("isa", ISAS)
def test_tag_ids_read_a_word_at_a_time_agree(name, isa):
    doc = b"<" + name + b">x</" + name + b">" + b" " * 40
    events = t.tokenize(doc, -1, isa)
    tags = [e[:2] for e in events if e[0] in ("start", "end")]
    # after a plaintext start tag the rest of the document is text
    assert tags == [("start", name)] + ([] if name.lower() == b"plaintext" else [("end", name)])


@pytest.mark.parametrize("doc, end", [
    (b"<!-->", 5), (b"<!--->", 6), (b"<!---->", 7), (b"<!--a-->", 8), (b"<!--a--!>", 9),
    (b"<!--a- ->", 9), (b"<!--a", 5), (b"<!--", 4), (b"<!---", 5), (b"<!--a--", 7),
])
def test_scan_comment(doc, end):
    assert t.scan_comment(doc, 0) == end


def test_early_stop_ends_the_scan_at_once():
    doc = b"<a>x</a><b>y</b>tail"
    full = t.tokenize(doc)
    assert t.tokenize(doc, 1) == full[:1]
    # The stop is tested after markup constructs only: text before the end tag
    # is reported with it.
    assert t.tokenize(doc, 2) == full[:3]
    assert t.tokenize(b"<p>tail text", 1) == [S(b"p", start=0, end=3)]


def _check_invariants(doc, events):
    last_start = -1
    for ev in events:
        kind = ev[0]
        if kind == "text":
            text, start = ev[1], ev[3]
            assert text, "text events are never empty"
            assert doc[start:start + len(text)] == text
            assert start >= last_start
            last_start = start + len(text)
        elif kind in ("start", "end"):
            start, end = ev[-2], ev[-1]
            assert 0 <= start < end <= len(doc)
            assert doc[start:start + 1] == b"<"
            assert start >= last_start
            last_start = end
            name = ev[1]
            assert name
            if kind == "start":
                assert doc[start + 1:].startswith(name)
        else:
            lt, to = ev[1], ev[2]
            assert 0 <= lt < to <= len(doc)


markup = st.lists(st.sampled_from([
    b"<", b">", b"/", b"!", b"-", b"--", b"<!--", b"-->", b"--!>", b"<?", b"=", b'"', b"'", b" ",
    b"\t", b"a", b"p", b"div", b"script", b"</script", b"<script", b"title", b"plaintext", b"style",
    b"doctype", b"&amp;", b"\xff", b"\xc3\xa9", b"x=y", b"</", b"<!",
]), max_size=60).map(b"".join)


@settings(max_examples=400, deadline=None)
@given(st.one_of(markup, st.binary(max_size=200)))
def test_random_input_keeps_invariants(doc):
    events = t.tokenize(doc)
    _check_invariants(doc.replace(b"\0", b""), events)  # offsets refer to the NUL-free bytes
    assert t.count_events(doc)[0] == sum(1 for e in events if e[0] != "stretch")


# NUL bytes are removed by the scan when it meets one: events (and their
# offsets) are those of the document without them, wherever they stand.
@pytest.mark.parametrize("doc", sorted({d for d, _ in CASES} | {
    b"a<\x00", b"</\x00", b"<!--\x00>", b"<a\x00>", b"x<p>y<script>z</script>w",
}))
def test_a_nul_anywhere_is_invisible(doc):
    for i in range(len(doc) + 1):
        for stop in (-1, 1, 2):
            expected = t.tokenize(doc, stop)
            assert t.tokenize(doc[:i] + b"\0" + doc[i:], stop) == expected, (i, stop)
            assert t.tokenize(doc[:i] + b"\0\0" + doc[i:] + b"\0", stop) == expected, (i, stop)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from([b"\0", b"\0\0"]) | markup.filter(bool), max_size=12).map(b"".join))
def test_random_nul_bytes_are_invisible(doc):
    assert t.tokenize(doc) == t.tokenize(doc.replace(b"\0", b""))


long_runs = st.sampled_from([b"a" * 20, b" " * 20, b"\t\n\x0c\r " * 5, b"\x0b" * 9, b"x=" + b"y" * 40,
                             b"\"" + b"z" * 35 + b"\"", b"\xe9" * 17, b"-" * 33])


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from([b"\0"]) | markup.filter(bool) | long_runs, max_size=30).map(b"".join))
def test_random_input_gives_the_same_events_in_every_variant(doc):
    events = t.tokenize(doc, -1, "portable")
    for isa in ISAS:
        assert t.tokenize(doc, -1, isa) == events
