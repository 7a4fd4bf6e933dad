"""JSON Lines and CSV made from Arrow batches: the bytes the record-at-a-time writers make.

``_records_text`` (and the writers' ``write_table`` on top of it) must give, for every value a
record can hold, exactly what ``json.dumps(record, ensure_ascii=False)`` and ``csv.writer``
give: checked value by value here, then end to end through the command, whose batch path
must write the file the record path writes, for every ``-j``.
"""

from __future__ import annotations

import gzip
import io
import os
import pathlib
from typing import Any

import pytest
from hypothesis import given, settings, strategies as st

import _larkspine as ls

pa = pytest.importorskip("pyarrow")

from larkspine import Schema, field, group  # noqa: E402
from larkspine.batch import extract_records  # noqa: E402
from larkspine.inputs import read_inputs  # noqa: E402
from larkspine.outputs import CsvWriter, JsonLinesWriter, columns  # noqa: E402

#: Values that each take a different branch of the escapes: JSON's short and \u00XX escapes,
#: bytes passed through (DEL, non-ASCII, astral, the line separators JSON leaves alone), CSV
#: quoting (comma, quote, CR, LF) and formula escaping, and escapes on both sides of the
#: 8-byte word the writer skips by.
TRICKY = [
    "",
    "plain",
    '"',
    "\\",
    '\\"',
    "".join(map(chr, range(0x20))),
    "\x7f",
    "\x00",
    "café 日本語",
    "\U0001F600 astral \U00010348",
    "\u2028\u2029",
    "\ufffd",
    "0123456\"89abcdef\\ghijklmno\npq",
    "12345678",
    "1234567\x1f",
    "=SUM(A1:A2)",
    "+1",
    "-",
    "@here",
    "\tindented",
    "\rreturn",
    "a,b",
    'say "hi"',
    "line\nbreak",
    "crlf\r\nend",
    " leading space",
    "'quoted already",
    "x" * 300 + '"',
]

STRING_LIST = pa.list_(pa.string())
ROW = pa.struct([("name", pa.string()), ("tags", STRING_LIST)])
TYPES = pa.schema([
    ("_source", pa.string()), ("_offset", pa.int64()), ("_status", pa.int16()), ("title", pa.string()),
    ("links", STRING_LIST), ("none", STRING_LIST), ("rows", pa.list_(ROW)), ("empty_rows", pa.list_(ROW)),
])


def record(value: str, i: int) -> dict[str, Any]:
    return {
        "_source": value, "_offset": None if i % 2 else i * 1000, "_status": 200 + i, "title": value if i % 3 else None,
        "links": [value, "b", value], "none": [], "rows": [{"name": value, "tags": [value]}, {"name": None, "tags": []}],
        "empty_rows": [],
    }


def by_records(fmt: str, records: list[dict[str, Any]], names: list[str], escape: bool = True) -> bytes:
    out = io.BytesIO()
    writer = JsonLinesWriter(out) if fmt == "jsonl" else CsvWriter(out, names, escape_formulas=escape)
    for r in records:
        writer.write(r)
    writer.close()
    return out.getvalue()


def by_table(fmt: str, table: Any, escape: bool = True) -> bytes:
    out = io.BytesIO()
    writer = JsonLinesWriter(out) if fmt == "jsonl" else CsvWriter(out, table.schema.names, escape_formulas=escape)
    writer.write_table(table)
    writer.close()
    return out.getvalue()


@pytest.mark.parametrize("fmt, escape", [("jsonl", True), ("csv", True), ("csv", False)])
@pytest.mark.parametrize("value", TRICKY, ids=[ascii(v)[:24] for v in TRICKY])
def test_every_value_is_written_as_the_record_writer_writes_it(value: str, fmt: str, escape: bool) -> None:
    records = [record(value, i) for i in range(4)]
    table = pa.Table.from_pylist(records, schema=TYPES)
    assert by_table(fmt, table, escape) == by_records(fmt, records, TYPES.names, escape)


# Any text Arrow can hold: every code point but the surrogates, weighted towards what the
# escapes and the word-at-a-time skip turn on.
_TEXT = st.text(st.one_of(st.sampled_from('"\\,\r\n\t=+-@\x00\x1f\x7f'), st.characters(exclude_categories=("Cs",))),
                max_size=40)
