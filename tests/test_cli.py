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
from larkspine.outputs import FORMATS  # noqa: E402

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


STAND_IN_TEXT = b"<p>Text of a stand-in article, long enough to weigh what a page weighs.</p>" * 140


#: The keys after _source of a plain file's record, read as UTF-8.
PLAIN = {"_offset": None, "_url": None, "_status": None, "_date": None, "_record_id": None, "_content_type": None,
         "_charset": "UTF-8"}


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
        # Stand-ins as large as a small article (10 KB), so that sizes show in MB figures.
        Response(f"https://x.example/{i}", b"<title>P%d</title><h1>H</h1><a href=/%d>l</a>" % (i, i) + STAND_IN_TEXT)
        for i in range(12)
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
        {"_source": "site/a.html", **PLAIN,
         **SCHEMA.extract((work / "site" / "a.html").read_bytes())},
        {"_source": "site/deep/b.html.gz", **PLAIN,
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
    assert (work / "out.csv").read_bytes().decode().startswith(
        "_source,_offset,_url,_status,_date,_record_id,_content_type,_charset,title,h1,links,images\r\n")
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
    assert lines(result.stdout) == [{"_source": "site/a.html", **PLAIN, "title": "A", "odd": []}]


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
    assert lines(page.stdout) == [{"_source": "-", **PLAIN, "title": "piped", "h1": [], "links": [], "images": []}]


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
    # Records are written a batch at a time: the output must outgrow a pipe's buffer, or
    # the whole of it may be written before the reader closes its end.
    proc = subprocess.Popen([*command(), "extract", "schema.toml", *["crawl.warc.gz"] * 200],
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
    assert "larkspine: 12 pages, " in text and "; 0 failed; 1 WARC record skipped (1 non-HTML response)" in text


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
    deadline = time.monotonic() + 60
    while not leftovers(work) and time.monotonic() < deadline:  # the output is being written
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
    assert leftovers(work) == []
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


# --- Outputs: what a user has is never destroyed, and a failed run says so ------------------


def leftovers(folder: pathlib.Path) -> list[str]:
    """Temporary files a run left behind in ``folder``."""
    return sorted(p.name for p in folder.iterdir() if p.name.endswith(".partial"))


@pytest.mark.parametrize(
    "inputs, output",
    [
        (["crawl.warc.gz"], "crawl.warc.gz"),
        (["site/a.html", "crawl.warc.gz"], "./crawl.warc.gz"),
        (["crawl.warc.gz"], "link.warc.gz"),       # the output is a symlink to the input
        (["link.warc.gz"], "crawl.warc.gz"),       # the input is a symlink to the output
        (["hard.warc.gz"], "crawl.warc.gz"),       # a hard link: the same file under another name
        (["site"], "site/deep/b.html.gz"),         # found under an input directory
        (["."], "crawl.warc.gz"),
        (["*.warc.gz"], "crawl.warc.gz"),          # found by a glob
        (["s*/**/*.gz"], "site/deep/b.html.gz"),
        (["s*/*/b.html.gz"], "site/deep/b.html.gz"),
        (["s*"], "site/deep/b.html.gz"),          # a glob matching a directory walks it
        (["-"], "crawl.warc.gz"),                  # standard input is the output file
    ],
)
@pytest.mark.parametrize("fmt", ["jsonl", "parquet"])
def test_an_output_that_is_an_input_is_refused_before_anything_is_read(work, inputs, output, fmt) -> None:
    (work / "link.warc.gz").symlink_to("crawl.warc.gz")
    os.link(work / "crawl.warc.gz", work / "hard.warc.gz")
    before = {p: (work / p).read_bytes() for p in ("crawl.warc.gz", "site/deep/b.html.gz", "site/a.html")}
    with open(work / "crawl.warc.gz", "rb") as archive:
        proc = subprocess.run([*command(), "extract", "schema.toml", *inputs, "missing.html", "-o", output, "-f", fmt],
                              stdin=archive if inputs == ["-"] else subprocess.DEVNULL, capture_output=True, timeout=60)
    assert proc.returncode == 2 and proc.stdout == b""
    err = proc.stderr.decode()
    assert re.fullmatch(rf"larkspine: -o {re.escape(output)} is the input \S+: refusing to write over it\n", err), err
    assert "missing.html" not in err  # refused before any input is read
    assert {p: (work / p).read_bytes() for p in before} == before
    assert (work / "link.warc.gz").is_symlink() and leftovers(work) == []


def test_an_output_that_is_the_schema_file_is_refused(work) -> None:
    before = (work / "schema.toml").read_bytes()
    result = run("extract", "schema.toml", "site", "-o", "schema.toml", "-f", "jsonl")
    assert result.exit_code == 2
    assert result.stderr == "larkspine: -o schema.toml is the schema file schema.toml: refusing to write over it\n"
    assert (work / "schema.toml").read_bytes() == before


@pytest.mark.parametrize(
    "inputs, output, sources",
    [
        (["site"], "site/out.jsonl", ["site/a.html", "site/deep/b.html.gz"]),  # a walk does not read it
        (["site/*.html"], "site/deep/c.html", ["site/a.html"]),                # nor a glob that stops above it
        (["*/a.html"], "site/deep/c.html", ["site/a.html"]),
    ],
)
def test_an_output_no_input_reads_is_allowed(work, inputs, output, sources) -> None:
    (work / output).write_text("old\n")
    result = run("extract", "schema.toml", *inputs, "-o", output, "-f", "jsonl")
    assert result.exit_code == 0, result.stderr
    assert [r["_source"] for r in lines((work / output).read_text())] == sources


def _old_outputs(work: pathlib.Path) -> dict[str, bytes]:
    old = {"jsonl": b'{"old": 1}\n', "csv": b"old,csv\r\n", "parquet": b"PAR1 an old file PAR1"}
    for fmt, data in old.items():
        (work / f"out.{fmt}").write_bytes(data)
    return old


@pytest.mark.parametrize("fmt", FORMATS)
def test_a_run_where_every_input_fails_keeps_the_existing_output(work, fmt: str) -> None:
    old = _old_outputs(work)
    result = run("extract", "schema.toml", "missing.html", "bad.warc.gz", "-o", f"out.{fmt}")
    assert result.exit_code == 1
    assert (work / f"out.{fmt}").read_bytes() == old[fmt] and leftovers(work) == []
    assert f"larkspine: every input failed: out.{fmt} is left as it was" in result.stderr.splitlines()
    fresh = run("extract", "schema.toml", "missing.html", "-o", f"new.{fmt}")
    assert fresh.exit_code == 1 and not (work / f"new.{fmt}").exists()


@pytest.mark.parametrize("fmt", FORMATS)
def test_a_run_with_good_pages_replaces_the_output_whole(work, fmt: str) -> None:
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    _old_outputs(work)
    os.chmod(work / f"out.{fmt}", 0o640)
    result = run("extract", "schema.toml", "site", "missing.html", "-o", f"out.{fmt}")
    assert result.exit_code == 1
    data = (work / f"out.{fmt}").read_bytes()
    assert b"site/deep/b.html.gz" in data or fmt == "parquet"
    assert b"old" not in data and leftovers(work) == []
    assert os.stat(work / f"out.{fmt}").st_mode & 0o777 == 0o640  # the file keeps its permissions


def _crash_after(n: int, error: BaseException, monkeypatch: pytest.MonkeyPatch) -> None:
    """Make the run fail with ``error`` after ``n`` records, as an exhausted memory would (for
    Parquet made a batch at a time, after ``n`` batches of one page)."""
    import larkspine._run
    import larkspine.cli

    def failing_after(original, **options):
        def failing(*args, **kwargs):
            records = original(*args, **kwargs, **options)
            for i, record in enumerate(records):
                if i == n:
                    records.close()
                    raise error
                yield record

        return failing

    monkeypatch.setattr(larkspine.cli, "extract_records", failing_after(larkspine.cli.extract_records))
    monkeypatch.setattr(larkspine.cli, "read_tables", failing_after(larkspine.cli.read_tables))
    monkeypatch.setattr(larkspine._run, "BATCH_PAGES", 1)


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("error, reason", [(MemoryError(), "MemoryError"), (RuntimeError("boom"), "RuntimeError: boom")])
def test_a_crash_removes_the_partial_output_and_keeps_the_old_one(work, monkeypatch, fmt, error, reason) -> None:
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    old = _old_outputs(work)
    _crash_after(5, error, monkeypatch)
    # Small row groups, so that Parquet has written some of its rows when the run fails.
    monkeypatch.setattr("larkspine.outputs.ParquetWriter.ROW_GROUP_SIZE", 2)
    result = run("extract", "schema.toml", "crawl.warc.gz", "-o", f"out.{fmt}")
    assert result.exit_code == 3
    assert result.stderr == f"larkspine: stopped by {reason}: out.{fmt} is not written (it is left as it was)\n"
    assert (work / f"out.{fmt}").read_bytes() == old[fmt] and leftovers(work) == []


def _limited(limit: int):
    """A child process that may write files of ``limit`` bytes at most, and gets EFBIG beyond."""

    def preexec() -> None:
        import resource

        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    return preexec


@pytest.fixture
def big(work):
    """An archive whose records come to about 240 KB of JSON Lines."""
    import random

    noise = random.Random(17)  # headings that do not compress, so that Parquet is as large
    pages = [b"<title>T</title>" + b"".join(b"<h1>%s</h1>" % noise.randbytes(24).hex().encode() for _ in range(40))
             for _ in range(100)]
    (work / "big.warc.gz").write_bytes(warc_bytes([Response(f"https://big/{i}", p) for i, p in enumerate(pages)])[0])
    return work


@pytest.mark.parametrize("fmt", FORMATS)
def test_a_file_too_large_removes_the_partial_output_and_keeps_the_old_one(big, fmt: str) -> None:
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    old = _old_outputs(big)
    proc = subprocess.run([*command(), "extract", "schema.toml", "big.warc.gz", "-o", f"out.{fmt}"],
                          capture_output=True, timeout=120, preexec_fn=_limited(60_000))
    assert proc.returncode == 3, proc.stderr
    assert proc.stderr.decode() == f"larkspine: cannot write out.{fmt}: File too large (it is left as it was)\n"
    assert (big / f"out.{fmt}").read_bytes() == old[fmt] and leftovers(big) == []


@pytest.mark.parametrize("fmt", ["jsonl", "csv"])
def test_standard_output_too_large_ends_after_a_whole_record(big, fmt: str) -> None:
    target = big / f"redirected.{fmt}"
    with open(target, "wb") as out:
        proc = subprocess.run([*command(), "extract", "schema.toml", "big.warc.gz", "-f", fmt], stdout=out,
                              stderr=subprocess.PIPE, timeout=120, preexec_fn=_limited(150_000))
    assert proc.returncode == 3
    assert proc.stderr.decode() == (
        "larkspine: cannot write standard output: File too large (it holds the records written before)\n")
    data = target.read_bytes()
    assert 0 < len(data) < 150_000
    if fmt == "jsonl":
        assert data.endswith(b"\n") and all(json.loads(line)["_url"] for line in data.splitlines())
    else:
        assert data.endswith(b"\r\n") and data.count(b"\r\n") == data.count(b"https://big/") + 1


FULL_OUTPUT_COMMANDS = [
    ["extract", "schema.toml", "crawl.warc.gz"],
    ["extract", "schema.toml", "crawl.warc.gz", "-f", "csv"],
    ["extract", "schema.toml", "crawl.warc.gz", "-o", "-"],
    ["check", "schema.toml"],
    ["detect-encoding", "crawl.warc.gz"],
]


@pytest.mark.parametrize("args", FULL_OUTPUT_COMMANDS, ids=" ".join)
@pytest.mark.parametrize("stdout, reason", [("full", "No space left on device"), ("closed", "Bad file descriptor")])
def test_an_unwritable_standard_output_is_one_line_and_exit_3(work, args, stdout, reason) -> None:
    if stdout == "full" and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full here")
    with open("/dev/full" if stdout == "full" else os.devnull, "wb") as out:
        proc = subprocess.run([*command(), *args], stdout=out, stderr=subprocess.PIPE, timeout=60,
                              preexec_fn=(lambda: os.close(1)) if stdout == "closed" else None)
    assert proc.returncode == 3
    assert re.fullmatch(rf"larkspine: cannot write standard output: {reason}( \(.*\))?\n", proc.stderr.decode())


@pytest.mark.parametrize("fmt", FORMATS)
def test_a_symlinked_output_writes_its_target(work, fmt: str) -> None:
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    (work / "real").mkdir()
    (work / f"link.{fmt}").symlink_to(f"real/out.{fmt}")  # dangling until the run writes it
    assert run("extract", "schema.toml", "site", "-o", f"link.{fmt}").exit_code == 0
    assert (work / f"link.{fmt}").is_symlink() and (work / "real" / f"out.{fmt}").stat().st_size > 100
    assert leftovers(work) == leftovers(work / "real") == []


@pytest.mark.parametrize("fmt", ["jsonl", "csv"])
def test_a_fifo_output_is_written_through(work, fmt: str) -> None:
    os.mkfifo(work / "fifo")
    proc = subprocess.Popen([*command(), "extract", "schema.toml", "site", "-o", "fifo", "-f", fmt],
                            stderr=subprocess.PIPE)
    with open(work / "fifo", "rb") as reader:
        got = reader.read()
    assert proc.wait(timeout=60) == 0
    assert got == run("extract", "schema.toml", "site", "-f", fmt).stdout_bytes
    assert stat_is_fifo(work / "fifo") and leftovers(work) == []


def stat_is_fifo(path: pathlib.Path) -> bool:
    import stat

    return stat.S_ISFIFO(os.lstat(path).st_mode)


@pytest.mark.parametrize("target", ["fifo", "-"])
def test_parquet_is_refused_where_it_cannot_seek(work, target: str) -> None:
    os.mkfifo(work / "fifo")
    result = run("extract", "schema.toml", "site", "missing.html", "-o", target, "-f", "parquet")
    assert result.exit_code == 2
    name = "standard output" if target == "-" else target
    assert result.stderr == f"larkspine: cannot write Parquet to {name}: it needs a regular file, to seek in\n"
    assert stat_is_fifo(work / "fifo") and leftovers(work) == []


def test_dash_output_is_standard_output(work) -> None:
    result = run("extract", "schema.toml", "site", "-o", "-")
    assert result.exit_code == 0 and not (work / "-").exists()
    assert result.stdout == run("extract", "schema.toml", "site").stdout


@pytest.mark.parametrize("stdout", ["pipe", "appended file"])
def test_dev_stdout_is_written_through(work, stdout: str) -> None:
    expected = run("extract", "schema.toml", "site").stdout_bytes
    if stdout == "pipe":
        proc = subprocess.run([*command(), "extract", "schema.toml", "site", "-o", "/dev/stdout"],
                              capture_output=True, timeout=60)
        assert proc.returncode == 0 and proc.stdout == expected
        return
    log = work / "log.jsonl"
    log.write_bytes(b'{"earlier": 1}\n')
    inode = log.stat().st_ino
    with open(log, "ab") as out:  # `>> log.jsonl`: the shell's file, appended to and kept
        proc = subprocess.run([*command(), "extract", "schema.toml", "site", "-o", "/dev/stdout"],
                              stdout=out, stderr=subprocess.PIPE, timeout=60)
    assert proc.returncode == 0
    assert log.read_bytes() == b'{"earlier": 1}\n' + expected and log.stat().st_ino == inode


@pytest.mark.parametrize("escape", [None, "--escape-formulas", "--no-escape-formulas"])
def test_csv_cells_that_spreadsheets_would_run_are_escaped_by_default(work, escape) -> None:
    (work / "=evil.html").write_bytes(b"<title>=HYPERLINK(\"http://x\")</title><h1>-2+3</h1><a href=@SUM(A1)>x</a>")
    result = run("extract", "schema.toml", "=evil.html", "-f", "csv", *([escape] if escape else []))
    assert result.exit_code == 0
    row = list(__import__("csv").reader(result.stdout.splitlines()))[1]
    mark = "" if escape == "--no-escape-formulas" else "'"
    assert row[0] == f"{mark}=evil.html"
    assert row[8] == f'{mark}=HYPERLINK("http://x")'
    assert row[9] == '["-2+3"]'  # a list is JSON text, which starts with [


def test_every_exit_status_is_explained_in_help() -> None:
    text = " ".join(run("--help").stdout.split())
    for status, meaning in [("0", "every input"), ("1", "failed"), ("2", "usage"), ("3", "could not be written"),
                            ("130", "Ctrl-C"), ("141", "pipe"), ("129", "SIGHUP"), ("143", "SIGTERM")]:
        assert re.search(rf"\b{status}\b[^0-9]*{meaning}", text), (status, text)


def test_every_exit_status_is_in_the_docs_table() -> None:
    docs = (pathlib.Path(__file__).resolve().parent.parent / "docs" / "batch-extraction.md").read_text()
    rows = re.findall(r"^\| (\d+) +\| (.+?) +\|$", docs, re.MULTILINE)
    assert [status for status, _ in rows] == ["0", "1", "2", "3", "129", "130", "141", "143"]


def test_an_input_url_that_cannot_be_read_is_a_named_failure(work) -> None:
    pytest.importorskip("fsspec")
    (work / "not.zip").write_bytes(b"not a zip archive")
    result = run("extract", "schema.toml", f"zip://a.html::{work / 'not.zip'}", "site/a.html")
    assert result.exit_code == 1
    errors = result.stderr.splitlines()
    assert errors[0].startswith("larkspine: zip://a.html::") and "zip file" in errors[0]
    assert [r["_source"] for r in lines(result.stdout)] == ["site/a.html"]


# --- Crawl metadata, --only-2xx, --input-file, shell completion ---------------------------------

ID = "<urn:uuid:00000000-0000-4000-8000-00000000000%d>"
CRAWL = [
    Response("https://s.example/ok", b"<title>OK</title><a href=/x>x</a>", "text/html; charset=iso-8859-1",
             date="2024-05-01T12:00:00Z", record_urn=ID[5:-1] % 1),
    Response("https://s.example/ok", b"", warc_type="request", date="2024-05-01T12:00:00Z", record_urn=ID[5:-1] % 2),
    Response("https://s.example/moved", b"<title>Moved</title>", "text/html", status="301 Moved Permanently",
             headers=("Location: /ok",), date="2024-05-01T12:00:01.5Z", record_urn=ID[5:-1] % 3),
    Response("https://s.example/logo.png", b"\x89PNG", "image/png", record_urn=ID[5:-1] % 4),
    Response("https://s.example/gone", b"\xef\xbb\xbf<title>Gone</title>", "TEXT/HTML; charset=windows-1252",
             status="404 Not Found", date="2024-05-01T12:00:02.123456789Z", record_urn=ID[5:-1] % 5),
    Response("https://s.example/odd", b"<meta charset=shift_jis><title>Odd</title>", "application/xhtml+xml",
             status="200", date="2024-13-01T00:00:00Z", record_urn=ID[5:-1] % 6),
]
NO_META = dict.fromkeys(("_status", "_date", "_record_id", "_content_type"))
# What each page's record says of itself: the keys after _source, _offset and _url.
CRAWL_META = [
    {"_status": 200, "_date": "2024-05-01T12:00:00Z", "_record_id": ID % 1, "_content_type": "text/html",
     "_charset": "windows-1252"},
    {"_status": 301, "_date": "2024-05-01T12:00:01.5Z", "_record_id": ID % 3, "_content_type": "text/html",
     "_charset": "UTF-8"},
    # A byte-order mark outweighs the HTTP charset; a date finer than a microsecond is cut to it.
    {"_status": 404, "_date": "2024-05-01T12:00:02.123456Z", "_record_id": ID % 5, "_content_type": "text/html",
     "_charset": "UTF-8"},
    # A reason phrase is optional; a date that is no date is null; <meta> names the charset.
    {"_status": 200, "_date": None, "_record_id": ID % 6, "_content_type": "application/xhtml+xml",
     "_charset": "Shift_JIS"},
]


@pytest.fixture
def crawl(work):
    data, offsets = warc_bytes(CRAWL)
    (work / "statuses.warc.gz").write_bytes(data)
    (work / "site" / "sjis.html").write_bytes(b"<meta charset=shift_jis><title>S</title>")
    return [offsets[i] for i in (0, 2, 4, 5)]


def _expected_meta(offsets: list[int]) -> list[dict[str, object]]:
    pages = [
        {"_source": "statuses.warc.gz", "_offset": o, "_url": r.url, **meta}
        for o, r, meta in zip(offsets, [CRAWL[i] for i in (0, 2, 4, 5)], CRAWL_META)
    ]
    return [{"_source": "site/sjis.html", "_offset": None, "_url": None, **NO_META, "_charset": "Shift_JIS"}, *pages]


META_KEYS = ["_source", "_offset", "_url", "_status", "_date", "_record_id", "_content_type", "_charset"]


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_records_carry_the_warc_metadata_in_json_lines(crawl, jobs: str) -> None:
    result = run("extract", "schema.toml", "site/sjis.html", "statuses.warc.gz", "-j", jobs)
    assert result.exit_code == 0, result.stderr
    records = lines(result.stdout)
    assert [list(r)[:8] for r in records] == [META_KEYS] * 5
    assert [{k: r[k] for k in META_KEYS} for r in records] == _expected_meta(crawl)
    assert [r["title"] for r in records] == ["S", "OK", "Moved", "Gone", "Odd"]


def test_records_carry_the_warc_metadata_in_csv(crawl) -> None:
    import csv
    import io

    result = run("extract", "schema.toml", "site/sjis.html", "statuses.warc.gz", "-f", "csv")
    assert result.exit_code == 0, result.stderr
    rows = list(csv.reader(io.StringIO(result.stdout, newline="")))
    assert rows[0][:9] == [*META_KEYS, "title"]
    expected = [["" if v is None else str(v) for v in r.values()] for r in _expected_meta(crawl)]
    assert [row[:8] for row in rows[1:]] == expected


def test_records_carry_the_warc_metadata_in_parquet_typed(crawl) -> None:
    import datetime

    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    assert run("extract", "schema.toml", "site/sjis.html", "statuses.warc.gz", "-o", "meta.parquet").exit_code == 0
    table = pq.read_table("meta.parquet")
    types = {name: table.schema.field(name).type for name in META_KEYS}
    assert types == {"_source": pa.string(), "_offset": pa.int64(), "_url": pa.string(), "_status": pa.int16(),
                     "_date": pa.timestamp("us", tz="UTC"), "_record_id": pa.string(),
                     "_content_type": pa.string(), "_charset": pa.string()}
    expected = _expected_meta(crawl)
    for row in expected:  # the same instants as the text JSON Lines writes
        if row["_date"] is not None:
            row["_date"] = datetime.datetime.fromisoformat(str(row["_date"]))
    assert table.select(META_KEYS).to_pylist() == expected
    assert table.column("_date").to_pylist()[3].microsecond == 123456


@pytest.mark.parametrize(
    "args, titles, summary",
    [
        ([], ["S", "OK", "Moved", "Gone", "Odd"], "2 WARC records skipped (1 request, 1 non-HTML response)"),
        (["--only-2xx"], ["S", "OK", "Odd"],
         "4 WARC records skipped (1 request, 1 non-HTML response, 2 responses not 2xx)"),
    ],
    ids=["all", "only-2xx"],
)
def test_only_2xx_keeps_successful_responses_and_the_summary_tells_skips_apart(crawl, args, titles, summary) -> None:
    result = run("extract", "schema.toml", "site/sjis.html", "statuses.warc.gz", "--progress", *args)
    assert result.exit_code == 0, result.stderr
    assert [r["title"] for r in lines(result.stdout)] == titles
    assert f"; 0 failed; {summary}\n" in result.stderr


def test_the_dask_partition_function_takes_only_2xx(crawl) -> None:
    from larkspine.batch import PartitionExtractor

    every = list(PartitionExtractor(SCHEMA)(["statuses.warc.gz"]))
    kept = list(PartitionExtractor(SCHEMA, only_2xx=True)(["statuses.warc.gz"]))
    assert [r["_status"] for r in every] == [200, 301, 404, 200]
    assert kept == [every[0], every[3]]


@pytest.mark.parametrize(
    "listing",
    [
        b"site/a.html\ncrawl.warc.gz\n",
        b"site/a.html\r\n\r\n   \ncrawl.warc.gz",  # CRLF, blank lines, no final newline
    ],
    ids=["lf", "crlf-blank"],
)
@pytest.mark.parametrize("where", ["file", "stdin"])
def test_input_file_lists_the_inputs_one_per_line(work, listing: bytes, where: str) -> None:
    expected = run("extract", "schema.toml", "site/deep", "site/a.html", "crawl.warc.gz")
    assert expected.exit_code == 0 and len(expected.stdout.splitlines()) == 14
    if where == "file":
        (work / "list.txt").write_bytes(listing)
        result = run("extract", "schema.toml", "site/deep", "--input-file", "list.txt")
    else:
        result = run("extract", "schema.toml", "site/deep", "-i", "-", input=listing)
    assert result.exit_code == 0, result.stderr
    assert result.stdout == expected.stdout


def test_input_file_names_that_fail_are_failures_and_the_run_goes_on(work) -> None:
    odd = os.fsencode("caf\udce9.html")  # a name that is not UTF-8
    (work / os.fsdecode(odd)).write_bytes(b"<title>Caf</title>")
    listing = b"missing.html\n" + odd + b"\n-\n" + b"x" * 70000 + b"\nsite/a.html\n"
    result = run("extract", "schema.toml", "-i", "-", input=listing)
    assert result.exit_code == 1
    assert [(r["_source"], r["title"]) for r in lines(result.stdout)] == [("caf\\xe9.html", "Caf"), ("site/a.html", "A")]
    assert result.stderr.splitlines()[:-1] == [
        "larkspine: missing.html: No such file or directory",
        "larkspine: -: standard input holds the input list, so it cannot be an input too",
        "larkspine: -: line 4 is longer than 65,536 bytes: skipped",
    ]
    assert result.stderr.splitlines()[-1].startswith("larkspine: 2 pages, ")


@pytest.mark.parametrize("existing_output", [False, True])
def test_input_file_lines_with_a_nul_byte_or_a_comment(work, existing_output: bool) -> None:
    # A NUL byte names no file: that line fails alone; a line starting with # is a comment.
    listing = b"# pages of the crawl\nsite/a.\0html\nsite/a.html\n#site/deep\n"
    out = work / "out.jsonl"
    if existing_output:
        out.write_text("old\n")
    result = run("extract", "schema.toml", "-i", "-", "-o", str(out), input=listing)
    assert result.exit_code == 1, result.stderr
    assert "Traceback" not in result.stderr
    assert result.stderr.splitlines()[0] == "larkspine: -: line 2 holds a NUL byte, which no file name can: skipped"
    assert [(r["_source"], r["title"]) for r in lines(out.read_text())] == [("site/a.html", "A")]


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "give the inputs: INPUT... or --input-file FILE"),
        (["-i", "-", "-"], "--input-file - reads the input names from standard input, so - cannot be an input too"),
        (["-i", "nope.txt"], "larkspine: cannot read the input list nope.txt: No such file or directory"),
        (["-i", "list.txt", "-o", "list.txt"], "larkspine: -o list.txt is the input list list.txt: refusing to write over it"),
    ],
)
def test_input_file_refusals(work, args, message) -> None:
    (work / "list.txt").write_text("site/a.html\n")
    result = run("extract", "schema.toml", *args)
    assert result.exit_code == 2 and message in result.stderr, result.stderr
    assert (work / "list.txt").read_text() == "site/a.html\n"


