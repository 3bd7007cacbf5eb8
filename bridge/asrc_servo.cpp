// asrc_servo.cpp - the FIFO rate controller.  See asrc_servo.h for the
// loop, its modes, formats and ranges.
//
// Built as C++ without exceptions or RTTI and with no C++ runtime, as the
// converter is.  Integer arithmetic only: on Cortex-M0+, which multiplies
// only 32 x 32 -> 32 bits and cannot divide, the 64-bit products and shifts
// go to libgcc's helpers, and only asrc_servo_init and
// asrc_servo_capacity_needed divide.
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
    const int64_t r = int64_t{s.ratio_nominal} + ((deviation + (int64_t{1} << 23)) >> 24);
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
    return clamp((mean_fill - s.target) * 65536 + ((held * s.frames_per_input) >> 30), -kErrorLimit,
                 kErrorLimit);
}

// Rounded to the nearest frame (halves up): the frames that bring an error
// of e16 (Q.16) to zero, silence to add when positive.
int32_t frames_to_add(int64_t e16)
{
    return static_cast<int32_t>((-e16 + 32768) >> 16); // |e16| <= 2^28: within int32
}

// ---- The lines (timestamps; see TIMESTAMPS in asrc_servo.h) ----

// The lines' time constants, log2 of nominal frames: the first one after
// init (short, so that the start-up learns an offset of 1% in a fraction
// of the refill), and the bounds of the configured ones (below 2^10 a
// block of 1024 frames would be a whole time constant; above 2^22 a
// product of the update could leave 64 bits).
constexpr int32_t kLineStart = 10;
constexpr int32_t kLineMax = 22;
constexpr int64_t kLineErrorLimit = int64_t{2048} << 16;  // frames, Q.16
constexpr int64_t kLineGapLimit = int64_t{65536} << 16;   // 1.4 s at 48 kHz, Q.16
// The rates' bounds, Q16.48: a producer within the converter's 0.5 .. 2
// and a little, a consumer within 0.5 .. 2, so that the products of the
// feedforward stay below 2^63.
constexpr int64_t kRateLow = int64_t{1} << 47;
constexpr int64_t kRateHigh = int64_t{1} << 49;
// The lines run at second order up to this many gears above acquisition,
// at third order beyond (see observe).
constexpr int32_t kSecondOrderGears = 4;
// log2 of the time constant over a window of the loop: sixteen windows a
// time constant (see observe).
constexpr int32_t kWindowShift = 4;
// The acceleration's bound, Q.64 per frame: 2^40 is 6e-8 of the rate per
// frame, 3000 ppm a second at 48 kHz, far beyond a clock that drifts.
constexpr int64_t kAccelLimit = int64_t{1} << 40;
// The fill correction's limit, in ppm of the nominal ratio.
constexpr uint32_t kCorrectionPpm = 40;
// How long after the lines settled the correction stays within 25 ppm
// (see clocked_loop_update), frames.
constexpr uint32_t kYoungFrames = uint32_t{1} << 20;
// The pace at which the fill held follows a raise of the chosen target,
// log2 of the frames of time per frame: 2^-16, 15 ppm.
constexpr int32_t kRaiseShift = 16;
// The start-up edge (see edge_observe): eight bins, the first 2^10 frames
// long, doubling up to 2^16 (eight of them 11 s at 48 kHz, beyond which
// the line has long settled).  Its rate's rms error is about 7 L / (n T)
// for n blocks over T frames late by up to L (analysis/line_limits.py),
// and L is about four times the blocks' mean distance from their mean:
// kEdgeFactor 28, and the edge is good at 2^-15 (30 ppm, which leaves the
// lock's 50 ppm room for the other line's error; at 2^-16 the lock took
// a second longer, 5.1 to 5.3 s on 1024-frame blocks late by up to 1 ms).
constexpr int32_t kEdgeBins = 8;
constexpr int32_t kEdgeStart = 10;
constexpr int32_t kEdgeMax = 16;
constexpr int64_t kEdgeFactor = 28;
// Lost time: log2 of the time constant, nominal frames, of the average
// over which the two sides' losses become a rate (2^23: 175 s at 48 kHz,
// many losses of a side that keeps losing), and of the ramp that takes the
// ratio to it (2^21: 44 s, so that a loss moves the pitch by a slope, not
// a step).  2^22 and 2^20 learnt 2 ms every 10 s with 3 underruns an hour
// instead of 6, but without the step's room below pushed a 1000 ppm
// clock step's ratio 51 ppm beyond the clocks'.
constexpr int32_t kLossShift = 23;
constexpr int32_t kLossRampShift = 21;
constexpr int64_t kLossLimit = int64_t{1} << 36; // 2^20 frames, Q.16

int64_t magnitude(int64_t x)
{
    return x < 0 ? -x : x;
}

// The floor of log2 of x > 0, in six steps (no count-leading-zeros
// instruction on Cortex-M0+, and no library call).
int32_t log2_floor(uint64_t x)
{
    int32_t n = 0;
    for (int32_t step = 32; step > 0; step >>= 1) {
        if ((x >> step) != 0) {
            x >>= step;
            n += step;
        }
    }
    return n;
}

// The shortest time constant, within acquire .. track, at which the line's
// rate is steady to 2^(-level / 2): a line's rate wanders by about sigma
// sqrt(T) omega^1.5 for errors of sigma frames every T frames at omega
// = 2^-shift, so the shift is the least with sigma^2 T <= 2^(3 shift -
// level).  sigma is the error's mean distance, in Q.8 frames here (the
// square stays below 2^38, times T (<= 2^17) below 2^55).
int32_t gear_for(const asrc_servo& s, const asrc_servo_line& l, int32_t level)
{
    const int64_t sigma = clamp(l.noise_q16, 0, kLineErrorLimit) >> 8;
    // T is the frames between the line's observations: a block, but the
    // consumer's reads are seen only once per producer update, so its line
    // is observed a producer block apart however short its reads (taken
    // as their block, 16-frame reads under 1024-frame writes stopped a
    // doubling short of what their noise needed: 3.8 ppm of ratio jitter
    // at 1 ms of lateness against 1.9).
    int64_t t = l.block_max;
    if (&l == &s.consumer) {
        const int64_t in_block = (int64_t{s.producer.block_max} * s.frames_per_input) >> 30;
        t = in_block > t ? in_block : t; // <= 2^16 * 2^31 >> 30
    }
    const uint64_t v = static_cast<uint64_t>(sigma * sigma) * static_cast<uint64_t>(t > 0 ? t : 1);
    const int32_t bits = v == 0 ? 0 : log2_floor(v) + 1; // v < 2^bits
    int32_t shift = s.line_acquire;
    while (shift < s.line_track && 3 * shift - level < bits)
        ++shift;
    return shift;
}

// The steadiness asked of a line while it acquires (about 20 ppm rms
// measured: a clock step must not swing the ratio further than 50 ppm) and
// while it tracks (about 0.3 ppm).
constexpr int32_t kAcquireLevel = 17;
constexpr int32_t kTrackLevel = 30;

