// output_limits.h - what the output's container can hold, decided before
// anything is written: a 32-bit header whose sizes would wrap reads back as
// a fraction of the file.
#ifndef ASRC_AUDIO_OUTPUT_LIMITS_H
#define ASRC_AUDIO_OUTPUT_LIMITS_H

#include <cstdint>
#include <string>

#include "stream_convert.h"

namespace asrc_audio {

// The bytes of samples a WAV's or an AIFF's 32-bit sizes can count, less
// room for the header's own chunks (at most a few hundred bytes as
// libsndfile writes them), which those sizes count too.
inline constexpr std::uint64_t kMax32BitData = 0xFFFFFFFFULL - 4096;

// The most frames a conversion of `frames_in` input frames can give: the
// rule's worst case for its step (asrc_max_output's count), the polyphase
// converter's exact count ceil(frames_in * 2^30 / ratio).  -1 when
// frames_in is unknown (negative, or SF_COUNT_MAX as libsndfile gives a
// stream of no stated length).
std::int64_t max_frames_out(const ConverterChoice& choice, std::int64_t frames_in);

// Bytes per sample of a libsndfile format's sample encoding (PCM 8 to 32
// bits, float, double); 0 for the others.
int bytes_per_sample(int format);

// Whether `frames` frames of `channels` in `format` (libsndfile's) fit its
// header: always for FLAC and RF64, within kMax32BitData for WAV and AIFF.
bool fits(int format, int channels, std::int64_t frames);

struct ContainerFit {
    int format = 0;      // what to write: the format asked for, or RF64 for a WAV too large
    std::string refusal; // non-empty: nothing can be written, and why
};

// The format to write `max_frames` (max_frames_out's; -1 unknown) frames of
// `channels` in, asked for as `format`: a WAV whose data would pass
// kMax32BitData becomes RF64 (the same samples with 64-bit sizes, which
// libsndfile, sox and ffmpeg read); an AIFF, which has no such form, is
// refused.  An unknown length keeps the format: the caller checks what was
// written with fits() before keeping it.
ContainerFit fit_container(int format, int channels, std::int64_t max_frames);

} // namespace asrc_audio

#endif
