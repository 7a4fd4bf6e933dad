"""Schema.extract_table and larkspine.extract_table: a pyarrow.Table whose rows equal the
records Schema.extract gives page by page, processors and defaults included."""
import pytest

import larkspine
from larkspine import Page, Schema, field, group
from tests.pages_for_tests import Sale, Shop

pa = pytest.importorskip("pyarrow")

SHOP = [
    b"<h1>Tea</h1><a href=/a>a</a><ul><li class=offer><b>Sencha</b><span class=price>12.50</span>"
    b"<li class=offer><b>Hojicha</b></ul>",
    b"",
    "<title>T</title><p class=banner>big</p><h1>\u65e5\u672c</h1>".encode("cp932"),
    "<h1>caf\xe9</h1><a href=/b>b</a><a href=/c>c</a>",
]


def records(schema, docs, encoding=None, urls=None):
    labels = encoding if isinstance(encoding, list) else [encoding] * len(docs)
    urls = urls or [None] * len(docs)
    return [schema.extract(d, e, u) for d, e, u in zip(docs, labels, urls)]


PLAIN = Schema({
    "title": field("h1::text", first=True),
    "offers": group("li.offer", name=field("b::text", first=True), price=".price::text"),
    "links": field("a::attr(href)"),
})
PROCESSED = Schema({
    "title": field("h1::text", first=True, default="untitled"),
    "links": field("a::attr(href)", each=lambda v, url: (url or "") + v),
    "count": field("a::attr(href)", out=len, default=0),
    "offers": group("li.offer", name=field("b::text", first=True),
                    price=field(".price::text", first=True, each=float)),
    "first_offer": group("li.offer", first=True, name=field("b::text", first=True)),
})

# Absolute fields resolve against each page's own base (its <base href>, else its URL),
# which the batch reads from a hidden column that must not reach the table.
ABSOLUTE = Schema({
    "links": field("a::attr(href)", absolute=True),
    "first_link": field("a::attr(href)", first=True, absolute=True),
    "title": field("h1::text", first=True),
    "offers": group("li.offer", name=field("b::text", first=True), href=field("a::attr(href)", absolute=True)),
})
BASED = [
    b"<base href=/shop/><h1>Tea</h1><a href=a>a</a><ul><li class=offer><b>S</b><a href=s>s</a></ul>",
    b"<a href=../up>u</a><ul><li class=offer><a href=//cdn.example/x>x</a></ul>",
    b"",
]


@pytest.mark.parametrize("schema", [PLAIN, PROCESSED, ABSOLUTE], ids=["plain", "processed", "absolute"])
@pytest.mark.parametrize("threads", [1, 2])
def test_rows_equal_the_records(schema, threads):
    urls = [f"https://x.example/{i}" for i in range(len(SHOP))]
    table = schema.extract_table(SHOP, threads=threads, urls=urls)
    assert table.column_names == list(schema)
    assert table.to_pylist() == records(schema, SHOP, urls=urls)


def test_plain_columns_keep_the_engine_types():
    table = PLAIN.extract_table(SHOP)
    assert table.schema.field("title").type == pa.string()
    assert table.schema.field("links").type == pa.list_(pa.string())
    assert table.schema.field("offers").type == pa.list_(
        pa.struct([("name", pa.string()), ("price", pa.list_(pa.string()))]))


def test_page_classes_and_mappings():
    assert larkspine.extract_table(SHOP, Shop).to_pylist() == [Shop(d).to_dict() for d in SHOP]
    assert larkspine.extract_table(SHOP, Sale).to_pylist() == [Sale(d).to_dict() for d in SHOP]
    mapping = {"h": field("h1::text", first=True), "a": "a::attr(href)"}
    assert larkspine.extract_table(SHOP, mapping).to_pylist() == records(Schema(mapping), SHOP)
    with pytest.raises(TypeError, match="is not a Page class"):
        larkspine.extract_table(SHOP, int)


