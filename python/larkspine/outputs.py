"""Writing records: JSON Lines, CSV and Parquet.

A record is one page: where it came from (:data:`SOURCE_KEYS`: ``_source`` the path, ``_offset``
the WARC record's offset or ``None``, ``_url`` the WARC target URI or ``None``) and then the
schema's fields by name, in declaration order.

- **JSON Lines**: one JSON object per line, UTF-8, non-ASCII characters as themselves.
- **CSV**: one row per page and one column per source key and field, with a header row. A
  single value (``first``) is the cell; a missing one is an empty cell. A list of values,
  a group's rows and anything else that is not a string are written as JSON
  (``["/a", "/b"]``, ``[{"name": "Tea", "price": "3"}]``), so every cell reads back with
  ``json.loads`` and nothing is lost to a separator that also occurs in the data.
- **Parquet**: typed columns through pyarrow: ``string`` for single values, ``list<string>``
  for multi-valued fields, ``struct`` rows for groups (``list<struct>``, or ``struct`` for a
  ``first`` group), ``int64`` for ``_offset``. A field with processors (``each=``, ``out=``)
  or a non-string default has the type pyarrow infers from its first values. Rows are
  written in row groups as they come, into ``OUT.partial``, renamed to ``OUT`` when the
  writer closes; so a run stopped by Ctrl-C leaves a valid file with every page written so
  far, and a killed one leaves no half-written ``OUT``.

Every writer writes a record whole or not at all, and :meth:`RecordWriter.close` leaves the
output complete. A record the format cannot hold (a processor's value that is not JSON, a
Parquet value that does not fit its column's type) is handed to ``on_reject`` with the
reason and not written; without ``on_reject`` it raises :class:`RecordRejected`.
"""

from __future__ import annotations

import csv
import io
import json
import os
import stat
from collections.abc import Callable, Mapping, Sequence
from typing import IO, TYPE_CHECKING, Any, BinaryIO, Literal, Protocol

from ._fields import MISSING, Field, Group
from ._schema import Schema

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = [
    "FORMATS",
    "SOURCE_KEYS",
    "RecordRejected",
    "record_location",
    "RecordWriter",
    "JsonLinesWriter",
    "CsvWriter",
    "ParquetWriter",
    "arrow_schema",
    "open_writer",
]

Format = Literal["jsonl", "csv", "parquet"]
FORMATS: tuple[Format, ...] = ("jsonl", "csv", "parquet")
#: The record keys that say where a page came from, before the fields.
SOURCE_KEYS = ("_source", "_offset", "_url")


class RecordRejected(ValueError):
    """A record the output format cannot hold."""

    def __init__(self, record: Mapping[str, Any], reason: str) -> None:
        super().__init__(f"larkspine: {record_location(record)}: cannot be written: {reason}")
        self.record = record
        self.reason = reason


OnReject = Callable[[Mapping[str, Any], str], None]


def record_location(record: Mapping[str, Any]) -> str:
    """Where a record's page came from, as failures name it."""
    offset = record.get("_offset")
    source = str(record.get("_source"))
    return source if offset is None else f"{source} (record at offset {offset})"


def _rejecter(on_reject: OnReject | None) -> OnReject:
    def reject(record: Mapping[str, Any], reason: str) -> None:
        raise RecordRejected(record, reason)

    return on_reject or reject


class RecordWriter(Protocol):
    """Where records go."""

    def write(self, record: Mapping[str, Any]) -> None: ...

    def close(self) -> None:
        """Finish the output (flush, write any footer); the writer is not used afterwards."""
        ...


class JsonLinesWriter:
    """One JSON object per line; ``flush_each`` hands each line on at once (for a pipe)."""

    def __init__(self, stream: BinaryIO, *, flush_each: bool = False, on_reject: OnReject | None = None) -> None:
        self._stream = stream
        self._flush_each = flush_each
        self._reject = _rejecter(on_reject)

    def write(self, record: Mapping[str, Any]) -> None:
        try:
            line = json.dumps(record, ensure_ascii=False).encode("utf-8") + b"\n"
        except (TypeError, ValueError) as e:
            self._reject(record, str(e))
            return
        # One write per record: the line is whole in the buffer before any of it is written.
        self._stream.write(line)
        if self._flush_each:
            self._stream.flush()

    def close(self) -> None:
        self._stream.flush()


class CsvWriter:
    """One row per page; lists and groups as JSON text in their cell (see the module notes)."""

    def __init__(
        self, stream: BinaryIO, columns: Sequence[str], *, flush_each: bool = False, on_reject: OnReject | None = None
    ) -> None:
        self._binary = stream
        self._flush_each = flush_each
        self._reject = _rejecter(on_reject)
        self._text = io.StringIO()
        self._csv = csv.writer(self._text, lineterminator="\r\n")
        self._columns = tuple(columns)
        self._csv.writerow(self._columns)
        self._flush_row()

    def write(self, record: Mapping[str, Any]) -> None:
        try:
            cells = [_cell(record.get(c)) for c in self._columns]
        except (TypeError, ValueError) as e:
            self._reject(record, str(e))
            return
        self._csv.writerow(cells)
        self._flush_row()

    def _flush_row(self) -> None:
        self._binary.write(self._text.getvalue().encode("utf-8"))
        self._text.seek(0)
        self._text.truncate()
        if self._flush_each:
            self._binary.flush()

    def close(self) -> None:
        self._binary.flush()


def _cell(value: object) -> str:
    if value is None:
        return ""
    if isinstance(value, str):
        return value
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return str(value)
    return json.dumps(value, ensure_ascii=False)


