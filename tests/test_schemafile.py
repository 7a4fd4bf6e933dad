"""Schema files: one format in TOML, JSON and YAML, refused with the file and field named."""

from __future__ import annotations

import re

import pytest

from larkspine import Schema, field, group
from larkspine.schemafile import SchemaFileError, load_schema, parse_schema, resolve_schema

HTML = b"""<html lang=en><title>Shop</title><h1>Offers</h1>
<ul><li class=offer><b>Tea</b> <i class=price>3</i><i class=price>2</i>
<li class=offer><b>Jam</b></ul><a href=/a>a</a><a href=/b>b</a>"""

EXPECTED = Schema({
    "title": field("h1::text", first=True),
    "links": field("a::attr(href)"),
    "offers": group("li.offer", name=field("b::text", first=True), price=".price::text"),
    "top": group("li.offer", first=True, name="b::text"),
})

SAME_SCHEMA = {
    "toml": """
title = { query = "h1::text", first = true }
links = "a::attr(href)"

[offers]
group = "li.offer"
fields.name = { query = "b::text", first = true }
fields.price = ".price::text"

[top]
group = "li.offer"
first = true
fields = { name = "b::text" }
""",
    "json": """{
  "title": {"query": "h1::text", "first": true},
  "links": "a::attr(href)",
  "offers": {"group": "li.offer", "fields": {"name": {"query": "b::text", "first": true}, "price": ".price::text"}},
  "top": {"group": "li.offer", "first": true, "fields": {"name": "b::text"}}
}""",
    "yaml": """
title: {query: "h1::text", first: true}
links: a::attr(href)
offers:
  group: li.offer
  fields:
    name: {query: b::text, first: true}
    price: .price::text
top:
  group: li.offer
  first: true
  fields: {name: b::text}
""",
}


@pytest.mark.parametrize("language", sorted(SAME_SCHEMA))
def test_each_language_describes_the_same_schema(language: str, tmp_path) -> None:
    if language == "yaml":
        pytest.importorskip("yaml")
    path = tmp_path / f"shop.{'yml' if language == 'yaml' else language}"
    path.write_text(SAME_SCHEMA[language], encoding="utf-8")
    schema = load_schema(path)
    assert schema == EXPECTED
    assert list(schema.fields) == ["title", "links", "offers", "top"]
    assert schema.extract(HTML) == {
        "title": "Offers",
        "links": ["/a", "/b"],
        "offers": [{"name": "Tea", "price": ["3", "2"]}, {"name": "Jam", "price": []}],
        "top": {"name": ["Tea"]},
    }


@pytest.mark.parametrize(
    "language, text, message",
    [
        ("toml", "title = 3", "field 'title': expected a query string, a table with `query` (a field) or a table with `group` (a group), got a number (3)"),
        ("toml", 'title = { query = "h1", frist = true }', "field 'title': unknown key 'frist' (a field takes 'query', 'first', 'absolute')"),
        ("toml", 'title = { first = true }', "field 'title': a field table needs `query`"),
        ("toml", 'title = { query = [["h1", "h2"]] }', "field 'title': `query` must be a query string, got a list"),
        ("toml", 'title = { query = "h1", first = "yes" }', "field 'title': `first` must be true or false, got a string ('yes')"),
        ("toml", 'title = "  "', "field 'title': `query` is an empty query"),
        ("toml", '[o]\ngroup = "li"', "field 'o': a group needs `fields`, a table of named sub-fields, got nothing"),
        ("toml", '[o]\ngroup = "li"\nfields = {}', "field 'o': a group needs `fields`"),
        ("toml", '[o]\ngroup = "li"\nrows = 3\nfields.a = "b"', "field 'o': unknown key 'rows' (a group takes 'group', 'fields', 'first')"),
        ("toml", '[o]\ngroup = "li"\nfields.a = 1', "field 'o.a': expected a query string"),
        ("toml", '[o]\ngroup = "li"\nfields.a = { group = "b", fields.c = "i" }', "field 'o.a': groups do not nest"),
        ("toml", '[o]\ngroup = 5\nfields.a = "b"', "field 'o': `group` must be a query string, got a number (5)"),
        ("toml", '_source = "h1"', "field name '_source' starts with _, which record keys such as _source use"),
        ("toml", '[o]\ngroup = "li"\nfields._x = "b"', "sub-field name '_x' starts with _"),
        ("toml", '"my title" = "h1"', "field name 'my title' is not an identifier"),
        ("toml", 'title = "h1"\ntitle = "h2"', "not valid TOML"),
        ("toml", "", "the schema file defines no fields"),
        ("json", '["h1::text"]', "expected a table of named fields at the top, got a list"),
        ("json", '{"title": "h1", "title": "h2"}', "'title' is defined twice"),
        ("json", '{"title": "h1",}', "not valid JSON"),
        ("json", '{"title": null}', "field 'title': expected a query string, a table with `query` (a field) or a table with `group` (a group), got nothing"),
        ("yaml", "title: h1\ntitle: h2\n", "'title' is defined twice"),
        ("yaml", "title: [h1\n", "not valid YAML"),
        ("yaml", "1: h1\n", "field name 1 is not an identifier"),
        ("yaml", "title: {query: 12, first: true}\n", "field 'title': `query` must be a query string, got a number (12)"),
        ("yaml", "- h1\n", "expected a table of named fields at the top, got a list"),
    ],
)
def test_malformed_files_are_refused_naming_file_and_field(language: str, text: str, message: str) -> None:
    if language == "yaml":
        pytest.importorskip("yaml")
    with pytest.raises(SchemaFileError) as raised:
        parse_schema(text, language, f"shop.{language}")
    assert str(raised.value).startswith(f"larkspine: shop.{language}: ")
    assert message in str(raised.value)


