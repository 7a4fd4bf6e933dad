#!/usr/bin/env python3
"""End to end over archives like Common Crawl's: `larkspine extract` to Parquet on 1 and 2
jobs, over one archive and over several, against a FastWARC + selectolax + pyarrow pipeline
doing the same extraction, with the machine's own 2-thread gain and the memory of each run.

The archives. WARC/1.1, one gzip member per record, as Common Crawl writes them: each file
opens with a warcinfo record, and each capture is a request, its response and a metadata
record; among the HTML captures (every page of ../shared/corpus/articles and
../shared/corpus/dense, again and again under new URLs until --html-mb is reached) come 301
redirects with their small HTML body, revisit records, RSS feeds, JPEG images and PDFs. The
records are dealt into --files archives ("several"), and "one archive" is those files
concatenated (the same records and MB). They are built once, into a cache folder under /tmp
(--cache; never the repository), keyed by the size, the file count and the corpus, and
reused by every later run; building 1 GB of HTML (279 MB compressed) took 27 CPU seconds.

The schemas. examples/article.toml (7 fields and a group) and the 18-query schema of
benchmarks/compare.py (written as a JSON schema file into the cache). The peer pipeline
reads each archive with FastWARC (its own gzip reader and HTTP parser), keeps the HTML
responses, parses each with selectolax (lexbor), takes the same fields and the same source
keys, and writes them to Parquet 64 records at a time through pyarrow, on one thread.

What is measured. Every run is its own process, started as a user starts it: `larkspine
extract SCHEMA INPUTS -o out.parquet -j N` through the installed package (--command), so the
figures are those of whatever reading path the installed command has. Each run gives its
wall time; its CPU seconds, user and system, of the process and every process it waited for
(worker processes included: wait4's rusage); its max RSS (the largest single process); the
max RSS of all its processes summed (each one's high-water mark, VmHWM, sampled every 0.2 s
until it ends: exact for one process, jobs on threads included; for forked workers an upper
bound, as pages a worker shares with its parent count in both), the figure that compares
-j 1 with -j 2 whether the jobs are threads or processes; and
the CPU that other processes took during it (the machine's busy time from /proc/stat less
the run's and this script's own), in cores. Rounds are interleaved: each round runs every
variant once. A round starts once /proc/stat shows the machine at least 85% idle (the gate
gives up after --quiet-wait seconds) and measures sha256 over large buffers on 1 and 2
threads before and after its runs (hashlib releases the interpreter lock): the machine's own
2-thread gain. Medians are reported with their ranges (min-max over the rounds), ratios are
taken within a round, and each round's 1-minute load average is noted.

Quiet gate for the 2-job aims: the command's runs of a round whose gate did not open, or in
which other processes took more than --max-others cores during one of them, are measured
again, with the sha256 gain (up to --redo times; a round still not quiet then is kept and
counted as such, and the 2-job ratios are those of the quiet rounds when there are any).
The 1-minute load average is printed but does not gate: on 2 cores it counts this script's
own jobs, which keep it near 1 or 2 however quiet the machine is otherwise; the others' CPU
during the run itself is the load that says whether the second core was free.

One command per aim (build the archives once with the first; add `nice` on a shared machine):

  one job against the peer, both schemas (CPU seconds of all processes):
      python benchmarks/batch.py --aim single --rounds 7
  -j 2 over one archive (wall speedup) and over 8 archives against the sha256 gain:
      python benchmarks/batch.py --aim jobs --rounds 7
  peak memory of -j 1 and -j 2, per extra job:
      python benchmarks/batch.py --aim memory --rounds 3
  reading alone, inflate included (the native reader through the private test module, and
  FastWARC iterating every record), MB of HTML per CPU second:
      python benchmarks/batch.py --aim reading --rounds 5
  everything above in one interleaved run:
      python benchmarks/batch.py --aim all --rounds 7

Defaults: 1 GB of HTML (--html-mb 1024) in 8 archives (--files 8), both schemas (--schemas
article,18). `--rounds 0` builds the archives and stops. A smoke run: `nice python
benchmarks/batch.py --aim all --html-mb 50 --rounds 1`.
"""

from __future__ import annotations

import argparse
import base64
import dataclasses
import gzip
import hashlib
import json
import os
import pathlib
import random
import resource
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import uuid
from collections.abc import Callable, Iterator
from typing import Any

REPO = pathlib.Path(__file__).resolve().parent.parent
CORPUS = REPO.parent / "shared" / "corpus"
ARTICLE_SCHEMA = REPO / "examples" / "article.toml"
#: Raised whenever what the builder writes changes, so that no cache of the old kind is reused.
BUILD_VERSION = 1
#: The 18-query schema's field names, in the order of compare.QUERIES_18.
NAMES_18 = ["title", "description", "og_title", "og_image", "author", "published", "canonical", "h1", "h2",
            "h3", "links", "images", "nav_links", "article_text", "list_items", "times", "json_ld", "lang"]


# ---------------------------------------------------------------------------------------------
# The archives


def corpus_pages() -> list[tuple[str, bytes]]:
    """(name, HTML) of every page of the two corpora, articles first, each sorted by name."""
    pages = []
    for folder in ("articles", "dense"):
        for path in sorted((CORPUS / folder).glob("*.html.gz")):
            pages.append((f"{folder}/{path.name[: -len('.html.gz')]}", gzip.decompress(path.read_bytes())))
    return pages


