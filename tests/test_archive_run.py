"""The native archive run (``_larkspine._ArchiveRun``): inputs in, pages or Arrow batches out.

Pages mode is compared with the Python reader (:func:`larkspine.inputs.read_inputs`) on the
archives the reader tests build, item for item, failures and counts included; where the native
reader differs from the Python one by design (a damaged member's record is dropped, see
tests/test_reader.py), the run on several threads, with archives cut in tiny parts, is compared
with the run on one. Arrow mode is compared with :func:`larkspine.batch.batch_table` on the
same pages. Then the inputs (missing files, FIFOs, directories, descriptors, Python streams,
placeholder failures), grouping, descriptors, batch limits and cancelling.
"""

from __future__ import annotations

import gzip
import os
import subprocess
import sys
import threading
import time
from collections.abc import Iterable
from typing import Any

import pytest

import _larkspine
from larkspine import Schema, field, group
from larkspine.inputs import Document, InputFailure, ReadStats

from .reference_reader import read_inputs
from .warcs import Response, warc_bytes

Item = tuple[Any, ...]

# Inputs as the tests give them: (source, path) for a named path, or a dict of add()'s keywords.
Spec = tuple[str, str] | dict[str, Any]


def _run(inputs: Iterable[Spec], plan: Any = None, **options: Any) -> tuple[list[Any], dict[str, Any]]:
    """Every output of a run over ``inputs``, and its counts."""
    run = _larkspine._ArchiveRun(plan, **options)
    for spec in inputs:
        if isinstance(spec, tuple):
            run.add(*spec)
        else:
            run.add(**spec)
    run.finish()
    outputs = []
    while (out := run.next()) is not None:
        outputs.append(out)
    assert run.pending == 0
    counts = run.counts()
    run.close()
    return outputs, counts


def run_items(inputs: Iterable[Spec], **options: Any) -> tuple[list[Item], dict[str, Any]]:
    """Pages mode: ("failure", source, offset, reason) and ("page", source, offset, url, status,
    date, record_id, content_type, charset, body) in the order given out."""
    outputs, counts = _run(inputs, **options)
    items: list[Item] = []
    for result, failures, pages, html_bytes in outputs:
        assert result is not None or pages == 0
        got = result or []
        assert len(got) == pages and sum(len(p[8]) for p in got) == html_bytes
        items += [("failure", *f) for f in failures]
        items += [("page", *p) for p in got]
    counts["kinds"] = dict(counts["kinds"])
    return items, counts


def python_items(paths: list[str], **options: Any) -> tuple[list[Item], dict[str, Any]]:
    pytest.importorskip("fastwarc")
    stats = ReadStats()
    items: list[Item] = []
    for it in read_inputs(paths, stats, **options):
        if isinstance(it, Document):
            items.append(("page", it.source, it.offset, it.url, it.status, it.date, it.record_id, it.content_type,
                          it.charset, it.body))
        else:
            assert isinstance(it, InputFailure)
            items.append(("failure", it.source, it.offset, it.reason))
    counts = {"skipped": stats.skipped, "requests": stats.requests, "other_records": stats.other_records,
              "non_html": stats.non_html, "not_2xx": stats.not_2xx, "files": stats.files, "kinds": stats.skipped_kinds}
    return items, counts


def pages(items: list[Item]) -> list[Item]:
    return [i for i in items if i[0] == "page"]


def failures(items: list[Item]) -> list[Item]:
    return [i for i in items if i[0] == "failure"]


def _cases() -> dict[str, Any]:
    pytest.importorskip("fastwarc")
    from . import test_readers

    return test_readers.CASES


# The archives where the native reader drops a damaged member's record that the Python reader
# keeps (tests/test_reader.py): there the run is compared with itself on one thread.
DAMAGED = {"corrupt-members", "stored-corrupt-with-inner", "corrupt-first"}
CASE_NAMES = ["large-broken-member", "clean", "stored-with-gzip-in-bodies", "compressed-with-gzip-in-bodies",
              "corrupt-members", "corrupt-first", "cut-inside-last", "trailing-junk", "zero-padding",
              "stored-corrupt-with-inner", "one-stream", "gzipped-page"]


# --- pages mode: the Python reader's pages, failures and counts ------------------------------

