"""Extraction over many pages: one record per page, in input order, on one or more threads.

What goes in: a :class:`~larkspine.Schema` and a stream of :class:`~larkspine.inputs.Document`
(and :class:`~larkspine.inputs.InputFailure`) items. What comes out: one record per page,
``{"_source", "_offset", "_url", "_status", "_date", "_record_id", "_content_type",
"_charset", <fields>...}`` (:data:`~larkspine.outputs.SOURCE_KEYS`), in the order the
pages came in, whatever the number of threads; failures go to a callback and are counted.
The WARC keys are ``None`` for a plain file; ``_charset``, the WHATWG name of the encoding
the page was read with, is there for every page.

Threads: the native scan releases the interpreter lock, so ``jobs`` worker threads extract
pages in parallel while the calling thread reads the next pages and writes the records.
Memory stays bounded: at most :func:`window` pages are read ahead of the oldest page not yet
written, and records are handed out strictly in input order (a slow page holds the ones
after it back; it never lets them pass).

Columns: for a schema whose fields are the engine's columns as they are (no processor, default,
absolute URL or ``first`` group to apply in Python, see :func:`columnar`),
:func:`extract_tables` gives the same records as Arrow tables, a batch of pages at a time:
each batch is extracted in one native call (:meth:`~larkspine.Schema.extract_table`, the lock
released once, ``jobs`` native threads) straight into Arrow buffers, with no Python object
per value and no dict per record, while the calling thread reads the next batch.

Charsets: a page's own charset (the HTTP ``Content-Type`` of a WARC record) is used when
it names an encoding (a WHATWG label or a Python codec name, see
:func:`larkspine.resolve_encoding`); one that names none is ignored, as browsers ignore it,
and the page is sniffed. ``encoding`` is the label for pages that carry no charset (plain
files, standard input, responses without one).
"""

from __future__ import annotations

import importlib
import logging
import os
import pickle
import threading
import time
from collections import deque
from collections.abc import Callable, Generator, Iterable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from ._encoding import detect_encoding, page_label, resolve_encoding
from ._schema import Record, Schema
from ._gzip import DEFAULT_MAX_PAGE_SIZE
from ._columns import arrow_schema, text_schema
from ._run import BATCH_BYTES, BATCH_PAGES, batch_table, native_columns, run_tables
from .inputs import Document, InputFailure, ReadStats, read_inputs, walk_inputs

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = [
    "PageFailure",
    "PartitionExtractor",
    "Summary",
    "columnar",
    "extract_document",
    "extract_records",
    "batch_table",
    "extract_tables",
    "native_columns",
    "read_tables",
    "page_label",
    "schema_cache_info",
    "source_keys",
    "window",
]


@dataclass(frozen=True, slots=True)
class PageFailure:
    """A page that was read but whose extraction raised (a processor's error, say)."""

    source: str
    offset: int | None
    reason: str

    def __str__(self) -> str:
        where = self.source if self.offset is None else f"{self.source} (record at offset {self.offset})"
        return f"{where}: {self.reason}"


Failure = InputFailure | PageFailure


@dataclass(slots=True)
class Summary:
    """What a run did."""

    pages: int = 0
    #: Bytes of HTML extracted from (uncompressed, after any HTTP content coding).
    bytes: int = 0
    failed: int = 0
    started: float = 0.0
    finished: float = 0.0

    def reject(self) -> None:
        """A page extracted but then refused by the output format: it counts as failed."""
        self.pages -= 1
        self.failed += 1

    @property
    def seconds(self) -> float:
        return max(self.finished - self.started, 1e-9)


def window(jobs: int) -> int:
    """How many pages may be in flight at once: enough to keep every thread busy while the
    reader and writer take their turn, small enough that memory stays a few pages per thread."""
    return 4 * jobs


def extract_document(schema: Schema, doc: Document, encoding: str | None = None) -> Record:
    """One page's record."""
    label = (page_label(doc.charset) if doc.charset is not None else None) or encoding
    values = schema.extract(doc.body, encoding=label, url=doc.url)
    record: Record = source_keys(doc, label)
    record.update(values)
    return record


def source_keys(doc: Document, label: str | None) -> Record:
    """The keys of a page's record before its fields (:data:`~larkspine.outputs.SOURCE_KEYS`),
    for a page read with ``label`` (``None``: sniffed)."""
    return {
        "_source": doc.source,
        "_offset": doc.offset,
        "_url": doc.url,
        "_status": doc.status,
        "_date": doc.date,
        "_record_id": doc.record_id,
        "_content_type": doc.content_type,
        # What the engine decided (BOM, label, <meta>, UTF-8), asked of the engine itself.
        "_charset": detect_encoding(doc.body, label),
    }


