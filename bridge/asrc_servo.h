// asrc_servo.h - the rate controller that joins two clock domains: it
// watches the fill of the FIFO between them and sets the converter's ratio
// so that the FIFO neither runs dry nor overflows, without the pitch
// wobbling.  Integer arithmetic only; it runs on a Cortex-M0+.
//
// USAGE (fill only; with a timer common to both sides see USAGE WITH
// TIMESTAMPS, which also chooses the latency)
//
//     asrc_servo_config c = asrc_servo_defaults(48000, 48, TARGET, ASRC_SERVO_RATIO_ONE);
//     asrc_servo_init(&servo, &c);
//     producer, after each block converted and written (as silence while
//     asrc_servo_muted):
//         ratio = asrc_servo_update(&servo, asrc_fifo_fill(&fifo),
//                                   asrc_servo_poly_position(&conv));
//         asrc_poly_set_ratio(&conv, ratio);
//         r = asrc_servo_refill(&servo);  // > 0: write r frames of silence now,
//                                         // < 0: drop -r frames of the next block
//     after an under- or overrun (asrc_fifo_get_counts): asrc_servo_restart(&servo)
//
// OVERVIEW
//
// A producer on one clock converts its blocks and writes them into a FIFO
// (asrc_fifo.h); a consumer on another clock reads blocks from it.  Once per
// producer block, after the write, the producer calls asrc_servo_update
// with the FIFO's fill and the converter's fractional position, and gets
// the ratio for its next block: asrc_poly_set_ratio's Q2.30 (input samples
// per output sample), or with asrc_servo_update_step the step of the first
// converter family (asrc.h).  With a timer common to both sides, the
// timestamped update (asrc_servo_update_at, see TIMESTAMPS) sees between
// the blocks and chooses the latency itself; the rest of this overview is
// the fill-only loop, which asrc_servo_update runs.
//
// The fill seen at the update jumps by whole blocks whenever the consumer
// takes one, so the measured error is mostly that sawtooth, not the drift.
// The servo filters it, and runs a second-order loop on it:
//
//     e      = fill - block / 2 + position / ratio - target    frames
//     e_f   += (e - e_f) / (N / 4)                             one-pole lowpass
//     I     += c * e_f / N^2                                   frequency estimate
//     ratio  = nominal + I + 2 zeta * c * e_f / N              proportional + I
//
// with c = nominal / block, which turns frames per update into ratio, and
// zeta = 0.707.  The
// fill just after a write is half a block above the FIFO's mean fill over
// the producer's cycle, so it is the mean fill that the servo holds at the
// target; the consumer's blocks, read at moments that have nothing to do
// with the producer's, average out.  It is a type-2 loop (a PI controller
// on a FIFO, which integrates the rate difference): a constant clock offset
// leaves no fill error, and a drifting one a small error that shrinks with
// N squared.  N is the loop's time constant in updates (1 / N its natural
// frequency in radians per update, zeta its damping); the lowpass at N / 4
// sits well above the loop's poles.  The fill's noise reaches the ratio
// through the proportional path, as 2 zeta c / N times the filtered noise, so a longer N
// gives a steadier ratio but tracks wander more loosely; see docs/bridge.md
// for the measured trade.
//
// ACQUISITION AND TRACKING
//
//   N is a power of two.  When the loop starts (after the refill) it runs
//   at the acquisition time constant (config.acquire_ms), where it pulls in
//   any offset within the limits in a few time constants while the fill
//   stays close to the target.  N doubles each time the filtered error has
//   averaged within a quarter of the fill's scale over 2 N updates, up to
//   the tracking time constant (config.track_ms); it halves when the
//   filtered error passes half the scale (a drift too fast for that N; at
//   most once per N updates), and falls straight back to the acquisition
//   value when the error leaves the scale.  The scale is the larger of a
//   block and the fill's noise (the mean distance of a reading from e_f,
//   which the servo keeps), so that neither a large consumer block nor a
//   jittery clock holds the loop in acquisition or throws it out of
//   tracking.  Doubling N halves the proportional gain and
//   quarters the integral gain; the estimate I and the filter carry over,
//   so a shift moves the ratio by a fraction of a ppm.
//
//   With the defaults (asrc_servo_defaults) at 48 kHz and 48 frames per
//   update (one update per millisecond): N = 256 updates (0.256 s) at
//   acquisition, 16384 (16.4 s) when tracking, the lowpass at N / 4; the
//   six doublings take 32 s.  In Hz: the loop's natural frequency is
//   1 / (2 pi N T), 0.62 Hz at acquisition and 0.0097 Hz when tracking.
//
// REFILL (START AND RESTART)
//
//   After asrc_servo_init and asrc_servo_restart the servo first brings
//   the fill to the target by other means than the ratio, while the output
//   is silence, so that the loop starts close to the target and the audio
//   starts without a jump:
//
//   - asrc_servo_muted is nonzero: write the next converted block as that
//     many frames of silence (run the converter all the same, so that it
//     is ready; its frames are only replaced).
//   - after each update, asrc_servo_refill says what else to do:
//       refill > 0   write that many frames of silence now
//                    (asrc_fifo_write_silence);
//       refill < 0   drop up to -refill frames of the next block instead
//                    of writing them (the servo counts on a block's worth,
//                    config.block frames, going per update, and asks
//                    again for what is left);
//       refill = 0   nothing.
//
//   The first update asks for the silence that a single reading of the
//   fill says is missing (at the start: the target, half a block, and what
//   the converter has yet to give), and one block more.  A single reading
//   is off by up to a consumer block, depending on where the consumer's
//   next read falls, and the extra block keeps a low reading from running
//   the FIFO dry; so the servo then averages the error over N / 16 updates
//   (16 at the defaults), trims it away with one more refill, and starts
//   the loop at the next update: at the defaults the output starts 19 ms
//   after the first block (a little later if the trim drops more than a
//   block), within about 5 frames of the target.  A
//   fill that is over the target by more than a block (after an overrun)
//   is first brought down by dropping frames.
//
//   Call asrc_servo_restart when the FIFO reports an underrun or overrun:
//   the audio had a gap anyway, and refilling to the target at once is
//   quicker than letting the loop pull a fill of 0 or of the capacity
//   back.  The restart keeps the frequency estimate, so the loop
//   reacquires from where it was.  Fading the gap in and out is the
//   caller's (the servo never sees samples).
//
// THE POSITION ARGUMENT
//
//   The fill alone moves in whole frames, and by a varying number per
//   block.  `position` says how much more input than in its steady state
//   the converter holds, to 2^-30 of an input sample (signed Q33.30); the
//   servo counts it, divided by the nominal ratio, as fill.  So the fill
//   becomes continuous, and while a converter starts up (the polyphase one
//   gives nothing until it holds 64 inputs) the servo knows that frames are
//   on their way and refills for that too.  The helpers below give it:
//
//     polyphase converter  asrc_servo_poly_position(&state)
//     24-bit converter     asrc_servo_q31_position(&state)
//     first family         asrc_servo_rule_position(&state)
//     none                 0 (the servo then sees whole frames only)
//
// TIMESTAMPS: WHAT THE FILL ALONE CANNOT SEE
//
//   The fill moves in whole blocks.  When the two sides' blocks are
//   commensurate and on time (48 frames written and 64 read each
//   millisecond at 48 kHz), the fill seen at each update stays put for
//   seconds and then jumps by a block: the loop above is blind between the
//   jumps, and with a target close to the blocks' swing it underruns before
//   it learns the offset; large blocks (256 in, 1024 out) make the same
//   sawtooth too slow to filter.  So each side also says when its blocks
//   happen, on a free-running timer common to both (a microcontroller's
//   timer or cycle counter read at each DMA interrupt, CLOCK_MONOTONIC on
//   Linux, config.clock_hz ticks per second, wrapping modulo 2^32):
//
//     set-up    asrc_fifo_set_read_period(&fifo, asrc_servo_read_period(&servo))
//     consumer  asrc_fifo_read_at(&fifo, out, n, now)   instead of asrc_fifo_read
//     producer  asrc_servo_update_at(&servo, &fifo, position, now, input)
//               instead of asrc_servo_update (input: samples the converter
//               took for this block)
//
//   The servo then runs, inside the producer's update, one line per side:
//   frames counted against time, count(t) = phase + rate * t, a loop on
//   each side's observations (a delay-locked loop), with time in nominal
//   consumer frames (the timer's ticks times rate / clock_hz, a constant
//   worked out at init).  A block is never early, only late by however
//   long its interrupt or thread waited, so the line runs along the
//   earliest blocks, not through their mean: the loop takes, once per
//   window of a sixteenth of its time constant, the window's earliest
//   block (or, where the blocks come in bunches and their mean scatters
//   less, the mean moved to the earliest ones' level; a change from one to
//   the other carries the step between their levels, so it moves neither
//   the line nor its rate).  Up to four
//   doublings of the time constant above where it acquires, the loop is
//   critically damped second order; beyond, third order (three poles at
//   the same place), so that a clock whose rate drifts at a steady pace
//   (a crystal warming, a slow wander) leaves the line no lag.  The
//   consumer's line takes, of the reads since the last update, the
//   earliest (asrc_fifo_set_read_period; the last read where no period is
//   set), so that 16-frame reads behind 1024-frame writes are learnt as
//   fast as reads seen every block; the last read still counts toward the
//   lateness.  The lines give
//
//   - the clocks' ratio, producer rate / consumer rate (input samples per
//     output frame), which the ratio follows directly: a feedforward;
//   - the FIFO's mean fill between the blocks: what was written, plus how
//     far the producer's line is ahead of its latest block, less how far
//     the consumer's line has run since its latest read, less half a
//     producer block, plus half a consumer block.  It is smooth whatever
//     the blocks (no sawtooth), and each side's lateness is taken out of it
//     (the lines run along the blocks' earliest times);
//   - each side's lateness: how far its blocks come behind or ahead of its
//     line, the peaks of which size the latency (below).
//
//   The ratio is the feedforward plus a correction proportional to the
//   mean fill's error, limited to +-40 ppm of the nominal ratio (25 ppm
//   for the first 2^20 frames after both lines settled, while their own
//   settling still moves the fill they read by frames): the
//   correction holds the latency; the lines follow the clocks.  A constant
//   offset leaves no fill error (the lines have no bias), and a clock that
//   steps cannot drive the ratio further than 40 ppm beyond where the
//   lines put it.
//
//   Each line's time constant starts short (2^10 frames) and doubles every
//   two time constants up to what its noise asks for: the shortest at
//   which its rate is steady to about 20 ppm while it acquires and to about
//   0.3 ppm while it tracks (from the error's mean distance and the
//   frames between its observations: a block, and for the consumer at
//   least a producer block, since its reads are seen once per update),
//   within config.acquire_ms .. config.track_ms as powers of two of
//   frames.  A clock step shows in the earliest block of short windows (an
//   eighth of the acquisition time constant): when it leaves its level by
//   more than four times its usual spread and two frames in three windows
//   running, the line is re-anchored at the latest block and runs at its
//   acquisition time constant again, whose rate answer to a step has no
//   overshoot.  Two such windows in a row take the line down one time
//   constant (a drift too fast for it).  A block ahead of the earliest
//   ones by more than four spreads and a block (a count that jumped) does
//   not move the line, unless such blocks go on for half an acquisition
//   time constant: then the line is re-anchored.  mode is ASRC_SERVO_TRACK
//   once both lines are within a factor two of the time constant their
//   noise asks for.
//
//   While a line starts (until it first settles), its windows hold few
//   blocks, and long blocks late by a millisecond or two would keep its
//   rate from being steady for 2^17 to 2^18 frames.  So each line also
//   keeps the earliest block of each of eight bins of equal span (2^10
//   frames each at first, doubling when the eight are full, up to 2^16):
//   the edge of their upper hull across the middle of the bins, the line
//   that no block is earlier than, gives a rate whose error falls as 1 / n
//   of the blocks rather than 1 / sqrt(n).  Once four bins are closed it
//   is the line's rate (the loop moves only the line's count), and once
//   it is steady to about 30 ppm by its count of blocks, span and the
//   blocks' spread, the line's lateness is watched as a settled line's,
//   so that the refill ends seconds sooner: 1024-frame blocks late by up
//   to 1 ms lock in 3.9 s instead of 8.9.  The edge holds the rate until
//   its eight bins of 2^16 frames are full (11 s at 48 kHz), also past the
//   line's first settling, whose loop at a still short time constant had
//   the rate 10 to 30 ppm off; a line anchored again later (a clock step,
//   lost time) goes on with its loop.  Its slope needs a reciprocal, made
//   by Newton steps (no division).
//
//   A side that loses time (a sound server whose cycle ran late and never
//   caught up) runs slower on average by what it loses, which a line
//   restarted at each loss does not see: its rate is the clock's.  So the
//   frames each restart finds missing (or, a side that jumped ahead, too
//   many) are summed, the sum decaying with 2^23 frames (175 s at 48
//   kHz), and the ratio follows the rate at which the FIFO loses them: the
//   sum over 2^23, through a ramp of 2^21 frames (44 s), so that each loss
//   moves the pitch by a slope (2 ms: 11 ppm over a minute or so), not a
//   step.  A clock step's restart finds frames missing too; a sum within
//   what a step of config.step_ppm builds (the same room the automatic
//   latency keeps for it) is left to the correction, so a step moves the
//   ratio no further, and only losses that recur pass it.  Losses of 2 ms
//   every 10 s (200 ppm) then cost the FIFO a few underruns in the first
//   minutes, while the sum learns them, and none after (asrc-bridge-sim
//   --lose-ms, docs/bridge.md).
//
// LATENCY CHOSEN BY ITSELF
//
//   With config.target = ASRC_SERVO_TARGET_AUTO the servo chooses the fill
//   to hold, from what it measures while it refills (silence until both
//   lines have watched their blocks for four acquisition time constants
//   since they settled: about 2 to 4.5 s at the start) and keeps measuring:
//
//     target = (producer block + consumer block) / 2
//            + the latest producer block behind its line, and a quarter
//            + the earliest consumer read ahead of its line, and a quarter
//            + what a clock step of config.step_ppm (1000 by default)
//              builds before the producer's line has caught it (2.5 of its
//              acquisition time constants of the step) and the step
//              detector's threshold; nothing with step_ppm = 0
//            + 2 frames
//
//   all peaks since init (never lowered: a controller left running for a
//   month keeps the latency that its worst hour needed).  It raises the
//   target when a new peak asks for more, within what config.capacity
//   leaves room for; the fill the correction holds to then follows at
//   2^-16 frames per frame (15 ppm, 0.7 frames a second at 48 kHz), so
//   that the ratio moves by a ramp within the lock's band, never a step
//   (holding_q16).  A capacity too small for what both sides' lateness asks (below
//   the target and above it) shares the shortfall between them: the
//   target is the mean of what the late side asks and what the capacity
//   leaves above the early side's room, never less than the blocks' own
//   swing ((producer block + consumer block) / 2 + 2) nor so much that the
//   first refill would not fit.  asrc_servo_target reports the fill it
//   holds (the latency is that plus the converter's delay),
//   asrc_servo_capacity_wanted the capacity that its measurements ask for,
//   also where the capacity holds the target below that (a consumer that
//   stalls and then catches up in a burst is not seen: size the FIFO for
//   stalls).  A fixed target
//   (>= 0) stays as set.  With config.capacity given (> 0), init refuses a
//   capacity below what the first refill needs,
//   asrc_servo_capacity_needed(config).
//
// USAGE WITH TIMESTAMPS
//
//     asrc_servo_config c = asrc_servo_defaults(48000, 48, ASRC_SERVO_TARGET_AUTO,
//                                               ASRC_SERVO_RATIO_ONE);
//     c.clock_hz = 1000000;           // a microsecond timer
//     c.capacity = CAPACITY;          // >= asrc_servo_capacity_needed(&c)
//     asrc_servo_init(&servo, &c);
//     asrc_fifo_set_read_period(&fifo, asrc_servo_read_period(&servo));
//
//     consumer (DMA interrupt):  asrc_fifo_read_at(&fifo, half, 64, timer_now());
//     producer (USB interrupt):  n = convert(block); write n frames (silence
//                                while muted, less the drop); then
//       ratio = asrc_servo_update_at(&servo, &fifo,
//                                    asrc_servo_poly_position(&conv), timer_now(), 48);
//       asrc_poly_set_ratio(&conv, ratio);
//       refill = asrc_servo_refill(&servo);   // as without timestamps
//
//   Underruns and overruns are handled as without timestamps
//   (asrc_servo_restart).  Without timestamps (clock_hz = 0, the default)
//   the servo runs the fill-only loop described above.
//
// NUMBER FORMATS AND RANGES
//
//   ratio    uint32_t Q2.30, ASRC_SERVO_RATIO_ONE (2^30) is one input sample
//            per output sample, as asrc_poly_set_ratio takes it.
//   step     int16_t Q2.14, as asrc_state_process_block takes it.
//   fill, target, block, refill   int32_t frames.
//   position int64_t, signed Q33.30 input samples.
//
//   Internally: the filtered error is Q32.32 frames, the frequency
//   estimate Q10.54 ratio; every product is formed in 64 bits from
//   operands bounded so that it cannot overflow, every scale is a shift
//   (arithmetic, rounding toward minus infinity; the loop corrects the
//   bias this leaves).  The error is limited to +-4096 frames and the
//   position to +-1024 input samples before use, so nothing can overflow
//   whatever the caller passes.  The ratio is limited
//   to config.ratio_min .. config.ratio_max, and the estimate I with it
//   (so that it does not wind up while the ratio sits at a limit).
//
// COST
//
//   asrc_servo_update: no division; three 64-bit multiplies and a few
//   dozen 64-bit adds, compares and shifts (on Cortex-M0+, which multiplies
//   only 32 x 32 -> 32 bits, the multiplies are libgcc's __aeabi_lmul).
//   asrc_servo_update_at: no division either; about twenty 64-bit
//   multiplies (three per line observation, two for the consumer rate's
//   reciprocal, which a Newton step per update keeps, the fill's, and six
//   for the lost time); while a line starts, at the end of each of its
//   start-up edge's bins, a few dozen more (the bins' scores and the
//   slope's reciprocal, at most four rounds of eight);
//   docs/embedded.md gives the instructions counted on Cortex-M cores.
//   asrc_servo_init divides (64-bit, libgcc's __aeabi_uldivmod there).  No floating point, no
//   allocation, no I/O, no global state.
//
// REENTRANCY
//
//   The caller owns the asrc_servo.  Calls on one servo must not overlap:
//   make them all from the producer's side, which owns the converter.
//   Different servos are independent.
//
// LANGUAGES
//
//   C99 and later, C++11 and later, C linkage, no C++ runtime.
#ifndef ASRC_SERVO_H
#define ASRC_SERVO_H

