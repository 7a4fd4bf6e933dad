"""Archives in, Arrow out: what :meth:`larkspine.Schema.extract_archive` returns."""

from __future__ import annotations

import os
from collections.abc import Generator, Iterable, Iterator
from types import TracebackType
from typing import TYPE_CHECKING, Any, Union

from ._columns import arrow_schema
from ._encoding import resolve_encoding
from ._gzip import DEFAULT_MAX_PAGE_SIZE
from ._run import BATCH_BYTES, BATCH_PAGES, batch_table, native_columns, read_pages, run_tables
from ._pages import Document, InputFailure, ReadStats
from .inputs import walk_inputs

if TYPE_CHECKING:
    import pyarrow as pa

# A larkspine.Schema, which builds on this module (Schema.extract_archive) and so is not named here.
Schema = Any

__all__ = ["ArchiveSource", "ArchiveStream"]

#: What :meth:`~larkspine.Schema.extract_archive` reads: a path (a file, a directory, a glob
#: pattern, a URL with fsspec, ``-`` for standard input), or several.
ArchiveSource = Union[str, "os.PathLike[str]", Iterable[Union[str, "os.PathLike[str]"]]]


class ArchiveStream:
    """The records of every page of some archives, as Arrow record batches in input order.

    One row per page: ``_source``, ``_offset``, ``_url``, ``_status``, ``_date``,
    ``_record_id``, ``_content_type``, ``_charset`` (as :data:`larkspine.outputs.SOURCE_KEYS`
    describes them), then the schema's fields, typed as
    :meth:`~larkspine.Schema.extract_table` types them. It is an Arrow stream
    (``__arrow_c_stream__``): ``pyarrow.RecordBatchReader.from_stream(s)``,
    ``pyarrow.table(s)``, ``polars.from_arrow(s)`` and DuckDB read it, once. Iterating gives
    ``pyarrow.RecordBatch`` objects.

    Reading goes on as batches are taken, never more than a few batches ahead, on the
    threads the call asked for. An input or record that cannot be read does not stop it:
    it is in :attr:`failures` (``InputFailure``: source, offset, reason) once the batches
    read with it have been taken, and :attr:`stats` counts the records skipped. Closing
    the stream (or leaving its ``with`` block) stops the reading.
    """

    def __init__(
        self, schema: Schema, source: ArchiveSource, *, threads: int = 1, max_page_size: int = DEFAULT_MAX_PAGE_SIZE,
        only_2xx: bool = False, encoding: str | None = None,
    ) -> None:
        if not schema._columnar:
            raise ValueError(
                "larkspine: extract_archive makes Arrow columns of the engine's values; this schema has "
                "processors, defaults or fallbacks (see larkspine.batch.columnar): read its pages with "
                "larkspine.inputs.read_inputs and extract them with larkspine.batch.extract_records"
            )
        if isinstance(threads, bool) or not isinstance(threads, int) or threads < 0:
            raise ValueError(f"larkspine: threads must be a count of threads (0: one per CPU), got {threads!r}")
        if isinstance(max_page_size, bool) or not isinstance(max_page_size, int) or max_page_size < 1:
            raise ValueError(f"larkspine: max_page_size must be a positive number of bytes, got {max_page_size!r}")
        self._threads = threads or os.cpu_count() or 1
        self._encoding = None if encoding is None else resolve_encoding(encoding)
        #: What was skipped, and the limits read with.
        self.stats = ReadStats(max_page_size=max_page_size, only_2xx=bool(only_2xx))
        #: Inputs and records that could not be read, in input order, as far as read.
        self.failures: list[InputFailure] = []
        #: The batches' Arrow schema.
        self.schema: pa.Schema = arrow_schema(schema)
        self._batches = self._tables(schema, _paths(source))
        self._pending: list[Any] = []

    def _tables(self, schema: Schema, paths: list[str]) -> Generator[pa.Table, None, None]:
        if native_columns(schema):
            for table, failures, _, _ in run_tables(schema, walk_inputs(paths), self.stats, self.schema,
                                                    jobs=self._threads, encoding=self._encoding):
                self.failures.extend(failures)
                if table is not None:
                    yield table
            return
        # Links made absolute need each page's <base>: the pages come to Python, a batch at a time.
        docs: list[Document] = []
        size = 0
        for item in read_pages(walk_inputs(paths), self.stats, jobs=self._threads):
            if isinstance(item, InputFailure):
                self.failures.append(item)
                continue
            docs.append(item)
            size += len(item.body)
            if len(docs) >= BATCH_PAGES or size >= BATCH_BYTES:
                yield batch_table(schema, docs, self._encoding, self.schema, threads=self._threads)
                docs, size = [], 0
        if docs:
            yield batch_table(schema, docs, self._encoding, self.schema, threads=self._threads)

    def __iter__(self) -> Iterator[pa.RecordBatch]:
        return self

    def __next__(self) -> pa.RecordBatch:
        while not self._pending:
            table = next(self._batches)
            self._pending = table.to_batches()[::-1]
        batch: pa.RecordBatch = self._pending.pop()
        return batch

    def read_all(self) -> pa.Table:
        """Every batch left, as one table."""
        import pyarrow

        return pyarrow.Table.from_batches(list(self), schema=self.schema)

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        """The batches left as an ``arrow_array_stream`` PyCapsule (the Arrow PyCapsule
        interface); a requested schema is passed on to pyarrow, which casts if it can."""
        import pyarrow

        reader: Any = pyarrow.RecordBatchReader.from_batches(self.schema, self)
        return reader.__arrow_c_stream__(requested_schema)

    def close(self) -> None:
        """Stop reading: the threads are joined and the files closed."""
        self._batches.close()
        self._pending = []

    def __enter__(self) -> ArchiveStream:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()


def _paths(source: ArchiveSource) -> list[str]:
    if isinstance(source, (str, os.PathLike)):
        return [os.fsdecode(source)]
    if isinstance(source, (bytes, bytearray)):
        raise TypeError("larkspine: extract_archive reads files by path (str or os.PathLike), got bytes")
    paths = []
    for item in source:
        if not isinstance(item, (str, os.PathLike)):
            raise TypeError(f"larkspine: a source must be a path (str or os.PathLike), got {type(item).__name__}")
        paths.append(os.fsdecode(item))
    return paths
