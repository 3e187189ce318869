#!/usr/bin/env bash
# make check-windows: the Windows build, run. In a fresh 64-bit Wine prefix under Xvfb, with no
# network, inside a private mount namespace whose /dev has no serial port at all (Wine links
# COM ports to the /dev/ttyS* it finds, and on these machines /dev/ttyS0 is the console):
# the portable unit suites; the sizes of the installer and the zip; the installer, silently,
# its files without debug data and its Start-menu entry; the installed program on COM1, mapped
# to a pseudo-terminal whose far end logs every byte: clicks and EXIT, a second run on the same
# line, the session's end, Ctrl+C (and Ctrl+Break) in the console it was started from, the line
# lost; the same program with no COM1; the uninstaller. Prints one summary line and fails on
# any failure.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${WINDOWS_BUILD:-$here/build-windows}" && pwd)

if [ -z "${SERVO_CHECK_NAMESPACE:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "check-windows: needs root (a private mount namespace)" >&2; exit 2; }
  # A /dev of its own, with what Wine, Xvfb and the far end need and no ttyS* (support's
  # stand-in with no line, built for this machine), and a /run/lock of its own; and where to
  # click (support's layout-points).
  cmake -S "$here/support" -B "$build/stand-in" >/dev/null &&
    cmake --build "$build/stand-in" --target stand-in layout-points >/dev/null || exit 99
  SERVO_CHECK_NAMESPACE=1 exec "$build/stand-in/stand-in" "$0" "$@"
fi
if ls /dev/ttyS* >/dev/null 2>&1; then
  echo "check-windows: a serial port is reachable; refusing to run Wine here" >&2
  exit 99
fi

# shellcheck source=scripts/checks.sh
. "$here/scripts/checks.sh"
checks_begin check-windows
version=$(project_version "$build")
installer=$build/servo-panel-$version-win64.exe
zip=$build/servo-panel-$version-win64.zip
points=$build/stand-in/layout-points
title=$(window_title "$points")
read -r client_width client_height < <(layout_point "$points" client)
out=$build/check-windows
rm -rf "$out" && mkdir -p "$out"
work=$(mktemp -d)
line=$work/line.log

xvfb_pid=
start_xvfb "$work/xvfb.log" || true
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko to offer to download.
export WINEDLLOVERRIDES="mscoree,mshtml="
# The consoles the panel is started from, in a tmux server of this check's own.
export TMUX_TMPDIR=$work TERM=${TERM:-xterm}
tmux_server=servo-check
far_pid=
cleanup() {
  [ -n "$far_pid" ] && kill "$far_pid" 2>/dev/null
  tmux -L "$tmux_server" kill-server 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

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

# What a download costs: the binaries go without their debug data.
size() { stat -c %s "$1"; }
check "installer $(($(size "$installer") / 1024)) KiB, under 9 MB" \
  test "$(size "$installer")" -lt 9000000
check "zip $(($(size "$zip") / 1024)) KiB, under 12 MB" test "$(size "$zip")" -lt 12000000

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
with_debug=$(cd "$program_dir" && for f in *.exe *.dll */*.dll; do
  x86_64-w64-mingw32-objdump -h "$f" | grep -q ' \.debug_' && echo "$f"
done || true)
what="installed binaries stripped: $(cd "$program_dir" && ls *.exe *.dll */*.dll | wc -l) files,"
what="$what $(du -sk "$program_dir" | cut -f1) KiB in all${with_debug:+ (with debug data: $with_debug)}"
check "$what" test -z "$with_debug"
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
exe='C:\Program Files\Servo Panel\servo-panel.exe'
installed_program() { cd "$program_dir" && wine "$exe"; }
panel() { run_recorded "$out/$1" installed_program; } # panel NAME: in the background
status() { recorded_status "$out/$1"; }
# The panel's window and where its client area lies, as "WINDOW X Y WIDTH HEIGHT": without a
# window manager Wine draws the frame inside the X window, the client at its bottom.
find_window() {
  # shellcheck disable=SC2034 # the eval below sets them all
  local window border WINDOW X Y WIDTH HEIGHT SCREEN
  window=$(panel_window "$title")
  eval "$(xdotool getwindowgeometry --shell "$window")"
  border=$(((WIDTH - client_width) / 2))
  echo "$window $border $((HEIGHT - client_height - border)) $WIDTH $HEIGHT"
}
# Clicks on a control at its client coordinates (96 dpi), in the window find_window gave.
click() { # click "WINDOW X Y ..." NAME
  local window left top x y
  read -r window left top _ <<<"$1"
  read -r x y < <(layout_point "$points" "$2")
  xdotool mousemove --window "$window" $((x + left)) $((y + top)) click 1
}
# A report box has the window's title; a Windows message box copies its text on Ctrl+C, and
# Wine hands it to the X clipboard.
read_report() { # read_report NAME [WINDOW-TO-SKIP]
  local box= until=$((SECONDS + 30))
  while [ -z "$box" ] && [ $SECONDS -lt $until ]; do
    box=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null |
      grep -vx "${2:-none}" | head -1 || true)
    [ -n "$box" ] || sleep 0.2
  done
  sleep 1
  screenshot "$out/$1.png"
  [ -n "$box" ] || return 0
  xdotool key --window "$box" ctrl+c 2>/dev/null
  sleep 0.5
  timeout 5 xclip -selection clipboard -o >"$out/$1.report" 2>/dev/null || true
  xdotool key --window "$box" Return 2>/dev/null
}

start_far_end "$line"
map_com1 "$far_line"

panel com1
check_startup "$line" 0 COM1
check_line_settings "$line"
at=$(find_window)
screenshot "$out/panel.png"
read -r _ left top width height <<<"$at"
echo "check-windows: window ${width}x${height}, client at $left,$top"
check_arrow "$line" click "$at"
check_test_swing "$line" "$out/test-swing.log" click "$at"
sleep 0.5
check_exit "$line" "$out/com1" click "$at"

# An operator ends the panel and starts it again on the same adapter.
before=$(log_lines "$line")
panel again
check_startup "$line" "$before" "the same line, started again"
check_exit "$line" "$out/again" click "$(find_window)"

# The session ends (log off, shut down): Wine sends WM_QUERYENDSESSION and WM_ENDSESSION to
# every top-level window, then ends what is left, which a shell sees as status 137 (killed). A
# frame clicked just before goes out first.
before=$(log_lines "$line")
panel session
wait_for 60 started_after "$line" "$before" || true
at=$(find_window)
before=$(log_lines "$line")
click "$at" HScroll1.right
session_start=$SECONDS
wine wineboot --end-session >"$out/end-session.log" 2>&1 || true
wait_for 15 test -s "$out/session.status" || true
what="end of session: the panel ended itself, status $(status session),"
check "$what $((SECONDS - session_start)) s after it began" test "$(status session)" = 0
clicked=$(frames_since "$line" "$before")
check "end of session: the frame clicked before it went out: $clicked" \
  test "$clicked" = "$(frame 1 51)"
# What else the session's end left of Wine goes too; the next run starts it afresh.
wineserver -k 2>/dev/null || true
wineserver -w

# Started from a console: Ctrl+C there ends it as EXIT does. A console of Wine's own (not a pipe)
# is a terminal: a tmux pane. console_host.exe starts the program in it and outlives it, to tell
# its status; a line "b" typed there sends Ctrl+Break to the console.
console_host=$(find "$build" -maxdepth 2 -name console_host.exe | head -1)
console_panel() { # console_panel NAME: the program started from a console, its status in NAME.status
  # The terminal's Ctrl+C also interrupts this shell, which must outlive it to tell the status.
  printf '%s\n' "trap : INT" "wine '$console_host' '$exe'" "echo \$? >'$out/$1.status'" \
    "sleep 600" >"$work/$1.sh"
  tmux -L "$tmux_server" new-session -d -s "$1" -x 100 -y 20 "sh '$work/$1.sh'"
}
console_text() {
  tmux -L "$tmux_server" capture-pane -p -t "$1" 2>&1 | grep -v '^$' >"$out/$1.console" || true
}
# The program started from a console, then KEY pressed there; the line's log length when KEY
# went (or, where the program did not start, before it) is kept in NAME.lines.
console_key() { # console_key NAME KEY
  local before
  # Wine's server and services start outside the console, not under its terminal.
  wineserver -p 2>/dev/null || true
  wine cmd /c exit >/dev/null 2>&1 || true
  before=$(log_lines "$line")
  echo "$before" >"$out/$1.lines"
  console_panel "$1"
  wait_for 60 started_after "$line" "$before" || { console_text "$1"; return 0; }
  before=$(log_lines "$line")
  echo "$before" >"$out/$1.lines"
  if [ "$2" = break ]; then
    tmux -L "$tmux_server" send-keys -t "$1" b Enter
  else
    tmux -L "$tmux_server" send-keys -t "$1" C-c
  fi
  wait_for 15 sh -c "test -s '$out/$1.status' ||
    tmux -L '$tmux_server' capture-pane -p -t '$1' | grep -q 'not sent'" || true
  sleep 1
  console_text "$1"
}
console_key ctrl-c c
# A program with no handler of its own is ended by Wine from the event's thread, with status 0
# too; Qt then complains of its objects torn down from another thread.
check "Ctrl+C in its console: status $(status ctrl-c), nothing sent after it, ended on its own" \
  sh -c "[ '$(status ctrl-c)' = 0 ] && [ $(log_lines "$line") -eq $(cat "$out/ctrl-c.lines") ] &&
    ! grep -q 'from another thread' '$out/ctrl-c.console'"
tmux -L "$tmux_server" kill-session -t ctrl-c 2>/dev/null || true
# Wine 8.0 delivers no Ctrl+Break: GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0) (and to the
# panel's own process group) fails with error 6 on a console that takes Ctrl+C, and Ctrl+Break
# pressed in wineconsole's window reaches no handler; a terminal has no such key. Checked where
# the event can be sent.
console_key ctrl-break break
if grep -q 'sent Ctrl+Break' "$out/ctrl-break.console"; then
  check "Ctrl+Break in its console: status $(status ctrl-break), nothing sent after it" \
    sh -c "[ '$(status ctrl-break)' = 0 ] && [ $(log_lines "$line") -eq $(cat "$out/ctrl-break.lines") ]"
else
  skip "Ctrl+Break in its console: Wine does not deliver it" \
    "($(grep -o 'not sent.*' "$out/ctrl-break.console"))"
  tmux -L "$tmux_server" send-keys -t ctrl-break C-c
  wait_for 15 test -s "$out/ctrl-break.status" || true
fi
tmux -L "$tmux_server" kill-session -t ctrl-break 2>/dev/null || true

# The line goes away while the panel is idle (the far end closes its pseudo-terminal, as a
# cable pulled out). Wine sends no WM_DEVICECHANGE for it, so the next frame finds out.
before=$(log_lines "$line")
panel lost
wait_for 60 started_after "$line" "$before" || true
at=$(find_window)
pull_far_end "$line" || true
sleep 1
click "$at" HScroll1.right
read_report lost "${at%% *}"
wait_for 15 test -s "$out/lost.status" || true
check "line lost: the report: $(grep -m1 'port' "$out/lost.report" 2>/dev/null)" \
  grep -Eq 'Lost the port COM1: .+' "$out/lost.report"
check "line lost: the report answered, status $(status lost)" test "$(status lost)" = 1
cp "$line" "$out/line.log"

# No COM1 at all.
map_com1 ""
panel nocom1
read_report nocom1
wait_for 15 test -s "$out/nocom1.status" || true
check "no COM1: the report: $(grep -m1 'Cannot' "$out/nocom1.report" 2>/dev/null)" \
  grep -q 'COM1 does not exist' "$out/nocom1.report"
check "no COM1: the report answered, status $(status nocom1)" test "$(status nocom1)" = 1

# The uninstaller removes what the installer put there.
wine 'C:\Program Files\Servo Panel\Uninstall.exe' /S >/dev/null 2>&1 || true
wineserver -w
wait_for 20 sh -c "[ ! -e '$program_dir/servo-panel.exe' ]" || true
check "uninstalled" sh -c "[ ! -e '$program_dir/servo-panel.exe' ] &&
  [ -z \"\$(find '$WINEPREFIX/drive_c' -name 'Servo Panel.lnk')\" ]"

checks_end "$((SECONDS - start)) s; installer $(du -k "$installer" | cut -f1) KiB;\
 screenshots and logs in $out"
