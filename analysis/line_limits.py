#!/usr/bin/env python3
"""How well any estimator can know a clock's rate from its blocks' times.

A side's blocks come every B frames, each late by a random 0 to J ms (the
simulator's lateness, asrc-bridge-sim --jitter-ms J).  The rate controller
must learn the clock's rate from the blocks' stamps: this prints, for a
span of T seconds of blocks, the rms error of the rate, in ppm, that three
estimators reach over many such spans:

  least squares   the line through all the blocks (a mean: lateness of
                  any shape);
  earliest edge   the line along the earliest blocks: the edge of their
                  upper hull that spans the middle of the run (blocks are
                  never early, so this edge holds however long the late
                  tail; what the servo's lines approximate window by window);
  edge, 8 bins    the same edge from only the earliest block of each
                  eighth of the span (what a microcontroller can keep);
  both edges      the mean of the earliest edge and the latest one: it
                  needs lateness with a known bound, which a real machine's
                  scheduling does not give, so it is shown only as a floor.

The servo's lock (asrc-bridge-sim: the ratio within 50 ppm of the clocks'
from then on) takes two lines, producer and consumer, whose errors add.

Usage: line_limits.py [--trials N] [--seed S]
"""

import argparse

import numpy as np

RATE = 48000.0


def least_squares(t, y):
    return np.polyfit(t, y, 1)[0]


def upper_bridge(t, y, sign=1.0):
    """Slope of the hull edge (upper for sign 1, lower for -1) that spans
    the middle: the best block of each half against the slope found so far,
    until the pair no longer changes (Kirkpatrick-Seidel's bridge)."""
    h = len(t) // 2
    r = 1.0
    pair = None
    for _ in range(20):
        s = sign * (y - r * t)
        a = int(np.argmax(s[:h]))
        b = h + int(np.argmax(s[h:]))
        if pair == (a, b):
            break
        pair = (a, b)
        r = (y[b] - y[a]) / (t[b] - t[a])
    return r


def binned_edge(t, y, bins=8):
    """The earliest edge from the earliest block of each of `bins` equal
    spans only: what a microcontroller can keep (two words a bin)."""
    edges = np.linspace(t[0], t[-1], bins + 1)
    which = np.minimum(np.searchsorted(edges, t, side="right") - 1, bins - 1)
    keep = [int(np.flatnonzero(which == b)[np.argmax((y - t)[which == b])])
            for b in range(bins) if np.any(which == b)]
    return upper_bridge(t[keep], y[keep])


def both_edges(t, y):
    return 0.5 * (upper_bridge(t, y, 1.0) + upper_bridge(t, y, -1.0))


ESTIMATORS = (("least squares", least_squares), ("earliest edge", upper_bridge),
              ("edge, 8 bins", binned_edge), ("both edges", both_edges))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--trials", type=int, default=300)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    rng = np.random.default_rng(args.seed)
    rate = 1 + 100e-6  # the clock: +100 ppm (any offset gives the same errors)
    print(f"rms rate error of one line, ppm, over {args.trials} spans (seed {args.seed})")
    print(f"{'block':>6} {'late ms':>7} {'span s':>6} {'blocks':>6} " +
          " ".join(f"{name:>14}" for name, _ in ESTIMATORS))
    for block, late_ms, span in ((1024, 2, 4), (1024, 1, 4), (1024, 2, 8), (256, 2, 4),
                                 (48, 2, 4), (1024, 2, 20), (48, 2, 20)):
        n = int(span * RATE / block)
        errors = {name: [] for name, _ in ESTIMATORS}
        for _ in range(args.trials):
            # Block k's last frame counted at k B / rate frames of time;
            # stamped late by 0 .. J ms.
            t = np.arange(n) * block / rate + rng.uniform(0, late_ms * RATE / 1000, n)
            y = np.arange(n) * float(block)
            for name, f in ESTIMATORS:
                errors[name].append((f(t, y) - rate) * 1e6)
        print(f"{block:>6} {late_ms:>7} {span:>6} {n:>6} " +
              " ".join(f"{np.sqrt(np.mean(np.square(e))):>14.1f}" for e in errors.values()))


if __name__ == "__main__":
    main()
