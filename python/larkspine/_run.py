"""The walked inputs through the native archive run, its outputs back in input order.

``_larkspine._ArchiveRun`` reads (opens, inflates, parses records and HTTP) and, given a
plan, extracts into Arrow batches on its own threads, without the interpreter lock. This
module feeds it the :class:`~larkspine.inputs.Source` entries the walk finds, a bounded
number ahead of what it has given out (so a walk of a million files is not held at once,
and no input is opened before a thread reads it), and hands on what comes out: pages
(:func:`read_pages`) or tables (:func:`larkspine.batch.read_tables`), with the failures
read before each, in input order.
"""

from __future__ import annotations

import encodings
import threading
from collections.abc import Callable, Iterable, Iterator
from encodings.aliases import aliases
from functools import lru_cache
from typing import TYPE_CHECKING, Any

import _larkspine

from ._encoding import _resolve, detect_encoding, page_label
from ._pages import Document, InputFailure, ReadStats, Source, display_name

if TYPE_CHECKING:
    import pyarrow as pa

# The schema is a larkspine.Schema, typed Any here: its own module builds on this one
# (Schema.extract_archive), so this one cannot name it.
Schema = Any

__all__ = [
    "BATCH_BYTES", "BATCH_PAGES", "PART_BYTES", "batch_table", "charset_table", "feed", "native_columns",
    "read_pages", "run_tables",
]

#: A batch ends at this many pages ...
BATCH_PAGES = 64
#: ... or once its pages hold this many bytes of HTML, whichever comes first.
BATCH_BYTES = 4 << 20
#: A large WARC.gz is read in parts of about this many compressed bytes, each on a thread.
PART_BYTES = 8 << 20

Output = tuple[Any, list[tuple[str, "int | None", str]], int, int]


def ahead(jobs: int) -> int:
    """Inputs handed to the run and not yet given out, at most: enough for every thread to
    have work, and for one-page files to be grouped into batches of many."""
    return 256 + 64 * jobs


#: How often a wait for the run's next output looks at the stop and the signals, in seconds.
POLL = 0.1


class _Feeder:
    """Hands the walked entries to the run on a thread of its own, at most ``limit`` not yet
    given out, so that the thread taking outputs never waits on the walk (a list of names
    on a pipe that is slow to bring the next) and the walk never runs far ahead. An error
    the walk raises is kept, to be raised where its entry would have been given out."""

    def __init__(self, run: Any, entries: Iterable[Source | InputFailure], limit: int) -> None:
        self._run = run
        self._entries = entries
        self._limit = limit
        self._room = threading.Condition()
        self._closed = False
        self.error: BaseException | None = None
        #: URLs' streams, closed once the run no longer reads them (standard input stays open).
        self.streams: list[Any] = []
        self._thread = threading.Thread(target=self._feed, name="larkspine-walk", daemon=True)
        self._thread.start()

    def _feed(self) -> None:
        run = self._run
        try:
            for entry in self._entries:
                with self._room:
                    while not self._closed and run.pending >= self._limit:
                        self._room.wait()
                    if self._closed:
                        return
                    if isinstance(entry, InputFailure):
                        run.add(entry.source, failure=entry.reason)
                        continue
                    # The name pages and failures carry is text any output can hold; the
                    # path opened is the name's own bytes.
                    source = display_name(entry.source)
                    if entry.fd is not None:
                        run.add(source, fd=entry.fd)
                    elif entry.stream is not None:
                        if entry.source != "-":
                            self.streams.append(entry.stream)
                        run.add(source, stream=entry.stream)
                    else:
                        run.add(source, entry.path, found=entry.found)
        except BaseException as e:  # noqa: BLE001 - handed to the thread taking the outputs
            self.error = e
        finally:
            with self._room:
                if not self._closed:
                    run.finish()

    def taken(self) -> None:
        """An output was taken: there may be room for another entry."""
        with self._room:
            self._room.notify()

    def close(self) -> None:
        """No more entries: the thread ends at its next entry (or now, if it waits for room)."""
        with self._room:
            self._closed = True
            self._room.notify()


def feed(
    run: Any, entries: Iterable[Source | InputFailure], stats: ReadStats, jobs: int,
    stop: Callable[[], bool] | None = None,
) -> Iterator[Output]:
    """The outputs of ``run`` (``(result, failures, pages, html_bytes)``, see the run's
    ``next``) for ``entries``, in order.

    ``stop()`` turning true ends the run softly: each batch being read ends at the page in
    hand and is given out, and nothing more is read. The run's counts are added to ``stats``
    when the iterator ends, however it ends (the end, closing it, an error): the run is
    then closed, its threads joined and its files closed."""
    feeder = _Feeder(run, entries, ahead(jobs))
    stopping = False
    try:
        while True:
            if not stopping and stop is not None and stop():
                stopping = True
                feeder.close()
                run.stop()
            out = run.next(POLL)
            if out is None:
                break
            feeder.taken()
            if out[0] is not None or out[1]:
                yield out
        if feeder.error is not None and not stopping:
            raise feeder.error
    finally:
        feeder.close()
        run.close()
        stats.add(run.counts())
        for stream in feeder.streams:
            stream.close()


