"""Plan.extract_arrow: many documents in, one Arrow record batch out.

Every row must equal what Plan.extract_grouped gives for that document (the
columnar path is only a different container for the same answers): on the
real pages of the shared corpus, on the hostile generators of the complexity
cases, and on random markup; with one thread and with several. The layout
(types, names, nulls), the arguments and the lifetime of exported buffers
are checked on small inputs."""
import gc
import gzip

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import _larkspine as ls
from tests import complexity_cases
from tests.conftest import SHARED
from tests.test_hostile import GROUPS as HOSTILE_GROUPS, PIECES, SCHEMA as HOSTILE_SCHEMA

pa = pytest.importorskip("pyarrow")

GROUPS = [("ul", [("first", "li:first-child::text"), ("links", ".//@href"), ("self", ".")]),
          ("div.card", [("t", "text()"), ("b", "b::text")])]
FLAT = ["title::text", "p::text", "a::attr(href)", "li:last-child::text", "normalize-space(//p)", "section",
        "h2::text, p:contains(\"1\")::text"]


def expected_rows(plan, docs, encoding=None, names=None):
    """The rows Plan.extract_grouped gives, in the batch's shape."""
    flat_count = len(plan.flat_queries)
    if names is None:
        names = [str(i) for i in range(flat_count + len(plan.groups))]
    labels = encoding if isinstance(encoding, list) else [encoding] * len(docs)
    rows = []
    for doc, label in zip(docs, labels):
        flat, grouped = plan.extract_grouped(doc, label)
        row = {}
        for q, values in enumerate(flat):
            row[names[q]] = (values[0] if values else None) if plan.first_only[q] else values
        for g, (_, fields) in enumerate(plan.groups):
            row[names[flat_count + g]] = [{name: r[f] for f, (name, _) in enumerate(fields)}
                                         for r in grouped[g]]
        rows.append(row)
    return rows


def batch_rows(batch):
    return pa.record_batch(batch).to_pylist()


DOCS = [
    b"<title>T</title><p>one</p><p>two 1</p><a href=/x>x</a><ul><li>a<li><a href=/y>b</a></ul><section>s</section>",
    b"",
    "<div class=card>t1<b>b1</b></div><div class=card><b>b2</b><b>b3</b></div><h2>h</h2>",
    "<meta charset=windows-1252><p>caf\xe9</p>".encode("cp1252"),
    "<p>\u65e5\u672c</p>".encode("utf-16"),
    b"<p>nul\x00byte</p><a href='&amp;&#x41;'>e</a>",
]


@pytest.mark.parametrize("first_only", [None, [True, False, True, True, False, True, False]])
@pytest.mark.parametrize("threads", [1, 2, 3, 0])
def test_rows_equal_extract_grouped(first_only, threads):
    plan = ls.Plan(FLAT, GROUPS, first_only=first_only)
    batch = plan.extract_arrow(DOCS, threads=threads)
    assert batch.num_rows == len(batch) == len(DOCS)
    assert batch_rows(batch) == expected_rows(plan, DOCS)


def test_types_and_names():
    plan = ls.Plan(["h1::text", "a::attr(href)"], [("li", [("b", "b::text"), ("i", "i::text")])],
                   first_only=[True])
    batch = plan.extract_arrow([b"<h1>x</h1>", b"<li><b>1</b><i>2</i><i>3</i>"])
    schema = pa.record_batch(batch).schema
    assert schema.names == ["0", "1", "2"] == list(batch.column_names)
    assert schema.field("0").type == pa.string()
    assert schema.field("1").type == pa.list_(pa.string())
    assert schema.field("2").type == pa.list_(pa.struct([("b", pa.list_(pa.string())), ("i", pa.list_(pa.string()))]))
    named = plan.extract_arrow([b"<h1>x</h1>"], names=["title", "links", "items"])
    assert pa.table(named).column_names == ["title", "links", "items"]
    assert pa.table(named).to_pylist() == [{"title": "x", "links": [], "items": []}]
    # A first-only column is null, not empty, where nothing matched.
    col = pa.record_batch(batch).column(0)
    assert col.null_count == 1 and col.to_pylist() == ["x", None]


@pytest.mark.parametrize("docs", [[], [b""], [b"<p>x</p>"] * 3])
@pytest.mark.parametrize("threads", [1, 2])
def test_empty_and_small_batches(docs, threads):
    plan = ls.Plan(FLAT, GROUPS, first_only=[True])
    batch = plan.extract_arrow(docs, threads=threads)
    rb = pa.record_batch(batch)
    assert rb.num_rows == len(docs) and rb.num_columns == len(FLAT) + len(GROUPS)
    assert rb.to_pylist() == expected_rows(plan, docs)
    rb.validate(full=True)


