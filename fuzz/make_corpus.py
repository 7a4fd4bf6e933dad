#!/usr/bin/env python3
"""Builds the fuzzers' seed corpus from the shared real-page corpus, at fuzz
time, into a directory outside the repository (the pages are never copied
into it). Schemas and queries come from the differential tests' generator
over each page's own tags, classes and attributes (lxml needed); documents
are windows of the pages, so that one run stays fast.

Usage: python fuzz/make_corpus.py OUTDIR [--pages N] [--window BYTES]
Writes OUTDIR/extract, OUTDIR/decode, OUTDIR/query and OUTDIR/reader (small WARC and WARC.gz
archives of page windows).
"""
import argparse
import gzip
import hashlib
import pathlib
import random
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

import _larkspine as ls  # noqa: E402

SHARED = ROOT.parent / "shared" / "corpus"


def write(directory, data):
    directory.mkdir(parents=True, exist_ok=True)
    (directory / hashlib.sha1(data).hexdigest()).write_bytes(data)


def extract_input(queries, groups, doc, label=None, flags=b""):
    records = [bytes([0]) + flags]
    if label:
        records.append(b"L" + label.encode())
    records += [b"F" + q.encode() for q in queries]
    for container, fields in groups:
        records.append(b"G" + container.encode())
        records += [b"S" + name.encode() + b"\xfe" + q.encode() for name, q in fields]
    return b"\xff".join(records) + b"\xff\xff" + doc


def windows(data, size, rng):
    out = [data[:size]]
    if len(data) > 2 * size:
        start = rng.randrange(size, len(data) - size)
        out.append(data[start:start + size])
    return out


def page_queries(text, seed):
    try:
        import lxml.html
        from tests import differential as D
    except ImportError:
        return []
    try:
        root = lxml.html.fromstring(text)
    except Exception:  # an unparsable page gives no queries
        return []
    return [q for _, q in D.generate(root, seed, per_family=1)]


def whatwg_label(folder):
    """The longest prefix of a folder name (split at '-') that is a WHATWG label."""
    parts = folder.split("-")
    for n in range(len(parts), 0, -1):
        label = "-".join(parts[:n])
        if ls.resolve_label(label):
            return label
    return None


def reader_seeds(pages, window, out):
    """WARC archives of two page windows each, plain and one gzip member per record."""
    from tests.warcs import Response, record_bytes

    for i, path in enumerate(pages):
        doc = gzip.decompress(path.read_bytes())[:window]
        records = [record_bytes(Response(f"http://corpus.example/{i}/{k}", doc, date="2024-01-01T00:00:00Z",
                                         record_urn=f"uuid:{i}-{k}")) for k in range(2)]
        write(out, b"\x00" + b"".join(records))
        write(out, b"\x00" + b"".join(gzip.compress(r, mtime=0) for r in records))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out", type=pathlib.Path)
    ap.add_argument("--pages", type=int, default=None)
    ap.add_argument("--window", type=int, default=1500)
    args = ap.parse_args()
    if not SHARED.is_dir():
        sys.exit(f"no corpus at {SHARED}")
    rng = random.Random(12)
    pages = sorted((SHARED / "articles").glob("*.gz"))[: args.pages]
    for i, path in enumerate(pages):
        data = gzip.decompress(path.read_bytes())
        queries = page_queries(data.decode("utf-8", "replace"), i)
        for doc in windows(data, args.window, rng):
            write(args.out / "extract", doc)  # the fixed broad schema
            if queries:
                flat = rng.sample(queries, min(6, len(queries)))
                container = rng.choice(queries).split("::")[0].split(" ")[0]
                groups = [(container, [("a", rng.choice(["text()", ".//text()", "./a/@href", "@class", "."])),
                                       ("b", rng.choice(queries))])]
                flags = bytes([rng.randrange(256)])
                write(args.out / "extract", extract_input(flat, groups, doc, flags=flags))
            write(args.out / "decode", b"\x00\x00" + doc)
        for k in range(0, len(queries), 3):
            write(args.out / "query", "\xff".join(queries[k:k + 3]).encode("utf-8", "surrogatepass"))
    for path in sorted((SHARED / "encodings").rglob("*")):
        if not path.is_file():
            continue
        label = whatwg_label(path.parent.name)
        data = path.read_bytes()[: args.window]
        if label:
            write(args.out / "decode", b"L" + label.encode() + b"\xff\x00" + data)
            write(args.out / "extract", extract_input(["title::text", "p ::text", "a::attr(href)", "//item/title/text()"],
                                                      [], data, label=label))
        else:
            write(args.out / "extract", data)
    reader_seeds(pages[:8], args.window, args.out / "reader")
    for target in ("extract", "decode", "query", "reader"):
        print(target, len(list((args.out / target).iterdir())), "seeds")


if __name__ == "__main__":
    main()
