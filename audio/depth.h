// depth.h - the output's sample format, and the one rounding from the
// converter's Q1.31 numbers to it: TPDF dither or round to nearest.
#ifndef ASRC_AUDIO_DEPTH_H
#define ASRC_AUDIO_DEPTH_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace asrc_audio {

// What a sample of the output is.  Integers are written from Q1.31 with
// their low bits zero, so that libsndfile's own conversion (which keeps the
// top bits) is exact; floats are the Q1.31 value divided by 2^31.
enum class Depth { pcm16, pcm24, pcm32, float32, float64 };

// The libsndfile subformat (SF_FORMAT_PCM_16, ...).
int subformat_of(Depth d);

// "16-bit", "24-bit", "32-bit", "float", "double": for the summary line.
const char* depth_name(Depth d);

// Integer bits of the depth: 16, 24 or 32; 0 for the floats.
int integer_bits(Depth d);

// The depth a file of this libsndfile format holds, and so the output's by
// default: 8- and 16-bit integers and the companded formats give 16-bit,
// 20- and 24-bit ones 24-bit, 32-bit integers 32-bit, float and double
// themselves; the lossy codecs (MP3, Vorbis, Opus), whose decoders give
// floats of no particular depth, 24-bit.
Depth depth_of_format(int format);

// --bits: "16", "24", "32" or "float"; nullopt otherwise.
std::optional<Depth> parse_depth(std::string_view text);

// Rounds Q1.31 samples to the top `bits` bits (16 or 24; 32 keeps them):
// with TPDF dither, the difference of two independent uniform numbers of
// one step each (so the added noise spans +-1 step, triangular), then to
// nearest, halves up; or without dither, to nearest only.  Saturates at the
// largest step below full scale instead of wrapping.  The dither's
// generator is seeded with a constant, so that a conversion is repeatable
// to the bit.  One Quantizer per stream; not shared between threads.
class Quantizer {
public:
    Quantizer(int bits, bool dither);

    // In place, `count` samples.  Returns how many saturated.
    std::int64_t apply(std::int32_t* samples, std::int64_t count);

    bool dithers() const { return dither_ && shift_ > 0; }

private:
    std::uint64_t next();
    int shift_; // 32 - bits
    bool dither_;
    std::uint64_t state_ = 0x9E3779B97F4A7C15ull;
};

// A floating-point sample in Q1.31: clipped to [-1, 1] (NaN is 0), times
// 2^31, rounded to nearest (ties to even) and clipped to the int32_t range,
// so that 1.0 becomes 2^31 - 1.  `clipped` counts the samples outside
// [-1, 1].
std::int32_t float_to_q31(double v, std::int64_t& clipped);

// v times `gain` in double precision, rounded to nearest (ties to even) and
// clipped to the int32_t range, counted in `clipped`.
std::int32_t scale_q31(std::int32_t v, double gain, std::int64_t& clipped);

} // namespace asrc_audio

#endif
