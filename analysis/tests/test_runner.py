"""The report's path to the field's libraries: asrc-peer-run driven from the
analysis on a tone of known answer, our converters through it against the
module, and what is not there (the runner, a library, a setting that fails)
left out with a note instead of failing the report."""

import json
import math
import os
import stat
from fractions import Fraction

import numpy as np
import pytest

import instruments as ins
import measure
import plan
import runner as run
from plan import RATE_PAIRS, SKIP, at_offset

DOWN = RATE_PAIRS[1]  # 48 -> 44.1 kHz


def tone_1k(bench, n):
    return bench.tone(1000.0, -1.0, n, fs=48000)


def first_peer(runner):
    peers = [p for p in plan.PEERS if p in runner.settings]
    if not peers:
        pytest.skip("asrc-peer-run was built without any of the field's libraries")
    return peers


@pytest.mark.parametrize("which", ["asrc-poly", "peer"])
def test_a_1_khz_tone_from_48_to_44_1_khz_through_the_runner(asrc, runner, which):
    # Known answer: a 1 kHz sine at 44.1 kHz, ceil(n * 44100 / 48000)
    # outputs, the amplitude of its input, and output k at input time
    # k * 48000 / 44100, so the phase of the input's own fit carries over.
    bench = measure.Bench(asrc, runner)
    name = which if which != "peer" else first_peer(runner)[0]
    n = 24000
    x = tone_1k(bench, n)
    y, timing = runner.convert(name, x, DOWN.in_text, DOWN.out_text)
    assert timing is None
    assert len(y) == math.ceil(n * 44100 / 48000) == 22050
    fx = ins.sine_fit(x[SKIP:n - SKIP].astype(float))
    seg = y[SKIP:len(y) - SKIP].astype(float)
    fy = ins.sine_fit(seg)
    assert fy.freq == pytest.approx(1000 / 44100, rel=1e-7)
    assert fy.amplitude == pytest.approx(fx.amplitude, rel=0.005)
    # Phases at sample 0 of each window: input time SKIP, output time
    # SKIP * 48000/44100; the difference is the misalignment in input samples.
    t_out = SKIP * 48000 / 44100
    want = fx.phase + 2 * np.pi * fx.freq * (t_out - SKIP)
    late = np.angle(np.exp(1j * (want - fy.phase))) / (2 * np.pi * fx.freq)
    assert abs(late) < 0.01
    assert ins.sinad_db(seg, fy) > 85


def test_the_runners_polyphase_converter_is_the_modules(asrc, runner):
    # The report times asrc-poly through the runner and measures its SINAD on
    # the module: that is one figure only if both give the same samples.
    bench = measure.Bench(asrc, runner)
    for cond in (at_offset(-1e-4), DOWN):
        x = bench.tone(3000.0, -1.0, 20000, fs=cond.in_rate)
        y, _ = runner.convert("asrc-poly", x, cond.in_text, cond.out_text)
        z = bench.run("asrc-poly", x, cond)
        assert abs(len(y) - len(z)) <= 1
        m = min(len(y), len(z))
        assert np.array_equal(y[:m], z[:m])


def test_the_32_bit_sweep_reads_int32_through_the_runner(asrc, runner):
    # Q1.31 in and out: a setting read or written as int16 would give half
    # or twice the outputs, and one that went through 16 bits anywhere would
    # fall near 97 dB; the 24-bit converter holds 140 dB here, soxr HQ on
    # 32-bit integers about 134.
    bench = measure.Bench(asrc, runner)
    assert bench.wide[0] == "asrc-q31" and runner.bits("asrc-q31") == 32
    n = 24000
    y, _ = runner.convert("asrc-q31", measure.tone_q31(997.0, -1.0, n, 48000), 48000, 44100)
    assert y.dtype == np.int32 and len(y) == 22050
    table = measure.sweep_sinad_32(bench, [DOWN, plan.PAIRS_32[4]], [997.0], True,
                                   lambda msg: None)
    # Upsampling too (44.1 -> 96 kHz), where the input holds fewer samples
    # than the window of outputs: nothing is left out.
    assert [n for n in bench.notes if " left out: " in n] == []
    assert set(table[(plan.PAIRS_32[4].key, -1.0, 997.0)]) == {"input"} | set(bench.wide)
    res = table[(DOWN.key, -1.0, 997.0)]
    assert set(res) == {"input"} | set(bench.wide)
    assert res["input"]["sinad"] > 190
    assert res["asrc-q31"]["sinad"] > 140
    floors = {"soxr-hq-i32": 125, "soxr-vhq-i32": 170, "src-sinc-best-i32": 135,
              "src-sinc-medium-i32": 110, "zita-vresampler-48-i32": 135}
    for name in bench.wide[1:]:
        assert res[name]["sinad"] > floors[name], name


def test_the_runners_24_bit_converter_is_the_modules(asrc, runner):
    # The report measures asrc-q31 through the runner; the module's
    # q31_convert is the same converter: the same samples, stereo too.
    if not hasattr(asrc, "q31_convert"):
        pytest.skip("the module has no q31_convert")
    rng = np.random.default_rng(5)
    x = rng.integers(-2 ** 31, 2 ** 31, (9000, 2)).astype(np.int32)
    for cond in (at_offset(-1e-4), DOWN, plan.PAIRS_32[5]):
        y = runner.convert("asrc-q31", x, cond.in_text, cond.out_text)[0]
        q = math.floor(cond.in_rate / cond.out_rate * 2 ** 40 + Fraction(1, 2))  # Q24.40
        z = asrc.q31_convert(x, q)
        m = min(len(y), len(z))
        assert m > 0.99 * len(y) and np.array_equal(y[:m], z[:m]), cond.key


