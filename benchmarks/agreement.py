#!/usr/bin/env python3
"""Agreement with parsel (lxml) over every page of ../shared/corpus/articles,
per query family, with the same generated queries as the differential tests.

Usage: python benchmarks/agreement.py [--pages N]
"""
import argparse
import collections
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

import parsel  # noqa: E402

import _larkspine as ls  # noqa: E402
from tests import differential as D  # noqa: E402
from tests.test_differential import explained  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--pages", type=int, default=None)
    args = ap.parse_args()
    stats, agree, documented = collections.Counter(), collections.Counter(), collections.Counter()
    pages = D.pages(args.pages)
    for i, (name, text) in enumerate(pages):
        sel = parsel.Selector(text=text)
        queries = D.generate(sel.root, seed=i)
        values = []
        for j in range(0, len(queries), 32):
            values += ls.extract(text, [q for _, q in queries[j:j + 32]])
        for (family, query), got in zip(queries, values):
            expected = D.parsel_values(sel, query)
            stats[family] += 1
            if got == expected:
                agree[family] += 1
            elif explained(got, expected, sel, query):
                documented[family] += 1
            else:
                print("DIFFERENT", name, repr(query), got[:3], expected[:3])
    print(f"{len(pages)} pages, {sum(stats.values())} queries compared")
    print(f"{'family':28}{'equal':>8}{'documented':>12}{'other':>7}{'total':>7}{'agree':>9}")
    for f in sorted(stats):
        other = stats[f] - agree[f] - documented[f]
        print(f"{f:28}{agree[f]:>8}{documented[f]:>12}{other:>7}{stats[f]:>7}{agree[f] / stats[f]:>9.2%}")
    t, a, d = sum(stats.values()), sum(agree.values()), sum(documented.values())
    print(f"{'all':28}{a:>8}{d:>12}{t - a - d:>7}{t:>7}{a / t:>9.2%}")


if __name__ == "__main__":
    main()
