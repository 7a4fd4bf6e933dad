"""Every committed fuzz input (fuzz/seeds and fuzz/regressions) passes its
target's oracles, replayed through the same checks the libFuzzer targets run
(tools/fuzz.sh replays them natively under the sanitizers)."""
import pathlib

import pytest

from tests.conftest import REPO

INPUTS = sorted(p for kind in ("seeds", "regressions") for p in (REPO / "fuzz" / kind).glob("*/*")
                if p.is_file() and p.suffix != ".md")


@pytest.mark.parametrize("path", INPUTS, ids=[f"{p.parent.parent.name}/{p.parent.name}/{p.name}" for p in INPUTS])
def test_fuzz_input_passes_its_oracles(path, testing):
    assert testing.fuzz_check(path.parent.name, path.read_bytes()) is None


def test_inputs_are_committed():
    # A replay over nothing would pass for the wrong reason.
    assert {p.parent.name for p in INPUTS} == {"extract", "decode", "query", "reader"}