def test_the_runners_rule_is_the_modules_without_its_first_output(asrc, runner):
    bench = measure.Bench(asrc, runner)
    cond = at_offset(0.01)
    x = bench.tone(997.0, -1.0, 20000)
    y, _ = runner.convert("asrc-rule", x, cond.in_text, cond.out_text)
    z = asrc.convert(x, 163)[1:]
    m = min(len(y), len(z))
    assert m > 19000 and np.array_equal(y[:m], z[:m])


def test_the_cost_table_reads_the_runners_timing(asrc, runner):
    bench = measure.Bench(asrc, runner)
    cost, how = measure.cost_table(bench, [DOWN], True, lambda msg: None)
    per = cost[DOWN.key]
    assert set(per) == {"asrc-rule", "asrc-poly"} | set(bench.peers)
    assert all(len(t["rounds"]) == how["rounds"] == 1 for t in per.values())
    assert all(t["ns_per_input_sample"] > 0 for t in per.values())
    # What the runner says of the look-ahead: asrc-poly's delay at 48 -> 44.1 kHz.
    assert per["asrc-poly"]["latency_input_samples"] == asrc.poly_delay(bench.poly_ratio(DOWN))


def test_no_runner_leaves_the_field_out_with_a_note(asrc, tmp_path):
    r, note = run.open_runner(str(tmp_path / "asrc-peer-run"))
    assert r is None and "asrc-peer-run" in note
    r, note = run.open_runner(None, str(tmp_path), str(tmp_path / "python"))
    assert r is None and str(tmp_path) in note
    bench = measure.Bench(asrc, r, note)
    assert bench.peers == [] and note in bench.notes[0]
    res = measure.measure_tone(bench, measure.names_at(bench, DOWN, -1.0) + ["soxr-hq"], 997.0,
                               -1.0, DOWN, True)
    assert set(res) == set(plan.CONVERTERS + ["input"])
    assert measure.cost_table(bench, [DOWN], True, print) == ({}, {})


def stub(tmp_path, real, body):
    """A runner that lists what the real one lists, less zita, and passes
    everything else to it unless `body` (shell) decides otherwise."""
    listing = json.loads(os.popen(f"'{real}' --list --json").read())
    listing["settings"] = [s for s in listing["settings"] if not s["name"].startswith("zita")]
    listing["missing"] = [{"library": "libzita-resampler", "package": "libzita-resampler-dev"}]
    (tmp_path / "list.json").write_text(json.dumps(listing))
    p = tmp_path / "asrc-peer-run"
    p.write_text(f"""#!/bin/sh
if [ "$1" = --list ]; then cat '{tmp_path}/list.json'; exit 0; fi
for a in "$@"; do
  case "$a" in zita-*)
    echo "asrc-peer-run: $a needs libzita-resampler, which was not found when the project was \
configured (Debian: libzita-resampler-dev)" >&2; exit 3;;
  esac
done
{body}
exec '{real}' "$@"
""")
    p.chmod(p.stat().st_mode | stat.S_IXUSR)
    return str(p)


def test_a_missing_library_and_a_failing_setting_are_left_out_with_notes(asrc, runner_path,
                                                                          tmp_path):
    # speex-3 fails on every conversion: the report goes on without it.
    path = stub(tmp_path, runner_path, """for a in "$@"; do
  [ "$a" = speex-3 ] && { echo "asrc-peer-run: cannot write standard output" >&2; exit 1; }
done""")
    r, note = run.open_runner(path)
    assert note is None
    bench = measure.Bench(asrc, r)
    assert not any(p.startswith("zita") for p in bench.peers)
    assert any("zita-vresampler-32 is left out" in n and "libzita-resampler-dev" in n
               for n in bench.notes)
    if "speex-3" not in bench.peers:
        pytest.skip("asrc-peer-run was built without speexdsp")
    res = measure.measure_tone(bench, measure.names_at(bench, DOWN, -1.0), 997.0, -1.0, DOWN,
                               True)
    assert "speex-3" not in res and "asrc-poly" in res
    assert set(bench.peers) - {"speex-3"} <= set(res)
    assert any(n.startswith("speex-3 at 48 -> 44.1 kHz is left out") and "status 1" in n
               for n in bench.notes)


def test_the_reduced_report_without_a_runner_says_so_and_measures_ours(asrc, tmp_path):
    import quality
    out = tmp_path / "out"
    module = os.path.dirname(os.path.abspath(asrc.__file__))
    assert quality.main(["--quick", "--module-dir", module, "--build", str(tmp_path),
                         "--runner", str(tmp_path / "none"), "--out", str(out)]) == 0
    data = json.loads((out / "quality.json").read_text())
    assert data["field"]["runner"] is None and data["field"]["cost"] == {}
    assert str(tmp_path / "none") in data["field"]["notes"][0]
    measured = set(data["sinad"]["48000->44100"]["-1"])
    assert measured == set(plan.CONVERTERS + ["input"])
    assert data["q31"] is None
    md = (out / "quality.md").read_text()
    assert "The field's libraries were not measured" in md
    assert "## 32 bits" in md and "Not measured in this run" in md
    assert not any(f"`{p}`" in md for p in plan.PEERS)
    assert not (out / "quality" / "quality_vs_cost.png").exists()
