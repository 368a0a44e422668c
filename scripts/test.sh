#!/usr/bin/env bash
# Every test: set up what is missing, then
#   1. the normal build and all its tests,
#   2. the same build and tests under AddressSanitizer + UndefinedBehaviorSanitizer,
#   2b. the normal build and tests against Qt 6,
#   3. each extra check in scripts/checks/ (sanitizer variants, fuzzing, the
#      Windows code under wine ...), in name order.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
bash "$root/scripts/setup.sh" test
source "$root/scripts/lib.sh"

step "normal build"
configure_build "$root/build/test" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
run_ctest "$root/build/test"

step "AddressSanitizer + UndefinedBehaviorSanitizer build"
configure_build "$root/build/asan" -DCMAKE_BUILD_TYPE=Debug -DVASK_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest "$root/build/asan" -LE no-asan

# Qt 6: the whole suite again (surface and consumer included), without a
# second sanitizer pass; its random tables are compared with the copy of Qt
# 5's generator, which the Qt 5 run above checks against qrand() itself.
step "Qt 6 build"
configure_build "$root/build/qt6" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVASK_QT_MAJOR=6
run_ctest "$root/build/qt6"
# Both installed into one prefix, side by side, drawing the same streams.
both=$root/build/both
rm -rf "$both"
cmake --install "$root/build/test" --prefix "$both" >/dev/null
cmake --install "$root/build/qt6" --prefix "$both" >/dev/null
for seeds in "0 1" "4294967295 2147483648" "123456789 42"; do
  set -- $seeds
  diff <("$both/bin/vaskprobe" random --base-info "$1" --driving "$2") \
    <("$both/bin/vaskprobe-qt6" random --base-info "$1" --driving "$2")
done
echo "Qt 5 and Qt 6 builds installed side by side give the same streams"

for check in "$root"/scripts/checks/*.sh; do
  [ -e "$check" ] || continue
  step "check $(basename "$check" .sh)"
  bash "$check" "$root"
done

step "all tests passed"
