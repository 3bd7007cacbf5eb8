"""docs/quality.md from the measured numbers.  Every figure quoted in the
text is read from the results of the same run."""

import math

import numpy as np

import statistics

import instruments as ins
import references as ref
from measure import fall_off
from plan import (CONDITIONING_GAIN_DB, CONVERTERS, HIGH_TONE, KEY_LEVEL, KEY_OFFSET, LABELS,
                  OURS, PEERS, SKIP, TONE, WIDE_OURS, freqs_for, key, window_outputs)

NAMES = CONVERTERS + ["input"]
REFS = ["resample_poly", "input"]


def fmt(v, nd=1):
    return "-" if v is None else f"{v:.{nd}f}"


def _row(cells):
    return "| " + " | ".join(str(c) for c in cells) + " |\n"


def _table(head, rows):
    s = _row(head) + _row(["---"] * len(head))
    for r in rows:
        s += _row(r)
    return s


def _timing_rms():
    """Rms of the allpass's low-frequency delay error about its mean, the
    phase spread evenly over 0..1 (as a steady step spreads it)."""
    e = np.linspace(0, 1, 100001)
    return float(np.std(-(1 - e) * e / (1 + e)))


def _peer_name(name, settings):
    s = settings.get(name)
    return f"`{name}`" if not s else f"`{name}` ({s['package']})"


def _setting_label(name, settings):
    if name in OURS:
        return f"**{LABELS[name]}**"
    if name in LABELS:
        return LABELS[name]
    return _peer_name(name, settings)


def _sinad(table, ck, f, name, lv=KEY_LEVEL):
    r = table.get((ck, lv, f), {}).get(name)
    return None if r is None else r["sinad"]


def _worst_over_band(table, conds, freqs, name):
    """The lowest SINAD of name over every moving condition and tone at the
    key level, with where it occurs."""
    worst = None
    for c in conds:
        for f in freqs_for(c, freqs):
            v = _sinad(table, c.key, f, name)
            if v is not None and (worst is None or v < worst[0]):
                worst = (v, f, c)
    return worst


def _lowest(table, conds, f, name):
    vals = [v for v in (_sinad(table, c.key, f, name) for c in conds) if v is not None]
    return min(vals) if vals else None


def _ns(cost, ck, name):
    t = cost.get(ck, {}).get(name)
    return None if t is None else t["ns_per_input_sample"]


def _near_unity_ns(cost, conds, name):
    """Median ns per input sample over the conditions at 48 kHz (offsets)."""
    vals = [v for v in (_ns(cost, c.key, name) for c in conds if c.key[0] in "+-") if v]
    return statistics.median(vals) if vals else None


def _matching_peers(table, moving, peers, name="asrc-poly", within=0.5):
    """The peers whose SINAD at 997 Hz and 10 kHz is within `within` dB of
    name's, or better, at every moving ratio where both were measured."""
    out = []
    for p in peers:
        diffs = [_sinad(table, c.key, f, p) - _sinad(table, c.key, f, name)
                 for c in moving for f in (TONE, HIGH_TONE)
                 if _sinad(table, c.key, f, p) is not None
                 and _sinad(table, c.key, f, name) is not None]
        if diffs and min(diffs) >= -within:
            out.append(p)
    return out


