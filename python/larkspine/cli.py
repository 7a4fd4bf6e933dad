"""The ``larkspine`` command: extract fields from saved pages and WARC archives at scale.

``larkspine extract SCHEMA INPUT...`` writes one record per page (JSON Lines, CSV or Parquet);
``larkspine check SCHEMA`` audits a schema's queries; ``larkspine detect-encoding INPUT...``
tells the encoding each page would be read with.

Standard output carries only data. Standard error carries a progress bar and a summary
line when it is a terminal, and otherwise only warnings and failures. The exit status is 0
when every input was read and every page extracted, 1 when any failed (the run goes on with
the other inputs), 2 for a usage error or a refused schema (nothing is read then), and 130
when stopped by Ctrl-C (the output then holds every record completed so far, whole).
"""

from __future__ import annotations

import os
import signal
import sys
import time
from collections.abc import Mapping
from types import FrameType
from typing import Any, BinaryIO

import click

from . import __version__
from ._check import check as check_schema
from ._encoding import detect_encoding as detect
from ._encoding import resolve_encoding
from ._schema import Schema
from .batch import Summary, extract_records, page_label
from .inputs import InputFailure, ReadStats, parse_size, read_inputs
from .outputs import FORMATS, Format, open_writer, record_location
from .schemafile import SchemaFileError, resolve_declarations, resolve_schema

__all__ = ["main", "cli"]

EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141

_SUFFIX_FORMATS: dict[str, Format] = {".jsonl": "jsonl", ".ndjson": "jsonl", ".json": "jsonl",
                                      ".csv": "csv", ".parquet": "parquet", ".pq": "parquet"}


@click.group("larkspine", context_settings={"help_option_names": ["-h", "--help"], "max_content_width": 100})
@click.version_option(__version__, prog_name="larkspine")
def cli() -> None:
    """Extract fields from HTML pages and WARC archives in one streaming pass per page.

    A SCHEMA is a TOML, JSON or YAML file of named CSS/XPath queries, or a module:PageClass
    reference to a larkspine Page class. See `larkspine COMMAND --help`.
    """


