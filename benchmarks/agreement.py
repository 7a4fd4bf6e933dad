#!/usr/bin/env python3
"""Agreement with parsel (lxml) over every page of ../shared/corpus/articles,
per query family, with the same generated queries as the differential tests.

Usage: python benchmarks/agreement.py [--pages N]
"""
import argparse
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

import parsel  # noqa: E402

import _larkspine as ls  # noqa: E402
from tests import differential as D  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--pages", type=int, default=None)
    args = ap.parse_args()
    pages = D.pages(args.pages)
    total, equal, documented, unexplained = D.compare(pages, ls.extract, parsel.Selector)
    for name, query, got, expected in unexplained:
        print("DIFFERENT", name, repr(query), got, expected)
    print(f"{len(pages)} pages, {sum(total.values())} queries compared")
    print(f"{'family':28}{'equal':>8}{'documented':>12}{'other':>7}{'total':>7}{'agree':>9}")
    for f in sorted(total):
        other = total[f] - equal[f] - documented[f]
        print(f"{f:28}{equal[f]:>8}{documented[f]:>12}{other:>7}{total[f]:>7}{equal[f] / total[f]:>9.2%}")
    t, a, d = sum(total.values()), sum(equal.values()), sum(documented.values())
    print(f"{'all':28}{a:>8}{d:>12}{t - a - d:>7}{t:>7}{a / t:>9.2%}")


if __name__ == "__main__":
    main()
