#!/usr/bin/env bash
# clang-tidy with the project's .clang-tidy over every translation unit of the library, the tool,
# the tests, the fuzz drivers and the benchmarks, from the compile database of the "tidy" preset
# (clang; nothing is built). Any finding fails. Extra arguments go to run-clang-tidy, for example
# a regular expression to check only some files:  scripts/tidy.sh 'src/cli/'
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

cmake --preset tidy >/dev/null
tidy="$(command -v clang-tidy-14 || command -v clang-tidy)"
runner="$(command -v run-clang-tidy-14 || command -v run-clang-tidy)"
files="$(python3 -c 'import json, sys; print(len({e["file"] for e in json.load(open(sys.argv[1]))}))' \
    build/tidy/compile_commands.json)"
echo "clang-tidy over $files files of build/tidy/compile_commands.json ($("$tidy" --version | grep -o 'version [0-9.]*'))"
begin=$SECONDS
if [ $# -eq 0 ]; then
    set -- "^$root/(src|tests|fuzz|bench)/"
fi
"$runner" -clang-tidy-binary "$tidy" -p build/tidy -j "$(nproc)" -quiet \
    -header-filter="^$root/(src|tests|fuzz|bench)/" "$@"
echo "clang-tidy: no findings ($((SECONDS - begin)) s)"
