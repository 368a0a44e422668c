#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds a host against it,
# once through the CMake package and once through pkg-config.
set -euo pipefail
host_src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$VASK_BUILD_DIR" --prefix "$prefix" >/dev/null
for h in vasksupport_global.h vasksupport_export.h vasksupport_version.h vasksupport.h filehelper.h; do
  test -f "$prefix/include/$VASK_NAME/$h" || { echo "missing installed header $h"; exit 1; }
done

san=()
[ -n "${VASK_SANITIZE:-}" ] && san=(-DCMAKE_CXX_FLAGS="-fsanitize=$VASK_SANITIZE" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=$VASK_SANITIZE")
cmake -S "$host_src" -B "$work/cmake-host" -DCMAKE_PREFIX_PATH="$prefix" -DVASK_PACKAGE="$VASK_NAME" -DCMAKE_CXX_COMPILER="$VASK_CXX" "${san[@]}" >/dev/null
cmake --build "$work/cmake-host" >/dev/null
LD_LIBRARY_PATH="$prefix/lib:$prefix/lib/x86_64-linux-gnu" "$work/cmake-host/consumer"

# pkg-config: the .pc file alone must be enough to compile and link.
pcdir=$(dirname "$(find "$prefix" -name "$VASK_PC_NAME.pc" | head -n1)")
flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs "$VASK_PC_NAME")
# shellcheck disable=SC2086
"$VASK_CXX" -std=c++17 -fPIC ${VASK_SANITIZE:+-fsanitize=$VASK_SANITIZE} "$host_src/main.cpp" -o "$work/pc-host" $flags
LD_LIBRARY_PATH="$pcdir/.." "$work/pc-host"

# The example host runs from the prefix on its own (RPATH $ORIGIN/../lib).
probe=$prefix/bin/vaskprobe
[ "$VASK_NAME" = VaskSupportQt6 ] && probe=$probe-qt6
if [ -x "$probe" ]; then
  "$probe" numeric formula1 1 2 4 >/dev/null
fi
