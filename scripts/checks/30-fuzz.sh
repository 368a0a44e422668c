#!/usr/bin/env bash
# Fuzzes the configuration reader for a bounded time with libFuzzer under
# AddressSanitizer + UndefinedBehaviorSanitizer (leak checking on).
set -euo pipefail
root=$1
jobs=$(nproc)
source "$root/scripts/lib.sh"
seconds=${VASK_FUZZ_SECONDS:-60}
build=$root/build/fuzz
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVASK_SANITIZE=address,undefined -DVASK_BUILD_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target config_fuzz -j"$jobs"
# Work on a copy of the seeds so the repository's corpus stays small.
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp "$root"/fuzz/corpus/config/* "$corpus"/
(cd "$build" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ./fuzz/config_fuzz -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 "$corpus" 2>&1 | grep -E '^(Done|stat::number_of_executed_units|==|SUMMARY)|ERROR' || true)
# libFuzzer leaves crash-*/leak-*/timeout-* files behind on a finding.
if ls "$build"/crash-* "$build"/leak-* "$build"/timeout-* "$build"/oom-* >/dev/null 2>&1; then
  echo "fuzzing found a problem:"; ls "$build"/crash-* "$build"/leak-* "$build"/timeout-* "$build"/oom-* 2>/dev/null
  exit 1
fi
echo "fuzzing: no findings in ${seconds}s"
