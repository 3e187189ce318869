#!/bin/sh
# run-panel.sh SLAVE PANEL: starts PANEL with the pseudo-terminal SLAVE standing in for
# /dev/ttyS0, in a mount namespace of its own (inside an unprivileged user namespace unless
# run as root) with a private /run/lock. The real /dev/ttyS0 may be a live port or the
# machine's console: PANEL is started only once /dev/ttyS0 is checked to be SLAVE.
set -u

fail() {
    echo "servo-sim: $*; the panel was not started." >&2
    exit 98
}

# Runs only as the command of unshare, in the new namespace, whose mounts are the panel's
# alone: there is no way in here from the shell that was started.
inside='
set -u
slave=$1
panel=$2
fail() {
    echo "servo-sim: $*; the panel was not started." >&2
    exit 98
}

# Qt claims a port with a lock file; a lock directory of its own keeps the stand-in clear
# of the lock of a program that holds the real port, and the other way round.
mount -t tmpfs -o mode=1777 servo-sim-locks /run/lock || fail "cannot make /run/lock private"
if [ -d /var/lock ] && [ ! -L /var/lock ]; then
    mount -t tmpfs -o mode=1777 servo-sim-locks /var/lock || fail "cannot make /var/lock private"
fi

if [ ! -e /dev/ttyS0 ]; then
    # No node to bind over (a container): a /dev for the panel alone with the nodes a Qt
    # program uses, the old /dev reached through the private lock directory meanwhile.
    old=/run/lock/.dev
    mkdir "$old" && mount --rbind /dev "$old" || fail "cannot reach /dev"
    mount -t tmpfs -o mode=755 servo-sim-dev /dev || fail "cannot make a /dev of its own"
    for node in null zero full random urandom tty; do
        [ -e "$old/$node" ] || continue
        touch "/dev/$node" && mount --bind "$old/$node" "/dev/$node" \
            || fail "cannot bind /dev/$node"
    done
    for dir in pts shm; do
        [ -d "$old/$dir" ] || continue
        mkdir "/dev/$dir" && mount --rbind "$old/$dir" "/dev/$dir" || fail "cannot bind /dev/$dir"
    done
    ln -s pts/ptmx /dev/ptmx && ln -s /proc/self/fd /dev/fd && ln -s fd/0 /dev/stdin \
        && ln -s fd/1 /dev/stdout && ln -s fd/2 /dev/stderr && touch /dev/ttyS0 \
        || fail "cannot fill /dev"
    umount -l "$old" && rmdir "$old"
fi

mount --bind "$slave" /dev/ttyS0 || fail "cannot bind $slave over /dev/ttyS0"
# Whatever went wrong above, the panel opens the stand-in or nothing.
if [ ! -c /dev/ttyS0 ] || [ "$(stat -L -c %t:%T /dev/ttyS0)" != "$(stat -L -c %t:%T "$slave")" ]
then
    fail "/dev/ttyS0 is not $slave after binding it there"
fi
exec "$panel"
'

[ $# -eq 2 ] || fail "usage: $0 SLAVE PANEL"
[ -c "$1" ] || fail "$1 is not a terminal"
[ -x "$2" ] || fail "no panel at $2 (make build makes one)"
command -v unshare >/dev/null || fail "unshare (util-linux) is missing"
[ -d /run/lock ] || fail "there is no /run/lock to make private"

if [ "$(id -u)" -eq 0 ]; then
    exec unshare --mount --propagation private /bin/sh -c "$inside" servo-sim "$1" "$2"
fi
# The probe mounts, as the launcher will: some systems allow the namespace but not that.
if ! why=$(unshare --user --map-root-user --mount \
    mount -t tmpfs servo-sim-probe /run/lock 2>&1); then
    cat >&2 <<EOT
servo-sim: this system does not let ordinary users mount in a user namespace of their own
(${why:-unshare failed}), so the panel cannot get a /dev/ttyS0 of its own without root.
Either allow it (sysctl user.max_user_namespaces above 0, and where they exist
kernel.unprivileged_userns_clone=1 and kernel.apparmor_restrict_unprivileged_userns=0),
or run the simulator as root on your display:
    sudo --preserve-env=DISPLAY,XAUTHORITY $(cd "$(dirname "$0")" && pwd)/servo-sim
The panel was not started.
EOT
    exit 97
fi
exec unshare --user --map-root-user --mount --propagation private \
    /bin/sh -c "$inside" servo-sim "$1" "$2"
