#!/usr/bin/env bash
# Builds Tarvik and runs its whole test suite.
#
#   scripts/test.sh                      plain build (build/), unit and end-to-end tests, then
#                                        the Python package's tests (as --python)
#   scripts/test.sh --python             the Python package only: pytest with Debian's python3
#                                        against build/, then its install and its pip install
#   scripts/test.sh --sanitize address   the same under AddressSanitizer + UBSan (build-asan/)
#   scripts/test.sh --sanitize thread    the same under ThreadSanitizer (build-tsan/)
#   scripts/test.sh --fuzz SECONDS       builds the fuzz targets with clang and runs each
#                                        for SECONDS on its seed corpus (build-fuzz/)
#   scripts/test.sh --windows            the Windows DLLs of both widths (mingw-w64) and their
#                                        suites under Wine (build-win32/, build-win64/, each
#                                        with its prefix wineprefix/); the 32-bit suite only
#                                        where 32-bit programs start (TARVIK_WINE32=auto|0|1)
#   scripts/test.sh --consumers          installs the plain build into a scratch prefix and
#                                        builds and runs the consumer projects against it, then
#                                        the same against the Debian packages unpacked
#   scripts/test.sh --windows-consumers  makes the Windows zips (scripts/package.sh --windows)
#                                        and runs the C consumers against each width's DLLs
#                                        under Wine, where this machine runs that width
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
python_only=""
browser=""
while [ $# -gt 0 ]; do
  case "$1" in
    --consumers) consumers=1; shift ;;
    --windows-consumers) consumers=windows; shift ;;
    --browser) browser=1; shift ;;
    --sanitize) sanitize="$2"; shift 2 ;;
    --fuzz) fuzz_seconds="$2"; shift 2 ;;
    --windows) windows=1; shift ;;
    --python) python_only=1; shift ;;
    *) echo "usage: scripts/test.sh [--sanitize address|thread] [--fuzz SECONDS] [--windows] [--consumers] [--windows-consumers] [--python] [--browser]" >&2; exit 2 ;;
  esac
done

jobs=$(nproc 2>/dev/null || echo 2)

