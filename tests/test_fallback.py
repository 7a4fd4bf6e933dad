"""``fallback=True``: the queries the engine refuses are answered by parsel (lxml), on the
pages whose schema has one, exactly as parsel's ``.getall()`` answers them; the engine's own
answers, and everything about a schema without the option, stay as they were."""

from __future__ import annotations

import json
import pathlib
import pickle
import sys
import warnings
from urllib.parse import urljoin

import pytest

parsel = pytest.importorskip("parsel")

import larkspine  # noqa: E402
from larkspine import Page, Schema, UnsupportedQueryWarning, check, field, group  # noqa: E402
from larkspine.batch import columnar  # noqa: E402

# One page for the flat queries: siblings before and after, text nodes split by elements,
# attributes to reach from anywhere, numbers to count and add.
PAGE = (
    "<html><head><title>Shop</title></head><body>"
    "<h1>Teas</h1>"
    "<dl><dt>Email</dt><dd>tea@example.com</dd><dt>Phone</dt><dd>123</dd><dd>456</dd></dl>"
    "<p class=a>first <b>bold</b> second <i>it</i> third</p>"
    "<p class=b>only</p><p></p>"
    "<ul><li data-n=1 data-id=x1><b>Green</b><i>2.50</i></li>"
    "<li data-n=2 class=sale data-id=x2><b>Black</b><i>3.00</i></li>"
    "<li data-n=4><b>White</b></li></ul>"
    "<a href=/one>1</a><a href=two.html>2</a><a href='https://else.example/three'>3</a>"
    "</body></html>"
).encode()

# Queries the engine refuses and parsel runs, each kind of construct once.
REFUSED = [
    "//dd/preceding-sibling::dt[1]/text()",
    "//dt[.='Phone']/following-sibling::dd[2]/text()",
    "//p[@class='a']/text()[2]",
    "//li[position()>1 and @class]/b/text()",
    "//@data-id",
    "//@data-id/..//b/text()",
    "//b/ancestor::*[self::li][1]/@data-n",
    "//p[contains(.,'bold') or contains(.,'only')]/text()",
    "//*[local-name()='i']/text()",
    "//a[string-length(@href) > 5]/@href",
    "//p/descendant-or-self::text()",
    "count(//li)",
    "sum(//li/@data-n)",
    "string-length(//h1)",
    "concat(//h1/text(), ' / ', //title/text())",
    "translate(//h1/text(), 'aeT', 'AEt')",
    "name(//body/*[1])",
    "li:nth-last-child(2)",
    "p:empty",
    "li:last-of-type",
    "p:only-of-type",
    "a:lang(en)::attr(href)",
]

# Supported queries beside them: their answers are the engine's, with or without the option.
NATIVE = ["h1::text", "//li/b/text()", "a::attr(href)", "p.a::text", "//dd/text()"]


def reference(page: bytes | str, codec: str = "utf-8") -> parsel.Selector:
    """parsel on the page as a parsel user builds it."""
    text = page if isinstance(page, str) else page.decode(codec)
    return parsel.Selector(text=text, type="html")


def parsel_values(sel: parsel.Selector, query: str) -> list[str]:
    xpath = query.startswith(("/", "(", "./")) or query.split("(")[0].replace("-", "").isalpha()
    return (sel.xpath(query) if xpath else sel.css(query)).getall()


def quiet_schema(fields, **options) -> Schema:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UnsupportedQueryWarning)
        return Schema(fields, **options)


@pytest.mark.parametrize("query", REFUSED)
def test_a_refused_query_is_answered_as_parsel_answers_it(query):
    assert not check([query]).queries[0].supported  # the engine refuses it (else this tests nothing)
    expected = parsel_values(reference(PAGE), query)
    fields = {"value": query, **{f"n{i}": q for i, q in enumerate(NATIVE)}}
    with warnings.catch_warnings():
        warnings.simplefilter("error", UnsupportedQueryWarning)  # answered: nothing to warn of
        schema = Schema(fields, fallback=True)
    record = schema.extract(PAGE)
    assert record["value"] == expected
    # The engine's queries answer as they do without the option.
    plain = quiet_schema(fields).extract(PAGE)
    assert {k: v for k, v in record.items() if k != "value"} == {k: v for k, v in plain.items() if k != "value"}
    assert plain["value"] == []


