"""Extract a directory of saved pages on a Dask cluster of 2 worker processes.

    python examples/dask_cluster.py PAGES_DIR OUT_DIR [SCHEMA]

SCHEMA is a schema file or module:PageClass (default: examples/article.toml). The pages are
split into partitions; each worker process compiles the schema once and extracts its
partitions; the records are written as JSON Lines and Parquet partitions under OUT_DIR.

On a real cluster only the client changes: ``Client("tcp://scheduler:8786")`` instead of the
LocalCluster, with paths every worker can read (a shared file system, or s3://... WARC
files with fsspec installed).
"""

from __future__ import annotations

import pathlib
import sys

import dask.bag as db
from distributed import Client, LocalCluster

from larkspine.batch import schema_cache_info
from larkspine.dask import extract_bag, to_jsonl, to_parquet

HERE = pathlib.Path(__file__).resolve().parent


def main(pages: str, out: str, schema: str = str(HERE / "article.toml")) -> None:
    paths = sorted(str(p) for p in pathlib.Path(pages).rglob("*") if p.is_file())
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with Client(cluster) as client:
            records = extract_bag(db.from_sequence(paths, npartitions=4), schema)
            jsonl = to_jsonl(records, pathlib.Path(out) / "jsonl")
            parquet = to_parquet(records, pathlib.Path(out) / "parquet", schema)
            # How often each worker process compiled the schema: once, for all its partitions.
            compiled = {worker: info["built"] for worker, info in client.run(schema_cache_info).items()}
    print(f"{len(paths)} inputs -> {len(jsonl)} JSON Lines and {len(parquet)} Parquet partitions")
    print(f"schema compilations per worker process: {sorted(compiled.values())}")


if __name__ == "__main__":
    main(*sys.argv[1:])
