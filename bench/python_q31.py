#!/usr/bin/python3
"""Times asrc.q31_convert against the C++ block entry on the same frames,
side by side in one run, and prints the medians and their ratio.

The C++ side (build/bench/python_q31_baseline, built with -DASRC_PYTHON=ON)
converts the frames and the delay's zeros in one asrc_q31_process_block call
into a buffer it sized and touched beforehand, timed inside the program.  The
Python side times asrc.q31_convert on a contiguous int32 array and on the
same signal as float32 (allocating, converting in pieces of 4096 frames per
converter state, trimming).  The runs alternate, the first of each pair
changing every round.  Timing never fails anything; the int32 outputs of the
two sides must be equal, and the float32 ones equal to them over 2^31.

    /usr/bin/python3 bench/python_q31.py [--build build] [--frames 1000000]
                                         [--rounds 5] [--channels 1,2]
                                         [--rates 44100:48000,48000:44100]
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


def timed(f):
    t0 = time.perf_counter_ns()
    out = f()
    return out, (time.perf_counter_ns() - t0) / 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--frames", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--channels", default="1,2")
    parser.add_argument("--rates", default="44100:48000,48000:44100")
    args = parser.parse_args()

    build = pathlib.Path(args.build)
    baseline = build / "bench" / "python_q31_baseline"
    if not baseline.exists() or not list((build / "python").glob("asrc*.so")):
        sys.exit(f"build {build} with -DASRC_PYTHON=ON first (cmake --build {build})")
    sys.path.insert(0, str(build / "python"))
    import asrc

    print(f"{args.frames} frames, {args.rounds} rounds, medians (ms)")
    print(f"{'rates':>13} {'ch':>3} {'C++ block':>10} {'int32':>9} {'ratio':>6} {'float32':>9} {'ratio':>6}")
    rng = np.random.default_rng(1)
    with tempfile.TemporaryDirectory() as tmp:
        raw_in = os.path.join(tmp, "in.raw")
        raw_out = os.path.join(tmp, "out.raw")
        for channels in (int(c) for c in args.channels.split(",")):
            xf = (rng.uniform(-0.9, 0.9, (args.frames, channels))).astype(np.float32)
            xi = np.rint(xf.astype(np.float64) * 2.0**31).astype(np.int32)
            xi.tofile(raw_in)
            for rates in args.rates.split(","):
                fs_in, fs_out = (int(r) for r in rates.split(":"))
                cpp, pi, pf = [], [], []

                def run_cpp():
                    done = subprocess.run([str(baseline), raw_in, str(channels), str(fs_in), str(fs_out),
                                           raw_out], check=True, capture_output=True, text=True)
                    cpp.append(int(done.stdout) / 1e6)

                def run_py():
                    yi, t = timed(lambda: asrc.q31_convert(xi, fs_in, fs_out))
                    pi.append(t)
                    yf, t = timed(lambda: asrc.q31_convert(xf, fs_in, fs_out))
                    pf.append(t)
                    return yi, yf

                for r in range(args.rounds):
                    if r % 2 == 0:
                        run_cpp()
                        yi, yf = run_py()
                    else:
                        yi, yf = run_py()
                        run_cpp()
                    if r == 0:
                        if not np.array_equal(yi.ravel(), np.fromfile(raw_out, dtype=np.int32)):
                            sys.exit(f"{rates}, {channels} ch: the module's output differs from the C++ program's")
                        if not np.array_equal(yf, (yi / 2.0**31).astype(np.float32)):
                            sys.exit(f"{rates}, {channels} ch: float32 is not int32 over 2^31")
                c, i, f = statistics.median(cpp), statistics.median(pi), statistics.median(pf)
                print(f"{rates:>13} {channels:>3} {c:10.2f} {i:9.2f} {i / c:6.2f} {f:9.2f} {f / c:6.2f}")


if __name__ == "__main__":
    main()
