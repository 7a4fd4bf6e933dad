"""Writing records: JSON Lines, CSV and Parquet.

A record is one page: where it came from and how it was read (:data:`SOURCE_KEYS`:
``_source`` the path, ``_offset`` the WARC record's offset, ``_url`` its target URI,
``_status`` its HTTP status, ``_date`` its ``WARC-Date``, ``_record_id`` its
``WARC-Record-ID``, ``_content_type`` its HTTP media type -- each ``None`` for a plain file --
and ``_charset`` the encoding the page was read with) and then the schema's fields by name, in
declaration order.

- **JSON Lines**: one JSON object per line, UTF-8, non-ASCII characters as themselves.
- **CSV**: one row per page and one column per source key and field, with a header row. A
  single value (``first``) is the cell; a missing one is an empty cell. A list of values,
  a group's rows and anything else that is not a string are written as JSON
  (``["/a", "/b"]``, ``[{"name": "Tea", "price": "3"}]``), so every cell reads back with
  ``json.loads`` and nothing is lost to a separator that also occurs in the data.
- **Parquet**: typed columns through pyarrow: ``string`` for single values, ``list<string>``
  for multi-valued fields, ``struct`` rows for groups (``list<struct>``, or ``struct`` for a
  ``first`` group), ``int64`` for ``_offset``, ``int16`` for ``_status``, ``timestamp[us, UTC]``
  for ``_date`` (JSON Lines and CSV write it as the text ``2024-05-01T12:00:00Z``). A field with processors (``each=``, ``out=``)
  or a non-string default has the type pyarrow infers from its first values. Rows are
  written in row groups as they come. Parquet needs a regular file (its footer points back
  into it), so it is refused for standard output, a pipe or a device.

Where the bytes go is a :class:`Destination`. Files are never truncated or replaced before
new content is complete: a regular file ``OUT`` (or a name not yet taken) is written through
a temporary file beside it, ``.OUT.XXXXXXXX.partial`` (hidden, and named so that no
directory walk or glob takes it as an input), which replaces ``OUT`` only when the writer
closes; :meth:`RecordWriter.discard` removes it and leaves ``OUT`` as it was. A symlink is
followed to the file it names, which is replaced and the link kept. Anything that is not a
regular file (standard output, a FIFO, a terminal, ``/dev/stdout``) is written through.

Every writer writes a record whole or not at all: JSON Lines and CSV hand the stream whole
records only, and when a write into a regular file fails part-way (a full disk, a file-size
limit) the file is cut back to the end of the last whole record before the error is raised,
so an output never ends inside a record. :meth:`RecordWriter.close` leaves the output
complete. A record the format cannot hold (a processor's value that is not JSON, a Parquet
value that does not fit its column's type) is handed to ``on_reject`` with the reason and not
written; without ``on_reject`` it raises :class:`RecordRejected`.

Records may also come a batch at a time, as an Arrow table
(:func:`larkspine.batch.extract_tables`): ``write_table`` writes them as they are -- Parquet
through pyarrow, JSON Lines and CSV through the engine's ``_records_text``, which gives the
bytes ``write`` gives for each row's record, with no Python object per value.

CSV cells that a spreadsheet would run as a formula (text starting with ``=``, ``+``, ``-``,
``@``, a tab or a carriage return) get a leading ``'`` unless ``escape_formulas=False``, as
OWASP advises against "CSV injection"; numbers and JSON text are never touched.
"""

from __future__ import annotations

import bisect
import csv
import errno
import io
import json
import os
import re
import secrets
import stat
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, BinaryIO, Literal, Protocol

import _larkspine

from ._columns import arrow_schema, text_schema

if TYPE_CHECKING:
    import pyarrow as pa

    from ._schema import Schema

__all__ = [
    "FORMATS",
    "SOURCE_KEYS",
    "RecordRejected",
    "OutputRefused",
    "Destination",
    "open_destination",
    "RecordSink",
    "record_location",
    "RecordWriter",
    "TableWriter",
    "JsonLinesWriter",
    "CsvWriter",
    "ParquetWriter",
    "arrow_schema",
    "text_schema",
    "open_writer",
]

