#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
#   BUILD_DIR   build folder (default: build)
#   CMAKE_ARGS  extra CMake arguments (e.g. -DQMX_SANITIZE=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
BUILD_DIR=${BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$BUILD_DIR" -G Ninja ${CMAKE_ARGS:-}
cmake --build "$BUILD_DIR" -j "$(nproc)"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)"
