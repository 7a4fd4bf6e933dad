import pathlib

import pytest

REPO = pathlib.Path(__file__).resolve().parent.parent
SHARED = REPO.parent / "shared"


@pytest.fixture(scope="session")
def shared_dir():
    if not SHARED.is_dir():
        pytest.skip("../shared is not present beside this checkout")
    return SHARED


@pytest.fixture(scope="session")
def testing():
    return pytest.importorskip("_larkspine_testing")