void anchor(asrc_servo_line& l, uint32_t stamp, uint32_t count)
{
    l.edge_best_q16 = INT64_MIN;
    l.edge_clock_q16 = 0;
    l.edge_blocks = 0;
    l.edge_bins = 0;
    l.edge_shift = kEdgeStart;
    l.edge_good = 0;
    l.stamp = stamp;
    l.count = count;
    l.phase_q16 = 0;
    l.drift_q16 = 0;
    l.outlier_q16 = 0;
    l.accel_q64 = 0;
    l.level_q16 = 0;
    l.earliest_q16 = 0;
    l.window_q16 = 0;
    l.mean_q16 = 0;
    l.watch_best_q16 = 0;
    l.watch_q16 = 0;
    l.strikes = -1;
    l.quiet = 0;
    l.carry_q16 = 0;
    if (l.use_mean == 2)
        l.use_mean = 1; // the time constant grows again (see observe)
}

// Frames of time from bin a's block to bin b's, Q.16 (< 2^36).  The
// bins keep time since the edge began, summed from the blocks' gaps, not
// the timer's stamps: a span of 11 s would leave 31 bits of a fast timer
// (a cycle counter at 400 MHz).
int64_t edge_between(const asrc_servo_line& l, int32_t a, int32_t b)
{
    return (int64_t{l.edge_time_q12[b]} - int64_t{l.edge_time_q12[a]}) * 16;
}

// How far bin i's block is ahead of bin 0's along a rate (Q2.26), Q.16
// frames: the rate (<= 2^27) times the time (< 2^36) stays below 2^63.
int64_t edge_score(const asrc_servo_line& l, int32_t i, int64_t rate_q26)
{
    const int64_t dc = int64_t{static_cast<int32_t>(l.edge_count[i] - l.edge_count[0])} * 65536;
    return dc - ((rate_q26 * edge_between(l, 0, i)) >> 26);
}

// The rate from bin a's block to bin b's (later), Q16.48, or -1 where they
// are less than a frame apart.  No division: the time is brought to
// [2^29, 2^30) (the frames with it), and its reciprocal 2^59 / d, first
// 3 * 2^29 - d (within 12.5%), is made exact to about 2^-29 by four
// Newton steps x (2 - d x), each error the square of the last.
int64_t edge_slope(const asrc_servo_line& l, int32_t a, int32_t b)
{
    int64_t d = edge_between(l, a, b);
    int64_t n = int64_t{static_cast<int32_t>(l.edge_count[b] - l.edge_count[a])} * 65536;
    if (d < (int64_t{1} << 16) || n <= 0)
        return -1;
    const int32_t k = log2_floor(static_cast<uint64_t>(d));
    if (k > 29) {
        d >>= k - 29;
        n >>= k - 29;
    } else {
        d *= int64_t{1} << (29 - k);
        n *= int64_t{1} << (29 - k); // a rate within 2: n < 2^31 after
    }
    if (n >= (int64_t{1} << 31))
        return -1; // beyond any rate a line may hold
    int64_t x = 3 * (int64_t{1} << 29) - d;
    for (int32_t i = 0; i < 4; ++i) {
        const int64_t e = ((int64_t{1} << 60) - d * x) >> 29; // d x < 2^60; e ~ 2^30
        x = (x * e) >> 30;                                   // < 2^31 * 2^31
    }
    return clamp((n * x) >> 11, kRateLow, kRateHigh); // < 2^31 * 2^30
}

// The edge's rate: the edge of the bins' blocks' upper hull that spans
// their middle (the line no block is earlier than, where the blocks are
// many): the earliest block of each half against the rate found so far,
// until the pair no longer changes.
int64_t edge_rate(const asrc_servo_line& l)
{
    const int32_t half = l.edge_bins / 2;
    int64_t rate = l.rate_q48;
    int32_t a = -1;
    int32_t b = -1;
    for (int32_t iteration = 0; iteration < 4; ++iteration) {
        const int64_t r26 = rate >> 22;
        int32_t na = 0;
        int32_t nb = half;
        int64_t best_a = 0;
        int64_t best_b = edge_score(l, half, r26);
        for (int32_t i = 1; i < l.edge_bins; ++i) {
            const int64_t v = i == half ? best_b : edge_score(l, i, r26);
            if (i < half && v > best_a) {
                best_a = v;
                na = i;
            } else if (i > half && v > best_b) {
                best_b = v;
                nb = i;
            }
        }
        if (na == a && nb == b)
            break;
        a = na;
        b = nb;
        const int64_t r = edge_slope(l, a, b);
        if (r < 0)
            break;
        rate = r;
    }
    return rate;
}

// The start-up edge.  The loop's windows take one block each (the earliest
// of a sixteenth of the time constant), and while the time constant is
// short and the blocks long that is one block in all: a mean, whose rate
// needs 2^17 to 2^18 frames to be steady to 20 ppm with blocks of 1024
// frames late by up to 1 or 2 ms.  From the line's start, the
// earliest block of each of eight bins of equal span (doubling when they
// are full, the two halves of each pair merged) gives the edge along the
// earliest blocks, whose error falls as 1 / n instead of 1 / sqrt(n); once
// four bins are closed its rate replaces the line's at each bin's end (up
// to its last bin, past the settling: see observe), and
// once it is steady to about 30 ppm (edge_good) the line's lateness is
// watched from then on, as a settled line's is (the refill waits for
// that).  Blocks of 1024 frames late by up
// to 1 ms: 8.6 ppm after 4 s (analysis/line_limits.py).
void edge_observe(const asrc_servo& s, asrc_servo_line& l, uint32_t count, int64_t error,
                  int64_t gap)
{
    const int32_t i = l.edge_bins;
    l.edge_clock_q16 += gap;
    if (l.edge_clock_q16 >= (int64_t{1} << 36)) {
        // 2^20 frames, where the bins' Q.12 times end: only blocks longer
        // than the first bins (each closes one) get here; the line's own
        // loop from here.
        l.edge_bins = -1;
        return;
    }
    if (l.edge_best_q16 == INT64_MIN || error > l.edge_best_q16) {
        l.edge_time_q12[i] = static_cast<uint32_t>(l.edge_clock_q16 >> 4); // < 2^32
        l.edge_count[i] = count;
        l.edge_best_q16 = error;
    }
    l.edge_blocks += l.edge_blocks < 0xFFFFFFFFu ? 1u : 0u;
    if (l.edge_clock_q16 < (int64_t{i + 1} << (l.edge_shift + 16)))
        return;
    l.edge_best_q16 = INT64_MIN;
    if (++l.edge_bins == kEdgeBins) {
        if (l.edge_shift == kEdgeMax) {
            l.edge_bins = -1; // 2^19 frames: the line's own loop from here
            return;
        }
        const int64_t r26 = l.rate_q48 >> 22;
        int64_t score[kEdgeBins];
        for (int32_t j = 0; j < kEdgeBins; ++j)
            score[j] = edge_score(l, j, r26);
        for (int32_t j = 0; j < kEdgeBins / 2; ++j) {
            const int32_t k = score[2 * j + 1] > score[2 * j] ? 2 * j + 1 : 2 * j;
            l.edge_time_q12[j] = l.edge_time_q12[k];
            l.edge_count[j] = l.edge_count[k];
        }
        l.edge_bins = kEdgeBins / 2;
        ++l.edge_shift;
    }
    if (l.edge_bins < 4)
        return;
    l.rate_q48 = edge_rate(l);
    // n blocks over the span T: good when 7 L / (n T) <= 2^-15, L four
    // times the blocks' mean distance (at least a frame), Q.16 (< 2^28,
    // times 28); n (< 2^32, saturating) times T (<= 2^19), times 2, is
    // below 2^52.
    const int64_t span = int64_t{l.edge_bins} << l.edge_shift;
    const int64_t noise = l.noise_q16 > (int64_t{1} << 16) ? l.noise_q16 : int64_t{1} << 16;
    if (span >= (int64_t{1} << s.line_acquire) &&
        kEdgeFactor * noise <= 2 * int64_t{l.edge_blocks} * span)
        l.edge_good = 1;
}

