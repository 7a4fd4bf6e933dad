"""The batch pipeline: input order on any number of threads, bounded read-ahead, charsets."""

from __future__ import annotations

import pickle
import threading

import pytest

from larkspine import Schema, detect_encoding, field, group
from larkspine.batch import (
    PageFailure,
    PartitionExtractor,
    Summary,
    columnar,
    extract_records,
    extract_tables,
    schema_cache_info,
    window,
)
from larkspine.inputs import Document, InputFailure

from .warcs import corpus_pages

SCHEMA = Schema({
    "title": field("title::text", first=True),
    "h1": field("h1 ::text"),
    "links": field("a::attr(href)"),
    "images": group("img", src=field("::attr(src)", first=True)),
})
# The same with links made absolute against each page's base: still a batch at a time.
ABSOLUTE = Schema({
    "title": field("title::text", first=True),
    "links": field("a::attr(href)", absolute=True),
    "canonical": field("link[rel=canonical]::attr(href)", first=True, absolute=True),
    "images": group("img", src=field("::attr(src)", first=True, absolute=True), alt=field("::attr(alt)")),
})


def synthetic_pages(n: int) -> list[tuple[str, bytes]]:
    return [
        (f"p{i}", b"<title>T%d</title><h1>H <b>%d</b></h1>" % (i, i) + b"<a href=/x>x</a><img src=i.png>" * (i % 7))
        for i in range(n)
    ]


def documents() -> list[Document | InputFailure]:
    pages = corpus_pages() or synthetic_pages(120)
    items: list[Document | InputFailure] = []
    for i, (name, body) in enumerate(pages):
        if i % 17 == 5:
            items.append(InputFailure(f"bad{i}.warc", None, "truncated"))
        warc = i % 2 == 1  # every other page as a WARC record, with its metadata
        items.append(Document(
            name, i * 10 if warc else None, f"https://x/{name}" if warc else None, body,
            "koi8-r" if i % 4 == 1 else None, status=200 + 100 * (i % 3) if warc else None,
            date=f"2024-05-01T12:00:{i % 60:02d}Z" if warc else None, record_id=f"<urn:uuid:{i}>" if warc else None,
            content_type="text/html" if warc else None,
        ))
    return items


@pytest.mark.parametrize("jobs", [2, 3, 8])
def test_threads_give_exactly_the_sequential_records_and_failures(jobs: int) -> None:
    items = documents()
    failed_1: list[str] = []
    failed_n: list[str] = []
    sequential = list(extract_records(SCHEMA, items, jobs=1, on_failure=lambda f: failed_1.append(str(f))))
    threaded = list(extract_records(SCHEMA, items, jobs=jobs, on_failure=lambda f: failed_n.append(str(f))))
    assert threaded == sequential
    assert failed_n == failed_1 and len(failed_1) == sum(isinstance(i, InputFailure) for i in items)
    docs = [i for i in items if isinstance(i, Document)]
    assert [(r["_source"], r["_offset"], r["_url"]) for r in sequential] == [(d.source, d.offset, d.url) for d in docs]
    assert sequential[0] == {"_source": docs[0].source, "_offset": None, "_url": None, "_status": None,
                             "_date": None, "_record_id": None, "_content_type": None,
                             "_charset": detect_encoding(docs[0].body), **SCHEMA.extract(docs[0].body)}
    assert [{k: v for k, v in r.items() if k in ("_status", "_date", "_record_id", "_content_type")}
            for r in sequential[1::2]] == [
        {"_status": d.status, "_date": d.date, "_record_id": d.record_id, "_content_type": d.content_type}
        for d in docs[1::2]]
    # The HTTP charset is what the page was read with (koi8-r is its own WHATWG name).
    assert {r["_charset"] for r, d in zip(sequential, docs) if d.charset} == {"KOI8-R"}


