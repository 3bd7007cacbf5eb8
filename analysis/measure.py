"""The report's measurements: each converter run on the same conditioned
tones at the same step, SINAD and spurs, THD+N, the delay with the phase
held, headroom, the ratio obtained, the drop and insert instants and the
damage a wrap does.  Plain numbers out; nothing here plots or writes."""

import math
import statistics
from fractions import Fraction

import numpy as np

import instruments as ins
import references as ref
from runner import RunnerError
from plan import (CONVERTERS, FS, FULL_SCALE_24, FULL_SCALE_32, KEY_LEVEL, OURS, PEERS, SKIP,
                  STEPPED, TONE, WIDE, WINDOW_32, exact_window, freqs_for, inputs_exact,
                  inputs_for, window_outputs)


class Bench:
    """The converters under test, all run on the same conditioned input at
    the same condition: the rule and the references on its phase accumulator
    at the step the condition's offset gives, asrc-poly and the field's
    settings (through the runner, when there is one) at the exact ratio.
    What cannot run here is skipped and noted, never fatal."""

    def __init__(self, asrc, runner=None, runner_note=None):
        self.asrc = asrc
        self.runner = runner
        self.notes = []  # why a setting, or a setting at one condition, is left out
        self.peers = []  # the field's settings that the runner has
        self.wide = []   # the 32-bit settings it has, ours first
        if runner is None:
            self.notes.append(runner_note or "no runner")
            return
        for name in PEERS + WIDE:
            if name in runner.settings:
                (self.wide if name in WIDE else self.peers).append(name)
            else:
                self.notes.append(f"{name} is left out: {runner.why_not(name)}")

    def skip(self, name, cond, why):
        note = f"{name} at {cond.title} is left out: {why}"
        if note not in self.notes:
            self.notes.append(note)

    def step(self, cond):
        return self.asrc.step_for_offset(cond.offset)

    def poly_ratio(self, cond):
        """The Q2.30 ratio in/out, rounded to nearest as the library rounds it."""
        r = Fraction(cond.in_rate) / cond.out_rate
        return self.asrc.poly_ratio(r.numerator, r.denominator)

    def run(self, name, x, cond):
        if name == "asrc-rule":
            return self.asrc.convert(x, self.step(cond))
        if name == "asrc-poly":
            return self.asrc.poly_convert(x, self.poly_ratio(cond))
        if name == "linear":
            return ref.linear(x, self.step(cond))
        if name == "drop_insert":
            return ref.drop_insert(x, self.step(cond))
        if name == "resample_poly":
            return ref.polyphase(x, self.step(cond))
        if name == "input":
            return x
        if self.runner is None:
            raise RunnerError("no runner")
        return self.runner.convert(name, x, cond.in_text, cond.out_text)[0]

    def fs_out(self, name, cond):
        """The rate of name's outputs at cond, in Hz."""
        if name == "input":
            return float(cond.in_rate)
        if name in STEPPED:
            up, down = ref.ratio_obtained(self.step(cond))
            return cond.in_rate * up / down
        return float(cond.out_rate)

    def tone(self, freq, level_db, n, phase=0.0, fs=FS):
        """A sine at level_db re 24-bit full scale, as the program's users feed
        it, through the program's conditioning."""
        amp = min(FULL_SCALE_24 * 10 ** (level_db / 20), FULL_SCALE_24 - 1)
        v = np.rint(amp * np.sin(2 * np.pi * freq / fs * np.arange(n) + phase)).astype(np.int32)
        return self.asrc.condition(v)


def tone_q31(freq, level_db, n, fs):
    """A sine of Q1.31 samples at level_db re full scale (2^31), rounded to
    nearest: the 32-bit comparison's input, with no conditioning."""
    amp = FULL_SCALE_32 * 10 ** (level_db / 20)
    v = np.rint(amp * np.sin(2 * np.pi * freq / fs * np.arange(n)))
    return np.clip(v, -FULL_SCALE_32, FULL_SCALE_32 - 1).astype(np.int32)