Format = Literal["jsonl", "csv", "parquet"]
FORMATS: tuple[Format, ...] = ("jsonl", "csv", "parquet")
#: The record keys that say where a page came from and how it was read, before the fields.
SOURCE_KEYS = ("_source", "_offset", "_url", "_status", "_date", "_record_id", "_content_type", "_charset")


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
        """Finish the output (flush, write any footer) and put it in place; the writer is not
        used afterwards."""
        ...

    def discard(self) -> None:
        """Give the output up: a temporary file is removed and the target left as it was."""
        ...


class OutputRefused(ValueError):
    """An output that cannot be used as asked, found before anything is written."""


STDOUT_NAME = "standard output"


class Destination:
    """Where an output's bytes go, and what a failed run leaves there (see the module notes).

    Made by :func:`open_destination`, or around any binary stream (then ``commit`` only
    flushes it and ``discard`` does nothing).
    """

    def __init__(
        self, stream: BinaryIO, name: str = "<stream>", *, target: str | None = None,
        temporary: str | None = None, existed: bool = False, owned: bool = False,
    ) -> None:
        #: How messages name the output: the path as given, or "standard output".
        self.name = name
        self.stream = stream
        self._target = target
        self._temporary = temporary
        self._existed = existed
        self._owned = owned or temporary is not None
        self._done = False

    @property
    def replaces(self) -> bool:
        """Whether the output is written aside and replaces its target only on :meth:`commit`."""
        return self._temporary is not None

    @property
    def existed(self) -> bool:
        """Whether the target was there before (and is kept when the output is discarded)."""
        return self._existed

    def unchanged(self) -> str:
        """What a discarded output leaves, for messages."""
        if self._temporary is None:
            return "it holds the records written before"
        return "it is left as it was" if self._existed else "no file is left behind"

    def commit(self) -> None:
        """The output is complete: put it in place (rename over the target), or flush it."""
        if self._done:
            return
        self.stream.flush()
        if self._temporary is not None and self._target is not None:
            # The data reach the disk before the name does, so a crash of the machine cannot
            # leave the target name on an empty file.
            os.fsync(self.stream.fileno())
            self.stream.close()
            os.replace(self._temporary, self._target)
        elif self._owned:
            self.stream.close()
        self._done = True

    def discard(self) -> None:
        """Give the output up: remove the temporary file; the target is not touched."""
        if self._done:
            return
        self._done = True
        if self._owned:
            try:
                self.stream.close()
            except OSError:
                pass  # what was buffered is thrown away with the file
        if self._temporary is not None:
            try:
                os.unlink(self._temporary)
            except FileNotFoundError:
                pass


def open_destination(output: str | None, stdout: Callable[[], BinaryIO], *, seekable: bool = False) -> Destination:
    """Where to write ``output`` (``None`` or ``-``: standard output, from ``stdout()``).

    A regular file or a name not yet taken gets a temporary file beside it, after following
    any symlinks; anything else is opened and written through. ``seekable`` (Parquet) refuses
    what is not a regular file with :class:`OutputRefused`. An output that cannot be created
    raises :class:`OSError`.
    """
    if output is None or output == "-":
        if seekable:
            raise OutputRefused(f"cannot write Parquet to {STDOUT_NAME}: it needs a regular file, to seek in")
        return Destination(stdout(), STDOUT_NAME)
    try:
        found = os.stat(output)
    except FileNotFoundError:
        found = None
    descriptor = _names_a_descriptor(output)
    if found is not None and (descriptor or not stat.S_ISREG(found.st_mode)):
        if seekable and not stat.S_ISREG(found.st_mode):
            raise OutputRefused(f"cannot write Parquet to {output}: it needs a regular file, to seek in")
        if stat.S_ISDIR(found.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), output)
        # A FIFO, a terminal, a device, or an open descriptor (/dev/stdout): opened by the name
        # given and written through, never replaced. Appending, because a descriptor's file is
        # the shell's (`>> log` must stay an append), and a FIFO or device ignores it. Opening
        # a FIFO waits for its reader, as any writer would.
        return Destination(open(output, "ab"), output, owned=True)  # noqa: SIM115 - closed by commit/discard
    # A regular file, or a name not taken yet (perhaps a dangling symlink): the file replaced
    # is the one the links lead to, so the links stay links.
    target = os.path.realpath(output)
    temporary, fd = _temporary_beside(target)
    try:
        if found is not None:  # the new file keeps the old one's owner (if it may) and permissions
            try:
                os.fchown(fd, found.st_uid, found.st_gid)
            except OSError:
                pass  # only the superuser may give a file away; the file is the writer's then
            os.fchmod(fd, stat.S_IMODE(found.st_mode))
        stream = os.fdopen(fd, "wb")
    except BaseException:
        os.close(fd)
        os.unlink(temporary)
        raise
    return Destination(stream, output, target=target, temporary=temporary, existed=found is not None)


