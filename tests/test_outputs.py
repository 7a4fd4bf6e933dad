"""Record writers: JSON Lines, CSV (lists as JSON text), Parquet (typed columns)."""

from __future__ import annotations

import csv
import datetime
import io
import json

import pytest

from larkspine import Schema, field, group
from larkspine.outputs import CsvWriter, JsonLinesWriter, ParquetWriter, arrow_schema, columns

SCHEMA = Schema({
    "title": field("h1::text", first=True),
    "links": field("a::attr(href)"),
    "offers": group("li.offer", name=field("b::text", first=True), price=".price::text"),
    "top": group("li.offer", first=True, name="b::text"),
})

RECORDS = [
    {
        "_source": "crawl.warc.gz", "_offset": 1234, "_url": "https://shop.example/", "_status": 404,
        "_date": "2024-05-01T12:00:00.25Z", "_record_id": "<urn:uuid:1>", "_content_type": "text/html",
        "_charset": "windows-1252",
        "title": "Offers, \"new\"\nand old", "links": ["/a", "/b,c"],
        "offers": [{"name": "Tea", "price": ["3", "2"]}, {"name": None, "price": []}],
        "top": {"name": ["Tea"]},
    },
    {
        "_source": "pages/é.html", "_offset": None, "_url": None, "_status": None, "_date": None,
        "_record_id": None, "_content_type": None, "_charset": "UTF-8",
        "title": None, "links": [], "offers": [], "top": None,
    },
]


HEAD = ["_source", "_offset", "_url", "_status", "_date", "_record_id", "_content_type", "_charset"]


def as_read_from_parquet(record: dict[str, object]) -> dict[str, object]:
    """A record as Parquet gives it back: ``_date`` a UTC datetime."""
    date = record.get("_date")
    return {**record, "_date": None if date is None else datetime.datetime.fromisoformat(str(date))}


def test_json_lines_are_one_object_per_line_in_utf8() -> None:
    out = io.BytesIO()
    writer = JsonLinesWriter(out)
    for r in RECORDS:
        writer.write(r)
    writer.close()
    lines = out.getvalue().split(b"\n")
    assert lines[-1] == b"" and len(lines) == 3
    assert [json.loads(line) for line in lines[:-1]] == RECORDS
    assert "pages/é.html".encode() in lines[1]  # written as itself, not \u escapes


@pytest.mark.parametrize(
    "column, cells",
    [
        ("_source", ["crawl.warc.gz", "pages/é.html"]),
        ("_offset", ["1234", ""]),
        ("_status", ["404", ""]),
        ("_date", ["2024-05-01T12:00:00.25Z", ""]),
        ("_charset", ["windows-1252", "UTF-8"]),
        ("title", ['Offers, "new"\nand old', ""]),
        ("links", ['["/a", "/b,c"]', "[]"]),
        ("offers", ['[{"name": "Tea", "price": ["3", "2"]}, {"name": null, "price": []}]', "[]"]),
        ("top", ['{"name": ["Tea"]}', ""]),
    ],
)
def test_csv_cells_are_text_or_json(column: str, cells: list[str]) -> None:
    out = io.BytesIO()
    writer = CsvWriter(out, columns(SCHEMA))
    for r in RECORDS:
        writer.write(r)
    writer.close()
    rows = list(csv.DictReader(io.StringIO(out.getvalue().decode("utf-8"), newline="")))
    assert list(rows[0]) == [*HEAD, "title", "links", "offers", "top"]
    assert [row[column] for row in rows] == cells


def test_csv_of_no_pages_is_its_header() -> None:
    out = io.BytesIO()
    CsvWriter(out, columns(SCHEMA)).close()
    assert out.getvalue() == (",".join(HEAD) + ",title,links,offers,top\r\n").encode()


@pytest.mark.parametrize(
    "value, escaped",
    [
        ("=HYPERLINK(\"http://x\")", "'=HYPERLINK(\"http://x\")"),
        ("+1", "'+1"),
        ("-2+3", "'-2+3"),
        ("@SUM(A1)", "'@SUM(A1)"),
        ("\tx", "'\tx"),
        ("\rx", "'\rx"),
        ("a=b", "a=b"),          # only the first character counts
        (" =x", " =x"),
        ("", ""),
        (-3, "-3"),              # a number is a number, not a formula
        (["=x"], '["=x"]'),      # JSON text starts with [ or {
        ({"a": "-x"}, '{"a": "-x"}'),
    ],
)
def test_csv_cells_a_spreadsheet_would_run_get_a_quote(value: object, escaped: str) -> None:
    schema = Schema({"v": field("b::text", first=True)})
    rows = []
    for escape in (True, False):
        out = io.BytesIO()
        writer = CsvWriter(out, columns(schema), escape_formulas=escape)
        writer.write({"_source": "p.html", "_offset": None, "_url": None, "v": value})
        writer.close()
        rows.append(list(csv.DictReader(io.StringIO(out.getvalue().decode("utf-8"), newline="")))[0]["v"])
    assert rows[0] == escaped
    assert rows[1] == (value if isinstance(value, str) else escaped)


def _failing_after(limit: int, monkeypatch: pytest.MonkeyPatch) -> None:
    """``os.write`` as on a disk with ``limit`` bytes left: a short write, then ENOSPC."""
    import errno
    import os

    import larkspine.outputs

    left = [limit]
    real = os.write

    def write(fd: int, data: bytes) -> int:
        if left[0] == 0:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        n = real(fd, bytes(data[: left[0]]))
        left[0] -= n
        return n

    monkeypatch.setattr(larkspine.outputs.os, "write", write)


