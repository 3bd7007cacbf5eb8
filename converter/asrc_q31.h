// asrc_q31.h - fixed-point sample-rate converter for 24- and 32-bit audio:
// Q1.31 samples in interleaved frames of 1 to 8 channels, any ratio from
// 1:25 to 25:1 (every pair of the rates 8 to 192 kHz a studio uses, with
// room for drift around each), set to 2^-40 of an input sample and
// changeable on every block, 140 dB SINAD.  Part of the same library as
// asrc.h and asrc_poly.h.
//
// USAGE
//
//     static int32_t mem[ASRC_Q31_MEMORY_WORDS(2, 1)];      // stereo, ratios <= 1
//     asrc_q31_state s;
//     asrc_q31_init(&s, mem, ASRC_Q31_MEMORY_WORDS(2, 1), 2,
//                   asrc_q31_ratio(44100, 48000), ASRC_Q31_RATIO_ONE);
//     for (;;) {                                  // blocks of any length
//         int32_t nin = frames_in, nout = 0;      // out: room for
//         asrc_q31_process_block(&s, out, in, &nin, &nout); // asrc_q31_max_output
//     }
//
// OVERVIEW
//
// Each output frame is the input, band-limited by a windowed-sinc lowpass,
// evaluated at the output's time on the input's time axis.  Output k lies at
// input time
//
//     t[k] = ratio[0] + ratio[1] + ... + ratio[k-1],    t[0] = 0,
//
// input frame i lying at time i (the first input after asrc_q31_init is
// i = 0; everything before it is silence).  `ratio` is the number of input
// frames per output frame, in_rate / out_rate, and may change between
// blocks.  As in asrc_poly.h, no output is dropped, repeated or shifted:
// the output count follows the ratio exactly and a tone keeps its phase.
//
// THE FILTER
//
// A Kaiser-windowed sinc spanning 192 input samples (cutoff 0.475 of the
// rate, beta 14.5), held as 192 x 64 cubic pieces: the coefficient of a tap
// at any position is the cubic of its piece evaluated at the position's
// fraction (Horner's rule in 32-bit fixed point), so the filter is
// continuous in time and needs no interpolation between neighbouring phases
// (which loses 12 dB per octave of signal frequency).  Its response, in
// units of the lower of the two rates: flat within 0.0004 dB to 0.4535
// (20 kHz at 44.1 kHz), at least 140 dB down from 0.499 on, 145 dB from 0.5.
//
//   ratio <= ASRC_Q31_RATIO_FULL_BAND (1.002: upsampling, or downsampling
//            by up to 0.2%, the drift of any crystal): the filter as it is,
//            192 taps per output frame, cutoff at the input's Nyquist
//            frequency.  Every tap shares one fraction, so the
//            coefficients are formed from one row of the table; this path
//            has vector code on x86-64 (AVX2, chosen at run time).
//   ratio above it (downsampling by more): the filter stretched in time
//            by ratio / 1.002, so that its stopband starts at the output's
//            Nyquist frequency, with its gain kept at one: 192 x ratio /
//            1.002 taps per output frame (192 per input frame), each at its
//            own fraction.  The history it needs grows with the ratio (see
//            MEMORY).
//
// The coefficients of an output are formed once per frame and used for
// every channel.  Their sum is made exactly one (the tap nearest the
// output's time takes what the others leave), so DC passes exactly, at any
// position and ratio.
//
// Measured (tests/q31_test.cpp, the quality report) on -1 dBFS tones:
// 140 dB SINAD or better from 20 Hz to 20 kHz (to 0.9 of the lower Nyquist
// frequency where that is lower) at 48 kHz x (1 +- 1e-4 .. 1e-2), 44.1 <->
// 48 kHz, 48 <-> 96 kHz, 44.1 -> 96 kHz and 192 -> 44.1 kHz; everything of
// the input above the lower Nyquist frequency, and every image, at least
// 130 dB below full scale.
//
// DELAY
//
// Output k needs the input up to t[k] + D, D = asrc_q31_delay(ratio): 96
// input frames up to ASRC_Q31_RATIO_FULL_BAND, ceil(96 x ratio / 1.002)
// beyond (2,395 at ratio 25).  The converter gives output k once input
// floor(t[k]) + D has arrived: the stream comes out D input frames (plus
// less than one output period) late, but aligned, with no leading silence.
// To get the outputs up to the end of a finite stream, feed D frames of
// zeros after it.
//
// NUMBER FORMATS
//
//   sample   int32_t Q1.31, -2^31 .. 2^31 - 1 (full scale is 1.0).  A 24-bit
//            sample is its top 24 bits (sample << 8), a 16-bit one its
//            top 16.  Frames are interleaved: channel c of frame i at
//            [i * channels + c].
//   ratio    uint64_t, unsigned Q24.40: ASRC_Q31_RATIO_ONE (2^40) is one
//            input frame per output frame.  Valid from ASRC_Q31_RATIO_MIN
//            (1/25) to ASRC_Q31_RATIO_MAX (25), both included, and up to
//            the `max_ratio` the state was given memory for.  Its step,
//            2^-40, is less than 2^-35 of any valid ratio: a drift of
//            0.00003 ppm.
//   counts   int32_t frames.
//
// ARITHMETIC (identical bits on every platform)
//
//   Output k at t = n + mu (n = floor(t), mu the Q0.40 fraction).  The
//   taps are the inputs i = n - D + 1 .. n + D; tap i sits at
//   X = ((t - i) * s + 96) * 64 pieces of the prototype (s = 1 up to
//   ASRC_Q31_RATIO_FULL_BAND, 1.002 / ratio beyond), formed in unsigned
//   Q32.32 so that it cannot wrap: its whole part is the piece, its
//   fraction u (the top 31 bits, Q0.31) the place within it.  The
//   coefficient is ((a3 u + a2) u + a1) u + a0, each product of a Q1.30
//   value and u taken in 64 bits and shifted right by 31 (rounding toward
//   minus infinity), then, on the stretched filter, times s in Q0.31 the
//   same way.  The tap nearest t gets 2^30 minus the sum of the others.
//   The products of samples (Q1.31) and coefficients (Q1.30) are summed
//   exactly in 64 bits (the coefficients' magnitudes sum to less than 2.75,
//   so the sum cannot overflow), then shifted right by 30 with rounding to
//   nearest, halves up.
//
//   Saturation: a result outside the int32_t range is clipped to it and
//   counted in `clipped`; it never wraps.  A full-scale square wave, or a
//   recording mastered to 0 dBFS with peaks between its samples,
//   overshoots and is clipped; a sine below full scale never is.
//
//   No floating point is used.  The table and the code are the same on
//   every platform; on x86-64 the full band's coefficients and sums run on
//   AVX2 where the processor has it, with the same integer arithmetic and
//   so the same bits as the portable code.
//
// RATIO AND POSITION
//
//   The output times are summed exactly in Q24.40: after N outputs at a
//   constant ratio the converter stands at exactly N x ratio input frames.
//   asrc_q31_set_ratio takes effect from the next output on and moves
//   nothing.  Crossing ASRC_Q31_RATIO_FULL_BAND changes the filter's
//   stretch continuously (s is 1 on both sides of it); only the delay
//   moves, by whole frames, as the stretched filter grows: outputs whose
//   input has arrived are given at the next call (see
//   asrc_q31_max_output), none is lost or repeated.  A controller holding a
//   buffer's fill reads asrc_q31_input_held after each block.
//
// MEMORY, STATE, REENTRANCY, ALIASING
//
//   asrc_q31_state (104 bytes on 64-bit and Arm targets, 92 on i386) holds
//   the ratio, the position, the counts and pointers to the history and
//   to the optional rows (see FASTER DOWNSAMPLING), which the caller
//   provides: the last
//   2 x asrc_q31_delay(max_ratio) input frames of each channel, written
//   twice over so that any window of them is contiguous.
//   ASRC_Q31_MEMORY_WORDS(channels, max_ratio) int32_t words: 1,536 bytes
//   per channel for ratios up to 1 (upsampling, drift), 16 KiB per channel
//   up to ratio 10, 38 KiB per channel up to 25.  Both are owned by the
//   caller; nothing is allocated, nothing is global: calls on different
//   states may run at the same time; calls on one state must not overlap.
//   The coefficient table (192 KiB of constant data; on x86-64 a second,
//   piece-by-piece copy of it for the stretched filter's gathers, another
//   192 KiB, unless built with -DASRC_Q31_SMALL) is shared and only read.
//   asrc_q31_process_block needs about 1.3 KiB of stack (a chunk of the
//   stretched filter's coefficients and each channel's sums).  No
//   division runs per output (a Cortex-M0+ would call a helper for it);
//   asrc_q31_set_ratio divides, once per call.
//
//   `in` and `out` must not overlap each other, the state, its memory or
//   the counts.  The pointers and the room in `out` are not checked; the
//   ratio, the channel count and the memory's size are.
//
// LANGUAGES
//
//   C99 and later, C++11 and later, C linkage, no C++ runtime.
#ifndef ASRC_Q31_H
#define ASRC_Q31_H

