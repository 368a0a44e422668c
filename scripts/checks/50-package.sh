#!/usr/bin/env bash
# The Debian package of the Linux build (cpack -G DEB), installed with apt as
# a host's machine would install it; then a host built against it with
# find_package and with pkg-config, no prefix given, and run. The package is
# removed again afterwards.
# usage: 50-package.sh <repo root>
set -euo pipefail
root=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
jobs=${jobs:-$(nproc)}
source "$root/scripts/lib.sh"
build=$root/build/test
[ -f "$build/CMakeCache.txt" ] || configure_build "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)

step "package: cpack -G DEB"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/vasksupport_*_amd64.deb)
dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Depends\):/\1:/p'
if dpkg-query -W -f='${Status}' vasksupport 2>/dev/null | grep -q 'install ok installed'; then
  echo "package: vasksupport is already installed on this machine; not touching it" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/vask-deb.XXXXXX")
cleanup() {
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get purge -y -qq vasksupport >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

step "package: apt install, then a host with no prefix given"
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "$deb" >/dev/null
cmake -S "$root/tests/consumer/host" -B "$work/cmake-host" >/dev/null
cmake --build "$work/cmake-host" >/dev/null
"$work/cmake-host/consumer"
# shellcheck disable=SC2046
c++ -std=c++17 -fPIC "$root/tests/consumer/host/main.cpp" -o "$work/pc-host" $(pkg-config --cflags --libs vasksupport)
"$work/pc-host"
vaskprobe numeric formula1 1 2 4
echo "package: installed, used and removed"
