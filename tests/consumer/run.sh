#!/usr/bin/env bash
# Installs the built library into a scratch prefix, then builds and runs a
# small application against it, once through the CMake package and once
# through pkg-config.
set -euo pipefail
build=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null

cmake -S "$here/app" -B "$work/app" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/app" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib" "$work/app/consumer"

libdir=$(ls -d "$work"/prefix/lib*/pkgconfig | head -n 1)
flags=$(PKG_CONFIG_PATH="$libdir" pkg-config --cflags --libs qmsoaclient)
c++ "$here/app/main.cxx" -o "$work/consumer-pc" $flags
LD_LIBRARY_PATH="$(dirname "$libdir")" "$work/consumer-pc"
