#!/usr/bin/env bash
# make check-windows: the Windows build, run. In a fresh 64-bit Wine prefix under Xvfb, with no
# network, inside a private mount namespace whose /dev has no serial port at all (Wine links
# COM ports to the /dev/ttyS* it finds, and on these machines /dev/ttyS0 is the console):
# the portable unit suites; the installer, silently, and its Start-menu entry; the installed
# program on COM1, mapped to a pseudo-terminal whose far end logs every byte; the same program
# with no COM1; the uninstaller. Prints one summary line and fails on any failure.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${WINDOWS_BUILD:-$here/build-windows}" && pwd)

if [ -z "${SERVO_CHECK_NAMESPACE:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "check-windows: needs root (a private mount namespace)" >&2; exit 2; }
  # A /dev of its own, with what Wine, Xvfb and the far end need and no ttyS* (support's
  # stand-in with no line, built for this machine), and a /run/lock of its own.
  cmake -S "$here/support" -B "$build/stand-in" >/dev/null &&
    cmake --build "$build/stand-in" --target stand-in >/dev/null || exit 99
  SERVO_CHECK_NAMESPACE=1 exec "$build/stand-in/stand-in" "$0" "$@"
fi
if ls /dev/ttyS* >/dev/null 2>&1; then
  echo "check-windows: a serial port is reachable; refusing to run Wine here" >&2
  exit 99
fi

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
installer=$build/servo-panel-$version-win64.exe
out=$build/check-windows
rm -rf "$out" && mkdir -p "$out"
work=$(mktemp -d)
passed=0
failed=0
pass() { passed=$((passed + 1)); echo "check-windows: ok: $*"; }
fail() { failed=$((failed + 1)); echo "check-windows: FAILED: $*"; }
check() { # check "what" command...
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

display=:$((90 + RANDOM % 100))
Xvfb "$display" -noreset -screen 0 800x600x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
export DISPLAY=$display WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko to offer to download.
export WINEDLLOVERRIDES="mscoree,mshtml="
far_pid=
cleanup() {
  [ -n "$far_pid" ] && kill "$far_pid" 2>/dev/null
  wineserver -k 2>/dev/null || true
  kill "$xvfb" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
for _ in $(seq 50); do xdpyinfo -display "$display" >/dev/null 2>&1 && break; sleep 0.1; done

start=$SECONDS
wine wineboot --init >"$work/wineboot.log" 2>&1
wineserver -w

# The portable suites, with the DLLs they need on Wine's path.
mingw=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
qtbin=$(sed -n 's/^Qt6Core_DIR:PATH=//p' "$build/CMakeCache.txt")/../../../bin
export WINEPATH="Z:${qtbin//\//\\};Z:${mingw//\//\\};Z:\\usr\\x86_64-w64-mingw32\\lib"
for suite in logic_tests rule_tests; do
  # Qt puts a Windows build's programs together in the build's top folder.
  if wine "$build/$suite.exe" >"$out/$suite.log" 2>&1 &&
    grep -q '^\[  PASSED  \]' "$out/$suite.log" && ! grep -q '^\[  FAILED  \]' "$out/$suite.log"; then
    pass "$suite: $(sed -n 's/^\[  PASSED  \] //p' "$out/$suite.log")"
  else
    fail "$suite (see $out/$suite.log)"
  fi
done
unset WINEPATH

# The installer, silently, per machine.
wine "$installer" /S >"$work/install.log" 2>&1
wineserver -w
program_dir="$WINEPREFIX/drive_c/Program Files/Servo Panel"
check "installed into Program Files" test -f "$program_dir/servo-panel.exe"
for f in Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll Qt6SerialPort.dll platforms/qwindows.dll \
  styles/qwindowsvistastyle.dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll \
  LICENSE.txt licenses/qt/LGPL-3.0-only.txt Uninstall.exe; do
  [ -f "$program_dir/$f" ] || fail "installed $f"
done
shortcut=$(find "$WINEPREFIX/drive_c" -name 'Servo Panel.lnk' -path '*Start Menu*' | head -1)
check "Start-menu entry \"Servo Panel\" (${shortcut#"$WINEPREFIX/drive_c/"})" test -n "$shortcut"
check "uninstaller listed in Apps" sh -c \
  "wine reg query 'HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\servo-panel' \
   /v DisplayName 2>/dev/null | grep -q 'Servo Panel'"

# COM1 is whatever the registry maps it to, or nothing; no other port exists.
map_com1() {
  if [ -n "$1" ]; then
    wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$1" /f >/dev/null 2>&1
  else
    wine reg delete 'HKLM\Software\Wine\Ports' /v COM1 /f >/dev/null 2>&1
    rm -f "$WINEPREFIX/dosdevices/com1"
  fi
  wineserver -k 2>/dev/null || true
  wineserver -w
}
panel() { # runs the installed program in the background; its status goes to $out/$1.status
  (
    set +e
    cd "$program_dir" && wine 'C:\Program Files\Servo Panel\servo-panel.exe' \
      >"$out/$1.out" 2>"$out/$1.err"
    echo $? >"$out/$1.status"
  ) &
}
wait_for() { # wait_for SECONDS command...
  local until=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $until ] || return 1
    sleep 0.1
  done
}
frames() { grep -v '^settings' "$work/line.log" | cut -d' ' -f2- | tr '\n' ' ' | sed 's/ *$//'; }
shot() { xwd -root -display "$display" | convert xwd:- "$out/$1.png"; }

python3 "$here/scripts/far_end.py" "$work/line.log" >"$work/far_end.out" &
far_pid=$!
wait_for 10 test -s "$work/far_end.out"
map_com1 "$(head -1 "$work/far_end.out")"

panel com1
startup="02 30 33 32 02 31 33 32 02 32 33 32 02 33 33 32"
wait_for 60 sh -c "[ \"\$(grep -v '^settings' '$work/line.log' | cut -d' ' -f2- | tr -d ' \n')\" \
  = \"$(echo "$startup" | tr -d ' ')\" ]" || true
check "start-up frames on COM1: $(frames)" test "$(frames | tr -d ' ')" = "$(echo "$startup" | tr -d ' ')"
check "line settings: $(sed -n 's/^settings //p' "$work/line.log")" \
  grep -q '^settings 9600 8N1$' "$work/line.log"
window=$(xdotool search --sync --onlyvisible --name '^Varnel Pulse Control$' | head -1)
sleep 1
shot panel
# Clicks at client coordinates (96 dpi: CH1's right arrow, CH2's TEST, EXIT). Without a window
# manager Wine draws the frame inside the X window: the client is 338 by 177 at its bottom.
eval "$(xdotool getwindowgeometry --shell "$window")"
frame_x=$(((WIDTH - 338) / 2))
frame_y=$((HEIGHT - 177 - frame_x))
echo "check-windows: window ${WIDTH}x${HEIGHT}, client at ${frame_x},${frame_y}"
click() { xdotool mousemove --window "$window" $(($1 + frame_x)) $(($2 + frame_y)) click 1; }
lines() { wc -l <"$work/line.log"; }
since() { tail -n +$(($1 + 1)) "$work/line.log" | cut -d' ' -f2-; } # what came after line $1
before=$(lines)
click 248 36
wait_for 5 sh -c "[ \$(wc -l <'$work/line.log') -gt $before ]" || true
sleep 0.3
check "CH1's right arrow: $(since "$before" | tr '\n' ' ')" \
  test "$(since "$before" | tr -d ' \n')" = 02303333
before=$(lines)
click 314 64
sleep 2.6
click 314 64
tail -n +$((before + 1)) "$work/line.log" >"$out/test-swing.log"
swing=$(since "$before" | tr -d ' \n' | cut -c1-16)
gap=$(awk 'NR == 1 { t = $1 } NR == 2 { print $1 - t }' "$out/test-swing.log")
check "CH2's TEST: $(since "$before" | tr '\n' ' ')(${gap:-?} ms apart)" \
  sh -c "[ '$swing' = 0231464602313630 ] && [ ${gap:-0} -ge 900 ] && [ ${gap:-0} -le 1100 ]"
sleep 0.5
before=$(lines)
click 306 152
wait_for 15 test -s "$out/com1.status" || true
sleep 1.5
check "EXIT ends with status $(cat "$out/com1.status" 2>/dev/null || echo none)" \
  test "$(cat "$out/com1.status" 2>/dev/null)" = 0
check "nothing on the line after EXIT" test "$(lines)" -eq "$before"
cp "$work/line.log" "$out/line.log"

# No COM1 at all.
map_com1 ""
panel nocom1
box=$(timeout 60 xdotool search --sync --onlyvisible --name '^Varnel Pulse Control$' | head -1 || true)
sleep 1
shot no-com1
# A Windows message box copies its text on Ctrl+C; Wine hands it to the X clipboard.
if [ -n "$box" ]; then
  xdotool key --window "$box" ctrl+c 2>/dev/null
  sleep 0.5
  timeout 5 xclip -selection clipboard -o >"$out/nocom1.report" 2>/dev/null || true
fi
check "no COM1: the report: $(grep -m1 'Cannot' "$out/nocom1.report" 2>/dev/null)" \
  grep -q 'COM1 does not exist' "$out/nocom1.report"
[ -n "$box" ] && xdotool key --window "$box" Return 2>/dev/null
wait_for 15 test -s "$out/nocom1.status" || true
check "no COM1: the report answered, status $(cat "$out/nocom1.status" 2>/dev/null || echo none)" \
  test "$(cat "$out/nocom1.status" 2>/dev/null)" = 1

# The uninstaller removes what the installer put there.
wine 'C:\Program Files\Servo Panel\Uninstall.exe' /S >/dev/null 2>&1 || true
wineserver -w
wait_for 20 sh -c "[ ! -e '$program_dir/servo-panel.exe' ]" || true
check "uninstalled" sh -c "[ ! -e '$program_dir/servo-panel.exe' ] &&
  [ -z \"\$(find '$WINEPREFIX/drive_c' -name 'Servo Panel.lnk')\" ]"

echo "check-windows: $passed passed, $failed failed ($((SECONDS - start)) s; installer" \
  "$(du -k "$installer" | cut -f1) KiB; screenshots and logs in $out)"
[ "$failed" -eq 0 ]
