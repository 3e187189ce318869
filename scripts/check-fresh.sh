#!/usr/bin/env bash
# `make check-fresh`: the README's `make test` on a fresh minimal Debian (DEBIAN=bookworm, the
# default, Debian 12; or DEBIAN=trixie, Debian 13) with only git, make, ca-certificates and sudo
# added, from the committed HEAD; once as root, once as an ordinary user with password-less
# sudo, each on a root of its own so that both install what they need themselves. Prints each
# run's CTest summary and fails when either fails, or when a test skips where its CTest labels
# do not allow it (tests/CMakeLists.txt).
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
  # A /dev as a container has it: no serial port at all, pseudo-terminals of its own. Not
  # support's stand-in: that one puts a /dev over this system's own and binds this system's
  # pseudo-terminals, whose ptmx may be closed to all but root (ptmxmode=000), while the tests
  # in the root open pseudo-terminals as an ordinary user too.
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
  status=0
  if [ "$who" = root ]; then
    home=/root
    "${env[@]}" HOME=/root chroot "$root" sh -c "cd /root && $steps" </dev/null || status=$?
  else
    home=/home/tester
    chroot "$root" useradd --create-home --shell /bin/bash tester
    echo 'tester ALL=(ALL) NOPASSWD: ALL' >"$root/etc/sudoers.d/tester"
    chmod 0440 "$root/etc/sudoers.d/tester"
    "${env[@]}" chroot "$root" runuser -l tester -c "$steps" </dev/null || status=$?
  fi
  # Each test's labels (tests/CMakeLists.txt), which say where it may skip: "label LABEL NAME".
  for label in needs_root needs_user_namespace needs_ordinary_user; do
    "${env[@]}" chroot "$root" ctest --test-dir "$home/servo-panel/build" -N -L "^$label\$" |
      sed -n "s/^ *Test *#[0-9]*: /label $label /p" || true
  done
  exit $status
fi

[ "$(id -u)" -eq 0 ] || exec sudo BUILD="${BUILD:-build}" DEBIAN="$suite" "$0" "$@"
"$repo/scripts/setup.sh" fresh
started=$(date +%s)

# shellcheck source=scripts/checks.sh
. "$repo/scripts/checks.sh"
checks_begin check-fresh

# Every mount below is made in a mount namespace of its own, so none is seen from here and
# none outlives its run; deleting the work folder never reaches through one.
work=$(mktemp -d /var/tmp/servo-panel-fresh.XXXXXX)
trap 'rm -rf --one-file-system "$work"' EXIT
mkdir -p "$out/apt-cache/partial"
git -C "$repo" bundle create -q "$out/source.bundle" HEAD
echo "check-fresh: $(git -C "$repo" log -1 --format='%h %s') on a fresh Debian ($suite)"

debian_root "$(dpkg --print-architecture)" "$suite" "$work/base" "$out/apt-cache" \
  "$out/mmdebstrap.log" --include=git,make,ca-certificates,sudo || {
  tail -20 "$out/mmdebstrap.log"
  exit 1
}
cp -a "$work/base" "$work/user"

# The tests LOG says were skipped that carry none of LABELS (the run's "label" lines).
unallowed_skips() { # unallowed_skips LOG LABEL...
  local log=$1 name label
  shift
  ctest_skipped "$log" | while read -r name; do
    for label; do grep -qxF "label $label $name" "$log" && continue 2; done
    echo "$name"
  done
}

for who in root user; do
  root=$work/base
  [ "$who" = user ] && root=$work/user
  log=$out/$who.log
  echo "check-fresh: make test as $who (log: $log)"
  status=0
  timeout 3h unshare --mount --pid --fork --kill-child --propagation private \
    "$0" --run "$root" "$who" >"$log" 2>&1 || status=$?
  # As root the tests of the real executable must run, without a ttyS0: only those that want
  # an ordinary user to become (there is none) may skip. As a user, also those that need root
  # or a user namespace (a chroot refuses them).
  if [ "$who" = root ]; then
    unallowed=$(unallowed_skips "$log" needs_ordinary_user)
  else
    unallowed=$(unallowed_skips "$log" needs_ordinary_user needs_root needs_user_namespace)
  fi
  before=$(failures)
  [ "$status" -eq 0 ] || fail "$suite: $who: make test ended with status $status"
  check_ctest "$suite: $who" "$log"
  check "$suite: $who: $(ctest_skipped "$log" | wc -l) skipped, each as its labels allow" \
    test -z "$unallowed"
  [ -z "$unallowed" ] || echo "check-fresh: skipped against their labels:" $unallowed
  [ "$(failures)" -eq "$before" ] || tail -40 "$log"
done
checks_end "took $((($(date +%s) - started) / 60)) min $((($(date +%s) - started) % 60)) s"
