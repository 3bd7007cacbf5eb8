#!/usr/bin/python3
"""Reads a Google Benchmark JSON report made with repetitions and prints each
benchmark's median time per input sample as a multiple of the median of
BM_BareRecurrence from the same run.  Timing never fails anything.

    bench_ratios.py REPORT.json             one row per benchmark
    bench_ratios.py REPORT.json --summary   only the line of the entries at step 163

Benchmarks whose names end in /before and /after (bench/converter_compare.sh)
are set side by side, one row per entry."""

import json
import sys

# The summary line: the entries a program uses, at the sample program's step.
SUMMARY = [
    ("BM_ProcessSample/step:163", "asrc_process_sample"),
    ("BM_StateProcessSample/step:163", "asrc_state_process_sample"),
    ("BM_ProcessBlock/step:163/block:16", "asrc_process_block (blocks of 16)"),
    ("BM_StateProcessBlock/step:163/block:16", "asrc_state_process_block (blocks of 16)"),
]


def medians(path):
    runs = json.load(open(path))["benchmarks"]
    return {r["run_name"]: 1e9 / r["items_per_second"] for r in runs
            if r.get("aggregate_name") == "median"}


def main(argv):
    med = medians(argv[1])
    bare = med.pop("BM_BareRecurrence")
    if "--summary" in argv[2:]:
        cells = [f"{entry} {med[name] / bare:.2f}" for name, entry in SUMMARY if name in med]
        print(f"converter at step 163, median time per sample as a multiple of the bare "
              f"recurrence's ({bare:.2f} ns): " + ", ".join(cells))
        return 0
    sides = {}
    for name, ns in med.items():
        entry, _, side = name.rpartition("/")
        if side in ("before", "after"):
            sides.setdefault(entry, {})[side] = ns
    if sides:
        print(f"{'entry':52} {'before':>7} {'after':>7}   (x the bare recurrence, {bare:.2f} ns)")
        for entry, got in sorted(sides.items()):
            cells = [f"{got[s] / bare:7.2f}" if s in got else f"{'-':>7}"
                     for s in ("before", "after")]
            print(f"{entry:52} {' '.join(cells)}")
        return 0
    print(f"{'entry':44} {'ns/sample':>9} {'x bare':>7}")
    print(f"{'BM_BareRecurrence':44} {bare:9.2f} {1.0:7.2f}")
    for name, ns in sorted(med.items()):
        print(f"{name:44} {ns:9.2f} {ns / bare:7.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
