#!/usr/bin/env python3
"""Prints one Google Benchmark JSON report (on stdin) as ratios against its baseline.

The baseline is the case whose name starts with BM_Baseline, measured in the same run.
Counters (figures that are not times, e.g. the scale benchmark's idle CPU, memory per
instance, threads and latency) are printed beside the baseline's value of the same counter.
"""
import json
import sys

STANDARD = {"name", "family_index", "per_family_instance_index", "run_name", "run_type",
            "repetitions", "repetition_index", "threads", "iterations", "real_time",
            "cpu_time", "time_unit", "error_occurred", "error_message", "label",
            "aggregate_name", "aggregate_unit"}


def main():
    d = json.load(sys.stdin)
    runs = [r for r in d["benchmarks"] if r.get("run_type", "iteration") == "iteration"]
    base_run = next((r for r in runs if r["name"].startswith("BM_Baseline")), None)
    base_time = base_run["cpu_time"] if base_run else None
    for r in runs:
        ratio = "" if base_time is None else "  ratio %.2fx" % (r["cpu_time"] / base_time)
        print("  %-50s %10.1f %s%s" % (r["name"], r["cpu_time"], r["time_unit"], ratio))
    for r in runs:
        if r.get("error_occurred"):
            print("  %-50s skipped: %s" % (r["name"], r.get("error_message", "")))
            continue
        counters = {k: v for k, v in r.items() if k not in STANDARD and isinstance(v, (int, float))}
        if not counters:
            continue
        print("  %s" % r["name"])
        for k, v in counters.items():
            bv = base_run.get(k) if base_run else None
            ratio = "  ratio %.2fx" % (v / bv) if isinstance(bv, (int, float)) and bv else ""
            print("    %-28s %12.3f%s" % (k, v, ratio))


if __name__ == "__main__":
    main()