@pytest.mark.parametrize("case", CASE_NAMES)
@pytest.mark.parametrize("threads", [1, 2, 4])
def test_pages_are_the_python_readers(tmp_path, case: str, threads: int) -> None:
    path = tmp_path / "a.warc.gz"
    path.write_bytes(_cases()[case]())
    # One page per output: the failures read before a page come with it, so the order of
    # everything given out is the reader's.
    got, counts = run_items([("a.warc.gz", str(path))], threads=threads, part_bytes=700, batch_pages=1)
    if case in DAMAGED:
        expected, expected_counts = run_items([("a.warc.gz", str(path))], threads=1, batch_pages=1)
        assert failures(got) and pages(got)
    else:
        expected, expected_counts = python_items([str(path)])
        expected = [(i[0], "a.warc.gz", *i[2:]) for i in expected]
    assert got == expected
    assert counts == expected_counts
    # In batches the same pages and failures come out, the failures no later than their pages.
    batched, batched_counts = run_items([("a.warc.gz", str(path))], threads=threads, part_bytes=700, batch_pages=7)
    assert pages(batched) == pages(expected) and failures(batched) == failures(expected)
    assert batched_counts == counts


def _mutated(seed: int) -> bytes:
    from . import test_readers as R

    return R.mutated_archive(seed)


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("part_bytes", [300, 1000, 5000])
def test_an_archive_split_in_parts_reads_as_on_one_thread(tmp_path, seed: int, part_bytes: int) -> None:
    pytest.importorskip("fastwarc")
    path = tmp_path / "m.warc.gz"
    path.write_bytes(_mutated(seed))
    one = run_items([("m", str(path))], threads=1, batch_pages=1)
    for threads in (2, 4):
        assert run_items([("m", str(path))], threads=threads, part_bytes=part_bytes, batch_pages=1) == one


def test_failures_name_the_record_before_them_across_parts(tmp_path) -> None:
    pytest.importorskip("fastwarc")
    from . import test_readers as R

    data, offsets = R._archive(R._responses(60))
    path = tmp_path / "a.warc.gz"
    path.write_bytes(R._damaged(data, offsets, {k: "header" for k in range(10, 60, 4)}))
    one = run_items([("a", str(path))], threads=1, batch_pages=1)
    for part_bytes in (200, 700, 1500):
        split = run_items([("a", str(path))], threads=3, part_bytes=part_bytes, batch_pages=1)
        assert split == one
    reasons = [f[3] for f in failures(one[0])]
    assert len(reasons) == len(range(10, 60, 4))
    assert all(" after the record at offset " in r and " skipped" in r for r in reasons)