@cli.command()
@click.argument("schema", metavar="SCHEMA")
@click.argument("inputs", metavar="INPUT...", nargs=-1, required=True)
@click.option("-o", "--output", metavar="FILE", help="Write here instead of standard output.")
@click.option(
    "-f", "--format", "fmt", type=click.Choice(FORMATS), default=None,
    help="Output format [default: from the -o suffix (.csv, .parquet), else jsonl].",
)
@click.option(
    "-j", "--jobs", type=click.IntRange(min=0), default=1, show_default=True,
    help="Worker threads extracting pages (0: one per CPU). Output order is input order.",
)
@click.option(
    "--encoding", metavar="LABEL",
    help="Charset of pages that declare none over HTTP (files, standard input); WHATWG label "
    "or Python codec name. Overrides <meta> in those pages.",
)
@click.option(
    "--allow-unsupported", is_flag=True,
    help="Accept queries the engine does not support (their fields stay empty).",
)
@click.option(
    "--progress/--no-progress", default=None,
    help="Show a progress bar on standard error [default: when it is a terminal].",
)
@click.option(
    "--max-page-size", metavar="SIZE", default="64MiB", show_default=True, callback=lambda c, p, v: _size(v),
    help="Largest page, decompressed (16MiB, 1GB, or bytes). A larger page fails as too large, is "
    "read no further, and the run goes on.",
)
def extract(
    schema: str,
    inputs: tuple[str, ...],
    output: str | None,
    fmt: Format | None,
    jobs: int,
    encoding: str | None,
    allow_unsupported: bool,
    progress: bool | None,
    max_page_size: int,
) -> None:
    """Write one record per page of INPUT... with the fields of SCHEMA.

    INPUT is a file, a directory (walked recursively for *.html, *.htm, *.xhtml, *.shtml,
    their .gz, and *.warc, *.warc.gz), a glob pattern, or - for standard input. A file
    that starts with WARC/ (gzipped or not) is read as a WARC archive: its HTML response
    records are the pages, with their target URI and HTTP charset; other records are
    skipped and counted.

    Each record holds _source (the path), _offset (the WARC record's offset, else null),
    _url (the WARC target URI, else null), then the fields. CSV writes lists and groups
    as JSON text in their cell; Parquet has typed columns (list<string>, structs).

    \b
    Examples:
      larkspine extract article.toml pages/ > articles.jsonl
      larkspine extract article.toml crawl.warc.gz -o articles.parquet --jobs 2
      larkspine extract myproject.pages:Article 'saved/**/*.html' -f csv
    """
    loaded = _load_schema(schema, allow_unsupported)
    label = _check_label(encoding)
    fmt = fmt or _SUFFIX_FORMATS.get(os.path.splitext(output or "")[1].lower(), "jsonl")
    if fmt == "parquet" and output is None:
        raise click.UsageError("--format parquet writes a file: give it with -o FILE")
    jobs = jobs or os.cpu_count() or 1
    show = sys.stderr.isatty() if progress is None else progress

    stats = ReadStats()
    summary = Summary()

    def rejected(record: Mapping[str, Any], reason: str) -> None:
        summary.reject()
        bar.warn(f"{record_location(record)}: cannot be written as {fmt}: {reason}")

    try:
        writer, opened = open_writer(fmt, loaded, output, _stdout(), on_reject=rejected)
    except (OSError, ImportError) as e:
        raise click.UsageError(f"cannot write {output or 'standard output'}: {_reason(e)}") from None
    bar = _Progress(show)
    stop = _StopOnInterrupt()
    records = extract_records(
        loaded, read_inputs(inputs, stats, max_page_size=max_page_size), jobs=jobs, encoding=label,
        on_failure=lambda f: bar.warn(str(f)), summary=summary,
    )
    reader_gone = False
    try:
        with stop:
            for record in records:
                writer.write(record)
                bar.update(summary)
                if stop.requested:
                    break
    except BrokenPipeError:
        # The reader of standard output went away (`| head`): stop as a pipeline expects.
        reader_gone = True
    finally:
        records.close()
        bar.update(summary)
        if not reader_gone:
            writer.close()
        if opened is not None:
            opened.close()
        bar.close()
    if reader_gone:
        _silence_stdout()
        sys.exit(EXIT_BROKEN_PIPE)
    _report(summary, stats, show, stop.requested)
    if stop.requested:
        sys.exit(EXIT_INTERRUPTED)
    if summary.failed:
        sys.exit(EXIT_FAILED)


@cli.command()
@click.argument("schema", metavar="SCHEMA")
def check(schema: str) -> None:
    """Audit SCHEMA's queries without reading any page.

    Prints one line per field, group and sub-field: whether the engine supports its query,
    why not, and what kind of value it yields; then the budget usage. Exits 1 when any query
    is unsupported or the schema is over budget.
    """
    try:
        decls, _ = resolve_declarations(schema)
    except SchemaFileError as e:
        raise click.BadParameter(str(e), param_hint="SCHEMA") from None
    report = check_schema(decls)
    click.echo(str(report))
    if not report.ok:
        sys.exit(EXIT_FAILED)


@cli.command("detect-encoding")
@click.argument("inputs", metavar="INPUT...", nargs=-1, required=True)
@click.option("--encoding", metavar="LABEL", help="Charset of pages that declare none over HTTP, as for extract.")
def detect_encoding(inputs: tuple[str, ...], encoding: str | None) -> None:
    """Print the encoding each page of INPUT... would be read with.

    One tab-separated line per page: the WHATWG encoding name and the path; for a WARC
    record, also its offset and target URI. The encoding is decided as extract decides it:
    byte-order mark, then the HTTP charset (or --encoding), then <meta>, then UTF-8.
    """
    label = _check_label(encoding)
    failed = 0
    out = _stdout()
    try:
        for item in read_inputs(inputs, ReadStats()):
            if isinstance(item, InputFailure):
                failed += 1
                click.echo(f"larkspine: {item}", err=True)
                continue
            own = page_label(item.charset) if item.charset is not None else None
            name = detect(item.body, own or label)
            cells = [name, item.source] if item.offset is None and item.url is None else [
                name, item.source, "" if item.offset is None else str(item.offset), item.url or ""]
            out.write(("\t".join(cells) + "\n").encode("utf-8"))
        out.flush()
    except BrokenPipeError:
        _silence_stdout()
        sys.exit(EXIT_BROKEN_PIPE)
    if failed:
        sys.exit(EXIT_FAILED)


