"""asrc.q31_convert and asrc.Q31Converter: the Q1.31 converter over int32 and
float32 arrays, mono or frames x channels.  The converter's own bits are held
to its plain reference by the C++ tests; here: what the module accepts and
refuses, lengths and alignment, that channels, blocks and dtypes are mere
packaging (2-D equals per-channel 1-D, any split equals one call, float32 is
int32 scaled by 2^31), and the quality by sine fit.

Run from CTest (python_module), or by hand:
    PYTHONPATH=build/python /usr/bin/python3 -m pytest python/tests/test_q31.py
"""
import math
import pathlib
import sys
import threading
import time
from fractions import Fraction

import numpy as np
import pytest

import asrc

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "analysis"))
import instruments as ins  # noqa: E402

ONE = asrc.Q31_RATIO_ONE
FS = 2.0 ** 31


def q24_40(in_rate, out_rate=1):
    """in_rate / out_rate x 2^40 rounded to nearest, halves up, exactly."""
    return math.floor(Fraction(in_rate) / Fraction(out_rate) * ONE + Fraction(1, 2))


def noise(frames, channels=None, seed=1, dtype=np.int32):
    rng = np.random.default_rng(seed)
    shape = frames if channels is None else (frames, channels)
    x = rng.integers(-2**30, 2**30, shape, dtype=np.int32)
    return x if dtype == np.int32 else (x / FS).astype(np.float32)


