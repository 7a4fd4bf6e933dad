#!/usr/bin/env python3
"""End to end over a WARC: `larkspine extract` against reading the archive alone and against
the same job written with parsel, on 1 and 2 threads; and the pipeline's cost per page
against bare Plan.extract_grouped over the same pages.

The archive is built from the pages of ../shared/corpus/articles (each page COPIES times,
one gzip member per record, as crawlers write them) with the schema of
examples/article.toml. Throughput is in MB of uncompressed HTML per second and pages per
second. Every variant runs ROUNDS times, interleaved, in this one process; the median is
reported. The machine's own gain from a second thread (hashlib.sha256 over large buffers,
which releases the interpreter lock) is measured in the same run, since the second core
is often busy with other work.

Usage: python benchmarks/batch.py [--rounds N] [--copies N]
"""

from __future__ import annotations

import argparse
import hashlib
import io
import json
import os
import pathlib
import statistics
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO))

import larkspine  # noqa: E402
from larkspine.batch import extract_records, page_label  # noqa: E402
from larkspine.cli import cli  # noqa: E402
from larkspine.inputs import Document, read_inputs  # noqa: E402
from larkspine.outputs import JsonLinesWriter  # noqa: E402
from larkspine.schemafile import load_schema  # noqa: E402
from tests.warcs import Response, corpus_pages, warc_bytes  # noqa: E402

SCHEMA_FILE = REPO / "examples" / "article.toml"


def build_archive(folder: pathlib.Path, copies: int) -> pathlib.Path:
    pages = corpus_pages()
    if not pages:
        sys.exit("corpus not found: ../shared/corpus/articles")
    responses = [
        Response(f"https://news.example/{copy}/{name}", body) for copy in range(copies) for name, body in pages
    ]
    path = folder / "corpus.warc.gz"
    path.write_bytes(warc_bytes(responses)[0])
    return path


def read_only(warc: str) -> tuple[int, int]:
    pages = size = 0
    for doc in read_inputs([warc]):
        assert isinstance(doc, Document)
        pages += 1
        size += len(doc.body)
    return pages, size


def larkspine_command(warc: str, jobs: int) -> None:
    cli.main(["extract", str(SCHEMA_FILE), warc, "-o", os.devnull, "--jobs", str(jobs)],
             prog_name="larkspine", standalone_mode=False)


def pipeline(docs: list[Document], schema: larkspine.Schema, jobs: int = 1) -> None:
    """The command's work on pages already read: records in order, JSON Lines."""
    writer = JsonLinesWriter(io.BytesIO())
    for record in extract_records(schema, docs, jobs=jobs):
        writer.write(record)


class ParselJob:
    """The same schema and records with parsel, on the same reader and the same encodings."""

    def __init__(self, schema: larkspine.Schema) -> None:
        from larkspine import Field, Group

        self.fields: list[tuple[str, str, bool, list[tuple[str, str, bool]] | None]] = []
        for name, decl in schema.fields.items():
            if isinstance(decl, Group):
                subs = [(n, f.query, f.first) for n, f in decl.fields.items()]
                self.fields.append((name, decl.container, False, subs))
            else:
                assert isinstance(decl, Field)
                self.fields.append((name, decl.query, decl.first, None))

    def record(self, doc: Document) -> dict[str, object]:
        from parsel import Selector

        label = page_label(doc.charset) if doc.charset else None
        sel = Selector(body=doc.body, encoding=larkspine.detect_encoding(doc.body, label))
        out: dict[str, object] = {"_source": doc.source, "_offset": doc.offset, "_url": doc.url}
        for name, query, first, subs in self.fields:
            pick = sel.xpath if query.startswith("/") else sel.css
            if subs is None:
                out[name] = pick(query).get() if first else pick(query).getall()
            else:
                out[name] = [
                    {n: (row.css(q).get() if f else row.css(q).getall()) for n, q, f in subs} for row in pick(query)
                ]
        return out

    def run(self, warc: str, jobs: int) -> None:
        writer = JsonLinesWriter(io.BytesIO())
        docs = (d for d in read_inputs([warc]) if isinstance(d, Document))
        if jobs == 1:
            for doc in docs:
                writer.write(self.record(doc))
            return
        with ThreadPoolExecutor(jobs) as pool:
            for record in pool.map(self.record, docs):
                writer.write(record)