def test_part_starts_are_whole_record_members(tmp_path, testing) -> None:
    pytest.importorskip("fastwarc")
    from . import test_readers as R

    data, offsets = R._archive(R._with_inner_members(40), level=0)
    path = tmp_path / "s.warc.gz"
    path.write_bytes(data)
    starts = testing.archive_part_starts(str(path), 40)
    found = [s for s in starts if s is not None]
    # Every start is a member that holds a record, some of them inside records' bodies (the
    # gzipped records the bodies store), which the parts before never confirm.
    assert starts[0] == 0 and len(found) > 20
    assert set(found) & set(offsets) and set(found) - set(offsets)
    for s in found:
        assert gzip.decompress(data[s:])[:5] == b"WARC/" if s in offsets else True
    items, _ = run_items([("s", str(path))], threads=4, part_bytes=len(data) // 40, batch_pages=1)
    assert [p[2] for p in pages(items)] == offsets


# --- pages mode: HTTP messages and plain pages --------------------------------------------------

def _http_cases() -> list[Response]:
    pytest.importorskip("fastwarc")
    from .test_reader import HTTP_CASES

    return list(HTTP_CASES.values())


@pytest.mark.parametrize("compress", [True, False], ids=["gz", "plain"])
@pytest.mark.parametrize("only_2xx", [False, True])
@pytest.mark.parametrize("limit", [None, 1000])
def test_http_messages_and_limits_as_the_python_reader(tmp_path, compress: bool, only_2xx: bool, limit: int | None) -> None:
    data, _ = warc_bytes(_http_cases(), compress=compress)
    path = tmp_path / "h.warc"
    path.write_bytes(data)
    options: dict[str, Any] = {"only_2xx": only_2xx}
    if limit is not None:
        options["max_page_size"] = limit
    expected, expected_counts = python_items([str(path)], **options)
    for threads in (1, 2):
        got, counts = run_items([(str(path), str(path))], threads=threads, batch_pages=1, **options)
        assert got == expected
        assert counts == expected_counts


PLAIN = {
    "page": b"<html><title>t</title></html>",
    "empty": b"",
    "gzipped": gzip.compress(b"<p>x</p>", mtime=0),
    "members": gzip.compress(b"<p>x</p>", mtime=0) + gzip.compress(b"<p>y</p>", mtime=0),
    "cut gzip": gzip.compress(b"<p>x</p>" * 100, mtime=0)[:-5],
    "junk after gzip": gzip.compress(b"<p>x</p>", mtime=0) + b"junk",
    "too large": b"x" * 3000,
}


def test_plain_and_gzipped_pages_as_the_python_reader(tmp_path) -> None:
    paths = []
    for i, (name, body) in enumerate(PLAIN.items()):
        path = tmp_path / f"{i}.html"
        path.write_bytes(body)
        paths.append(str(path))
    expected, expected_counts = python_items(paths, max_page_size=2000)
    for threads in (1, 2, 4):
        got, counts = run_items([(p, p) for p in paths], threads=threads, max_page_size=2000, batch_pages=1)
        assert got == expected
        assert counts == expected_counts
        # Grouped into one unit (small files), the same in batches.
        grouped, grouped_counts = run_items([(p, p) for p in paths], threads=threads, max_page_size=2000)
        assert pages(grouped) == pages(expected) and failures(grouped) == failures(expected)
        assert grouped_counts == counts
    assert len(failures(expected)) == 3


# --- Arrow mode: batch_table's columns ---------------------------------------------------------

SCHEMAS = {
    "flat": {"title": field("title::text"), "links": field("a::attr(href)")},
    "first": {"title": field("title::text", first=True), "h1": field("h1::text", first=True)},
    "group": {"h1": field("h1::text", first=True), "items": group("li", name="b::text", price=field("i::text"))},
}


def _encoded_responses() -> list[Response]:
    """Pages with and without HTTP charsets: WHATWG labels, Python codec names, unknown names."""
    jp = "<title>日本語</title><h1>見出し</h1>"
    return [
        Response("http://e/utf8", "<title>café</title><h1>é</h1><a href=/a>a</a>".encode()),
        Response("http://e/latin1", "<title>café</title><ul><li><b>x</b><i>1</i></ul>".encode("latin-1"),
                 content_type="text/html; charset=ISO-8859-1"),
        Response("http://e/cp932", jp.encode("cp932"), content_type="text/html; charset=cp932"),
        Response("http://e/eucjp", jp.encode("euc_jp"), content_type="text/html; charset=EUC_JP"),
        Response("http://e/bogus", "<title>ça</title>".encode("latin-1"), content_type="text/html; charset=bogus"),
        Response("http://e/none", "<title>ça</title>".encode("latin-1"), content_type="text/html"),
        Response("http://e/meta", '<meta charset="windows-1251"><title>Привет</title>'.encode("cp1251"),
                 content_type="text/html"),
        Response("http://e/404", b"<title>gone</title><h1>404</h1>", status="404 Not Found"),
        Response("http://e/img", b"\x89PNG", content_type="image/png"),
    ] + [Response(f"http://e/{i}", b"<title>%d</title><h1>h</h1><ul>" % i + b"<li><b>n</b><i>p</i>" * (i % 4) + b"</ul>")
         for i in range(30)]


# What the Python layer's table holds: WHATWG names of the Python codec names a page may carry.
CHARSETS = {"cp932": "Shift_JIS", "euc_jp": "EUC-JP"}


def _tables(outputs: list[Any]) -> Any:
    pa = pytest.importorskip("pyarrow")
    tables = [pa.table(result) for result, _, _, _ in outputs if result is not None]
    for (result, _, n, _), table in zip([o for o in outputs if o[0] is not None], tables):
        assert table.num_rows == n == result.num_rows
    return pa.concat_tables(tables)


@pytest.mark.parametrize("schema_name", list(SCHEMAS))
@pytest.mark.parametrize("threads", [1, 2, 4])
@pytest.mark.parametrize("encoding", [None, "windows-1252"])
def test_arrow_batches_are_batch_tables(tmp_path, schema_name: str, threads: int, encoding: str | None) -> None:
    pa = pytest.importorskip("pyarrow")
    from larkspine.batch import batch_table
    from larkspine.outputs import text_schema

    schema = Schema(SCHEMAS[schema_name])
    data, _ = warc_bytes(_encoded_responses())
    path = tmp_path / "e.warc.gz"
    path.write_bytes(data)
    docs = [d for d in read_inputs([str(path)]) if isinstance(d, Document)]
    expected = batch_table(schema, docs, encoding, text_schema(schema))
    names = list(schema.fields)
    outputs, counts = _run([(str(path), str(path))], schema.plan, names=names, threads=threads, encoding=encoding,
                           charsets=CHARSETS, batch_pages=7, part_bytes=2000)
    got = _tables(outputs)
    assert got.to_pylist() == expected.to_pylist()
    assert got.schema == expected.schema
    assert counts["non_html"] == 1 and counts["files"] == 1
    # The columns' types: the metadata first, then the plan's as extract_arrow makes them.
    assert got.schema.names[:8] == ["_source", "_offset", "_url", "_status", "_date", "_record_id", "_content_type",
                                    "_charset"]
    assert [got.schema.field(n).type for n in ("_offset", "_status", "_date")] == [pa.int64(), pa.int16(), pa.string()]


@pytest.mark.parametrize("charset, encoding, expected", [
    ("ISO-8859-1", None, "windows-1252"),     # a WHATWG label
    ("cp932", None, "Shift_JIS"),            # a Python codec name, through the table
    ("Shift-JIS", None, "Shift_JIS"),         # not a WHATWG label: normalised, shift_jis is one
    (" EUC_JP ", None, "EUC-JP"),            # normalised as Python looks codecs up
    ("bogus", None, "UTF-8"),                # names nothing: the page is sniffed
    ("bogus", "koi8-r", "KOI8-R"),           # ... or read with the run's encoding
    (None, "koi8-r", "KOI8-R"),
    (None, None, "UTF-8"),
])
def test_the_charset_column_names_what_the_page_is_read_with(tmp_path, charset: str | None, encoding: str | None,
                                                              expected: str) -> None:
    pytest.importorskip("pyarrow")
    ctype = "text/html" if charset is None else f"text/html; charset={charset}"
    data, _ = warc_bytes([Response("http://c/", b"<title>\xe9</title>", content_type=ctype)])
    path = tmp_path / "c.warc.gz"
    path.write_bytes(data)
    plan = Schema({"title": field("title::text", first=True)}).plan
    charsets = dict(CHARSETS, shift_jis="Shift_JIS")
    outputs, _ = _run([("c", str(path))], plan, names=["title"], encoding=encoding, charsets=charsets)
    (row,) = _tables(outputs).to_pylist()
    assert row["_charset"] == expected
    assert row["title"] == b"\xe9".decode({"UTF-8": "utf-8", "windows-1252": "cp1252", "Shift_JIS": "cp932",
                                             "EUC-JP": "euc_jp", "KOI8-R": "koi8_r"}[expected], "replace")


# --- batches -----------------------------------------------------------------------------------

def _sized_archive(tmp_path: Any, sizes: list[int]) -> str:
    data, _ = warc_bytes([Response(f"http://s/{i}", b"<p>" + b"x" * (n - 3)) for i, n in enumerate(sizes)])
    path = tmp_path / "s.warc.gz"
    path.write_bytes(data)
    return str(path)


@pytest.mark.parametrize("sizes, batch_pages, batch_bytes, expected", [
    ([100] * 10, 4, 1 << 20, [4, 4, 2]),
    ([100] * 10, 64, 350, [3, 3, 3, 1]),          # at most batch_bytes of HTML ...
    ([100, 100, 5000, 100, 100], 64, 1000, [2, 1, 2]),  # ... or one page, alone
    ([5000], 64, 1000, [1]),
    ([100] * 5, 1, 1 << 20, [1] * 5),
])
@pytest.mark.parametrize("arrow", [False, True], ids=["pages", "arrow"])
def test_batches_end_at_batch_pages_or_batch_bytes(tmp_path, sizes: list[int], batch_pages: int, batch_bytes: int,
                                                   expected: list[int], arrow: bool) -> None:
    pytest.importorskip("pyarrow")
    path = _sized_archive(tmp_path, sizes)
    plan = Schema({"p": field("p::text", first=True)}).plan if arrow else None
    outputs, _ = _run([("s", path)], plan, names=["p"] if arrow else None, batch_pages=batch_pages,
                      batch_bytes=batch_bytes)
    assert [n for _, _, n, _ in outputs] == expected
    assert [b for _, _, _, b in outputs] == [sum(sizes[sum(expected[:i]) : sum(expected[: i + 1])])
                                             for i in range(len(expected))]
    for result, _, n, _ in outputs:
        assert (len(result) if not arrow else result.num_rows) == n


@pytest.mark.parametrize("batch_pages, marked", [(3, {4}), (3, {3, 4, 5}), (1, {0}), (64, {0, 8}), (5, set())])
def test_a_batch_that_does_not_fit_is_taken_a_page_at_a_time(tmp_path, testing, batch_pages: int,
                                                             marked: set[int]) -> None:
    data, offsets = warc_bytes([Response(f"http://m/{i}", b"<title>T%d</title>" % i + (b"<b>huge</b>" if i in marked else b""))
                                for i in range(9)])
    path = _page(tmp_path, "m.warc.gz", data)
    outputs = testing.archive_run_simulated(path, "title::text", "huge", batch_pages)
    values = [v for vs, _ in outputs for v in vs]
    assert values == [f"T{i}" for i in range(9) if i not in marked]
    reasons = [r for _, fs in outputs for r in fs]
    assert reasons == [f"{offsets[i]}: extraction failed: MemoryError: the page's values do not fit in memory"
                       for i in sorted(marked)]
    # Only the batches holding a marked page were taken apart.
    whole = -(-9 // batch_pages)
    broken = {i // batch_pages for i in marked}
    assert len([o for o in outputs if o[0]]) == whole - len(broken) + sum(
        len([i for i in range(b * batch_pages, min(9, (b + 1) * batch_pages)) if i not in marked]) for b in broken)


# --- inputs ------------------------------------------------------------------------------------

def _page(tmp_path: Any, name: str, body: bytes = b"<title>t</title>") -> str:
    path = tmp_path / name
    path.write_bytes(body)
    return str(path)


def test_named_and_found_inputs_fail_as_the_python_layer_words_it(tmp_path) -> None:
    missing = str(tmp_path / "missing.html")
    folder = tmp_path / "d"
    folder.mkdir()
    fifo = str(tmp_path / "f.fifo")
    os.mkfifo(fifo)
    page = _page(tmp_path, "p.html")
    items, counts = run_items([
        ("missing", missing), {"source": "missing found", "path": missing, "found": True},
        ("dir", str(folder)), {"source": "dir found", "path": str(folder), "found": True},
        {"source": "fifo found", "path": fifo, "found": True},
        {"source": "dev found", "path": "/dev/null", "found": True},
        {"source": "page found", "path": page, "found": True},
        ("page", page.encode()),
    ], threads=2)
    assert items == [
        ("failure", "missing", None, "No such file or directory"),
        ("failure", "missing found", None, "No such file or directory"),
        ("failure", "dir", None, "Is a directory"),
        ("failure", "dir found", None, "not a regular file (a directory): skipped"),
        ("failure", "fifo found", None, "not a regular file (a FIFO): skipped"),
        ("failure", "dev found", None, "not a regular file (a character device): skipped"),
        ("page", "page found", None, None, None, None, None, None, None, b"<title>t</title>"),
        ("page", "page", None, None, None, None, None, None, None, b"<title>t</title>"),
    ]
    assert counts["files"] == 2


def test_a_named_fifo_is_read_once_its_writer_comes(tmp_path) -> None:
    fifo = str(tmp_path / "f.fifo")
    os.mkfifo(fifo)
    data, _ = warc_bytes([Response(f"http://f/{i}", b"<p>%d</p>" % i) for i in range(5)])

    def write() -> None:
        with open(fifo, "wb") as f:
            for i in range(0, len(data), 100):
                f.write(data[i : i + 100])
                f.flush()

    writer = threading.Thread(target=write)
    writer.start()
    items, _ = run_items([("fifo", fifo)], threads=2)
    writer.join()
    assert [p[3] for p in items] == [f"http://f/{i}" for i in range(5)]


def test_a_descriptor_is_read_and_left_open(tmp_path) -> None:
    data, _ = warc_bytes([Response(f"http://d/{i}", b"<p>%d</p>" % i) for i in range(20)])
    r, w = os.pipe()

    def write() -> None:
        with os.fdopen(w, "wb") as f:
            f.write(data)

    writer = threading.Thread(target=write)
    writer.start()
    try:
        items, counts = run_items([{"source": "-", "fd": r}], threads=2)
        writer.join()
        assert [p[3] for p in items] == [f"http://d/{i}" for i in range(20)]
        assert counts["files"] == 0  # standard input is no file opened
        os.fstat(r)  # still open
    finally:
        os.close(r)


class _ReadOnly:
    """A stream with read() and no readinto()."""

    def __init__(self, data: bytes) -> None:
        self._data, self._at = data, 0

    def read(self, n: int) -> bytes:
        out = self._data[self._at : self._at + min(n, 1000)]
        self._at += len(out)
        return out


class _Failing(_ReadOnly):
    def __init__(self, data: bytes, error: BaseException) -> None:
        super().__init__(data)
        self._error = error

    def read(self, n: int) -> bytes:
        if self._at >= len(self._data) // 2:
            raise self._error
        return super().read(n)


@pytest.mark.parametrize("make, reason", [
    (lambda d: __import__("io").BytesIO(d), None),
    (lambda d: _ReadOnly(d), None),
    (lambda d: _Failing(d, OSError(5, "Input/output error")), "Input/output error"),
    (lambda d: _Failing(d, ValueError("the stream broke")), "the stream broke"),
    (lambda d: _Failing(d, RuntimeError()), "RuntimeError"),
])
def test_a_python_stream_is_read_and_its_errors_are_failures(tmp_path, make: Any, reason: str | None) -> None:
    data, _ = warc_bytes([Response(f"http://s/{i}", b"<p>%d</p>" % i + b"y" * 500) for i in range(20)], compress=False)
    path = _page(tmp_path, "s.warc", data)
    whole, _ = run_items([("s", path)])
    items, counts = run_items([{"source": "s", "stream": make(data)}, ("after", _page(tmp_path, "a.html"))],
                              threads=2, batch_pages=1)
    assert items[-1][1] == "after" and counts["files"] == 2
    items = items[:-1]
    if reason is None:
        assert items == whole
    else:
        # The pages read before the error, then the error as the input's failure.
        assert items[-1] == ("failure", "s", None, reason)
        assert 0 < len(pages(items)) < 20 and pages(items) == pages(whole)[: len(pages(items))]


def test_placeholder_failures_and_inputs_keep_their_order(tmp_path) -> None:
    data, _ = warc_bytes([Response(f"http://o/{i}", b"<p>%d</p>" % i) for i in range(3)])
    archive = _page(tmp_path, "o.warc.gz", data)
    specs: list[Spec] = []
    expected_sources = []
    for i in range(30):
        kind = i % 5
        if kind == 0:
            specs.append({"source": f"walk {i}", "failure": f"cannot list the directory {i}"})
            expected_sources.append(("failure", f"walk {i}"))
        elif kind == 1:
            specs.append((f"page {i}", _page(tmp_path, f"{i}.html", b"<p>%d</p>" % i)))
            expected_sources.append(("page", f"page {i}"))
        elif kind == 2:
            specs.append((f"archive {i}", archive))
            expected_sources += [("page", f"archive {i}")] * 3
        elif kind == 3:
            specs.append((f"missing {i}", str(tmp_path / f"missing{i}")))
            expected_sources.append(("failure", f"missing {i}"))
        else:
            specs.append({"source": f"stream {i}", "stream": __import__("io").BytesIO(b"<p>%d</p>" % i)})
            expected_sources.append(("page", f"stream {i}"))
    for threads in (1, 2, 4):
        items, _ = run_items(specs if threads == 1 else [dict(s, stream=__import__("io").BytesIO(s["stream"].getvalue()))
                                                          if isinstance(s, dict) and "stream" in s else s for s in specs],
                             threads=threads, batch_pages=1)
        assert [(i[0], i[1]) for i in items] == expected_sources


def test_many_tiny_files_are_grouped_into_batches(tmp_path) -> None:
    paths = [_page(tmp_path, f"{i:04}.html", b"<p>%d</p>" % i) for i in range(300)]
    outputs, counts = _run([(os.path.basename(p), p) for p in paths], threads=2)
    # Groups of fewer than 64 files: a handful of batches, not one per file.
    assert len(outputs) <= 300 // 63 + 2
    assert all(0 < n < 64 for _, _, n, _ in outputs)
    sources = [p[0] for result, _, _, _ in outputs for p in result]
    assert sources == [os.path.basename(p) for p in paths]
    assert counts["files"] == 300


def test_counts_merge_in_input_order_with_the_kinds_capped(tmp_path) -> None:
    paths = []
    for k in range(3):
        data, _ = warc_bytes([Response(f"http://k/{i}", b"x", content_type=f"image/x-{k}-{i}") for i in range(40)]
                             + [Response("http://k/p", b"<p>p</p>"), Response("http://k/r", b"", warc_type="request")])
        paths.append(_page(tmp_path, f"{k}.warc.gz", data))
    _, counts = run_items([(p, p) for p in paths], threads=3)
    kinds = counts["kinds"]
    assert counts["non_html"] == 120 and counts["requests"] == 3 and counts["skipped"] == 123
    assert len(kinds) == 65 and kinds["(other kinds)"] == 120 + 1 - 64
    assert list(kinds)[:3] == ["image/x-0-0", "image/x-0-1", "image/x-0-2"] and counts["files"] == 3


def test_bad_arguments_are_refused() -> None:
    with pytest.raises(TypeError):
        _larkspine._ArchiveRun()  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        _larkspine._ArchiveRun(object())  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        type("Sub", (_larkspine._ArchiveRun,), {})
    for threads in (-1, 4097):
        with pytest.raises(ValueError):
            _larkspine._ArchiveRun(None, threads=threads)
    _larkspine._ArchiveRun(None, threads=0).close()  # one per CPU
    plan = Schema({"a": field("a")}).plan
    with pytest.raises(ValueError):
        _larkspine._ArchiveRun(plan, names=["a", "b"])
    run = _larkspine._ArchiveRun(None)
    for bad in ({"source": "x"}, {"source": "x", "path": "p", "fd": 0}, {"source": "x", "failure": "f", "stream": 1}):
        with pytest.raises(ValueError):
            run.add(**bad)
    with pytest.raises(ValueError):
        run.add("x", "a\0b")
    assert "_ArchiveRun" not in _larkspine.__all__
    run.close()


# --- descriptors ---------------------------------------------------------------------------------

EMFILE_SCRIPT = r"""
import os, resource, sys, tempfile
import _larkspine
resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
folder = sys.argv[1]
names = sorted(os.listdir(folder))
for batch_pages in (64, 1):
    run = _larkspine._ArchiveRun(None, threads=4, batch_pages=batch_pages)
    pages = failures = 0
    for n in names:
        run.add(n, os.path.join(folder, n), found=True)
        while run.pending > 200:
            out = run.next()
            pages += out[2]
            failures += len(out[1])
    run.finish()
    while (out := run.next()) is not None:
        pages += out[2]
        failures += len(out[1])
    run.close()
    print(pages, failures)
"""


def test_thousands_of_files_need_no_more_descriptors_than_threads(tmp_path) -> None:
    pytest.importorskip("resource")
    folder = tmp_path / "many"
    folder.mkdir()
    for i in range(2000):
        (folder / f"{i:05}.html").write_bytes(b"<p>%d</p>" % i)
    done = subprocess.run([sys.executable, "-c", EMFILE_SCRIPT, str(folder)], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["2000", "0", "2000", "0"]


# --- cancelling ------------------------------------------------------------------------------

def _open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd")) if os.path.isdir("/proc/self/fd") else 0


def _os_threads() -> int:
    """The process's threads, native workers included (which threading does not count)."""
    return len(os.listdir("/proc/self/task")) if os.path.isdir("/proc/self/task") else 0


def _finishes(target: Any, timeout: float = 60) -> bool:
    t = threading.Thread(target=target)
    t.start()
    t.join(timeout)
    return not t.is_alive()


@pytest.mark.parametrize("how", ["close", "drop"])
def test_a_run_stopped_mid_way_ends_its_threads_and_closes_its_files(tmp_path, how: str) -> None:
    data, _ = warc_bytes([Response(f"http://c/{i}", b"<p>%d</p>" % i + b"z" * 3000) for i in range(400)])
    archive = _page(tmp_path, "c.warc.gz", data)
    before = _open_descriptors()
    threads_before = _os_threads()
    run = _larkspine._ArchiveRun(None, threads=4, batch_pages=4, part_bytes=20_000)
    for i in range(20):
        run.add(f"c{i}", archive)
    out = run.next()
    assert out is not None and out[2] == 4
    assert _os_threads() in (0, threads_before + 4)

    def stop() -> None:
        nonlocal run
        if how == "close":
            run.close()
            assert run.next() is None
            assert run.pending >= 0
        else:
            del run

    assert _finishes(stop)
    import gc

    gc.collect()
    assert _open_descriptors() == before
    assert _os_threads() == threads_before


def test_closing_wakes_a_next_waiting_on_a_silent_pipe() -> None:
    r, w = os.pipe()
    try:
        run = _larkspine._ArchiveRun(None, threads=2)
        run.add("-", fd=r)
        got: list[Any] = []
        waiter = threading.Thread(target=lambda: got.append(run.next()))
        waiter.start()
        time.sleep(0.2)
        assert waiter.is_alive()
        assert _finishes(run.close)
        waiter.join(60)
        assert not waiter.is_alive() and got == [None]
    finally:
        os.close(r)
        os.close(w)


def test_next_without_inputs_does_not_wait() -> None:
    run = _larkspine._ArchiveRun(None)
    assert run.next() == (None, [], 0, 0)
    assert run.pending == 0
    run.add("f", failure="a failure")
    assert run.pending == 1
    assert run.next() == (None, [("f", None, "a failure")], 0, 0)
    assert run.next() == (None, [], 0, 0)
    run.finish()
    assert run.next() is None
    with pytest.raises(ValueError, match="after finish"):
        run.add("late", failure="too late")
    run.close()


def test_header_bytes_that_are_not_utf8_are_read_as_the_pages_mode_reads_them(tmp_path) -> None:
    pa = pytest.importorskip("pyarrow")
    record = (b"WARC/1.0\r\nWARC-Type: response\r\nWARC-Target-URI: http://x/\xff\xe9t\xc3\r\n"
              b"WARC-Record-ID: <urn:\x80>\r\nContent-Length: %d\r\n\r\n")
    http = b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<p>x</p>"
    path = _page(tmp_path, "u.warc", record % len(http) + http + b"\r\n\r\n")
    items, _ = run_items([("u", path)])
    outputs, _ = _run([("u", path)], Schema({"p": field("p::text", first=True)}).plan, names=["p"])
    (row,) = pa.concat_tables([pa.table(o[0]) for o in outputs]).to_pylist()
    assert (row["_url"], row["_record_id"]) == (items[0][3], items[0][6]) == ("http://x/\ufffd\ufffdt\ufffd", "<urn:\ufffd>")


def test_closing_while_workers_read_python_streams_does_not_deadlock() -> None:
    import io

    data, _ = warc_bytes([Response(f"http://p/{i}", b"<p>%d</p>" % i + b"q" * 2000) for i in range(200)])
    run = _larkspine._ArchiveRun(None, threads=4, batch_pages=2)
    for i in range(12):
        run.add(f"s{i}", stream=io.BytesIO(data))
    assert run.next() is not None
    # The workers take the interpreter lock for each read: closing must let go of it to join them.
    assert _finishes(run.close)
    assert run.next() is None


def test_pages_on_a_quiet_pipe_are_given_out_as_they_come() -> None:
    data, _ = warc_bytes([Response(f"http://q/{i}", b"<p>%d</p>" % i) for i in range(6)])
    half = data.index(b"\x1f\x8b", len(data) // 2)
    r, w = os.pipe()
    more = threading.Event()

    def write() -> None:
        os.write(w, data[:half])
        more.wait(60)
        os.write(w, data[half:])
        os.close(w)

    writer = threading.Thread(target=write)
    writer.start()
    try:
        run = _larkspine._ArchiveRun(None, threads=2)
        run.add("-", fd=r)
        run.finish()
        got: list[Any] = []
        # The first records come out while the writer waits (not once 64 pages are read).
        assert _finishes(lambda: got.append(run.next()), 30)
        first = [p[2] for p in got[0][0]]
        assert 0 < len(first) < 6
        more.set()
        rest = []
        while (out := run.next()) is not None:
            rest += [p[2] for p in out[0] or []]
        assert first + rest == [f"http://q/{i}" for i in range(6)]
        run.close()
    finally:
        more.set()
        writer.join()
        os.close(r)