# (options, query, expected from parsel's values)
FINISHED = [
    ({"first": True}, "//dd/preceding-sibling::dt[1]/text()", lambda v: v[0] if v else None),
    ({"first": True}, "//p[@class='zzz']/text()[2]", lambda v: None),
    ({"first": True, "default": "-"}, "//p[@class='zzz']/text()[2]", lambda v: "-"),
    ({"default": ["none"]}, "//li[position()>5 and @class]/b/text()", lambda v: ["none"]),
    ({"each": str.upper}, "//p[@class='a']/text()[2]", lambda v: [s.upper() for s in v]),
    ({"each": [str.strip, len]}, "//p/descendant-or-self::text()", lambda v: [len(s.strip()) for s in v]),
    ({"out": " | ".join}, "//@data-id", " | ".join),
    ({"first": True, "each": float}, "sum(//li/@data-n)", lambda v: float(v[0])),
    ({"out": len}, "li:nth-last-child(2)", len),
]


@pytest.mark.parametrize("options, query, expected", FINISHED)
def test_first_processors_and_defaults_apply_to_parsels_values(options, query, expected):
    schema = Schema({"value": field(query, **options)}, fallback=True)
    assert schema.extract(PAGE)["value"] == expected(parsel_values(reference(PAGE), query))


ABSOLUTE = [
    ("https://shop.example/dir/page", PAGE),
    (None, PAGE),
    ("https://shop.example/dir/page", PAGE.replace(b"<head>", b"<head><base href='https://cdn.example/b/'>")),
]


@pytest.mark.parametrize("url, page", ABSOLUTE)
def test_absolute_joins_parsels_links_to_the_pages_base(url, page):
    query = "//a[string-length(@href) > 5]/@href"
    schema = Schema({"links": field(query, absolute=True), "first": field(query, first=True, absolute=True)},
                    fallback=True)
    sel = reference(page)
    base = sel.xpath("//base/@href").get()
    base = urljoin(url or "", base) if base else url
    values = parsel_values(sel, query)
    joined = [urljoin(base, v) if base else v for v in values]
    record = schema.extract(page, url=url)
    assert record == {"links": joined, "first": joined[0]}


# (queries of the chain, page, expected): refused and supported queries mixed in either order.
CHAINS = [
    (["//li[position()>1 and @class]/b/text()", "h1::text"], PAGE, ["Black"]),
    (["//li[position()>5 and @class]/b/text()", "h1::text"], PAGE, ["Teas"]),
    (["h2::text", "//li[position()>1 and @class]/b/text()"], PAGE, ["Black"]),
    (["h1::text", "//li[position()>1 and @class]/b/text()"], PAGE, ["Teas"]),
    (["h2::text", "//p[@class='zzz']/text()[2]", "//title/text()"], PAGE, ["Shop"]),
    (["h2::text", "//p[@class='zzz']/text()[2]"], PAGE, []),
]


@pytest.mark.parametrize("queries, page, expected", CHAINS)
def test_a_chain_takes_the_first_query_that_finds_something_whoever_answers_it(queries, page, expected):
    schema = Schema({"value": field(*queries), "one": field(*queries, first=True)}, fallback=True)
    assert schema.extract(page) == {"value": expected, "one": expected[0] if expected else None}


