"""Absolute URLs: ``field(..., absolute=True)`` against the document's base URL.

The reference is Scrapy's ``response.urljoin``: ``urllib.parse.urljoin`` against the base
that ``get_base_url`` finds. The differential test over the corpus requires equality; the
fast paths of the join are checked against ``urljoin`` over generated bases and values.
"""
import gzip
import string
from urllib.parse import urljoin, urlsplit

import _larkspine
import pytest
from hypothesis import example, given, settings, strategies as st

import larkspine
from larkspine import Page, Schema, field, group
from larkspine import _urls

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
    # Entities in the href are decoded, as the attribute value is (w3lib reads them as written).
    (b"<base href='/a?x=1&amp;y=2'><a href='#top'>x</a>", PAGE, ["https://shop.example/a?x=1&y=2#top"]),
    # An empty href leaves the page's URL, and a later <base> is not read.
    (b"<base href=' '><base href=/later/><a href=x>x</a>", PAGE, ["https://shop.example/tea/green/x"]),
    # urljoin's serialization: no "/" added to a bare host, an empty "?" or "#" dropped, a
    # value of another scheme untouched, "a//b" folded in a relative path.
    (b"<a href='https://Other.Example'>x</a><a href='HTTP://Other.Example'>y</a><a href='//cdn.example/i.png'>z</a>",
     PAGE, ["https://Other.Example", "HTTP://Other.Example", "https://cdn.example/i.png"]),
    (b"<a href='/a?'>x</a><a href='/b#'>y</a><a href='mailto:a@b.example'>z</a><a href='a//b'>w</a>",
     PAGE, ["https://shop.example/a", "https://shop.example/b", "mailto:a@b.example", "https://shop.example/tea/green/a/b"]),
    # What urljoin refuses (a malformed IPv6 host, where Scrapy's call raises) stays as written.
    (b"<a href='http://'>x</a><a href='https://[::1'>y</a>", PAGE, ["http://", "https://[::1"]),
    # A base relative links cannot be joined to is ignored, as browsers and current Scrapy do.
    (b"<base href='javascript:void(0)'><a href=x>x</a><a href=/y>y</a>", PAGE,
     ["https://shop.example/tea/green/x", "https://shop.example/y"]),
    (b"<base href='data:text/html,hi'><a href='?q'>x</a>", PAGE, ["https://shop.example/tea/green/index.html?q"]),
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


# --- Scrapy's base: where it looks, what it makes safe ------------------------------

FILLER = b"<p>" + b"x" * 5000 + b"</p>"


@pytest.mark.parametrize("href", ["javascript:x", "data:,", "mailto:a@b.example", "about:blank", "tel:1",
                                  "urn:isbn:1", "", " ", "/x/", "//h.example/", "https://o.example/", "?q", "#f"])
def test_with_a_page_url_an_absolute_field_never_holds_a_relative_link(href):
    html = f"<base href='{href}'>".encode() + b"".join(
        b"<a href='%s'>l</a>" % link for link in (b"x", b"/y", b"?q", b"#f", b"", b"../z", b"x:y"))
    values = Links(html, url=PAGE).links
    assert len(values) == 7
    assert all(urlsplit(v).scheme for v in values), values


@pytest.mark.parametrize("html, links", [
    # Scrapy searches the first 4096 characters of the text only.
    (b"<head><base href=/in/></head><body>" + FILLER + b"<a href=x>x</a>", ["https://shop.example/in/x"]),
    (b"<body>" + FILLER + b"<base href=/out/><a href=x>x</a>", ["https://shop.example/tea/green/x"]),
    # Characters, not bytes: 3000 three-byte characters hold 9000 bytes.
    (("<p>" + "\u20ac" * 3000 + "</p><base href=/in/><a href=x>x</a>").encode(), ["https://shop.example/in/x"]),
    (("<p>" + "\u20ac" * 4100 + "</p><base href=/out/><a href=x>x</a>").encode(), ["https://shop.example/tea/green/x"]),
    # In the window, the first <base> with an href is the one the whole scan found.
    (b"<base href=/one/><base href=/two/>" + FILLER + b"<a href=x>x</a>", ["https://shop.example/one/x"]),
])
def test_a_base_counts_in_scrapys_window_only(html, links):
    assert Links(html, url=PAGE).links == links
    assert Links(html.decode(), url=PAGE).links == links  # a str page is measured alike


def test_the_window_is_measured_in_the_pages_encoding():
    body = "<p>\u20ac</p>".encode("utf-16-le") * 400 + "<base href=/in/><a href=x>x</a>".encode("utf-16-le")
    page = Links(b"\xff\xfe" + body, url=PAGE)  # 3200 characters, 6400 bytes, before the <base>
    assert page.links == ["https://shop.example/in/x"]