def _attempt(schema: Schema, doc: Document, encoding: str | None) -> Record | PageFailure:
    try:
        return extract_document(schema, doc, encoding)
    except Exception as e:  # a processor's error: this page fails, the run goes on
        return PageFailure(doc.source, doc.offset, f"extraction failed: {type(e).__name__}: {e}")


def extract_records(
    schema: Schema,
    items: Iterable[Document | InputFailure],
    *,
    jobs: int = 1,
    encoding: str | None = None,
    on_failure: Callable[[Failure], None] | None = None,
    summary: Summary | None = None,
) -> Generator[Record, None, None]:
    """Records of the pages in ``items``, in input order (see the module notes).

    ``on_failure`` is called, in input order too, for each input or page that failed;
    ``summary`` is filled in as the run goes. Closing the iterator early (``break``) stops
    the run: pages not yet extracted are dropped and the threads are shut down.
    """
    if encoding is not None:
        encoding = resolve_encoding(encoding)
    if jobs < 1:
        raise ValueError(f"larkspine: jobs must be at least 1, got {jobs}")
    summary = summary if summary is not None else Summary()
    summary.started = time.perf_counter()

    def settle(result: Record | Failure, size: int) -> Record | None:
        if isinstance(result, (InputFailure, PageFailure)):
            summary.failed += 1
            if on_failure is not None:
                on_failure(result)
            return None
        summary.pages += 1
        summary.bytes += size
        return result

    try:
        if jobs == 1:
            for item in items:
                result = item if isinstance(item, InputFailure) else _attempt(schema, item, encoding)
                record = settle(result, 0 if isinstance(item, InputFailure) else len(item.body))
                if record is not None:
                    yield record
            return
        pending: deque[tuple[Future[Record | Failure] | InputFailure, int]] = deque()
        limit = window(jobs)
        with ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="larkspine") as pool:
            try:
                for item in items:
                    if isinstance(item, InputFailure):
                        pending.append((item, 0))
                    else:
                        pending.append((pool.submit(_attempt, schema, item, encoding), len(item.body)))
                    while len(pending) >= limit or (pending and _ready(pending[0][0])):
                        record = _settle_next(pending, settle)
                        if record is not None:
                            yield record
                while pending:
                    record = _settle_next(pending, settle)
                    if record is not None:
                        yield record
            finally:
                for entry, _ in pending:
                    if isinstance(entry, Future):
                        entry.cancel()
    finally:
        summary.finished = time.perf_counter()


def _ready(entry: Future[Any] | InputFailure) -> bool:
    return not isinstance(entry, Future) or entry.done()


def _settle_next(
    pending: deque[tuple[Future[Record | Failure] | InputFailure, int]],
    settle: Callable[[Record | Failure, int], Record | None],
) -> Record | None:
    entry, size = pending.popleft()
    result = entry.result() if isinstance(entry, Future) else entry
    return settle(result, size)


# --- Columns: a batch of pages at a time -------------------------------------------------------


def columnar(schema: Schema) -> bool:
    """Whether every field of ``schema`` is the engine's column, its links perhaps made
    absolute, so that :func:`extract_tables` makes its records with no Python call per value:
    no ``each``, ``out`` or ``default``, no ``first`` group, and no query answered by parsel
    (``fallback=True``), whose values are made a page at a time."""
    return schema._columnar