# (container, sub-fields): a refused container, a refused sub-field, or both.
GROUPS = [
    ("//li[position()>1 and @data-n]", {"name": "b::text", "price": "./i/text()", "n": "@data-n"}),
    ("ul > li", {"name": "b::text", "before": "./preceding-sibling::li[1]/b/text()"}),
    ("li", {"all": ".//text()", "prev": "./preceding-sibling::li/@data-id"}),
    ("li:nth-last-child(-n+2)", {"name": "./b/text()", "whole": "."}),
    ("//dt[.='Email']/following-sibling::dd[1]", {"text": "text()"}),
]


def parsel_rows(sel: parsel.Selector, container: str, subs: dict[str, str]) -> list[dict[str, list[str]]]:
    elements = sel.xpath(container) if container.startswith("/") else sel.css(container)
    rows = []
    for el in elements:
        rows.append({
            name: (el.css(q) if q.endswith("::text") and not q.startswith(".") else el.xpath(q)).getall()
            for name, q in subs.items()
        })
    return rows


@pytest.mark.parametrize("container, subs", GROUPS)
def test_a_group_with_a_refused_query_is_answered_wholly_by_parsel(container, subs):
    report = check({"g": group(container, subs)})
    assert not report.ok  # some query of the group is refused
    expected = parsel_rows(reference(PAGE), container, subs)
    assert expected  # the page has rows for it
    schema = Schema({"title": field("title::text", first=True), "g": group(container, subs)}, fallback=True)
    assert schema.extract(PAGE) == {"title": "Shop", "g": expected}
    first = Schema({"g": group(container, subs, first=True)}, fallback=True)
    assert first.extract(PAGE) == {"g": expected[0]}
    assert all(q.fallback for q in check(schema).queries if q.name.startswith("g"))


def test_a_supported_group_stays_the_engines_beside_a_refused_one():
    subs = {"name": "b::text", "price": "i::text"}
    schema = Schema({"a": group("li", subs), "b": group("//li[position()>1 and @class]", subs)}, fallback=True)
    record = schema.extract(PAGE)
    assert record["a"] == quiet_schema({"a": group("li", subs)}).extract(PAGE)["a"]
    assert record["b"] == parsel_rows(reference(PAGE), "//li[position()>1 and @class]", subs)
    assert [q.fallback for q in check(schema).queries] == [False, False, False, True, True, True]


# (page bytes, the codec a parsel user decodes them with, the label given, if any)
ENCODED = [
    ("<meta charset=windows-1252><dl><dt>Thé</dt><dd>café – crème</dd><dd>œuf</dd></dl>",
     "cp1252", None),
    ("<meta charset=shift_jis><dl><dt>名前</dt><dd>抹茶</dd><dd>煎茶～</dd></dl>", "cp932", None),
    ("<dl><dt>이름</dt><dd>녹차</dd><dd>홍차</dd></dl>", "cp949", "euc-kr"),
    ("<dl><dt>Имя</dt><dd>чай</dd><dd>кофе</dd></dl>", "koi8-r", "koi8-r"),
    ("\ufeff<dl><dt>ä</dt><dd>ö</dd><dd>ü</dd></dl>", "utf-16-le", None),
    ("\ufeff<dl><dt>ä</dt><dd>ö</dd><dd>ü</dd></dl>", "utf-8", None),
    ("<dl><dt>str</dt><dd>ü</dd><dd>ß</dd></dl>", None, None),
]


@pytest.mark.parametrize("text, codec, label", ENCODED)
def test_pages_in_other_encodings_are_read_as_the_engine_reads_them(text, codec, label):
    page: bytes | str = text if codec is None else text.encode(codec)
    queries = {"before": "//dd/preceding-sibling::dt[1]/text()", "second": "//dl/dd[position()>1 and 1]/text()",
               "dd": "//dd/text()"}
    schema = Schema({name: field(q) for name, q in queries.items()}, fallback=True)
    sel = parsel.Selector(text=text.lstrip("\ufeff"), type="html")
    expected = {name: sel.xpath(q).getall() for name, q in queries.items()}
    assert schema.extract(page, encoding=label) == expected
    assert expected["second"]  # the page has what the query looks for