def test_the_page_url_and_the_href_are_made_safe_as_scrapy_does():
    pytest.importorskip("w3lib")
    page = Links(b"<a href=x>x</a><a href='#'>y</a>", url="https://Shop.Example/a b/c d?q=\u00e9")
    assert page.links == ["https://shop.example/a%20b/x", "https://shop.example/a%20b/c%20d?q=%C3%A9"]
    page = Links("<base href='/\u00fc/'><a href=x>x</a>".encode("latin-1"), encoding="latin-1", url=PAGE)
    assert page.links == ["https://shop.example/%C3%BC/x"]


# --- The join: urljoin's answer, fast paths proven against it -------------------------

BASES = [
    PAGE, "http://h.example", "https://h.example/", "https://h.example/a/b/", "http://h.example/a/./b/../c;p?q#f",
    "https://user:pw@h.example:8080/a//b/c", "https://h.example/?q", "file:///tmp/a/b.html", "https://[::1]:8080/x/",
    "mailto:a@b.example", "https://h.example/%7E/\u00fc",
]
# Every character urlsplit, urljoin and urlunsplit treat apart, and some they do not.
ALPHABET = "/.:?#;[]@%\\ \t\n\r\x00\x0caA1-_~\u00e9\uff0f"
PIECES = ["", "http:", "https:", "HTTP:", "mailto:", "javascript:", "//", "/", "./", "../", "#", "?", "h.example", "x"]
values = st.builds(
    lambda head, tail: head + tail, st.sampled_from(PIECES), st.text(alphabet=ALPHABET, max_size=12)
)


def _urljoin_or_kept(base, value):
    try:
        return urljoin(base, value)
    except ValueError:
        return value


@settings(max_examples=3000, deadline=None)
@given(st.sampled_from(BASES), values)
@example(PAGE, "http://www.example/#")  # another scheme: urljoin keeps its empty fragment
@example(PAGE, "#")
@example(PAGE, "")
@example("https://h.example/a/", "x/y/")
@example("https://h.example/a/", "a//b")
@example("https://h.example/a/", "/a/./b")
@example("https://h.example/a/", "//h2.example/x;y")
def test_every_fast_path_gives_urljoins_answer(base, value):
    proven = _urls.Joiner(base).proven(value)
    assert proven is None or proven == urljoin(base, value)


@settings(max_examples=500, deadline=None)
@given(st.sampled_from(BASES), st.lists(values, max_size=12))
def test_a_batch_of_values_joins_as_urljoin_does(base, batch):
    # Proven links and the rest, side by side in one list, and the prefixes made on the way.
    joiner = _urls.Joiner(base)
    assert _urls.resolve_all(batch, joiner) == [_urljoin_or_kept(base, v) for v in batch]
    assert _urls.resolve_all(batch[::-1], joiner) == [_urljoin_or_kept(base, v) for v in batch[::-1]]


@pytest.mark.parametrize("value, shape", [
    ("https://cdn.example/a.png", "absolute"), ("http://cdn.example/", "absolute"), ("//cdn.example/a", "absolute"),
    ("/a/b?c=d#e", "rooted"), ("a/b.html", "relative"), ("#top", "fragment"), ("mailto:a@b.example", "scheme"),
])
def test_the_shapes_links_usually_have_take_a_fast_path(value, shape):
    # Not a speed test: each shape meant to be fast is, so a condition that grows too
    # strict shows here, not only in the benchmark.
    assert _urls.Joiner(PAGE).proven(value) == urljoin(PAGE, value), shape


@pytest.mark.parametrize("head", ["", "/", "https://h2.example/"])
@pytest.mark.parametrize("pattern", ["/.", "//", "?#", ";", "[", "]", "\t", "\n", "\r"])
def test_what_refuses_a_shape_is_seen_wherever_it_lies(head, pattern):
    # The native test reads links a block of bytes at a time: a pair split across two
    # blocks, or a byte in the last short block, must refuse the shape all the same.
    for k in range(40):
        value = head + "a" * k + pattern + "b"
        proven = _urls.Joiner(PAGE).proven(value)
        assert proven is None or proven == urljoin(PAGE, value), (k, value)


@pytest.mark.parametrize("links, message", [
    ("https://h.example/", "links must be a list of str"),
    (["/a", b"/b"], "got a bytes in it"),
])
def test_join_links_refuses_what_is_not_a_list_of_str(links, message):
    with pytest.raises(TypeError, match=message):
        _larkspine._join_links(links, PAGE, True, "https://shop.example", None, None)


def test_links_the_native_test_cannot_read_go_to_urljoin():
    # A lone surrogate has no UTF-8 form; non-ASCII links are left to urljoin.
    links = ["/a\udc80", "/\u00fc", "/ok"]
    joined, unproven = _larkspine._join_links(links, PAGE, True, "https://shop.example", None, None)
    assert (joined, unproven) == ([None, None, "https://shop.example/ok"], 2)
    assert _urls.resolve_all(links, PAGE) == [urljoin(PAGE, v) for v in links]


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