class Writer:
    """WARC/1.1 records, each one gzip member, with deterministic IDs and dates."""

    def __init__(self, seed: int) -> None:
        self.rng = random.Random(seed)
        self.count = 0

    def record_id(self) -> str:
        self.count += 1
        return f"<urn:uuid:{uuid.UUID(int=self.rng.getrandbits(128), version=4)}>"

    def date(self) -> str:
        return f"2024-05-{1 + self.count % 28:02d}T{self.count % 24:02d}:{self.count % 60:02d}:{self.count * 7 % 60:02d}Z"

    def record(self, warc_type: str, block: bytes, headers: list[tuple[str, str]], record_id: str | None = None) -> bytes:
        lines = [
            "WARC/1.1", f"WARC-Type: {warc_type}", f"WARC-Date: {self.date()}",
            f"WARC-Record-ID: {record_id or self.record_id()}", f"Content-Length: {len(block)}",
        ]
        lines += [f"{name}: {value}" for name, value in headers]
        head = ("\r\n".join(lines) + "\r\n\r\n").encode("utf-8")
        return gzip.compress(head + block + b"\r\n\r\n", compresslevel=6, mtime=0)


def digest(payload: bytes) -> str:
    return "sha1:" + base64.b32encode(hashlib.sha1(payload).digest()).decode()


def http_response(status: str, content_type: str, body: bytes, extra: tuple[str, ...] = ()) -> bytes:
    lines = [f"HTTP/1.1 {status}", "Date: Wed, 01 May 2024 12:00:00 GMT", "Server: nginx",
             f"Content-Type: {content_type}", "Cache-Control: max-age=600", "Vary: Accept-Encoding",
             "X-Frame-Options: SAMEORIGIN", *extra, f"Content-Length: {len(body)}"]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body


def capture(w: Writer, warcinfo: str, url: str, warc_type: str, block: bytes, media: str) -> bytes:
    """A request, the response (or revisit) record and a metadata record, as a crawler writes them."""
    host = url.split("/")[2]
    request_id, response_id = w.record_id(), w.record_id()
    request = f"GET /{url.split('/', 3)[3]} HTTP/1.1\r\nHost: {host}\r\nUser-Agent: bench-crawler/1.0\r\n" \
              "Accept: text/html,application/xhtml+xml,*/*;q=0.8\r\nAccept-Encoding: br,gzip\r\n\r\n"
    common = [("WARC-Warcinfo-ID", warcinfo), ("WARC-IP-Address", "192.0.2.7"), ("WARC-Target-URI", url)]
    out = [w.record("request", request.encode(), [
        ("Content-Type", "application/http; msgtype=request"), *common, ("WARC-Concurrent-To", response_id),
    ], request_id)]
    payload = block.split(b"\r\n\r\n", 1)[-1]
    headers = [("Content-Type", "application/http; msgtype=response"), *common, ("WARC-Concurrent-To", request_id),
               ("WARC-Payload-Digest", digest(payload)), ("WARC-Identified-Payload-Type", media)]
    if warc_type == "revisit":
        headers += [("WARC-Profile", "http://netpreserve.org/warc/1.1/revisit/identical-payload-digest"),
                    ("WARC-Refers-To-Target-URI", url), ("WARC-Refers-To-Date", "2024-04-01T00:00:00Z")]
    out.append(w.record(warc_type, block, headers, response_id))
    metadata = (f"fetchTimeMs: {40 + w.count % 400}\r\ncharset-detected: UTF-8\r\n"
                'languages-cld2: {"reliable":true,"languages":[{"code":"en","score":900}]}\r\n').encode()
    out.append(w.record("metadata", metadata, [
        ("Content-Type", "application/warc-fields"), ("WARC-Target-URI", url), ("WARC-Concurrent-To", response_id),
    ]))
    return b"".join(out)


