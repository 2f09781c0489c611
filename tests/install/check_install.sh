#!/bin/sh
# Installs the build tree into a scratch prefix, then builds a caller's program
# against it twice, with pkg-config and with find_package, and runs both.
# Usage: check_install.sh BUILD_DIR SOURCE_DIR [EXTRA_FLAGS]
set -eu
build=$1
here=$2
flags=${3:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
libdir=$(dirname "$(find "$scratch/prefix" -name neskutils.pc)")/..
export NESK_LOG_DIR="$scratch" NESK_CONFIG_FILE="$scratch/config.ini"

# shellcheck disable=SC2086
c++ -std=c++17 $flags "$here/caller.cpp" -o "$scratch/caller-pc" \
    $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs neskutils) \
    -Wl,-rpath,"$libdir"
"$scratch/caller-pc"

cmake -S "$here" -B "$scratch/cmake-build" -DCMAKE_PREFIX_PATH="$scratch/prefix" \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$scratch/cmake-build" >/dev/null
"$scratch/cmake-build/caller"
echo "installed package links: pkg-config and find_package"
