// asrc.h - fixed-point asynchronous sample-rate converter for mono streams of
// 16-bit samples: one converter per stream, as many as the caller holds.
//
// USAGE
//
//     asrc_state s;
//     asrc_state_init(&s);
//     const int16_t step = 163;                   // rate offset 0.01: trunc(16384 * 0.01)
//     for (;;) {                                  // blocks of any length
//         int32_t nin = count, nout = 0;          // out: room for
//         asrc_state_process_block(&s, out, in, &nin, &nout, step); // asrc_max_output
//     }
//
// OVERVIEW
//
// The converter is a first-order allpass fractional-delay interpolator
//
//     y[n] = x[n-1] + eta * (x[n] - y[n-1]),     eta = phase / ASRC_ONE
//
// whose coefficient, the phase, moves by a constant step on every input
// sample.  When the phase would pass one whole sample the input is dropped and
// the phase restarts at 0; when it would fall below 0 an extra output (the
// previous input) is inserted and the phase restarts at one whole sample.  A
// steady step thus turns a stream at one rate into a stream at a slightly
// different rate:
//
//     step > 0   one input in every floor(16384/step) + 1 is dropped
//                (fewer samples out than in; output rate = input rate
//                 * (1 - 1/(floor(16384/step) + 1)))
//     step = 0   a fixed delay of exactly one sample; every input gives one
//                output, the input before it
//     step < 0   one input in every floor(16384/|step|) + 1 gives two outputs
//                (more samples out than in; output rate = input rate
//                 * (1 + 1/(floor(16384/|step|) + 1))); the first input after
//                a reset is always such an input
//
// A rate offset r (output rate / input rate = 1 - r) maps to
// step = trunc(16384 * r).  The rate actually obtained is the one above, so
// it moves in steps: r = 0.01 gives step 163 and a ratio of 1 - 1/101, that
// is 0.990099 rather than 0.99.
//
// NUMBER FORMATS
//
//   sample   int16_t, two's complement, -32768..32767 (Q15 if you like; the
//            converter never looks at the scale).
//   phase    Q2.14 in an int16_t: 14 fractional bits, ASRC_ONE (16384,
//            0x4000) is one whole sample.  Between samples it always lies in
//            0..16384.
//   step     int16_t in the same Q2.14 units, any value -32768..32767.
//   counts   int32_t.
//
// ARITHMETIC
//
//   All sums and products are formed in 32-bit signed arithmetic from the
//   sign-extended 16-bit values.  With the phase in 0..16384 the intermediate
//   phase * (x[n] - y[n-1]) + x[n-1] * 16384 stays below 2^30 + 2^29 in
//   magnitude, so it can never overflow.
//
//   Rounding: the intermediate is scaled back by an arithmetic right shift of
//   14 bits, i.e. it is rounded toward minus infinity (floor), never to
//   nearest.  y[n] = x[n-1] + floor(phase * (x[n] - y[n-1]) / 16384).
//
//   Wrap-around: a result outside -32768..32767 is stored by keeping its low
//   16 bits (two's-complement wrap-around).  There is NO saturation.  The
//   allpass overshoots on sharp edges (from silence, two samples of 32767 at
//   a step of 8192 give 16383 and then 49151, stored as -16385), so callers
//   that cannot tolerate a wrapped sample must leave headroom in their signal.
//
//   Phase: phase + step is formed in 32 bits, so the stored phase never
//   wraps.  A step of exactly ASRC_ONE drops every second input; a step
//   above ASRC_ONE drops every input, whatever the phase (nothing is ever
//   output).  Likewise -ASRC_ONE inserts on every second input and a step
//   below it on every input.
//   Whenever a drop or an insert happens, the part of the phase that
//   went past the end of the range is discarded, not carried over.
//
// STATE, REENTRANCY, ALIASING
//
//   A converter's state is five int16_t values (asrc_state below).  There
//   are two families of entries that run the same rule and the same code:
//
//   asrc_state_*   work on a state the caller owns: any number of
//                  converters, one per stream or channel, held anywhere
//                  (static, on the stack, in an array).  A zero-filled
//                  asrc_state is a converter just reset, so a static one
//                  needs no call before its first sample.  Nothing is
//                  allocated.  Calls on different states may run at the same
//                  time on different threads or in different interrupt
//                  handlers; calls on one state must not overlap.
//   asrc_*         work on the one converter that the library keeps at
//                  module scope, zero at program start.  They are NOT
//                  reentrant and NOT thread-safe: calls must not overlap (no
//                  two threads, no call from an interrupt handler while
//                  another call runs).  They never touch a caller's state,
//                  and the asrc_state_* entries never touch the module's.
//
//   A state carries its stream from call to call and between the sample and
//   block entries, so a stream may be fed sample by sample, in blocks, or in
//   any mix of the two with the same result.  No I/O is done, and no
//   function can fail or reports a status.
//
//   `in` and `out` must not overlap, and neither may overlap the state or
//   the counts.  Nothing is checked: not the pointers, not the counts, not
//   the room in `out`, not the values in a state the caller wrote himself.
//
// LANGUAGES
//
//   This header compiles as C99 and later and as C++11 and later.  Every
//   function has C linkage.  The library itself is C++ compiled without
//   exceptions or RTTI and needs no C++ runtime: a C program links it with
//   the C compiler driver.
#ifndef ASRC_H
#define ASRC_H