_DESCRIPTOR_PATH = re.compile(r"/(proc/(self|thread-self|\d+)|dev)/fd/\d+")


def _names_a_descriptor(path: str) -> bool:
    """Whether ``path`` leads, through symlinks, to an open file descriptor (``/dev/stdout``,
    ``/dev/fd/1``, ``/proc/self/fd/1``): a file someone else opened, to be written as it is."""
    for _ in range(40):  # the system's own limit on a chain of links
        if _DESCRIPTOR_PATH.fullmatch(os.path.normpath(os.path.abspath(path))):
            return True
        try:
            link = os.readlink(path)
        except OSError:
            return False
        path = os.path.join(os.path.dirname(path), link)
    return False


def _temporary_beside(target: str) -> tuple[str, int]:
    """A new file in ``target``'s folder (so that renaming it over ``target`` is atomic), hidden
    and ending in ``.partial`` (so that no input walk or glob takes it), made with the
    permissions a new file gets (``0666`` less the umask)."""
    folder, base = os.path.split(target)
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    for _ in range(100):
        name = os.path.join(folder, f".{base[:200]}.{secrets.token_hex(4)}.partial")
        try:
            return name, os.open(name, flags, 0o666)
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no free temporary name", target)


class RecordSink:
    """Whole records onto a binary stream, never part of one.

    Records are gathered and written in blocks of about 64 KiB (each record at once when
    ``flush_each``; by default, when the stream is not a regular file: a pipe or terminal
    reader sees each record as soon as it is done). A block goes to the file descriptor
    directly, so that a short write is seen: when writing into a regular file at its end fails
    part-way, the file is cut back to where the block began before the error is raised. The
    block stays gathered, so a later :meth:`flush` (after a second Ctrl-C) writes it whole.
    """

    _BLOCK = 1 << 16

    def __init__(self, stream: BinaryIO, *, flush_each: bool | None = None) -> None:
        self._stream = stream
        self._pending = bytearray()
        self._fd: int | None = None
        self._regular = False
        try:
            fd = stream.fileno()
            stream.flush()  # anything written before goes first
            self._regular = stat.S_ISREG(os.fstat(fd).st_mode)
            self._fd = fd
        except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
            self._fd = None
        if flush_each is None:
            flush_each = not self._regular
        self._limit = 0 if flush_each else self._BLOCK

    def write(self, data: bytes) -> None:
        """Add one or more whole records."""
        self._pending += data
        if len(self._pending) > self._limit:
            self.flush()

    def write_records(self, data: bytes, ends: Sequence[int]) -> None:
        """Add whole records given as one text and where each of them ends in it (ascending,
        the last at ``len(data)``): handed on in the blocks that adding them one by one with
        :meth:`write` makes. When handing on fails, what was not written stays gathered."""
        view = memoryview(data)
        start = 0
        try:
            while start < len(data):
                # The first record end that takes the gathered bytes past the block size.
                i = bisect.bisect_right(ends, start + self._limit - len(self._pending))
                end = ends[i] if i < len(ends) else len(data)
                self._pending += view[start:end]
                start = end
                if len(self._pending) > self._limit:
                    self.flush()
        except BaseException:
            self._pending += view[start:]
            raise

    def flush(self) -> None:
        if not self._pending:
            return
        fd = self._fd
        if fd is None:
            self._stream.write(bytes(self._pending))
            self._stream.flush()
            self._pending.clear()
            return
        end = self._end_if_appending(fd)
        view = memoryview(self._pending)
        try:
            while view:
                view = view[os.write(fd, view):]
        except BaseException:
            if end is not None:
                try:
                    os.ftruncate(fd, end)
                    os.lseek(fd, end, os.SEEK_SET)
                except OSError:
                    pass
            raise
        finally:
            view.release()
        self._pending.clear()

    def _end_if_appending(self, fd: int) -> int | None:
        """The file's size when this block is written at its end (so cutting back to it removes
        only this block); ``None`` for anything else."""
        if not self._regular:
            return None
        try:
            size = os.fstat(fd).st_size
            if _appends(fd) or os.lseek(fd, 0, os.SEEK_CUR) == size:
                return size
        except OSError:
            pass
        return None


