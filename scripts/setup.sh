#!/usr/bin/env bash
# Installs the Debian packages the build needs (when run as root and any is
# missing). Usage: scripts/setup.sh [linux|windows|python|browser]...
set -euo pipefail

wine32_optional=""
want=(cmake ninja-build g++ clang libclang-rt-14-dev clang-format libgtest-dev googletest
      libbenchmark-dev libcli11-dev nlohmann-json3-dev help2man doxygen
      # tarvik explore: its HTTP server and its charts.
      libcpp-httplib-dev libjs-dygraphs
      # The consumers of an installed prefix and the Debian packages.
      make pkg-config dpkg-dev file)
for extra in "$@"; do
  case "$extra" in
    linux) ;;
    # Debian's own interpreter with pytest, setuptools and pip (the Python
    # package's tests, its pip install) and pandas (history_frame).
    python) want+=(python3 python3-pytest python3-setuptools python3-wheel python3-pip
                   python3-pandas) ;;
    # The explorer's browser test: headless Chromium driven by Debian's python3.
    browser) want+=(chromium chromium-driver python3-selenium) ;;
    # mingw-w64 for both widths with the posix thread model (std::thread),
    # their binutils (objdump, dlltool) and Wine's 64-bit half. Wine's 32-bit
    # half only where this machine starts 32-bit programs (TARVIK_WINE32=auto,
    # the default), or always (1), or never (0): where it cannot, the 32-bit
    # suite is skipped and a failed install of wine32 does not fail setup.
    windows) want+=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
                    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
                    wine wine64)
             case "${TARVIK_WINE32:-auto}" in
               1) want+=(wine32:i386) ;;
               0) ;;
               *) if "$(dirname "$0")/../cmake/ia32-probe.sh" >/dev/null; then
                    want+=(wine32:i386); wine32_optional=1
                  fi ;;
             esac ;;
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
# A mirror caught mid-sync fails one index now and then: try again, and go on
# with the lists there are (the install below says if a package is missing).
apt-get update -q || { sleep 5; apt-get update -q; } || echo "setup.sh: apt-get update failed; going on" >&2
install() {
  apt-get install -y -q --no-install-recommends "$@" && return 0
  # The 32-bit half of a library must be the very version of its 64-bit half.
  # When the security suite's i386 index is missing (mid-sync), the two
  # candidates differ; the release's own suite has both at one version.
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || return 1
  echo "setup.sh: retrying with the packages of $codename" >&2
  apt-get install -y -q --no-install-recommends -t "$codename" "$@"
}
if ! install "${missing[@]}"; then
  rest=()
  for pkg in "${missing[@]}"; do [ "$pkg" = wine32:i386 ] || rest+=("$pkg"); done
  [ -n "$wine32_optional" ] && [ ${#rest[@]} -lt ${#missing[@]} ] || exit 1
  echo "setup.sh: could not install wine32:i386; going on without it (the 32-bit Windows suite will be skipped)" >&2
  [ ${#rest[@]} -eq 0 ] || install "${rest[@]}"
fi