def captures(html_bytes: int) -> Iterator[tuple[str, str, bytes, str, bool]]:
    """(url, WARC type, HTTP block, media type, counts as an HTML page) until ``html_bytes``
    of HTML responses: the corpus over and over, with the other kinds mixed in."""
    pages = corpus_pages()
    if not pages:
        sys.exit(f"corpus not found: {CORPUS}/articles and {CORPUS}/dense")
    rng = random.Random(26)
    hosts = [f"www.site{k}.example" for k in range(97)]
    made = i = 0
    while made < html_bytes:
        name, body = pages[i % len(pages)]
        copy = i // len(pages)
        url = f"https://{hosts[i % len(hosts)]}/{copy}/{name}"
        try:
            body.decode("utf-8")
            media = "text/html; charset=UTF-8"
        except UnicodeDecodeError:
            media = "text/html"  # a legacy page: the charset is its <meta>'s
        yield url, "response", http_response("200 OK", media, body), "text/html", True
        made += len(body)
        if i % 8 == 7:
            moved = (f'<!DOCTYPE HTML><html><head><title>301 Moved Permanently</title></head><body><h1>Moved '
                     f'Permanently</h1><p>The document has moved <a href="{url}">here</a>.</p></body></html>').encode()
            yield "http://" + url[len("https://"):], "response", http_response(
                "301 Moved Permanently", "text/html; charset=iso-8859-1", moved, (f"Location: {url}",)
            ), "text/html", True
            made += len(moved)
        if i % 12 == 11:
            yield url, "revisit", http_response("200 OK", media, b""), "text/html", False
        if i % 15 == 14:
            image = b"\xff\xd8\xff\xe0\x00\x10JFIF" + rng.randbytes(rng.randrange(20_000, 80_000))
            yield f"{url}.jpg", "response", http_response("200 OK", "image/jpeg", image), "image/jpeg", False
        if i % 20 == 19:
            items = "".join(f"<item><title>Story {k}</title><link>{url}?s={k}</link><description>"
                            f"{'Lorem ipsum dolor sit amet. ' * 8}</description></item>" for k in range(20))
            feed = f'<?xml version="1.0"?><rss version="2.0"><channel><title>Feed</title>{items}</channel></rss>'
            yield f"{url}/feed", "response", http_response(
                "200 OK", "application/rss+xml; charset=UTF-8", feed.encode()), "application/rss+xml", False
        if i % 25 == 24:
            pdf = b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n" + rng.randbytes(150_000) + b"\n%%EOF\n"
            yield f"{url}.pdf", "response", http_response("200 OK", "application/pdf", pdf), "application/pdf", False
        i += 1


@dataclasses.dataclass
class Archives:
    folder: pathlib.Path
    manifest: dict[str, Any]

    @property
    def one(self) -> list[str]:
        return [str(self.folder / self.manifest["one"])]

    @property
    def several(self) -> list[str]:
        return [str(self.folder / name) for name in self.manifest["several"]]

    @property
    def html_mb(self) -> float:
        return float(self.manifest["html_bytes"]) / 1e6


def corpus_key() -> str:
    h = hashlib.sha1()
    for folder in ("articles", "dense"):
        for path in sorted((CORPUS / folder).glob("*.html.gz")):
            h.update(f"{path.name} {path.stat().st_size}\n".encode())
    return h.hexdigest()[:10]


def archives(cache: pathlib.Path, html_mb: int, files: int) -> Archives:
    """The archives for these settings: from the cache, or built there (in a folder of its
    own, renamed into place once complete, so a half-built set is never taken)."""
    folder = cache / f"html{html_mb}mb-{files}files-v{BUILD_VERSION}-{corpus_key()}"
    manifest_path = folder / "manifest.json"
    if manifest_path.is_file():
        return Archives(folder, json.loads(manifest_path.read_text()))
    cache.mkdir(parents=True, exist_ok=True)
    print(f"building the archives into {folder} (once) ...", file=sys.stderr, flush=True)
    work = pathlib.Path(tempfile.mkdtemp(prefix=".building-", dir=cache))
    try:
        names = [f"crawl-{k:02d}.warc.gz" for k in range(files)]
        outs = [open(work / name, "wb") for name in names]
        writer = Writer(seed=26)
        infos = []
        for k, out in enumerate(outs):
            info = writer.record_id()
            infos.append(info)
            fields = (f"software: larkspine-benchmark/{BUILD_VERSION}\r\nformat: WARC File Format 1.1\r\n"
                      f"isPartOf: BENCH-2024-18\r\nhostname: crawler-{k}\r\n").encode()
            out.write(writer.record("warcinfo", fields, [("Content-Type", "application/warc-fields"),
                                                         ("WARC-Filename", names[k])], info))
        kinds: dict[str, int] = {"warcinfo": files}
        pages = html = 0
        for n, (url, warc_type, block, media, is_page) in enumerate(captures(html_mb * 1_000_000)):
            outs[n % files].write(capture(writer, infos[n % files], url, warc_type, block, media))
            kind = f"{warc_type} {media}" if warc_type == "response" else warc_type
            for key in ("request", kind, "metadata"):
                kinds[key] = kinds.get(key, 0) + 1
            if is_page:
                pages += 1
                html += len(block.split(b"\r\n\r\n", 1)[1])
        for out in outs:
            out.close()
        with open(work / "crawl-all.warc.gz", "wb") as whole:
            for name in names:
                with open(work / name, "rb") as part:
                    shutil.copyfileobj(part, whole, 1 << 20)
        manifest = {
            "one": "crawl-all.warc.gz", "several": names, "pages": pages, "html_bytes": html, "records": kinds,
            "compressed_bytes": os.path.getsize(work / "crawl-all.warc.gz"),
        }
        (work / "manifest.json").write_text(json.dumps(manifest, indent=1))
        try:
            work.rename(folder)
        except OSError:  # another run built it meanwhile: take that one
            shutil.rmtree(work)
    except BaseException:
        shutil.rmtree(work, ignore_errors=True)
        raise
    return Archives(folder, json.loads(manifest_path.read_text()))


