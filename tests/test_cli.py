"""The `larkspine` command: extract, check, detect-encoding; exit statuses, stderr, Ctrl-C."""

from __future__ import annotations

import gzip
import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import time

import pytest

click_testing = pytest.importorskip("click.testing")
pytest.importorskip("fastwarc")

from larkspine import Schema, field, group  # noqa: E402
from larkspine.cli import cli  # noqa: E402

from .warcs import Response, corpus_responses, warc_bytes  # noqa: E402

SCHEMA_TOML = """
title = { query = "title::text", first = true }
h1 = "h1 ::text"
links = "a::attr(href)"

[images]
group = "img"
fields.src = { query = "::attr(src)", first = true }
"""
SCHEMA = Schema({
    "title": field("title::text", first=True),
    "h1": field("h1 ::text"),
    "links": field("a::attr(href)"),
    "images": group("img", src=field("::attr(src)", first=True)),
})


def run(*args: str, input: bytes | None = None) -> click_testing.Result:
    return click_testing.CliRunner().invoke(cli, list(args), input=input, catch_exceptions=False)


def lines(text: str) -> list[dict[str, object]]:
    return [json.loads(line) for line in text.splitlines()]


@pytest.fixture
def work(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "schema.toml").write_text(SCHEMA_TOML)
    site = tmp_path / "site"
    (site / "deep").mkdir(parents=True)
    (site / "a.html").write_bytes(b"<title>A</title><h1>One <b>1</b></h1><a href=/x>x</a><img src=a.png>")
    (site / "deep" / "b.html.gz").write_bytes(gzip.compress(b"<title>B</title><img src=b1.png><img>"))
    (site / "deep" / "notes.txt").write_bytes(b"not a page")
    responses = corpus_responses(12) or [
        Response(f"https://x.example/{i}", b"<title>P%d</title><h1>H</h1><a href=/%d>l</a>" % (i, i)) for i in range(12)
    ]
    responses.insert(3, Response("https://x.example/img", b"\x89PNG", "image/png"))
    (tmp_path / "crawl.warc.gz").write_bytes(warc_bytes(responses)[0])
    return tmp_path


@pytest.mark.parametrize("command", [[], ["extract"], ["check"], ["detect-encoding"]])
def test_every_command_explains_itself(command: list[str]) -> None:
    result = run(*command, "--help")
    assert result.exit_code == 0
    assert result.stdout.startswith(f"Usage: larkspine {' '.join(command)}".rstrip() + " ")
    if command == ["extract"]:
        for option in ("--output", "--format", "--jobs", "--encoding", "--allow-unsupported", "INPUT..."):
            assert option in result.stdout


def test_extract_a_directory_to_json_lines(work) -> None:
    result = run("extract", "schema.toml", "site")
    assert result.exit_code == 0 and result.stderr == ""
    assert lines(result.stdout) == [
        {"_source": "site/a.html", "_offset": None, "_url": None,
         **SCHEMA.extract((work / "site" / "a.html").read_bytes())},
        {"_source": "site/deep/b.html.gz", "_offset": None, "_url": None,
         "title": "B", "h1": [], "links": [], "images": [{"src": "b1.png"}, {"src": None}]},
    ]


def test_extract_a_warc_names_file_offset_and_url(work) -> None:
    result = run("extract", "schema.toml", "crawl.warc.gz")
    assert result.exit_code == 0 and result.stderr == ""
    records = lines(result.stdout)
    assert len(records) == 12  # the image response is skipped
    data = (work / "crawl.warc.gz").read_bytes()
    for record in records:
        assert record["_source"] == "crawl.warc.gz"
        member = gzip.GzipFile(fileobj=__import__("io").BytesIO(data[record["_offset"]:])).read(2000)
        assert f"WARC-Target-URI: {record['_url']}\r\n".encode() in member


@pytest.mark.parametrize("fmt", ["jsonl", "csv"])
def test_jobs_give_byte_identical_output(work, fmt: str) -> None:
    one = run("extract", "schema.toml", "crawl.warc.gz", "site", "crawl.warc.gz", "-f", fmt)
    two = run("extract", "schema.toml", "crawl.warc.gz", "site", "crawl.warc.gz", "-f", fmt, "--jobs", "2")
    four = run("extract", "schema.toml", "crawl.warc.gz", "site", "crawl.warc.gz", "-f", fmt, "-j", "4")
    assert one.exit_code == two.exit_code == four.exit_code == 0
    assert one.stdout_bytes == two.stdout_bytes == four.stdout_bytes
    assert len(one.stdout_bytes.splitlines()) == 26 + (fmt == "csv")