def _appends(fd: int) -> bool:
    """Whether ``fd`` was opened to append (``>>``): every write goes to the end of the file."""
    try:
        import fcntl
    except ImportError:  # not POSIX: the position then tells
        return False
    return bool(fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_APPEND)


def _as_destination(out: Destination | BinaryIO) -> Destination:
    return out if isinstance(out, Destination) else Destination(out)


class TableWriter(RecordWriter, Protocol):
    """A writer that also takes whole records a batch at a time, as Arrow tables."""

    def write_table(self, table: pa.Table) -> None: ...


def _check_columns(table: pa.Table, expected: Sequence[str], what: str) -> None:
    if table.schema.names != list(expected):
        raise ValueError(f"larkspine: a table of columns {table.schema.names} for {what} of {list(expected)}")


class JsonLinesWriter:
    """One JSON object per line; ``flush_each`` hands each line on at once (for a pipe)."""

    def __init__(
        self, out: Destination | BinaryIO, *, flush_each: bool = False, on_reject: OnReject | None = None
    ) -> None:
        self._destination = _as_destination(out)
        self._sink = RecordSink(self._destination.stream, flush_each=flush_each)
        self._reject = _rejecter(on_reject)

    def write(self, record: Mapping[str, Any]) -> None:
        try:
            line = json.dumps(record, ensure_ascii=False).encode("utf-8") + b"\n"
        except (TypeError, ValueError) as e:
            self._reject(record, str(e))
            return
        self._sink.write(line)

    def write_table(self, table: pa.Table) -> None:
        """Add whole records given as a table (string, integer, list and struct columns, in
        record order; ``_date`` as its text, see :func:`text_schema`): the bytes
        :meth:`write` gives for each row's record, made by the engine from the table's
        buffers with the interpreter lock released, no Python object per value."""
        for batch in table.to_batches():
            for text, ends in _texts(batch, "jsonl", True, self._reject):
                self._sink.write_records(text, memoryview(ends).cast("q"))

    def close(self) -> None:
        self._sink.flush()
        self._destination.commit()

    def discard(self) -> None:
        self._destination.discard()


def _texts(batch: Any, fmt: Literal["jsonl", "csv"], escape: bool, reject: OnReject) -> Iterator[tuple[bytes, bytes]]:
    """The text of a batch's records and their ends (:func:`_larkspine._records_text`); a
    batch whose text does not fit in memory is written a record at a time, and a record
    whose text alone does not fit is rejected (its page fails, the run goes on)."""
    try:
        yield _larkspine._records_text(batch, fmt, escape_formulas=escape, row_ends=True)
        return
    except MemoryError:
        pass
    for i in range(batch.num_rows):
        row = batch.slice(i, 1)
        try:
            text = _larkspine._records_text(row, fmt, escape_formulas=escape, row_ends=True)
        except MemoryError:
            where = {key: row.column(key)[0].as_py() for key in ("_source", "_offset") if key in row.schema.names}
            reject(where, "its text does not fit in memory")
            continue
        yield text


#: First characters that make a spreadsheet read a cell as a formula.
FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")