def schema_18(folder: pathlib.Path) -> tuple[pathlib.Path, pathlib.Path]:
    """The 18-query schema as a schema file, and the peer's (name, CSS, value kind) for it."""
    sys.path.insert(0, str(REPO / "benchmarks"))
    from compare import QUERIES_18, QUERY_KINDS_18

    assert len(NAMES_18) == len(QUERIES_18) == len(QUERY_KINDS_18)
    schema, peer = folder / "schema-18.json", folder / "peer-18.json"
    if not schema.is_file():
        for path, data in ((schema, {n: q for n, (q, _, _) in zip(NAMES_18, QUERIES_18)}),
                           (peer, [[n, css, kind] for n, (_, css, _), kind in zip(NAMES_18, QUERIES_18, QUERY_KINDS_18)])):
            tmp = path.with_suffix(".tmp")
            tmp.write_text(json.dumps(data, indent=1))
            tmp.rename(path)
    return schema, peer


# ---------------------------------------------------------------------------------------------
# The peer pipeline and the readers, each run in a process of its own (this script, called
# with --peer-run or --read-run)


def peer_run(schema: str, out: str, paths: list[str]) -> None:
    """FastWARC + selectolax + pyarrow: the same source keys and fields, to Parquet."""
    import pyarrow as pa
    import pyarrow.parquet as pq
    from fastwarc.warc import ArchiveIterator, WarcRecordType
    from selectolax.lexbor import LexborHTMLParser

    string, strings = pa.string(), pa.list_(pa.string())
    keys = [("_source", string), ("_offset", pa.int64()), ("_url", string), ("_status", pa.int16()),
            ("_date", string), ("_record_id", string), ("_content_type", string), ("_charset", string)]

    def attr(tree: Any, css: str, name: str) -> str | None:
        node = tree.css_first(css)
        return None if node is None else node.attributes.get(name)

    fields: Callable[[Any], tuple[Any, ...]]
    columns: list[tuple[str, Any]]
    if schema == "article":
        columns = [("title", string), ("headline", strings), ("description", string), ("canonical", string),
                   ("published", string), ("lang", string), ("links", strings),
                   ("images", pa.list_(pa.struct([("src", string), ("alt", string)])))]

        def fields(tree: Any) -> tuple[Any, ...]:
            title = tree.css_first("title")
            return (
                None if title is None else title.text(deep=False),
                [n.text(deep=False) for h in tree.css("h1") for n in h.traverse(include_text=True) if n.tag == "-text"],
                attr(tree, 'meta[name="description"]', "content"),
                attr(tree, 'link[rel="canonical"]', "href"),
                attr(tree, 'meta[property="article:published_time"]', "content"),
                attr(tree, "html", "lang"),
                [a.attributes.get("href") for a in tree.css("a[href]")],
                [{"src": i.attributes.get("src"), "alt": i.attributes.get("alt")} for i in tree.css("img")],
            )
    else:
        spec = json.loads(pathlib.Path(schema).read_text())
        columns = [(name, strings) for name, _, _ in spec]
        pairs = [(css, kind) for _, css, kind in spec]

        def values(nodes: Any, kind: str) -> list[str]:
            if kind.startswith("attr:"):
                name = kind[5:]
                return [v for n in nodes if (v := n.attributes.get(name)) is not None]
            return [n.text(deep=kind == "deep") for n in nodes]

        def fields(tree: Any) -> tuple[Any, ...]:
            return tuple(values(tree.css(css), kind) for css, kind in pairs)

    arrow_schema = pa.schema([*keys, *columns])
    names = arrow_schema.names
    rows: dict[str, list[Any]] = {name: [] for name in names}
    with pq.ParquetWriter(out, arrow_schema) as writer:
        def flush() -> None:
            writer.write_table(pa.Table.from_pydict(rows, schema=arrow_schema))
            for column in rows.values():
                column.clear()

        for path in paths:
            with open(path, "rb") as f:
                for record in ArchiveIterator(f, record_types=WarcRecordType.response, parse_http=True):
                    media = (record.http_content_type or "").lower()
                    if media not in ("text/html", "application/xhtml+xml"):
                        continue
                    tree = LexborHTMLParser(record.reader.read())
                    values_of = (
                        path, record.stream_pos, record.headers.get("WARC-Target-URI"),
                        record.http_headers.status_code, record.headers.get("WARC-Date"),
                        record.headers.get("WARC-Record-ID"), media, record.http_charset, *fields(tree),
                    )
                    for name, value in zip(names, values_of):
                        rows[name].append(value)
                    if len(rows["_source"]) >= 64:
                        flush()
        if rows["_source"]:
            flush()


def read_run(reader: str, paths: list[str]) -> None:
    """Read every record of the archives, inflate included; print the CPU seconds of the
    reading alone (not the start-up or the file reads) and the HTML pages seen."""
    cpu = 0.0
    pages = 0
    for path in paths:
        data = pathlib.Path(path).read_bytes()
        start = time.thread_time()
        if reader == "native":
            import _larkspine_testing as testing

            _, items, _, _ = testing.read_archive(data, 64 << 20, False, 0, False)
            pages += sum(1 for item in items if item[0] == "page")
        else:
            import io

            from fastwarc.warc import ArchiveIterator, WarcRecordType

            for record in ArchiveIterator(io.BytesIO(data), parse_http=True):
                body = record.reader.read()
                if record.record_type == WarcRecordType.response and body and \
                        (record.http_content_type or "").lower() == "text/html":
                    pages += 1
        cpu += time.thread_time() - start
    print(json.dumps({"cpu": cpu, "pages": pages}))


