#!/usr/bin/env bash
# Installs, builds and runs the whole test suite.
#   scripts/test.sh            the normal build
#   QUELT_SANITIZE=1 scripts/test.sh   under AddressSanitizer + UndefinedBehaviorSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${QUELT_SANITIZE:-0}" = 1 ]; then
  scripts/setup.sh build-asan -DQUELT_SANITIZE=ON
  build_dir=build-asan
else
  scripts/setup.sh build
  build_dir=build
fi
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" --timeout 300
