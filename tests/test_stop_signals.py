"""SIGTERM and SIGHUP (``kill``, ``timeout``, ``docker stop``, a closed terminal) end a run at
once: no temporary file is left beside the output, an ``-o`` file the user had is left as it
was, standard output keeps whole records only, and the status is
128 + the signal's number, at every moment of the run, on one job and on two, in every
format."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import time

import pytest

from .test_jobs import _big, finish, inputs, start  # noqa: F401 - the fixture

pytest.importorskip("pyarrow")

OLD = b"what the user had"

def _partial(folder) -> bool:
    return any(p.name.endswith(".partial") and p.stat().st_size for p in folder.iterdir())

def _wait_for(folder, proc: subprocess.Popen[bytes]) -> None:
    deadline = time.monotonic() + 60
    while not _partial(folder):
        assert time.monotonic() < deadline and proc.poll() is None
        time.sleep(0.01)

@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("fmt", ["jsonl", "csv", "parquet"])
@pytest.mark.parametrize("when", ["at-once", "writing", "listing"])
def test_sigterm_keeps_the_old_output_and_leaves_no_temporary_file(inputs, jobs: str, fmt: str, when: str) -> None:
    names = _big(inputs, 6)
    out = inputs / f"out.{fmt}"
    out.write_bytes(OLD)
    args = ["extract", "schema.toml", "-o", out.name, "-j", jobs]
    if when == "listing":
        # The names come on a pipe that stays open: the run is under way, waiting for more.
        proc = start([*args, "-i", "-"], stdin=subprocess.PIPE)
        assert proc.stdin is not None
        proc.stdin.write(f"{names[0]}\n".encode())
        proc.stdin.flush()
    else:
        proc = start([*args, *names])
    if when == "listing":
        # With an -o file that exists, the whole list is read (to check the output is none of
        # its inputs) before any page is: the signal comes while the list is awaited.
        time.sleep(1.0)
    if when == "writing":
        _wait_for(inputs, proc)
    proc.send_signal(signal.SIGTERM)
    code, told = finish(proc)
    if when == "at-once" and code == -signal.SIGTERM:
        # Killed before the command took the signal over: nothing had been made yet.
        assert told == []
    else:
        assert code == 143, told
        assert len(told) == 1 and told[0].startswith("larkspine: stopped by SIGTERM"), told
        if "before anything was read" not in told[0]:
            assert told[0].endswith(f"{out.name} is not written (it is left as it was)")
    assert out.read_bytes() == OLD
    assert sorted(p.name for p in inputs.iterdir() if p.name.startswith(".")) == []

@pytest.mark.parametrize("jobs", ["1", "2"])
def test_sighup_to_the_process_group_ends_the_run(inputs, jobs: str) -> None:
    names = _big(inputs, 6)
    proc = start(["extract", "schema.toml", *names, "-o", "out.jsonl", "-j", jobs], start_new_session=True)
    _wait_for(inputs, proc)
    os.killpg(proc.pid, signal.SIGHUP)  # as a closed terminal sends it
    code, told = finish(proc)
    assert code == 129
    assert told == ["larkspine: stopped by SIGHUP: out.jsonl is not written (no file is left behind)"]
    assert not (inputs / "out.jsonl").exists()
    assert [p.name for p in inputs.iterdir() if p.name.endswith(".partial")] == []

@pytest.mark.parametrize("jobs", ["1", "2"])
def test_sigterm_on_standard_output_keeps_whole_records(inputs, jobs: str) -> None:
    names = _big(inputs, 6)
    proc = start(["extract", "schema.toml", *names, "-j", jobs], stdout=subprocess.PIPE)
    assert proc.stdout is not None
    first = proc.stdout.readline()
    proc.send_signal(signal.SIGTERM)
    rest = proc.stdout.read()
    code, told = finish(proc)
    assert code == 143
    assert told == ["larkspine: stopped by SIGTERM: standard output is incomplete (it holds the records written before)"]
    text = (first + rest).decode()
    assert text.endswith("\n")
    records = [json.loads(line) for line in text.splitlines()]
    assert records and records[0]["_source"] == "big0.warc.gz"
