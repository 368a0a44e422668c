#!/usr/bin/env bash
# The static library (BUILD_SHARED_LIBS=OFF): built with the example host,
# installed, and used by the out-of-tree consumer through the CMake package
# and pkg-config; and the whole crash table against it (with debug
# information, which the table reads back through gdb).
# usage: 15-static.sh <repo root>
set -euo pipefail
root=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
jobs=${jobs:-$(nproc)}
source "$root/scripts/lib.sh"
build=$root/build/static
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" -j"$jobs" --target VaskSupport vaskprobe dump_test dump_crasher
run_ctest "$build" -L 'consumer|dump'
