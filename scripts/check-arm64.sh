#!/usr/bin/env bash
# make check-arm64: the arm64 build, its package's fields, and its portable suites under qemu's
# user mode (through CMake's cross-compiling emulator). Prints one summary line and fails on
# any failure.
#
# The package installed and run in an arm64 Debian 12 is check-drivers' row pi: dpkg installs
# it there among the packages its Depends name, and the panel runs as a Raspberry Pi's user
# runs it, on a PL011 behind serial0, and reports that UART as the console (row pi-console).
# A root of this check's own, where apt installed it and it started with no port, proved
# little beyond that and cost one more arm64 Debian made under qemu-user.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${ARM64_BUILD:-$here/build-arm64}" && pwd)

# shellcheck source=scripts/checks.sh
. "$here/scripts/checks.sh"
checks_begin check-arm64
version=$(project_version "$build")
deb=$build/servo-panel_${version}-1_arm64.deb
program=$build/servo-panel
out=$build/check-arm64
rm -rf "$out"
mkdir -p "$out"
start=$SECONDS

check "the program is an arm64 executable" sh -c "file -L '$program' | grep -q 'ARM aarch64'"
depends=$(dpkg-deb -f "$deb" Depends 2>/dev/null || true)
check "$(basename "$deb"): Architecture $(dpkg-deb -f "$deb" Architecture 2>/dev/null)" \
  test "$(dpkg-deb -f "$deb" Architecture 2>/dev/null)" = arm64
dependencies_ok() { # dependencies_ok DEPENDS
  grep -qw libqt6widgets6 <<<"$1" && grep -qw libqt6serialport6 <<<"$1" &&
    grep -qw qt6-qpa-plugins <<<"$1" && ! grep -qi svg <<<"$1"
}
check "its dependencies from the arm64 libraries, no SVG library: $depends" \
  dependencies_ok "$depends"

# The suites that need no port and no window, each test under qemu.
(cd "$build" && ctest -L portable -j2 --output-on-failure) >"$out/portable.log" 2>&1 || true
check_ctest "portable suites under qemu" "$out/portable.log"

checks_end "$((SECONDS - start)) s; logs in $out"
