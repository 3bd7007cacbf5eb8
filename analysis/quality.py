#!/usr/bin/python3
"""Conversion quality report: measures the converter side by side with
reference converters at exactly the same ratio and writes docs/quality.md,
docs/quality.json and the plots under docs/quality/.

    /usr/bin/python3 analysis/quality.py --build build --out docs
    /usr/bin/python3 analysis/quality.py --build build --out build/quality-quick --quick

The work is split by what it does, each module using only those before it:
plan (what is measured, under which conditions), measure (the numbers),
plots (the figures), report_json and report_text (quality.json and
quality.md); this command runs them in that order.
"""

import argparse
import importlib
import json
import os
import platform
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import references as ref  # noqa: E402
from measure import (Bench, delay_vs_phase, headroom, ratio_table, square_headroom,  # noqa: E402
                     sweep_sinad, thd_n_table)
from plan import FREQS, HEADROOM_FREQS, LEVELS, OFFSETS, TONE  # noqa: E402
from plots import (plot_delay, plot_error, plot_headroom, plot_ratio, plot_sinad,  # noqa: E402
                   plot_spectra, plot_sweep, plot_timing, plot_wrap)
from report_json import build_json  # noqa: E402
from report_text import render  # noqa: E402


def load_module(module_dir):
    sys.path.insert(0, os.path.abspath(module_dir))
    try:
        return importlib.import_module("asrc")
    except ImportError as e:
        sys.exit(f"quality.py: cannot import the asrc module from {module_dir} ({e}); "
                 "build it with cmake -DASRC_PYTHON=ON")


