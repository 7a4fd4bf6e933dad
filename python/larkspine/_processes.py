"""The command's pages read and extracted in worker processes: several files at once, and one
large WARC.gz in parts, each a task run whole in a process.

Reading a WARC -- records, HTTP messages, the Python around each inflate call -- holds the
interpreter lock most of the time, so reading threads (:mod:`larkspine._readers`) gain
little. Here each task (an input file, a run of small files, or a part of a large WARC.gz)
is read, decompressed, parsed and extracted with the schema's plan into an Arrow table in
a worker process; what comes back is the extracted table of each batch of pages (Arrow IPC,
a small share of the pages), the failures met before it, and at the end the task's read
counts. The calling process only walks and opens the inputs, in order (each opened file's
descriptor is handed to the worker, so a worker reads exactly the file the walk opened),
and gives the tables out in input order: the tables, failures and counts are those of
:func:`larkspine.batch.extract_tables` over :func:`larkspine.inputs.read_inputs`, for every
number of workers.

Tasks. Consecutive files that cannot be cut (plain pages, small archives) are grouped into
one task of at most :data:`~larkspine.batch.BATCH_PAGES` files or
:data:`~larkspine.batch.BATCH_BYTES` on disk, so a directory of small pages costs a message
per batch, not per page. A regular gzipped file of at least two :data:`PART_BYTES` is cut
into parts as :mod:`larkspine._readers` cuts it, each part a task, with the same rule for
confirming a part's start: a part reads until the first record that starts at a later
part's start; a part whose start no earlier part reached is dropped (its worker told to
stop), with its counts. Inputs that are not files (standard input, URLs) are read and
extracted here, in their turn.

Memory. At most ``2 * jobs + 1`` tasks are under way; of each, this process holds the
tables not yet given out up to :data:`QUEUED_BYTES` (plus one table), and stops reading a
worker whose task holds that much (the worker then waits in its send, at most
:data:`SOCKET_BYTES` further on). A worker holds one batch of pages (at most
``BATCH_BYTES`` plus one page, ``max_page_size``) and its table. With 2 jobs and the
defaults: 2 x (4 MiB + a page) of pages in the workers, and at most 5 x (16 MiB + a table)
of tables here plus 2 x 4 MiB in the connections, a table being the values extracted from
at most 64 pages or 4 MiB of HTML (with the example article schema, about 6% of the HTML:
13 MB of tables for 230 MB of pages).

Workers. They are forked when the run starts (on Linux), from a process that runs no other
Python thread (native threads of pyarrow's allocator are fork-safe; a Python thread could
hold a lock the child would inherit taken): the schema's compiled plan is inherited, not
rebuilt, and starting and ending two workers costs about 20 ms, less than extracting one
batch, so every run with a file among its inputs uses them. :func:`start_workers` gives
``None`` where forking is not safe, and the caller reads on threads instead. A worker
ignores Ctrl-C (the terminal sends it to the whole process group; this process decides how
the run stops), points its standard input and output at the null device (records leave
only through this process), and ends when its connection closes -- so a worker outlives
neither a normal end, nor an error, nor this process being killed: closing is also what
:meth:`Workers.close` does, then waits for each worker, killing one that does not end
within :data:`GRACE` seconds.
"""

from __future__ import annotations

import gc
import os
import signal
import socket
import sys
import threading
import time
from collections import deque
from collections.abc import Callable, Generator, Iterable, Iterator
from dataclasses import dataclass, field, replace
from multiprocessing.connection import Connection, wait
from multiprocessing.reduction import recv_handle, send_handle
from typing import TYPE_CHECKING, Any

from ._readers import _fresh, _merge, _Pread, _splittable, _SplitFile
from ._schema import Schema
from .batch import BATCH_BYTES, BATCH_PAGES, Failure, Summary, batch_table
from .inputs import UNKNOWN, CorruptRun, Document, InputFailure, Item, Opened, Part, ReadStats, read_opened, read_part

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = ["GRACE", "PART_BYTES", "QUEUED_BYTES", "SOCKET_BYTES", "WorkerFailed", "Workers", "start_workers"]

