#!/usr/bin/env bash
# Installs, builds and runs the whole test suite, stress tests included, then runs each fuzzer
# briefly under AddressSanitizer + UndefinedBehaviorSanitizer.
#   scripts/test.sh                    what CI runs
#   QUELT_FUZZ_SECONDS=0 scripts/test.sh   without the fuzzers
#   scripts/sanitize.sh asan|tsan      the whole suite under ASan + UBSan, or ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build
ctest --test-dir build --output-on-failure -j "$(nproc)" --timeout 600

seconds="${QUELT_FUZZ_SECONDS:-20}"
if [ "$seconds" != 0 ]; then
  scripts/fuzz.sh "$seconds"
fi
