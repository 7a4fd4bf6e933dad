"""Schemas and Page classes: declarations, records, inheritance, pickling, threads and processes."""
import concurrent.futures
import copy
import multiprocessing
import pathlib
import pickle
import subprocess
import sys

import pytest

import _larkspine
import larkspine
from larkspine import Page, Schema, field, group
from tests.pages_for_tests import Sale, Shop, extract_in_worker

ROOT = pathlib.Path(__file__).resolve().parent.parent

HTML = (b"<title>Sale</title><h1>Offers</h1><a href=/tea>tea</a><a href=/jam>jam</a>"
        b"<ul><li class=offer><b>Tea</b><span class=price>3.5</span>"
        b"<li class=offer><b>Jam</b><li>plain</ul><p class=banner> Half price </p>")
SHOP = {
    "title": "Offers",
    "links": ["/tea", "/jam"],
    "offers": [{"name": "Tea", "price": 3.5}, {"name": "Jam", "price": None}],
}


def test_a_page_is_one_record():
    page = Shop(HTML, url="http://shop.example/")
    assert page.to_dict() == SHOP
    assert list(page.to_dict()) == ["title", "links", "offers"]
    assert (page.title, page.links, page.url) == ("Offers", ["/tea", "/jam"], "http://shop.example/")
    assert repr(page).startswith("Shop(title='Offers', links=['/tea', '/jam'], offers=[")


def test_the_class_is_compiled_once_into_its_plan():
    plan = Shop.__schema__.plan
    assert isinstance(plan, _larkspine.Plan)
    assert plan.flat_queries == ("h1::text", "a::attr(href)")
    assert plan.first_only == (True, False)
    assert plan.groups == (("li.offer", (("name", "b::text"), ("price", ".price::text"))),)
    assert Shop(HTML).__schema__.plan is plan


def test_a_subclass_overrides_and_adds_fields_with_its_own_plan():
    assert Sale(HTML).to_dict() == {**SHOP, "title": "Sale", "banner": " Half price "}
    assert list(Sale.__schema__.fields) == ["title", "links", "offers", "banner"]
    assert Sale.__schema__.plan is not Shop.__schema__.plan
    assert Shop(HTML).title == "Offers"  # the base is unchanged

    class NoLinks(Shop):
        links = None  # a plain attribute removes an inherited field

    assert "links" not in NoLinks(HTML).to_dict()


EMPTY = b"<p>nothing here</p>"


@pytest.mark.parametrize("decl, on_page, on_empty", [
    (field("li b::text"), ["Tea", "Jam"], []),
    (field("li b::text", first=True), "Tea", None),
    (field("li b::text", first=True, default=""), "Tea", ""),
    (field("li b::text", default=["?"]), ["Tea", "Jam"], ["?"]),
    (field("li b::text", each=str.upper), ["TEA", "JAM"], []),
    (field("li b::text", first=True, each=str.lower), "tea", None),
    (field("li b::text", out=", ".join), "Tea, Jam", []),
    (field("li b::text", each=[str.lower, str.title, len]), [3, 3], []),
    (field("li b::text", out=[", ".join, str.upper, lambda s, url: f"{s}@{url}"]), "TEA, JAM@http://s", []),
    (field("li b::text", first=True, out=len, default=0), 3, 0),
    (field(".price::text", first=True, each=float, out=lambda v: v * 2), 7.0, None),
    (field("a::attr(href)", each=lambda href, url: url + href), ["http://s/tea", "http://s/jam"], []),
    (field("a::attr(href)", first=True, out=lambda href, url: (url, href)), ("http://s", "/tea"), None),
    (group("li.offer", name="b::text"), [{"name": ["Tea"]}, {"name": ["Jam"]}], []),
    (group("li.offer", name=field("b::text", first=True), first=True), {"name": "Tea"}, None),
    (group("li", {"first": "b::text"}, out=len), 3, []),
    ("h1::text", ["Offers"], []),
])
def test_field_declarations(decl, on_page, on_empty):
    schema = Schema({"f": decl})
    assert schema.extract(HTML, url="http://s") == {"f": on_page}
    assert schema.extract(EMPTY, url="http://s") == {"f": on_empty}


def test_first_sets_the_plans_first_only_flag_and_stops_early():
    schema = Schema({"title": field("title::text", first=True), "h1": field("h1::text", first=True)})
    assert schema.plan.first_only == (True, True)
    # A document that never ends its <title> would be read to the end without the early stop;
    # with it, what comes later cannot change the answer.
    assert schema.extract(b"<title>a</title><h1>b</h1><h1>c</h1>") == {"title": "a", "h1": "b"}


def _define(body):
    return type("Bad", (Page,), body)


