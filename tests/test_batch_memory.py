"""Peak memory of one extract_arrow call, beyond the documents: the batch's own
buffers about once. With several threads each part of the batch is freed as
soon as it is copied into the joined buffers, so the two never add up."""
import os
import subprocess
import sys

import pytest

# In a fresh process: the peak resident size is reset (clear_refs 5) just before
# the call, and the growth is printed beside the batch's bytes.
_CHILD = """
import random, sys
import _larkspine as ls

rng = random.Random(5)

def page(i):
    links = "".join(f'<li><a href="https://example.org/{i}/{k}/{rng.random()}">item {k} {"x" * rng.randint(5, 60)}</a></li>'
                    for k in range(2000))
    return f"<html><title>P{i}</title><ul>{links}</ul></html>".encode()

docs = [page(i) for i in range(128)]
plan = ls.Plan(["a::attr(href)", "a::text", "title::text"], [])
plan.extract_arrow(docs[:4], threads=int(sys.argv[1]))

def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key))

with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS:")
batch = plan.extract_arrow(docs, threads=int(sys.argv[1]))
print(batch.nbytes, status("VmHWM:") - before)
"""


@pytest.mark.parametrize("threads", [1, 2, 4])
def test_a_batch_costs_its_buffers_about_once(threads):
    if not os.path.exists("/proc/self/clear_refs"):
        pytest.skip("the peak resident size is read from /proc")
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer's shadow memory and quarantine swamp the resident size")
    out = subprocess.run([sys.executable, "-c", _CHILD, str(threads)], capture_output=True, text=True)
    if out.returncode != 0 and "clear_refs" in out.stderr:
        pytest.skip("this system does not let a process reset its peak resident size")
    assert out.returncode == 0, out.stderr
    nbytes, grown = map(int, out.stdout.split())
    assert nbytes > 20 << 20
    # Parts and joined buffers held together would be twice the batch (and
    # more with the parts' growth slack); one thread has no join at all.
    assert grown < (1.2 if threads == 1 else 1.75) * nbytes + (4 << 20), (grown, nbytes)