// The windows' levels seen from a line restarted `by` frames (Q.16) ahead
// of the old one.  Held within the error's own bound: restarts one after
// another (a timer that jumps about) would otherwise walk them beyond it,
// and the level's update (its distance times a window, < 2^35) beyond 64
// bits.
void shift_levels(asrc_servo_line& l, int64_t by)
{
    l.earliest_level_q16 = clamp(l.earliest_level_q16 - by, -kLineErrorLimit, kLineErrorLimit);
    l.mean_level_q16 = clamp(l.mean_level_q16 - by, -kLineErrorLimit, kLineErrorLimit);
}

// The peaks of a settled line's errors, which size the target and the
// room above it.
void watch_peaks(asrc_servo_line& l, int64_t error)
{
    if (l.measured == 0)
        return;
    l.early_q16 = error > l.early_q16 ? error : l.early_q16;
    l.late_q16 = -error > l.late_q16 ? -error : l.late_q16;
}

// A block's error against the line as it stands, Q.16 frames (> 0: ahead
// of it), without moving it: for a read that the line does not take.
int64_t line_error(const asrc_servo& s, const asrc_servo_line& l, uint32_t stamp, uint32_t count)
{
    const auto ticks = static_cast<int32_t>(stamp - l.stamp);
    const auto counted = static_cast<int32_t>(count - l.count);
    const int64_t gap =
        clamp((int64_t{ticks} * s.tick_frames_q32) >> 16, -kLineGapLimit, kLineGapLimit);
    const int64_t predicted = l.phase_q16 + (((l.rate_q48 >> 18) * gap) >> 30);
    return clamp((int64_t{counted} << 16) - predicted, -kLineErrorLimit, kLineErrorLimit);
}

