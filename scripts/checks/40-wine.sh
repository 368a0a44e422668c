#!/usr/bin/env bash
# The Windows library as Windows hosts get it: VaskSupport.dll, vaskprobe.exe
# and the tests cross-built with MinGW-w64 against Qt for Windows (built once
# per machine from Debian's sources by setup-windows.sh), then run under wine
# in a fresh prefix that is thrown away after:
#   - every test that means something on Windows (ctest: folders,
#     configuration readers, random tables on Qt 5's qrand(), numeric helpers,
#     text, the DLL's export table, a host built against the installed package);
#   - (tests/windows/crash_rows.sh) hosts that called DmpHelper::setupDump()
#     dying for real (a fault, four threads at once, a stack overflow on the
#     main thread and on another, a corrupted heap, abort(), an uncaught
#     exception, a fault without the helper beside the DLL): exactly one
#     vask_<ms>.dmp each, a full-memory
#     minidump with the exception's code and faulting thread, the process
#     ending with the code and no helper left; one helper per host that asked,
#     none otherwise; with the base directory missing, no dump and no hang;
#   - DmpHelper::callback called by hand returns 1 and the host goes on,
#     before setupDump() and twice after it, a dump each;
#     with its file name taken (another process's dump of the same
#     millisecond), the dump (written by the helper: setupDump() was called)
#     goes to vask_<ms>-<pid>.dmp and the other stays;
#   - the numeric helpers give bit for bit what the Linux build gives;
#   - local text under the ANSI code page 936;
#   - the screen query under wine's virtual desktop of a known size, and
#     without a display wine's fallback display;
#   - the ZIP package holds the Windows install tree.
# usage: 40-wine.sh <repo root>
set -euo pipefail
root=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
jobs=${jobs:-$(nproc)}
source "$root/scripts/lib.sh"

step "wine: Qt and GoogleTest for Windows (cached)"
winprefix=$(bash "$root/scripts/setup-windows.sh" | tail -n 1)
build=$root/build/win
toolchain=$root/cmake/toolchains/mingw-w64-x86_64.cmake
run=$root/cmake/toolchains/wine-run

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

step "wine: new prefix"
# Without this, wine's debugger answers an unhandled fault with a dialog
# that never closes under a display.
timeout -k 5 180 wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog \
  /t REG_DWORD /d 0 /f >/dev/null 2>>"$log" || fail "could not create the prefix"

step "wine: MinGW-w64 build of the library, vaskprobe and the tests"
cmake -S "$root" -B "$build" --toolchain "$toolchain" -DCMAKE_PREFIX_PATH="$winprefix" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$jobs"
bin=$build/bin