@pytest.mark.parametrize(
    "listed, output",
    [
        ("crawl.warc.gz", "crawl.warc.gz"),
        ("link.warc.gz", "crawl.warc.gz"),
        ("site", "site/deep/b.html.gz"),
        ("s*/**/*.gz", "site/deep/b.html.gz"),
    ],
)
@pytest.mark.parametrize("where", ["file", "stdin"])
def test_an_output_that_is_a_listed_input_is_refused_before_anything_is_read(work, listed, output, where) -> None:
    (work / "link.warc.gz").symlink_to("crawl.warc.gz")
    before = {p: (work / p).read_bytes() for p in ("crawl.warc.gz", "site/deep/b.html.gz")}
    listing = f"missing.html\n{listed}\n".encode()
    (work / "list.txt").write_bytes(listing)
    source = "list.txt" if where == "file" else "-"
    with open(work / "list.txt", "rb") as stdin:
        proc = subprocess.run([*command(), "extract", "schema.toml", "-i", source, "-o", output],
                              stdin=stdin, capture_output=True, timeout=60)
    assert proc.returncode == 2 and proc.stdout == b""
    err = proc.stderr.decode()
    assert re.fullmatch(rf"larkspine: -o {re.escape(output)} is the input \S+: refusing to write over it\n", err), err
    assert {p: (work / p).read_bytes() for p in before} == before and leftovers(work) == []


