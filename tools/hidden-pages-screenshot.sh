#!/usr/bin/env bash
# Saves pictures of the pages that the program never shows (correction coefficients,
# verification, instrument panels) into docs/, using the simulated crate server in-process.
#   tools/hidden-pages-screenshot.sh [build-dir] [output-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=${2:-docs}
cmake --build "$build" --target hidden_pages_shot
QT_QPA_PLATFORM=offscreen "$build/tests/app/hidden_pages_shot" "$out"
