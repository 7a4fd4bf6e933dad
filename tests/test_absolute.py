"""Absolute URLs: ``field(..., absolute=True)`` against the document's base URL.

The reference is Scrapy's ``response.urljoin`` (``urllib.parse.urljoin`` against the base
that w3lib finds); the resolution is the WHATWG URL Standard's, so a value is the same URL
serialized as browsers do. The differential test over the corpus allows exactly the
serialization differences the two are known to have, and nothing else.
"""
import gzip
import re
from urllib.parse import urljoin

import pytest

import larkspine
from larkspine import Page, Schema, field, group

ada_url = pytest.importorskip("ada_url")

PAGE = "https://shop.example/tea/green/index.html?p=2"


class Links(Page):
    links = field("a::attr(href)", absolute=True)
    first = field("a::attr(href)", first=True, absolute=True)
    raw = field("a::attr(href)")
    upper = field("a::attr(href)", first=True, absolute=True, each=str.upper)
    rows = group("li", href=field("a::attr(href)", first=True, absolute=True), text="a::text")


@pytest.mark.parametrize("html, url, links", [
    # No <base>: the page's URL.
    (b"<a href=sencha>x</a><a href=/jam>y</a><a href=../up>z</a>", PAGE,
     ["https://shop.example/tea/green/sencha", "https://shop.example/jam", "https://shop.example/tea/up"]),
    # A relative <base href> is resolved against the page's URL first.
    (b"<head><base href=/shop/></head><a href=sencha>x</a>", PAGE, ["https://shop.example/shop/sencha"]),
    (b"<base href='https://cdn.example/a/'><a href=b>x</a><a href='?q=1'>y</a>", PAGE,
     ["https://cdn.example/a/b", "https://cdn.example/a/?q=1"]),
    # Only the first <base> with an href counts, wherever it stands.
    (b"<base target=_top><p>text</p><base href=/one/><base href=/two/><a href=x>x</a>", PAGE,
     ["https://shop.example/one/x"]),
    (b"<body><a href=x>x</a><base href=/late/></body>", PAGE, ["https://shop.example/late/x"]),
    # Entities in the href are decoded, as the attribute value is.
    (b"<base href='/a?x=1&amp;y=2'><a href='#top'>x</a>", PAGE, ["https://shop.example/a?x=1&y=2#top"]),
    # Absolute references and other schemes are unchanged (up to the standard's serialization).
    (b"<a href='HTTP://Other.Example'>x</a><a href='mailto:a@b.example'>y</a><a href='//cdn.example/i.png'>z</a>",
     PAGE, ["http://other.example/", "mailto:a@b.example", "https://cdn.example/i.png"]),
    # What the standard rejects is joined by urljoin instead; the value is never lost.
    (b"<a href='http://'>x</a><a href='https://[::1'>y</a>", PAGE, ["http://", "https://[::1"]),
    # No page URL: an absolute <base href> still serves; without one, values stay as written.
    (b"<base href='https://b.example/d/'><a href=x>x</a>", None, ["https://b.example/d/x"]),
    (b"<base href=/rel/><a href=x>x</a>", None, ["x"]),
    (b"<a href=x>x</a>", None, ["x"]),
])
def test_values_resolve_against_the_document_base(html, url, links):
    page = Links(html, url=url)
    assert page.links == links
    assert page.first == links[0]
    assert page.upper == links[0].upper()  # each runs on the resolved value
    assert page.raw == larkspine.extract(html, ["a::attr(href)"])[0]


def test_group_subfields_resolve_too_and_empty_fields_keep_their_defaults():
    page = Links(b"<base href=/b/><ul><li><a href=x>x</a><li>none</ul>", url=PAGE)
    assert page.rows == [{"href": "https://shop.example/b/x", "text": ["x"]}, {"href": None, "text": []}]
    assert Links(b"<p>", url=PAGE).to_dict() == {"links": [], "first": None, "raw": [], "upper": None, "rows": []}


