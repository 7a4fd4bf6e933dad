"""Tags whose attributes no query reads are skipped by searching for quotes and
`>` instead of parsing each attribute. Whatever the attributes hold, the tag
must end where the full attribute parse ends it: the same document extracted
with a schema that reads the tag's attributes (so they are parsed one by one)
gives the same values."""
import pytest

import _larkspine as ls

# Attribute texts after the tag name: quoted values that hold `>`, and every
# shape where a quote does not open a value (inside a name, inside an unquoted
# value, after `==`, after spaces around `=`, after `/`).
ATTRIBUTES = [
    b' class="a" id="b"', b' class="a>b"', b" class='a\"b>'", b' a="x"b="y>z"', b' a="x"="y>z"',
    b' a=b="x>y"', b' a= b="x>y"', b' a=/b="x>y"', b' a / b="x>y"', b' a=b/c="x>y"', b' a=/ b="x>y"',
    b' ="x>y"', b' a=="x>y"', b' a ="x>y"', b' a= "x>y"', b' a"b="x>y"', b" a='x'\"y>\"", b' a=b c="x>y"',
    b' a= / c="x>y"', b' /a="x>y"', b'/a="x>y"', b'\ta\n=\n"x>y"', b'\ta="x>y"\fb=\'>\'', b' a="x"/',
    b' a="x"/ ', b' a="x" /', b' a="unterminated>', b" a='x' b=\"y>\" c", b' a=\'"\' b="\'>"',
    b' a=b"c="x>y"', b' a="x"==">"', b' a="x"\x00b="y>"', b' a="\x00>"', b'',
]

QUERIES = ["p::text", "div::text", "i::text", "body ::text", "b::attr(title)"]


@pytest.mark.parametrize("attrs", ATTRIBUTES)
@pytest.mark.parametrize("shape", [
    b"<div%s>in<i>x</i></div><p>after</p><b title=t>b</b>",   # a start tag
    b"<p>one<div%s/><p>two</p><b title=t>b</b>",               # a start tag that may end in `/`
])
def test_skipped_attributes_end_the_tag_where_parsed_ones_do(attrs, shape):
    doc = b"<html><body>" + shape.replace(b"%s", attrs) + b" tail"
    skipped = ls.extract(doc, QUERIES)
    parsed = ls.extract(doc, QUERIES + ["div::attr(zz)"])[: len(QUERIES)]
    assert skipped == parsed


# End tags never deliver attributes, so they are always skipped: `</dv ...>`
# must end where the parsed start tag `<dvv ...>` (as long) ends.
@pytest.mark.parametrize("attrs", [a for a in ATTRIBUTES if b"\x00" not in a])
def test_end_tag_attributes_end_where_parsed_ones_do(attrs):
    t = pytest.importorskip("_larkspine_testing")
    end = [e for e in t.tokenize(b"</dv" + attrs + b">x<i>") if e[0] == "end"]
    start = [e for e in t.tokenize(b"<dvv" + attrs + b">x<i>") if e[0] == "start" and e[1] == b"dvv"]
    if start:  # (an unterminated start tag is dropped, an end tag runs to the end of input)
        assert end and end[0][3] == start[0][5]
    else:
        assert b"unterminated" in attrs  # the one text with no `>` outside quotes
