#!/usr/bin/env bash
# The main job: set up what is missing, build, and run the vaskprobe tour on a
# fresh base directory in a temporary folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" tour
build=$root/build/release
echo "building the library and vaskprobe in $build ..."
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target vaskprobe -j"$(nproc)" >/dev/null
exec "$build/examples/vaskprobe/vaskprobe"
