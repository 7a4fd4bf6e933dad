"""Encoding resolution: labels, byte-order marks, the XML declaration and the
<meta> prescan, and the transcoding of encodings that are not ASCII-compatible."""
import json

import pytest

import _larkspine as ls

t = pytest.importorskip("_larkspine_testing")


def test_label_table_matches_the_standard(shared_dir):
    data = json.loads((shared_dir / "whatwg-encoding" / "encodings.json").read_text())
    count = 0
    for group in data:
        for enc in group["encodings"]:
            assert ls.resolve_label(enc["name"]) == enc["name"]
            for label in enc["labels"]:
                count += 1
                assert ls.resolve_label(label) == enc["name"], label
                assert ls.resolve_label(label.upper()) == enc["name"], label
                assert ls.resolve_label(f" \t{label}\n\x0c") == enc["name"], label
    assert count == 228


@pytest.mark.parametrize("doc, label, expected", [
    (b"\xef\xbb\xbf<p>", "windows-1252", "UTF-8"),
    (b"\xff\xfe<\x00", "windows-1252", "UTF-16LE"),
    (b"\xfe\xff\x00<", None, "UTF-16BE"),
    (b"<\x00?\x00x\x00", None, "UTF-16LE"),
    (b"\x00<\x00?\x00x", "utf-8", "UTF-16BE"),
    (b"\xef\xbb", None, "UTF-8"),
    (b"\xff", None, "UTF-8"),
    (b"<p>", "latin1", "windows-1252"),
    (b"<p>", "utf-16", "UTF-16LE"),               # a caller's label is not adjusted
    (b"<p>", "x-user-defined", "x-user-defined"),
    (b'<meta charset="koi8-r">', "no-such", "KOI8-R"),
    (b'<meta charset="koi8-r">', "sjis", "Shift_JIS"),
    (b"", None, "UTF-8"),
])
def test_detect_encoding_rules(doc, label, expected):
    assert ls.detect_encoding(doc, label) == expected


META = [
    (b'<meta charset="utf-16">', "UTF-8"),
    (b'<meta charset="UTF-16BE">', "UTF-8"),
    (b'<meta charset="x-user-defined">', "windows-1252"),
    (b'<meta charset="nope"><meta charset="big5">', "Big5"),
    (b'<meta http-equiv="Content-Type" content="text/html; charset=ISO-8859-2">', "ISO-8859-2"),
    (b"<meta http-equiv=\"Content-Type\" content=\"text/html; charset='ISO-8859-2'\">", None),
    (b'<meta content="text/html; charset=koi8-r" http-equiv=" content-type ">', "KOI8-R"),
    (b'<meta content="text/html; charset = koi8-r;x" http-equiv="content-type">', "KOI8-R"),
    (b'<meta content="text/html; charset" http-equiv="content-type">', None),
    (b'<meta content="charset=koi8-r">', None),                         # no http-equiv
    (b'<meta charset="" http-equiv="content-type" content="charset=gbk">', "GBK"),
    (b'<meta charset="nope" http-equiv="content-type" content="charset=gbk">', None),
    (b"<META CHARSET=windows-1251>", "windows-1251"),
    (b"<meta/charset=windows-1251>", "windows-1251"),
    (b"<meta charset = ' euc-kr '>", "EUC-KR"),
    (b"<meta charset=\xc3\xa9>", None),
    (b"<metax charset=koi8-r>", None),
    (b"<title><meta charset=koi8-r></title>", None),
    (b"<title><meta charset=koi8-r></title><meta charset=gbk>", "GBK"),
    # The skip ends at "</" + the name, whatever follows the name.
    (b"<script>'</scriptx><meta charset=koi8-r>'</SCRIPT ><meta charset=gbk>", "KOI8-R"),
    (b"<script>'<meta charset=koi8-r>'</SCRIPT ><meta charset=gbk>", "GBK"),
    (b"<style><meta charset=koi8-r>", None),
    (b"<!-- <meta charset=koi8-r> --><meta charset=gbk>", "GBK"),
    (b"<!-- <meta charset=koi8-r>", None),
    (b'<?xml version="1.0" encoding="UTF-16"?>', "UTF-8"),
    (b'<?xml version="1.0" encoding="windows-1251"?><meta charset=gbk>', "windows-1251"),
    (b'<?xml version="1.0"?><meta charset=gbk>', "GBK"),
    (b'<?xml version="1.0" encoding="bogus"?><meta charset=gbk>', "GBK"),
    (b'<?xml\tencoding=\'koi8-r\'', "KOI8-R"),
    (b'<?xmlencoding="koi8-r"?>', None),
    (b"<meta", None),
    (b"x<met", None),
    (b"<meta charset=gbk", "GBK"),
    (b"", None),
]


@pytest.mark.parametrize("doc, expected", META)
def test_meta_prescan(doc, expected):
    assert t.meta_prescan(doc) == expected
    assert ls.detect_encoding(doc) == (expected or "UTF-8")