def _load_schema(ref: str, allow_unsupported: bool) -> Schema:
    try:
        return resolve_schema(ref, allow_unsupported=allow_unsupported)
    except SchemaFileError as e:
        raise click.BadParameter(str(e), param_hint="SCHEMA") from None


def _check_label(encoding: str | None) -> str | None:
    if encoding is None:
        return None
    try:
        return resolve_encoding(encoding)
    except ValueError as e:
        raise click.BadParameter(str(e), param_hint="--encoding") from None


def _size(text: str) -> int:
    try:
        return parse_size(text)
    except ValueError as e:
        raise click.BadParameter(str(e), param_hint="--max-page-size") from None


def _stdout() -> BinaryIO:
    return sys.stdout.buffer


def _silence_stdout() -> None:
    """Point standard output at /dev/null, so the interpreter's final flush of what is left in
    its buffer cannot fail again on the closed pipe."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass
    finally:
        os.close(devnull)


def _reason(e: BaseException) -> str:
    return (e.strerror if isinstance(e, OSError) and e.strerror else str(e)) or type(e).__name__


class _StopOnInterrupt:
    """The first Ctrl-C asks the run to stop after the record being written; a second one
    interrupts at once."""

    def __init__(self) -> None:
        self.requested = False
        self._previous: Any = None

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        if self.requested:
            raise KeyboardInterrupt
        self.requested = True

    def __enter__(self) -> _StopOnInterrupt:
        try:
            self._previous = signal.signal(signal.SIGINT, self._handle)
        except ValueError:  # not the main thread: leave Ctrl-C as it is
            self._previous = None
        return self

    def __exit__(self, *exc: object) -> None:
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)


class _Progress:
    """A tqdm bar on standard error (pages, pages/s, MB, MB/s), when wanted and available.

    Failures are printed above the bar, so the bar stays on its line.
    """

    def __init__(self, show: bool) -> None:
        self._bar: Any = None
        if show:
            try:
                from tqdm import tqdm
            except ImportError:
                return
            try:
                sized = os.get_terminal_size(sys.stderr.fileno()).columns > 0
            except (OSError, ValueError):
                sized = False
            # A terminal that reports no size (some pseudo-terminals) is taken as 80x24; tqdm
            # would otherwise draw nothing on it.
            self._bar = tqdm(unit=" pages", file=sys.stderr, dynamic_ncols=sized, ncols=None if sized else 80,
                             nrows=None if sized else 24, mininterval=0.2)

    def update(self, summary: Summary) -> None:
        bar = self._bar
        if bar is None:
            return
        # The postfix is set for every page (a microsecond against a page's extraction);
        # tqdm redraws at most every ``mininterval``.
        mb = summary.bytes / 1e6
        seconds = max(time.perf_counter() - summary.started, 1e-9)
        bar.set_postfix_str(f"{mb:,.1f} MB, {mb / seconds:,.1f} MB/s", refresh=False)
        bar.update(summary.pages - bar.n)

    def warn(self, message: str) -> None:
        text = f"larkspine: {message}"
        if self._bar is not None:
            self._bar.write(text, file=sys.stderr)
        else:
            click.echo(text, err=True)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


def _report(summary: Summary, stats: ReadStats, shown: bool, interrupted: bool) -> None:
    """The summary line: always on a terminal; elsewhere only when something failed."""
    if not (shown or summary.failed or interrupted):
        return
    seconds = summary.seconds
    mb = summary.bytes / 1e6
    parts = [
        f"{summary.pages:,} pages, {mb:,.1f} MB in {seconds:,.1f} s "
        f"({summary.pages / seconds:,.0f} pages/s, {mb / seconds:,.1f} MB/s)",
        f"{summary.failed:,} failed",
    ]
    if stats.skipped:
        parts.append(f"{stats.skipped:,} WARC records skipped (not HTML responses)")
    if interrupted:
        parts.append("stopped by Ctrl-C")
    click.echo("larkspine: " + "; ".join(parts), err=True)


def main(argv: list[str] | None = None) -> None:
    """The console script's entry point."""
    cli.main(args=argv, prog_name="larkspine")


if __name__ == "__main__":  # pragma: no cover
    main()

