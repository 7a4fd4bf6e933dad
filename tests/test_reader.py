"""The native archive reader (src/reader/), observed through ``_larkspine_testing.read_archive``.

It is compared with three readers: the command's Python reader (the same pages, offsets, metadata,
failure lines and counts on the archives the tests build, except where that reader is wrong and this
one is sound: both named below), warcio and FastWARC (the same records, offsets and headers on
generated archives, bad records and ARC files included). Reads cut at any size give the same
result, and the complexity cases (many tiny members, long header lines, many chunks) cost linear
time, counted in tests/complexity_cases.py.
"""

from __future__ import annotations

import gzip
import io
import random
import re
import zlib
from collections import Counter
from typing import Any

import pytest

from larkspine.inputs import Document, InputFailure, ReadStats

from .reference_reader import read_inputs
from .warcs import Response, record_bytes, warc_bytes

Item = tuple[Any, ...]

pytestmark = pytest.mark.usefixtures("testing")


def native(data: bytes, max_page_size: int = 64 << 20, only_2xx: bool = False, step: int = 0) -> tuple[str, list[Item], dict[str, Any]]:
    import _larkspine_testing as T

    kind, items, counts, consumed = T.read_archive(data, max_page_size, only_2xx, step)
    assert consumed <= len(data)
    return kind, items, counts


def python_reader(data: bytes, tmp_path: Any, max_page_size: int | None = None, only_2xx: bool = False) -> tuple[list[Item], dict[str, Any]]:
    """What the Python reader the package had makes of ``data``, in read_archive's shapes."""
    pytest.importorskip("fastwarc")
    path = tmp_path / "input.warc.gz"
    path.write_bytes(data)
    stats = ReadStats()
    out: list[Item] = []
    for it in read_inputs([str(path)], stats, max_page_size=max_page_size, only_2xx=only_2xx):
        if isinstance(it, Document):
            out.append(("page", it.offset, it.url, it.status, it.date, it.record_id, it.content_type, it.charset, it.body))
        else:
            assert isinstance(it, InputFailure)
            out.append(("failure", it.offset, it.reason))
    counts = {"skipped": stats.skipped, "requests": stats.requests, "other_records": stats.other_records,
              "non_html": stats.non_html, "not_2xx": stats.not_2xx, "kinds": stats.skipped_kinds}
    return out, counts


def pages(items: list[Item]) -> list[Item]:
    return [i for i in items if i[0] == "page"]


def failures(items: list[Item]) -> list[str]:
    return [i[2] for i in items if i[0] == "failure"]


# --- the same as the Python reader on the archives its tests build ------------------------------

def _readers_cases() -> dict[str, Any]:
    pytest.importorskip("fastwarc")
    from . import test_readers

    return test_readers.CASES


# Where the Python reader keeps a record from a member whose checksum is wrong (the damage lay
# after the record's block, so FastWARC read the record before zlib found the member bad) or reads
# a record out of a gzipped WARC stored inside a page's body: there the native reader drops the
# damaged member's record and goes on at the next member that starts a record.
DAMAGED = {"corrupt-members", "stored-corrupt-with-inner"}
CASE_NAMES = ["large-broken-member", "clean", "stored-with-gzip-in-bodies", "compressed-with-gzip-in-bodies",
              "corrupt-members", "corrupt-first", "cut-inside-last", "trailing-junk", "zero-padding",
              "stored-corrupt-with-inner", "one-stream", "gzipped-page"]


