"""Every block of docs/batch-extraction.md runs, in order, in a folder of pages and a WARC.

Blocks titled ``title="NAME"`` (shown above the block on the site) are written to NAME; ``sh`` blocks run in bash
(``set -e``); ``python`` blocks run in a fresh interpreter; a ``text`` block after
``<!-- output -->`` must be exactly what the ``sh`` block before it printed. The Dask
cluster address in the docs is replaced by a LocalCluster's; when PySpark is not installed,
the Spark job runs against ``tests/standins/pyspark`` (partitions shipped with cloudpickle to
worker processes, as Spark ships them), so the partition function it uses is still real.
"""

from __future__ import annotations

import gzip
import os
import pathlib
import re
import subprocess
import sys
from dataclasses import dataclass

import pytest

from .warcs import Response, corpus_pages, warc_bytes

REPO = pathlib.Path(__file__).resolve().parent.parent
DOC = REPO / "docs" / "batch-extraction.md"
STANDINS = pathlib.Path(__file__).resolve().parent / "standins"
CLUSTER_ADDRESS = "tcp://scheduler.example:8786"


@dataclass
class Block:
    line: int
    language: str
    text: str
    file: str | None = None
    output: bool = False


def blocks(text: str) -> list[Block]:
    found: list[Block] = []
    marker: str | None = None
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        if m := re.fullmatch(r"<!-- output -->", line.strip()):
            marker = m.group(0)
        elif line.startswith("```"):
            info = re.fullmatch(r'(\w*)(?:\s+title="([^"]+)")?', line[3:].strip())
            assert info is not None, f"line {i + 1}: {line}"
            end = lines.index("```", i + 1)
            block = Block(i + 1, info.group(1), "\n".join(lines[i + 1 : end]) + "\n", file=info.group(2))
            block.output = marker == "<!-- output -->"
            found.append(block)
            marker = None
            i = end
        elif line.strip():
            marker = None
        i += 1
    return found


def test_the_doc_has_the_blocks_the_issue_asks_for() -> None:
    found = blocks(DOC.read_text(encoding="utf-8"))
    commands = "".join(b.text for b in found if b.language == "sh")
    assert "pages/" in commands and "crawl.warc.gz" in commands and "--jobs" in commands
    assert any(b.file == "cluster.py" and CLUSTER_ADDRESS in b.text for b in found)
    assert any(b.file == "spark_job.py" and "mapPartitions" in b.text for b in found)
    assert {b.language for b in found} <= {"sh", "python", "toml", "yaml", "json", "text"}


@pytest.fixture
def folder(tmp_path) -> pathlib.Path:
    pages = corpus_pages(20) or [
        (f"p{i}", b"<html lang=en><title>T%d</title><h1>H%d</h1><a href=/%d>l</a><img src=%d.png>" % (i, i, i, i))
        for i in range(20)
    ]
    (tmp_path / "pages" / "older").mkdir(parents=True)
    for i, (name, body) in enumerate(pages[:10]):
        if i % 3 == 0:
            (tmp_path / "pages" / "older" / f"{name}.html.gz").write_bytes(gzip.compress(body))
        else:
            (tmp_path / "pages" / f"{name}.html").write_bytes(body)
    responses = [Response(f"https://news.example/{name}", body) for name, body in pages[10:]]
    responses.insert(2, Response("https://news.example/logo.png", b"\x89PNG", "image/png"))
    (tmp_path / "crawl.warc.gz").write_bytes(warc_bytes(responses)[0])
    # The blocks run as from the checkout's root, where examples/ is.
    (tmp_path / "examples").symlink_to(REPO / "examples")
    return tmp_path


def _environment() -> dict[str, str]:
    env = dict(os.environ)
    env["PATH"] = str(pathlib.Path(sys.executable).parent) + os.pathsep + env.get("PATH", "")
    try:
        import pyspark  # noqa: F401
    except ImportError:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(STANDINS), env.get("PYTHONPATH")]))
    return env


def test_every_block_runs(folder) -> None:
    pytest.importorskip("fastwarc")
    pytest.importorskip("pyarrow")
    pytest.importorskip("yaml")
    pytest.importorskip("distributed")
    from distributed import LocalCluster

    env = _environment()
    env["HOME"] = str(folder)  # what a block writes to ~ (the shell completion script) stays here
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        last_output: str | None = None
        for block in blocks(DOC.read_text(encoding="utf-8")):
            where = f"docs/batch-extraction.md line {block.line}"
            if block.file is not None:
                text = block.text.replace(CLUSTER_ADDRESS, cluster.scheduler_address)
                (folder / block.file).write_text(text, encoding="utf-8")
                continue
            if block.output:
                assert block.language == "text" and last_output == block.text, where
                continue
            if block.language == "sh":
                done = subprocess.run(["bash", "-ec", block.text], cwd=folder, env=env,
                                      capture_output=True, text=True, timeout=300)
            elif block.language == "python":
                done = subprocess.run([sys.executable, "-"], input=block.text, cwd=folder, env=env,
                                      capture_output=True, text=True, timeout=300)
            else:
                pytest.fail(f"{where}: a {block.language} block is neither a file nor a command")
            assert done.returncode == 0, f"{where}:\n{block.text}\n{done.stdout}\n{done.stderr}"
            last_output = done.stdout
    # What the blocks wrote is what they say.
    assert (folder / "articles.parquet").exists() and not (folder / "articles.parquet.partial").exists()
    assert len(list((folder / "articles-jsonl").glob("part-*.jsonl"))) == 1
    assert (folder / "out.jsonl").read_text().count("\n") == 10
    assert (folder / "errors.txt").read_text().startswith("larkspine: missing.html: No such file or directory\n")
    assert (folder / "listed.jsonl").read_text().count("\n") == 4  # the gzipped pages the list named
    assert "_larkspine_completion" in (folder / ".larkspine-complete.bash").read_text()
    assert (folder / ".bashrc").read_text() == ". ~/.larkspine-complete.bash\n"