def test_the_routing_is_the_engines(testing):
    from larkspine._lxml import routes_to_xpath

    queries = [
        "/html", "//a", "./a", ".", "(//li)[2]", "string(//a)", "normalize-space (//p)", "count(//li)",
        "substring-after(//a, 'x')", "a", "a::text", "p:nth-child(2)", "  //a  ", "\u3000(//a)",
        "li > a", "*", "text()", "a-b(x)", "A(x)", "-a(x)", "h1::attr(x)", ":root", "a ( b )",
    ]
    assert [routes_to_xpath(q) for q in queries] == [testing.route(q) == "xpath" for q in queries]


def test_a_query_parsel_refuses_too_stays_unsupported(untold):
    with pytest.warns(UnsupportedQueryWarning, match="parsel .* refuses it too"):
        schema = Schema({"bad": "p::first-line", "ok": "//li[position()>1 and @class]/b/text()"}, fallback=True)
    report = check(schema)
    assert [q.name for q in report.unsupported] == ["bad"]
    assert [q.name for q in report.by_fallback] == ["ok"]
    assert schema.extract(PAGE) == {"bad": [], "ok": ["Black"]}
    with pytest.raises(ValueError, match="first-line"):
        Schema({"bad": "p::first-line"}, fallback=True, strict=True)
    with pytest.raises(larkspine.QuerySyntaxError):  # a malformed query is refused as ever
        Schema({"bad": "//p[@"}, fallback=True)


@pytest.fixture
def untold(monkeypatch):
    """Warnings told afresh: each query is told once per process, and other tests define these."""
    from larkspine import _check

    monkeypatch.setattr(_check, "_told", set())


def test_without_the_option_nothing_changes(untold):
    fields = {"value": "//li[position()>1 and @class]/b/text()", "title": "h1::text"}
    with pytest.warns(UnsupportedQueryWarning, match="will always be empty"):
        schema = Schema(fields)
    assert not schema.fallback and columnar(schema)
    assert schema.extract(PAGE) == {"value": [], "title": ["Teas"]}
    assert [q.name for q in check(schema).unsupported] == ["value"]
    assert "answered by lxml" not in str(check(schema))
    with pytest.raises(ValueError, match="unsupported"):
        Schema(fields, strict=True)
    # With it: no warning, strict passes, and the batch takes the record path.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        answered = Schema(fields, fallback=True, strict=True)
    assert not columnar(answered)
    assert columnar(Schema({"title": "h1::text"}, fallback=True))


def test_check_marks_what_lxml_answers_and_what_it_costs():
    report = check({"mail": REFUSED[0], "title": "h1::text", "g": group("li", a="b::text", b="./preceding-sibling::li")},
                   fallback=True)
    marks = {q.name: (q.supported, q.fallback) for q in report.queries}
    assert marks == {"mail": (False, True), "title": (True, False), "g": (True, True), "g.a": (True, True),
                     "g.b": (False, True)}
    assert report.ok
    text = str(report)
    assert text.count("answered by lxml (parsel)") == 5
    assert "lxml tree" in text.splitlines()[-1]
    # The same mapping without the option: the refused queries are unsupported.
    assert not check({"mail": REFUSED[0]}).ok


class Fallback(Page, fallback=True):
    before = field("//dd/preceding-sibling::dt[1]/text()", first=True)
    title = field("h1::text", first=True)


class Inherits(Fallback):
    second = field("//dl/dd[position()>1 and 1]/text()")


def test_a_page_class_takes_the_option_and_a_subclass_inherits_it(untold):
    assert Fallback(PAGE).to_dict() == {"before": "Email", "title": "Teas"}
    assert Inherits.__schema__.fallback
    assert Inherits(PAGE).second == reference(PAGE).xpath("//dl/dd[position()>1 and 1]/text()").getall()
    with pytest.warns(UnsupportedQueryWarning):
        class Without(Fallback, fallback=False):
            pass
    assert Without(PAGE).before is None


