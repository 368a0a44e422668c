#!/usr/bin/env bash
# The Windows crash rows: hosts of VaskSupport.dll (wintest.exe) that die in
# trouble under wine, each in a base directory of its own and under a
# deadline, judged by their dumps (minidump_check.py), their exit codes and
# what they leave running; then DmpHelper::callback called by hand. Run by
# scripts/checks/40-wine.sh in its wine prefix.
# usage: crash_rows.sh <bin folder of a Windows build>
set -euo pipefail
bin=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
run=$here/../../cmake/toolchains/wine-run
source "$here/../../scripts/lib.sh"
tmp=$(mktemp -d "${TMPDIR:-/tmp}/vask-crash-rows.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
log=$tmp/wine.log

fail() {
  echo "crash rows: FAIL: $*" >&2
  tail -n 20 "$log" >&2 || true
  exit 1
}
reader=$here/minidump_check.py
# only_dump <folder>: the one file in it, which must be named vask_<ms>.dmp.
only_dump() {
  local files=()
  mapfile -t files < <(ls -A "$1")
  [ ${#files[@]} -eq 1 ] || fail "$1 holds ${#files[@]} files, want 1: ${files[*]}"
  [[ ${files[0]} =~ ^vask_[1-9][0-9]*\.dmp$ ]] || fail "unexpected file name ${files[0]}"
  echo "${files[0]}"
}
field() { sed -n "s/^$1 //p" "$2"; }

# helpers_left: vaskdumper.exe processes still running (not zombies).
helpers_left() { ps -eo stat=,args= | awk '$1 !~ /^Z/ && /[v]askdumper\.exe/' | wc -l; }
# no_helper_left: within 10 s of its host's end, no helper runs.
no_helper_left() {
  local i
  for i in $(seq 100); do
    [ "$(helpers_left)" -eq 0 ] && return 0
    sleep 0.1
  done
  fail "a vaskdumper.exe outlived its host"
}

# crash_row <how> <exit code's low byte> <exception code> [nohelper]: a host
# of the DLL that called setupDump() dies as <how> says (wintest.cpp) in a
# base directory of its own, within the deadline. Wanted: exactly one
# vask_<ms>.dmp stamped within the run, a full-memory minidump whose
# exception is that code, raised on a thread that said it would fault (for
# av, inside the faulting function), the process ending with the code (wine
# hands on its low byte), and no helper left running. "nohelper": the host
# was shipped without vaskdumper.exe, and the filter writes the dump itself.
crash_row() {
  local how=$1 want_rc=$2 code=$3 dir=$tmp/crash-$1${4:+-$4} rc=0 out
  out=$dir.txt
  mkdir "$dir"
  [ -z "${4:-}" ] || mv "$bin/vaskdumper.exe" "$tmp/vaskdumper.exe"
  local before after
  before=$(date +%s%3N)
  runexe 120 wintest.exe crash "Z:$dir" "$how" >"$out" || rc=$?
  after=$(date +%s%3N)
  [ -z "${4:-}" ] || mv "$tmp/vaskdumper.exe" "$bin/vaskdumper.exe"
  [ "$rc" -eq "$want_rc" ] || fail "$how: exit code $rc, want $want_rc"
  ! grep -q survived "$out" || fail "$how: the program ran on"
  local tids name ms range=()
  tids=$(field thread "$out" | paste -sd,)
  [ -n "$tids" ] || fail "$how: no thread said it would fault"
  [ "$how" != av ] || range=(--address "$(field function "$out" | tr ' ' :)")
  name=$(only_dump "$dir")
  ms=${name#vask_}
  ms=${ms%.dmp}
  ((before <= ms && ms <= after)) || fail "$how: $name is not stamped within the run ($before..$after)"
  python3 "$reader" --code "$code" --thread "$tids" "${range[@]}" "$dir/$name" || fail "$how: $name"
  no_helper_left
  echo "$how${4:+ ($4)}: exit $rc in $((after - before)) ms"
}

step "crash: hosts of the DLL dying in trouble, each with its dump"
crash_row av 5 0xC0000005
crash_row threads 5 0xC0000005
crash_row overflow 253 0xC00000FD
crash_row overflowthread 253 0xC00000FD
crash_row heap 5 0xC0000005
crash_row abort 3 0x40000015
crash_row throw 3 0x40000015
crash_row av 5 0xC0000005 nohelper

# The reader must refuse what isn't such a dump, or the rows prove nothing:
# a different code or address, a cut-off file, a wrong signature, a dump
# without the full-memory flag.
dump=$(ls "$tmp"/crash-av/vask_*.dmp)
read -r lo hi <<<"$(field function "$tmp/crash-av.txt")"
! python3 "$reader" --code 0xE0564B53 "$dump" 2>/dev/null || fail "reader ignored the exception code"
! python3 "$reader" --address "$hi:$((hi + 16))" "$dump" 2>/dev/null || fail "reader ignored the address"
! python3 "$reader" --thread 1 "$dump" 2>/dev/null || fail "reader ignored the thread"
head -c 65536 "$dump" >"$tmp/cut.dmp"
! python3 "$reader" "$tmp/cut.dmp" 2>/dev/null || fail "reader accepted a cut-off dump"
{ printf 'XXXX'; tail -c +5 "$tmp/cut.dmp"; } >"$tmp/sig.dmp"
! python3 "$reader" "$tmp/sig.dmp" 2>/dev/null || fail "reader accepted a wrong signature"
{ head -c 24 "$dump"; printf '\0\0\0\0\0\0\0\0'; tail -c +33 "$dump"; } >"$tmp/flags.dmp"
! python3 "$reader" "$tmp/flags.dmp" 2>/dev/null || fail "reader accepted a dump without the full-memory flag"
rm -rf "$tmp"/crash-* "$tmp"/*.dmp

step "crash: the same fault with no base directory set: beside the executable"
rc=0
runexe 120 wintest.exe crash "" av >"$tmp/nobase.txt" || rc=$?
[ "$rc" -eq 5 ] || fail "crash run without a base directory: exit code $rc, want 5"
mapfile -t beside < <(cd "$bin" && ls vask_*.dmp 2>/dev/null)
[ ${#beside[@]} -eq 1 ] || fail "want one dump beside wintest.exe, found ${beside[*]:-none}"
python3 "$reader" --thread "$(field thread "$tmp/nobase.txt")" "$bin/${beside[0]}" || fail "${beside[0]}"
rm -f "$bin/${beside[0]}"
no_helper_left

step "crash: one helper, for a host that asked for it, gone with the host"
runexe 60 wintest.exe crash "Z:$tmp" helpers >"$tmp/helpers.txt" || fail "helpers run failed"
[ "$(cat "$tmp/helpers.txt")" = "helpers 0 1" ] ||
  fail "want no helper before setupDump() and one after two calls: $(cat "$tmp/helpers.txt")"
no_helper_left

step "crash: the same fault with the base directory missing"
missing=$tmp/no-such-folder
rc=0
runexe 120 wintest.exe crash "Z:$missing" av >"$tmp/missing.txt" || rc=$?
[ "$rc" -eq 5 ] || fail "crash run without its folder: exit code $rc, want 5"
[ ! -e "$missing" ] || fail "the missing folder was created"
[ -z "$(find "$tmp" -name 'vask_*.dmp')" ] || fail "a dump was written somewhere"

step "crash: DmpHelper::callback by hand: a missing folder, a real one, then twice after setupDump()"
# Each call writes its own dump and returns; the ones after setupDump() go
# through the helper and take turns.
dumps=$tmp/direct
mkdir "$dumps"
rc=0
runexe 120 wintest.exe direct "Z:$missing" "Z:$dumps" setup "Z:$dumps" "Z:$dumps" >"$tmp/direct.txt" || rc=$?
cat "$tmp/direct.txt"
[ "$rc" -eq 0 ] || fail "direct run exit code $rc, want 0"
tid=$(field thread "$tmp/direct.txt")
[ "$(cat "$tmp/direct.txt")" = "$(printf 'thread %s\nresult 1\nresult 1\nresult 1\nresult 1\ncontinued' "$tid")" ] ||
  fail "direct run: want result 1 four times, then the program going on"
[ ! -e "$missing" ] || fail "the missing folder was created"
mapfile -t made < <(ls "$dumps")
[ ${#made[@]} -eq 3 ] || fail "want three dumps, found ${made[*]:-none}"
for name in "${made[@]}"; do
  python3 "$reader" --code 0xE0564B53 --thread "$tid" "$dumps/$name" || fail "$name"
done
rm -rf "$dumps"
no_helper_left

step "crash: the dump's name taken by another process's dump"
dumps=$tmp/taken
mkdir "$dumps"
runexe 120 wintest.exe taken "Z:$dumps" >"$tmp/taken.txt" || fail "taken run failed"
no_helper_left
pid=$(field pid "$tmp/taken.txt")
mapfile -t ours < <(ls "$dumps" | grep -E "^vask_[1-9][0-9]*-$pid\.dmp\$")
[ ${#ours[@]} -eq 1 ] || fail "want one vask_<ms>-$pid.dmp, found ${ours[*]:-none}"
python3 "$reader" --code 0xE0564B53 "$dumps/${ours[0]}" || fail "${ours[0]}"
rm "$dumps/${ours[0]}"
[ -z "$(find "$dumps" -type f ! -size 5c)" ] && ! grep -L -x taken "$dumps"/* | grep -q . ||
  fail "a taken name's file was changed"
echo "${ours[0]}; the $(ls "$dumps" | wc -l) taken names left as they were"
rm -rf "$dumps"

