#!/usr/bin/env bash
# Installs what the helper needs, builds the helper, its engine module and the client (nothing
# else), then shows the helper at work through the quelt-voice client: it transcribes a bundled
# recording (live partial texts on a terminal, then the final text of each segment), renders a
# sentence to a WAV file, speaks it, and reads the render back.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

mkdir -p build
log=build/demo-setup.log
: >"$log"

# One line per step; the step's output goes to the log, shown only when it fails.
run_step() {
  local title="$1"
  shift
  local started=$SECONDS
  printf '%s ... ' "$title"
  if "$@" >>"$log" 2>&1; then
    printf 'done (%d s)\n' $((SECONDS - started))
  else
    printf 'FAILED\n\n'
    tail -n 25 "$log"
    printf '\nThe whole log is %s.\n' "$log"
    exit 1
  fi
}

run_step "installing packages" scripts/install-missing.sh "${build_packages[@]}"
run_step "configuring" cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUELT_BUILD_TESTS=OFF -DQUELT_BUILD_BENCH=OFF
run_step "building the helper, its engines and the client" \
  cmake --build build -j "$(nproc)" --target quelt-voice-helper quelt_engines quelt-voice

client=build/quelt-voice
recording=tests/fixtures/sentences-16k-mono.wav
out=build/demo
mkdir -p "$out"
sentence="Quelt turns speech into text and text into speech."

step() { printf '\n== %s\n' "$*"; }

step "the helper"
"$client" status

step "transcribing $recording in real time, a new segment every 4 seconds"
"$client" transcribe --commit-every 4 "$recording"
echo "-- what the recording says:"
cat tests/fixtures/sentences.txt

step "rendering \"$sentence\" in English"
"$client" render "$out/demo.wav" --language en "$sentence"

step "speaking it (silent without a sound server; the helper says so)"
"$client" say --language en "$sentence"

step "reading the render back (a synthetic voice is hard for a recognizer trained on people)"
"$client" transcribe "$out/demo.wav"

printf '\nThe render is at %s. quelt-voice --help shows what else the client does.\n' \
  "$out/demo.wav"
