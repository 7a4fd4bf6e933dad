"""Extraction on a Dask cluster: a bag of inputs in, a bag of records out.

``pip install 'larkspine[dask]'``. Each element of the bag is an input as the command takes
it -- a page, a directory, a glob pattern or a WARC file -- and each record is the one the
command writes (``_source``, ``_offset``, ``_url``, the WARC record's metadata, then the
fields)::

    import dask.bag as db
    from distributed import Client
    from larkspine.dask import extract_bag, to_jsonl

    client = Client("tcp://scheduler:8786")
    paths = db.from_sequence(warc_paths, npartitions=len(warc_paths))
    to_jsonl(extract_bag(paths, "article.toml"), "out/")

The schema (a :class:`~larkspine.Schema`, a ``Page`` class, a schema file or a
``module:PageClass`` reference, resolved here on the client) travels in the task graph
pickled and is compiled once per worker process (see
:class:`~larkspine.batch.PartitionExtractor`), however many partitions that process runs.

Columns: a schema without processors (:func:`~larkspine.batch.columnar`) is extracted a batch
of pages per native call into Arrow tables. The bag's records are read off those tables, and
:func:`to_parquet` and :func:`to_jsonl`, given the bag :func:`extract_bag` returned, write each
partition's file straight from its tables -- no record dict, no Python object per value --
the same files the records would make. :func:`extract_tables` gives the tables themselves.
"""

from __future__ import annotations

import importlib
import json
import os
import shutil
import tempfile
import weakref
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any, cast

import _larkspine

from ._gzip import DEFAULT_MAX_PAGE_SIZE
from ._schema import Record, Schema
from .batch import PartitionExtractor, columnar

if TYPE_CHECKING:
    import dask.bag
    import pyarrow as pa

__all__ = ["as_schema", "extract_bag", "extract_tables", "to_jsonl", "to_parquet"]

#: The bags :func:`extract_bag` made, with the bag of inputs and the extractor they came from,
#: so that the writers can go from the inputs to files through Arrow tables. A bag derived from
#: one (``.filter``, ``.map``) is a new object, not in here, and is written from its records.
_EXTRACTED: weakref.WeakKeyDictionary[Any, tuple[Any, PartitionExtractor]] = weakref.WeakKeyDictionary()


def as_schema(schema: object, *, allow_unsupported: bool = False) -> Schema:
    """A :class:`~larkspine.Schema` from a Schema, a ``Page`` class, or a reference the
    command accepts (a schema file or ``module:PageClass``)."""
    if isinstance(schema, Schema):
        return schema
    found = getattr(schema, "__schema__", None)
    if isinstance(schema, type) and isinstance(found, Schema):
        return found
    if isinstance(schema, (str, os.PathLike)):
        from .schemafile import resolve_schema

        return resolve_schema(os.fspath(schema), allow_unsupported=allow_unsupported)
    raise TypeError(
        "larkspine: schema must be a Schema, a Page class, a schema file or a module:PageClass "
        f"reference, got {type(schema).__name__}"
    )


def extract_bag(
    inputs: dask.bag.Bag | Iterable[str],
    schema: object,
    *,
    encoding: str | None = None,
    errors: str = "warn",
    npartitions: int | None = None,
    max_page_size: int = DEFAULT_MAX_PAGE_SIZE,
    only_2xx: bool = False,
) -> dask.bag.Bag:
    """The bag of records of every page of ``inputs`` (a bag, or a list made into one).

    ``encoding`` is the label for pages that declare no charset, as for the command;
    ``errors="raise"`` fails the task on an unreadable input instead of logging it;
    ``max_page_size`` (bytes, 64 MiB) is the command's ``--max-page-size``: a larger page
    is a failure, read no further; ``only_2xx`` keeps only WARC responses whose HTTP
    status is 2xx, as ``--only-2xx`` does.
    """
    bag, extractor = _partitions(inputs, schema, encoding, errors, npartitions, max_page_size, only_2xx)
    records: Any = bag.map_partitions(_as_list, extractor)
    _EXTRACTED[records] = (bag, extractor)
    return cast("dask.bag.Bag", records)


