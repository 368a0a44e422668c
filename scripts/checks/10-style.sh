#!/usr/bin/env bash
# The library's own files against the committed .clang-format and
# .clang-tidy (Windows files are left to the MinGW build: clang-tidy here
# has no Windows headers).
# usage: 10-style.sh <repo root> [build dir with compile_commands.json]
set -euo pipefail
root=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
build=${2:-$root/build/test}
cd "$root"
mapfile -t files < <(git ls-files 'src/*.cpp' 'src/*.h')
clang-format --style=file --dry-run -Werror "${files[@]}"
echo "clang-format: ${#files[@]} files as committed"
mapfile -t units < <(git ls-files 'src/*.cpp' | grep -v '_win\.cpp$')
printf '%s\n' "${units[@]}" | xargs -P"$(nproc)" -n4 clang-tidy -p "$build" --quiet 2>&1 \
  | { grep -E 'error:|warning:' || true; } | sort -u >"$build/clang-tidy.txt"
if [ -s "$build/clang-tidy.txt" ]; then
  cat "$build/clang-tidy.txt"
  exit 1
fi
echo "clang-tidy: ${#units[@]} files clean"
