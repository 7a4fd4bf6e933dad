#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UBSan) and
# runs them, or replays the committed seeds and regression inputs.
#
#   tools/fuzz.sh run [TARGET...]     fuzz each target for $RUNS executions
#                                     (default 10000000), one after another
#   tools/fuzz.sh replay              run every committed input once; non-zero
#                                     exit when an oracle fails
#   tools/fuzz.sh build               only build
#
# Targets: extract, decode, query, reader. The seed corpus is generated from
# ../shared/corpus into build/fuzz/seeds (never into the repository) when that
# corpus is present; the working corpus grows in build/fuzz/corpus, crashes
# land in build/fuzz/artifacts, logs in build/fuzz/<target>.log. A failing
# input worth keeping goes into fuzz/regressions/<target>/ once fixed.
# Needs clang and clang++ (Debian: apt-get install clang); CC and CXX override them. FUZZ_BUILD
# names the build directory, FUZZ_CXXFLAGS its optimisation (-O2 -g).
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-run}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(extract decode query reader)
out=${FUZZ_BUILD:-build/fuzz}
flags=${FUZZ_CXXFLAGS:--O2 -g}  # optimisation of the fuzz build
runs=${RUNS:-10000000}
export ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=0:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

max_len() {
  case $1 in
    extract) echo 4096 ;;
    decode) echo 4096 ;;
    query) echo 1024 ;;
    reader) echo 8192 ;;
  esac
}

dict_of() {
  case $1 in
    reader) echo fuzz/reader.dict ;;
    *) echo fuzz/larkspine.dict ;;
  esac
}

build() {
  local cxx=${CXX:-clang++} cc=${CC:-clang}
  command -v "$cxx" >/dev/null || { echo "tools/fuzz.sh: $cxx not found (apt-get install clang)" >&2; exit 2; }
  command -v "$cc" >/dev/null || { echo "tools/fuzz.sh: $cc not found (apt-get install clang)" >&2; exit 2; }
  cmake -S . -B "$out" -DLARKSPINE_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$flags" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="$cc" >/dev/null
  cmake --build "$out" -j "${JOBS:-2}" --target fuzz_extract fuzz_decode fuzz_query fuzz_reader >/dev/null
}

case $mode in
  build)
    build
    ;;
  replay)
    build
    status=0
    for t in extract decode query reader; do
      inputs=()
      for d in fuzz/seeds/$t fuzz/regressions/$t; do
        [ -d "$d" ] && while IFS= read -r f; do inputs+=("$f"); done < <(find "$d" -type f ! -name '*.md' | sort)
      done
      [ ${#inputs[@]} -eq 0 ] && continue
      if "$out/fuzz_$t" -runs=1 "${inputs[@]}" >"$out/replay-$t.log" 2>&1; then
        echo "fuzz replay $t: ${#inputs[@]} inputs, no findings"
      else
        echo "fuzz replay $t: FAILED (see $out/replay-$t.log)"; tail -20 "$out/replay-$t.log"; status=1
      fi
    done
    exit $status
    ;;
  run)
    build
    if [ -d ../shared/corpus ]; then
      rm -rf "$out/seeds"
      python fuzz/make_corpus.py "$out/seeds" >/dev/null
    fi
    for t in "${targets[@]}"; do
      mkdir -p "$out/corpus/$t" "$out/artifacts/$t" "$out/seeds/$t"
      dirs=("$out/corpus/$t" "$out/seeds/$t")
      for d in fuzz/seeds/$t fuzz/regressions/$t; do [ -d "$d" ] && dirs+=("$d"); done
      echo "fuzzing $t for $runs executions (log: $out/$t.log)"
      nice -n 10 "$out/fuzz_$t" -dict="$(dict_of "$t")" -entropic=0 -max_len="$(max_len "$t")" \
        -runs="$runs" -print_final_stats=1 -artifact_prefix="$out/artifacts/$t/" "${dirs[@]}" >"$out/$t.log" 2>&1 \
        || { echo "fuzz $t: finding, see $out/$t.log and $out/artifacts/$t/"; tail -30 "$out/$t.log"; exit 1; }
      grep -E '^(Done|stat::number_of_executed_units)' "$out/$t.log" || true
    done
    ;;
  *)
    echo "usage: tools/fuzz.sh run|replay|build [TARGET...]" >&2
    exit 2
    ;;
esac