def test_unsupported_queries_are_refused_all_at_once_unless_allowed() -> None:
    text = 'ok = "h1::text"\nbad = "p::first-line"\n[o]\ngroup = "li"\nfields.x = "b:hover::text"\n'
    with pytest.raises(SchemaFileError) as raised:
        parse_schema(text, "toml", "shop.toml")
    message = str(raised.value)
    assert message.startswith("larkspine: shop.toml: unsupported queries")
    assert "bad = 'p::first-line': " in message and "o.x = 'b:hover::text': " in message
    assert "ok =" not in message
    schema = parse_schema(text, "toml", "shop.toml", allow_unsupported=True)
    assert schema.extract(b"<h1>T</h1><p>x<li><b>y</b>") == {"ok": ["T"], "bad": [], "o": [{"x": []}]}


def test_over_budget_schemas_are_refused_even_when_unsupported_queries_are_allowed() -> None:
    text = "\n".join(f'f{i} = "p.c{i}::text"' for i in range(129))
    for allow in (False, True):
        with pytest.raises(SchemaFileError, match=r"shop.toml: the schema is over the engine's budget: 129 of 128 selector members"):
            parse_schema(text, "toml", "shop.toml", allow_unsupported=allow)


@pytest.mark.parametrize(
    "name, message",
    [("shop.txt", "a schema file must end in .toml, .json, .yaml, .yml"), ("missing.toml", "cannot read the schema file: No such file")],
)
def test_unusable_paths_are_refused(tmp_path, name: str, message: str) -> None:
    with pytest.raises(SchemaFileError, match=message):
        load_schema(tmp_path / name)


PAGE_MODULE = '''
from larkspine import Page, Schema, field

class Article(Page):
    title = field("h1::text", first=True)

class Broken(Page):
    bad = field("p::first-line")

schema = Schema({"links": "a::attr(href)"})
not_a_schema = 42
'''


@pytest.mark.parametrize(
    "ref, fields",
    [("pages_for_test:Article", ["title"]), ("pages_for_test:schema", ["links"]), ("{dir}/pages_for_test.py:Article", ["title"])],
)
def test_module_references_name_page_classes_or_schemas(tmp_path, monkeypatch, ref: str, fields: list[str]) -> None:
    (tmp_path / "pages_for_test.py").write_text(PAGE_MODULE)
    monkeypatch.chdir(tmp_path)
    monkeypatch.syspath_prepend(str(tmp_path))
    assert list(resolve_schema(ref.format(dir=tmp_path)).fields) == fields


@pytest.mark.parametrize(
    "ref, message",
    [
        ("pages_for_test:not_a_schema", "is int, not a larkspine Page class or Schema"),
        ("pages_for_test:Missing", "pages_for_test has no Missing"),
        ("no_such_module_here:Article", "cannot import no_such_module_here: ModuleNotFoundError"),
        ("pages_for_test:Broken", "unsupported query"),
        ("article", "a schema is a file ending in .toml, .json, .yaml, .yml or a module:PageClass reference"),
    ],
)
def test_bad_module_references_are_refused(tmp_path, monkeypatch, ref: str, message: str) -> None:
    (tmp_path / "pages_for_test.py").write_text(PAGE_MODULE)
    monkeypatch.syspath_prepend(str(tmp_path))
    with pytest.raises(SchemaFileError, match=message):
        resolve_schema(ref)