#: A large WARC.gz is cut in parts of about this many compressed bytes: smaller than the
#: reading threads' parts, so that the last parts to end, one per worker, leave the others
#: idle for less time (a part's start costs one gzip member found and inflated).
PART_BYTES = 4 << 20
#: Bytes of Arrow tables of one task this process holds before it stops reading that task's
#: worker (a task always may hold one table).
QUEUED_BYTES = 16 << 20
#: The send buffer asked for each worker's connection.
SOCKET_BYTES = 4 << 20
#: Seconds a worker is given to end once its connection is closed, before it is killed.
GRACE = 2.0
#: How often (seconds) a wait for workers looks at the stop request again.
_POLL = 0.1


class WorkerFailed(Exception):
    """A worker process failed or ended unexpectedly; the run cannot go on."""


# --- The worker's side ------------------------------------------------------------------------


def _serve(conn: Connection, schema: Schema, encoding: str | None, date_text: bool, limits: ReadStats) -> None:
    """A worker's loop: take a task, read and extract it, send its tables; end on EOF."""
    from .outputs import arrow_schema, text_schema

    target: Any = text_schema(schema) if date_text else arrow_schema(schema)
    while True:
        message = conn.recv()
        if message[0] != "task":
            continue  # a stop for a task already finished
        _, ident, how, sources, extra = message
        fds = [recv_handle(conn) for _ in sources]
        try:
            _run(conn, ident, how, sources, fds, extra, schema, encoding, target, _fresh(limits))
        except Exception as e:  # noqa: BLE001 - told to the calling process, which stops the run
            text = " ".join(str(e).split())
            conn.send(("error", ident, f"{type(e).__name__}: {text}" if text else type(e).__name__))


def _run(
    conn: Connection, ident: int, how: str, sources: list[str], fds: list[int], extra: tuple[int, int, int],
    schema: Schema, encoding: str | None, target: Any, stats: ReadStats,
) -> None:
    import pyarrow as pa

    def stopped() -> bool:
        while conn.poll():
            message = conn.recv()
            if message == ("stop", ident):
                return True
        return False

    part: Part | None = None
    if how == "part":
        size, parts, k = extra
        split = _SplitFile(Opened(os.fdopen(fds[0], "rb"), sources[0], file=True), size, parts)
        try:
            start = split.start(k)
            conn.send(("placed", ident, start))
            if start is None:
                conn.send(("done", ident, stats, None, False, None))
                return
            part = Part(start, split.stopper(k), last=None if k == 0 else UNKNOWN)
            stream: Any = _Pread(split.fd, start)
            opened = replace(split.opened, stream=stream, owned=False)
            items: Iterator[Any] = (read_opened(opened, stats, part) if k == 0
                                    else read_part(stream, sources[0], stats, part))
            _send_batches(conn, ident, items, schema, encoding, target, stopped, pa)
        finally:
            split.release()
        known = part.last is not UNKNOWN
        conn.send(("done", ident, stats, part.stopped_at, known, part.last if known else None))
        return
    streams = [os.fdopen(fd, "rb") for fd in fds]
    try:
        def files() -> Iterator[Item]:
            for stream, source in zip(streams, sources):
                yield from read_opened(Opened(stream, source, file=True), stats)

        _send_batches(conn, ident, files(), schema, encoding, target, stopped, pa)
    finally:
        for stream in streams:
            stream.close()
    conn.send(("done", ident, stats, None, False, None))


def _batches(
    items: Iterator[Any], cut: Callable[[], bool] | None = None,
) -> Iterator[tuple[list[Any], list[Document], int]]:
    """The pages of ``items`` in batches as :func:`larkspine.batch.extract_tables` cuts them
    (:data:`~larkspine.batch.BATCH_PAGES` pages or :data:`~larkspine.batch.BATCH_BYTES` of
    HTML), each with the failures read before it; the last may hold failures only. ``cut()``
    turning true ends the batch at the page in hand, and the reading."""
    docs: list[Document] = []
    failures: list[Any] = []
    size = 0
    try:
        for item in items:
            if not isinstance(item, Document):
                failures.append(item)
                continue
            docs.append(item)
            size += len(item.body)
            stopping = cut is not None and cut()
            if len(docs) >= BATCH_PAGES or size >= BATCH_BYTES or stopping:
                yield failures, docs, size
                docs, failures, size = [], [], 0
            if stopping:
                return
        if docs or failures:
            yield failures, docs, size
    finally:
        close = getattr(items, "close", None)
        if close is not None:
            close()  # a generator: the files it reads are closed