// One block seen on a line: `count` frames counted by `stamp`.  No
// division; three multiplies (the time, the prediction, the gains).
// Returns the frames the line lost when it was anchored again at this
// block (Q.16; > 0: the blocks come later than the old line had them, so
// the side counted that many fewer by now), 0 otherwise.
int64_t observe(asrc_servo& s, asrc_servo_line& l, uint32_t stamp, uint32_t count)
{
    if (l.observed == 0) {
        anchor(l, stamp, count);
        l.observed = 1;
        return 0;
    }
    const auto ticks = static_cast<int32_t>(stamp - l.stamp); // wrapping difference
    const auto counted = static_cast<int32_t>(count - l.count);
    if (ticks <= 0 || counted < -(1 << 20) || counted > (1 << 20)) {
        // No time has passed on the timer (two blocks in one tick) or a count
        // out of reach: the line's count at its stamp holds, relative to the
        // new count (clamped: a count that runs on without time is not a clock).
        l.phase_q16 = clamp(l.phase_q16 - (int64_t{counted} << 16), -kLineErrorLimit,
                            kLineErrorLimit);
        l.count = count;
        return 0;
    }
    // Ticks (< 2^31) times frames per tick (Q32.32, <= 2^32): < 2^63; to Q.16.
    const int64_t gap = (int64_t{ticks} * s.tick_frames_q32) >> 16;
    if (gap > kLineGapLimit) {
        // A pause longer than any time constant's worth of blocks: start over
        // from here, keeping the rate.
        anchor(l, stamp, count);
        l.shift = kLineStart < s.line_acquire ? kLineStart : s.line_acquire;
        return 0;
    }
    // The line's count at the stamp, relative to the last count: the rate
    // (Q2.30 after the shift, < 2^31) times the gap (Q.16, <= 2^32).
    const int64_t predicted = l.phase_q16 + (((l.rate_q48 >> 18) * gap) >> 30);
    const int64_t error =
        clamp((int64_t{counted} << 16) - predicted, -kLineErrorLimit, kLineErrorLimit);
    l.stamp = stamp;
    l.count = count;
    l.quiet = l.quiet > 0x7FFFFFFFu ? l.quiet : l.quiet + static_cast<uint32_t>(gap >> 16);
    const int32_t fast = gear_for(s, l, kAcquireLevel);
    const bool settled = l.shift >= fast;
    if (&l == &s.producer && fast > s.step_shift)
        s.step_shift = fast;

    // A block far ahead of the earliest ones (more than four of their
    // spreads and a block: a count that jumped) does not move the line,
    // unless it lasts.  A late block needs no such care: the windows take
    // only their earliest.
    const int64_t off = error - l.level_q16;
    const int64_t bound = 4 * l.spread_q16 + (int64_t{l.block_max} << 16) + (int64_t{2} << 16);
    if (settled || l.edge_good != 0) {
        if (l.measured == 0) {
            // Settled for the first time: the errors before were the line's
            // own convergence, not the clock's lateness.
            l.early_q16 = 0;
            l.late_q16 = 0;
        }
        l.measured = l.measured > 0x7FFFFFFFu ? l.measured : l.measured + 1 + static_cast<uint32_t>(gap >> 16);
        watch_peaks(l, error);
    }
    if (settled && l.observed > 1 && l.strikes >= 0 && off > bound) {
        l.outlier_q16 += gap;
        if (l.outlier_q16 < (int64_t{1} << (s.line_acquire - 1 + 16))) {
            l.phase_q16 = -error; // the line goes on as it was
            return 0;
        }
        // Off the line for half an acquisition time constant: the clock
        // moved.  Start the line again from this block.
        anchor(l, stamp, count);
        shift_levels(l, error); // the levels, seen from the new line
        l.shift = fast;
        return -error;
    }
    l.outlier_q16 = 0;
    l.observed = 2;
    if (l.edge_bins >= 0) {
        // The edge goes on past the line's first settling, whose loop would
        // take the rate over with a time constant still short (its rate
        // 10 to 30 ppm off with 1024-frame blocks late by 2 ms, where the
        // edge's is within a few), up to its last bin.  A line anchored
        // again once settled (a clock step, lost time: measured, counted
        // from the first settling, is then beyond the new edge's clock)
        // keeps its loop: an edge restarted from short bins would swing
        // the ratio by a hundred ppm.
        if (settled && int64_t{l.measured} > (l.edge_clock_q16 >> 16) + 1)
            l.edge_bins = -1;
        else
            edge_observe(s, l, count, error, gap);
    }

    // The gains' time step, at most an eighth of a time constant, so that
    // a long block (or a look that missed some) cannot make the loop
    // overshoot: a gap of more only slows it.
    const int64_t most = int64_t{1} << (l.shift - 3 + 16);
    // The blocks' short average (a quarter of the acquisition time
    // constant) and their noise about it (the present time constant): the
    // noise sets the time constants (gear_for).
    const int64_t step = gap < most ? gap : most; // Q.16, <= 2^35
    const int32_t short_shift = s.line_acquire - 2;
    const int64_t short_step = gap < (int64_t{1} << (short_shift - 3 + 16))
                                   ? gap
                                   : int64_t{1} << (short_shift - 3 + 16);
    l.drift_q16 += ((error - l.drift_q16) * short_step) >> (short_shift + 16); // 2^29 * 2^35
    l.noise_q16 += ((magnitude(error - l.drift_q16) - l.noise_q16) * step) >> (l.shift + 16);

    // The step detector watches the earliest block of each short window
    // (an eighth of the acquisition time constant): a clock step moves it
    // off its level by more than four times its spread and two frames in
    // three windows running.  The line then starts again from this block
    // at the acquisition time constant, whose answer to a step of rate does
    // not overshoot (critically damped).
    l.watch_best_q16 = l.watch_q16 == 0 || error > l.watch_best_q16 ? error : l.watch_best_q16;
    l.watch_q16 += gap;
    if (l.watch_q16 >= (int64_t{1} << (s.line_acquire - 3 + 16))) {
        const int64_t w = l.watch_q16 < most ? l.watch_q16 : most;
        l.watch_q16 = 0;
        const int64_t dev = l.strikes < 0 ? 0 : l.watch_best_q16 - l.level_q16;
        if (l.strikes < 0)
            l.level_q16 = l.watch_best_q16; // the first window since the anchor
        const int64_t threshold = 4 * l.spread_q16 + (int64_t{2} << 16);
        l.strikes = settled && magnitude(dev) > threshold ? l.strikes + 1 : 0;
        if (l.strikes >= 3) {
            // Anchored at this block, the line would be as late as it is;
            // it starts instead where the window's earliest block puts it.
            const int64_t earliest = l.watch_best_q16 > error ? l.watch_best_q16 : error;
            anchor(l, stamp, count);
            l.phase_q16 = earliest - error;
            shift_levels(l, earliest); // the levels, seen from the new line
            l.shift = fast;
            return -earliest;
        }
        if (l.strikes == 0) {
            l.level_q16 += (dev * w) >> (l.shift + 16);
            l.spread_q16 += ((magnitude(dev) - l.spread_q16) * w) >> (l.shift + 16);
        }
    }
    if (settled && l.shift > fast && l.strikes > 1 &&
        l.quiet >= (uint32_t{1} << l.shift)) {
        --l.shift; // a drift too fast for this time constant
        l.quiet = 0;
    } else if (l.quiet >= (uint32_t{2} << l.shift) &&
               (l.shift < fast || l.shift < gear_for(s, l, kTrackLevel))) {
        ++l.shift;
        l.quiet = 0;
    }

    // The window (a sixteenth of the time constant) gives the loop one
    // input.  A block is never early, only late by its scheduling, so the
    // clock lies along the earliest blocks, not through their mean: the
    // window's earliest block (its largest error) is the input, and the
    // lateness of the others, however large, moves nothing.  Where blocks
    // come in bunches (short blocks, lateness of several blocks) the
    // earliest of a window scatters more than the blocks' mean does; then
    // the mean is the input, moved by its level's distance from an earliest
    // level, so that the line lies along the earliest blocks whichever
    // feeds it.  The measure that scatters less by half takes over (its
    // spread about its level, kept at the time constant).
    //
    // Which earliest level: these windows' own makes a handover move
    // nothing on average (the earliest block and the moved mean then have
    // the same mean), but it follows each doubling of the time constant
    // (a longer window's earliest block is earlier) only over a time
    // constant, so a line fed by it while its time constant grows walks
    // with the level (16-frame blocks late by up to 2 ms: 8.8 ppm rms in
    // the 1-s means of a run's 20th to 40th second, against 2.1).  The
    // short windows' level (the step detector's, of a fixed length) does
    // not move with the doublings, but lies a few frames later: each
    // handover to or from it steps the line's input by those frames, which
    // the loop turned into 5 to 20 ppm for tens of seconds.  So a handover
    // to the mean takes these windows' level where the time constant has
    // held for two of its own (use_mean 2), and the short windows' while
    // it still grows (use_mean 1) and again after a re-anchor.
    //
    // A line that took the mean while its time constant grew still hands
    // back to the earliest block later, a few frames from the short level
    // (13.7 with 1024-frame blocks late by 1 ms): fed that step, the loop
    // ran the ratio to +12 ppm and then -6 for about a minute.  So each
    // change of what feeds the loop adds the step between the old input's
    // level and the new one's to carry_q16, which the input keeps until
    // the line is anchored again: the line neither moves nor changes its
    // rate, and lies that far from the earliest blocks' own level.  Its
    // blocks' lateness, and so the target, is still watched against the
    // line, as the fill is measured against it.
    l.earliest_q16 = l.window_q16 == 0 || error > l.earliest_q16 ? error : l.earliest_q16;
    {
        const int32_t ws = l.shift - kWindowShift;
        const int64_t g = gap < (int64_t{1} << (ws + 16)) ? gap : int64_t{1} << (ws + 16);
        l.mean_q16 += ((error - l.mean_q16) * g) >> (ws + 16); // 2^28 * 2^(ws + 16)
    }
    l.window_q16 += gap;
    if (l.window_q16 < (int64_t{1} << (l.shift - kWindowShift + 16))) {
        l.phase_q16 = -error; // the line goes on as it was
        return 0;
    }
    const int64_t dt = l.window_q16 < most ? l.window_q16 : most; // Q.16, <= 2^35
    l.window_q16 = 0;
    const int64_t de = l.earliest_q16 - l.earliest_level_q16;
    const int64_t dm = l.mean_q16 - l.mean_level_q16;
    l.earliest_level_q16 += (de * dt) >> (l.shift + 16);
    l.mean_level_q16 += (dm * dt) >> (l.shift + 16);
    l.earliest_spread_q16 += ((magnitude(de) - l.earliest_spread_q16) * dt) >> (l.shift + 16);
    l.mean_spread_q16 += ((magnitude(dm) - l.mean_spread_q16) * dt) >> (l.shift + 16);
    const int64_t level_before = l.use_mean == 1 ? l.level_q16 : l.earliest_level_q16;
    if (l.use_mean != 0 && 2 * l.earliest_spread_q16 < l.mean_spread_q16)
        l.use_mean = 0;
    else if (l.use_mean == 0 && 2 * l.mean_spread_q16 < l.earliest_spread_q16)
        l.use_mean = l.quiet >= (uint32_t{2} << l.shift) ? 2 : 1;
    const int64_t level = l.use_mean == 1 ? l.level_q16 : l.earliest_level_q16;
    // The carry is held within the error's own bound (a few frames seen),
    // and the input within 2^28, which it keeps without the carry: the
    // loop's product below stays within 64 bits.
    l.carry_q16 = clamp(l.carry_q16 + level_before - level, -kLineErrorLimit, kLineErrorLimit);
    const int64_t input =
        clamp((l.use_mean != 0 ? l.mean_q16 - l.mean_level_q16 + level : l.earliest_q16) + l.carry_q16,
              -(int64_t{1} << 28), int64_t{1} << 28);

    // The loop, critically damped with omega = 2^-shift per frame: the
    // line's count moves by 2 omega dt of the input, its rate by omega^2 dt.
    // One product: input (<= 2^28) times dt (<= 2^(shift + 13)) < 2^63.
    const int64_t p = input * dt; // Q.32 frames squared
    if (l.shift < fast + kSecondOrderGears) {
        l.accel_q64 = 0;
        l.phase_q16 = -error + (p >> (l.shift - 1 + 16));
        if (l.edge_bins < 4) // else the start-up edge holds the rate
            l.rate_q48 = clamp(l.rate_q48 + (p >> (2 * l.shift - 16)), kRateLow, kRateHigh);
        return 0;
    }
    // Tracking: third order, three poles at -omega, so that a rate that
    // drifts at a steady pace (a crystal warming, a wandering oscillator)
    // leaves the line no lag.  Gains 3 omega, 3 omega^2, omega^3; a quarter
    // of p (< 2^61) times 3 stays within 64 bits, and the acceleration
    // (<= 2^40, to Q.48: 2^24) times dt (<= 2^35) too.
    const int64_t q = p >> 2;
    l.phase_q16 = -error + ((3 * q) >> (l.shift + 14));
    // While the start-up edge holds the rate, no acceleration winds up.
    if (l.edge_bins < 4) {
        l.rate_q48 = clamp(l.rate_q48 + ((3 * q) >> (2 * l.shift - 18)) +
                               (((l.accel_q64 >> 16) * dt) >> 16),
                           kRateLow, kRateHigh);
        l.accel_q64 = clamp(l.accel_q64 + (p >> (3 * l.shift - 32)), -kAccelLimit, kAccelLimit);
    }
    return 0;
}

