"""Archives in, Arrow out: ``Schema.extract_archive`` against the pages the Python reader the
package had reads and the batch path extracts, the stream it returns, and the walk that feeds
the native run."""

from __future__ import annotations

import builtins
import gzip
import os
import zlib
from typing import Any

import pytest

from larkspine import Schema, field, group
from larkspine._run import _normalised, charset_table
from larkspine.inputs import InputFailure, Source, input_that_is, walk_inputs

from .warcs import Response, warc_bytes

pa = pytest.importorskip("pyarrow")
pytest.importorskip("fastwarc")

SCHEMAS = {
    "flat": lambda: Schema({"title": field("title::text", first=True), "links": "a::attr(href)", "text": "p::text"}),
    "group": lambda: Schema({
        "title": field("h1::text", first=True),
        "items": group("li", {"name": field("b::text", first=True), "all": "::text"}),
    }),
    # Absolute links need each page's <base>: its pages come to Python.
    "absolute": lambda: Schema({"links": field("a::attr(href)", absolute=True), "title": "title::text"}),
}

PAGES = [
    Response("http://a.example/1", b"<title>one</title><a href='/x'>x</a><p>p1</p><li><b>B</b>i</li>"),
    Response("http://a.example/2", "<title>caf\u00e9</title><p>\u00e9t\u00e9</p>".encode("cp1252"),
             content_type="text/html; charset=latin_1"),
    Response("http://a.example/3", "<title>\u65e5\u672c</title><p>\u8a9e</p>".encode("cp932"),
             content_type="text/html; charset=cp932"),
    Response("http://a.example/4", b"<title>4</title>", content_type="text/html; charset=x-no-such-thing"),
    Response("http://a.example/img", b"\x89PNG", content_type="image/png"),
    Response("http://a.example/5", b"<base href='http://b.example/d/'><a href=y>y</a><h1>h</h1>", status="404 Not Found"),
    Response("http://a.example/req", b"", warc_type="request"),
]


@pytest.fixture
def archive(tmp_path: Any) -> str:
    data, _ = warc_bytes(PAGES * 3)
    damaged = data + b"\x1f\x8b\x08\x00garbage" + warc_bytes(PAGES[:2])[0]
    path = tmp_path / "crawl.warc.gz"
    path.write_bytes(damaged)
    (tmp_path / "page.html").write_bytes(b"<title>plain</title><p>q</p>")
    return str(path)


def _expected(schema: Schema, paths: list[str], only_2xx: bool = False) -> tuple[Any, list[str]]:
    from larkspine._run import batch_table
    from larkspine.outputs import arrow_schema

    from .reference_reader import read_inputs

    items = list(read_inputs(paths, only_2xx=only_2xx))
    docs = [d for d in items if not isinstance(d, InputFailure)]
    failures = [str(f) for f in items if isinstance(f, InputFailure)]
    return batch_table(schema, docs, None, arrow_schema(schema)), failures


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("kind", list(SCHEMAS))
@pytest.mark.parametrize("only_2xx", [False, True])
def test_the_stream_is_the_table_of_the_pages(archive: str, kind: str, threads: int, only_2xx: bool) -> None:
    schema = SCHEMAS[kind]()
    paths = [archive, os.path.join(os.path.dirname(archive), "page.html")]
    stream = schema.extract_archive(paths, threads=threads, only_2xx=only_2xx)
    got = pa.RecordBatchReader.from_stream(stream).read_all()
    expected, failures = _expected(schema, paths, only_2xx)
    assert got.schema == expected.schema
    assert got.to_pylist() == expected.to_pylist()
    assert [str(f) for f in stream.failures] == failures and failures
    # Per copy of PAGES: a request and an image, and under only_2xx the 404.
    assert stream.stats.skipped == (9 if only_2xx else 6)


