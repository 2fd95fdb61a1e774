#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs each for a bounded time, starting
# from its kept inputs. A crash fails the run and leaves the input in build/fuzz/crashes/.
#   fuzz/run.sh [seconds per target]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
cd "$root"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
mkdir -p build/fuzz/crashes
for binary in build/fuzz/bin/fuzz_*; do
    name="${binary##*/fuzz_}"
    corpus="build/fuzz/corpus/$name"
    mkdir -p "$corpus"
    cp -n fuzz/regressions/"$name"/* "$corpus"/ 2>/dev/null || true
    echo "== fuzzing $name for ${seconds}s"
    "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="build/fuzz/crashes/$name-" -print_final_stats=1 "$corpus" 2>&1 | tail -n 12
done
