#!/usr/bin/env bash
# How many made-up names (none is in pocketsphinx's dictionary) dictation hears, without and
# with the names as contextual strings, and the fixtures' words with no list at all.
# Each sentence is said by two flite voices, rendered by the helper itself.
#   bench/contextual-names.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
client="${1:-build}/quelt-voice"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

names=(Velmira Zorblat Quelt Tavari Brannoch Orlenko Kestrowe Anwenna Drezzik Morvaine)
sentences=(
  "Please send the report to Velmira before noon."
  "I had lunch with Zorblat yesterday."
  "Open the Quelt settings and turn on dictation."
  "Tavari will call you back this evening."
  "The meeting with Brannoch starts at three."
  "Ask Orlenko about the new budget."
  "We drove to Kestrowe on Sunday."
  "My sister Anwenna lives near the river."
  "Tell Drezzik that the car is ready."
  "The package from Morvaine arrived this morning."
)
context=()
for name in "${names[@]}"; do context+=(--context "$name"); done

without=0 with=0 total=0
for i in "${!sentences[@]}"; do
  for voice in flite:kal16 flite:rms; do
    wav="$work/$i-${voice#flite:}.wav"
    "$client" render "$wav" --voice "$voice" -- "${sentences[$i]}" >/dev/null
    total=$((total + 1))
    plain=$("$client" transcribe "$wav")
    listed=$("$client" transcribe "$wav" "${context[@]}")
    grep -qi "${names[$i]}" <<<"$plain" && without=$((without + 1))
    grep -q "${names[$i]}" <<<"$listed" && with=$((with + 1))
    printf '%-9s %-6s without: %s\n%-16s with:    %s\n' "${names[$i]}" "${voice#flite:}" \
      "$plain" "" "$listed"
  done
done
printf -- '-- names heard: %d of %d without the list, %d of %d with it\n' \
  "$without" "$total" "$with" "$total"

# The fixtures, with an empty list, word for word against their transcripts.
for fixture in sentence-16k-mono sentences-16k-mono; do
  heard=$("$client" transcribe "tests/fixtures/$fixture.wav" | tr '\n' ' ')
  awk -v said="$(tr '\n' ' ' <"tests/fixtures/${fixture%-16k-mono}.txt")" -v heard="$heard" \
    -v name="$fixture" 'BEGIN {
    n = split(tolower(said), a, /[^a-z\x27]+/); m = split(tolower(heard), b, /[^a-z\x27]+/)
    for (i = 0; i <= n; i++) for (j = 0; j <= m; j++) c[i, j] = 0
    for (i = 1; i <= n; i++) for (j = 1; j <= m; j++)
      c[i, j] = a[i] == b[j] && a[i] != "" ? c[i-1, j-1] + 1 : (c[i-1, j] > c[i, j-1] ? c[i-1, j] : c[i, j-1])
    words = 0; for (i = 1; i <= n; i++) if (a[i] != "") words++
    printf "-- %s: %d of %d words heard\n", name, c[n, m], words
  }'
done
