#!/usr/bin/env bash
# The Windows platform files (src/*/*_win.cpp) cross-built with MinGW-w64
# and run for real under wine, in a fresh prefix that is thrown away after:
#   - an unhandled access violation leaves exactly one vask_<ms>.dmp, a
#     full-memory minidump of that fault, and ends the process (exit 5);
#   - the filter called by hand writes a dump, returns 1 and the program goes
#     on; a folder that does not exist gives no file and the same 1;
#   - the filter is the library's own dump code (dump_win.cpp) given a folder
#     where DmpHelper::callback gives FileHelper::appDir();
#   - the desktop monitor query reports an Xvfb's size, and without a display
#     wine's fallback display (1024x768), the same every time;
#   - Qt5Rand draws what the C runtimes' srand()/rand() draw (Qt 5's qrand()).
# usage: 40-wine.sh <repo root>
set -euo pipefail
root=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
jobs=${jobs:-$(nproc)}
source "$root/scripts/lib.sh"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vask-wine.XXXXXX")
log=$tmp/wine.log
: >"$log"
export WINEPREFIX=$tmp/prefix WINEDEBUG=-all
# No Mono/Gecko installer prompts and no desktop menu entries in $HOME.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

stop_wineserver() {
  wineserver -k 2>/dev/null || true
  timeout 20 wineserver -w 2>/dev/null || true
}
cleanup() {
  [ -d "$WINEPREFIX" ] && stop_wineserver
  rm -rf "$tmp"
}
trap cleanup EXIT

fail() {
  echo "40-wine: FAIL: $*" >&2
  echo "--- last lines of wine's stderr:" >&2
  tail -n 20 "$log" >&2 || true
  exit 1
}

