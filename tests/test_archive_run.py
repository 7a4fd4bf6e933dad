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
    import random

    from . import test_readers as R

    rng = random.Random(seed)
    data = bytearray(R._archive(R._with_inner_members(12) + R._responses(30, seed), level=rng.choice([0, 6]))[0])
    for _ in range(rng.randrange(1, 6)):
        i = rng.randrange(len(data))
        op = rng.randrange(4)
        if op == 0:
            data[i : i + 4] = bytes(rng.randrange(256) for _ in range(4))
        elif op == 1:
            del data[i : i + rng.randrange(1, 300)]
        elif op == 2:
            data[i:i] = b"\x1f\x8b\x08\x00" + bytes(rng.randrange(256) for _ in range(20))
        else:
            j = rng.randrange(len(data))
            data[i:i] = data[j : j + rng.randrange(1, 2000)]
    return bytes(data)


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