def extract_tables(
    schema: Schema,
    items: Iterable[Document | InputFailure],
    *,
    jobs: int = 1,
    encoding: str | None = None,
    on_failure: Callable[[Failure], None] | None = None,
    summary: Summary | None = None,
    batch_pages: int = BATCH_PAGES,
    batch_bytes: int = BATCH_BYTES,
    stop: Callable[[], bool] | None = None,
    date_text: bool = False,
) -> Generator[pa.Table, None, None]:
    """The records of :func:`extract_records` as ``pyarrow`` tables, in input order, for a
    :func:`columnar` schema: one table per batch of ``batch_pages`` pages or ``batch_bytes``
    of HTML, with the columns and types of :func:`larkspine.outputs.arrow_schema` (with
    ``date_text``, of :func:`larkspine.outputs.text_schema`: ``_date`` as the text the
    records hold).

    Each batch is one native call on ``jobs`` threads; with more than one job it runs on a
    worker thread while this one reads the next batch. The tables are the same whatever
    ``jobs``. At most two batches of pages are held at once. A failure is handed to ``on_failure`` as it is read (before
    the pages read with it in its batch are given out). Closing the iterator stops the run;
    so does ``stop()`` turning true: the batch being read ends at the page in hand (a pipe
    that is slow to bring the rest of a batch does not hold the stop back), and no other starts.
    """
    if not columnar(schema):
        raise ValueError("larkspine: extract_tables needs a schema without processors (see columnar)")
    if encoding is not None:
        encoding = resolve_encoding(encoding)
    if jobs < 1:
        raise ValueError(f"larkspine: jobs must be at least 1, got {jobs}")
    summary = summary if summary is not None else Summary()
    summary.started = time.perf_counter()
    target: Any = text_schema(schema) if date_text else arrow_schema(schema)

    def batches() -> Iterator[list[Document]]:
        docs: list[Document] = []
        size = 0
        for item in items:
            if isinstance(item, InputFailure):
                summary.failed += 1
                if on_failure is not None:
                    on_failure(item)
                continue
            docs.append(item)
            size += len(item.body)
            stopping = stop is not None and stop()
            if len(docs) >= batch_pages or size >= batch_bytes or stopping:
                yield docs
                docs, size = [], 0
            if stopping:
                return
        if docs:
            yield docs

    def table_of(docs: list[Document]) -> tuple[Any, list[PageFailure]]:
        try:
            return batch_table(schema, docs, encoding, target, threads=jobs), []
        except (MemoryError, OverflowError) as e:
            too_big: BaseException = e
        # A batch that cannot be held (a page of millions of values under a memory limit):
        # its pages one at a time, so that only a page that cannot be held alone fails.
        tables, failures = [], []
        for doc in docs:
            try:
                if len(docs) == 1:
                    raise too_big
                tables.append(batch_table(schema, [doc], encoding, target, threads=jobs))
            except (MemoryError, OverflowError) as e:
                failures.append(PageFailure(doc.source, doc.offset, f"extraction failed: {type(e).__name__}: "
                                            "the page's values do not fit in memory"))
        import pyarrow

        return (pyarrow.concat_tables(tables) if tables else target.empty_table()), failures

    def counted(table: Any, failures: list[PageFailure], docs: list[Document]) -> Any:
        for failure in failures:
            summary.failed += 1
            if on_failure is not None:
                on_failure(failure)
        summary.pages += len(docs) - len(failures)
        summary.bytes += sum(len(d.body) for d in docs)
        return table

    def settle(entry: tuple[Future[Any], list[Document]]) -> Any:
        future, docs = entry
        table, failures = future.result()
        return counted(table, failures, docs)

    try:
        if jobs == 1:  # one thread, as asked: read, extract, give out, in turn
            for docs in batches():
                yield counted(*table_of(docs), docs)
            return
        pending: deque[tuple[Future[Any], list[Document]]] = deque()
        with ThreadPoolExecutor(max_workers=1, thread_name_prefix="larkspine") as pool:
            try:
                for docs in batches():
                    pending.append((pool.submit(table_of, docs), docs))
                    # One batch extracting while the next is read; none waits once done.
                    while len(pending) > 1 or (pending and pending[0][0].done()):
                        yield settle(pending.popleft())
                while pending:
                    yield settle(pending.popleft())
            finally:
                for future, _ in pending:
                    future.cancel()
    finally:
        summary.finished = time.perf_counter()


def read_tables(
    schema: Schema,
    inputs: Iterable[str | InputFailure],
    stats: ReadStats | None = None,
    *,
    jobs: int = 1,
    encoding: str | None = None,
    on_failure: Callable[[Failure], None] | None = None,
    summary: Summary | None = None,
    stop: Callable[[], bool] | None = None,
    date_text: bool = False,
) -> Generator[pa.Table, None, None]:
    """The tables of :func:`extract_tables` for the inputs as the command takes them (paths,
    directories, globs, ``-``), walked in order, with the limits in ``stats``.

    For a schema :func:`native_columns` takes, reading and extraction are one native run on
    ``jobs`` threads: each table is a batch the run made (up to :data:`BATCH_PAGES` pages or
    :data:`BATCH_BYTES` of HTML, not crossing a large archive's parts), and the calling
    thread only walks inputs and writes. Any other columnar schema's pages are read by the
    run and extracted a batch at a time as :func:`extract_tables` does.
    """
    stats = stats if stats is not None else ReadStats()
    summary = summary if summary is not None else Summary()
    if not native_columns(schema):
        yield from extract_tables(schema, read_inputs(inputs, stats, jobs=jobs), jobs=jobs, encoding=encoding, on_failure=on_failure,
                                  summary=summary, stop=stop, date_text=date_text)
        return
    if encoding is not None:
        encoding = resolve_encoding(encoding)
    if jobs < 1:
        raise ValueError(f"larkspine: jobs must be at least 1, got {jobs}")
    target: Any = text_schema(schema) if date_text else arrow_schema(schema)
    summary.started = time.perf_counter()
    try:
        for table, failures, count, size in run_tables(schema, walk_inputs(inputs), stats, target, jobs=jobs,
                                                       encoding=encoding, stop=stop):
            for failure in failures:
                summary.failed += 1
                if on_failure is not None:
                    on_failure(failure)
            if table is not None:
                summary.pages += count
                summary.bytes += size
                yield table
    finally:
        summary.finished = time.perf_counter()


