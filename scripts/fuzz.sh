#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer in
# build-fuzz, then fuzzes each one in turn.
#   scripts/fuzz.sh                       every target for 60 seconds (what CI runs)
#   scripts/fuzz.sh 3600 request_lines    one target for an hour
#   QUELT_FUZZ_RUNS=1000000 scripts/fuzz.sh   a number of executions per target instead of time
# Seeds come from fuzz/corpus/<target>; what a run discovers stays in build-fuzz/corpus/<target>
# and a crashing input in build-fuzz/artifacts/. Reproduce one with
#   build-fuzz/quelt_fuzz_<target> <file>
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
targets=("$@")
((${#targets[@]})) || targets=(request_lines wire audio_file)

# libFuzzer ships with clang's runtime libraries.
scripts/install-missing.sh clang libclang-rt-14-dev

CXX=clang++ scripts/setup.sh build-fuzz -DQUELT_BUILD_FUZZ=ON -DQUELT_SANITIZE=ON \
  -DQUELT_BUILD_TESTS=OFF -DQUELT_BUILD_BENCH=OFF

# Leaks inside the codec libraries are theirs; see fuzz/lsan.supp.
export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp:${LSAN_OPTIONS:-}"
limit=(-max_total_time="$seconds")
[ -n "${QUELT_FUZZ_RUNS:-}" ] && limit=(-runs="$QUELT_FUZZ_RUNS")
mkdir -p build-fuzz/artifacts
# With QUELT_FUZZ_LOGS set, each target's output goes to a file there and one line says how it
# went; the script then ends non-zero when any target failed.
logs="${QUELT_FUZZ_LOGS:-}"
[ -n "$logs" ] && mkdir -p "$logs"
failures=0
for target in "${targets[@]}"; do
  corpus="build-fuzz/corpus/$target"
  mkdir -p "$corpus"
  dictionary=()
  [ -f "fuzz/$target.dict" ] && dictionary=(-dict="fuzz/$target.dict")
  run=("build-fuzz/quelt_fuzz_$target" "$corpus" "fuzz/corpus/$target" "${limit[@]}"
    "${dictionary[@]}" -timeout=30 -rss_limit_mb=4096 -max_len=65536 -print_final_stats=1
    -artifact_prefix="build-fuzz/artifacts/$target-")
  if [ -z "$logs" ]; then
    echo "== $target"
    "${run[@]}"
  elif "${run[@]}" > "$logs/$target.log" 2>&1; then
    echo "fuzz $target: passed"
  else
    echo "fuzz $target: FAILED (log: $logs/$target.log)"
    failures=$((failures + 1))
  fi
done
[ "$failures" = 0 ]
