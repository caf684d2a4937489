#!/usr/bin/env bash
# Installs what the helper and its tests need on Debian 12, then configures and builds.
#   scripts/setup.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake pkg-config
  nlohmann-json3-dev libicu-dev libasio-dev libgtest-dev libbenchmark-dev
  libsndfile1-dev libsoxr-dev libpulse-dev
  libespeak-ng-dev espeak-ng-data libpocketsphinx-dev pocketsphinx-en-us
  pulseaudio sox festival festvox-us-slt-hts util-linux python3
)

scripts/install-missing.sh "${packages[@]}"

build_dir="${1:-build}"
shift || true
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
