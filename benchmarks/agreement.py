#!/usr/bin/env python3
"""Agreement with parsel (lxml) over every page of ../shared/corpus/articles,
per query family, with the same generated queries as the differential tests.

The engine reads each page's bytes; parsel reads the text those bytes decode
to under the WHATWG Encoding Standard (the encoding the engine resolves, with
malformed sequences as U+FFFD), as browsers and Scrapy's responses decode it.
A difference that disappears once whitespace is set aside is the documented
whitespace-before-body rule (docs/differences-from-parsel.md) and counts as
documented. Every other difference is listed with its class:

  after </html>   the page has content after an </html> end tag that libxml2
                  moves into a second top-level element (see the document),
                  and the engine's answer on the page cut at that end tag is
                  parsel's;
  deep nesting    lxml truncated the page's tree (elements nested more than
                  2,045 deep), and the engine's answer stands;
  unsupported     the query is outside the subset (an empty column, which
                  `check` reports: no silent answer);
  other           anything else: a fault to look into.

Usage: python benchmarks/agreement.py [--pages N] [--show N] [--corpus DIR]
"""
import argparse
import collections
import gzip
import pathlib
import re
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

import parsel  # noqa: E402

import _larkspine as ls  # noqa: E402
from tests import differential as D  # noqa: E402

# Without the test module: Python codecs that decode well-formed text as the
# WHATWG decoders do (malformed sequences may give another number of U+FFFD).
WHATWG_CODEC = {
    "UTF-8": "utf-8", "UTF-16LE": "utf-16-le", "UTF-16BE": "utf-16-be", "IBM866": "cp866",
    "KOI8-R": "koi8-r", "windows-874": "cp874", "windows-1250": "cp1250", "windows-1251": "cp1251",
    "windows-1252": "cp1252", "windows-1253": "cp1253", "windows-1254": "cp1254",
    "windows-1255": "cp1255", "windows-1256": "cp1256", "windows-1257": "cp1257",
    "windows-1258": "cp1258", "GBK": "gb18030", "gb18030": "gb18030", "Big5": "big5hkscs",
    "EUC-JP": "euc_jp", "Shift_JIS": "cp932", "EUC-KR": "cp949", "KOI8-U": "koi8_u",
    "macintosh": "mac_roman", "x-mac-cyrillic": "mac_cyrillic", "ISO-8859-8-I": "iso8859_8",
    **{f"ISO-8859-{n}": f"iso8859_{n}" for n in (2, 3, 4, 5, 6, 7, 8, 10, 13, 14, 15, 16)},
}

HTML_END = re.compile(rb"</html\s*>", re.IGNORECASE)
DEPTH_LIMIT = 2045


try:  # the engine's own WHATWG decoders, tested against the standard's tables
    from _larkspine_testing import decode as whatwg_decode
except ImportError:
    whatwg_decode = None


def whatwg_text(data):
    enc = ls.detect_encoding(data)
    if data.startswith(b"\xef\xbb\xbf"):
        data, enc = data[3:], "UTF-8"
    if whatwg_decode is not None:
        return whatwg_decode(enc, data), enc
    if enc not in WHATWG_CODEC:
        raise SystemExit(f"no Python codec decodes {enc} as the standard does: add it to WHATWG_CODEC")
    return data.decode(WHATWG_CODEC[enc], errors="replace"), enc


def load(corpus, limit):
    out = []
    for p in sorted(pathlib.Path(corpus).glob("*.gz")):
        data = gzip.decompress(p.read_bytes())
        text, enc = whatwg_text(data)
        out.append((p.name, data, text, enc))
        if limit and len(out) >= limit:
            break
    return out


def depth(root):
    deepest, stack = 0, [(root, 1)]
    while stack:
        el, d = stack.pop()
        deepest = max(deepest, d)
        stack.extend((c, d + 1) for c in el)
    return deepest


def classify(data, query, expected, root):
    if not ls.audit_schema([query], [])[0][0][0]:
        return "unsupported"
    m = HTML_END.search(data)
    if m and data[m.end():].strip():
        cut = data[:m.end()]
        if ls.extract(cut, [query])[0] == expected:
            return "after </html>"
    if depth(root) >= DEPTH_LIMIT:
        return "deep nesting"
    return "other"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--pages", type=int, default=None)
    ap.add_argument("--show", type=int, default=40, help="residuals to print per class")
    ap.add_argument("--corpus", default=str(D.CORPUS), help="folder of .html.gz pages (default: %(default)s)")
    args = ap.parse_args()
    pages = load(args.corpus, args.pages)
    if not pages:
        sys.exit(f"no pages under {args.corpus}")
    total, equal, documented = collections.Counter(), collections.Counter(), collections.Counter()
    residuals = collections.defaultdict(list)
    refused = collections.Counter()
    encodings = collections.Counter(enc for *_, enc in pages)
    for i, (name, data, text, _) in enumerate(pages):
        sel = parsel.Selector(text=text)
        queries = D.generate(sel.root, seed=i)
        values = []
        for j in range(0, len(queries), 32):  # within the member budget
            values += ls.extract(data, [q for _, q in queries[j:j + 32]])
        for (family, query), got in zip(queries, values):
            try:
                expected = D.parsel_values(sel, query)
            except Exception:  # a generated query parsel refuses (a tag name with a colon)
                refused[family] += 1
                continue
            total[family] += 1
            if got == expected:
                equal[family] += 1
            elif D.explained(got, expected, sel, query):
                documented[family] += 1
            else:
                cls = classify(data, query, expected, sel.root)
                residuals[cls].append((family, name, query, got[:3], expected[:3]))
    for cls, items in sorted(residuals.items()):
        print(f"RESIDUAL {cls}: {len(items)}")
        for family, name, query, got, expected in items[: args.show]:
            print(f"  {family:26} {name[:16]} {query!r}\n      larkspine {got}\n      parsel    {expected}")
    print(f"{len(pages)} pages ({', '.join(f'{e} {n}' for e, n in encodings.most_common())}), "
          f"{sum(total.values())} queries compared")
    print(f"{'family':30}{'equal':>8}{'documented':>12}{'residual':>10}{'total':>7}{'agree':>9}")
    for f in sorted(total):
        other = total[f] - equal[f] - documented[f]
        agree = (equal[f] + documented[f]) / total[f]
        print(f"{f:30}{equal[f]:>8}{documented[f]:>12}{other:>10}{total[f]:>7}{agree:>9.2%}")
    t, a, d = sum(total.values()), sum(equal.values()), sum(documented.values())
    print(f"{'all':30}{a:>8}{d:>12}{t - a - d:>10}{t:>7}{(a + d) / t:>9.3%}")
    if refused:
        print(f"queries parsel refuses, not compared: {sum(refused.values())}")
    by_class = ", ".join(f"{cls} {len(items)}" for cls, items in sorted(residuals.items())) or "none"
    print(f"residuals by class: {by_class}")


if __name__ == "__main__":
    main()
