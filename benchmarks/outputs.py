#!/usr/bin/env python3
"""JSON Lines and CSV written a record at a time against a batch at a time.

Two measurements, each over the pages of ../shared/corpus/articles and ../shared/corpus/dense
(held in memory as WARC-like documents, COPIES times, so that reading is left out) with the
schema of examples/article.toml:

- write: the writers alone, over records and tables already extracted: ``write(record)`` per
  record (``json.dumps`` / ``csv.writer``) against ``write_table(table)`` (the engine's
  ``_records_text`` over the batch's buffers);
- extract+write: what the command does after reading, ``extract_records`` + ``write`` against
  ``extract_tables`` + ``write_table``, on 1 and 2 jobs.

Each pair runs ROUNDS times, interleaved (record path, batch path, record path, ...), so that
both see the same machine; the report gives the medians, records/s and MB/s (MB of output text
for "write", MB of HTML for "extract+write"), and the median of the per-round ratios.

Usage: python benchmarks/outputs.py [--rounds N] [--copies N]
"""

from __future__ import annotations

import argparse
import gzip
import os
import pathlib
import statistics
import sys
import time
from collections.abc import Callable
from typing import Any

REPO = pathlib.Path(__file__).resolve().parent.parent
CORPUS = REPO.parent / "shared" / "corpus"
sys.path.insert(0, str(REPO))

from larkspine.batch import extract_records, extract_tables  # noqa: E402
from larkspine.inputs import Document  # noqa: E402
from larkspine.outputs import CsvWriter, JsonLinesWriter, columns  # noqa: E402
from larkspine.schemafile import load_schema  # noqa: E402

SCHEMA = load_schema(str(REPO / "examples" / "article.toml"))


def documents(corpus: str, copies: int) -> list[Document]:
    paths = sorted((CORPUS / corpus).glob("*.html*"))
    if not paths:
        sys.exit(f"corpus not found: {CORPUS / corpus}")
    bodies = [(p.name, gzip.decompress(p.read_bytes()) if p.suffix == ".gz" else p.read_bytes()) for p in paths]
    return [
        Document(f"{corpus}.warc.gz", 1000 * i, f"https://example.org/{copy}/{name}", body, "utf-8", 200,
                 "2024-05-01T12:00:00Z", f"<urn:uuid:{i}>", "text/html")
        for i, (copy, (name, body)) in enumerate((c, b) for c in range(copies) for b in bodies)
    ]


def writer(fmt: str) -> Any:
    out = open(os.devnull, "wb")  # noqa: SIM115 - closed by the writer
    if fmt == "jsonl":
        return JsonLinesWriter(out, flush_each=False)
    return CsvWriter(out, columns(SCHEMA), flush_each=False)


class Counter:
    """A binary stream that only counts what it is given."""

    def __init__(self) -> None:
        self.size = 0

    def write(self, data: Any) -> int:
        self.size += len(data)
        return len(data)

    def flush(self) -> None:
        pass


def output_size(fmt: str, records: list[dict[str, Any]]) -> int:
    counter = Counter()
    w = JsonLinesWriter(counter) if fmt == "jsonl" else CsvWriter(counter, columns(SCHEMA))  # type: ignore[arg-type]
    for r in records:
        w.write(r)
    w.close()
    return counter.size


def timed(fn: Callable[[], None]) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def pair(rounds: int, slow: Callable[[], None], fast: Callable[[], None]) -> tuple[float, float, float]:
    """Median seconds of each, and the median of the per-round ratios slow/fast."""
    slows, fasts = [], []
    for _ in range(rounds):
        slows.append(timed(slow))
        fasts.append(timed(fast))
    ratios = [s / f for s, f in zip(slows, fasts)]
    return statistics.median(slows), statistics.median(fasts), statistics.median(ratios)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--copies", type=int, default=4)
    args = parser.parse_args()
    print(f"schema: examples/article.toml; {args.rounds} rounds, interleaved; medians")
    for corpus in ("articles", "dense"):
        docs = documents(corpus, args.copies)
        html_mb = sum(len(d.body) for d in docs) / 1e6
        print(f"\n{corpus}: {len(docs)} pages, {html_mb:.1f} MB of HTML")
        for fmt in ("jsonl", "csv"):
            records = list(extract_records(SCHEMA, docs))
            tables = list(extract_tables(SCHEMA, docs, date_text=True))
            out_mb = output_size(fmt, records) / 1e6

            def by_records() -> None:
                w = writer(fmt)
                for r in records:
                    w.write(r)
                w.close()

            def by_tables() -> None:
                w = writer(fmt)
                for t in tables:
                    w.write_table(t)
                w.close()

            slow, fast, ratio = pair(args.rounds, by_records, by_tables)
            print(f"  {fmt:5} write          records {len(docs) / slow:>9,.0f} rec/s {out_mb / slow:7.1f} MB/s | "
                  f"batch {len(docs) / fast:>9,.0f} rec/s {out_mb / fast:7.1f} MB/s | {ratio:.2f}x")
            for jobs in (1, 2):

                def extract_by_records() -> None:
                    w = writer(fmt)
                    for r in extract_records(SCHEMA, docs, jobs=jobs):
                        w.write(r)
                    w.close()

                def extract_by_tables() -> None:
                    w = writer(fmt)
                    for t in extract_tables(SCHEMA, docs, jobs=jobs, date_text=True):
                        w.write_table(t)
                    w.close()

                slow, fast, ratio = pair(args.rounds, extract_by_records, extract_by_tables)
                print(f"  {fmt:5} extract+write -j{jobs} records {len(docs) / slow:>7,.0f} rec/s {html_mb / slow:7.1f} MB/s | "
                      f"batch {len(docs) / fast:>7,.0f} rec/s {html_mb / fast:7.1f} MB/s | {ratio:.2f}x")


if __name__ == "__main__":
    main()
