#!/usr/bin/env bash
# make check-arm64: the arm64 build, run under qemu's user mode. The portable suites (through
# CMake's cross-compiling emulator); the release program under Xvfb on a pseudo-terminal bound
# over /dev/ttyS0 in a private mount namespace (the native build's stand-in launcher), whose
# far end logs every byte: the start-up frames, a click's frame, a TEST swing, EXIT; and the
# .deb installed with apt into a fresh arm64 Debian 12 root, where it starts with no serial
# port at all. Prints one summary line and fails on any failure.
#
# Needs root (mount namespaces, mmdebstrap) and the network for the root's packages, which are
# kept in $ARM64_BUILD/check-arm64/apt-cache for the next run; remove it for a cold one.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${ARM64_BUILD:-$here/build-arm64}" && pwd)
native=$(cd "${BUILD:-$here/build}" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "check-arm64: needs root (mount namespaces, mmdebstrap)" >&2; exit 2; }

# shellcheck source=scripts/checks.sh
. "$here/scripts/checks.sh"
checks_begin check-arm64
version=$(project_version "$build")
deb=$build/servo-panel_${version}-1_arm64.deb
program=$build/servo-panel
stand_in=$native/support/stand-in
points=$native/support/layout-points
qemu=$(command -v qemu-aarch64-static)
out=$build/check-arm64
mkdir -p "$out/apt-cache"
rm -f "$out"/*.log "$out"/*.png "$out"/*.status "$out"/*.err "$out"/*.out
work=$(mktemp -d /var/tmp/servo-panel-arm64.XXXXXX)
xvfb_pid='' far_pid='' panel_pid=''
cleanup() {
  # The panel runs as a child of the subshell that records its status.
  [ -z "$panel_pid" ] || pkill -P "$panel_pid" 2>/dev/null || true
  for p in $panel_pid $far_pid $xvfb_pid; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
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

# The program on a stand-in /dev/ttyS0 under Xvfb.
start_xvfb "$work/xvfb.log" || true
line=$work/line.log
start_far_end "$line"
run_recorded "$out/panel" "$stand_in" --line "$far_line" "$qemu" "$program"
panel_pid=$!
check_startup "$line" 0 "the stand-in /dev/ttyS0"
check_line_settings "$line"
window=$(panel_window || true)
screenshot "$out/panel.png"
# At the window's own coordinates.
click() {
  local x y
  read -r x y < <(layout_point "$points" "$1")
  xdotool mousemove --window "$window" "$x" "$y" click 1
}
check_arrow "$line" click
check_test_swing "$line" "$out/test-swing.log" click
sleep 0.5
check_exit "$line" "$out/panel" click
cp "$line" "$out/line.log"
kill "$far_pid" "$xvfb_pid" 2>/dev/null || true
wait 2>/dev/null || true
far_pid='' xvfb_pid='' panel_pid=''

# A fresh arm64 Debian 12 from the mirrors this machine's apt uses, with the package installed
# by apt, and the program started there with no serial port.
debian_mirrors bookworm

# The root's programs run through binfmt_misc, which qemu-user-static's packaging sets up on a
# booted system. Where it is not set up (a container), qemu is registered in a binfmt_misc
# mounted in the run's own mount namespace; the entry goes with the last such mount. Another
# run at the same time shares it: an entry of ours already there serves as it is.
entry=/usr/share/binfmts/qemu-aarch64
# F: the kernel opens qemu now, so the root needs no copy of it.
printf ':servo-panel-aarch64:M:0:%s:%s:%s:F' "$(sed -n 's/^magic //p' $entry)" \
  "$(sed -n 's/^mask //p' $entry)" "$qemu" >"$work/binfmt"
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
# shellcheck disable=SC2016 # the inner shell and mmdebstrap's hooks expand $0, $@ and $1
timeout 20m unshare --mount --propagation private sh -c '
  cd /proc/sys/fs/binfmt_misc 2>/dev/null && grep -qx enabled qemu-aarch64 2>/dev/null ||
    { mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc && {
      grep -qx enabled /proc/sys/fs/binfmt_misc/servo-panel-aarch64 2>/dev/null ||
        cat "$0" >/proc/sys/fs/binfmt_misc/register; }; } || exit 98
  exec "$@"' "$work/binfmt" \
  mmdebstrap --mode=root --arch=arm64 --variant=minbase --verbose \
  --skip=download/empty --skip=essential/unlink \
  --setup-hook='mkdir -p "$1"/var/cache/apt/archives' \
  --setup-hook="sync-in '$out/apt-cache' /var/cache/apt/archives" \
  --customize-hook="copy-in '$deb' /tmp" \
  --customize-hook='chroot "$1" apt-get install -y /tmp/"$SERVO_DEB" >"$SERVO_ROOT_LOG" 2>&1' \
  --customize-hook="sync-out /var/cache/apt/archives '$out/apt-cache'" \
  --customize-hook='chroot "$1" sh -s <"$SERVO_START" >>"$SERVO_ROOT_LOG" 2>&1' \
  bookworm "$work/root" "${mirrors[@]}" >"$out/mmdebstrap.log" 2>&1 || mmdebstrap_status=$?
installed=$(grep -m1 '^servo-panel .* arm64$' "$out/root.log" 2>/dev/null || true)
check "apt installed $(basename "$deb") into a fresh arm64 Debian 12 root: ${installed:-no}" \
  sh -c "[ $mmdebstrap_status -eq 0 ] && [ -n '$installed' ] && grep -qx aarch64 '$out/root.log'"
report=$(grep -m1 'Cannot' "$out/root.log" 2>/dev/null || true)
check "it starts there and reports: ${report:-nothing (see $out/root.log)}" \
  sh -c "grep -q 'Cannot open port 1' '$out/root.log'"

checks_end "$((SECONDS - start)) s; logs and a screenshot in $out"
