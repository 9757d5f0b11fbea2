#!/usr/bin/env bash
# Installs the Debian packages the build needs (when run as root and any is
# missing). Usage: scripts/setup.sh [linux|windows]...
set -euo pipefail

want=(cmake ninja-build g++ clang libclang-rt-14-dev clang-format libgtest-dev googletest
      libbenchmark-dev libcli11-dev nlohmann-json3-dev)
for extra in "$@"; do
  case "$extra" in
    linux) ;;
    windows) want+=(g++-mingw-w64-i686 mingw-w64-i686-dev wine wine32:i386) ;;
    *) echo "setup.sh: unknown set '$extra'" >&2; exit 2 ;;
  esac
done

missing=()
for pkg in "${want[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup.sh: missing packages (run as root to install): ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
for pkg in "${missing[@]}"; do
  case "$pkg" in *:i386) dpkg --add-architecture i386 ;; esac
done
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
