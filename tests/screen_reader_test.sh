#!/usr/bin/env bash
# What a screen reader hears: the window on an X server (Xvfb) with the AT-SPI bus of a
# private D-Bus session up, as under Orca. Qt hands accessibility events on only then, so the
# offscreen suites cannot see them. Usage: screen_reader_test.sh QT_TESTS GTEST_FILTER
set -uo pipefail
tests=$1
filter=$2
for tool in Xvfb dbus-run-session dbus-send; do
  command -v "$tool" >/dev/null || { echo "SKIP: no $tool"; exit 77; }
done
[ -e /usr/share/dbus-1/services/org.a11y.Bus.service ] || { echo "SKIP: no AT-SPI bus"; exit 77; }

dir=$(mktemp -d)
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$dir/display" 2>"$dir/xvfb.log" &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null; rm -rf "$dir"' EXIT
for _ in $(seq 300); do
  grep -q . "$dir/display" 2>/dev/null && break
  sleep 0.1
done
grep -q . "$dir/display" || { echo "FAIL: Xvfb did not start"; cat "$dir/xvfb.log"; exit 1; }

# The bus starts on demand; Qt connects to it only if it is there when the window comes up.
DISPLAY=":$(cat "$dir/display")" SERVO_SCREEN_READER=1 QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 \
  dbus-run-session -- sh -c '
    dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus \
      org.a11y.Bus.GetAddress >/dev/null || exit 1
    exec "$0" -platform xcb --gtest_filter="$1"' "$tests" "$filter" 2>&1 \
  | grep -v -e 'fd limit' -e 'Activating service' -e 'Successfully activated' \
      -e 'SpiRegistry daemon'
