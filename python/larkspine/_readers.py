"""Reading inputs on worker threads: several files at once, and one large WARC.gz in parts.

The calling thread only walks the inputs (directories, globs, input lists) and opens them, in
order; reading -- decompression, WARC records, HTTP messages, page bodies -- happens on
``jobs`` worker threads (zlib releases the interpreter lock while it inflates). What comes
out is what :func:`larkspine.inputs.read_inputs` gives on one thread, item for item, and
the same counts.

Tasks. Each opened input is a task; a regular gzipped file of at least two :data:`PART_BYTES`
is cut into parts of about that size, each a task. Tasks are taken by the workers in input
order and hand their items over in batches (:data:`BATCH_ITEMS` items or :data:`BATCH_BYTES`
of pages); the calling thread gives out the oldest task's items first. A task whose
batches are not taken yet waits once it holds :data:`QUEUED_BATCHES`, and at most
``2 * jobs + 1`` tasks are under way at once, so memory stays bounded: at most that many
tasks times :data:`QUEUED_BATCHES` batches of at most :data:`BATCH_BYTES` of pages plus one
page (``max_page_size``) each -- with 2 jobs and the defaults, 5 x 2 x (4 MiB + a page).
Since workers take tasks in order, the oldest task is always being read or done: waiting
for it cannot deadlock.

Parts. Part ``k`` of a file of ``n`` parts starts at the first gzip member found from byte
``k * size / n`` on (within the part's own stretch) that decompresses whole to content
starting ``WARC/`` (:func:`larkspine._gzip.record_member_in`). That is only a candidate:
bytes inside a record can look like a member, even like one holding a WARC record. So each
part reads exactly as the whole archive is read from its start (corrupt members skipped the
same way, at the same places) and stops at the first record that starts at a later part's
member; that member is then known to be where a one-thread read passes too, and only the
part starting there is used next. A part whose start no earlier part reaches is dropped
(its thread told to stop), with its counts; when a part reads to the end of the file, every
later part is dropped. The worst case (no part start confirmed) reads the file once on the
first part's thread, as one thread would, plus the dropped parts' wasted work.

What crosses a part's start: the record before it (named by a "corrupt WARC after the
record at offset ..." failure) is carried from part to part here
(:class:`larkspine.inputs.CorruptRun`); a run of corrupt members does not merge across a
part's start, because a part's first member is whole.
"""

from __future__ import annotations

import io
import os
import queue
import stat
import threading
from collections import deque
from collections.abc import Callable, Generator, Iterable, Iterator
from dataclasses import replace
from typing import Any

from ._gzip import record_member_in
from .inputs import (
    UNKNOWN,
    CorruptRun,
    Document,
    InputFailure,
    Item,
    Opened,
    Part,
    ReadStats,
    read_opened,
    read_part,
)

__all__ = ["BATCH_BYTES", "BATCH_ITEMS", "PART_BYTES", "QUEUED_BATCHES", "read_on_threads"]

#: A large WARC.gz is read in parts of about this many compressed bytes.
PART_BYTES = 8 << 20
#: A batch handed from a reading thread holds this many items ...
BATCH_ITEMS = 64
#: ... or pages of this many bytes, whichever comes first.
BATCH_BYTES = 4 << 20
#: Batches a task holds before its thread waits for them to be taken.
QUEUED_BATCHES = 2


class _Task:
    """The reading of one input or part, and the batches it has read and not handed out."""

    def __init__(
        self, run: Callable[[_Task], None] | None, stats: ReadStats, *, streaming: bool = False,
        drop: Callable[[], None] | None = None,
    ) -> None:
        self.run = run
        self.stats = stats
        #: What to let go of when the task is dropped before it runs (the file it would read).
        self.drop = drop
        #: Batches of one item each, so that pages arriving on a pipe go on as they come.
        self.streaming = streaming
        self._batches: deque[list[Any]] = deque()
        self._cond = threading.Condition()
        self._done = run is None
        self._error: BaseException | None = None
        self.cancelled = False
        # A part of a split file: which, and where it starts once its thread has found out.
        self.file: _SplitFile | None = None
        self.index = 0
        self.part: Part | None = None
        self.placed = threading.Event()

    def put(self, batch: list[Any]) -> bool:
        """Hand over a batch; False when the task was dropped (its reading should stop)."""
        with self._cond:
            while len(self._batches) >= QUEUED_BATCHES and not self.cancelled:
                self._cond.wait()
            if self.cancelled:
                return False
            self._batches.append(batch)
            self._cond.notify_all()
            return True

    def finish(self, error: BaseException | None = None) -> None:
        with self._cond:
            self._done = True
            self._error = error
            self._cond.notify_all()
        self.placed.set()

    def take(self) -> list[Any] | None:
        """The next batch, waiting for it; ``None`` once the task is done."""
        with self._cond:
            while not self._batches and not self._done:
                self._cond.wait()
            if self._batches:
                batch = self._batches.popleft()
                self._cond.notify_all()
                return batch
            if self._error is not None:
                raise self._error
            return None

    def cancel(self) -> None:
        with self._cond:
            self.cancelled = True
            self._batches.clear()
            self._cond.notify_all()