class CsvWriter:
    """One row per page; lists and groups as JSON text in their cell (see the module notes)."""

    def __init__(
        self, out: Destination | BinaryIO, columns: Sequence[str], *, flush_each: bool = False,
        on_reject: OnReject | None = None, escape_formulas: bool = True,
    ) -> None:
        self._destination = _as_destination(out)
        self._sink = RecordSink(self._destination.stream, flush_each=flush_each)
        self._reject = _rejecter(on_reject)
        self._escape = escape_formulas
        self._text = io.StringIO()
        self._csv = csv.writer(self._text, lineterminator="\r\n")
        self._columns = tuple(columns)
        self._csv.writerow(self._columns)
        self._flush_row()

    def write(self, record: Mapping[str, Any]) -> None:
        try:
            cells = [_cell(record.get(c), self._escape) for c in self._columns]
        except (TypeError, ValueError) as e:
            self._reject(record, str(e))
            return
        self._csv.writerow(cells)
        self._flush_row()

    def write_table(self, table: pa.Table) -> None:
        """Add whole records given as a table with this writer's columns, in order (``_date``
        as its text, see :func:`text_schema`): the bytes :meth:`write` gives for each row's
        record, made by the engine from the table's buffers, no Python object per value."""
        _check_columns(table, self._columns, "a CSV file")
        for batch in table.to_batches():
            for text, ends in _texts(batch, "csv", self._escape, self._reject):
                self._sink.write_records(text, memoryview(ends).cast("q"))

    def _flush_row(self) -> None:
        self._sink.write(self._text.getvalue().encode("utf-8"))
        self._text.seek(0)
        self._text.truncate()

    def close(self) -> None:
        self._sink.flush()
        self._destination.commit()

    def discard(self) -> None:
        self._destination.discard()


def _cell(value: object, escape: bool = False) -> str:
    if value is None:
        return ""
    if isinstance(value, str):
        return "'" + value if escape and value.startswith(FORMULA_STARTS) else value
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return str(value)
    return json.dumps(value, ensure_ascii=False)