def test_absolute_urls_equal_scrapys_response_urljoin_on_the_corpus(shared_dir):
    http = pytest.importorskip("scrapy.http")
    from scrapy.utils.response import get_base_url

    total = with_base = 0
    unread = []
    faults = []
    for path in _corpus(shared_dir):
        body = path.read_bytes()
        if path.suffix == ".gz":
            body = gzip.decompress(body)
        response = http.HtmlResponse(PAGE, body=body)
        try:
            page = CorpusLinks.from_response(response)
        except ValueError:  # an encoding Scrapy names that the engine does not read (UTF-32)
            unread.append(path.name)
            continue
        with_base += get_base_url(response) != PAGE
        for key in CORPUS_QUERIES:
            raw, ours = getattr(page, f"raw_{key}"), getattr(page, f"abs_{key}")
            assert len(raw) == len(ours)
            for reference, value in zip(raw, ours):
                total += 1
                try:
                    expected = response.urljoin(reference)
                except ValueError:  # Scrapy's call raises; the value is kept as written
                    expected = reference
                if value != expected:
                    faults.append((path.name, reference, value, expected))
    print(f"{total} values, {with_base} pages with <base>, unread: {unread}")
    assert not faults, f"{len(faults)} differ:\n" + "\n".join(map(repr, faults[:20]))
    assert with_base > 0 and total > 10_000 and len(unread) <= 1


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


def test_a_field_finished_without_a_base_resolves_against_the_page_url():
    decl = field("a::attr(href)", absolute=True)
    assert decl.finish(["x", "/y"], "https://h.example/d/p") == ["https://h.example/d/x", "https://h.example/y"]
    assert decl.finish(["x"], "https://h.example/d/p", None) == ["x"]
    assert decl.finish(["x"], "https://h.example/d/p", "https://b.example/") == ["https://b.example/x"]


# --- Joining on Arrow buffers ------------------------------------------------------------

ARRAY_LINKS = ["x", "/y", "../z", "#f", "", "https://o.example/p", "//cdn.example/i", "caf\u00e9",
               "mailto:a@b.example", "?q=1", "a//b", " lead", "https://[::1", "./dot", "\tx"]


@pytest.mark.parametrize("kind", ["string", "large_string"])
@pytest.mark.parametrize("cut", [0, 3])
@pytest.mark.parametrize("with_nulls", [False, True])
def test_an_arrow_array_is_joined_page_by_page_as_urljoin_joins(kind, cut, with_nulls):
    pa = pytest.importorskip("pyarrow")
    from larkspine._schema import _joined_values

    values = ARRAY_LINKS * 3 + [None if with_nulls else "n"] * 2
    array = pa.array(["pad"] * cut + values, getattr(pa, kind)())[cut:]  # cut: an offset into the buffers
    bases = [_urls.Joiner(PAGE), None, _urls.Joiner("javascript:void(0)"), _urls.Joiner("https://b.example/")]
    spans = [0, 10, 18, 25, len(values)]
    joined = _joined_values(pa, array, pa.array(spans), bases).to_pylist()
    expected = []
    for p, joiner in enumerate(bases):
        for v in values[spans[p]:spans[p + 1]]:
            if v is None or joiner is None:
                expected.append(v)
                continue
            try:
                expected.append(urljoin(joiner.base, v))
            except ValueError:
                expected.append(v)
    assert joined == expected


@pytest.mark.parametrize("pages, fallback, error, message", [
    ([(0, 5, (PAGE, True, "https://shop.example", None, None))], lambda p, v: 1, TypeError, "fallback must return a str"),
    ([(0, 5, ("x", None, "", None, None))], lambda p, v: 1 / 0, ZeroDivisionError, "division by zero"),
    ([(3, 2, None)], lambda p, v: v, ValueError, "pages must be in order, within the array"),
    ([(0, 99, None)], lambda p, v: v, ValueError, "pages must be in order, within the array"),
    ([(0, 2, 5)], lambda p, v: v, TypeError, "a page's base must be a tuple"),
    ([(0, 2, (1, True, "", None, None))], lambda p, v: v, TypeError, "a base and its origin must be str"),
])
def test_the_array_join_refuses_what_it_cannot_use(pages, fallback, error, message):
    pa = pytest.importorskip("pyarrow")
    with pytest.raises(error, match=message):
        _larkspine._join_link_array(pa.array(["a", "b", "c", "d", "e"]), pages, fallback)


def test_the_array_join_takes_only_string_arrays():
    pa = pytest.importorskip("pyarrow")
    with pytest.raises(TypeError, match="values must be a string array"):
        _larkspine._join_link_array(pa.array([1, 2]), [], lambda p, v: v)
