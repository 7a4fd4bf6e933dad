"""The command on several threads (``--jobs 2`` and more): the same output, failures, counts and
exit status as on one job, with archives cut in many parts; Ctrl-C and a broken pipe end a run
on threads cleanly, with whole records.

Runs go through ``procrun.py`` in a fresh interpreter, as a user's would.
"""

from __future__ import annotations

import gzip
import json
import os
import pathlib
import re
import resource
import signal
import subprocess
import sys
import time

import pytest

pytest.importorskip("pyarrow")

from .test_readers import CASES, _archive, _responses  # noqa: E402
from .warcs import Response, warc_bytes  # noqa: E402

PROCRUN = pathlib.Path(__file__).resolve().with_name("procrun.py")
SCHEMA = 'title = { query = "title::text", first = true }\nall = "::text"\n'


def start(args: list[str], **popen: object) -> subprocess.Popen[bytes]:
    """The command started with ``args``."""
    command = [sys.executable, str(PROCRUN), *args]
    return subprocess.Popen(command, stderr=subprocess.PIPE, **popen)  # type: ignore[call-overload, no-any-return]


def finish(proc: subprocess.Popen[bytes], timeout: float = 120) -> tuple[int, list[str]]:
    """The exit status and the lines of standard error (the summary's without its timing)."""
    try:
        code = proc.wait(timeout=timeout)
    finally:
        proc.kill()
    assert proc.stderr is not None
    err = proc.stderr.read().decode()
    assert "Traceback" not in err, err
    return code, [re.sub(r" in [\d.,]+ s \([^)]*\)", "", line) for line in err.splitlines()]


