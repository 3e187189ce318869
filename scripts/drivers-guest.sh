#!/usr/bin/env bash
# Inside a machine that check-drivers.sh boots: run as its init from the host's share (/mnt).
# Starts udev as a desktop has it, installs the panel's package, starts the panel under Xvfb
# as an ordinary user in dialout, drives it and writes what it saw to /mnt/out; then powers
# the machine off. The host watches the far side of the line and answers through /mnt/sync.
# The machine's init starts it with sh.
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
set -u
share=/mnt
out=$share/out
row=$(cat $share/row)
exec >>$out/guest.log 2>&1
set -x
# shellcheck source=scripts/checks.sh
. $share/checks.sh
checks_begin "$row"

note() { printf '%s=%s\n' "$1" "$2" >>$out/result; }
now() { date +%s.%N | cut -c1-14; } # to the millisecond
await() { wait_for "$2" test -e "$share/sync/$1"; } # await NAME SECONDS: the host's signal
signal() { touch "$share/sync/$1"; }
end() {
  note finished "$(now)"
  sync
  umount $share 2>/dev/null
  echo o >/proc/sysrq-trigger # no init system to ask
  sleep 30 # the power-off is queued: init ending first would panic the kernel
}

# A booted system's /dev is the kernel's devtmpfs, whose nodes come and go with the devices
# (the arm64 machine's initramfs leaves the root's own static /dev, where no ttyAMA0 is).
mountpoint -q /dev || mount -t devtmpfs devtmpfs /dev
mount -t tmpfs -o mode=1777 tmp /tmp
mkdir -p /dev/pts /run/lock
mount -t devpts -o gid=5,mode=620 devpts /dev/pts
chmod 1777 /run/lock
cp $share/rules/*.rules /etc/udev/rules.d/ 2>/dev/null
/lib/systemd/systemd-udevd --daemon
udevadm trigger --type=subsystems --action=add
udevadm trigger --type=devices --action=add
udevadm settle --timeout=120 || note udev_settled no

dpkg -i $share/servo-panel.deb >$out/dpkg.log 2>&1
# "ii servo-panel VERSION ARCH" once dpkg found its dependencies met and configured it.
note installed "$(dpkg-query -W -f='${db:Status-Abbrev}${Package} ${Version} ${Architecture}' servo-panel)"
note kernel "$(uname -r) $(uname -m)"

start_xvfb /tmp/xvfb.log 120 || note xvfb no # slow under emulation on a busy host
install -d -o servo -g servo -m 0700 /tmp/runtime-servo
note user "$(id servo)"

# The line under test, its driver's table and the far side's signal that the start-up frames
# went out, per row.
case $row in
uart | console) line=/dev/ttyS0 table=/proc/tty/driver/serial index=0 ;;
usb) line=/dev/ttyUSB0 table=/proc/tty/driver/usbserial index=0 ;;
pi | pi-console) line=/dev/serial0 table=/proc/tty/driver/ttyAMA index=0 ;;
esac
note line "$line -> $(readlink -f "$line")"
note ports "$(tr '\n' ';' </proc/tty/driver/serial)"
{
  ls -l /dev/serial* /dev/serial/by-id/
  # What a board's rule reads: the firmware's aliases and the UART's node.
  grep -H . /proc/device-tree/aliases/* && readlink -f /sys/class/tty/ttyAMA0/device/of_node
} >$out/devices.txt 2>&1
[ "$row" != pi ] || udevadm test /sys/class/tty/ttyAMA0 >$out/udev-test.txt 2>&1
note user_sees "$(runuser -u servo -- ls -lL "$line" 2>&1)"
cat /proc/consoles >$out/consoles.txt
stty -F "$line" -a >$out/stty-before.txt 2>&1

title="^$(cat $share/title)\$"

# First another program holds the UART, as picocom run by root does (an flock): the panel is
# refused, names it, and sends nothing; the far side sees only the run below.
if [ "$row" = uart ]; then
  tail -f /dev/null | picocom -b 9600 "$line" >/tmp/picocom.log 2>&1 &
  picocom_pid=$!
  wait_for 30 grep -q 'Terminal ready' /tmp/picocom.log || note picocom_ready no
  runuser -u servo -- env DISPLAY="$DISPLAY" XDG_RUNTIME_DIR=/tmp/runtime-servo HOME=/home/servo \
    servo-panel 2>/tmp/held.err >/dev/null &
  held=$!
  box=$(timeout 120 xdotool search --sync --onlyvisible --name "$title" | head -1)
  sleep 0.5
  xdotool windowfocus "$box" && sleep 0.3 && xdotool key Return
  wait $held
  note held_status $?
  note held_report "$(tr '\n' ' ' </tmp/held.err)"
  kill $picocom_pid
  wait $picocom_pid
fi

# Each line the panel writes to standard error, with the time it came.
stamp() { while IFS= read -r l; do printf '%s %s\n' "$(now)" "$l"; done; }
# On a UART the panel's requests to the driver are kept: Linux raises RTS itself when a port
# opens, so only the request shows that the panel asks for it, as Windows needs (Qt opens a
# COM port there with RTS down).
trace=()
case $row in
uart | pi) trace=(strace -f -qq --seccomp-bpf -e trace=ioctl -e signal=none -o "$out/ioctl.txt") ;;
esac
{
  "${trace[@]}" runuser -u servo -- env DISPLAY="$DISPLAY" XDG_RUNTIME_DIR=/tmp/runtime-servo \
    HOME=/home/servo servo-panel 2>&1 >/dev/null
  echo $? >/tmp/status
} | stamp >$out/panel.err &
window=$(timeout 120 xdotool search --sync --onlyvisible --name "$title" | head -1)
note window "$window"
click() { xdotool mousemove --window "$1" "${2% *}" "${2#* }" click 1; } # click WINDOW "X Y"
locks() { find /run/lock -mindepth 1 -printf '%f '; }
# Any visible window of TITLE but WINDOW is the panel's report box.
report_box() { # report_box TITLE WINDOW
  xdotool search --onlyvisible --name "$1" 2>/dev/null | grep -vx "$2" | head -1
}
answer() {
  xdotool windowfocus "$1"
  sleep 0.3
  xdotool key Return
}
status() {
  wait_for "$1" test -s /tmp/status
  note status "$(cat /tmp/status 2>/dev/null || echo none)"
}
driver_line() { grep "^$2:" "$1"; } # driver_line TABLE INDEX
# Read while the panel holds LINE; stty opens it as root, which its exclusive hold allows.
while_running() { # while_running LINE TABLE INDEX
  note running_driver "$(driver_line "$2" "$3")"
  stty -F "$1" -a >$out/stty-running.txt 2>&1
  note running_locks "$(locks)"
}

case $row in
uart | pi)
  await startup 120 || note startup_seen no
  sleep 0.5
  click "$window" "$(cat $share/HScroll1.right)"
  await click 30 || note click_seen no
  while_running "$line" "$table" "$index"
  click "$window" "$(cat $share/Command1)"
  status 30
  sleep 0.5
  note after_driver "$(driver_line "$table" "$index")"
  note after_locks "$(locks)"
  ;;
console | pi-console)
  # The console report comes up instead of the panel's window.
  box=$window
  sleep 1
  note report "$(cut -d' ' -f2- $out/panel.err | tr '\n' ' ')"
  answer "$box"
  status 30
  stty -F "$line" -a >$out/stty-after.txt 2>&1
  ;;
usb)
  await startup 120 || note startup_seen no
  sleep 0.5
  click "$window" "$(cat $share/HScroll1.right)"
  await click 30 || note click_seen no
  while_running "$line" "$table" "$index"
  # The node's going and the box's coming, each on this machine's clock.
  (
    while [ -e "$line" ]; do sleep 0.05; done
    now >/tmp/gone
  ) &
  watch=$!
  # The X server tells when a window maps: the box's first, stamped as it comes.
  xev -root -event substructure | grep --line-buffered '^MapNotify' | stamp >/tmp/maps &
  sleep 1
  signal pull
  i=0
  box=
  until [ -n "$box" ] || [ $i -gt 60 ]; do
    box=$(report_box "$title" "$window")
    [ -n "$box" ] || sleep 0.5
    i=$((i + 1))
  done
  note shown "$(head -1 /tmp/maps | cut -d' ' -f1)"
  wait $watch
  note gone "$(cat /tmp/gone)"
  note reported "$(grep -m1 'Lost the port' $out/panel.err | cut -d' ' -f1)"
  sleep 0.5
  note report "$(cut -d' ' -f2- $out/panel.err | tr '\n' ' ')"
  answer "$box"
  status 30
  note after_locks "$(locks)"
  ;;
esac
end
