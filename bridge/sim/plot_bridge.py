"""Plots of an asrc-bridge-sim run: run by the program with --plot DIR, or by
hand as /usr/bin/python3 bridge/sim/plot_bridge.py DIR on the files it wrote
there (series.csv, start.csv, tone.csv, result.txt).  Writes fill.png,
ratio.png, start.png and spectrum.png into DIR."""

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

RATE = 48000.0


def read_rows(path):
    data = np.genfromtxt(path, delimiter=",", names=True)
    return np.atleast_1d(data)


def read_result(path):
    line = path.read_text().strip()
    return line, dict(item.split("=", 1) for item in line.split())


def time_axis(t):
    """Seconds, minutes or hours, whichever keeps the numbers readable."""
    span = t[-1] if len(t) else 0
    if span > 3 * 3600:
        return t / 3600, "time (h)"
    if span > 300:
        return t / 60, "time (min)"
    return t, "time (s)"


def caption(fig, line):
    words = line.split()
    half = len(words) // 2
    fig.text(0.01, 0.005, " ".join(words[:half]) + "\n" + " ".join(words[half:]),
             fontsize=6, family="monospace", va="bottom")


def plot_fill(ax, rows, res, title):
    x, label = time_axis(rows["t_s"])
    ax.fill_between(x, rows["fill_min"], rows["fill_max"], color="tab:blue", alpha=0.25,
                    lw=0, label="lowest after a read .. highest after a write")
    ax.plot(x, rows["fill_mean"], color="tab:blue", lw=0.8, label="mean as the servo sees it")
    out_block = 49 if res["out_block"] == "usb" else int(res["out_block"])
    band = int(res["in_block"]) + out_block
    for y in (-band, band):
        ax.axhline(y, color="tab:red", lw=0.6, ls="--",
                   label="+-(in-block + out-block)" if y > 0 else None)
    ax.axhline(-int(res["target_frames"]), color="black", lw=0.8, ls=":",
               label="empty FIFO")
    ax.set_xlabel(label)
    ax.set_ylabel("fill - target (frames)")
    ax.set_title(title)
    ax.legend(loc="upper right", fontsize=7)


def plot_ratio(ax, rows, title):
    x, label = time_axis(rows["t_s"])
    ax.plot(x, rows["true_ppm"], color="black", lw=1.0, label="the clocks' ratio")
    ax.plot(x, rows["ratio_ppm"], color="tab:orange", lw=0.6,
            label="the converter's ratio (mean per interval)")
    ax.set_xlabel(label)
    ax.set_ylabel("ratio - 1 (ppm)")
    ax.set_title(title)
    ax.legend(loc="upper right", fontsize=7)


def plot_ratio_error(ax, rows):
    x, label = time_axis(rows["t_s"])
    ax.plot(x, rows["ratio_ppm"] - rows["true_ppm"], color="tab:orange", lw=0.6)
    ax.set_xlabel(label)
    ax.set_ylabel("converter - clocks (ppm)")


def spectrum_db(tone):
    """Kaiser-windowed spectrum in dB re full scale, as analysis/instruments.py
    computes it (beta 20)."""
    y = tone - np.mean(tone)
    win = np.kaiser(len(y), 20.0)
    mag = np.abs(np.fft.rfft(y * win)) * 2 / np.sum(win)
    return np.fft.rfftfreq(len(y), 1 / RATE), 20 * np.log10(mag / 32768.0 + 1e-30)


def plot_spectrum(ax, close, tone, res):
    f, db = spectrum_db(tone)
    ax.plot(f / 1000, db, lw=0.5)
    ax.set_xlim(0, RATE / 2000)
    ax.set_ylim(-180, 5)
    ax.set_xlabel("frequency (kHz)")
    ax.set_ylabel("dBFS")
    ax.set_title(f"3150 Hz at the consumer, {len(tone)} samples; median SINAD "
                 f"{res['sinad_db']} dB over {res['sinad_windows']} windows of 0.1 s",
                 fontsize=10)
    ax.grid(alpha=0.3)
    near = (f > 3150 - 150) & (f < 3150 + 150)
    close.plot(f[near], db[near], lw=0.7)
    close.set_ylim(-180, 5)
    close.set_xlabel("frequency (Hz)")
    close.set_title("3150 +- 150 Hz, where a wobbling\nratio's sidebands would stand",
                    fontsize=9)
    close.grid(alpha=0.3)


