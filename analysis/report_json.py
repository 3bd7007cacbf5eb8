"""docs/quality.json from the measured numbers: every figure of the run,
keyed by condition (an offset such as "+0.01", or a rate pair such as
"44100->48000"), level and tone, with the machine and versions it ran on."""

import math

from plan import HIGH_TONE, KEY_LEVEL, KEY_OFFSET, TONE, key, window_outputs


def wide_json(wide):
    """The 32-bit comparison: SINAD and spur keyed condition, setting, tone;
    time per input sample keyed condition, setting."""
    if not wide or not wide.get("table"):
        return None
    sinad = {}
    for (ck, _, f), r in wide["table"].items():
        for name, v in r.items():
            sinad.setdefault(ck, {}).setdefault(name, {})[f"{f:g}"] = {
                "sinad_db": round(v["sinad"], 2), "spur_dbc": round(v["spur"], 2)}
    return {"about": "-1 dBFS Q1.31 tones (int32, full scale 2^31, no conditioning) through "
                     "asrc-peer-run's 32-bit settings, int32 in and out",
            "settings": wide["names"], "conditions": [c.key for c in wide["conds"]],
            "window_outputs": wide["window"], "sinad": sinad,
            "ns_per_input_sample": {c: {n: v["ns_per_input_sample"] for n, v in per.items()}
                                    for c, per in wide.get("cost", {}).items()},
            "cost_how": wide.get("how", {})}


def build_json(quick, info, elapsed, offsets, conds, table, thdn, hr, ratios, delays, d_freqs,
               d_phases, wrap_stats, sq_hr, field, wide=None):
    sinad = {}
    for (ck, level, f), r in table.items():
        for name, v in r.items():
            d = sinad.setdefault(ck, {}).setdefault(f"{level:g}", {}).setdefault(name, {})
            d[f"{f:g}"] = {"sinad_db": round(v["sinad"], 2), "spur_dbc": round(v["spur"], 2)}
    k = table[(key(KEY_OFFSET), KEY_LEVEL, TONE)]
    return {
        "about": "conversion quality of this library's converters beside reference "
                 "converters and the field's resampling libraries; levels are dBFS at the 24-bit "
                 "input scale before the program's conditioning",
        "quick": bool(quick),
        "key": {
            "sinad_997Hz_-1dBFS_offset_+0.01": {n: round(v["sinad"], 2) for n, v in k.items()},
            "sinad_10kHz_-1dBFS": {
                c.key: {n: round(v["sinad"], 2)
                        for n, v in table.get((c.key, KEY_LEVEL, HIGH_TONE), {}).items()}
                for c in conds if (c.key, KEY_LEVEL, HIGH_TONE) in table},
            "ns_per_input_sample": {c: {n: v["ns_per_input_sample"] for n, v in per.items()}
                                    for c, per in field["cost"].items()},
            "tone_hz": TONE, "level_dbfs": KEY_LEVEL, "offset": KEY_OFFSET,
            "thd_n_997Hz_-1dBFS": {o: {n: round(v["thdn_-1"], 2) for n, v in r.items()}
                                   for o, r in thdn.items()},
            "dynamic_range_db": {o: {n: round(v["dynamic_range"], 2) for n, v in r.items()}
                                 for o, r in thdn.items()},
            "headroom_dbfs_min_over_offsets": {
                f"{f:g}": min(r["levels"][f] for r in hr.values())
                for f in next(iter(hr.values()))["levels"]},
        },
        "sinad": sinad,
        "headroom_dbfs": {key(o): {f"{f:g}": v for f, v in r["levels"].items()} for o, r in hr.items()},
        "ratio": ratios,
        "delay_vs_phase": {"phases_q14": d_phases,
                           "samples": {f"{f:g}": [round(float(v), 5) for v in row]
                                       for f, row in zip(d_freqs, delays)}},
        "windows": {key(o): dict(zip(("outputs", "periods"), window_outputs(
            0 if o == 0 else int(math.trunc(16384 * o)), quick))) for o in offsets},
        "machine": info,
        "elapsed_s": round(elapsed, 1),
        "wrap_examples": wrap_stats,
        "square_wave_1kHz_headroom_dbfs": {key(o): v for o, v in sq_hr.items()},
        "field": field,
        "q31": wide_json(wide),
    }
