#!/usr/bin/env bash
# Compares the dynamic symbols a shared library defines with the list of its intended interface.
# Any symbol beyond the list, or missing from the library, fails with the names.
#   cmake/check-exports.sh <library> <expected list>
set -euo pipefail
library="$1"
expected="$2"
actual="$(nm -D --defined-only --demangle "$library" | awk '{ $1 = ""; $2 = ""; sub(/^  /, ""); print }' \
    | sed 's/@@.*$//' | grep -v '^$' | sort -u)"
wanted="$(grep -v '^#' "$expected" | grep -v '^$' | sort -u)"
extra="$(comm -23 <(echo "$actual") <(echo "$wanted"))"
missing="$(comm -13 <(echo "$actual") <(echo "$wanted"))"
if [ -n "$extra" ] || [ -n "$missing" ]; then
    [ -n "$extra" ] && printf 'exported but not part of the interface:\n%s\n' "$extra" >&2
    [ -n "$missing" ] && printf 'part of the interface but not exported:\n%s\n' "$missing" >&2
    exit 1
fi
echo "exports of $(basename "$library") match the interface ($(echo "$actual" | wc -l) symbols)"
