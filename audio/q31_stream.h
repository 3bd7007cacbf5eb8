// q31_stream.h - converts an open sound file into another through the
// 24-bit converter (asrc_q31.h): samples read at their own depth, converted
// in Q1.31, rounded once to the output's depth.
#ifndef ASRC_AUDIO_Q31_STREAM_H
#define ASRC_AUDIO_Q31_STREAM_H

#include <sndfile.h>

#include <cstdint>

#include "depth.h"
#include "stream_convert.h"

namespace asrc_audio {

struct Q31Settings {
    // Input frames per output frame, Q24.40 (asrc_q31_ratio); 0 when the
    // rates are the same: nothing is converted and the samples pass as
    // they are.
    std::uint64_t ratio = 0;
    double gain = 1.0;         // linear, applied in double precision on reading
    Depth depth = Depth::pcm24; // of the output, which was opened with it
    bool dither = true;        // TPDF dither where the depth is reduced, else round
    int workers = 1;           // threads converting, each a share of the channels
    // With --to: the two rates, so that the output's length is exactly
    // ceil(frames_in * out_rate / in_rate), which the rounded ratio can
    // miss by one (10 s at 44.1 kHz make 480,000 frames at 48 kHz, not
    // 480,001).  0: the length follows the ratio.
    std::int64_t in_rate = 0;
    std::int64_t out_rate = 0;
};

// What the conversion did to the samples, for the summary line.
enum class Rounding {
    exact,   // every sample fits the output as it is (no rounding)
    dither,  // TPDF dither, then rounded to the output's depth
    rounded, // rounded to nearest (--no-dither)
    none,    // 32-bit or float output: the converter's own rounding only
};

// Whether the samples of an input of `in_format`, converted with `s`, must
// be rounded to the output's depth, and how.  Exact only when nothing is
// converted (ratio 0, gain 1) and an integer input fits the output's
// integers; every converted sample has 32 bits.
Rounding rounding_for(int in_format, const Q31Settings& s);

// The most frames a conversion of the input `info` describes can give, for
// choosing the output's container before anything is written: its exact
// length (as below); -1 when the input's count is unknown or an estimate.
std::int64_t max_frames_q31(const Q31Settings& s, const SF_INFO& info);

// Converts the whole of `in` (opened for reading, described by `info`) into
// `out` (opened for writing with the same channels, at s.depth).  Integer
// samples are read as 32-bit numbers (Q1.31: exact for every integer depth
// up to 32), floating-point ones in double precision, clipped to [-1, 1]
// and rounded to Q1.31; a gain other than 1 scales them in double
// precision.  Up to 8 channels share one converter state (their
// coefficients are formed once per frame); with more channels, or more
// workers, the channels are split into groups of as equal sizes as can be.
// The output holds every frame whose time k * ratio lies within the input:
// ceil(frames_in / ratio) frames, or ceil(frames_in * out_rate / in_rate)
// with the rates given; the converter's delay is flushed with silence.  With ratio 0 and float output the samples go through in double
// precision, untouched.  `clipped` counts the input samples clipped, the
// converter's saturated outputs and the rounding's.  Closing the files is
// the caller's.
ConversionResult convert_q31(SNDFILE* in, const SF_INFO& info, SNDFILE* out,
                             const Q31Settings& s, const Progress& progress);

} // namespace asrc_audio

#endif