def test_stream_yields_the_batch_once():
    plan = ls.Plan(FLAT, GROUPS)
    batch = plan.extract_arrow(DOCS)
    reader = pa.RecordBatchReader.from_stream(batch)
    got = list(reader)
    assert len(got) == 1 and got[0].to_pylist() == expected_rows(plan, DOCS)
    assert pa.table(batch).to_pylist() == expected_rows(plan, DOCS)


def test_buffers_outlive_the_batch_and_its_exports():
    plan = ls.Plan(["p::text"], [("li", [("b", "b::text")])])
    batch = plan.extract_arrow([b"<p>a</p><p>b</p><li><b>c</b>"] * 50, threads=2)
    expected = batch_rows(batch)
    record = pa.record_batch(batch)
    column = record.column(1)  # a child array, held on its own
    del batch, record
    gc.collect()
    assert column.to_pylist() == [row["1"] for row in expected]
    # Capsules that no consumer took free their structs (the ASan suite checks).
    again = plan.extract_arrow([b"<p>x</p>"])
    again.__arrow_c_array__()
    again.__arrow_c_stream__()
    again.__arrow_c_schema__()


def test_documents_of_every_kind():
    plan = ls.Plan(["p::text"], [])
    base = b"<p>x\xc3\xa9</p>"
    mutable = bytearray(base)
    view = memoryview(base)
    sliced = memoryview(b"<b>" + base)[3:]
    batch = plan.extract_arrow([base, base.decode(), mutable, view, sliced])
    mutable[3:4] = b"y"  # the writable buffer was copied before the scan
    assert [r["0"] for r in batch_rows(batch)] == [["x\xe9"], ["x\xe9"], ["x\xe9"], ["x\xe9"], ["x\xe9"]]


@pytest.mark.parametrize("encoding, expected", [
    (None, ["caf\xe9", "caf\ufffd"]),
    ("windows-1252", ["caf\xc3\xa9", "caf\xe9"]),
    (["utf-8", "windows-1252"], ["caf\xe9", "caf\xe9"]),
    ([None, "utf-8"], ["caf\xe9", "caf\ufffd"]),
])
def test_encoding_for_all_or_per_document(encoding, expected):
    plan = ls.Plan(["p::text"], [], first_only=[True])
    docs = ["<p>caf\xe9</p>".encode("utf-8"), "<p>caf\xe9</p>".encode("cp1252")]
    if encoding is None or isinstance(encoding, str):
        want = [plan.extract(d, encoding)[0][0] for d in docs]
    else:
        want = [plan.extract(d, e)[0][0] for d, e in zip(docs, encoding)]
    got = [r["0"] for r in batch_rows(plan.extract_arrow(docs, encoding))]
    assert got == want == expected


