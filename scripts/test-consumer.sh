#!/usr/bin/env bash
# Installs the built library into a scratch prefix and builds a small program
# against it twice: with find_package(VellumixCelCore CONFIG) and with pkg-config.
set -euo pipefail
build=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
export LD_LIBRARY_PATH="$work/prefix/lib:${LD_LIBRARY_PATH:-}"

cmake -S "$src" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig:$work/prefix/lib/x86_64-linux-gnu/pkgconfig"
# shellcheck disable=SC2046
g++ -o "$work/consumer-pc" "$src/main.cpp" $(pkg-config --cflags --libs vellumixcelcore) -fPIC
"$work/consumer-pc"
echo "consumer: cmake and pkg-config builds run"
