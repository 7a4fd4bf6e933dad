"""Differential tests against parsel (lxml) on the real pages of the shared
corpus: the engine's column must equal parsel's getall() for every supported
query family. Outer-HTML values are left out (parsel re-serialises its tree;
the engine returns source text). Skips when parsel or ../shared is absent."""
import pytest

import _larkspine as ls
from tests import differential as D

parsel = pytest.importorskip("parsel")

if not D.CORPUS.is_dir():
    pytest.skip("../shared/corpus/articles is not present", allow_module_level=True)

PAGES = 60  # a fixed sample keeps the suite fast; benchmarks/agreement.py runs all


@pytest.fixture(scope="module")
def comparison():
    return D.compare(D.pages(PAGES), ls.extract, parsel.Selector)


def test_agreement_with_parsel(comparison):
    total, equal, _, unexplained = comparison
    n = sum(total.values())
    assert n > 5000
    assert sum(equal.values()) / n >= 0.99
    assert not unexplained, unexplained[:10]


def test_every_family_agrees(comparison):
    total, equal, _, _ = comparison
    for family, n in total.items():
        assert equal[family] / n >= 0.9, (family, equal[family], n)


def test_groups_agree_with_a_parsel_loop():
    rows, mismatches = D.compare_groups(D.pages(30), ls.extract_grouped, parsel.Selector)
    assert rows > 1000
    unexplained = []
    for name, container, got, expected in mismatches:
        for g_row, e_row in zip(got, expected):
            for g, e in zip(g_row, e_row):
                if g != e and not D.explained(g, e, None, ""):
                    unexplained.append((name, container, g[:3], e[:3]))
        if len(got) != len(expected):
            unexplained.append((name, container, len(got), len(expected)))
    assert not unexplained, unexplained[:5]



def test_html_in_many_encodings_agrees():
    # Real HTML documents of the encodings corpus, scanned as bytes with their
    # label, against parsel on the text Python's codec decodes.
    from tests.test_decoders import PYTHON_CODEC, TABLES_DIFFER

    root = D.CORPUS.parent / "encodings"
    compared = 0
    for folder in sorted(root.iterdir()):
        parts = folder.name.split("-")
        enc = next((e for k in range(len(parts), 0, -1) if (e := ls.resolve_label("-".join(parts[:k])))), None)
        codec = PYTHON_CODEC.get(enc) or TABLES_DIFFER.get(enc)
        if not codec or enc.startswith("UTF-16"):
            continue
        for path in sorted(folder.glob("*.html")):
            data = path.read_bytes()
            try:
                text = data.decode(codec)
            except UnicodeDecodeError:
                continue
            sel = parsel.Selector(text=text)
            for query in ("title::text", "a::attr(href)", "p ::text", "td::text"):
                assert ls.extract(data, [query], encoding=enc)[0] == sel.css(query).getall(), (path, query)
                compared += 1
    assert compared >= 40
