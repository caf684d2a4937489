#!/usr/bin/env bash
# Installs, builds, then shows the helper at work through the quelt-voice client: it transcribes
# a bundled recording (live partial texts on a terminal, then the final text of each segment),
# renders a sentence to a WAV file with one of the helper's voices, speaks it, and reads the
# render back.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build

client=build/quelt-voice
recording=tests/fixtures/sentences-16k-mono.wav
out=build/demo
mkdir -p "$out"
sentence="Quelt turns speech into text and text into speech."

step() { printf '\n== %s\n' "$*"; }

step "the helper"
"$client" status

step "English voices"
"$client" voices --language en-US
voice=$("$client" --json voices --language en-US | python3 -c \
  'import json, sys; print(json.load(sys.stdin)["result"]["voices"][0]["id"])')

step "transcribing $recording in real time, a new segment every 4 seconds"
"$client" transcribe --commit-every 4 "$recording"
echo "-- what the recording says:"
cat tests/fixtures/sentences.txt

step "rendering \"$sentence\" with $voice"
"$client" render "$out/demo.wav" "$sentence" --voice "$voice"

step "speaking it"
"$client" say "$sentence" --voice "$voice"

step "reading the render back (a synthetic voice is hard for a recognizer trained on people)"
"$client" transcribe "$out/demo.wav"

printf '\nThe render is at %s.\n' "$out/demo.wav"
