"""The report's measurements: each converter run on the same conditioned
tones at the same step, SINAD and spurs, THD+N, the delay with the phase
held, headroom, the ratio obtained, the drop and insert instants and the
damage a wrap does.  Plain numbers out; nothing here plots or writes."""

import math

import numpy as np

import instruments as ins
import references as ref
from plan import CONVERTERS, FS, FULL_SCALE_24, SKIP, TONE, inputs_for, window_outputs


class Bench:
    """The converters under test, all run on the same conditioned input at
    the same step."""

    def __init__(self, asrc):
        self.asrc = asrc

    def run(self, name, x, step):
        if name == "asrc":
            return self.asrc.convert(x, step)
        if name == "linear":
            return ref.linear(x, step)
        if name == "drop_insert":
            return ref.drop_insert(x, step)
        if name == "polyphase":
            return ref.polyphase(x, step)
        if name == "input":
            return x
        raise KeyError(name)

    def tone(self, freq, level_db, n, phase=0.0):
        """A sine at level_db re 24-bit full scale, as the program's users feed
        it, through the program's conditioning."""
        amp = min(FULL_SCALE_24 * 10 ** (level_db / 20), FULL_SCALE_24 - 1)
        v = np.rint(amp * np.sin(2 * np.pi * freq / FS * np.arange(n) + phase)).astype(np.int32)
        return self.asrc.condition(v)


def measure_tone(bench, names, freq, level, step, quick):
    w, _ = window_outputs(step, quick)
    x = bench.tone(freq, level, inputs_for(w, step))
    res = {}
    for name in names:
        seg = bench.run(name, x, 0 if name == "input" else step)[SKIP:SKIP + w]
        fit = ins.sine_fit(seg)
        spur, _ = ins.largest_spur_dbc(seg)
        res[name] = {"sinad": float(ins.sinad_db(seg, fit)), "spur": spur}
    return res


def sweep_sinad(bench, offsets, levels, freqs, quick, log):
    table = {}
    for off in offsets:
        step = bench.asrc.step_for_offset(off)
        for level in levels:
            for f in freqs:
                r = measure_tone(bench, CONVERTERS + ["input"], f, level, step, quick)
                table[(off, level, f)] = r
            log(f"  SINAD offset {off:+g} level {level:g} dBFS done")
    return table


def thd_n_table(bench, offsets, quick):
    rows = {}
    for off in offsets:
        step = bench.asrc.step_for_offset(off)
        up, down = ref.ratio_obtained(step)
        fs_out = FS * up / down
        w, _ = window_outputs(step, quick)
        row = {}
        for level in (-1.0, -60.0):
            x = bench.tone(TONE, level, inputs_for(w, step))
            for name in CONVERTERS + ["input"]:
                seg = bench.run(name, x, 0 if name == "input" else step)[SKIP:SKIP + w]
                row.setdefault(name, {})["thdn_-1" if level == -1.0 else "thdn_-60"] = \
                    float(ins.thd_n_db(seg, fs_out))
        for name in row:
            row[name]["dynamic_range"] = 60.0 - row[name]["thdn_-60"]
        rows[off] = row
    return rows


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

