#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds a host against it,
# once through the CMake package and once through pkg-config, then runs it.
# A Windows build (VASK_TOOLCHAIN set) builds the host with the same
# toolchain and runs it under the emulator (wine).
set -euo pipefail
host_src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$VASK_BUILD_DIR" --prefix "$prefix" >/dev/null
for h in vasksupport_global.h vasksupport_export.h vasksupport_version.h vasksupport.h filehelper.h; do
  test -f "$prefix/include/$VASK_NAME/$h" || { echo "missing installed header $h"; exit 1; }
done

cross=()
run=()
if [ -n "${VASK_TOOLCHAIN:-}" ]; then
  for f in bin/$VASK_NAME.dll lib/lib$VASK_NAME.dll.a lib/cmake/$VASK_NAME/${VASK_NAME}Config.cmake \
    lib/pkgconfig/$VASK_PC_NAME.pc; do
    test -f "$prefix/$f" || { echo "missing installed file $f"; exit 1; }
  done
  cross=(--toolchain "$VASK_TOOLCHAIN" -DQt5_DIR="$VASK_QT_DIR")
  # The installed DLL first, then Qt's and the runtime's (the build's bin/).
  export WINEPATH="$prefix/bin;$VASK_BUILD_DIR/bin"
  run=("$VASK_EMULATOR")
fi
exe() { if [ -e "$1.exe" ]; then echo "$1.exe"; else echo "$1"; fi; }

san=()
[ -n "${VASK_SANITIZE:-}" ] && san=(-DCMAKE_CXX_FLAGS="-fsanitize=$VASK_SANITIZE" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=$VASK_SANITIZE")
cmake -S "$host_src" -B "$work/cmake-host" -DCMAKE_PREFIX_PATH="$prefix" -DVASK_PACKAGE="$VASK_NAME" \
  -DCMAKE_CXX_COMPILER="$VASK_CXX" "${cross[@]}" "${san[@]}" >/dev/null
cmake --build "$work/cmake-host" >/dev/null
LD_LIBRARY_PATH="$prefix/lib:$prefix/lib/x86_64-linux-gnu" "${run[@]}" "$(exe "$work/cmake-host/consumer")"

# pkg-config: the .pc file alone must be enough to compile and link (with
# Qt's own .pc files, which a Windows Qt keeps beside its libraries).
pcdir=$(dirname "$(find "$prefix" -name "$VASK_PC_NAME.pc" | head -n1)")
pcpath=$pcdir
[ -n "${VASK_QT_DIR:-}" ] && pcpath=$pcdir:$VASK_QT_DIR/../../pkgconfig
flags=$(PKG_CONFIG_PATH="$pcpath" pkg-config --cflags --libs "$VASK_PC_NAME")
pic=-fPIC
[ -n "${VASK_TOOLCHAIN:-}" ] && pic=
# shellcheck disable=SC2086
"$VASK_CXX" -std=c++17 $pic ${VASK_SANITIZE:+-fsanitize=$VASK_SANITIZE} "$host_src/main.cpp" -o "$work/pc-host" $flags
LD_LIBRARY_PATH="$pcdir/.." "${run[@]}" "$(exe "$work/pc-host")"

# The example host runs from the prefix on its own (RPATH $ORIGIN/../lib).
probe=$prefix/bin/vaskprobe
[ "$VASK_NAME" = VaskSupportQt6 ] && probe=$probe-qt6
probe=$(exe "$probe")
if [ -x "$probe" ]; then
  "${run[@]}" "$probe" numeric formula1 1 2 4 >/dev/null
fi
