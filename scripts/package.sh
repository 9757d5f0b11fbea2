#!/usr/bin/env bash
# Builds the Debian packages (libtarvik1, libtarvik-dev, tarvik-tools) with
# CPack from a Release build for the /usr prefix, into out/ (or DIR).
#
#   scripts/package.sh [DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${1:-$root/out}
build="$root/build-package"
jobs=$(nproc 2>/dev/null || echo 2)

scripts/setup.sh linux
mkdir -p "$out"
out=$(cd "$out" && pwd)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_INSTALL_DOCDIR=share/doc/libtarvik-dev -DTARVIK_INSTALL_RPATH=OFF \
  -DTARVIK_TESTS=OFF -DTARVIK_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j "$jobs"
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
for deb in "$out"/*.deb; do
  echo "$deb"
done