reader=$root/tests/windows/minidump_check.py
# dump_thread <program output>: the thread id the program printed.
dump_thread() { sed -n 's/^thread \([0-9][0-9]*\)\r\{0,1\}$/\1/p' "$1"; }
# only_dump <folder>: the one file in it, which must be named vask_<ms>.dmp.
only_dump() {
  local files=()
  mapfile -t files < <(ls -A "$1")
  [ ${#files[@]} -eq 1 ] || fail "$1 holds ${#files[@]} files, want 1: ${files[*]}"
  [[ ${files[0]} =~ ^vask_[1-9][0-9]*\.dmp$ ]] || fail "unexpected file name ${files[0]}"
  echo "${files[0]}"
}
# dump_ms <name>: the milliseconds in a dump's name.
dump_ms() { local m=${1#vask_}; echo "${m%.dmp}"; }

step "wine: MinGW-w64 cross build of the Windows platform files"
cmake -S "$root/tests/windows" -B "$tmp/build" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$tmp/build" -j"$jobs"
exe=$tmp/build/wintest.exe
# wine prints \r\n line ends for the program's output.
runexe() { local secs=$1; shift; timeout -k 5 "$secs" wine "$exe" "$@" 2>>"$log" | tr -d '\r'; return "${PIPESTATUS[0]}"; }

step "wine: new prefix"
# Without this, wine's debugger answers an unhandled fault with a dialog
# that never closes under a display.
timeout -k 5 180 wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog \
  /t REG_DWORD /d 0 /f >/dev/null 2>>"$log" || fail "could not create the prefix"

step "wine: unhandled access violation"
dumps=$tmp/crash
mkdir "$dumps"
before=$(date +%s%3N)
rc=0
runexe 120 crash "Z:$dumps" >"$tmp/crash.txt" || rc=$?
after=$(date +%s%3N)
cat "$tmp/crash.txt"
# wine hands on the low byte of the exit status 0xC0000005.
[ "$rc" -eq 5 ] || fail "crash run exit code $rc, want 5"
! grep -q survived "$tmp/crash.txt" || fail "the program ran on after the fault"
tid=$(dump_thread "$tmp/crash.txt")
[ -n "$tid" ] || fail "the crash run printed no thread id"
name=$(only_dump "$dumps")
ms=$(dump_ms "$name")
((before <= ms && ms <= after)) || fail "$name is not stamped within the run ($before..$after)"
python3 "$reader" --code 0xC0000005 --thread "$tid" "$dumps/$name" || fail "$name"

# The reader must refuse what isn't such a dump, or the line above proves
# nothing: a different exception code, a cut-off file, a wrong signature.
! python3 "$reader" --code 0xE0564B53 "$dumps/$name" 2>/dev/null || fail "reader ignored the exception code"
head -c 65536 "$dumps/$name" >"$tmp/cut.dmp"
! python3 "$reader" "$tmp/cut.dmp" 2>/dev/null || fail "reader accepted a cut-off dump"
{ printf 'XXXX'; tail -c +5 "$tmp/cut.dmp"; } >"$tmp/sig.dmp"
! python3 "$reader" "$tmp/sig.dmp" 2>/dev/null || fail "reader accepted a wrong signature"
# Header Flags (8 bytes at offset 24) without MiniDumpWithFullMemory.
{ head -c 24 "$dumps/$name"; printf '\0\0\0\0\0\0\0\0'; tail -c +33 "$dumps/$name"; } >"$tmp/flags.dmp"
! python3 "$reader" "$tmp/flags.dmp" 2>/dev/null || fail "reader accepted a dump without the full-memory flag"
rm -f "$dumps/$name" "$tmp/cut.dmp" "$tmp/sig.dmp" "$tmp/flags.dmp"

step "wine: filter called by hand, missing folder then real folder"
missing=$tmp/no-such-folder
dumps=$tmp/direct
mkdir "$dumps"
rc=0
runexe 120 direct "Z:$missing" "Z:$dumps" >"$tmp/direct.txt" || rc=$?
cat "$tmp/direct.txt"
[ "$rc" -eq 0 ] || fail "direct run exit code $rc, want 0"
tid=$(dump_thread "$tmp/direct.txt")
[ "$(cat "$tmp/direct.txt")" = "$(printf 'thread %s\nresult 1\nresult 1\ncontinued' "$tid")" ] ||
  fail "direct run: want result 1 twice, then the program going on"
[ ! -e "$missing" ] || fail "the missing folder was created"
name=$(only_dump "$dumps")
python3 "$reader" --code 0xE0564B53 --thread "$tid" "$dumps/$name" || fail "$name"
rm -f "$dumps/$name"

step "wine: desktop monitor without a display"
fallback=$(printf 'screen true 1024 768 1024 768 1.000000\nagain true 1024 768 1024 768 1.000000')
# Two queries in one process and two processes: wine's fallback each time.
for run in 1 2; do
  runexe 60 screen >"$tmp/screen$run.txt" || fail "screen run failed"
  cat "$tmp/screen$run.txt"
  [ "$(cat "$tmp/screen$run.txt")" = "$fallback" ] ||
    fail "want wine's fallback display, 1024x768 for both the monitor and its mode, ratio 1"
done

# The prefix's wineserver keeps the display it started with.
stop_wineserver

step "wine: desktop monitor on Xvfb 1920x1080"
num=140
while [ -e "/tmp/.X11-unix/X$num" ] || [ -e "/tmp/.X$num-lock" ]; do num=$((num + 1)); done
screen_on_display() {
  local rc=0
  runexe 60 screen >"$tmp/screenx.txt" || rc=$?
  # Stop wine before its X server goes away.
  stop_wineserver
  return "$rc"
}
with_xvfb "$num" 1920x1080x24 screen_on_display || fail "screen run on Xvfb failed"
cat "$tmp/screenx.txt"
[ "$(cat "$tmp/screenx.txt")" = "$(printf 'screen true 1920 1080 1920 1080 1.000000\nagain true 1920 1080 1920 1080 1.000000')" ] ||
  fail "want 1920x1080 for both the monitor and its mode, ratio 1"

step "wine: Qt 5's generator against msvcrt's and the UCRT's srand/rand"
runexe 120 rand || fail "Qt5Rand differs from the C runtime"

step "wine: all checks passed"