def read_pages(entries: Iterator[Source | InputFailure], stats: ReadStats, *, jobs: int = 1) -> Iterator[Document | InputFailure]:
    """The pages and failures of ``entries``, in order, read on ``jobs`` native threads."""
    # A page per output: the failures read before a page come with it, in the reader's order.
    run = _larkspine._ArchiveRun(
        None, threads=jobs, max_page_size=stats.max_page_size, only_2xx=stats.only_2xx, batch_pages=1,
        part_bytes=PART_BYTES,
    )
    for result, failures, _, _ in feed(run, entries, stats, jobs):
        for source, offset, reason in failures:
            yield InputFailure(source, offset, reason)
        for source, offset, url, status, date, record_id, content_type, charset, body in result or ():
            yield Document(source, offset, url, body, charset, status, date, record_id, content_type)


def _normalised(label: str) -> str:
    """A charset as the run looks it up in :func:`charset_table`: ASCII lower case, then
    as ``encodings.normalize_encoding`` has it (runs of other characters than letters,
    digits and ``.`` one ``_``, none at either end, non-ASCII dropped)."""
    lowered = "".join(c.lower() if c.isascii() else c for c in label)
    return encodings.normalize_encoding(lowered)


@lru_cache(maxsize=1)
def charset_table() -> dict[str, str]:
    """Python codec names the engine does not know as labels (``cp932``, ``euc_jp``) with
    the WHATWG encoding each stands for, as :func:`larkspine.resolve_encoding` maps them:
    the run looks a page's HTTP charset up here when it is no WHATWG label."""
    table: dict[str, str] = {}
    for name in sorted(set(aliases) | set(aliases.values())):
        found = _resolve(name)
        if found is not None and _larkspine.resolve_label(name) is None:
            table[_normalised(name)] = found
    return table


def native_columns(schema: Schema) -> bool:
    """Whether the run makes ``schema``'s tables whole, pages never crossing into Python: a
    schema whose fields are the engine's columns (:func:`larkspine.batch.columnar`) with
    links kept as written (making one absolute needs the page's ``<base>``, which Scrapy
    reads off the page's text)."""
    return schema._columnar and not schema._needs_base


def run_tables(
    schema: Schema, entries: Iterable[Source | InputFailure], stats: ReadStats, target: pa.Schema, *,
    jobs: int = 1, encoding: str | None = None, stop: Callable[[], bool] | None = None,
) -> Iterator[tuple[pa.Table | None, list[InputFailure], int, int]]:
    """``(table, failures read before it, pages, html_bytes)`` for each batch the run makes of
    ``entries`` with a :func:`native_columns` schema, in input order; ``table`` has the
    columns of ``target`` (:func:`larkspine.outputs.arrow_schema` or ``text_schema``) and is
    ``None`` where an input ended with failures only. ``encoding`` is a resolved label."""
    import pyarrow

    run = _larkspine._ArchiveRun(
        schema.plan, names=[name for name, _ in schema._flat] + [name for name, _ in schema._groups],
        threads=jobs, max_page_size=stats.max_page_size, only_2xx=stats.only_2xx, encoding=encoding,
        charsets=charset_table(), batch_pages=BATCH_PAGES, batch_bytes=BATCH_BYTES, part_bytes=PART_BYTES,
    )
    for result, failures, pages, size in feed(run, entries, stats, jobs, stop):
        failed = [InputFailure(source, offset, reason) for source, offset, reason in failures]
        table = None if result is None else _run_table(pyarrow, schema, pyarrow.table(result), target)
        yield table, failed, pages, size


def _run_table(pa_: Any, schema: Schema, table: Any, target: Any) -> Any:
    """A batch of the run as a table of ``target``'s columns: the groups' first-only
    sub-fields made values, ``_date``'s text cast as ``target`` has it."""
    table = schema._finish_groups(pa_, table)
    date = table.column("_date").cast(target.field("_date").type)
    return pa_.Table.from_arrays(
        [date if name == "_date" else table.column(name) for name in target.names], schema=target
    )


def batch_table(schema: Schema, docs: list[Document], encoding: str | None, target: Any, *, threads: int = 1) -> Any:
    """The records of ``docs`` as one table with the columns of ``target`` (the source keys,
    then the fields extracted in one native call on ``threads`` threads)."""
    import pyarrow

    pa_: Any = pyarrow
    labels = [(page_label(d.charset) if d.charset is not None else None) or encoding for d in docs]
    fields: Any = schema.extract_table([d.body for d in docs], labels, threads=threads, urls=[d.url for d in docs])
    string = pa_.string()
    head = [
        pa_.array([d.source for d in docs], string),
        pa_.array([d.offset for d in docs], pa_.int64()),
        pa_.array([d.url for d in docs], string),
        pa_.array([d.status for d in docs], pa_.int16()),
        # The reader's ``YYYY-MM-DDThh:mm:ss[.ffffff]Z``, which the timestamp cast takes exactly.
        pa_.array([d.date for d in docs], string).cast(target.field("_date").type),
        pa_.array([d.record_id for d in docs], string),
        pa_.array([d.content_type for d in docs], string),
        pa_.array([detect_encoding(d.body, label) for d, label in zip(docs, labels)], string),
    ]
    return pa_.Table.from_arrays(head + fields.columns, schema=target)
