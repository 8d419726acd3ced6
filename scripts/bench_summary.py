#!/usr/bin/env python3
"""Prints one line per benchmark of a Google Benchmark JSON file, with its
counters, and fails when a run reported an error."""
import json
import sys

KEYS = ("wall_over_floor", "cpu_us_per_exchange", "allocs_per_frame",
        "allocs_per_exchange", "pass_time", "clean", "bytes_per_second", "ns_per_entry", "over_memcpy",
        "allocs_per_conversion", "over_floor", "bare_loop_over_floor", "cli_over_bare_loop", "target")


def main(path):
    with open(path) as f:
        runs = json.load(f)["benchmarks"]
    errors = 0
    for run in runs:
        if run.get("error_occurred"):
            errors += 1
            print(f"{run['name']}: ERROR {run.get('error_message', '')}")
            continue
        shown = [f"cpu_time={run['cpu_time']:.4g} {run['time_unit']}"]
        shown += [f"{k}={run[k]:.4g}" for k in KEYS if k in run]
        print(f"{run['name']}: {' '.join(shown)}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
