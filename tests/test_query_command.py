"""`larkspine query PAGE QUERY...` and `larkspine check -q QUERY`: values, malformed and
unsupported queries, and their exit statuses."""

from __future__ import annotations

import gzip
import json

import pytest

click_testing = pytest.importorskip("click.testing")

from larkspine.cli import cli  # noqa: E402

PAGE = b"""<!DOCTYPE html><html><head><meta charset=utf-8><title>Tea</title></head><body>
<h1>Spring  offers</h1><ul><li><a href="/sencha">Sencha</a><li><a href="/hojicha">Hoji
cha</a></ul></body></html>"""


def run(*args: str, input: bytes | None = None) -> click_testing.Result:
    return click_testing.CliRunner().invoke(cli, list(args), input=input, catch_exceptions=False)


@pytest.fixture
def page(tmp_path):
    path = tmp_path / "page.html"
    path.write_bytes(PAGE)
    return str(path)


@pytest.mark.parametrize("queries, expected", [
    (["h1::text"], [["Spring  offers"]]),
    (["a::attr(href)", "//a/text()"], [["/sencha", "/hojicha"], ["Sencha", "Hoji\ncha"]]),
    (["normalize-space(//h1)", "p::text"], [["Spring offers"], []]),
    (["(//a/@href)[last()]"], [["/hojicha"]]),
])
def test_each_query_is_one_json_line_of_its_values(page, queries, expected):
    result = run("query", page, *queries)
    assert result.exit_code == 0, result.output
    assert [json.loads(line) for line in result.stdout.splitlines()] == expected
    assert result.stderr == ""


@pytest.mark.parametrize("how", ["stdin", "gzip", "file-url"])
def test_the_page_may_come_from_standard_input_a_gz_file_or_a_url(tmp_path, how):
    if how == "stdin":
        result = run("query", "-", "title::text", input=PAGE)
    elif how == "gzip":
        (tmp_path / "p.html.gz").write_bytes(gzip.compress(PAGE))
        result = run("query", str(tmp_path / "p.html.gz"), "title::text")
    else:
        pytest.importorskip("fsspec")
        (tmp_path / "p.html").write_bytes(PAGE)
        result = run("query", (tmp_path / "p.html").as_uri(), "title::text")
    assert (result.exit_code, result.stdout) == (0, '["Tea"]\n'), result.output


def test_the_table_lists_each_query_its_count_and_its_values(page):
    result = run("query", "--table", page, "a::attr(href)", "h2::text", "p::first-line")
    assert result.stdout.splitlines() == [
        "a::attr(href)  (2 values)", '  "/sencha"', '  "/hojicha"',
        "h2::text  (0 values)",
        "p::first-line  (UNSUPPORTED)",
    ]
    assert result.exit_code == 1


@pytest.mark.parametrize("query, reason", [
    ("p::first-line", "pseudo-class/element is unsupported"),
    ("following::a/@href", "`following::` is an XPath axis"),
    ("string-length(//h1)", "`string-length()` is unsupported"),
])
def test_an_unsupported_query_prints_an_empty_list_its_reason_and_exits_1(page, query, reason):
    result = run("query", page, "h1::text", query)
    assert result.exit_code == 1
    assert result.stdout.splitlines() == ['["Spring  offers"]', "[]"]
    assert f"unsupported query {query!r}: {reason}" in result.stderr
    assert len(result.stderr.splitlines()) == 1


@pytest.mark.parametrize("query, position", [("div >", 5), ("//li[", 5), ("h1::attr(href", 13), ("a[x=", 4)])
def test_a_malformed_query_shows_its_position_reads_nothing_and_exits_2(query, position):
    # The page does not exist: a malformed query is refused before it is read.
    result = run("query", "/nonexistent/page.html", "h1::text", query)
    assert result.exit_code == 2
    assert result.stdout == ""
    message, shown, caret = result.stderr.splitlines()
    assert message.startswith(f"larkspine: malformed query {query!r} at position {position}: expected ")
    assert shown == f"  {query}"
    assert caret.index("^") == 2 + position


