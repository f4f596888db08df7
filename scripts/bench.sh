#!/usr/bin/env bash
# Runs every benchmark and prints each case as a ratio against the baseline measured in
# the same program run (the case whose name starts with BM_Baseline).
set -euo pipefail
cd "$(dirname "$0")/../build/bench"
for b in ./bench_*; do
  [ -x "$b" ] || continue
  echo "== ${b#./}"
  "$b" --benchmark_format=json --benchmark_min_time=0.2 2>/dev/null | python3 -c '
import json, sys
d = json.load(sys.stdin)
runs = [r for r in d["benchmarks"] if r.get("run_type", "iteration") == "iteration"]
base = {}
for r in runs:
    if r["name"].startswith("BM_Baseline"):
        base[r["name"]] = r["cpu_time"]
for r in runs:
    b = next(iter(base.values()), None)
    ratio = "" if b is None else "  ratio %.2fx" % (r["cpu_time"] / b)
    print("  %-50s %10.1f %s%s" % (r["name"], r["cpu_time"], r["time_unit"], ratio))
'
done
