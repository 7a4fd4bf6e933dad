"""Reading pages: files, directories, globs, gzip, standard input and WARC archives."""

from __future__ import annotations

import gzip
import io
import os
import random
import zlib
from collections.abc import Iterator

import pytest

pytest.importorskip("fastwarc")

from larkspine.inputs import (  # noqa: E402
    Document,
    InputFailure,
    ReadStats,
    display_name,
    gunzip,
    parse_size,
    read_input_list,
    read_inputs,
    read_warc,
    warc_date,
)

from .warcs import Response, corpus_responses, record_bytes, warc_bytes  # noqa: E402

PAGES = [
    Response("http://a.example/", b"<title>A</title>", "text/html; charset=windows-1252"),
    Response("http://b.example/", b"<title>B</title>", "application/xhtml+xml"),
    Response("http://c.example/", b"<title>C</title>", 'text/html; Charset="Shift_JIS"'),
]


def items(data: bytes, name: str = "t.warc") -> tuple[list[Document | InputFailure], ReadStats]:
    stats = ReadStats()
    return list(read_warc(io.BytesIO(data), name, stats)), stats


def pages(found: list[Document | InputFailure]) -> list[tuple[int | None, str | None, bytes, str | None]]:
    return [(d.offset, d.url, d.body, d.charset) for d in found if isinstance(d, Document)]


def failures(found: list[Document | InputFailure]) -> list[str]:
    return [str(f) for f in found if isinstance(f, InputFailure)]


@pytest.mark.parametrize("compress", [True, False], ids=["warc.gz", "warc"])
def test_warc_pages_carry_offset_url_and_http_charset(compress: bool) -> None:
    data, offsets = warc_bytes(PAGES, compress=compress)
    found, stats = items(data)
    assert failures(found) == []
    assert pages(found) == [
        (offsets[0], "http://a.example/", b"<title>A</title>", "windows-1252"),
        (offsets[1], "http://b.example/", b"<title>B</title>", None),
        (offsets[2], "http://c.example/", b"<title>C</title>", "Shift_JIS"),
    ]
    assert stats.skipped == 0
    if compress:
        # Each offset is its gzip member's: seeking there and gunzipping gives the record.
        record = zlib.decompressobj(wbits=31).decompress(data[offsets[1]:])
        assert record.startswith(b"WARC/") and b"http://b.example/" in record


def test_records_that_are_not_html_responses_are_skipped_and_counted() -> None:
    data, offsets = warc_bytes([
        Response("http://x/", b"", warc_type="warcinfo"),
        Response("http://x/", b"", warc_type="request"),
        Response("http://x/img.png", b"\x89PNG", "image/png"),
        Response("http://x/", b"<p>page</p>"),
        Response("http://x/meta", b"outlinks", warc_type="metadata"),
        Response("http://x/none", b"<p>no type</p>", content_type=""),
        Response("http://x/", b"<p>two</p>", "TEXT/HTML"),
    ])
    found, stats = items(data)
    assert [(d.offset, d.body) for d in found] == [(offsets[3], b"<p>page</p>"), (offsets[6], b"<p>two</p>")]
    assert stats.skipped == 5
    assert stats.skipped_kinds == {"warcinfo": 1, "request": 1, "image/png": 1, "metadata": 1, "no Content-Type": 1}
    assert (stats.requests, stats.other_records, stats.non_html, stats.not_2xx) == (1, 2, 2, 0)


STATUSES = [
    Response("http://x/ok", b"<p>ok</p>", date="2024-05-01T12:00:00Z", record_urn="uuid:1"),
    Response("http://x/ok", b"", warc_type="request"),
    Response("http://x/created", b"<p>made</p>", status="201 Created"),
    Response("http://x/moved", b"", status="301 Moved Permanently", headers=("Location: /ok",)),
    Response("http://x/png", b"\x89PNG", "image/png", status="404 Not Found"),
    Response("http://x/gone", b"<p>gone</p>", status="404 Not Found", date="2024-05-01T12:00:00.000001Z"),
    Response("http://x/odd", b"<p>odd</p>", status="99 Low"),
    Response("http://x/err", b"<p>err</p>", "text/html; charset=koi8-r", status="500 Server Error"),
]


@pytest.mark.parametrize(
    "only_2xx, statuses, not_2xx",
    [(False, [200, 201, 301, 404, None, 500], 0), (True, [200, 201], 4)],
    ids=["every", "only-2xx"],
)
def test_responses_carry_status_date_id_and_media_type_and_only_2xx_keeps_2xx(only_2xx, statuses, not_2xx) -> None:
    data, _ = warc_bytes(STATUSES)
    stats = ReadStats(only_2xx=only_2xx)
    found = list(read_warc(io.BytesIO(data), "t.warc", stats))
    assert failures(found) == []
    docs = [d for d in found if isinstance(d, Document)]
    assert [d.status for d in docs] == statuses
    assert docs[0].date == "2024-05-01T12:00:00Z" and docs[0].record_id == "<urn:uuid:1>"
    assert all(d.content_type == "text/html" and d.record_id.startswith("<urn:uuid:") for d in docs)
    assert (stats.requests, stats.non_html, stats.not_2xx) == (1, 1, not_2xx)
    if only_2xx:  # a status that is not a status is not 2xx
        assert stats.skipped_kinds == {"request": 1, "image/png": 1, "status 301": 1, "status 404": 1,
                                       "no status": 1, "status 500": 1}
    else:
        assert docs[3].date == "2024-05-01T12:00:00.000001Z" and docs[5].charset == "koi8-r"


