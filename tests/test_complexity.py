"""Every generator of tests/complexity_cases.py costs about 16 times as much
at 16n as at n. A quadratic term shows as ~256x; the bound of 100x separates
the two through timer noise, cache effects and a busy second core. CPU time
of this thread is measured (a preempted call does not look slow), the best of
several interleaved calls is kept, and a ratio just over the bound is
measured again with more calls before it fails."""
import gc
import time

import pytest

from tests.complexity_cases import CASES

BOUND = 100.0
MIN_SECONDS = 0.0015  # the smaller call is scaled up to at least this much CPU time


def cpu_seconds(call):
    # The cyclic collector stays off while a call builds its result lists: a
    # collection then would walk every live object of the process and charge
    # it to whichever call happened to trigger it.
    gc.disable()
    try:
        start = time.thread_time()
        call()
        return time.thread_time() - start
    finally:
        gc.enable()


def ratio(small, big, rounds):
    s = b = float("inf")
    for _ in range(rounds):
        s = min(s, cpu_seconds(small))
        b = min(b, cpu_seconds(big))
    return b / max(s, 1e-9)


@pytest.mark.parametrize("case", CASES, ids=[c.name for c in CASES])
def test_cost_grows_linearly(case):
    n = case.n
    small = case.make(n)
    while min(cpu_seconds(small) for _ in range(2)) < MIN_SECONDS and n < 1 << 22:
        n *= 2
        small = case.make(n)
    big = case.make(16 * n)
    r = ratio(small, big, 3)
    if BOUND < r < 3 * BOUND:  # possibly noise: measure again, longer
        r = min(r, ratio(small, big, 7))
    assert r < BOUND, f"n={n}: 16n costs {r:.0f}x n"
