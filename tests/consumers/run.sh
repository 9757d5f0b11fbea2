#!/usr/bin/env bash
# Builds the consumer projects of this folder outside the source tree, against
# an installed Tarvik alone, and runs each program against that installation's
# tarvik-sim: the CMake project (find_package(Tarvik)) and the Makefile project
# (pkg-config), each with a C program on the C API and a C++ program on the
# C++ layer.
#
#   run.sh PREFIX [cmake] [make]            a `cmake --install` prefix (default: both)
#   run.sh --unpacked ROOT/usr [cmake]      the Debian packages unpacked into ROOT
#
# Unpacked packages expect to live in /usr: their pkg-config files name it, and
# their libraries are found there by the dynamic loader, so that programs
# built against ROOT/usr run with LD_LIBRARY_PATH.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_root=$(cd "$here/../.." && pwd)
unpacked=""
if [ "${1:-}" = "--unpacked" ]; then
  unpacked=1
  shift
fi
prefix=$(cd "$1" && pwd)
shift
kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(cmake make)

library=$(find "$prefix" -name 'libtarvik.so.1' -print -quit)
if [ -z "$library" ] || [ ! -x "$prefix/bin/tarvik-sim" ]; then
  echo "run.sh: no installed libtarvik.so.1 and bin/tarvik-sim under $prefix" >&2
  exit 1
fi
libdir=$(dirname "$library")

# shellcheck source=scripts/sim_session.sh
source "$source_root/scripts/sim_session.sh"

# The installed development server, on a free port.
start_sim sim "$prefix/bin/tarvik-sim" --port 0

failures=0
# run NAME PROGRAM ARGS...: the program must end with "ok" or exit 0.
run() {
  local name=$1
  shift
  if "$@" >"$work/$name.out" 2>&1; then
    echo "  $name: $(tail -n 1 "$work/$name.out")"
  else
    echo "FAIL: $name"
    sed 's/^/  | /' "$work/$name.out"
    failures=$((failures + 1))
  fi
}

# No path into Tarvik's source tree in a consumer's build.
outside_tree() {
  if grep -rqsF "$source_root" "$1"; then
    echo "FAIL: the $2 consumer's build refers to the source tree:"
    grep -rlF "$source_root" "$1" | sed 's/^/  | /'
    failures=$((failures + 1))
  fi
}

for kind in "${kinds[@]}"; do
  project="$work/$kind"
  mkdir -p "$project"
  cp "$here"/CMakeLists.txt "$here"/Makefile "$here"/*.c "$here"/*.cpp "$project"/
  case "$kind" in
    cmake)
      echo "== CMake consumer (find_package(Tarvik) in $prefix)"
      cmake -S "$project" -B "$project/build" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/cmake.log" 2>&1 &&
        cmake --build "$project/build" >>"$work/cmake.log" 2>&1 ||
        { echo "FAIL: CMake consumer build"; sed 's/^/  | /' "$work/cmake.log"; exit 1; }
      outside_tree "$project/build" CMake
      # The imported targets carry the library's directory: no search path
      # is needed, except for packages away from /usr.
      [ -z "$unpacked" ] || export LD_LIBRARY_PATH="$libdir"
      run cmake.c_consumer "$project/build/c_consumer" "$port"
      run cmake.cpp_consumer "$project/build/cpp_consumer" "$port"
      unset LD_LIBRARY_PATH
      ;;
    make)
      echo "== Makefile consumer (pkg-config in $libdir/pkgconfig)"
      PKG_CONFIG_PATH="$libdir/pkgconfig" make -C "$project" >"$work/make.log" 2>&1 ||
        { echo "FAIL: Makefile consumer build"; sed 's/^/  | /' "$work/make.log"; exit 1; }
      outside_tree "$work/make.log" Makefile
      export LD_LIBRARY_PATH="$libdir"
      run make.c_consumer "$project/c_consumer" "$port"
      run make.cpp_consumer "$project/cpp_consumer" "$port"
      run make.read_value "$project/read_value" "$port" TANK101.STATE
      unset LD_LIBRARY_PATH
      ;;
    *) echo "run.sh: unknown consumer '$kind'" >&2; exit 2 ;;
  esac
done

if [ "$failures" -ne 0 ]; then
  echo "$failures consumer check(s) failed"
  exit 1
fi
echo "consumers: all passed"
