"""larkspine.dask: the LocalCluster example, and bags of inputs to bags of records."""

from __future__ import annotations

import gzip
import json
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("dask.bag")
pytest.importorskip("fastwarc")

from larkspine.dask import as_schema, extract_bag, to_jsonl, to_parquet  # noqa: E402

from .test_cli import run as run_cli  # noqa: E402
from .warcs import Response, corpus_pages, warc_bytes  # noqa: E402

REPO = pathlib.Path(__file__).resolve().parent.parent
EXAMPLE = REPO / "examples" / "dask_cluster.py"
ARTICLE = REPO / "examples" / "article.toml"


@pytest.fixture
def pages(tmp_path) -> pathlib.Path:
    folder = tmp_path / "pages"
    (folder / "more").mkdir(parents=True)
    found = corpus_pages(10) or [
        (f"p{i}", b"<html lang=en><title>T%d</title><h1>H%d</h1><img src=%d.png alt=x>" % (i, i, i)) for i in range(10)
    ]
    for i, (name, body) in enumerate(found[:8]):
        target = folder / ("more" if i % 2 else ".") / f"{name}.html.gz"
        target.write_bytes(gzip.compress(body))
    (folder / "more" / "crawl.warc.gz").write_bytes(
        warc_bytes(Response(f"https://x/{name}", body) for name, body in found[8:])[0]
    )
    return folder


def cli_records(inputs: list[str]) -> list[dict[str, object]]:
    result = run_cli("extract", str(ARTICLE), *inputs)
    assert result.exit_code == 0
    return [json.loads(line) for line in result.stdout.splitlines()]


def as_in_parquet(records: list[dict[str, object]]) -> list[dict[str, object]]:
    """Records as Parquet gives them back: ``_date`` a UTC datetime, not its text."""
    import datetime

    return [{**r, "_date": r["_date"] and datetime.datetime.fromisoformat(str(r["_date"]))} for r in records]


