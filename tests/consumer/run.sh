#!/usr/bin/env bash
# Installs a build, then builds and runs the consumer against the installed tree twice: through
# the CMake package and through pkg-config. Finally checks the installed library's exports.
#   tests/consumer/run.sh <build dir>
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "$1" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir="$prefix/lib"
[ -d "$libdir" ] || libdir="$(dirname "$(find "$prefix" -name 'libQelConfig.so' | head -n 1)")"
echo "installed into $prefix:"
(cd "$prefix" && find . -type f -o -type l | sort | sed 's/^/  /')

echo "== consumer through find_package"
cmake -S "$root/tests/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
LD_LIBRARY_PATH="$libdir" "$work/cmake-build/consumer"

echo "== consumer through pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
c++ -std=c++20 "$root/tests/QelConfig/QelConsumerTest.cpp" -o "$work/consumer-pc" \
    $(pkg-config --cflags --libs qelconfig) -Wl,-rpath,"$libdir"
"$work/consumer-pc"

echo "== exported symbols of the installed library"
"$root/cmake/check-exports.sh" "$libdir/libQelConfig.so" "$root/cmake/exports/QelConfig.symbols"
