"""The module's public surface: registration, docstrings, argument binding,
conversion errors with their notes, label checks, budget errors, Plan."""
import concurrent.futures
import inspect
import re

import pytest

import _larkspine as ls

FUNCTIONS = ["extract", "extract_grouped", "audit_schema", "selector_terminals",
             "selector_node_identity", "resolve_label", "detect_encoding"]
# What the Python layer alone calls: on the module, outside __all__, so that a star
# import or the documented surface never shows them.
PRIVATE = ["_query_syntax_error", "_sub_field_budget", "_join_link_array", "_join_links", "_records_text"]


def test_module_registration_order_and_doc():
    assert ls.__all__ == ["__doc__", *FUNCTIONS, "Plan", "ArrowBatch"]
    assert ls.__doc__ == "Native Larkspine core: treeless, one-pass HTML extraction."
    assert isinstance(ls.Plan, type)


@pytest.mark.parametrize("name", PRIVATE)
def test_private_entries_are_on_the_module_outside_all(name):
    entry = getattr(ls, name)
    assert callable(entry) and name not in ls.__all__
    assert entry.__name__ == name and entry.__text_signature__ and entry.__doc__.startswith("Private:")


@pytest.mark.parametrize("fn, signature, phrases", [
    (ls.extract, "(html, queries, encoding=None)", ["one value-column per query", "no fallback", "ValueError", "HttpResponseBody", "larkspine.extract", "BOM, then <meta>, then UTF-8"]),
    (ls.extract_grouped, "(html, flat_queries, groups, encoding=None)", ["(flat_columns, grouped)", "[group][row][subfield][value]", "positionally"]),
    (ls.audit_schema, "(flat_queries, groups)", ["without parsing any HTML", "(flat, groups, budget)", "larkspine.check"]),
    (ls.selector_terminals, "(queries)", ['"normalize-space"', "raw source", "larkspine.webpoet"]),
    (ls.selector_node_identity, "(queries)", ["(pinned_tag, can_match_a_synthesized_frame)"]),
    (ls.resolve_label, "(label)", ["WHATWG", "canonical encoding name", "None if"]),
    (ls.detect_encoding, "(html, encoding=None)", ["WHATWG canonical name", '"UTF-8" without sniffing']),
    (ls._join_links, "(links, base, https, origin, directory, fragmentless)", ["Private:", "urllib.parse.urljoin", "None where"]),
    (ls._records_text, "(batch, format, *, escape_formulas=True, row_ends=False)", ["Private:", "one JSON object per line", "(text, ends)"]),
    (ls.Plan.extract, "($self, html, encoding=None)", ["one value-column per flat query", "released"]),
    (ls.Plan.extract_grouped, "($self, html, encoding=None)", ["(flat_columns, grouped)", "releases"]),
])
def test_docstrings_carry_signature_and_body(fn, signature, phrases):
    assert fn.__text_signature__ == signature
    doc = " ".join(fn.__doc__.split())
    for phrase in phrases:
        assert phrase in doc


def test_plan_class_doc():
    doc = " ".join(ls.Plan.__doc__.split())
    assert "compiled once and reused across pages" in doc
    assert "LarkPage" in doc and "ValueError" in doc


# Python functions with the same signatures: the interpreter's own binding
# errors are the reference for ours.
def extract(html, queries, encoding=None): ...
def extract_grouped(html, flat_queries, groups, encoding=None): ...
def audit_schema(flat_queries, groups): ...
def resolve_label(label): ...
def detect_encoding(html, encoding=None): ...
class Plan:
    def extract(self, html, encoding=None): ...

