#!/usr/bin/env bash
# Runs every libFuzzer target in BIN_DIR (fuzz_*), one at a time at nice 10,
# for FUZZ_SECONDS each (default 60) on a scratch copy of its seed corpus
# (fuzz/corpus/<target>/, never modified). Prints per target the executions,
# executions per second and findings; findings (crash-, leak-, timeout-,
# oom- files) are kept under BIN_DIR/../findings/<target>/. Exits 1 when
# anything was found or a target failed.
# Usage: scripts/run-fuzz.sh BIN_DIR [TARGET...]
set -uo pipefail

bin=${1:?usage: run-fuzz.sh BIN_DIR [TARGET...]}
shift
seconds=${FUZZ_SECONDS:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
findings=$(cd "$bin/.." && pwd)/findings
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vboard-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for exe in "$bin"/fuzz_*; do targets+=("$(basename "$exe" | sed 's/^fuzz_//')"); done
fi

failed=0
total=0
for t in "${targets[@]}"; do
  exe="$bin/fuzz_$t"
  corpus="$scratch/$t"
  log="$findings/$t.log"
  mkdir -p "$corpus" "$findings/$t"
  rm -f "$findings/$t"/*
  [ -d "$root/fuzz/corpus/$t" ] && cp -r "$root/fuzz/corpus/$t/." "$corpus/"
  # Standard output and error of the code under test are closed (trace and
  # parser messages); libFuzzer and the sanitizers still report.
  nice -n 10 "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$findings/$t/" \
    "$corpus" >"$log" 2>&1 &
  pid=$!
  wait "$pid"
  rc=$?
  # The target's board root, left behind when it crashed or timed out.
  rm -rf /dev/shm/vboard-fuzz-"$pid"-* "${TMPDIR:-/tmp}"/vboard-fuzz-"$pid"-*
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  found=$(find "$findings/$t" -type f | wc -l)
  [ "$rc" -ne 0 ] && [ "$found" -eq 0 ] && found=1
  printf 'fuzz: %-12s seconds=%s executions=%s exec/s=%s findings=%s\n' \
    "$t" "$seconds" "${execs:-0}" "${rate:-0}" "$found"
  total=$((total + ${execs:-0}))
  if [ "$found" -ne 0 ]; then
    failed=1
    grep -m3 -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error)' "$log" | sed 's/^/fuzz:   /'
    echo "fuzz:   log $log, inputs in $findings/$t/"
  fi
done
echo "fuzz: ${#targets[@]} targets, $total executions, $([ $failed -eq 0 ] && echo 'no findings' || echo 'FINDINGS')"
exit $failed
