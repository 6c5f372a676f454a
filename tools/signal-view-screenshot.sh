#!/usr/bin/env bash
# Saves pictures of the signal view during a run of the built-in rig's first module
# (docs/signal-view.png, docs/signal-view-log.png) and of the main window during a run
# (docs/main-window-running.png), using the simulated crate server in-process.
#   tools/signal-view-screenshot.sh [build-dir] [output-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=${2:-docs}
cmake --build "$build" --target hidden_pages_shot
QT_QPA_PLATFORM=offscreen "$build/tests/app/hidden_pages_shot" --signal-view "$out"
QT_QPA_PLATFORM=offscreen "$build/tests/app/hidden_pages_shot" --main-running "$out"