BINDING_CASES = [
    ("extract", (), {}),
    ("extract", (b"",), {}),
    ("extract", (b"", [], None, 1), {}),
    ("extract", (b"", [], None, 1, 2), {}),
    ("extract", (b"",), {"html": b""}),
    ("extract", (b"", []), {"queries": []}),
    ("extract", (b"", []), {"bogus": 1}),
    ("extract", (), {"queries": []}),
    ("extract_grouped", (), {}),
    ("extract_grouped", (b"",), {"encoding": None}),
    ("extract_grouped", (b"", [], [], None, None), {}),
    ("audit_schema", ([],), {}),
    ("audit_schema", ([], [], []), {}),
    ("resolve_label", (), {}),
    ("resolve_label", ("a", "b"), {}),
    ("resolve_label", (), {"lable": "a"}),
    ("detect_encoding", (b"", None, None), {}),
    ("detect_encoding", (), {"encoding": None}),
]


def _message(fn, args, kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)


@pytest.mark.parametrize("name, args, kwargs", BINDING_CASES)
def test_binding_errors_match_the_interpreter(name, args, kwargs):
    assert _message(getattr(ls, name), args, kwargs) == _message(globals()[name], args, kwargs)


@pytest.mark.parametrize("args, kwargs", [((), {}), ((b"", None, 3), {}), ((b"",), {"html": b""}), ((), {"x": 1})])
def test_method_binding_errors_match_the_interpreter(args, kwargs):
    ours = _message(ls.Plan([], []).extract, args, kwargs)
    reference = _message(Plan().extract, args, kwargs)
    assert ours == reference


def test_every_parameter_accepts_keywords():
    assert ls.extract(html=b"<p>x</p>", queries=["p::text"], encoding=None) == [["x"]]
    assert ls.extract_grouped(encoding="utf-8", groups=[], flat_queries=[], html=b"") == ([], [])
    assert ls.resolve_label(label="utf8") == "UTF-8"
    assert ls.detect_encoding(encoding=None, html=b"") == "UTF-8"
    plan = ls.Plan(groups=[], flat_queries=["p"], first_only=None)
    assert plan.extract(encoding=None, html=b"<p>y") == [["<p>y"]]


HTML_TYPE_MESSAGE = ("larkspine: html must be bytes (preferred - the engine tokenizes raw bytes) or str "
                     "(already-decoded text, e.g. a browser snapshot), got {}. For a bytearray/memoryview "
                     "use the larkspine.extract wrapper, which converts them.")


@pytest.mark.parametrize("value, type_name", [
    (bytearray(b"x"), "bytearray"), (memoryview(b"x"), "memoryview"), (None, "NoneType"),
    (3, "int"), ("\ud800", "str"),
])
@pytest.mark.parametrize("call", [
    lambda h: ls.extract(h, []),
    lambda h: ls.extract_grouped(h, [], []),
    lambda h: ls.detect_encoding(h),
    lambda h: ls.Plan([], []).extract(h),
    lambda h: ls.Plan([], []).extract_grouped(h),
])
def test_html_type_error(call, value, type_name):
    with pytest.raises(TypeError) as info:
        call(value)
    assert str(info.value) == HTML_TYPE_MESSAGE.format(type_name)
    assert info.value.__notes__ == ["while processing 'html'"]


class Body(bytes):
    pass


class Text(str):
    pass


def test_bytes_and_str_subclasses_are_accepted():
    assert ls.extract(Body(b"<p>x</p>"), ["p::text"]) == [["x"]]
    assert ls.extract(Text("<p>x</p>"), ["p::text"]) == [["x"]]