def test_a_page_class_with_the_fallback_travels_pickled():
    from larkspine.batch import PartitionExtractor

    assert pickle.loads(pickle.dumps(Inherits)) is Inherits
    schema = pickle.loads(pickle.dumps(Inherits.__schema__))
    assert schema.fallback and schema == Inherits.__schema__
    assert schema.extract(PAGE) == Inherits(PAGE).to_dict()
    page = pickle.loads(pickle.dumps(Inherits(PAGE)))
    assert page == Inherits(PAGE)
    extractor = pickle.loads(pickle.dumps(PartitionExtractor(Inherits.__schema__)))
    assert extractor.schema.fallback


def test_a_batch_table_equals_the_records():
    pytest.importorskip("pyarrow")
    fields = {
        "one": field("//dd/preceding-sibling::dt[1]/text()", first=True),
        "all": "//@data-id",
        "chain": field("//p[@class='zzz']/text()[2]", "h1::text"),
        "g": group("//li[position()>1 and @data-n]", name=field("b::text", first=True), n="@data-n"),
        "plain": "a::attr(href)",
    }
    schema = Schema(fields, fallback=True)
    pages = [PAGE, b"<p>nothing</p>", "<dl><dt>x</dt><dd>y</dd></dl>"]
    assert schema.extract_table(pages).to_pylist() == [schema.extract(p) for p in pages]


def test_without_parsel_the_option_names_the_extra(monkeypatch):
    from larkspine import _lxml

    monkeypatch.setitem(sys.modules, "parsel", None)
    _lxml.parsel_error.cache_clear()
    with pytest.raises(ImportError, match=r"larkspine\[fallback\]"):
        Schema({"title": "h1::text"}, fallback=True)
    # Without the option, parsel is not needed.
    assert Schema({"title": "h1::text"}).extract(PAGE) == {"title": ["Teas"]}
    _lxml.parsel_error.cache_clear()


SCHEMA_FILES = [
    ("toml", 'fallback = true\nbefore = "//dd/preceding-sibling::dt[1]/text()"\n'
             '[g]\ngroup = "ul > li"\nfields.prev = "./preceding-sibling::li[1]/b/text()"\n'),
    ("json", '{"fallback": true, "before": "//dd/preceding-sibling::dt[1]/text()",'
             ' "g": {"group": "ul > li", "fields": {"prev": "./preceding-sibling::li[1]/b/text()"}}}'),
    ("yaml", "fallback: true\nbefore: //dd/preceding-sibling::dt[1]/text()\n"
             "g:\n  group: ul > li\n  fields:\n    prev: ./preceding-sibling::li[1]/b/text()\n"),
]


@pytest.mark.parametrize("language, text", SCHEMA_FILES)
def test_a_schema_file_asks_for_the_fallback_at_its_top(language, text):
    from larkspine.schemafile import SchemaFileError, parse_schema

    if language == "yaml":
        pytest.importorskip("yaml")
    schema = parse_schema(text, language, f"s.{language}")
    assert schema.fallback and list(schema.fields) == ["before", "g"]
    sel = reference(PAGE)
    assert schema.extract(PAGE) == {
        "before": sel.xpath("//dd/preceding-sibling::dt[1]/text()").getall(),
        "g": parsel_rows(sel, "ul > li", {"prev": "./preceding-sibling::li[1]/b/text()"}),
    }
    # Without the option the file is refused, as before.
    without = text.replace("fallback = true\n", "").replace('"fallback": true, ', "").replace("fallback: true\n", "")
    with pytest.raises(SchemaFileError, match="unsupported"):
        parse_schema(without, language, f"s.{language}")
    assert parse_schema(without, language, f"s.{language}", fallback=True).fallback


def test_a_field_named_fallback_is_still_a_field():
    from larkspine.schemafile import parse_schema

    schema = parse_schema('fallback = "h1::text"\n', "toml", "s.toml")
    assert not schema.fallback and schema.extract(PAGE) == {"fallback": ["Teas"]}


