"""Every generator of tests/complexity_cases.py costs about 16 times as much
at 16n as at n. A quadratic term shows as ~256x; the bound of 100x separates
the two through timer noise, cache effects and a busy second core. CPU time
of this thread is measured (a preempted call does not look slow), the best of
several interleaved calls is kept, and a ratio just over the bound is
measured again with more calls before it fails."""

import pytest

from tests.complexity_cases import CASES, cpu_seconds

BOUND = 100.0
MIN_SECONDS = 0.0015  # the smaller call is scaled up to at least this much CPU time
# A ratio over the bound is measured again from a larger n before it fails: a call whose
# buffers are small reuses the heap, one whose buffers pass the allocator's mmap threshold
# takes fresh pages (and their faults) on every call, a step in cost that is not the
# algorithm's and that a busy machine magnifies. From this size on both calls are past it.
MIN_SECONDS_RETRY = 0.01


def ratio(small, big, rounds):
    s = b = float("inf")
    for _ in range(rounds):
        s = min(s, cpu_seconds(small))
        b = min(b, cpu_seconds(big))
    return b / max(s, 1e-9)


@pytest.mark.parametrize("case", CASES, ids=[c.name for c in CASES])
def test_cost_grows_linearly(case):
    n, small = scaled(case, case.n, MIN_SECONDS)
    r = ratio(small, case.make(16 * n), 3)
    if BOUND < r < 3 * BOUND:  # possibly noise: measure again, longer, from a larger n
        n, small = scaled(case, n, MIN_SECONDS_RETRY)
        r = min(r, ratio(small, case.make(16 * n), 5))
    assert r < BOUND, f"n={n}: 16n costs {r:.0f}x n"


def scaled(case, n, floor):
    """The first n (doubling from the given one) whose call costs at least `floor`."""
    small = case.make(n)
    while min(cpu_seconds(small) for _ in range(2)) < floor and n < 1 << 22:
        n *= 2
        small = case.make(n)
    return n, small
