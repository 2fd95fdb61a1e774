#!/usr/bin/env bash
# Installs a build into temporary prefixes, once with each library directory a user or packager
# picks (lib, and Debian's lib/<triplet>), and checks each install as its users meet it:
# - the installed tool starts with no library path set (its run path finds the libraries), also
#   after the whole tree is moved elsewhere;
# - qelconfig.pc names the prefix it is in, and the CMake package is found;
# - the consumer builds and runs against the tree through the CMake package and through pkg-config;
# - the installed library exports exactly its interface; the licence and README are installed.
# The build directory's CMAKE_INSTALL_LIBDIR is changed for the run and then put back; only the
# tool is relinked, when its run path needs more room.
#   tests/consumer/run.sh <build dir>
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "$1" && pwd)"
work="$(mktemp -d)"

cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
set_libdir() {
    cmake -S "$root" -B "$build" -DCMAKE_INSTALL_LIBDIR="$1" >/dev/null
    cmake --build "$build" --target qelconfig >/dev/null
}
fail() {
    echo "FAILED: $*" >&2
    exit 1
}

original_libdir="$(cache_value CMAKE_INSTALL_LIBDIR)"
restore() {
    rm -rf "$work"
    set_libdir "$original_libdir" || echo "could not put back CMAKE_INSTALL_LIBDIR=$original_libdir" >&2
}
trap restore EXIT

version="$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/QelConfigConfigVersion.cmake")"
multiarch="$(gcc -print-multiarch 2>/dev/null || true)"
layouts=(lib "lib/${multiarch:-x86_64-linux-gnu}")

for libdir in "${layouts[@]}"; do
    echo "== library directory $libdir"
    set_libdir "$libdir"
    case_dir="$work/${libdir//\//_}"
    prefix="$case_dir/prefix"
    cmake --install "$build" --prefix "$prefix" >/dev/null
    [ -f "$prefix/$libdir/libQelConfig.so" ] || fail "libQelConfig.so is not in $prefix/$libdir"
    echo "installed into $prefix:"
    (cd "$prefix" && find . -type f -o -type l | sort | sed 's/^/  /')
    for doc in LICENSE README.md; do
        [ -f "$prefix/share/doc/QelConfig/$doc" ] || fail "share/doc/QelConfig/$doc is not installed"
    done

    echo "-- the installed tool starts by its run path, here and moved"
    hives="$case_dir/hives"
    mkdir -p "$hives"
    # The tree is moved (not copied) for the second run, so no path into the first can serve.
    for tree in "$prefix" "$case_dir/moved"; do
        [ "$tree" = "$prefix" ] || mv "$prefix" "$tree"
        got="$(env -u LD_LIBRARY_PATH "$tree/bin/qelconfig" --version)"
        [[ "$got" == *"$version"* ]] || fail "$tree/bin/qelconfig --version said '$got', not $version"
        env -u LD_LIBRARY_PATH QELCONFIG_USER_HIVE="$hives/user.hive" \
            QELCONFIG_MACHINE_HIVE="$hives/machine.hive" "$tree/bin/qelconfig" list >"$hives/list"
        grep -q 'UI/ButtonStylesDlg/Type' "$hives/list" || fail "qelconfig list from $tree lists no settings"
    done
    mv "$case_dir/moved" "$prefix"
    echo "qelconfig $version starts from $prefix and after the tree is moved"

    echo "-- qelconfig.pc names the prefix"
    export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
    for variable in prefix:"$prefix" libdir:"$prefix/$libdir" includedir:"$prefix/include"; do
        got="$(pkg-config --variable="${variable%%:*}" qelconfig)"
        [ "$got" = "${variable#*:}" ] || fail "pkg-config ${variable%%:*} is '$got', not '${variable#*:}'"
    done
    cflags="$(pkg-config --cflags qelconfig)"
    [[ " $cflags " == *" -I$prefix/include "* ]] || fail "pkg-config --cflags gives '$cflags'"
    echo "pkg-config: $cflags $(pkg-config --libs qelconfig)"

    echo "-- consumer through find_package"
    cmake -S "$root/tests/consumer" -B "$case_dir/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
    cmake --build "$case_dir/cmake-build" >/dev/null
    LD_LIBRARY_PATH="$prefix/$libdir" "$case_dir/cmake-build/consumer"

    echo "-- consumer through pkg-config"
    # shellcheck disable=SC2046
    c++ -std=c++20 "$root/tests/QelConfig/QelConsumerTest.cpp" -o "$case_dir/consumer-pc" \
        $(pkg-config --cflags --libs qelconfig) -Wl,-rpath,"$prefix/$libdir"
    "$case_dir/consumer-pc"
    unset PKG_CONFIG_PATH

    echo "-- exported symbols of the installed library"
    "$root/cmake/check-exports.sh" "$prefix/$libdir/libQelConfig.so" \
        "$root/cmake/exports/QelConfig.symbols"
done
