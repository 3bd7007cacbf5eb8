// asrc.h - fixed-point asynchronous sample-rate converter for one mono stream
// of 16-bit samples.
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
//   There is exactly one converter per process: its state (five int16_t
//   values) lives at module scope inside asrc.cpp, is zero at program start
//   and is carried from call to call and between the two entries, so a stream
//   may be fed sample by sample, in blocks, or in any mix of the two with the
//   same result.  The functions are therefore NOT reentrant and NOT
//   thread-safe: calls must not overlap (no two threads, no call from an
//   interrupt handler while another call runs).  Nothing is allocated, no
//   I/O is done, and no function can fail or reports a status.
//
//   `in` and `out` must not overlap.  Nothing is checked: not the pointers,
//   not the counts, not the room in `out`.
#ifndef ASRC_H
#define ASRC_H

#include <cstdint>

// One whole sample in the Q2.14 units of the phase and the step.
inline constexpr std::int32_t ASRC_ONE = 16384;

// Resets the converter to silence: all five state values (newest and
// previous input, newest and previous output, phase) become 0.  Call it once
// before the first sample of a stream; calling it again restarts the
// converter.  State is also zero at program start.
void asrc_init();

// Converts one input sample.
//   out     room for at least 2 samples; receives 0, 1 or 2 outputs from
//           index 0 (2 only when step < 0, 0 only when step > 0).
//   sample  the input sample.
//   nout    set to the number of samples written to out (0, 1 or 2).
//   step    the phase step, Q2.14.
// Gives exactly what asrc_process_block gives for the same stream.
void asrc_process_sample(std::int16_t* out, std::int16_t sample, std::int32_t* nout,
                         std::int16_t step);

// Converts a block of input samples.
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
// asrc_process_sample on each input in turn: block boundaries have no effect.
// While the phase cannot leave 0..16384 within the next 8 samples (and more
// than 8 remain) the block is taken 8 samples at a time with one range test
// per group instead of the drop and insert tests of every sample.
void asrc_process_block(std::int16_t* out, const std::int16_t* in, std::int32_t* nin,
                        std::int32_t* nout, std::int16_t step);

// The largest number of outputs that `count` inputs can give at `step`,
// from any converter state: `count` for step >= 0, and for step < 0
// count + ceil(count / (floor(16384 / |step|) + 1)), since inserts fall
// exactly floor(16384/|step|) + 1 inputs apart and the first can fall on the
// first input.  0 for count <= 0.  Never more than 2 * count; for the largest
// counts the result is returned in 64 bits so that it cannot overflow.
constexpr std::int64_t asrc_max_output(std::int32_t count, std::int16_t step)
{
    if (count <= 0)
        return 0;
    if (step >= 0)
        return count;
    const std::int64_t period = ASRC_ONE / -static_cast<std::int32_t>(step) + 1;
    return static_cast<std::int64_t>(count) + (count + period - 1) / period;
}

#endif // ASRC_H