// The clocks' ratio from the lines: producer rate / consumer rate, Q2.30.
// The consumer's reciprocal is kept by one Newton step per update, x' =
// x (2 - r x), which doubles its correct bits each time and follows a rate
// that moves by parts per million from update to update; no division.
uint32_t feedforward(asrc_servo& s)
{
    const int64_t r = s.consumer.rate_q48 >> 18; // Q2.30, 2^29 .. 2^31
    int64_t x = s.consumer_inverse_q30;           // 2^29 .. 2^31
    const int64_t rx = (r * x) >> 30;             // < 2^62 before the shift
    x = clamp((x * ((int64_t{2} << 30) - rx)) >> 30, int64_t{1} << 29, int64_t{1} << 31);
    s.consumer_inverse_q30 = x;
    const int64_t ratio = ((s.producer.rate_q48 >> 18) * x) >> 30; // < 2^31 * 2^31
    return static_cast<uint32_t>(clamp(ratio, s.ratio_min, s.ratio_max));
}

// What a clock step of step_ppm builds before the producer's line has
// caught it, frames: a critically damped line lags a step of rate by twice
// its time constant (2^(fast + 1) frames of it), the detector's average a
// quarter of that more; and the detector's threshold.  step_ppm_q20
// <= 10486, times 2^(fast + 1) * 5/4 <= 2^25: below 2^40.
int64_t step_frames(const asrc_servo& s)
{
    if (s.step_ppm_q20 == 0)
        return 0;
    return ((int64_t{s.step_ppm_q20} * ((int64_t{5} << s.step_shift) >> 1)) >> 20) +
           ((2 * s.producer.noise_q16 + (int64_t{4} << 16)) >> 16);
}

// Lost time as a rate (see TIMESTAMPS): the frames the two sides lost at
// their lines' restarts (producer's in input samples, consumer's in
// frames), `elapsed` output frames since the last update.  Returns the
// ratio's term, Q2.30.  The losses' sum decays with 2^kLossShift frames,
// so the sum over that is the rate at which the FIFO loses; the term
// follows minus that rate through a one-pole ramp of 2^kLossRampShift.
// Products: the sum (< 2^37) times elapsed (<= 2^17); the sum's whole
// frames / 2^8 (< 2^29) times the nominal ratio (<= 2^31); the term's
// distance (< 2^33) times elapsed: all below 2^63.
int32_t lost_time(asrc_servo& s, int64_t producer_lost, int64_t consumer_lost, int64_t elapsed)
{
    int64_t lost = s.lost_q16 + ((producer_lost * s.frames_per_input) >> 30) - consumer_lost;
    lost = clamp(lost, -kLossLimit, kLossLimit);
    lost -= (lost * elapsed) >> kLossShift;
    s.lost_q16 = lost;
    // A clock step's restart finds frames missing too, up to what the step
    // builds: a sum within that is left to the correction, so that a step
    // does not push the ratio further (only losses that recur pass it).
    const int64_t dead = step_frames(s) << 16;
    const int64_t beyond = lost > dead ? lost - dead : lost < -dead ? lost + dead : 0;
    const int64_t want = -(((beyond >> 8) * s.ratio_nominal) >> (kLossShift + 8));
    const int64_t term = s.lost_ratio_q30 + (((want - s.lost_ratio_q30) * elapsed) >> kLossRampShift);
    const int64_t most = int64_t{s.ratio_max} - s.ratio_min; // < 2^31: both within 2^29 .. 2^31
    s.lost_ratio_q30 = static_cast<int32_t>(clamp(term, -most, most)); // |.| < 2^31
    return s.lost_ratio_q30;
}

// The mean fill's error from the lines, Q.16 frames (see TIMESTAMPS).
int64_t measure_clocked(const asrc_servo& s, const asrc_fifo_stamp& stamp, int64_t position,
                        uint32_t now, int32_t input)
{
    const int64_t held = clamp(position, -kPositionLimit, kPositionLimit) >> 14;
    int64_t e = int64_t{stamp.fill} * 65536 - s.holding_q16 + ((held * s.frames_per_input) >> 30);
    // The producer's line ahead of its block, in output frames.
    e += (clamp(s.producer.phase_q16, -kLineErrorLimit, kLineErrorLimit) * s.frames_per_input) >> 30;
    // Half the block just written: input (<= 2^16) times Q2.30, to Q.16 / 2.
    e -= (int64_t{input} * s.frames_per_input) >> 15;
    if (s.consumer.observed > 0) {
        // The consumer's line at `now` against what it has read (the line's
        // last block may be an earlier read than the last one).
        const auto ticks = static_cast<int32_t>(now - s.consumer.stamp);
        const int64_t since =
            clamp((int64_t{ticks} * s.tick_frames_q32) >> 16, -kLineGapLimit, kLineGapLimit);
        const auto beyond = static_cast<int32_t>(stamp.read_frames - s.consumer.count);
        e -= s.consumer.phase_q16 + (((s.consumer.rate_q48 >> 18) * since) >> 30) -
             (int64_t{beyond} << 16);
        e += int64_t{stamp.read_block} << 15;
    }
    return clamp(e, -kErrorLimit, kErrorLimit);
}

// The refill's room above the target, frames: half a block, the
// converter's delay and a block more (the first refill), and the next block.
int64_t refill_room(int64_t block)
{
    return block / 2 + ASRC_SERVO_CONVERTER_DELAY + 2 * block;
}

// What the measurements ask of the target and of the room above it, frames.
struct Sizes {
    int64_t target;
    int64_t above;
    int64_t floor; // the blocks' swing alone, without lateness or a step
    int64_t room;  // above the target: `above`, at least the refill's room
};

Sizes sizes(const asrc_servo& s)
{
    const int64_t in_block = (int64_t{s.producer.block_max} * s.frames_per_input) >> 30;
    const int64_t out_block = s.consumer.block_max;
    const int64_t halves = (in_block + out_block + 1) / 2;
    const int64_t step = step_frames(s); // the clock step's room
    int64_t late = (s.producer.late_q16 * s.frames_per_input >> 30) + s.consumer.early_q16;
    const int64_t early = (s.producer.early_q16 * s.frames_per_input >> 30) + s.consumer.late_q16;
    // The peaks watched so far, and a quarter more: a peak grows as the
    // rarer lateness comes, and each raise of the target costs the
    // correction's 40 ppm for a while.
    late += late >> 2;
    Sizes z;
    z.target = halves + ((late + 65535) >> 16) + step + 2;
    z.above = halves + ((early + 65535) >> 16) + step + 2;
    z.floor = halves + 2;
    const int64_t refill = refill_room(s.block);
    z.room = z.above > refill ? z.above : refill;
    return z;
}