def test_output_format_follows_the_file_suffix(work) -> None:
    pq = pytest.importorskip("pyarrow.parquet")
    assert run("extract", "schema.toml", "site", "-o", "out.csv").exit_code == 0
    assert (work / "out.csv").read_bytes().decode().startswith("_source,_offset,_url,title,h1,links,images\r\n")
    assert run("extract", "schema.toml", "site", "crawl.warc.gz", "-o", "out.parquet").exit_code == 0
    table = pq.read_table(work / "out.parquet")
    import pyarrow as pa

    assert table.num_rows == 14 and table.schema.field("images").type == pa.list_(pa.struct([("src", pa.string())]))
    assert table.to_pylist()[:2] == lines(run("extract", "schema.toml", "site").stdout)


def test_parquet_needs_an_output_file(work) -> None:
    result = run("extract", "schema.toml", "site", "-f", "parquet")
    assert result.exit_code == 2 and "--format parquet writes a file: give it with -o FILE" in result.stderr


@pytest.mark.parametrize(
    "schema_text, args, message",
    [
        ('title = { query = "h1", frist = true }', [], "schema.toml: field 'title': unknown key 'frist'"),
        ('title = "p::first-line"', [], "schema.toml: unsupported query"),
        ("\n".join(f'f{i} = "p{i}"' for i in range(130)), [], "schema.toml: the schema is over the engine's budget"),
        ('title = "h1::text"', ["--encoding", "no-such-charset"], "unknown encoding 'no-such-charset'"),
    ],
)
def test_refused_schema_or_option_stops_before_any_input_is_read(work, schema_text, args, message) -> None:
    (work / "schema.toml").write_text(schema_text)
    result = run("extract", "schema.toml", "missing-input.html", *args)
    assert result.exit_code == 2
    assert message in result.stderr
    assert "missing-input" not in result.stderr and result.stdout == ""


@pytest.mark.parametrize("target", ["no-such-dir/out.jsonl", "no-such-dir/out.parquet"])
def test_an_unwritable_output_is_refused_before_any_input_is_read(work, target: str) -> None:
    result = run("extract", "schema.toml", "missing-input.html", "-o", target)
    assert result.exit_code == 2
    assert f"cannot write {target}: No such file or directory" in result.stderr
    assert "missing-input" not in result.stderr


def test_allow_unsupported_extracts_empty_fields(work) -> None:
    (work / "schema.toml").write_text('title = { query = "title::text", first = true }\nodd = "p::first-line"')
    result = run("extract", "schema.toml", "site/a.html", "--allow-unsupported")
    assert result.exit_code == 0
    assert lines(result.stdout) == [{"_source": "site/a.html", "_offset": None, "_url": None, "title": "A", "odd": []}]


def test_bad_inputs_are_reported_by_name_and_the_run_goes_on(work) -> None:
    good = warc_bytes([Response("https://ok/", b"<title>OK</title>")] * 2)[0]
    (work / "cut.warc.gz").write_bytes(good[: len(good) - 20])
    (work / "bad.html.gz").write_bytes(b"\x1f\x8b\x08\x00garbage")
    (work / "empty").mkdir()
    result = run("extract", "schema.toml", "missing.html", "cut.warc.gz", "bad.html.gz", "empty", "site/a.html")
    assert result.exit_code == 1
    assert [r["title"] for r in lines(result.stdout)] == ["OK", "A"]
    errors = result.stderr.splitlines()
    assert errors[0] == "larkspine: missing.html: No such file or directory"
    assert errors[1].startswith("larkspine: cut.warc.gz") and "truncated" in errors[1]
    assert errors[2].startswith("larkspine: bad.html.gz: ")
    assert errors[3].startswith("larkspine: empty: directory holds no HTML or WARC file")
    assert errors[4].startswith("larkspine: 2 pages, ") and "; 4 failed" in errors[4]
    assert len(errors) == 5


