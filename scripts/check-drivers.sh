#!/usr/bin/env bash
# make check-drivers: the panel, installed from its own package, on the kernel's own serial
# drivers in machines that qemu emulates (TCG), each booting Debian 12's own kernel on a root
# made with mmdebstrap, udev running, the panel started as an ordinary user in dialout under
# Xvfb (scripts/drivers-guest.sh drives it there). Rows:
#   uart     a 16550A at ttyS0 (8250): frames in order, 9600 8N1, RTS (the panel's own request)
#            and DTR up while it runs and down after EXIT, status 0, no lock file left; and
#            before that, held by picocom (root, an flock), the panel refused, nothing sent;
#   console  the same UART as the kernel's console: nothing sent, 115200 kept, the report;
#   usb      ttyS0 a placeholder, one USB adapter (ftdi_sio) pulled out while nobody touches
#            the panel: the report within a second of the node's going, status 1;
#   pi       arm64 `virt` with its PL011 ttyAMA0 named serial0 by a udev rule of the shape of
#            Raspberry Pi OS's, from the device tree's aliases as a Pi's firmware gives them;
#   pi-console  that PL011 as the kernel's console, as a Pi comes: nothing sent, the report.
# Prints one summary line and fails on any failure.
#
# Needs root (mmdebstrap, the arm64 root's binfmt entry) and the network for the roots. Kernels,
# initramfs and root images are cached in $DRIVERS_CACHE (default: drivers/ in SERVO_CACHE,
# ~/.cache/servo-panel), keyed by what goes into them, beside the packages they were made from;
# remove it for a cold run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
native=$(cd "${BUILD:-$here/build}" && pwd)
arm=$(cd "${ARM64_BUILD:-$here/build-arm64}" && pwd)
# Beside Qt for Windows, in the same place.
cache=${DRIVERS_CACHE:-${SERVO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/servo-panel}/drivers}
[ "$(id -u)" -eq 0 ] || { echo "check-drivers: needs root (mmdebstrap)" >&2; exit 2; }