# ---------------------------------------------------------------------------------------------
# Measuring


@dataclasses.dataclass
class Run:
    wall: float
    cpu: float
    max_rss_mb: float
    #: The peak resident memory of each of the run's processes, summed (None: not sampled).
    tree_mb: float | None
    #: The CPU other processes took during the run, in cores.
    others: float
    #: What the run printed on standard output.
    stdout: bytes


TICK = os.sysconf("SC_CLK_TCK")


def busy_ticks() -> int:
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:]]
    return sum(v[:8]) - v[3] - v[4]  # every state but idle and iowait; guest time is in user already


def idle_share(window: float) -> float:
    def read() -> tuple[int, int]:
        with open("/proc/stat") as f:
            v = [int(x) for x in f.readline().split()[1:]]
        return v[3] + v[4], sum(v[:8])

    idle0, total0 = read()
    time.sleep(window)
    idle1, total1 = read()
    return (idle1 - idle0) / max(1, total1 - total0)


def wait_quiet(give_up: float, threshold: float = 0.85) -> tuple[float, bool]:
    """Waits until the machine was at least ``threshold`` idle over half a second; returns
    (the idle share seen last, whether the gate opened)."""
    deadline = time.monotonic() + give_up
    while True:
        idle = idle_share(0.5)
        if idle >= threshold or time.monotonic() > deadline:
            return idle, idle >= threshold


def descendants(pid: int) -> list[int]:
    """``pid`` and the processes below it (one scan of /proc)."""
    parent: dict[int, int] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat", "rb") as f:
                    stat = f.read()
            except OSError:
                continue
            parent[int(entry)] = int(stat[stat.rindex(b")") + 2:].split()[1])
    tree, frontier = [pid], [pid]
    while frontier:
        below = [child for child, p in parent.items() if p in frontier]
        tree += below
        frontier = below
    return tree


