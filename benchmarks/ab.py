#!/usr/bin/env python3
"""Two builds of the module against each other, in one process, interleaved
page by page over the pages of ../shared/corpus/articles: what a change
bought, measured on the same machine state.

Times are the CPU time of the measuring thread, so that time the thread
spends preempted by other work on a busy machine is not counted.

Each build is a directory holding a _larkspine extension module (a CMake build
directory, say); both are loaded side by side, since the module supports
several instances.

Usage: python benchmarks/ab.py OLD_DIR NEW_DIR [--rounds N] [--corpus articles|dense]
"""
import argparse
import importlib.machinery
import importlib.util
import os
import pathlib
import statistics
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import compare  # noqa: E402  (the schemas and the corpus loader)


def load(directory):
    path = next(pathlib.Path(directory).glob("_larkspine.*so"))
    loader = importlib.machinery.ExtensionFileLoader("_larkspine", str(path))
    spec = importlib.util.spec_from_file_location("_larkspine", str(path), loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


SCHEMAS = {
    "18 queries": ([q for q, _, _ in compare.QUERIES_18], False),
    "15 fields": (compare.ENGINE_QUERIES, False),
    "head-only first-only": ([e for e, _, _ in compare.FIRST_ONLY], True),
    "match-nothing": ([e for e, _, _ in compare.NOTHING], False),
    "close-time": ([e for e, _, _, _ in compare.DEFERRED], False),
}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--rounds", type=int, default=9)
    ap.add_argument("--corpus", default="articles", help="a folder of ../shared/corpus")
    ap.add_argument("--corpus-root", type=pathlib.Path, default=compare.SHARED_CORPUS)
    args = ap.parse_args()
    old, new = load(args.old), load(args.new)
    pages = compare.load(args.corpus_root / args.corpus)
    mb = sum(map(len, pages)) / 1e6
    one, five, _ = os.getloadavg()
    print(f"{len(pages)} pages, {mb:.1f} MB, median of {args.rounds}; load average {one:.2f} / {five:.2f}")
    print(f"{'schema':24}{'old MB/s':>10}{'new MB/s':>10}{'new time':>10}{'(range)':>14}")
    for name, (queries, first) in SCHEMAS.items():
        plans = [m.Plan(queries, [], first_only=[first] * len(queries)) for m in (old, new)]
        assert all(plans[0].extract(p) == plans[1].extract(p) for p in pages), f"{name}: answers differ"
        # Interleaved page by page, alternating which build goes first, so
        # that both see the same machine state even when it changes fast.
        times = ([], [])
        clock = time.thread_time  # this thread's CPU time: preemption by other load is not counted
        for r in range(args.rounds):
            spent = [0.0, 0.0]
            for k, p in enumerate(pages):
                for i in ((0, 1) if (r + k) % 2 == 0 else (1, 0)):
                    start = clock()
                    plans[i].extract(p)
                    spent[i] += clock() - start
            times[0].append(spent[0])
            times[1].append(spent[1])
        ratios = [b / a for a, b in zip(*times)]
        print(f"{name:24}{mb / statistics.median(times[0]):>10.0f}{mb / statistics.median(times[1]):>10.0f}"
              f"{(statistics.median(ratios) - 1) * 100:>+9.1f}%{min(ratios) * 100 - 100:>+7.1f}..{max(ratios) * 100 - 100:+.1f}%")
    one, five, _ = os.getloadavg()
    print(f"after: load average {one:.2f} / {five:.2f}")


if __name__ == "__main__":
    main()
