#!/usr/bin/env bash
# Installs the Debian packages that are missing for one purpose:
#   setup.sh tour   what building the library and running vaskprobe needs
#   setup.sh test   everything the full test run needs (sanitizers, fuzzing,
#                   Xvfb, gdb, MinGW-w64 and wine for the Windows code,
#                   packaging); Qt and GoogleTest for Windows come from
#                   setup-windows.sh, which the wine check calls
set -euo pipefail
profile=${1:-test}

tour_pkgs=(cmake make g++ pkg-config qtbase5-dev qtbase5-dev-tools gdb
  libxcb1-dev libxcb-randr0-dev) # X11 protocol headers: the wire structures of the screen query
test_pkgs=("${tour_pkgs[@]}" libgtest-dev libbenchmark-dev clang libclang-rt-14-dev clang-format clang-tidy
  qt6-base-dev qt6-5compat-dev # the Qt 6 build beside the Qt 5 one
  xvfb x11-xserver-utils xauth libx11-dev # Xlib: a host beside the screen query
  xserver-xorg-core xserver-xorg-video-dummy # Xorg's dummy driver: one monitor over two outputs
  g++-mingw-w64-x86-64 wine wine64 python3 procps file
  dpkg-dev) # dpkg-shlibdeps, for the Debian package's dependencies

case "$profile" in
  tour) want=("${tour_pkgs[@]}") ;;
  test) want=("${test_pkgs[@]}") ;;
  *) echo "usage: $0 [tour|test]" >&2; exit 2 ;;
esac

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