@pytest.mark.parametrize("mode", ["ab", "wb"])
def test_a_write_failing_part_way_cuts_the_file_back_to_its_last_whole_record(tmp_path, monkeypatch, mode) -> None:
    path = tmp_path / "out.jsonl"
    path.write_bytes(b'{"before": 1}\n')
    with open(path, mode) as stream:
        writer = JsonLinesWriter(stream)
        writer.write(RECORDS[0])
        writer._sink.flush()  # the first record is out whole
        kept = path.read_bytes()
        writer.write(RECORDS[1])
        _failing_after(10, monkeypatch)
        with pytest.raises(OSError, match="No space left on device"):
            writer.close()
    assert path.read_bytes() == kept and kept.endswith(b"\n")
    assert [json.loads(line) for line in kept.splitlines()][-1] == RECORDS[0]


def test_a_write_into_the_middle_of_a_file_is_never_cut(tmp_path, monkeypatch) -> None:
    # Written over existing bytes (`1<> file`): cutting back would remove what follows.
    path = tmp_path / "out.jsonl"
    path.write_bytes(b"x" * 5000)
    with open(path, "r+b") as stream:
        writer = JsonLinesWriter(stream)
        writer.write(RECORDS[0])
        _failing_after(10, monkeypatch)
        with pytest.raises(OSError):
            writer.close()
    assert len(path.read_bytes()) == 5000


pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")


def test_parquet_columns_are_typed_from_the_schema() -> None:
    row = pa.struct([("name", pa.string()), ("price", pa.list_(pa.string()))])
    assert arrow_schema(SCHEMA) == pa.schema([
        ("_source", pa.string()),
        ("_offset", pa.int64()),
        ("_url", pa.string()),
        ("_status", pa.int16()),
        ("_date", pa.timestamp("us", tz="UTC")),
        ("_record_id", pa.string()),
        ("_content_type", pa.string()),
        ("_charset", pa.string()),
        ("title", pa.string()),
        ("links", pa.list_(pa.string())),
        ("offers", pa.list_(row)),
        ("top", pa.struct([("name", pa.list_(pa.string()))])),
    ])


@pytest.mark.parametrize("row_group_size", [1, 1000])
def test_parquet_reads_back_the_records(tmp_path, row_group_size: int) -> None:
    path = tmp_path / "out.parquet"
    writer = ParquetWriter(str(path), SCHEMA, row_group_size=row_group_size)
    for r in RECORDS:
        writer.write(r)
    assert not path.exists() and len(list(tmp_path.glob(".out.parquet.*.partial"))) == 1
    writer.close()
    assert [p.name for p in tmp_path.iterdir()] == ["out.parquet"]
    table = pq.read_table(path)
    assert table.schema == arrow_schema(SCHEMA)
    assert table.to_pylist() == [as_read_from_parquet(r) for r in RECORDS]
    assert table.column("_date").to_pylist()[0] == datetime.datetime(2024, 5, 1, 12, 0, 0, 250000, datetime.UTC)
    assert pq.ParquetFile(path).num_row_groups == (2 if row_group_size == 1 else 1)


def test_parquet_of_no_pages_is_a_valid_empty_table(tmp_path) -> None:
    path = tmp_path / "none.parquet"
    ParquetWriter(str(path), SCHEMA).close()
    table = pq.read_table(path)
    assert table.num_rows == 0 and table.schema == arrow_schema(SCHEMA)


def test_processed_fields_take_the_type_of_their_values(tmp_path) -> None:
    schema = Schema({
        "count": field("i::text", first=True, each=int),
        "sizes": field("b::text", each=float),
        "joined": field("p::text", out=" ".join),
        "flag": field("u::text", first=True, default=False),
        "plain": field("s::text", first=True, default="none"),
    })
    page = b"<i>7</i><b>1.5</b><b>2</b><p>a</p><p>b</p>"
    record = {"_source": "p.html", "_offset": None, "_url": None, **schema.extract(page)}
    types = arrow_schema(schema, [record])
    assert [types.field(n).type for n in ("count", "sizes", "joined", "flag", "plain")] == [
        pa.int64(), pa.list_(pa.float64()), pa.string(), pa.bool_(), pa.string()]
    path = tmp_path / "p.parquet"
    writer = ParquetWriter(str(path), schema)
    writer.write(record)
    writer.close()
    assert pq.read_table(path).to_pylist() == [dict.fromkeys(HEAD) | record]


def test_rows_that_do_not_fit_their_columns_are_rejected_alone(tmp_path) -> None:
    from larkspine.outputs import RecordRejected

    schema = Schema({"n": field("b::text", first=True, each=int)})
    rows = [{"_source": f"p{i}", "_offset": i, "_url": None, "n": value}
            for i, value in enumerate([1, 2, "three", 4, [5]])]
    rejected: list[tuple[object, str]] = []
    writer = ParquetWriter(str(tmp_path / "n.parquet"), schema, row_group_size=3,
                           on_reject=lambda r, why: rejected.append((r["_source"], why)))
    for row in rows:
        writer.write(row)
    writer.close()
    assert [r["n"] for r in pq.read_table(tmp_path / "n.parquet").to_pylist()] == [1, 2, 4]
    assert [source for source, _ in rejected] == ["p2", "p4"]
    with pytest.raises(RecordRejected, match=r"^larkspine: p0 \(record at offset 0\): cannot be written: "):
        JsonLinesWriter(io.BytesIO()).write({"_source": "p0", "_offset": 0, "n": {1}})
