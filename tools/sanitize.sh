#!/usr/bin/env bash
# The sanitizer part of CI, also runnable by hand:
#   1. an AddressSanitizer + UBSan build of both modules, and the whole test
#      suite against it (which also replays every committed fuzz input
#      through the oracles);
#   2. a ThreadSanitizer build, and the concurrency tests (the archive run's
#      among them) against it;
#   3. the fuzz targets built with clang, replaying the committed inputs
#      natively (tools/fuzz.sh replay).
# Each step installs what it needs (apt-get) when it can, says so and is
# skipped when it cannot, and reports its time. Extra arguments go to the
# pytest run of step 1.
set -euo pipefail
cd "$(dirname "$0")/.."
# The interpreter itself, not a launcher script in front of it (pyenv's shims
# are bash scripts): a preloaded ThreadSanitizer runtime crashes bash.
python=$(python -c "import sys; print(sys.executable)")
jobs=${JOBS:-2}
# -O1 with line tables: half the compile time of -O2 -g under the sanitizers,
# and reports still name file and line.
opt=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1")

runtime() {  # the path of a GCC sanitizer runtime, or nothing
  local path
  path=$(g++ -print-file-name="$1")
  [ -e "$path" ] && echo "$path"
}

apt_install() {
  command -v apt-get >/dev/null || return 1
  if [ "$(id -u)" -ne 0 ]; then command -v sudo >/dev/null || return 1; sudo=sudo; else sudo=; fi
  $sudo apt-get install -y -qq "$@" >/dev/null 2>&1 || { $sudo apt-get update -qq >/dev/null 2>&1 && $sudo apt-get install -y -qq "$@" >/dev/null 2>&1; }
}

step_start() { echo "== $1"; SECONDS=0; }
step_end() { echo "== $1: ${SECONDS}s"; }

# 1. ASan + UBSan.
step_start "ASan+UBSan build and test suite"
asan=$(runtime libasan.so || true)
ubsan=$(runtime libubsan.so || true)
if [ -z "$asan" ] || [ -z "$ubsan" ]; then
  apt_install "libgcc-$(g++ -dumpversion)-dev" || true
  asan=$(runtime libasan.so || true)
  ubsan=$(runtime libubsan.so || true)
fi
if [ -n "$asan" ] && [ -n "$ubsan" ]; then
  cmake -S . -B build/asan -DLARKSPINE_TESTING=ON -DLARKSPINE_SANITIZE=ON "${opt[@]}" \
    -DPython_EXECUTABLE="$python" >/dev/null
  cmake --build build/asan -j "$jobs" >/dev/null
  # Leaks are not checked: the interpreter itself keeps memory until exit.
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 LD_PRELOAD="$asan $ubsan" \
    PYTHONPATH=build/asan "$python" -m pytest tests -p no:cacheprovider "$@"
else
  echo "skipped: no AddressSanitizer/UBSan runtime for g++"
fi
step_end "ASan+UBSan"

# 2. TSan.
step_start "TSan build and concurrency tests"
tsan=$(runtime libtsan.so || true)
if [ -z "$tsan" ]; then
  apt_install "libgcc-$(g++ -dumpversion)-dev" || true
  tsan=$(runtime libtsan.so || true)
fi
# On some kernels the ThreadSanitizer runtime cannot map its shadow memory and
# crashes before Python starts; that says nothing about this code, so it is
# reported and the step skipped rather than failing the run.
if [ -n "$tsan" ] && ! LD_PRELOAD="$tsan" "$python" -c "pass" >/dev/null 2>&1; then
  echo "skipped: the ThreadSanitizer runtime ($tsan) does not start on this machine"
  tsan=""
fi
if [ -n "$tsan" ]; then
  cmake -S . -B build/tsan -DLARKSPINE_TSAN=ON "${opt[@]}" -DPython_EXECUTABLE="$python" >/dev/null
  cmake --build build/tsan -j "$jobs" --target _larkspine >/dev/null
  TSAN_OPTIONS="halt_on_error=1 exitcode=66" LD_PRELOAD="$tsan" PYTHONPATH=build/tsan \
    "$python" -m pytest -p no:cacheprovider tests/test_concurrency.py tests/test_archive_run.py \
    tests/test_plan.py::test_shared_plan_across_threads tests/test_api.py::test_threads_agree_with_sequential_calls
else
  echo "skipped: no ThreadSanitizer runtime for g++"
fi
step_end "TSan"

# 3. Native replay of the fuzz inputs.
step_start "fuzz targets: build and replay of the committed inputs"
command -v clang++ >/dev/null || apt_install clang || true
if command -v clang++ >/dev/null; then
  JOBS=$jobs FUZZ_BUILD=build/fuzz-replay FUZZ_CXXFLAGS="-O1 -g1" bash tools/fuzz.sh replay
else
  echo "skipped: clang++ unavailable (the ASan test suite above replayed the inputs through the same oracles)"
fi
step_end "fuzz replay"