# shellcheck source=scripts/checks.sh
. "$here/scripts/checks.sh"
checks_begin check-drivers
deb() { echo "$1/servo-panel_$(project_version "$1")-1_$2.deb"; } # deb BUILD-DIR ARCH
points=$native/support/layout-points
declare -A arch_qemu=([amd64]=x86_64 [arm64]=aarch64)
declare -A debs=([amd64]=$(deb "$native" amd64) [arm64]=$(deb "$arm" arm64))
out=$native/check-drivers
rm -rf "$out"
mkdir -p "$out" "$cache"
work=$(mktemp -d /var/tmp/servo-panel-drivers.XXXXXX)
qemu_pid=''
cleanup() {
  [ -z "$qemu_pid" ] || kill "$qemu_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
start=$SECONDS

# The machine's init, in the root: the check's own script, from the host's share.
guest_init='#!/bin/sh
PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export PATH
modprobe 9pnet_virtio
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 share /mnt
exec /bin/sh /mnt/guest.sh'
# Raspberry Pi OS names the board's UARTs by a rule of this shape (its 99-com.rules): the
# firmware's device tree aliases serial0 to the UART on GPIO 14 and 15, and the link follows
# the alias, whichever UART that is. Installed as the machine boots, before udev starts.
# shellcheck disable=SC2016 # the rule's shell expands it
pi_rule='SUBSYSTEM=="tty", KERNEL=="ttyAMA[0-9]*|ttyS[0-9]*", PROGRAM="/bin/sh -c '"'"'\
  node=$$(readlink -f /sys/class/tty/%k/device/of_node | sed s,.*/devicetree/base,,); \
  for n in 0 1; do \
    [ -e /proc/device-tree/aliases/serial$$n ] || continue; \
    [ $$(xargs -0 </proc/device-tree/aliases/serial$$n) = $$node ] && echo $$n && exit 0; \
  done; exit 1'"'"'", SYMLINK+="serial%c", GROUP="dialout", MODE="0660"'
# The initramfs holds only what finds the root: a smaller one boots sooner under TCG.
initramfs_modules=(virtio_pci virtio_blk virtio_console ext4 crc32c_generic)

# Sets `machine` to the cached kernel, initramfs and root image for ARCH, building them first
# when the package list or the recipe changed: Debian 12 minbase, its kernel, udev, Xvfb,
# xdotool and what the panel's package depends on (installed when the machine boots).
machine() { # machine ARCH
  local arch=$1 depends packages key root
  depends=$(dpkg-deb -f "${debs[$arch]}" Depends | tr ',' '\n' | sed 's/^ *//; s/[ (|].*//' |
    grep -v '^$' | sort -u | tr '\n' ' ')
  packages="linux-image-$arch initramfs-tools udev kmod procps xvfb xdotool x11-utils strace picocom $depends"
  key=$({
    echo "$arch $packages ${initramfs_modules[*]}"
    echo "$guest_init"
  } | sha256sum | cut -c1-16)
  machine=$cache/$arch-$key
  [ -f "$machine/ready" ] && return 0
  echo "check-drivers: making the $arch machine in $machine (packages: $packages)"
  rm -rf "$machine"
  mkdir -p "$machine"
  root=$work/root-$arch
  printf '%s\n' "$guest_init" >"$work/init"
  printf '%s\n' "${initramfs_modules[@]}" >"$work/modules"
  # shellcheck disable=SC2016 # mmdebstrap's hooks expand $1
  debian_root "$arch" bookworm "$root" "$cache/apt-$arch" "$out/mmdebstrap-$arch.log" \
    --include="$(xargs <<<"$packages" | tr ' ' ,)" \
    --essential-hook='mkdir -p "$1/etc/initramfs-tools/conf.d"' \
    --essential-hook='printf "MODULES=list\nCOMPRESS=gzip\n" >"$1/etc/initramfs-tools/conf.d/check.conf"' \
    --essential-hook="copy-in '$work/modules' /etc/initramfs-tools" \
    --customize-hook="upload '$work/init' /usr/local/sbin/check-init" \
    --customize-hook='chmod 755 "$1/usr/local/sbin/check-init"' \
    --customize-hook='chroot "$1" useradd --create-home --groups dialout servo' \
    --customize-hook='rm -rf "$1"/var/lib/apt/lists/* "$1"/var/cache/apt/*.bin' || {
    tail -20 "$out/mmdebstrap-$arch.log"
    return 1
  }
  cp "$root"/boot/vmlinuz-* "$machine/vmlinuz"
  cp "$root"/boot/initrd.img-* "$machine/initrd.img"
  chmod 644 "$machine/vmlinuz" "$machine/initrd.img"
  mke2fs -q -t ext4 -L root -d "$root" "$machine/root.img" \
    "$(($(du -sm "$root" | cut -f1) + 512))M" >/dev/null
  rm -rf --one-file-system "$root"
  touch "$machine/ready"
}

# The device tree qemu gives the `virt` machine of QEMU-ARGS, with the alias serial0 for its
# PL011 that a Raspberry Pi's firmware gives the UART on GPIO 14 and 15.
pi_device_tree() { # pi_device_tree DTB QEMU-ARGS...
  local dtb=$1 uart
  shift
  "$@" -machine dumpdtb="$dtb.plain" >/dev/null 2>&1
  dtc -q -I dtb -O dts "$dtb.plain" >"$dtb.dts"
  uart=$(grep -o -m1 'pl011@[0-9a-f]*' "$dtb.dts")
  sed -i "\$s|^};|\taliases {\n\t\tserial0 = \"/$uart\";\n\t};\n};|" "$dtb.dts"
  dtc -q -I dts -O dtb -o "$dtb" "$dtb.dts"
}

# One machine booted for ROW with qemu's arguments; its share holds the package, the guest's
# script, the checks' library, where to click and, afterwards, what it saw. A board's udev
# RULES go in its share too.
row_dir=''
boot() { # boot ROW ARCH QEMU-ARGS...
  local row=$1 arch=$2 control
  shift 2
  row_dir=$work/$row
  mkdir -p "$row_dir/share/out" "$row_dir/share/sync" "$row_dir/share/rules"
  cp "${debs[$arch]}" "$row_dir/share/servo-panel.deb"
  cp "$here/scripts/drivers-guest.sh" "$row_dir/share/guest.sh"
  cp "$here/scripts/checks.sh" "$row_dir/share/checks.sh"
  echo "$row" >"$row_dir/share/row"
  for control in HScroll1.right Command1; do
    layout_point "$points" "$control" >"$row_dir/share/$control"
  done
  [ -z "${RULES:-}" ] || printf '%s\n' "$RULES" >"$row_dir/share/rules/99-com.rules"
  local append="root=/dev/vda rw init=/usr/local/sbin/check-init panic=-1 quiet"
  local qemu=("qemu-system-${arch_qemu[$arch]}" -nodefaults -display none -no-reboot
    -accel "tcg,thread=multi" -smp 2 -m 1024 "$@")
  [ -z "${PI:-}" ] || { pi_device_tree "$row_dir/pi.dtb" "${qemu[@]}" && qemu+=(-dtb "$row_dir/pi.dtb"); }
  "${qemu[@]}" -kernel "$machine/vmlinuz" -initrd "$machine/initrd.img" \
    -append "$append ${CONSOLE:-}" \
    -drive "file=$machine/root.img,format=raw,if=none,id=root,snapshot=on" \
    -device virtio-blk-pci,drive=root \
    -virtfs "local,path=$row_dir/share,mount_tag=share,security_model=none,id=share" \
    -qmp "unix:$row_dir/qmp.sock,server=on,wait=off" >"$row_dir/qemu.log" 2>&1 &
  qemu_pid=$!
}
# What reached a chardev file, as frames (eight hex digits each), through the far end's log.
frames_in() { # frames_in FILE
  echo "0 $(od -An -v -tx1 "$1" 2>/dev/null | tr '\n' ' ')" >"$1.log"
  frames_since "$1.log" 0
}
# Tells the guest when the far side has seen the start-up frames, then the click's; gives up
# when the machine is gone.
far_side_signals() { # far_side_signals FILE
  local bytes
  for bytes in 16:startup 20:click; do
    until [ "$(stat -c %s "$1" 2>/dev/null || echo 0)" -ge "${bytes%:*}" ]; do
      kill -0 "$qemu_pid" 2>/dev/null || return 0
      sleep 0.2
    done
    touch "$row_dir/share/sync/${bytes#*:}"
  done
}
finish() { # finish: waits for the machine to power off, and keeps what it saw
  local until=$((SECONDS + 600))
  while kill -0 "$qemu_pid" 2>/dev/null && [ $SECONDS -lt $until ]; do sleep 0.5; done
  kill "$qemu_pid" 2>/dev/null || true
  wait "$qemu_pid" 2>/dev/null || true
  qemu_pid=''
  cp -r "$row_dir/share/out" "$out/$row"
  cp "$row_dir"/*.log "$row_dir"/*.bin "$out/$row/" 2>/dev/null || true
}
got() { sed -n "s/^$1=//p" "$out/$row/result" 2>/dev/null | tail -1; }
qmp() { # qmp ROW-DIR COMMAND-JSON: one command on the machine's QMP socket
  python3 - "$1/qmp.sock" "$2" <<'EOF'
import json, socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
f = s.makefile("rw")
f.readline()
for command in ('{"execute": "qmp_capabilities"}', sys.argv[2]):
    f.write(command + "\n")
    f.flush()
    while True:
        reply = json.loads(f.readline())
        if "return" in reply or "error" in reply:
            break
    if "error" in reply:
        sys.exit(reply["error"]["desc"])
EOF
}

frames_reached() { # frames_reached FILE: the start-up frames and CH1's right arrow, only
  [ "$(frames_in "$1")" = "$(startup_frames) $(frame 1 51)" ]
}
# 9600 8N1 as stty reads it while the panel holds the line.
nine_six_8n1() {
  grep -q 'speed 9600 baud' "$1" && grep -qw cs8 "$1" && grep -qw -- -parenb "$1" &&
    grep -qw -- -cstopb "$1"
}
modem_lines_up() { grep -q RTS <<<"$1" && grep -q DTR <<<"$1"; }
# The panel's own request for RTS, which the driver granted.
rts_request() {
  awk '/TIOCMBIS, \[TIOCM_RTS\]\) *= 0/ { sub(/.*ioctl\([0-9]+, /, ""); gsub(/ +/, " "); print; f = 1; exit }
    END { exit !f }' "$out/$row/ioctl.txt" 2>/dev/null
}
no_lock() { ! grep -q "LCK\.\.$1" <<<"$(got after_locks)"; }

# What each row needs to pass, read from what its machine saw.
after_gone() { awk -v a="$(got gone)" -v b="$1" 'BEGIN { if (a && b) printf "%.3f", b - a }'; }
console_kept() { grep -q 'speed 115200 baud' "$out/$row/stty-after.txt"; }
pi_exit() { [ "$(got status)" = 0 ] && modem_lines_up "$(got running_driver)" && rts_request >/dev/null; }
uart_running() {
  grep -q 'uart:16550A' <<<"$(got running_driver)" && modem_lines_up "$(got running_driver)" &&
    rts_request >/dev/null && nine_six_8n1 "$out/$row/stty-running.txt"
}
uart_after() {
  [ "$(got status)" = 0 ] && grep -q 'uart:16550A' <<<"$(got after_driver)" &&
    ! grep -q 'RTS\|DTR' <<<"$(got after_driver)" && no_lock ttyS0
}
uart_held() {
  grep -q 'ttyS0: it is in use by another program (picocom, process [0-9]*)' <<<"$(got held_report)" &&
    [ "$(got held_status)" = 1 ] && frames_reached "$out/$row/uart.bin"
}
console_report() { # console_report DEVICE
  [ -n "$(got window)" ] && grep -q "system's console ($1)" <<<"$(got report)" && [ "$(got status)" = 1 ]
}
usb_frames() {
  grep -q '^0: uart:unknown' <<<"$(got ports | tr ';' '\n')" && grep -q 'usb-.* -> ../../ttyUSB0' "$out/$row/devices.txt" &&
    frames_reached "$out/$row/usb.bin"
}
usb_report() {
  [ -n "$lag" ] && awk -v l="$lag" 'BEGIN { exit !(l <= 1 && l >= -1) }' &&
    grep -q 'Lost the port /dev/ttyUSB0' <<<"$(got report)" && [ "$(got status)" = 1 ] && no_lock ttyUSB0
}

# 1. A 16550A at ttyS0; the machine's console on ttyS1.
row_uart() {
  CONSOLE=console=ttyS1 boot "$row" amd64 -serial "file:$work/$row/uart.bin" \
    -serial "file:$work/$row/console.log"
  far_side_signals "$work/$row/uart.bin"
  finish
  check "uart: frames in order at the 16550A's far side: $(frames_in "$out/$row/uart.bin")" \
    frames_reached "$out/$row/uart.bin"
  check "uart: while the panel runs: $(got running_driver) (asked: $(rts_request || echo no RTS request)); $(grep -o 'speed [0-9]* baud' "$out/$row/stty-running.txt" ||
    echo 'no stty'), $(grep -ow 'cs8\|-parenb\|-cstopb' "$out/$row/stty-running.txt" | tr '\n' ' ')locks: $(got running_locks)" \
    uart_running
  check "uart: EXIT gives status $(got status); then: $(got after_driver); locks: $(got after_locks)" \
    uart_after
  check "uart: picocom holding ttyS0 first: \"$(got held_report)\", status $(got held_status); the far side got only the later run's frames" \
    uart_held
}

# A UART that is the kernel's console: all that reaches its far side is the console's.
console_checks() { # console_checks DEVICE
  stx=$(od -An -v -tx1 "$out/$row/uart.bin" 2>/dev/null | tr ' ' '\n' | grep -c '^02$' || true)
  check "$row: no frame byte on the line: $(stat -c %s "$out/$row/uart.bin" 2>/dev/null || echo 0) bytes, $stx STX" \
    test -f "$out/$row/uart.bin" -a "$stx" = 0
  check "$row: the line still at $(grep -o 'speed [0-9]* baud' "$out/$row/stty-after.txt" || echo '?')" \
    console_kept
  check "$row: the report on screen: \"$(got report | cut -c1-90)...\", answered: status $(got status)" \
    console_report "$1"
}

# 2. The same UART as the kernel's console.
row_console() {
  CONSOLE=console=ttyS0,115200 boot "$row" amd64 -serial "file:$work/$row/uart.bin"
  finish
  console_checks ttyS0
}

# 3. ttyS0 a placeholder; one USB serial adapter, pulled out while nobody touches the panel.
row_usb() {
  CONSOLE=console=ttyS1 boot "$row" amd64 -serial none -serial "file:$work/$row/console.log" \
    -device qemu-xhci,id=xhci -chardev "file,id=adapter-line,path=$work/$row/usb.bin" \
    -device usb-serial,id=adapter,chardev=adapter-line,bus=xhci.0
  far_side_signals "$work/$row/usb.bin"
  until [ -e "$row_dir/share/sync/pull" ] || ! kill -0 "$qemu_pid" 2>/dev/null; do sleep 0.2; done
  [ ! -e "$row_dir/share/sync/pull" ] || qmp "$row_dir" '{"execute": "device_del", "arguments": {"id": "adapter"}}' ||
    echo "check-drivers: device_del failed"
  finish
  check "usb: frames reached the adapter ($(got line); $(grep -o 'usb-[^ ]* -> ../../ttyUSB0' "$out/$row/devices.txt"); ttyS0: $(got ports | tr ';' '\n' | grep '^0:')): $(frames_in "$out/$row/usb.bin")" \
    usb_frames
  lag=$(after_gone "$(got shown)")
  check "usb: pulled out: \"$(got report | cut -c1-70)\" on standard error $(after_gone "$(got reported)") s and on screen ${lag:-?} s after the node went; answered: status $(got status); locks: $(got after_locks)" \
    usb_report
}

# 4. A Raspberry Pi's UART: arm64 `virt`, its PL011 behind serial0; the console on hvc0.
row_pi() {
  PI=1 RULES=$pi_rule CONSOLE=console=hvc0 boot "$row" arm64 -M virt -cpu cortex-a72 -serial "file:$work/$row/uart.bin" \
    -device virtio-serial-pci -chardev "file,id=console,path=$work/$row/console.log" \
    -device virtconsole,chardev=console
  far_side_signals "$work/$row/uart.bin"
  finish
  check "pi: frames at the PL011's far side ($(got line)): $(frames_in "$out/$row/uart.bin")" \
    frames_reached "$out/$row/uart.bin"
  check "pi: while it ran: $(got running_driver) (asked: $(rts_request || echo no RTS request)); EXIT gives status $(got status)" pi_exit
}

# 5. A Raspberry Pi as it comes: Raspberry Pi OS's command line has console=serial0,115200,
# which the firmware hands the kernel as the UART's own name.
row_pi_console() {
  PI=1 RULES=$pi_rule CONSOLE=console=ttyAMA0,115200 boot "$row" arm64 -M virt -cpu cortex-a72 \
    -serial "file:$work/$row/uart.bin"
  finish
  console_checks ttyAMA0
}

# DRIVERS_ROWS picks some of the rows, in its order.
for row in ${DRIVERS_ROWS:-uart console usb pi pi-console}; do
  case $row in
  uart | console | usb) machine amd64 ;;
  pi | pi-console) machine arm64 ;;
  *)
    fail "no row $row"
    continue
    ;;
  esac
  "row_${row//-/_}"
done

checks_end "$((SECONDS - start)) s; logs in $out"
