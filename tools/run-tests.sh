#!/usr/bin/env bash
# Builds and installs the module together with the private test module
# _larkspine_testing, then runs every test. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
# The distribution was once named larkspine-core; drop a stale install of it so
# that two distributions do not claim the native module's files.
python -m pip uninstall --quiet --yes larkspine-core >/dev/null 2>&1 || true
python -m pip install --quiet ".[test]" \
  --config-settings=cmake.define.LARKSPINE_TESTING=ON \
  --config-settings=build-dir=build/test
python -m pytest tests "$@"