def _send_batches(
    conn: Connection, ident: int, items: Iterator[Any], schema: Schema, encoding: str | None, target: Any,
    stopped: Callable[[], bool], pa: Any,
) -> None:
    """Each batch sent as the failures read before it and its table in Arrow IPC; stops early
    when told to."""
    for failures, docs, size in _batches(items):
        payload = None
        if docs:
            table = batch_table(schema, docs, encoding, target)
            sink = pa.BufferOutputStream()
            with pa.ipc.new_stream(sink, table.schema) as writer:
                writer.write_table(table)
            payload = sink.getvalue()
        conn.send(("batch", ident, failures, len(docs), size, payload is not None))
        if payload is not None:
            conn.send_bytes(payload)
        if stopped():
            return


def _worker_main(conn: Connection, others: list[Connection], *args: Any) -> None:
    """The forked child: quiet its inherited ends, serve, and leave without running anything
    the parent registered to run at exit (or flushing the parent's buffers again)."""
    code = 0
    try:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        # The command's own SIGTERM/SIGHUP handlers are for the command; a worker sent one
        # ends as a process does, and the command reports it (it ends every worker itself
        # when it is stopped).
        for signum in (signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, signal.SIG_DFL)
        for other in others:
            other.close()
        null = os.open(os.devnull, os.O_RDWR)
        os.dup2(null, 0)
        os.dup2(null, 1)
        os.close(null)
        _serve(conn, *args)
    except (EOFError, OSError):
        pass  # the run ended (or this process's parent went away)
    except BaseException:  # noqa: BLE001 - nothing of this process may escape into the parent's code
        code = 1
    finally:
        os._exit(code)


# --- The calling process's side ---------------------------------------------------------------


@dataclass(eq=False)
class _Split:
    """A file read in parts: the parts' count, and what the parts given out so far tell."""

    opened: Opened
    size: int
    parts: int
    unsent: int
    #: Where the next part must start to be used; ``None`` once a part read to the end.
    expect: int | None = 0
    #: The last record known whole before the next part.
    last: Any = None

    def sent(self) -> None:
        self.unsent -= 1
        if self.unsent == 0:
            self.opened.stream.close()


@dataclass(eq=False)
class _Task:
    ident: int
    #: "files" (one or more whole files), "part", or "here" (read in this process).
    how: str
    opened: list[Opened] = field(default_factory=list)
    items: list[Item] = field(default_factory=list)
    split: _Split | None = None
    index: int = 0
    worker: _Worker | None = None
    sent: bool = False
    dropped: bool = False
    placed: bool = False
    start: int | None = None
    batches: deque[tuple[list[Any], int, int, Any]] = field(default_factory=deque)
    #: The bytes of the tables in ``batches``.
    held: int = 0
    done: bool = False
    error: str | None = None
    stats: ReadStats | None = None
    stopped_at: int | None = None
    last: tuple[bool, Any] = (False, None)

    def release(self) -> None:
        """Let go of what the task holds open here, unsent."""
        if self.split is not None:
            if not self.sent:
                self.sent = True
                self.split.sent()
            return
        for entry in self.opened:
            if entry.owned:
                entry.stream.close()
        self.opened = []


