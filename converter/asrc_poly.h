// asrc_poly.h - fixed-point polyphase sample-rate converter for mono streams
// of 16-bit samples: any ratio from 1:2 to 2:1, set to 2^-30 and changeable
// on every block, transparent in 16 bits.  One converter per channel, as many
// as the caller holds.  Part of the same library as asrc.h.
//
// USAGE
//
//     asrc_poly_state s;                          // one per channel
//     asrc_poly_init(&s, asrc_poly_ratio(48000, 44100));
//     for (;;) {                                  // blocks of any length
//         int32_t nin = count, nout = 0;          // out: room for
//         asrc_poly_process_block(&s, out, in, &nin, &nout); // asrc_poly_max_output
//         asrc_poly_set_ratio(&s, ratio);         // when a drift controller moves it
//     }
//
// Downsampling by more than 1% runs faster given the rows of the stretched
// filter (asrc_poly_rows_init once per stride, asrc_poly_process_block_rows).
//
// OVERVIEW
//
// Each output sample is the input, band-limited by a windowed-sinc lowpass,
// evaluated at the output's time on the input's time axis.  Output k lies at
// input time
//
//     t[k] = t[0] + ratio[0] + ratio[1] + ... + ratio[k-1],    t[0] = 0,
//
// input sample i lying at time i (the first input after asrc_poly_init is
// i = 0; everything before it is silence).  `ratio` is the number of input
// samples per output sample, in_rate / out_rate, and may change between
// blocks.  No output is dropped, repeated or shifted: output k is the input
// at t[k], so a tone keeps its phase across the whole stream and the output
// count follows the ratio exactly (see RATIO AND POSITION).
//
// The lowpass is a Kaiser-windowed sinc of 128 taps at the input rate, held
// as a table of 256 phases per input sample with linear interpolation
// between neighbouring phases.  Its passband reaches 0.45 of the lower of
// the two sample rates (19.8 kHz at 44.1 kHz) flat within 0.07 dB, and its
// stopband is at least 99 dB down from the lower rate's Nyquist frequency
// (0.4949 of it) on, so that input above the output's Nyquist frequency does
// not alias into the output, and the images of the input above its own
// Nyquist frequency do not come through:
//
//   ratio <= ASRC_POLY_RATIO_FULL_BAND (1.0102; upsampling, or downsampling
//            by up to 1%): the filter is used as it is, 128 taps per output,
//            cutoff at the input's Nyquist frequency.
//   ratio above it (downsampling by more): the filter is stretched in time
//            by 256 / stride, stride = floor(256 * 1.0102 / ratio) (256 down
//            to 129), which moves its cutoff below the output's Nyquist
//            frequency, and it spans up to 256 taps.  The gain is kept at
//            one.  This path takes 1 to 2 times as many taps, and runs on
//            the portable code unless given the rows for its stride (see
//            ROWS FOR ONE STRIDE).
//
// Measured on -1 dBFS tones (the project's quality report): 90 dB SINAD or
// better from 20 Hz to 20 kHz at 48 kHz and ratios 1 +- 1e-2 .. 1e-4, and
// from 44.1 to 48 kHz and back to 0.9 of the lower Nyquist frequency; the
// output's own rounding to 16 bits (97 dB below a -1 dBFS sine) is most of
// the error.
//
// DELAY
//
// Output k needs the input up to t[k] + D, where D = asrc_poly_delay(ratio)
// is 64 input samples at ratios up to ASRC_POLY_RATIO_FULL_BAND and up to
// 128 beyond (the stretched filter is longer).  The converter therefore
// gives output k only once input floor(t[k]) + D has arrived: the stream
// comes out D input samples (plus less than one output period) late, but
// aligned: there is no leading silence and no offset to remove.  To get the
// outputs up to the end of a finite stream, feed D zeros after it; the
// outputs whose time lies beyond the last real input are the filter's tail.
//
// NUMBER FORMATS
//
//   sample   int16_t, -32768..32767.
//   ratio    uint32_t, unsigned Q2.30: ASRC_POLY_RATIO_ONE (2^30) is one
//            input sample per output sample.  Valid from
//            ASRC_POLY_RATIO_MIN (2^29, 0.5: twice as many outputs as
//            inputs) to ASRC_POLY_RATIO_MAX (2^31, 2.0: half as many),
//            both included.  Its resolution, 2^-30 (0.00093 ppm), is the
//            resolution of the output rate.
//   position unsigned Q0.30 fraction of an input sample (`frac` below).
//   counts   int32_t, as in asrc.h.
//
// ARITHMETIC (identical bits on every platform)
//
//   Coefficients: 20 fractional bits, each phase of the table summing to
//   exactly 2^20 (DC gain exactly one).  For output k at t = n + mu
//   (n = floor(t), mu the Q0.30 fraction), tap j takes input n + j at table
//   position 16384 + stride * j - stride * mu, between two table entries;
//   the coefficient is interpolated between them with a 15-bit weight.
//   Products of 16-bit samples and coefficients are summed exactly in
//   64 bits, then scaled back by 2^35 (times stride / 256) with rounding to
//   nearest, halves rounded up (toward plus infinity).
//
//   Saturation: a result outside -32768..32767 is clipped to that range and
//   counted in `clipped`.  It never wraps.  A full-scale square wave or a
//   step from -32768 to 32767 overshoots (the lowpass rings: between the
//   samples up to 13% of the step's height) and is clipped, as are the peaks between the samples of a
//   recording mastered to 0 dBFS; a sine below full scale never clips.
//
//   No floating point is used.  The table and the code are the same on
//   every platform; on x86-64 the full-band path uses SSE2 or AVX2 (chosen
//   at run time) where the processor has them, with the same integer
//   arithmetic and so the same bits as the portable code.
//
// RATIO AND POSITION
//
//   The output times are summed exactly in Q2.30, so after N outputs at a
//   constant ratio the converter stands at exactly N * ratio input samples:
//   over any stretch, the output count is the input count divided by the
//   ratio to within one sample.  asrc_poly_set_ratio takes effect from the
//   next output on and moves nothing: t[k] of the outputs already given and
//   of the next one stay, only the spacing of the following ones changes.
//
//   A drift controller that holds a buffer's fill steady needs to know, at
//   the end of a block, how much input the converter holds beyond the next
//   output's time: asrc_poly_input_held() gives it to 2^-30 of a sample
//   (see there).
//
// STATE, REENTRANCY, ALIASING
//
//   asrc_poly_state holds one channel: its history (the last 256 inputs,
//   written twice over so that any window of it is contiguous), the ratio,
//   the position and the count of clipped outputs; 1052 bytes.  It is
//   owned by the caller and must be set up by asrc_poly_init (a zero-filled
//   state is NOT a valid converter: its ratio is 0).  Nothing is allocated,
//   nothing is global: calls on different states may run at the same time
//   on different threads or interrupt handlers; calls on one state must not
//   overlap.  No I/O is done.  The coefficient table (64 KiB of constant
//   data, plus 192 KiB of rearranged copies on x86-64) is shared and only
//   read.
//
//   `in` and `out` must not overlap each other, the state or the counts.
//   The pointers and the room in `out` are not checked; the ratio is.
//
// LANGUAGES
//
//   As asrc.h: C99 and later, C++11 and later, C linkage, no C++ runtime.
#ifndef ASRC_POLY_H
#define ASRC_POLY_H

