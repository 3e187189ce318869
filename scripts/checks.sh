# Sourced by the checks (check-windows.sh, check-arm64.sh, check-fresh.sh): their rows, their
# waits, and the Debian mirrors this machine's apt uses. `check_name` names the check.

passed=0
failed=0
skipped=0
pass() { passed=$((passed + 1)); echo "$check_name: ok: $*"; }
fail() { failed=$((failed + 1)); echo "$check_name: FAILED: $*"; }
skip() { skipped=$((skipped + 1)); echo "$check_name: not checked: $*"; }
check() { # check "what" command...
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
wait_for() { # wait_for SECONDS command...
  local until=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $until ] || return 1
    sleep 0.1
  done
}

# The far end's log (scripts/far_end.py, in $work/line.log): a time in ms and the bytes of
# each read, one line each, and the line settings as the panel set them.
lines() { wc -l <"$work/line.log"; }
since() { tail -n +$(($1 + 1)) "$work/line.log" | grep -v '^settings' | cut -d' ' -f2-; } # after line $1

# CH2's TEST clicked by `$@`, and clicked again 2.6 s later: 255 and then 96, a second apart.
check_test_swing() {
  local before swing gap
  before=$(lines)
  "$@"
  sleep 2.6
  "$@"
  tail -n +$((before + 1)) "$work/line.log" >"$out/test-swing.log"
  swing=$(since "$before" | tr -d ' \n' | cut -c1-16)
  gap=$(awk 'NR == 1 { t = $1 } NR == 2 { print $1 - t }' "$out/test-swing.log")
  check "CH2's TEST: $(since "$before" | tr '\n' ' ')(${gap:-?} ms apart)" \
    sh -c "[ '$swing' = 0231464602313630 ] && [ ${gap:-0} -ge 900 ] && [ ${gap:-0} -le 1100 ]"
}

# Sets `mirrors` to the sources of Debian `suite` (its updates and security too) from the
# mirrors in this machine's apt configuration (deb822 or one-line, as apt itself reads them).
debian_mirrors() { # debian_mirrors SUITE
  local origin uri release archive='' security=''
  # shellcheck disable=SC2016 # apt expands these itself
  while IFS='|' read -r origin uri release; do
    [ "$origin" = Debian ] || continue
    case "$release" in
    *-security) security=${security:-$uri} ;;
    *) archive=${archive:-$uri} ;;
    esac
  done < <(apt-get indextargets --format '$(ORIGIN)|$(REPO_URI)|$(RELEASE)' 'Identifier: Packages')
  [ -n "$archive" ] || {
    echo "$check_name: no Debian mirror in this machine's apt sources (after apt-get update)" >&2
    return 1
  }
  mirrors=("deb $archive $1 main" "deb $archive $1-updates main")
  [ -z "$security" ] || mirrors+=("deb $security $1-security main")
}

# Runs a command in a mount namespace of its own where arm64 programs run through qemu-user,
# as mmdebstrap needs for an arm64 root. qemu-user-static's packaging registers qemu with
# binfmt_misc on a booted system; where it is not (a container), qemu is registered in a
# binfmt_misc mounted in the namespace, and the entry goes with the last such mount. Another
# run at the same time shares it: an entry of ours already there serves as it is.
with_arm64_binfmt() { # with_arm64_binfmt COMMAND...
  local entry=/usr/share/binfmts/qemu-aarch64 register
  register=$(mktemp)
  # F: the kernel opens qemu now, so the root needs no copy of it.
  printf ':servo-panel-aarch64:M:0:%s:%s:%s:F' "$(sed -n 's/^magic //p' $entry)" \
    "$(sed -n 's/^mask //p' $entry)" "$(command -v qemu-aarch64-static)" >"$register"
  # shellcheck disable=SC2016 # the inner shell expands $0 and $@
  unshare --mount --propagation private sh -c '
    cd /proc/sys/fs/binfmt_misc 2>/dev/null && grep -qx enabled qemu-aarch64 2>/dev/null ||
      { mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc && {
        grep -qx enabled /proc/sys/fs/binfmt_misc/servo-panel-aarch64 2>/dev/null ||
          cat "$0" >/proc/sys/fs/binfmt_misc/register; }; } || exit 98
    rm -f "$0"
    exec "$@"' "$register" "$@"
}
