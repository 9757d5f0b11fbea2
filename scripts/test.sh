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
#   scripts/test.sh --windows            the 32-bit Windows DLLs (mingw-w64) and their suite
#                                        under Wine (build-win32/, prefix build-win32/wineprefix)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

sanitize=""
fuzz_seconds=""
windows=""
python_only=""
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) sanitize="$2"; shift 2 ;;
    --fuzz) fuzz_seconds="$2"; shift 2 ;;
    --windows) windows=1; shift ;;
    --python) python_only=1; shift ;;
    *) echo "usage: scripts/test.sh [--sanitize address|thread] [--fuzz SECONDS] [--windows] [--python]" >&2; exit 2 ;;
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
