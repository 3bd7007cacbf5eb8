#!/usr/bin/python3
"""Conversion quality report: measures the converter side by side with
reference converters at exactly the same ratio and writes docs/quality.md,
docs/quality.json and the plots under docs/quality/.

    /usr/bin/python3 analysis/quality.py --build build --out docs
    /usr/bin/python3 analysis/quality.py --build build --out build/quality-quick --quick
"""

import argparse
import importlib
import json
import math
import os
import platform
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import instruments as ins  # noqa: E402
import references as ref  # noqa: E402

FS = 48000.0
FULL_SCALE_24 = 8388608  # input numbers are at 24-bit scale
CONDITIONING_GAIN_DB = 20 * math.log10(0.99)

OFFSETS = [0.0, 1e-4, -1e-4, 1e-3, -1e-3, 1e-2, -1e-2]
LEVELS = [-1.0, -6.0]
FREQS = [20, 31.5, 50, 80, 125, 200, 315, 500, 800, 1250, 2000, 3150, 5000, 8000, 12500, 20000]
HEADROOM_FREQS = [20, 25, 31.5, 40, 50, 63, 80, 100, 125, 160, 200, 250, 315, 400, 500, 630, 800,
                  1000, 1250, 1600, 2000, 2500, 3150, 4000, 5000, 6300, 8000, 10000, 12500,
                  16000, 20000]
TONE = 997.0
LABELS = {
    "asrc": "this converter (allpass)",
    "linear": "linear interpolation",
    "drop_insert": "drop/insert, no interpolation",
    "polyphase": "polyphase (resample_poly, Kaiser)",
    "input": "conditioned input, no conversion",
}
SHORT = {"asrc": "allpass", "linear": "linear", "drop_insert": "drop/insert",
         "polyphase": "polyphase", "input": "input"}
COLORS = {"asrc": "C3", "linear": "C0", "drop_insert": "C7", "polyphase": "C2", "input": "k"}
CONVERTERS = ["asrc", "linear", "drop_insert", "polyphase"]
SKIP = 2048  # outputs left out at each end: start-up and the resampler's tails
KEY_OFFSET, KEY_LEVEL = 0.01, -1.0


def load_module(module_dir):
    sys.path.insert(0, os.path.abspath(module_dir))
    try:
        return importlib.import_module("asrc")
    except ImportError as e:
        sys.exit(f"quality.py: cannot import the asrc module from {module_dir} ({e}); "
                 "build it with cmake -DASRC_PYTHON=ON")


class Bench:
    """The converters under test, all run on the same conditioned input at
    the same step."""

    def __init__(self, asrc):
        self.asrc = asrc

    def run(self, name, x, step):
        if name == "asrc":
            return self.asrc.convert(x, step)
        if name == "linear":
            return ref.linear(x, step)
        if name == "drop_insert":
            return ref.drop_insert(x, step)
        if name == "polyphase":
            return ref.polyphase(x, step)
        if name == "input":
            return x
        raise KeyError(name)

    def tone(self, freq, level_db, n, phase=0.0):
        """A sine at level_db re 24-bit full scale, as the program's users feed
        it, through the program's conditioning."""
        amp = min(FULL_SCALE_24 * 10 ** (level_db / 20), FULL_SCALE_24 - 1)
        v = np.rint(amp * np.sin(2 * np.pi * freq / FS * np.arange(n) + phase)).astype(np.int32)
        return self.asrc.condition(v)


def window_outputs(step, quick):
    """Analysis window in outputs: whole drop or insert periods, several
    hundred thousand samples where the period is long."""
    target = 32768 if quick else 131072
    if step == 0:
        return target, 0
    per = ref.outputs_per_period(step)
    if not quick and per > 4096:
        target = 480000
    periods = max(2, round(target / per))
    return periods * per, periods


def inputs_for(outputs, step):
    up, down = ref.ratio_obtained(step)
    return int(math.ceil((outputs + 2 * SKIP) * down / up)) + 64