@pytest.mark.parametrize("jobs", [1, 2, 4])
def test_read_ahead_stays_within_the_window(jobs: int) -> None:
    pulled = 0

    def source():
        nonlocal pulled
        for name, body in synthetic_pages(200):
            pulled += 1
            yield Document(name, None, None, body)

    for written, _ in enumerate(extract_records(SCHEMA, source(), jobs=jobs), start=1):
        assert pulled - written <= (window(jobs) if jobs > 1 else 0)
    assert pulled == 200


def test_stopping_early_shuts_the_threads_down() -> None:
    items = [Document(n, None, None, b) for n, b in synthetic_pages(500)]
    records = extract_records(SCHEMA, items, jobs=4)
    got = [next(records) for _ in range(3)]
    records.close()
    assert [r["_source"] for r in got] == ["p0", "p1", "p2"]
    assert not [t for t in threading.enumerate() if t.name.startswith("larkspine")]


def test_a_page_whose_processor_raises_fails_alone() -> None:
    schema = Schema({"n": field("b::text", first=True, each=int)})
    items = [Document(f"p{i}", None, None, body) for i, body in enumerate([b"<b>1</b>", b"<b>x</b>", b"<b>3</b>"])]
    for jobs in (1, 2):
        failures: list[object] = []
        summary = Summary()
        records = list(extract_records(schema, items, jobs=jobs, on_failure=failures.append, summary=summary))
        assert [r["n"] for r in records] == [1, 3]
        (failure,) = failures
        assert isinstance(failure, PageFailure) and failure.source == "p1"
        assert "extraction failed: ValueError: invalid literal for int()" in str(failure)
        assert (summary.pages, summary.failed, summary.bytes) == (2, 1, 16)


CAFE_1252 = "<p>café</p>".encode("cp1252")
CAFE_SJIS = "<p>日本</p>".encode("shift_jis")
META_UTF8 = '<meta charset="utf-8"><p>café</p>'.encode("utf-8")


@pytest.mark.parametrize(
    "body, charset, encoding, expected",
    [
        (CAFE_1252, "windows-1252", None, "café"),
        (CAFE_1252, "latin_1", None, "café"),  # a Python codec name, as servers and Python tools write it
        (CAFE_SJIS, "cp932", None, "日本"),
        (CAFE_1252, None, "cp1252", "café"),  # --encoding for a page without a charset of its own
        (CAFE_1252, "windows-1252", "utf-8", "café"),  # the page's own charset wins over --encoding
        (META_UTF8, "x-no-such-charset", None, "café"),  # an unknown charset is ignored: <meta> decides
        (META_UTF8, None, "windows-1252", "cafÃ©"),  # --encoding is the caller's label: over <meta>
    ],
)
def test_charset_precedence(body: bytes, charset: str | None, encoding: str | None, expected: str) -> None:
    schema = Schema({"p": field("p::text", first=True)})
    (record,) = extract_records(schema, [Document("x", 0, "u", body, charset)], encoding=encoding)
    assert record["p"] == expected


def test_an_unknown_encoding_option_is_refused_before_any_page() -> None:
    def never():
        raise AssertionError("read")
        yield

    with pytest.raises(ValueError, match="unknown encoding 'nope'"):
        next(extract_records(SCHEMA, never(), encoding="nope"))


def test_partition_extractor_pickles_with_lambdas_and_compiles_once_per_process(tmp_path) -> None:
    cloudpickle = pytest.importorskip("cloudpickle")
    (tmp_path / "a.html").write_bytes(b"<b>4</b>")
    (tmp_path / "b.html").write_bytes(b"<b>5</b>")
    schema = Schema({"n": field("b::text", first=True, each=lambda v: int(v) * 2)})
    extractor = PartitionExtractor(schema)
    shipped = cloudpickle.loads(cloudpickle.dumps(extractor))
    before = schema_cache_info()
    parts = [[str(tmp_path / "a.html")], [str(tmp_path / "b.html"), str(tmp_path / "missing.html")]]
    got = [[r["n"] for r in shipped(part)] for part in parts]
    after = schema_cache_info()
    assert got == [[8], [10]]
    assert after["built"] - before["built"] == 1 and after["reused"] - before["reused"] == 1
    with pytest.raises(RuntimeError, match="missing.html: No such file"):
        list(PartitionExtractor(schema, errors="raise")(parts[1]))


