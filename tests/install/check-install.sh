#!/usr/bin/env bash
# What the build installs and packages:
#   check-install.sh prefix BUILD_DIR    installs into a temporary prefix and works from there
#   check-install.sh package BUILD_DIR   makes the .deb and checks its files and dependencies
set -euo pipefail
what="$1"
build="$2"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

# Nothing from the build tree may help the installed programs find their parts.
unset QUELT_VOICE_HELPER QUELT_VOICE_ENGINES
export PATH=/usr/bin:/bin

case "$what" in
prefix)
  prefix="$scratch/prefix"
  cmake --install "$build" --prefix "$prefix" >/dev/null
  libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
  for file in bin/quelt-voice bin/quelt-voice-helper \
    lib/quelt-voice-helper/quelt-voice-helper-engines.so share/man/man1/quelt-voice.1 \
    share/man/man1/quelt-voice-helper.1 share/doc/quelt-voice-helper/copyright \
    share/quelt-voice-helper/quelt-voice-helper.schema.json \
    include/quelt/client/Helper.h include/quelt/client/Error.h include/quelt/wire/Vocabulary.h \
    "$libdir/libquelt_client.a" "$libdir/cmake/QueltVoice/QueltVoiceConfig.cmake" \
    "$libdir/cmake/QueltVoice/QueltVoiceConfigVersion.cmake" \
    "$libdir/cmake/QueltVoice/QueltVoiceTargets.cmake"; do
    [ -e "$prefix/$file" ] || fail "$file was not installed"
  done
  version=$(sed -n 's/^project(quelt-voice-helper VERSION \([0-9.]*\).*/\1/p' \
    "$(dirname "$0")/../../CMakeLists.txt")
  [ "$("$prefix/bin/quelt-voice" --version)" = "quelt-voice $version" ] || fail "--version"
  # From somewhere else, through the installed helper and its engine module.
  cd "$scratch"
  out=$("$prefix/bin/quelt-voice" render spoken.wav Hello from the installed helper) ||
    fail "render from the prefix: $out"
  [ -s spoken.wav ] || fail "render wrote nothing"
  echo "$out"
  ;;
package)
  (cd "$build" && cpack -B "$scratch" >/dev/null)
  deb=$(ls "$scratch"/*.deb)
  files=$(dpkg-deb -c "$deb" | awk '{print $NF}')
  for file in ./usr/bin/quelt-voice ./usr/bin/quelt-voice-helper \
    ./usr/lib/quelt-voice-helper/quelt-voice-helper-engines.so \
    ./usr/share/man/man1/quelt-voice.1 ./usr/share/man/man1/quelt-voice-helper.1 \
    ./usr/share/doc/quelt-voice-helper/copyright \
    ./usr/share/quelt-voice-helper/quelt-voice-helper.schema.json; do
    grep -qxF "$file" <<<"$files" || fail "$file is not in the package"
  done
  # The client library is for building against, not for running.
  ! grep -E 'libquelt_client|/include/|/cmake/' <<<"$files" || fail "the package holds the client library"
  depends=$(dpkg-deb -f "$deb" Depends)
  # Computed from what the binaries link, plus the data and libraries the engines load.
  for package in libespeak-ng1 libpocketsphinx3 libpulse0 libsndfile1 libsoxr0 libicu \
    espeak-ng-data libflite1 pocketsphinx-en-us; do
    grep -q "$package" <<<"$depends" || fail "Depends lacks $package: $depends"
  done
  echo "$(basename "$deb"): $depends"
  ;;
*)
  fail "unknown check $what"
  ;;
esac