@pytest.mark.parametrize("prefix, honoured", ids=lambda v: None if isinstance(v, bool) else f"{len(v)}b", argvalues=[
    (b"<head><title>t</title>" + b"<link rel=x>" * 400, True),      # only head-level elements: no limit
    (b"<div>" + b"x" * 500, True),                                  # limit max(1024, 5) = 1024
    (b"<div>" + b"x" * 1100, False),
    (b"x" * 3000 + b"<div>" + b"x" * 1000, False),                    # limit is the div's position, 3000
    (b"</head>" + b"x" * 1100, False),
    (b"</HEAD>" + b"x" * 500, True),
    (b"<p>" + b"<!--" + b"x" * 5000 + b"-->", False),
])
def test_prescan_limit(prefix, honoured):
    doc = prefix + b'<meta charset="koi8-r">'
    assert (t.meta_prescan(doc) == "KOI8-R") is honoured


def test_prescan_limit_from_a_later_element():
    # A <div> at 3000 sets the limit to 3000; a <meta> at 2500 still counts.
    doc = b"x" * 2500 + b"<meta charset=gbk>" + b"x" * 482 + b"<div>"
    assert t.meta_prescan(doc) == "GBK"


@pytest.mark.parametrize("doc, start, end, attrs, after", [
    (b'<meta charset="a" B=c d>', 5, 99, [("charset", "a"), ("b", "c"), ("d", "")], 24),
    (b"<meta / x = 'y z' >rest", 5, 99, [("x", "y z")], 19),
    (b"<meta a='unterminated", 5, 99, [("a", "unterminated")], 21),
    (b"<meta a=b", 5, 7, [("a", "")], 7),
    (b"<meta =x>", 5, 99, [("", "x")], 9),
    (b"<meta \xff=\xfe>", 5, 99, [("\ufffd", "\ufffd")], 10),
])
def test_meta_attrs(doc, start, end, attrs, after):
    assert t.meta_attrs(doc, start, end) == (attrs, after)


# --- preparation --------------------------------------------------------------

@pytest.mark.parametrize("doc, label, prepared, encoding", [
    (b"\xff\xfe<\x00p\x00>\x00x\x00", None, b"<p>x", "UTF-8"),
    (b"\xfe\xff\x00<\x00p\x00>\x00\xe9", None, "<p>\u00e9".encode(), "UTF-8"),
    (b"<\x00?\x00x\x00", None, b"<?x", "UTF-8"),
    (b"<\x00p\x00>\x00", "utf-16le", b"<p>", "UTF-8"),
    (b"\x00<\x00p", "utf-16be", b"<p", "UTF-8"),
    # A mark overrides the label; whitespace after a UTF-8 mark is kept.
    (b"\xef\xbb\xbf <p>\xc3\xa9", "utf-16le", " <p>\u00e9".encode(), "UTF-8"),
    (b"\xfe\xff\x00<", "utf-16le", b"<", "UTF-8"),
    # Malformed UTF-16: a lone surrogate and a trailing odd byte.
    (b"\xff\xfe\x00\xd8a\x00", None, "\ufffda".encode(), "UTF-8"),
    (b"\xff\xfea\x00\x00\xdc", None, "a\ufffd".encode(), "UTF-8"),
    (b"\xff\xfea\x00b", None, "a\ufffd".encode(), "UTF-8"),
    (b"\xff\xfe=\xd8\x00\xde", None, "\U0001f600".encode(), "UTF-8"),
    (b"\xff\xfe\x00\xd8\x00\xd8\x00\xde", None, "\ufffd\U00010200".encode(), "UTF-8"),
    (b"\xff\xfe \x00\x00\x00a\x00 \x00", None, b"a", "UTF-8"),    # NUL and whitespace after decoding
    # The replacement encoding: any content is one U+FFFD.
    (b"<p>x</p>", "iso-2022-kr", "\ufffd".encode(), "UTF-8"),
    (b"", "iso-2022-kr", b"", "UTF-8"),
    # ASCII-compatible encodings are scanned as they are.
    (b"  <p>\xe9</p> ", "latin1", b"<p>\xe9</p>", "windows-1252"),
    (b"\xef\xbb\xbf<p>", None, b"<p>", "UTF-8"),
    (b"\xef\xbb\xbf<p>", "latin1", b"<p>", "UTF-8"),
    (b"<meta charset=koi8-r>\xef\xbb\xbf", None, b"<meta charset=koi8-r>\xef\xbb\xbf", "KOI8-R"),
    (b"<p>a\x00b</p>", "windows-1251", b"<p>ab</p>", "windows-1251"),
])
def test_prepare(doc, label, prepared, encoding):
    assert t.prepare(doc, label) == (prepared, encoding)


def test_iso_2022_jp_is_transcoded():
    # ASCII and JIS-Roman runs survive; the scan sees ASCII markup.
    doc = b"<p>a\x1b(J\\~\x1b(Bb</p>"
    assert t.prepare(doc, "iso-2022-jp") == ("<p>a\u00a5\u203eb</p>".encode(), "UTF-8")