@pytest.mark.parametrize("encoding", ["cp932", ["utf-8", None, "cp932", None]])
def test_python_codec_names_one_or_per_document(encoding):
    docs = SHOP[:3] if isinstance(encoding, str) else SHOP
    table = PLAIN.extract_table(docs, encoding)
    assert table.to_pylist() == records(PLAIN, docs, encoding)
    assert table.column("title")[2].as_py() == "\u65e5\u672c"


def test_a_generator_of_documents_and_an_empty_batch():
    assert PLAIN.extract_table(d for d in SHOP).to_pylist() == records(PLAIN, SHOP)
    empty = PROCESSED.extract_table([])
    assert empty.num_rows == 0 and empty.column_names == list(PROCESSED)


def test_errors():
    with pytest.raises(ValueError, match="urls has 1 entries for 4 documents"):
        PLAIN.extract_table(SHOP, urls=["u"])
    with pytest.raises(TypeError, match=r"larkspine: urls\[1\] must be a str or None, got int"):
        PLAIN.extract_table(SHOP[:2], urls=[None, 5])
    with pytest.raises(ValueError, match="unknown encoding 'nope'"):
        PLAIN.extract_table(SHOP, "nope")
    mixed = Schema({"v": field("h1::text", first=True, out=lambda v: 1 if v == "Tea" else "x")})
    with pytest.raises(TypeError, match="the values of field 'v' after its processors form no Arrow column"):
        mixed.extract_table(SHOP)


class Offers(Page):
    title = field("h1::text", first=True)
    offers = group("li.offer", name=field("b::text", first=True))


def test_a_page_class_declared_here():
    table = larkspine.extract_table(SHOP * 3, Offers, threads=2)
    assert table.num_rows == 12
    assert table.to_pylist() == [Offers(d).to_dict() for d in SHOP * 3]


@pytest.mark.parametrize("urls", [["https://t.example/a/b", "https://t.example/a/b", None], None])
def test_absolute_fields_use_each_pages_base(urls):
    table = ABSOLUTE.extract_table(BASED, urls=urls)
    assert table.column_names == list(ABSOLUTE)
    assert table.to_pylist() == records(ABSOLUTE, BASED, urls=urls)


def _shop_page(i: int) -> bytes:
    # Pages with no rows, rows with no link, several links a row: each page's values
    # must meet its own base, wherever the page's rows start in the batch.
    base = b"<base href=/b%d/>" % i if i % 3 == 0 else b""
    rows = b"".join(
        b"<li class=offer><b>o%d</b>" % r + b"<a href=r%d/%d>x</a>" % (i, r) * (r % 3) for r in range(i % 4)
    )
    return base + b"<h1>p%d</h1><a href=../up%d>u</a><ul>%s</ul>" % (i, i, rows)


SUBFIELDS = Schema({
    "offers": group("li.offer", first_href=field("a::attr(href)", first=True, absolute=True),
                    hrefs=field("a::attr(href)", absolute=True), name=field("b::text", first=True)),
    "link": field("a::attr(href)", first=True, absolute=True),
})


@pytest.mark.parametrize("threads", [1, 2])
def test_absolute_values_are_joined_page_by_page_in_a_batch(threads):
    pages = [_shop_page(i) for i in range(40)]
    urls = [None if i % 5 == 4 else f"https://s{i % 2}.example/d{i}/page" for i in range(40)]
    for schema in (ABSOLUTE, SUBFIELDS):
        table = schema.extract_table(pages, threads=threads, urls=urls)
        assert table.to_pylist() == records(schema, pages, urls=urls)
    # Joining keeps the engine's column types.
    joined = SUBFIELDS.extract_table(pages, urls=urls).schema
    plain = Schema({"offers": group("li.offer", first_href=field("a::attr(href)", first=True),
                                    hrefs="a::attr(href)", name=field("b::text", first=True)),
                    "link": field("a::attr(href)", first=True)}).extract_table(pages).schema
    assert joined == plain
