#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need, when missing;
# packages named as arguments too (scripts/fuzz.sh adds clang and its fuzzer runtime).
set -euo pipefail
# dpkg-dev (dpkg-shlibdeps) and desktop-file-utils serve the package and its tests.
pkgs=(build-essential cmake ninja-build pkg-config libgtest-dev qt6-base-dev libfftw3-dev fonts-liberation locales
      dpkg-dev desktop-file-utils "$@")
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

# The window is tested under a Russian locale too (its numbers must still use ".").
if ! locale -a 2>/dev/null | grep -qi '^ru_RU\.utf-\?8$'; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO sed -i 's/^# *\(ru_RU.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ru_RU.UTF-8 UTF-8' /etc/locale.gen || echo 'ru_RU.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null
fi
