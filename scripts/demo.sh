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
sentence="Good morning. The weather is nice today, so we can walk to the park."

step() { printf '\n== %s\n' "$*"; }

step "the helper"
"$client" status

step "transcribing $recording in real time, a new segment every 4 seconds"
"$client" transcribe --commit-every 4 "$recording"
echo "-- what the recording says:"
cat tests/fixtures/sentences.txt

step "rendering \"$sentence\" with the default English voice"
rendered=$("$client" render "$out/demo.wav" --language en "$sentence")
echo "$rendered"
voice=${rendered##* voice }
echo "-- the voice: $voice"

step "speaking it with the same voice (silent without a sound server; the helper says so)"
"$client" say --voice "$voice" "$sentence"

step "reading the render back"
heard=$("$client" transcribe "$out/demo.wav")
echo "$heard"
# How many of the sentence's words the recognizer heard, in order (longest common subsequence).
awk -v said="$sentence" -v heard="$heard" 'BEGIN {
  n = split(tolower(said), a, /[^a-z\x27]+/); m = split(tolower(heard), b, /[^a-z\x27]+/)
  for (i = 0; i <= n; i++) for (j = 0; j <= m; j++) c[i, j] = 0
  for (i = 1; i <= n; i++) for (j = 1; j <= m; j++)
    c[i, j] = a[i] == b[j] && a[i] != "" ? c[i-1, j-1] + 1 : (c[i-1, j] > c[i, j-1] ? c[i-1, j] : c[i, j-1])
  words = 0; for (i = 1; i <= n; i++) if (a[i] != "") words++
  printf "-- %d of %d words read back (%d %%)\n", c[n, m], words, 100 * c[n, m] / words
}'

printf '\nThe render is at %s. quelt-voice --help shows what else the client does.\n' \
  "$out/demo.wav"
