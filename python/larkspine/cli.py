"""The ``larkspine`` command: extract fields from saved pages and WARC archives at scale.

``larkspine extract SCHEMA INPUT...`` writes one record per page (JSON Lines, CSV or Parquet);
``larkspine check SCHEMA`` (or ``check -q QUERY``) audits a schema's queries; ``larkspine query
PAGE QUERY...`` prints what each query finds in one page; ``larkspine detect-encoding INPUT...``
tells the encoding each page would be read with.

Standard output carries only data. Standard error carries a progress bar and a summary
line when it is a terminal, and otherwise only warnings and failures, one line each.

Exit statuses (the same table is in ``larkspine --help`` and docs/batch-extraction.md):

- 0: every input was read and every page extracted;
- 1: some input or page failed (the run goes on with the others; ``check`` and ``query``: a
  query is unsupported);
- 2: a usage error, a refused schema, or an output refused (it is one of the inputs or the
  schema file, it cannot be created, Parquet to what is not a file): nothing is read then;
- 3: the output could not be written (a full disk, a file-size limit, a closed standard
  output) or the run stopped on an unexpected error; an ``-o`` file is then left as it was;
- 130: stopped by Ctrl-C; the output holds every record completed so far, whole;
- 129, 143: stopped by SIGHUP or SIGTERM (``kill``, ``timeout``, a service manager): the run
  ends at once and an ``-o`` file is left as it was (standard output keeps the whole records
  written before);
- 141: the reader of standard output went away (``| head``).
"""

from __future__ import annotations

import contextlib
import errno
import io
import json
import itertools
import os
import shutil
import signal
import stat
import sys
import tempfile
import time
import warnings
from collections.abc import Callable, Generator, Iterable, Iterator, Mapping, Sequence
from types import FrameType
from typing import Any, BinaryIO, NoReturn

import click

from . import __version__
from _larkspine import Plan

from ._check import CheckReport, UnsupportedQueryWarning
from ._schema import check as check_schema
from ._encoding import detect_encoding as detect
from ._encoding import resolve_encoding
from ._lxml import FallbackPlan, require_parsel
from ._schema import Schema
from ._syntax import syntax_error
from .batch import Summary, columnar, extract_records, page_label, read_tables
from .inputs import InputFailure, ReadStats, input_that_is, parse_size, read_input_list, read_inputs
from .outputs import (
    FORMATS,
    STDOUT_NAME,
    CsvWriter,
    Destination,
    Format,
    JsonLinesWriter,
    OutputRefused,
    ParquetWriter,
    RecordSink,
    RecordWriter,
    open_destination,
    open_writer,
    record_location,
)
from .schemafile import SchemaFileError, resolve_schema, resolve_source

__all__ = ["main", "cli"]

EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_UNWRITTEN = 3
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141
# SIGHUP and SIGTERM end a run as the shell reports a process they killed: 128 + the signal.
STOP_SIGNALS = (signal.SIGHUP, signal.SIGTERM)

_SUFFIX_FORMATS: dict[str, Format] = {".jsonl": "jsonl", ".ndjson": "jsonl", ".json": "jsonl",
                                      ".csv": "csv", ".parquet": "parquet", ".pq": "parquet"}


@click.group("larkspine", context_settings={"help_option_names": ["-h", "--help"], "max_content_width": 100})
@click.version_option(__version__, prog_name="larkspine")
def cli() -> None:
    """Extract fields from HTML pages and WARC archives in one streaming pass per page.

    A SCHEMA is a TOML, JSON or YAML file of named CSS/XPath queries, or a module:PageClass
    reference to a larkspine Page class. See `larkspine COMMAND --help`.

    \b
    Exit status:
      0    every input was read and every page extracted
      1    some input or page failed (the others were extracted); check, query: a query is
           unsupported
      2    usage error, refused schema or refused output: nothing was read
      3    the output could not be written (disk full, file too large, closed standard output,
           unexpected error); an -o file is left as it was
      130  stopped by Ctrl-C: the output holds every record completed, whole
      129  stopped by SIGHUP, 143 by SIGTERM: an -o file is left as it was
      141  broken pipe: the reader of standard output went away
    """


