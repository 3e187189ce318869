#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the panel need; a no-op when
# everything is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-serialport-dev libgl-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xdotool x11-apps imagemagick fonts-liberation
  dbus-daemon dbus-bin at-spi2-core
  desktop-file-utils
)
# `setup.sh fuzz` adds what the fuzzers need (clang with libFuzzer and its sanitizer runtimes).
fuzz_packages=(clang-14 libclang-rt-14-dev)
[ "${1:-}" = fuzz ] && packages+=("${fuzz_packages[@]}")
[ "${SETUP_EXTRA:-}" ] && read -r -a extra <<<"$SETUP_EXTRA" && packages+=("${extra[@]}")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