def test_partition_extractor_needs_a_schema() -> None:
    with pytest.raises(TypeError, match="schema must be a Schema"):
        PartitionExtractor({"a": "b"})  # type: ignore[arg-type]
    assert pickle.loads(pickle.dumps(PartitionExtractor(SCHEMA)))._errors == "warn"


def test_partition_extractor_limits_page_size_and_reads_names_that_are_not_utf8(tmp_path, caplog) -> None:
    import gzip
    import os

    folder = os.fsencode(tmp_path)
    with open(os.path.join(folder, b"caf\xe9.html"), "wb") as f:
        f.write(b"<title>cafe</title>")
    (tmp_path / "big.html.gz").write_bytes(gzip.compress(b"<title>big</title>" + b"\0" * (2 << 20)))
    extractor = PartitionExtractor(SCHEMA, max_page_size=1 << 20)
    # The bytes path as Dask or Spark may hand it over, and the folder it is in.
    records = list(extractor([os.path.join(folder, b"caf\xe9.html"), str(tmp_path)]))
    shown = os.path.join(str(tmp_path), "caf\\xe9.html")
    assert [(r["_source"], r["title"]) for r in records] == [(shown, "cafe")]
    assert "big.html.gz: page too large: over the limit of 1 MiB" in caplog.text
    with pytest.raises(ValueError, match="max_page_size must be a positive number of bytes"):
        PartitionExtractor(SCHEMA, max_page_size=0)


# --- Columns: a batch of pages at a time, for Parquet -------------------------------------------


@pytest.mark.parametrize(
    "decl, expected",
    [
        (field("h1::text"), True),
        (field("h1::text", first=True), True),
        (group("li", name=field("b::text", first=True), price=".p::text"), True),
        (field("h1::text", each=str.strip), False),
        (field("h1::text", first=True, out=str.upper), False),
        (field("h1::text", first=True, default="none"), False),
        (field("a::attr(href)", absolute=True), True),
        (group("li", name=field("a::attr(href)", first=True, absolute=True)), True),
        (field("a::attr(href)", absolute=True, default=[]), False),
        (group("li", first=True, name="b::text"), False),
        (group("li", out=len, name="b::text"), False),
        (group("li", name=field("b::text", each=int)), False),
    ],
    ids=["list", "first", "group", "each", "out", "default", "absolute", "absolute-sub", "absolute-default",
         "first-group", "group-out", "sub-each"],
)
def test_columnar_schemas_are_those_without_processors(decl, expected: bool) -> None:
    assert columnar(Schema({"title": field("title::text", first=True), "x": decl})) is expected


def _per_record_parquet(path, items, schema=SCHEMA, **options) -> bytes:
    from larkspine.outputs import ParquetWriter

    writer = ParquetWriter(str(path), schema, **options)
    for record in extract_records(schema, items):
        writer.write(record)
    writer.close()
    return path.read_bytes()


