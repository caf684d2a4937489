# Debian 12 packages, sourced by the scripts that install them.

# Building the helper, its engine module and the client, and what they read at run time.
build_packages=(
  build-essential cmake pkg-config
  nlohmann-json3-dev libicu-dev libasio-dev
  libsndfile1-dev libsoxr-dev libpulse-dev
  libespeak-ng-dev espeak-ng-data flite1-dev libpocketsphinx-dev pocketsphinx-en-us
)

# The tests and benchmarks add their frameworks, a sound server they start for themselves, and
# what cpack needs to compute the package's dependencies (file, dpkg-shlibdeps), the
# formatter the suite checks the code with, and the validator that checks the helper's logged
# output against protocol/quelt-voice-helper.schema.json.
test_packages=(
  libgtest-dev libbenchmark-dev pulseaudio util-linux file dpkg-dev clang-format
  python3 python3-jsonschema
)

# The Node client's tests need node and npm: Debian's when the machine has none. A Node from
# elsewhere brings its own npm and conflicts with Debian's npm package, so it stays as it is.
client_packages=()
command -v node >/dev/null 2>&1 || client_packages+=(nodejs)
command -v npm >/dev/null 2>&1 || client_packages+=(npm)
