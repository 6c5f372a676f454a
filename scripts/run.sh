#!/usr/bin/env bash
# Installs what is missing, builds the program and runs it against the crate server on
# 127.0.0.1:11111; when nothing answers there, starts the simulated crate server first (and
# stops it when the program ends).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja
cmake --build "$BUILD_DIR" -j "$(nproc)" --target Qmx58_Probe_User qmx-crate-server

server_pid=""
if ! (exec 3<>/dev/tcp/127.0.0.1/11111) 2>/dev/null; then
  echo "No crate server on 127.0.0.1:11111: starting the simulated one."
  "$BUILD_DIR/crate/server/qmx-crate-server" --port 11111 &
  server_pid=$!
  trap '[ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true' EXIT
  for _ in $(seq 1 50); do
    (exec 3<>/dev/tcp/127.0.0.1/11111) 2>/dev/null && break
    sleep 0.1
  done
fi
"$BUILD_DIR/src/app/Qmx58_Probe_User"
