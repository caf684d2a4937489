#!/usr/bin/env bash
# Installs, builds and runs the whole test suite, stress tests included, the Node client's tests
# (clients/node) and the C++ client example against an installed prefix, then runs each fuzzer
# briefly under AddressSanitizer + UndefinedBehaviorSanitizer, and checks the formatting. The
# last line counts all of them:
# "N passed, N failed"; the exit status is non-zero when anything failed.
#   scripts/test.sh                    what CI runs
#   QUELT_FUZZ_SECONDS=0 scripts/test.sh   without the fuzzers
#   scripts/sanitize.sh asan|tsan      the whole suite under ASan + UBSan, or ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build

passed=0
failed=0
mkdir -p build/test-logs
set +e
ctest --test-dir build --output-on-failure -j "$(nproc)" --timeout 600 |
  tee build/test-logs/ctest.log
ctest_status=${PIPESTATUS[0]}
set -e
# "100% tests passed, 0 tests failed out of 174"
summary=$(grep -E 'tests failed out of [0-9]+' build/test-logs/ctest.log | tail -1 || true)
if [ -n "$summary" ]; then
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
  broken=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$summary")
  passed=$((total - broken))
  failed=$broken
fi
# ctest that failed without counting a failure (it could not run) counts as one.
if [ "$ctest_status" != 0 ] && [ "$failed" = 0 ]; then
  failed=1
fi

# The Node client's tests, against the helper just built. Node's runner ends with its counts,
# "# pass N" and "# fail N" in TAP ("ℹ pass N" when it writes for a terminal); the tests it
# cancelled (a failed set-up) count as failed.
set +e
helper="$PWD/build/quelt-voice-helper"
(cd clients/node && npm ci --no-audit --no-fund && QUELT_VOICE_HELPER="$helper" npm test) 2>&1 |
  tee build/test-logs/node.log
node_status=${PIPESTATUS[0]}
set -e
node_count() {
  grep -E "^(# |ℹ )$1 [0-9]+\$" build/test-logs/node.log | tail -1 | grep -oE '[0-9]+$' || echo 0
}
node_passed=$(node_count pass)
node_failed=$(($(node_count fail) + $(node_count cancelled)))
if [ "$node_status" != 0 ] && [ "$node_failed" = 0 ]; then
  node_failed=1
fi
passed=$((passed + node_passed))
failed=$((failed + node_failed))

# The C++ client library as another program uses it: installed, found by find_package, and run
# against the installed helper (examples/cpp-client); one check in the count.
example_log=build/test-logs/example-cpp-client.log
if {
  rm -rf build/install-prefix build/example-cpp-client &&
    cmake --install build --prefix build/install-prefix &&
    cmake -S examples/cpp-client -B build/example-cpp-client \
      -DCMAKE_PREFIX_PATH="$PWD/build/install-prefix" &&
    cmake --build build/example-cpp-client &&
    env -u QUELT_VOICE_ENGINES QUELT_VOICE_HELPER=build/install-prefix/bin/quelt-voice-helper \
      build/example-cpp-client/quelt-cpp-client
} >"$example_log" 2>&1; then
  echo "example cpp-client: passed"
  passed=$((passed + 1))
else
  echo "example cpp-client: FAILED (see $example_log)"
  failed=$((failed + 1))
fi

# Every C++ file as clang-format leaves it; one check in the count.
if git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror 2>build/test-logs/format.log; then
  echo "format: passed"
  passed=$((passed + 1))
else
  echo "format: FAILED (clang-format -i on the files in build/test-logs/format.log)"
  failed=$((failed + 1))
fi

seconds="${QUELT_FUZZ_SECONDS:-20}"
if [ "$seconds" != 0 ]; then
  set +e
  QUELT_FUZZ_LOGS=build-fuzz/logs scripts/fuzz.sh "$seconds" | tee build/test-logs/fuzz.log
  fuzz_status=${PIPESTATUS[0]}
  set -e
  fuzz_passed=$(grep -c '^fuzz .*: passed$' build/test-logs/fuzz.log || true)
  fuzz_failed=$(grep -c '^fuzz .*: FAILED' build/test-logs/fuzz.log || true)
  if [ "$fuzz_status" != 0 ] && [ "$fuzz_failed" = 0 ]; then
    fuzz_failed=1
  fi
  passed=$((passed + fuzz_passed))
  failed=$((failed + fuzz_failed))
fi

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