// ASRC_SERVO_TARGET_AUTO: the target is what the measurements ask for
// when the refill settles (`start`), and follows them up after, within
// what the capacity leaves above it.  A capacity too small for both the
// late side (below the target) and the early side (above it) shares the
// shortfall between them: all of it taken from below once set the target
// under zero, where every read underruns (lateness of 30 ms on each side
// of a 47-ms FIFO: -447 frames, 100,000 underruns in 3 minutes).  The
// target keeps at least the blocks' own swing, and never so much that the
// first refill would not fit.
void choose_target(asrc_servo& s, bool start)
{
    const Sizes z = sizes(s);
    int64_t want = z.target;
    if (s.capacity > 0) {
        const int64_t room = s.capacity - z.room;
        if (want > room) {
            const int64_t most = s.capacity - refill_room(s.block); // >= a block: init checks it
            const int64_t least = z.floor < most ? z.floor : most;
            want = clamp((want + room) >> 1, least, most);
        }
    }
    if (start || want > s.target)
        s.target = static_cast<int32_t>(want < (1 << 20) ? want : (1 << 20));
    if (start)
        s.holding_q16 = int64_t{s.target} << 16;
}

// The fill held follows a raise of the target at kRaiseShift's pace, so
// that the correction moves the ratio by a ramp of at most about 15 ppm
// (a raise of 15 frames at once, as the peaks grow in the first seconds,
// held the correction at its 40 ppm for seconds and the ratio outside the
// lock's 50 ppm band; one of a frame stepped the correction by 3.8 ppm, a
// jump of pitch).  `elapsed`: output frames since the last update.
void follow_target(asrc_servo& s, int64_t elapsed)
{
    const int64_t target = int64_t{s.target} << 16;
    const int64_t step = (elapsed << 16) >> kRaiseShift;
    s.holding_q16 = s.mode == ASRC_SERVO_REFILL || s.holding_q16 > target
                        ? target
                        : s.holding_q16 + step < target ? s.holding_q16 + step : target;
}

// REFILL: the fill is brought to the target by the caller, not the ratio,
// while the caller writes silence (see asrc_servo_muted).  refill_stage:
// 0 until the fill is no longer over the target by more than a block and
// the first refill has been asked for; 1 .. settle the updates over which
// the error is averaged (into settle_sum_q16); then one update that asks for
// the trim, and then, once the caller has dropped all of it a block per
// update, the loop starts.  With timestamps the settling also waits until
// both lines run at their acquisition time constant, and the trim is to the
// target chosen then.
void refill_update(asrc_servo& s, int64_t e16)
{
    const int64_t too_full = int64_t{s.block} * kUnlockBlocks << 16;
    const auto settle = uint32_t{1} << (s.acquire_shift - kSettleShift);
    const int32_t asked = s.refill;
    s.refill = 0;
    if (s.refill_stage == 0 && e16 > too_full) {
        // Too full (after an overrun, or the consumer has stopped): the
        // caller drops what the converter gives until the consumer has
        // taken the excess.
        s.refill = frames_to_add(e16);
    } else if (s.refill_stage == 0) {
        // One fill seen: silence makes up what it says is missing, and a
        // block more.  A single reading is only a guess: where the
        // consumer's next read falls, and how late this block came, move it
        // by up to a consumer block either way, and the extra block keeps a
        // low guess from running the FIFO dry while the settling below
        // measures the truth (the trim then takes the extra away).
        const int32_t missing = frames_to_add(e16) + s.block;
        s.refill = missing > 0 ? missing : 0;
        s.settle_sum_q16 = 0;
        s.refill_stage = 1;
    } else if (s.refill_stage <= settle) {
        // With timestamps, both lines must have watched their blocks for
        // four acquisition time constants since they settled.
        const uint32_t watch = uint32_t{4} << s.line_acquire;
        const bool warm =
            s.clocked == 0 || (s.producer.measured >= watch && s.consumer.measured >= watch);
        if (warm) {
            s.settle_sum_q16 += e16;
            ++s.refill_stage;
        }
    } else if (s.refill_stage == settle + 1) {
        // The mean error of the settling, trimmed away while the output is
        // still silence: added silence, or silence dropped from the next
        // block.  A target chosen now moves the mean error by its change.
        int64_t mean = s.settle_sum_q16 >> (s.acquire_shift - kSettleShift);
        if (s.auto_target != 0) {
            const int32_t before = s.target;
            choose_target(s, true);
            mean -= int64_t{s.target - before} << 16;
        }
        s.refill = frames_to_add(mean);
        ++s.refill_stage;
    } else if (asked < -s.block) {
        // The caller drops at most a block's worth per update: the rest.
        s.refill = asked + s.block;
    } else {
        // The loop starts at its acquisition time constant, or at tracking
        // if the two are the same.
        s.mode = s.acquire_shift == s.track_shift ? ASRC_SERVO_TRACK : ASRC_SERVO_ACQUIRE;
        s.shift = s.acquire_shift;
        s.refill_stage = 0;
        s.gear_updates = 0;
        s.gear_sum_q16 = 0;
        // The trim has taken the mean error away; this one reading is
        // mostly the consumer's sawtooth, not a place to start the filter.
        s.error_q32 = 0;
        s.step_carry_q16 = 0;
    }
}

uint32_t loop_update(asrc_servo& s, int64_t e16)
{
    s.refill = 0;
    const int32_t n = s.shift;

    // The lowpass, in Q.32 so that the error's small steps are not lost to
    // the shift (the shift is at least MIN_SHIFT - kFilterShift = 2).
    s.error_q32 += ((e16 << 16) - s.error_q32) >> (n - kFilterShift);
    const int64_t ef = s.error_q32 >> 16; // Q.16, |ef| <= 2^28

    // Frames per update into ratio: Q.16 frames times Q2.30 per frame is
    // Q.46, |p| < 2^28 * 2^32 = 2^60.
    const int64_t p = ef * s.ratio_per_frame;
    // I += c e_f / N^2 in Q.54: Q.46 * 2^8 / 2^2n.  n >= 4, so a right shift.
    const int64_t limit_lo = (int64_t{s.ratio_min} - s.ratio_nominal) * (int64_t{1} << 24);
    const int64_t limit_hi = (int64_t{s.ratio_max} - s.ratio_nominal) * (int64_t{1} << 24);
    s.frequency_q54 = clamp(s.frequency_q54 + (p >> (2 * n - 8)), limit_lo, limit_hi);
    // 2 zeta c e_f / N in Q.54: Q.46 / 2^n * 2^8 * 2 zeta.  Held within
    // +-2^48 before the product (ratio +-8 after it, far beyond any limit),
    // so that neither the product nor the sum below can overflow.
    const int64_t proportional =
        clamp(p >> n, -(int64_t{1} << 48), int64_t{1} << 48) * kTwoZetaQ8;
    s.ratio = ratio_of(s, s.frequency_q54 + proportional);

    // How far a single reading strays from the filtered error (mean
    // absolute deviation, same lowpass): the scale of the fill's noise, so
    // that the gear's thresholds hold for a sawtooth of any size.
    const int64_t deviation = magnitude(e16 - ef);
    s.noise_q16 += (deviation - s.noise_q16) >> (n - kFilterShift);

    // Gear: N doubles once the filtered error has averaged within a quarter
    // of the scale (the larger of a block and the noise) over 2 N updates;
    // it halves when the filtered error passes half the scale (a drift too
    // fast for this N, at most once per N updates, so that the filter can
    // answer first), and falls back to acquisition at once when the error
    // leaves the scale: a loss of lock, not the sawtooth.
    const int64_t block16 = int64_t{s.block} << 16;
    const int64_t scale = block16 > s.noise_q16 ? block16 : s.noise_q16;
    const int64_t size = magnitude(ef);
    if (size > scale * kUnlockBlocks) {
        s.shift = s.acquire_shift;
        s.mode = s.shift == s.track_shift ? ASRC_SERVO_TRACK : ASRC_SERVO_ACQUIRE;
        s.gear_updates = 0;
        s.gear_sum_q16 = 0;
    } else {
        s.gear_sum_q16 += ef;
        ++s.gear_updates;
        if (size > scale / 2 && s.shift > s.acquire_shift &&
            s.gear_updates >= (uint32_t{1} << s.shift)) {
            --s.shift;
            s.mode = ASRC_SERVO_ACQUIRE;
            s.gear_updates = 0;
            s.gear_sum_q16 = 0;
        } else if (s.shift < s.track_shift && s.gear_updates >= (uint32_t{2} << s.shift)) {
            const int64_t mean = s.gear_sum_q16 >> (s.shift + 1);
            if (magnitude(mean) <= scale / 4) {
                ++s.shift;
                if (s.shift == s.track_shift)
                    s.mode = ASRC_SERVO_TRACK;
            }
            s.gear_updates = 0;
            s.gear_sum_q16 = 0;
        }
    }
    return s.ratio;
}