def test_a_listed_input_list_is_read_again_for_the_run_after_the_check(work) -> None:
    """The check reads the list to its end; the run reads it again, from stdin's spool too."""
    (work / "out.jsonl").write_text("old\n")
    for source, stdin in (("list.txt", None), ("-", b"site/a.html\ncrawl.warc.gz\n")):
        (work / "list.txt").write_bytes(b"site/a.html\ncrawl.warc.gz\n")
        result = run("extract", "schema.toml", "-i", source, "-o", "out.jsonl", input=stdin)
        assert result.exit_code == 0, result.stderr
        assert len((work / "out.jsonl").read_text().splitlines()) == 13


@pytest.mark.parametrize(
    "shell, marker",
    [("bash", "complete -o nosort -F _larkspine_completion larkspine"), ("zsh", "#compdef larkspine"),
     ("fish", "complete --no-files --command larkspine")],
)
def test_shell_completion_scripts(shell: str, marker: str) -> None:
    result = click_testing.CliRunner().invoke(cli, [], prog_name="larkspine", env={"_LARKSPINE_COMPLETE": f"{shell}_source"})
    assert result.exit_code == 0 and marker in result.stdout


@pytest.mark.parametrize(
    "words, cword, offered",
    [("larkspine ex", "1", ["extract"]), ("larkspine extract --only", "2", ["--only-2xx"]),
     ("larkspine extract --input", "2", ["--input-file"])],
)
def test_shell_completion_completes(words: str, cword: str, offered: list[str]) -> None:
    env = {"_LARKSPINE_COMPLETE": "bash_complete", "COMP_WORDS": words, "COMP_CWORD": cword}
    result = click_testing.CliRunner().invoke(cli, [], prog_name="larkspine", env=env)
    assert result.exit_code == 0
    assert [line.split(",", 1)[1] for line in result.stdout.splitlines()] == offered


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_parquet_of_a_schema_without_processors_is_written_a_batch_at_a_time(crawl, monkeypatch, jobs) -> None:
    """The command's Parquet equals what the per-record path writes, and no record dict is written."""
    pq = pytest.importorskip("pyarrow.parquet")
    from larkspine.batch import extract_records
    from larkspine.inputs import read_inputs
    from larkspine.outputs import ParquetWriter

    inputs = ["site", "statuses.warc.gz", "crawl.warc.gz", "missing.html"]
    writer = ParquetWriter("records.parquet", SCHEMA)
    for record in extract_records(SCHEMA, read_inputs(inputs)):
        writer.write(record)
    writer.close()

    def no_records(self, record):
        raise AssertionError("a record written one at a time")

    monkeypatch.setattr(ParquetWriter, "write", no_records)
    result = run("extract", "schema.toml", *inputs, "-o", f"tables{jobs}.parquet", "-j", jobs)
    assert result.exit_code == 1 and "missing.html: No such file or directory" in result.stderr
    assert pq.read_table(f"tables{jobs}.parquet").equals(pq.read_table("records.parquet"))
    assert pathlib.Path(f"tables{jobs}.parquet").read_bytes() == pathlib.Path("records.parquet").read_bytes()
