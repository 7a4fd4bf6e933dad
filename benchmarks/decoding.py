#!/usr/bin/env python3
"""Decoding throughput on real text: UTF-8 validation and entity decoding
over ../shared/corpus/articles/, windows-1252 and Shift_JIS decoding over the
documents of ../shared/corpus/encodings/, each next to a memchr pass over
the same bytes. Timed inside the extension with the interpreter lock
released; best of N passes.

Needs the test module (_larkspine_testing), which `bash tools/run-tests.sh`
installs. Usage: python benchmarks/decoding.py [--repeat N]
"""
import argparse
import gzip
import pathlib
import sys

import _larkspine_testing as t

SHARED = pathlib.Path(__file__).resolve().parent.parent.parent / "shared" / "corpus"


def corpus(folder_glob, target=8_000_000):
    """The documents of the matching folders, repeated to about `target` bytes
    (the encodings corpus is small) so that one pass takes milliseconds."""
    files = sorted(p for d in (SHARED / "encodings").glob(folder_glob) for p in d.iterdir())
    once = b"\n".join(p.read_bytes() for p in files)
    return once * max(1, target // len(once))


def valid_utf8(pages):
    out = []
    for page in pages:
        try:
            page.decode("utf-8")
        except UnicodeDecodeError:
            continue
        out.append(page)
    return b"\n".join(out)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=20)
    args = ap.parse_args()
    if not SHARED.is_dir():
        sys.exit(f"corpus not found: {SHARED}")
    # Only pages that are well-formed UTF-8: validation stops at the first error.
    articles = valid_utf8(gzip.decompress(p.read_bytes()) for p in sorted((SHARED / "articles").glob("*.gz")))
    cases = [
        ("UTF-8 validation", "validate", "utf-8", articles),
        ("entity decoding", "entities", "utf-8", articles),
        ("windows-1252 decode", "decode", "windows-1252", corpus("windows-125*")),
        ("Shift_JIS decode", "decode", "shift_jis", corpus("SHIFT_JIS")),
        ("EUC-KR decode", "decode", "euc-kr", corpus("EUC-KR")),
    ]
    print(f"{'pass':<22}{'MB':>8}{'MB/s':>10}{'memchr MB/s':>13}{'ratio':>8}")
    for name, kind, label, data in cases:
        mb = len(data) / 1e6
        sec, _ = t.time_pass(kind, label, data, args.repeat)
        floor, _ = t.time_pass("memchr", label, data, args.repeat)
        print(f"{name:<22}{mb:>8.1f}{mb / sec:>10.0f}{mb / floor:>13.0f}{floor / sec:>8.2f}")


if __name__ == "__main__":
    main()