def measure_tone(bench, names, freq, level, step, quick):
    w, _ = window_outputs(step, quick)
    x = bench.tone(freq, level, inputs_for(w, step))
    res = {}
    for name in names:
        seg = bench.run(name, x, 0 if name == "input" else step)[SKIP:SKIP + w]
        fit = ins.sine_fit(seg)
        spur, _ = ins.largest_spur_dbc(seg)
        res[name] = {"sinad": float(ins.sinad_db(seg, fit)), "spur": spur}
    return res


def sweep_sinad(bench, offsets, levels, freqs, quick, log):
    table = {}
    for off in offsets:
        step = bench.asrc.step_for_offset(off)
        for level in levels:
            for f in freqs:
                r = measure_tone(bench, CONVERTERS + ["input"], f, level, step, quick)
                table[(off, level, f)] = r
            log(f"  SINAD offset {off:+g} level {level:g} dBFS done")
    return table


def thd_n_table(bench, offsets, quick):
    rows = {}
    for off in offsets:
        step = bench.asrc.step_for_offset(off)
        up, down = ref.ratio_obtained(step)
        fs_out = FS * up / down
        w, _ = window_outputs(step, quick)
        row = {}
        for level in (-1.0, -60.0):
            x = bench.tone(TONE, level, inputs_for(w, step))
            for name in CONVERTERS + ["input"]:
                seg = bench.run(name, x, 0 if name == "input" else step)[SKIP:SKIP + w]
                row.setdefault(name, {})["thdn_-1" if level == -1.0 else "thdn_-60"] = \
                    float(ins.thd_n_db(seg, fs_out))
        for name in row:
            row[name]["dynamic_range"] = 60.0 - row[name]["thdn_-60"]
        rows[off] = row
    return rows


def delay_vs_phase(asrc, freqs, phases):
    """Phase delay of the real converter with its phase held: one input at
    step p brings the phase from 0 to p, then step 0 keeps it there."""
    n = 48000
    out = np.zeros((len(freqs), len(phases)))
    t = np.arange(n)
    for i, f in enumerate(freqs):
        x = np.rint(20000 * np.sin(2 * np.pi * f / FS * t)).astype(np.int16)
        for j, p in enumerate(phases):
            c = asrc.Converter()
            c.process(np.zeros(1, dtype=np.int16), int(p))
            assert c.phase == p
            y = c.process(x, 0)
            seg = slice(2048, n)
            out[i, j] = ins.phase_delay(x[seg].astype(float), y[seg].astype(float), f / FS)
    return out


def allpass_phase_delay(eta, freq):
    """Phase delay in samples of (eta + z^-1) / (1 + eta z^-1) at freq (Hz)."""
    w = 2 * np.pi * freq / FS
    z = np.exp(-1j * w)
    h = (eta + z) / (1 + eta * z)
    return -np.angle(h) / w


LEVEL_GRID = np.round(np.arange(-12.0, 0.001, 0.05), 2)


def over_range(y):
    """How far the largest unwrapped output goes, as a ratio to the end of the
    16-bit range it lies towards (above 1: a wrap); per column."""
    return np.maximum(y.max(axis=0) / 32767, y.min(axis=0) / -32768)


def highest_clean_level(make, step, over_at_full_scale):
    """Highest level on a 0.05 dB grid (at most 0 dBFS) at which make(level)
    never wraps.  The rule is nearly linear, so only the grid near the level
    that scaling from full scale predicts is searched."""
    if over_at_full_scale <= 1:
        return 0.0
    guess = -20 * math.log10(over_at_full_scale)
    cand = LEVEL_GRID[(LEVEL_GRID > guess - 0.5) & (LEVEL_GRID < guess + 0.5)]
    ok = over_range(ref.rule_int64(np.column_stack([make(lv) for lv in cand]), step)) <= 1
    bad = np.nonzero(~ok)[0]
    top = bad[0] - 1 if len(bad) else len(cand) - 1
    return float(cand[top]) if top >= 0 else float(cand[0] - 0.05)