def test_plain_files_have_no_warc_metadata(tmp_path) -> None:
    (tmp_path / "a.html").write_bytes(b"<p>a</p>")
    (doc,) = read_inputs([str(tmp_path / "a.html")], only_2xx=True)
    assert isinstance(doc, Document) and doc.body == b"<p>a</p>"
    assert (doc.offset, doc.url, doc.charset, doc.status, doc.date, doc.record_id, doc.content_type) == (None,) * 7


@pytest.mark.parametrize(
    "value, expected",
    [
        ("2024-05-01T12:00:00Z", "2024-05-01T12:00:00Z"),
        (" 2024-05-01T12:00:00Z\t", "2024-05-01T12:00:00Z"),
        ("2024-05-01T12:00:00.5Z", "2024-05-01T12:00:00.5Z"),
        ("2024-05-01T12:00:00.123456789Z", "2024-05-01T12:00:00.123456Z"),  # cut to microseconds
        ("2024-02-29T23:59:59Z", "2024-02-29T23:59:59Z"),
        ("2023-02-29T00:00:00Z", None),   # no such day
        ("2024-13-01T00:00:00Z", None),
        ("2024-05-01T24:00:00Z", None),
        ("2024-05-01T12:00:00+02:00", None),  # WARC dates are UTC, written with Z
        ("2024-05-01T12:00Z", None),
        ("2024-05-01", None),
        ("2024-05-01T12:00:00.Z", None),
        ("2024-05-01T12:00:00.1234567890Z", None),
        ("２０２４-05-01T12:00:00Z", None),  # digits of another script
        ("", None),
        (None, None),
    ],
)
def test_warc_dates_are_read_strictly(value: str | None, expected: str | None) -> None:
    assert warc_date(value) == expected


