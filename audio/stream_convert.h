// stream_convert.h - converts an open sound file into another, every channel
// through its own converter, in one streaming pass with fixed memory.
#ifndef ASRC_AUDIO_STREAM_CONVERT_H
#define ASRC_AUDIO_STREAM_CONVERT_H

#include <sndfile.h>

#include <cstdint>
#include <functional>
#include <string>

namespace asrc_audio {

// The 24-bit full scale: numbers at 24-bit scale lie in -2^23..2^23-1.
inline constexpr std::int32_t kMin24 = -8388608;
inline constexpr std::int32_t kMax24 = 8388607;

// Whether a file of this libsndfile format is read as floating point
// (float, double and the lossy codecs, whose decoders give floats); every
// other format is read as integers.
bool reads_as_floating_point(int format);

// A sample read by sf_readf_int (32-bit scale) at 24-bit scale, times
// `gain`: the gain is applied to the 24-bit value in double precision,
// rounded to nearest (ties to even) and clipped to -2^23..2^23-1.  With a
// gain of exactly 1 the value is v >> 8 (arithmetic shift).
std::int32_t integer_to_24bit(std::int32_t v, double gain);

// A sample read by sf_readf_double at 24-bit scale, times `gain`: clipped to
// [-1, 1] (NaN counts as 0), times 2^23 and the gain, rounded to nearest
// (ties to even) and clipped to -2^23..2^23-1, so that 1.0 becomes 2^23-1
// and every float that holds a 24-bit value n / 2^23 gives back n.
std::int32_t floating_to_24bit(double v, double gain);

struct ConversionResult {
    enum class Status {
        done,
        read_error,  // libsndfile reported an error while reading
        truncated,   // the data ended before the header's count, or (no count
                     // given) in a frame that could not be decoded
        write_error, // a write fell short
    };
    Status status = Status::done;
    std::string detail; // the reason, for all but done
    std::int64_t frames_in = 0;
    std::int64_t frames_out = 0;
    std::int64_t wrapped = 0; // output samples that wrapped around
};

// Called now and then with the number of input frames converted so far.
using Progress = std::function<void(std::int64_t frames_in)>;

// Converts the whole of `in` (opened for reading, described by `info`) into
// `out` (opened for writing with the same number of channels): each sample
// is brought to 24-bit scale (see above, `gain` is linear), conditioned as
// the program asrc conditions its numbers, and converted with `step` by the
// converter of its channel; the channels' outputs are interleaved into
// frames.  Reading and conditioning run on the calling thread, the
// converters on one worker thread, a chunk behind.  Closing the files is the
// caller's.
ConversionResult convert_stream(SNDFILE* in, const SF_INFO& info, SNDFILE* out, std::int16_t step,
                                double gain, const Progress& progress);

} // namespace asrc_audio

#endif