DEEP = 100_000
HOSTILE_FILES = [
    # (file name, content, the message's text after "larkspine: NAME: ")
    ("simplekey.yaml", b"0x" + b"f" * 5000 + b": h1\n", r"line 1, column \d+: not valid YAML: mapping values are not allowed here"),
    ("keys.yaml", b"? [a, b]\n: h1::text\n", r"line 1, column 3: a field name must be a plain name, got a list"),
    ("subkeys.yaml", b"o:\n  group: li\n  fields:\n    ? {x: 1}\n    : b\n", r"line 4, column 7: a field name must be a plain name, got a table"),
    ("deep.json", b"[" * DEEP + b"]" * DEEP, r"line 1, column \d+: nested too deeply to read"),
    ("deep.toml", b"a = " + b"[" * DEEP + b"]" * DEEP, r"line 1, column \d+: nested too deeply to read"),
    ("deep.yaml", b"a: " + b"[" * DEEP + b"]" * DEEP, r"line 1, column \d+: nested too deeply to read"),
    ("deep-block.yaml", b"a:\n  " + b"- " * DEEP + b"x\n", r"nested too deeply to read"),
    ("digits.yaml", b"t:\n  query: h1\n  first: " + b"7" * 5000 + b"\n", r"line 3, column 10: a number of 5000 digits"),
    ("digits.toml", b"t = { query = 'h1', first = " + b"7" * 5000 + b" }", r"line 1, column 29: a number of 5000 digits"),
    ("digits.json", b'{"t": {"query": "h1", "first": ' + b"7" * 5000 + b"}}", r"line 1, column 32: a number of 5000 digits"),
    ("hex.toml", b"t = { query = 'h1', first = 0x" + b"f" * 5000 + b" }", r"field 't': `first` must be true or false, got a number \(too long to show\)"),
    ("bits.yaml", b"t: 0b" + b"1" * 20000 + b"\n", r"field 't': expected a query string, .* got a number \(too long to show\)"),
    ("hexkey.yaml", b"? 0x" + b"f" * 5000 + b"\n: h1\n", r"field name \(a number too long to show\) is not an identifier \(letters, digits, _\)"),
    ("latin1.toml", 'a = "h1"\ntitle = "caf\xe9::text"\n'.encode("latin-1"), r"line 2, column 13: not UTF-8 \(byte 0xe9\); save the file as UTF-8"),
    ("utf16.json", '{"title": "h1::text"}'.encode("utf-16"), r"line 1, column 1: not UTF-8 \(it starts with a UTF-16 byte-order mark\); save the file as UTF-8"),
    ("surrogate.json", b'{"title": "h1\\ud800::text"}', r"field 'title': `query` holds a lone surrogate \(\\ud800\), which is no character"),
    ("surrogate.yaml", b'o:\n  group: "li\\udfff"\n  fields: {a: b}\n', r"field 'o': `group` holds a lone surrogate \(\\udfff\), which is no character"),
]


@pytest.mark.parametrize("name, content, message", HOSTILE_FILES, ids=[f[0] for f in HOSTILE_FILES])
def test_hostile_files_are_refused_naming_file_and_place(tmp_path, name: str, content: bytes, message: str) -> None:
    if name.endswith(".yaml"):
        pytest.importorskip("yaml")
    path = tmp_path / name
    path.write_bytes(content)
    with pytest.raises(SchemaFileError) as raised:
        load_schema(path)
    text = str(raised.value)
    assert "\n" not in text and re.fullmatch(rf"larkspine: {re.escape(str(path))}: {message}", text), text


def test_a_hostile_schema_is_exit_2_from_the_command(tmp_path, monkeypatch) -> None:
    testing = pytest.importorskip("click.testing")
    from larkspine.cli import cli

    monkeypatch.chdir(tmp_path)
    (tmp_path / "deep.json").write_bytes(b"[" * DEEP + b"]" * DEEP)
    for command in (["extract", "deep.json", "missing.html"], ["check", "deep.json"]):
        result = testing.CliRunner().invoke(cli, command)
        assert result.exit_code == 2
        assert re.fullmatch(r"larkspine: deep\.json: line 1, column \d+: nested too deeply to read\n", result.stderr), result.stderr


@pytest.mark.parametrize("language, text", [
    ("toml", 'title = { query = ["h1::text", "//title/text()"], first = true }\n'),
    ("json", '{"title": {"query": ["h1::text", "//title/text()"], "first": true}}'),
    ("yaml", 'title: {query: ["h1::text", "//title/text()"], first: true}\n'),
])
def test_a_list_of_queries_is_a_fallback_chain(language: str, text: str) -> None:
    schema = parse_schema(text, language)
    assert schema.fields["title"] == field("h1::text", "//title/text()", first=True)
    assert schema.extract(b"<title>T</title><h1>H</h1>") == {"title": "H"}
    assert schema.extract(b"<title>T</title>") == {"title": "T"}


@pytest.mark.parametrize("text, message", [
    ('title = { query = [] }\n', "`query` is an empty list"),
    ('title = { query = ["h1::text", 3] }\n', "`query` must be a query string, got a number (3)"),
    ('title = { query = ["h1::text", "div >"] }\n', "malformed query 'div >'"),
    ('[g]\ngroup = "li"\nfields.a = { query = ["b::text", "i::text"] }\n', "a sub-field takes one query"),
])
def test_bad_fallback_chains_are_refused_naming_the_field(text: str, message: str) -> None:
    with pytest.raises(SchemaFileError, match=re.escape(message)):
        parse_schema(text, "toml")