#include <stdint.h>

#ifdef __cplusplus
#define ASRC_Q31_CONSTEXPR constexpr
extern "C" {
#else
#define ASRC_Q31_CONSTEXPR
#endif

// Ratios, unsigned Q24.40 input frames per output frame.
#define ASRC_Q31_RATIO_ONE ((uint64_t)1 << 40)
#define ASRC_Q31_RATIO_MIN (ASRC_Q31_RATIO_ONE / 25u) // output rate 25 times the input's
#define ASRC_Q31_RATIO_MAX (ASRC_Q31_RATIO_ONE * 25u) // output rate 1/25 of the input's
// The largest ratio at which the filter keeps its full band (1.002, in
// Q24.40: 2^40 * 1.002 rounded down).
#define ASRC_Q31_RATIO_FULL_BAND ((uint64_t)1101710651031ull)
#define ASRC_Q31_MAX_CHANNELS 8
// The delay at ratios up to ASRC_Q31_RATIO_FULL_BAND, and at most.
#define ASRC_Q31_DELAY_MIN 96
#define ASRC_Q31_DELAY_MAX 2396

// The int32_t words of history memory for `channels` channels at ratios up
// to `max_ratio` (a Q24.40 value, or a whole number times
// ASRC_Q31_RATIO_ONE in a constant expression): 4 x channels x
// asrc_q31_delay(max_ratio).  A constant expression where max_ratio is
// one, so that it can size a static array; asrc_q31_memory_words() gives
// it for any ratio.
#define ASRC_Q31_MEMORY_WORDS(channels, max_ratio_whole)                                      \
    (4 * (channels) *                                                                          \
     ((max_ratio_whole) <= 1 ? ASRC_Q31_DELAY_MIN                                               \
                             : (ASRC_Q31_DELAY_MIN * 1000 * (max_ratio_whole) + 1001) / 1002 + 1))

// One stream's converter.  The fields are documented so that a state can be
// inspected; a caller should change only `clipped` (to reset the count).
typedef struct asrc_q31_state {
    int32_t* history;     // the caller's memory: channel c's 2 x `window`
                          // frames at c * 2 * window
    int32_t window;       // frames of history per channel (2 x the delay at max_ratio)
    int32_t write;        // where the next input frame goes, 0..window-1
    int32_t channels;     // 1..ASRC_Q31_MAX_CHANNELS
    int32_t delay;        // asrc_q31_delay(ratio)
    uint64_t ratio;       // Q24.40
    uint64_t max_ratio;   // Q24.40: the largest ratio the memory allows
    uint64_t frac;        // Q0.40: the fraction of the next output's time
    uint64_t step;        // Q32.32 pieces of the prototype per input frame:
                          // 64 x 2^32 x s (see ARITHMETIC)
    int32_t gain;         // s in Q0.31 (0x7FFFFFFF standing for 1 on the full band)
    int32_t lag;          // newest input's index minus the whole part of the
                          // next output's time (-1 right after init)
    uint32_t clipped;     // output samples clipped since init; stops at
                          // 0xFFFFFFFF rather than wrapping
    uint32_t reserved;    // zero
    int32_t* table;       // NULL, or the caller's memory for rows of the
                          // stretched filter (asrc_q31_attach_table)
    int32_t table_words;  // its size in int32_t words
    int32_t table_taps;   // taps of each built row (2 x `delay` while they
                          // serve), 0 before the first build
    uint64_t table_low;   // Q24.40: the ratios the built rows serve,
    uint64_t table_high;  // table_low..table_high (0 before a build)
} asrc_q31_state;

// in_rate / out_rate in Q24.40, rounded to nearest (halves up): the ratio
// that converts a stream at in_rate Hz to out_rate Hz.  0 if a rate is 0 or
// the quotient lies outside ASRC_Q31_RATIO_MIN..ASRC_Q31_RATIO_MAX.  Any
// units will do, as long as both rates use the same.
uint64_t asrc_q31_ratio(uint32_t in_rate, uint32_t out_rate);

// The Q2.30 ratio of asrc_poly.h and asrc_servo.h in Q24.40 (exact).
static inline ASRC_Q31_CONSTEXPR uint64_t asrc_q31_ratio_from_q30(uint32_t q30)
{
    return (uint64_t)q30 << 10;
}

// The delay D of DELAY, in whole input frames: 96 up to
// ASRC_Q31_RATIO_FULL_BAND, ceil(96 * ratio / 1.002) beyond (computed
// exactly from the filter's step).  0 for a ratio outside the range.
int32_t asrc_q31_delay(uint64_t ratio);

// The int32_t words of memory a state with `channels` channels needs for
// ratios up to max_ratio: 4 * channels * asrc_q31_delay(max_ratio).  0 if
// the channel count or the ratio is outside its range.
int32_t asrc_q31_memory_words(int32_t channels, uint64_t max_ratio);

// Resets *s to silence at `ratio`, on `words` int32_t words of memory at
// `memory`, for frames of `channels` channels and for ratios up to
// `max_ratio` (at least `ratio`; ASRC_Q31_RATIO_MAX allows every ratio).
// Returns 0, or -1 without touching *s or the memory if a ratio or the
// channel count is outside its range, max_ratio < ratio, memory is NULL or
// words < asrc_q31_memory_words(channels, max_ratio).
int asrc_q31_init(asrc_q31_state* s, int32_t* memory, int32_t words, int32_t channels,
                  uint64_t ratio, uint64_t max_ratio);

// Sets the ratio from the next output on (see RATIO AND POSITION).  Cheap
// enough to call on every block (one division when the ratio is above
// ASRC_Q31_RATIO_FULL_BAND).  Returns 0, or -1 without touching *s for a
// ratio outside the range or above the state's max_ratio.
int asrc_q31_set_ratio(asrc_q31_state* s, uint64_t ratio);

// Converts a block of input frames.
//   out   receives the output frames, interleaved, from index 0; must have
//         room for asrc_q31_max_output(*nin, s->ratio) frames.
//   in    the input frames, interleaved; must not overlap out.
//   nin   on entry the number of frames in `in`; on return the number
//         consumed, which is always all of them (0 if the count on entry
//         was 0 or negative, in which case nothing else changes).
//   nout  on return the number of frames written; its value on entry is
//         ignored.
// Block boundaries have no effect: any split of a stream into blocks gives
// the same outputs and leaves the same state.  The outputs are exactly
// those whose time t[k] satisfies floor(t[k]) + delay <= the index of the
// newest input.
void asrc_q31_process_block(asrc_q31_state* s, int32_t* out, const int32_t* in, int32_t* nin,
                            int32_t* nout);

// The largest number of output frames that `count` input frames can give at
// `ratio` from any state (including one whose delay just shrank):
// ceil((count + ASRC_Q31_DELAY_MAX - asrc_q31_delay(ratio)) / ratio).
// From a state whose delay has not shrunk since its last call,
// ceil(count / ratio) is enough.  0 for count <= 0 or a ratio outside the
// range.  At most 25 * (count + 2300) + 1.
int64_t asrc_q31_max_output(int32_t count, uint64_t ratio);

// FASTER DOWNSAMPLING: ROWS MADE FOR THE STRETCH
//
// Beyond ASRC_Q31_RATIO_FULL_BAND the filter's taps each sit at their own
// fraction, and forming each coefficient (a gather, Horner's rule and the
// gain, shared by the channels) costs several times the multiply-add it
// feeds.  A state given memory for rows of its own instead samples the
// stretched filter once into 64 cubic pieces per input frame, as the
// prototype is held, so that every tap of an output again shares one
// fraction and the full band's sums serve: four exact multiply-adds a tap,
// with the full band's vector code on x86-64.  Measured (bench/q31_bench):
// 4.1x to 5.3x faster for one channel (2.8x to 3.7x for two) from 48 to
// 44.1 kHz, 96 to 48 and 192 to 44.1, about what the full band costs per
// input frame.  The memory: asrc_q31_table_words
// (below): 224 KiB for ratios up to 48 -> 44.1 kHz, 384 KiB up to 96 -> 48,
// 848 KiB up to 192 -> 44.1, 4.7 MiB up to 25, shared by the state's
// channels.
//
//   The rows: tap j of row p is the cubic in u through the stretched
//     filter's values (as ARITHMETIC forms them, at the ratio the rows are
//     built for) at the fractions (p + n/3) / 64, n = 0..3, from exact
//     rational weights with one rounding (halves to even, so that a
//     thousand taps' roundings do not add up); the tap nearest the output
//     takes what makes each row's terms sum to 2^30, 0, 0 and 0, so DC
//     still passes exactly.  The outputs are not the per-tap path's bits
//     (they differ by the rows' own rounding, near -150 dB; SINAD within
//     1 to 3 dB of it) but are the same on every platform, for every
//     split into blocks and whatever max_ratio the state was given.
//   The ratios they serve: built for the state's ratio at the time
//     (asrc_q31_attach_table, or the asrc_q31_set_ratio that left the
//     previous rows), they serve ratios within 2^-10 (0.098%) of it, so a
//     drift controller's corrections do not rebuild them.  Within that
//     range the stretch lags the ratio: the stopband's edge lies within
//     0.1% of the output's Nyquist frequency (a tone just above it at
//     least 130 dB down, as everywhere) and 20 kHz at the lower rate stays
//     in the flat band.
//   Leaving them rebuilds them inside that asrc_q31_set_ratio call: about
//     1.5 us per tap (0.3 ms at 48 -> 44.1 kHz, 1.3 ms at 192 -> 44.1,
//     6.5 ms at 176.4 -> 8 kHz on a desktop core; no allocation).  The
//     stretch then jumps by up to 0.1%, which moves the response only
//     far outside the passband, and the delay by a frame or so, as when
//     crossing ASRC_Q31_RATIO_FULL_BAND.  Up to ASRC_Q31_RATIO_FULL_BAND
//     the rows are not used.
//   The delay while the rows serve is the state's `delay`: the delay of the
//     ratio they were built for, never more than asrc_q31_delay(max_ratio).
//     asrc_q31_max_output still bounds the outputs.

// The int32_t words of row memory for ratios up to max_ratio: 4 x 64 x
// (2 x asrc_q31_delay(max_ratio) rounded up to a multiple of 16) + 15 (each
// row is padded to a whole vector, and the rows start at the first 64-byte
// boundary of the memory); 0 for max_ratio <= ASRC_Q31_RATIO_FULL_BAND (no
// rows are used) or outside the range.
int32_t asrc_q31_table_words(uint64_t max_ratio);

// Gives the state `words` int32_t words at `table` for its rows and builds
// them for its ratio (see above), or with table NULL takes them away (back
// to the per-tap path and its delay).  The memory is the state's from then
// on, as its history is: one table per state, not shared.  Returns 0, or
// -1 without touching *s if words < asrc_q31_table_words(s->max_ratio).
// May change the delay, as a ratio change may.
int asrc_q31_attach_table(asrc_q31_state* s, int32_t* table, int32_t words);

// How far the newest input lies beyond the next output's time, in input
// frames, signed Q33.30 (as asrc_poly_input_held): (lag << 30) - (frac >>
// 10).  -1.0 right after init; once outputs flow it lies in
// (delay - 1 - ratio, delay - 1] after every call.  A drift controller that
// adds it, divided by the ratio, to its buffer's fill sees the fill to a
// fraction of a frame.
int64_t asrc_q31_input_held(const asrc_q31_state* s);

#ifdef __cplusplus
} // extern "C"
#endif

#undef ASRC_Q31_CONSTEXPR

#endif // ASRC_Q31_H
