#!/usr/bin/env bash
# Installs the Debian package for real, times apt-get install and the first window of the
# installed program under a virtual X display, then purges the package and lists any of its
# files that are left (there should be none). As root; changes this machine's packages.
#   tools/install-timing.sh [path/to/qmx58-probe_<version>_amd64.deb]
set -euo pipefail
deb=$(readlink -f "${1:-$(ls build/qmx58-probe_*_amd64.deb | head -1)}")
for p in xvfb x11-utils bc; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="${missing:-} $p"
done
if [ -n "${missing:-}" ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
fi
scratch=$(mktemp -d)
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1366x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
srv=""
trap 'kill $srv $xvfb 2>/dev/null || true; rm -rf "$scratch"' EXIT
sleep 1
export XDG_CONFIG_HOME=$scratch/config

t0=$(date +%s.%N)
DEBIAN_FRONTEND=noninteractive apt-get install -y "$deb" >"$scratch/apt-install.log" 2>&1
t1=$(date +%s.%N)

qmx-crate-server --port 0 --fast >"$scratch/server.log" 2>&1 &
srv=$!
for _ in $(seq 100); do
  port=$(sed -n '1s/.*127\.0\.0\.1:\([0-9]*\).*/\1/p' "$scratch/server.log")
  [ -n "$port" ] && break
  sleep 0.02
done
export QMX_SERVER_PORT=$port

# A window of process $1 titled QMX58... mapped on the display.
shown() {
  local id
  for id in $(DISPLAY=$display xwininfo -root -tree 2>/dev/null | awk '/"QMX58/ { print $1 }'); do
    DISPLAY=$display xprop -id "$id" _NET_WM_PID 2>/dev/null | grep -q "= $1\$" || continue
    DISPLAY=$display xwininfo -id "$id" 2>/dev/null | grep -q 'Map State: IsViewable' && return 0
  done
  return 1
}
# Starts the installed window; prints the start and the shown time.
startup() {
  local s e w
  s=$(date +%s.%N)
  DISPLAY=$display Qmx58_Probe_User >"$scratch/window.log" 2>&1 &
  w=$!
  for _ in $(seq 3000); do shown $w && break; sleep 0.01; done
  e=$(date +%s.%N)
  echo "$s $e"
  sleep 2
  kill $w; wait $w 2>/dev/null || true
}
read -r s2 t2 < <(startup)
echo "package: $(stat -c %s "$deb") bytes; $(dpkg-deb -f "$deb" Installed-Size) KiB installed"
echo "apt-get install: $(echo "$t1 - $t0" | bc) s"
echo "start -> window shown: $(echo "$t2 - $s2" | bc) s; apt-get install start -> first window: $(echo "$t2 - $t0" | bc) s"
for i in 1 2 3; do
  read -r s e < <(startup)
  echo "later start $i -> window shown: $(echo "$e - $s" | bc) s"
done
echo "settings: $(ls "$XDG_CONFIG_HOME/qmx58-probe")"

files=$(dpkg -L qmx58-probe | while read -r f; do [ -f "$f" ] && echo "$f"; done)
t3=$(date +%s.%N)
DEBIAN_FRONTEND=noninteractive apt-get purge -y qmx58-probe >"$scratch/apt-purge.log" 2>&1
t4=$(date +%s.%N)
echo "apt-get purge: $(echo "$t4 - $t3" | bc) s"
left=0
for f in $files; do [ -e "$f" ] && { echo "left: $f"; left=1; }; done
[ "$left" = 0 ] && echo "nothing of the package is left"
