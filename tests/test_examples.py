"""The example spiders: the larkspine spider exports what the parsel spider exports, over
generated pages served as file:// URLs (a catalog in two pages, one with <base href>, and
products in several encodings)."""
import json
import os
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("scrapy")
pytest.importorskip("scrapy_poet")
pytest.importorskip("web_poet")

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"

TEAS = [
    ("Sencha", "utf-8", "12.50", ["green", "steamed"], [(50, "6.00"), (100, "11.00")]),
    ("Genmaicha &amp; rice", "utf-8", "8.00", ["green"], []),
    ("Hojicha", "utf-8", None, [], [(250, "19.90")]),
    ("Иван-чай", "windows-1251", "5.10", ["травяной"], [(40, "5.10")]),
    ("玉露", "shift_jis", "31.00", ["緑茶", "高級"], [(30, "31.00")]),
    ("Kukicha", "utf-8", "7.25", ["twig"], [(100, "7.25"), (500, None)]),
]


def _product(name, charset, price, tags, sizes):
    rows = "".join(
        f"<tr class=size><td class=grams>{g}</td>" + (f"<td class=price>{p}</td>" if p else "<td>-</td>")
        for g, p in sizes
    )
    price_html = f"<span class=price>{price}</span>" if price else "<span>sold out</span>"
    tag_html = "".join(f"<li>{t}" for t in tags)
    return (
        f"<!DOCTYPE html><html><head><meta charset={charset}><title>{name}</title></head><body>"
        f"<h1>  {name}\n</h1>{price_html}<ul class=tags>{tag_html}</ul>"
        f"<img class=photo src='../img/{len(name)}.jpg'><table>{rows}</table></body></html>"
    ).encode(charset)


def _site(root):
    catalog = root / "shop" / "catalog"
    catalog.mkdir(parents=True)
    links = []
    for i, tea in enumerate(TEAS):
        (catalog / f"tea{i}.html").write_bytes(_product(*tea))
        links.append(f"tea{i}.html")
    # Page one resolves its links against <base href>; page two against its own URL.
    first = "".join(f"<li class=product><a href='{h}'>{h}</a>" for h in links[:3])
    second = "".join(f"<li class=product><a href='catalog/{h}'>{h}</a>" for h in links[2:])
    (root / "shop" / "index.html").write_text(
        "<html><head><base href='catalog/'></head><body><h1> Teas, page 1 </h1>"
        f"<ul>{first}</ul><a rel=next href='../page2.html'>next</a></body></html>")
    (root / "shop" / "page2.html").write_text(f"<h1>Teas, page 2</h1><ul>{second}</ul>")
    return (root / "shop" / "index.html").as_uri()


def _crawl(spider, start, out):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in (os.environ.get("PYTHONPATH"), str(EXAMPLES)) if p))
    result = subprocess.run(
        [sys.executable, "-m", "scrapy", "runspider", str(EXAMPLES / spider), "-a", f"start={start}",
         "-o", str(out), "-s", "LOG_LEVEL=ERROR", "-s", "TELNETCONSOLE_ENABLED=False"],
        capture_output=True, text=True, timeout=300, cwd=out.parent, env=env,
    )
    assert result.returncode == 0, result.stderr
    assert "Traceback" not in result.stderr, result.stderr
    return sorted((json.loads(line) for line in out.read_text().splitlines()), key=lambda r: json.dumps(r, sort_keys=True))


def test_the_larkspine_spider_exports_what_the_parsel_spider_exports(tmp_path):
    start = _site(tmp_path)
    ours = _crawl("tea_shop_spider.py", start, tmp_path / "larkspine.jsonl")
    theirs = _crawl("tea_shop_parsel.py", start, tmp_path / "parsel.jsonl")
    assert ours == theirs
    catalogs = [r for r in ours if "products" in r]
    products = [r for r in ours if "name" in r]
    assert len(catalogs) == 2 and len(products) == len(TEAS)
    shop = (tmp_path / "shop").as_uri()
    assert {r["heading"] for r in catalogs} == {"Teas, page 1", "Teas, page 2"}
    assert sorted({p for r in catalogs for p in r["products"]}) == [f"{shop}/catalog/tea{i}.html" for i in range(len(TEAS))]
    assert [p["price"] for p in products if p["name"] == "Hojicha"] == [None]
    assert {p["name"] for p in products} == {"Sencha", "Genmaicha & rice", "Hojicha", "Иван-чай", "玉露", "Kukicha"}
    assert {p["image"] for p in products} == {f"{shop}/img/{len(t[0])}.jpg" for t in TEAS}


def test_the_shipped_shop_is_what_the_generated_one_is_and_both_spiders_agree_on_it(tmp_path):
    # The pages in examples/tea_shop/ are the ones this module generates, so the checks
    # above hold for what a reader runs the spider on.
    _site(tmp_path)
    shipped = EXAMPLES / "tea_shop"
    made = tmp_path / "shop"
    names = sorted(p.relative_to(made).as_posix() for p in made.rglob("*.html"))
    assert names == sorted(p.relative_to(shipped).as_posix() for p in shipped.rglob("*.html"))
    for name in names:
        assert (shipped / name).read_bytes() == (made / name).read_bytes(), name
    start = (shipped / "index.html").as_uri()
    ours = _crawl("tea_shop_spider.py", start, tmp_path / "larkspine.jsonl")
    assert ours == _crawl("tea_shop_parsel.py", start, tmp_path / "parsel.jsonl")
    assert len(ours) == 2 + len(TEAS)