def _verdict(table, cost, field, moving, peers, allf, settings, pick, f40):
    """Where each of our converters is the right choice, from this run's
    figures."""
    md = []
    w = md.append
    w("## Which converter, when\n\n")
    if not moving:
        w("No ratio other than 1 was measured in this run.\n\n")
        return "".join(md)
    conds = field["conditions"]
    at48 = [c for c in moving if c.key[0] in "+-"]
    key_c = next((c for c in moving if c.key == key(KEY_OFFSET)), moving[0])
    down = next((c for c in moving if c.key == "48000->44100"), None)
    up = next((c for c in moving if c.key == "44100->48000"), None)
    ns_rule = _near_unity_ns(cost, moving, "asrc-rule")
    ns_poly = _near_unity_ns(cost, moving, "asrc-poly")
    lat_rule = cost.get(key_c.key, {}).get("asrc-rule", {}).get("latency_input_samples")

    r997 = _sinad(table, key_c.key, TONE, "asrc-rule")
    r10k = _sinad(table, key_c.key, HIGH_TONE, "asrc-rule")
    ppm = ", ".join(f"{r['error_ppm']:+.0f} ppm at offset {r['offset']:+g}" for r in pick
                    if r["step"] != 0 and 0 < r["offset"] <= 0.01)
    w("**The rule** (`asrc.h`) is the right choice where the output must be the existing "
      "device's, bit for bit (the program `asrc` and whatever was measured or tuned against "
      "it), or where almost nothing can be spent: "
      + (f"{ns_rule:.2f} ns per input sample on this machine "
         f"({ns_rule / ns_poly:.2f}x the polyphase converter's), " if ns_rule and ns_poly else "")
      + "10 bytes of state per channel, no table, one multiply-add chain per sample and "
      + ("one sample" if lat_rule in (None, 1) else f"{lat_rule:g} samples")
      + " of delay. What it costs in quality: "
      f"{fmt(r997)} dB SINAD at {TONE:g} Hz (offset {key_c.short}), falling 6 dB per octave to "
      f"{fmt(r10k)} dB at {HIGH_TONE / 1000:g} kHz and below 40 dB from about {fmt(f40, 0)} Hz; "
      "and its ratio is coarse: only P/(P+1) or (P+2)/(P+1), " + ppm + " off the ratio asked, "
      "and no conversion at all below |offset| = 1/16384. Loud high-frequency input can wrap "
      "(see below).\n\n")

    p997 = _lowest(table, moving, TONE, "asrc-poly")
    p10k = _lowest(table, moving, HIGH_TONE, "asrc-poly")
    pw = _worst_over_band(table, moving, allf, "asrc-poly")
    # resample_poly is a long double-precision filter rounded once: the most a
    # 16-bit converter can keep of this input (the input's own figure is no
    # bound, its error is periodic where a tone divides the rate).
    gaps = [_sinad(table, c.key, f, "resample_poly") - _sinad(table, c.key, f, "asrc-poly")
            for c in moving for f in freqs_for(c, allf)
            if _sinad(table, c.key, f, "resample_poly") is not None
            and _sinad(table, c.key, f, "asrc-poly") is not None]
    d_near = sorted({conds[c.key]["poly_delay_inputs"] for c in at48 + ([up] if up else [])})
    text = ("**The polyphase converter** (`asrc_poly.h`) is the right choice for audio and for "
            "following a clock: it is transparent at 16 bits (at the worst ratio "
            f"{fmt(p997)} dB SINAD at {TONE:g} Hz and {fmt(p10k)} dB at {HIGH_TONE / 1000:g} kHz, "
            f"{pw[0]:.1f} dB at its worst tone ({pw[1] / 1000:g} kHz, {pw[2].short}, where the "
            f"conditioned input itself holds {fmt(_sinad(table, pw[2].key, pw[1], 'input'))} dB); "
            "never more "
            f"than {max(max(gaps), 0):.1f} dB below resample_poly, a double-precision filter "
            "rounded once), it takes any ratio from 0.5 to 2 to 2^-30 "
            "(Q2.30, changeable from one block to the next), and it is fixed-point, the same "
            "bits on every platform. It holds 1052 bytes of state per channel and shares a "
            "64 KiB coefficient table (`asrc_poly.h`); its delay is "
            f"{'/'.join(str(d) for d in d_near)} input samples near unity"
            + (f" and {conds[down.key]['poly_delay_inputs']} from 48 to 44.1 kHz" if down
               else "") + " (`poly_convert` and the runner hide it by aligning the output). ")
    if ns_poly:
        text += f"It costs {ns_poly:.1f} ns per input sample at 48 kHz near unity"
        if up and _ns(cost, up.key, "asrc-poly"):
            text += f", {_ns(cost, up.key, 'asrc-poly'):.1f} from 44.1 to 48 kHz"
        if down and _ns(cost, down.key, "asrc-poly"):
            nd = _ns(cost, down.key, "asrc-poly")
            text += (f" and {nd:.1f} from 48 to 44.1 kHz, {nd / ns_poly:.1f}x as much: "
                     "downsampling by more than 1 % takes the stretched filter (up to 256 "
                     "taps), here on its rows for the ratio's stride (`asrc_poly_rows`, "
                     "200 KB made once per ratio; without them it runs on the portable "
                     "code, some 15x slower)")
        text += ". "
    w(text + "\n\n")

    match = _matching_peers(table, moving, peers)
    if match and ns_poly:
        def rel(p, ck=None):
            a = _near_unity_ns(cost, moving, p) if ck is None else _ns(cost, ck, p)
            b = ns_poly if ck is None else _ns(cost, ck, "asrc-poly")
            return None if not a or not b else a / b
        near = sorted(match, key=lambda p: rel(p) or 1e9)
        w("**Beside the field.** The settings that reach the polyphase converter's SINAD at "
          f"{TONE:g} Hz and {HIGH_TONE / 1000:g} kHz (within 0.5 dB, at every ratio) and what "
          "they cost as a multiple of its time, at 48 kHz near unity"
          + (" / from 48 to 44.1 kHz" if down else "") + ": "
          + ", ".join(f"{_peer_name(p, settings)} {fmt(rel(p), 2)}x"
                      + (f" / {fmt(rel(p, down.key), 2)}x" if down else "") for p in near)
          + ". ")
        # Within 10 %: the timings of a shared machine move by that much.
        cheap = [p for p in near if rel(p) and rel(p) < 1.1]
        if cheap:
            w("Where a floating-point library can be used and the same bits on every platform "
              f"do not matter, {', '.join(_peer_name(p, settings) for p in cheap)} "
              f"give{'s' if len(cheap) == 1 else ''} the same quality near unity at about its "
              "cost or less; the polyphase converter is for fixed-point targets, bit-exact "
              "results and a ratio that a drift controller steers from block to block. ")
        dith = [(a, b) for a, b in (("soxr-hq", "soxr-hq-nodither"),
                                    ("soxr-vhq", "soxr-vhq-nodither"))
                if _sinad(table, key_c.key, TONE, a) is not None
                and _sinad(table, key_c.key, TONE, b) is not None]
        if dith:
            a, b = dith[0]
            w(f"soxr's default TPDF dither costs it "
              f"{_sinad(table, key_c.key, TONE, b) - _sinad(table, key_c.key, TONE, a):.1f} dB "
              f"at {TONE:g} Hz (`{a}` against `{b}`). ")
        w("\n\n")
    return "".join(md)


