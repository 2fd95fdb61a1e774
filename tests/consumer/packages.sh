#!/usr/bin/env bash
# Checks the Debian packages as a Debian user meets them, on this machine (as root):
# - lintian finds no error and no warning that is not overridden with its reason; the tool's
#   package holds its manual page and shell completions;
# - `apt-get install ./*.deb` installs them; the tool starts and lists the settings on
#   temporary hives; no binary carries a run path; /var/lib/qelconfig belongs to libqelconfig1;
# - the consumer builds against /usr through find_package and through pkg-config, and runs;
# - `apt-get purge` removes them and everything they brought: no file is left that was not
#   there before, and no trace of them stays in dpkg's database.
#   tests/consumer/packages.sh <directory with the .deb files>
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
debs="$(cd "$1" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
packages=(libqelconfig1 libqelconfig-dev qelconfig)

fail() {
    echo "FAILED: $*" >&2
    exit 1
}
[ "$(id -u)" -eq 0 ] || fail "installing packages needs root"

files=()
for package in "${packages[@]}"; do
    found=("$debs/${package}"_*.deb)
    [ -f "${found[0]}" ] || fail "no ${package}_*.deb in $debs"
    files+=("${found[0]}")
done
version="$(dpkg-deb -f "${files[0]}" Version)"

echo "== lintian"
# Errors and warnings fail; info tags are shown. Overridden tags are not counted (lintian counts
# them when asked to show them), so the overrides in force are listed with their reasons.
lintian --fail-on error,warning --info "$debs"/*.deb
overrides=("$root"/debian/*.lintian-overrides)
if [ -e "${overrides[0]}" ]; then
    echo "lintian: no errors or warnings; overridden, with the reasons:"
    cat "${overrides[@]}"
else
    echo "lintian: no errors or warnings, and nothing overridden"
fi

# The tool's package ships its manual page and shell completions.
dpkg-deb -c "${files[2]}" >"$work/qelconfig-contents"
for path in ./usr/share/man/man1/qelconfig.1.gz ./usr/share/bash-completion/completions/qelconfig \
    ./usr/share/zsh/vendor-completions/_qelconfig; do
    grep -q " $path\$" "$work/qelconfig-contents" || fail "the qelconfig package lacks ${path#.}"
done
echo "qelconfig ships its manual page and the bash and zsh completions"

for package in "${packages[@]}"; do
    if dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null | grep -q '[a-z]'; then
        fail "$package is already on this machine: the install and purge check needs it absent"
    fi
done

# Every path on the machine's own file systems, before: after the purge none may have been added.
snapshot() {
    find /usr /etc /opt /var -xdev \
        \( -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache -o -path /var/log \
        -o -path /var/tmp -o -path /var/lib/systemd \) -prune -o -print 2>/dev/null | sort
}
snapshot >"$work/before"
dpkg-query -W -f='${Package}\n' | sort >"$work/packages-before"

echo "== apt-get install ./*.deb"
export DEBIAN_FRONTEND=noninteractive
apt-get install -y --no-install-recommends "${files[@]}"

echo "== the installed packages"
got="$(qelconfig --version)"
[[ "$got" == *"$version"* ]] || fail "qelconfig --version said '$got', the package is $version"
echo "qelconfig --version: $got"
hives="$work/hives"
mkdir -p "$hives"
QELCONFIG_USER_HIVE="$hives/user.hive" QELCONFIG_MACHINE_HIVE="$hives/machine.hive" \
    qelconfig list >"$work/list"
head -n 4 "$work/list"
grep -q 'UI/ButtonStylesDlg/Type' "$work/list" || fail "qelconfig list lists no settings"
[ "$(stat -c '%U %a' /var/lib/qelconfig)" = "root 755" ] || fail "/var/lib/qelconfig is missing"
dpkg -S /var/lib/qelconfig | grep -q '^libqelconfig1:' || fail "libqelconfig1 does not own /var/lib/qelconfig"
for binary in $(dpkg -L "${packages[@]}" | grep -E '^/usr/(bin/|lib/.*\.so\.)' | sort -u); do
    [ -L "$binary" ] && continue
    if readelf -d "$binary" | grep -qE 'RPATH|RUNPATH'; then
        fail "$binary has a run path: $(readelf -d "$binary" | grep -E 'RPATH|RUNPATH')"
    fi
done
echo "no run paths; /var/lib/qelconfig belongs to libqelconfig1"
# What the library and `doctor --repair` leave there must go with the purge too. Only when the
# directory came with the package: a machine's own settings are never touched.
if ! grep -qx /var/lib/qelconfig "$work/before"; then
    echo "a damaged hive moved aside" >/var/lib/qelconfig/machine.hive.corrupt-20260101T000000Z
fi

echo "== consumer against /usr through find_package"
cmake -S "$root/tests/consumer" -B "$work/cmake-build" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
grep -q '/usr/lib/.*/cmake/QelConfig' "$work/cmake-build/CMakeCache.txt" \
    || fail "find_package did not find the package's QelConfig under /usr"
env -u LD_LIBRARY_PATH "$work/cmake-build/consumer"

echo "== consumer against /usr through pkg-config"
env -u PKG_CONFIG_PATH pkg-config --print-errors --exists qelconfig
includedir="$(env -u PKG_CONFIG_PATH pkg-config --variable=includedir qelconfig)"
[ "$includedir" = /usr/include ] || fail "pkg-config includedir is '$includedir'"
# shellcheck disable=SC2046
c++ -std=c++20 "$root/tests/QelConfig/QelConsumerTest.cpp" -o "$work/consumer-pc" \
    $(env -u PKG_CONFIG_PATH pkg-config --cflags --libs qelconfig)
env -u LD_LIBRARY_PATH "$work/consumer-pc"
"$root/cmake/check-exports.sh" "$(dpkg -L libqelconfig1 | grep '/libQelConfig\.so\.[0-9]*$')" \
    "$root/cmake/exports/QelConfig.symbols"

echo "== apt-get purge"
# Also whatever the install pulled in, so that the machine is as before.
dpkg-query -W -f='${Package}\n' | sort >"$work/packages-after"
mapfile -t added < <(comm -13 "$work/packages-before" "$work/packages-after")
apt-get purge -y "${added[@]}"
for package in "${packages[@]}"; do
    if dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null | grep -q '[a-z]'; then
        fail "$package is still known to dpkg: $(dpkg-query -W -f='${db:Status-Abbrev}' "$package")"
    fi
done
snapshot >"$work/after"
left="$(comm -13 "$work/before" "$work/after")"
[ -z "$left" ] || fail "left behind after the purge:
$left"
echo "purged: nothing left behind"