def sweep_sinad_32(bench, conds, freqs, quick, log):
    """SINAD and the largest spur of every 32-bit setting on -1 dBFS Q1.31
    tones, keyed (condition key, level, tone) like sweep_sinad; the input
    tone itself under "input"."""
    table = {}
    w = WINDOW_32 // (4 if quick else 1)
    for cond in conds:
        n = inputs_exact(w, cond)
        for f in freqs_for(cond, freqs):
            x = tone_q31(f, KEY_LEVEL, n, cond.in_rate)
            res = {}
            # The input itself over as much of the window as it has (when
            # upsampling it holds fewer samples than the outputs).
            res["input"] = {"sinad": float(ins.sinad_db(x[SKIP:SKIP + w])),
                            "spur": ins.largest_spur_dbc(x[SKIP:SKIP + w])[0]}
            for name in bench.wide:
                try:
                    y = bench.runner.convert(name, x, cond.in_text, cond.out_text)[0]
                except RunnerError as e:
                    bench.skip(name, cond, e)
                    continue
                if len(y) < SKIP + w:
                    bench.skip(name, cond, f"{len(y)} outputs from {n} inputs, {SKIP + w} needed")
                    continue
                seg = y[SKIP:SKIP + w]
                fit = ins.sine_fit(seg)
                res[name] = {"sinad": float(ins.sinad_db(seg, fit)),
                             "spur": ins.largest_spur_dbc(seg)[0]}
            table[(cond.key, KEY_LEVEL, f)] = res
        log(f"  32-bit SINAD {cond.title}: {len(bench.wide)} settings done")
    return table


def cost_table_32(bench, conds, quick, log):
    """ns per input sample of every 32-bit setting at each condition, as the
    runner times it on one core: a -1 dBFS 997 Hz Q1.31 tone fed in blocks
    of 1024 to fresh converters, the median of `runs` conversions, in CPU
    time of the converting thread (the elapsed time beside it): on a shared
    machine the elapsed time counts the turns other processes take on the
    core, which moves it by several times."""
    if bench.runner is None or not bench.wide:
        return {}, {}
    n, runs = (1 << 15, 1) if quick else (1 << 17, 5)
    cost = {}
    for cond in conds:
        x = tone_q31(TONE, KEY_LEVEL, n, cond.in_rate)
        for name in bench.wide:
            try:
                _, t = bench.runner.convert(name, x, cond.in_text, cond.out_text, time_runs=runs)
            except RunnerError as e:
                bench.skip(name, cond, e)
                continue
            cpu = t.get("cpu_ns_per_input_sample", t["ns_per_input_sample"])
            cost.setdefault(cond.key, {})[name] = {
                "ns_per_input_sample": round(float(cpu), 3),
                "elapsed_ns_per_input_sample": round(float(t["ns_per_input_sample"]), 3),
                "latency_input_samples": t.get("latency_input_samples")}
        log(f"  32-bit timing {cond.title} done")
    how = {"samples": n, "block": 1024, "runs": runs, "rounds": 1, "clock": "thread CPU time",
           "signal": f"{TONE:g} Hz Q1.31 tone at {KEY_LEVEL:g} dBFS"}
    return cost, how


def converted(bench, names, cond, signal, quick):
    """Runs each of names on the same input, signal(n) for the longest n any
    of them needs, and yields (name, its analysis window of outputs).  The
    stepped converters and the input itself get windows of whole drop or
    insert periods, the others a fixed one; each gets the inputs its window
    needs."""
    step = bench.step(cond)
    w_step = window_outputs(step, quick)[0]
    w_exact = exact_window(quick)
    need = {"stepped": (w_step, inputs_for(w_step, step)),
            "exact": (w_exact, inputs_exact(w_exact, cond)),
            "input": (w_step, w_step + 2 * SKIP)}
    x = signal(max(n for _, n in need.values()))
    for name in names:
        w, n = need["input" if name == "input" else "stepped" if name in STEPPED else "exact"]
        try:
            y = bench.run(name, x[:n], cond)
        except RunnerError as e:
            bench.skip(name, cond, e)
            continue
        if len(y) < SKIP + w:
            bench.skip(name, cond, f"{len(y)} outputs from {n} inputs, {SKIP + w} needed")
            continue
        yield name, y[SKIP:SKIP + w]


def names_at(bench, cond, level):
    """What runs at cond and level: ours and the references always, the
    field's settings at the key level wherever the ratio is not 1."""
    names = CONVERTERS + ["input"]
    if level == KEY_LEVEL and not cond.is_unity:
        names = names + bench.peers
    return names


def measure_tone(bench, names, freq, level, cond, quick):
    res = {}
    for name, seg in converted(bench, names, cond,
                               lambda n: bench.tone(freq, level, n, fs=cond.in_rate), quick):
        fit = ins.sine_fit(seg)
        spur, _ = ins.largest_spur_dbc(seg)
        res[name] = {"sinad": float(ins.sinad_db(seg, fit)), "spur": spur}
    return res


