#!/usr/bin/env bash
# Qt 5 Core and GoogleTest for 64-bit Windows, cross-built with MinGW-w64
# (posix threads) from Debian's own sources into one prefix in a cache
# outside the repository, keyed by their versions and the toolchain. Built
# once per machine, reused afterwards; prints the prefix on its last line,
# for CMAKE_PREFIX_PATH.
#   setup-windows.sh            build what is missing, print the prefix
# VASK_WIN_CACHE overrides the cache root (default /var/cache/vasksupport).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${VASK_WIN_CACHE:-/var/cache/vasksupport}
jobs=${jobs:-$(nproc)}
sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
log() { printf 'setup-windows: %s\n' "$*" >&2; }

need=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 dpkg-dev perl python3 make
  cmake g++ libgtest-dev wine wine64)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The posix-thread compilers under the plain names Qt's CROSS_COMPILE uses,
# first on PATH for the Qt build only (the system's alternatives stay).
tc=x86_64-w64-mingw32
gccver=$($tc-g++-posix -dumpversion)
key_tc="mingw-w64-gcc${gccver%-posix}-posix" # e.g. mingw-w64-gcc12-posix
qtver=$(dpkg-query -W -f='${Version}' qtbase5-dev 2>/dev/null || true)
[ -n "$qtver" ] || qtver=$(apt-cache policy qtbase5-dev | sed -n 's/^ *Candidate: //p')
qtup=${qtver%%+*} # 5.15.8
gtver=$(dpkg-query -W -f='${Version}' libgtest-dev)
gtup=${gtver%%-*} # 1.12.1
prefix=$cache/win64-qt$qtup-gtest$gtup-$key_tc

# deb-src entries derived from the deb entries apt already uses, for the
# distribution's own suites (codename, -updates, -security) only.
enable_sources() {
  local codename out=/etc/apt/sources.list.d/vask-deb-src.sources
  [ -e "$out" ] && return 0
  if apt-get source --print-uris qtbase-opensource-src >/dev/null 2>&1; then return 0; fi
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  python3 - "$codename" "$out" <<'PY'
import glob, re, sys
codename, out = sys.argv[1], sys.argv[2]
ours = re.compile(r'^%s(-updates|-security)?$' % re.escape(codename))
stanzas = []
for path in sorted(glob.glob('/etc/apt/sources.list.d/*.sources')):
    for block in re.split(r'\n\s*\n', open(path).read()):
        fields = {}
        for line in block.splitlines():
            if line.startswith('#') or ':' not in line or line[0].isspace():
                continue
            k, v = line.split(':', 1)
            fields[k.strip()] = v.strip()
        if 'deb' not in fields.get('Types', '').split() or fields.get('Enabled', 'yes') == 'no':
            continue
        suites = [s for s in fields.get('Suites', '').split() if ours.match(s)]
        if suites:
            fields['Types'] = 'deb-src'; fields['Suites'] = ' '.join(suites)
            stanzas.append('\n'.join('%s: %s' % kv for kv in fields.items()))
for path in ['/etc/apt/sources.list'] + sorted(glob.glob('/etc/apt/sources.list.d/*.list')):
    try: lines = open(path).read().splitlines()
    except OSError: continue
    for line in lines:
        m = re.match(r'^\s*deb\s+(\[[^\]]*\]\s+)?(\S+)\s+(\S+)\s+(.*)$', line)
        if m and ours.match(m.group(3)):
            stanzas.append('Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s' % (m.group(2), m.group(3), m.group(4).split('#')[0].strip()))
if not stanzas:
    sys.exit('no deb entries for %s to derive deb-src entries from' % codename)
open(out, 'w').write('\n\n'.join(stanzas) + '\n')
PY
  log "wrote $out"
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get update -qq
}

build_qt() {
  [ -e "$prefix/.qt-complete" ] && return 0
  enable_sources
  local work
  work=$(mktemp -d "${TMPDIR:-/tmp}/vask-qtwin.XXXXXX")
  trap 'rm -rf "$work"' RETURN
  local t0=$SECONDS
  log "building Qt $qtup Core for $key_tc into $prefix (10 to 20 minutes)"
  (cd "$work" && apt-get source -qq "qtbase-opensource-src=$qtver" >/dev/null 2>&1 ||
    apt-get source -qq qtbase-opensource-src >/dev/null)
  local src
  src=$(find "$work" -maxdepth 1 -type d -name 'qtbase-*' | head -1)
  [ -n "$src" ] || { log "no qtbase source unpacked"; return 1; }
  mkdir -p "$work/bin" "$work/build"
  local t
  for t in gcc g++ c++ cpp; do
    if command -v "$tc-$t-posix" >/dev/null; then ln -s "$(command -v "$tc-$t-posix")" "$work/bin/$tc-$t"; fi
  done
  rm -rf "$prefix" # GoogleTest, if there, is built again after
  (cd "$work/build" && PATH="$work/bin:$PATH" "$src/configure" -opensource -confirm-license \
    -xplatform win32-g++ -device-option CROSS_COMPILE=$tc- -prefix "$prefix" -release -shared \
    -no-gui -no-widgets -no-opengl -no-dbus -no-icu -nomake examples -nomake tests -no-pch \
    -no-sql-sqlite -no-feature-network >configure.log 2>&1) || { tail -30 "$work/build/configure.log" >&2; return 1; }
  (cd "$work/build" && PATH="$work/bin:$PATH" make -s sub-src-qmake_all >/dev/null &&
    PATH="$work/bin:$PATH" make -s -j"$jobs" -C src sub-corelib sub-rcc >/dev/null &&
    PATH="$work/bin:$PATH" make -s -C src/corelib install >/dev/null)
  # What find_package(Qt5Core) needs beyond corelib's own install: the host
  # tools and the target's mkspec.
  mkdir -p "$prefix/bin" "$prefix/mkspecs"
  cp "$work/build/bin/moc" "$work/build/bin/rcc" "$work/build/bin/qmake" "$prefix/bin/"
  cp -r "$src/mkspecs/win32-g++" "$src/mkspecs/common" "$prefix/mkspecs/"
  [ -e "$work/build/mkspecs/qconfig.pri" ] && cp "$work/build/mkspecs/"*.pri "$prefix/mkspecs/" || true
  echo "built in $((SECONDS - t0)) s" >"$prefix/.qt-complete"
  log "Qt done in $((SECONDS - t0)) s, $(du -sh "$prefix" | cut -f1)"
}

build_gtest() {
  [ -e "$prefix/.gtest-complete" ] && return 0
  local work
  work=$(mktemp -d "${TMPDIR:-/tmp}/vask-gtwin.XXXXXX")
  trap 'rm -rf "$work"' RETURN
  log "building GoogleTest $gtup for $key_tc into $prefix"
  cmake -S /usr/src/googletest -B "$work" --toolchain "$root/cmake/toolchains/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -Dgtest_disable_pthreads=OFF \
    -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
  cmake --build "$work" -j"$jobs" >/dev/null
  cmake --install "$work" >/dev/null
  touch "$prefix/.gtest-complete"
}

"${sudo[@]}" mkdir -p "$cache"
build_qt
build_gtest
echo "$prefix"
