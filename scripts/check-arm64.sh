#!/usr/bin/env bash
# make check-arm64: the arm64 build, run under qemu's user mode. The portable suites (through
# CMake's cross-compiling emulator), and the .deb installed with apt into a fresh arm64 Debian
# 12 root, where it starts with no serial port at all. (The program driven on a Raspberry Pi's
# UART is check-drivers' row pi.) Prints one summary line and fails on any failure.
#
# Needs root (mount namespaces, mmdebstrap) and the network for the root's packages, which are
# kept in $ARM64_BUILD/check-arm64/apt-cache for the next run; remove it for a cold one.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${ARM64_BUILD:-$here/build-arm64}" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "check-arm64: needs root (mount namespaces, mmdebstrap)" >&2; exit 2; }

# shellcheck source=scripts/checks.sh
. "$here/scripts/checks.sh"
checks_begin check-arm64
version=$(project_version "$build")
deb=$build/servo-panel_${version}-1_arm64.deb
program=$build/servo-panel
out=$build/check-arm64
mkdir -p "$out"
rm -f "$out"/*.log
work=$(mktemp -d /var/tmp/servo-panel-arm64.XXXXXX)
trap 'rm -rf --one-file-system "$work"' EXIT
start=$SECONDS

check "the program is an arm64 executable" sh -c "file -L '$program' | grep -q 'ARM aarch64'"
depends=$(dpkg-deb -f "$deb" Depends 2>/dev/null || true)
check "$(basename "$deb"): Architecture $(dpkg-deb -f "$deb" Architecture 2>/dev/null)" \
  test "$(dpkg-deb -f "$deb" Architecture 2>/dev/null)" = arm64
dependencies_ok() {
  grep -qw libqt6widgets6 <<<"$depends" && grep -qw libqt6serialport6 <<<"$depends" &&
    grep -qw qt6-qpa-plugins <<<"$depends" && ! grep -qi svg <<<"$depends"
}
check "its dependencies from the arm64 libraries, no SVG library: $depends" dependencies_ok

# The suites that need no port and no window, each test under qemu.
(cd "$build" && ctest -L portable -j2 --output-on-failure) >"$out/portable.log" 2>&1 || true
check_ctest "portable suites under qemu" "$out/portable.log"

# A fresh arm64 Debian 12 from the mirrors this machine's apt uses, with the package installed
# by apt, and the program started there with no serial port.
cat >"$work/start.sh" <<'EOF'
# In the arm64 root: no serial port may be reachable; then the installed program, offscreen.
set -u
ls /dev/ttyS* /dev/ttyAMA* /dev/ttyUSB* /dev/ttyACM* /dev/serial* 2>/dev/null && exit 99
uname -m
dpkg-query -W -f='${Package} ${Version} ${Architecture}\n' servo-panel
command -v servo-panel
QT_QPA_PLATFORM=offscreen timeout -s TERM 60 servo-panel 2>/tmp/panel.err &
for _ in $(seq 600); do grep -q 'Cannot' /tmp/panel.err && break; sleep 0.1; done
kill %1 2>/dev/null
wait
cat /tmp/panel.err
EOF
mmdebstrap_status=0
export SERVO_START=$work/start.sh SERVO_ROOT_LOG=$out/root.log SERVO_DEB=${deb##*/}
# shellcheck disable=SC2016 # mmdebstrap's hooks expand $1
debian_root arm64 bookworm "$work/root" "$out/apt-cache" "$out/mmdebstrap.log" \
  --skip=essential/unlink --customize-hook="copy-in '$deb' /tmp" \
  --customize-hook='chroot "$1" apt-get install -y /tmp/"$SERVO_DEB" >"$SERVO_ROOT_LOG" 2>&1' \
  --customize-hook='chroot "$1" sh -s <"$SERVO_START" >>"$SERVO_ROOT_LOG" 2>&1' ||
  mmdebstrap_status=$?
installed=$(grep -m1 '^servo-panel .* arm64$' "$out/root.log" 2>/dev/null || true)
check "apt installed $(basename "$deb") into a fresh arm64 Debian 12 root: ${installed:-no}" \
  sh -c "[ $mmdebstrap_status -eq 0 ] && [ -n '$installed' ] && grep -qx aarch64 '$out/root.log'"
report=$(grep -m1 'Cannot' "$out/root.log" 2>/dev/null || true)
check "it starts there and reports: ${report:-nothing (see $out/root.log)}" \
  sh -c "grep -q 'Cannot open port 1' '$out/root.log'"

checks_end "$((SECONDS - start)) s; logs in $out"