def run(*args: str):
    from click import testing as click_testing

    from larkspine.cli import cli

    return click_testing.CliRunner().invoke(cli, list(args), catch_exceptions=False)


@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("how", ["option", "file"])
def test_the_command_with_fallback_writes_the_records_of_the_record_path(tmp_path, jobs, how):
    pages = {"a.html": PAGE, "b.html": b"<dl><dt>x</dt><dd>y</dd></dl>", "c.html": b"<p>none</p>"}
    for name, body in pages.items():
        (tmp_path / name).write_bytes(body)
    body = 'before = "//dd/preceding-sibling::dt[1]/text()"\ntitle = { query = "h1::text", first = true }\n'
    (tmp_path / "s.toml").write_text(("fallback = true\n" if how == "file" else "") + body)
    args = ["extract", str(tmp_path / "s.toml"), str(tmp_path), "-j", jobs] + (["--fallback"] if how == "option" else [])
    done = run(*args)
    assert done.exit_code == 0, done.output
    records = [json.loads(line) for line in done.stdout.splitlines()]
    schema = Schema({"before": "//dd/preceding-sibling::dt[1]/text()", "title": field("h1::text", first=True)},
                    fallback=True)
    assert [{k: r[k] for k in ("before", "title")} for r in records] == [
        schema.extract(pages[name]) for name in sorted(pages)
    ]
    assert [r["_source"].rsplit("/", 1)[-1] for r in records] == sorted(pages)


def test_the_command_refuses_the_schema_without_the_option(tmp_path):
    (tmp_path / "s.toml").write_text('before = "//dd/preceding-sibling::dt[1]/text()"\n')
    (tmp_path / "a.html").write_bytes(PAGE)
    assert run("extract", str(tmp_path / "s.toml"), str(tmp_path / "a.html")).exit_code == 2
    done = run("check", str(tmp_path / "s.toml"))
    assert done.exit_code == 1 and "UNSUPPORTED" in done.stdout
    done = run("check", str(tmp_path / "s.toml"), "--fallback")
    assert done.exit_code == 0 and "answered by lxml (parsel)" in done.stdout


@pytest.mark.parametrize("query", REFUSED[:6] + ["h1::text"])
def test_query_with_fallback_prints_parsels_values(tmp_path, query):
    (tmp_path / "a.html").write_bytes(PAGE)
    done = run("query", str(tmp_path / "a.html"), query, "--fallback", "--json")
    assert done.exit_code == 0, done.output
    assert json.loads(done.stdout) == parsel_values(reference(PAGE), query)
    listing = run("query", str(tmp_path / "a.html"), query, "--fallback", "--table").stdout
    assert ("by lxml (parsel)" in listing) == (query != "h1::text")
    without = run("query", str(tmp_path / "a.html"), query, "--json")
    assert without.exit_code == (0 if query == "h1::text" else 1)


def whatwg_index(shared: pathlib.Path, name: str) -> dict[int, str]:
    table = {}
    for line in (shared / "whatwg-encoding" / f"index-{name}.txt").read_text().splitlines():
        parts = line.split()
        if parts and not line.startswith("#") and len(parts) >= 2:
            table[int(parts[0])] = chr(int(parts[1], 16))
    return table


SINGLE_BYTE = [
    "IBM866", "ISO-8859-2", "ISO-8859-5", "ISO-8859-8", "ISO-8859-8-I", "ISO-8859-16", "KOI8-R", "KOI8-U",
    "macintosh", "x-mac-cyrillic", "windows-874", "windows-1250", "windows-1251", "windows-1252", "windows-1253",
    "windows-1255", "windows-1257", "windows-1258",
]


