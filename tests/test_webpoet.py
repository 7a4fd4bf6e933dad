"""larkspine.webpoet: web-poet page objects filled from one native scan."""
import asyncio

import pytest

attrs = pytest.importorskip("attrs")
web_poet = pytest.importorskip("web_poet")
parsel = pytest.importorskip("parsel")

import larkspine  # noqa: E402
from larkspine import webpoet  # noqa: E402
from larkspine._schema import Schema  # noqa: E402


@attrs.define
class Product:
    name: str
    price: float
    links: list
    description: str
    offers: list
    url: str


BODY = ("<html><head><meta charset=windows-1251><title>Магазин</title></head><body>"
        "<h1> Чайник </h1><span class=price>12.50</span><a href=/a>a</a><a href=/b>b</a>"
        "<div class=description><p>Хороший <b>чайник</b></p></div>"
        "<ul><li class=offer><b>Red</b> <i>1</i><li class=offer><b>Blue</b></ul></body></html>").encode("cp1251")


@attrs.define
class ProductPage(webpoet.LarkPage[Product]):
    name = webpoet.field("h1::text", first=True, out=[str.strip])
    price = webpoet.field(".price::text", first=True, out=[float])
    links = webpoet.field("a::attr(href)")
    description = webpoet.field("div.description", first=True, out=[lambda sel: sel.css("b::text").get()])
    offers = webpoet.group("li.offer", name=larkspine.field("b::text", first=True), qty="i::text")

    @web_poet.field
    def url(self):  # a plain web-poet field beside the larkspine ones
        return str(self.response.url)


def _response(body=BODY, headers=None):
    return web_poet.HttpResponse("http://shop.example/p/1", body=body, headers=headers or {})


def test_to_item_fills_every_field():
    item = asyncio.run(ProductPage(_response()).to_item())
    assert item == Product(
        name="Чайник", price=12.5, links=["/a", "/b"], description="чайник",
        offers=[{"name": "Red", "qty": ["1"]}, {"name": "Blue", "qty": []}], url="http://shop.example/p/1",
    )


def test_fields_come_from_one_scan(monkeypatch):
    calls = []
    original = Schema.extract

    def counting(self, *args, **kwargs):
        calls.append(1)
        return original(self, *args, **kwargs)

    monkeypatch.setattr(Schema, "extract", counting)
    page = ProductPage(_response())
    asyncio.run(page.to_item())
    assert page.name == "Чайник" and page.links == ["/a", "/b"]
    assert len(calls) == 1


@pytest.mark.parametrize("header, body_charset, text", [
    ("text/html; charset=cp932", None, "日本語"),           # a Python codec name in the header
    ("text/html; charset=Shift_JIS", None, "日本語"),
    ("text/html", "euc-jp", "日本語"),                       # <meta> only
])
def test_the_charset_is_the_responses_own(header, body_charset, text):
    codec = "euc_jp" if body_charset else "cp932"
    meta = f"<meta charset={body_charset}>" if body_charset else ""
    response = _response(f"{meta}<h1>{text}</h1>".encode(codec), {"Content-Type": header})

    @attrs.define
    class Heading(webpoet.LarkPage[dict]):
        h1 = webpoet.field("h1::text", first=True)

    assert Heading(response).h1 == response.css("h1::text").get() == text


# Element values become Selectors for the element, including html/head/body elements that
# the page left out (the engine's value is then their content).
@pytest.mark.parametrize("html, query, expected", [
    (b"<div class=x><p>a</p></div>", "div.x", '<div class="x"><p>a</p></div>'),
    (b"<table><tr><td>c</td></tr></table>", "td", "<td>c</td>"),
    (b"<ul><li>a<li>b</ul>", "li", "<li>a</li>"),
    (b"<p>a<p>b", "p", "<p>a</p>"),
    (b"<title>T</title><p>x</p>", "body", "<body><p>x</p></body>"),
    (b"<title>T</title><p>x</p>", "head", "<head><title>T</title></head>"),
    (b"<title>T</title><p>x</p>", "html", "<html><head><title>T</title></head><body><p>x</p></body></html>"),
    (b"<p>x</p>", "head", None),  # libxml2 makes no head here either
    (b"<html lang=en><body class=b><p>x</p></body></html>", "body", '<body class="b"><p>x</p></body>'),
    (b"<section><div>a</div></section>", "section > *", "<div>a</div>"),
    (b"<p>x</p>", "//p", "<p>x</p>"),
])
def test_element_values_are_selectors_for_the_element(html, query, expected):
    @attrs.define
    class Elements(webpoet.LarkPage[dict]):
        first = webpoet.field(query, first=True)
        every = webpoet.field(query)

    page = Elements(_response(html))
    reference = parsel.Selector(text=html.decode())
    reference = reference.xpath(query) if query.startswith("/") else reference.css(query)
    assert [s.get() for s in page.every] == reference.getall()
    if expected is None:
        assert page.first is None and page.every == []
    else:
        assert isinstance(page.first, parsel.Selector)
        assert page.first.get() == expected


def test_element_selectors_match_parsel_on_a_real_page(shared_dir):
    import gzip

    pages = sorted((shared_dir / "corpus" / "articles").glob("*.gz"))[:5]
    for path in pages:
        body = gzip.decompress(path.read_bytes())
        response = _response(body, {"Content-Type": "text/html; charset=utf-8"})

        @attrs.define
        class Items(webpoet.LarkPage[dict]):
            items = webpoet.field("li", out=[lambda sels: [s.xpath("string()").get() for s in sels]])

        expected = [s.xpath("string()").get() for s in response.css("li")]
        assert Items(response).items == expected, path.name


