#!/usr/bin/env python3
"""Whether two builds of the module give the same answers: every schema of
ab.py, each as declared and with every query first-only, on every page of
the corpus folders given (../shared/corpus/articles and dense by default).
The check to run before measuring a change to the matcher's speed.

Usage: python benchmarks/same_answers.py OLD_DIR NEW_DIR [--corpus NAME ...]
Exit status 1, with the schema, corpus and page named, when an answer differs.
"""
import argparse
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import ab  # noqa: E402
import compare  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--corpus", nargs="+", default=["articles", "dense"])
    ap.add_argument("--corpus-root", type=pathlib.Path, default=compare.SHARED_CORPUS)
    args = ap.parse_args()
    old, new = ab.load(args.old), ab.load(args.new)
    checked = 0
    for corpus in args.corpus:
        pages = compare.load(args.corpus_root / corpus)
        for name, (queries, first) in ab.SCHEMAS.items():
            for first_only in sorted({first, True}):
                plans = [m.Plan(queries, [], first_only=[first_only] * len(queries)) for m in (old, new)]
                for i, page in enumerate(pages):
                    if plans[0].extract(page) != plans[1].extract(page):
                        sys.exit(f"{name} (first-only {first_only}), {corpus} page {i}: answers differ")
                    checked += 1
    print(f"same answers: {checked} extractions over {', '.join(args.corpus)}")


if __name__ == "__main__":
    main()
