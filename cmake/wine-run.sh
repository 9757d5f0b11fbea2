#!/usr/bin/env bash
# Runs a Windows program under Wine: the emulator of the cross build's tests.
#
#   cmake/wine-run.sh [--win64] PROGRAM.exe [ARGS...]
#   cmake/wine-run.sh [--win64] --prepare     makes the prefix ($WINEPREFIX) and exits
#
# Without --win64 the program is a 32-bit one: Wine's own `wine` starts it in
# a 32-bit prefix. With --win64 it is a 64-bit one, started by Wine's 64-bit
# loader (wine64; $TARVIK_WINE64 names another) in a 64-bit prefix.
#
# The prefix is $WINEPREFIX, or wineprefix/ beside the build's CMakeCache.txt
# (found upwards from the program). A new prefix is made once, under a lock,
# with the null graphics driver, so windows and window messages work without
# a display. Wine's own diagnostics are off unless WINEDEBUG is set.
set -euo pipefail

win64=""
if [ "${1:-}" = "--win64" ]; then
  win64=1
  shift
fi

if [ $# -lt 1 ]; then
  echo "usage: wine-run.sh [--win64] PROGRAM [ARGS...] | [--win64] --prepare" >&2
  exit 2
fi

if [ -n "$win64" ]; then
  # Debian installs the 64-bit loader beside the 32-bit one, off the PATH, and
  # its `wine` script prefers the 32-bit one when both are there.
  loader="${TARVIK_WINE64:-}"
  if [ -z "$loader" ]; then
    for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
      if [ -n "$candidate" ] && [ -x "$candidate" ]; then
        loader=$candidate
        break
      fi
    done
  fi
  if [ -z "$loader" ]; then
    echo "wine-run.sh: Wine's 64-bit loader (wine64) is not installed (scripts/setup.sh windows installs it)" >&2
    exit 127
  fi
  # Programs the test starts (CreateProcess) use the same loader.
  export WINELOADER="$loader" WINEARCH=win64
  wine=("$loader")
  wineboot=("$loader" wineboot)
else
  # A 32-bit prefix, also where the 64-bit half of Wine is installed beside.
  export WINEARCH=win32
  wine=(wine)
  wineboot=(wineboot)
fi

prepare_only=""
if [ "$1" = "--prepare" ]; then
  prepare_only=1
  : "${WINEPREFIX:?--prepare needs WINEPREFIX}"
fi

if [ -z "${WINEPREFIX:-}" ]; then
  dir=$(cd "$(dirname "$1")" && pwd)
  while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do
    dir=$(dirname "$dir")
  done
  [ -f "$dir/CMakeCache.txt" ] || dir=$(cd "$(dirname "$1")" && pwd)
  export WINEPREFIX="$dir/wineprefix"
fi
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko prompts while a prefix is made.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY WAYLAND_DISPLAY

if [ ! -f "$WINEPREFIX/.tarvik-ready" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.tarvik-ready" ]; then
      "${wineboot[@]}" --init >/dev/null 2>&1 || true
      if ! out=$("${wine[@]}" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f 2>&1); then
        echo "wine-run.sh: Wine cannot start in $WINEPREFIX: $(printf '%s' "$out" | tail -n 1)" >&2
        if [ -z "$win64" ]; then
          if ! why=$("$(dirname "$0")/ia32-probe.sh"); then
            echo "wine-run.sh: $why" >&2
          elif [ ! -x /usr/lib/wine/wine ]; then
            echo "wine-run.sh: 32-bit Wine (wine32:i386) is not installed" >&2
          fi
        fi
        exit 1
      fi
      wineserver -w
      touch "$WINEPREFIX/.tarvik-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi

[ -z "$prepare_only" ] || exit 0
exec "${wine[@]}" "$@"