@pytest.mark.parametrize("case", CASE_NAMES)
def test_the_same_pages_failures_and_counts_as_the_python_reader(tmp_path, case: str) -> None:
    data = _readers_cases()[case]()
    expected, expected_counts = python_reader(data, tmp_path)
    kind, items, counts = native(data)
    if case == "corrupt-first":
        # The Python reader failed an archive whose first member is corrupt as a whole; here
        # it is skipped to the first member that starts a record, as any corrupt member is.
        (reason,) = failures(items)
        found = pages(items)
        assert reason.startswith("corrupt WARC: ") and reason.endswith(f"; bytes 0 to {found[0][1]} skipped")
        assert [p[2] for p in found] == [f"http://r.example/{i}" for i in range(2, 40) if i % 7 not in (3, 5)]
        return
    if case not in DAMAGED:
        assert items == expected
        assert counts == expected_counts
        return
    # Every page read here is a record as it was written (none from a damaged member), every
    # such page the Python reader finds is found here too, and every failure names skipped bytes.
    from . import test_readers as R

    written = R._responses(60) if case == "corrupt-members" else R._with_inner_members(40)
    bodies = {r.url: r.body for r in written}
    bodies["http://inner.example/"] = b"<title>inner</title>"  # a record a body holds, gzipped
    assert all(p[8] == bodies[p[2]] for p in pages(items))
    # (A record inside a damaged body is found by either reader only by chance.)
    genuine = {p for p in pages(expected) if p[8] == bodies.get(p[2]) and p[2] != "http://inner.example/"}
    assert genuine <= set(pages(items))
    assert len(genuine) < len(pages(expected)) or len(pages(items)) > len(genuine)
    assert failures(items) and all(" skipped" in f for f in failures(items))


def test_a_damaged_members_record_is_dropped_with_it() -> None:
    from . import test_readers as R

    data, offsets = R._archive(R._responses(30))
    damaged = R._damaged(data, offsets, {4: "byte", 9: "header", 20: "cut"})
    # Offsets after the damage move only by what "cut" removed.
    shift = len(data) - len(damaged)
    new_offsets = [o if i <= 20 else o - shift for i, o in enumerate(offsets)]
    _, items, _ = native(damaged)
    kept = {p[1] for p in pages(items)}
    assert not kept & {new_offsets[4], new_offsets[9], new_offsets[20]}
    wanted_pages = {new_offsets[i] for i in range(30) if i not in (4, 9, 20) and i % 7 not in (3, 5)}
    assert kept == wanted_pages
    reasons = failures(items)
    assert len(reasons) == 3 and all(r.startswith("corrupt WARC after the record at offset ") for r in reasons)
    # The skipped ranges start at the damaged members and end at the next members.
    ranges = [tuple(map(int, re.search(r"bytes (\d+) to (\d+) skipped", r).groups())) for r in reasons]  # type: ignore[union-attr]
    assert ranges == [(new_offsets[4], new_offsets[5]), (new_offsets[9], new_offsets[10]),
                      (new_offsets[20], new_offsets[21])]


@pytest.mark.parametrize("case", CASE_NAMES)
@pytest.mark.parametrize("step", [1, 3, 4096, 65537])
def test_reads_cut_anywhere_change_nothing(case: str, step: int) -> None:
    data = _readers_cases()[case]()
    assert native(data, step=step) == native(data)


# --- HTTP messages: the Python reader's pages and failures, one table -----------------------------

def _gz(b: bytes) -> bytes:
    return gzip.compress(b, mtime=0)


def _chunked(b: bytes, size: int, ext: bytes = b"") -> bytes:
    out = b"".join(b"%x%s\r\n%s\r\n" % (len(b[i : i + size]), ext, b[i : i + size]) for i in range(0, len(b), size))
    return out + b"0\r\n\r\n"