_RECORD = st.fixed_dictionaries({
    "_source": _TEXT, "_offset": st.none() | st.integers(0, 2**63 - 1), "_status": st.none() | st.integers(100, 999),
    "title": st.none() | _TEXT, "links": st.lists(_TEXT, max_size=4), "none": st.just([]),
    "rows": st.lists(st.builds(lambda name, tags: {"name": name, "tags": tags}, st.none() | _TEXT,
                               st.lists(_TEXT, max_size=3)), max_size=3),
    "empty_rows": st.just([]),
})


@settings(max_examples=150, deadline=None)
@given(records=st.lists(_RECORD, max_size=6), escape=st.booleans())
def test_any_records_are_written_as_the_record_writers_write_them(records: list[dict[str, Any]], escape: bool) -> None:
    records = [{name: r[name] for name in TYPES.names} for r in records]  # keys in column order, as records have them
    table = pa.Table.from_pylist(records, schema=TYPES)
    assert by_table("jsonl", table) == by_records("jsonl", records, TYPES.names)
    assert by_table("csv", table, escape) == by_records("csv", records, TYPES.names, escape)


def layouts() -> list[tuple[str, Any, list[dict[str, Any]]]]:
    """Tables laid out as producers other than the engine lay them out."""
    records = [record(v, i) for i, v in enumerate(TRICKY)]
    whole = pa.Table.from_pylist(records, schema=TYPES)
    large = pa.schema([
        ("_source", pa.large_string()), ("_offset", pa.int64()), ("_status", pa.int16()), ("title", pa.large_string()),
        ("links", pa.large_list(pa.large_string())), ("none", pa.large_list(pa.string())),
        ("rows", pa.large_list(ROW)), ("empty_rows", pa.list_(ROW)),
    ])
    ints = [{"i8": -128, "u8": 255, "i32": -(2**31), "u32": 2**32 - 1, "i64": -(2**63), "u64": 2**64 - 1, "nothing": None},
            {"i8": 0, "u8": None, "i32": 7, "u32": 0, "i64": 2**63 - 1, "u64": 0, "nothing": None}]
    int_types = pa.schema([("i8", pa.int8()), ("u8", pa.uint8()), ("i32", pa.int32()), ("u32", pa.uint32()),
                           ("i64", pa.int64()), ("u64", pa.uint64()), ("nothing", pa.null())])
    one = [{"only": ""}, {"only": None}, {"only": "x"}, {"only": '"'}]
    return [
        ("whole", whole, records),
        # A slice starts at an offset into every buffer, a struct's children included.
        ("slice", whole.slice(5, 9), records[5:14]),
        ("chunks", pa.concat_tables([whole.slice(0, 3), whole.slice(3)]), records),
        ("large", pa.Table.from_pylist(records, schema=large), records),
        ("integers and null", pa.Table.from_pylist(ints, schema=int_types), ints),
        # A row of one empty cell is `""` in CSV (so it is not an empty line).
        ("one column", pa.Table.from_pylist(one, schema=pa.schema([("only", pa.string())])), one),
        ("no rows", whole.slice(0, 0), []),
    ]


@pytest.mark.parametrize("fmt", ["jsonl", "csv"])
@pytest.mark.parametrize("name, table, records", layouts(), ids=[name for name, _, _ in layouts()])
def test_layouts_other_producers_make(name: str, table: Any, records: list[dict[str, Any]], fmt: str) -> None:
    assert by_table(fmt, table) == by_records(fmt, records, table.schema.names)


