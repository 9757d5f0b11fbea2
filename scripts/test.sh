#!/usr/bin/env bash
# Builds Tarvik and runs its whole test suite.
#
#   scripts/test.sh                      plain build (build/), unit and end-to-end tests
#   scripts/test.sh --sanitize address   the same under AddressSanitizer + UBSan (build-asan/)
#   scripts/test.sh --sanitize thread    the same under ThreadSanitizer (build-tsan/)
#   scripts/test.sh --fuzz SECONDS       builds the fuzz targets with clang and runs each
#                                        for SECONDS on its seed corpus (build-fuzz/)
#   scripts/test.sh --windows            the 32-bit Windows DLLs (mingw-w64) and their suite
#                                        under Wine (build-win32/, prefix build-win32/wineprefix)
#   scripts/test.sh --consumers          installs the plain build into a scratch prefix and
#                                        builds and runs the consumer projects against it, then
#                                        the same against the Debian packages unpacked
#   scripts/test.sh --browser            the explorer's API tests and its test in headless
#                                        Chromium (installs chromium, chromium-driver and
#                                        python3-selenium)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

sanitize=""
fuzz_seconds=""
windows=""
consumers=""
browser=""
while [ $# -gt 0 ]; do
  case "$1" in
    --consumers) consumers=1; shift ;;
    --browser) browser=1; shift ;;
    --sanitize) sanitize="$2"; shift 2 ;;
    --fuzz) fuzz_seconds="$2"; shift 2 ;;
    --windows) windows=1; shift ;;
    *) echo "usage: scripts/test.sh [--sanitize address|thread] [--fuzz SECONDS] [--windows] [--consumers] [--browser]" >&2; exit 2 ;;
  esac
done

jobs=$(nproc 2>/dev/null || echo 2)

if [ -n "$windows" ]; then
  scripts/setup.sh windows
  build="$root/build-win32"
  export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVIK_TOOLS=ON >/dev/null
  cmake --build "$build" -j "$jobs"
  # The prefix is made once; one wineserver then serves every test program
  # (each start of a program under Wine otherwise pays for a new one).
  cmake/wine-run.sh --prepare
  wineserver -p
  # The prefix's own service processes start with the first program and
  # live as long as the server: started here, they do not hold the output
  # pipe of a test open after it ends.
  wineboot </dev/null >/dev/null 2>&1 || true
  trap 'wineserver -k 2>/dev/null || true' EXIT
  ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 900
  exit 0
fi

scripts/setup.sh linux

if [ -n "$fuzz_seconds" ]; then
  build="$root/build-fuzz"
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARVIK_FUZZ=ON -DTARVIK_TESTS=OFF -DTARVIK_TOOLS=OFF >/dev/null
  cmake --build "$build" -j "$jobs" --target fuzzers
  for target in "$build"/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    corpus="$root/fuzz/corpus/${name#fuzz_}"
    work=$(mktemp -d)
    echo "== $name for ${fuzz_seconds}s"
    "$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 "$work" "$corpus" 2>&1 | tail -n 15
    rm -rf "$work"
  done
  exit 0
fi

if [ -n "$consumers" ]; then
  # The consumers see only what an installation holds: a prefix outside the
  # tree, and the packages' files unpacked into a scratch root.
  build="$root/build"
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j "$jobs" --target tarvik tarvik_c tarvik-sim tarvik-cli
  cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
  tests/consumers/run.sh "$scratch/prefix"
  scripts/package.sh "$scratch/debs" >/dev/null
  for deb in "$scratch"/debs/*.deb; do
    dpkg-deb -x "$deb" "$scratch/root"
  done
  tests/consumers/run.sh --unpacked "$scratch/root/usr" cmake
  exit 0
fi

if [ -n "$browser" ]; then
  scripts/setup.sh linux browser
  build="$root/build"
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j "$jobs" --target tarvik-cli tarvik-sim tarvik_explore_tests
  ctest --test-dir "$build" --output-on-failure --timeout 300 -R '^(ExploreApiTest\.|explore_browser$)'
  exit 0
fi

case "$sanitize" in
  "") build="$root/build" ;;
  address) build="$root/build-asan"; export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ;;
  thread) build="$root/build-tsan"; export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ;;
  *) echo "unknown sanitizer: $sanitize" >&2; exit 2 ;;
esac

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVIK_SANITIZE="$sanitize" >/dev/null
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 300
