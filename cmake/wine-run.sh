#!/usr/bin/env bash
# Runs a Windows program under Wine: the emulator of the cross build's tests.
#
#   cmake/wine-run.sh PROGRAM.exe [ARGS...]
#   cmake/wine-run.sh --prepare      makes the prefix ($WINEPREFIX) and exits
#
# The prefix is $WINEPREFIX, or wineprefix/ beside the build's CMakeCache.txt
# (found upwards from the program). A new prefix is made once, under a lock,
# with the null graphics driver, so windows and window messages work without
# a display. Wine's own diagnostics are off unless WINEDEBUG is set.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: wine-run.sh PROGRAM [ARGS...]" >&2
  exit 2
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
      wineboot --init >/dev/null 2>&1 || true
      wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
      wineserver -w
      touch "$WINEPREFIX/.tarvik-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi

[ -z "$prepare_only" ] || exit 0
exec wine "$@"