def headroom(bench, offsets, freqs, n):
    """Highest level whose tone never leaves the 16-bit range at any output,
    per offset and frequency, from the unwrapped int64 rule.  The tone starts
    at phase 0 from a converter just reset."""
    result = {}
    for off in offsets:
        step = bench.asrc.step_for_offset(off)
        cols = np.column_stack([bench.tone(f, 0.0, n) for f in freqs])
        over = over_range(ref.rule_int64(cols, step))
        levels = {f: highest_clean_level(lambda lv, f=f: bench.tone(f, lv, n), step, over[k])
                  for k, f in enumerate(freqs)}
        result[off] = {"levels": levels,
                       "over_at_0dBFS": {f: float(o) for f, o in zip(freqs, over)}}
    return result


def square_wave(bench, freq, level_db, n):
    """A square wave (a hard-clipped tone) at level_db, conditioned."""
    amp = min(FULL_SCALE_24 * 10 ** (level_db / 20), FULL_SCALE_24 - 1)
    t = np.arange(n)
    v = np.where(np.sin(2 * np.pi * freq / FS * t + 0.1) >= 0, amp, -amp)
    return bench.asrc.condition(np.rint(v).astype(np.int32))


def square_headroom(bench, off, freq=1000.0, n=8192):
    step = bench.asrc.step_for_offset(off)
    over = over_range(ref.rule_int64(square_wave(bench, freq, 0.0, n)[:, None], step))[0]
    return highest_clean_level(lambda lv: square_wave(bench, freq, lv, n), step, over)


