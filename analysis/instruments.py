"""Measuring instruments: four-parameter sine fit and SINAD, largest spur,
THD+N, phase delay.  Each works on a plain sequence of samples and knows
nothing about the converter; analysis/tests holds them against signals built
to have a known answer."""

import functools
from dataclasses import dataclass

import numpy as np
from scipy.signal import windows

# Kaiser beta 20: sidelobes near -150 dB, below any 16-bit noise floor, so
# the window's own leakage never shows as a spur; main lobe about +-6.5 bins.
SPUR_WINDOW_BETA = 20.0
SPUR_GUARD_BINS = 10
SPUR_LOBE_BINS = 6


@functools.lru_cache(maxsize=8)
def _kaiser(n):
    w = windows.kaiser(n, SPUR_WINDOW_BETA, sym=False)
    w.flags.writeable = False
    return w


@dataclass
class SineFit:
    freq: float       # cycles per sample
    amplitude: float
    phase: float      # radians at n = 0 (model: A cos(w n + phase) + offset)
    offset: float
    residual: np.ndarray

    def model(self, n):
        return self.amplitude * np.cos(2 * np.pi * self.freq * n + self.phase) + self.offset


def _peak_freq(y):
    """Coarse frequency (cycles/sample) from the Hann-windowed spectrum's
    peak, refined by a parabola through the log magnitudes."""
    n = len(y)
    mag = np.abs(np.fft.rfft((y - np.mean(y)) * np.hanning(n)))
    k = int(np.argmax(mag[1:])) + 1
    if 1 <= k < len(mag) - 1:
        a, b, c = np.log(mag[k - 1:k + 2] + 1e-300)
        den = a - 2 * b + c
        k = k + (0.5 * (a - c) / den if den != 0 else 0.0)
    return k / n


def _lstsq(m, y):
    """Least squares with each column scaled to unit length first: the
    frequency column grows with the amplitude times the length, and at
    32-bit amplitudes it would otherwise be 1e13 times the offset's, below
    lstsq's cut-off for a singular value, so the offset and the frequency
    step would be dropped and the fit stall near 70 dB."""
    norms = np.linalg.norm(m, axis=0)
    norms[norms == 0] = 1.0
    return np.linalg.lstsq(m / norms, y, rcond=None)[0] / norms


def sine_fit(y, freq=None, iterations=8):
    """Four-parameter least-squares sine fit (IEEE 1057): three-parameter
    fit at the current frequency, then Newton steps on frequency, amplitude,
    phase and offset together until the frequency settles.  With freq given
    and iterations=0 it is the three-parameter fit at that frequency."""
    y = np.asarray(y, dtype=np.float64)
    n = len(y)
    # Time centred on the window keeps the frequency column uncorrelated with
    # the others, which keeps the normal equations well conditioned.
    t = np.arange(n, dtype=np.float64) - (n - 1) / 2
    w = 2 * np.pi * (freq if freq is not None else _peak_freq(y))
    ones = np.ones(n)
    for it in range(iterations + 1):
        c, s = np.cos(w * t), np.sin(w * t)
        if it == 0:
            m = np.column_stack((c, s, ones))
            a, b, d = _lstsq(m, y)
            continue
        m = np.column_stack((c, s, ones, t * (-a * s + b * c)))
        a, b, d, dw = _lstsq(m, y)
        w += dw
        if abs(dw) < 1e-13:
            break
    c, s = np.cos(w * t), np.sin(w * t)
    a, b, d = _lstsq(np.column_stack((c, s, ones)), y)
    fit = a * c + b * s + d
    amp = float(np.hypot(a, b))
    # A cos(w t) + B sin(w t) = amp cos(w t - atan2(B, A)); refer it to n = 0.
    phase = float(-np.arctan2(b, a) - w * (n - 1) / 2)
    return SineFit(w / (2 * np.pi), amp, phase, float(d), y - fit)