#include <stdint.h>

#include "asrc.h"
#include "asrc_fifo.h"
#include "asrc_poly.h"
#include "asrc_q31.h"

#ifdef __cplusplus
extern "C" {
#endif

// The ratios the servo gives are asrc_poly_set_ratio's (Q2.30, within the
// polyphase converter's range), so the names are the converter's own.
#define ASRC_SERVO_RATIO_ONE ASRC_POLY_RATIO_ONE
#define ASRC_SERVO_RATIO_MIN ASRC_POLY_RATIO_MIN // 0.5
#define ASRC_SERVO_RATIO_MAX ASRC_POLY_RATIO_MAX // 2.0

// The loop's time constant N lies within 2^ASRC_SERVO_MIN_SHIFT ..
// 2^ASRC_SERVO_MAX_SHIFT updates after rounding: fewer than 16 updates per
// time constant is no longer a smooth loop, and beyond 2^20 the integral
// gain runs out of bits.
#define ASRC_SERVO_MIN_SHIFT 4
#define ASRC_SERVO_MAX_SHIFT 20

// config.target: the servo chooses the fill to hold (timestamps only).
#define ASRC_SERVO_TARGET_AUTO (-1)

// The most input the converter may hold short of its steady state at
// start (the polyphase converter's 64 samples of delay): the first refill
// makes up for it, and asrc_servo_capacity_needed counts it.
#define ASRC_SERVO_CONVERTER_DELAY 64

// The servo's modes (asrc_servo.mode).
#define ASRC_SERVO_REFILL 0  // bringing the fill to the target (see REFILL)
#define ASRC_SERVO_ACQUIRE 1 // the loop runs, faster than at tracking
#define ASRC_SERVO_TRACK 2   // the loop runs at the tracking time constant

typedef struct asrc_servo_config {
    uint32_t rate;       // FIFO frames per second (the consumer's nominal
                         // rate), 1 .. 4,000,000
    int32_t block;       // frames the producer writes per update at the
                         // nominal ratio, 1 .. 65536 (sets the loop gain and
                         // the time per update: block / rate)
    int32_t target;      // fill to hold, frames, 0 .. 2^20, or
                         // ASRC_SERVO_TARGET_AUTO (with clock_hz)
    uint32_t ratio;      // nominal ratio, Q2.30: the loop's starting point
    uint32_t ratio_min;  // limits of the ratio, Q2.30, with
    uint32_t ratio_max;  // RATIO_MIN <= ratio_min <= ratio <= ratio_max <= RATIO_MAX
    uint32_t acquire_ms; // time constant at acquisition, 1 .. 1,000,000 ms
    uint32_t track_ms;   // at tracking, acquire_ms .. 1,000,000 ms
    // Timestamps (see TIMESTAMPS); asrc_servo_defaults sets clock_hz and
    // capacity to 0 (no timestamps, capacity not checked).
    uint32_t clock_hz;   // ticks per second of the timer both sides read,
                         // 0 (no timestamps) or rate .. 2^31 (at least one
                         // tick per frame, so that a tick is finer than a
                         // frame)
    int32_t capacity;    // the FIFO's, frames, 0 (not checked) or 1 .. 2^20
    uint32_t step_ppm;   // ASRC_SERVO_TARGET_AUTO: the largest clock step,
                         // ppm, that the chosen latency rides through
                         // without a gap, 0 .. 10000 (defaults: 1000; 0 for
                         // clocks that never jump)
} asrc_servo_config;

// One side's line (see TIMESTAMPS): frames counted against time.  Only the
// library writes it.
typedef struct asrc_servo_line {
    uint32_t stamp;         // ticks of the latest block observed
    uint32_t count;         // frames counted up to it, modulo 2^32
    int64_t phase_q16;      // the line's count at `stamp` less `count`,
                            // Q.16 frames (> 0: the block came late)
    int64_t rate_q48;       // frames counted per nominal consumer frame of
                            // time, Q16.48
    int64_t drift_q16;      // short average of the line's error, Q.16
    int64_t noise_q16;      // mean distance of the error from drift, Q.16
    int64_t early_q16;      // peak error ahead of the line, Q.16 frames
    int64_t late_q16;       // peak error behind it, Q.16 frames
    int64_t outlier_q16;    // time since off-line blocks began, Q.16 frames
    int64_t accel_q64;      // the rate's change per nominal frame, Q.64
                            // (third order only; zero below it)
    int64_t earliest_q16;   // the largest error (earliest block) of the
                            // loop's present window, Q.16 frames
    int64_t mean_q16;       // the blocks' mean error over about a window, Q.16
    int64_t window_q16;     // time gathered into the present window, Q.16 frames
    int64_t earliest_level_q16;  // the windows' mean of earliest_q16, Q.16
    int64_t mean_level_q16;      // and of mean_q16, Q.16
    int64_t earliest_spread_q16; // their mean distances from those levels,
    int64_t mean_spread_q16;     // Q.16 frames
    int64_t watch_best_q16; // the largest error in the step detector's
                            // present short window, Q.16 frames
    int64_t watch_q16;      // time gathered into that window, Q.16 frames
    int64_t level_q16;      // the short windows' mean largest error, Q.16
    int64_t spread_q16;     // their mean distance from it, Q.16 frames
    int64_t carry_q16;      // added to the loop's input since the line was
                            // anchored: the steps between the levels of
                            // what fed it before and after each change
                            // of use_mean, Q.16 frames (see observe)
    int32_t strikes;        // short windows in a row off that level (-1:
                            // none seen since the line was anchored)
    int32_t use_mean;       // nonzero: the loop takes the blocks' mean,
                            // moved to the short windows' earliest level
                            // (1) or to the loop windows' own (2: taken at
                            // a handover once the time constant has held
                            // for two of its own, until a re-anchor)
    uint32_t quiet;         // frames of time since the time constant changed
    uint32_t measured;      // frames of time since the line first settled
                            // (saturating): how long the peaks were watched
    int32_t shift;          // log2 of the time constant, nominal frames
    int32_t observed;       // blocks observed, saturating at 2
    int32_t block_max;      // the largest block counted, frames
    // The start-up edge (see TIMESTAMPS): from the line's start, the
    // earliest block of each of up to eight bins of equal span.
    uint32_t edge_time_q12[8]; // each bin's earliest block: its time since
                               // the edge began, Q.12 frames (< 2^20 frames)
    uint32_t edge_count[8]; // and the frames counted by it, modulo 2^32
    int64_t edge_best_q16;  // the present bin's earliest block's error
                            // against the line, Q.16 frames (INT64_MIN:
                            // no block in it yet)
    int64_t edge_clock_q16; // time since the edge began, Q.16 frames
    uint32_t edge_blocks;   // blocks seen since the edge began (saturating)
    int32_t edge_bins;      // bins closed, 0 .. 7 (-1: the edge is done)
    int32_t edge_shift;     // log2 of a bin's span, nominal frames
    int32_t edge_good;      // nonzero once the edge's rate is as steady as
                            // the line's at its acquisition time constant
} asrc_servo_line;

// One servo.  The fields are documented so that it can be inspected (mode,
// shift, ratio and target are of use to a caller); only the library writes
// them.  Each has one meaning in every mode; docs/development.md has a
// glossary.
typedef struct asrc_servo {
    // From the configuration.
    int32_t target;            // the mean fill held, frames (chosen by the
                               // servo when auto_target)
    int32_t block;             // producer frames per update at the nominal ratio
    uint32_t ratio_nominal;    // Q2.30
    uint32_t ratio_min;        // Q2.30
    uint32_t ratio_max;        // Q2.30
    uint32_t ratio_per_frame;  // c = ratio_nominal / block: ratio (Q2.30) per
                               // frame of fill error per update
    uint32_t frames_per_input; // 2^60 / ratio_nominal: output frames per
                               // input sample, Q2.30
    int32_t acquire_shift;     // log2 of N at acquisition (updates)
    int32_t track_shift;       // log2 of N at tracking (updates)
    // Running, both ways.
    int32_t mode;              // ASRC_SERVO_REFILL, _ACQUIRE or _TRACK
    int32_t shift;             // log2 of the present N (updates)
    int32_t refill;            // frames, see REFILL
    uint32_t refill_stage;     // REFILL's step: 0 first reading, 1 .. settle
                               // averaging, then trim, then drop the rest
    int64_t settle_sum_q16;    // REFILL: the errors summed while settling, Q.16 frames
    uint32_t gear_updates;     // loop: updates counted towards the next
                               // change of N
    int64_t gear_sum_q16;      // loop: the filtered error summed over them, Q.16
    int64_t noise_q16;         // loop: mean |e - e_f|, Q.16 frames
    int64_t error_q32;         // loop: e_f, the filtered fill error, Q32.32 frames
    int64_t frequency_q54;     // loop: I, the frequency estimate, Q10.54 ratio
    uint32_t ratio;            // the last ratio returned, Q2.30
    int32_t step_carry_q16;    // asrc_servo_update_step's rounding carried
                               // to the next block, Q.16 of a step
    // With timestamps (see TIMESTAMPS); unused without.
    int32_t clocked;           // nonzero once asrc_servo_update_at ran
    int32_t auto_target;       // nonzero: the servo chooses target
    int32_t capacity;          // the FIFO's, frames (0: unknown)
    int32_t fill_shift;        // log2 of the fill correction's time
                               // constant, nominal frames
    int32_t line_acquire;      // log2 of the lines' acquisition time constant, frames
    int32_t line_track;        // log2 of their tracking time constant, frames
    uint32_t step_ppm_q20;     // config.step_ppm * 2^20 / 10^6
    int32_t step_shift;        // the producer line's acquisition time
                               // constant (log2 frames), the most it has
                               // been: what a clock step costs in fill
    int64_t tick_frames_q32;   // nominal consumer frames per tick, Q32.32
    uint32_t correction_limit; // the correction's limit, Q2.30 (40 ppm)
    uint32_t consumer_reads;   // the FIFO's stamped reads at the last look
    int64_t consumer_inverse_q30; // 1 / consumer.rate, Q2.30 (Newton)
    int64_t fill_error_q16;    // the latest mean fill error, Q.16 frames
    int64_t holding_q16;       // the fill the correction holds to, Q.16
                               // frames: the target, reached after a raise
                               // at 2^-16 frames per frame (15 ppm)
    int64_t lost_q16;          // frames the two sides lost at their lines'
                               // restarts (> 0: the FIFO is short of them),
                               // output frames, Q.16, decaying with 2^23 frames
    int32_t lost_ratio_q30;    // the ratio's term for that loss, Q2.30
    asrc_servo_line producer;  // input samples against time
    asrc_servo_line consumer;  // frames read against time
} asrc_servo;

// The defaults for a FIFO of `rate` frames per second filled by `block`
// frames per update, holding `target`, at the nominal ratio `ratio`
// (Q2.30): limits of +-1% around it (within the converter's range), 250 ms
// at acquisition and 16 s at tracking (rounded to powers of two of updates
// by asrc_servo_init: at one update per millisecond, 256 and 16384; the
// lines' to powers of two of frames, 2^14 and 2^20 at 48 kHz), no
// timestamps, capacity not checked, step_ppm 1000.
asrc_servo_config asrc_servo_defaults(uint32_t rate, int32_t block, int32_t target,
                                      uint32_t ratio);

// Sets *s up from *config, in REFILL mode with the ratio at the nominal
// one.  Returns 0, or -1 without touching *s if a field is outside its
// range (see asrc_servo_config), if a time constant comes to fewer than
// 2^ASRC_SERVO_MIN_SHIFT or more than 2^ASRC_SERVO_MAX_SHIFT updates, if
// the target is ASRC_SERVO_TARGET_AUTO without clock_hz, or if capacity is
// given and below asrc_servo_capacity_needed(config).
int asrc_servo_init(asrc_servo* s, const asrc_servo_config* config);

// One update, after the producer's block was written: `fill` is the FIFO's
// fill (asrc_fifo_fill, frames), `position` the converter's (see THE
// POSITION ARGUMENT).  Returns the ratio for the next block, Q2.30, within
// the limits; afterwards asrc_servo_refill says what else to do.
uint32_t asrc_servo_update(asrc_servo* s, int32_t fill, int64_t position);

// The same update for the first converter family: returns the Q2.14 step
// of its next block instead of a ratio.  The rule's step is coarse (one
// unit is 61 ppm), so the fine value ratio - 1 is rounded with its error
// carried to the next block: the steps of successive blocks average to the
// fine value within 2^-16 of a unit, each being the fine value rounded up
// or down.  The rule's own ratio for a step differs slightly from
// 1 + step / 16384 (asrc.h); the loop takes that up like any offset.
int16_t asrc_servo_update_step(asrc_servo* s, int32_t fill, int64_t position);

// After an update: frames of silence to write now (> 0), frames of the next
// block to drop instead of writing them (< 0), or 0.  See REFILL.
int32_t asrc_servo_refill(const asrc_servo* s);

// Nonzero while the servo refills: the next block is to be written as
// silence (the same number of frames).  See REFILL.
int asrc_servo_muted(const asrc_servo* s);

// Back to REFILL after an underrun or overrun, keeping the frequency
// estimate; the next update asks for the refill.
void asrc_servo_restart(asrc_servo* s);

// The update with timestamps (see TIMESTAMPS), from the producer's side,
// after its block was written: `fifo` the FIFO it wrote (whose consumer
// reads with asrc_fifo_read_at), `position` as for asrc_servo_update, `now`
// the timer's ticks when the block came (the producer's interrupt entry),
// `input` the input samples the converter took for it (1 .. 65536; USB's
// 47, 48, 49 as they come).  Returns the ratio for the next block, Q2.30,
// within the limits; afterwards asrc_servo_refill and asrc_servo_muted
// say what else to do, as without timestamps.  Needs config.clock_hz > 0;
// without it, it is asrc_servo_update on the FIFO's fill.
uint32_t asrc_servo_update_at(asrc_servo* s, const asrc_fifo* fifo, int64_t position, uint32_t now,
                              int32_t input);

// The same for the first converter family: the Q2.14 step (see
// asrc_servo_update_step).
int16_t asrc_servo_update_step_at(asrc_servo* s, const asrc_fifo* fifo, int64_t position,
                                  uint32_t now, int32_t input);

// The consumer's nominal period in the timer's ticks per frame, Q24.8
// (clock_hz / rate, rounded down; 0 without timestamps), for
// asrc_fifo_set_read_period: with it the FIFO hands the servo the earliest
// of the reads between two updates instead of the last, which a consumer
// of short blocks behind a producer of long ones needs to be learnt within
// seconds.  Call once after asrc_servo_init:
//     asrc_fifo_set_read_period(&fifo, asrc_servo_read_period(&servo));
// It divides (once); no per-block call does.
uint32_t asrc_servo_read_period(const asrc_servo* s);

// The mean fill the servo holds, frames: the latency, less the converter's
// delay.  With ASRC_SERVO_TARGET_AUTO, what it has chosen so far.
int32_t asrc_servo_target(const asrc_servo* s);

// The FIFO capacity, frames, that the servo's measurements ask for: the
// target (with ASRC_SERVO_TARGET_AUTO the one they ask for, more than the
// chosen one where config.capacity held it lower) and the swing above it (half of each side's largest block, the
// producer's earliest block and the consumer's latest read against their
// lines, and the refill's room).  At least asrc_servo_capacity_needed of
// its configuration.
int32_t asrc_servo_capacity_wanted(const asrc_servo* s);

// The least FIFO capacity that a configuration can start with, frames: the
// first refill (target, half a block, ASRC_SERVO_CONVERTER_DELAY and a
// block more) and the next block on top.  For ASRC_SERVO_TARGET_AUTO the
// target counted is one producer block, the least the servo chooses.  -1
// if the configuration is refused by asrc_servo_init for another reason.
int32_t asrc_servo_capacity_needed(const asrc_servo_config* config);

// The polyphase converter's position for asrc_servo_update: the input it
// holds beyond its next output's time (asrc_poly_input_held) less the
// middle of where that lies once outputs flow, delay - 1 - ratio / 2
// (asrc_poly.h).  From about -64 right after asrc_poly_init to +-ratio / 2
// in the steady state.
static inline int64_t asrc_servo_poly_position(const asrc_poly_state* s)
{
    return asrc_poly_input_held(s) - (int64_t)(s->delay - 1) * ((int64_t)1 << 30) +
           (int64_t)(s->ratio / 2);
}

// The 24-bit converter's position, the same measure as
// asrc_servo_poly_position: asrc_q31_input_held less delay - 1 - ratio / 2
// (its Q24.40 ratio halved into Q33.30).  About -96 right after
// asrc_q31_init (-delay: 32 samples more than ASRC_SERVO_CONVERTER_DELAY,
// which the first refill makes up for all the same; a FIFO sized by
// asrc_servo_capacity_needed wants that much more room), +-ratio / 2 in
// the steady state.
static inline int64_t asrc_servo_q31_position(const asrc_q31_state* s)
{
    return asrc_q31_input_held(s) - (int64_t)(s->delay - 1) * ((int64_t)1 << 30) +
           (int64_t)(s->ratio >> 11);
}

// The first family's position: its phase rises by the step on each input
// and an input is dropped when it passes one (or an output inserted when
// it falls below zero), so the phase is the fraction of a frame the rule
// has already taken out of the stream, and its output falls behind by it.
// Minus the phase, about its middle: 1/2 - phase / ASRC_ONE, in Q33.30
// input samples, -1/2 .. 1/2.
static inline int64_t asrc_servo_rule_position(const asrc_state* s)
{
    return ((int64_t)8192 - s->phase) * 65536;
}

#ifdef __cplusplus
} // extern "C"
#endif

#endif // ASRC_SERVO_H
