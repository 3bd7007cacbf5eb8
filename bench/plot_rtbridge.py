#!/usr/bin/env python3
"""Ratio and fill against time from a run of rtbridge/tests/real_servers.py
kept with --out: the bridge's live log (0.1-s windows) beside the servers'
true ratio, measured from the tone's and the recorder's cycle logs over
sliding 5-s spans.

Usage: plot_rtbridge.py RUN_DIR OUT.png [FROM_S TO_S] [TITLE]"""

import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

RATE_A, RATE_B = 48000, 44100


def cycles(path):
    rows = [line.split() for line in open(path) if not line.startswith("#")]
    a = np.array(rows, dtype=np.float64)
    return a[:, 0] * 1e-9, a[:, 1]


def sliding_rate(t, f, centres, span=5.0):
    out = []
    for c in centres:
        m = (t >= c - span / 2) & (t <= c + span / 2)
        out.append(np.polyfit(t[m], f[m], 1)[0] if np.count_nonzero(m) > 10 else np.nan)
    return np.array(out)


def main():
    run, png = sys.argv[1], sys.argv[2]
    live = np.genfromtxt(os.path.join(run, "live_jack.csv"), delimiter=",", names=True)
    if len(sys.argv) > 4:
        keep = (live["t_s"] >= float(sys.argv[3])) & (live["t_s"] <= float(sys.argv[4]))
        live = live[keep]
    ta, fa = cycles(os.path.join(run, "tone_jack.log"))
    tb, fb = cycles(os.path.join(run, "rec_jack.log"))
    t = live["t_s"]
    # The live log's time runs from the bridge's start, the cycle logs'
    # from boot; both are on CLOCK_MONOTONIC (the live log's mono_s).
    offset = live["mono_s"][0] - t[0]
    centres = np.arange(t[0] + 2.5, t[-1] - 2.5, 0.5)
    ra = sliding_rate(ta, fa, centres + offset)
    rb = sliding_rate(tb, fb, centres + offset)
    true_ppm = (ra / rb / (RATE_A / RATE_B) - 1) * 1e6

    fig, (ax1, ax2) = plt.subplots(2, 1, figsize=(10, 7), sharex=True)
    ax1.plot(t, live["ratio_ppm"], lw=0.6, label="bridge: ratio (0.1-s mean)")
    ax1.plot(centres, true_ppm, lw=1.2, label="servers' true ratio (5-s spans)")
    ax1.set_ylabel("ratio re 48000/44100 (ppm)")
    ax1.legend(loc="upper right")
    ax1.grid(alpha=0.3)
    ax2.plot(t, live["fill_max"], lw=0.4, color="tab:red", label="highest (after a write)")
    ax2.plot(t, live["fill_mean"], lw=0.6, color="k", label="as the servo sees it (0.1-s mean)")
    ax2.plot(t, live["fill_min"], lw=0.4, color="tab:blue", label="lowest (after a read)")
    ax2.set_ylabel("FIFO fill re target (frames)")
    ax2.set_xlabel("time (s)")
    ax2.legend(loc="upper right")
    ax2.grid(alpha=0.3)
    xr = live["xruns_source"] + live["xruns_sink"]
    for x in t[1:][np.diff(xr) > 0]:
        for ax in (ax1, ax2):
            ax.axvline(x, color="0.7", lw=0.5, zorder=0)
    title = sys.argv[5] if len(sys.argv) > 5 else ""
    fig.suptitle("asrc-bridge, dummy JACK servers 48 kHz into 44.1 kHz (grey: a server's xrun)"
                 + ("\n" + title if title else ""), fontsize=10)
    fig.tight_layout()
    fig.savefig(png, dpi=90)


if __name__ == "__main__":
    main()
