// asrc_servo.h - the rate controller that joins two clock domains: it
// watches the fill of the FIFO between them and sets the converter's ratio
// so that the FIFO neither runs dry nor overflows, without the pitch
// wobbling.  Integer arithmetic only; it runs on a Cortex-M0+.
//
// OVERVIEW
//
// A producer on one clock converts its blocks and writes them into a FIFO
// (asrc_fifo.h); a consumer on another clock reads blocks from it.  Once per
// producer block, after the write, the producer calls asrc_servo_update
// with the FIFO's fill and the converter's fractional position, and gets
// the ratio for its next block: asrc_poly_set_ratio's Q2.30 (input samples
// per output sample), or with asrc_servo_update_step the step of the first
// converter family (asrc.h).
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
//     first family         asrc_servo_rule_position(&state)
//     none                 0 (the servo then sees whole frames only)
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
#include "asrc_poly.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ASRC_SERVO_RATIO_ONE 0x40000000u
#define ASRC_SERVO_RATIO_MIN 0x20000000u // 0.5, the polyphase converter's range
#define ASRC_SERVO_RATIO_MAX 0x80000000u // 2.0

// The loop's time constant N lies within 2^ASRC_SERVO_MIN_SHIFT ..
// 2^ASRC_SERVO_MAX_SHIFT updates after rounding: fewer than 16 updates per
// time constant is no longer a smooth loop, and beyond 2^20 the integral
// gain runs out of bits.
#define ASRC_SERVO_MIN_SHIFT 4
#define ASRC_SERVO_MAX_SHIFT 20

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
    int32_t target;      // fill to hold, frames, 0 .. 2^20
    uint32_t ratio;      // nominal ratio, Q2.30: the loop's starting point
    uint32_t ratio_min;  // limits of the ratio, Q2.30, with
    uint32_t ratio_max;  // RATIO_MIN <= ratio_min <= ratio <= ratio_max <= RATIO_MAX
    uint32_t acquire_ms; // time constant at acquisition, 1 .. 1,000,000 ms
    uint32_t track_ms;   // at tracking, acquire_ms .. 1,000,000 ms
} asrc_servo_config;

// One servo.  The fields are documented so that it can be inspected (mode,
// shift and ratio are of use to a caller); only the library writes them.
typedef struct asrc_servo {
    // From the configuration.
    int32_t target;
    int32_t block;
    uint32_t nominal;       // Q2.30
    uint32_t ratio_min;     // Q2.30
    uint32_t ratio_max;     // Q2.30
    uint32_t per_frame;     // c = nominal / block: ratio (Q2.30) per frame per update
    uint32_t inverse;       // 2^60 / nominal: input samples to output frames, Q2.30
    int32_t acquire_shift;  // log2 of N at acquisition
    int32_t track_shift;    // log2 of N at tracking
    // Running.
    int32_t mode;           // ASRC_SERVO_REFILL, _ACQUIRE or _TRACK
    int32_t shift;          // log2 of the present N
    int32_t refill;         // see REFILL
    uint32_t held;          // updates counted towards the next gear (or
                            // the refill's stage)
    int64_t sum;            // e_f summed over them, Q.16 frames
    int64_t noise;          // mean |e - e_f|, Q.16 frames
    int64_t error;          // e_f, Q32.32 frames (a plain sum, Q.16, while
                            // the refill settles)
    int64_t estimate;       // I, Q10.54 ratio
    uint32_t ratio;         // the last ratio returned, Q2.30
    int32_t dither;         // step error carried to the next block, Q.16 of a step
} asrc_servo;

// The defaults for a FIFO of `rate` frames per second filled by `block`
// frames per update, holding `target`, at the nominal ratio `ratio`
// (Q2.30): limits of +-1% around it (within the converter's range), 250 ms
// at acquisition and 16 s at tracking (rounded to powers of two of updates
// by asrc_servo_init: at one update per millisecond, 256 and 16384).
asrc_servo_config asrc_servo_defaults(uint32_t rate, int32_t block, int32_t target,
                                      uint32_t ratio);

// Sets *s up from *config, in REFILL mode with the ratio at the nominal
// one.  Returns 0, or -1 without touching *s if a field is outside its
// range (see asrc_servo_config) or if a time constant comes to fewer than
// 2^ASRC_SERVO_MIN_SHIFT or more than 2^ASRC_SERVO_MAX_SHIFT updates.
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
