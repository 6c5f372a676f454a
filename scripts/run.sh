#!/usr/bin/env bash
# Installs what is missing, builds the program and runs it against the simulated crate server.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja
cmake --build "$BUILD_DIR" -j "$(nproc)"
echo "QMX58 Probe: the measurement core is built; the window and the simulated crate server are not there yet."