@pytest.fixture
def inputs(tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> pathlib.Path:
    monkeypatch.chdir(tmp_path)
    (tmp_path / "schema.toml").write_text(SCHEMA)
    (tmp_path / "a.warc.gz").write_bytes(CASES["stored-corrupt-with-inner"]())
    (tmp_path / "b.warc.gz").write_bytes(CASES["corrupt-members"]())
    (tmp_path / "c.warc.gz").write_bytes(CASES["large-broken-member"]())
    # More small pages than a task of small files groups, a gzipped one and a broken one.
    site = tmp_path / "site"
    site.mkdir()
    for i in range(70):
        (site / f"p{i:02}.html").write_bytes(b"<title>p%d</title><p>%s</p>" % (i, b"x" * i))
    (site / "z.html.gz").write_bytes(gzip.compress(b"<title>z</title>"))
    (site / "zz.html.gz").write_bytes(b"\x1f\x8b\x08\x00 not really")
    (tmp_path / "stdin.warc.gz").write_bytes(warc_bytes([Response("http://in.example/", b"<title>in</title>")])[0])
    return tmp_path


@pytest.mark.parametrize("fmt", ["jsonl", "csv", "parquet"])
def test_every_jobs_writes_the_same_bytes_failures_and_counts(inputs, fmt: str) -> None:
    runs = []
    for jobs in ("1", "2", "3", "4"):
        out = f"out{jobs}.{fmt}"
        with open("stdin.warc.gz", "rb") as stdin:
            # Tiny parts: each archive is cut in many places, next to corrupt members.
            proc = start(["--parts", "700", "extract", "schema.toml", "a.warc.gz", "missing.html", "site", "-",
                          "b.warc.gz", "c.warc.gz", "a.warc.gz", "-o", out, "-j", jobs],
                         stdin=stdin, stdout=subprocess.DEVNULL)
        code, told = finish(proc)
        runs.append((code, told, (inputs / out).read_bytes()))
    code, told, _ = runs[0]
    assert code == 1 and "larkspine: missing.html: No such file or directory" in told
    assert sum("corrupt WARC after the record at offset" in line for line in told) >= 5
    assert any("site/zz.html.gz" in line for line in told)
    summary = told[-1]
    assert re.fullmatch(r"larkspine: \d+ pages, [\d.]+ MB; \d+ failed; \d+ WARC records skipped \(.*\)", summary)
    assert runs[1] == runs[0] and runs[2] == runs[0] and runs[3] == runs[0]


@pytest.mark.parametrize("args", [["site", "-j", "2"], ["-", "-j", "2"], ["-i", "-", "-j", "2"]])
def test_pages_from_files_standard_input_and_lists_on_threads(inputs, args: list[str]) -> None:
    proc = start(["extract", "schema.toml", *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    assert proc.stdout is not None and proc.stdin is not None
    proc.stdin.write(b"site\n" if "-i" in args else b"<title>t</title>")
    proc.stdin.close()
    out = proc.stdout.read()
    code, _ = finish(proc)
    assert code == (0 if args[0] == "-" else 1)  # site/zz.html.gz fails
    assert json.loads(out.splitlines()[0])["title"] in ("p0", "t")


def test_a_schema_with_processors_reads_on_threads(inputs) -> None:
    (inputs / "pages.py").write_text(
        "from larkspine import Page, field\n"
        "class Titled(Page):\n"
        "    title = field('title::text', first=True, out=str.upper)\n"
    )
    proc = start(["extract", "pages:Titled", "site", "-j", "2"], stdout=subprocess.PIPE,
                 env={**os.environ, "PYTHONPATH": str(inputs)})
    assert proc.stdout is not None
    out = proc.stdout.read()
    code, _ = finish(proc)
    assert code == 1  # zz.html.gz fails
    assert [json.loads(line)["title"] for line in out.splitlines()[:2]] == ["P0", "P1"]


def test_thousands_of_files_need_no_more_descriptors_than_the_limit_allows(tmp_path) -> None:
    # Each file is opened when a thread reads it: 3,000 files at -j 8 under a limit of 64
    # descriptors read whole (the interpreter holds a dozen of its own).
    site = tmp_path / "many"
    site.mkdir()
    for i in range(3000):
        (site / f"p{i:04}.html").write_bytes(b"<title>%d</title>" % i)
    (tmp_path / "schema.toml").write_text(SCHEMA)

    def limited() -> None:
        resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))

    proc = start(["extract", "schema.toml", "many", "-j", "8", "-o", "out.jsonl"], cwd=tmp_path,
                 preexec_fn=limited)
    code, told = finish(proc)
    assert code == 0, told
    titles = [json.loads(line)["title"] for line in (tmp_path / "out.jsonl").read_text().splitlines()]
    assert titles == [str(i) for i in range(3000)]


#: The pages of each big archive: _responses(400) but its requests and images.
BIG_TITLES = [str(i) for i in range(400) if i % 7 not in (3, 5)]


def _big(folder: pathlib.Path, copies: int = 4) -> list[str]:
    """``copies`` archives of 400 records, about 20 MB of text in all."""
    words = b"<p>" + b"word " * 2000 + b"</p>"
    data = _archive([Response(r.url, r.body + words, r.content_type, warc_type=r.warc_type)
                     for r in _responses(400)])[0]
    names = []
    for k in range(copies):
        (folder / f"big{k}.warc.gz").write_bytes(data)
        names.append(f"big{k}.warc.gz")
    return names


def test_ctrl_c_to_the_process_group_stops_with_whole_records(inputs) -> None:
    names = _big(inputs, 12)
    proc = start(["--parts", "100000", "extract", "schema.toml", *names, "-o", "out.jsonl", "-j", "2"],
                 start_new_session=True)
    deadline = time.monotonic() + 60
    while not any(p.name.endswith(".partial") and p.stat().st_size for p in inputs.iterdir()):
        assert time.monotonic() < deadline and proc.poll() is None
        time.sleep(0.01)
    os.killpg(proc.pid, signal.SIGINT)  # as a terminal sends it
    code, told = finish(proc)
    assert code == 130 and told[-1].endswith("; stopped by Ctrl-C")
    # Split at newlines only: the pages' text holds U+2028 and the like, which JSON keeps.
    *lines, last = (inputs / "out.jsonl").read_text().split("\n")
    records = [json.loads(line) for line in lines]
    assert last == ""
    # Whole records, in input order, none missing before the last one written; not all.
    expected = [(name, title) for name in names for title in BIG_TITLES]
    assert 0 < len(records) < len(expected)
    assert [(r["_source"], r["title"]) for r in records] == expected[: len(records)]


def test_a_broken_pipe_ends_a_run_on_threads(inputs) -> None:
    names = _big(inputs, 8)
    proc = start(["extract", "schema.toml", *names, "-j", "2"], stdout=subprocess.PIPE)
    assert proc.stdout is not None
    first = proc.stdout.readline()
    proc.stdout.close()
    code, told = finish(proc)
    assert (code, told) == (141, [])
    assert json.loads(first)["_source"] == "big0.warc.gz"