def test_a_larkpage_schema_can_be_checked():
    report = larkspine.check(ProductPage)
    assert report.ok and [q.name for q in report.queries][:3] == ["name", "price", "links"]


# One declaration works in both places: webpoet.field as a LarkPage field and as a
# sub-field of webpoet.group, with every option of larkspine.field.
ROWS = (b"<base href=/shop/><ul><li><b> Red </b><a href=red>r</a><i>1</i><i>2</i>"
        b"<li><b>Blue</b><i>x3</i></ul><a href=/top>t</a>")


@attrs.define
class Rows(webpoet.LarkPage[dict]):
    rows = webpoet.group(
        "li",
        name=webpoet.field("b::text", first=True, each=str.strip, out=[str.upper]),
        href=webpoet.field("a::attr(href)", first=True, absolute=True, default="-"),
        qty=webpoet.field("i::text", each=lambda v: v.lstrip("x"), out=[lambda vs: [int(v) for v in vs]]),
        plain=larkspine.field("i::text", first=True),
        text="b::text",
    )
    links = webpoet.field("a::attr(href)", absolute=True, each=str.upper)
    count = webpoet.field("i::text", out=[len, lambda n, page: (n, str(page.response.url))])
    missing = webpoet.field("p::text", default="none")
    missing_first = webpoet.field("p::text", first=True)


def test_webpoet_fields_take_every_option_and_serve_in_groups():
    page = Rows(_response(ROWS))
    assert page.rows == [
        {"name": "RED", "href": "http://shop.example/shop/red", "qty": [1, 2], "plain": "1", "text": [" Red "]},
        {"name": "BLUE", "href": "-", "qty": [3], "plain": "x3", "text": ["Blue"]},
    ]
    assert page.links == ["HTTP://SHOP.EXAMPLE/SHOP/RED", "HTTP://SHOP.EXAMPLE/TOP"]
    assert page.count == (3, "http://shop.example/p/1")
    assert (page.missing, page.missing_first) == ("none", None)
    assert Rows.__schema__.plan.flat_queries[-1] == "base[href]::attr(href)"


# The same web-poet fields, unchanged, as sub-fields of larkspine.group in a Page class.
ROW_FIELDS = dict(
    name=webpoet.field("b::text", first=True, each=str.strip, out=[str.upper]),
    href=webpoet.field("a::attr(href)", first=True, absolute=True, default="-"),
    qty=webpoet.field("i::text", each=lambda v: v.lstrip("x"), out=[lambda vs: [int(v) for v in vs]]),
    plain=larkspine.field("i::text", first=True),
)
EXPECTED_ROWS = [
    {"name": "RED", "href": "http://shop.example/shop/red", "qty": [1, 2], "plain": "1"},
    {"name": "BLUE", "href": "-", "qty": [3], "plain": "x3"},
]


class PlainRows(larkspine.Page):
    rows = larkspine.group("li", **ROW_FIELDS)
    first_row = larkspine.group("li", first=True, **ROW_FIELDS)


@attrs.define
class SameRows(webpoet.LarkPage[dict]):
    rows = webpoet.group("li", **ROW_FIELDS)


@pytest.mark.parametrize("read", [
    lambda: PlainRows(ROWS, url="http://shop.example/p/1").rows,
    lambda: [PlainRows(ROWS, url="http://shop.example/p/1").first_row],
    lambda: larkspine.Schema({"rows": larkspine.group("li", ROW_FIELDS)}).extract(ROWS, url="http://shop.example/p/1")["rows"],
    lambda: SameRows(_response(ROWS)).rows,
])
def test_one_webpoet_field_declaration_serves_in_both_groups(read):
    rows = read()
    assert rows == EXPECTED_ROWS[: len(rows)] and rows


def test_a_group_of_webpoet_fields_pickles_as_larkspine_fields():
    import pickle

    schema = PlainRows.__schema__
    assert all(type(sub) is larkspine.Field for sub in schema.fields["rows"].fields.values())
    schema = larkspine.Schema({"r": larkspine.group("li", q=webpoet.field("i::text", first=True, each=str.upper))})
    restored = pickle.loads(pickle.dumps(schema))
    assert restored == schema and restored.extract(ROWS)["r"] == [{"q": "1"}, {"q": "X3"}]


@pytest.mark.parametrize("make, error, message", [
    (lambda: webpoet.group("li", x=webpoet.field("b::text", meta={"a": 1})), TypeError, "meta="),
    (lambda: larkspine.group("li", x=webpoet.field("b::text", meta={"a": 1})), TypeError, "meta="),
    (lambda: larkspine.group("li", x=webpoet.group("ul", y="b")), TypeError, "must be a query str or a field"),
    (lambda: webpoet.group("li", {"x": "b"}, x="i"), ValueError, "given twice"),
    (lambda: webpoet.group("li", x=webpoet.group("ul", y="b")), TypeError, "must be a query str or a field"),
    (lambda: webpoet.field("a", absolute="yes"), TypeError, "absolute must be a bool"),
    (lambda: webpoet.field("a", each=3), TypeError, "each must be a callable"),
])
def test_webpoet_declarations_that_are_refused(make, error, message):
    with pytest.raises(error, match=message):
        make()