// With timestamps, in the loop: the lines' ratio and the fill's
// correction.  e16 (<= 2^28) times the nominal ratio (<= 2^31) < 2^60.
uint32_t clocked_loop_update(asrc_servo& s, uint32_t ratio, int64_t e16)
{
    s.refill = 0;
    if (s.auto_target != 0)
        choose_target(s, false);
    // For the first 2^20 frames (22 s at 48 kHz) after the lines settled,
    // the fill's error is mostly their own settling (each doubling of a
    // time constant moves a line's window of earliest blocks, and with it
    // the fill it reads, by frames), not latency lost: at 40 ppm those
    // frames held the ratio outside the lock's 50-ppm band for seconds,
    // with 1024-frame blocks late by 2 ms.  A correction of 25 ppm stays
    // within it beside the lines' own error.
    const bool young = s.producer.measured < kYoungFrames || s.consumer.measured < kYoungFrames;
    const int64_t limit = young ? (s.correction_limit * 5) >> 3 : s.correction_limit;
    const int64_t correction =
        clamp((e16 * s.ratio_nominal) >> (16 + s.fill_shift), -limit, limit);
    s.ratio = static_cast<uint32_t>(clamp(int64_t{ratio} + correction, s.ratio_min, s.ratio_max));
    const bool tracking = s.producer.shift >= gear_for(s, s.producer, kTrackLevel) - 1 &&
                          s.consumer.shift >= gear_for(s, s.consumer, kTrackLevel) - 1;
    s.mode = tracking ? ASRC_SERVO_TRACK : ASRC_SERVO_ACQUIRE;
    return s.ratio;
}

int16_t to_step(asrc_servo& s, uint32_t ratio)
{
    // ratio - 1 in Q2.30 is the step in Q2.14 with 16 more fractional bits.
    // Rounded to nearest with the rounding error carried into the next
    // block (first-order noise shaping): the sum of the steps tracks the sum
    // of the fine values within half a unit, so their mean converges to the
    // fine value.
    const int64_t fine = int64_t{ratio} - ASRC_SERVO_RATIO_ONE + s.step_carry_q16; // |.| < 2^31
    const int64_t step = clamp((fine + (int64_t{1} << 15)) >> 16, INT16_MIN, INT16_MAX);
    s.step_carry_q16 = static_cast<int32_t>(clamp(fine - step * 65536, -(int64_t{1} << 16),
                                                  int64_t{1} << 16)); // +-2^16 after the clamp
    return static_cast<int16_t>(step); // within int16 after the clamp
}

bool config_valid(const asrc_servo_config* c)
{
    const bool target_ok = c->target == ASRC_SERVO_TARGET_AUTO
                               ? c->clock_hz != 0
                               : c->target >= 0 && c->target <= (1 << 20);
    return c->rate >= 1 && c->rate <= 4000000 && c->block >= 1 && c->block <= 65536 && target_ok &&
           ratio_in_range(c->ratio) && ratio_in_range(c->ratio_min) &&
           ratio_in_range(c->ratio_max) && c->ratio_min <= c->ratio && c->ratio <= c->ratio_max &&
           c->acquire_ms >= 1 && c->acquire_ms <= 1000000 && c->track_ms >= c->acquire_ms &&
           c->track_ms <= 1000000 &&
           (c->clock_hz == 0 || (c->clock_hz >= c->rate && c->clock_hz <= 0x80000000u)) &&
           c->capacity >= 0 && c->capacity <= ASRC_FIFO_MAX_FRAMES && c->step_ppm <= 10000;
}

// The line's time constants in frames: milliseconds to the nearest power
// of two of frames, within kLineStart .. kLineMax.
int32_t line_shift(uint32_t ms, uint32_t rate)
{
    const int32_t n = nearest_shift(uint64_t{ms} * rate, 1000);
    return n < kLineStart ? kLineStart : n > kLineMax ? kLineMax : n;
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
    c.clock_hz = 0;
    c.capacity = 0;
    c.step_ppm = 1000;
    return c;
}

int32_t asrc_servo_capacity_needed(const asrc_servo_config* c)
{
    if (!config_valid(c))
        return -1;
    const int64_t target = c->target == ASRC_SERVO_TARGET_AUTO ? c->block : c->target;
    const int64_t need = target + refill_room(c->block);
    return static_cast<int32_t>(need); // <= 2^20 + 2^18
}