@pytest.mark.parametrize("call, param, message", [
    (lambda: ls.extract(b"", "p"), "queries", "Can't extract `str` to `Vec`"),
    (lambda: ls.extract(b"", 5), "queries", "'int' object cannot be converted to 'Sequence'"),
    (lambda: ls.extract(b"", [b"p"]), "queries", "'bytes' object cannot be converted to 'str'"),
    (lambda: ls.extract(b"", ["p"], encoding=1), "encoding", "'int' object cannot be converted to 'str'"),
    (lambda: ls.extract_grouped(b"", "p", []), "flat_queries", "Can't extract `str` to `Vec`"),
    (lambda: ls.extract_grouped(b"", [], "g"), "groups", "Can't extract `str` to `Vec`"),
    (lambda: ls.extract_grouped(b"", [], [["div", []]]), "groups", "'list' object cannot be converted to 'tuple'"),
    (lambda: ls.extract_grouped(b"", [], [("div",)]), "groups", "expected tuple of length 2, but got tuple of length 1"),
    (lambda: ls.extract_grouped(b"", [], [("div", [], 1)]), "groups", "expected tuple of length 2, but got tuple of length 3"),
    (lambda: ls.extract_grouped(b"", [], [(1, [])]), "groups", "'int' object cannot be converted to 'str'"),
    (lambda: ls.extract_grouped(b"", [], [("div", "a")]), "groups", "Can't extract `str` to `Vec`"),
    (lambda: ls.extract_grouped(b"", [], [("div", [("name",)])]), "groups", "expected tuple of length 2, but got tuple of length 1"),
    (lambda: ls.extract_grouped(b"", [], [("div", [("name", 2)])]), "groups", "'int' object cannot be converted to 'str'"),
    (lambda: ls.audit_schema("q", []), "flat_queries", "Can't extract `str` to `Vec`"),
    (lambda: ls.selector_terminals("q"), "queries", "Can't extract `str` to `Vec`"),
    (lambda: ls.selector_node_identity("q"), "queries", "Can't extract `str` to `Vec`"),
    (lambda: ls.resolve_label(None), "label", "'NoneType' object cannot be converted to 'str'"),
    (lambda: ls.Plan("p", []), "flat_queries", "Can't extract `str` to `Vec`"),
    (lambda: ls.Plan([], [], first_only="x"), "first_only", "Can't extract `str` to `Vec`"),
    (lambda: ls.Plan(["a"], [], first_only=[1]), "first_only", "'int' object cannot be converted to 'bool'"),
    (lambda: ls.Plan(["a"], [], first_only=3), "first_only", "'int' object cannot be converted to 'Sequence'"),
])
def test_conversion_errors_name_their_parameter(call, param, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{param}'"]


def test_sequences_other_than_lists_are_accepted():
    assert ls.extract(b"", ("a", "b")) == [[], []]
    assert ls.extract_grouped(b"", [], (("div", (("x", "a"),)),)) == ([], [[]])


DOC = b"<a>1</a><a>2</a><b>3</b><b>4</b>"


@pytest.mark.parametrize("flags, expected", [
    ([True, False, True], [["1"], ["3", "4"]]),   # an extra flag is ignored
    ([], [["1", "2"], ["3", "4"]]),
    ((False, True), [["1", "2"], ["3"]]),
])
def test_first_only_accepts_sequences_of_bools(flags, expected):
    assert ls.Plan(["a::text", "b::text"], [], first_only=flags).extract(DOC) == expected


def test_first_only_accepts_numpy_booleans():
    numpy = pytest.importorskip("numpy")
    plan = ls.Plan(["a::text", "b::text"], [], first_only=[numpy.bool_(False), numpy.True_])
    assert plan.extract(DOC) == [["1", "2"], ["3"]]
    plan = ls.Plan(["a::text", "b::text"], [], first_only=numpy.array([True, False]))
    assert plan.extract(DOC) == [["1"], ["3", "4"]]


# --- labels -----------------------------------------------------------------

LABEL_ERROR = ('larkspine: html is already-decoded str (tokenized as UTF-8), but encoding={} resolves to {}, '
               'which would decode those bytes wrongly \u2014 pass the original bytes with the label, or drop the label.')


@pytest.mark.parametrize("label, quoted, resolved", [
    ("latin-1", '"latin-1"', "windows-1252"),
    ("utf-16", '"utf-16"', "UTF-16LE"),
    ("latin_1", '"latin_1"', "windows-1252"),      # known to Python's codecs only
    ("cp1251", '"cp1251"', "windows-1251"),
    (" Shift_JIS ", '" Shift_JIS "', "Shift_JIS"),
    ('x"\\\n\t\x01', None, None),                  # not a label: accepted
    ("koi8_r", '"koi8_r"', "KOI8-R"),
])
@pytest.mark.parametrize("call", [
    lambda enc: ls.extract("<p>é</p>", ["p"], encoding=enc),
    lambda enc: ls.extract_grouped("<p>é</p>", [], [], encoding=enc),
    lambda enc: ls.detect_encoding("<p>é</p>", enc),
    lambda enc: ls.Plan([], []).extract("<p>é</p>", enc),
])
def test_str_with_a_foreign_label_is_refused(call, label, quoted, resolved):
    if resolved is None:
        call(label)
        return
    with pytest.raises(ValueError) as info:
        call(label)
    assert str(info.value) == LABEL_ERROR.format(quoted, resolved)


def test_label_debug_quoting_escapes_controls():
    # codecs knows "latin_1" only; the same name with escapes is unknown to both,
    # so construct a label that the WHATWG table knows after trimming.
    with pytest.raises(ValueError) as info:
        ls.extract("x", [], encoding='\tlatin1\n')
    assert 'encoding="\\tlatin1\\n" resolves to windows-1252' in str(info.value)


@pytest.mark.parametrize("label", ["utf-8", "utf8", "UTF-8", "unicode-1-1-utf-8", "no-such-label", None, "utf_8"])
def test_str_with_utf8_or_unknown_label_is_accepted(label):
    # The str is scanned as UTF-8 whatever the label or <meta> says.
    assert ls.extract("<meta charset=koi8-r><p>é</p>", ["p::text"], encoding=label) == [["é"]]
    assert ls.detect_encoding("<meta charset=koi8-r>", label) == "UTF-8"


def test_bytes_with_an_unknown_label_is_ignored():
    assert ls.extract(b"<p>\xe9</p>", ["p::text"], encoding="no-such-label") == [["\ufffd"]]
    assert ls.extract(b"<p>\xe9</p>", ["p::text"], encoding="latin1") == [["é"]]
    assert ls.detect_encoding(b"<meta charset=koi8-r>", "no-such-label") == "KOI8-R"


@pytest.mark.parametrize("label, expected", [
    (" UTF8 ", "UTF-8"), ("latin1", "windows-1252"), ("nope", None), ("", None),
    ("\x0cKOI8-R\r", "KOI8-R"), ("x-user-defined", "x-user-defined"), ("utf-16", "UTF-16LE"),
    ("latin_1", None), ("\u00a0utf8", None), ("csiso2022jp", "ISO-2022-JP"), ("GB2312", "GBK"),
])
def test_resolve_label(label, expected):
    assert ls.resolve_label(label) == expected


# --- budget -----------------------------------------------------------------

MEMBERS_MESSAGE = ("larkspine: schema has {} member selectors, over the limit of 128 (each comma-group "
                   "member and each group container counts as one). Split the schema.")


@pytest.mark.parametrize("call", [
    lambda q: ls.extract(b"", q),
    lambda q: ls.extract_grouped(b"", q, []),
    lambda q: ls.Plan(q, []),
])
def test_member_budget(call):
    assert call(["p"] * 128) is not None
    with pytest.raises(ValueError) as info:
        call(["p"] * 129)
    assert str(info.value) == MEMBERS_MESSAGE.format(129)
    with pytest.raises(ValueError) as info:
        call(["::nope"] * 200)  # queries that compile to nothing still count
    assert str(info.value) == MEMBERS_MESSAGE.format(200)


def test_budget_comes_before_the_label_check():
    with pytest.raises(ValueError, match="member selectors"):
        ls.extract("x", ["p"] * 129, encoding="latin-1")
    with pytest.raises(ValueError, match="member selectors"):
        ls.extract_grouped("x", ["p"] * 129, [], encoding="latin-1")


@pytest.mark.parametrize("flat, groups, usage", [
    (["p"] * 3, [("div", [("a", "b")])], (4, 0)),       # a container counts, sub-fields do not
    ([], [], (0, 0)),
    (["a, b, c"], [], (3, 0)),
    (["a + b ~ c"], [], (1, 2)),
    (["//a | //b"], [], (2, 0)),
    (["::nope", "a"], [], (2, 0)),                     # never fewer than the number of columns
    (["a, b"] * 2, [], (4, 0)),
    ([], [("a + b", [("x", "c ~ d")])], (1, 1)),        # sub-field combinators do not count
    ([], [("a, b", [])], (0, 0)),                      # a comma group is no container
    (["div:has(a + b)"], [], (1, 0)),
])
def test_budget_counts(testing, flat, groups, usage):
    assert testing.budget(flat, groups) == usage


def test_sibling_budget():
    query = ", ".join(["a + b"] * 13)  # 13 members, 13 bits
    ls.extract(b"", [query] * 4 + ["a + b ~ c ~ d ~ e"] * 3)  # 52 + 12 = 64 bits: accepted
    with pytest.raises(ValueError) as info:
        ls.extract(b"", [query] * 5)  # 65 bits
    assert str(info.value) == ("larkspine: schema needs 65 sibling-combinator trigger bits, over the limit "
                               "of 64. Reduce the number of `+`/`~` selectors.")
    with pytest.raises(ValueError, match="member selectors"):  # members are checked first
        ls.extract(b"", [query] * 10)


# --- results and plans ------------------------------------------------------

@pytest.mark.parametrize("html", [b"", b"   \n\t", "", "<i>x</i>", b"\xef\xbb\xbf", b"\x00\x00"])
def test_result_shapes(html):
    assert ls.extract(html, ["p", "a"]) == [[], []]
    assert ls.extract(html, []) == []
    flat, grouped = ls.extract_grouped(html, ["p"], [("div", [("a", "a"), ("b", "b")]), ("li", [])])
    assert flat == [[]] and grouped == [[], []]


def test_plan_basics():
    plan = ls.Plan([], [])
    assert plan.extract(b"<p>x</p>") == []
    assert plan.extract_grouped(b"<p>x</p>") == ([], [])
    assert ls.Plan.extract(plan, b"<p>x</p>") == []
    with pytest.raises(TypeError):
        ls.Plan.extract(object(), b"")
    with pytest.raises(ValueError):  # the plan stays usable after a refused call
        plan.extract("x", "latin-1")
    assert plan.extract("x") == []


def test_internal_fault_is_a_base_exception(testing):
    with pytest.raises(BaseException) as info:
        testing.internal_fault()
    assert not isinstance(info.value, Exception)
    assert str(info.value).startswith("larkspine: internal fault: invariant failed")


def test_document_size_limit(testing):
    assert testing.check_prepared_size(2**32 - 1) is None
    with pytest.raises(ValueError) as info:
        testing.check_prepared_size(2**32)
    assert str(info.value).startswith("larkspine: ")
    assert "4294967296" in str(info.value) and "4294967295" in str(info.value)


def test_threads_agree_with_sequential_calls():
    docs = [b"<p>%d</p>" % i * 200 for i in range(16)] + ["<div>x</div>" * 500]
    queries = ["p::text", "div", "//p/text()"]
    plan = ls.Plan(queries, [("div", [("t", "text()")])])
    expected = [(ls.extract(d, queries), plan.extract_grouped(d)) for d in docs]
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        got = list(pool.map(lambda d: (ls.extract(d, queries), plan.extract_grouped(d)), docs * 4))
    assert got == expected * 4


def test_the_main_job():
    html = b"<html><head><title>T</title></head><body><h1>Hi</h1><a href='/x'>x</a></body></html>"
    assert ls.extract(html, ["h1::text", "//title/text()", "a::attr(href)", "h1"]) == [
        ["Hi"], ["T"], ["/x"], ["<h1>Hi</h1>"]]


def test_introspection_of_queries_that_do_not_compile():
    queries = ["p::first-line", "", "//a[1 + 1]"]
    assert ls.selector_terminals(queries) == [None, None, None]
    assert ls.selector_node_identity(queries) == [(None, True)] * 3
    assert ls.selector_terminals([]) == []
