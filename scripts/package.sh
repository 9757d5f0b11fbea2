#!/usr/bin/env bash
# Builds the packages into out/ (or DIR):
#
#   scripts/package.sh [DIR]             the Debian packages libtarvik1, libtarvik-dev,
#                                        tarvik-tools and python3-tarvik (CPack, a Release
#                                        build for /usr)
#   scripts/package.sh --windows [DIR]   tarvik-VERSION-win32.zip and -win64.zip: each width's
#                                        DLLs, tarvik_c.dll, import libraries, headers, the
#                                        CMake package and tarvik-sim.exe (build-win32/,
#                                        build-win64/)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
windows=""
if [ "${1:-}" = "--windows" ]; then
  windows=1
  shift
fi
out=${1:-$root/out}
jobs=$(nproc 2>/dev/null || echo 2)
mkdir -p "$out"
out=$(cd "$out" && pwd)

if [ -n "$windows" ]; then
  scripts/setup.sh windows
  for width in 32 64; do
    build="$root/build-win$width"
    toolchain=mingw-i686.cmake
    [ "$width" = 32 ] || toolchain=mingw-x86_64.cmake
    cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVIK_TOOLS=ON >/dev/null
    cmake --build "$build" -j "$jobs" --target tarvik Lintaro tarvik_c tarvik-sim
    (cd "$build" && cpack -G ZIP -B "$out" >/dev/null)
  done
  rm -rf "$out/_CPack_Packages"
  ls "$out"/tarvik-*-win32.zip "$out"/tarvik-*-win64.zip
  exit 0
fi

scripts/setup.sh linux
build="$root/build-package"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_INSTALL_DOCDIR=share/doc/libtarvik-dev -DTARVIK_INSTALL_RPATH=OFF \
  -DTARVIK_TESTS=OFF -DTARVIK_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j "$jobs"
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
ls "$out"/*.deb
