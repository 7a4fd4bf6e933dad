#!/usr/bin/env python3
"""Reading WARC.gz archives: the native reader (src/reader/, through the private test module)
against the command's Python reader and against FastWARC iterating every record, in MB of
HTML per CPU second of the reading thread.

The archive is built from the pages of ../shared/corpus/articles (each page COPIES times), as
crawlers write them: one gzip member per record, and beside each response a request and a
metadata record; every tenth response is an image. Each reader reads it from memory and hands
out every HTML page's body:

- native: ``_larkspine_testing.read_archive`` (inflate, WARC, HTTP in C++; the pages come back
  as Python tuples, whose making is counted: every body is copied into a ``bytes``, and the test
  entry holds all pages until the end);
- native-only: the same, each page's body dropped as it comes (what a reader feeding the scan
  page by page costs);
- python: ``larkspine.inputs.read_warc``, today's reading path (its zlib-ng or zlib inflate,
  FastWARC's record parsing, HTTP in Python);
- fastwarc: ``fastwarc.warc.ArchiveIterator`` with its HTTP parsing, reading every record's
  block: the floor of a peer that does no page selection, decoding or failure handling.

Rounds are interleaved (every reader once per round) and the best and median CPU seconds of
the reading thread are reported, with the ratios. The machine is shared: the figures are
indicative. Run it under ``nice``.

Usage: nice python benchmarks/reader.py [--rounds N] [--copies N]
"""

from __future__ import annotations

import argparse
import gzip
import io
import pathlib
import statistics
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from tests.warcs import Response, corpus_pages, record_bytes  # noqa: E402


def build_archive(copies: int) -> tuple[bytes, int, int]:
    """The archive, the HTML bytes it holds and its count of HTML pages."""
    pages = corpus_pages()
    if not pages:
        sys.exit("corpus not found: ../shared/corpus/articles")
    out = io.BytesIO()
    html = count = 0
    for copy in range(copies):
        for i, (name, body) in enumerate(pages):
            url = f"https://news.example/{copy}/{name}"
            records = [Response(url, b"", warc_type="request")]
            if i % 10 == 9:
                records.append(Response(url, body[:20000], content_type="image/jpeg"))
            else:
                records.append(Response(url, body))
                html += len(body)
                count += 1
            records.append(Response(url, b"fetchTimeMs: 120\r\n", warc_type="metadata"))
            for r in records:
                out.write(gzip.compress(record_bytes(r), compresslevel=6, mtime=0))
    return out.getvalue(), html, count


def native(data: bytes) -> int:
    import _larkspine_testing as testing

    _, items, _, _ = testing.read_archive(data)
    return sum(1 for item in items if item[0] == "page")


def native_only(data: bytes) -> int:
    import _larkspine_testing as testing

    _, items, _, _ = testing.read_archive(data, 64 << 20, False, 0, False)
    return sum(1 for item in items if item[0] == "page")


def python_reader(data: bytes) -> int:
    from larkspine.inputs import Document, read_warc

    return sum(1 for item in read_warc(io.BytesIO(data), "bench.warc.gz") if isinstance(item, Document))


def fastwarc(data: bytes) -> int:
    from fastwarc.warc import ArchiveIterator, WarcRecordType

    n = 0
    for record in ArchiveIterator(io.BytesIO(data), parse_http=True):
        body = record.reader.read()
        if record.record_type == WarcRecordType.response and body:
            n += 1
    return n


READERS = {"native": native, "native-only": native_only, "python": python_reader, "fastwarc": fastwarc}


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--copies", type=int, default=3)
    args = ap.parse_args()
    data, html, count = build_archive(args.copies)
    print(f"archive: {len(data) / 1e6:.1f} MB compressed, {html / 1e6:.1f} MB of HTML in {count} pages")
    seen = {name: reader(data) for name, reader in READERS.items()}  # warm up, and check the counts
    print("pages handed out:", seen)
    times: dict[str, list[float]] = {name: [] for name in READERS}
    for _ in range(args.rounds):
        for name, reader in READERS.items():
            start = time.thread_time()
            reader(data)
            times[name].append(time.thread_time() - start)
    for name, t in times.items():
        print(f"{name:9s} best {html / 1e6 / min(t):6.0f} MB/CPU s  median {html / 1e6 / statistics.median(t):6.0f}"
              f"  (CPU s: best {min(t):.3f}, median {statistics.median(t):.3f})")
    best = {name: min(t) for name, t in times.items()}
    med = {name: statistics.median(t) for name, t in times.items()}
    for mine, other in (("native", "python"), ("native-only", "python"), ("native-only", "fastwarc")):
        print(f"{mine} vs {other}: {best[other] / best[mine]:.2f}x less CPU (best), "
              f"{med[other] / med[mine]:.2f}x (median)")


if __name__ == "__main__":
    main()
