"""Reading on several native threads: the same pages, failures and counts, in the same order,
as on one.

A large WARC.gz is read in parts that start at gzip members; the parts are made tiny here
(``PART_BYTES`` patched) so that small archives are cut in many places, next to damaged
members, inside records whose bodies hold gzip data, and past the end of the good data.
"""

from __future__ import annotations

import gzip
import random
import time
import zlib

import pytest

from larkspine import _run
from larkspine.inputs import Document, InputFailure, ReadStats, read_inputs

from .warcs import Response, record_bytes, warc_bytes


def _read(paths: list[str], jobs: int) -> tuple[list[Document | InputFailure], ReadStats]:
    stats = ReadStats()
    return list(read_inputs(paths, stats, jobs=jobs)), stats


def _same_for_every_jobs(paths: list[str], jobs: tuple[int, ...] = (2, 3, 4)) -> list[Document | InputFailure]:
    one, one_stats = _read(paths, 1)
    for n in jobs:
        found, stats = _read(paths, n)
        assert found == one, f"jobs={n}"
        assert stats == one_stats, f"jobs={n}"
    return one


@pytest.fixture
def tiny_parts(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(_run, "PART_BYTES", 700)


def _responses(count: int, seed: int = 0) -> list[Response]:
    rng = random.Random(seed)
    out = []
    for i in range(count):
        body = b"<title>%d</title>" % i + bytes(rng.randrange(256) for _ in range(rng.randrange(50, 900)))
        kind = i % 7
        if kind == 3:
            out.append(Response(f"http://r.example/{i}", b"GET", warc_type="request"))
        elif kind == 5:
            out.append(Response(f"http://r.example/{i}", body, content_type="image/png"))
        else:
            out.append(Response(f"http://r.example/{i}", body))
    return out


def _archive(responses: list[Response], level: int = 6) -> tuple[bytes, list[int]]:
    """One member per record; ``level`` 0 stores the records as they are (what a body holds
    then appears in the file byte for byte)."""
    out = bytearray()
    offsets = []
    for r in responses:
        offsets.append(len(out))
        out += gzip.compress(record_bytes(r), compresslevel=level, mtime=0)
    return bytes(out), offsets


def _damaged(data: bytes, offsets: list[int], broken: dict[int, str]) -> bytes:
    ends = offsets[1:] + [len(data)]
    out = bytearray()
    for i, (a, b) in enumerate(zip(offsets, ends)):
        member = bytearray(data[a:b])
        how = broken.get(i)
        if how == "byte":
            member[len(member) // 2 : len(member) // 2 + 8] = b"\xff" * 8
        elif how == "header":
            member[3:30] = b"\xff" * 27
        elif how == "cut":
            del member[len(member) // 2 :]
        out += member
    return bytes(out)


# A gzipped WARC record that a page's body holds: in a stored member it is in the file as it
# is, a member that decompresses to a record, at a place where no record of the archive starts.
_INNER = gzip.compress(record_bytes(Response("http://inner.example/", b"<title>inner</title>")), mtime=0)


def _with_inner_members(count: int) -> list[Response]:
    return [
        Response(f"http://o.example/{i}", b"<title>%d</title>" % i + _INNER * (1 + i % 3) + b"\x1f\x8b\x08" * 5,
                 content_type="text/html")
        for i in range(count)
    ]


def _large_broken_member() -> bytes:
    """A stored member of about 300 KB (several reads long) whose body holds gzipped records,
    damaged near its end: found broken far from its start, it is skipped to a member inside
    it that decompresses to a record, at the same place whatever the reads were."""
    rng = random.Random(5)
    noise = bytes(rng.randrange(256) for _ in range(30_000))
    body = b"<title>big</title>" + b"".join(noise + _INNER for _ in range(10))
    big = Response("http://big.example/", body, content_type="text/html")
    data, offsets = _archive(_responses(30) + [big] + _responses(30, 2), level=0)
    end = offsets[31]
    damaged = bytearray(data)
    damaged[end - 2000 : end - 1990] = b"\xff" * 10
    return bytes(damaged)


CASES = {
    "large-broken-member": _large_broken_member,
    "clean": lambda: _archive(_responses(60))[0],
    "stored-with-gzip-in-bodies": lambda: _archive(_with_inner_members(40), level=0)[0],
    "compressed-with-gzip-in-bodies": lambda: _archive(_with_inner_members(40))[0],
    "corrupt-members": lambda: _damaged(*_archive(_responses(60)), {3: "byte", 4: "byte", 17: "header", 30: "cut",
                                                                   41: "byte", 59: "byte"}),
    "corrupt-first": lambda: _damaged(*_archive(_responses(40)), {0: "header", 1: "byte"}),
    "cut-inside-last": lambda: _archive(_responses(50))[0][:-40],
    "trailing-junk": lambda: _archive(_responses(50))[0] + b"junk" * 100,
    "zero-padding": lambda: _archive(_responses(50))[0] + b"\0" * 5000,
    "stored-corrupt-with-inner": lambda: _damaged(*_archive(_with_inner_members(40), level=0),
                                                  {5: "byte", 6: "header", 20: "cut"}),
    "one-stream": lambda: gzip.compress(b"".join(record_bytes(r) for r in _responses(40)), mtime=0),
    "gzipped-page": lambda: gzip.compress(b"<title>big</title>" + bytes(range(256)) * 400, compresslevel=0),
}


@pytest.mark.parametrize("case", list(CASES))
def test_an_archive_read_in_parts_reads_as_on_one_thread(tmp_path, tiny_parts, case: str) -> None:
    path = tmp_path / "a.warc.gz"
    path.write_bytes(CASES[case]())
    found = _same_for_every_jobs([str(path)])
    assert found  # every case holds a page or a failure to compare


def test_failures_name_the_record_before_them_across_parts(tmp_path, tiny_parts) -> None:
    data, offsets = _archive(_responses(60))
    bad = _damaged(data, offsets, {k: "header" for k in range(10, 60, 4)})
    path = tmp_path / "a.warc.gz"
    path.write_bytes(bad)
    found = _same_for_every_jobs([str(path)])
    messages = [str(f) for f in found if isinstance(f, InputFailure)]
    assert len(messages) == len(range(10, 60, 4))
    assert all(" after the record at offset " in m and " skipped" in m for m in messages)


def mutated_archive(seed: int) -> bytes:
    """An archive with gzip data in its bodies, damaged a few times at random: bytes
    overwritten, cut out, a fake member header put in, a stretch copied elsewhere."""
    rng = random.Random(seed)
    data = bytearray(_archive(_with_inner_members(12) + _responses(30, seed), level=rng.choice([0, 6]))[0])
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


@pytest.mark.parametrize("seed", range(6))
def test_mutated_archives_read_in_parts_as_on_one_thread(tmp_path, tiny_parts, seed: int) -> None:
    data = mutated_archive(seed)
    path = tmp_path / "m.warc.gz"
    path.write_bytes(data)
    _same_for_every_jobs([str(path)])


def test_several_inputs_are_read_at_once_in_order(tmp_path, tiny_parts) -> None:
    (tmp_path / "d").mkdir()
    (tmp_path / "d" / "a.html").write_bytes(b"<p>a</p>")
    (tmp_path / "d" / "b.html.gz").write_bytes(gzip.compress(b"<p>b</p>"))
    (tmp_path / "d" / "c.warc.gz").write_bytes(CASES["corrupt-members"]())
    (tmp_path / "d" / "d.warc").write_bytes(warc_bytes(_responses(9), compress=False)[0])
    (tmp_path / "d" / "e.html.gz").write_bytes(b"\x1f\x8b\x08\x00 not really")
    (tmp_path / "f.warc.gz").write_bytes(CASES["clean"]())
    found = _same_for_every_jobs([str(tmp_path / "d"), str(tmp_path / "missing.html"), str(tmp_path / "*.warc.gz"),
                                  str(tmp_path / "d" / "a.html")])
    failed = [f.reason for f in found if isinstance(f, InputFailure)]
    assert any("No such file" in r for r in failed) and any("corrupt WARC" in r for r in failed)


def test_closing_the_reader_early_stops_its_threads(tmp_path, tiny_parts) -> None:
    path = tmp_path / "a.warc.gz"
    path.write_bytes(_archive(_responses(300))[0])
    reader = read_inputs([str(path)] * 3 + [str(tmp_path)], jobs=2)
    assert isinstance(next(reader), Document)
    # Closing joins the run's threads: it returns once they have stopped, not after the
    # three archives are read.
    started = time.monotonic()
    reader.close()
    assert time.monotonic() - started < 10


@pytest.mark.parametrize("jobs", [0, -1, True, 1.5])
def test_jobs_must_be_a_positive_count(jobs: object) -> None:
    with pytest.raises(ValueError, match="jobs must be at least 1"):
        list(read_inputs([], jobs=jobs))  # type: ignore[arg-type]


def test_a_page_failing_to_inflate_in_a_part_is_the_same_failure(tmp_path, tiny_parts) -> None:
    # A gzip HTTP body that does not decode, inside a record of a split archive.
    head = "Content-Encoding: gzip"
    bad = Response("http://bad.example/", zlib.compress(b"x" * 100)[:20], headers=(head,))
    responses = _responses(20) + [bad] + _responses(20, 1)
    path = tmp_path / "a.warc.gz"
    path.write_bytes(_archive(responses)[0])
    found = _same_for_every_jobs([str(path)])
    assert sum(isinstance(f, InputFailure) and "undecodable HTTP body" in f.reason for f in found) == 1


@pytest.mark.parametrize("fmt", ["jsonl", "csv", "parquet"])
def test_the_command_writes_the_same_bytes_and_failures_for_every_jobs(tmp_path, tiny_parts, monkeypatch, fmt) -> None:
    pytest.importorskip("pyarrow")
    click_testing = pytest.importorskip("click.testing")
    from larkspine.cli import cli

    monkeypatch.chdir(tmp_path)
    (tmp_path / "schema.toml").write_text('title = { query = "title::text", first = true }\nall = "::text"\n')
    (tmp_path / "a.warc.gz").write_bytes(CASES["stored-corrupt-with-inner"]())
    (tmp_path / "b.warc.gz").write_bytes(CASES["corrupt-members"]())
    (tmp_path / "c.html").write_bytes(b"<title>c</title>")
    runs = []
    for jobs in ("1", "2", "3"):
        out = f"out{jobs}.{fmt}"
        result = click_testing.CliRunner().invoke(
            cli, ["extract", "schema.toml", "a.warc.gz", "missing.html", "b.warc.gz", "c.html", "-o", out, "-j", jobs],
            catch_exceptions=False)
        # Every line but the summary's timing, which differs from run to run.
        told = [line for line in result.stderr.splitlines() if " pages/s" not in line]
        runs.append((result.exit_code, told, (tmp_path / out).read_bytes()))
    assert runs[0][0] == 1 and "larkspine: missing.html: No such file or directory" in runs[0][1]
    assert sum("corrupt WARC after the record at offset" in line for line in runs[0][1]) >= 5
    assert runs[1] == runs[0] and runs[2] == runs[0]