def extract_tables(
    inputs: dask.bag.Bag | Iterable[str],
    schema: object,
    *,
    encoding: str | None = None,
    errors: str = "warn",
    npartitions: int | None = None,
    max_page_size: int = DEFAULT_MAX_PAGE_SIZE,
    only_2xx: bool = False,
) -> dask.bag.Bag:
    """A bag of one ``pyarrow.Table`` per partition: the records of :func:`extract_bag` as
    columns (with the Parquet types of :mod:`larkspine.outputs`), for a schema without
    processors. Each partition's pages are extracted a batch at a time by the engine, straight
    into Arrow buffers. The arguments are :func:`extract_bag`'s."""
    bag, extractor = _partitions(inputs, schema, encoding, errors, npartitions, max_page_size, only_2xx)
    if not columnar(extractor.schema):
        raise ValueError("larkspine: extract_tables needs a schema without processors (see larkspine.batch.columnar)")
    return cast("dask.bag.Bag", bag.map_partitions(_as_table, extractor))


def _partitions(
    inputs: dask.bag.Bag | Iterable[str], schema: object, encoding: str | None, errors: str,
    npartitions: int | None, max_page_size: int, only_2xx: bool,
) -> tuple[Any, PartitionExtractor]:
    # Dask's functions are not annotated; they are called through ``Any`` here.
    db: Any = importlib.import_module("dask.bag")
    bag: Any = inputs
    if not isinstance(inputs, db.Bag):
        # Workers do not share the client's working directory: local paths go absolute.
        items = [_absolute(os.fsdecode(p)) for p in inputs]
        bag = db.from_sequence(items, npartitions=npartitions or max(1, min(len(items), 100)))
    extractor = PartitionExtractor(
        as_schema(schema), encoding=encoding, errors=errors, max_page_size=max_page_size, only_2xx=only_2xx
    )
    return bag, extractor


def _as_table(part: Iterable[str], extractor: PartitionExtractor) -> list[pa.Table]:
    import pyarrow as pa

    from .outputs import arrow_schema

    tables = list(extractor.tables(part))
    return [pa.concat_tables(tables) if tables else arrow_schema(extractor.schema).empty_table()]


def _absolute(path: str) -> str:
    return path if "://" in path or path == "-" else os.path.abspath(path)


def _as_list(part: Iterable[str], extractor: PartitionExtractor) -> list[Record]:
    return list(extractor(part))


def to_jsonl(records: dask.bag.Bag, directory: str | os.PathLike[str], *, overwrite: bool = False) -> list[str]:
    """Write one JSON Lines file per partition, ``part-00000.jsonl`` ...; their paths.

    A directory that already holds part files is refused (``FileExistsError``) unless
    ``overwrite=True``, which replaces them all, so that a directory never mixes two runs.
    The files are written aside and put in place only when every partition is written: a
    failed run leaves the directory as it was, with no temporary file (see :func:`to_parquet`).
    """
    target = _absolute(os.fspath(directory))
    source = _EXTRACTED.get(records)
    if "://" in target:
        # A remote store (through fsspec) is written by Dask's own text writer, in place.
        bag: Any = records
        lines = bag.map(json.dumps, ensure_ascii=False)
        written: list[str] = lines.to_textfiles(
            os.path.join(target, "part-*.jsonl"), name_function=_part_name, encoding="utf-8"
        )
        return written
    if source is not None and columnar(source[1].schema):
        inputs, extractor = source
        return _write_parts(inputs.to_delayed(), target, "jsonl", _write_jsonl_part, extractor, overwrite)
    return _write_parts(cast(Any, records).to_delayed(), target, "jsonl", _write_jsonl_records, None, overwrite)


def _part_name(index: int) -> str:
    return f"{index:05d}"


def to_parquet(
    records: dask.bag.Bag, directory: str | os.PathLike[str], schema: object, *, overwrite: bool = False
) -> list[str]:
    """Write one Parquet file per partition, ``part-00000.parquet`` ..., with the typed
    columns of :mod:`larkspine.outputs`; their paths. A directory of them reads back as one
    dataset (``pyarrow.dataset.dataset(directory)``, ``pandas.read_parquet(directory)``).

    A directory that already holds part files is refused (``FileExistsError``) unless
    ``overwrite=True``, which replaces them all (and only them), so that a directory never
    reads back as two runs mixed. The parts are written into a hidden folder inside the
    directory and moved into place only when every partition is written; when one fails, the
    hidden folder is removed, the old parts stay as they were, and the partition's error is
    raised.
    """
    target = _absolute(os.fspath(directory))
    if "://" in target:
        raise ValueError(f"larkspine: to_parquet writes to a local or shared directory, not {target!r}")
    resolved = as_schema(schema, allow_unsupported=True)
    source = _EXTRACTED.get(records)
    if source is not None and source[1].schema == resolved and columnar(resolved):
        inputs, extractor = source
        return _write_parts(inputs.to_delayed(), target, "parquet", _write_parquet_tables, extractor, overwrite)
    return _write_parts(cast(Any, records).to_delayed(), target, "parquet", _write_parquet_part, resolved, overwrite)