def test_the_engine_batch_is_written_as_its_records() -> None:
    schema = Schema({"title": field("title::text", first=True), "links": field("a::attr(href)"),
                     "items": group("li", name=field("::text"), codes=field("b::text"))})
    pages = [b"<title>=1</title><a href='a,\"b'>x</a><ul><li>\x01\xe2\x80\xa8<b>&#xD800;</b><li>",
             b"<title>caf\xe9</title>", b""]
    batch = schema.plan.extract_arrow(pages, names=["title", "links", "items"])
    records = [schema.extract(p) for p in pages]
    assert records[0]["items"][0]["codes"] == ["\ufffd"] and records[1]["title"] == "caf\ufffd"
    for fmt in ("jsonl", "csv"):
        expected = by_records(fmt, records, ["title", "links", "items"])
        assert by_table(fmt, schema.extract_table(pages)) == expected
        # The engine's own batch, handed over through the C data interface as it is.
        assert ls._records_text(batch, fmt) == (expected.split(b"\r\n", 1)[1] if fmt == "csv" else expected)


@pytest.mark.parametrize(
    "batch, fmt, error, message",
    [
        (lambda: pa.record_batch({"d": pa.array([1], pa.timestamp("us", "UTC"))}), "jsonl", ValueError,
         "column 'd': type 'tsu:UTC'"),
        (lambda: pa.record_batch({"d": pa.array(["a"]).dictionary_encode()}), "csv", ValueError, "dictionary-encoded"),
        (lambda: pa.record_batch({"d": pa.Array.from_buffers(
            pa.string(), 2, [None, pa.py_buffer(b"\0\0\0\0\3\0\0\0\1\0\0\0"), pa.py_buffer(b"abc")])}),
         "jsonl", ValueError, "column 'd': offsets that go backwards"),
        (lambda: object(), "jsonl", TypeError, "batch must have __arrow_c_array__"),
        (lambda: pa.record_batch({"d": [1]}), "xml", ValueError, "format must be 'jsonl' or 'csv'"),
        # A name the C data interface would cut at its NUL, so that the text names "a".
        (lambda: pa.record_batch({"a\0b": ["v"]}), "jsonl", ValueError, r"column name 'a\\x00b' holds a NUL"),
        (lambda: pa.record_batch({"d": pa.Array.from_buffers(
            pa.string(), 2, [None, pa.py_buffer(b"\0\0\0\0\1\0\0\0\3\0\0\0"), pa.py_buffer(b"a\xff\xfe")])}),
         "csv", ValueError, "column 'd': a value that is not UTF-8"),
        (lambda: pa.record_batch({"d": pa.Array.from_buffers(
            pa.string(), 1, [None, pa.py_buffer(b"\0\0\0\0\2\0\0\0"), pa.py_buffer(b"\xc3(")])}),
         "jsonl", ValueError, "column 'd': a value that is not UTF-8"),
    ],
    ids=["timestamp", "dictionary", "offsets", "no batch", "format", "nul-name", "invalid-utf8", "bad-sequence"],
)
def test_what_cannot_be_written_is_refused(batch: Any, fmt: str, error: type[Exception], message: str) -> None:
    with pytest.raises(error, match=message):
        ls._records_text(batch(), fmt)


def test_csv_refuses_a_table_of_other_columns() -> None:
    writer = CsvWriter(io.BytesIO(), ["a", "b"])
    with pytest.raises(ValueError, match=r"columns \['b', 'a'\] for a CSV file"):
        writer.write_table(pa.table({"b": ["1"], "a": ["2"]}))


# --- End to end: the command's batch path against its record path -----------------------------

SCHEMA = """\
title = { query = "title::text", first = true }
heading = { query = "//h1/text()", first = true }
links = "a::attr(href)"
words = "normalize-space(//p)"

[items]
group = "li"
fields.name = { query = "::text", first = true }
fields.codes = "b::text"
"""

PAGES = {
    "quotes.html": b'<title>"q" \\ back\\slash</title><h1>=SUM(A1)</h1><a href="a,b">x</a><a href=\'x"y\'>y</a>',
    "controls.html": b"<title>a\x01b\x1fc\x7fd\tt</title><p>tab\there\r\nnext</p><li>\x0b<b>\x0c</b>",
    "unicode.html": "<title>日本語 😀 \u2028 \u00e9</title><li>ä<b>𐍈</b><b></b><li>".encode(),
    "cp1252.html": b"<meta charset=windows-1252><title>caf\xe9 \x93q\x94 \x80</title>",
    "surrogates.html": b"<title>&#xD800;\xed\xa0\x80&#0;</title><a href='&#xDFFF;'>",
    "empty.html": b"",
    "-dash.html": b"<h1>-1</h1><h1>second</h1><li><li><b>+x</b>",
    '=odd,"name".html': b"<title>@cmd</title>",
}


