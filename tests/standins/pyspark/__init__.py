"""A stand-in for the few PySpark calls of docs/batch-extraction.md, for test runs without
PySpark and its Java runtime.

``SparkContext("local[N]", name)``, ``parallelize(items, partitions)``, ``RDD.mapPartitions``,
``RDD.map``, ``RDD.collect`` and ``SparkContext.stop``. As Spark does, each partition's
functions travel pickled with cloudpickle to worker processes (N of them, started with
``spawn``), so what runs there is the real partition function, unpickled as Spark would.
"""

from __future__ import annotations

import multiprocessing
import re
from collections.abc import Callable, Iterable, Iterator
from typing import Any

import cloudpickle

PartitionFn = Callable[[Iterator[Any]], Iterable[Any]]


def _run(payload: bytes) -> list[Any]:
    functions, items = cloudpickle.loads(payload)
    it: Iterable[Any] = iter(items)
    for fn in functions:
        it = fn(iter(it))
    return list(it)


class RDD:
    def __init__(self, sc: SparkContext, partitions: list[list[Any]], functions: tuple[PartitionFn, ...] = ()) -> None:
        self._sc = sc
        self._partitions = partitions
        self._functions = functions

    def mapPartitions(self, fn: PartitionFn) -> RDD:  # noqa: N802 - Spark's name
        return RDD(self._sc, self._partitions, self._functions + (fn,))

    def map(self, fn: Callable[[Any], Any]) -> RDD:
        return self.mapPartitions(lambda it: map(fn, it))

    def collect(self) -> list[Any]:
        payloads = [cloudpickle.dumps((self._functions, part)) for part in self._partitions]
        with multiprocessing.get_context("spawn").Pool(self._sc.workers) as pool:
            return [item for part in pool.map(_run, payloads) for item in part]


class SparkContext:
    def __init__(self, master: str = "local[1]", appName: str = "") -> None:  # noqa: N803
        found = re.fullmatch(r"local\[(\d+)\]", master)
        self.workers = int(found.group(1)) if found else 1
        self.appName = appName

    def parallelize(self, items: Iterable[Any], numSlices: int | None = None) -> RDD:  # noqa: N803
        data = list(items)
        n = max(1, numSlices or self.workers)
        size = -(-len(data) // n) if data else 1
        return RDD(self, [data[i : i + size] for i in range(0, len(data), size)] or [[]])

    def stop(self) -> None:
        pass