def hwm_kb(pid: int) -> int:
    """The process's peak resident memory so far (VmHWM): a high-water mark, so a sample
    taken any time before the process ends has seen its peak up to then."""
    try:
        with open(f"/proc/{pid}/status", "rb") as f:
            for line in f:
                if line.startswith(b"VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


#: A small process that starts the runs and waits for them, so that a run's max RSS is its
#: own: Linux counts into a process's max RSS the memory of the process it was forked from
#: until it executes the command, and this script holds far more than the few MB of this.
SPAWNER = r"""
import json, os, sys
for line in sys.stdin:
    job = json.loads(line)
    out = os.open(job["stdout"], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    err = os.open(job["stderr"], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    pid = os.posix_spawn(job["argv"][0], job["argv"], os.environ, file_actions=[
        (os.POSIX_SPAWN_DUP2, out, 1), (os.POSIX_SPAWN_DUP2, err, 2),
        (os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0)])
    os.close(out)
    os.close(err)
    print(json.dumps({"pid": pid}), flush=True)
    _, status, ru = os.wait4(pid, 0)
    print(json.dumps({"status": os.waitstatus_to_exitcode(status), "cpu": ru.ru_utime + ru.ru_stime,
                      "maxrss_kb": ru.ru_maxrss}), flush=True)
"""


class Spawner:
    def __init__(self) -> None:
        self.proc = subprocess.Popen([sys.executable, "-I", "-S", "-c", SPAWNER], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)

    def start(self, argv: tuple[str, ...], stdout: str, stderr: str) -> int:
        assert self.proc.stdin and self.proc.stdout
        self.proc.stdin.write(json.dumps({"argv": list(argv), "stdout": stdout, "stderr": stderr}) + "\n")
        self.proc.stdin.flush()
        return int(json.loads(self.proc.stdout.readline())["pid"])

    def wait(self) -> dict[str, Any]:
        assert self.proc.stdout
        line = self.proc.stdout.readline()
        if not line:
            sys.exit("the process that starts the runs ended")
        return dict(json.loads(line))

    def close(self) -> None:
        assert self.proc.stdin
        self.proc.stdin.close()
        self.proc.wait()


def measure(spawner: Spawner, argv: tuple[str, ...], sample_tree: bool, tmp: str) -> Run:
    """Runs ``argv`` to its end and measures it; a failing run ends the benchmark with its
    last line of standard error."""
    out, err = os.path.join(tmp, "stdout"), os.path.join(tmp, "stderr")
    me0 = resource.getrusage(resource.RUSAGE_SELF)
    busy0 = busy_ticks()
    t0 = time.perf_counter()
    pid = spawner.start(argv, out, err)
    marks: dict[int, int] = {}
    done = threading.Event()

    def sample() -> None:
        while True:
            for p in descendants(pid):
                marks[p] = max(marks.get(p, 0), hwm_kb(p))
            if done.wait(0.2):
                break

    sampler = threading.Thread(target=sample) if sample_tree else None
    if sampler:
        sampler.start()
    result = spawner.wait()
    wall = time.perf_counter() - t0
    done.set()
    if sampler:
        sampler.join()
    busy1 = busy_ticks()
    me1 = resource.getrusage(resource.RUSAGE_SELF)
    if result["status"] != 0:
        lines = pathlib.Path(err).read_text(errors="replace").strip().splitlines() or ["(nothing on standard error)"]
        sys.exit(f"exit status {result['status']} from {shlex.join(argv[:6])} ...: {lines[-1]}")
    cpu = float(result["cpu"])
    mine = me1.ru_utime + me1.ru_stime - me0.ru_utime - me0.ru_stime
    others = max(0.0, (busy1 - busy0) / TICK - cpu - mine) / wall
    # The last samples of a process may predate its peak: the run's own max RSS (its largest
    # process, read at its end) is a floor.
    tree = max(result["maxrss_kb"], sum(marks.values())) / 1024 if sample_tree else None
    return Run(wall, cpu, result["maxrss_kb"] / 1024, tree, others, pathlib.Path(out).read_bytes())


def sha256_gain() -> float:
    """The machine's own gain from a second thread: sha256 over 2 x 64 MiB (hashlib releases
    the interpreter lock), on 1 thread and then split over 2; the best of 3 each."""
    buffers = [random.Random(k).randbytes(1 << 20) * 64 for k in range(2)]

    def work(bufs: list[bytes]) -> None:
        for b in bufs:
            hashlib.sha256(b).digest()

    one = two = float("inf")
    for _ in range(3):
        t0 = time.perf_counter()
        work(buffers)
        one = min(one, time.perf_counter() - t0)
        threads = [threading.Thread(target=work, args=([b],)) for b in buffers]
        t0 = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        two = min(two, time.perf_counter() - t0)
    return one / two


# ---------------------------------------------------------------------------------------------
# The variants, the rounds and the report


@dataclasses.dataclass(frozen=True)
class Variant:
    name: str
    schema: str  # "article", "18", or "" for the readers
    argv: tuple[str, ...]
    #: "larkspine", "peer" or "reader"
    kind: str
    jobs: int = 1
    inputs: str = "several"  # or "one"


def variants(aim: str, schemas: list[str], command: list[str], a: Archives, schema18: pathlib.Path,
             peer18: pathlib.Path, out: str, files: int) -> list[Variant]:
    me = [sys.executable, str(pathlib.Path(__file__).resolve())]
    want = {
        "single": {("larkspine", 1, "several"), ("peer", 1, "several")},
        "jobs": {("larkspine", j, inputs) for j in (1, 2) for inputs in ("one", "several")},
        "memory": {("larkspine", j, "one") for j in (1, 2)},
        "reading": set(),
    }
    chosen = set().union(*want.values()) if aim == "all" else want[aim]
    found: list[Variant] = []
    for schema in schemas:
        schema_file = str(ARTICLE_SCHEMA if schema == "article" else schema18)
        for inputs in ("one", "several"):
            paths = a.one if inputs == "one" else a.several
            where = "one archive" if inputs == "one" else f"{files} archives"
            for jobs in (1, 2):
                if ("larkspine", jobs, inputs) in chosen:
                    found.append(Variant(f"larkspine extract -j {jobs}, {where}", schema,
                                         (*command, "extract", schema_file, *paths, "-o", out, "-j", str(jobs)),
                                         "larkspine", jobs, inputs))
            if ("peer", 1, inputs) in chosen:
                found.append(Variant(f"FastWARC + selectolax + pyarrow, {where}", schema,
                                     (*me, "--peer-run", "article" if schema == "article" else str(peer18), out,
                                      *paths), "peer", 1, inputs))
    if aim in ("reading", "all"):
        for reader, label in (("native", "native reader alone (inflate included)"),
                              ("fastwarc", "FastWARC iterating every record")):
            found.append(Variant(label, "", (*me, "--read-run", reader, *a.several), "reader"))
    return found


def available(v: Variant) -> str | None:
    """Why the variant cannot run here, or None."""
    import importlib.util

    needs = {"peer": ["fastwarc", "selectolax", "pyarrow"], "reader": ["fastwarc"], "larkspine": ["pyarrow"]}[v.kind]
    if v.kind == "reader" and v.argv[v.argv.index("--read-run") + 1] == "native":
        needs = ["_larkspine_testing"]
    missing = [m for m in needs if importlib.util.find_spec(m) is None]
    if v.kind == "reader" and not missing and needs == ["_larkspine_testing"]:
        import _larkspine_testing

        if not hasattr(_larkspine_testing, "read_archive"):
            missing = ["_larkspine_testing.read_archive"]
    return f"needs {', '.join(missing)}" if missing else None


def spread(values: list[float], fmt: str = "{:.2f}") -> str:
    """The median and the range."""
    if not values:
        return "-"
    if len(values) == 1:
        return fmt.format(values[0])
    return f"{fmt.format(statistics.median(values))} ({fmt.format(min(values))}-{fmt.format(max(values))})"


def parquet_rows(path: str) -> int:
    import pyarrow.parquet as pq

    return int(pq.read_metadata(path).num_rows)


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--peer-run":
        peer_run(sys.argv[2], sys.argv[3], sys.argv[4:])
        return
    if len(sys.argv) > 1 and sys.argv[1] == "--read-run":
        read_run(sys.argv[2], sys.argv[3:])
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="\n\n".join(__doc__.split("\n\n")[1:]))
    parser.add_argument("--aim", choices=["single", "jobs", "memory", "reading", "all"], default="all")
    parser.add_argument("--rounds", type=int, default=3, help="interleaved rounds; 0: build the archives only [3]")
    parser.add_argument("--html-mb", type=int, default=1024, help="MB of HTML in the archives [1024]")
    parser.add_argument("--files", type=int, default=8, help="archives in 'several' [8]")
    parser.add_argument("--schemas", default="article,18", help="article, 18 or both [article,18]")
    parser.add_argument("--cache", type=pathlib.Path, default=pathlib.Path(tempfile.gettempdir()) / "larkspine-bench-archives",
                        help="where the archives are built once and kept [/tmp/larkspine-bench-archives]")
    parser.add_argument("--command", default=f"{shlex.quote(sys.executable)} -m larkspine",
                        help="how to start the command [this Python's -m larkspine]")
    parser.add_argument("--quiet-wait", type=float, default=30.0,
                        help="seconds to wait for an 85%% idle machine before each round [30]")
    parser.add_argument("--max-others", type=float, default=0.15,
                        help="cores other processes may take during a run of a quiet round [0.15]")
    parser.add_argument("--redo", type=int, default=3, help="times a round that was not quiet is measured again [3]")
    args = parser.parse_args()
    schemas = [s.strip() for s in args.schemas.split(",") if s.strip()]
    if not set(schemas) <= {"article", "18"} or not schemas:
        parser.error("--schemas takes article, 18 or both")

    a = archives(args.cache, args.html_mb, args.files)
    schema18, peer18 = schema_18(a.folder)
    if args.rounds == 0:
        print(f"{a.folder}: {a.manifest['pages']} HTML responses, {a.html_mb:.0f} MB of HTML, "
              f"{a.manifest['compressed_bytes'] / 1e6:.0f} MB compressed")
        return
    gated = args.aim in ("jobs", "all")
    command = shlex.split(args.command)
    command[0] = shutil.which(command[0]) or command[0]
    spawner = Spawner()
    with tempfile.TemporaryDirectory(prefix="larkspine-bench-") as tmp:
        out = os.path.join(tmp, "out.parquet")
        chosen = variants(args.aim, schemas, command, a, schema18, peer18, out, args.files)
        for v in list(chosen):
            why = available(v)
            if why:
                print(f"skipped: {v.name} ({v.schema or 'reading'}): {why}")
                chosen.remove(v)
        runs: dict[Variant, list[Run]] = {v: [] for v in chosen}
        gains: list[float] = []
        loads: list[float] = []
        idles: list[float] = []
        quiet_flags: list[bool] = []
        redone = 0
        checked: set[Variant] = set()
        def run(v: Variant) -> Run:
            got = measure(spawner, v.argv, v.kind != "reader", tmp)
            if v.kind in ("larkspine", "peer") and v not in checked:
                rows = parquet_rows(out)
                checked.add(v)
                if rows != a.manifest["pages"]:
                    print(f"warning: {v.name} ({v.schema}) wrote {rows} records for "
                          f"{a.manifest['pages']} HTML responses")
            return got

        # The runs of the command are the ones the quiet gate judges (the 2-job ratios are
        # theirs); the peer and the readers are measured once a round, in CPU seconds.
        judged = [v for v in chosen if v.kind == "larkspine"]
        for r in range(args.rounds):
            idle, opened = wait_quiet(args.quiet_wait)
            load = os.getloadavg()[0]
            got = {v: run(v) for v in chosen if v not in judged}
            for attempt in range(args.redo + 1):
                if attempt:
                    idle, opened = wait_quiet(args.quiet_wait)
                before = sha256_gain()
                part = {v: run(v) for v in judged}
                after = sha256_gain()
                busiest = max((run.others for run in part.values()), default=0.0)
                quiet = opened and busiest <= args.max_others
                if quiet or not gated or attempt == args.redo:
                    break
                redone += 1
                print(f"round {r + 1}: not quiet (idle {idle * 100:.0f}%, others took up to {busiest:.2f} cores), "
                      "the command's runs measured again", file=sys.stderr, flush=True)
            got.update(part)
            quiet_flags.append(quiet)
            gains += [before, after]
            loads.append(load)
            idles.append(idle)
            for v, result in got.items():
                runs[v].append(result)
            print(f"round {r + 1}/{args.rounds} done", file=sys.stderr, flush=True)
    spawner.close()

    report(args, a, runs, gains, loads, idles, quiet_flags, redone)


