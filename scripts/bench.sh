#!/usr/bin/env bash
# Builds the benchmarks in release mode and runs each one, or only those named
# on the command line (e.g. scripts/bench.sh random_bench).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
bash "$root/scripts/setup.sh" test
source "$root/scripts/lib.sh"
build=$root/build/bench
configure_build "$build" -DCMAKE_BUILD_TYPE=Release -DVASK_BUILD_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for exe in "$build"/bench/*_bench; do names+=("$(basename "$exe")"); done
fi
for name in "${names[@]}"; do
  step "$name"
  "$build/bench/$name"
done