def _emit(task: _Task, items: Iterator[Any]) -> None:
    """Hand ``items`` over in batches; stop reading (closing ``items``) if the task is dropped."""
    batch: list[Any] = []
    size = 0
    try:
        for item in items:
            batch.append(item)
            if isinstance(item, Document):
                size += len(item.body)
            if task.streaming or len(batch) >= BATCH_ITEMS or size >= BATCH_BYTES:
                if not task.put(batch):
                    return
                batch, size = [], 0
        if batch:
            task.put(batch)
    finally:
        close = getattr(items, "close", None)
        if close is not None:
            close()  # a generator: the file it reads is closed


#: Reads of a part end at multiples of this, as a whole file's reads do (64 KiB reads from
#: its start): a corrupt member is then skipped the same way by both (see ``Inflated``).
_ALIGN = 1 << 16


class _Pread(io.RawIOBase):
    """A file read from ``start`` with positional reads, so that parts on several threads
    share one descriptor without sharing a position. No read crosses a multiple of
    :data:`_ALIGN`."""

    def __init__(self, fd: int, start: int) -> None:
        self._fd = fd
        self._pos = start

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def fileno(self) -> int:
        return self._fd

    def tell(self) -> int:
        return self._pos

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        if whence == io.SEEK_CUR:
            offset += self._pos
        elif whence == io.SEEK_END:
            offset += os.fstat(self._fd).st_size
        self._pos = max(offset, 0)
        return self._pos

    def readinto(self, buffer: Any) -> int:
        view = memoryview(buffer).cast("B")
        room = _ALIGN - self._pos % _ALIGN
        n = os.preadv(self._fd, [view[:room] if len(view) > room else view], self._pos)
        self._pos += n
        return n


class _SplitFile:
    """A file read in parts: its descriptor (closed when the last part is done), the parts'
    stretches, and their starts, each found once by whichever thread needs it first."""

    def __init__(self, opened: Opened, size: int, parts: int) -> None:
        self.opened = opened
        self.fd = opened.stream.fileno()
        self.origins = [size * k // parts for k in range(parts)] + [size]
        self._starts: dict[int, int | None] = {0: 0}
        self._locks = [threading.Lock() for _ in range(parts)]
        self._users = 1  # the task maker, until every part is made
        self._count = threading.Lock()
        # Kept by the calling thread as the parts are handed out: where the next part must
        # start to be used, and the last record known whole before it.
        self.expect: int | None = 0
        self.last: Any = None

    @property
    def parts(self) -> int:
        return len(self.origins) - 1

    def start(self, k: int) -> int | None:
        with self._locks[k]:
            if k not in self._starts:
                self._starts[k] = record_member_in(self._read_at, self.origins[k], self.origins[k + 1])
            return self._starts[k]

    def _read_at(self, offset: int, size: int) -> bytes:
        return os.pread(self.fd, size, offset)

    def use(self) -> None:
        with self._count:
            self._users += 1

    def release(self) -> None:
        with self._count:
            self._users -= 1
            last = self._users == 0
        if last:
            self.opened.stream.close()

    def stopper(self, k: int) -> Callable[[int], bool]:
        """Whether a record of part ``k`` starting at member ``offset`` starts a later part."""
        later = k + 1

        def stop(offset: int) -> bool:
            nonlocal later
            while later < self.parts and self.origins[later] <= offset:
                start = self.start(later)
                if start == offset:
                    return True
                if start is not None and start > offset:
                    return False
                later += 1
            return False

        return stop


def _splittable(opened: Opened, part_bytes: int | None = None) -> int:
    """The size of a file worth reading in parts of ``part_bytes`` (default
    :data:`PART_BYTES`): a regular gzip file of at least two parts; else 0."""
    if not opened.file:
        return 0
    try:
        fd = opened.stream.fileno()
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode) or st.st_size < 2 * (part_bytes or PART_BYTES):
            return 0
        if os.pread(fd, 2, 0) != b"\x1f\x8b" or opened.stream.tell() != 0:
            return 0
    except (OSError, ValueError, io.UnsupportedOperation):
        return 0
    return st.st_size


