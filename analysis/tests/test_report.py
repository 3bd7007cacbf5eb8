"""The report's measurements that go beyond one instrument: drop and insert
instants, the held-phase delay, headroom, the ratio table, the fall-off point."""

import math
from fractions import Fraction

import numpy as np
import pytest

import instruments as ins
import measure
import references as ref
from plan import (CONVERTERS, FS, OFFSETS, RATE_PAIRS, SKIP, TONE, at_offset, freqs_for,
                  inputs_exact, inputs_for)


@pytest.mark.parametrize("step", [163, -163, 1638, -1638])
def test_event_positions_are_where_the_module_drops_and_inserts(asrc, step):
    n = 700
    c = asrc.Converter()
    counts = [len(c.process(np.array([7], dtype=np.int16), step)) for _ in range(n)]
    before = np.concatenate(([0], np.cumsum(counts)[:-1]))
    expect = [before[i] for i in range(n) if counts[i] != 1]
    assert measure.event_positions(n, step).tolist() == expect


def test_held_phase_delay_is_the_allpass_delay(asrc):
    phases = [0, 2048, 6783, 8192, 16384]
    d = measure.delay_vs_phase(asrc, [100, 10000], phases)
    for j, p in enumerate(phases):
        eta = p / ref.ONE
        assert d[0, j] == pytest.approx((1 - eta) / (1 + eta), abs=1e-3)
        assert d[1, j] == pytest.approx(measure.allpass_phase_delay(eta, 10000), abs=2e-3)


def test_headroom_is_the_edge_of_wrapping_in_the_module(asrc):
    bench = measure.Bench(asrc)
    step = asrc.step_for_offset(0.01)
    f, n = 20000, 12000
    level = measure.headroom(bench, [0.01], [f], n)[0.01]["levels"][f]
    assert -3 < level < 0  # a full-scale 20 kHz tone wraps at this offset
    for lv, wraps in ((level, False), (level + 0.05, True)):
        x = bench.tone(f, lv, n)
        u = ref.rule_int64(x, step)
        # With no wrap the module and the unwrapped rule agree sample for sample.
        assert (not np.array_equal(asrc.convert(x, step), u)) == wraps


def test_ratio_table_against_the_exact_fractions(asrc):
    rows = {round(r["offset"], 12): r for r in measure.ratio_table(asrc)}
    assert rows[0.01]["error_ppm"] == pytest.approx((100 / 101 / 0.99 - 1) * 1e6, abs=1e-6)
    assert rows[-0.01]["error_ppm"] == pytest.approx((102 / 101 / 1.01 - 1) * 1e6, abs=1e-6)
    # Below 1/16384 the step is 0 and the ratio 1.
    assert rows[1e-5]["step"] == 0
    assert rows[1e-5]["error_ppm"] == pytest.approx((1 / (1 - 1e-5) - 1) * 1e6, abs=1e-6)


def test_fall_off_interpolates_on_a_log_frequency_axis():
    assert measure.fall_off([100, 1000, 10000], [70, 50, 30], 60) == pytest.approx(10 ** 2.5)
    assert measure.fall_off([100, 1000], [70, 65], 60) is None


@pytest.mark.parametrize("off,step", [(0.001, 16), (-0.001, -16), (0.01, 163), (-0.01, -163)])
@pytest.mark.parametrize("name", ["asrc-rule", "linear", "drop_insert", "resample_poly"])
def test_every_stepped_converter_runs_at_the_ratio_the_step_gives(asrc, name, off, step):
    # A converter at the wrong ratio moves the tone: each output must carry
    # it at f * down / up cycles per output sample.  The sidebands of the
    # cruder converters pull the fit by a few parts in a million; asking
    # 1 - offset instead would be 24 to 100 parts in a million off here.
    bench = measure.Bench(asrc)
    cond = at_offset(off)
    assert bench.step(cond) == step
    up, down = ref.ratio_obtained(step)
    w = 64 * ref.outputs_per_period(step)
    x = bench.tone(TONE, -1.0, inputs_for(w, step))
    seg = bench.run(name, x, cond)[SKIP:SKIP + w]
    fit = ins.sine_fit(seg)
    assert fit.freq == pytest.approx(TONE / FS * down / up, rel=1e-5)
    if name == "resample_poly":
        # The ceiling stays within about a dB of its 16-bit input.
        assert ins.sinad_db(seg, fit) > 90


@pytest.mark.parametrize("cond", [at_offset(1e-4), at_offset(-0.01), RATE_PAIRS[0], RATE_PAIRS[1]],
                         ids=lambda c: c.key)
def test_the_polyphase_converter_runs_at_the_exact_ratio(asrc, cond):
    # The Q2.30 ratio rounds in/out to 2^-30: the tone's frequency per output
    # must be f * in/out to about a part in 10^9, where the rule's step
    # would be 24 to 100 parts in a million off.
    bench = measure.Bench(asrc)
    exact = Fraction(cond.in_rate) / cond.out_rate
    assert bench.poly_ratio(cond) == round(exact * 2 ** 30)
    n = inputs_exact(16384, cond)
    x = bench.tone(TONE, -1.0, n, fs=cond.in_rate)
    y = bench.run("asrc-poly", x, cond)
    assert len(y) == math.ceil(n * 2 ** 30 / bench.poly_ratio(cond))
    fit = ins.sine_fit(y[SKIP:SKIP + 16384])
    assert fit.freq == pytest.approx(TONE / cond.in_rate * float(exact), rel=1e-8)


@pytest.mark.parametrize("cond", [at_offset(o) for o in OFFSETS] + RATE_PAIRS,
                         ids=lambda c: c.key)
def test_every_converter_gets_the_input_its_window_needs(asrc, cond):
    # Each converter's window asks a different number of inputs (the rule's
    # ratio is not the exact one, and the input itself is its own output);
    # one that got too few would drop out of the report with a note.
    bench = measure.Bench(asrc)
    res = measure.measure_tone(bench, measure.names_at(bench, cond, -1.0), TONE, -1.0, cond, True)
    assert [n for n in bench.notes if " is left out: " in n] == []
    assert set(res) == set(CONVERTERS + ["input"])


def test_conditions_name_their_rates_exactly():
    assert at_offset(1e-4).out_text == "47995.2"
    assert at_offset(-0.01).out_text == "48480"
    assert RATE_PAIRS[1].offset == pytest.approx(1 - 44100 / 48000)
    # Above 0.45 of the lower rate a tone is replaced by that edge.
    assert freqs_for(RATE_PAIRS[0], [997, 20000]) == [997, 19845.0]
    assert freqs_for(at_offset(0.01), [997, 20000]) == [997, 20000]


# Each module of the report may import only those listed before it, so the
# report can grow without its modules coming to need each other.
LAYERS = ["instruments", "references", "runner", "plan", "measure", "plots", "report_json",
          "report_text", "quality"]


@pytest.mark.parametrize("module", LAYERS)
def test_report_modules_import_only_earlier_ones(module):
    import ast
    import os
    path = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), module + ".py")
    imported = set()
    for node in ast.walk(ast.parse(open(path).read())):
        if isinstance(node, ast.Import):
            imported |= {a.name.split(".")[0] for a in node.names}
        elif isinstance(node, ast.ImportFrom) and node.module:
            imported.add(node.module.split(".")[0])
    later = set(LAYERS[LAYERS.index(module):])
    assert not imported & later, f"{module} imports {sorted(imported & later)}"