#: The hidden folder a run's parts are written in, inside the output directory.
_STAGING_PREFIX = ".larkspine-parts-"


def _write_parts(parts: list[Any], target: str, suffix: str, write: Any, how: Any, overwrite: bool) -> list[str]:
    """One file per partition (``write(part, path, how)`` each), written into a hidden folder
    in ``target`` and moved into place once all are written; old part files are refused, or
    replaced with ``overwrite``."""
    dask: Any = importlib.import_module("dask")
    os.makedirs(target, exist_ok=True)
    old = _part_files(target)
    if old and not overwrite:
        raise FileExistsError(
            f"larkspine: {target} already holds {len(old):,} part file{'s' if len(old) > 1 else ''} "
            f"({old[0]}, ...): pass overwrite=True to replace them"
        )
    staging = tempfile.mkdtemp(prefix=_STAGING_PREFIX, dir=target)
    try:
        names = [f"part-{i:05d}.{suffix}" for i in range(len(parts))]
        tasks = [dask.delayed(_caught)(write, part, os.path.join(staging, name), how)
                 for part, name in zip(parts, names)]
        # Every task ends before the results are looked at (a failure is returned, not raised),
        # so no partition is still writing into the hidden folder when it is removed.
        results: tuple[BaseException | None, ...] = dask.compute(*tasks)
        failed = next((r for r in results if r is not None), None)
        if failed is not None:
            raise failed
        for name in old:
            if name.startswith(_STAGING_PREFIX):
                shutil.rmtree(os.path.join(target, name), ignore_errors=True)
            elif name not in names:
                os.unlink(os.path.join(target, name))
        for name in names:
            os.replace(os.path.join(staging, name), os.path.join(target, name))
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    return [os.path.join(target, name) for name in names]


def _part_files(target: str) -> list[str]:
    """The part files (``part-*``, any suffix, and hidden folders of a run that was killed)."""
    with os.scandir(target) as listing:
        return sorted(e.name for e in listing if e.name.startswith(("part-", _STAGING_PREFIX)))


def _caught(write: Any, part: Any, path: str, how: Any) -> BaseException | None:
    """``write(part, path, how)``, its exception returned rather than raised."""
    try:
        write(part, path, how)
    except Exception as e:  # noqa: BLE001 - handed back to the client, which raises it
        return e
    return None


def _write_jsonl_records(records: Iterable[Mapping[str, Any]], path: str, schema: None) -> str:
    """A partition's records as JSON Lines, as ``Bag.to_textfiles`` writes them: joined by
    newlines, none after the last."""
    from .outputs import open_destination

    destination = open_destination(path, _no_stream)
    try:
        separator = b""
        for record in records:
            destination.stream.write(separator + json.dumps(record, ensure_ascii=False).encode("utf-8"))
            separator = b"\n"
        destination.commit()
    except BaseException:
        destination.discard()
        raise
    return path


def _write_jsonl_part(inputs: Iterable[str], path: str, extractor: PartitionExtractor) -> str:
    """A partition's JSON Lines, as ``Bag.to_textfiles`` writes its records' lines: joined by
    newlines, none after the last."""
    from .outputs import open_destination

    destination = open_destination(path, _no_stream)
    try:
        ended = False
        for table in extractor.tables(inputs, date_text=True):
            for batch in table.to_batches():
                text = _larkspine._records_text(batch, "jsonl")
                if not text:
                    continue
                if ended:
                    destination.stream.write(b"\n")
                destination.stream.write(memoryview(text)[:-1])
                ended = True
        destination.commit()
    except BaseException:
        destination.discard()
        raise
    return path


def _write_parquet_tables(inputs: Iterable[str], path: str, extractor: PartitionExtractor) -> str:
    from .outputs import ParquetWriter

    writer = ParquetWriter(path, extractor.schema)
    try:
        for table in extractor.tables(inputs):
            writer.write_table(table)
        writer.close()
    except BaseException:
        writer.discard()
        raise
    return path


def _no_stream() -> Any:
    raise ValueError("larkspine: a partition is written to a file")


def _write_parquet_part(rows: list[Mapping[str, Any]], path: str, schema: Schema) -> str:
    from .outputs import ParquetWriter

    writer = ParquetWriter(path, schema)
    try:
        for row in rows:
            writer.write(row)
        writer.close()
    except BaseException:
        writer.discard()
        raise
    return path