def sinad_db(y, fit=None):
    """SINAD in dB: rms of the fitted sine over rms of everything else.

    A window without a tone (silence, a muted or lost stream) is -inf, not
    NaN: 0/0 turned every median and minimum it entered into NaN, which
    printed as a figure (sinad_1s_median_db=nan). A tone without any error
    is +inf."""
    fit = fit or sine_fit(y)
    signal = fit.amplitude / np.sqrt(2)
    noise = float(np.sqrt(np.mean(fit.residual ** 2)))
    # No tone: none at all, or one at the arithmetic's own level.
    if signal <= 1e-9 * float(np.sqrt(np.mean(np.square(y, dtype=float)))):
        return float("-inf")
    if noise == 0:
        return float("inf")
    return 20 * np.log10(signal / noise)


def spectrum_db(y, full_scale=32768.0):
    """Kaiser-windowed amplitude spectrum in dB re a full-scale sine, so that
    a sine of amplitude A reads 20 log10(A / full_scale) at its peak."""
    y = np.asarray(y, dtype=np.float64)
    win = _kaiser(len(y))
    mag = np.abs(np.fft.rfft((y - np.mean(y)) * win)) * 2 / np.sum(win)
    return 20 * np.log10(mag / full_scale + 1e-30)


def largest_spur_dbc(y, guard=SPUR_GUARD_BINS):
    """The highest spectral peak outside the fundamental's main lobe and DC,
    relative to the fundamental, in dBc; also its frequency in cycles/sample.
    Each level is the power summed over its main lobe, so that where a tone
    falls between bins (scalloping) does not move it."""
    y = np.asarray(y, dtype=np.float64)
    n = len(y)
    win = _kaiser(n)
    power = np.abs(np.fft.rfft((y - np.mean(y)) * win)) ** 2
    k0 = int(np.argmax(power[guard + 1:])) + guard + 1
    mask = np.ones(len(power), dtype=bool)
    mask[:guard + 1] = False
    mask[max(0, k0 - guard):k0 + guard + 1] = False
    k = int(np.argmax(np.where(mask, power, -np.inf)))
    lobe = SPUR_LOBE_BINS

    def level(kk):
        return np.sum(power[max(0, kk - lobe):kk + lobe + 1])

    return float(10 * np.log10(level(k) / level(k0))), k / n


def thd_n_db(y, fs, band=(20.0, 20000.0)):
    """THD+N in dB: the fundamental notched out by the sine fit, the rest
    limited to the band, as a ratio to the total rms of the signal (less DC).
    The band power comes from a Kaiser-windowed spectrum normalised by the
    window's energy (Parseval), so that what lies just outside the band does
    not leak into it as it would through a bare FFT."""
    fit = sine_fit(y)
    res = fit.residual
    n = len(res)
    win = _kaiser(n)
    power = np.abs(np.fft.rfft(res * win)) ** 2
    power[1:(n + 1) // 2] *= 2  # one-sided: every bin but DC and Nyquist counts twice
    f = np.fft.rfftfreq(n, 1.0 / fs)
    in_band = np.sum(power[(f >= band[0]) & (f <= band[1])]) / (n * np.sum(win ** 2))
    total = np.asarray(y, dtype=np.float64) - np.mean(y)
    return 10 * np.log10(in_band / np.mean(total ** 2))


def phase_delay(x, y, freq):
    """Delay of y behind x in samples, from three-parameter fits at the known
    frequency (cycles per sample); the same index range is used for both.
    Unambiguous for delays below half a period."""
    fx = sine_fit(x, freq=freq, iterations=0)
    fy = sine_fit(y, freq=freq, iterations=0)
    dphi = np.angle(np.exp(1j * (fx.phase - fy.phase)))
    return dphi / (2 * np.pi * freq)


def ideal_sinad_db(level_db, bits=16):
    """SINAD of an ideal sine quantised to `bits`, at level_db re full scale."""
    return 6.02 * bits + 1.76 + level_db
