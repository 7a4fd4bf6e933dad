#!/usr/bin/env bash
# Builds and installs the module together with the private test module
# _larkspine_testing, then runs every test. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
# The distribution was once named larkspine-core; drop a stale install of it so
# that two distributions do not claim the native module's files.
python -m pip uninstall --quiet --yes larkspine-core >/dev/null 2>&1 || true
# Without build isolation when the build backend is at hand: an isolated build gets a new
# environment each time, and scikit-build-core then clears build/test, compiling the whole
# engine again; in the environment's own, only what changed is rebuilt.
isolation=()
if python -c "import scikit_build_core" >/dev/null 2>&1; then
  isolation=(--no-build-isolation)
fi
python -m pip install --quiet "${isolation[@]}" ".[test]" \
  --config-settings=cmake.define.LARKSPINE_TESTING=ON \
  --config-settings=build-dir=build/test
# Test files or -k expressions given run alone; with none, pytest runs its testpaths (tests/).
python -m pytest "$@"
