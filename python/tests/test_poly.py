"""asrc.PolyConverter and its helpers: bit for bit against the converter's
definition written in int64 numpy from the table header, the contract as
Python sees it, and the quality the converter must keep (SINAD of conditioned
-1 dBFS tones by sine fit, alias and image suppression, gain).

Run from CTest (python_module), or by hand:
    PYTHONPATH=build/python /usr/bin/python3 -m pytest python/tests/test_poly.py
"""
import pathlib
import re
import sys

import numpy as np
import pytest

import asrc

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "analysis"))
import instruments as ins  # noqa: E402

ONE = asrc.POLY_RATIO_ONE
FULL_BAND = 0x40A71DE7


def full_table():
    """The whole prototype, q = 0..32768, from the committed header."""
    text = (ROOT / "converter" / "internal" / "poly_table.h").read_text()
    body = text.split("kHalfTable[16385] = {")[1].split("};")[0]
    half = np.array([int(v) for v in re.findall(r"-?\d+", body)], dtype=np.int64)
    assert len(half) == 16385
    return np.concatenate((half, half[-2::-1]))


TABLE = full_table()


def stride(ratio):
    return 256 if ratio <= FULL_BAND else (FULL_BAND << 8) // ratio


def delay(ratio):
    m = stride(ratio)
    return (16384 + m - 1) // m


