"""The report's figures, drawn with matplotlib from what measure.py
gives; each is saved under OUT/quality/ with the command that made it in its
lower left corner, and its path relative to OUT is returned."""

import math
import os

import numpy as np

import instruments as ins
import references as ref
from measure import (allpass_phase_delay, converted, event_positions, square_wave, wrap_damage)
from plan import (CONDITIONING_GAIN_DB, CONVERTERS, FS, FULL_SCALE_24, HIGH_TONE, KEY_LEVEL,
                  LABELS, OURS, SKIP, TONE, WIDE_OURS, at_offset, freqs_for, inputs_for,
                  window_outputs)

SHORT = {"asrc-rule": "rule (allpass)", "asrc-poly": "polyphase (asrc_poly)", "linear": "linear",
         "drop_insert": "drop/insert", "resample_poly": "resample_poly", "input": "input"}
# Ours bold; the references grey or black, broken; the field's settings in
# one hue per library, darker for the costlier settings.
STYLE = {"asrc-rule": {"color": "tab:red", "lw": 2.0, "marker": "o"},
         "asrc-poly": {"color": "tab:blue", "lw": 2.0, "marker": "o"},
         "linear": {"color": "0.45", "lw": 1.0, "ls": "--", "marker": "."},
         "drop_insert": {"color": "0.7", "lw": 1.0, "ls": "--", "marker": "."},
         "resample_poly": {"color": "k", "lw": 1.0, "ls": "-.", "marker": "."},
         "input": {"color": "k", "lw": 1.0, "ls": ":"},
         "asrc-q31": {"color": "tab:purple", "lw": 2.0, "marker": "o"}}
PEER_STYLE = {"src-sinc-fastest": ("#5aae61", "s"), "src-sinc-best": ("#1b7837", "s"),
              "src-linear": ("#a6dba0", "s"), "speex-3": ("#c2a5cf", "^"),
              "speex-10": ("#762a83", "^"), "soxr-hq": ("#fd8d3c", "v"),
              "soxr-hq-nodither": ("#d94801", "v"), "soxr-vhq": ("#fdae6b", "D"),
              "soxr-vhq-nodither": ("#8c2d04", "D"), "zita-vresampler-16": ("#80cdc1", "P"),
              "zita-vresampler-32": ("#35978f", "P"), "zita-vresampler-48": ("#01665e", "P"),
              "soxr-hq-i32": ("#d94801", "v"), "soxr-vhq-i32": ("#8c2d04", "D"),
              "src-sinc-best-i32": ("#1b7837", "s"), "src-sinc-medium-i32": ("#5aae61", "s"),
              "zita-vresampler-48-i32": ("#01665e", "P")}


def style(name):
    if name in STYLE:
        return dict(STYLE[name])
    color, marker = PEER_STYLE.get(name, ("0.5", "x"))
    return {"color": color, "lw": 0.9, "marker": marker}


def label(name, settings):
    """A converter's name in a legend: ours and the references by what they
    are, the field's settings by name and Debian package."""
    if name in LABELS:
        return LABELS[name]
    s = settings.get(name)
    return f"{name} ({s['package']})" if s else name


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