def test_charsets_that_are_python_codec_names_read_as_the_python_layer_reads_them(archive: str) -> None:
    table = pa.table(SCHEMAS["flat"]().extract_archive(archive))
    rows = table.slice(0, 5).to_pylist()
    assert [r["_charset"] for r in rows] == ["UTF-8", "windows-1252", "Shift_JIS", "UTF-8", "UTF-8"]
    assert [r["title"] for r in rows[:3]] == ["one", "caf\u00e9", "\u65e5\u672c"]
    assert table.schema.field("_date").type == pa.timestamp("us", tz="UTC")


@pytest.mark.parametrize(
    "label, expected",
    [("cp932", "Shift_JIS"), ("EUC_JP", "EUC-JP"), (" Latin-1 ", "windows-1252"), ("big5hkscs", "Big5"),
     ("utf_8", "UTF-8"), ("koi8_r", "KOI8-R")],
)
def test_the_charset_table_maps_python_codec_names_as_resolve_encoding_does(label: str, expected: str) -> None:
    import _larkspine

    import larkspine

    assert larkspine.resolve_encoding(label) == expected
    if _larkspine.resolve_label(label.strip()) is None:
        # A name the engine's own labels miss must be in the table the run looks up.
        assert charset_table()[_normalised(label)] == expected
    else:
        assert _normalised(label) not in charset_table()


def test_the_stream_is_read_once_and_closing_it_stops_the_reading(archive: str) -> None:
    schema = SCHEMAS["flat"]()
    with schema.extract_archive([archive] * 50, threads=2) as stream:
        first = next(iter(stream))
        assert first.num_rows > 0 and first.schema == stream.schema
    assert list(stream) == []
    again = schema.extract_archive(archive)
    assert again.read_all().num_rows == 3 * 5 + 2
    assert again.read_all().num_rows == 0


@pytest.mark.parametrize(
    "schema, source, error",
    [
        (lambda: Schema({"t": field("title::text", out=str.upper)}), "x.warc", "processors"),
        (lambda: Schema({"t": "title::text"}), b"x.warc", "by path"),
        (lambda: Schema({"t": "title::text"}), [1], "must be a path"),
    ],
)
def test_what_extract_archive_refuses(schema: Any, source: Any, error: str) -> None:
    with pytest.raises((ValueError, TypeError), match=error):
        schema().extract_archive(source)


@pytest.mark.parametrize("threads", [-1, 1.5, True])
def test_threads_must_be_a_count(threads: Any) -> None:
    with pytest.raises(ValueError, match="threads"):
        Schema({"t": "title::text"}).extract_archive("x.warc", threads=threads)


