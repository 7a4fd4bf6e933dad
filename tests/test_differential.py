"""Differential tests against parsel (lxml) on the real pages of the shared
corpus: the engine's column must equal parsel's getall() for every supported
query family. Outer-HTML values are left out (parsel re-serialises its tree;
the engine returns source text). Skips when parsel or ../shared is absent."""
import collections

import pytest

import _larkspine as ls
from tests import differential as D

parsel = pytest.importorskip("parsel")

if not D.CORPUS.is_dir():
    pytest.skip("../shared/corpus/articles is not present", allow_module_level=True)

PAGES = 60  # a fixed sample keeps the suite fast; benchmarks/agreement.py runs all


def explained(got, expected, sel, query):
    # Documented difference: whitespace-only text nodes before <body> (inside
    # <head> or directly in <html>) that libxml2 2.14 keeps and this engine
    # drops, as libxml2's HTML parser did before. Such a mismatch disappears
    # once whitespace is set aside.
    squash = lambda values: "".join("".join(v.split()) for v in values)  # noqa: E731
    if squash(got) == squash(expected):
        return True
    # normalize-space() of a node-set takes its first node; when lxml's first
    # text node is such a whitespace node, its value is the empty string.
    if query.startswith("normalize-space(") and expected == [""]:
        first = sel.xpath(query[len("normalize-space("):-1]).get()
        return first is not None and not first.strip()
    return False


@pytest.fixture(scope="module")
def comparison():
    stats, agree, unexplained = collections.Counter(), collections.Counter(), []
    for i, (name, text) in enumerate(D.pages(PAGES)):
        sel = parsel.Selector(text=text)
        queries = D.generate(sel.root, seed=i)
        values = []
        for j in range(0, len(queries), 32):  # stay within the member budget
            values += ls.extract(text, [q for _, q in queries[j:j + 32]])
        for (family, query), got in zip(queries, values):
            expected = D.parsel_values(sel, query)
            stats[family] += 1
            if got == expected:
                agree[family] += 1
            elif not explained(got, expected, sel, query):
                unexplained.append((name, query, got[:3], expected[:3]))
    return stats, agree, unexplained


def test_agreement_with_parsel(comparison):
    stats, agree, unexplained = comparison
    total = sum(stats.values())
    assert total > 5000
    assert sum(agree.values()) / total >= 0.99
    assert not unexplained, unexplained[:10]


def test_every_family_agrees(comparison):
    stats, agree, _ = comparison
    for family, n in stats.items():
        assert agree[family] / n >= 0.9, (family, agree[family], n)
