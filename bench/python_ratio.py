#!/usr/bin/python3
"""Times the Python module against the C++ block entry on the same samples,
side by side in one run, and prints the median of each and their ratio.

The C++ side (build/bench/python_ratio_baseline, built with -DASRC_PYTHON=ON)
converts the samples in one asrc_state_process_block call into a buffer it
sized and touched beforehand, timed inside the program.  The Python side
times asrc.convert on a contiguous array (allocating, converting, trimming),
and on a reversed view of it (gathered in pieces).  The runs alternate, and
the first of each pair changes every round.  Timing never fails anything;
the outputs of the two sides must be equal.

    /usr/bin/python3 bench/python_ratio.py [--build build] [--samples 10000000]
                                           [--rounds 11] [--steps 163,-163]
"""
import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--samples", type=int, default=10_000_000)
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--steps", default="163,-163")
    args = parser.parse_args()

    build = pathlib.Path(args.build)
    baseline = build / "bench" / "python_ratio_baseline"
    if not baseline.exists() or not list((build / "python").glob("asrc*.so")):
        sys.exit(f"build {build} with -DASRC_PYTHON=ON first (cmake --build {build})")
    sys.path.insert(0, str(build / "python"))
    import asrc

    rng = np.random.default_rng(1)
    x = rng.integers(-20000, 20001, size=args.samples).astype(np.int16)
    reversed_view = x[::-1]

    print(f"{args.samples} samples, {args.rounds} rounds, medians (ms)")
    print(f"{'step':>6} {'C++ block':>10} {'Python':>10} {'ratio':>6} {'reversed view':>14} {'ratio':>6}")
    with tempfile.TemporaryDirectory() as tmp:
        raw_in = os.path.join(tmp, "in.raw")
        raw_out = os.path.join(tmp, "out.raw")
        x.tofile(raw_in)
        for step in (int(s) for s in args.steps.split(",")):
            cpp, py, rev = [], [], []

            def run_cpp():
                done = subprocess.run([str(baseline), raw_in, str(step), raw_out],
                                      check=True, capture_output=True, text=True)
                cpp.append(int(done.stdout) / 1e6)

            def run_py():
                t0 = time.perf_counter_ns()
                out = asrc.convert(x, step)
                t1 = time.perf_counter_ns()
                py.append((t1 - t0) / 1e6)
                t0 = time.perf_counter_ns()
                out_reversed = asrc.convert(reversed_view, step)
                t1 = time.perf_counter_ns()
                rev.append((t1 - t0) / 1e6)
                return out, out_reversed

            for r in range(args.rounds):
                if r % 2 == 0:
                    run_cpp()
                    out, out_reversed = run_py()
                else:
                    out, out_reversed = run_py()
                    run_cpp()
                if r == 0:
                    if not np.array_equal(out, np.fromfile(raw_out, dtype=np.int16)):
                        sys.exit(f"step {step}: the module's output differs from the C++ program's")
                    if not np.array_equal(out_reversed, asrc.convert(reversed_view.copy(), step)):
                        sys.exit(f"step {step}: the reversed view converts differently from its copy")
            c, p, v = statistics.median(cpp), statistics.median(py), statistics.median(rev)
            print(f"{step:>6} {c:10.2f} {p:10.2f} {p / c:6.2f} {v:14.2f} {v / c:6.2f}")


if __name__ == "__main__":
    main()