@pytest.fixture
def crawl(tmp_path, monkeypatch) -> list[str]:
    pytest.importorskip("fastwarc")
    from .warcs import Response, warc_bytes

    (tmp_path / "in").mkdir()
    monkeypatch.chdir(tmp_path / "in")
    for name, body in PAGES.items():
        pathlib.Path(name).write_bytes(body)
    with open(os.fsencode("caf\xe9.html".encode("latin-1")), "wb") as f:  # a name that is not UTF-8
        f.write(b"<title>odd name</title>")
    pathlib.Path("gz.html.gz").write_bytes(gzip.compress(PAGES["unicode.html"]))
    responses = [
        Response('https://x/a?q="1",2', PAGES["quotes.html"], date="2024-05-01T12:00:00.5Z", record_urn="uuid:1"),
        Response("https://x/b", PAGES["cp1252.html"], content_type="text/html; charset=cp1252", status="404 Not Found"),
        Response("https://x/c", "<title>Σ</title>".encode("shift_jis", "replace"), content_type="text/html; charset=bogus"),
    ]
    pathlib.Path("crawl.warc.gz").write_bytes(warc_bytes(responses)[0])
    return sorted(os.listdir("."))


def record_path(fmt: str, schema_file: str, inputs: list[str], escape: bool) -> bytes:
    from larkspine.schemafile import resolve_schema

    schema = resolve_schema(schema_file)
    return by_records(fmt, list(extract_records(schema, read_inputs(inputs))), columns(schema), escape)


@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("fmt, escape", [("jsonl", True), ("csv", True), ("csv", False)])
def test_the_command_writes_the_bytes_of_the_record_path(crawl, tmp_path, fmt: str, escape: bool, jobs: str) -> None:
    from .test_cli import run

    schema = tmp_path / "schema.toml"
    schema.write_text(SCHEMA)
    out = tmp_path / "out"
    options = ["-f", fmt, "-j", jobs, "-o", str(out), *([] if escape else ["--no-escape-formulas"])]
    result = run("extract", *options, "--", str(schema), *crawl)  # "--": an input is named -dash.html
    assert result.exit_code == 0, result.stderr
    written = out.read_bytes()
    assert written == record_path(fmt, str(schema), crawl, escape)
    assert written.count(b"\n") >= len(crawl) + 2  # every page and the archive's records are there


@pytest.mark.parametrize("fmt", ["jsonl", "csv"])
def test_a_record_whose_text_does_not_fit_in_memory_fails_alone(monkeypatch, fmt: str) -> None:
    import larkspine.outputs as outputs

    real = ls._records_text

    def limited(batch: Any, *args: Any, **named: Any) -> Any:
        if batch.num_rows > 1 or "huge" in batch.column("title")[0].as_py():
            raise MemoryError  # as the text of a page of millions of links under a limit
        return real(batch, *args, **named)

    monkeypatch.setattr(outputs._larkspine, "_records_text", limited)
    table = pa.table({"_source": ["a", "b", "c"], "_offset": pa.array([None, 7, None], pa.int64()),
                      "title": ["A", "huge", "C"]})
    rejected: list[tuple[dict[str, Any], str]] = []
    out = io.BytesIO()
    on_reject = lambda record, reason: rejected.append((dict(record), reason))  # noqa: E731
    if fmt == "jsonl":
        writer: Any = JsonLinesWriter(out, on_reject=on_reject)
        writer.write_table(table)
        writer.close()
        assert out.getvalue() == b'{"_source": "a", "_offset": null, "title": "A"}\n' \
                                 b'{"_source": "c", "_offset": null, "title": "C"}\n'
    else:
        writer = CsvWriter(out, ["_source", "_offset", "title"], on_reject=on_reject)
        writer.write_table(table)
        writer.close()
        assert out.getvalue().split(b"\r\n")[1:] == [b"a,,A", b"c,,C", b""]
    assert rejected == [({"_source": "b", "_offset": 7}, "its text does not fit in memory")]
