# Shared pieces of the build and test scripts (sourced, not run).
# Callers set `root` and `jobs`.

step() { printf '\n=== %s (%s)\n' "$1" "$(date +%H:%M:%S)"; }

# configure_build <dir> [cmake args...]: configures and builds everything.
configure_build() {
  local dir=$1; shift
  cmake -S "$root" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

# run_ctest <dir> [ctest args...]
run_ctest() {
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 600 "$@")
}

# runexe <seconds> <program> <args...>: a Windows program of $bin under wine
# ($run), its stderr added to $log; callers set the three.
runexe() { local secs=$1 exe=$2; shift 2; timeout -k 5 "$secs" "$run" "$bin/$exe" "$@" 2>>"$log"; }

# with_xvfb <display-number> <WxHxD> <command...>: runs a command with its own
# Xvfb server on that display and stops the server afterwards.
with_xvfb() {
  local num=$1 geometry=$2; shift 2
  Xvfb ":$num" -screen 0 "$geometry" -nolisten tcp >/dev/null 2>&1 &
  local pid=$!
  local i
  for i in $(seq 50); do
    [ -e "/tmp/.X11-unix/X$num" ] && break
    sleep 0.1
  done
  local rc=0
  DISPLAY=":$num" "$@" || rc=$?
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  return $rc
}
