#!/usr/bin/env bash
# Builds the helper and runs the whole test suite under a sanitizer, in a build directory of
# its own.
#   scripts/sanitize.sh asan   AddressSanitizer + UndefinedBehaviorSanitizer (build-asan)
#   scripts/sanitize.sh tsan   ThreadSanitizer (build-tsan)
# Further arguments go to ctest, e.g. scripts/sanitize.sh tsan -R Stress
set -euo pipefail
cd "$(dirname "$0")/.."

kind="${1:-asan}"
shift || true
case "$kind" in
asan)
  build_dir=build-asan
  scripts/setup.sh "$build_dir" -DQUELT_SANITIZE=ON -DQUELT_BUILD_BENCH=OFF
  # Leaks count as failures; the helper itself leaves through _exit, so only the test
  # processes are checked.
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
  ;;
tsan)
  build_dir=build-tsan
  scripts/setup.sh "$build_dir" -DQUELT_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer -Wno-tsan" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=thread"
  # libpulse, espeak-ng and pocketsphinx are not instrumented; tests/tsan.supp names the
  # reports that come from inside them. The helper, spawned by the tests, inherits this.
  export TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1:${TSAN_OPTIONS:-}"
  ;;
*)
  echo "usage: $0 asan|tsan [ctest arguments...]" >&2
  exit 2
  ;;
esac

ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" --timeout 600 "$@"
