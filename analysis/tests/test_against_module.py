"""The int64 rule and the reference converters against the real module, and
the published figure against a fresh measurement."""

import numpy as np
import pytest

import references as ref

STEPS = [0, 1, -1, 16, -16, 163, -163, 1638, -1638, 8192, -8192, 16384, -16384, 5000, -7777]


@pytest.mark.parametrize("step", STEPS)
def test_int64_rule_is_bit_exact_and_shares_the_module_schedule(asrc, step):
    rng = np.random.default_rng(abs(step) + (step < 0))
    quiet = rng.integers(-9000, 9000, 6000).astype(np.int16)  # cannot wrap: |y| < 2 * 9000 + 1
    loud = rng.integers(-32768, 32768, 6000).astype(np.int16)
    got = asrc.convert(quiet, step)
    assert np.array_equal(ref.rule_int64(quiet, step), got)
    assert np.array_equal(ref.rule_int64(loud, step, wrap=True), asrc.convert(loud, step))
    # The reference converters run on the same drop and insert schedule.
    assert len(ref.linear(quiet, step)) == len(ref.drop_insert(quiet, step)) == len(got)


def test_unwrapped_rule_shows_the_wrap_that_the_module_stores(asrc):
    # Full-scale edges while the phase is small: the allpass overshoots, and
    # up to the first wrap the module holds the low 16 bits of the unwrapped rule.
    x = np.tile(np.repeat(np.array([32767, -32768], dtype=np.int16), 24), 4)
    u = ref.rule_int64(x, 16)
    y = asrc.convert(x, 16)
    first = int(np.argmax((u > 32767) | (u < -32768)))
    assert first > 0 and not -32768 <= u[first] <= 32767
    assert np.array_equal(ref.wrap16(u[:first + 1]), y[:first + 1])


def test_held_phase_allpass_matches_the_rule(asrc):
    # Step p for one input then 0: the phase stays at p.
    x = np.array([0, 1000, -2000, 3000, 3000, -5, 7], dtype=np.int16)
    c = asrc.Converter()
    c.process(np.zeros(1, dtype=np.int16), 5000)
    y = c.process(x, 0)
    expect, yp, xp = [], 0, 0
    for v in x.astype(int):
        yp = xp + ((5000 * (v - yp)) >> 14)
        xp = v
        expect.append(yp)
    assert c.phase == 5000
    assert y.tolist() == expect


@pytest.mark.parametrize("step", [1, -1, 16, -16, 163, -163, 1638, -1638])
def test_ratio_over_whole_periods(asrc, step):
    per = ref.period_inputs(step)
    n = 3 * per
    up, down = ref.ratio_obtained(step)
    assert len(asrc.convert(np.zeros(n, dtype=np.int16), step)) == n * up // down
    assert len(asrc.convert(np.zeros(per, dtype=np.int16), step)) == ref.outputs_per_period(step)


def test_linear_and_drop_insert_known_outputs():
    x = np.array([100, 200, 300, 400, 500, 600], dtype=np.int16)
    # Step 0: both are the input one sample late.
    assert ref.linear(x, 0).tolist() == [0, 100, 200, 300, 400, 500]
    assert ref.drop_insert(x, 0).tolist() == [0, 100, 200, 300, 400, 500]
    # Step 8192: phases 0.5, 1, drop, 0.5, 1, drop.
    assert ref.linear(x, 8192).tolist() == [50, 200, 350, 500]
    assert ref.drop_insert(x, 8192).tolist() == [0, 100, 300, 400]
    # Step -8192: insert (previous input, then the input), phase 0.5, phase 0, insert ...
    assert ref.linear(x, -8192).tolist() == [0, 100, 150, 200, 300, 400, 450, 500]
    assert ref.drop_insert(x, -8192).tolist() == [0, 0, 100, 200, 300, 300, 400, 500]


@pytest.mark.parametrize("name", ["asrc-rule", "asrc-poly"])
def test_published_sinad_at_997_hz_offset_0_01(asrc, published, name):
    import measure
    import plan
    key = published["key"]
    assert key["offset"] == 0.01 and key["level_dbfs"] == -1.0 and key["tone_hz"] == 997.0
    now = measure.measure_tone(measure.Bench(asrc), [name], key["tone_hz"], key["level_dbfs"],
                               plan.at_offset(key["offset"]), quick=False)[name]["sinad"]
    assert now == pytest.approx(key["sinad_997Hz_-1dBFS_offset_+0.01"][name], abs=1.0)
