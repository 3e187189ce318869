#!/usr/bin/env bash
# Builds Qt 6.4.2 (qtbase and qtserialport) for 64-bit Windows with MinGW-w64, once, into a
# cache outside the checkout; later runs reuse it. Prints the prefix on its last line.
#   QT_SOURCE_DIR  folder holding the two source tarballs (see the README), and perhaps
#                  qt-6.4.2-win64-KEY.tar.xz: this script's own result, unpacked instead of
#                  built when KEY is that of the stamp it would write
#   SERVO_CACHE    where the build and the result live (default ~/.cache/servo-panel)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

version=6.4.2
cache=${SERVO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/servo-panel}
prefix=$cache/qt-$version-win64
toolchain=$here/cmake/mingw-w64-x86_64.cmake
jobs=${JOBS:-2}

base_tar=qt6-base_$version+dfsg.orig.tar.xz
serial_tar=qtserialport-everywhere-src-$version.tar.xz
# The tarballs' checksums, one `sha256sum` line each.
sums=$here/cmake/qt-windows-sources.sha256

# Only what the panel uses: widgets, serial port, the Windows platform and style plugins.
# With OpenGL off 6.4.2's Windows plugin also needs dynamicgl off; Debian's qtbase source
# lacks the Wintab header, so no tablet events. Without Direct2D, 6.4.2 builds no DirectWrite
# font database but its Windows plugin still asks for one: the plugin's default, GDI's, serves.
features=(
  -DFEATURE_opengl=OFF -DFEATURE_dynamicgl=OFF -DFEATURE_tabletevent=OFF
  -DFEATURE_vulkan=OFF -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_printsupport=OFF
  -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_dbus=OFF -DFEATURE_testlib=ON
  -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF -DFEATURE_system_zlib=OFF
  -DFEATURE_direct2d=OFF -DFEATURE_directwrite3=OFF -DFEATURE_fontconfig=OFF
)
# A change to how Qt is configured builds it anew.
stamp_text="$version ${features[*]} $(sha256sum "$toolchain" | cut -c1-16)"
stamp=$prefix/.servo-panel-build

if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$stamp_text" ] &&
  [ -f "$prefix/LICENSES/LGPL-3.0-only.txt" ]; then
  echo "qt-windows: reusing $prefix" >&2
  echo "$prefix"
  exit 0
fi

if [ -z "${QT_SOURCE_DIR:-}" ]; then
  echo "qt-windows: set QT_SOURCE_DIR to the folder with $base_tar and $serial_tar" \
    "(see the README, 'Building for Windows')" >&2
  exit 2
fi
src=$(cd "$QT_SOURCE_DIR" && pwd)

# The prefix this configuration builds, made before: only a cache, so one that does not hold
# the stamp its name promises is passed over and Qt built from the sources.
key=$(printf '%s' "$stamp_text" | sha256sum | cut -c1-16)
archive=$src/qt-$version-win64-$key.tar.xz
if [ -f "$archive" ]; then
  echo "qt-windows: unpacking $archive" >&2
  unpacked=$(mkdir -p "$cache" && mktemp -d "$cache/qt-unpack.XXXXXX")
  if tar -C "$unpacked" -xJf "$archive" &&
    [ "$(cat "$unpacked/qt-$version-win64/.servo-panel-build" 2>/dev/null)" = "$stamp_text" ] &&
    [ -f "$unpacked/qt-$version-win64/LICENSES/LGPL-3.0-only.txt" ]; then
    rm -rf "$prefix"
    mv "$unpacked/qt-$version-win64" "$prefix"
    rm -rf "$unpacked"
    echo "qt-windows: Qt $version for Windows in $prefix (from $archive)" >&2
    echo "$prefix"
    exit 0
  fi
  rm -rf "$unpacked"
  echo "qt-windows: $archive does not hold this configuration's build; building" >&2
fi

# Qt's licences go with its DLLs into the installer.
licences() {
  mkdir -p "$prefix/LICENSES"
  tar -C "$prefix/LICENSES" --strip-components=2 -xf "$src/$base_tar" \
    "qtbase-everywhere-src-$version/LICENSES/LGPL-3.0-only.txt" \
    "qtbase-everywhere-src-$version/LICENSES/GPL-3.0-only.txt"
}
for tarball in "$base_tar" "$serial_tar"; do
  [ -f "$src/$tarball" ] || { echo "qt-windows: $src/$tarball is missing" >&2; exit 2; }
  grep -F "  $tarball" "$sums" | (cd "$src" && sha256sum --quiet -c -) ||
    { echo "qt-windows: $src/$tarball is not the expected tarball" >&2; exit 2; }
done

if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$stamp_text" ]; then
  licences
  echo "$prefix"
  exit 0
fi

work=$cache/qt-$version-win64-build
rm -rf "$work" "$prefix"
mkdir -p "$work"
echo "qt-windows: building Qt $version for Windows in $work (17 to 30 min on two idle cores)" >&2
tar -C "$work" -xf "$src/$base_tar"
tar -C "$work" -xf "$src/$serial_tar"

host=(-DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake)
cmake -S "$work/qtbase-everywhere-src-$version" -B "$work/qtbase" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" "${host[@]}" \
  -DBUILD_SHARED_LIBS=ON -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
  -DQT_BUILD_TOOLS_WHEN_CROSSCOMPILING=OFF "${features[@]}" >"$work/qtbase.configure.log"
cmake --build "$work/qtbase" -j"$jobs" >"$work/qtbase.build.log"
cmake --install "$work/qtbase" >/dev/null

"$prefix/bin/qt-cmake" -S "$work/qtserialport-everywhere-src-$version" -B "$work/qtserialport" \
  -G Ninja -DCMAKE_BUILD_TYPE=Release "${host[@]}" >"$work/qtserialport.configure.log"
cmake --build "$work/qtserialport" -j"$jobs" >"$work/qtserialport.build.log"
cmake --install "$work/qtserialport" >/dev/null

licences
echo "$stamp_text" >"$stamp"
rm -rf "$work"
echo "qt-windows: Qt $version for Windows in $prefix" >&2
echo "$prefix"
