// stream_convert.h - converts an open sound file into another, every channel
// through its own converter, in one streaming pass with fixed memory.
#ifndef ASRC_AUDIO_STREAM_CONVERT_H
#define ASRC_AUDIO_STREAM_CONVERT_H

#include <sndfile.h>

#include <cstdint>
#include <functional>
#include <string>

namespace asrc_audio {

// Whether a file of this libsndfile format is read as floating point
// (float, double and the lossy codecs, whose decoders give floats); every
// other format is read as integers.
bool reads_as_floating_point(int format);

// Which converter every channel goes through, and how.
struct ConverterChoice {
    bool poly = false;       // the polyphase converter, else the drop/insert rule
    std::int16_t step = 0;   // rule: the phase step
    std::uint32_t ratio = 0; // poly: input samples per output sample, Q2.30
};

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
    std::int64_t wrapped = 0; // rule: output samples that wrapped around
    std::int64_t clipped = 0; // poly: output samples saturated to 16 bits
};

// Returns the line of libsndfile's log that shows a WAV or AIFF data chunk
// cut short (libsndfile then quietly counts only the frames that are there),
// or "" when there is none.  A size of 0xFFFFFFFF, the mark of a file written
// as a stream, is no sign of truncation.
std::string short_data_chunk(SNDFILE* in);

// Whether libsndfile's frame count for this format is the real one: not
// for MPEG audio, whose count is estimated from the first frame's bit rate
// (a variable-rate file holds more or fewer frames).
bool frame_count_is_exact(int format);

// After the last read: marks `result` (still done) truncated when fewer
// frames were read than an exact count in the header promises, or when
// the data ended in a frame the decoder could not read (`ended_in_error`,
// libsndfile's reason, "" if not).
void judge_end(ConversionResult& result, const SF_INFO& info, const std::string& ended_in_error);

// Called now and then with the number of input frames converted so far.
using Progress = std::function<void(std::int64_t frames_in)>;

// Converts the whole of `in` (opened for reading, described by `info`) into
// `out` (opened for writing with the same number of channels): each sample
// is brought to 24-bit scale (an integer shifted right by 8, a float times
// 2^23, each clipped; `gain`, linear, applied there in double precision and
// rounded to nearest), conditioned as the program asrc conditions its
// numbers, and converted by the converter of
// its channel; the channels' outputs are interleaved into frames.  The rule
// gives what asrc gives; the polyphase converter gives every output whose
// time k * ratio lies within the input, ceil(frames_in * 2^30 / ratio) of
// them, its delay flushed with silence at the end.  Reading and conditioning
// run on the calling thread, the converters on one worker thread, a chunk
// behind.  Closing the files is the caller's.
ConversionResult convert_stream(SNDFILE* in, const SF_INFO& info, SNDFILE* out,
                                const ConverterChoice& choice, double gain,
                                const Progress& progress);

} // namespace asrc_audio

#endif