def _fresh(stats: ReadStats) -> ReadStats:
    """Counts of one task's own, with the run's limits."""
    return ReadStats(max_page_size=stats.max_page_size, only_2xx=stats.only_2xx)


def _merge(into: ReadStats, part: ReadStats) -> None:
    for name in ("skipped", "requests", "other_records", "non_html", "not_2xx"):
        setattr(into, name, getattr(into, name) + getattr(part, name))
    for kind, n in part.skipped_kinds.items():
        into.skipped_kinds[kind] = into.skipped_kinds.get(kind, 0) + n


def _tasks(plan: Iterable[Item | Opened], stats: ReadStats, jobs: int) -> Generator[_Task, None, None]:
    """One task per input, or one per part of a large gzipped file, in order."""
    for entry in plan:
        if not isinstance(entry, Opened):
            task = _Task(None, _fresh(stats))
            task.put([entry])
            yield task
            continue
        size = _splittable(entry)
        if not size:
            yield _Task(_reader_of(entry), _fresh(stats), streaming=not entry.owned,
                        drop=entry.stream.close if entry.owned else None)
            continue
        split = _SplitFile(entry, size, max(jobs, size // PART_BYTES))
        try:
            for k in range(split.parts):
                task = _Task(_run_part, _fresh(stats))
                task.file, task.index = split, k
                split.use()
                yield task
        finally:
            split.release()


def _reader_of(entry: Opened) -> Callable[[_Task], None]:
    def run(task: _Task) -> None:
        _emit(task, read_opened(entry, task.stats))

    return run


def _run_part(task: _Task) -> None:
    split = task.file
    assert split is not None
    k = task.index
    try:
        if task.cancelled:
            return
        start = split.start(k)
        task.part = part = Part(start if start is not None else -1, split.stopper(k), last=None if k == 0 else UNKNOWN)
        task.placed.set()
        if start is None:
            return
        stream: Any = _Pread(split.fd, start)
        opened = replace(split.opened, stream=stream, owned=False)
        _emit(task, read_opened(opened, task.stats, part) if k == 0 else read_part(stream, opened.source, task.stats, part))
    finally:
        split.release()


def _work(tasks: queue.SimpleQueue[_Task | None]) -> None:
    while True:
        task = tasks.get()
        if task is None:
            return
        try:
            if task.run is not None and not task.cancelled:
                task.run(task)
            elif task.file is not None:
                task.file.release()  # a part dropped before it began
            elif task.drop is not None:
                task.drop()
            task.finish()
        except BaseException as e:  # noqa: BLE001 - handed to the calling thread, raised there
            task.finish(e)


def read_on_threads(plan: Iterable[Item | Opened], stats: ReadStats, jobs: int) -> Iterator[Item]:
    """The items of ``plan`` (inputs opened in order) read on ``jobs`` threads, in order."""
    work: queue.SimpleQueue[_Task | None] = queue.SimpleQueue()
    threads = [threading.Thread(target=_work, args=(work,), name=f"larkspine-read-{i}", daemon=True)
               for i in range(jobs)]
    for thread in threads:
        thread.start()
    made = _tasks(plan, stats, jobs)
    under_way: deque[_Task] = deque()
    limit = 2 * jobs + 1
    task: _Task | None = None
    try:
        while True:
            while len(under_way) < limit:
                task = next(made, None)
                if task is None:
                    break
                under_way.append(task)
                if task.run is not None:
                    work.put(task)
            if not under_way:
                return
            task = under_way.popleft()
            split = task.file
            if split is not None:
                task.placed.wait()
                part = task.part
                if part is None:
                    task.take()  # dropped before it began, or failed: raises what it raised
                if part is None or split.expect is None or part.start != split.expect:
                    task.cancel()  # a start no earlier part reached: its reading is not used
                    continue
            while (batch := task.take()) is not None:
                for item in batch:
                    if isinstance(item, CorruptRun):
                        assert split is not None
                        yield item.failure(split.last)
                    else:
                        yield item
            _merge(stats, task.stats)
            if split is not None:
                assert task.part is not None
                split.expect = task.part.stopped_at
                if task.part.last is not UNKNOWN:
                    split.last = task.part.last
            task = None
    finally:
        if task is not None:
            task.cancel()
        for waiting in under_way:
            waiting.cancel()
        made.close()
        for _ in threads:
            work.put(None)
