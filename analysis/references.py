"""The converter's rule in int64 numpy, and the reference converters that are
measured beside it at exactly the same ratio.

Everything here is driven by one phase schedule: with a constant step the
phase of every input is known in advance (it restarts at each drop or insert
and moves by the step otherwise), so the schedule is computed once per step
and shared by the int64 rule, the drop/insert converter and the linear
interpolator.  The tests hold the schedule and the int64 rule bit-exact against
the real module on input that does not wrap.
"""

import functools

import numpy as np
from scipy import signal

ONE = 16384
INT16_MIN, INT16_MAX = -32768, 32767

NORMAL, DROP, INSERT = 0, 1, 2


def period_inputs(step):
    """Inputs per drop or insert period (P + 1), or None for step 0."""
    if step == 0:
        return None
    return ONE // abs(step) + 1


def outputs_per_period(step):
    """Outputs given by one period: P for drops, P + 2 for inserts."""
    p = ONE // abs(step)
    return p if step > 0 else p + 2


def ratio_obtained(step):
    """Output count / input count over whole periods, as an exact fraction
    (numerator, denominator)."""
    if step == 0:
        return 1, 1
    p = ONE // abs(step)
    return (p, p + 1) if step > 0 else (p + 2, p + 1)


def schedule(n, step):
    """Kind (NORMAL, DROP, INSERT) and interpolation phase of each of n inputs
    fed to a converter just reset.  Only steps in -16384..16384 are covered
    (beyond that every input drops or inserts, which the report never asks)."""
    if not -ONE <= step <= ONE:
        raise ValueError("step outside -16384..16384")
    i = np.arange(n, dtype=np.int64)
    kind = np.zeros(n, dtype=np.int8)
    if step == 0:
        return kind, np.zeros(n, dtype=np.int64)
    s = abs(step)
    m = i % (ONE // s + 1)
    if step > 0:
        # From phase 0 the phase reaches P*s <= 16384 after P inputs; the next
        # one would pass a whole sample and is dropped, the phase restarting at 0.
        last = ONE // s
        phase = (m + 1) * s
        kind[m == last] = DROP
        phase[m == last] = 0
    else:
        # The first input after a reset (phase 0 - s < 0) is an insert; the
        # phase restarts at a whole sample and then falls by s per input.
        phase = ONE - m * s
        kind[m == 0] = INSERT
    return kind, phase


def wrap16(v):
    """Keeps the low 16 bits, as the converter stores every result."""
    return ((np.asarray(v, dtype=np.int64) + 32768) & 0xFFFF) - 32768


def rule_int64(x, step, wrap=False):
    """Runs the converter's rule on x (shape (n,) or (n, columns)), every
    column a separate stream sharing the step, from reset.

    wrap=False keeps every result unwrapped in int64, so that a result leaving
    the 16-bit range shows as such (the feedback then carries the unwrapped
    value: after the first wrap the output is no longer the module's, but it
    shows whether a wrap happened at all).  wrap=True stores results as the
    module does.  Returns an int64 array of shape (outputs,) or (outputs, columns).
    """
    x = np.asarray(x, dtype=np.int64)
    one_d = x.ndim == 1
    if one_d:
        x = x[:, None]
    n, cols = x.shape
    kind, phase = schedule(n, step)
    out = np.empty((n + int(np.count_nonzero(kind == INSERT)), cols), dtype=np.int64)
    in_prev = np.zeros(cols, dtype=np.int64)
    out_prev = np.zeros(cols, dtype=np.int64)
    k = 0
    # The time loop is in Python (the recursion cannot be vectorised across
    # time: the floor makes it nonlinear); the columns carry the speed.
    for i in range(n):
        xi = x[i]
        kd = kind[i]
        if kd == DROP:
            out_prev = in_prev
            in_prev = xi
            continue
        if kd == INSERT:
            out[k] = in_prev
            k += 1
            out_prev = in_prev
        y = in_prev + ((int(phase[i]) * (xi - out_prev)) >> 14)
        if wrap:
            y = wrap16(y)
        out[k] = y
        k += 1
        out_prev = y
        in_prev = xi
    out = out[:k]
    return out[:, 0] if one_d else out


def _interpolated(x, step, fraction_of):
    """Shared body of the drop/insert and linear converters: one output per
    kept input (two at an insert), the value x[i-1] + eta * (x[i] - x[i-1])
    with eta = fraction_of(phase)."""
    x = np.asarray(x, dtype=np.float64)
    n = len(x)
    kind, phase = schedule(n, step)
    prev = np.concatenate(([0.0], x[:-1]))
    keep = kind != DROP
    idx = np.nonzero(keep)[0]
    eta = fraction_of(phase[idx])
    vals = prev[idx] + eta * (x[idx] - prev[idx])
    ins = kind[idx] == INSERT
    if np.any(ins):
        # The insert outputs the previous input before the current one.
        pos = np.nonzero(ins)[0]
        vals = np.insert(vals, pos, prev[idx[pos]])
    return to_int16(vals)


def to_int16(v):
    """Rounds to nearest and saturates: the reference converters' outputs are
    compared as 16-bit samples, like the converter's."""
    return np.clip(np.rint(v), INT16_MIN, INT16_MAX).astype(np.int16)


def drop_insert(x, step):
    """The floor: the same phase accumulator decides where to drop or repeat a
    sample, and every other output is the input one sample late (the
    converter's delay at phase 0), with no interpolation."""
    return _interpolated(x, step, lambda ph: np.zeros(len(ph)))


def linear(x, step):
    """Linear interpolation between x[i-1] and x[i] at the fraction
    phase / 16384: the same cost class and the same accumulator, but a delay
    exactly linear in the phase."""
    return _interpolated(x, step, lambda ph: ph / ONE)


@functools.lru_cache(maxsize=8)
def polyphase_filter(up, down, taps_per_phase=96, beta=12.0, cutoff=0.95):
    """Kaiser-windowed sinc for resample_poly: taps_per_phase taps on each
    polyphase branch (about 3.9 kHz of transition at 48 kHz), stopband near
    120 dB, the -6 dB point at 0.95 of the lower Nyquist rate."""
    max_rate = max(up, down)
    numtaps = taps_per_phase * max_rate + 1
    return signal.firwin(numtaps, cutoff / max_rate, window=("kaiser", beta))


def polyphase(x, step):
    """The ceiling: scipy.signal.resample_poly at exactly the ratio the step
    gives (P/(P+1) or (P+2)/(P+1)), rounded to int16."""
    up, down = ratio_obtained(step)
    x = np.asarray(x, dtype=np.float64)
    if up == down:
        return to_int16(x)
    h = polyphase_filter(up, down)
    return to_int16(signal.resample_poly(x, up, down, window=h))
