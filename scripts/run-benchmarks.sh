#!/usr/bin/env bash
# Runs every benchmark of the sim build; each prints its ratios to a baseline
# measured in the same run (lines starting with RATIO).
set -euo pipefail
BIN=${1:-build/sim/bin}
BENCH_DIR=$(dirname "$BIN")/benchmarks
status=0
for b in "$BENCH_DIR"/*; do
    [ -f "$b" ] && [ -x "$b" ] || continue
    echo "=== $(basename "$b")"
    "$b" "${@:2}" || status=1
done
exit $status
