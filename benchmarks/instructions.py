#!/usr/bin/env python3
"""Instructions executed by Plan.extract over a corpus, counted by valgrind's
callgrind for two builds of the module: a figure that does not move with the
load of a shared machine, unlike times.

Only what runs inside `ls::Plan::extract` is counted (collection is toggled on
its entry and exit), so interpreter start-up, decompression and result
building are left out. Answers of the two builds are compared first.

Usage: python benchmarks/instructions.py OLD_DIR NEW_DIR [--corpus articles|dense]
                                         [--corpus-root DIR] [--schema "18 queries"] [--pages N]
"""
import argparse
import pathlib
import re
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import ab  # noqa: E402
import compare  # noqa: E402


def count(build, corpus, schema, pages):
    """Instructions inside Plan.extract for the pages of the folder `corpus`."""
    code = (
        f"import sys; sys.path.insert(0, {str(HERE)!r}); import ab, compare\n"
        f"m = ab.load({str(build)!r})\n"
        f"queries, first = ab.SCHEMAS[{schema!r}]\n"
        "plan = m.Plan(queries, [], first_only=[first] * len(queries))\n"
        f"pages = compare.load(compare.pathlib.Path({str(corpus)!r}))[:{pages}]\n"
        "for p in pages: plan.extract(p)\n")
    with tempfile.TemporaryDirectory() as tmp:
        out = pathlib.Path(tmp) / "callgrind.out"
        subprocess.run(["valgrind", "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=ls::Plan::extract*",
                        f"--callgrind-out-file={out}", sys.executable, "-c", code],
                       check=True, capture_output=True)
        totals = re.search(r"^(?:summary|totals): (\d+)", out.read_text(), re.M)
        return int(totals.group(1))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--corpus", default="articles")
    ap.add_argument("--corpus-root", type=pathlib.Path, default=compare.SHARED_CORPUS)
    ap.add_argument("--schema", default="18 queries", choices=list(ab.SCHEMAS))
    ap.add_argument("--pages", type=int, default=1000)
    args = ap.parse_args()
    old, new = ab.load(args.old), ab.load(args.new)
    queries, first = ab.SCHEMAS[args.schema]
    plans = [m.Plan(queries, [], first_only=[first] * len(queries)) for m in (old, new)]
    folder = args.corpus_root / args.corpus
    pages = compare.load(folder)[:args.pages]
    assert all(plans[0].extract(p) == plans[1].extract(p) for p in pages), "answers differ"
    a = count(args.old, folder, args.schema, args.pages)
    b = count(args.new, folder, args.schema, args.pages)
    print(f"{args.schema}, {args.corpus} ({len(pages)} pages): old {a:,} instructions, new {b:,}: "
          f"{(b / a - 1) * 100:+.1f}%")


if __name__ == "__main__":
    main()