@pytest.mark.parametrize(
    "jobs, batch_pages, batch_bytes, row_group_size",
    [(1, 64, 4 << 20, None), (2, 64, 4 << 20, None), (3, 5, 4 << 20, 7), (1, 64, 3000, 7), (2, 1, 1, 1)],
    ids=["default", "two-jobs", "small-batches", "byte-bound", "one-page-batches"],
)
@pytest.mark.parametrize("schema", [SCHEMA, ABSOLUTE], ids=["plain", "absolute"])
def test_tables_write_the_parquet_file_the_records_write(
    tmp_path, jobs, batch_pages, batch_bytes, row_group_size, schema
) -> None:
    pq = pytest.importorskip("pyarrow.parquet")
    from larkspine.outputs import ParquetWriter

    items = documents()
    options = {"row_group_size": row_group_size} if row_group_size else {}
    expected = _per_record_parquet(tmp_path / "records.parquet", items, schema, **options)
    failed: list[str] = []
    summary = Summary()
    writer = ParquetWriter(str(tmp_path / "tables.parquet"), schema, **options)
    sizes = []
    for table in extract_tables(schema, items, jobs=jobs, batch_pages=batch_pages, batch_bytes=batch_bytes,
                                on_failure=lambda f: failed.append(str(f)), summary=summary):
        sizes.append(table.num_rows)
        writer.write_table(table)
    writer.close()
    docs = [i for i in items if isinstance(i, Document)]
    assert sum(sizes) == len(docs) and max(sizes) <= batch_pages
    assert (summary.pages, summary.failed, summary.bytes) == (len(docs), len(items) - len(docs),
                                                              sum(len(d.body) for d in docs))
    assert failed == [str(i) for i in items if isinstance(i, InputFailure)]
    # The same values, types and row groups as the records give; the same bytes, even.
    assert pq.read_table(tmp_path / "tables.parquet").equals(pq.read_table(tmp_path / "records.parquet"))
    assert (tmp_path / "tables.parquet").read_bytes() == expected


def test_a_stop_ends_the_batch_at_the_page_in_hand() -> None:
    pytest.importorskip("pyarrow")
    docs = [i for i in documents() if isinstance(i, Document)]
    pulled = 0

    def source():
        nonlocal pulled
        for doc in docs:
            pulled += 1
            yield doc

    tables = list(extract_tables(SCHEMA, source(), stop=lambda: pulled >= 3))
    assert [t.num_rows for t in tables] == [3] and pulled == 3
    assert tables[0].column("title").to_pylist() == [SCHEMA.extract(d.body)["title"] for d in docs[:3]]


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("error", [MemoryError, OverflowError])
def test_a_page_that_cannot_be_held_fails_alone(monkeypatch, jobs: int, error: type[Exception]) -> None:
    pytest.importorskip("pyarrow")
    import larkspine.batch as batch

    docs = [Document(f"p{i}", None, None, b"<title>T%d</title>" % i + (b"<b>huge</b>" if i == 4 else b""), None)
            for i in range(9)]
    real = batch.batch_table

    def limited(schema, batch_docs, *rest, **named):
        if any(b"huge" in d.body for d in batch_docs):
            raise error("no room")  # as a page of millions of links under a memory limit
        return real(schema, batch_docs, *rest, **named)

    monkeypatch.setattr(batch, "batch_table", limited)
    failures: list[object] = []
    summary = Summary()
    tables = list(extract_tables(SCHEMA, docs, jobs=jobs, batch_pages=3, on_failure=failures.append,
                                 summary=summary))
    titles = [t for table in tables for t in table.column("title").to_pylist()]
    assert titles == [f"T{i}" for i in range(9) if i != 4]
    assert [(f.source, f.reason) for f in failures] == [
        ("p4", f"extraction failed: {error.__name__}: the page's values do not fit in memory")]
    assert (summary.pages, summary.failed) == (8, 1)


def test_extract_tables_refuses_a_schema_with_processors() -> None:
    with pytest.raises(ValueError, match="without processors"):
        next(extract_tables(Schema({"t": field("title::text", each=str.strip)}), []))


def test_a_table_of_other_columns_is_refused(tmp_path) -> None:
    pa = pytest.importorskip("pyarrow")
    from larkspine.outputs import ParquetWriter

    writer = ParquetWriter(str(tmp_path / "x.parquet"), SCHEMA)
    with pytest.raises(ValueError, match="a table of columns"):
        writer.write_table(pa.table({"title": ["x"]}))
    writer.discard()
    assert list(tmp_path.iterdir()) == []
