"""The command over a folder of hostile inputs: every good page comes out as from a clean
folder, every bad item is named once, the run ends (exit 1) in bounded memory."""

from __future__ import annotations

import functools
import json
import os
import pathlib
import random
import subprocess
import sys
import zlib

import pytest

pytest.importorskip("fastwarc")

from .warcs import Response, warc_bytes  # noqa: E402

SEED = 1717
LIMIT = "1MiB"
SCHEMA = 'title = "title::text"\nparas = "p::text"\nlinks = "a::attr(href)"\n'

# Runs `python -m larkspine ...` and, at exit, writes the process's peak resident size
# (VmHWM: its own, whereas ru_maxrss would carry over the forking parent's) to a file.
_RUN = """
import atexit, os, runpy, sys

def peak():
    with open("/proc/self/status") as f:
        found = [l for l in f if l.startswith("VmHWM:")]
    with open(os.environ["LARKSPINE_TEST_PEAK"], "w") as out:
        out.write(found[0].split()[1] if found else "0")

atexit.register(peak)
sys.argv = ["larkspine", *sys.argv[1:]]
runpy.run_module("larkspine", run_name="__main__", alter_sys=True)
"""


def _bomb(size: int) -> bytes:
    deflate = zlib.compressobj(9, zlib.DEFLATED, 31)
    block = b"\0" * (1 << 20)
    return deflate.compress(b"<title>bomb</title>") + b"".join(
        deflate.compress(block) for _ in range(size >> 20)) + deflate.flush()


def _page(rng: random.Random, i: int) -> bytes:
    words = ["larkspine", "spur", "petal", "<b>bold</b>", "&amp;", "caf\u00e9", "\u65e5\u672c"]
    paras = "".join(f"<p>{' '.join(rng.choice(words) for _ in range(rng.randint(1, 12)))}</p>"
                    for _ in range(rng.randint(1, 6)))
    return f"<html><title>Page {i}</title>{paras}<a href=/p{rng.randint(0, 99)}>x</a></html>".encode()


@functools.cache
def _archive() -> tuple[bytes, list[int]]:
    """One archive for both runs (a record's id and date differ each time one is written)."""
    rng = random.Random(SEED + 1)
    return warc_bytes([Response(f"https://w.example/{i}", _page(rng, 100 + i)) for i in range(15)])


def _build(root: pathlib.Path, hostile: bool) -> dict[str, object]:
    """The same good pages under root/site; with ``hostile``, the bad items among them."""
    import gzip

    rng = random.Random(SEED)
    site = root / "site"
    (site / "a" / "b").mkdir(parents=True)
    for i in range(24):
        folder = site / rng.choice(["", "a", "a/b"])
        name = f"p{i:02d}.html" + (".gz" if i % 3 == 0 else "")
        body = _page(rng, i)
        (folder / name).write_bytes(gzip.compress(body, mtime=0) if name.endswith(".gz") else body)
    with open(os.path.join(os.fsencode(site), b"odd-\xff\xfe.html"), "wb") as f:
        f.write(_page(rng, 99))
    data, offsets = _archive()
    corrupt = 7  # this record's member gets a run of bad bytes in its deflate data
    bad: list[str] = []
    if hostile:
        member = bytearray(data[offsets[corrupt]:offsets[corrupt + 1]])
        middle = len(member) // 2
        member[middle:middle + 12] = b"\xff" * 12
        data = data[: offsets[corrupt]] + bytes(member) + data[offsets[corrupt + 1]:]
        (site / "a" / "bomb.html.gz").write_bytes(_bomb(256 << 20))
        bombs, bomb_offsets = warc_bytes([Response("https://first/", b"<title>first</title>"), Response(
            "https://bomb/", _bomb(256 << 20), headers=("Content-Encoding: gzip",))])
        (site / "bombs.warc.gz").write_bytes(bombs)
        os.mkfifo(site / "pipe.html")
        os.symlink("/dev/zero", site / "a" / "zero.html")
        os.symlink("/dev/null", site / "null.htm")
        os.symlink(".", site / "loop")
        os.symlink("..", site / "a" / "b" / "up")
        bad = ["site/a/bomb.html.gz: page too large",
               f"site/bombs.warc.gz (record at offset {bomb_offsets[1]}): page too large",
               "site/pipe.html: not a regular file (a FIFO)",
               "site/a/zero.html: not a regular file (a character device)",
               "site/null.htm: not a regular file (a character device)",
               f"site/crawl.warc.gz: corrupt WARC after the record at offset {offsets[corrupt - 1]}: "]
    (site / "crawl.warc.gz").write_bytes(data)
    return {"bad": bad, "lost": (f"site/crawl.warc.gz", offsets[corrupt]), "extra": ("site/bombs.warc.gz", 0)}