# --- Partitions: the unit of work of Dask and Spark -------------------------------------------

_cache_lock = threading.Lock()
_schemas: dict[bytes, Schema] = {}
_cache_counts = {"built": 0, "reused": 0}


def _schema_for(spec: bytes) -> Schema:
    """The schema pickled in ``spec``, unpickled (and its plan compiled) once per process."""
    with _cache_lock:
        found = _schemas.get(spec)
        if found is None:
            found = pickle.loads(spec)
            if not isinstance(found, Schema):
                raise TypeError(f"larkspine: the partition spec holds {type(found).__name__}, not a Schema")
            _schemas[spec] = found
            _cache_counts["built"] += 1
        else:
            _cache_counts["reused"] += 1
        return found


def schema_cache_info() -> dict[str, int]:
    """How many schemas this process compiled for partitions, and how often it reused one."""
    with _cache_lock:
        return dict(_cache_counts, held=len(_schemas))


class PartitionExtractor:
    """A picklable function from an iterable of inputs (paths, directories, globs, WARC
    files) to their records, for Dask's ``map_partitions`` and Spark's ``mapPartitions``.

    The schema travels pickled (with cloudpickle when it is installed, so processors may be
    lambdas) and is compiled once per worker process, however many partitions the process
    runs. A failed input is logged on the ``larkspine`` logger and skipped; with
    ``errors="raise"`` it raises ``RuntimeError`` instead. ``max_page_size`` is the
    command's ``--max-page-size``, in bytes; ``only_2xx`` its ``--only-2xx``.
    """

    def __init__(
        self,
        schema: Schema,
        *,
        encoding: str | None = None,
        errors: str = "warn",
        max_page_size: int = DEFAULT_MAX_PAGE_SIZE,
        only_2xx: bool = False,
    ) -> None:
        if not isinstance(schema, Schema):
            raise TypeError(f"larkspine: schema must be a Schema, got {type(schema).__name__}")
        if errors not in ("warn", "raise"):
            raise ValueError(f"larkspine: errors must be 'warn' or 'raise', got {errors!r}")
        try:
            # cloudpickle (untyped) comes with Dask and with PySpark.
            cloudpickle: Any = importlib.import_module("cloudpickle")
            self._spec: bytes = cloudpickle.dumps(schema)
        except ImportError:
            self._spec = pickle.dumps(schema)
        self._encoding = None if encoding is None else resolve_encoding(encoding)
        self._errors = errors
        if isinstance(max_page_size, bool) or not isinstance(max_page_size, int) or max_page_size < 1:
            raise ValueError(f"larkspine: max_page_size must be a positive number of bytes, got {max_page_size!r}")
        self._max_page_size = max_page_size
        self._only_2xx = bool(only_2xx)

    @property
    def schema(self) -> Schema:
        """The schema, as this process compiled it."""
        return _schema_for(self._spec)

    def __call__(self, inputs: Iterable[str]) -> Iterator[Record]:
        """The records of every page of ``inputs``. A :func:`columnar` schema's pages are
        extracted a batch at a time (:meth:`tables`) and the records read off the tables."""
        schema = _schema_for(self._spec)
        if columnar(schema):
            for table in self.tables(inputs, date_text=True):
                yield from table.to_pylist()
            return
        yield from extract_records(schema, self._read(inputs), encoding=self._encoding, on_failure=self._failed)

    def tables(self, inputs: Iterable[str], *, date_text: bool = False) -> Iterator[pa.Table]:
        """The records of every page of ``inputs`` as Arrow tables (:func:`extract_tables`: a
        batch of pages per native call, no Python object per value), for a :func:`columnar`
        schema; ``date_text`` as there."""
        yield from read_tables(
            _schema_for(self._spec), self._paths(inputs), self._stats(), encoding=self._encoding,
            on_failure=self._failed, date_text=date_text,
        )

    def _read(self, inputs: Iterable[str]) -> Iterator[Document | InputFailure]:
        return read_inputs(self._paths(inputs), self._stats())

    def _stats(self) -> ReadStats:
        return ReadStats(max_page_size=self._max_page_size, only_2xx=self._only_2xx)

    @staticmethod
    def _paths(inputs: Iterable[str]) -> list[str]:
        # A bytes path (a file name that is not UTF-8, say) is read as the str Python would
        # give it (os.fsdecode); the records name it as every output can carry it.
        return [os.fsdecode(p) for p in inputs]

    def _failed(self, failure: Failure) -> None:
        if self._errors == "raise":
            raise RuntimeError(f"larkspine: {failure}")
        logging.getLogger("larkspine").warning("%s", failure)