PAGE = b"<html><title>t</title><p>" + b"word " * 300 + b"</p></html>"
HTTP_CASES = {
    "plain": Response("http://h/1", PAGE),
    "charset quoted": Response("http://h/2", PAGE, content_type='text/html; charset="ISO-8859-1"'),
    "xhtml": Response("http://h/3", PAGE, content_type="application/xhtml+xml"),
    "upper media": Response("http://h/4", PAGE, content_type="TEXT/HTML ; Charset=utf-8"),
    "image": Response("http://h/5", b"\x89PNG" * 100, content_type="image/png"),
    "no content type": Response("http://h/6", PAGE, content_type=""),
    "404": Response("http://h/7", PAGE, status="404 Not Found"),
    "no status": Response("http://h/8", PAGE, status=""),
    "gzip": Response("http://h/9", _gz(PAGE), headers=("Content-Encoding: gzip",)),
    "gzip two members": Response("http://h/10", _gz(PAGE[:100]) + _gz(PAGE[100:]) + b"\0" * 5, headers=("Content-Encoding: gzip",)),
    "deflate zlib": Response("http://h/11", zlib.compress(PAGE), headers=("Content-Encoding: deflate",)),
    "deflate raw": Response("http://h/12", zlib.compressobj(wbits=-15).compress(PAGE) + zlib.compressobj(wbits=-15).flush(), headers=("Content-Encoding: deflate",)),
    "chunked": Response("http://h/13", _chunked(PAGE, 37), headers=("Transfer-Encoding: chunked",)),
    "chunked extensions": Response("http://h/14", _chunked(PAGE, 500, b";a=b"), headers=("Transfer-Encoding: chunked",)),
    "chunked gzip": Response("http://h/15", _chunked(_gz(PAGE), 7), headers=("Transfer-Encoding: chunked", "Content-Encoding: gzip")),
    "bad chunk size": Response("http://h/16", b"zz\r\n" + PAGE, headers=("Transfer-Encoding: chunked",)),
    "chunk cut": Response("http://h/17", b"ffff\r\n" + PAGE, headers=("Transfer-Encoding: chunked",)),
    "brotli": Response("http://h/18", PAGE, headers=("Content-Encoding: br",)),
    "bad gzip": Response("http://h/19", zlib.compress(PAGE)[:30], headers=("Content-Encoding: gzip",)),
    "gzip cut": Response("http://h/20", _gz(PAGE)[:-20], headers=("Content-Encoding: gzip",)),
    "gzip trailing junk": Response("http://h/21", _gz(PAGE) + b"junk", headers=("Content-Encoding: gzip",)),
    "empty with length": Response("http://h/22", b"", headers=("Content-Length: 500",)),
    "bare LF header": Response("http://h/23", PAGE, headers=("X: y\n\nZ: w",)),
    "0x chunk size": Response("http://h/24", b"0x1_0\r\n" + PAGE[:16] + b"\r\n0\r\n\r\n", headers=("Transfer-Encoding: chunked",)),
    "request": Response("http://h/25", b"", warc_type="request"),
    "metadata": Response("http://h/26", b"via: x", warc_type="metadata"),
    "warcinfo": Response("http://h/27", b"software: x", warc_type="warcinfo"),
    "dated": Response("http://h/28", PAGE, date="2024-02-29T23:59:59.123456789Z"),
    "bad date": Response("http://h/29", PAGE, date="2023-02-29T00:00:00Z"),
}


@pytest.mark.parametrize("compress", [True, False], ids=["gz", "plain"])
@pytest.mark.parametrize("only_2xx", [False, True])
@pytest.mark.parametrize("limit", [None, 1000])
def test_http_messages_read_as_the_python_reader_reads_them(tmp_path, compress, only_2xx, limit) -> None:
    data, _ = warc_bytes(HTTP_CASES.values(), compress=compress)
    expected, expected_counts = python_reader(data, tmp_path, max_page_size=limit, only_2xx=only_2xx)
    _, items, counts = native(data, max_page_size=limit or 64 << 20, only_2xx=only_2xx)
    assert items == expected
    assert counts == expected_counts
    # The table reaches every kind of outcome.
    assert pages(items) and len(failures(items)) >= 5 and counts["non_html"] >= 2


def test_the_kinds_of_skipped_records_are_capped() -> None:
    data, _ = warc_bytes([Response(f"http://k/{i}", b"x", content_type=f"image/x-{i}") for i in range(200)])
    _, items, counts = native(data)
    assert counts["non_html"] == 200 and not items
    assert len(counts["kinds"]) == 65 and counts["kinds"]["(other kinds)"] == 200 - 64
    assert sum(counts["kinds"].values()) == counts["skipped"]


# --- bad WARC records: resynchronised at the next line starting WARC/ -----------------------------

def _records(n: int) -> list[bytes]:
    return [record_bytes(Response(f"http://b/{i}", b"<title>%d</title>" % i + b"x" * (50 + 17 * i))) for i in range(n)]


def _set_length(record: bytes, delta: int) -> bytes:
    m = re.search(rb"\r\nContent-Length: (\d+)\r\n", record)
    assert m
    return record[: m.start(1)] + str(int(m.group(1)) + delta).encode() + record[m.end(1) :]


def _drop_header(record: bytes, name: bytes) -> bytes:
    return re.sub(rb"\r\n" + name + rb": [^\r]*", b"", record, count=1)