class ParquetWriter:
    """Typed columns, written in row groups through a :class:`Destination` (a temporary file
    beside ``out``, put in place on close)."""

    #: Rows per row group unless told.
    ROW_GROUP_SIZE = 1000

    def __init__(
        self, out: str | Destination, schema: Schema, *, row_group_size: int | None = None,
        on_reject: OnReject | None = None,
    ) -> None:
        import pyarrow  # noqa: F401 - fail here, before any page is read, if it is missing

        self._reject = _rejecter(on_reject)
        # Made now, so that an unwritable path fails before any page is read.
        self._destination = out if isinstance(out, Destination) else open_destination(out, _no_stdout, seekable=True)
        self._schema = schema
        self._rows: list[Mapping[str, Any]] = []
        self._row_group_size = row_group_size or self.ROW_GROUP_SIZE
        self._writer: Any = None
        self._arrow: pa.Schema | None = None
        self._ingest: Any = None
        self._date_at = -1
        self._tables: list[pa.Table] = []
        self._table_rows = 0

    def write(self, record: Mapping[str, Any]) -> None:
        if self._tables:
            self._flush_tables(everything=True)
        self._rows.append(record)
        if len(self._rows) >= self._row_group_size:
            self._flush()

    def write_table(self, table: pa.Table) -> None:
        """Add whole records given as a table with the columns of :func:`arrow_schema` (as
        :func:`larkspine.batch.extract_tables` makes them): written as they are, no Python
        object per value, in row groups of the same size as :meth:`write` makes."""
        if self._rows:
            self._flush()
        if self._writer is None:
            import pyarrow.parquet as pq

            self._arrow = arrow_schema(self._schema)
            self._writer = pq.ParquetWriter(self._destination.stream, self._arrow)
        expected = self._arrow
        if expected is None or not table.schema.equals(expected):
            names = None if expected is None else expected.names
            raise ValueError(f"larkspine: a table of columns {table.schema.names} for a Parquet file of {names}")
        self._tables.append(table)
        self._table_rows += table.num_rows
        if self._table_rows >= self._row_group_size:
            self._flush_tables()

    def _flush_tables(self, everything: bool = False) -> None:
        """Write the tables held, in row groups of ``row_group_size`` rows (each a view of the
        tables' buffers, not a copy); the rows past the last whole group are kept unless
        ``everything``."""
        import pyarrow as pa

        held = pa.concat_tables(self._tables)
        size = self._row_group_size
        start = 0
        while held.num_rows - start >= size or (everything and start < held.num_rows):
            self._writer.write_table(held.slice(start, size))
            start += size
        rest = held.slice(start)
        self._tables = [rest] if rest.num_rows else []
        self._table_rows = rest.num_rows

    def _flush(self) -> None:
        import pyarrow as pa
        import pyarrow.parquet as pq

        if self._arrow is None:
            self._arrow = arrow_schema(self._schema, self._rows)
            self._writer = pq.ParquetWriter(self._destination.stream, self._arrow)
        if self._ingest is None:
            # Records hold ``_date`` as its text (as JSON Lines and CSV write it); it is read
            # into a string column and cast to the timestamp column, which takes exactly
            # that text (inputs.warc_date).
            self._date_at = self._arrow.get_field_index("_date")
            self._ingest = self._arrow.set(self._date_at, pa.field("_date", pa.string()))
        if self._rows:
            rows, self._rows = self._rows, []
            try:
                table = pa.Table.from_pylist(rows, schema=self._ingest)
            except (pa.ArrowInvalid, pa.ArrowTypeError, TypeError, ValueError):
                # Some row does not fit its columns' types: convert row by row and reject those.
                kept = []
                for row in rows:
                    try:
                        pa.Table.from_pylist([row], schema=self._ingest)
                    except (pa.ArrowInvalid, pa.ArrowTypeError, TypeError, ValueError) as e:
                        self._reject(row, str(e))
                    else:
                        kept.append(row)
                table = pa.Table.from_pylist(kept, schema=self._ingest)
            dates = table.column(self._date_at).cast(self._arrow.field(self._date_at).type)
            self._writer.write_table(table.set_column(self._date_at, self._arrow.field(self._date_at), dates))

    def close(self) -> None:
        if self._tables:
            self._flush_tables(everything=True)
        else:
            self._flush()
        self._writer.close()
        self._destination.commit()

    def discard(self) -> None:
        if self._writer is not None:
            writer, self._writer = self._writer, None
            try:
                writer.close()  # into the file about to be removed; only so pyarrow lets go
            except Exception:  # noqa: BLE001, S110 - whatever failed the run may fail this too
                pass
        self._destination.discard()


def _no_stdout() -> BinaryIO:
    raise OutputRefused(f"cannot write Parquet to {STDOUT_NAME}: it needs a regular file, to seek in")


def columns(schema: Schema) -> list[str]:
    """The record keys in order: the source keys, then the fields."""
    return [*SOURCE_KEYS, *schema.fields]


def open_writer(
    fmt: Format, schema: Schema, out: Destination, *, on_reject: OnReject | None = None,
    escape_formulas: bool = True,
) -> RecordWriter:
    """The writer for ``fmt`` writing to ``out`` (see :func:`open_destination`).

    A pipe or terminal reader (``| head``, ``| jq``) sees each record as soon as it is done;
    a file is written in large blocks.
    """
    if fmt == "parquet":
        return ParquetWriter(out, schema, on_reject=on_reject)
    flush_each = not _is_regular_file(out.stream)
    if fmt == "jsonl":
        return JsonLinesWriter(out, flush_each=flush_each, on_reject=on_reject)
    if fmt == "csv":
        return CsvWriter(out, columns(schema), flush_each=flush_each, on_reject=on_reject,
                         escape_formulas=escape_formulas)
    raise ValueError(f"larkspine: unknown output format {fmt!r} (one of {', '.join(FORMATS)})")


def _is_regular_file(stream: BinaryIO) -> bool:
    try:
        return stat.S_ISREG(os.fstat(stream.fileno()).st_mode)
    except (OSError, ValueError, io.UnsupportedOperation):
        return False