def test_standard_input_is_read_with_a_dash(work) -> None:
    result = run("extract", "schema.toml", "-", input=(work / "crawl.warc.gz").read_bytes())
    assert result.exit_code == 0
    assert lines(result.stdout) == [dict(r, _source="-") for r in lines(run("extract", "schema.toml", "crawl.warc.gz").stdout)]
    page = run("extract", "schema.toml", "-", input=b"<title>piped</title>")
    assert lines(page.stdout) == [{"_source": "-", "_offset": None, "_url": None, "title": "piped", "h1": [], "links": [], "images": []}]


def test_page_class_reference(work, monkeypatch) -> None:
    (work / "shop_pages.py").write_text(
        "from larkspine import Page, field\n"
        "class Shop(Page):\n"
        "    title = field('title::text', first=True, out=str.lower)\n"
    )
    monkeypatch.syspath_prepend(str(work))
    result = run("extract", "shop_pages:Shop", "site")
    assert result.exit_code == 0
    assert [r["title"] for r in lines(result.stdout)] == ["a", "b"]


def test_check_prints_the_audit_and_fails_on_unsupported(work) -> None:
    ok = run("check", "schema.toml")
    assert ok.exit_code == 0
    assert ok.stdout.splitlines()[0].split() == ["name", "query", "kind", "value", "status"]
    assert "images.src" in ok.stdout and ok.stdout.rstrip().endswith("all supported")
    (work / "bad.toml").write_text('title = "h1::text"\nodd = "p::first-line"\n')
    bad = run("check", "bad.toml")
    assert bad.exit_code == 1 and "UNSUPPORTED: pseudo-class/element is unsupported" in bad.stdout
    (work / "broken.toml").write_text("title = 3")
    broken = run("check", "broken.toml")
    assert broken.exit_code == 2 and "broken.toml: field 'title'" in broken.stderr


def test_detect_encoding_tells_each_page(work) -> None:
    (work / "latin.html").write_bytes(b'<meta charset="latin1"><p>caf\xe9</p>')
    (work / "bom.html").write_bytes(b"\xef\xbb\xbf<p>x</p>")
    warc = warc_bytes([
        Response("https://jp/", "<p>日本</p>".encode("shift_jis"), "text/html; charset=cp932"),
        Response("https://plain/", b"<p>x</p>", "text/html"),
    ])
    (work / "two.warc").write_bytes(warc[0])
    result = run("detect-encoding", "latin.html", "bom.html", "two.warc", "site/a.html", "--encoding", "koi8-r")
    assert result.exit_code == 0
    assert result.stdout.splitlines() == [
        "windows-1252\tlatin.html".replace("windows-1252", "KOI8-R"),
        "UTF-8\tbom.html",
        f"Shift_JIS\ttwo.warc\t{warc[1][0]}\thttps://jp/",
        f"KOI8-R\ttwo.warc\t{warc[1][1]}\thttps://plain/",
        "KOI8-R\tsite/a.html",
    ]
    sniffed = run("detect-encoding", "latin.html", "missing.html")
    assert sniffed.exit_code == 1
    assert sniffed.stdout == "windows-1252\tlatin.html\n"
    assert sniffed.stderr == "larkspine: missing.html: No such file or directory\n"


# --- The installed command, in processes of its own -----------------------------------------


def command() -> list[str]:
    return [sys.executable, "-m", "larkspine"]


def test_console_script_and_module_run() -> None:
    script = pathlib.Path(sys.executable).with_name("larkspine")
    if not script.exists():
        pytest.skip("the console script is not installed beside this interpreter")
    from larkspine import __version__

    for argv in ([str(script), "--version"], [*command(), "--version"]):
        out = subprocess.run(argv, capture_output=True, text=True, check=True)
        assert out.stdout.strip() == f"larkspine, version {__version__}"