def report(args: argparse.Namespace, a: Archives, runs: dict[Variant, list[Run]], gains: list[float],
           loads: list[float], idles: list[float], quiet: list[bool], redone: int) -> None:
    m = a.manifest
    mb = a.html_mb
    kinds = ", ".join(f"{n} {k}" for k, n in sorted(m["records"].items(), key=lambda kv: -kv[1]))
    print(f"archives: {m['pages']} HTML responses, {mb:.0f} MB of HTML, {m['compressed_bytes'] / 1e6:.0f} MB "
          f"compressed, as one archive or {len(m['several'])}; records: {kinds}")
    print(f"{len(loads)} interleaved rounds ({redone} measured again), {sum(quiet)} quiet; machine: "
          f"{os.cpu_count()} CPUs, 1-min load average at round start {spread(loads, '{:.1f}')}, "
          f"idle at round start {spread([i * 100 for i in idles], '{:.0f}')}%; sha256 2-thread gain "
          f"{spread(gains)}")
    print(f"medians (min-max over rounds); CPU s: the run's processes, workers included; all RSS: max RSS MB of "
          f"the run's processes summed; "
          f"MB/CPU s: MB of HTML per CPU second; others: cores other processes took during the run")
    for schema in [s for s in ("article", "18", "") if any(v.schema == s for v in runs)]:
        title = {"article": "schema examples/article.toml", "18": "the 18-query schema", "": "reading alone"}[schema]
        print(f"\n{title}")
        print(f"  {'variant':<46} {'wall s':>20} {'CPU s':>20} {'MB/CPU s':>9} {'max RSS MB':>11} "
              f"{'all RSS':>8} {'others':>6}")
        for v, rs in runs.items():
            if v.schema != schema or not rs:
                continue
            cpu = [r.cpu for r in rs]
            if v.kind == "reader":
                cpu = [json.loads(r.stdout)["cpu"] for r in rs]
            trees = [r.tree_mb for r in rs if r.tree_mb is not None]
            print(f"  {v.name:<46} {spread([r.wall for r in rs]):>20} {spread(cpu):>20} "
                  f"{mb / statistics.median(cpu):>9.0f} {statistics.median([r.max_rss_mb for r in rs]):>11.0f} "
                  f"{(f'{max(trees):.0f}' if trees else '-'):>8} {max(r.others for r in rs):>6.2f}")
        aims(runs, schema, gains, args.files, mb, quiet)


