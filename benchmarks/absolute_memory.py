"""Peak memory and time of ``extract_table`` on one large page of links, with and without
``absolute=True``: the absolute links are joined on the Arrow buffers, so a page of a million
links costs about what the same schema costs without joining.

    python benchmarks/absolute_memory.py [--links 1300000] [--rounds 3]

Each variant runs in a fresh interpreter, interleaved round by round; the figure is the peak
resident size (VmHWM) of that process and the extraction's seconds. The page mixes the
shapes links have: absolute, rooted, relative, ``../`` (which urljoin answers), fragments.
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import tempfile

CHILD = r"""
import sys, time
import larkspine
from larkspine import Schema, field, _schema
if sys.argv[2] == "lists":
    # The join as it was made before: every value a Python str, joined by the page's joiner.
    def lists(pa, values, spans, bases, nulls=False):
        strings = values.to_pylist()
        at = spans.to_pylist()
        for p, joiner in enumerate(bases):
            lo, hi = at[p], at[p + 1]
            if joiner is None or lo == hi:
                continue
            if nulls and None in strings[lo:hi]:
                strings[lo:hi] = [v if v is None else joiner.join([v])[0] for v in strings[lo:hi]]
            else:
                strings[lo:hi] = joiner.join(strings[lo:hi])
        return pa.array(strings, values.type)
    _schema._joined_values = lists
absolute = sys.argv[2] != "plain"
page = open(sys.argv[1], "rb").read()
schema = Schema({"links": field("a::attr(href)", absolute=absolute),
                 "first": field("a::attr(href)", first=True, absolute=absolute)})
start = time.perf_counter()
table = schema.extract_table([page], urls=["https://shop.example/dir/page.html"])
seconds = time.perf_counter() - start
assert table.column("links")[0].as_py()[2].startswith("https://") == absolute
peak = [l for l in open("/proc/self/status") if l.startswith("VmHWM:")][0].split()[1]
print(int(peak) // 1024, seconds, len(table.column("links")[0]))
"""

SHAPES = ['<a href="https://other.example/p/{i}">a</a>', '<a href="/r/{i}">b</a>', '<a href="rel/{i}">c</a>',
          '<a href="../up/{i}">d</a>', '<a href="#f{i}">e</a>', '<a href="?q={i}">f</a>']


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--links", type=int, default=1_300_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--mix", choices=["proven", "all"], default="proven",
                        help="proven: shapes the core joins; all: also ../ and ?query, which urljoin answers")
    args = parser.parse_args()
    shapes = SHAPES if args.mix == "all" else [SHAPES[k] for k in (0, 1, 2, 4)]
    with tempfile.NamedTemporaryFile(suffix=".html") as f:
        f.write(b"<html><body>")
        for i in range(args.links):
            f.write(shapes[i % len(shapes)].format(i=i).encode())
        f.write(b"</body></html>")
        f.flush()
        size = f.tell()
        results: dict[str, list[tuple[int, float]]] = {"plain": [], "absolute": [], "lists": []}
        for _ in range(args.rounds):
            for variant in results:
                out = subprocess.run([sys.executable, "-c", CHILD, f.name, variant], check=True,
                                     capture_output=True, text=True).stdout.split()
                results[variant].append((int(out[0]), float(out[1])))
    print(f"page: {size / 1e6:.1f} MB, {args.links:,} links ({args.mix}), {args.rounds} interleaved rounds;"
          " lists: the join through a Python str per link, as before")
    for variant, runs in results.items():
        peaks = [p for p, _ in runs]
        secs = [s for _, s in runs]
        print(f"{variant:9s} peak {min(peaks)}-{max(peaks)} MB, extract_table {statistics.median(secs):.2f} s")
    plain_peak = statistics.median(p for p, _ in results["plain"])
    plain_time = statistics.median(s for _, s in results["plain"])
    for variant in ("absolute", "lists"):
        ratio = statistics.median(p for p, _ in results[variant]) / plain_peak
        time_ratio = statistics.median(s for _, s in results[variant]) / plain_time
        print(f"{variant} / plain: peak memory {ratio:.2f}x, time {time_ratio:.2f}x")


if __name__ == "__main__":
    main()