def _wide_section(wide, settings):
    """The 32-bit comparison: the 24-bit converter and the field's 32-bit
    settings on Q1.31 tones, SINAD and time per input sample by ratio."""
    md = []
    w = md.append
    w("## 32 bits: the 24-bit converter and the field on Q1.31 tones\n\n")
    names = wide.get("names", [])
    conds = wide.get("conds", [])
    table = wide.get("table", {})
    if not names or not table:
        w("Not measured in this run: the runner `asrc-peer-run` was not there or has no 32-bit "
          "setting (see the notes above).\n\n")
        return "".join(md)
    cost = wide.get("cost", {})
    how = wide.get("how", {})
    freqs = wide["freqs"]
    bound = ins.ideal_sinad_db(KEY_LEVEL, bits=24)
    inp = [r["input"]["sinad"] for r in table.values() if "input" in r]
    w(f"Every 32-bit setting takes the same {KEY_LEVEL:g} dBFS tone of Q1.31 samples (int32, full "
      "scale 2^31, rounded to nearest, no conditioning) through the runner, int32 in and int32 "
      "out: our 24-bit converter `asrc-q31` (`asrc_q31.h`), soxr on 32-bit integers "
      "(`SOXR_INT32_I` both ways, no dither), libsamplerate and zita-resampler in float, the "
      "int32 samples scaled by 2^-31 and their outputs by 2^31, rounded and clipped to int32. "
      "The ratios are 48 kHz x (1 - r) for r = +-1e-4, +-1e-3, +-1e-2 and the studio's rate "
      f"pairs; the tones {', '.join(f'{f:g}' for f in freqs)} Hz, each above 0.45 of the lower "
      "rate replaced by that edge. SINAD comes from the same four-parameter sine fit, over "
      f"{wide['window']} outputs after the first {SKIP}. For scale: the 24-bit format's own "
      f"limit for a {KEY_LEVEL:g} dBFS tone is {bound:.1f} dB (6.02 x 24 + 1.76 {KEY_LEVEL:+g}); "
      "the input tone itself, rounded to 32 bits, holds "
      f"{fmt(min(inp) if inp else None)} dB. Mono; the benchmark `bench/q31_ratios.sh` times "
      "two channels as well.\n\n")

    def sinad(ck, f, n):
        r = table.get((ck, KEY_LEVEL, f), {}).get(n)
        return None if r is None else r["sinad"]

    def worst(ck, n):
        vals = [(sinad(c.key, f, n), f) for c in conds if c.key == ck
                for f in freqs_for(c, freqs) if sinad(c.key, f, n) is not None]
        return min(vals) if vals else None

    def label(n):
        s = settings.get(n)
        if n in WIDE_OURS:
            return f"**`{n}`**, {LABELS.get(n, n)}"
        return f"`{n}`" + (f" ({s['package']})" if s else "")

    w(f"SINAD (dB) by ratio: the lowest over the band, with the tone (kHz) where it falls, and "
      f"at {TONE:g} Hz:\n\n")
    rows = []
    for n in names:
        cells = []
        for c in conds:
            wv = worst(c.key, n)
            cells.append("-" if wv is None else
                         f"{wv[0]:.1f} ({wv[1] / 1000:g}) / {fmt(sinad(c.key, TONE, n))}")
        rows.append([label(n)] + cells)
    w(_table(["setting"] + [c.short for c in conds], rows) + "\n")

    ours = WIDE_OURS[0] if WIDE_OURS[0] in names else None
    if ours:
        lows = [(worst(c.key, ours), c) for c in conds if worst(c.key, ours)]
        if lows:
            (v, f), c = min(lows, key=lambda t: t[0][0])
            held = sum(1 for (x, _), _c in lows if x >= 140.0)
            w(f"`{ours}` holds {v:.1f} dB or more over the band at every ratio measured (its "
              f"lowest at {f / 1000:g} kHz, {c.short}); 140 dB or more at {held} of {len(lows)} "
              "ratios.\n\n")
    if cost:
        w(f"Time per input sample on one core (ns), by ratio, with `{ours}`'s time as a multiple "
          "of soxr HQ's (`soxr-hq-i32`; below 1.00x it is faster):\n\n")
        rows = [[label(n)] + [fmt(cost.get(c.key, {}).get(n, {}).get("ns_per_input_sample"), 2)
                              for c in conds] for n in names]
        ratio_row = []
        for c in conds:
            a = cost.get(c.key, {}).get(ours, {}).get("ns_per_input_sample")
            b = cost.get(c.key, {}).get("soxr-hq-i32", {}).get("ns_per_input_sample")
            ratio_row.append("-" if not a or not b else f"{a / b:.2f}x")
        rows.append([f"`{ours}` / `soxr-hq-i32`"] + ratio_row)
        w(_table(["setting"] + [c.short for c in conds], rows) + "\n")
        w(f"Timed by the same program as the 16-bit figures (`asrc-peer-run --time --runs "
          f"{how['runs']}`, the {how['signal']}, {how['samples']} samples in blocks of "
          f"{how['block']}, fresh converters, the median), once over the ratios, but in CPU time "
          "of the converting thread, not elapsed time: on this shared machine the elapsed time "
          "also counts the turns other processes take on the core and moves by several times "
          "(both are in quality.json). `bench/q31_ratios.sh` gives the same comparison with "
          "two channels, at 16 bits, and against the bare arithmetic; docs/performance.md has "
          "its figures.\n\n")
    for caption, path in wide.get("figs", []):
        w(f"**{caption}**\n\n![{caption}]({path})\n\n")
    return "".join(md)