def ratio_table(asrc, signs=(1, -1)):
    offs = np.logspace(-5, -1, 41)
    rows = []
    for sgn in signs:
        for o in offs:
            off = float(sgn * o)
            step = asrc.step_for_offset(off)
            if step == 0:
                n = 1 << 20
            else:
                per = ref.period_inputs(step)
                n = per * max(1, (1 << 20) // per)
            count = len(asrc.convert(np.zeros(n, dtype=np.int16), step))
            got = count / n
            asked = 1 - off
            rows.append({"offset": off, "step": int(step), "inputs": n, "outputs": count,
                         "obtained": got, "asked": asked, "error_ppm": (got - asked) / asked * 1e6})
    return rows


def event_positions(n_in, step):
    """Output index of each drop (the gap falls before it) and insert (the
    repeated sample) for n_in inputs from reset."""
    kind, _ = ref.schedule(n_in, step)
    per_input = np.where(kind == ref.DROP, 0, np.where(kind == ref.INSERT, 2, 1))
    before = np.concatenate(([0], np.cumsum(per_input)[:-1]))
    return before[kind != ref.NORMAL]


# ---------------------------------------------------------------- plotting

def _plt():
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    plt.rcParams.update({"font.size": 9, "axes.grid": True, "grid.alpha": 0.3,
                         "savefig.dpi": 100, "figure.dpi": 100})
    return plt


def save(fig, out_dir, name, made_by):
    fig.text(0.005, 0.003, made_by, fontsize=6, color="0.4", ha="left", va="bottom")
    path = os.path.join(out_dir, "quality", name)
    fig.savefig(path, dpi=100)
    import matplotlib.pyplot as plt
    plt.close(fig)
    return "quality/" + name


def plot_sinad(table, offsets, level, freqs, out_dir, made_by, metric="sinad"):
    plt = _plt()
    n = len(offsets)
    cols = 4 if n > 3 else n
    rows = int(math.ceil((n + 1) / cols)) if n > 3 else 1
    fig, axes = plt.subplots(rows, cols, figsize=(12, 3.1 * rows + 0.4), sharex=True, sharey=True,
                             squeeze=False)
    axes = axes.ravel()
    bottom = 0.02
    for ax, off in zip(axes, offsets):
        for name in CONVERTERS + ["input"]:
            vals = [table[(off, level, f)][name][metric] for f in freqs]
            ax.semilogx(freqs, vals, "o-" if name != "input" else ":", ms=3, color=COLORS[name],
                        label=LABELS[name], lw=1.2)
        if metric == "sinad":
            ax.axhline(ins.ideal_sinad_db(level + CONDITIONING_GAIN_DB), color="k", ls="--", lw=0.8,
                       label="ideal 16-bit bound")
        ax.set_title(f"offset {off:+g}", fontsize=9)
    for ax in axes[len(offsets):]:
        ax.axis("off")
    h, l = axes[0].get_legend_handles_labels()
    if len(offsets) < len(axes):
        axes[len(offsets)].legend(h, l, loc="center", fontsize=8)
    else:
        fig.legend(h, l, loc="lower center", ncol=3, fontsize=8)
        bottom = 0.2
    for ax in axes[:len(offsets)]:
        ax.set_xlabel("tone frequency (Hz)")
    axes[0].set_ylabel("SINAD (dB)" if metric == "sinad" else "largest spur (dBc)")
    what = "SINAD (4-parameter sine fit)" if metric == "sinad" else "largest spur (Kaiser-windowed FFT)"
    fig.suptitle(f"{what} against tone frequency, {level:g} dBFS input, 48 kHz")
    fig.tight_layout(rect=(0, bottom, 1, 1))
    return save(fig, out_dir, f"{metric}_{int(-level)}dBFS.png", made_by)


def plot_spectra(bench, off, quick, out_dir, made_by):
    plt = _plt()
    step = bench.asrc.step_for_offset(off)
    w, _ = window_outputs(step, quick)
    x = bench.tone(TONE, -1.0, inputs_for(w, step))
    up, down = ref.ratio_obtained(step)
    fs_out = FS * up / down
    fig, axes = plt.subplots(2, 2, figsize=(11, 6.5), sharex=True, sharey=True)
    for ax, name in zip(axes.ravel(), CONVERTERS):
        seg = bench.run(name, x, step)[SKIP:SKIP + w]
        level_db = ins.spectrum_db(seg)
        f = np.arange(len(level_db)) * fs_out / len(seg)
        ax.plot(f / 1000, level_db, lw=0.5, color=COLORS[name])
        ax.set_title(f"{LABELS[name]}: SINAD {ins.sinad_db(seg):.1f} dB", fontsize=9)
        ax.set_ylim(-180, 5)
        rate = FS / ref.period_inputs(step) if step else None
        if rate is not None and rate < 100:
            # The sidebands lie at multiples of the drop or insert rate around
            # the tone; at small offsets they crowd it, so they get a close-up.
            half = max(6 * rate, 20.0)
            sel = (f > TONE - half) & (f < TONE + half)
            inset = ax.inset_axes([0.55, 0.5, 0.42, 0.4])
            inset.plot(f[sel], level_db[sel], lw=0.6, color=COLORS[name])
            inset.set_ylim(-160, 5)
            inset.tick_params(labelsize=6)
            inset.set_title(f"around {TONE:g} Hz (Hz); events every {rate:.4g} Hz", fontsize=6)
    for ax in axes[1]:
        ax.set_xlabel("frequency (kHz)")
    for ax in axes[:, 0]:
        ax.set_ylabel("dBFS (Kaiser beta 20)")
    fig.suptitle(f"Spectrum of a {TONE:g} Hz tone at -1 dBFS, offset {off:+g} "
                 f"(ratio {up}/{down}), {len(seg)} outputs")
    fig.tight_layout(rect=(0, 0.02, 1, 1))
    return save(fig, out_dir, f"spectrum_997_offset_{off:+g}.png", made_by)


def plot_sweep(bench, off, seconds, out_dir, made_by):
    from scipy import signal
    plt = _plt()
    step = bench.asrc.step_for_offset(off)
    n = int(seconds * FS)
    t = np.arange(n) / FS
    amp = FULL_SCALE_24 * 10 ** (-6 / 20)
    v = np.rint(amp * signal.chirp(t, 20, t[-1], 24000, method="logarithmic", phi=-90))
    x = bench.asrc.condition(v.astype(np.int32))
    fig, axes = plt.subplots(2, 2, figsize=(11, 7), sharex=True, sharey=True)
    up, down = ref.ratio_obtained(step)
    fs_out = FS * up / down
    for ax, name in zip(axes.ravel(), CONVERTERS):
        y = bench.run(name, x, step).astype(float) / 32768
        ax.grid(False)
        f, tt, s = signal.spectrogram(y, fs_out, window=("kaiser", 14), nperseg=1024, noverlap=512,
                                      scaling="spectrum")
        # Levels in 10 dB steps: the noise floor's texture tells nothing and
        # would only make the picture large.
        db = np.floor(10 * np.log10(s * 2 + 1e-30) / 10) * 10
        im = ax.pcolormesh(tt, f / 1000, db, vmin=-150, vmax=0, shading="auto",
                           cmap=plt.get_cmap("magma", 15), rasterized=True)
        ax.set_title(LABELS[name], fontsize=9)
    for ax in axes[1]:
        ax.set_xlabel("time (s)")
    for ax in axes[:, 0]:
        ax.set_ylabel("frequency (kHz)")
    fig.colorbar(im, ax=axes, label="dBFS", shrink=0.8)
    fig.suptitle(f"Log sweep 20 Hz to 24 kHz, -6 dBFS, offset {off:+g} (ratio {up}/{down})")
    return save(fig, out_dir, f"sweep_offset_{off:+g}.png", made_by)


def plot_error(bench, cases, out_dir, made_by):
    """Output minus the sine fitted to it, with the drop and insert instants."""
    plt = _plt()
    names = ["asrc", "linear", "drop_insert"]
    fig, axes = plt.subplots(len(names), len(cases), figsize=(12, 7.5), sharex="col", squeeze=False)
    for c, (off, freq, span, quick) in enumerate(cases):
        step = bench.asrc.step_for_offset(off)
        w, _ = window_outputs(step, quick)
        n_in = inputs_for(w, step)
        x = bench.tone(freq, -1.0, n_in)
        ev = event_positions(n_in, step) - SKIP
        for r, name in enumerate(names):
            seg = bench.run(name, x, step)[SKIP:SKIP + w]
            fit = ins.sine_fit(seg)
            ax = axes[r, c]
            k = np.arange(span)
            ax.plot(k, fit.residual[:span], lw=0.6 if span > 2000 else 0.9, color=COLORS[name])
            for e in ev[(ev >= 0) & (ev < span)]:
                ax.axvline(e, color="C1", lw=0.6, alpha=0.7)
            rms = np.sqrt(np.mean(fit.residual ** 2))
            ax.set_title(f"{SHORT[name]}, offset {off:+g}, {freq:g} Hz: rms {rms:.1f} LSB",
                         fontsize=8)
            if c == 0:
                ax.set_ylabel("output - fitted sine (LSB)")
        axes[-1, c].set_xlabel("output sample (orange: " +
                               ("drops" if step > 0 else "inserts") + ")")
    fig.suptitle("Error over time at -1 dBFS (16-bit LSB); vertical lines mark drops/inserts")
    fig.tight_layout(rect=(0, 0.02, 1, 1))
    return save(fig, out_dir, "error_over_time.png", made_by)


def plot_delay(delays, freqs, phases, out_dir, made_by):
    plt = _plt()
    eta = np.asarray(phases) / ref.ONE
    fig, (a1, a2) = plt.subplots(1, 2, figsize=(12, 4.6))
    a1.plot(eta, 1 - eta, "k--", lw=1, label="ideal: 1 - phase")
    for i, f in enumerate(freqs):
        a1.plot(eta, delays[i], "o", ms=3, color=f"C{i}", label=f"measured {f:g} Hz")
        fine = np.linspace(0, 1, 201)
        a1.plot(fine, [allpass_phase_delay(e, f) for e in fine], "-", lw=0.7, color=f"C{i}")
    a1.set_xlabel("phase (fraction of a sample)")
    a1.set_ylabel("phase delay (samples)")
    a1.set_title("Delay of the allpass with the phase held (lines: (eta+z^-1)/(1+eta z^-1))",
                 fontsize=9)
    a1.legend(fontsize=7)
    for i, f in enumerate(freqs):
        a2.plot(eta, delays[i] - (1 - eta), "o-", ms=3, lw=0.8, color=f"C{i}", label=f"{f:g} Hz")
    fine = np.linspace(0, 1, 201)
    a2.plot(fine, -(1 - fine) * fine / (1 + fine), "k--", lw=1,
            label="low-frequency limit (1-eta)/(1+eta) - (1-eta)")
    a2.set_xlabel("phase (fraction of a sample)")
    a2.set_ylabel("delay error: measured - ideal (samples)")
    a2.set_title("Delay error against the phase", fontsize=9)
    a2.legend(fontsize=7)
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    return save(fig, out_dir, "delay_vs_phase.png", made_by)


def plot_timing(steps, out_dir, made_by):
    """Where the timing error comes from at a running offset: each output's
    time (input index minus the low-frequency delay of its phase) against a
    uniform grid at the obtained ratio."""
    plt = _plt()
    fig, axes = plt.subplots(1, len(steps), figsize=(12, 3.6), squeeze=False)
    for ax, (off, step) in zip(axes[0], steps):
        per = ref.period_inputs(step)
        n = 3 * per
        kind, phase = ref.schedule(n, step)
        idx, eta = [], []
        for i in range(n):
            if kind[i] == ref.DROP:
                continue
            if kind[i] == ref.INSERT:
                idx.append(i - 1)
                eta.append(1.0)
            idx.append(i)
            eta.append(phase[i] / ref.ONE)
        idx, eta = np.asarray(idx, float), np.asarray(eta)
        k = np.arange(len(idx))
        for label, d, col in (("allpass: delay (1-eta)/(1+eta)", (1 - eta) / (1 + eta), "C3"),
                              ("linear: delay 1-eta", 1 - eta, "C0")):
            t = idx - d
            a, b = np.polyfit(k, t, 1)
            ax.plot(k, t - (a * k + b), lw=0.9, color=col, label=label)
        ax.set_title(f"offset {off:+g} (step {step}), 3 periods", fontsize=9)
        ax.set_xlabel("output sample")
    axes[0, 0].set_ylabel("time error vs uniform grid (samples)")
    axes[0, 0].legend(fontsize=7)
    fig.suptitle("Timing of each output: the allpass delay mapping against the discarded overshoot")
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    return save(fig, out_dir, "timing_error.png", made_by)


def plot_headroom(hr, freqs, out_dir, made_by):
    plt = _plt()
    fig, (a1, a2) = plt.subplots(1, 2, figsize=(12, 4.4))
    for i, (off, r) in enumerate(hr.items()):
        a1.semilogx(freqs, [r["levels"][f] for f in freqs], "o-", ms=3, lw=1, color=f"C{i}",
                    label=f"offset {off:+g}")
        a2.semilogx(freqs, [20 * math.log10(r["over_at_0dBFS"][f]) for f in freqs], "o-",
                    ms=3, lw=1, color=f"C{i}", label=f"offset {off:+g}")
    a1.set_xlabel("tone frequency (Hz)")
    a1.set_ylabel("highest level without a wrap (dBFS)")
    a1.set_title("Headroom: highest sine level whose output never leaves the 16-bit range "
                 "(0: full scale never wraps)", fontsize=8)
    a2.axhline(0, color="k", lw=0.8)
    a2.set_xlabel("tone frequency (Hz)")
    a2.set_ylabel("largest unwrapped output re the range's end (dB)")
    a2.set_title("Largest unwrapped output for a 0 dBFS tone (above 0 dB it wraps)", fontsize=8)
    a2.legend(fontsize=7, ncol=2)
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    return save(fig, out_dir, "headroom.png", made_by)


def wrap_damage(asrc, x, step):
    """The module's output, the unwrapped int64 result, the outputs that
    leave the 16-bit range, and the outputs more than 256 LSB away from the
    unwrapped result (a wrapped value is fed back, so one wrap can spoil many
    outputs after it)."""
    y = asrc.convert(x, step).astype(np.int64)
    u = ref.rule_int64(x, step)
    wraps = (u > 32767) | (u < -32768)
    spoiled = np.abs(y - u) > 256
    return y, u, wraps, spoiled


def plot_wrap(bench, out_dir, made_by):
    """Two inputs that wrap: a full-scale 1 kHz square wave (a hard-clipped
    signal) and a full-scale 20 kHz sine at offset +0.01."""
    plt = _plt()
    n = 8192
    cases = [("full-scale 1 kHz square wave, offset +0.001", square_wave(bench, 1000.0, 0.0, n),
              bench.asrc.step_for_offset(0.001), 170),
             ("0 dBFS 20 kHz sine, offset +0.01", bench.tone(20000, 0.0, n),
              bench.asrc.step_for_offset(0.01), 60)]
    fig, axes = plt.subplots(2, 1, figsize=(11, 6.5))
    stats = []
    for ax, (title, x, step, span) in zip(axes, cases):
        y, u, wraps, spoiled = wrap_damage(bench.asrc, x, step)
        lo = int(np.argmax(wraps))
        s = slice(max(0, lo - 25), max(0, lo - 25) + span)
        k = np.arange(len(y))[s]
        ax.plot(k, x[s], color="0.6", lw=1, label="input (conditioned)")
        ax.plot(k, u[s], color="C0", lw=1, ls="--", label="unwrapped result (int64 rule)")
        ax.plot(k, y[s], color="C3", lw=1.2, marker=".", ms=3, label="converter output (16 bits)")
        ax.axhline(32767, color="k", lw=0.6)
        ax.axhline(-32768, color="k", lw=0.6)
        ax.set_ylabel("value")
        st = {"case": title, "outputs": int(len(y)), "wraps": int(np.count_nonzero(wraps)),
              "spoiled": int(np.count_nonzero(spoiled))}
        stats.append(st)
        ax.set_title(f"{title}: {st['wraps']} results leave the 16-bit range, "
                     f"{st['spoiled']} of {st['outputs']} outputs end up more than 256 LSB off",
                     fontsize=9)
        ax.legend(fontsize=7, loc="lower left")
    axes[-1].set_xlabel("output sample")
    fig.suptitle("Wrapped output: the wrapped value is fed back into the allpass, so the damage "
                 "outlasts the wrap")
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    return save(fig, out_dir, "wrap_example.png", made_by), stats


def plot_ratio(rows, out_dir, made_by):
    plt = _plt()
    fig, ax = plt.subplots(figsize=(9, 4.2))
    for sgn, col, lab in ((1, "C3", "offset > 0 (drops)"), (-1, "C0", "offset < 0 (inserts)")):
        rr = [r for r in rows if np.sign(r["offset"]) == sgn]
        ax.loglog([abs(r["offset"]) for r in rr], [max(abs(r["error_ppm"]), 1e-3) for r in rr],
                  "o-", ms=3, color=col, label=lab)
    ax.set_xlabel("|rate offset| asked")
    ax.set_ylabel("|obtained - asked| / asked (ppm)")
    ax.set_title("Ratio obtained (output count / input count) against 1 - offset", fontsize=9)
    ax.axvline(1 / 16384, color="k", lw=0.6, ls=":")
    ax.text(1 / 16384, ax.get_ylim()[1], " 1/16384: below it the step is 0", fontsize=7, va="top")
    ax.legend(fontsize=8)
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    return save(fig, out_dir, "ratio_error.png", made_by)


# ---------------------------------------------------------------- report

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


def fall_off(freqs, vals, threshold):
    """Lowest tone frequency at which SINAD has fallen below threshold, by
    log-linear interpolation between measured points; None if it never does."""
    for i, v in enumerate(vals):
        if v < threshold:
            if i == 0:
                return freqs[0]
            f0, f1, v0, v1 = freqs[i - 1], freqs[i], vals[i - 1], v
            a = (v0 - threshold) / (v0 - v1)
            return float(10 ** (math.log10(f0) + a * (math.log10(f1) - math.log10(f0))))
    return None


def fmt(v, nd=1):
    return "-" if v is None else f"{v:.{nd}f}"


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
    data = build_json(args, info, elapsed, offsets, levels, freqs_all, table, thdn, hr, ratios,
                      delays, d_freqs, d_phases)
    data["wrap_examples"] = wrap_stats
    data["square_wave_1kHz_headroom_dbfs"] = {key(o): v for o, v in sq_hr.items()}
    with open(os.path.join(args.out, "quality.json"), "w") as f:
        json.dump(data, f, indent=1)
    with open(os.path.join(args.out, "quality.md"), "w") as f:
        f.write(render_md(cmd, info, elapsed, quick, offsets, levels, freqs, table, thdn, hr,
                          hr_freqs, ratios, delays, d_freqs, d_phases, figs, wrap_stats, sq_hr))
    log(f"wrote {args.out}/quality.md, quality.json and {args.out}/quality/*.png")
    return 0


def key(off):
    return f"{off:+g}"


def build_json(args, info, elapsed, offsets, levels, freqs, table, thdn, hr, ratios, delays,
               d_freqs, d_phases):
    sinad = {}
    for (off, level, f), r in table.items():
        for name, v in r.items():
            d = sinad.setdefault(key(off), {}).setdefault(f"{level:g}", {}).setdefault(name, {})
            d[f"{f:g}"] = {"sinad_db": round(v["sinad"], 2), "spur_dbc": round(v["spur"], 2)}
    k = table[(KEY_OFFSET, KEY_LEVEL, TONE)]
    return {
        "about": "conversion quality of the asrc converter beside reference converters; "
                 "levels are dBFS at the 24-bit input scale before the program's conditioning",
        "quick": bool(args.quick),
        "key": {
            "sinad_997Hz_-1dBFS_offset_+0.01": {n: round(v["sinad"], 2) for n, v in k.items()},
            "tone_hz": TONE, "level_dbfs": KEY_LEVEL, "offset": KEY_OFFSET,
            "thd_n_997Hz_-1dBFS": {key(o): {n: round(v["thdn_-1"], 2) for n, v in r.items()}
                                   for o, r in thdn.items()},
            "dynamic_range_db": {key(o): {n: round(v["dynamic_range"], 2) for n, v in r.items()}
                                 for o, r in thdn.items()},
            "headroom_dbfs_min_over_offsets": {
                f"{f:g}": min(r["levels"][f] for r in hr.values())
                for f in next(iter(hr.values()))["levels"]},
        },
        "sinad": sinad,
        "headroom_dbfs": {key(o): {f"{f:g}": v for f, v in r["levels"].items()} for o, r in hr.items()},
        "ratio": ratios,
        "delay_vs_phase": {"phases_q14": d_phases,
                           "samples": {f"{f:g}": [round(float(v), 5) for v in row]
                                       for f, row in zip(d_freqs, delays)}},
        "windows": {key(o): dict(zip(("outputs", "periods"), window_outputs(
            0 if o == 0 else int(math.trunc(16384 * o)), args.quick))) for o in offsets},
        "machine": info,
        "elapsed_s": round(elapsed, 1),
    }


def render_md(cmd, info, elapsed, quick, offsets, levels, freqs, table, thdn, hr, hr_freqs,
              ratios, delays, d_freqs, d_phases, figs, wrap_stats, sq_hr):
    from report_text import render
    return render(**locals())


if __name__ == "__main__":
    sys.exit(main())
