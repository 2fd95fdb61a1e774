#!/usr/bin/env bash
# The whole-process cost of one read: a process that loads the library and reads one stored
# setting (StartCostQelConfig), beside one that opens the same hive with SQLite alone, as the
# library opens it (read-write, WAL), and runs one prepared point query (StartCostSqlite).
# Both are timed by hyperfine in one run, without a shell (-N), each from the same files:
#   checkpointed the stored value is in the hive file and -wal is empty: the last process to
#                close the hive checkpointed it (-wal and -shm are kept, -wal cut to 0 bytes, as
#                the library leaves them). A process that stored the value through the library
#                and exited leaves its frames in -wal, so StartCostSqlite, which closes its
#                connection, opens and closes the hive once after the store.
#   leftover-wal the same hive after a writer was killed (SIGKILL) right after 50 more commits:
#                its frames are still in -wal (50 small commits are far below the 1,000-page
#                automatic checkpoint, and a killed process runs no checkpoint on close), so
#                the next process to open the hive rebuilds the WAL index from the -wal file
#                and, being the last to close, checkpoints the frames into the hive. The script
#                checks that the -wal file holds frames before timing.
# Since the first process that opens a leftover -wal changes the files, every timed run starts
# from a copy of the prepared files (hyperfine --prepare, not timed), in both variants.
#
#   bench/start-cost.sh [BUILD_DIR [RUNS]]     defaults: build/bench, 300 runs per command
#   (build first: cmake --preset bench && cmake --build --preset bench)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/bench}"
runs="${2:-300}"
bin="$build/bin"
for program in StartCostQelConfig StartCostSqlite; do
    [ -x "$bin/$program" ] || { echo "start-cost: $bin/$program is not built" >&2; exit 1; }
done
command -v hyperfine >/dev/null || { echo "start-cost: hyperfine is not installed" >&2; exit 1; }

work="$(mktemp -d "${TMPDIR:-/tmp}/qelconfig-startcost-XXXXXX")"
trap 'rm -rf "$work"' EXIT
hives="$work/hives"
mkdir -p "$hives"
# Never the user's hives: every program below reads these two variables.
export QELCONFIG_USER_HIVE="$hives/user.hive" QELCONFIG_MACHINE_HIVE="$hives/machine.hive"
unset QELCONFIG_READONLY_HIVES

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
"$bin/StartCostQelConfig" --store value-0001
"$bin/StartCostSqlite" "$QELCONFIG_USER_HIVE" value-0001
if [ "$(stat -c %s "$QELCONFIG_USER_HIVE-wal")" -ne 0 ]; then
    echo "start-cost: $QELCONFIG_USER_HIVE-wal was not checkpointed" >&2
    exit 1
fi
cp -a "$hives" "$work/checkpointed"
"$bin/StartCostQelConfig" --crash value-0002 50
wal_bytes="$(stat -c %s "$QELCONFIG_USER_HIVE-wal")"
# The page size, from the -wal header (bytes 8-11, big-endian).
page_bytes="$(od -An -tu1 -j8 -N4 "$QELCONFIG_USER_HIVE-wal" | awk '{ print (($1 * 256 + $2) * 256 + $3) * 256 + $4 }')"
if [ "$wal_bytes" -le 32 ]; then
    echo "start-cost: the killed writer left no frames in $QELCONFIG_USER_HIVE-wal" >&2
    exit 1
fi
echo "leftover -wal: $wal_bytes bytes, $(((wal_bytes - 32) / (page_bytes + 24))) frames"
cp -a "$hives" "$work/leftover-wal"

ratio() {
    # CSV: command,mean,stddev,median,user,system,min,max (seconds)
    # On a loaded machine the minimum is the least disturbed figure.
    awk -F, 'NR == 2 { lm = $4; lmean = $2; lmin = $7 } NR == 3 { sm = $4; smean = $2; smin = $7 }
        END { printf "%s: library / SQLite alone: medians %.2f / %.2f ms = %.2f; " \
                     "minimums %.2f / %.2f ms = %.2f; means %.2f\n",
              name, lm * 1000, sm * 1000, lm / sm, lmin * 1000, smin * 1000, lmin / smin,
              lmean / smean }' name="$2" "$1"
}

for variant in checkpointed leftover-wal; do
    expected=value-0001
    [ "$variant" = checkpointed ] || expected=value-0002
    echo
    echo "== $variant =="
    hyperfine -N --warmup 20 --runs "$runs" --style basic \
        --prepare "cp -a $work/$variant/. $hives/" \
        --export-csv "$work/$variant.csv" \
        -n "library: QelConfig().GetValue ($variant)" \
        "$bin/StartCostQelConfig $expected" \
        -n "SQLite alone: open + point query ($variant)" \
        "$bin/StartCostSqlite $QELCONFIG_USER_HIVE $expected"
    ratio "$work/$variant.csv" "$variant"
done
echo
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