def test_local_cluster_example_matches_the_command(pages, tmp_path) -> None:
    pytest.importorskip("distributed")
    pq = pytest.importorskip("pyarrow.parquet")
    out = tmp_path / "out"
    done = subprocess.run(
        [sys.executable, str(EXAMPLE), str(pages), str(out)], capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
    report = done.stdout.splitlines()
    assert report[0] == "9 inputs -> 3 JSON Lines and 3 Parquet partitions"
    # Each worker process compiled the schema at most once, for all its partitions.
    compiled = json.loads(report[1].split(": ", 1)[1])
    assert len(compiled) == 2 and max(compiled) == 1

    inputs = sorted(str(p) for p in pages.rglob("*") if p.is_file())
    expected = cli_records(inputs)
    assert len(expected) == 10
    jsonl = [json.loads(line) for part in sorted((out / "jsonl").glob("part-*.jsonl")) for line in part.read_text().splitlines()]
    assert jsonl == expected
    parquet = [row for part in sorted((out / "parquet").glob("part-*.parquet")) for row in pq.read_table(part).to_pylist()]
    assert parquet == as_in_parquet(expected)
    assert sum(r["_date"] is not None for r in parquet) == 2  # the archive's records


def test_bags_on_the_local_scheduler(pages, tmp_path) -> None:
    pq = pytest.importorskip("pyarrow.parquet")
    inputs = sorted(str(p) for p in pages.rglob("*") if p.is_file())
    bag = extract_bag(inputs + [str(tmp_path / "missing.html")], str(ARTICLE), npartitions=3)
    assert bag.npartitions == 3
    expected = cli_records(inputs)
    assert bag.compute(scheduler="sync") == expected
    written = to_jsonl(bag, tmp_path / "j")
    assert [pathlib.Path(p).name for p in written] == ["part-00000.jsonl", "part-00001.jsonl", "part-00002.jsonl"]
    assert [json.loads(line) for p in written for line in pathlib.Path(p).read_text().splitlines()] == expected
    parts = to_parquet(bag, tmp_path / "p", str(ARTICLE))
    assert [row for p in parts for row in pq.read_table(p).to_pylist()] == as_in_parquet(expected)


def test_errors_raise_fails_the_task(tmp_path) -> None:
    bag = extract_bag([str(tmp_path / "missing.html")], str(ARTICLE), errors="raise")
    with pytest.raises(RuntimeError, match="missing.html: No such file or directory"):
        bag.compute(scheduler="sync")


@pytest.mark.parametrize(
    "schema, message",
    [(42, "schema must be a Schema, a Page class, a schema file"), ("nope.toml", "cannot read the schema file")],
)
def test_as_schema_refuses_what_is_no_schema(schema: object, message: str) -> None:
    with pytest.raises((TypeError, ValueError), match=message):
        as_schema(schema)


def test_a_bag_reads_names_that_are_not_utf8_and_stops_at_the_page_size_limit(tmp_path) -> None:
    import os

    folder = os.fsencode(tmp_path / "in")
    os.mkdir(folder)
    with open(os.path.join(folder, b"\xff.html"), "wb") as f:
        f.write(b"<title>odd name</title>")
    (tmp_path / "in" / "big.html.gz").write_bytes(gzip.compress(b"\0" * (2 << 20)))
    inputs = [os.path.join(folder, b"\xff.html"), str(tmp_path / "in" / "big.html.gz")]
    bag = extract_bag(inputs, ARTICLE, max_page_size=1 << 20)
    records = bag.compute(scheduler="sync")
    assert [(r["_source"], r["title"]) for r in records] == [(str(tmp_path / "in" / "\\xff.html"), "odd name")]
    lines = [line for path in to_jsonl(bag, tmp_path / "out") for line in pathlib.Path(path).read_text("utf-8").splitlines()]
    assert [json.loads(line)["_source"] for line in lines] == [str(tmp_path / "in" / "\\xff.html")]


def test_the_columnar_writers_make_the_files_the_records_make(pages, tmp_path) -> None:
    pq = pytest.importorskip("pyarrow.parquet")
    from larkspine.dask import extract_tables

    inputs = sorted(str(p) for p in pages.rglob("*") if p.is_file())
    bag = extract_bag(inputs, str(ARTICLE), npartitions=3)
    # A derived bag is not the one extract_bag made: it is written from its records.
    as_records = bag.map(lambda record: record)
    for fast, slow in [(to_jsonl(bag, tmp_path / "j1"), to_jsonl(as_records, tmp_path / "j2")),
                       (to_parquet(bag, tmp_path / "p1", str(ARTICLE)), to_parquet(as_records, tmp_path / "p2", str(ARTICLE)))]:
        assert [pathlib.Path(p).name for p in fast] == [pathlib.Path(p).name for p in slow]
        for a, b in zip(fast, slow):
            if a.endswith(".jsonl"):
                assert pathlib.Path(a).read_bytes() == pathlib.Path(b).read_bytes()
            else:
                assert pq.read_table(a).equals(pq.read_table(b))
                assert pq.ParquetFile(a).metadata.num_row_groups == pq.ParquetFile(b).metadata.num_row_groups
    tables = extract_tables(inputs, str(ARTICLE), npartitions=3).compute(scheduler="sync")
    assert len(tables) == 3
    assert [row for t in tables for row in t.to_pylist()] == as_in_parquet(cli_records(inputs))


def test_extract_tables_needs_a_schema_without_processors() -> None:
    from larkspine import Schema, field
    from larkspine.dask import extract_tables

    with pytest.raises(ValueError, match="needs a schema without processors"):
        extract_tables(["x.html"], Schema({"t": field("title::text", each=str.strip)}))


def _listing(folder: pathlib.Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in sorted(folder.iterdir())}


@pytest.mark.parametrize("scheduler", ["sync", "threads"])
@pytest.mark.parametrize("derived", [False, True])
@pytest.mark.parametrize("fmt", ["jsonl", "parquet"])
def test_a_directory_never_mixes_two_runs(pages, tmp_path, fmt: str, derived: bool, scheduler: str) -> None:
    pq = pytest.importorskip("pyarrow.parquet")
    import dask

    inputs = sorted(str(p) for p in pages.rglob("*") if p.is_file())

    def write(npartitions: int, overwrite: bool = False, extra: list[str] | None = None) -> list[str]:
        bag = extract_bag(inputs + (extra or []), str(ARTICLE), npartitions=npartitions,
                          errors="raise" if extra else "warn")
        if derived:
            bag = bag.map(lambda record: record)
        with dask.config.set(scheduler=scheduler):
            if fmt == "jsonl":
                return to_jsonl(bag, tmp_path / "out", overwrite=overwrite)
            return to_parquet(bag, tmp_path / "out", str(ARTICLE), overwrite=overwrite)

    def rows() -> list[object]:
        if fmt == "jsonl":
            return [json.loads(line) for p in sorted((tmp_path / "out").iterdir())
                    for line in p.read_text().splitlines()]
        return pq.read_table(tmp_path / "out").to_pylist()

    assert len(write(3)) == 3
    first = rows()
    before = _listing(tmp_path / "out")
    # A second run into the same directory is refused, and changes nothing.
    with pytest.raises(FileExistsError, match="already holds 3 part files .*overwrite=True"):
        write(1)
    assert _listing(tmp_path / "out") == before
    # A run that fails in one partition leaves the old parts, and no temporary file.
    with pytest.raises(RuntimeError, match="missing.html"):
        write(1, overwrite=True, extra=[str(tmp_path / "missing.html")])
    assert _listing(tmp_path / "out") == before
    # overwrite=True replaces every old part: fewer partitions read back as this run only.
    written = write(1, overwrite=True)
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == [pathlib.Path(p).name for p in written]
    assert len(written) == 1 and rows() == first
