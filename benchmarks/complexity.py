#!/usr/bin/env python3
"""Time and memory exponents of every generator in tests/complexity_cases.py.

For each case, n is scaled until one call takes a few milliseconds; the call
is then timed at n, 2n, 4n and 8n (CPU time of this thread, best of several
interleaved rounds) and the exponent is the least-squares slope of log(time)
over log(n): ~1 is linear, ~2 quadratic. Memory is the growth of the peak
resident set during one call, in a fresh process per size (at 4x the timed
sizes, so that it is well above the allocator's granularity); its exponent
is reported where the growth is measurable, "flat" where it stays below 4 MB. Finally the
memory of one open element: the peak growth over a million nested <div>s.

Usage: python benchmarks/complexity.py [--rounds N] [--only SUBSTRING] [--no-memory]
"""
import argparse
import math
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from tests.complexity_cases import CASES, cpu_seconds  # noqa: E402

TARGET_SECONDS = 0.003
MEMORY_FLOOR = 4 << 20  # growth below this is reported as flat

# The peak is measured from the resident set just before the call: the
# kernel's high-water mark is reset (clear_refs 5) once the input is built, so
# that earlier peaks of the process (imports, building the input) do not hide
# the call's own.
PEAK = """
import re, resource

def status(key):
    return int(re.search(key + r":\\s+(\\d+)", open("/proc/self/status").read()).group(1)) * 1024

def peak_growth(call):
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        before = status("VmRSS")
        call()
        return status("VmHWM") - before
    except OSError:
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        call()
        return (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024
"""

CHILD = PEAK + """
import sys
sys.path.insert(0, sys.argv[3])
from tests.complexity_cases import CASES
print(peak_growth(CASES[int(sys.argv[1])].make(int(sys.argv[2]))))
"""

DEPTH_CHILD = PEAK + """
import sys
import _larkspine as ls
html = b"<div>" * int(sys.argv[1]) + b"x"
queries = sys.argv[2:]
print(peak_growth(lambda: ls.extract(html, queries)))
"""


def slope(xs, ys):
    lx = [math.log(x) for x in xs]
    ly = [math.log(max(y, 1e-9)) for y in ys]
    mx, my = sum(lx) / len(lx), sum(ly) / len(ly)
    return sum((a - mx) * (b - my) for a, b in zip(lx, ly)) / sum((a - mx) ** 2 for a in lx)


def child(code, *args):
    out = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True, check=True)
    return int(out.stdout.split()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--only", default="")
    ap.add_argument("--no-memory", action="store_true")
    args = ap.parse_args()
    print(f"{'case':50}{'n':>9}{'t(n) ms':>9}{'t(8n) ms':>10}{'time exp':>9}{'mem(32n) MB':>12}{'mem exp':>8}")
    for index, case in enumerate(CASES):
        if args.only not in case.name:
            continue
        n = case.n
        call = case.make(n)
        while cpu_seconds(call) < TARGET_SECONDS and n < 1 << 22:
            n *= 2
            call = case.make(n)
        sizes = [n, 2 * n, 4 * n, 8 * n]
        calls = [case.make(m) for m in sizes]
        best = [float("inf")] * len(sizes)
        for _ in range(args.rounds):
            for i, c in enumerate(calls):
                best[i] = min(best[i], cpu_seconds(c))
        del calls
        mem_text = exp_text = "-"
        if case.memory and not args.no_memory:
            grown = [child(CHILD, index, 4 * m, ROOT) for m in sizes]
            mem_text = f"{grown[-1] / 1e6:.1f}"
            if grown[-1] >= MEMORY_FLOOR and min(grown) > 0:
                exp_text = f"{slope(sizes, grown):.2f}"
            else:
                exp_text = "flat"
        print(f"{case.name[:49]:50}{n:>9}{best[0] * 1e3:>9.2f}{best[-1] * 1e3:>10.2f}{slope(sizes, best):>9.2f}"
              f"{mem_text:>12}{exp_text:>8}", flush=True)
    if not args.no_memory and not args.only:
        n = 1_000_000
        for queries in (["p::text"], ["div > div > div::text", "div:has(p)::attr(x)", "li:last-child::text"]):
            grown = child(DEPTH_CHILD, n, *queries)
            print(f"memory per open element ({n} nested divs, {queries}): {grown / n:.0f} bytes")


if __name__ == "__main__":
    main()
