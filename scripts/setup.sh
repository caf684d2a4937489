#!/usr/bin/env bash
# Installs what the helper, its tests (the Node client's too) and benchmarks need on Debian 12,
# then configures and builds everything.
#   scripts/setup.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

scripts/install-missing.sh "${build_packages[@]}" "${test_packages[@]}" "${client_packages[@]}"

build_dir="${1:-build}"
shift || true
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELT_BUILD_TESTS=ON \
  -DQUELT_BUILD_BENCH=ON "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
