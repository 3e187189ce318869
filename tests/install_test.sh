#!/usr/bin/env bash
# Installs into a staging directory and builds the Debian package, then checks what lands
# where a desktop finds it. Usage: install_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR="$stage/root" cmake --install "$build" --prefix /usr >/dev/null
root="$stage/root/usr"
[ -x "$root/bin/servo-panel" ] || fail "bin/servo-panel is not installed or not executable"
desktop="$root/share/applications/servo-panel.desktop"
icon="$root/share/icons/hicolor/scalable/apps/servo-panel.svg"
[ -f "$desktop" ] || fail "no .desktop entry in share/applications"
[ -f "$icon" ] || fail "no icon in share/icons/hicolor/scalable/apps"
grep -q '<svg' "$icon" || fail "the icon is not an SVG image"
desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the entry"

# The menu starts the entry's Exec from PATH and looks its Icon up by name in the theme.
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
icon_name=$(sed -n 's/^Icon=//p' "$desktop")
[ "$exec_name" = servo-panel ] || fail "Exec names '$exec_name', not the installed program"
[ "$icon_name" = servo-panel ] || fail "Icon names '$icon_name', not the installed icon"
unexpected=$(cd "$stage/root" && find . -type f | grep -v -e '^./usr/bin/servo-panel$' \
  -e '^./usr/share/applications/servo-panel.desktop$' \
  -e '^./usr/share/icons/hicolor/scalable/apps/servo-panel.svg$' || true)
[ -z "$unexpected" ] || fail "unexpected files installed: $unexpected"

# The Debian package: the same files under /usr, and the Qt runtime it needs to start.
(cd "$stage" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$stage/pkg" >/dev/null)
deb=$(ls "$stage"/pkg/*.deb)
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/servo-panel ./usr/share/applications/servo-panel.desktop \
  ./usr/share/icons/hicolor/scalable/apps/servo-panel.svg; do
  grep -q " $f\$" <<<"$contents" || fail "the package lacks $f"
done
depends=$(dpkg-deb -f "$deb" Depends)
for p in libqt6widgets6 libqt6serialport6 libqt6gui6 qt6-qpa-plugins; do
  grep -qw "$p" <<<"$depends" || fail "the package does not depend on $p (Depends: $depends)"
done
[ "$(dpkg-deb -f "$deb" Package)" = servo-panel ] || fail "package name"
echo "installed and packaged: $(basename "$deb"); Depends: $depends"
