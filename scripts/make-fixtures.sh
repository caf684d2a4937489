#!/usr/bin/env bash
# Regenerates the recordings in tests/fixtures with festival's HTS voice and sox. Both are
# deterministic here (no dither, fixed voice), so a rerun reproduces the committed files.
#   scripts/make-fixtures.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-missing.sh festival festvox-us-slt-hts sox

out=tests/fixtures
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

# Words pocketsphinx's en-us model gets right from this voice, so recognition tests can expect
# the exact text.
sentence="we will meet at the office tomorrow morning"
sentences=(
  "open the door and turn on the light"
  "the weather is nice today"
  "this is a test of the speech system"
  "she has a small house near the river"
  "can you tell me the time please"
)

# -D: no dither, whose noise would differ on every run.
sx() { sox -D "$@"; }

speak() { # text, output: festival's own rate and layout
  printf '%s\n' "$1" | text2wave -eval "(voice_cmu_us_slt_arctic_hts)" -o "$2"
}

speak "$sentence" "$work/sentence.wav"
sx "$work/sentence.wav" -r 16000 -c 1 -b 16 "$out/sentence-16k-mono.wav"
sx "$work/sentence.wav" -r 48000 -c 2 -b 16 "$out/sentence-48k-stereo.wav"
printf '%s\n' "$sentence" >"$out/sentence.txt"

# One second of silence between sentences, as a speaker pausing between thoughts.
sx -n -r 16000 -c 1 -b 16 "$work/pause.wav" trim 0 1
parts=()
for i in "${!sentences[@]}"; do
  speak "${sentences[$i]}" "$work/part$i.wav"
  sx "$work/part$i.wav" -r 16000 -c 1 -b 16 "$work/part$i-16k.wav"
  ((i > 0)) && parts+=("$work/pause.wav")
  parts+=("$work/part$i-16k.wav")
done
sx "${parts[@]}" "$out/sentences-16k-mono.wav"
printf '%s\n' "${sentences[@]}" >"$out/sentences.txt"

# Exactly 8000 frames: pacing tests time one second of audio.
sx -n -r 8000 -c 1 -b 16 "$out/tone-8k-1s.wav" synth 1 sine 440 vol 0.5

ls -l "$out"