BAD_RECORDS = {
    # name: (how record 40 of 102 is spoiled, pages kept, failures expected)
    "10 bytes short": (lambda r: _set_length(r, -10), 102, ["stray bytes"]),
    "10 bytes long": (lambda r: _set_length(r, +10), 101, ["runs into the next record"]),
    "far too long": (lambda r: _set_length(r, +5000), 101, ["runs into the next record"]),
    "stray line after": (lambda r: r + b"garbage line\r\n", 102, ["stray bytes"]),
    "no WARC-Type": (lambda r: _drop_header(r, b"WARC-Type"), 101, ["no WARC-Type"]),
    "no Content-Length": (lambda r: _drop_header(r, b"Content-Length"), 101, ["no Content-Length"]),
    "bad Content-Length": (lambda r: r.replace(b"Content-Length: ", b"Content-Length: x", 1), 101, ["no Content-Length"]),
}


@pytest.mark.parametrize("case", list(BAD_RECORDS))
@pytest.mark.parametrize("compress", [False, True], ids=["plain", "gz"])
def test_a_bad_record_does_not_lose_the_rest(case: str, compress: bool) -> None:
    spoil, kept, reasons = BAD_RECORDS[case]
    records = _records(102)
    records[40] = spoil(records[40])
    if compress:
        offsets, out = [], b""
        for r in records:
            offsets.append(len(out))
            out += _gz(r)
        data = out
    else:
        offsets = [sum(len(r) for r in records[:i]) for i in range(len(records))]
        data = b"".join(records)
    _, items, _ = native(data)
    got = pages(items)
    assert len(got) == kept
    assert [p[2] for p in got if p[2] != "http://b/40"] == [f"http://b/{i}" for i in range(102) if i != 40]
    assert [p[1] for p in got if p[2] != "http://b/40"] == [o for i, o in enumerate(offsets) if i != 40]
    found = failures(items)
    assert len(found) == len(reasons) and all(want in f for want, f in zip(reasons, found))
    if "stray bytes" in found[0] and not compress:
        start, end = map(int, re.search(r"bytes (\d+) to (\d+) skipped", found[0]).groups())  # type: ignore[union-attr]
        assert end == offsets[41] and start < end


def test_the_python_reader_loses_the_records_after_a_short_one(tmp_path) -> None:
    # Why the native reader resynchronises: today's reader keeps 2 records of 102 here.
    records = _records(102)
    records[1] = _set_length(records[1], -10)
    expected, _ = python_reader(b"".join(records), tmp_path)
    _, items, _ = native(b"".join(records))
    assert len(pages(items)) == 102 > len(pages(expected))


# --- warcio and FastWARC: the same records, offsets and headers -----------------------------------

def _mixed(n: int, seed: int) -> list[Response]:
    rng = random.Random(seed)
    kinds = ["page", "page", "page", "image", "request", "metadata", "revisit", "404", "chunked", "gzip"]
    out = []
    for i in range(n):
        body = b"<title>%d</title>" % i + bytes(rng.randrange(32, 127) for _ in range(rng.randrange(0, 3000)))
        kind = rng.choice(kinds)
        if kind == "image":
            out.append(Response(f"http://m/{i}", body, content_type="image/jpeg"))
        elif kind in ("request", "metadata", "revisit"):
            out.append(Response(f"http://m/{i}", body, warc_type=kind))
        elif kind == "404":
            out.append(Response(f"http://m/{i}", body, status="404 Not Found"))
        elif kind == "chunked":
            out.append(Response(f"http://m/{i}", _chunked(body, 100), headers=("Transfer-Encoding: chunked",)))
        elif kind == "gzip":
            out.append(Response(f"http://m/{i}", _gz(body), headers=("Content-Encoding: gzip",)))
        else:
            out.append(Response(f"http://m/{i}", body))
    return out


