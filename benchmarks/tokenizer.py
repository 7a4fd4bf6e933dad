#!/usr/bin/env python3
"""Tokenizer throughput over the real pages of ../shared/corpus/articles/,
next to a plain memchr pass over the same bytes, interleaved in one run.

Needs the test module (_larkspine_testing), which `bash tools/run-tests.sh`
installs. Usage: python benchmarks/tokenizer.py [--rounds N]
"""
import argparse
import gzip
import pathlib
import sys
import time

import _larkspine_testing as t

CORPUS = pathlib.Path(__file__).resolve().parent.parent.parent / "shared" / "corpus" / "articles"


def load_pages():
    if not CORPUS.is_dir():
        sys.exit(f"corpus not found: {CORPUS}")
    return [gzip.decompress(p.read_bytes()) for p in sorted(CORPUS.glob("*.gz"))]


def best_of(fn, pages, rounds):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        for page in pages:
            fn(page)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=15)
    args = ap.parse_args()
    pages = load_pages()
    total = sum(map(len, pages))
    events = sum(t.count_events(p)[0] for p in pages)
    # Interleave the two measurements so that both see the same machine state.
    tok = mem = float("inf")
    for _ in range(args.rounds):
        tok = min(tok, best_of(t.count_events, pages, 1))
        mem = min(mem, best_of(t.count_lt, pages, 1))
    mb = total / 1e6
    print(f"pages: {len(pages)}, {mb:.1f} MB, {events} events")
    print(f"{'pass':<22}{'MB/s':>10}{'Mevents/s':>12}")
    print(f"{'tokenizer':<22}{mb / tok:>10.0f}{events / tok / 1e6:>12.1f}")
    print(f"{'memchr floor':<22}{mb / mem:>10.0f}{'':>12}")
    print(f"tokenizer / memchr: {mem / tok:.2f}")


if __name__ == "__main__":
    main()
