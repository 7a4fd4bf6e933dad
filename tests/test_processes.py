"""The command on worker processes (``--jobs 2`` and more): the same output, failures, counts and
exit status as on one job; a worker that fails or is killed, Ctrl-C, a broken pipe and a
killed command end cleanly, and no worker outlives the run.

Runs go through ``procrun.py`` in a fresh interpreter, as a user's would (the test process
runs threads of its own, where the command reads on threads instead); it tells the worker
processes' ids on its first line of standard error.
"""

from __future__ import annotations

import gzip
import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

pytest.importorskip("fastwarc")
pytest.importorskip("pyarrow")

from .test_readers import CASES, _archive, _responses  # noqa: E402
from .warcs import Response, warc_bytes  # noqa: E402

PROCRUN = pathlib.Path(__file__).resolve().with_name("procrun.py")
SCHEMA = 'title = { query = "title::text", first = true }\nall = "::text"\n'


def start(args: list[str], **popen: object) -> subprocess.Popen[bytes]:
    """The command started with ``args``."""
    command = [sys.executable, str(PROCRUN), *args]
    return subprocess.Popen(command, stderr=subprocess.PIPE, **popen)  # type: ignore[call-overload, no-any-return]


def started(proc: subprocess.Popen[bytes]) -> list[int]:
    """The worker processes' ids of a run on several jobs, once they are started."""
    assert proc.stderr is not None
    first = proc.stderr.readline().decode()
    assert first.startswith("workers: "), first
    return [int(pid) for pid in first.split()[1:]]


def finish(proc: subprocess.Popen[bytes], timeout: float = 120) -> tuple[int, list[str], list[int]]:
    """The exit status, the lines of standard error (the summary's without its timing) and
    the ids of the worker processes if not taken already."""
    try:
        code = proc.wait(timeout=timeout)
    finally:
        proc.kill()
    assert proc.stderr is not None
    err = proc.stderr.read().decode()
    assert "Traceback" not in err, err
    told = [re.sub(r" in [\d.,]+ s \([^)]*\)", "", line) for line in err.splitlines()]
    pids = [int(pid) for line in told if line.startswith("workers:") for pid in line.split()[1:]]
    return code, [line for line in told if not line.startswith("workers:")], pids


def running(pid: int) -> bool:
    """Whether process ``pid`` runs: it exists and is no zombie (one whose parent is gone
    waits for the system to reap it, which not every container's first process does)."""
    try:
        stat = pathlib.Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return False
    return stat.rpartition(")")[2].split()[0] != "Z"


def gone(pids: list[int], within: float = 20) -> bool:
    """Whether none of ``pids`` runs any longer (waiting up to ``within`` seconds)."""
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        if not any(running(pid) for pid in pids):
            return True
        time.sleep(0.05)
    return False


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
    for jobs in ("1", "2", "3"):
        out = f"out{jobs}.{fmt}"
        with open("stdin.warc.gz", "rb") as stdin:
            # Tiny parts: each archive is cut in many places, next to corrupt members.
            proc = start(["--parts", "700", "extract", "schema.toml", "a.warc.gz", "missing.html", "site", "-",
                                "b.warc.gz", "c.warc.gz", "a.warc.gz", "-o", out, "-j", jobs],
                               stdin=stdin, stdout=subprocess.DEVNULL)
        code, told, pids = finish(proc)
        assert len(pids) == (0 if jobs == "1" else int(jobs))
        assert gone(pids)
        runs.append((code, told, (inputs / out).read_bytes()))
    code, told, _ = runs[0]
    assert code == 1 and "larkspine: missing.html: No such file or directory" in told
    assert sum("corrupt WARC after the record at offset" in line for line in told) >= 5
    assert any("site/zz.html.gz" in line for line in told)
    summary = told[-1]
    assert re.fullmatch(r"larkspine: \d+ pages, [\d.]+ MB; \d+ failed; \d+ WARC records skipped \(.*\)", summary)
    assert runs[1] == runs[0] and runs[2] == runs[0]


