#!/usr/bin/env python3
"""How much of what scrapers really write the engine supports.

Reads ../shared/queries/real-queries.tsv (queries harvested from public Scrapy
projects, with the language the calling code used), keeps those that parsel
accepts, asks `_larkspine.audit_schema` whether each is supported, and prints
the supported share overall, per language, and per construct (a query counts
under every construct it uses). Parses no HTML.

    python benchmarks/real_queries.py                  # the figures
    python benchmarks/real_queries.py --save before.json
    python benchmarks/real_queries.py --compare before.json   # before / after
    python benchmarks/real_queries.py --unsupported    # list what is not supported
"""
import argparse
import csv
import json
import re
import sys
from collections import Counter
from pathlib import Path

import _larkspine

TSV = Path(__file__).resolve().parents[1] / ".." / "shared" / "queries" / "real-queries.tsv"

def literals(q):
    """The quoted literals of an XPath expression (no escapes exist in XPath 1.0)."""
    return re.findall(r"\"[^\"]*\"|'[^']*'", q)


# Constructs, tested on the query text; the first column is the name printed.
CONSTRUCTS = [
    ("css", lambda q, k: k == "css"),
    ("xpath", lambda q, k: k == "xpath"),
    ("xpath: predicate on text()/@attr", lambda q, k: k == "xpath" and re.search(r"(text\(\)|@[\w-]+)\[", q)),
    ("xpath: path inside a predicate", lambda q, k: k == "xpath" and re.search(r"\[[^\]'\"]*?(\.?//?|\b)[a-z*][\w-]*(\[|/|\])", q)
     and not re.search(r"\[\s*\d+\s*\]$", q)),
    ("xpath: text test in a predicate", lambda q, k: k == "xpath" and re.search(r"\[[^\]]*(text\(\)|\(\s*\.\s*,|\.\s*=)", q)),
    ("xpath: following-sibling::", lambda q, k: k == "xpath" and "following-sibling::" in q),
    ("xpath: following::", lambda q, k: k == "xpath" and "following::" in q),
    ("xpath: parent::/..", lambda q, k: k == "xpath" and ("parent::" in q or "/.." in q)),
    ("xpath: not()", lambda q, k: k == "xpath" and "not(" in q),
    ("xpath: [N] with another predicate", lambda q, k: k == "xpath" and re.search(r"\]\[\d+\]|\[\d+\]\[", q)),
    ("xpath: a step after [last()]", lambda q, k: k == "xpath" and re.search(r"\[last\(\)[^\]]*\]/[a-z]", q)),
    ("xpath: grouping (...)", lambda q, k: k == "xpath" and q.lstrip().startswith("(")),
    ("xpath: top-level function", lambda q, k: k == "xpath" and re.match(r"\s*[a-z-]+\s*\(", q)
     and not q.lstrip().startswith("normalize-space(")),
    ("xpath: relative ./x", lambda q, k: k == "xpath" and q.lstrip().startswith("./") and not q.lstrip().startswith(".//")),
    ("xpath: explicit axis", lambda q, k: k == "xpath" and re.search(r"\b(child|descendant|self|descendant-or-self)::", q)),
    ("xpath: space before '('", lambda q, k: k == "xpath" and re.search(r"[a-z]\s+\(", q)),
    ("xpath: bracket in a literal", lambda q, k: k == "xpath" and any("[" in lit or "]" in lit for lit in literals(q))),
    ("css: mixed-case ::Text", lambda q, k: k == "css" and re.search(r"::(?!text|attr)[a-zA-Z]", q)
     and re.search(r"::(text|attr)", q, re.I)),
]


def accepted_queries(tsv):
    import parsel

    empty = parsel.Selector(text="<html></html>")
    with open(tsv, newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    out = []
    for row in rows:
        q, kind = row["query"], row["kind"]
        try:
            (empty.css if kind == "css" else empty.xpath)(q)
        except Exception:  # parsel refuses it: not a query anyone can run
            continue
        out.append((q, kind))
    return out


def measure(tsv):
    queries = accepted_queries(tsv)
    flat, _, _ = _larkspine.audit_schema([q for q, _ in queries], [])
    result = {"overall": [0, 0], "constructs": {}, "unsupported": []}
    counts = {name: [0, 0] for name, _ in CONSTRUCTS}
    for (q, kind), (ok, reason) in zip(queries, flat):
        result["overall"][0] += bool(ok)
        result["overall"][1] += 1
        for name, test in CONSTRUCTS:
            if test(q, kind):
                counts[name][0] += bool(ok)
                counts[name][1] += 1
        if not ok:
            result["unsupported"].append([kind, q, reason])
    result["constructs"] = counts
    return result


def share(pair):
    return f"{pair[0]:5d}/{pair[1]:<5d} {100.0 * pair[0] / pair[1]:5.1f}%" if pair[1] else "    -"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--tsv", type=Path, default=TSV, help="the query list (default: %(default)s)")
    ap.add_argument("--save", help="write the figures to this JSON file")
    ap.add_argument("--compare", help="a JSON file from --save, printed as 'before'")
    ap.add_argument("--unsupported", action="store_true", help="list the unsupported queries and why")
    args = ap.parse_args(argv)
    if not args.tsv.exists():
        sys.exit(f"real_queries: {args.tsv} not found")
    now = measure(args.tsv)
    before = json.loads(Path(args.compare).read_text()) if args.compare else None
    head = f"{'construct':48s} {'before':>20s} {'now':>20s}" if before else f"{'construct':48s} {'supported':>20s}"
    print(head)
    rows = [("overall", now["overall"], before and before["overall"])]
    rows += [(n, now["constructs"][n], before and before["constructs"].get(n)) for n, _ in CONSTRUCTS]
    for name, pair, old in rows:
        print(f"{name:48s} {share(old) if before else '':>20s} {share(pair):>20s}" if before
              else f"{name:48s} {share(pair):>20s}")
    if args.unsupported:
        reasons = Counter()
        for kind, q, reason in now["unsupported"]:
            print(f"{kind:5s} {q!r}\n      {reason}")
            reasons[reason.split(" —")[0][:70]] += 1
        for r, n in reasons.most_common():
            print(f"{n:4d} {r}")
    if args.save:
        Path(args.save).write_text(json.dumps(now, ensure_ascii=False, indent=1))


if __name__ == "__main__":
    main()