def render(cmd, info, elapsed, quick, offsets, conds, levels, freqs, table, thdn, hr, hr_freqs,
           ratios, delays, d_freqs, d_phases, figs, wrap_stats, sq_hr, field, wide=None):
    lv = KEY_LEVEL
    key_off = KEY_OFFSET if KEY_OFFSET in offsets else offsets[-1]
    kk = key(key_off)
    s997 = table[(kk, lv, TONE)]
    sinad_vs_f = [table[(kk, lv, f)]["asrc-rule"]["sinad"] for f in freqs]
    lin_vs_f = [table[(kk, lv, f)]["linear"]["sinad"] for f in freqs]
    input_997 = s997["input"]["sinad"]
    th = thdn[kk]
    hr_min = {f: min(r["levels"][f] for r in hr.values()) for f in hr_freqs}
    worst_f = min(hr_min, key=lambda f: hr_min[f])
    wraps_at_full_scale = [f for f in hr_freqs if hr_min[f] < 0]
    steps = {o: int(math.trunc(16384 * o)) for o in offsets}
    settings = field["settings"]
    cost = field["cost"]
    moving = [c for c in conds if not c.is_unity]
    peers = [n for n in PEERS if any(n in r for r in table.values())]
    fieldnames = OURS + peers + REFS
    allf = sorted({f for (_, _, f) in table})
    md = []
    w = md.append

    w("# Conversion quality\n\n")
    w("Generated by `analysis/quality.py`; do not edit by hand, run the command again.\n\n")
    if quick:
        w("**This is the reduced (--quick) run: fewer tones, ratios and shorter windows, and "
          "quick timings.**\n\n")
    w(f"- Command: `{cmd}`\n")
    w(f"- Machine: {info['platform']}, {info['cpu']}, {info['cores']} cores; "
      f"run took {elapsed:.0f} s\n")
    w(f"- Versions: Python {info['python']}, numpy {info['numpy']}, scipy {info['scipy']}, "
      f"matplotlib {info['matplotlib']}; git commit {info['git_commit']}\n")
    if field["runner"]:
        w(f"- The field's libraries ran through `{field['runner']}` ({len(peers)} settings); "
          "left out: " + ("nothing" if not field["notes"] else "; ".join(field["notes"])) + ".\n")
    else:
        w("- **The field's libraries were not measured**: " + "; ".join(field["notes"]) + ".\n")
    w("- Every figure below carries the command that made it in its lower left corner; "
      "the numbers are also in [quality.json](quality.json).\n\n")

    w("## What is measured, and how\n\n")
    w("Every tone is made as the program's users make their input: numbers at 24-bit scale "
      "(level in dBFS re 2^23), reduced by the program's own conditioning (`asrc.condition`: "
      "shift right by 8, times 0.99, truncated), so -1 dBFS at the input is "
      f"{-1 + CONDITIONING_GAIN_DB:.2f} dBFS at the converter. Every converter takes the same "
      "conditioned 16-bit input, in the same run:\n\n")
    w("- **the rule** (`asrc.convert`, the first-order allpass of `asrc.h`; the real module), "
      "given the condition's rate offset 1 - out/in as the program's argument, so it runs at "
      "the ratio its step gives, P/(P+1) for drops or (P+2)/(P+1) for inserts "
      "(P = floor(16384/|step|)), not at the one asked;\n"
      "- **the polyphase converter** (`asrc.poly_convert`, `asrc_poly.h`; the real module) at "
      "the ratio in/out rounded to Q2.30 (`asrc.poly_ratio`), its delay flushed, output k "
      "aligned with input time k * ratio;\n"
      "- three references on the rule's phase accumulator, at the rule's ratio: "
      "**drop/insert** (the floor: the same accumulator drops or repeats a sample, every other "
      "output is the input one sample late), **linear interpolation** (same cost class: output "
      "x[n-1] + phase/16384 * (x[n] - x[n-1]), rounded) and **resample_poly** (the ideal at "
      "that ratio: `scipy.signal.resample_poly`, a Kaiser-windowed sinc of 96 taps per branch, "
      "beta 12, cutoff 0.95 of Nyquist, rounded to int16);\n"
      "- **the field's resampling libraries** from Debian, through the runner `asrc-peer-run` "
      "(`bench/peers`), at exactly the ratio asked, each aligned as its library allows (output "
      "k at input time k * in/out); the float libraries get the samples times 1/32768 and give "
      "outputs times 32768, rounded to nearest and clipped to 16 bits, as a user would feed "
      "them; speexdsp runs its integer entry and soxr 16-bit input and output;\n"
      "- beside them the **conditioned input** itself (no conversion: the best any converter "
      "can give from this input, since the conditioning truncates) and the **ideal 16-bit "
      f"bound** 6.02*16 + 1.76 + level (at -1 dBFS: "
      f"{ins.ideal_sinad_db(-1 + CONDITIONING_GAIN_DB):.1f} dB).\n\n")
    if settings:
        w("The settings, as the runner lists them (`asrc-peer-run --list`):\n\n")
        rows = [[f"`{n}`", s["package"], s["version"], s["description"]]
                for n, s in settings.items()]
        w(_table(["setting", "Debian package", "library's version", "what is set"], rows) + "\n")
    w("The ratios, each an input rate and an output rate: at 48 kHz the rate offsets, the output "
      "at 48000 * (1 - offset), and the two common rate pairs. The peers were measured at "
      f"{lv:g} dBFS and wherever the ratio is not 1; ours and the references at every level "
      "and ratio:\n\n")
    rows = []
    for c in conds:
        fc = field["conditions"][c.key]
        rows.append([c.title, f"{fc['rule_offset']:+.6g}", fc["rule_step"], fc["rule_ratio"],
                     fc["poly_ratio_q30"], fc["poly_delay_inputs"]])
    w(_table(["ratio", "rule's offset", "rule's step", "rule's ratio (out/in)",
              "asrc_poly ratio (Q2.30, in/out)", "asrc_poly delay (inputs)"], rows) + "\n")
    w("SINAD is 20 log10(rms of the fitted sine / rms of the residual), from a four-parameter "
      "least-squares sine fit (frequency, amplitude, phase, offset; IEEE 1057). The largest "
      "spur is the highest peak of a Kaiser (beta 20, sidelobes near -150 dB) windowed "
      "spectrum outside the fundamental's +-10 bins and DC, each level summed over its main "
      "lobe, in dBc. THD+N: the fitted fundamental is removed, the rest limited to 20 Hz-20 kHz "
      "(at the output rate) and set against the total rms, unweighted; dynamic range is "
      "60 dB minus the THD+N of a -60 dBFS tone. Tones run up to 20 kHz, or to 0.45 of the "
      "lower rate where that is lower (19.845 kHz with 44.1 kHz on either side). The first "
      f"and last {2048} outputs are left out (start-up, the resamplers' tails). The "
      "converters at the exact ratio are analysed over "
      f"{field['cost_how'].get('window', 32768 if quick else 131072)} outputs; the rule and its "
      "references over whole drop or insert periods:\n\n")
    rows = []
    for o in offsets:
        n, p = window_outputs(steps[o], quick)
        per = "-" if steps[o] == 0 else f"{ref.period_inputs(steps[o])} inputs"
        rows.append([f"{o:+g}", steps[o], per, n, p if p else "-"])
    w(_table(["offset", "step", "period", "window (outputs)", "whole periods"], rows) + "\n")
    if cost:
        how = field["cost_how"]
        w("**Cost.** Every setting, ours included, is timed by the same program: "
          f"`asrc-peer-run --time --runs {how['runs']} NAME IN OUT` pins itself to the core it "
          f"runs on and converts the {how['signal']} ({how['samples']} samples, in blocks of "
          f"{how['block']}, the stream ended) with fresh converters whose creation is not timed, "
          f"and reports the median of {how['runs']} conversions in ns per input sample. The "
          f"whole sweep over ratios and settings is repeated {how['rounds']} "
          f"time{'s' if how['rounds'] > 1 else ''}, interleaved, and the median kept. Our two "
          "converters run there through the same interface as the peers (`asrc-poly`: the same "
          "samples as `asrc.poly_convert`; `asrc-rule`: `asrc.convert` without its first "
          "output), so their SINAD below, measured on the module, is the runner's too. The "
          "machine is shared: single timings move by 10-20 %.\n\n")

    w("## Key figures\n\n")
    if moving:
        w(f"Every converter at a glance ({lv:g} dBFS tones; SINAD the lowest over the "
          f"{len(moving)} ratios measured, {', '.join(c.short for c in moving)}; time per input "
          "sample on one core, the median over the rate offsets at 48 kHz and at each rate "
          "pair):\n\n")
        pair_keys = [c for c in moving if c.key[0] not in "+-"]
        head = ["converter", f"SINAD {TONE:g} Hz (dB)", f"SINAD {HIGH_TONE / 1000:g} kHz (dB)",
                "lowest over the band (dB, at)", "ns/sample, 48 kHz offsets"] + \
               [f"ns/sample, {c.short}" for c in pair_keys]
        rows = []
        for n in fieldnames:
            wb = _worst_over_band(table, moving, allf, n)
            if wb is None:
                continue
            rows.append([_setting_label(n, settings), fmt(_lowest(table, moving, TONE, n)),
                         fmt(_lowest(table, moving, HIGH_TONE, n)),
                         f"{wb[0]:.1f} ({wb[1] / 1000:g} kHz, {wb[2].short})",
                         fmt(_near_unity_ns(cost, moving, n), 2)]
                        + [fmt(_ns(cost, c.key, n), 2) for c in pair_keys])
        w(_table(head, rows) + "\n")
        w(f"SINAD at {TONE:g} Hz / {HIGH_TONE / 1000:g} kHz, {lv:g} dBFS (dB), by ratio:\n\n")
        rows = [[_setting_label(n, settings)]
                + [f"{fmt(_sinad(table, c.key, TONE, n))} / "
                   f"{fmt(_sinad(table, c.key, HIGH_TONE, n))}" for c in moving]
                for n in fieldnames]
        w(_table(["converter"] + [c.short for c in moving], rows) + "\n")
        if cost:
            w("Time per input sample on one core (ns), by ratio:\n\n")
            rows = [[_setting_label(n, settings)] + [fmt(_ns(cost, c.key, n), 2) for c in moving]
                    for n in OURS + peers if any(_ns(cost, c.key, n) for c in moving)]
            w(_table(["converter"] + [c.short for c in moving], rows) + "\n")
    w(f"Ours and the references, SINAD at {TONE:g} Hz, {lv:g} dBFS (dB):\n\n")
    rows = []
    for c in conds:
        r = table[(c.key, lv, TONE)]
        rows.append([c.short] + [fmt(r[n]["sinad"]) if n in r else "-" for n in NAMES])
    w(_table(["ratio"] + [LABELS[n] for n in NAMES], rows) + "\n")
    w(f"THD+N at {TONE:g} Hz, -1 dBFS (dB, 20 Hz-20 kHz) / dynamic range (dB, unweighted):\n\n")
    rows = [[f"{o:+g}"] + [f"{fmt(thdn[key(o)][n]['thdn_-1'])} / "
                           f"{fmt(thdn[key(o)][n]['dynamic_range'])}" if n in thdn[key(o)]
                           else "-" for n in NAMES] for o in offsets]
    w(_table(["offset"] + [LABELS[n] for n in NAMES], rows) + "\n")
    w(f"SINAD (dB) / largest spur (dBc) against tone frequency at offset {key_off:+g}, "
      f"{lv:g} dBFS (the field's settings are in the figure and quality.json):\n\n")
    rows = []
    for f in freqs:
        r = table[(kk, lv, f)]
        rows.append([f"{f:g}"] + [f"{fmt(r[n]['sinad'])} / {fmt(r[n]['spur'])}" for n in NAMES])
    w(_table(["Hz"] + [LABELS[n] for n in NAMES], rows) + "\n")
    w(f"The rule's SINAD (dB) at {lv:g} dBFS, every offset (the other converters and "
      f"{'levels' if len(levels) > 1 else 'level'} are in the figures and quality.json):\n\n")
    rows = [[f"{f:g}"] + [fmt(table[(key(o), lv, f)]["asrc-rule"]["sinad"]) for o in offsets]
            for f in freqs]
    w(_table(["Hz"] + [f"{o:+g}" for o in offsets], rows) + "\n")
    w("Headroom, the highest tone level that never wraps (dBFS, 0.05 dB steps, 0 = even full "
      "scale never wraps), lowest over offsets "
      f"{', '.join(f'{o:+g}' for o in hr)}:\n\n")
    rows = [[f"{f:g}", fmt(hr_min[f], 2),
             ", ".join(f"{o:+g}" for o, r in hr.items() if r["levels"][f] == hr_min[f])
             if hr_min[f] < 0 else "none"] for f in hr_freqs]
    w(_table(["Hz", "headroom (dBFS)", "offsets that set it"], rows) + "\n")

    w("Ratio obtained (output count over whole periods / input count) against the ratio asked, "
      "1 - offset:\n\n")
    pick = [r for r in ratios if any(math.isclose(abs(r["offset"]), d, rel_tol=1e-9)
                                     for d in (1e-5, 1e-4, 1e-3, 1e-2, 1e-1))]
    rows = [[f"{r['offset']:+g}", r["step"], r["inputs"], r["outputs"], f"{r['obtained']:.8f}",
             f"{r['error_ppm']:+.1f}"] for r in pick]
    w(_table(["offset", "step", "inputs", "outputs", "obtained", "error (ppm)"], rows) + "\n")

    w("Delay of the allpass with its phase held (step 0 after one input at step p), in samples, "
      "against the ideal 1 - p/16384:\n\n")
    rows = []
    for j, p in enumerate(d_phases):
        eta = p / ref.ONE
        rows.append([p, f"{eta:.4f}", f"{1 - eta:.4f}", f"{(1 - eta) / (1 + eta):.4f}"]
                    + [f"{delays[i][j]:.4f}" for i in range(len(d_freqs))])
    w(_table(["phase", "eta", "ideal", "(1-eta)/(1+eta)"] + [f"measured {f:g} Hz" for f in d_freqs],
             rows) + "\n")

    w(_wide_section(wide or {}, settings))

    w("## Figures\n\n")
    for caption, path in figs:
        w(f"**{caption}**\n\n![{caption}]({path})\n\n")

    f60 = fall_off(freqs, sinad_vs_f, 60.0)
    f40 = fall_off(freqs, sinad_vs_f, 40.0)
    w(_verdict(table, cost, field, moving, peers, allf, settings, pick, f40))

    w("## The rule: what it is good for, and what it is not\n\n")
    w(f"**The numbers.** At {TONE:g} Hz, {lv:g} dBFS and offset {key_off:+g} the rule "
      f"gives a SINAD of {s997['asrc-rule']['sinad']:.1f} dB and THD+N of "
      f"{th['asrc-rule']['thdn_-1']:.1f} dB "
      f"({100 * 10 ** (th['asrc-rule']['thdn_-1'] / 20):.2f} %), where the conditioned input "
      f"itself holds {input_997:.1f} dB and resample_poly at the same ratio keeps "
      f"{s997['resample_poly']['sinad']:.1f} dB. Its SINAD falls about 6 dB per octave of tone "
      f"frequency: it drops below 60 dB at {fmt(f60, 0)} Hz and below 40 dB at {fmt(f40, 0)} Hz "
      f"({sinad_vs_f[0]:.1f} dB at {freqs[0]:g} Hz, {sinad_vs_f[-1]:.1f} dB at {freqs[-1]:g} Hz). "
      f"Dynamic range is {th['asrc-rule']['dynamic_range']:.1f} dB (the input's "
      f"{th['input']['dynamic_range']:.1f} dB): the error scales with the signal, so at "
      "-60 dBFS it lies under the noise and the dynamic range figure does not show it. ")
    nz = [o for o in offsets if o != 0]
    spread = [table[(key(o), lv, TONE)]["asrc-rule"]["sinad"] for o in nz]
    if nz:
        w(f"The figure hardly depends on the offset: {min(spread):.1f} to {max(spread):.1f} dB "
          f"at {TONE:g} Hz over offsets {', '.join(f'{o:+g}' for o in nz)}. ")
    if 0.0 in offsets:
        w(f"At offset 0 (any |offset| below 1/16384) the step is 0 and the rule is an exact "
          f"one-sample delay: {table[(key(0.0), lv, TONE)]['asrc-rule']['sinad']:.1f} dB, the "
          "input's own figure. ")
    w("\n\n**Why.** The error is a timing error, not noise or rounding. The first-order allpass "
      "(eta + z^-1)/(1 + eta z^-1) delays low frequencies by (1 - eta)/(1 + eta) samples, not "
      "by the 1 - eta that the phase stands for: up to "
      f"{max((1 - e) * e / (1 + e) for e in np.linspace(0, 1, 1001)):.3f} samples short at "
      "eta = 0.414, and more at high frequencies. The phase sweeps 0..1 once per drop or insert "
      "period at every offset, so each output is displaced by a sawtooth-like timing error whose "
      f"rms ({_timing_rms():.3f} samples) does not depend on the offset; a timing error t on a tone of "
      "frequency f gives an error 2 pi f t, hence the 6 dB per octave: -20 log10(2 pi f/fs "
      f"* rms) predicts {-20 * math.log10(2 * math.pi * TONE / 48000 * _timing_rms()):.1f} dB at "
      f"{TONE:g} Hz. Discarding the phase "
      "overshoot at each drop or insert adds at most one step of timing error, which is small "
      "beside it (see the timing figure). ")
    lin = s997["linear"]["sinad"]
    di = s997["drop_insert"]["sinad"]
    w(f"Linear interpolation, with a delay exactly linear in the phase, reaches {lin:.1f} dB at "
      f"{TONE:g} Hz ({lin - s997['asrc-rule']['sinad']:+.1f} dB against the rule); "
      f"drop/insert without interpolation gives {di:.1f} dB. At the top of the band the allpass, "
      f"whose gain stays 1, beats linear interpolation, whose gain sags between samples: "
      f"{sinad_vs_f[-1]:.1f} against {lin_vs_f[-1]:.1f} dB at {freqs[-1]:g} Hz.\n\n")
    w("**The ratio.** The step is whole Q2.14 units and the overshoot is discarded, so the ratio "
      "obtained is P/(P+1) or (P+2)/(P+1), not 1 - offset: "
      + ", ".join(f"{r['error_ppm']:+.0f} ppm at {r['offset']:+g}" for r in pick if r["step"] != 0)
      + "; below |offset| = 1/16384 (61 ppm) nothing is converted at all. A fixed offset "
      "therefore cannot follow a clock to better than these figures; a caller that must "
      "track a drifting clock has to steer the step from a measured buffer level.\n\n")
    w("**Headroom.** ")
    small = [o for o in hr if abs(o) <= 0.01]
    hr_small = {f: min(hr[o]["levels"][f] for o in small) for f in hr_freqs}
    wrap_small = [f for f in hr_freqs if hr_small[f] < 0]
    worst_off = min(hr, key=lambda o: hr[o]["levels"][worst_f])
    if wraps_at_full_scale:
        w(f"Tones at {', '.join(f'{f:g}' for f in wraps_at_full_scale)} Hz wrap before full "
          f"scale at some offset (worst {hr_min[worst_f]:.2f} dBFS at {worst_f:g} Hz, offset "
          f"{worst_off:+g}); ")
        if wrap_small and len(small) < len(hr):
            w(f"at offsets within +-0.01 only {', '.join(f'{f:g}' for f in wrap_small)} Hz do "
              f"(worst {min(hr_small.values()):.2f} dBFS); ")
    else:
        w("No tone measured wraps up to full scale; ")
    w("the conditioning's factor 0.99 leaves 0.09 dB below 32767, which the allpass can "
      "overshoot at high frequencies. A wrap is not a one-sample click: the wrapped value is "
      "fed back into the allpass, so the output stays wrong, often inverted, for as long as the "
      "input stays near full scale. In the examples: "
      + "; ".join(f"{st['case']}: {st['wraps']} results leave the range and {st['spoiled']} of "
                  f"{st['outputs']} outputs end up more than 256 LSB off" for st in wrap_stats)
      + ". A 1 kHz square wave (hard-clipped material: each edge crosses the whole range) "
      "stays clear of wrapping only up to "
      f"{min(sq_hr.values()):.2f} dBFS (lowest over offsets "
      f"{', '.join(f'{o:+g}' for o in sq_hr)}); input that may reach full scale needs to be "
      "fed that far below it.\n\n")
    w(f"**Good for:** adjusting the rate of low-frequency material (sensor, control or "
      f"telemetry signals: 60 dB SINAD or better up to {fmt(f60, 0)} Hz) and of voice-grade "
      f"material where about {s997['asrc-rule']['sinad']:.0f} dB at 1 kHz is acceptable, at the "
      "cost of one multiply and five 16-bit values of state per channel, with an exact one-sample "
      "delay when the step is 0. **Not for:** high-fidelity audio: at 1 kHz it is "
      f"{input_997 - s997['asrc-rule']['sinad']:.0f} dB below its own input and "
      f"{lin - s997['asrc-rule']['sinad']:.0f} dB below linear interpolation of the same cost, and "
      f"above {fmt(f40, 0)} Hz its SINAD is under 40 dB; nor for following a clock precisely "
      "(the ratio is off by tens to thousands of ppm); nor for input near full scale, "
      "which can wrap and stay wrapped.\n")
    return "".join(md)