def sweep_sinad(bench, conds, levels, freqs, quick, log):
    """SINAD and the largest spur of every converter, keyed (condition key,
    level, tone)."""
    table = {}
    for cond in conds:
        for level in levels:
            names = names_at(bench, cond, level)
            for f in freqs_for(cond, freqs):
                table[(cond.key, level, f)] = measure_tone(bench, names, f, level, cond, quick)
            log(f"  SINAD {cond.title}, {level:g} dBFS: {len(names)} converters done")
    return table


def thd_n_table(bench, conds, quick):
    rows = {}
    for cond in conds:
        row = {}
        for level in (-1.0, -60.0):
            def tone(n, level=level):
                return bench.tone(TONE, level, n, fs=cond.in_rate)
            for name, seg in converted(bench, CONVERTERS + ["input"], cond, tone, quick):
                row.setdefault(name, {})["thdn_-1" if level == -1.0 else "thdn_-60"] = \
                    float(ins.thd_n_db(seg, bench.fs_out(name, cond)))
        for name in row:
            row[name]["dynamic_range"] = 60.0 - row[name]["thdn_-60"]
        rows[cond.key] = row
    return rows


def cost_table(bench, conds, quick, log):
    """ns per input sample of ours and of every peer setting at each
    condition, as the runner times it on one core: a conditioned -1 dBFS
    997 Hz tone fed in blocks of 1024 to fresh converters, the median of
    `runs` conversions; the whole sweep is repeated `rounds` times,
    conditions and settings interleaved, and the median of those medians
    kept, so that a burst of load on the shared machine moves one round,
    not the figure."""
    if bench.runner is None:
        return {}, {}
    n, runs, rounds = (1 << 16, 3, 1) if quick else (1 << 18, 9, 3)
    names = OURS + bench.peers
    times, latency = {}, {}
    for r in range(rounds):
        for cond in conds:
            x = bench.tone(TONE, KEY_LEVEL, n, fs=cond.in_rate)
            for name in names:
                try:
                    _, t = bench.runner.convert(name, x, cond.in_text, cond.out_text,
                                                time_runs=runs)
                except RunnerError as e:
                    bench.skip(name, cond, e)
                    continue
                times.setdefault(cond.key, {}).setdefault(name, []).append(
                    float(t["ns_per_input_sample"]))
                latency.setdefault(cond.key, {})[name] = t.get("latency_input_samples")
        log(f"  timing round {r + 1} of {rounds} done")
    cost = {c: {name: {"ns_per_input_sample": round(statistics.median(v), 3),
                       "rounds": [round(t, 3) for t in v],
                       "latency_input_samples": latency[c][name]}
                for name, v in per.items()} for c, per in times.items()}
    how = {"samples": n, "block": 1024, "runs": runs, "rounds": rounds,
           "signal": f"conditioned {TONE:g} Hz tone at {KEY_LEVEL:g} dBFS"}
    return cost, how


def delay_vs_phase(asrc, freqs, phases):
    """Phase delay of the real converter with its phase held: one input at
    step p brings the phase from 0 to p, then step 0 keeps it there."""
    n = 48000
    out = np.zeros((len(freqs), len(phases)))
    t = np.arange(n)
    for i, f in enumerate(freqs):
        x = np.rint(20000 * np.sin(2 * np.pi * f / FS * t)).astype(np.int16)
        for j, p in enumerate(phases):
            c = asrc.Converter()
            c.process(np.zeros(1, dtype=np.int16), int(p))
            assert c.phase == p
            y = c.process(x, 0)
            seg = slice(2048, n)
            out[i, j] = ins.phase_delay(x[seg].astype(float), y[seg].astype(float), f / FS)
    return out


def allpass_phase_delay(eta, freq):
    """Phase delay in samples of (eta + z^-1) / (1 + eta z^-1) at freq (Hz)."""
    w = 2 * np.pi * freq / FS
    z = np.exp(-1j * w)
    h = (eta + z) / (1 + eta * z)
    return -np.angle(h) / w


LEVEL_GRID = np.round(np.arange(-12.0, 0.001, 0.05), 2)


def over_range(y):
    """How far the largest unwrapped output goes, as a ratio to the end of the
    16-bit range it lies towards (above 1: a wrap); per column."""
    return np.maximum(y.max(axis=0) / 32767, y.min(axis=0) / -32768)