def _warcio_records(data: bytes) -> list[dict[str, Any]]:
    archive = pytest.importorskip("warcio.archiveiterator")
    out = []
    it = archive.ArchiveIterator(io.BytesIO(data), arc2warc=False)
    for rec in it:
        http = rec.http_headers
        ctype = http.get_header("Content-Type") if http is not None else None
        body = rec.content_stream().read()  # before the offset, which ends the record's reading
        out.append({
            "type": rec.rec_type, "offset": it.get_record_offset(),
            "url": rec.rec_headers.get_header("WARC-Target-URI") or rec.rec_headers.get_header("uri"),
            "id": rec.rec_headers.get_header("WARC-Record-ID"),
            "status": int(http.get_statuscode()) if http is not None and rec.rec_type == "response" else None,
            "media": ctype.split(";")[0].strip().lower() if ctype else None,
            "body": body,
        })
    return out


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("compress", [True, False], ids=["gz", "plain"])
def test_the_same_records_as_warcio(seed: int, compress: bool) -> None:
    data, offsets = warc_bytes(_mixed(60, seed), compress=compress)
    theirs = _warcio_records(data)
    assert [r["offset"] for r in theirs] == offsets
    _, items, counts = native(data)
    html = [r for r in theirs if r["type"] == "response" and r["media"] == "text/html"]
    assert [(p[1], p[2], p[3], p[5], p[8]) for p in pages(items)] == [
        (r["offset"], r["url"], r["status"], r["id"], r["body"]) for r in html]
    types = Counter(r["type"] for r in theirs if r["type"] != "response")
    assert counts["requests"] == types.pop("request", 0)
    assert counts["other_records"] == sum(types.values())
    assert counts["non_html"] == sum(r["type"] == "response" and r["media"] != "text/html" for r in theirs)


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("compress", [True, False], ids=["gz", "plain"])
def test_the_same_records_as_fastwarc(seed: int, compress: bool) -> None:
    warc = pytest.importorskip("fastwarc.warc")
    data, offsets = warc_bytes(_mixed(60, seed + 10), compress=compress)
    theirs = []
    for rec in warc.ArchiveIterator(io.BytesIO(data), parse_http=True):
        theirs.append((rec.stream_pos, rec.record_type == warc.WarcRecordType.response, rec.headers.get("WARC-Target-URI"),
                       rec.headers.get("WARC-Record-ID"), rec.headers.get("WARC-Date"),
                       rec.http_headers.status_code if rec.http_headers is not None else None,
                       (rec.http_headers.get("Content-Type") or "") if rec.http_headers is not None else ""))
    assert [t[0] for t in theirs] == offsets
    _, items, _ = native(data)
    html = [t for t in theirs if t[1] and t[6].startswith("text/html")]
    assert [(p[1], p[2], p[5], p[4], p[3]) for p in pages(items)] == [
        (t[0], t[2], t[3], t[4], t[5]) for t in html]


# --- ARC files --------------------------------------------------------------------------------

def arc_file(version: int, bodies: list[tuple[str, bytes]]) -> tuple[bytes, list[int]]:
    """An ARC file (v1 or v2 headers) and the offset of each record after the file header."""
    if version == 1:
        desc = b"1 0 Larkspine\nURL IP-address Archive-date Content-type Archive-length\n\n"
    else:
        desc = (b"2 0 Larkspine\nURL IP-address Archive-date Content-type Result-code Checksum Location "
                b"Offset Filename Archive-length\n\n")
    out = b"filedesc://t.arc 0.0.0.0 20200101000000 text/plain %d\n" % len(desc) + desc + b"\n"
    offsets = []
    for url, block in bodies:
        offsets.append(len(out))
        if version == 1:
            out += b"%s 10.0.0.1 20210304050607 text/html %d\n" % (url.encode(), len(block))
        else:
            out += b"%s 10.0.0.1 20210304050607 text/html 200 - - %d t.arc %d\n" % (url.encode(), len(out), len(block))
        out += block + b"\n"
    return out, offsets


def _http(body: bytes, ctype: str = "text/html") -> bytes:
    return b"HTTP/1.0 200 OK\r\nContent-Type: %s\r\nContent-Length: %d\r\n\r\n%s" % (ctype.encode(), len(body), body)


ARC_BODIES = [("http://a.example/%d" % i, _http(b"<title>%d</title>" % i + b"y" * i * 40, "image/gif" if i % 4 == 3 else "text/html"))
              for i in range(12)] + [("dns:a.example", b"20210304050607\na.example. 300 IN A 10.0.0.1")]