# The Python package against the build in $1: its tests with Debian's python3
# (the first python3 on PATH may be another interpreter without pytest), then
# an install into a scratch prefix, which must find its own C API library
# with no variable set, and a pip install from the sources.
python_suite() {
  local build=$1 rc=0 work prefix pydir
  scripts/setup.sh python
  cmake --build "$build" -j "$jobs" --target tarvik_c tarvik-sim
  echo "== Python package tests"
  TARVIK_C_LIBRARY="$build/src/capi/libtarvik_c.so.1" TARVIK_SIM="$build/tools/tarvik-sim" \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests || rc=$?
  if [ "$rc" -eq 5 ]; then
    echo "test.sh: pytest collected no tests in python/tests" >&2
    return 1
  fi
  [ "$rc" -eq 0 ] || return "$rc"
  work=$(mktemp -d)
  prefix="$work/prefix"
  for component in Runtime Python; do
    cmake --install "$build" --prefix "$prefix" --component "$component" >/dev/null
  done
  pydir=$(dirname "$(find "$prefix" -type d -name tarvik -path '*-packages/tarvik' | head -n 1)")
  (cd / && env -u TARVIK_C_LIBRARY PYTHONPATH="$pydir" /usr/bin/python3 -c "
import tarvik, tarvik.aio
path = tarvik.library_path()
assert path.startswith('$prefix/'), 'the installed package uses ' + path
print('installed package', tarvik.__version__, 'uses', path, tarvik.library_version())") || rc=$?
  if [ "$rc" -eq 0 ]; then
    mkdir -p "$work/src"
    cp -r python/pyproject.toml python/README.md python/tarvik "$work/src/"
    /usr/bin/python3 -m pip install -q --no-build-isolation --no-index --no-deps \
      --root-user-action=ignore --target "$work/pip" "$work/src" &&
      (cd / && TARVIK_C_LIBRARY="$build/src/capi/libtarvik_c.so.1" PYTHONPATH="$work/pip" \
        /usr/bin/python3 -c "import tarvik, tarvik.aio; print('pip-installed package', tarvik.__version__)") ||
      rc=$?
  fi
  rm -rf "$work"
  return "$rc"
}

if [ -n "$python_only" ]; then
  scripts/setup.sh linux
  cmake -S . -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  python_suite "$root/build"
  exit $?
fi

if [ -n "$windows" ]; then
  scripts/setup.sh windows
  export WINEDEBUG=-all
  # Both widths are built and their DLLs' export tables checked on every
  # machine; the 64-bit suite always runs under 64-bit Wine, the 32-bit suite
  # where this machine starts 32-bit programs (TARVIK_WINE32=auto), or always
  # (1: it fails where they cannot start), or never (0).
  for width in 32 64; do
    build="$root/build-win$width"
    toolchain=mingw-i686.cmake
    [ "$width" = 32 ] || toolchain=mingw-x86_64.cmake
    echo "== building the ${width}-bit Windows DLLs and tests (build-win$width/)"
    cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVIK_TOOLS=ON >/dev/null
    cmake --build "$build" -j "$jobs"
  done

  wine32=""
  case "${TARVIK_WINE32:-auto}" in
    1) wine32=1 ;;
    0) skip32="TARVIK_WINE32=0" ;;
    auto)
      if ! skip32=$(cmake/ia32-probe.sh); then
        :
      elif [ ! -x /usr/lib/wine/wine ]; then
        skip32="32-bit Wine (wine32:i386) is not installed"
      else
        wine32=1
      fi ;;
    *) echo "TARVIK_WINE32 must be auto, 0 or 1 (it is '$TARVIK_WINE32')" >&2; exit 2 ;;
  esac

  servers=()
  trap 'for p in "${servers[@]}"; do WINEPREFIX="$p" wineserver -k 2>/dev/null || true; done' EXIT
  # Runs the suite of one width; the second argument is wine-run.sh's width
  # option (none for 32-bit).
  suite() {
    local build="$1" option="${2:-}"
    export WINEPREFIX="$build/wineprefix"
    # The prefix is made once; one wineserver then serves every test program
    # (each start of a program under Wine otherwise pays for a new one).
    cmake/wine-run.sh $option --prepare || return 1
    wineserver -p || return 1
    servers+=("$WINEPREFIX")
    # The prefix's own service processes start with the first program and
    # live as long as the server: started here, they do not hold the output
    # pipe of a test open after it ends.
    if [ -n "$option" ]; then
      cmake/wine-run.sh $option wineboot </dev/null >/dev/null 2>&1 || true
    else
      wineboot </dev/null >/dev/null 2>&1 || true
    fi
    ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 900
  }

  status=0
  echo "== the 64-bit Windows suite under 64-bit Wine"
  if suite "$root/build-win64" --win64; then result64=passed; else result64=FAILED; status=1; fi
  if [ -n "$wine32" ]; then
    echo "== the 32-bit Windows suite under Wine"
    if suite "$root/build-win32"; then result32=passed; else result32=FAILED; status=1; fi
  else
    echo "== 32-bit Windows suite SKIPPED: $skip32 (its DLLs are built and their exports checked below)"
    if ctest --test-dir "$root/build-win32" -R '^abi\.exports_' --output-on-failure; then
      result32="SKIPPED ($skip32); exports checked"
    else
      result32="SKIPPED ($skip32); export check FAILED"
      status=1
    fi
  fi
  echo
  echo "Windows suites: 64-bit $result64; 32-bit $result32"
  exit $status
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

if [ "$consumers" = windows ]; then
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  scripts/package.sh --windows "$scratch" >/dev/null
  status=0
  for width in 64 32; do
    zip=$(ls "$scratch"/tarvik-*-win$width.zip)
    mode=""
    if [ "$width" = 32 ] && { ! why=$(cmake/ia32-probe.sh) || [ ! -x /usr/lib/wine/wine ]; }; then
      echo "== 32-bit consumers built only: ${why:-32-bit Wine (wine32:i386) is not installed}"
      mode=--build-only
    fi
    tests/consumers/run_windows.sh "$zip" "$width" "$root/build-win$width/wineprefix" $mode ||
      status=1
  done
  exit $status
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
# The Python package loads the libraries into an interpreter that is not
# built with the sanitizers: it runs with the plain build only.
if [ -z "$sanitize" ]; then
  python_suite "$build"
fi
