#!/usr/bin/env bash
# `make check-fresh`: the README's `make test` on a fresh minimal Debian (DEBIAN=bookworm, the
# default, Debian 12; or DEBIAN=trixie, Debian 13) with only git, make, ca-certificates and sudo
# added, from the committed HEAD; once as root, once as an
# ordinary user with password-less sudo, each on a root of its own so that both install
# what they need themselves. Prints each run's CTest summary and fails when either fails.
#
# Needs root (mmdebstrap, chroot, mounts) and the network: the packages come from the
# Debian mirrors this machine's apt is configured with. Downloaded packages are kept in
# $BUILD/check-fresh/<release>/apt-cache for the next run; remove it for a cold one.
set -euo pipefail

suite=${DEBIAN:-bookworm}
case "$suite" in
bookworm | trixie) ;;
*)
  echo "check-fresh: DEBIAN=$suite: bookworm (Debian 12) or trixie (Debian 13)" >&2
  exit 2
  ;;
esac
repo=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "$repo/${BUILD:-build}/check-fresh/$suite" && cd "$repo/${BUILD:-build}/check-fresh/$suite" && pwd)

# One run, inside a mount and PID namespace of its own (see below): whatever it mounts or
# starts ends with it, even when it fails or is interrupted.
if [ "${1:-}" = --run ]; then
  root=$2 who=$3
  # The root is a mount point, as a container's is; the tests' own `unshare -m` needs that.
  mount --bind "$root" "$root"
  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys"
  # A /run as a booted system has it, with the lock directory serial ports use.
  mount -t tmpfs -o mode=755 run "$root/run"
  mkdir -m 1777 "$root/run/lock"
  # A /dev as a container has it: no serial port at all, pseudo-terminals of its own.
  mount -t tmpfs -o mode=755 dev "$root/dev"
  for n in null zero full random urandom tty; do
    touch "$root/dev/$n"
    mount --bind "/dev/$n" "$root/dev/$n"
  done
  mkdir "$root/dev/pts" "$root/dev/shm"
  mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5 devpts "$root/dev/pts"
  mount -t tmpfs -o mode=1777 shm "$root/dev/shm"
  ln -s pts/ptmx "$root/dev/ptmx"
  ln -s /proc/self/fd "$root/dev/fd"
  mount --bind "$out/apt-cache" "$root/var/cache/apt/archives"

  cp "$out/source.bundle" "$root/tmp/source.bundle"
  steps='git clone -q /tmp/source.bundle servo-panel && cd servo-panel && git log -1 --format="%h %s" && make test'
  env=(env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 TERM=dumb)
  if [ "$who" = root ]; then
    exec "${env[@]}" HOME=/root chroot "$root" sh -c "cd /root && $steps" </dev/null
  fi
  chroot "$root" useradd --create-home --shell /bin/bash tester
  echo 'tester ALL=(ALL) NOPASSWD: ALL' >"$root/etc/sudoers.d/tester"
  chmod 0440 "$root/etc/sudoers.d/tester"
  exec "${env[@]}" chroot "$root" runuser -l tester -c "$steps" </dev/null
fi

[ "$(id -u)" -eq 0 ] || exec sudo BUILD="${BUILD:-build}" DEBIAN="$suite" "$0" "$@"
"$repo/scripts/setup.sh" fresh
started=$(date +%s)

check_name=check-fresh
# shellcheck source=scripts/checks.sh
. "$repo/scripts/checks.sh"
debian_mirrors "$suite"

# Every mount below is made in a mount namespace of its own, so none is seen from here and
# none outlives its run; deleting the work folder never reaches through one.
work=$(mktemp -d /var/tmp/servo-panel-fresh.XXXXXX)
trap 'rm -rf --one-file-system "$work"' EXIT
mkdir -p "$out/apt-cache/partial"
git -C "$repo" bundle create -q "$out/source.bundle" HEAD
echo "check-fresh: $(git -C "$repo" log -1 --format='%h %s') on a fresh Debian ($suite)"

unshare --mount --propagation private mmdebstrap --quiet --variant=minbase --include=git,make,ca-certificates,sudo \
  "$suite" "$work/base" "${mirrors[@]}"
cp -a "$work/base" "$work/user"

failed=0
summary=()
for who in root user; do
  root=$work/base
  [ "$who" = user ] && root=$work/user
  log=$out/$who.log
  echo "check-fresh: make test as $who (log: $log)"
  status=0
  timeout 3h unshare --mount --pid --fork --kill-child --propagation private \
    "$0" --run "$root" "$who" >"$log" 2>&1 || status=$?
  line=$(grep -E '^[0-9]+% tests passed' "$log" | tail -1 || true)
  skipped=$(grep -cE '^[[:space:]]*[0-9]+ - .*\(Skipped\)$' "$log" || true)
  # As root the tests of the real executable must run, without a ttyS0; only those that
  # want an ordinary user or a user namespace (none in a chroot) may skip.
  blocked=$(grep -E '^[[:space:]]*[0-9]+ - .*\(Skipped\)$' "$log" |
    grep -cvE ' - Demo\.(AsAnOrdinaryUser|SaysWhenUserNamespacesAreRefused) ' || true)
  if [ "$status" -ne 0 ] || [ -z "$line" ] || ! grep -q ' 0 tests failed' <<<"$line" ||
    { [ "$who" = root ] && [ "$blocked" -ne 0 ]; }; then
    failed=1
    tail -40 "$log"
  fi
  summary+=("check-fresh: $suite: $who: ${line:-no CTest summary (make test ended with status $status)}${line:+, $skipped skipped}")
done
printf '%s\n' "${summary[@]}"
echo "check-fresh: took $((($(date +%s) - started) / 60)) min $((($(date +%s) - started) % 60)) s"
exit $failed
