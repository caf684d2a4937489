#!/usr/bin/env bash
# Installs, builds and runs a short scripted session against the helper, showing each request
# and what the helper answers.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
exec python3 scripts/session.py build/quelt-voice-helper
