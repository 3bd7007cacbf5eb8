// asrc_servo.cpp - the FIFO rate controller.  See asrc_servo.h for the
// loop, its modes, formats and ranges.
//
// Built as C++ without exceptions or RTTI and with no C++ runtime, as the
// converter is.  Integer arithmetic only: on Cortex-M0+, which multiplies
// only 32 x 32 -> 32 bits and cannot divide, the 64-bit products and shifts
// go to libgcc's helpers, and only asrc_servo_init divides.
#include "asrc_servo.h"

namespace {

constexpr int64_t kErrorLimit = int64_t{4096} << 16;    // frames, Q.16
constexpr int64_t kPositionLimit = int64_t{1024} << 30; // input samples, Q.30

// The lowpass on the error runs at N / 2^kFilterShift: far enough above the
// loop's poles to leave it close to critically damped, low enough to keep
// the consumer's block sawtooth out of the ratio.
constexpr int32_t kFilterShift = 2;

// The loop's damping: 2 zeta in Q.8, zeta = 0.707.  With the lowpass at
// N / 4 this keeps the overshoot of a step small, and against zeta = 1 it
// takes a sixth off the fill noise that reaches the ratio (docs/bridge.md).
constexpr int64_t kTwoZetaQ8 = 362;

// Refill stops dropping frames once the fill is within this many blocks of
// the target, and a loop update that sees the filtered error beyond it goes
// back to acquisition.
constexpr int32_t kUnlockBlocks = 1;

// The refill settles for N / 2^kSettleShift updates at acquisition (16 at
// the defaults): long enough to average out the consumer's block sawtooth
// (a dozen reads), short against the loop.
constexpr int32_t kSettleShift = 4;

constexpr int64_t clamp(int64_t x, int64_t lo, int64_t hi)
{
    return x < lo ? lo : x > hi ? hi : x;
}

// The power of two nearest (in ratio) to num / den, as its exponent; num
// and den above 0.  2^n is nearest when num / den < 2^(n + 1/2), which is
// tested as num * 2 < den * 2^n * 2 * sqrt(2) with sqrt(2) to 1e-5.
int32_t nearest_shift(uint64_t num, uint64_t den)
{
    const uint64_t q = num / den;
    int32_t n = 0;
    while (n < 62 && (uint64_t{2} << n) <= q)
        ++n;
    // q < 2^(n+1); compare num / den with 1.41421 * 2^n.
    if (q >= (uint64_t{1} << n) && num * 100000 >= den * (uint64_t{141421} << n))
        ++n;
    return n;
}

// Milliseconds to the shift of N in updates of block / rate seconds.
// Bounded so that the products stay below 2^64: ms < 2^20, rate < 2^22,
// block <= 2^16.
int32_t shift_for(uint32_t ms, uint32_t rate, int32_t block)
{
    return nearest_shift(uint64_t{ms} * rate, uint64_t{1000} * static_cast<uint32_t>(block));
}

bool ratio_in_range(uint32_t r)
{
    return r >= ASRC_SERVO_RATIO_MIN && r <= ASRC_SERVO_RATIO_MAX;
}

// The ratio for estimate + proportional, Q10.54 deviation from nominal,
// rounded to Q2.30 and held within the limits.
uint32_t ratio_of(const asrc_servo& s, int64_t deviation)
{
    const int64_t r = int64_t{s.nominal} + ((deviation + (int64_t{1} << 23)) >> 24);
    return static_cast<uint32_t>(clamp(r, s.ratio_min, s.ratio_max)); // within uint32
}

// The error as the loop sees it, Q.16 frames: the fill just after a write,
// less half a block, is the FIFO's mean fill over the producer's cycle;
// what the converter holds beyond its steady state counts as fill.  The
// position is Q33.30 input samples: clamped, to Q.16 (>> 14, < 2^27),
// times 1 / nominal (Q2.30, <= 2^31), back by 2^30: output frames.
int64_t measure(const asrc_servo& s, int32_t fill, int64_t position)
{
    const int64_t held = clamp(position, -kPositionLimit, kPositionLimit) >> 14;
    const int64_t mean_fill = int64_t{fill} - s.block / 2;
    return clamp((mean_fill - s.target) * 65536 + ((held * s.inverse) >> 30), -kErrorLimit,
                 kErrorLimit);
}

// Rounded to the nearest frame (halves up): the frames that bring an error
// of e16 (Q.16) to zero, silence to add when positive.
int32_t frames_to_add(int64_t e16)
{
    return static_cast<int32_t>((-e16 + 32768) >> 16); // |e16| <= 2^28: within int32
}

// REFILL: the fill is brought to the target by the caller, not the ratio,
// while the caller writes silence (see asrc_servo_muted).  `held` counts
// its stages: 0 until the fill is no longer over the target by more than a
// block and the first refill has been asked for; 1 .. settle the
// updates over which the error is averaged (in `error`, a plain sum); then
// one update that asks for the trim, and then, once the caller has dropped
// all of it a block per update, the loop starts.
uint32_t refill_update(asrc_servo& s, int32_t fill, int64_t position)
{
    const int64_t e16 = measure(s, fill, position);
    const int64_t too_full = int64_t{s.block} * kUnlockBlocks << 16;
    const auto settle = uint32_t{1} << (s.acquire_shift - kSettleShift);
    const int32_t asked = s.refill;
    s.refill = 0;
    if (s.held == 0 && e16 > too_full) {
        // Too full (after an overrun, or the consumer has stopped): the
        // caller drops what the converter gives until the consumer has
        // taken the excess.
        s.refill = frames_to_add(e16);
    } else if (s.held == 0) {
        // One fill seen: silence makes up what it says is missing, and a
        // block more.  A single reading is only a guess: where the
        // consumer's next read falls, and how late this block came, move it
        // by up to a consumer block either way, and the extra block keeps a
        // low guess from running the FIFO dry while the settling below
        // measures the truth (the trim then takes the extra away).
        const int32_t missing = frames_to_add(e16) + s.block;
        s.refill = missing > 0 ? missing : 0;
        s.error = 0;
        s.held = 1;
    } else if (s.held <= settle) {
        s.error += e16;
        ++s.held;
    } else if (s.held == settle + 1) {
        // The mean error of the settling, trimmed away while the output is
        // still silence: added silence, or silence dropped from the next
        // block.
        s.refill = frames_to_add(s.error >> (s.acquire_shift - kSettleShift));
        ++s.held;
    } else if (asked < -s.block) {
        // The caller drops at most a block's worth per update: the rest.
        s.refill = asked + s.block;
    } else {
        s.mode = s.acquire_shift == s.track_shift ? ASRC_SERVO_TRACK : ASRC_SERVO_ACQUIRE;
        s.shift = s.acquire_shift;
        s.held = 0;
        s.sum = 0;
        // The trim has taken the mean error away; this one reading is
        // mostly the consumer's sawtooth, not a place to start the filter.
        s.error = 0;
        s.dither = 0;
    }
    s.ratio = ratio_of(s, s.estimate);
    return s.ratio;
}

uint32_t loop_update(asrc_servo& s, int32_t fill, int64_t position)
{
    s.refill = 0;
    const int32_t n = s.shift;
    const int64_t e16 = measure(s, fill, position);

    // The lowpass, in Q.32 so that the error's small steps are not lost to
    // the shift (the shift is at least MIN_SHIFT - kFilterShift = 2).
    s.error += ((e16 << 16) - s.error) >> (n - kFilterShift);
    const int64_t ef = s.error >> 16; // Q.16, |ef| <= 2^28

    // Frames per update into ratio: Q.16 frames times Q2.30 per frame is
    // Q.46, |p| < 2^28 * 2^32 = 2^60.
    const int64_t p = ef * s.per_frame;
    // I += c e_f / N^2 in Q.54: Q.46 * 2^8 / 2^2n.  n >= 4, so a right shift.
    const int64_t limit_lo = (int64_t{s.ratio_min} - s.nominal) * (int64_t{1} << 24);
    const int64_t limit_hi = (int64_t{s.ratio_max} - s.nominal) * (int64_t{1} << 24);
    s.estimate = clamp(s.estimate + (p >> (2 * n - 8)), limit_lo, limit_hi);
    // 2 zeta c e_f / N in Q.54: Q.46 / 2^n * 2^8 * 2 zeta.  Held within
    // +-2^48 before the product (ratio +-8 after it, far beyond any limit),
    // so that neither the product nor the sum below can overflow.
    const int64_t proportional =
        clamp(p >> n, -(int64_t{1} << 48), int64_t{1} << 48) * kTwoZetaQ8;
    s.ratio = ratio_of(s, s.estimate + proportional);

    // How far a single reading strays from the filtered error (mean
    // absolute deviation, same lowpass): the scale of the fill's noise, so
    // that the gear's thresholds hold for a sawtooth of any size.
    const int64_t deviation = e16 - ef < 0 ? ef - e16 : e16 - ef;
    s.noise += (deviation - s.noise) >> (n - kFilterShift);

    // Gear: N doubles once the filtered error has averaged within a quarter
    // of the scale (the larger of a block and the noise) over 2 N updates;
    // it halves when the filtered error passes half the scale (a drift too
    // fast for this N, at most once per N updates, so that the filter can
    // answer first), and falls back to acquisition at once when the error
    // leaves the scale: a loss of lock, not the sawtooth.
    const int64_t block16 = int64_t{s.block} << 16;
    const int64_t scale = block16 > s.noise ? block16 : s.noise;
    const int64_t magnitude = ef < 0 ? -ef : ef;
    if (magnitude > scale * kUnlockBlocks) {
        s.shift = s.acquire_shift;
        s.mode = s.shift == s.track_shift ? ASRC_SERVO_TRACK : ASRC_SERVO_ACQUIRE;
        s.held = 0;
        s.sum = 0;
    } else {
        s.sum += ef;
        ++s.held;
        if (magnitude > scale / 2 && s.shift > s.acquire_shift &&
            s.held >= (uint32_t{1} << s.shift)) {
            --s.shift;
            s.mode = ASRC_SERVO_ACQUIRE;
            s.held = 0;
            s.sum = 0;
        } else if (s.shift < s.track_shift && s.held >= (uint32_t{2} << s.shift)) {
            const int64_t mean = s.sum >> (s.shift + 1);
            if ((mean < 0 ? -mean : mean) <= scale / 4) {
                ++s.shift;
                if (s.shift == s.track_shift)
                    s.mode = ASRC_SERVO_TRACK;
            }
            s.held = 0;
            s.sum = 0;
        }
    }
    return s.ratio;
}

} // namespace