def machine_info(asrc):
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    import matplotlib
    import scipy
    root = os.path.dirname(HERE)
    try:
        commit = subprocess.run(["git", "-C", root, "rev-parse", "HEAD"], capture_output=True,
                                text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", root, "status", "--porcelain", "--", "converter",
                                "driver", "python", "analysis"], capture_output=True, text=True,
                               check=True).stdout.strip()
        commit += " (with uncommitted changes)" if dirty else ""
    except (OSError, subprocess.CalledProcessError):
        commit = "unknown"
    return {"platform": platform.platform(), "cpu": cpu, "cores": os.cpu_count(),
            "python": platform.python_version(), "numpy": np.__version__,
            "scipy": scipy.__version__, "matplotlib": matplotlib.__version__,
            "git_commit": commit, "module": getattr(asrc, "__file__", "?")}


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--build", default="build", help="build directory (module in BUILD/python)")
    ap.add_argument("--module-dir", help="directory holding the asrc module (default BUILD/python)")
    ap.add_argument("--out", default="docs", help="where quality.md, quality.json and quality/ go")
    ap.add_argument("--quick", action="store_true", help="reduced set for CI (well under 2 minutes)")
    args = ap.parse_args(argv)
    t_start = time.time()
    asrc = load_module(args.module_dir or os.path.join(args.build, "python"))
    bench = Bench(asrc)
    os.makedirs(os.path.join(args.out, "quality"), exist_ok=True)
    cmd = "/usr/bin/python3 analysis/quality.py " + " ".join(
        a for a in (argv if argv is not None else sys.argv[1:]))
    info = machine_info(asrc)
    made_by = (f"{cmd}  |  {info['platform']}, {info['cpu']}  |  Python {info['python']}, "
               f"numpy {info['numpy']}, scipy {info['scipy']}, matplotlib {info['matplotlib']}  |  "
               f"commit {info['git_commit'].split()[0][:12]}"
               + (" (uncommitted changes)" if "uncommitted" in info["git_commit"] else ""))

    def log(msg):
        print(f"[{time.time() - t_start:6.1f}s] {msg}", flush=True)

    quick = args.quick
    offsets = [0.0, 0.01, -0.01] if quick else OFFSETS
    freqs = [100, 997, 5000, 12500] if quick else FREQS
    levels = [-1.0] if quick else LEVELS
    freqs_all = sorted(set(freqs) | {TONE})

    log("SINAD and spurs")
    table = sweep_sinad(bench, offsets, levels, freqs_all, quick, log)
    log("THD+N and dynamic range")
    thdn = thd_n_table(bench, offsets, quick)
    log("delay against phase")
    d_freqs = [100, 1000, 5000, 10000, 20000] if not quick else [100, 5000]
    d_phases = list(range(0, ref.ONE + 1, 1024 if not quick else 4096))
    delays = delay_vs_phase(asrc, d_freqs, d_phases)
    log("headroom")
    hr_freqs = HEADROOM_FREQS if not quick else [100, 1000, 10000, 20000]
    hr_offsets = offsets if quick else offsets + [0.1, -0.1]
    hr = headroom(bench, hr_offsets, hr_freqs, 40000 if not quick else 8000)
    sq_hr = {off: square_headroom(bench, off) for off in hr_offsets}
    log("ratio")
    ratios = ratio_table(asrc)

    log("plots")
    figs = []  # (caption, path)
    for lv in levels:
        figs.append((f"SINAD against tone frequency at {lv:g} dBFS: one panel per offset, one line "
                     "per converter (at offset 0 all of them coincide with the input).",
                     plot_sinad(table, offsets, lv, freqs, args.out, made_by)))
    figs.append(("Largest spur against tone frequency at -1 dBFS.",
                 plot_sinad(table, offsets, levels[0], freqs, args.out, made_by, metric="spur")))
    for off in ([0.01] if quick else [0.01, -0.0001]):
        figs.append((f"Spectrum of a {TONE:g} Hz tone at -1 dBFS through each converter, offset "
                     f"{off:+g}: the sidebands sit at multiples of the drop or insert rate.",
                     plot_spectra(bench, off, quick, args.out, made_by)))
    figs.append(("Spectrogram of a -6 dBFS logarithmic sweep from 20 Hz to 24 kHz through each "
                 "converter at offset +0.01 (10 dB colour steps).",
                 plot_sweep(bench, 0.01, 1.0 if quick else 4.0, args.out, made_by)))
    err_cases = [(0.01, TONE, 400, quick), (-0.01, TONE, 400, quick)]
    if not quick:
        err_cases.append((0.0001, TONE, 2 * 16384, quick))
    figs.append(("Output minus the sine fitted to it, over time, at -1 dBFS, with the drop and "
                 "insert instants marked (orange).",
                 plot_error(bench, err_cases, args.out, made_by)))
    figs.append(("Delay against the phase, measured on the module with the phase held (one input "
                 "at step p, then step 0), beside the allpass's own delay and the ideal 1 - phase; "
                 "right, the error from the ideal.",
                 plot_delay(delays, d_freqs, d_phases, args.out, made_by)))
    figs.append(("Where the timing error comes from: each output's time (its input's index less "
                 "the low-frequency delay its phase gives) against a uniform grid at the ratio "
                 "obtained. Red, the allpass; blue, a delay exactly linear in the phase, which "
                 "leaves only the discarded overshoot.",
                 plot_timing([(0.01, asrc.step_for_offset(0.01)),
                              (-0.01, asrc.step_for_offset(-0.01)),
                              (0.1, asrc.step_for_offset(0.1))], args.out, made_by)))
    figs.append(("Headroom against tone frequency per offset, and how near a 0 dBFS tone comes "
                 "to wrapping.", plot_headroom(hr, hr_freqs, args.out, made_by)))
    path, wrap_stats = plot_wrap(bench, args.out, made_by)
    figs.append(("What a wrapped output looks like: the module's output against the unwrapped "
                 "int64 rule.", path))
    figs.append(("Ratio obtained against the ratio asked (1 - offset), in ppm.",
                 plot_ratio(ratios, args.out, made_by)))

    elapsed = time.time() - t_start
    data = build_json(quick, info, elapsed, offsets, table, thdn, hr, ratios, delays, d_freqs,
                      d_phases, wrap_stats, sq_hr)
    with open(os.path.join(args.out, "quality.json"), "w") as f:
        json.dump(data, f, indent=1)
    with open(os.path.join(args.out, "quality.md"), "w") as f:
        f.write(render(cmd, info, elapsed, quick, offsets, levels, freqs, table, thdn, hr,
                       hr_freqs, ratios, delays, d_freqs, d_phases, figs, wrap_stats, sq_hr))
    log(f"wrote {args.out}/quality.md, quality.json and {args.out}/quality/*.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