def reference(x, ratio):
    """Every output whose time k * ratio lies within the input, from the
    definition: taps at table positions 16384 + m j - a, each coefficient
    interpolated with a 15-bit weight, summed exactly, rounded, clipped."""
    x = np.asarray(x, dtype=np.int64)
    count = -(-(len(x) << 30) // ratio)
    t = np.arange(count, dtype=np.int64) * ratio
    n, mu = t >> 30, t & ((1 << 30) - 1)
    m = stride(ratio)
    sm = m * mu
    a, phi = sm >> 30, (sm >> 15) & 0x7FFF
    padded = np.concatenate((np.zeros(200, np.int64), x, np.zeros(200, np.int64)))
    total = np.zeros(count, dtype=np.int64)
    for j in range(-128, 129):
        q = 16384 + m * j - a
        f = np.where((q >= 0) & (q <= 32768), TABLE[np.clip(q, 0, 32768)], 0)
        f1 = np.where((q - 1 >= 0) & (q - 1 <= 32768), TABLE[np.clip(q - 1, 0, 32768)], 0)
        total += padded[n + j + 200] * (f * 32768 + phi * (f1 - f))
    y = (total * m + (1 << 42)) >> 43
    return np.clip(y, -32768, 32767)


RATIOS = [ONE, asrc.poly_ratio(48000, 47520), asrc.poly_ratio(44100, 48000),
          asrc.poly_ratio(48000, 44100), asrc.POLY_RATIO_MIN, asrc.POLY_RATIO_MAX, FULL_BAND + 1]


@pytest.mark.parametrize("ratio", RATIOS)
def test_module_equals_the_definition_bit_for_bit(ratio):
    rng = np.random.default_rng(ratio)
    x = rng.integers(-32768, 32768, 3000).astype(np.int16)
    want = reference(x, ratio)
    assert np.array_equal(asrc.poly_convert(x, ratio), want)
    # Fed in uneven pieces (and a reversed view's copy), the due outputs are
    # the same ones, the rest following once the delay's zeros arrive.
    c = asrc.PolyConverter(ratio)
    cuts = np.sort(rng.integers(0, len(x), 12))
    got = [c.process(p) for p in np.split(x, cuts)]
    got.append(c.process(np.zeros(delay(ratio), dtype=np.int16)))
    assert np.array_equal(np.concatenate(got)[:len(want)], want)
    assert np.array_equal(asrc.poly_convert(x[::-1].copy(), ratio),
                          asrc.poly_convert(x[::-1], ratio))


def test_rates_ratio_and_properties():
    assert asrc.poly_ratio(44100, 48000) == 986500301
    assert asrc.poly_ratio(48000, 48000) == ONE
    c = asrc.PolyConverter(44100, 48000)
    assert (c.ratio, c.delay, c.clipped) == (986500301, 64, 0)
    assert c.input_held == -ONE
    assert asrc.PolyConverter(asrc.POLY_RATIO_MAX).delay == asrc.poly_delay(asrc.POLY_RATIO_MAX) == 128
    c.set_ratio(ONE)
    assert c.ratio == ONE
    c.process(np.ones(1000, dtype=np.int16))
    c.reset()
    assert (c.ratio, c.input_held) == (ONE, -ONE)


@pytest.mark.parametrize("call, error", [
    (lambda: asrc.poly_ratio(1, 3), ValueError),
    (lambda: asrc.poly_ratio(0, 48000), ValueError),
    (lambda: asrc.poly_ratio(48000.0, 44100), TypeError),
    (lambda: asrc.PolyConverter(asrc.POLY_RATIO_MAX + 1), ValueError),
    (lambda: asrc.PolyConverter(asrc.POLY_RATIO_MIN - 1), ValueError),
    (lambda: asrc.PolyConverter(1.0), TypeError),
    (lambda: asrc.PolyConverter(96000, 44100), ValueError),
    (lambda: asrc.PolyConverter(ONE).set_ratio(0), ValueError),
    (lambda: asrc.PolyConverter(ONE).process(np.zeros(4, dtype=np.float32)), TypeError),
    (lambda: asrc.PolyConverter(ONE).process(np.zeros((2, 2), dtype=np.int16)), ValueError),
    (lambda: asrc.poly_convert([1, 2, 3], ONE), TypeError),
])
def test_bad_arguments_are_refused(call, error):
    with pytest.raises(error):
        call()


def test_a_refused_ratio_leaves_the_converter_as_it_was():
    c = asrc.PolyConverter(ONE)
    with pytest.raises(ValueError):
        c.set_ratio(3 * ONE)
    assert c.ratio == ONE


@pytest.mark.parametrize("ratio", [asrc.poly_ratio(44100, 48000), asrc.poly_ratio(48000, 44100)])
def test_a_click_comes_out_at_its_time(ratio):
    x = np.zeros(4000, dtype=np.int16)
    x[1234] = 20000
    y = asrc.poly_convert(x, ratio).astype(np.float64)
    assert len(y) == -(-(4000 << 30) // ratio)
    # Centre of the filter's response: the click's time in outputs.
    k = np.arange(len(y))
    peak = np.sum(k * y ** 2) / np.sum(y ** 2)
    assert peak == pytest.approx(1234 * ONE / ratio, abs=0.05)


# ---- quality ------------------------------------------------------------

FULL_SCALE_24 = 8388608


def tone(freq, fs, n, level_db=-1.0):
    """A -1 dBFS sine at 24-bit scale through the program's conditioning."""
    amp = min(FULL_SCALE_24 * 10 ** (level_db / 20), FULL_SCALE_24 - 1)
    v = np.rint(amp * np.sin(2 * np.pi * freq / fs * np.arange(n) + 0.3)).astype(np.int32)
    return asrc.condition(v)


def sinad(y):
    return ins.sinad_db(y[300:-300].astype(np.float64))


CASES = [  # (input rate, output rate, tones)
    (48000, 47520, [20, 997, 10000, 20000]),
    (48000, 48480, [997, 15000, 20000]),
    (48000, 47995.2, [997, 20000]),
    (48000, 48004.8, [997, 20000]),
    (44100, 48000, [997, 12000, 18000, 19845]),
    (48000, 44100, [20, 997, 15000, 19845]),
]


@pytest.mark.parametrize("fs_in, fs_out, tones", CASES)
def test_sinad_of_conditioned_tones(fs_in, fs_out, tones):
    ratio = round(fs_in / fs_out * ONE)
    for f in tones:
        x = tone(f, fs_in, 24000)
        got, floor = sinad(asrc.poly_convert(x, ratio)), sinad(x)
        # 90 dB, or within 1.5 dB of the input where the input itself is
        # below 91.5 dB.
        assert got >= min(90.0, floor - 1.5), f"{f} Hz: {got:.2f} dB, input {floor:.2f} dB"


@pytest.mark.parametrize("fs_in, fs_out, freq", [
    (48000, 44100, 23000),    # above the output's Nyquist frequency: must not alias
    (48000, 47520, 23900),    # between 23.76 and 24 kHz at 1% fewer outputs
    (96000, 48000, 30000),
])
def test_input_above_the_output_band_does_not_come_through(fs_in, fs_out, freq):
    ratio = round(fs_in / fs_out * ONE)
    x = tone(freq, fs_in, 32768, level_db=0.0)
    y = asrc.poly_convert(x, ratio)[400:-400]
    assert ins.spectrum_db(y.astype(np.float64)).max() < -90


@pytest.mark.parametrize("fs_in, fs_out, freq", [(44100, 48000, 19845), (24000, 48000, 10000),
                                                 (48000, 48480, 20000)])
def test_images_do_not_come_through(fs_in, fs_out, freq):
    ratio = round(fs_in / fs_out * ONE)
    y = asrc.poly_convert(tone(freq, fs_in, 32768, level_db=0.0), ratio)[400:-400].astype(np.float64)
    level = ins.spectrum_db(y)
    bins = np.fft.rfftfreq(len(y), 1 / fs_out)
    # The input's first image, fs_in - freq, where the output's sampling
    # folds it.
    image = abs((fs_in - freq + fs_out / 2) % fs_out - fs_out / 2)
    near = np.abs(bins - image) < 100
    assert level[near].max() < -90
    # And nothing else stands out beside the tone, but the conditioning's
    # own offset at DC.
    rest = (np.abs(bins - freq) > 200) & (bins > 100)
    assert level[rest].max() < -90


@pytest.mark.parametrize("ratio", [ONE, asrc.poly_ratio(44100, 48000), asrc.poly_ratio(48000, 44100)])
def test_unity_gain_at_dc_and_1_khz(ratio):
    x = tone(1000, 48000, 24000, level_db=-6.0)
    fx = ins.sine_fit(x[300:-300].astype(np.float64))
    fy = ins.sine_fit(asrc.poly_convert(x, ratio)[300:-300].astype(np.float64))
    assert 20 * np.log10(fy.amplitude / fx.amplitude) == pytest.approx(0, abs=0.01)
    dc = asrc.poly_convert(np.full(2000, -12345, dtype=np.int16), ratio)
    assert np.all(dc[300:-300] == -12345)


def test_full_scale_square_wave_is_clipped_and_counted_not_wrapped():
    x = np.where((np.arange(20000) // 40) % 2 == 0, 32767, -32768).astype(np.int16)
    c = asrc.PolyConverter(44100, 48000)
    y = c.process(x)
    assert c.clipped > 100
    # Each half period keeps its sign away from the edges: nothing wrapped.
    t = np.arange(len(y)) * c.ratio / ONE
    mid = (np.abs((t % 40) - 20) < 12) & (t > 300)
    high = (t // 40) % 2 == 0
    assert np.all(y[mid & high] > 30000) and np.all(y[mid & ~high] < -30000)