@pytest.mark.parametrize("version", [1, 2])
@pytest.mark.parametrize("compress", [False, True], ids=["plain", "gz"])
def test_arc_records_are_read_with_url_date_and_type(version: int, compress: bool) -> None:
    data, offsets = arc_file(version, ARC_BODIES)
    if compress:
        # One member per record, as crawlers wrote them: the file header, then each record.
        cuts = [0] + offsets + [len(data)]
        members = [data[a:b] for a, b in zip(cuts, cuts[1:])]
        offsets = []
        out = b""
        for m in members:
            offsets.append(len(out))
            out += _gz(m)
        offsets = offsets[1:]
        data = out
    kind, items, counts = native(data)
    assert kind == "arc"
    want = [(offsets[i], url, 200, "2021-03-04T05:06:07Z", None, "text/html", None)
            for i, (url, _) in enumerate(ARC_BODIES) if i % 4 != 3 and url.startswith("http")]
    assert [p[1:8] for p in pages(items)] == want
    assert [p[8] for p in pages(items)] == [b"<title>%d</title>" % i + b"y" * i * 40 for i in range(12) if i % 4 != 3]
    assert counts["kinds"] == {"filedesc": 1, "image/gif": 3, "non-HTTP response": 1}
    assert not failures(items)


def test_arc_records_agree_with_warcio() -> None:
    data, offsets = arc_file(1, ARC_BODIES)
    theirs = [r for r in _warcio_records(data) if r["type"] == "response" and r["media"] == "text/html"]
    _, items, _ = native(data)
    assert [(p[1], p[2], p[8]) for p in pages(items)] == [(r["offset"], r["url"], r["body"]) for r in theirs]
    assert len(theirs) == 9


def test_a_bad_arc_record_is_skipped_to_the_next_header() -> None:
    bodies = list(ARC_BODIES)
    data, offsets = arc_file(1, bodies)
    # Record 5's length says 7 bytes fewer: its last bytes stand where a header should.
    line_end = data.index(b"\n", offsets[5])
    head = data[offsets[5] : line_end]
    n = int(head.rsplit(b" ", 1)[1])
    spoiled = data[: offsets[5]] + head.rsplit(b" ", 1)[0] + b" %d" % (n - 7) + data[line_end:]
    _, items, _ = native(spoiled)
    assert [p[2] for p in pages(items)] == [u for i, (u, _) in enumerate(bodies) if i % 4 != 3 and u.startswith("http")]
    assert len(failures(items)) == 1 and "malformed ARC after the record at offset" in failures(items)[0]


# --- inputs that are no archive -------------------------------------------------------------------

@pytest.mark.parametrize("data, expected", [
    (b"", ("page", [("page", None, None, None, None, None, None, None, b"")])),
    (b"<p>x</p>", ("page", [("page", None, None, None, None, None, None, None, b"<p>x</p>")])),
    (_gz(b"<p>x</p>") + _gz(b"<p>y</p>"), ("page", [("page", None, None, None, None, None, None, None, b"<p>x</p><p>y</p>")])),
    (_gz(b"<p>x</p>")[:-3], ("page", [("failure", None, "truncated gzip data: the file ends inside a compressed member")])),
    (_gz(b"<p>x</p>") + b"junk", ("page", [("failure", None, "Error -3 while decompressing data: incorrect header check")])),
    (b"x" * 2000, ("page", [("failure", None, "page too large: over the limit of 1000 bytes (max page size)")])),
])
def test_an_input_that_is_no_archive_is_one_page(data: bytes, expected: tuple[str, list[Item]]) -> None:
    kind, items, _ = native(data, max_page_size=1000)
    assert (kind, items) == expected


def test_gzip_header_fields_are_read_by_the_member_reader() -> None:
    # FEXTRA, FNAME, FCOMMENT and FHCRC on every member of a WARC.gz.
    records = _records(5)
    out, offsets = b"", []
    for r in records:
        deflated = zlib.compressobj(wbits=-15)
        body = deflated.compress(r) + deflated.flush()
        head = b"\x1f\x8b\x08\x1e" + b"\0" * 4 + b"\x00\xff" + b"\x04\x00ab\x01\x00" + b"name\0" + b"comment\0"
        head += (zlib.crc32(head) & 0xFFFF).to_bytes(2, "little")
        offsets.append(len(out))
        out += head + body + zlib.crc32(r).to_bytes(4, "little") + len(r).to_bytes(4, "little")
    assert gzip.decompress(out) == b"".join(records)
    _, items, _ = native(out)
    assert [p[1] for p in pages(items)] == offsets and not failures(items)


