#!/usr/bin/env bash
# Installs the Debian packages that `make run`, `make test`, `make package` and `make bench`
# use; a no-op when everything is already there.
set -euo pipefail

packages=(
  # build
  build-essential cmake pkg-config qt6-base-dev qt6-serialport-dev libgl-dev
  # run: the window's icon is an SVG, drawn by the plugins of libqt6svg6
  libqt6svg6
  # test: the real window on a headless X server, driven and looked at
  googletest libgtest-dev libgmock-dev
  xvfb xdotool x11-apps x11-utils imagemagick fonts-liberation
  # test: a screen reader's view of the window, over a private D-Bus session
  dbus-daemon dbus-bin at-spi2-core
  # test: the real executable in a private mount namespace (unshare, setpriv, mount)
  util-linux mount
  # package: CPack's DEB generator runs file and dpkg-shlibdeps; the build takes the
  # distribution's hardening flags from dpkg-buildflags; the package test runs the checkers
  file dpkg-dev lintian desktop-file-utils
  # bench
  libbenchmark-dev
)
# `setup.sh fuzz` adds what the fuzzers need (clang with libFuzzer and its sanitizer runtimes);
# `setup.sh fresh` what `make check-fresh` needs to build a fresh Debian root; `setup.sh
# windows` the cross compiler, the installer's maker, the icon's renderer and, for
# `make check-windows`, Wine and the far end's Python.
case "${1:-}" in
fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
fresh) packages+=(mmdebstrap) ;;
windows) packages+=(g++-mingw-w64-x86-64-posix ninja-build nsis librsvg2-bin wine wine64 python3) ;;
esac
[ "${SETUP_EXTRA:-}" ] && read -r -a extra <<<"$SETUP_EXTRA" && packages+=("${extra[@]}")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

# sudo drops the environment, so the front end goes through env: no question may wait
# for an answer nobody sees.
as_root=(env DEBIAN_FRONTEND=noninteractive)
[ "$(id -u)" -ne 0 ] && as_root=(sudo "${as_root[@]}")
echo "setup: installing ${missing[*]}"
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