@pytest.mark.parametrize("args, status, words", [
    (["/nonexistent/page.html", "h1::text"], 1, "No such file or directory"),
    (["PAGE"], 2, "Missing argument 'QUERY...'"),
    (["PAGE", "h1::text", "--encoding", "no-such-charset"], 2, "--encoding"),
])
def test_unreadable_pages_and_usage_errors(page, args, status, words):
    result = run("query", *[page if a == "PAGE" else a for a in args])
    assert result.exit_code == status
    assert words in result.stderr and result.stdout == ""


def test_of_a_directory_the_first_page_is_shown_and_said(tmp_path):
    (tmp_path / "a.html").write_bytes(b"<title>A</title>")
    (tmp_path / "b.html").write_bytes(b"<title>B</title>")
    result = run("query", str(tmp_path), "title::text")
    assert result.exit_code == 0
    assert result.stdout == '["A"]\n'
    assert "holds more than one page" in result.stderr


def test_the_encoding_option_decodes_a_page_that_declares_none(tmp_path):
    (tmp_path / "sjis.html").write_bytes("<h1>抹茶</h1>".encode("cp932"))
    assert run("query", str(tmp_path / "sjis.html"), "h1::text", "--encoding", "cp932").stdout == '["抹茶"]\n'


@pytest.mark.parametrize("args, status, rows", [
    (["-q", "h1::text"], 0, [("[0]", "ok")]),
    (["-q", "h1::text", "-q", "count(//li)"], 1, [("[0]", "ok"), ("[1]", "UNSUPPORTED: `count()`")]),
    (["SCHEMA", "-q", "p::first-line"], 1, [("title", "ok"), ("[0]", "UNSUPPORTED: pseudo-class")]),
])
def test_check_takes_queries_directly(tmp_path, args, status, rows):
    (tmp_path / "s.toml").write_text('title = "h1::text"\n')
    result = run("check", *[str(tmp_path / "s.toml") if a == "SCHEMA" else a for a in args])
    assert result.exit_code == status, result.output
    body = result.stdout.splitlines()[2:-1]
    assert [(line.split()[0], line.split("  ")[-1].strip()[:len(want)]) for line, (_, want) in zip(body, rows)] == rows


@pytest.mark.parametrize("args, status, words", [
    (["-q", "div >"], 2, "malformed query 'div >' at position 5"),
    ([], 2, "give a SCHEMA, or queries with -q QUERY"),
])
def test_check_refuses_malformed_queries_and_nothing_to_check(args, status, words):
    result = run("check", *args)
    assert result.exit_code == status
    assert words in result.stderr


@pytest.mark.parametrize("make", [
    lambda p: str(p),
    lambda p: p.name,  # relative to the working directory
])
def test_a_str_naming_a_file_is_refused_as_a_path_is(tmp_path, monkeypatch, make):
    import larkspine

    monkeypatch.chdir(tmp_path)
    (tmp_path / "page.html").write_bytes(PAGE)
    for html in (make(tmp_path / "page.html"), tmp_path / "page.html"):
        with pytest.raises(TypeError, match=r"html is a path, not a document: read it with larkspine\.extract_file"):
            larkspine.extract(html, ["h1::text"])
    # A str that names no file is a (markup-free) document, as before.
    assert larkspine.extract("no-such-page.html", ["p::text"]) == [[]]


def test_the_command_tells_an_unsupported_query_of_a_page_class_in_one_line(tmp_path):
    import subprocess
    import sys

    (tmp_path / "draft.py").write_text(
        "from larkspine import Page, field\n\nclass Draft(Page):\n    odd = field('p::first-line')\n")
    done = subprocess.run([sys.executable, "-m", "larkspine", "check", "draft.py:Draft"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 1
    assert done.stderr.splitlines() == [
        "larkspine: Draft.odd = 'p::first-line' is unsupported and will always be empty: "
        "pseudo-class/element is unsupported; supported terminals are `::text` and `::attr(name)`"
    ]