def _run(root: pathlib.Path, *args: str) -> tuple[int, list[dict[str, object]], str, int]:
    peak = root / "peak"
    env = dict(os.environ, LARKSPINE_TEST_PEAK=str(peak))
    result = subprocess.run([sys.executable, "-c", _RUN, *args], cwd=root, env=env, capture_output=True,
                            timeout=300)
    records = [json.loads(line) for line in result.stdout.decode("utf-8").splitlines()]
    return result.returncode, records, result.stderr.decode("utf-8"), int(peak.read_text() or 0) * 1024


@pytest.fixture(scope="module")
def clean(tmp_path_factory) -> tuple[list[dict[str, object]], int]:
    root = tmp_path_factory.mktemp("clean")
    _build(root, hostile=False)
    (root / "s.toml").write_text(SCHEMA)
    status, records, err, peak = _run(root, "extract", "s.toml", "site", "--max-page-size", LIMIT)
    assert status == 0 and err == ""
    return records, peak


@pytest.mark.skipif(not hasattr(os, "mkfifo") or not os.path.exists("/proc/self/status"),
                    reason="FIFOs and /proc are needed")
@pytest.mark.parametrize("jobs", ["1", "4"])
def test_a_hostile_folder_loses_no_good_page_and_names_each_bad_item_once(tmp_path, clean, jobs: str) -> None:
    built = _build(tmp_path, hostile=True)
    (tmp_path / "s.toml").write_text(SCHEMA)
    status, records, err, peak = _run(tmp_path, "extract", "s.toml", "site", "-j", jobs, "--max-page-size", LIMIT)
    assert status == 1
    expected_records, clean_peak = clean
    lost = built["lost"]
    got = [r for r in records if (r["_source"], r["_offset"]) != built["extra"]]
    assert got == [r for r in expected_records if (r["_source"], r["_offset"]) != lost]
    assert any(r["_source"] == "site/odd-\\xff\\xfe.html" for r in got)
    lines = [line for line in err.splitlines() if " pages, " not in line]  # all but the summary line
    for item in built["bad"]:  # type: ignore[attr-defined]
        assert sum(item in line for line in lines) == 1, (item, "\n".join(lines))
    assert len(lines) == len(built["bad"]), lines  # type: ignore[arg-type]
    assert "Traceback" not in err
    # Bombs of 256 MiB cost at most the limit per page in flight: a few MiB over a clean run.
    assert peak < clean_peak + (48 << 20), (peak, clean_peak)


@pytest.mark.parametrize(
    "value, message",
    [("lots", "not a size: 'lots'"), ("0", "less than a byte"), ("-1K", "not a size")],
)
def test_a_max_page_size_that_is_no_size_is_a_usage_error(tmp_path, value: str, message: str) -> None:
    (tmp_path / "s.toml").write_text(SCHEMA)
    (tmp_path / "p.html").write_bytes(b"<title>t</title>")
    result = subprocess.run([sys.executable, "-m", "larkspine", "extract", "s.toml", "p.html", "--max-page-size", value],
                            cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert result.returncode == 2 and result.stdout == ""
    assert "--max-page-size" in result.stderr and message in result.stderr and "Traceback" not in result.stderr


def test_the_limit_and_its_default_are_in_the_help() -> None:
    result = subprocess.run([sys.executable, "-m", "larkspine", "extract", "--help"], capture_output=True, text=True,
                            timeout=120)
    assert "--max-page-size SIZE" in result.stdout and "64MiB" in result.stdout
