#!/usr/bin/env bash
# Runs every benchmark and prints each case as a ratio against the baseline measured in
# the same program run (the case whose name starts with BM_Baseline).
set -euo pipefail
scripts="$(cd "$(dirname "$0")" && pwd)"
cd "$scripts/../build/bench"
for b in ./bench_*; do
  [ -x "$b" ] || continue
  echo "== ${b#./}"
  "$b" --benchmark_format=json --benchmark_min_time=0.2 2>/dev/null | "$scripts/bench-ratios.py"
done
