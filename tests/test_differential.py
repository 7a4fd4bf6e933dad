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
