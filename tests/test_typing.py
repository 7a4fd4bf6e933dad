"""The package and the native module's stubs pass mypy --strict; the stubs match the module."""
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("mypy")
HERE = pathlib.Path(__file__).resolve().parent


def _run(*args):
    result = subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=HERE.parent.parent)
    return result.returncode, result.stdout + result.stderr


def test_mypy_strict_on_the_installed_package():
    code, out = _run("mypy", "--strict", "--no-incremental", "--cache-dir=/dev/null", "-p", "larkspine")
    assert code == 0, out


def test_mypy_strict_on_a_typed_caller():
    code, out = _run("mypy", "--strict", "--no-incremental", "--cache-dir=/dev/null", str(HERE / "typing" / "usage.py"))
    assert code == 0, out


def test_mypy_reports_a_misuse():
    # The check above means something only if a wrong type is caught.
    bad = HERE / "typing" / "misuse.py"
    code, out = _run("mypy", "--strict", "--no-incremental", "--cache-dir=/dev/null", str(bad))
    assert code == 1 and out.count("error:") == 4, out


def test_stubtest_finds_the_native_module_as_the_stubs_say():
    code, out = _run("mypy.stubtest", "_larkspine")
    assert code == 0, out