def aims(runs: dict[Variant, list[Run]], schema: str, gains: list[float], files: int, mb: float,
         quiet: list[bool]) -> None:
    """The ratios the aims are stated in, each taken within a round; those of 2 jobs over
    the quiet rounds only, when there are any."""
    kept = [k for k, q in enumerate(quiet) if q] or list(range(len(quiet)))
    which = f"{len(kept)} quiet rounds" if any(quiet) else "no round was quiet"

    def find(kind: str, jobs: int, inputs: str) -> list[Run]:
        for v, rs in runs.items():
            if v.schema == schema and v.kind == kind and v.jobs == jobs and v.inputs == inputs:
                return rs
        return []

    def ratios(top: list[float], bottom: list[float], rounds: list[int] | None = None) -> list[float]:
        pairs = list(zip(top, bottom))
        return [pairs[k][0] / pairs[k][1] for k in (range(len(pairs)) if rounds is None else rounds)]

    ls1, peer = find("larkspine", 1, "several"), find("peer", 1, "several")
    if ls1 and peer:
        print(f"  one job against the peer: {spread(ratios([r.cpu for r in peer], [r.cpu for r in ls1]))}x less CPU "
              f"(aim >= 2.3x), {spread(ratios([r.wall for r in peer], [r.wall for r in ls1]))}x in wall time")
    one1, one2 = find("larkspine", 1, "one"), find("larkspine", 2, "one")
    if one1 and one2:
        print(f"  -j 2 over one archive ({which}): "
              f"{spread(ratios([r.wall for r in one1], [r.wall for r in one2], kept))}x wall (aim >= 1.8x); "
              f"{spread(ratios([r.cpu for r in one2], [r.cpu for r in one1], kept))}x the CPU of -j 1")
        all1, all2 = [r.tree_mb or 0.0 for r in one1], [r.tree_mb or 0.0 for r in one2]
        print(f"  memory, max RSS of all its processes: -j 1 {spread(all1, '{:.0f}')} MB, -j 2 "
              f"{spread(all2, '{:.0f}')} MB: the second job adds {spread([b - a for a, b in zip(all1, all2)], '{:.0f}')}"
              f" MB (the largest process: {spread([r.max_rss_mb for r in one1], '{:.0f}')} and "
              f"{spread([r.max_rss_mb for r in one2], '{:.0f}')} MB)")
    readers = {v.argv[v.argv.index("--read-run") + 1]: rs for v, rs in runs.items() if v.kind == "reader" and rs}
    if schema == "" and readers:
        told = [f"{name} {spread([mb / json.loads(r.stdout)['cpu'] for r in rs], '{:.0f}')}"
                for name, rs in readers.items()]
        print(f"  reading, MB of HTML per CPU second of the reading thread: {'; '.join(told)} (aim >= 600 for the "
              "native reader)")
    sev1, sev2 = find("larkspine", 1, "several"), find("larkspine", 2, "several")
    if sev1 and sev2 and gains:
        speedups = ratios([r.wall for r in sev1], [r.wall for r in sev2])
        # Each round's gain is the mean of the sha256 gains measured just before and after it.
        machine = [(gains[2 * k] + gains[2 * k + 1]) / 2 for k in range(len(speedups))]
        print(f"  -j 2 over {files} archives ({which}): {spread([speedups[k] for k in kept])}x wall; the machine's "
              f"own sha256 gain {spread([machine[k] for k in kept])}x: "
              f"{spread([speedups[k] / machine[k] * 100 for k in kept], '{:.0f}')}% of it (aim >= 90%)")


if __name__ == "__main__":
    main()