@cli.command()
@click.argument("schema", metavar="SCHEMA")
@click.argument("inputs", metavar="INPUT...", nargs=-1)
@click.option(
    "-i", "--input-file", metavar="FILE",
    help="Also read the inputs named in FILE, one per line (- for standard input), after any "
    "INPUT; lines starting with # are comments. The list is read as the run goes, for runs over "
    "many thousands of paths.",
)
@click.option(
    "-o", "--output", metavar="FILE",
    help="Write here instead of standard output (- is standard output). A file is replaced only "
    "when the run ends with records written; it must not be one of the inputs.",
)
@click.option(
    "-f", "--format", "fmt", type=click.Choice(FORMATS), default=None,
    help="Output format [default: from the -o suffix (.csv, .parquet), else jsonl].",
)
@click.option(
    "-j", "--jobs", type=click.IntRange(min=0), default=1, show_default=True,
    help="Threads reading and extracting pages (0: one per CPU). The output is the same for every "
    "number, in input order.",
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
    "--fallback", is_flag=True,
    help="Answer the queries the engine does not support with parsel (lxml), on a tree of each "
    "page, as the schema file's fallback = true does. Needs larkspine[fallback].",
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
@click.option(
    "--only-2xx", is_flag=True,
    help="Keep only WARC responses whose HTTP status is 2xx (200 OK, ...); others are skipped "
    "and counted. Plain files have no status and are kept.",
)
@click.option(
    "--escape-formulas/--no-escape-formulas", default=True,
    help="CSV: put ' before a cell starting with =, +, -, @, tab or CR, so that spreadsheets "
    "do not run it as a formula [default: escape].",
)
def extract(
    schema: str,
    inputs: tuple[str, ...],
    input_file: str | None,
    output: str | None,
    fmt: Format | None,
    jobs: int,
    encoding: str | None,
    allow_unsupported: bool,
    fallback: bool,
    progress: bool | None,
    max_page_size: int,
    only_2xx: bool,
    escape_formulas: bool,
) -> None:
    """Write one record per page of INPUT... with the fields of SCHEMA.

    INPUT is a file, a directory (walked recursively for *.html, *.htm, *.xhtml, *.shtml,
    their .gz, and *.warc, *.warc.gz), a glob pattern, or - for standard input; more can be
    listed in a file given with --input-file. A file that starts with WARC/ (gzipped or
    not) is read as a WARC archive: its HTML response records are the pages, with their
    target URI and HTTP charset; other records are skipped and counted.

    Each record holds _source (the path), _offset (the WARC record's offset), _url (its
    target URI), _status (its HTTP status), _date (its WARC-Date), _record_id (its
    WARC-Record-ID), _content_type (its HTTP media type) -- each null for a plain file --
    and _charset (the encoding the page was read with), then the fields. CSV writes lists
    and groups as JSON text in their cell; Parquet has typed columns (int16 status,
    timestamp date, list<string>, structs).

    \b
    Examples:
      larkspine extract article.toml pages/ > articles.jsonl
      larkspine extract article.toml crawl.warc.gz -o articles.parquet --jobs 2
      larkspine extract myproject.pages:Article 'saved/**/*.html' -f csv
      find /crawl -name '*.warc.gz' | larkspine extract article.toml -i - -o out.parquet
    """
    if not inputs and input_file is None:
        raise click.UsageError("give the inputs: INPUT... or --input-file FILE")
    if input_file == "-" and "-" in inputs:
        raise click.UsageError("--input-file - reads the input names from standard input, so - cannot be an input too")
    loaded = _load_schema(schema, allow_unsupported, fallback)
    label = _check_label(encoding)
    fmt = fmt or _SUFFIX_FORMATS.get(os.path.splitext(output or "")[1].lower(), "jsonl")
    if fmt == "parquet" and output is None:
        raise click.UsageError("--format parquet writes a file: give it with -o FILE")
    jobs = jobs or os.cpu_count() or 1
    show = sys.stderr.isatty() if progress is None else progress

    stats = ReadStats()
    summary = Summary()
    # Ctrl-C, SIGTERM and SIGHUP are taken over before the output is made, so that they
    # always find either nothing made or the run under way.
    stop = _StopOnInterrupt()
    try:
        with stop:
            ended = _run(stop, schema, loaded, inputs, input_file, output, fmt, jobs, label, show,
                         max_page_size, only_2xx, escape_formulas, stats, summary)
    except _Terminated as e:
        _terminated(stop.destination, e.signum)
    destination, failure = ended
    if failure is not None:
        _fail_output(destination, *failure)
    _report(summary, stats, show, stop.requested)
    if not _worth_writing(summary, stop.requested) and destination.replaces:
        why = "every input failed" if summary.failed else "stopped before any record"
        state = "is left as it was" if destination.existed else "is not written"
        click.echo(f"larkspine: {why}: {destination.name} {state}", err=True)
    if stop.requested:
        sys.exit(EXIT_INTERRUPTED)
    if summary.failed:
        sys.exit(EXIT_FAILED)


def _run(
    stop: _StopOnInterrupt, schema: str, loaded: Schema, inputs: tuple[str, ...], input_file: str | None,
    output: str | None, fmt: Format, jobs: int, label: str | None, show: bool, max_page_size: int,
    only_2xx: bool, escape_formulas: bool, stats: ReadStats, summary: Summary,
) -> tuple[Destination, tuple[str, BaseException] | None]:
    """The run of ``extract`` once its options are checked: the output and what kept it from
    being written, if anything (see :func:`_write_records`)."""

    def rejected(record: Mapping[str, Any], reason: str) -> None:
        summary.reject()
        bar.warn(f"{record_location(record)}: cannot be written as {fmt}: {reason}")

    listed: _InputList | None = None
    try:
        listed = None if input_file is None else _InputList.open(input_file)
        destination = stop.destination = _open_output(output, fmt, inputs, schema, listed)
        writer = _open_writer(fmt, loaded, destination, rejected, escape_formulas)
    except KeyboardInterrupt:  # a second Ctrl-C before the run began
        if stop.destination is not None:
            stop.destination.discard()
        click.echo("larkspine: stopped by Ctrl-C before anything was read", err=True)
        sys.exit(EXIT_INTERRUPTED)
    try:
        bar = _Progress(show)
        names: Iterable[str | InputFailure] = inputs if listed is None else itertools.chain(inputs, listed.names())
        stats.max_page_size, stats.only_2xx = max_page_size, only_2xx
        # Reading (files, decompression, records, HTTP) is the native run's, on ``jobs``
        # threads, in input order. A schema without processors is extracted there too, a
        # batch at a time into Arrow, and written a table at a time; one with processors a
        # record at a time: its values are whatever its Python functions return, which only
        # Python turns into JSON, CSV or Parquet types, and a processor that raises fails its
        # own page only.
        records: Generator[Any, None, None]
        if columnar(loaded):
            records = read_tables(loaded, names, stats, jobs=jobs, encoding=label,
                                  on_failure=lambda f: bar.warn(str(f)), summary=summary,
                                  stop=lambda: stop.requested, date_text=fmt != "parquet")
        else:
            pages = read_inputs(names, stats, jobs=jobs)
            records = extract_records(loaded, pages, jobs=jobs, encoding=label,
                                      on_failure=lambda f: bar.warn(str(f)), summary=summary)
        try:
            return destination, _write_records(records, writer, summary, bar, stop)
        finally:
            bar.close()
    except _Terminated:
        writer.discard()
        raise
    finally:
        if listed is not None:
            listed.close()


def _open_output(
    output: str | None, fmt: Format, inputs: tuple[str, ...], schema: str, listed: _InputList | None = None
) -> Destination:
    """Where the records go; refused (exit 2) before anything is read when the output is one of
    the inputs (named or listed) or the schema file or the input list, cannot be created, or
    cannot take the format."""
    if output is not None and output != "-":
        same = input_that_is(output, inputs)
        if same is None and listed is not None:
            if listed.is_file(output):
                _refuse(f"-o {output} is the input list {listed.name}: refusing to write over it")
            same = input_that_is(output, listed.checked())
        if same is not None:
            _refuse(f"-o {output} is the input {same}: refusing to write over it")
        if _same_file(output, schema):
            _refuse(f"-o {output} is the schema file {schema}: refusing to write over it")
    try:
        # The temporary file and the object that removes it come into being together: a
        # stop signal arriving in between waits until both exist.
        with _signals_blocked(STOP_SIGNALS):
            return open_destination(output, _stdout, seekable=fmt == "parquet")
    except OutputRefused as e:
        _refuse(str(e))
    except OSError as e:
        if output is None or output == "-":
            _unwritable(STDOUT_NAME, e, "nothing is written")
        _refuse(f"cannot write {output}: {_reason(e)}")


class _InputList:
    """The inputs named in ``--input-file``, one per line, read as the run needs them
    (:func:`larkspine.inputs.read_input_list`: memory bounded by a line, whatever the list's
    length).

    Refusing an output that is one of the listed inputs needs every name before anything is
    read, and the run needs them again: a list in a regular file is read once for the check
    and again from where it started; a list on a pipe (standard input) is first copied to an
    unnamed temporary file (disk, not memory), which the check and the run then read. The
    copy is made only when the check has something to compare, an existing output file.
    """

    def __init__(self, name: str, stream: BinaryIO, start: int | None) -> None:
        self.name = name
        self._stream = stream
        self._start = start  # where the list starts in a file that can be read again
        self._from_stdin = name == "-"
        self._owned = not self._from_stdin

    @classmethod
    def open(cls, name: str) -> _InputList:
        """The list named ``name`` (``-``: standard input); refused (exit 2) when it cannot be opened."""
        try:
            if name == "-":
                stream: BinaryIO | None = getattr(sys.stdin, "buffer", None)
                if stream is None:
                    raise OSError(errno.EBADF, os.strerror(errno.EBADF))
            else:
                stream = open(name, "rb")  # noqa: SIM115 - closed by close()
        except OSError as e:
            _refuse(f"cannot read the input list {name}: {_reason(e)}")
        return cls(name, stream, _rereadable_at(stream))

    def is_file(self, path: str) -> bool:
        """Whether ``path`` is the list's own file."""
        try:
            mine = os.fstat(self._stream.fileno())
            theirs = os.stat(path)
        except (OSError, ValueError, io.UnsupportedOperation):
            return False
        return stat.S_ISREG(mine.st_mode) and (mine.st_dev, mine.st_ino) == (theirs.st_dev, theirs.st_ino)

    def checked(self) -> Iterator[str]:
        """The names, for the output check before the run (a pipe is copied aside first)."""
        if self._start is None:
            spool = tempfile.TemporaryFile()  # noqa: SIM115 - closed by close()
            try:
                shutil.copyfileobj(self._stream, spool, 1 << 16)
                spool.seek(0)
            except OSError as e:
                spool.close()
                _refuse(f"cannot read the input list {self.name}: {_reason(e)}")
            self._stream, self._start, self._owned = spool, 0, True
        for entry in read_input_list(self._stream, self.name):
            if isinstance(entry, str):
                yield entry

    def names(self) -> Iterator[str | InputFailure]:
        """The names, for the run, from the start of the list."""
        if self._start is not None:
            try:
                self._stream.seek(self._start)
            except OSError as e:
                yield InputFailure(self.name, None, f"cannot read the input list: {_reason(e)}")
                return
        for entry in read_input_list(self._stream, self.name):
            if entry == "-" and self._from_stdin:
                yield InputFailure("-", None, "standard input holds the input list, so it cannot be an input too")
            else:
                yield entry

    def close(self) -> None:
        if self._owned:
            self._stream.close()


@contextlib.contextmanager
def _signals_blocked(signums: Iterable[int]) -> Iterator[None]:
    """The signals are held by the system (not lost) until the end of the block."""
    held = set(signums)
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def _rereadable_at(stream: BinaryIO) -> int | None:
    """Where a list in a regular file starts (to read it again from there); ``None`` for a pipe."""
    try:
        if stat.S_ISREG(os.fstat(stream.fileno()).st_mode) and stream.seekable():
            return stream.tell()
    except (OSError, ValueError, io.UnsupportedOperation):
        pass
    return None


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except (OSError, ValueError):
        return False


def _open_writer(
    fmt: Format, schema: Schema, destination: Destination, rejected: Callable[[Mapping[str, Any], str], None],
    escape_formulas: bool,
) -> RecordWriter:
    try:
        return open_writer(fmt, schema, destination, on_reject=rejected, escape_formulas=escape_formulas)
    except BrokenPipeError:
        _broken_pipe()
    except OSError as e:  # the CSV header, on a pipe or device, is written at once
        destination.discard()
        _unwritable(destination.name, e, destination.unchanged())
    except BaseException:
        destination.discard()
        raise


def _worth_writing(summary: Summary, stopped: bool) -> bool:
    """Whether a run's output should replace what the user has: it holds a record, or the run
    ended cleanly with none (a WARC without HTML pages)."""
    return summary.pages > 0 or not (summary.failed or stopped)


def _write_records(
    records: Generator[Any, None, None], writer: RecordWriter, summary: Summary, bar: _Progress,
    stop: _StopOnInterrupt,
) -> tuple[str, BaseException] | None:
    """Write every record (or table of records, from :func:`extract_tables`) and finish the output. The output is put in place when the run ends
    or is stopped by Ctrl-C, if :func:`_worth_writing`; otherwise, or when writing fails or
    anything else goes wrong, it is discarded. Returns what kept the output from being
    written, if anything: ("write", error) or ("crash", error)."""
    written = False
    try:
        try:
            for record in records:
                try:
                    with stop.held():  # a record or batch is written whole or not at all
                        if isinstance(record, Mapping):
                            writer.write(record)
                        else:
                            assert isinstance(writer, (ParquetWriter, JsonLinesWriter, CsvWriter))
                            writer.write_table(record)
                except OSError as e:
                    raise _WriteFailed(e) from e
                bar.update(summary)
                if stop.requested:
                    break
        except KeyboardInterrupt:  # a second Ctrl-C: stop at once, keeping whole records
            stop.requested = True
        finally:
            records.close()
        bar.update(summary)
        if not _worth_writing(summary, stop.requested):
            return None  # discarded below
        try:
            with stop.held():
                writer.close()
                # The output is in place: a stop signal from here on changes nothing.
                written = stop.finished = True
        except OSError as e:
            raise _WriteFailed(e) from e
    except _WriteFailed as e:
        if isinstance(e.error, BrokenPipeError):
            _broken_pipe()
        return "write", e.error
    except BrokenPipeError:
        _broken_pipe()
    except (Exception, KeyboardInterrupt) as e:  # noqa: BLE001 - any crash: keep what the user has
        return "crash", e
    finally:
        if not written:
            writer.discard()
    return None


class _WriteFailed(Exception):
    """Writing the output failed (not reading an input)."""

    def __init__(self, error: OSError) -> None:
        super().__init__(str(error))
        self.error = error


def _broken_pipe() -> NoReturn:
    """The reader of the output went away (`| head`): stop as a pipeline expects."""
    _silence_stdout()
    sys.exit(EXIT_BROKEN_PIPE)


def _fail_output(destination: Destination, how: str, error: BaseException) -> NoReturn:
    """The run ended without its output: one line saying why and what is left; exit status 3
    (130 for a second Ctrl-C while the output was being put in place)."""
    if how == "write":
        _unwritable(destination.name, error, destination.unchanged())
    what = f"{destination.name} is {'not written' if destination.replaces else 'incomplete'}"
    interrupted = isinstance(error, KeyboardInterrupt)
    why = "Ctrl-C" if interrupted else _describe(error)
    click.echo(f"larkspine: stopped by {why}: {what} ({destination.unchanged()})", err=True)
    sys.exit(EXIT_INTERRUPTED if interrupted else EXIT_UNWRITTEN)


def _unwritable(name: str, error: BaseException, consequence: str) -> NoReturn:
    """Writing ``name`` failed: one line naming it and the system's reason; exit status 3."""
    if name == STDOUT_NAME:
        _silence_stdout()
    click.echo(f"larkspine: cannot write {name}: {_reason(error)} ({consequence})", err=True)
    sys.exit(EXIT_UNWRITTEN)


def _describe(error: BaseException) -> str:
    text = " ".join(str(error).split())
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


@cli.command()
@click.argument("schema", metavar="[SCHEMA]", required=False)
@click.option("-q", "--query", "queries", metavar="QUERY", multiple=True,
              help="A query to audit, named [0], [1], ... (repeatable); with SCHEMA, audited after its fields.")
@click.option("--fallback", is_flag=True,
              help="Mark the queries parsel (lxml) would answer, as extract --fallback does.")
def check(schema: str | None, queries: tuple[str, ...], fallback: bool) -> None:
    """Audit SCHEMA's queries, or each -q QUERY, without reading any page.

    Prints one line per field, group and sub-field: whether the engine supports its query,
    why not, and what kind of value it yields; then the budget usage. Exits 1 when any query
    is unsupported or the schema is over budget, 2 when a query is malformed. With
    --fallback (or a schema that asks for it), the queries parsel answers instead are marked
    "answered by lxml (parsel)", with what that costs, and are not unsupported.

    \b
    Example:
      larkspine check -q 'h1::text' -q 'p::first-line'
    """
    if schema is None and not queries:
        raise click.UsageError("give a SCHEMA, or queries with -q QUERY")
    decls: dict[str, Any] = {}
    if schema is not None:
        try:
            decls, _, own = resolve_source(schema)
        except SchemaFileError as e:
            _refuse(str(e))
        fallback = fallback or own
    _refuse_malformed(queries)
    for i, text in enumerate(queries):
        decls[f"[{i}]"] = text
    if fallback:
        _need_parsel()
    report = check_schema(decls, fallback=fallback)
    _print_out([str(report) + "\n"])
    if not report.ok:
        sys.exit(EXIT_FAILED)


@cli.command()
@click.argument("page", metavar="PAGE")
@click.argument("queries", metavar="QUERY...", nargs=-1, required=True)
@click.option("--encoding", metavar="LABEL", help="Charset of a page that declares none over HTTP, as for extract.")
@click.option("--json", "as_json", flag_value=True, default=None,
              help="One JSON array of values a line, also on a terminal (the default elsewhere).")
@click.option("--table", "as_json", flag_value=False, help="The readable listing, also when not a terminal.")
@click.option("--fallback", is_flag=True,
              help="Answer the queries the engine does not support with parsel (lxml), as extract --fallback does.")
def query(page: str, queries: tuple[str, ...], encoding: str | None, as_json: bool | None, fallback: bool) -> None:
    """Print what each QUERY finds in PAGE: a file, - (standard input) or a URL.

    Standard output gets one JSON array of strings per QUERY, in the order given (one line
    each), or on a terminal a listing of each query and its values. A malformed query is
    shown with its position and nothing is read; an unsupported query prints [] and its
    reason on standard error; with --fallback, parsel (lxml) answers it instead, as
    extract --fallback would. Of an archive or a directory, the first page is shown.

    \b
    Exit status:
      0  the page was read and every query is supported
      1  a query is unsupported, or the page could not be read
      2  a malformed query or another usage error

    \b
    Example:
      larkspine query page.html 'h1::text' '//a/@href'
    """
    label = _check_label(encoding)
    _refuse_malformed(queries)
    if fallback:
        _need_parsel()
    report = check_schema(list(queries), fallback=fallback)
    pages = read_inputs((page,), ReadStats())
    try:
        first = next(pages, None)
        more = first is not None and not isinstance(first, InputFailure) and next(pages, None) is not None
    finally:
        pages.close()  # type: ignore[attr-defined]
    if isinstance(first, InputFailure):
        click.echo(f"larkspine: {first}", err=True)
        sys.exit(EXIT_FAILED)
    if first is None:
        click.echo(f"larkspine: {page}: no HTML page in it", err=True)
        sys.exit(EXIT_FAILED)
    if more:
        click.echo(f"larkspine: {page} holds more than one page; the first, {first.url or first.source}, is shown",
                   err=True)
    own = page_label(first.charset) if first.charset is not None else None
    # A plan of the queries as they are: the unsupported ones were just told, so the free
    # extract function's warning would say it twice.
    columns = Plan(list(queries), [], [False] * len(queries)).extract(first.body, own or label)
    by_parsel = FallbackPlan(tuple((i, q.query) for i, q in enumerate(report.queries) if q.fallback), ())
    if by_parsel:
        columns, _ = by_parsel.answer(first.body, own or label, columns, [])
    for q in report.unsupported:
        click.echo(f"larkspine: unsupported query {q.query!r}: {q.reason}", err=True)
    if as_json is None:
        as_json = not sys.stdout.isatty()
    if as_json:
        _print_out(json.dumps(values, ensure_ascii=False) + "\n" for values in columns)
    else:
        _print_out(_listing(queries, columns, report))
    if report.unsupported:
        sys.exit(EXIT_FAILED)


def _listing(queries: Sequence[str], columns: Sequence[Sequence[str]], report: CheckReport) -> Iterator[str]:
    """Each query, the count of its values, and the values as JSON strings (so that spaces and
    line breaks show), one a line."""
    for q, values, verdict in zip(queries, columns, report.queries):
        count = f"{len(values)} value{'' if len(values) == 1 else 's'}"
        if verdict.fallback:
            count += ", by lxml (parsel)"
        elif not verdict.supported:
            count = "UNSUPPORTED"
        yield f"{q}  ({count})\n"
        for v in values:
            yield f"  {json.dumps(v, ensure_ascii=False)}\n"


def _refuse_malformed(queries: Sequence[str]) -> None:
    """Exit 2, showing where each malformed query stopped parsing, before anything is read."""
    errors = [e for e in (syntax_error(q) for q in queries) if e is not None]
    for e in errors:
        click.echo(f"{e}\n  {e.query}\n  {' ' * e.position}^", err=True)
    if errors:
        sys.exit(EXIT_USAGE)


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

    def lines() -> Iterator[str]:
        nonlocal failed
        for item in read_inputs(inputs, ReadStats()):
            if isinstance(item, InputFailure):
                failed += 1
                click.echo(f"larkspine: {item}", err=True)
                continue
            own = page_label(item.charset) if item.charset is not None else None
            name = detect(item.body, own or label)
            cells = [name, item.source] if item.offset is None and item.url is None else [
                name, item.source, "" if item.offset is None else str(item.offset), item.url or ""]
            yield "\t".join(cells) + "\n"

    _print_out(lines())
    if failed:
        sys.exit(EXIT_FAILED)


def _load_schema(ref: str, allow_unsupported: bool, fallback: bool = False) -> Schema:
    try:
        return resolve_schema(ref, allow_unsupported=allow_unsupported, fallback=fallback)
    except SchemaFileError as e:
        _refuse(str(e))


def _need_parsel() -> None:
    """Refuse (exit 2) a --fallback run without parsel, naming the extra to install."""
    try:
        require_parsel()
    except ImportError as e:
        _refuse(str(e))


def _refuse(message: str) -> NoReturn:
    """Refuse the run before anything is read: the message on standard error, exit status 2."""
    click.echo(message if message.startswith("larkspine: ") else f"larkspine: {message}", err=True)
    sys.exit(EXIT_USAGE)


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
    """Standard output's binary stream; :class:`OSError` when the process has none (started
    with it closed)."""
    stream = getattr(sys.stdout, "buffer", None)
    if stream is None:
        raise OSError(errno.EBADF, os.strerror(errno.EBADF), STDOUT_NAME)
    return stream  # type: ignore[no-any-return]


def _print_out(lines: Iterable[str]) -> None:
    """Write lines of text to standard output, whole lines only; a pipe or terminal sees each at
    once. A write that fails is one line and exit status 3; a reader gone, 141."""
    try:
        sink = RecordSink(_stdout())
    except OSError as e:  # standard output is closed
        _unwritable(STDOUT_NAME, e, "nothing is written")
    try:
        for line in lines:
            try:
                sink.write(line.encode("utf-8"))
            except OSError as e:
                raise _WriteFailed(e) from e
        try:
            sink.flush()
        except OSError as e:
            raise _WriteFailed(e) from e
    except _WriteFailed as e:
        if isinstance(e.error, BrokenPipeError):
            _broken_pipe()
        _unwritable(STDOUT_NAME, e.error, "it holds the lines written before")


def _silence_stdout() -> None:
    """Point standard output at /dev/null, so the interpreter's final flush of what is left in
    its buffer cannot fail again on the closed pipe."""
    if sys.stdout is None:  # started with standard output closed: nothing is buffered
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, io.UnsupportedOperation):
        pass
    finally:
        os.close(devnull)


