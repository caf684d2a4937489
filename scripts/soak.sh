#!/usr/bin/env bash
# Builds, then soaks the helper: 10000 capture start/stop cycles and 10000 renders through one
# process, checking that its threads, file descriptors and memory stay flat.
#   scripts/soak.sh [cycles] [build-dir]     defaults: 10000, build
# The ordinary test run does the same with 200 of each.
set -euo pipefail
cd "$(dirname "$0")/.."

cycles="${1:-10000}"
build_dir="${2:-build}"
scripts/setup.sh "$build_dir"
QUELT_SOAK_CYCLES="$cycles" "$build_dir/tests/quelt_stress_tests" --gtest_filter='Soak.*'