int asrc_servo_init(asrc_servo* s, const asrc_servo_config* c)
{
    if (!config_valid(c))
        return -1;
    const int32_t acquire = shift_for(c->acquire_ms, c->rate, c->block);
    const int32_t track = shift_for(c->track_ms, c->rate, c->block);
    if (acquire < ASRC_SERVO_MIN_SHIFT || track > ASRC_SERVO_MAX_SHIFT)
        return -1;
    if (c->capacity > 0 && c->capacity < asrc_servo_capacity_needed(c))
        return -1;
    const bool automatic = c->target == ASRC_SERVO_TARGET_AUTO;
    // The automatic target starts at a block, and at most what the
    // capacity leaves above the refill's room, until the settling has
    // measured what it needs.
    int32_t target = c->target;
    if (automatic) {
        const int64_t room = c->capacity > 0 ? c->capacity - refill_room(c->block) : 4 * c->block;
        target = static_cast<int32_t>(room / 2 > c->block ? room / 2 : c->block);
    }
    s->target = target;
    s->block = c->block;
    s->ratio_nominal = c->ratio;
    s->ratio_min = c->ratio_min;
    s->ratio_max = c->ratio_max;
    // Rounded to nearest; ratio <= 2^31 and block >= 1, so both fit 32 bits.
    s->ratio_per_frame = static_cast<uint32_t>(
        (uint64_t{c->ratio} + static_cast<uint32_t>(c->block) / 2) / static_cast<uint32_t>(c->block));
    s->frames_per_input = static_cast<uint32_t>(((uint64_t{1} << 60) + c->ratio / 2) / c->ratio);
    s->acquire_shift = acquire;
    s->track_shift = track;
    s->frequency_q54 = 0;
    s->ratio = c->ratio;
    s->mode = ASRC_SERVO_REFILL;
    s->shift = acquire;
    s->refill = 0;
    s->refill_stage = 0;
    s->settle_sum_q16 = 0;
    s->gear_updates = 0;
    s->gear_sum_q16 = 0;
    s->noise_q16 = 0;
    s->error_q32 = 0;
    s->step_carry_q16 = 0;

    s->clocked = 0;
    s->auto_target = automatic ? 1 : 0;
    s->capacity = c->capacity;
    s->line_acquire = line_shift(c->acquire_ms, c->rate);
    s->line_track = line_shift(c->track_ms, c->rate);
    if (s->line_acquire < kLineStart + 2)
        s->line_acquire = kLineStart + 2; // the detector's average needs 2^(a-2-3) >= 2^7 frames
    if (s->line_track < s->line_acquire)
        s->line_track = s->line_acquire;
    s->fill_shift = s->line_track - 2;
    s->step_shift = s->line_acquire;
    s->step_ppm_q20 = static_cast<uint32_t>((uint64_t{c->step_ppm} << 20) / 1000000);
    // rate / clock_hz in Q32.32; clock_hz >= rate, so at most 2^32.
    s->tick_frames_q32 =
        c->clock_hz == 0 ? 0 : static_cast<int64_t>((uint64_t{c->rate} << 32) / c->clock_hz);
    s->correction_limit = c->ratio / (1000000 / kCorrectionPpm);
    s->consumer_reads = 0;
    s->consumer_inverse_q30 = int64_t{1} << 30;
    s->fill_error_q16 = 0;
    s->holding_q16 = int64_t{s->target} << 16;
    s->lost_q16 = 0;
    s->lost_ratio_q30 = 0;
    const int32_t start = kLineStart < s->line_acquire ? kLineStart : s->line_acquire;
    asrc_servo_line* lines[2] = {&s->producer, &s->consumer};
    for (asrc_servo_line* l : lines) {
        anchor(*l, 0, 0);
        l->noise_q16 = 0;
        l->spread_q16 = 0;
        l->earliest_spread_q16 = 0;
        l->mean_spread_q16 = 0;
        l->use_mean = 0;
        l->earliest_level_q16 = 0;
        l->mean_level_q16 = 0;
        l->early_q16 = 0;
        l->late_q16 = 0;
        l->shift = start;
        l->observed = 0;
        l->block_max = 0;
        l->measured = 0;
        for (int32_t i = 0; i < kEdgeBins; ++i) {
            l->edge_time_q12[i] = 0;
            l->edge_count[i] = 0;
        }
    }
    s->producer.rate_q48 = int64_t{c->ratio} << 18; // input samples per output frame
    s->consumer.rate_q48 = int64_t{1} << 48;
    return 0;
}

uint32_t asrc_servo_update(asrc_servo* s, int32_t fill, int64_t position)
{
    const int64_t e16 = measure(*s, fill, position);
    if (s->mode != ASRC_SERVO_REFILL)
        return loop_update(*s, e16);
    refill_update(*s, e16);
    s->ratio = ratio_of(*s, s->frequency_q54);
    return s->ratio;
}

int16_t asrc_servo_update_step(asrc_servo* s, int32_t fill, int64_t position)
{
    return to_step(*s, asrc_servo_update(s, fill, position));
}

uint32_t asrc_servo_update_at(asrc_servo* s, const asrc_fifo* fifo, int64_t position, uint32_t now,
                              int32_t input)
{
    if (s->tick_frames_q32 == 0)
        return asrc_servo_update(s, asrc_fifo_fill(fifo), position);
    s->clocked = 1;
    input = input < 1 ? 1 : input > 65536 ? 65536 : input;
    asrc_fifo_stamp stamp;
    if (asrc_fifo_get_stamp(fifo, &stamp) != 0) {
        // The consumer kept reading while we looked: its last stamp is
        // still the one seen before, and the fill is the plain one.
        stamp.fill = asrc_fifo_fill(fifo);
        stamp.reads = s->consumer_reads;
        stamp.read_time = s->consumer.stamp;
        stamp.read_frames = s->consumer.count;
        stamp.read_block = s->consumer.block_max;
        stamp.best_time = s->consumer.stamp;
        stamp.best_frames = s->consumer.count;
    }
    s->producer.block_max = input > s->producer.block_max ? input : s->producer.block_max;
    const int64_t producer_lost =
        observe(*s, s->producer, now, s->producer.count + static_cast<uint32_t>(input));
    int64_t consumer_lost = 0;
    if (stamp.reads != s->consumer_reads && stamp.reads != 0) {
        s->consumer_reads = stamp.reads;
        const int32_t b = stamp.read_block < 65536 ? stamp.read_block : 65536;
        s->consumer.block_max = b > s->consumer.block_max ? b : s->consumer.block_max;
        // The line takes the earliest of the reads since the producer's
        // write before this one (the FIFO's choice, by the read period);
        // the last read, where it is another, still counts toward the
        // peaks that size the room.
        if (s->consumer.observed == 0 || stamp.best_time != s->consumer.stamp ||
            stamp.best_frames != s->consumer.count)
            consumer_lost = observe(*s, s->consumer, stamp.best_time, stamp.best_frames);
        if (stamp.read_frames != stamp.best_frames)
            watch_peaks(s->consumer,
                        line_error(*s, s->consumer, stamp.read_time, stamp.read_frames));
    }
    // input (<= 2^16) times frames per input (Q2.30, <= 2^31): output frames.
    const int64_t elapsed = (int64_t{input} * s->frames_per_input) >> 30;
    const int64_t lost = lost_time(*s, producer_lost, consumer_lost, elapsed);
    follow_target(*s, elapsed);
    const auto ratio = static_cast<uint32_t>(
        clamp(int64_t{feedforward(*s)} + lost, s->ratio_min, s->ratio_max));
    const int64_t e16 = measure_clocked(*s, stamp, position, now, input);
    s->fill_error_q16 = e16;
    if (s->mode != ASRC_SERVO_REFILL)
        return clocked_loop_update(*s, ratio, e16);
    refill_update(*s, e16);
    s->ratio = ratio;
    return ratio;
}

int16_t asrc_servo_update_step_at(asrc_servo* s, const asrc_fifo* fifo, int64_t position,
                                  uint32_t now, int32_t input)
{
    return to_step(*s, asrc_servo_update_at(s, fifo, position, now, input));
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
    s->refill_stage = 0;
}

uint32_t asrc_servo_read_period(const asrc_servo* s)
{
    if (s->tick_frames_q32 <= 0)
        return 0;
    // 2^40 / (frames per tick, Q32.32): ticks per frame, Q24.8.  Once, at
    // set-up; the only division of the timestamped path.
    const uint64_t q8 = (uint64_t{1} << 40) / static_cast<uint64_t>(s->tick_frames_q32);
    return q8 > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(q8);
}

int32_t asrc_servo_target(const asrc_servo* s)
{
    return s->target;
}

int32_t asrc_servo_capacity_wanted(const asrc_servo* s)
{
    const Sizes z = sizes(*s);
    // With a chosen target, what the measurements ask for, even where the
    // capacity held the target below it.
    const int64_t target = s->auto_target != 0 && z.target > s->target ? z.target : s->target;
    const int64_t want = target + z.room;
    return static_cast<int32_t>(want < ASRC_FIFO_MAX_FRAMES ? want : ASRC_FIFO_MAX_FRAMES);
}

} // extern "C"
