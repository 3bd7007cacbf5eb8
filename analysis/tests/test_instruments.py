"""Each instrument recovers a known answer from a signal built to have it."""

import numpy as np
import pytest

import instruments as ins

N = 65536
n = np.arange(N)


@pytest.mark.parametrize("freq,amp,sigma", [
    (997 / 48000, 20000.0, 2.0),      # 77.0 dB
    (19 / 48000, 30000.0, 300.0),     # 37 dB, few cycles in the window
    (0.4123, 1000.0, 0.05),           # near Nyquist, 83 dB
    (997 / 48000, 1.9e9, 40.0),       # Q1.31 scale, 150.5 dB
])
def test_sinad_of_sine_plus_known_noise(freq, amp, sigma):
    rng = np.random.default_rng(7)
    y = amp * np.sin(2 * np.pi * freq * n + 1.1) + 12.5 + rng.normal(0, sigma, N)
    fit = ins.sine_fit(y)
    assert fit.freq == pytest.approx(freq, rel=1e-6)
    assert fit.offset == pytest.approx(12.5, abs=5 * sigma / np.sqrt(N) + 1e-9)
    # The noise power itself is estimated from N samples: about 0.5 % spread.
    assert ins.sinad_db(y, fit) == pytest.approx(20 * np.log10(amp / np.sqrt(2) / sigma), abs=0.1)


def test_sinad_of_rounded_sine_meets_the_ideal_16_bit_bound():
    level = -1.0
    y = np.rint(32767 * 10 ** (level / 20) * np.sin(2 * np.pi * 0.0208713 * n))
    assert ins.sinad_db(y) == pytest.approx(ins.ideal_sinad_db(level), abs=0.3)


@pytest.mark.parametrize("y,expected", [
    (np.zeros(4800), float("-inf")),             # silence: no tone at all
    (np.full(4800, 7.0), float("-inf")),         # a constant: no tone either
])
def test_sinad_of_no_tone_is_minus_infinity_not_nan(y, expected):
    assert ins.sinad_db(y) == expected


@pytest.mark.parametrize("dbc,ratio", [(-60.0, 3.3), (-95.0, 0.61), (-120.0, 7.77)])
def test_largest_spur_recovers_a_known_tone(dbc, ratio):
    f = 1234.5 / 48000
    y = 20000 * np.sin(2 * np.pi * f * n) + 20000 * 10 ** (dbc / 20) * np.sin(2 * np.pi * ratio * f * n)
    level, where = ins.largest_spur_dbc(y)
    assert level == pytest.approx(dbc, abs=0.3)
    assert where == pytest.approx(ratio * f, abs=2.0 / N)


@pytest.mark.parametrize("delay", [0.0, 0.1, 0.37, 0.9, 1.0])
@pytest.mark.parametrize("freq", [100 / 48000, 5000 / 48000, 20000 / 48000])
def test_phase_delay_of_a_known_delay(delay, freq):
    x = 20000 * np.sin(2 * np.pi * freq * n)
    y = 20000 * np.sin(2 * np.pi * freq * (n - delay))
    assert ins.phase_delay(x, y, freq) == pytest.approx(delay, abs=1e-6)
    # Quantised to 16 bits the delay is still found to a few millionths.
    assert ins.phase_delay(np.rint(x), np.rint(y), freq) == pytest.approx(delay, abs=2e-4)


def test_thd_n_of_known_harmonics_excludes_what_lies_outside_the_band():
    fs = 48000.0
    f = 997 / fs
    h = {2: 10 ** (-60 / 20), 3: 10 ** (-70 / 20), 5: 10 ** (-80 / 20)}
    y = np.sin(2 * np.pi * f * n) + 0.25
    for k, a in h.items():
        y += a * np.sin(2 * np.pi * k * f * n + k)
    # 22 kHz and 10 Hz lie outside 20 Hz-20 kHz: part of the total, not of THD+N.
    out_of_band = 0.01 * np.sin(2 * np.pi * 22000 / fs * n) + 0.01 * np.sin(2 * np.pi * 10 / fs * n)
    y += out_of_band
    harm = sum(a * a for a in h.values()) / 2
    total = 0.5 + harm + np.mean(out_of_band ** 2)
    assert ins.thd_n_db(y, fs) == pytest.approx(10 * np.log10(harm / total), abs=0.1)


def test_thd_n_of_white_noise_counts_only_the_band_share():
    rng = np.random.default_rng(3)
    sigma = 0.01
    y = np.sin(2 * np.pi * 997 / 48000 * n) + rng.normal(0, sigma, N)
    share = (20000 - 20) / 24000
    expected = 10 * np.log10(share * sigma ** 2 / (0.5 + sigma ** 2))
    assert ins.thd_n_db(y, 48000.0) == pytest.approx(expected, abs=0.1)