step "wine: what the crash path calls"
# After a fault only these run in the host: nothing of Qt, the C++ library
# or the heap; system calls that take no lock a host thread may hold.
allowed="_ZN4vask.*|CloseHandle|CreateFileW|GetCurrentProcess|GetCurrentProcessId|GetCurrentThreadId|GetLastError|\
GetSystemTimeAsFileTime|GetTickCount64|MiniDumpWriteDump|MultiByteToWideChar|ResetEvent|SetEvent|Sleep|\
WaitForMultipleObjects|WaitForSingleObject|memcpy"
bash "$root/tests/support/outside_calls.sh" x86_64-w64-mingw32-nm "^($allowed)\$" \
  "$build"/src/crash/CMakeFiles/vask_crash_path.dir/*.obj || fail "the crash path calls outside the allowed"

step "wine: the tests under wine"
run_ctest "$build"

step "wine: hosts of the DLL in trouble, and DmpHelper::callback by hand"
bash "$root/tests/windows/crash_rows.sh" "$bin" 2>>"$log" || fail "the crash rows (above)"

step "wine: the numeric helpers against the Linux build's"
linux_probe=$root/build/test/examples/vaskprobe/vaskprobe
if [ ! -x "$linux_probe" ]; then
  cmake -S "$root" -B "$root/build/test" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$root/build/test" -j"$jobs" --target vaskprobe
fi
# Values where rounding, order of evaluation and IEEE edges show.
while read -r call; do
  [ -n "$call" ] || continue
  # shellcheck disable=SC2086
  want=$("$linux_probe" numeric $call) || fail "Linux vaskprobe numeric $call"
  # A second try where wine itself fails to start the program: right after
  # the crash rows it now and then exits at once, with nothing on stderr.
  # shellcheck disable=SC2086
  got=$(runexe 60 vaskprobe.exe numeric $call) || { sleep 3; got=$(runexe 60 vaskprobe.exe numeric $call); } \
    || fail "vaskprobe.exe numeric $call"
  [ "$got" = "$want" ] || fail "numeric $call: Windows '$got', Linux '$want'"
done <<'EOF_CASES'
formula1 2 10 4
formula1 1e20 1 1
formula1 1 1e-20 1e-40
formula1 0.1 0.7 0.3
formula1 -2 10 4
formula1 3 5 -0
formula1 inf 1 1
isEqual 1 1.0000001
isEqual 0 0.000001
isEqual 0 9.999999999999999e-07
isEqual nan nan
normalDistribution 10 2 0.1
normalDistribution -4 0.5 0.01
normalDistribution 100 15 1e-5
normalDistribution 0.3 0.7 0.2
normalDistribution 0 1 0.39894228040143265
normalDistribution 0 1 0
normalDistribution 0 1 0.5
EOF_CASES
echo "18 calls, the same on both"

step "wine: local text under the ANSI code page 936"
# wine takes its ANSI code page from the locale it is started in.
timeout -k 5 60 env LC_ALL=zh_CN.UTF-8 "$run" "$bin/vaskprobe.exe" text >"$tmp/text.txt" 2>>"$log" ||
  fail "vaskprobe.exe text"
cat "$tmp/text.txt"
grep -q '^localToUtf8 .*\[U+6D93 U+E15F U+6783\]$' "$tmp/text.txt" ||
  fail "want the UTF-8 bytes of 中文 read as code page 936"

# screen_is <file> <width> <height>: vaskprobe's screen output for a
# monitor and mode of that size, ratio 1.
screen_is() {
  [ "$(cat "$1")" = "$(printf 'screenWidth    %s\nscreenHeight   %s\npixelWidth     %s\npixelHeight    %s\npixelRatio     1' "$2" "$3" "$2" "$3")" ]
}

step "wine: screen query without a display"
# Two processes: wine's fallback display each time.
for n in 1 2; do
  runexe 60 vaskprobe.exe screen >"$tmp/screen.txt" || fail "screen run failed"
  cat "$tmp/screen.txt"
  screen_is "$tmp/screen.txt" 1024 768 || fail "want wine's fallback display, 1024x768 for the monitor and its mode"
done
# The prefix's wineserver keeps the display it started with.
stop_wineserver

step "wine: screen query in a 1280x1024 virtual desktop on Xvfb"
num=140
while [ -e "/tmp/.X11-unix/X$num" ] || [ -e "/tmp/.X$num-lock" ]; do num=$((num + 1)); done
screen_on_desktop() {
  local rc=0
  timeout -k 5 60 "$run" explorer /desktop=vask,1280x1024 "$bin/vaskprobe.exe" screen >"$tmp/desktop.txt" 2>>"$log" || rc=$?
  stop_wineserver # before its X server goes away
  return "$rc"
}
with_xvfb "$num" 1920x1080x24 screen_on_desktop || fail "screen run on a virtual desktop failed"
cat "$tmp/desktop.txt"
screen_is "$tmp/desktop.txt" 1280 1024 || fail "want the virtual desktop's 1280x1024 for the monitor and its mode"

step "wine: the ZIP package"
(cd "$build" && cpack -G ZIP >/dev/null)
zip=$(ls "$build"/*-win64.zip)
python3 - "$zip" <<'PY' || fail "the ZIP lacks part of the install tree"
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
want = ["bin/VaskSupport.dll", "bin/vaskdumper.exe", "bin/vaskprobe.exe", "lib/libVaskSupport.dll.a",
        "lib/cmake/VaskSupport/VaskSupportConfig.cmake", "lib/cmake/VaskSupport/VaskSupportTargets.cmake",
        "lib/pkgconfig/vasksupport.pc", "include/VaskSupport/filehelper.h", "include/VaskSupport/vasksupport_export.h"]
missing = [w for w in want if not any(n.endswith("/" + w) for n in names)]
print(f"{sys.argv[1]}: {len(names)} entries" + (f", missing {missing}" if missing else ""))
sys.exit(1 if missing else 0)
PY

step "wine: all checks passed"
