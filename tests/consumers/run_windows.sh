#!/usr/bin/env bash
# Unpacks a Windows zip of scripts/package.sh --windows, builds the C
# consumers of this folder against it alone with mingw-w64, and runs them
# under Wine against the zip's tarvik-sim.exe.
#
#   run_windows.sh ZIP 32|64 WINEPREFIX [--build-only]
#
# --build-only: the machine cannot run this width; the consumers are built
# and linked against the zip, and not run.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
wine_run="$here/../../cmake/wine-run.sh"
zip=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
width=$2
export WINEPREFIX=$3 WINEDEBUG=-all
build_only=${4:-}
case "$width" in
  32) cc=i686-w64-mingw32-gcc-posix; wine_option=() ;;
  64) cc=x86_64-w64-mingw32-gcc-posix; wine_option=(--win64) ;;
  *) echo "run_windows.sh: width must be 32 or 64" >&2; exit 2 ;;
esac

# shellcheck source=scripts/sim_session.sh
source "$here/../../scripts/sim_session.sh"

(cd "$work" && unzip -q "$zip")
prefix=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'tarvik-*' -print -quit)
echo "== C consumers on $(basename "$zip") ($width-bit, under Wine)"
# Programs beside the DLLs, as a Windows application ships them.
for program in c_consumer read_value; do
  "$cc" -std=c11 -O2 -Wall -Wextra -Werror -static-libgcc -I"$prefix/include" \
    -o "$prefix/bin/$program.exe" "$here/$program.c" "$prefix/lib/tarvik_c.dll.a"
done

if [ "$build_only" = "--build-only" ]; then
  echo "  built c_consumer.exe and read_value.exe against the zip; not run"
  exit 0
fi

"$wine_run" "${wine_option[@]}" --prepare
start_sim sim --within 60 "$wine_run" "${wine_option[@]}" "$prefix/bin/tarvik-sim.exe" --port 0

failures=0
for run in "c_consumer $port" "read_value $port TANK101.STATE"; do
  set -- $run
  if "$wine_run" "${wine_option[@]}" "$prefix/bin/$1.exe" "${@:2}" >"$work/out" 2>&1; then
    echo "  $1: $(tr -d '\r' <"$work/out" | tail -n 1)"
  else
    echo "FAIL: $1 ($width-bit)"
    tr -d '\r' <"$work/out" | sed 's/^/  | /'
    failures=$((failures + 1))
  fi
done
[ "$failures" -eq 0 ] || exit 1