def bare_plan(schema: larkspine.Schema, bodies: list[tuple[bytes, str | None]]) -> None:
    plan = schema.plan
    for body, label in bodies:
        plan.extract_grouped(body, label)


def sha256_gain() -> float:
    buffers = [os.urandom(1 << 20) * 48 for _ in range(2)]

    def work(buf: bytes) -> None:
        hashlib.sha256(buf).digest()

    t0 = time.perf_counter()
    for b in buffers:
        work(b)
    one = time.perf_counter() - t0
    threads = [threading.Thread(target=work, args=(b,)) for b in buffers]
    t0 = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    two = time.perf_counter() - t0
    return one / two


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--copies", type=int, default=3)
    args = parser.parse_args()

    schema = load_schema(SCHEMA_FILE)
    with tempfile.TemporaryDirectory() as tmp:
        warc = str(build_archive(pathlib.Path(tmp), args.copies))
        compressed = os.path.getsize(warc)
        pages, size = read_only(warc)
        docs = [d for d in read_inputs([warc]) if isinstance(d, Document)]
        bodies = [(d.body, page_label(d.charset) if d.charset else None) for d in docs]
        job = ParselJob(schema)
        # The records are the same, field for field, before anything is timed.
        first = next(extract_records(schema, docs[:1]))
        assert json.dumps(first) and set(first) == set(job.record(docs[0]))

        variants = {
            "read the WARC only (floor)": lambda: read_only(warc),
            "larkspine extract, 1 job": lambda: larkspine_command(warc, 1),
            "larkspine extract, 2 jobs": lambda: larkspine_command(warc, 2),
            "parsel, same job, 1 thread": lambda: job.run(warc, 1),
            "parsel, same job, 2 threads": lambda: job.run(warc, 2),
            "pipeline, pages in memory (records, JSON), 1 job": lambda: pipeline(docs, schema),
            "bare Plan.extract_grouped, pages in memory": lambda: bare_plan(schema, bodies),
        }
        times: dict[str, list[float]] = {name: [] for name in variants}
        gains = []
        for _ in range(args.rounds):
            for name, run in variants.items():
                t0 = time.perf_counter()
                run()
                times[name].append(time.perf_counter() - t0)
            gains.append(sha256_gain())

    mb = size / 1e6
    print(f"{pages} pages ({args.copies} copies of the corpus), {mb:.1f} MB of HTML, {compressed / 1e6:.1f} MB "
          f"as WARC.gz; schema {SCHEMA_FILE.name}; median of {args.rounds} interleaved rounds")
    print(f"{'variant':<50} {'MB/s':>8} {'pages/s':>9} {'seconds':>8}")
    median = {name: statistics.median(t) for name, t in times.items()}
    for name, t in median.items():
        print(f"{name:<50} {mb / t:>8.1f} {pages / t:>9.0f} {t:>8.3f}")
    one, two = median["larkspine extract, 1 job"], median["larkspine extract, 2 jobs"]
    p1, p2 = median["parsel, same job, 1 thread"], median["parsel, same job, 2 threads"]
    print(f"2 jobs / 1 job: larkspine {one / two:.2f}x, parsel {p1 / p2:.2f}x; "
          f"the machine's own 2-thread gain (sha256): {statistics.median(gains):.2f}x")
    print(f"larkspine extract against parsel: {p1 / one:.1f}x (1 job), {p2 / two:.1f}x (2 jobs)")
    bare = median["bare Plan.extract_grouped, pages in memory"]
    overhead = median["pipeline, pages in memory (records, JSON), 1 job"] - bare
    print(f"per page: bare plan {bare / pages * 1e6:.0f} us; the pipeline adds {overhead / pages * 1e6:.0f} us "
          f"(named fields and rows, source keys, input order, JSON Lines), +{overhead / bare:.0%}")


if __name__ == "__main__":
    main()
