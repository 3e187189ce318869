#!/usr/bin/env bash
# make windows: Qt for Windows (built once, cached), then the panel, its portable suites, the
# installer and the zip, in build-windows/.
#   QT_SOURCE_DIR  folder with Qt's source tarballs (only for the first build of Qt)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${WINDOWS_BUILD:-build-windows}
jobs=${JOBS:-2}

qt=$(scripts/build-qt-windows.sh | tail -1)
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$qt" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake >/dev/null
cmake --build "$build" -j"$jobs"
(cd "$build" && cpack -G "NSIS;ZIP" >/dev/null)
# shellcheck source=scripts/checks.sh
. scripts/checks.sh
version=$(project_version "$build")
for f in "$build/servo-panel-$version-win64.exe" "$build/servo-panel-$version-win64.zip"; do
  [ -f "$f" ] || { echo "windows: $f was not made" >&2; exit 1; }
  echo "windows: $f ($(du -k "$f" | cut -f1) KiB)"
done