@pytest.mark.parametrize("make, error, message", [
    (lambda: _define({"to_dict": field("p")}), TypeError, "clashes with a Page attribute"),
    (lambda: _define({"url": field("p")}), TypeError, "clashes with a Page attribute"),
    (lambda: _define({"from_response": field("p")}), TypeError, "clashes with a Page attribute"),
    (lambda: _define({"_hidden": field("p")}), TypeError, "private"),
    (lambda: group("li"), ValueError, "has no sub-fields"),
    (lambda: group("li", {"a": "b"}, a="c"), ValueError, "given twice"),
    (lambda: group("li", {"not an id": "b"}), ValueError, "not an identifier"),
    (lambda: group("li", x=3), TypeError, "must be a query str or a field"),
    (lambda: field(3), TypeError, "query must be a str"),
    (lambda: field("p", first="yes"), TypeError, "first must be a bool"),
    (lambda: field("p", each="strip"), TypeError, "each must be a callable"),
    (lambda: field("p", out=[str.strip, "float"]), TypeError, "out must be a callable, a list"),
    (lambda: group("li", a="b", out=3), TypeError, "out must be a callable"),
    (lambda: Schema({"x": 3}), TypeError, "must be a query str, field"),
    (lambda: Schema(["p"]), TypeError, "must be a mapping"),
    (lambda: Schema({"a b": "p"}), ValueError, "not an identifier"),
    (lambda: _define({f"f{i}": field(f"p{i}::text") for i in range(129)}), ValueError, "budget|128"),
    (lambda: _define({"a": field("p::first-line")}) and type("S", (Page,), {"a": field("p::first-line")}, strict=True),
     ValueError, "p::first-line"),
])
def test_bad_declarations_fail_when_the_class_is_defined(make, error, message):
    with pytest.raises(error, match=message):
        make()


def test_strict_classes_list_every_unsupported_query_and_pass_it_on():
    with pytest.raises(ValueError) as info:
        class Strict(Page, strict=True):
            ok = field("h1::text")
            bad = field("p::first-line")
            rows = group("li", last=field("b:nth-last-child(2)::text"), sib=field("a + b::text"))

    message = str(info.value)
    assert "3 unsupported" in message
    for name in ("bad = 'p::first-line'", "rows.sib", "rows.last"):
        assert name in message

    class Lenient(Page, strict=True):
        ok = field("h1::text")

    with pytest.raises(ValueError, match="p::first-line"):
        class Child(Lenient):  # strictness is inherited
            bad = field("p::first-line")


@pytest.mark.parametrize("call, message", [
    (lambda: Shop(42), "html must be bytes, str or a bytes-like"),
    (lambda: Shop(HTML, url=b"http://x"), "url must be a str"),
    (lambda: Shop(HTML, encoding=1251), "encoding must be a str"),
    (lambda: Shop(HTML, encoding="no-such-charset"), "unknown encoding 'no-such-charset'"),
    (lambda: Shop.from_response(HTML), "expected a response with a .body"),
])
def test_bad_arguments_name_what_is_accepted(call, message):
    with pytest.raises((TypeError, ValueError), match=message):
        call()


def test_from_response_reads_a_scrapy_response():
    http = pytest.importorskip("scrapy.http")
    body = "<h1>Ａ社の商品</h1><a href=/a>a</a>".encode("cp932")
    response = http.HtmlResponse("http://shop.example/", body=body, headers={"Content-Type": "text/html; charset=cp932"})
    page = Shop.from_response(response)
    assert page.title == response.css("h1::text").get() == "Ａ社の商品"
    assert page.url == "http://shop.example/"


def test_pages_schemas_and_plans_pickle_and_copy():
    page = Sale(HTML, url="u")
    for obj in (page, Sale.__schema__, Shop.__schema__.plan, field("p", first=True), group("li", a="b")):
        back = pickle.loads(pickle.dumps(obj))
        assert back == obj or repr(back) == repr(obj)
    assert pickle.loads(pickle.dumps(page)).url == "u"
    plan = Sale.__schema__.plan
    assert copy.copy(plan) is plan and copy.deepcopy(plan) is plan
    rebuilt = pickle.loads(pickle.dumps(plan))
    assert rebuilt.extract_grouped(HTML) == plan.extract_grouped(HTML)
    assert (rebuilt.flat_queries, rebuilt.groups, rebuilt.first_only) == (plan.flat_queries, plan.groups, plan.first_only)