def plot_sinad(table, conds, level, freqs, names, settings, out_dir, made_by, metric="sinad",
               ylim=None, suffix="", bound=None, what_in="dBFS input"):
    """One panel per condition, one line per converter measured there;
    ylim zooms in on a range (lines outside it are cut).  bound, a (label,
    dB) pair, replaces the ideal 16-bit bound drawn across each panel."""
    plt = _plt()
    n = len(conds)
    cols = min(n, 3)
    rows = int(math.ceil(n / cols))
    fig, axes = plt.subplots(rows, cols, figsize=(13, 3.2 * rows + 1.6), sharey=True,
                             squeeze=False)
    axes = axes.ravel()
    handles = {}
    for ax, cond in zip(axes, conds):
        fs = freqs_for(cond, freqs)
        for name in names:
            pts = [(f, table[(cond.key, level, f)][name][metric]) for f in fs
                   if name in table.get((cond.key, level, f), {})]
            if not pts:
                continue
            st = style(name)
            ours = name in OURS or name in WIDE_OURS
            (h,) = ax.semilogx(*zip(*pts), ms=4 if ours else 3, zorder=3 if ours else 2,
                               label=label(name, settings), **st)
            handles.setdefault(h.get_label(), h)
        if metric == "sinad":
            blabel, b = bound or ("ideal 16-bit bound",
                                  ins.ideal_sinad_db(level + CONDITIONING_GAIN_DB))
            (h,) = ax.semilogx([fs[0], fs[-1]], [b, b], color="k", ls="--", lw=0.8,
                               label=blabel)
            handles.setdefault(h.get_label(), h)
        ax.set_title(cond.title, fontsize=9)
        ax.set_xlabel("tone frequency (Hz)")
        if ylim:
            ax.set_ylim(*ylim)
    for ax in axes[n:]:
        ax.axis("off")
    for ax in axes[::cols]:
        ax.set_ylabel("SINAD (dB)" if metric == "sinad" else "largest spur (dBc)")
    ncol = 3
    legend_rows = int(math.ceil(len(handles) / ncol))
    bottom = (0.16 * legend_rows + 0.25) / (3.2 * rows + 1.6)
    fig.legend(list(handles.values()), list(handles.keys()), loc="lower center", ncol=ncol,
               fontsize=7, bbox_to_anchor=(0.5, 0.012))
    what = "SINAD (4-parameter sine fit)" if metric == "sinad" else "largest spur (Kaiser-windowed FFT)"
    fig.suptitle(f"{what} against tone frequency, {level:g} {what_in}"
                 + (f", {ylim[0]:g} to {ylim[1]:g} dB" if ylim else ""))
    fig.tight_layout(rect=(0, bottom, 1, 1))
    return save(fig, out_dir, f"{metric}_{int(-level)}dBFS{suffix}.png", made_by)