def test_the_base_comes_from_the_same_scan_as_one_hidden_first_only_query():
    plan = Links.__schema__.plan
    assert plan.flat_queries[-1] == "base[href]::attr(href)" and plan.first_only[-1] is True
    assert plan.flat_queries.count("base[href]::attr(href)") == 1
    # Without an absolute field, the plan is the declared queries alone.
    assert Schema({"raw": field("a::attr(href)")}).plan.flat_queries == ("a::attr(href)",)
    only_group = Schema({"g": group("li", href=field("a::attr(href)", absolute=True))})
    assert only_group.plan.flat_queries == ("base[href]::attr(href)",)
    # A declared field with the same query as the hidden one keeps its own column.
    both = Schema({"base": field("base[href]::attr(href)"), "a": field("a::attr(href)", absolute=True)})
    assert both.extract(b"<base href=/x/><base href=/y/><a href=z>", url=PAGE) == {
        "base": ["/x/", "/y/"], "a": ["https://shop.example/x/z"]}


@pytest.mark.parametrize("bad", [1, "yes", None])
def test_absolute_takes_a_bool(bad):
    with pytest.raises(TypeError, match="absolute must be a bool"):
        field("a::attr(href)", absolute=bad)


def test_absolute_fields_pickle_and_compare():
    import pickle

    decl = field("a::attr(href)", absolute=True)
    assert pickle.loads(pickle.dumps(decl)).absolute is True
    assert decl != field("a::attr(href)") and "absolute=True" in repr(decl)
    restored = pickle.loads(pickle.dumps(Links.__schema__))
    assert restored.extract(b"<a href=x>", url=PAGE)["links"] == ["https://shop.example/tea/green/x"]


# --- Against Scrapy's response.urljoin on every corpus page ---------------------------

CORPUS_QUERIES = {
    "a": "a::attr(href)", "img": "img::attr(src)", "link": "link::attr(href)",
    "script": "script::attr(src)", "form": "form::attr(action)", "iframe": "iframe::attr(src)",
}


class CorpusLinks(Page):
    locals().update({f"abs_{k}": field(q, absolute=True) for k, q in CORPUS_QUERIES.items()})
    locals().update({f"raw_{k}": field(q) for k, q in CORPUS_QUERIES.items()})


def _corpus(shared_dir):
    corpus = shared_dir / "corpus"
    pages = sorted(corpus.glob("articles/*.gz")) + sorted(corpus.glob("dense/*.gz"))
    pages += sorted(corpus.glob("encodings/*/*.html"))
    if not pages:
        pytest.skip("no corpus pages")
    return pages


def _fold_slashes(url):
    """The URL with runs of "/" after its authority made single."""
    scheme, _, rest = url.partition("://")
    return scheme + "://" + re.sub(r"/{2,}", "/", rest)


def _kind(ours, reference, expected, expected_base):
    """How our value relates to urljoin's: equal, or one of the known serialization
    differences; None when it is something else (a fault)."""
    if ours == expected:
        return "equal"
    try:
        normalized = ada_url.normalize_url(expected)
    except ValueError:
        return None
    if ours == normalized:
        return "same URL, serialized by the standard"
    # urljoin drops a "?" or "#" with nothing after it; the standard keeps it.
    if re.sub(r"\?(?=#|$)|#$", "", ours) == normalized:
        return "empty query or fragment kept"
    # A reference of an empty query ("?") keeps the base's query in urljoin (which
    # treats an empty query as none); the standard, like RFC 3986, empties it.
    if re.fullmatch(r"\s*\?(#.*)?", reference) and ours.startswith(normalized.split("?")[0] + "?"):
        return "empty query reference"
    # In http(s) URLs the standard reads "\\" as "/", as browsers do; urljoin keeps it.
    if "\\" in reference:
        slashed = urljoin(expected_base, reference.replace("\\", "/"))
        if ours in (slashed, ada_url.normalize_url(slashed)):
            return "backslash read as slash"
    # urljoin folds "a//b" into "a/b" inside a relative path; the standard keeps it.
    if "//" in reference.split("?")[0][2:] and _fold_slashes(ours) == _fold_slashes(normalized):
        return "relative path with // kept"
    return None


