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

# What the machine for ARCH holds: Debian 12 minbase, its kernel, udev, Xvfb, xdotool and what
# the panel's package depends on (installed when the machine boots).
machine_packages() { # machine_packages ARCH
  local depends
  depends=$(dpkg-deb -f "${debs[$1]}" Depends | tr ',' '\n' | sed 's/^ *//; s/[ (|].*//' |
    grep -v '^$' | sort -u | tr '\n' ' ')
  echo "linux-image-$1 initramfs-tools udev kmod procps xvfb xdotool x11-utils strace picocom $depends"
}
# Where the cached kernel, initramfs and root image for ARCH lie, keyed by what goes into them.
machine_dir() { # machine_dir ARCH
  echo "$cache/$1-$({
    echo "$1 $(machine_packages "$1") ${initramfs_modules[*]}"
    echo "$guest_init"
  } | sha256sum | cut -c1-16)"
}
# Makes the machine for ARCH, when the cache has none for its package list and recipe.
machine() { # machine ARCH
  local arch=$1 dir packages root lock
  dir=$(machine_dir "$arch")
  # Another run making it in the same cache is waited for, not raced.
  exec {lock}>>"$cache/$arch.lock"
  flock "$lock"
  [ -f "$dir/ready" ] && { exec {lock}>&-; return 0; }
  packages=$(machine_packages "$arch")
  echo "check-drivers: making the $arch machine in $dir (packages: $packages)"
  rm -rf "$dir"
  mkdir -p "$dir"
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
  cp "$root"/boot/vmlinuz-* "$dir/vmlinuz"
  cp "$root"/boot/initrd.img-* "$dir/initrd.img"
  chmod 644 "$dir/vmlinuz" "$dir/initrd.img"
  mke2fs -q -t ext4 -L root -d "$root" "$dir/root.img" \
    "$(($(du -sm "$root" | cut -f1) + 512))M" >/dev/null
  rm -rf --one-file-system "$root"
  touch "$dir/ready"
  exec {lock}>&-
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


# One machine booted for ROW: BOARD pc (amd64) or pi (arm64 `virt` with a Raspberry Pi's
# device tree alias and udev rule), the kernel's console on KERNEL-CONSOLE, and qemu's own
# arguments. Its share ($work/ROW/share) holds the package, the guest's script, the checks'
# library, the window's title, where to click and, afterwards, what it saw. Sets qemu_pid.
qemu_pid=''
boot() { # boot ROW BOARD KERNEL-CONSOLE QEMU-ARGS...
  local row=$1 board=$2 console=$3 dir=$work/$1 arch=amd64 machine control qemu
  shift 3
  [ "$board" = pc ] || arch=arm64
  machine=$(machine_dir "$arch")
  mkdir -p "$dir/share/out" "$dir/share/sync" "$dir/share/rules"
  cp "${debs[$arch]}" "$dir/share/servo-panel.deb"
  cp "$here/scripts/drivers-guest.sh" "$dir/share/guest.sh"
  cp "$here/scripts/checks.sh" "$dir/share/checks.sh"
  echo "$row" >"$dir/share/row"
  window_title "$points" >"$dir/share/title"
  for control in HScroll1.right Command1; do
    layout_point "$points" "$control" >"$dir/share/$control"
  done
  qemu=("qemu-system-${arch_qemu[$arch]}" -nodefaults -display none -no-reboot
    -accel "tcg,thread=multi" -smp 2 -m 1024)
  [ "$board" = pc ] || qemu+=(-M virt -cpu cortex-a72)
  qemu+=("$@")
  if [ "$board" = pi ]; then
    printf '%s\n' "$pi_rule" >"$dir/share/rules/99-com.rules"
    pi_device_tree "$dir/pi.dtb" "${qemu[@]}" && qemu+=(-dtb "$dir/pi.dtb")
  fi
  "${qemu[@]}" -kernel "$machine/vmlinuz" -initrd "$machine/initrd.img" \
    -append "root=/dev/vda rw init=/usr/local/sbin/check-init panic=-1 quiet console=$console" \
    -drive "file=$machine/root.img,format=raw,if=none,id=root,snapshot=on" \
    -device virtio-blk-pci,drive=root \
    -virtfs "local,path=$dir/share,mount_tag=share,security_model=none,id=share" \
    -qmp "unix:$dir/qmp.sock,server=on,wait=off" >"$dir/qemu.log" 2>&1 &
  qemu_pid=$!
}
# What reached a chardev file, as frames (eight hex digits each), through the far end's log.
frames_in() { # frames_in FILE
  echo "0 $(od -An -v -tx1 "$1" 2>/dev/null | tr '\n' ' ')" >"$1.log"
  frames_since "$1.log" 0
}
# Tells ROW's guest when the far side has seen the start-up frames, then the click's; gives
# up when the machine is gone.
far_side_signals() { # far_side_signals ROW FILE
  local bytes
  for bytes in 16:startup 20:click; do
    until [ "$(stat -c %s "$2" 2>/dev/null || echo 0)" -ge "${bytes%:*}" ]; do
      kill -0 "$qemu_pid" 2>/dev/null || return 0
      sleep 0.2
    done
    touch "$work/$1/share/sync/${bytes#*:}"
  done
}
finish() { # finish ROW: waits for the machine to power off, and keeps what it saw in $out/ROW
  local until=$((SECONDS + 600))
  while kill -0 "$qemu_pid" 2>/dev/null && [ $SECONDS -lt $until ]; do sleep 0.5; done
  kill "$qemu_pid" 2>/dev/null || true
  wait "$qemu_pid" 2>/dev/null || true
  qemu_pid=''
  cp -r "$work/$1/share/out" "$out/$1"
  cp "$work/$1"/*.log "$work/$1"/*.bin "$out/$1/" 2>/dev/null || true
}
qmp() { # qmp ROW-DIR COMMAND-JSON: one command on the machine's QMP socket
  python3 - "$1/qmp.sock" "$2" <<'PY'
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
PY
}

# What each row needs to pass, read from what its machine saw: SEEN is $out/ROW, its result
# file the guest's notes ("KEY=VALUE").
got() { sed -n "s/^$2=//p" "$1/result" 2>/dev/null | tail -1; } # got SEEN KEY
frames_reached() { # frames_reached FILE: the start-up frames and CH1's right arrow, only
  [ "$(frames_in "$1")" = "$(startup_frames) $(frame 1 51)" ]
}
# 9600 8N1 as stty reads it while the panel holds the line.
nine_six_8n1() { # nine_six_8n1 STTY-FILE
  grep -q 'speed 9600 baud' "$1" && grep -qw cs8 "$1" && grep -qw -- -parenb "$1" &&
    grep -qw -- -cstopb "$1"
}
modem_lines_up() { grep -q RTS <<<"$1" && grep -q DTR <<<"$1"; } # modem_lines_up DRIVER-LINE
# The panel's own request for RTS, which the driver granted.
rts_request() { # rts_request SEEN
  awk '/TIOCMBIS, \[TIOCM_RTS\]\) *= 0/ { sub(/.*ioctl\([0-9]+, /, ""); gsub(/ +/, " "); print; f = 1; exit }
    END { exit !f }' "$1/ioctl.txt" 2>/dev/null
}
no_lock() { ! grep -q "LCK\.\.$2" <<<"$(got "$1" after_locks)"; } # no_lock SEEN NODE
# dpkg installed the package for ARCH, its dependencies met.
installed() { [[ "$(got "$1" installed)" == "ii servo-panel "*" $2" ]]; } # installed SEEN ARCH
# Seconds from the node's going to TIME, on the guest's clock.
after_gone() { # after_gone SEEN TIME
  awk -v a="$(got "$1" gone)" -v b="$2" 'BEGIN { if (a && b) printf "%.3f", b - a }'
}
console_kept() { grep -q 'speed 115200 baud' "$1/stty-after.txt"; } # console_kept SEEN
pi_exit() { # pi_exit SEEN
  [ "$(got "$1" status)" = 0 ] && modem_lines_up "$(got "$1" running_driver)" &&
    rts_request "$1" >/dev/null
}
uart_running() { # uart_running SEEN
  grep -q 'uart:16550A' <<<"$(got "$1" running_driver)" &&
    modem_lines_up "$(got "$1" running_driver)" && rts_request "$1" >/dev/null &&
    nine_six_8n1 "$1/stty-running.txt"
}
uart_held() { # uart_held SEEN
  grep -q 'ttyS0: it is in use by another program (picocom, process [0-9]*)' <<<"$(got "$1" held_report)" &&
    [ "$(got "$1" held_status)" = 1 ] && frames_reached "$1/uart.bin"
}
uart_after() { # uart_after SEEN
  [ "$(got "$1" status)" = 0 ] && grep -q 'uart:16550A' <<<"$(got "$1" after_driver)" &&
    ! grep -q 'RTS\|DTR' <<<"$(got "$1" after_driver)" && no_lock "$1" ttyS0
}
console_report() { # console_report SEEN DEVICE
  [ -n "$(got "$1" window)" ] && grep -q "system's console ($2)" <<<"$(got "$1" report)" &&
    [ "$(got "$1" status)" = 1 ]
}
usb_frames() { # usb_frames SEEN
  grep -q '^0: uart:unknown' <<<"$(got "$1" ports | tr ';' '\n')" &&
    grep -q 'usb-.* -> ../../ttyUSB0' "$1/devices.txt" && frames_reached "$1/usb.bin"
}
usb_report() { # usb_report SEEN LAG: LAG seconds from the node's going to the box's coming
  [ -n "$2" ] && awk -v l="$2" 'BEGIN { exit !(l <= 1 && l >= -1) }' &&
    grep -q 'Lost the port /dev/ttyUSB0' <<<"$(got "$1" report)" && [ "$(got "$1" status)" = 1 ] &&
    no_lock "$1" ttyUSB0
}

# The rows, each given its name. 1. A 16550A at ttyS0; the machine's console on ttyS1.
row_uart() { # row_uart ROW
  local row=$1 seen=$out/$1
  boot "$row" pc ttyS1 -serial "file:$work/$row/uart.bin" -serial "file:$work/$row/console.log"
  far_side_signals "$row" "$work/$row/uart.bin"
  finish "$row"
  check "uart: frames in order at the 16550A's far side: $(frames_in "$seen/uart.bin")" \
    frames_reached "$seen/uart.bin"
  check "uart: while the panel runs: $(got "$seen" running_driver) (asked: $(rts_request "$seen" || echo no RTS request)); $(grep -o 'speed [0-9]* baud' "$seen/stty-running.txt" ||
    echo 'no stty'), $(grep -ow 'cs8\|-parenb\|-cstopb' "$seen/stty-running.txt" | tr '\n' ' ')locks: $(got "$seen" running_locks)" \
    uart_running "$seen"
  check "uart: EXIT gives status $(got "$seen" status); then: $(got "$seen" after_driver); locks: $(got "$seen" after_locks)" \
    uart_after "$seen"
  check "uart: picocom holding ttyS0 first: \"$(got "$seen" held_report)\", status $(got "$seen" held_status); the far side got only the later run's frames" \
    uart_held "$seen"
}

# A UART that is the kernel's console: all that reaches its far side is the console's.
console_checks() { # console_checks ROW DEVICE
  local row=$1 seen=$out/$1 stx
  stx=$(od -An -v -tx1 "$seen/uart.bin" 2>/dev/null | tr ' ' '\n' | grep -c '^02$' || true)
  check "$row: no frame byte on the line: $(stat -c %s "$seen/uart.bin" 2>/dev/null || echo 0) bytes, $stx STX" \
    test -f "$seen/uart.bin" -a "$stx" = 0
  check "$row: the line still at $(grep -o 'speed [0-9]* baud' "$seen/stty-after.txt" || echo '?')" \
    console_kept "$seen"
  check "$row: the report on screen: \"$(got "$seen" report | cut -c1-90)...\", answered: status $(got "$seen" status)" \
    console_report "$seen" "$2"
}

# 2. The same UART as the kernel's console.
row_console() { # row_console ROW
  boot "$1" pc ttyS0,115200 -serial "file:$work/$1/uart.bin"
  finish "$1"
  console_checks "$1" ttyS0
}

# 3. ttyS0 a placeholder; one USB serial adapter, pulled out while nobody touches the panel.
row_usb() { # row_usb ROW
  local row=$1 seen=$out/$1 lag
  boot "$row" pc ttyS1 -serial none -serial "file:$work/$row/console.log" \
    -device qemu-xhci,id=xhci -chardev "file,id=adapter-line,path=$work/$row/usb.bin" \
    -device usb-serial,id=adapter,chardev=adapter-line,bus=xhci.0
  far_side_signals "$row" "$work/$row/usb.bin"
  until [ -e "$work/$row/share/sync/pull" ] || ! kill -0 "$qemu_pid" 2>/dev/null; do sleep 0.2; done
  [ ! -e "$work/$row/share/sync/pull" ] ||
    qmp "$work/$row" '{"execute": "device_del", "arguments": {"id": "adapter"}}' ||
    echo "check-drivers: device_del failed"
  finish "$row"
  check "usb: frames reached the adapter ($(got "$seen" line); $(grep -o 'usb-[^ ]* -> ../../ttyUSB0' "$seen/devices.txt"); ttyS0: $(got "$seen" ports | tr ';' '\n' | grep '^0:')): $(frames_in "$seen/usb.bin")" \
    usb_frames "$seen"
  lag=$(after_gone "$seen" "$(got "$seen" shown)")
  check "usb: pulled out: \"$(got "$seen" report | cut -c1-70)\" on standard error $(after_gone "$seen" "$(got "$seen" reported)") s and on screen ${lag:-?} s after the node went; answered: status $(got "$seen" status); locks: $(got "$seen" after_locks)" \
    usb_report "$seen" "$lag"
}

# 4. A Raspberry Pi's UART: its PL011 behind serial0; the console on hvc0.
row_pi() { # row_pi ROW
  local row=$1 seen=$out/$1
  boot "$row" pi hvc0 -serial "file:$work/$row/uart.bin" \
    -device virtio-serial-pci -chardev "file,id=console,path=$work/$row/console.log" \
    -device virtconsole,chardev=console
  far_side_signals "$row" "$work/$row/uart.bin"
  finish "$row"
  check "pi: frames at the PL011's far side ($(got "$seen" line)): $(frames_in "$seen/uart.bin")" \
    frames_reached "$seen/uart.bin"
  check "pi: while it ran: $(got "$seen" running_driver) (asked: $(rts_request "$seen" || echo no RTS request)); EXIT gives status $(got "$seen" status)" \
    pi_exit "$seen"
}

# 5. A Raspberry Pi as it comes: Raspberry Pi OS's command line has console=serial0,115200,
# which the firmware hands the kernel as the UART's own name.
row_pi_console() { # row_pi_console ROW
  boot "$1" pi ttyAMA0,115200 -serial "file:$work/$1/uart.bin"
  finish "$1"
  console_checks "$1" ttyAMA0
}

# DRIVERS_ROWS picks some of the rows, in its order.
for row in ${DRIVERS_ROWS:-uart console usb pi pi-console}; do
  case $row in
  uart | console | usb) arch=amd64 ;;
  pi | pi-console) arch=arm64 ;;
  *)
    fail "no row $row"
    continue
    ;;
  esac
  machine "$arch"
  "row_${row//-/_}" "$row"
  check "$row: dpkg installed $(got "$out/$row" installed)" installed "$out/$row" "$arch"
done

checks_end "$((SECONDS - start)) s; logs in $out"