@pytest.mark.parametrize(
    "args, workers, status",
    [
        (["site", "-j", "2"], 2, 1),  # site/zz.html.gz fails
        (["site", "-j", "1"], 0, 1),
        (["-", "-j", "2"], 0, 0),  # standard input only: read on threads
        (["-i", "-", "-j", "2"], 2, 1),  # names on standard input: files all the same
    ],
)
def test_workers_are_started_where_they_can_serve(inputs, args: list[str], workers: int, status: int) -> None:
    proc = start(["extract", "schema.toml", *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    assert proc.stdout is not None and proc.stdin is not None
    proc.stdin.write(b"site\n" if "-i" in args else b"<title>t</title>")
    proc.stdin.close()
    out = proc.stdout.read()
    code, _, pids = finish(proc)
    assert (code, len(pids)) == (status, workers)
    assert gone(pids)
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
    code, _, pids = finish(proc)
    assert (code, pids) == (1, [])  # zz.html.gz fails
    assert json.loads(out.splitlines()[0])["title"] == "P0"


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


@pytest.mark.parametrize("how", ["killed", "failed"])
@pytest.mark.parametrize("fmt", ["jsonl", "parquet"])
def test_a_worker_that_dies_or_fails_stops_the_run_and_keeps_the_output(inputs, how: str, fmt: str) -> None:
    names = _big(inputs)
    out = inputs / f"out.{fmt}"
    if how == "killed":
        # The names come on standard input, so the run waits for them while a worker is
        # killed (an existing output would have the list read whole first, to check it).
        proc = start(["extract", "schema.toml", "-i", "-", "-o", out.name, "-j", "2"], stdin=subprocess.PIPE)
        pids = started(proc)
        os.kill(pids[0], signal.SIGKILL)
        assert proc.stdin is not None
        proc.stdin.write("".join(f"{name}\n" for name in names).encode())
        proc.stdin.close()
        reason, left = "a worker process was killed by SIGKILL", "is not written (no file is left behind)"
    else:
        out.write_bytes(b"what the user had")
        proc = start(["--fail-on", "<title>350</title>", "extract", "schema.toml", *names, "-o", out.name, "-j", "2"])
        pids = started(proc)
        reason = "RuntimeError: a page that fails its worker (in a worker process)"
        left = "is not written (it is left as it was)"
    code, told, _ = finish(proc)
    assert code == 3
    assert told == [f"larkspine: stopped by WorkerFailed: {reason}: {out.name} {left}"]
    assert (out.read_bytes() == b"what the user had") if how == "failed" else not out.exists()
    assert not [p for p in inputs.iterdir() if p.name.endswith(".partial")]
    assert gone(pids)


def test_ctrl_c_to_the_process_group_stops_with_whole_records(inputs) -> None:
    names = _big(inputs, 12)
    proc = start(["--parts", "100000", "extract", "schema.toml", *names, "-o", "out.jsonl", "-j", "2"],
                 start_new_session=True)
    pids = started(proc)
    deadline = time.monotonic() + 60
    while not any(p.name.endswith(".partial") and p.stat().st_size for p in inputs.iterdir()):
        assert time.monotonic() < deadline and proc.poll() is None
        time.sleep(0.01)
    os.killpg(proc.pid, signal.SIGINT)  # as a terminal sends it: to the workers too
    code, told, _ = finish(proc)
    assert code == 130 and told[-1].endswith("; stopped by Ctrl-C")
    # Split at newlines only: the pages' text holds U+2028 and the like, which JSON keeps.
    *lines, last = (inputs / "out.jsonl").read_text().split("\n")
    records = [json.loads(line) for line in lines]
    assert last == ""
    # Whole records, in input order, none missing before the last one written; not all.
    expected = [(name, title) for name in names for title in BIG_TITLES]
    assert 0 < len(records) < len(expected)
    assert [(r["_source"], r["title"]) for r in records] == expected[: len(records)]
    assert gone(pids)


def test_a_broken_pipe_ends_the_workers(inputs) -> None:
    names = _big(inputs, 8)
    proc = start(["extract", "schema.toml", *names, "-j", "2"], stdout=subprocess.PIPE)
    pids = started(proc)
    assert proc.stdout is not None
    first = proc.stdout.readline()
    proc.stdout.close()
    code, told, _ = finish(proc)
    assert (code, told) == (141, [])
    assert json.loads(first)["_source"] == "big0.warc.gz"
    assert gone(pids)


def test_workers_end_when_the_command_is_killed(inputs) -> None:
    names = _big(inputs, 16)
    proc = start(["extract", "schema.toml", *names, "-o", "out.jsonl", "-j", "2"])
    pids = started(proc)
    time.sleep(0.3)
    proc.kill()
    proc.wait(timeout=60)
    assert gone(pids)


def test_no_worker_is_forked_beside_another_python_thread() -> None:
    from larkspine import Schema, field
    from larkspine._processes import start_workers
    from larkspine.inputs import ReadStats

    release = threading.Event()
    other = threading.Thread(target=release.wait)
    other.start()
    try:
        # The thread could hold a lock a forked child would inherit taken: threads serve instead.
        assert start_workers(2, Schema({"t": field("title::text")}), encoding=None, date_text=False,
                             limits=ReadStats()) is None
    finally:
        release.set()
        other.join()
