#!/usr/bin/env bash
# Starts the program under a virtual X display and saves a PNG of its window.
#   tools/screenshot.sh [output.png] [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/screenshot.png}
build=${2:-build}
for p in xvfb x11-apps imagemagick xdotool; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="${missing:-} $p"
done
if [ -n "${missing:-}" ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
fi
mkdir -p "$(dirname "$out")"
# The simulated crate server on a free port, so the window shows what discovery finds.
server_log=$(mktemp)
"$build/crate/server/qmx-crate-server" --port 0 >"$server_log" 2>&1 &
server=$!
for _ in $(seq 1 50); do
  port=$(grep -o '127.0.0.1:[0-9]*' "$server_log" | head -1 | cut -d: -f2)
  [ -n "$port" ] && break
  sleep 0.1
done
export QMX_SERVER_PORT=$port
# The program keeps its settings file beside itself: run a copy from a scratch folder.
workdir=$(mktemp -d)
cp "$build/src/app/Qmx58_Probe_User" "$workdir/"
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1366x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
prog=""
trap 'kill $prog $xvfb $server 2>/dev/null || true; rm -rf "$workdir" "$server_log"' EXIT
sleep 1
DISPLAY=$display LD_LIBRARY_PATH="$build/crate/qmxapi:$build/crate/qmx58api" "$workdir/Qmx58_Probe_User" &
prog=$!
for _ in $(seq 1 50); do
  win=$(DISPLAY=$display xdotool search --onlyvisible --name "QMX58" 2>/dev/null | head -1 || true)
  [ -n "$win" ] && break
  sleep 0.2
done
sleep "${SCREENSHOT_DELAY:-3}"
DISPLAY=$display import -window "${win:-root}" "$out"
echo "saved $out"