def main(argv):
    if len(argv) != 2:
        print("usage: plot_bridge.py DIR", file=sys.stderr)
        return 2
    d = Path(argv[1])
    line, res = read_result(d / "result.txt")
    series = read_rows(d / "series.csv")
    start = read_rows(d / "start.csv")
    tone = np.loadtxt(d / "tone.csv", comments="#")
    what = (f"{res['converter']}, {res['ppm']} ppm +- {res['wander']}, "
            f"jitter {res['jitter_ms']} ms, blocks {res['in_block']}/{res['out_block']}, "
            f"target {res['target_frames']} of {res['capacity']} frames")

    fig, ax = plt.subplots(figsize=(10, 4.5))
    plot_fill(ax, series, res, "FIFO fill: " + what)
    caption(fig, line)
    fig.tight_layout(rect=(0, 0.05, 1, 1))
    fig.savefig(d / "fill.png", dpi=110)
    plt.close(fig)

    if series["t_s"][-1] > 2 * 3600:
        # A long run: the whole of it, its first hour, and the error.
        fig, (a1, a0, a2) = plt.subplots(3, 1, figsize=(10, 8),
                                         gridspec_kw={"height_ratios": [2, 2, 1]})
        plot_ratio(a1, series, "Ratio: " + what)
        hour = series[series["t_s"] <= 3600]
        plot_ratio(a0, hour, "")
        a0.set_title("the first hour", fontsize=9)
    else:
        fig, (a1, a2) = plt.subplots(2, 1, figsize=(10, 6), sharex=True,
                                     gridspec_kw={"height_ratios": [2, 1]})
        plot_ratio(a1, series, "Ratio: " + what)
    plot_ratio_error(a2, series)
    caption(fig, line)
    fig.tight_layout(rect=(0, 0.05, 1, 1))
    fig.savefig(d / "ratio.png", dpi=110)
    plt.close(fig)

    if len(start) > 1:
        fig, (a1, a2, a3) = plt.subplots(3, 1, figsize=(10, 8), sharex=True,
                                         gridspec_kw={"height_ratios": [2, 2, 1]})
        plot_fill(a1, start, res, "The first minute at 10 ms: " + what)
        a1.set_xlabel("")
        plot_ratio(a2, start, "")
        a2.set_xlabel("")
        a2.set_ylim(float(np.min(start["true_ppm"])) - 300, float(np.max(start["true_ppm"])) + 300)
        # The loop's time constant: 2^shift updates of in-block frames, or
        # with timestamps the producer's line's, 2^shift frames.
        frames = 1 if res.get("timestamps") == "yes" else int(res["in_block"])
        tau = 2.0 ** start["servo_shift"] * frames / RATE
        a3.step(start["t_s"], tau, where="post", color="tab:green", lw=1)
        a3.set_yscale("log", base=2)
        a3.set_ylabel("loop time\nconstant (s)")
        a3.set_xlabel("time (s)")
        a3.grid(alpha=0.3)
        caption(fig, line)
        fig.tight_layout(rect=(0, 0.05, 1, 1))
        fig.savefig(d / "start.png", dpi=110)
        plt.close(fig)

    if len(tone) >= 1024:
        fig, (ax, close) = plt.subplots(1, 2, figsize=(11, 4.5),
                                        gridspec_kw={"width_ratios": [3, 1]})
        plot_spectrum(ax, close, tone, res)
        caption(fig, line)
        fig.tight_layout(rect=(0, 0.05, 1, 1))
        fig.savefig(d / "spectrum.png", dpi=110)
        plt.close(fig)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