def _reason(e: BaseException) -> str:
    if isinstance(e, OSError) and e.errno is not None:
        return os.strerror(e.errno)
    return (e.strerror if isinstance(e, OSError) and e.strerror else str(e)) or type(e).__name__


class _Terminated(BaseException):
    """SIGTERM or SIGHUP: the run ends now, without its output. A ``BaseException``, like
    ``KeyboardInterrupt``, so that no ``except Exception`` on its way takes it for a failure
    of one page."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


class _StopOnInterrupt:
    """The first Ctrl-C asks the run to stop after the record being written; a second one
    interrupts at once. SIGTERM and SIGHUP interrupt at once (:class:`_Terminated`), but never
    inside :meth:`held`: a record being written is finished first, and the output being put
    in place is put in place.
    """

    def __init__(self) -> None:
        self.requested = False
        #: Set once the output is complete and in place; a stop signal then changes nothing.
        self.finished = False
        #: The output, once made: what a stop signal discards.
        self.destination: Destination | None = None
        self._terminated: int | None = None
        self._holding = False
        self._previous: dict[int, Any] = {}

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        if self.requested:
            raise KeyboardInterrupt
        self.requested = True

    def _handle_stop(self, signum: int, frame: FrameType | None) -> None:
        if self._terminated is not None:
            return  # already ending: let the clean-up finish
        self._terminated = signum
        if not (self._holding or self.finished):
            raise _Terminated(signum)

    @contextlib.contextmanager
    def held(self) -> Iterator[None]:
        """A stretch a stop signal does not cut: it takes effect at the end of it."""
        self._holding = True
        try:
            yield
        finally:
            self._holding = False
        if self._terminated is not None and not self.finished:
            raise _Terminated(self._terminated)

    def __enter__(self) -> _StopOnInterrupt:
        try:
            self._previous[signal.SIGINT] = signal.signal(signal.SIGINT, self._handle)
            for signum in STOP_SIGNALS:
                self._previous[signum] = signal.signal(signum, self._handle_stop)
        except ValueError:  # not the main thread: leave the signals as they are
            pass
        return self

    def __exit__(self, *exc: object) -> None:
        for signum, previous in self._previous.items():
            signal.signal(signum, previous)


def _terminated(destination: Destination | None, signum: int) -> NoReturn:
    """A run ended by SIGTERM or SIGHUP: the output is given up (an ``-o`` file is left as it
    was); one line, and exit status 128 + the signal's number, as a shell reports it."""
    name = signal.Signals(signum).name
    if destination is None:
        click.echo(f"larkspine: stopped by {name} before anything was read", err=True)
    else:
        destination.discard()
        what = f"{destination.name} is {'not written' if destination.replaces else 'incomplete'}"
        click.echo(f"larkspine: stopped by {name}: {what} ({destination.unchanged()})", err=True)
    sys.exit(128 + signum)


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
        kinds = [(stats.requests, "request"), (stats.other_records, "other record"),
                 (stats.non_html, "non-HTML response"), (stats.not_2xx, "response not 2xx")]
        parts.append(f"{_count(stats.skipped, 'WARC record')} skipped (" + ", ".join(
            _count(n, what) for n, what in kinds if n) + ")")
    if interrupted:
        parts.append("stopped by Ctrl-C")
    click.echo("larkspine: " + "; ".join(parts), err=True)


def _count(n: int, what: str) -> str:
    """``1 request``, ``2 requests``, ``3 responses not 2xx``."""
    if n == 1:
        return f"1 {what}"
    noun, _, rest = what.partition(" not ")
    return f"{n:,} {noun}s" + (f" not {rest}" if rest else "")


def main(argv: list[str] | None = None) -> None:
    """The console script's entry point."""
    warnings.showwarning = _show_warning
    cli.main(args=argv, prog_name="larkspine")


_python_showwarning = warnings.showwarning


def _show_warning(
    message: Warning | str, category: type[Warning], filename: str, lineno: int, file: Any = None,
    line: str | None = None,
) -> None:
    """An unsupported query (of a Page class imported, a schema allowed with
    --allow-unsupported) as the command's other messages are: one line on standard error."""
    if issubclass(category, UnsupportedQueryWarning):
        click.echo(str(message), err=True)
    else:
        _python_showwarning(message, category, filename, lineno, file, line)


if __name__ == "__main__":  # pragma: no cover
    main()