@pytest.mark.parametrize("call, error, message", [
    (lambda p: p.extract_arrow(b"<p>"), TypeError, "got one bytes"),
    (lambda p: p.extract_arrow("<p>"), TypeError, "got one str"),
    (lambda p: p.extract_arrow([b"<p>", 3]), TypeError, "document 1 must be bytes, a bytes-like object or str, got int"),
    (lambda p: p.extract_arrow(5), TypeError, "not iterable"),
    (lambda p: p.extract_arrow(["\ud800"]), TypeError, "document 0 is a str without a UTF-8 form"),
    (lambda p: p.extract_arrow([b"a", b"b"], ["utf-8"]), ValueError, "encoding has 1 labels for 2 documents"),
    (lambda p: p.extract_arrow([b"a"], 3), TypeError, "cannot be converted"),
    (lambda p: p.extract_arrow(["<p>x"], "latin-1"), ValueError, 'encoding="latin-1" resolves to windows-1252'),
    (lambda p: p.extract_arrow([b"a"], threads=-1), ValueError, "threads must be from 0"),
    (lambda p: p.extract_arrow([b"a"], threads="2"), TypeError, "cannot be converted to 'int'"),
    (lambda p: p.extract_arrow([b"a"], names=["x"]), ValueError, "names has 1 entries for 2 columns"),
    (lambda p: p.extract_arrow([b"a"], None, 2), TypeError, "takes from 2 to 3 positional arguments but 4 were given"),
    (lambda p: p.extract_arrow(), TypeError, "missing 1 required positional argument: 'documents'"),
])
def test_argument_errors(call, error, message):
    plan = ls.Plan(["p::text"], [("li", [("b", "b::text")])])
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)").replace("[", r"\[")):
        call(plan)


def test_errors_name_the_parameter():
    plan = ls.Plan(["p::text"], [])
    with pytest.raises(TypeError) as info:
        plan.extract_arrow([1])
    assert "while processing 'documents'" in info.value.__notes__
    with pytest.raises(ValueError) as info:
        plan.extract_arrow(["x"], ["utf-16"])
    assert "while processing 'encoding'" not in getattr(info.value, "__notes__", [])


def test_arrow_batch_cannot_be_made_directly():
    with pytest.raises(TypeError):
        ls.ArrowBatch()
    batch = ls.Plan(["p::text"], []).extract_arrow([b"<p>x"])
    assert repr(batch) == "<ArrowBatch rows=1 columns=('0',)>"
    assert batch.nbytes > 0


def test_the_iterable_is_read_once_before_the_scan():
    plan = ls.Plan(["p::text"], [])
    docs = [b"<p>1", b"<p>2"]
    gen = (d for d in docs)
    assert [r["0"] for r in batch_rows(plan.extract_arrow(gen))] == [["1"], ["2"]]


# -- Differential: the corpus, the hostile generators, random markup ----------

COMBINATORS = ["nav a::text", "//article//p//text()", "h1::text", "h2 + p::text", "ul > li:nth-child(2n) a::attr(href)",
               "meta[property='og:title']::attr(content)", "p:last-child::text", "div:has(> a)::attr(class)",
               "//title/text()", "normalize-space(//h1)"]
CORPUS_GROUPS = [("article", [("h", "h2::text"), ("links", ".//@href")]), ("li", [("t", "text()"), ("a", "a::text")])]


def corpus_pages():
    pages = []
    for folder in ("articles", "dense"):
        pages += [gzip.decompress(p.read_bytes()) for p in sorted((SHARED / "corpus" / folder).glob("*.gz"))]
    # Every file of the encodings corpus, sniffed (markup or not, in many encodings).
    pages += [p.read_bytes() for p in sorted((SHARED / "corpus" / "encodings").glob("*/*")) if p.is_file()]
    return pages


@pytest.mark.parametrize("first_only", [None, [True] * 3 + [False, True]])
def test_every_corpus_page(shared_dir, first_only):
    pages = corpus_pages()
    if not pages:
        pytest.skip("no corpus pages")
    plan = ls.Plan(COMBINATORS, CORPUS_GROUPS, first_only=first_only)
    expected = expected_rows(plan, pages)
    for threads in (1, 2):
        assert batch_rows(plan.extract_arrow(pages, threads=threads)) == expected


def test_hostile_schema_on_the_complexity_generators():
    cases = [c for c in complexity_cases.CASES if hasattr(c.make, "document")]
    assert len(cases) > 30
    plan = ls.Plan(HOSTILE_SCHEMA, HOSTILE_GROUPS)
    for case in cases:
        queries, groups, encoding = case.make.schema
        own = ls.Plan(queries, groups)
        docs = [case.make.document(n) for n in (1, 7, case.n)]
        for p in (plan, own):
            assert batch_rows(p.extract_arrow(docs, encoding, threads=2)) == expected_rows(p, docs, encoding), case.name


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.lists(PIECES, max_size=60).map("".join), max_size=6), st.integers(1, 3))
def test_random_markup_batches(docs, threads):
    plan = ls.Plan(HOSTILE_SCHEMA, HOSTILE_GROUPS, first_only=[True, False] * 5)
    data = [d.encode() if i % 2 else d for i, d in enumerate(docs)]
    assert batch_rows(plan.extract_arrow(data, threads=threads)) == expected_rows(plan, data)


@pytest.mark.parametrize("consumer", ["polars", "duckdb"])
def test_other_arrow_consumers_read_the_batch(consumer):
    # Both take any object with __arrow_c_stream__ (skipped where not installed).
    module = pytest.importorskip(consumer)
    plan = ls.Plan(["h1::text", "a::attr(href)"], [("li", [("b", "b::text")])], first_only=[True])
    batch = plan.extract_arrow([b"<h1>x</h1><a href=1>", b"<li><b>q</b>"], names=["title", "links", "items"])
    if consumer == "polars":
        rows = module.DataFrame(batch).to_dicts()
    else:
        rows = [dict(zip(("title", "links", "items"), r))
                for r in module.sql("select title, links, items from batch").fetchall()]
    assert rows == [{"title": "x", "links": ["1"], "items": []},
                    {"title": None, "links": [], "items": [{"b": ["q"]}]}]
