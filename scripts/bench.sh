#!/usr/bin/env bash
# Installs what is missing on Debian 12, builds the helper with its benchmarks and runs them:
# the audio path's micro-benchmarks, then the helper as a whole process beside
# pocketsphinx_continuous, espeak-ng and flite, ending with one table. Takes a few minutes; the
# microphone capture alone lasts a minute.
#   scripts/bench.sh [build-dir] [quelt_process_bench options: --runs N, --mic-seconds S, --only ...]
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build-bench
if (($#)) && [[ "$1" != -* ]]; then
  build_dir="$1"
  shift
fi

# The engines' own command-line programs are what the helper is measured against.
packages=(pocketsphinx espeak-ng flite)
scripts/install-missing.sh "${packages[@]}"

# Installs the build's own packages too (Google Benchmark, pulseaudio, the models and voices);
# the test suite is not needed here.
scripts/setup.sh "$build_dir" -DQUELT_BUILD_BENCH=ON -DQUELT_BUILD_TESTS=OFF

"$build_dir/bench/quelt_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
"$build_dir/bench/quelt_process_bench" "$@"
# Contextual strings: made-up names heard with and without them.
bench/contextual-names.sh "$build_dir"
