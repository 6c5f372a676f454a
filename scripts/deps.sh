#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need, when missing;
# packages named as arguments too (scripts/fuzz.sh adds clang and its fuzzer runtime).
set -euo pipefail
# dpkg-dev (dpkg-shlibdeps) and desktop-file-utils serve the package and its tests, procps
# (pgrep) the test of the launcher qmx58-probe-demo.
pkgs=(build-essential cmake ninja-build pkg-config libgtest-dev qt6-base-dev libfftw3-dev fonts-liberation locales
      dpkg-dev desktop-file-utils procps "$@")
# The package's checkers (tests/packaging): lintian, appstreamcli (appstream) and
# hardening-check (devscripts), without their recommendations (devscripts recommends a
# keyring and many network tools the tests never use).
checkers=(lintian appstream devscripts)
not_installed() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}
mapfile -t missing < <(not_installed "${pkgs[@]}")
mapfile -t missing_checkers < <(not_installed "${checkers[@]}")
if [ ${#missing[@]} -gt 0 ] || [ ${#missing_checkers[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]} ${missing_checkers[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
  fi
  if [ ${#missing_checkers[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing_checkers[@]}"
  fi
fi

# The window is tested under a Russian locale too (its numbers must still use ".").
if ! locale -a 2>/dev/null | grep -qi '^ru_RU\.utf-\?8$'; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO sed -i 's/^# *\(ru_RU.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ru_RU.UTF-8 UTF-8' /etc/locale.gen || echo 'ru_RU.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null
fi
