#!/usr/bin/env bash
# Installs the Debian packages that a kind of build needs, when any is missing. This is the one
# list of the project's build packages: ./qel and .ci/run both call it.
#   scripts/install-packages.sh [--list] GROUP...
# Groups: build (library and tool), test (the suite, also under ASan), bench, fuzz, windows,
# lint (format and clang-tidy), package (the .deb packages), all.
# Runs apt-get as root, or through sudo; says what it installs, and does nothing (not even
# `apt-get update`) when everything is there.
set -euo pipefail

packages_of() {
    case "$1" in
        build) echo build-essential cmake pkg-config libsqlite3-dev libcli11-dev nlohmann-json3-dev ;;
        # sqlite3: the tests inspect and damage hives with the shell; locales: a decimal-comma
        # locale for the test that conversions ignore the process locale; groff-base and zsh:
        # the test of the manual page and the shell completions.
        test) echo "$(packages_of build) sqlite3 libgtest-dev libgmock-dev googletest locales groff-base zsh" ;;
        # qtbase5-dev, libglib2.0-dev, libglib2.0-bin (glib-compile-schemas), dconf-gsettings-backend,
        # dconf-service, dbus-daemon (dbus-run-session): the stores the comparison benchmark reads
        # beside this one; hyperfine: the whole-process start cost.
        bench) echo "$(packages_of build) libbenchmark-dev qtbase5-dev libglib2.0-dev libglib2.0-bin dconf-gsettings-backend dconf-service dbus-daemon hyperfine" ;;
        fuzz) echo "$(packages_of build) clang libclang-rt-14-dev" ;;
        # GoogleTest is built from its sources (googletest) for Windows.
        windows) echo "$(packages_of build) googletest wine wine64 g++-mingw-w64-x86-64-posix" ;;
        # clang-tidy reads a compile database of everything, tests and benchmarks included.
        lint) echo "$(packages_of test) $(packages_of bench) clang clang-format clang-tidy" ;;
        package) echo "$(packages_of build) debhelper lintian" ;;
        all)
            local group
            for group in test bench fuzz windows lint package; do packages_of "$group"; done
            ;;
        *)
            echo "install-packages: unknown group '$1' (build, test, bench, fuzz, windows, lint, package, all)" >&2
            return 2
            ;;
    esac
}

list_only=false
if [ "${1:-}" = "--list" ]; then
    list_only=true
    shift
fi
[ $# -gt 0 ] || set -- build

wanted=()
for group in "$@"; do
    # shellcheck disable=SC2207
    wanted+=($(packages_of "$group"))
done
mapfile -t wanted < <(printf '%s\n' "${wanted[@]}" | sort -u)

if $list_only; then
    printf '%s\n' "${wanted[@]}"
    exit 0
fi

missing=()
for package in "${wanted[@]}"; do
    status="$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)"
    [ "$status" = "installed" ] || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
else
    echo "install-packages: these Debian packages are missing: ${missing[*]}" >&2
    echo "install-packages: install them as root (apt-get install ${missing[*]}), or install sudo" >&2
    exit 1
fi

echo "install-packages: installing ${missing[*]}"
# Through env: sudo does not pass the caller's environment on.
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    "${missing[@]}"