class _Worker:
    def __init__(self, pid: int, conn: Connection) -> None:
        self.pid = pid
        self.conn = conn
        self.task: _Task | None = None
        self.status: int | None = None

    def reap(self, wait_for: float) -> None:
        """Wait up to ``wait_for`` seconds for the worker to end, then kill it."""
        deadline = time.monotonic() + wait_for
        while self.status is None:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                self.status = status
                return
            if time.monotonic() >= deadline:
                os.kill(self.pid, signal.SIGKILL)
                _, self.status = os.waitpid(self.pid, 0)
                return
            time.sleep(0.005)

    def ended(self) -> str:
        self.conn.close()
        self.reap(GRACE)
        status = self.status or 0
        if os.WIFSIGNALED(status):
            return f"a worker process was killed by {signal.Signals(os.WTERMSIG(status)).name}"
        return f"a worker process ended unexpectedly (exit status {os.waitstatus_to_exitcode(status)})"


def start_workers(
    jobs: int, schema: Schema, *, encoding: str | None, date_text: bool, limits: ReadStats
) -> Workers | None:
    """``jobs`` worker processes for ``schema`` (``date_text`` and the labels as for
    :func:`larkspine.batch.extract_tables`, the read limits of ``limits``), or ``None`` when
    they cannot be forked safely here (see the module notes)."""
    # Linux only: elsewhere forking a process that has loaded system frameworks (macOS) is
    # not safe, or there is no fork.
    if not sys.platform.startswith("linux") or threading.active_count() != 1:
        return None
    # What every worker needs is imported once here, before the fork, not in each worker
    # (pyarrow's compute functions alone take tens of ms to import).
    try:
        import pyarrow.compute  # noqa: F401 - the timestamp cast of the batch tables
        import pyarrow.ipc  # noqa: F401 - the tables sent back
    except ImportError:
        return None  # the batch path says what is missing
    try:
        import fastwarc.warc  # noqa: F401
    except ImportError:
        pass
    workers: list[_Worker] = []
    args = (schema, encoding, date_text, _fresh(limits))
    # What this process holds is set aside from the collector while the workers are forked:
    # a collection in a worker would otherwise walk (and so copy, page by page) every object
    # it inherited (0.1 CPU s of a 0.9 s run). This process takes them back after.
    gc.freeze()
    try:
        for _ in range(jobs):
            mine, theirs = socket.socketpair()
            # Room for a few batches' tables in the connection, so that a worker goes on
            # while this process writes (the system may grant less: the worker then waits).
            theirs.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SOCKET_BYTES)
            here, there = Connection(mine.detach()), Connection(theirs.detach())
            pid = os.fork()
            if pid == 0:  # the child never returns from here
                _worker_main(there, [here] + [w.conn for w in workers], *args)
            there.close()
            workers.append(_Worker(pid, here))
    except BaseException:
        for worker in workers:
            worker.conn.close()
        for worker in workers:
            worker.reap(GRACE)
        raise
    finally:
        gc.unfreeze()
    return Workers(workers, schema, encoding, date_text)


class Workers:
    """Worker processes forked by :func:`start_workers`, and the run given to them."""

    def __init__(self, workers: list[_Worker], schema: Schema, encoding: str | None, date_text: bool) -> None:
        self._workers = workers
        self._closed = False
        self.schema = schema
        self.encoding = encoding
        self.date_text = date_text

    @property
    def pids(self) -> list[int]:
        return [w.pid for w in self._workers]

    def close(self) -> None:
        """End every worker (closing its connection) and wait for it; kill one that lingers."""
        if self._closed:
            return
        self._closed = True
        for worker in self._workers:
            worker.conn.close()
        for worker in self._workers:
            worker.reap(GRACE)

    def tables(
        self,
        plan: Iterable[Item | Opened],
        stats: ReadStats,
        *,
        on_failure: Callable[[Failure], None] | None = None,
        summary: Summary | None = None,
        stop: Callable[[], bool] | None = None,
    ) -> Generator[pa.Table, None, None]:
        """The tables of :func:`larkspine.batch.extract_tables` for the inputs ``plan`` opens
        (:func:`larkspine.inputs.open_inputs`), in input order; failures to ``on_failure`` in
        input order, ``summary`` and ``stats`` filled in as the run goes. An input that is not
        a file (standard input, a URL) is read and extracted in this process, in its turn.
        Closing the iterator, or ``stop()`` turning true, stops the run and the workers."""
        from .outputs import arrow_schema, text_schema

        summary = summary if summary is not None else Summary()
        summary.started = time.perf_counter()
        target = text_schema(self.schema) if self.date_text else arrow_schema(self.schema)
        run = _Run(self, plan, stats, on_failure, summary, stop, target)
        try:
            yield from run.go()
        finally:
            summary.finished = time.perf_counter()
            run.end()
            self.close()