@pytest.mark.parametrize("args, want", [
    ((44100, 48000), q24_40(44100, 48000)),
    ((48000, 44100), q24_40(48000, 44100)),
    ((8000, 192000), q24_40(8000, 192000)),
    ((192000, 8000), 24 * ONE),
    ((48000, 48000 * (1 - 1e-4)), q24_40(48000, 48000 * (1 - 1e-4))),
    ((44.1, 48.0), q24_40(44.1, 48.0)),
    ((np.float32(44100), np.int64(48000)), q24_40(44100, 48000)),
    ((2**40, 2**40 * 25 // 24), q24_40(2**40, 2**40 * 25 // 24)),  # beyond 32 bits
    ((0.91875, ), q24_40(0.91875)),
    ((np.float32(1.5), ), 3 * ONE // 2),
    ((ONE + 12345, ), ONE + 12345),          # an integer alone is Q24.40
    ((asrc.Q31_RATIO_MIN, ), asrc.Q31_RATIO_MIN),
    ((25.0, ), asrc.Q31_RATIO_MAX),
])
def test_ratio_forms(args, want):
    assert asrc.q31_ratio(*args) == want
    assert asrc.Q31Converter(*args).ratio == want


x8 = np.zeros(8, np.int32)
ERRORS = [
    (lambda: asrc.q31_convert(x8.astype(np.int16), 1.0), TypeError, "<< 16"),
    (lambda: asrc.q31_convert(x8.astype(np.float64), 1.0), TypeError, "astype(numpy.float32)"),
    (lambda: asrc.q31_convert(x8.astype(np.int64), 1.0), TypeError, "got dtype int64"),
    (lambda: asrc.q31_convert(x8.astype(">i4"), 1.0), TypeError, "got dtype >i4"),
    (lambda: asrc.q31_convert(list(x8), 1.0), TypeError, "got list"),
    (lambda: asrc.q31_convert(np.int32(3), 1.0), TypeError, "got numpy.int32"),
    (lambda: asrc.q31_convert(np.array(3, np.int32), 1.0), ValueError, "got 0 dimensions"),
    (lambda: asrc.q31_convert(x8.reshape(2, 2, 2), 1.0), ValueError, "got 3 dimensions"),
    (lambda: asrc.q31_convert(np.zeros((8, 0), np.int32), 1.0), ValueError, "at least one channel"),
    (lambda: asrc.q31_convert(np.array([0, np.nan], np.float32), 1.0), ValueError, "samples[1] is NaN"),
    (lambda: asrc.q31_convert(x8, 1), ValueError, "an integer ratio is Q24.40"),
    (lambda: asrc.q31_convert(x8, 26.0), ValueError, "must lie in 1/25..25"),
    (lambda: asrc.q31_convert(x8, float("inf")), ValueError, "must be finite"),
    (lambda: asrc.q31_convert(x8, 8000, 400000), ValueError, "8000 / 400000 lies outside 1/25..25"),
    (lambda: asrc.q31_convert(x8, 8000.5, 400000), ValueError, "lies outside 1/25..25"),
    (lambda: asrc.q31_convert(x8, -48000, 44100), ValueError, "rates must be positive"),
    (lambda: asrc.q31_convert(x8, True), TypeError, "ratio must be a number, got bool"),
    (lambda: asrc.q31_convert(x8, "1.0"), TypeError, "got str"),
    (lambda: asrc.Q31Converter(1.0, channels=0), ValueError, "channels must be at least 1"),
    (lambda: asrc.Q31Converter(2.0, max_ratio=1.0), ValueError, "is below the ratio"),
    (lambda: asrc.Q31Converter(1.0, max_ratio=1.0).set_ratio(1.5), ValueError, "above this converter's"),
    (lambda: asrc.Q31Converter(1.0, channels=2).process(x8), ValueError, "give frames x channels"),
    (lambda: asrc.Q31Converter(1.0, channels=2).process(x8.reshape(2, 4)), ValueError,
     "has 2 channels, got 4 columns"),
]


@pytest.mark.parametrize("call, error, message", ERRORS, ids=[e[2] for e in ERRORS])
def test_bad_arguments_raise_clearly(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert message in str(raised.value)


def test_a_refused_block_or_ratio_leaves_the_converter_as_it_was():
    c = asrc.Q31Converter(1.0, max_ratio=2.0)
    bad = noise(300, dtype=np.float32)
    bad[200] = np.nan
    with pytest.raises(ValueError):
        c.process(bad)
    with pytest.raises(ValueError):
        c.set_ratio(3.0)
    assert (c.ratio, c.input_held) == (ONE, -(1 << 30))
    x = noise(500)
    np.testing.assert_array_equal(c.process(x), asrc.Q31Converter(1.0).process(x))


@pytest.mark.parametrize("frames", [0, 1, 97, 5000])
@pytest.mark.parametrize("ratio", [ONE, q24_40(44100, 48000), q24_40(48000, 44100), asrc.Q31_RATIO_MIN,
                                   asrc.Q31_RATIO_MAX, asrc.Q31_RATIO_FULL_BAND + 1])
def test_whole_array_length_is_the_outputs_within_the_input(frames, ratio):
    want = -(-(frames * ONE) // ratio)
    for x in (noise(frames), noise(frames, 3, dtype=np.float32)):
        y, info = asrc.q31_convert(x, ratio, info=True)
        assert (y.shape, y.dtype) == ((want, ) + x.shape[1:], x.dtype)
        # Downsampling runs on rows built for up to 0.1% above the ratio: a
        # few frames more of delay at most.
        assert info["ratio"] == ratio and 0 <= info["delay"] - asrc.q31_delay(ratio) <= 6


@pytest.mark.parametrize("fs_in, fs_out", [(44100, 48000), (48000, 44100), (192000, 44100),
                                           (8000, 192000)])
def test_a_click_comes_out_at_its_time(fs_in, fs_out):
    x = np.zeros(6000, np.int32)
    x[1234] = 1 << 30
    ratio = asrc.q31_ratio(fs_in, fs_out)
    y = asrc.q31_convert(x, ratio).astype(np.float64)
    k = np.arange(len(y))
    centre = np.sum(k * y ** 2) / np.sum(y ** 2)
    assert centre == pytest.approx(1234 * ONE / ratio, abs=0.05)


def test_channels_convert_as_each_alone():
    # 11 channels: two converter states (8 + 3); a strided float view too.
    for x in (noise(3000, 11, seed=2), noise(6000, 6, seed=3, dtype=np.float32)[::2, ::-1]):
        for ratio in (q24_40(44100, 48000), q24_40(96000, 44100)):
            y = asrc.q31_convert(x, ratio)
            for c in range(x.shape[1]):
                np.testing.assert_array_equal(y[:, c], asrc.q31_convert(x[:, c], ratio))


@pytest.mark.parametrize("ratio", [q24_40(44100, 48000), q24_40(48000, 44100), 3 * ONE])
def test_any_split_into_blocks_gives_the_whole_arrays_outputs(ratio):
    rng = np.random.default_rng(ratio % 1000)
    x = noise(20000, 2, seed=4, dtype=np.float32)
    whole = asrc.q31_convert(x, ratio)
    c = asrc.Q31Converter(ratio, channels=2)
    cuts = np.sort(rng.integers(0, len(x), 15))
    got = [c.process(p) for p in np.split(x, cuts)]
    got.append(c.process(np.zeros((c.delay, 2), np.float32)))
    np.testing.assert_array_equal(np.concatenate(got)[:len(whole)], whole)


def test_a_ratio_change_lands_on_the_same_output_however_the_blocks_fall():
    # From the full band (96 frames of delay) to the stretched filter and
    # back: set_ratio acts from the next output, which only the input so far
    # decides.
    x = noise(30000, seed=5)
    ratios = [(0, q24_40(44100, 48000)), (9000, 2 * ONE + 7), (21000, q24_40(48000, 47995.2))]
    runs = []
    for seed in (6, 7):
        c = asrc.Q31Converter(ratios[0][1], max_ratio=3.0)
        out = []
        bounds = [at for at, _ in ratios[1:]] + [len(x)]
        at = 0
        for (_, r), end in zip(ratios, bounds):
            c.set_ratio(r)
            cuts = np.sort(np.random.default_rng(seed + at).integers(at, end, 6))
            out += [c.process(p) for p in np.split(x[at:end], cuts - at)]
            at = end
        runs.append((np.concatenate(out), c.input_held))
        assert c.ratio == ratios[-1][1]
    np.testing.assert_array_equal(runs[0][0], runs[1][0])
    assert runs[0][1] == runs[1][1]
    # The outputs follow each ratio in turn: each ratio runs from the time
    # its converter had reached, the newest input less the delay then.
    ends = [9000, 21000, len(x)]
    starts = [0] + [end - asrc.q31_delay(r) for end, (_, r) in zip(ends, ratios)]
    want = sum((b - a) * ONE / r for a, b, (_, r) in zip(starts, starts[1:], ratios))
    assert abs(len(runs[0][0]) - want) < 2


# ---- float32 -------------------------------------------------------------

def test_float32_is_int32_scaled_by_2_to_the_31():
    xf = (0.89 * np.sin(2 * np.pi * 1000 / 44100 * np.arange(20000))).astype(np.float32)
    xi = np.rint(xf.astype(np.float64) * FS).astype(np.int32)  # exact for |x| >= 2^-8
    ratio = q24_40(44100, 48000)
    yf, yi = asrc.q31_convert(xf, ratio), asrc.q31_convert(xi, ratio)
    np.testing.assert_array_equal(yf, (yi / FS).astype(np.float32))
    # The level comes back as it went in.
    gain = ins.sine_fit(yf[300:-300]).amplitude / ins.sine_fit(xf[300:-300]).amplitude
    assert 20 * np.log10(gain) == pytest.approx(0, abs=1e-4)
    dc = asrc.q31_convert(np.full(2000, -0.375, np.float32), ratio)
    assert np.all(dc[300:-300] == np.float32(-0.375))


def test_float32_beyond_full_scale_saturates_and_is_counted():
    x = np.zeros((400, 2), np.float32)
    x[100] = [1.0, -1.0]          # 1.0 has no Q1.31 value; -1.0 has
    x[200] = [1.5, -np.inf]
    x[300] = [np.nextafter(np.float32(1), np.float32(0)), -2.0]
    c = asrc.Q31Converter(1.0, channels=2)
    c.process(x)
    assert (c.input_clipped, c.info["input_clipped"]) == (4, 4)
    y, info = asrc.q31_convert(x[:, 1], 1.0, info=True)
    assert info["input_clipped"] == 2
    c.reset()
    assert c.input_clipped == 0


def test_full_scale_square_wave_saturates_counted_not_wrapped():
    x = np.where((np.arange(20000) // 40) % 2 == 0, 2**31 - 1, -2**31).astype(np.int32)
    y, info = asrc.q31_convert(x, 44100, 48000, info=True)
    assert info["clipped"] > 100
    t = np.arange(len(y)) * info["ratio_float"]
    mid = (np.abs((t % 40) - 20) < 12) & (t > 300) & (t < 19700)
    high = (t // 40) % 2 == 0
    assert np.all(y[mid & high] > 2**31 * 0.9) and np.all(y[mid & ~high] < -2**31 * 0.9)


# ---- quality -------------------------------------------------------------

@pytest.mark.parametrize("fs_in, fs_out, freq", [(44100, 48000, 20), (44100, 48000, 997),
                                                 (44100, 48000, 12000), (44100, 48000, 19845),
                                                 (48000, 44100, 19845)])
def test_sinad_of_a_minus_1_dbfs_tone(fs_in, fs_out, freq):
    n = 96000 if freq < 100 else 24000
    amp = 10 ** (-1 / 20) * FS
    x = np.rint(amp * np.sin(2 * np.pi * freq / fs_in * np.arange(n) + 0.3)).astype(np.int32)
    y = asrc.q31_convert(np.stack([x, -x], axis=1), fs_in, fs_out)
    for c in range(2):
        got = ins.sinad_db(y[300:-300, c].astype(np.float64))
        assert got >= 140, f"{freq} Hz, channel {c}: {got:.2f} dB"


def test_other_threads_run_while_a_conversion_runs():
    # Held through the call, the GIL would stop the main thread's loop for
    # the whole conversion; released, the loop runs on beside it.
    x = noise(400000, 2, seed=8)
    span = []

    def work():
        span.append(time.perf_counter())
        asrc.q31_convert(x, 44100, 48000)
        span.append(time.perf_counter())

    worker = threading.Thread(target=work)
    worker.start()
    last, longest = time.perf_counter(), 0.0
    while worker.is_alive():
        now = time.perf_counter()
        longest, last = max(longest, now - last), now
    worker.join()
    assert longest < (span[1] - span[0]) / 2