#include <stdint.h>

#ifdef __cplusplus
#define ASRC_CONSTEXPR constexpr
extern "C" {
#else
#define ASRC_CONSTEXPR
#endif

// One whole sample in the Q2.14 units of the phase and the step.
#ifdef __cplusplus
constexpr int32_t ASRC_ONE = 16384;
#else
#define ASRC_ONE 16384
#endif

// The state of one converter.  Zero-filled it is a converter just reset.
// The fields are documented so that a state can be inspected, saved and
// restored; a caller who writes them himself must keep `phase` in
// 0..ASRC_ONE, the only range the rule is made for.
typedef struct asrc_state {
    int16_t in;       // x[n], the newest input
    int16_t in_prev;  // x[n-1], the previous input
    int16_t out;      // y[n], the newest output
    int16_t out_prev; // y[n-1], fed back into the interpolator
    int16_t phase;    // Q2.14, 0..ASRC_ONE between samples
} asrc_state;

// Resets *s to silence: all five values become 0.  The same as zero-filling
// it.  Calling it again restarts the converter.
void asrc_state_init(asrc_state* s);

// Converts one input sample on the converter *s.
//   out     room for at least 2 samples; receives 0, 1 or 2 outputs from
//           index 0 (2 only when step < 0, 0 only when step > 0).
//   sample  the input sample.
//   nout    set to the number of samples written to out (0, 1 or 2).
//   step    the phase step, Q2.14.
// Gives exactly what asrc_state_process_block gives for the same stream.
void asrc_state_process_sample(asrc_state* s, int16_t* out, int16_t sample, int32_t* nout,
                               int16_t step);

// Converts a block of input samples on the converter *s.
//   out     receives the output samples from index 0; must have room for
//           asrc_max_output(*nin, step) samples (at most 2 * *nin).
//   in      the input samples; must not overlap out.
//   nin     on entry: the number of samples in `in`.  On return: the number
//           consumed, which is always all of them (0 if the count on entry
//           was 0 or negative, in which case nothing else changes).
//   nout    on return: the number of samples written to out.  Its value on
//           entry is ignored.
//   step    the phase step, Q2.14, applied once per input sample.
// The result and the state left behind are exactly those of calling
// asrc_state_process_sample on each input in turn: block boundaries have no
// effect.  The state is read once on entry and written once on return.
// While more than 8 samples remain and the phase the next 8 would end on
// (formed in 32 bits) stays within 0..16384, the block is taken 8 samples at
// a time with one range test per group instead of the drop and insert tests
// of every sample.
void asrc_state_process_block(asrc_state* s, int16_t* out, const int16_t* in, int32_t* nin,
                              int32_t* nout, int16_t step);

// The same three entries on the library's own module-scope converter (see
// STATE, REENTRANCY, ALIASING above); otherwise identical, bit for bit.
// The state is zero at program start; asrc_init() resets it.
void asrc_init(void);
void asrc_process_sample(int16_t* out, int16_t sample, int32_t* nout, int16_t step);
void asrc_process_block(int16_t* out, const int16_t* in, int32_t* nin, int32_t* nout,
                        int16_t step);

// Helper of asrc_max_output: count plus one insert per `period` inputs,
// the first on the first input.
static inline ASRC_CONSTEXPR int64_t asrc_max_output_with_inserts_(int64_t count, int64_t period)
{
    return count + (count + period - 1) / period;
}

// The largest number of outputs that `count` inputs can give at `step`,
// from any converter state: `count` for step >= 0, and for step < 0
// count + ceil(count / (floor(16384 / |step|) + 1)), since inserts fall
// exactly floor(16384/|step|) + 1 inputs apart and the first can fall on the
// first input.  0 for count <= 0.  Never more than 2 * count; the result is
// returned in 64 bits so that it cannot overflow.  A constant expression in
// C++; in C, 2 * count is a bound for any step that can size a static array.
static inline ASRC_CONSTEXPR int64_t asrc_max_output(int32_t count, int16_t step)
{
    return count <= 0  ? 0
           : step >= 0 ? count
                       : asrc_max_output_with_inserts_(count, ASRC_ONE / -step + 1);
}

#ifdef __cplusplus
} // extern "C"
#endif

#undef ASRC_CONSTEXPR

#endif // ASRC_H