class _Run:
    def __init__(
        self, workers: Workers, plan: Iterable[Item | Opened], stats: ReadStats,
        on_failure: Callable[[Failure], None] | None, summary: Summary, stop: Callable[[], bool] | None,
        target: Any,
    ) -> None:
        self.workers = workers._workers
        self.schema = workers.schema
        self.encoding = workers.encoding
        self.target = target
        self.made = self._tasks(plan, stats, len(self.workers))
        self.stats = stats
        self.on_failure = on_failure
        self.summary = summary
        self.stop = stop or (lambda: False)
        self.splits: list[_Split] = []
        self.under_way: deque[_Task] = deque()
        self.limit = 2 * len(self.workers) + 1

    def _tasks(self, plan: Iterable[Item | Opened], stats: ReadStats, jobs: int) -> Iterator[_Task]:
        """Tasks in input order: runs of whole files, parts of a large file, and what is read here."""
        ident = 0
        group: _Task | None = None
        grouped = 0
        try:
            for entry in plan:
                size = 0
                if isinstance(entry, Opened) and entry.file:
                    size = _splittable(entry, PART_BYTES)
                    if not size:
                        try:
                            on_disk = os.fstat(entry.stream.fileno()).st_size
                        except (OSError, ValueError):
                            on_disk = 0
                        if group is not None and (len(group.opened) >= BATCH_PAGES
                                                  or grouped + on_disk > BATCH_BYTES):
                            ready, group = group, None
                            yield ready
                        if group is None:
                            ident += 1
                            group, grouped = _Task(ident, "files"), 0
                        group.opened.append(entry)
                        grouped += on_disk
                        continue
                if group is not None:
                    ready, group = group, None
                    yield ready
                if isinstance(entry, Opened) and size:
                    parts = max(jobs, size // PART_BYTES)
                    split = _Split(entry, size, parts, parts)
                    self.splits.append(split)
                    for k in range(parts):
                        ident += 1
                        yield _Task(ident, "part", split=split, index=k)
                else:
                    ident += 1
                    yield (_Task(ident, "here", opened=[entry]) if isinstance(entry, Opened)
                           else _Task(ident, "here", items=[entry]))
            if group is not None:
                ready, group = group, None
                yield ready
        finally:
            if group is not None:  # opened ahead of need: closed unread
                group.release()

    def end(self) -> None:
        """Let go of every file opened and not handed to a worker."""
        close = getattr(self.made, "close", None)
        if close is not None:
            close()
        for task in self.under_way:
            task.release()
        for split in self.splits:
            split.opened.stream.close()

    def go(self) -> Iterator[pa.Table]:
        while True:
            if self.stop():
                return
            while len(self.under_way) < self.limit:
                task = next(self.made, None)
                if task is None:
                    break
                self.under_way.append(task)
            self._hand_out()
            if not self.under_way:
                return
            head = self.under_way[0]
            if head.how == "here":
                self.under_way.popleft()
                yield from self._read_here(head)
                continue
            if head.split is not None and not head.dropped:
                if not head.placed and not head.done:
                    self._pump(_POLL)
                    continue
                split = head.split
                if head.placed and (head.start is None or split.expect is None or head.start != split.expect):
                    self._drop(head)  # whatever it met after its start is not used either
            if head.dropped:
                self.under_way.popleft()
                continue
            if head.error is not None:
                raise WorkerFailed(f"{head.error} (in a worker process)")
            if head.batches:
                failures, pages, size, table = head.batches.popleft()
                head.held -= 0 if table is None else table.nbytes
                for failure in failures:
                    if isinstance(failure, CorruptRun):
                        assert head.split is not None
                        failure = failure.failure(head.split.last)
                    self._failed(failure)
                if table is not None:
                    self.summary.pages += pages
                    self.summary.bytes += size
                    self._pump(0)  # what the workers have sent meanwhile, so they go on
                    yield table
                continue
            if head.done:
                self.under_way.popleft()
                assert head.stats is not None
                _merge(self.stats, head.stats)
                if head.split is not None:
                    head.split.expect = head.stopped_at
                    known, last = head.last
                    if known:
                        head.split.last = last
                continue
            self._pump(_POLL)

    def _failed(self, failure: Failure) -> None:
        self.summary.failed += 1
        if self.on_failure is not None:
            self.on_failure(failure)

    def _read_here(self, task: _Task) -> Iterator[pa.Table]:
        """An input that is not a file, or a failure met opening the inputs, taken here."""
        for failure in task.items:
            assert isinstance(failure, InputFailure)
            self._failed(failure)
        for entry in task.opened:
            task.opened = []
            read = _fresh(self.stats)
            for failures, docs, size in _batches(read_opened(entry, read), self.stop):
                for failure in failures:
                    self._failed(failure)
                if docs:
                    table = batch_table(self.schema, docs, self.encoding, self.target, threads=len(self.workers))
                    self.summary.pages += len(docs)
                    self.summary.bytes += size
                    yield table
            _merge(self.stats, read)

    def _hand_out(self) -> None:
        """Give the oldest tasks not yet given out to idle workers."""
        idle = [w for w in self.workers if w.task is None]
        for task in self.under_way:
            if not idle:
                return
            if task.how == "here" or task.sent or task.dropped:
                continue
            worker = idle.pop(0)
            self._send(worker, task)

    def _send(self, worker: _Worker, task: _Task) -> None:
        try:
            if task.split is not None:
                split = task.split
                worker.conn.send(("task", task.ident, "part", [split.opened.source],
                                  (split.size, split.parts, task.index)))
                send_handle(worker.conn, split.opened.stream.fileno(), worker.pid)
            else:
                worker.conn.send(("task", task.ident, "files", [o.source for o in task.opened], (0, 0, 0)))
                for entry in task.opened:
                    send_handle(worker.conn, entry.stream.fileno(), worker.pid)
        except OSError:
            raise WorkerFailed(worker.ended()) from None
        finally:
            task.release()  # the worker holds its own descriptors now
            task.sent = True
        worker.task = task
        task.worker = worker

    def _drop(self, task: _Task) -> None:
        """A part whose start no earlier part reached: its reading is not used."""
        task.dropped = True
        task.batches.clear()
        task.held = 0
        task.release()
        worker = task.worker
        if worker is not None and worker.task is task:
            try:
                worker.conn.send(("stop", task.ident))
            except OSError:
                raise WorkerFailed(worker.ended()) from None

    def _pump(self, timeout: float) -> None:
        """Wait for the workers' next messages (at most ``timeout`` seconds) and take them in."""
        listening = {w.conn: w for w in self.workers
                     if w.task is None or w.task.dropped or not w.task.batches or w.task.held < QUEUED_BYTES}
        for conn in wait(list(listening), timeout):
            worker = listening[conn]  # type: ignore[index]
            try:
                self._take(worker)
            except (EOFError, OSError):
                raise WorkerFailed(worker.ended()) from None

    def _take(self, worker: _Worker) -> None:
        import pyarrow as pa

        message = worker.conn.recv()
        kind, ident = message[0], message[1]
        task = worker.task
        if task is None or task.ident != ident:
            raise WorkerFailed(f"a worker process answered out of turn ({kind} of task {ident})")
        if kind == "placed":
            task.placed, task.start = True, message[2]
        elif kind == "batch":
            _, _, failures, pages, size, has_table = message
            table = pa.ipc.open_stream(worker.conn.recv_bytes()).read_all() if has_table else None
            if not task.dropped:
                task.batches.append((failures, pages, size, table))
                task.held += 0 if table is None else table.nbytes
        elif kind == "done":
            _, _, task.stats, task.stopped_at, known, last = message
            task.last = (known, last)
            task.done = True
            worker.task = None
        elif kind == "error":
            task.error = message[2]
            task.done = True
            worker.task = None
