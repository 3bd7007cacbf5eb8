"""What the quality report measures and under which conditions: the input
rate and scale, the tones, levels and offsets, the converters compared and
their names, and the analysis window.  Everything else in analysis/ reads
these; this module reads only the reference schedule."""

import math

import references as ref

FS = 48000.0
FULL_SCALE_24 = 8388608  # input numbers are at 24-bit scale
CONDITIONING_GAIN_DB = 20 * math.log10(0.99)

OFFSETS = [0.0, 1e-4, -1e-4, 1e-3, -1e-3, 1e-2, -1e-2]
LEVELS = [-1.0, -6.0]
FREQS = [20, 31.5, 50, 80, 125, 200, 315, 500, 800, 1250, 2000, 3150, 5000, 8000, 12500, 20000]
HEADROOM_FREQS = [20, 25, 31.5, 40, 50, 63, 80, 100, 125, 160, 200, 250, 315, 400, 500, 630, 800,
                  1000, 1250, 1600, 2000, 2500, 3150, 4000, 5000, 6300, 8000, 10000, 12500,
                  16000, 20000]
TONE = 997.0
LABELS = {
    "asrc": "this converter (allpass)",
    "linear": "linear interpolation",
    "drop_insert": "drop/insert, no interpolation",
    "polyphase": "polyphase (resample_poly, Kaiser)",
    "input": "conditioned input, no conversion",
}
CONVERTERS = ["asrc", "linear", "drop_insert", "polyphase"]
SKIP = 2048  # outputs left out at each end: start-up and the resampler's tails
KEY_OFFSET, KEY_LEVEL = 0.01, -1.0


def window_outputs(step, quick):
    """Analysis window in outputs: whole drop or insert periods, several
    hundred thousand samples where the period is long."""
    target = 32768 if quick else 131072
    if step == 0:
        return target, 0
    per = ref.outputs_per_period(step)
    if not quick and per > 4096:
        target = 480000
    periods = max(2, round(target / per))
    return periods * per, periods


def inputs_for(outputs, step):
    up, down = ref.ratio_obtained(step)
    return int(math.ceil((outputs + 2 * SKIP) * down / up)) + 64


def key(off):
    """An offset as it names entries of quality.json."""
    return f"{off:+g}"