def arrow_schema(schema: Schema, sample: Sequence[Mapping[str, Any]] = ()) -> pa.Schema:
    """The Parquet column types of a schema's records (see the module notes).

    ``sample`` gives the values from which the types of processed fields are inferred.
    """
    import pyarrow as pa

    columns: list[pa.Field[Any]] = [
        pa.field("_source", pa.string()),
        pa.field("_offset", pa.int64()),
        pa.field("_url", pa.string()),
    ]
    for name, decl in schema.fields.items():
        kind = _declared_type(decl)
        if kind is None:
            kind = _inferred_type([r.get(name) for r in sample])
        columns.append(pa.field(name, kind))
    return pa.schema(columns)


def _declared_type(decl: Field[Any] | Group) -> pa.DataType | None:
    """The type a declaration's values have, or ``None`` when its processors decide it."""
    import pyarrow as pa

    if isinstance(decl, Group):
        subs = []
        for sub_name, sub in decl.fields.items():
            kind = _declared_type(sub)
            if kind is None:
                return None
            subs.append(pa.field(sub_name, kind))
        row = pa.struct(subs)
        plain = decl.out is None
        return (row if decl.first else pa.list_(row)) if plain else None
    if decl.each is not None or decl.out is not None:
        return None
    default = decl.default
    if decl.first:
        ok = default is MISSING or default is None or isinstance(default, str)
        return pa.string() if ok else None
    ok = default is MISSING or default is None or (
        isinstance(default, list) and all(isinstance(v, str) for v in default)
    )
    return pa.list_(pa.string()) if ok else None


def _inferred_type(values: list[Any]) -> pa.DataType:
    """The type of the values, or of the first one pyarrow can type (the rows that do not fit
    it are rejected when written); ``string`` when nothing has a type."""
    import pyarrow as pa

    try:
        kind = pa.array(values).type
    except (pa.ArrowInvalid, pa.ArrowTypeError, TypeError, ValueError):
        kind = pa.null()
        for value in values:
            try:
                kind = pa.array([value]).type
            except (pa.ArrowInvalid, pa.ArrowTypeError, TypeError, ValueError):
                continue
            if not pa.types.is_null(kind):
                break
    return pa.string() if pa.types.is_null(kind) else kind


class ParquetWriter:
    """Typed columns, written in row groups to ``path + ".partial"`` and renamed on close."""

    def __init__(
        self, path: str, schema: Schema, *, row_group_size: int = 1000, on_reject: OnReject | None = None
    ) -> None:
        import pyarrow  # noqa: F401 - fail here, before any page is read, if it is missing

        self._reject = _rejecter(on_reject)
        self._path = path
        self._partial = path + ".partial"
        self._schema = schema
        self._rows: list[Mapping[str, Any]] = []
        self._row_group_size = row_group_size
        self._writer: Any = None
        self._arrow: pa.Schema | None = None
        # Create the file now, so an unwritable path fails before any page is read.
        open(self._partial, "wb").close()

    def write(self, record: Mapping[str, Any]) -> None:
        self._rows.append(record)
        if len(self._rows) >= self._row_group_size:
            self._flush()

    def _flush(self) -> None:
        import pyarrow as pa
        import pyarrow.parquet as pq

        if self._arrow is None:
            self._arrow = arrow_schema(self._schema, self._rows)
            self._writer = pq.ParquetWriter(self._partial, self._arrow)
        if self._rows:
            rows, self._rows = self._rows, []
            try:
                table = pa.Table.from_pylist(rows, schema=self._arrow)
            except (pa.ArrowInvalid, pa.ArrowTypeError, TypeError, ValueError):
                # Some row does not fit its columns' types: convert row by row and reject those.
                kept = []
                for row in rows:
                    try:
                        pa.Table.from_pylist([row], schema=self._arrow)
                    except (pa.ArrowInvalid, pa.ArrowTypeError, TypeError, ValueError) as e:
                        self._reject(row, str(e))
                    else:
                        kept.append(row)
                table = pa.Table.from_pylist(kept, schema=self._arrow)
            self._writer.write_table(table)

    def close(self) -> None:
        self._flush()
        self._writer.close()
        os.replace(self._partial, self._path)


def columns(schema: Schema) -> list[str]:
    """The record keys in order: the source keys, then the fields."""
    return [*SOURCE_KEYS, *schema.fields]


def open_writer(
    fmt: Format, schema: Schema, out: str | None, stdout: BinaryIO, on_reject: OnReject | None = None
) -> tuple[RecordWriter, IO[bytes] | None]:
    """The writer for ``fmt`` writing to the file ``out`` (or ``stdout`` when ``None``).

    Returns the writer and the file it opened (to be closed after the writer), if any.
    """
    if fmt == "parquet":
        if out is None:
            raise ValueError("larkspine: --format parquet writes a file: give it with -o FILE")
        return ParquetWriter(out, schema, on_reject=on_reject), None
    stream: BinaryIO = stdout if out is None else open(out, "wb")  # noqa: SIM115 - closed by the caller
    opened = None if out is None else stream
    # A pipe or terminal reader (`| head`, `| jq`) sees each record as soon as it is done;
    # a file is written in large blocks.
    flush_each = out is None and not _is_regular_file(stream)
    if fmt == "jsonl":
        return JsonLinesWriter(stream, flush_each=flush_each, on_reject=on_reject), opened
    if fmt == "csv":
        return CsvWriter(stream, columns(schema), flush_each=flush_each, on_reject=on_reject), opened
    raise ValueError(f"larkspine: unknown output format {fmt!r} (one of {', '.join(FORMATS)})")


def _is_regular_file(stream: BinaryIO) -> bool:
    try:
        return stat.S_ISREG(os.fstat(stream.fileno()).st_mode)
    except (OSError, ValueError, io.UnsupportedOperation):
        return False