#include <stdint.h>

#ifdef __cplusplus
#define ASRC_POLY_CONSTEXPR constexpr
extern "C" {
#else
#define ASRC_POLY_CONSTEXPR
#endif

// Ratios, unsigned Q2.30 input samples per output sample.
#define ASRC_POLY_RATIO_ONE 0x40000000u
#define ASRC_POLY_RATIO_MIN 0x20000000u // 0.5: output rate twice the input's
#define ASRC_POLY_RATIO_MAX 0x80000000u // 2.0: output rate half the input's
// The largest ratio (1.0102) at which the filter keeps its full band (cutoff
// at the input's Nyquist frequency); above it the filter is stretched.
#define ASRC_POLY_RATIO_FULL_BAND 0x40A71DE7u
// Inputs of history a state keeps: the longest (stretched) filter.
#define ASRC_POLY_HISTORY 256
// The smallest and largest value of asrc_poly_delay().
#define ASRC_POLY_DELAY_MIN 64
#define ASRC_POLY_DELAY_MAX 128

// One channel's converter.  The fields are documented so that a state can
// be inspected; a caller should change only `clipped` (to reset the count).
typedef struct asrc_poly_state {
    // The last ASRC_POLY_HISTORY inputs, each stored at i and at
    // i + ASRC_POLY_HISTORY, so that the 256 inputs before `write` form one
    // contiguous run whatever `write` is.
    int16_t history[2 * ASRC_POLY_HISTORY];
    uint32_t write;     // where the next input goes, 0..ASRC_POLY_HISTORY-1
    uint32_t ratio;     // Q2.30, ASRC_POLY_RATIO_MIN..ASRC_POLY_RATIO_MAX
    uint32_t frac;      // Q0.30: the fraction of the next output's time
    int32_t lag;        // newest input's index minus the integer part of
                        // the next output's time (-1 right after init)
    int32_t stride;     // 129..256, from the ratio (see OVERVIEW)
    int32_t delay;      // asrc_poly_delay(ratio)
    uint32_t clipped;   // outputs clipped to -32768 or 32767 since init;
                        // stops at 0xFFFFFFFF rather than wrapping
} asrc_poly_state;

// in_rate / out_rate in Q2.30, rounded to nearest (halves up): the ratio
// that converts a stream at in_rate Hz to out_rate Hz.  0 if a rate is 0 or
// the quotient lies outside ASRC_POLY_RATIO_MIN..ASRC_POLY_RATIO_MAX (checked
// after rounding).  Any units will do, as long as both rates use the same.
// 44100 -> 48000 gives 986500301 (0.91875 * 2^30 = 986500300.8).
uint32_t asrc_poly_ratio(uint32_t in_rate, uint32_t out_rate);

// Resets *s to silence at `ratio`: empty history, the next output at input
// time 0, clipped count 0.  Returns 0, or -1 without touching *s if the
// ratio lies outside ASRC_POLY_RATIO_MIN..ASRC_POLY_RATIO_MAX.
int asrc_poly_init(asrc_poly_state* s, uint32_t ratio);

// Sets the ratio from the next output on (see RATIO AND POSITION): the
// position does not move and the history stays.  Cheap enough to call on
// every block.  Returns 0, or -1 without touching *s for a ratio outside
// the range.  If the new ratio has a smaller delay than the old one (from
// above ASRC_POLY_RATIO_FULL_BAND to below it), the outputs whose input has
// already arrived come out in the next call; see asrc_poly_max_output.
int asrc_poly_set_ratio(asrc_poly_state* s, uint32_t ratio);

// Converts a block of input samples on the converter *s.
//   out   receives the outputs from index 0; must have room for
//         asrc_poly_max_output(*nin, s->ratio) samples.
//   in    the input samples; must not overlap out.
//   nin   on entry the number of samples in `in`; on return the number
//         consumed, which is always all of them (0 if the count on entry was
//         0 or negative, in which case nothing else changes).
//   nout  on return the number of outputs written.  Its value on entry is
//         ignored.
// Block boundaries have no effect: any split of a stream into blocks gives
// the same outputs and leaves the same state.  The outputs are exactly
// those whose time t[k] satisfies floor(t[k]) + delay <= the index of the
// newest input.
void asrc_poly_process_block(asrc_poly_state* s, int16_t* out, const int16_t* in, int32_t* nin,
                             int32_t* nout);

// ROWS FOR ONE STRIDE (optional)
//
// The stretched filter reads the table with a step that changes with the
// ratio, which vector units cannot load, so it runs on the portable code
// (some 15 times the full band's cost on x86-64, where the full band has
// vector paths).  asrc_poly_rows holds the
// filter for one stride laid out row by row, as the full band's rows are
// built in: 199,596 bytes, made once by asrc_poly_rows_init in the caller's
// memory (static, or allocated by the caller) and then only read, by any
// number of channels at once.  asrc_poly_process_block_rows uses it when its
// stride is the state's; the outputs are the same bit for bit either way.
// The vector paths that use it are those of x86-64 (SSE2, AVX2, AVX-512
// VNNI); elsewhere the rows are ignored and cost only their memory.
#define ASRC_POLY_ROWS_ENTRIES 33264 // the most any stride needs (stride 132: 132 rows of 252)

typedef struct asrc_poly_rows {
    int32_t stride; // the stride they hold (129..255); 256 when none are needed
    int32_t taps;   // entries per row: the filter's taps at this stride
    int32_t first;  // the tap offset j (see ARITHMETIC) of each row's first entry
    // Row a (a = (stride * frac) >> 30) at a * taps in each: the table's
    // entries F = 64 * hi + lo (lo in 0..63), and d, the difference to the
    // next entry down, F(q - 1) - F(q).
    int16_t hi[ASRC_POLY_ROWS_ENTRIES];
    int16_t lo[ASRC_POLY_ROWS_ENTRIES];
    int16_t d[ASRC_POLY_ROWS_ENTRIES];
} asrc_poly_rows;

// Fills *r for the stride of `ratio` (asrc_poly_stride).  Up to
// ASRC_POLY_RATIO_FULL_BAND no rows are needed: r->stride becomes 256 and
// nothing else is written.  Returns 0, or -1 without touching *r for a
// ratio outside the range.  Up to 33,264 entries of each part are computed: call it when
// the stride changes (a drift controller's small ratio changes keep it), not
// on every block.  Not to be called while a call reads *r.
int asrc_poly_rows_init(asrc_poly_rows* r, uint32_t ratio);

// asrc_poly_process_block, with the stretched filter on `rows` when rows
// is not NULL and rows->stride is s->stride; exactly the same results.
void asrc_poly_process_block_rows(asrc_poly_state* s, const asrc_poly_rows* rows, int16_t* out,
                                  const int16_t* in, int32_t* nin, int32_t* nout);

// How far the newest input lies beyond the next output's time, in input
// samples, signed Q33.30: (lag << 30) - frac.  -1.0 right after init; once
// outputs flow it lies in (delay - 1 - ratio, delay - 1] after every input,
// and so after every call (until a ratio change moves the delay, after
// which it settles again within delay inputs).  A drift controller that adds
// it, divided by the ratio, to its buffer's fill in output samples sees the
// fill to a fraction of a sample instead of in whole samples.
int64_t asrc_poly_input_held(const asrc_poly_state* s);

// The filter's stride at `ratio` (see OVERVIEW): 256 up to
// ASRC_POLY_RATIO_FULL_BAND, floor(256 * ASRC_POLY_RATIO_FULL_BAND / ratio)
// above.  0 for a ratio outside the range.
static inline ASRC_POLY_CONSTEXPR int32_t asrc_poly_stride(uint32_t ratio)
{
    return ratio < ASRC_POLY_RATIO_MIN || ratio > ASRC_POLY_RATIO_MAX ? 0
           : ratio <= ASRC_POLY_RATIO_FULL_BAND
               ? 256
               : (int32_t)(((uint64_t)ASRC_POLY_RATIO_FULL_BAND << 8) / ratio);
}

// The delay D of DELAY above, in whole input samples: the input beyond an
// output's time that the filter needs.  64 up to
// ASRC_POLY_RATIO_FULL_BAND, rising to 128 at ratio 2: ceil(16384 / stride).
// 0 for a ratio outside the range.
static inline ASRC_POLY_CONSTEXPR int32_t asrc_poly_delay(uint32_t ratio)
{
    return asrc_poly_stride(ratio) == 0
               ? 0
               : (16384 + asrc_poly_stride(ratio) - 1) / asrc_poly_stride(ratio);
}

// The largest number of outputs that `count` inputs can give at `ratio`,
// from any state (including one whose ratio was just changed and whose delay
// shrank, which releases outputs already due):
// ceil((count + ASRC_POLY_DELAY_MAX - asrc_poly_delay(ratio)) / ratio).  From
// a state whose delay has not shrunk since its last call, ceil(count / ratio)
// is enough.  0 for count <= 0 or a ratio outside the range.  Returned in 64
// bits so that it cannot overflow; never more than 2 * count + 128.
static inline ASRC_POLY_CONSTEXPR int64_t asrc_poly_max_output(int32_t count, uint32_t ratio)
{
    return count <= 0 || asrc_poly_stride(ratio) == 0
               ? 0
               : (int64_t)(((((uint64_t)count + ASRC_POLY_DELAY_MAX -
                              (uint64_t)asrc_poly_delay(ratio))
                             << 30) +
                            ratio - 1) /
                           ratio);
}

#ifdef __cplusplus
} // extern "C"
#endif

#undef ASRC_POLY_CONSTEXPR

#endif // ASRC_POLY_H