def test_absolute_urls_agree_with_scrapy_urljoin_on_the_corpus(shared_dir):
    http = pytest.importorskip("scrapy.http")
    w3html = pytest.importorskip("w3lib.html")
    from scrapy.utils.response import get_base_url

    kinds: dict[str, int] = {}
    faults = []
    window = 0
    with_base = 0
    for path in _corpus(shared_dir):
        body = path.read_bytes()
        if path.suffix == ".gz":
            body = gzip.decompress(body)
        response = http.HtmlResponse(PAGE, body=body)
        page = CorpusLinks.from_response(response)
        # Scrapy looks for <base> in the first 4096 characters only; browsers and
        # larkspine take the first one anywhere. Past that window, compare with what
        # Scrapy's own rule finds in the whole text.
        base = w3html.get_base_url(response.text, response.url, response.encoding)
        if base != get_base_url(response):
            window += 1
        if base != response.url:
            with_base += 1
        for key in CORPUS_QUERIES:
            raw, ours = getattr(page, f"raw_{key}"), getattr(page, f"abs_{key}")
            assert len(raw) == len(ours)
            for reference, value in zip(raw, ours):
                expected = urljoin(base, reference)
                kind = _kind(value, reference, expected, base)
                if kind is None:
                    faults.append((path.name, reference, value, expected))
                kinds[str(kind)] = kinds.get(str(kind), 0) + 1
    total = sum(kinds.values())
    print(f"{total} values, {with_base} pages with <base>, {window} past Scrapy's window: {kinds}")
    assert not faults, '\n'.join(map(repr, faults[:20]))
    assert with_base > 0 and total > 10_000
    # The serialization differences are the exception, not the rule.
    assert kinds["equal"] > 0.9 * total


# --- Schema files ---------------------------------------------------------------------

@pytest.mark.parametrize("language, text", [
    ("toml", 'links = { query = "a::attr(href)", absolute = true }\n'
             '[rows]\ngroup = "li"\nfields.src = { query = "img::attr(src)", first = true, absolute = true }\n'),
    ("json", '{"links": {"query": "a::attr(href)", "absolute": true},'
             ' "rows": {"group": "li", "fields": {"src": {"query": "img::attr(src)", "first": true, "absolute": true}}}}'),
])
def test_schema_files_declare_absolute_fields(language, text):
    from larkspine.schemafile import parse_schema

    schema = parse_schema(text, language, f"links.{language}")
    record = schema.extract(b"<base href=/b/><a href=x>x</a><ul><li><img src=i.png></ul>", url=PAGE)
    assert record == {"links": ["https://shop.example/b/x"], "rows": [{"src": "https://shop.example/b/i.png"}]}


@pytest.mark.parametrize("value", ['"yes"', "1"])
def test_a_schema_file_absolute_that_is_not_a_bool_is_refused(value):
    from larkspine.schemafile import SchemaFileError, parse_schema

    with pytest.raises(SchemaFileError, match="`absolute` must be true or false"):
        parse_schema(f'links = {{ query = "a::attr(href)", absolute = {value} }}\n', "toml", "links.toml")


@pytest.mark.parametrize("base", [PAGE, "http://h.example", "file:///tmp/a/b.html", "https://[::1]:8080/x/"])
@pytest.mark.parametrize("reference", [
    "", "x", "../../../a", "//h2.example", "?q", "#f", "https://", "http://[bad", "mailto:x@y",
    " /lead", "/trail ", "/a b", "/ümlaut", "\\\\back", "/%zz", "javascript:void(0)", "https://xn--", "\ud800",
    "data:text/html,<p>", "http://EXAMPLE.com:80/./a/../b",
])
def test_the_fast_join_is_ada_join_url_or_urljoin_where_ada_refuses(base, reference):
    from larkspine import _urls

    try:
        expected = ada_url.join_url(base, reference)
    except ValueError:
        try:
            expected = urljoin(base, reference)
        except ValueError:
            expected = reference
    assert _urls.resolve_all([reference, reference], base) == [expected, expected]


def test_a_field_finished_without_a_base_resolves_against_the_page_url():
    decl = field("a::attr(href)", absolute=True)
    assert decl.finish(["x", "/y"], "https://h.example/d/p") == ["https://h.example/d/x", "https://h.example/y"]
    assert decl.finish(["x"], "https://h.example/d/p", None) == ["x"]
    assert decl.finish(["x"], "https://h.example/d/p", "https://b.example/") == ["https://b.example/x"]
