# shellcheck shell=bash
# The steps the checks share, sourced by check-windows.sh, check-arm64.sh, check-fresh.sh,
# check-drivers.sh and, inside the machines check-drivers boots, drivers-guest.sh. Each
# function takes what it works on as arguments; what it finds out it prints, or sets in the
# variables its comment names. A check starts with `checks_begin NAME`, and `checks_end`
# prints its closing line and fails on any failure.
checks_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# The tally: each line it prints begins with the check's name.
checks_begin() { # checks_begin NAME
  check_name=$1 passed=0 failed=0 skipped=0
}
pass() { passed=$((passed + 1)); echo "$check_name: ok: $*"; }
fail() { failed=$((failed + 1)); echo "$check_name: FAILED: $*"; }
skip() { skipped=$((skipped + 1)); echo "$check_name: not checked: $*"; }
check() { # check "what" command...
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
failures() { echo "$failed"; } # how many failed so far
checks_end() { # checks_end [DETAILS]: the closing line alone, as CI reads it
  echo "$check_name: $passed passed, $failed failed, $skipped skipped${1:+ ($1)}"
  [ "$failed" -eq 0 ]
}

wait_for() { # wait_for SECONDS command...
  local until=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $until ] || return 1
    sleep 0.1
  done
}

# The version CMake configured BUILD with.
project_version() { # project_version BUILD
  sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"
}

# CTest's closing summary in LOG ("100% tests passed, 0 tests failed out of 120"), if any.
ctest_summary() { # ctest_summary LOG
  grep -E '^[0-9]+% tests passed' "$1" 2>/dev/null | tail -1 || true
}
# The tests LOG says CTest skipped, one name a line.
ctest_skipped() { # ctest_skipped LOG
  sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$1" 2>/dev/null || true
}
check_ctest() { # check_ctest WHAT LOG: CTest ran in LOG, and no test failed
  local line
  line=$(ctest_summary "$2")
  check "$1: ${line:-no CTest summary (see $2)}" grep -q ' 0 tests failed' <<<"${line:-none}"
}

# Runs command in the background, its output in PREFIX.out and PREFIX.err, and its status,
# once it ends, in PREFIX.status.
run_recorded() { # run_recorded PREFIX command...
  local prefix=$1
  shift
  (
    set +e
    "$@" >"$prefix.out" 2>"$prefix.err"
    echo $? >"$prefix.status"
  ) &
}
recorded_status() { cat "$1.status" 2>/dev/null || echo none; } # recorded_status PREFIX

# Xvfb on a display it picks itself (the tests' way), logging to LOG; once it takes clients
# (waited for SECONDS, 10 unless given), DISPLAY names it (exported) and xvfb_pid is its process.
start_xvfb() { # start_xvfb LOG [SECONDS]
  Xvfb -displayfd 3 -noreset -screen 0 800x600x24 -nolisten tcp 3>"$1.display" >"$1" 2>&1 &
  # shellcheck disable=SC2034 # the caller's
  xvfb_pid=$!
  wait_for "${2:-10}" grep -q '^[0-9]' "$1.display" || return 1
  DISPLAY=:$(head -1 "$1.display")
  export DISPLAY
  wait_for "${2:-10}" xdpyinfo >/dev/null 2>&1
}
screenshot() { xwd -root | convert xwd:- "$1" 2>/dev/null || true; } # screenshot PNG

# The panel's window of TITLE, once shown (up to a minute), and a second for it to draw.
panel_window() { # panel_window TITLE
  timeout 60 xdotool search --sync --onlyvisible --name "^$1\$" | head -1
  sleep 1
}

# Where to click, from the panel's own layout: support's layout-points, built from
# ui/layout.h, prints "NAME X Y" in device-independent pixels a control, and the window's
# client size as "client WIDTH HEIGHT".
layout_point() { # layout_point LAYOUT-POINTS NAME: "X Y"
  "$1" | awk -v name="$2" '$1 == name { print $2, $3; found = 1 } END { exit !found }'
}
window_title() { "$1" | sed -n 's/^title //p'; } # window_title LAYOUT-POINTS

# The controller's end of a stand-in line (scripts/far_end.py), which logs to LOG each read:
# a time in ms and the bytes in hex; and the line settings as the panel set them. Sets
# far_pid, and far_line to the path of the line's terminal side.
start_far_end() { # start_far_end LOG
  python3 "$checks_dir/far_end.py" "$1" >"$1.out" &
  far_pid=$!
  wait_for 10 test -s "$1.out" || return 1
  # shellcheck disable=SC2034 # the caller's
  far_line=$(head -1 "$1.out")
}
# The far end closes its side, as a cable pulled out.
pull_far_end() { # pull_far_end LOG
  kill -USR1 "$far_pid"
  wait_for 10 grep -q '^closed' "$1.out"
}
log_lines() { wc -l <"$1"; } # log_lines LOG
grown() { [ "$(log_lines "$1")" -gt "$2" ]; } # grown LOG N: LOG has more than N lines
# What arrived after line N of LOG, as frames: eight hex digits each, a space between.
frames_since() { # frames_since LOG N
  awk -v from="$2" 'NR > from && $1 != "settings" { for (i = 2; i <= NF; i++) s = s $i }
    END { for (i = 1; i <= length(s); i += 8) printf "%s%s", (i > 1 ? " " : ""), substr(s, i, 8)
      print "" }' "$1" 2>/dev/null || true
}
# A frame as the controller reads it: STX, the channel's digit (0 for CH1), the value's two
# hex digits.
frame() { # frame CHANNEL VALUE
  local hex
  hex=$(printf %02X "$2")
  printf '02%02x%02x%02x' $((0x2f + $1)) "'${hex:0:1}" "'${hex:1:1}"
}
startup_frames() { echo "$(frame 1 50) $(frame 2 50) $(frame 3 50) $(frame 4 50)"; }