extern "C" {

asrc_servo_config asrc_servo_defaults(uint32_t rate, int32_t block, int32_t target,
                                      uint32_t ratio)
{
    asrc_servo_config c;
    c.rate = rate;
    c.block = block;
    c.target = target;
    c.ratio = ratio;
    // +-1%: 2^30 / 100 is 10737418 in Q2.30 units at ratio one, scaled to
    // the ratio (ratio / 100, rounded down), and kept within the converter.
    const uint32_t span = ratio / 100;
    c.ratio_min = ratio - span < ASRC_SERVO_RATIO_MIN ? ASRC_SERVO_RATIO_MIN : ratio - span;
    c.ratio_max = ratio > ASRC_SERVO_RATIO_MAX - span ? ASRC_SERVO_RATIO_MAX : ratio + span;
    c.acquire_ms = 250;
    c.track_ms = 16000;
    return c;
}

int asrc_servo_init(asrc_servo* s, const asrc_servo_config* c)
{
    if (c->rate < 1 || c->rate > 4000000 || c->block < 1 || c->block > 65536 || c->target < 0 ||
        c->target > (1 << 20) || !ratio_in_range(c->ratio) || !ratio_in_range(c->ratio_min) ||
        !ratio_in_range(c->ratio_max) || c->ratio_min > c->ratio || c->ratio > c->ratio_max ||
        c->acquire_ms < 1 || c->acquire_ms > 1000000 || c->track_ms < c->acquire_ms ||
        c->track_ms > 1000000)
        return -1;
    const int32_t acquire = shift_for(c->acquire_ms, c->rate, c->block);
    const int32_t track = shift_for(c->track_ms, c->rate, c->block);
    if (acquire < ASRC_SERVO_MIN_SHIFT || track > ASRC_SERVO_MAX_SHIFT)
        return -1;
    s->target = c->target;
    s->block = c->block;
    s->nominal = c->ratio;
    s->ratio_min = c->ratio_min;
    s->ratio_max = c->ratio_max;
    // Rounded to nearest; ratio <= 2^31 and block >= 1, so both fit 32 bits.
    s->per_frame = static_cast<uint32_t>((uint64_t{c->ratio} + static_cast<uint32_t>(c->block) / 2) /
                                         static_cast<uint32_t>(c->block));
    s->inverse = static_cast<uint32_t>(((uint64_t{1} << 60) + c->ratio / 2) / c->ratio);
    s->acquire_shift = acquire;
    s->track_shift = track;
    s->estimate = 0;
    s->ratio = c->ratio;
    s->mode = ASRC_SERVO_REFILL;
    s->shift = acquire;
    s->refill = 0;
    s->held = 0;
    s->sum = 0;
    s->noise = 0;
    s->error = 0;
    s->dither = 0;
    return 0;
}

uint32_t asrc_servo_update(asrc_servo* s, int32_t fill, int64_t position)
{
    return s->mode == ASRC_SERVO_REFILL ? refill_update(*s, fill, position)
                                        : loop_update(*s, fill, position);
}

int16_t asrc_servo_update_step(asrc_servo* s, int32_t fill, int64_t position)
{
    const uint32_t ratio = asrc_servo_update(s, fill, position);
    // ratio - 1 in Q2.30 is the step in Q2.14 with 16 more fractional bits.
    // Rounded to nearest with the rounding error carried into the next
    // block (first-order noise shaping): the sum of the steps tracks the sum of the fine values
    // within half a unit, so their mean converges to the fine value.
    const int64_t fine = int64_t{ratio} - ASRC_SERVO_RATIO_ONE + s->dither; // |.| < 2^31
    const int64_t step = clamp((fine + (int64_t{1} << 15)) >> 16, INT16_MIN, INT16_MAX);
    s->dither = static_cast<int32_t>(clamp(fine - step * 65536, -(int64_t{1} << 16),
                                           int64_t{1} << 16)); // +-2^16 after the clamp
    return static_cast<int16_t>(step); // within int16 after the clamp
}

int32_t asrc_servo_refill(const asrc_servo* s)
{
    return s->refill;
}

int asrc_servo_muted(const asrc_servo* s)
{
    return s->mode == ASRC_SERVO_REFILL;
}

void asrc_servo_restart(asrc_servo* s)
{
    s->mode = ASRC_SERVO_REFILL;
    s->shift = s->acquire_shift;
    s->refill = 0;
    s->held = 0;
}

} // extern "C"