def test_broken_pipe_ends_quietly(work) -> None:
    proc = subprocess.Popen([*command(), "extract", "schema.toml", "crawl.warc.gz", "crawl.warc.gz"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stdout is not None and proc.stderr is not None
    first = proc.stdout.readline()
    proc.stdout.close()
    err = proc.stderr.read()
    assert proc.wait(timeout=60) == 141
    assert json.loads(first)["_source"] == "crawl.warc.gz" and err == b""


def test_progress_and_summary_on_a_terminal(work) -> None:
    pty = pytest.importorskip("pty")
    import fcntl
    import struct
    import termios

    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 100, 0, 0))
    proc = subprocess.Popen([*command(), "extract", "schema.toml", "crawl.warc.gz", "-o", "out.jsonl"],
                            stderr=follower, stdout=subprocess.DEVNULL)
    os.close(follower)
    seen = b""
    while True:
        try:
            chunk = os.read(leader, 4096)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
    os.close(leader)
    assert proc.wait(timeout=60) == 0
    text = seen.decode()
    bars = re.findall(r"\r(\d+) pages \[\d\d:\d\d, [\d.?]+ pages/s(?:, ([\d.]+) MB, [\d.]+ MB/s)?\]", text)
    assert bars and bars[-1][0] == "12"  # tqdm's bar: pages, pages/s, MB, MB/s
    assert float(bars[-1][1]) > 0
    assert "larkspine: 12 pages, " in text and "; 0 failed; 1 WARC records skipped (not HTML responses)" in text


def _feed(proc: subprocess.Popen[bytes], data: bytes) -> None:
    assert proc.stdin is not None
    proc.stdin.write(data)
    proc.stdin.flush()


@pytest.mark.parametrize("fmt", ["jsonl", "parquet"])
def test_ctrl_c_stops_with_complete_records(work, fmt: str) -> None:
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    responses = [Response(f"https://x/{i}", b"<title>T%d</title>" % i + b"<p>filler</p>" * 500) for i in range(6)]
    data, offsets = warc_bytes(responses)
    out = work / f"out.{fmt}"
    proc = subprocess.Popen([*command(), "extract", "schema.toml", "-", "-o", str(out)],
                            stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    partial = out.with_name(out.name + ".partial") if fmt == "parquet" else out
    deadline = time.monotonic() + 60
    while not partial.exists() and time.monotonic() < deadline:
        time.sleep(0.02)
    time.sleep(0.3)  # the output file is opened just before Ctrl-C is taken over
    proc.send_signal(signal.SIGINT)
    _feed(proc, data[: offsets[2]])  # two whole records arrive after the Ctrl-C
    try:
        assert proc.wait(timeout=60) == 130
    finally:
        proc.kill()
    assert proc.stderr is not None
    err = proc.stderr.read().decode()
    assert "stopped by Ctrl-C" in err and "Traceback" not in err
    if fmt == "jsonl":
        records = lines(out.read_text())
    else:
        import pyarrow.parquet as pq

        records = pq.read_table(out).to_pylist()
        assert not partial.exists()
    # The run stops after the record in hand: complete records only, none half-written.
    assert [r["title"] for r in records] == ["T0"]


@pytest.mark.parametrize("suffix", ["jsonl", "csv", "parquet"])
def test_a_record_the_format_cannot_hold_fails_its_page_only(work, monkeypatch, suffix: str) -> None:
    if suffix == "parquet":
        pytest.importorskip("pyarrow")
    # A processor whose values are sometimes a set (no JSON) and sometimes of another type.
    (work / "odd_pages.py").write_text(
        "from larkspine import Page, field\n"
        "def odd(v):\n"
        "    return {v} if v == 'B' else v\n"
        "class Odd(Page):\n"
        "    title = field('title::text', first=True, out=odd)\n"
    )
    monkeypatch.syspath_prepend(str(work))
    result = run("extract", "odd_pages:Odd", "site", "-o", f"out.{suffix}")
    assert result.exit_code == 1
    errors = result.stderr.splitlines()
    assert errors[0].startswith(f"larkspine: site/deep/b.html.gz: cannot be written as {suffix}: ")
    assert errors[1].startswith("larkspine: 1 pages, ") and "; 1 failed" in errors[1]
    if suffix == "parquet":
        import pyarrow.parquet as pq

        assert pq.read_table(work / "out.parquet").to_pylist()[0]["title"] == "A"
        assert pq.read_table(work / "out.parquet").num_rows == 1
    else:
        text = (work / f"out.{suffix}").read_bytes().decode()
        assert "site/a.html" in text and "b.html.gz" not in text