# The rows. CLICK is a command that clicks on the control it is given the name of
# (layout-points' names).

# The four start-up frames, and nothing else, after line N of LOG, waited for up to a minute.
started_after() { [ "$(frames_since "$1" "$2")" = "$(startup_frames)" ]; } # LOG N
check_startup() { # check_startup LOG N WHERE
  wait_for 60 started_after "$1" "$2" || true
  check "start-up frames on $3: $(frames_since "$1" "$2")" started_after "$1" "$2"
}
check_line_settings() { # check_line_settings LOG
  check "line settings: $(sed -n 's/^settings //p' "$1")" grep -q '^settings 9600 8N1$' "$1"
}
# CH1's right arrow: one frame, CH1 at 51.
check_arrow() { # check_arrow LOG CLICK...
  local log=$1 before
  shift
  before=$(log_lines "$log")
  "$@" HScroll1.right
  wait_for 5 grown "$log" "$before" || true
  sleep 0.3
  check "CH1's right arrow: $(frames_since "$log" "$before")" \
    test "$(frames_since "$log" "$before")" = "$(frame 1 51)"
}
# CH2's TEST clicked, and clicked again 2.6 s later: 255 and then 96, a second apart. What
# arrived is kept in SAVE.
check_test_swing() { # check_test_swing LOG SAVE CLICK...
  local log=$1 save=$2 before swing gap
  shift 2
  before=$(log_lines "$log")
  "$@" Command3
  sleep 2.6
  "$@" Command3
  tail -n +$((before + 1)) "$log" >"$save"
  swing=$(frames_since "$log" "$before" | cut -d' ' -f1-2)
  gap=$(awk 'NR == 1 { t = $1 } NR == 2 { print $1 - t }' "$save")
  check "CH2's TEST: $(frames_since "$log" "$before") (${gap:-?} ms apart)" \
    sh -c "[ '$swing' = '$(frame 2 255) $(frame 2 96)' ] && [ ${gap:-0} -ge 900 ] &&
      [ ${gap:-0} -le 1100 ]"
}
# EXIT: the program (started by run_recorded PREFIX) ends with status 0, nothing sent after.
check_exit() { # check_exit LOG PREFIX CLICK...
  local log=$1 prefix=$2 before
  shift 2
  before=$(log_lines "$log")
  "$@" Command1
  wait_for 20 test -s "$prefix.status" || true
  sleep 1.5
  check "EXIT ends with status $(recorded_status "$prefix")" \
    test "$(recorded_status "$prefix")" = 0
  check "nothing on the line after EXIT" test "$(log_lines "$log")" -eq "$before"
}

# The sources of Debian SUITE (its updates and security too), one a line, from the mirrors in
# this machine's apt configuration (deb822 or one-line, as apt itself reads them).
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
    echo "${check_name:-checks}: no Debian mirror in this machine's apt sources" \
      "(after apt-get update)" >&2
    return 1
  }
  printf '%s\n' "deb $archive $1 main" "deb $archive $1-updates main"
  [ -z "$security" ] || echo "deb $security $1-security main"
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

# Makes a minimal Debian SUITE for ARCH in DIR with mmdebstrap (an arm64 one through qemu-user),
# in a mount namespace of its own, from the mirrors this machine's apt uses, logging to LOG.
# The packages it fetches are kept in CACHE for the next run; OPTIONS (more packages, the
# caller's hooks) come between taking them from CACHE and putting them back, so what the hooks
# install is kept too.
debian_root() { # debian_root ARCH SUITE DIR CACHE LOG OPTIONS...
  local arch=$1 suite=$2 dir=$3 cache=$4 log=$5 sources mirrors namespace
  shift 5
  sources=$(debian_mirrors "$suite") || return 1
  mapfile -t mirrors <<<"$sources"
  mkdir -p "$cache"
  namespace=(unshare --mount --propagation private)
  [ "$arch" = "$(dpkg --print-architecture)" ] || namespace=(with_arm64_binfmt)
  # A stuck mirror or hook ends the run; a cold arm64 root under qemu takes about 20 minutes.
  # shellcheck disable=SC2016 # mmdebstrap's hooks expand $1
  "${namespace[@]}" timeout 45m mmdebstrap --mode=root --arch="$arch" --variant=minbase \
    --verbose --skip=download/empty --setup-hook='mkdir -p "$1"/var/cache/apt/archives' \
    --setup-hook="sync-in '$cache' /var/cache/apt/archives" "$@" \
    --customize-hook="sync-out /var/cache/apt/archives '$cache'" \
    --customize-hook='rm -f "$1"/var/cache/apt/archives/*.deb' \
    "$suite" "$dir" "${mirrors[@]}" >"$log" 2>&1
}
