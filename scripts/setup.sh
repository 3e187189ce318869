#!/usr/bin/env bash
# Installs the Debian packages that `make run`, `make test`, `make package` and `make bench`
# use; a no-op when everything is already there.
set -euo pipefail

packages=(
  # build
  build-essential cmake pkg-config qt6-base-dev qt6-serialport-dev libgl-dev
  # build: xcb's event layouts, to notice the window destroyed by another X client
  libxcb1-dev
  # build: the window's icon, drawn from its SVG into PNGs, so that no release's Qt needs an
  # SVG plugin (Debian 13 moved them out of libqt6svg6); the test draws it the same way
  librsvg2-bin
  # test: the real window on a headless X server, driven and looked at
  googletest libgtest-dev libgmock-dev
  xvfb xdotool x11-apps x11-utils imagemagick fonts-liberation
  # test: the window in a Wayland session, on a headless Weston with XWayland, and with
  # Qt's Wayland plugin where there is no XWayland
  weston xwayland qt6-wayland
  # test: a screen reader's view of the window, over a private D-Bus session
  dbus-daemon dbus-bin at-spi2-core
  # test: the real executable in a private mount namespace (unshare, setpriv, mount), and
  # traced to see when a signal was handled against the frames it wrote
  util-linux mount strace
  # test: other programs on the panel's line, each claiming it its own way: picocom, tio and
  # pyserial by an flock on the device, minicom by a lock file
  picocom tio minicom python3-serial
  # package: CPack's DEB generator runs file and dpkg-shlibdeps; the build takes the
  # distribution's hardening flags from dpkg-buildflags; the package test runs the checkers
  file dpkg-dev lintian desktop-file-utils
  # bench
  libbenchmark-dev
)
# `setup.sh arm64` adds the cross compiler, Qt and GoogleTest for arm64 beside the host's (Qt's
# tools stay the host's), and qemu to run what it builds.
arm64=(g++-aarch64-linux-gnu qt6-base-dev:arm64 qt6-serialport-dev:arm64 libgl-dev:arm64
  libxcb1-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64 qemu-user-static)

# `setup.sh fuzz` adds what the fuzzers need: the release's clang, whatever its version, with
# libFuzzer and the sanitizer runtimes (libclang-rt-dev, Debian's name for them in 12 and 13);
# `setup.sh fresh` what `make check-fresh` needs to build a fresh Debian root; `setup.sh
# windows` the cross compiler, the installer's maker, the icon's renderer and, for
# `make check-windows`, Wine, the far end's Python and tmux for its consoles; `setup.sh format`
# the formatter CI checks the tree with; `setup.sh drivers` the machines `make check-drivers`
# boots (qemu for both architectures), qemu-user and mmdebstrap for their roots, and the
# tool that makes a root's disk image, and the device tree compiler for the Pi's aliases.
case "${1:-}" in
fuzz) packages+=(clang libclang-rt-dev) ;;
fresh) packages+=(mmdebstrap) ;;
arm64) packages+=("${arm64[@]}") ;;
format) packages+=(clang-format) ;;
drivers) packages+=(qemu-system-x86 qemu-system-arm qemu-user-static mmdebstrap arch-test e2fsprogs device-tree-compiler python3) ;;
windows)
  packages+=(g++-mingw-w64-x86-64-posix ninja-build nsis librsvg2-bin wine wine64 python3 xclip tmux)
  ;;
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

if [ "${1:-}" = arm64 ]; then
  dpkg --print-foreign-architectures | grep -qx arm64 || "${as_root[@]}" dpkg --add-architecture arm64
  # A library of both architectures must be of one version: the host's -dev packages come
  # along, so both are brought to what the mirror has now.
  for p in "${arm64[@]}"; do [[ $p == *:arm64 ]] && missing+=("${p%:arm64}"); done
fi

# A fresh desktop runs its automatic updates in its first minutes, holding apt's locks. apt
# waits for the dpkg lock itself (DPkg::Lock::Timeout), but `apt-get update` fails at once on
# the lists lock, so that one is waited for here.
lock_wait=${SETUP_LOCK_WAIT:-600}
apt_opts=(-o "DPkg::Lock::Timeout=$lock_wait")
# The process holding one of `files` (apt's fcntl locks, as /proc/locks lists them by device
# and inode), as "name (pid N)"; fails when none is held.
lock_holder() {
  local f d id pid
  for f in "$@"; do
    [ -e "$f" ] || continue
    d=$(stat -c %d "$f")
    id=$(printf '%02x:%02x:%s' $(((d >> 8) & 0xfff)) $(((d & 0xff) | ((d >> 12) & 0xfff00))) \
      "$(stat -c %i "$f")")
    pid=$(awk -v id="$id" '$6 == id && $5 > 0 { print $5; exit }' /proc/locks 2>/dev/null)
    [ "$pid" ] && echo "$(cat "/proc/$pid/comm" 2>/dev/null || echo '?') (pid $pid)" && return 0
  done
  return 1
}
said=
say_waiting() {
  local holder
  [ -z "$said" ] && holder=$(lock_holder "$@") || return 0
  said=1
  echo "setup: waiting up to $lock_wait s for the package manager lock, held by $holder" \
    "(another install or the system's automatic updates)"
}
dpkg_locks=(/var/lib/dpkg/lock-frontend /var/lib/dpkg/lock)
lists_lock=/var/lib/apt/lists/lock

say_waiting "$lists_lock" "${dpkg_locks[@]}"
deadline=$((SECONDS + lock_wait))
until
  while lock_holder "$lists_lock" >/dev/null && [ $SECONDS -lt $deadline ]; do sleep 1; done
  "${as_root[@]}" apt-get update -qq "${apt_opts[@]}"
do
  # Taken again between the look and the update: wait once more; any other failure stands.
  status=$?
  lock_holder "$lists_lock" >/dev/null && [ $SECONDS -lt $deadline ] || exit $status
done
say_waiting "${dpkg_locks[@]}"
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${apt_opts[@]}" "${missing[@]}"