@pytest.mark.parametrize("encoding", SINGLE_BYTE)
def test_a_single_byte_page_is_decoded_by_the_whatwg_index(shared_dir, encoding):
    """Every byte the page holds reaches parsel as the engine's decoder reads it, holes and
    all (Python's codecs leave bytes undefined that WHATWG maps, and differ on a few)."""
    from larkspine._lxml import page_text

    index = whatwg_index(shared_dir, encoding.lower().removesuffix("-i"))
    got = {b: page_text(b"a" + bytes([b]) + b"z", encoding)[1:-1] for b in range(0x80, 0x100)}
    assert got == {b: index.get(b - 0x80, "\ufffd") for b in range(0x80, 0x100)}


def test_an_euc_jp_page_is_decoded_by_the_whatwg_index(shared_dir):
    from larkspine._lxml import page_text

    index = whatwg_index(shared_dir, "jis0208")
    pairs = {p: bytes([p // 94 + 0xA1, p % 94 + 0xA1]) for p in index if p // 94 + 0xA1 <= 0xFE}
    text = page_text(b"".join(b"<" + pair for pair in pairs.values()), "EUC-JP")
    assert text.split("<")[1:] == [index[p] for p in pairs]


# (encoding, bytes, what the WHATWG decoder reads): bad sequences of multi-byte encodings.
BAD_SEQUENCES = [
    ("EUC-KR", b"\xed\x9a\x8c\xec", "\ufffd뚯"),  # a bad pair is one error, both bytes
    ("EUC-KR", b"\xb0\x80\xec\x9e\x85", "\ufffd\ufffd\ufffd"),  # 0x80 leads nothing
    ("EUC-KR", b"\xb0 z", "\ufffd z"),  # an ASCII byte after a lead is read again
    ("Shift_JIS", b"\x81\xff", "\ufffd"),
    ("EUC-JP", b"\xad\xa1", "\u2460"),  # an NEC row Python's euc_jp lacks
    ("windows-1252", b"\x81\x8d", "\x81\x8d"),
]


@pytest.mark.parametrize("encoding, data, text", BAD_SEQUENCES)
def test_bad_bytes_are_read_as_the_engine_reads_them(encoding, data, text):
    from larkspine._lxml import page_text

    assert page_text(data, encoding) == text
    page = b"<p>" + data + b"</p>"
    native = larkspine.extract(page, ["p::text"], encoding)[0]
    assert Schema({"p": "//p/descendant-or-self::text()"}, fallback=True).extract(page, encoding) == {"p": native}


#: Big5 pages are left out: two pairs of Python's Big5-HKSCS table give a character that
#: other pairs give too, where WHATWG's index gives another (see larkspine._lxml).
CORPUS_FOLDERS = ["articles", "dense", "encodings"]
SAME = {  # refused by the engine -> the supported query parsel answers alike
    "title": ("//title/descendant-or-self::text()", "//title//text()"),
    "h1": ("//h1/descendant-or-self::text()", "//h1//text()"),
    "p": ("//p/descendant-or-self::text()", "//p//text()"),
    "a": ("//a/descendant-or-self::text()", "//a//text()"),
}


@pytest.mark.parametrize("folder", CORPUS_FOLDERS)
def test_on_real_pages_parsel_reads_the_text_the_engine_reads(shared_dir, folder):
    """The engine agrees with parsel on the supported queries; so where parsel, through the
    fallback, answers a refused query that means the same, every page gives the same values,
    in whatever encoding it is."""
    import gzip

    fallback = Schema({k: field(refused) for k, (refused, _) in SAME.items()}, fallback=True)
    native = Schema({k: field(supported) for k, (_, supported) in SAME.items()})
    paths = [p for p in sorted((shared_dir / "corpus" / folder).rglob("*")) if p.is_file() and p.parent.name != "Big5"]
    paths = [p for p in paths if p.suffix in (".gz", ".html", ".htm", ".xml", ".txt")]
    assert paths
    differ = []
    for path in paths:
        body = path.read_bytes()
        body = gzip.decompress(body) if path.suffix == ".gz" else body
        if fallback.extract(body) != native.extract(body):
            differ.append(path.name)
    assert differ == []