def plot_cost(table, cost, conds, settings, out_dir, made_by, split=80.0,
              fname="quality_vs_cost.png", show_input=True, title="", clock=""):
    """Quality against cost: SINAD at 997 Hz and 10 kHz against ns per input
    sample, one point per converter setting, one column per condition.  The
    SINAD axis is broken at `split`: the transparent converters lie within a
    few dB of each other, which one axis from 0 to 100 dB would hide.  The
    32-bit figure passes its own split and file name and leaves the input's
    line out (its SINAD is the 32-bit rounding's, far above any converter)."""
    plt = _plt()
    from matplotlib.lines import Line2D
    conds = [c for c in conds if c.key in cost]
    tones = [TONE, HIGH_TONE]
    ratios = [3, 1.3] * len(tones)
    fig, axes = plt.subplots(2 * len(tones), len(conds), figsize=(4.2 * len(conds) + 0.8, 11.5),
                             sharex=True, squeeze=False, gridspec_kw={"height_ratios": ratios})
    points = {}
    for c, cond in enumerate(conds):
        for r, tone in enumerate(tones):
            res = table.get((cond.key, KEY_LEVEL, tone), {})
            points[(c, r)] = [(name, t["ns_per_input_sample"], res[name]["sinad"])
                              for name, t in cost[cond.key].items() if name in res]
            points[(c, r, "input")] = res.get("input", {}).get("sinad") if show_input else None
    hi = [y for k, v in points.items() if len(k) == 2 for _, _, y in v if y >= split]
    hi += [v for k, v in points.items() if len(k) == 3 and v is not None]
    lo = [y for k, v in points.items() if len(k) == 2 for _, _, y in v if y < split]
    hi_lim = (math.floor(min(hi)) - 0.5, math.ceil(max(hi)) + 0.5) if hi else (split, 100)
    lo_lim = (math.floor(min(lo) / 10) * 10 - 2, split) if lo else (0, split)
    legend = {}
    for c, cond in enumerate(conds):
        for r, tone in enumerate(tones):
            top, bottom = axes[2 * r, c], axes[2 * r + 1, c]
            for ax in (top, bottom):
                inp = points[(c, r, "input")]
                if inp is not None:
                    ax.axhline(inp, color="k", ls=":", lw=0.8)
                for name, ns, y in points[(c, r)]:
                    st = style(name)
                    ours = name in STYLE
                    ax.semilogx([ns], [y], ls="none", marker=st["marker"], ms=8 if ours else 6,
                                color=st["color"], mec="k" if ours else st["color"],
                                zorder=3 if ours else 2)
                    legend.setdefault(name, Line2D([], [], ls="none", marker=st["marker"],
                                                   color=st["color"], mec="k" if ours else
                                                   st["color"], ms=7, label=label(name, settings)))
                    if ours and (y >= split) == (ax is top):
                        ax.annotate(name, (ns, y), xytext=(6, -3), textcoords="offset points",
                                    fontsize=7, fontweight="bold")
            top.set_ylim(*hi_lim)
            bottom.set_ylim(*lo_lim)
            top.spines["bottom"].set_visible(False)
            bottom.spines["top"].set_visible(False)
            top.tick_params(bottom=False)
            top.set_title(f"{cond.short}: {tone:g} Hz", fontsize=9)
            if c == 0:
                top.set_ylabel(f"SINAD at {tone:g} Hz (dB)")
                bottom.set_ylabel("(below)")
    for ax in axes[-1]:
        ax.set_xlabel(f"ns per input sample, one core{clock} (log)")
    if show_input:
        legend["input"] = Line2D([], [], color="k", ls=":", lw=0.8,
                                 label="conditioned input, no conversion")
    fig.legend(list(legend.values()), [h.get_label() for h in legend.values()], loc="lower center",
               ncol=3, fontsize=7, bbox_to_anchor=(0.5, 0.012))
    fig.suptitle(f"Quality against cost at {KEY_LEVEL:g} dBFS{title}, timed on one core in the "
                 "same run (up and to the left is better; the SINAD axis is broken)")
    fig.tight_layout(rect=(0, 0.13, 1, 1), h_pad=0.4)
    return save(fig, out_dir, fname, made_by)


SHOWN = CONVERTERS + ["input"]


def _grid(plt, n):
    cols = 3
    rows = int(math.ceil(n / cols))
    fig, axes = plt.subplots(rows, cols, figsize=(13, 3.3 * rows + 0.4), sharex=True, sharey=True,
                             squeeze=False)
    return fig, axes


def plot_spectra(bench, off, quick, out_dir, made_by):
    plt = _plt()
    cond = at_offset(off)
    step = bench.step(cond)
    up, down = ref.ratio_obtained(step)
    fig, axes = _grid(plt, len(SHOWN))
    segs = dict(converted(bench, SHOWN, cond, lambda n: bench.tone(TONE, -1.0, n), quick))
    for ax, name in zip(axes.ravel(), SHOWN):
        seg = segs[name]
        level_db = ins.spectrum_db(seg)
        f = np.arange(len(level_db)) * bench.fs_out(name, cond) / len(seg)
        color = style(name)["color"]
        ax.plot(f / 1000, level_db, lw=0.5, color=color)
        ax.set_title(f"{LABELS[name]}: SINAD {ins.sinad_db(seg):.1f} dB", fontsize=9)
        ax.set_ylim(-180, 5)
        rate = FS / ref.period_inputs(step) if step else None
        if rate is not None and rate < 100 and name in ("asrc-rule", "linear", "drop_insert"):
            # The sidebands lie at multiples of the drop or insert rate around
            # the tone; at small offsets they crowd it, so they get a close-up.
            half = max(6 * rate, 20.0)
            sel = (f > TONE - half) & (f < TONE + half)
            inset = ax.inset_axes([0.55, 0.5, 0.42, 0.4])
            inset.plot(f[sel], level_db[sel], lw=0.6, color=color)
            inset.set_ylim(-160, 5)
            inset.tick_params(labelsize=6)
            inset.set_title(f"around {TONE:g} Hz (Hz); events every {rate:.4g} Hz", fontsize=6)
    for ax in axes[-1]:
        ax.set_xlabel("frequency (kHz)")
    for ax in axes[:, 0]:
        ax.set_ylabel("dBFS (Kaiser beta 20)")
    fig.suptitle(f"Spectrum of a {TONE:g} Hz tone at -1 dBFS, offset {off:+g} (the rule and its "
                 f"references at its ratio {up}/{down}, asrc_poly at 1 - offset)")
    fig.tight_layout(rect=(0, 0.02, 1, 1))
    return save(fig, out_dir, f"spectrum_997_offset_{off:+g}.png", made_by)


