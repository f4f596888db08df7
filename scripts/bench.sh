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
# Counters (figures that are not times, e.g. the scale benchmark'"'"'s idle CPU, memory per
# instance, threads and latency), each beside the baseline'"'"'s value of the same counter.
standard = {"name", "family_index", "per_family_instance_index", "run_name", "run_type",
            "repetitions", "repetition_index", "threads", "iterations", "real_time",
            "cpu_time", "time_unit", "error_occurred", "error_message", "label",
            "aggregate_name", "aggregate_unit"}
baseRun = next((r for r in runs if r["name"].startswith("BM_Baseline")), None)
for r in runs:
    if r.get("error_occurred"):
        print("  %-50s skipped: %s" % (r["name"], r.get("error_message", "")))
        continue
    counters = {k: v for k, v in r.items() if k not in standard and isinstance(v, (int, float))}
    if not counters:
        continue
    print("  %s" % r["name"])
    for k, v in counters.items():
        bv = baseRun.get(k) if baseRun else None
        ratio = "  ratio %.2fx" % (v / bv) if isinstance(bv, (int, float)) and bv else ""
        print("    %-28s %12.3f%s" % (k, v, ratio))
'
done
