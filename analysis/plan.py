"""What the quality report measures and under which conditions: the input
rate and scale, the tones, levels, offsets and rate pairs, the converters
compared and their names, and the analysis windows.  Everything else in
analysis/ reads these; this module reads only the reference schedule."""

import math
from dataclasses import dataclass
from decimal import Decimal
from fractions import Fraction

import references as ref

FS = 48000.0
FULL_SCALE_24 = 8388608  # input numbers are at 24-bit scale
CONDITIONING_GAIN_DB = 20 * math.log10(0.99)

OFFSETS = [0.0, 1e-4, -1e-4, 1e-3, -1e-3, 1e-2, -1e-2]
LEVELS = [-1.0, -6.0]
FREQS = [20, 31.5, 50, 80, 125, 200, 315, 500, 800, 1250, 2000, 3150, 5000, 8000, 10000, 12500,
         20000]
HEADROOM_FREQS = [20, 25, 31.5, 40, 50, 63, 80, 100, 125, 160, 200, 250, 315, 400, 500, 630, 800,
                  1000, 1250, 1600, 2000, 2500, 3150, 4000, 5000, 6300, 8000, 10000, 12500,
                  16000, 20000]
TONE = 997.0
HIGH_TONE = 10000.0  # the second tone of the quality-against-cost figure
LABELS = {
    "asrc-rule": "the rule (allpass, asrc.h)",
    "asrc-poly": "the polyphase converter (asrc_poly.h)",
    "linear": "linear interpolation",
    "drop_insert": "drop/insert, no interpolation",
    "resample_poly": "resample_poly (Kaiser), at the rule's ratio",
    "input": "conditioned input, no conversion",
    "asrc-q31": "the 24-bit converter (asrc_q31.h)",
}
# The rule and the references that run on its phase accumulator, at the
# ratio its step gives (P/(P+1) or (P+2)/(P+1)), with windows of whole drop
# or insert periods.
STEPPED = ["asrc-rule", "linear", "drop_insert", "resample_poly"]
CONVERTERS = STEPPED + ["asrc-poly"]
OURS = ["asrc-rule", "asrc-poly"]
# The field's settings, by the runner's names, in the order the report shows
# them; they run at exactly the ratio asked, like asrc-poly.
PEERS = ["src-sinc-fastest", "src-sinc-best", "src-linear", "speex-3", "speex-10",
         "soxr-hq", "soxr-hq-nodither", "soxr-vhq", "soxr-vhq-nodither",
         "zita-vresampler-16", "zita-vresampler-32", "zita-vresampler-48"]
SKIP = 2048  # outputs left out at each end: start-up and the resampler's tails
KEY_OFFSET, KEY_LEVEL = 0.01, -1.0


@dataclass(frozen=True)
class Condition:
    """One ratio every converter is measured at: output rate out_rate for an
    input at in_rate.  offset is what the rule is given (1 - out/in, as the
    program's argument); the others run at out/in itself."""
    key: str
    in_rate: int
    out_rate: Fraction
    offset: float

    @property
    def in_text(self):
        return str(self.in_rate)

    @property
    def out_text(self):
        """The output rate as exact decimal text, as the runner reads it."""
        r = self.out_rate
        return str(r.numerator) if r.denominator == 1 else format(
            Decimal(r.numerator) / Decimal(r.denominator), "f")

    @property
    def title(self):
        if self.key.startswith(("+", "-")):
            return f"offset {self.key} ({self.in_rate} -> {self.out_text} Hz)"
        return f"{self.in_rate / 1000:g} -> {float(self.out_rate) / 1000:g} kHz"

    @property
    def short(self):
        """A column head: "+0.01", "44.1 -> 48 kHz"."""
        return self.key if self.key.startswith(("+", "-")) else self.title

    @property
    def is_unity(self):
        return self.out_rate == self.in_rate


def at_offset(off):
    """48 kHz in, 48000 * (1 - offset) out."""
    return Condition(key(off), int(FS), Fraction(int(FS)) * (1 - Fraction(repr(off))), off)


def rate_pair(in_rate, out_rate):
    return Condition(f"{in_rate}->{out_rate}", in_rate, Fraction(out_rate),
                     1 - out_rate / in_rate)


RATE_PAIRS = [rate_pair(44100, 48000), rate_pair(48000, 44100)]

# The 32-bit comparison: Q1.31 tones, no conditioning, through the runner.
# The 24-bit converter and the field's 32-bit settings, in the order shown.
WIDE_OURS = ["asrc-q31"]
PEERS_32 = ["soxr-hq-i32", "soxr-vhq-i32", "src-sinc-best-i32", "src-sinc-medium-i32",
            "zita-vresampler-48-i32"]
WIDE = WIDE_OURS + PEERS_32
FULL_SCALE_32 = 2 ** 31
# 48 kHz x (1 - r) for r = +-1e-4, +-1e-3, +-1e-2, and the studio's pairs.
OFFSETS_32 = [1e-4, -1e-4, 1e-3, -1e-3, 1e-2, -1e-2]
PAIRS_32 = [rate_pair(44100, 48000), rate_pair(48000, 44100), rate_pair(48000, 96000),
            rate_pair(96000, 48000), rate_pair(44100, 96000), rate_pair(192000, 44100)]
FREQS_32 = [20, 100, 997, 5000, 10000, 15000, 20000]
WINDOW_32 = 65536  # outputs analysed per tone


def band_top(cond):
    """The highest tone measured at a condition: 20 kHz, or 0.45 of the
    lower of its two rates where that is lower (19.845 kHz at 44.1 kHz)."""
    return min(20000.0, 0.45 * min(cond.in_rate, float(cond.out_rate)))


def freqs_for(cond, freqs):
    """The tones measured at cond: freqs, those above the band's top
    replaced by it."""
    top = band_top(cond)
    return sorted({f if f <= top else top for f in freqs})


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


def exact_window(quick):
    """Analysis window in outputs of the converters that run at the exact
    ratio: their error has no drop or insert period to cover."""
    return 32768 if quick else 131072


def inputs_for(outputs, step):
    up, down = ref.ratio_obtained(step)
    return int(math.ceil((outputs + 2 * SKIP) * down / up)) + 64


def inputs_exact(outputs, cond):
    """Inputs that give outputs + 2 * SKIP outputs at cond's exact ratio."""
    return int(math.ceil((outputs + 2 * SKIP) * cond.in_rate / cond.out_rate)) + 64


def key(off):
    """An offset as it names entries of quality.json."""
    return f"{off:+g}"