def plot_sweep(bench, off, seconds, out_dir, made_by):
    from scipy import signal
    plt = _plt()
    cond = at_offset(off)
    step = bench.step(cond)
    n = int(seconds * FS)
    t = np.arange(n) / FS
    amp = FULL_SCALE_24 * 10 ** (-6 / 20)
    v = np.rint(amp * signal.chirp(t, 20, t[-1], 24000, method="logarithmic", phi=-90))
    x = bench.asrc.condition(v.astype(np.int32))
    fig, axes = _grid(plt, len(SHOWN))
    up, down = ref.ratio_obtained(step)
    for ax, name in zip(axes.ravel(), SHOWN):
        y = bench.run(name, x, cond).astype(float) / 32768
        ax.grid(False)
        f, tt, s = signal.spectrogram(y, bench.fs_out(name, cond), window=("kaiser", 14),
                                      nperseg=1024, noverlap=512,
                                      scaling="spectrum")
        # Levels in 10 dB steps: the noise floor's texture tells nothing and
        # would only make the picture large.
        db = np.floor(10 * np.log10(s * 2 + 1e-30) / 10) * 10
        im = ax.pcolormesh(tt, f / 1000, db, vmin=-150, vmax=0, shading="auto",
                           cmap=plt.get_cmap("magma", 15), rasterized=True)
        ax.set_title(LABELS[name], fontsize=9)
    for ax in axes[-1]:
        ax.set_xlabel("time (s)")
    for ax in axes[:, 0]:
        ax.set_ylabel("frequency (kHz)")
    fig.colorbar(im, ax=axes, label="dBFS", shrink=0.8)
    fig.suptitle(f"Log sweep 20 Hz to 24 kHz, -6 dBFS, offset {off:+g} (the rule and its "
                 f"references at its ratio {up}/{down}, asrc_poly at 1 - offset)")
    return save(fig, out_dir, f"sweep_offset_{off:+g}.png", made_by)


def plot_error(bench, cases, out_dir, made_by):
    """Output minus the sine fitted to it, with the drop and insert instants."""
    plt = _plt()
    names = ["asrc-rule", "linear", "drop_insert"]
    fig, axes = plt.subplots(len(names), len(cases), figsize=(12, 7.5), sharex="col", squeeze=False)
    for c, (off, freq, span, quick) in enumerate(cases):
        cond = at_offset(off)
        step = bench.step(cond)
        w, _ = window_outputs(step, quick)
        n_in = inputs_for(w, step)
        x = bench.tone(freq, -1.0, n_in)
        ev = event_positions(n_in, step) - SKIP
        for r, name in enumerate(names):
            seg = bench.run(name, x, cond)[SKIP:SKIP + w]
            fit = ins.sine_fit(seg)
            ax = axes[r, c]
            k = np.arange(span)
            ax.plot(k, fit.residual[:span], lw=0.6 if span > 2000 else 0.9,
                    color=style(name)["color"])
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