class _CountingStream(io.RawIOBase):
    """Lines ``n.html`` without end, counting the bytes handed out."""

    def __init__(self) -> None:
        self.given = 0
        self._n = 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:  # type: ignore[override]
        view = memoryview(buffer).cast("B")
        data = b"".join(b"%d.html\n" % (self._n + i) for i in range(len(view) // 16))[: len(view)]
        self._n += data.count(b"\n")
        view[: len(data)] = data
        self.given += len(data)
        return len(data)


def test_an_input_list_is_read_as_its_names_are_needed() -> None:
    stream = _CountingStream()
    names = read_input_list(io.BufferedReader(stream), "list")
    assert [next(names) for _ in range(3)] == ["0.html", "1.html", "2.html"]
    assert stream.given <= 1 << 16  # an endless list, read one buffer's worth so far


@pytest.mark.parametrize(
    "data, expected",
    [
        (b"a.html\nb c.html\r\n\n \t\n./d.html", ["a.html", "b c.html", "./d.html"]),
        (b" lead.html \n", [" lead.html "]),  # names keep their spaces
        (b"caf\xe9.html\n", ["caf\udce9.html"]),  # as os.fsdecode makes it
        (b"a\n" + b"y" * (1 << 17) + b"\nb\n", ["a", "list: line 2 is longer than 65,536 bytes: skipped", "b"]),
        (b"a\n" + b"y" * (1 << 17), ["a", "list: line 2 is longer than 65,536 bytes: skipped"]),
        (b"", []),
    ],
    ids=["lines", "spaces", "not-utf8", "too-long", "too-long-at-end", "empty"],
)
def test_an_input_list_has_one_name_per_line(data: bytes, expected: list[str]) -> None:
    got = [e if isinstance(e, str) else str(e) for e in read_input_list(io.BytesIO(data), "list")]
    assert got == expected


def test_read_inputs_takes_a_lazy_stream_of_names_and_failures(tmp_path) -> None:
    (tmp_path / "a.html").write_bytes(b"<p>a</p>")

    def names():
        yield str(tmp_path / "a.html")
        yield InputFailure("list", None, "broken")
        raise AssertionError("read past what was asked")

    found = read_inputs(names())
    assert isinstance(next(found), Document) and str(next(found)) == "list: broken"


@pytest.mark.parametrize(
    "headers, body, expected",
    [
        (("Transfer-Encoding: chunked",), b"5\r\n<p>ab\r\n6;ext=1\r\nc</p>x\r\n0\r\n\r\n", b"<p>abc</p>x"),
        (("Content-Encoding: gzip",), gzip.compress(b"<p>zipped</p>"), b"<p>zipped</p>"),
        (("Content-Encoding: deflate",), zlib.compress(b"<p>deflated</p>"), b"<p>deflated</p>"),
        (("Content-Encoding: deflate",), zlib.compress(b"<p>raw</p>")[2:-4], b"<p>raw</p>"),
        (
            ("Transfer-Encoding: chunked", "Content-Encoding: gzip"),
            b"%x\r\n" % len(gzip.compress(b"<p>both</p>")) + gzip.compress(b"<p>both</p>") + b"\r\n0\r\n\r\n",
            b"<p>both</p>",
        ),
        (("X-Crawler-Content-Encoding: gzip",), b"<p>already decoded</p>", b"<p>already decoded</p>"),
    ],
    ids=["chunked", "gzip", "deflate", "raw-deflate", "chunked-gzip", "crawler-decoded"],
)
def test_http_transfer_and_content_codings_are_undone(headers: tuple[str, ...], body: bytes, expected: bytes) -> None:
    found, _ = items(warc_bytes([Response("http://x/", body, headers=headers)])[0])
    assert failures(found) == []
    assert [d.body for d in found if isinstance(d, Document)] == [expected]


GOOD, GOOD_OFFSETS = warc_bytes(PAGES)
RAW, RAW_OFFSETS = warc_bytes(PAGES, compress=False)


@pytest.mark.parametrize("padding", [b"\x00" * 10, b"\x00" * 100_000])
def test_zero_padding_after_the_last_member_is_no_failure(padding: bytes) -> None:
    found, _ = items(GOOD + padding, "padded.warc.gz")
    assert len(pages(found)) == 3 and not failures(found)


@pytest.mark.parametrize(
    "data, good_pages, failure",
    [
        # A download cut inside the last gzip member: FastWARC alone reports nothing.
        (GOOD[: GOOD_OFFSETS[2] + 30], 2, "corrupt WARC after the record at offset %d: truncated gzip data" % GOOD_OFFSETS[1]),
        (GOOD[:-3], 3, "corrupt WARC after the record at offset %d: truncated gzip data" % GOOD_OFFSETS[2]),
        # Cut inside the last record's block, in an uncompressed archive.
        (RAW[: RAW_OFFSETS[2] + 300], 2, "record at offset %d): truncated WARC record: " % RAW_OFFSETS[2]),
        (RAW[: RAW_OFFSETS[2] + 40], 2, "record at offset %d): truncated WARC record: the input ends inside its header" % RAW_OFFSETS[2]),
        # A corrupt member in the middle: skipped as one failure naming its bytes; the
        # members after it are read.
        (GOOD[: GOOD_OFFSETS[1]] + b"\x1f\x8b\x08\x00garbage-garbage" + GOOD[GOOD_OFFSETS[2]:], 2,
         "; bytes %d to %d skipped" % (GOOD_OFFSETS[1], GOOD_OFFSETS[1] + 19)),
        (GOOD + b"trailing junk", 3, "corrupt WARC after the record at offset %d" % GOOD_OFFSETS[2]),
        (GOOD + b"\x00" * 10 + b"junk", 3, "corrupt WARC after the record at offset %d" % GOOD_OFFSETS[2]),
        (b"WARC/1.1\r\nnot a header at all\r\n\r\n", 0, "(record at offset 0): truncated or malformed WARC record"),
    ],
    ids=["cut-in-member", "cut-in-trailer", "cut-in-block", "cut-in-header", "bad-member", "trailing-junk",
         "padding-then-junk", "bad-header"],
)
def test_truncated_or_corrupt_archives_fail_with_their_offset(data: bytes, good_pages: int, failure: str) -> None:
    found, _ = items(data, "bad.warc")
    assert len(pages(found)) == good_pages
    (message,) = failures(found)
    assert message.startswith("bad.warc") and failure in message


@pytest.mark.parametrize(
    "http, failure",
    [
        (b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 300\r\n", "HTTP header without a body (no blank line"),
        (b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 300\r\n\r\n", "HTTP header without a body (Content-Length: 300)"),
        (b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", "undecodable HTTP body: bad chunk size"),
        (b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n-5\r\nab\r\n", "bad chunk size b'-5'"),
        (b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: gzip\r\n\r\nnot gzip", "undecodable HTTP body"),
        (b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: br\r\n\r\n\x0b\x02", "unsupported Content-Encoding 'br'"),
    ],
    ids=["no-blank-line", "announced-body-missing", "bad-chunk", "negative-chunk", "bad-gzip-body", "brotli"],
)
def test_bad_http_messages_fail_and_the_archive_goes_on(http: bytes, failure: str) -> None:
    head = b"WARC/1.1\r\nWARC-Type: response\r\nWARC-Target-URI: http://bad/\r\nContent-Type: application/http; msgtype=response\r\nContent-Length: %d\r\n\r\n"
    bad = head % len(http) + http + b"\r\n\r\n"
    found, _ = items(warc_bytes(PAGES[:1], compress=False)[0] + bad + warc_bytes(PAGES[1:2], compress=False)[0])
    assert [p[2] for p in pages(found)] == [b"<title>A</title>", b"<title>B</title>"]
    (message,) = failures(found)
    assert "(record at offset" in message and failure in message


# Numbers that str.isdigit (or int) takes but a header does not hold: other scripts'
# digits, superscripts, and the blanks U+001C-U+001F, which str.strip and splitlines see.
@pytest.mark.parametrize("length", [b"\x1c87", b"8\x1e", b"\xb2", "\u00b2".encode(), b"1" * 5000])
def test_a_warc_length_of_anything_but_ascii_digits_is_a_malformed_record(length: bytes) -> None:
    http = b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<p>x</p>"
    bad = b"WARC/1.1\r\nWARC-Type: response\r\nContent-Length: " + length + b"\r\n\r\n" + http + b"\r\n\r\n"
    found, _ = items(warc_bytes(PAGES[:1], compress=False)[0] + bad)
    assert [p[2] for p in pages(found)] == [b"<title>A</title>"]
    assert "truncated or malformed WARC record: its header has no Content-Length" in failures(found)[0]


@pytest.mark.parametrize(
    "http, body",
    [
        (b"HTTP/1.1 \xb2 OK\r\nContent-Type: text/html\r\n\r\n<p>s</p>", b"<p>s</p>"),
        (b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: \xb2\r\n\r\n", b""),
        (b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + b"9" * 5000 + b"\r\n\r\n", b""),
        (b"HTTP/1.1 " + b"2" * 5000 + b" OK\r\nContent-Type: text/html\r\n\r\n<p>n</p>", b"<p>n</p>"),
        # 0x1C is field content, not a line end: the second Content-Type is the first one.
        (b"HTTP/1.1 200 OK\r\nX-A: a\x1cContent-Type: image/png\r\nContent-Type: text/html\r\n\r\n<p>h</p>",
         b"<p>h</p>"),
    ],
    ids=["superscript-status", "superscript-length", "5000-digit-length", "5000-digit-status", "field-with-0x1c"],
)
def test_http_headers_are_read_as_bytes_not_as_unicode_text(http: bytes, body: bytes) -> None:
    head = b"WARC/1.1\r\nWARC-Type: response\r\nContent-Type: application/http; msgtype=response\r\n"
    found, _ = items(head + b"Content-Length: %d\r\n\r\n" % len(http) + http + b"\r\n\r\n")
    assert [p[2] for p in pages(found)] == [body] and not failures(found)


@pytest.mark.parametrize(
    "http, body",
    [
        (b"HTTP/1.1 200 OK\nContent-Type: text/html\n\n<p>lf</p>\n\n<p>more</p>", b"<p>lf</p>\n\n<p>more</p>"),
        (b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<p>a</p>\n\n<p>b</p>", b"<p>a</p>\n\n<p>b</p>"),
    ],
    ids=["bare-lf-header", "blank-lines-in-body"],
)
def test_the_http_header_ends_at_its_first_blank_line(http: bytes, body: bytes) -> None:
    head = b"WARC/1.1\r\nWARC-Type: response\r\nWARC-Target-URI: http://x/\r\nContent-Type: application/http; msgtype=response\r\nContent-Length: %d\r\n\r\n"
    found, _ = items(head % len(http) + http + b"\r\n\r\n")
    assert [d.body for d in found if isinstance(d, Document)] == [body]


def test_empty_body_is_a_page_when_none_was_announced() -> None:
    # A redirect or an empty page: nothing to extract, but nothing wrong with the record.
    found, _ = items(warc_bytes([Response("http://x/", b"", status="301 Moved")])[0])
    assert pages(found) == [(0, "http://x/", b"", "utf-8")]


def test_a_record_marked_truncated_by_the_crawler_is_still_a_page() -> None:
    raw = record_bytes(Response("http://x/", b"", headers=("Content-Length: 5000",)))
    raw = raw.replace(b"WARC-Type: response\r\n", b"WARC-Type: response\r\nWARC-Truncated: length\r\n")
    found, _ = items(raw)
    assert failures(found) == [] and len(pages(found)) == 1


def test_one_stream_gzip_archive_reads_without_offsets() -> None:
    raw, _ = warc_bytes(PAGES, compress=False)
    found, _ = items(gzip.compress(raw))
    assert failures(found) == []
    assert [(p[0], p[1]) for p in pages(found)] == [(0, "http://a.example/"), (None, "http://b.example/"), (None, "http://c.example/")]


def test_corpus_archive_reads_every_page_back(tmp_path: os.PathLike[str]) -> None:
    responses = corpus_responses()
    if not responses:
        pytest.skip("../shared/corpus is not present")
    data, offsets = warc_bytes(responses)
    found, _ = items(data)
    assert failures(found) == []
    assert [(d.offset, d.url, d.body) for d in found] == [
        (o, r.url, r.body) for o, r in zip(offsets, responses)
    ]


# --- Files, directories, globs, standard input ---------------------------------------------


@pytest.fixture
def tree(tmp_path):
    (tmp_path / "site" / "b").mkdir(parents=True)
    (tmp_path / "site" / "a.html").write_bytes(b"<p>a</p>")
    (tmp_path / "site" / "b" / "c.htm.gz").write_bytes(gzip.compress(b"<p>c</p>"))
    (tmp_path / "site" / "b" / "d.warc.gz").write_bytes(warc_bytes(PAGES[:2])[0])
    (tmp_path / "site" / "b" / "style.css").write_bytes(b"p{}")
    (tmp_path / "site" / "b" / "logo.png").write_bytes(b"\x89PNG")
    (tmp_path / "empty").mkdir()
    (tmp_path / "empty" / "notes.txt").write_bytes(b"x")
    return tmp_path


def sources(found: list[Document | InputFailure], root) -> list[tuple[str, bytes] | str]:
    out: list[tuple[str, bytes] | str] = []
    for d in found:
        if isinstance(d, Document):
            out.append((os.path.relpath(d.source, root), d.body))
        else:
            out.append("FAILED " + os.path.relpath(d.source, root) + ": " + d.reason)
    return out


def test_directory_walk_takes_html_and_warc_files_in_sorted_order(tree) -> None:
    found = list(read_inputs([str(tree / "site")]))
    assert sources(found, tree) == [
        ("site/a.html", b"<p>a</p>"),
        ("site/b/c.htm.gz", b"<p>c</p>"),
        ("site/b/d.warc.gz", b"<title>A</title>"),
        ("site/b/d.warc.gz", b"<title>B</title>"),
    ]


def test_named_files_are_read_by_content_whatever_their_name(tree) -> None:
    (tree / "page.txt").write_bytes(b"<p>txt</p>")
    (tree / "archive.bin").write_bytes(warc_bytes(PAGES[:1])[0])
    (tree / "zipped").write_bytes(gzip.compress(b"<p>z</p>"))
    found = list(read_inputs([str(tree / "page.txt"), str(tree / "archive.bin"), str(tree / "zipped")]))
    assert sources(found, tree) == [("page.txt", b"<p>txt</p>"), ("archive.bin", b"<title>A</title>"), ("zipped", b"<p>z</p>")]


def test_globs_expand_sorted_and_recursively(tree) -> None:
    found = list(read_inputs([str(tree / "site" / "**" / "*.htm*")]))
    assert sources(found, tree) == [("site/a.html", b"<p>a</p>"), ("site/b/c.htm.gz", b"<p>c</p>")]


def test_unreadable_inputs_fail_by_name_and_the_others_are_read(tree) -> None:
    (tree / "bad.html.gz").write_bytes(gzip.compress(b"<p>cut off</p>" * 50)[:30])
    (tree / "notgzip.html.gz").write_bytes(b"\x1f\x8b\x08\x00 not really")
    found = list(read_inputs([
        str(tree / "missing.html"),
        str(tree / "bad.html.gz"),
        str(tree / "site" / "a.html"),
        str(tree / "empty"),
        str(tree / "nothing-*.html"),
        str(tree / "notgzip.html.gz"),
    ]))
    got = sources(found, tree)
    assert got[:-1] == [
        "FAILED missing.html: No such file or directory",
        "FAILED bad.html.gz: truncated gzip data: the file ends inside a compressed member",
        ("site/a.html", b"<p>a</p>"),
        "FAILED empty: directory holds no HTML or WARC file (.html, .htm, .xhtml, .shtml, .warc, .warc.gz, optionally .gz)",
        "FAILED nothing-*.html: no file matches this pattern",
    ]
    assert str(got[-1]).startswith("FAILED notgzip.html.gz: ")


class _Pipe(io.RawIOBase):
    """A pipe-like stream: short reads, no seeking."""

    def __init__(self, data: bytes, step: int) -> None:
        self._data = data
        self._step = step

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        n = min(len(buffer), self._step, len(self._data))
        buffer[:n] = self._data[:n]
        self._data = self._data[n:]
        return n


@pytest.mark.parametrize("step", [1, 7, 1 << 16])
@pytest.mark.parametrize("compress", [True, False], ids=["gz", "plain"])
def test_standard_input_may_be_a_warc_or_a_page_arriving_in_short_reads(monkeypatch, step: int, compress: bool) -> None:
    import sys

    data = warc_bytes(PAGES, compress=compress)[0]
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BufferedReader(_Pipe(data, step), 3)))
    found = list(read_inputs(["-"]))
    assert [(d.source, d.url) for d in found] == [("-", p.url) for p in PAGES]
    page = gzip.compress(b"<p>page</p>") if compress else b"<p>page</p>"
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BufferedReader(_Pipe(page, step), 3)))
    assert [(d.source, d.offset, d.body) for d in read_inputs(["-"])] == [("-", None, b"<p>page</p>")]


@pytest.mark.parametrize(
    "data, expected",
    [
        (gzip.compress(b"one") + gzip.compress(b"two"), b"onetwo"),
        (gzip.compress(b"padded") + b"\x00" * 10, b"padded"),
        (gzip.compress(b"a") + b"\x00" * 3 + gzip.compress(b"b") + b"\x00", b"ab"),
        # members longer than the chunks the input is fed in, and padding across chunks
        (gzip.compress(bytes(range(256)) * 600) + b"\x00" * 70000 + gzip.compress(b"end"),
         bytes(range(256)) * 600 + b"end"),
        (b"", b""),
    ],
)
def test_gunzip_reads_every_member(data: bytes, expected: bytes) -> None:
    assert gunzip(data) == expected


@pytest.mark.parametrize("data", [gzip.compress(b"abc" * 100)[:-2], gzip.compress(b"x") + gzip.compress(b"y")[:9]])
def test_gunzip_refuses_a_cut_off_member(data: bytes) -> None:
    with pytest.raises(EOFError, match="truncated gzip"):
        gunzip(data)


def test_gunzip_refuses_what_follows_a_member_when_it_is_not_gzip() -> None:
    with pytest.raises(zlib.error):
        gunzip(gzip.compress(b"x") + b"\x00\x00garbage")


def test_urls_are_read_through_fsspec() -> None:
    fsspec = pytest.importorskip("fsspec")
    fs = fsspec.filesystem("memory")
    fs.pipe("/larkspine-test/crawl.warc.gz", warc_bytes(PAGES[:2])[0])
    fs.pipe("/larkspine-test/page.html.gz", gzip.compress(b"<p>remote</p>"))
    try:
        found = list(read_inputs([
            "memory:///larkspine-test/crawl.warc.gz",
            "memory:///larkspine-test/page.html.gz",
            "memory:///larkspine-test/missing.html",
        ]))
    finally:
        fs.rm("/larkspine-test", recursive=True)
    assert [(d.source, d.url, d.body) for d in found[:3]] == [
        ("memory:///larkspine-test/crawl.warc.gz", "http://a.example/", b"<title>A</title>"),
        ("memory:///larkspine-test/crawl.warc.gz", "http://b.example/", b"<title>B</title>"),
        ("memory:///larkspine-test/page.html.gz", None, b"<p>remote</p>"),
    ]
    assert isinstance(found[3], InputFailure) and found[3].source == "memory:///larkspine-test/missing.html"
    assert len(found) == 4


def test_a_folder_that_cannot_be_listed_fails_by_name(tree, monkeypatch) -> None:
    # Root may list anything, so the refusal is simulated where os.walk asks for it.
    real_scandir = os.scandir
    locked = str(tree / "site" / "b")

    def scandir(path):
        if os.fspath(path) == locked:
            raise PermissionError(13, "Permission denied", locked)
        return real_scandir(path)

    monkeypatch.setattr(os, "scandir", scandir)
    found = list(read_inputs([str(tree / "site"), locked]))
    assert sources(found, tree) == [
        ("site/a.html", b"<p>a</p>"),
        "FAILED site/b: cannot list the directory: Permission denied",
        "FAILED site/b: cannot list the directory: Permission denied",
    ]


@pytest.mark.parametrize("pattern, pages", [("site/**/*.html", [b"<p>a</p>"]), ("site/*/*.html", []),
                                            ("site/**", [b"<p>a</p>"])])
def test_a_glob_names_a_folder_it_cannot_list(tree, monkeypatch, pattern: str, pages: list[bytes]) -> None:
    # As the walk above: the folder a glob must list and cannot is a failure, not a silence.
    real_scandir = os.scandir
    locked = str(tree / "site" / "b")

    def scandir(path):
        if os.path.abspath(os.fspath(path)) == locked:
            raise PermissionError(13, "Permission denied", locked)
        return real_scandir(path)

    monkeypatch.setattr(os, "scandir", scandir)
    monkeypatch.chdir(tree)
    found = list(read_inputs([pattern]))
    failures = [str(f) for f in found if isinstance(f, InputFailure)]
    assert failures == ["site/b: cannot list the directory: Permission denied"]
    assert [f.body for f in found if not isinstance(f, InputFailure)] == pages


def _mutants(seed: bytes, rng: random.Random, count: int) -> Iterator[bytes]:
    splices = [b"\r\n", b"\r\n\r\n", b"Content-Length: 99999\r\n", b"0\r\n", b"\x1f\x8b\x08", b"\x00" * 30,
               b"Content-Encoding: gzip\r\n", b"Transfer-Encoding: chunked\r\n", b"\x1c", b"\xb2", b"9" * 5000]
    for _ in range(count):
        d = bytearray(seed)
        for _ in range(rng.randint(1, 6)):
            i = rng.randrange(len(d) + 1)
            op = rng.randrange(5)
            if op == 0 and i < len(d):
                d[i] = rng.randrange(256)
            elif op == 1:
                del d[i : i + rng.randint(1, 50)]
            elif op == 2:
                del d[i:]
            elif op == 3:
                j = rng.randrange(len(d) + 1)
                d[i:i] = d[j : j + rng.randint(1, 200)]
            else:
                d[i:i] = rng.choice(splices)
        yield bytes(d)


@pytest.mark.parametrize("compress", [True, False], ids=["warc.gz", "warc"])
def test_mutated_archives_give_pages_and_failures_and_never_raise(compress: bool) -> None:
    bodies = [
        b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
        b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: gzip\r\n\r\n" + gzip.compress(b"<p>z</p>") * 2,
    ]
    seed = warc_bytes(PAGES, compress=compress)[0]
    head = b"WARC/1.1\r\nWARC-Type: response\r\nContent-Type: application/http; msgtype=response\r\n"
    coded = b"".join(head + b"Content-Length: %d\r\n\r\n" % len(b) + b + b"\r\n\r\n" for b in bodies)
    # Unmutated, every record is a page: the mutants start from archives the reader takes whole.
    assert len(pages(items(seed)[0])) == 3 and len(pages(items(coded)[0])) == 2 and not failures(items(coded)[0])
    rng = random.Random(12)
    for data in [*_mutants(seed, rng, 1500), *_mutants(coded, rng, 1500)]:
        found, _ = items(data)  # an uncaught exception fails the test
        for f in found:
            # Every item names its file; an offset points into it.
            assert f.source == "t.warc" and (f.offset is None or 0 <= f.offset < len(data))


# --- Bounded cost: page size limit, memory, corrupt members, special files, names ----------


def _bomb(size: int, head: bytes = b"<title>bomb</title>") -> bytes:
    """A gzip member of ``size`` decompressed bytes, about a thousandth of that compressed."""
    deflate = zlib.compressobj(9, zlib.DEFLATED, 31)
    block = b"\0" * (1 << 20)
    parts = [deflate.compress(head)]
    parts += [deflate.compress(block) for _ in range(size >> 20)]
    return b"".join(parts) + deflate.flush()


LIMIT = 1 << 20
TOO_LARGE = "page too large: over the limit of 1 MiB (max page size)"
_HTML_BODY = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n"


@pytest.mark.parametrize(
    "headers, body",
    [
        (("Content-Encoding: gzip",), _bomb(64 << 20)),
        (("Content-Encoding: deflate",), zlib.compress(b"\0" * (8 << 20), 9)),
        (("Transfer-Encoding: chunked", "Content-Encoding: gzip"),
         b"%x\r\n" % len(_bomb(64 << 20)) + _bomb(64 << 20) + b"\r\n0\r\n\r\n"),
        (("Transfer-Encoding: chunked",), b"".join(b"10000\r\n" + b"x" * 0x10000 + b"\r\n" for _ in range(17)) + b"0\r\n\r\n"),
        ((), b"y" * (LIMIT + 1)),
    ],
    ids=["gzip-bomb", "deflate-bomb", "chunked-gzip-bomb", "chunked-over-limit", "plain-over-limit"],
)
@pytest.mark.parametrize("compress", [True, False], ids=["warc.gz", "warc"])
def test_a_warc_page_over_the_limit_fails_by_offset_and_the_archive_goes_on(
    headers: tuple[str, ...], body: bytes, compress: bool
) -> None:
    data, offsets = warc_bytes([PAGES[0], Response("http://bomb/", body, headers=headers), PAGES[1]], compress=compress)
    found = list(read_warc(io.BytesIO(data), "t.warc", max_page_size=LIMIT))
    assert [(d.url, d.body) for d in found if isinstance(d, Document)] == [
        ("http://a.example/", b"<title>A</title>"), ("http://b.example/", b"<title>B</title>")]
    assert failures(found) == [f"t.warc (record at offset {offsets[1]}): {TOO_LARGE}"]


def test_a_page_exactly_at_the_limit_is_read(tmp_path) -> None:
    (tmp_path / "at.html").write_bytes(b"z" * LIMIT)
    (tmp_path / "at.html.gz").write_bytes(gzip.compress(b"z" * LIMIT))
    (tmp_path / "over.html").write_bytes(b"z" * (LIMIT + 1))
    (tmp_path / "over.html.gz").write_bytes(gzip.compress(b"z" * (LIMIT + 1)))
    found = list(read_inputs([str(tmp_path)], max_page_size=LIMIT))
    assert sources(found, tmp_path) == [
        ("at.html", b"z" * LIMIT), ("at.html.gz", b"z" * LIMIT),
        f"FAILED over.html: {TOO_LARGE}", f"FAILED over.html.gz: {TOO_LARGE}"]


@pytest.mark.parametrize(
    "text, size",
    [("65536", 65536), ("16MiB", 16 << 20), ("1GB", 10**9), ("1gib", 1 << 30), ("64M", 64 << 20),
     ("1.5K", 1536), ("2 kB", 2000), ("1b", 1), (" 3 ", 3), ("1TiB", 1 << 40)],
)
def test_sizes_are_read_as_people_write_them(text: str, size: int) -> None:
    assert parse_size(text) == size


@pytest.mark.parametrize("text", ["", "0", "0.1", "MiB", "1iB", "-5", "1e3", "12 parsecs", "9" * 40, "1.2.3K"])
def test_a_size_that_is_no_size_is_refused(text: str) -> None:
    with pytest.raises(ValueError, match="not a size"):
        parse_size(text)


def _members(count: int) -> tuple[bytes, list[int], list[Response]]:
    responses = [Response(f"http://m.example/{i}", b"<title>%d</title>" % i + bytes(range(256)) * 8) for i in range(count)]
    data, offsets = warc_bytes(responses)
    return data, offsets, responses


@pytest.mark.parametrize(
    "broken",
    [[7], [0], [19], [3, 4], [2, 9, 15]],
    ids=["middle", "first", "last", "two-adjacent", "three-apart"],
)
@pytest.mark.parametrize("damage", ["byte", "zeroed-header", "cut-member"])
def test_a_corrupt_gzip_member_is_skipped_and_every_intact_record_is_read(broken: list[int], damage: str) -> None:
    data, offsets, responses = _members(20)
    offsets.append(len(data))
    out = bytearray()
    for i in range(20):
        member = bytearray(data[offsets[i]:offsets[i + 1]])
        if i in broken:
            if damage == "byte":
                member[len(member) // 2] ^= 0xFF
                member[len(member) // 2 + 1 : len(member) // 2 + 9] = b"\xff" * 8
            elif damage == "zeroed-header":
                member[:10] = b"\x1f\x8b\x08" + b"\xff" * 7
                member[10:30] = b"\xff" * 20
            else:
                del member[len(member) // 2 :]
        out += member
    found, _ = items(bytes(out))
    assert [d.url for d in found if isinstance(d, Document)] == [r.url for i, r in enumerate(responses) if i not in broken]
    msgs = failures(found)
    # One failure per run of adjacent broken members, naming the bytes skipped.
    runs = [b for b in broken if b - 1 not in broken]
    assert len(msgs) == len(runs)
    for msg in msgs:
        assert msg.startswith("t.warc: corrupt WARC") and " skipped" in msg


def test_a_skipped_range_is_named_by_its_compressed_offsets() -> None:
    data, offsets, _ = _members(5)
    bad = data[: offsets[2]] + b"\x1f\x8b\x08\x00" + b"\xff" * 40 + data[offsets[3]:]
    found, _ = items(bad)
    assert failures(found) == [
        f"t.warc: corrupt WARC after the record at offset {offsets[1]}: "
        f"Error -3 while decompressing data: invalid block type; bytes {offsets[2]} to {offsets[2] + 44} skipped"]
    assert [d.offset for d in found if isinstance(d, Document)] == [
        offsets[0], offsets[1], offsets[2] + 44, offsets[2] + 44 + offsets[4] - offsets[3]]


@pytest.fixture
def hostile_tree(tmp_path):
    g = tmp_path / "g"
    (g / "x" / "y").mkdir(parents=True)
    for rel in ("a.html", "x/b.html", "x/y/c.html"):
        (g / rel).write_bytes(f"<p>{rel}</p>".encode())
    os.symlink(".", g / "loop")
    os.symlink("..", g / "x" / "up")
    os.symlink("../a.html", g / "x" / "alias.html")  # the same real file as g/a.html
    os.mkfifo(g / "x" / "fifo.html")
    os.symlink("/dev/zero", g / "zero.html")
    os.symlink("missing.html", g / "dangling.html")
    return tmp_path


PAGES_OF_G = [("g/a.html", b"<p>a.html</p>"), ("g/x/b.html", b"<p>x/b.html</p>"), ("g/x/y/c.html", b"<p>x/y/c.html</p>")]
SPECIAL_OF_G = ["FAILED g/dangling.html: No such file or directory",
                "FAILED g/x/fifo.html: not a regular file (a FIFO): skipped",
                "FAILED g/zero.html: not a regular file (a character device): skipped"]


@pytest.mark.parametrize("pattern", ["g", "g/**", "g/**/*.html", "g/**/**/*.html", "g/**/"])
def test_walks_and_globs_read_each_regular_file_once_and_name_special_files(hostile_tree, monkeypatch, pattern) -> None:
    monkeypatch.chdir(hostile_tree)
    found = list(read_inputs([pattern]))
    got = sources(found, hostile_tree)
    assert [g for g in got if isinstance(g, tuple)] == PAGES_OF_G
    special = sorted(g for g in got if isinstance(g, str))
    # Each special file is named once; a glob naming only folders ("g/**/") reaches them by walking.
    assert special == SPECIAL_OF_G


def test_a_file_given_by_name_is_not_read_again_by_a_walk(hostile_tree, monkeypatch) -> None:
    monkeypatch.chdir(hostile_tree)
    found = list(read_inputs(["g/x/b.html", "g/x"]))
    assert [s for s in sources(found, hostile_tree) if isinstance(s, tuple)] == [
        ("g/x/b.html", b"<p>x/b.html</p>"), ("g/x/alias.html", b"<p>a.html</p>"), ("g/x/y/c.html", b"<p>x/y/c.html</p>")]


@pytest.mark.parametrize(
    "name, shown",
    [(b"caf\xe9.html", "caf\\xe9.html"), (b"\xff\xfe.html", "\\xff\\xfe.html"),
     ("naïve.html".encode(), "naïve.html"), (b"plain.html", "plain.html")],
)
def test_file_names_that_are_not_utf8_are_read_and_shown_escaped(tmp_path, name: bytes, shown: str) -> None:
    folder = os.fsencode(tmp_path)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(b"<p>named</p>")
    for arg in [str(tmp_path), os.fsdecode(os.path.join(folder, name))]:
        (doc,) = read_inputs([arg])
        assert isinstance(doc, Document) and doc.body == b"<p>named</p>"
        assert doc.source == os.path.join(str(tmp_path), shown)
        doc.source.encode("utf-8")  # every output can carry it


@pytest.mark.parametrize(
    "path, shown",
    [("a\udcffb", "a\\xffb"), ("\udce9t\udce9", "\\xe9t\\xe9"), ("\ud800", "\\ud800"), ("ok", "ok"), ("日本", "日本")],
)
def test_display_names_are_valid_text(path: str, shown: str) -> None:
    assert display_name(path) == shown
    assert InputFailure(path, None, "x").source == shown and Document(path, None, None, b"").source == shown


# The peak resident size of the child alone: VmHWM starts afresh at exec, whereas
# ru_maxrss carries over the forking parent's (here pytest's, larger than a page). It is
# measured from after a first small read, so that what every run costs once (its threads)
# is not counted as the page's.
_RSS_CHILD = """
import sys
from larkspine.inputs import Document, read_inputs

def peak():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))

list(read_inputs(sys.argv[1:2]))
base = peak()
sizes = [len(d.body) if isinstance(d, Document) else d.reason for d in read_inputs(sys.argv[2:])]
print(sizes, peak() - base)
"""


@pytest.mark.parametrize(
    "name, content, pages, bound",
    [
        # A page is read into a buffer of its own size (no join of chunks, no head + rest, no
        # doubling), then copied into the `bytes` object Python gets: a `bytes` cannot take
        # over a buffer it did not allocate, so while one page is copied it is held twice (the
        # core's buffer is freed as soon as the copy exists). The command's batch path
        # (extract_archive, Arrow mode) keeps pages in the core and holds each once (see
        # test_archive.py).
        ("page.html", b"p" * (40 << 20), [40 << 20], 2.1 * (40 << 20)),
        ("page.html.gz", gzip.compress(b"p" * (40 << 20), 1), [40 << 20], 2.1 * (40 << 20)),
        ("page.warc.gz", warc_bytes([Response("http://p/", b"p" * (40 << 20))])[0], [40 << 20], 2.1 * (40 << 20)),
        # A record that is no page costs a chunk, however large it is; so does trailing padding.
        ("video.warc.gz", warc_bytes([Response("http://v/", b"v" * (40 << 20), "video/mp4"), PAGES[0]])[0], [16], 8 << 20),
        ("video.warc", warc_bytes([Response("http://v/", b"v" * (40 << 20), "video/mp4"), PAGES[0]], False)[0], [16], 8 << 20),
        ("padded.warc.gz", warc_bytes([PAGES[0]])[0] + b"\0" * (40 << 20), [16], 8 << 20),
        # A bomb costs the limit (64 MiB by default), not what it inflates to.
        ("bomb.html.gz", _bomb(1 << 30), ["page too large: over the limit of 64 MiB (max page size)"], 80 << 20),
    ],
    ids=["page", "page-gz", "page-warc-gz", "skipped-record-gz", "skipped-record", "zero-padding", "bomb"],
)
def test_memory_for_a_page_is_about_its_size_and_for_a_skipped_record_a_chunk(
    tmp_path, name: str, content: bytes, pages: list[object], bound: float
) -> None:
    import subprocess
    import sys

    if not os.path.exists("/proc/self/status"):
        pytest.skip("the peak resident size is read from /proc")
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer's shadow memory and quarantine swamp the resident size")
    (tmp_path / "small.html").write_bytes(b"<p>small</p>")
    (tmp_path / name).write_bytes(content)
    del content
    out = subprocess.run([sys.executable, "-c", _RSS_CHILD, str(tmp_path / "small.html"), str(tmp_path / name)],
                         capture_output=True, text=True, check=True).stdout.split("] ")
    assert out[0] + "]" == repr(pages)
    assert int(out[1]) < bound


def test_extract_file_stops_at_its_page_size_limit(tmp_path) -> None:
    from larkspine import extract_file

    (tmp_path / "bomb.html.gz").write_bytes(_bomb(64 << 20))
    (tmp_path / "big.html").write_bytes(b"<p>x</p>" + b" " * LIMIT)
    (tmp_path / "ok.html.gz").write_bytes(gzip.compress(b"<p>ok</p>"))
    for name in ["bomb.html.gz", "big.html"]:
        with pytest.raises(ValueError, match=f"{name}: page too large: over the limit of 1 MiB"):
            extract_file(tmp_path / name, ["p::text"], max_page_size=LIMIT)
    assert extract_file(tmp_path / "ok.html.gz", ["p::text"], max_page_size=LIMIT) == [["ok"]]
    assert extract_file(tmp_path / "big.html", ["p::text"], max_page_size=2 * LIMIT) == [["x"]]
    with pytest.raises(ValueError, match="max_page_size must be a positive number"):
        extract_file(tmp_path / "big.html", ["p::text"], max_page_size=0)
