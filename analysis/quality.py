#!/usr/bin/python3
"""Conversion quality report: measures this library's converters side by
side with reference converters and with the field's resampling libraries
(through the runner asrc-peer-run, where it is built) on the same tones at
the same ratios, times them, and writes docs/quality.md, docs/quality.json
and the plots under docs/quality/: the 16-bit converters on conditioned
16-bit tones, and the 24-bit converter beside the field's 32-bit settings on
Q1.31 tones.

    /usr/bin/python3 analysis/quality.py --build build --out docs
    /usr/bin/python3 analysis/quality.py --build build --out build/quality-quick --quick

The work is split by what it does, each module using only those before it:
runner (the field's libraries through asrc-peer-run), plan (what is
measured, under which conditions), measure (the numbers), plots (the
figures), report_json and report_text (quality.json and quality.md); this
command runs them in that order.
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
from runner import open_runner  # noqa: E402
import instruments as ins  # noqa: E402
from measure import (Bench, cost_table, cost_table_32, delay_vs_phase, headroom,  # noqa: E402
                     ratio_table, square_headroom, sweep_sinad, sweep_sinad_32, thd_n_table)
from plan import (CONVERTERS, FREQS, FREQS_32, HEADROOM_FREQS, HIGH_TONE, KEY_LEVEL,  # noqa: E402
                  LEVELS, OFFSETS, OFFSETS_32, PAIRS_32, RATE_PAIRS, TONE, WINDOW_32, at_offset)
from plots import (plot_cost, plot_delay, plot_error, plot_headroom, plot_ratio,  # noqa: E402
                   plot_sinad, plot_spectra, plot_sweep, plot_timing, plot_wrap)
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


def field_info(bench, conds, settings, cost, cost_how, runner):
    """What the report says of the comparison beyond the numbers: the
    settings and their packages, the ratios each converter ran at, the
    timings and how they were taken, and what was left out and why."""
    ratios = {}
    for c in conds:
        r = bench.poly_ratio(c)
        ratios[c.key] = {"in_rate": c.in_rate, "out_rate": c.out_text, "rule_offset": c.offset,
                         "rule_step": int(bench.step(c)),
                         "rule_ratio": "/".join(map(str, ref.ratio_obtained(bench.step(c)))),
                         "poly_ratio_q30": int(r),
                         "poly_delay_inputs": int(bench.asrc.poly_delay(r))}
    root = os.path.dirname(HERE)
    where = None
    if runner:
        rel = os.path.relpath(runner.path, root)
        where = runner.path if rel.startswith("..") else rel
    return {"runner": where,
            "settings": {n: settings[n] for n in ["asrc-rule", "asrc-poly"] + bench.peers
                         + bench.wide if n in settings},
            "conditions": ratios, "cost": cost, "cost_how": cost_how, "notes": list(bench.notes)}


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--build", default="build", help="build directory (module in BUILD/python)")
    ap.add_argument("--module-dir", help="directory holding the asrc module (default BUILD/python)")
    ap.add_argument("--out", default="docs", help="where quality.md, quality.json and quality/ go")
    ap.add_argument("--runner", help="the program asrc-peer-run that runs the field's libraries "
                    "(default BUILD/asrc-peer-run, else beside the module's directory); without "
                    "it they are left out, with a note")
    ap.add_argument("--quick", action="store_true", help="reduced set for CI (well under 2 minutes)")
    args = ap.parse_args(argv)
    t_start = time.time()
    module_dir = args.module_dir or os.path.join(args.build, "python")
    asrc = load_module(module_dir)
    runner, runner_note = open_runner(args.runner, args.build, module_dir)
    bench = Bench(asrc, runner, runner_note)
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
    pairs = RATE_PAIRS[1:] if quick else RATE_PAIRS
    freqs = [100, 997, 5000, 10000, 12500] if quick else FREQS
    levels = [-1.0] if quick else LEVELS
    freqs_all = sorted(set(freqs) | {TONE, HIGH_TONE})
    conds = [at_offset(o) for o in offsets] + pairs
    moving = [c for c in conds if not c.is_unity]
    for note in bench.notes:
        log(f"note: {note}")

    log("SINAD and spurs")
    table = sweep_sinad(bench, conds, levels, freqs_all, quick, log)
    log("THD+N and dynamic range")
    thdn = thd_n_table(bench, [at_offset(o) for o in offsets], quick)
    log("time per input sample, through the runner")
    cost, cost_how = cost_table(bench, moving, quick, log)
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

    log("32 bits: the 24-bit converter and the field's 32-bit settings on Q1.31 tones")
    conds32 = ([at_offset(0.01), PAIRS_32[1], PAIRS_32[5]] if quick
               else [at_offset(o) for o in OFFSETS_32] + PAIRS_32)
    freqs32 = [997, 10000, 20000] if quick else FREQS_32
    table32 = sweep_sinad_32(bench, conds32, freqs32, quick, log) if bench.wide else {}
    cost32, how32 = cost_table_32(bench, conds32, quick, log)

    log("plots")
    settings = runner.settings if runner else {}
    names = CONVERTERS + ["input"] + bench.peers
    figs = []  # (caption, path)
    for lv in levels:
        who = ("every converter: ours, the references and the field's settings"
               if lv == levels[0] and bench.peers else "ours and the references"
               + (f" (the field's settings are measured at {levels[0]:g} dBFS only)"
                  if bench.peers else ""))
        figs.append((f"SINAD against tone frequency at {lv:g} dBFS: one panel per ratio, one line "
                     f"per converter, {who}. At offset 0 every converter gives its input back "
                     "(the rule one sample late).",
                     plot_sinad(table, conds, lv, freqs_all, names, settings, args.out, made_by)))
    figs.append((f"The same at {levels[0]:g} dBFS, from 84 to 98 dB: where the transparent "
                 "converters differ.",
                 plot_sinad(table, conds, levels[0], freqs_all, names, settings, args.out, made_by,
                            ylim=(84, 98), suffix="_top")))
    figs.append((f"Largest spur against tone frequency at {levels[0]:g} dBFS.",
                 plot_sinad(table, conds, levels[0], freqs_all, names, settings, args.out, made_by,
                            metric="spur")))
    if cost:
        shown = [c for c in moving if c.key in ("+0.01", "-0.0001", "44100->48000",
                                                 "48000->44100")]
        figs.append((f"Quality against cost: SINAD at {TONE:g} Hz and {HIGH_TONE:g} Hz "
                     f"({levels[0]:g} dBFS) against the time per input sample on one core, one "
                     "point per converter setting, from the same run.",
                     plot_cost(table, cost, shown, settings, args.out, made_by)))
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

    figs32 = []
    if table32:
        figs32.append(("SINAD against tone frequency of -1 dBFS Q1.31 tones, 32-bit samples in "
                       "and out: one panel per ratio, one line per 32-bit setting; the dashed "
                       "line is the 24-bit format's own limit.",
                       plot_sinad(table32, conds32, KEY_LEVEL, freqs32, bench.wide, settings,
                                  args.out, made_by, suffix="_32bit",
                                  bound=("24-bit format's limit",
                                         ins.ideal_sinad_db(KEY_LEVEL, bits=24)),
                                  what_in="dBFS Q1.31 input")))
    if cost32:
        shown32 = [c for c in conds32 if c.key in ("+0.01", "-0.0001", "44100->48000",
                                                     "48000->44100", "192000->44100")]
        figs32.append(("Quality against cost at 32 bits: SINAD at 997 Hz and 10 kHz of -1 dBFS "
                       "Q1.31 tones against the CPU time per input sample on one core, one "
                       "point per 32-bit setting, from the same run.",
                       plot_cost(table32, cost32, shown32, settings, args.out, made_by,
                                 split=120.0, fname="quality_vs_cost_32bit.png", show_input=False,
                                 title=", Q1.31 tones", clock=", CPU time")))
    wide = {"names": bench.wide, "conds": conds32, "freqs": freqs32, "table": table32,
            "cost": cost32, "how": how32, "figs": figs32,
            "window": WINDOW_32 // (4 if quick else 1)}

    elapsed = time.time() - t_start
    field = field_info(bench, conds, settings, cost, cost_how, runner)
    data = build_json(quick, info, elapsed, offsets, conds, table, thdn, hr, ratios, delays,
                      d_freqs, d_phases, wrap_stats, sq_hr, field, wide)
    with open(os.path.join(args.out, "quality.json"), "w") as f:
        json.dump(data, f, indent=1)
    with open(os.path.join(args.out, "quality.md"), "w") as f:
        f.write(render(cmd, info, elapsed, quick, offsets, conds, levels, freqs, table, thdn, hr,
                       hr_freqs, ratios, delays, d_freqs, d_phases, figs, wrap_stats, sq_hr,
                       field, wide))
    log(f"wrote {args.out}/quality.md, quality.json and {args.out}/quality/*.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