@pytest.mark.parametrize("args, text", [
    ((["h1::text"], []), "Plan(('h1::text',), ())"),
    ((["a", "b"], [], [False, True, True]), "Plan(('a', 'b'), (), first_only=(False, True))"),
    (([], [("li", [("n", "b")])], []), "Plan((), (('li', (('n', 'b'),)),))"),
])
def test_plan_repr_shows_its_schema(args, text):
    plan = _larkspine.Plan(*args)
    assert repr(plan) == text
    back = eval(repr(plan), {"Plan": _larkspine.Plan})
    assert (back.flat_queries, back.groups, back.first_only) == (plan.flat_queries, plan.groups, plan.first_only)


def test_a_plan_without_flags_round_trips_without_flags():
    assert _larkspine.Plan(["a"], []).__reduce__()[1] == (("a",), (), None)


def test_worker_processes_receive_page_classes_and_plans():
    bodies = [HTML, HTML.replace(b"Offers", b"Deals"), EMPTY]
    ctx = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=ctx) as pool:
        got = list(pool.map(extract_in_worker, [(Sale, b) for b in bodies]))
        plans = list(pool.map(pickle.loads, [pickle.dumps(Shop.__schema__.plan)] * 2))
    assert got == [Sale(b).to_dict() for b in bodies]
    assert got[1]["offers"] == SHOP["offers"] and got[2]["banner"] == "none"
    assert plans[0].extract(HTML) == Shop.__schema__.plan.extract(HTML)


def test_threads_share_one_page_class():
    bodies = [HTML.replace(b"Offers", f"Deal {i}".encode()) for i in range(64)]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        got = list(pool.map(lambda b: Sale(b).title, bodies * 4))
    assert got == ["Sale"] * 256
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        got = list(pool.map(lambda b: Shop(b).title, bodies * 4))
    assert got == [f"Deal {i}" for i in range(64)] * 4


def test_from_record_restores_a_page():
    page = Shop(HTML)
    assert Shop.from_record(page.to_dict()) == page
    with pytest.raises(ValueError, match="no field"):
        Shop.from_record({"nope": 1})


def test_the_package_exports_what_it_documents():
    for name in larkspine.__all__:
        assert getattr(larkspine, name) is not None


# --- Pages as Scrapy items ------------------------------------------------------------

def test_a_page_is_an_item_that_itemadapter_reads_as_its_record():
    itemadapter = pytest.importorskip("itemadapter")
    page = Shop(HTML, url="http://shop.example/")
    adapter = itemadapter.ItemAdapter(page)
    assert adapter.asdict() == page.to_dict() == SHOP
    assert list(adapter) == list(adapter.field_names()) == ["title", "links", "offers"]
    assert itemadapter.is_item(page) and itemadapter.ItemAdapter.is_item_class(Sale)
    assert itemadapter.ItemAdapter.get_field_names_from_class(Sale) == ["title", "links", "offers", "banner"]
    assert not itemadapter.is_item(Shop.__schema__)  # only pages
    # A pipeline may replace a declared field's value; other names and removals are refused.
    adapter["title"] = "Changed"
    assert page.title == "Changed" and page.to_dict()["title"] == "Changed"
    with pytest.raises(KeyError, match="no field 'price'"):
        adapter["price"] = 1
    with pytest.raises(KeyError, match="keeps every field"):
        del adapter["links"]


@pytest.mark.parametrize("order", [
    "import larkspine, itemadapter",            # the hook registers after itemadapter runs
    "import itemadapter, larkspine",            # registered at once (a Scrapy process)
    "import scrapy, larkspine",
])
def test_the_adapter_is_registered_whichever_is_imported_first(order):
    pytest.importorskip("itemadapter")
    code = (
        "import sys\n"
        f"{order}\n"
        "from tests.pages_for_tests import Shop\n"
        "from itemadapter import ItemAdapter\n"
        "page = Shop(b'<h1>T</h1><a href=/x>x</a>')\n"
        "assert ItemAdapter(page).asdict() == page.to_dict() == {'title': 'T', 'links': ['/x'], 'offers': []}\n"
        "print('ok')\n"
    )
    if "scrapy" in order:
        pytest.importorskip("scrapy")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=ROOT)
    assert result.stdout == "ok\n", result.stderr


def test_importing_larkspine_does_not_import_itemadapter():
    # Importing itemadapter imports Scrapy when it is installed: seconds on every import.
    code = "import sys, larkspine; print('itemadapter' in sys.modules, 'scrapy' in sys.modules)"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=ROOT)
    assert result.stdout == "False False\n", result.stderr


def test_a_response_passed_as_the_document_points_to_from_response():
    http = pytest.importorskip("scrapy.http")
    response = http.HtmlResponse("http://shop.example/", body=HTML)
    with pytest.raises(TypeError, match=r"got HtmlResponse; for a response, use Shop\.from_response\(response\)"):
        Shop(response)
    assert Shop.from_response(response).to_dict() == SHOP
