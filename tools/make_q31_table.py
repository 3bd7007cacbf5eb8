#!/usr/bin/python3
"""Writes converter/internal/q31_table.h: the prototype lowpass of the 24-bit
converter (asrc_q31.h) as cubic pieces, 64 per input sample, with integer
coefficients at 2^30.

    /usr/bin/python3 tools/make_q31_table.py [OUTPUT]

The committed header, not this script, defines the converter: its integers
are what every platform computes with.  The script records how they were
made; the test suite runs it and compares its output with the committed file.

Design: a Kaiser-windowed sinc spanning 192 input samples (-96..+96),
cutoff 0.475 of the input rate, beta 14.5.  Its response: flat within
0.0004 dB to 0.4535 of the rate (20 kHz at 44.1 kHz), at least 140 dB down
from 0.499 of the rate on (the output's Nyquist frequency at the largest
ratio that uses the filter unstretched), 145 dB from 0.5.

Each piece covers 1/64 of an input sample: h(x0 + u / 64) for u in [0, 1) is
a cubic in u, a0 + a1 u + a2 u^2 + a3 u^3, through h at the four Chebyshev
nodes of the piece (within 3e-10 of h everywhere, below the coefficients'
own rounding of 2^-31).  Each row's terms are rounded so that the constant
terms sum to exactly 2^30 and the others to 0: the converter's gain at DC
is exactly one at every fraction.  Piece g starts at x0 = -96 + g / 64.  The pieces
are laid out for the converter's common case, in which every tap of an
output shares one fraction: row p (0..63) holds, for tap j = 0..191 (the
oldest input first), piece (191 - j) * 64 + p.
"""
import sys

import numpy as np

TAPS = 192
PIECES = 64  # per input sample
CUTOFF = 0.475
BETA = 14.5
SCALE = 1 << 30


def h(x):
    w = np.i0(BETA * np.sqrt(np.clip(1 - (x / (TAPS / 2)) ** 2, 0, None))) / np.i0(BETA)
    return 2 * CUTOFF * np.sinc(2 * CUTOFF * x) * w


def pieces():
    """The cubic of every piece, in order of g: shape (TAPS * PIECES, 4)."""
    nodes = (1 - np.cos(np.pi * (np.arange(4) + 0.5) / 4)) / 2
    v = np.vander(nodes, 4, increasing=True)
    g = np.arange(TAPS * PIECES)
    x0 = -TAPS / 2 + g / PIECES
    values = h(x0[:, None] + nodes[None, :] / PIECES)  # (pieces, 4)
    return np.linalg.solve(v[None, :, :], values[..., None])[..., 0]


def table():
    exact = pieces() * SCALE
    rows = np.empty((4, PIECES, TAPS), dtype=np.int64)
    for p in range(PIECES):
        g = (TAPS - 1 - np.arange(TAPS)) * PIECES + p
        for k in range(4):
            rows[k, p, :] = balance(exact[g, k], SCALE if k == 0 else 0)
    return rows


def balance(exact, total):
    """Rounds a row of one cubic term to integers, then moves the fewest
    entries by one unit (those whose rounding erred most the other way)
    until the row sums to `total`: 2^30 for the constant terms, 0 for the
    others, so that at every fraction the taps sum to exactly one and DC
    passes unchanged.  The true sums differ from those by the filter's
    aliasing (below 1e-7), so only a few entries move."""
    r = np.rint(exact).astype(np.int64)
    short = total - int(r.sum())
    err = exact - r  # > 0: rounded down
    order = np.argsort(-err) if short > 0 else np.argsort(err)
    assert abs(short) <= len(r)
    r[order[:abs(short)]] += 1 if short > 0 else -1
    return r


def check(rows):
    """The bounds the converter's arithmetic relies on."""
    assert np.abs(rows).max() < 2**31
    # Horner's partial results stay within int32 and the sum of the taps'
    # magnitudes below 4 (so that 192 products of Q1.31 samples and Q1.30
    # coefficients cannot overflow 64 bits): checked on a fine grid of u.
    u = np.linspace(0, 1, 257)[:-1]
    a0, a1, a2, a3 = (rows[k].astype(np.float64) for k in range(4))
    worst_l1 = 0.0
    for uu in u:
        t = a3 * uu + a2
        assert np.abs(t).max() < 2**31
        t = t * uu + a1
        assert np.abs(t).max() < 2**31
        c = t * uu + a0
        worst_l1 = max(worst_l1, np.abs(c).sum(axis=1).max() / SCALE)
    assert worst_l1 < 3.9, worst_l1
    assert (rows[0].sum(axis=1) == SCALE).all() and (rows[1:].sum(axis=2) == 0).all()
    return worst_l1


def render(rows, l1):
    out = []
    out.append("// q31_table.h - made by tools/make_q31_table.py; do not edit.\n")
    out.append("// The 24-bit converter's prototype lowpass as cubic pieces (see the\n")
    out.append("// script for the design): kQ31Coef[k][p][j] is coefficient a_k of tap j\n")
    out.append("// in row p, at 2^30.  The largest sum of the taps' magnitudes at any\n")
    out.append(f"// fraction is {l1:.4f}.\n")
    out.append("#ifndef ASRC_Q31_TABLE_H\n#define ASRC_Q31_TABLE_H\n\n#include <stdint.h>\n\n")
    out.append(f"#define ASRC_Q31_TABLE_TAPS {TAPS}\n#define ASRC_Q31_TABLE_PIECES {PIECES}\n\n")
    out.append(f"alignas(64) static constexpr int32_t kQ31Coef[4][{PIECES}][{TAPS}] = {{\n")
    for k in range(4):
        out.append("{\n")
        for p in range(PIECES):
            out.append("{")
            vals = rows[k, p]
            for i in range(0, TAPS, 12):
                out.append(",".join(str(int(v)) for v in vals[i:i + 12]))
                out.append(",\n" if i + 12 < TAPS else "")
            out.append("},\n")
        out.append("},\n")
    out.append("};\n\n#endif\n")
    return "".join(out)


def main():
    rows = table()
    l1 = check(rows)
    text = render(rows, l1)
    if len(sys.argv) > 1:
        with open(sys.argv[1], "w") as f:
            f.write(text)
    else:
        sys.stdout.write(text)


if __name__ == "__main__":
    main()
