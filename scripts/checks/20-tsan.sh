#!/usr/bin/env bash
# ThreadSanitizer build of the random-stream tests: several threads share one
# table and one cursor, and refills run alongside draws; any race reported on
# the table's state fails the check. Only the random test targets are built,
# to keep CI short.
set -euo pipefail
root=$1
jobs=$(nproc)
source "$root/scripts/lib.sh"
dir=$root/build/tsan
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DVASK_SANITIZE=thread >/dev/null
cmake --build "$dir" -j"$jobs" --target random_test
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/random/tsan.supp" \
  run_ctest "$dir" -L random