def highest_clean_level(make, step, over_at_full_scale):
    """Highest level on a 0.05 dB grid (at most 0 dBFS) at which make(level)
    never wraps.  The rule is nearly linear, so only the grid near the level
    that scaling from full scale predicts is searched."""
    if over_at_full_scale <= 1:
        return 0.0
    guess = -20 * math.log10(over_at_full_scale)
    cand = LEVEL_GRID[(LEVEL_GRID > guess - 0.5) & (LEVEL_GRID < guess + 0.5)]
    ok = over_range(ref.rule_int64(np.column_stack([make(lv) for lv in cand]), step)) <= 1
    bad = np.nonzero(~ok)[0]
    top = bad[0] - 1 if len(bad) else len(cand) - 1
    return float(cand[top]) if top >= 0 else float(cand[0] - 0.05)


def headroom(bench, offsets, freqs, n):
    """Highest level whose tone never leaves the 16-bit range at any output,
    per offset and frequency, from the unwrapped int64 rule.  The tone starts
    at phase 0 from a converter just reset."""
    result = {}
    for off in offsets:
        step = bench.asrc.step_for_offset(off)
        cols = np.column_stack([bench.tone(f, 0.0, n) for f in freqs])
        over = over_range(ref.rule_int64(cols, step))
        levels = {f: highest_clean_level(lambda lv, f=f: bench.tone(f, lv, n), step, over[k])
                  for k, f in enumerate(freqs)}
        result[off] = {"levels": levels,
                       "over_at_0dBFS": {f: float(o) for f, o in zip(freqs, over)}}
    return result


def square_wave(bench, freq, level_db, n):
    """A square wave (a hard-clipped tone) at level_db, conditioned."""
    amp = min(FULL_SCALE_24 * 10 ** (level_db / 20), FULL_SCALE_24 - 1)
    t = np.arange(n)
    v = np.where(np.sin(2 * np.pi * freq / FS * t + 0.1) >= 0, amp, -amp)
    return bench.asrc.condition(np.rint(v).astype(np.int32))


def square_headroom(bench, off, freq=1000.0, n=8192):
    step = bench.asrc.step_for_offset(off)
    over = over_range(ref.rule_int64(square_wave(bench, freq, 0.0, n)[:, None], step))[0]
    return highest_clean_level(lambda lv: square_wave(bench, freq, lv, n), step, over)


def ratio_table(asrc, signs=(1, -1)):
    offs = np.logspace(-5, -1, 41)
    rows = []
    for sgn in signs:
        for o in offs:
            off = float(sgn * o)
            step = asrc.step_for_offset(off)
            if step == 0:
                n = 1 << 20
            else:
                per = ref.period_inputs(step)
                n = per * max(1, (1 << 20) // per)
            count = len(asrc.convert(np.zeros(n, dtype=np.int16), step))
            got = count / n
            asked = 1 - off
            rows.append({"offset": off, "step": int(step), "inputs": n, "outputs": count,
                         "obtained": got, "asked": asked, "error_ppm": (got - asked) / asked * 1e6})
    return rows


def event_positions(n_in, step):
    """Output index of each drop (the gap falls before it) and insert (the
    repeated sample) for n_in inputs from reset."""
    kind, _ = ref.schedule(n_in, step)
    per_input = np.where(kind == ref.DROP, 0, np.where(kind == ref.INSERT, 2, 1))
    before = np.concatenate(([0], np.cumsum(per_input)[:-1]))
    return before[kind != ref.NORMAL]


def wrap_damage(asrc, x, step):
    """The module's output, the unwrapped int64 result, the outputs that
    leave the 16-bit range, and the outputs more than 256 LSB away from the
    unwrapped result (a wrapped value is fed back, so one wrap can spoil many
    outputs after it)."""
    y = asrc.convert(x, step).astype(np.int64)
    u = ref.rule_int64(x, step)
    wraps = (u > 32767) | (u < -32768)
    spoiled = np.abs(y - u) > 256
    return y, u, wraps, spoiled



def fall_off(freqs, vals, threshold):
    """Lowest tone frequency at which SINAD has fallen below threshold, by
    log-linear interpolation between measured points; None if it never does."""
    for i, v in enumerate(vals):
        if v < threshold:
            if i == 0:
                return freqs[0]
            f0, f1, v0, v1 = freqs[i - 1], freqs[i], vals[i - 1], v
            a = (v0 - threshold) / (v0 - v1)
            return float(10 ** (math.log10(f0) + a * (math.log10(f1) - math.log10(f0))))
    return None