# --- Size hints: a page's buffer sized before it is read, never trusted -------------------------

HINT_LIMIT = 64 << 10
_RNG = random.Random(26)
_BODY = b"<title>h</title>" + bytes(_RNG.choice(b"abcdefgh ") for _ in range(50_000))


# Longer than one read (64 KiB): a buffer grown as it is read would not come out at its size.
_LONG = _BODY * 3


def _buffer(data: bytes, hints: Any, max_page_size: int = 64 << 20) -> list[int]:
    """The capacity of each page's buffer as read."""
    import _larkspine_testing as T

    _, items, _, _ = T.read_archive(data, max_page_size, False, 0, 2, hints)
    return [int(i[8]) for i in pages(items)]


def _block(resp: Response) -> int:
    """What a record's block holds after its HTTP header: the body as sent."""
    return len(resp.http()) - resp.http().index(b"\r\n\r\n") - 4


@pytest.mark.parametrize(
    "data, hints, max_page_size, capacity",
    [
        # Plain: the file's size; gzip: ISIZE; identity HTTP: the rest of the block; chunked
        # identity: the rest of the block, an upper bound of the body.
        (_LONG, True, 64 << 20, len(_LONG)),
        (_gz(_LONG), True, 64 << 20, len(_LONG)),
        (warc_bytes([Response("http://h/", _LONG)])[0], None, 64 << 20, len(_LONG)),
        (warc_bytes([Response("http://h/", _chunked(_LONG, 999), headers=("Transfer-Encoding: chunked",))])[0],
         None, 64 << 20, _block(Response("http://h/", _chunked(_LONG, 999), headers=("Transfer-Encoding: chunked",)))),
        # A gzip body (not chunked) is gathered, and its trailer read, before it is decoded.
        (warc_bytes([Response("http://h/", _gz(_LONG), headers=("Content-Encoding: gzip",))])[0], None, 64 << 20,
         len(_LONG)),
        # A hint past the limit reserves the limit, not what it claims.
        (_LONG, (1 << 40, None), 160_000, 160_000),
        (_gz(_LONG), (len(_gz(_LONG)), 0xFFFFFFFF), 160_000, 160_000),
        # An ISIZE larger than deflate can give for the file is not believed past that ratio.
        (_gz(b"x"), (len(_gz(b"x")), 0xFFFFFFFF), 64 << 20, len(_gz(b"x")) * 1032),
    ],
    ids=["plain", "gzip", "warc", "warc-chunked", "warc-gzip", "plain-capped", "gzip-capped", "gzip-ratio"],
)
def test_the_page_buffer_is_sized_from_the_hints(data: bytes, hints: Any, max_page_size: int, capacity: int) -> None:
    assert _buffer(data, hints, max_page_size) == [capacity]


_HINTED_INPUTS = {
    "plain": _BODY[:HINT_LIMIT - 1],
    "plain at the limit": (_BODY * 2)[:HINT_LIMIT],
    "plain over the limit": (_BODY * 2)[:HINT_LIMIT + 1],
    "gzip": _gz(_BODY),
    "gzip over the limit": _gz(_BODY + b"y" * HINT_LIMIT),
    # ISIZE is the last member's length only: the hint is far too small.
    "gzip two members": _gz(_BODY[:40_000]) + _gz(_BODY[40_000:40_010]),
    "gzip truncated": _gz(_BODY)[:-100],
    "warc": warc_bytes([Response("http://h/", _BODY)])[0],
}


@pytest.mark.parametrize("name", list(_HINTED_INPUTS))
@pytest.mark.parametrize(
    "hints",
    [True, (0, 0), (1, 1), (1 << 40, 0xFFFFFFFF), (None, 0xFFFFFFFF), (7, None)],
    ids=["truthful", "zero", "one", "huge", "isize-huge", "remaining-7"],
)
def test_a_wrong_hint_costs_a_reallocation_and_changes_nothing_read(name: str, hints: Any) -> None:
    import _larkspine_testing as T

    data = _HINTED_INPUTS[name]
    for step in [0, 1000]:
        assert T.read_archive(data, HINT_LIMIT, False, step, 1, hints) == T.read_archive(data, HINT_LIMIT, False, step)