def test_the_walk_opens_no_file(tmp_path: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    site = tmp_path / "site"
    (site / "sub").mkdir(parents=True)
    for name in ("b.html", "a.warc.gz", "sub/c.htm.gz", "skip.css"):
        (site / name).write_bytes(b"x")
    os.mkfifo(site / "fifo.html")

    def refuse(*args: Any, **kwargs: Any) -> Any:
        raise AssertionError(f"opened {args[0]!r}")

    monkeypatch.setattr(os, "open", refuse)
    monkeypatch.setattr(builtins, "open", refuse)
    found = list(walk_inputs([str(site), str(site / "b.html"), str(tmp_path / "*" / "a.warc.gz")]))
    assert found == [
        Source(str(site / "a.warc.gz"), path=str(site / "a.warc.gz"), found=True),
        Source(str(site / "b.html"), path=str(site / "b.html"), found=True),
        InputFailure(str(site / "fifo.html"), None, "not a regular file (a FIFO): skipped"),
        Source(str(site / "sub" / "c.htm.gz"), path=str(site / "sub" / "c.htm.gz"), found=True),
        # Named again, it is read again; found again by a glob, it is not.
        Source(str(site / "b.html"), path=str(site / "b.html")),
    ]


@pytest.mark.parametrize(
    "inputs, expected",
    [
        (["site"], "site/sub/out.html"),
        (["site/sub/*.html"], "site/sub/out.html"),
        (["link.html"], "link.html"),
        (["site/a.html"], None),
        (["https://example.com/out.html", "missing/*.html"], None),
    ],
)
def test_the_output_that_is_an_input_is_found_by_the_walk(tmp_path: Any, monkeypatch: pytest.MonkeyPatch,
                                                           inputs: list[str], expected: str | None) -> None:
    monkeypatch.chdir(tmp_path)
    (tmp_path / "site" / "sub").mkdir(parents=True)
    (tmp_path / "site" / "a.html").write_bytes(b"a")
    out = tmp_path / "site" / "sub" / "out.html"
    out.write_bytes(gzip.compress(b"o"))
    os.link(out, tmp_path / "link.html")
    assert input_that_is(str(out), inputs) == expected


# The peak resident size of the child alone (VmHWM starts afresh at exec), measured from after
# a first small run, so that what every run costs once (threads, pyarrow's pools) is not
# counted as the page's.
_ARROW_RSS_CHILD = """
import sys
import pyarrow
from larkspine import Schema

def peak():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))

schema = Schema({"title": "title::text"})
pyarrow.table(schema.extract_archive(sys.argv[1]))
base = peak()
table = pyarrow.table(schema.extract_archive(sys.argv[2]))
print(table.column("title").to_pylist(), peak() - base)
"""

_BIG = 40 << 20


def _big_page() -> bytes:
    head = b"<title>big</title>"
    return head + b"p" * (_BIG - len(head))


def _chunked(body: bytes, size: int = 1 << 20) -> bytes:
    return b"".join(b"%x\r\n" % len(body[i:i + size]) + body[i:i + size] + b"\r\n"
                    for i in range(0, len(body), size)) + b"0\r\n\r\n"


@pytest.mark.parametrize(
    "name, content, bound",
    [
        # The page's buffer is sized before it is read: from the file's size, the gzip
        # trailer's ISIZE, the HTTP Content-Length, the WARC block left for a chunked body.
        ("page.html", _big_page, 1.3),
        ("page.html.gz", lambda: gzip.compress(_big_page(), 1), 1.3),
        ("page.warc.gz", lambda: warc_bytes([Response("http://p/", _big_page())])[0], 1.3),
        ("chunked.warc.gz", lambda: warc_bytes([Response("http://p/", _chunked(_big_page()),
                                                         headers=("Transfer-Encoding: chunked",))])[0], 1.3),
        # A gzip-coded body is gathered first, its trailer read: the page and its coded body
        # (here small).
        ("coded.warc.gz", lambda: warc_bytes([Response("http://p/", gzip.compress(_big_page(), 1),
                                                       headers=("Content-Encoding: gzip",))])[0], 1.3),
        # A deflate-coded body's size is known only at its end: its buffer doubles, and at the
        # last reallocation holds the old copy and the new (40 MiB: 1.6x); never more.
        ("deflate.warc.gz", lambda: warc_bytes([Response("http://p/", zlib.compress(_big_page(), 1),
                                                         headers=("Content-Encoding: deflate",))])[0], 2.05),
    ],
    ids=["page", "page-gz", "page-warc-gz", "chunked-warc-gz", "gzip-coded-warc-gz", "deflate-coded-warc-gz"],
)
def test_memory_for_a_page_in_arrow_mode_is_about_its_size(tmp_path: Any, name: str, content: Any,
                                                            bound: float) -> None:
    import subprocess
    import sys

    if not os.path.exists("/proc/self/status"):
        pytest.skip("the peak resident size is read from /proc")
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer's shadow memory and quarantine swamp the resident size")
    (tmp_path / "small.html").write_bytes(b"<title>small</title>")
    (tmp_path / name).write_bytes(content())
    out = subprocess.run([sys.executable, "-c", _ARROW_RSS_CHILD, str(tmp_path / "small.html"), str(tmp_path / name)],
                         capture_output=True, text=True, check=True).stdout.split("] ")
    assert out[0] + "]" == repr([["big"]])
    assert int(out[1]) < bound * _BIG
