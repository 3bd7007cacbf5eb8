// output_limits.cpp - the container's limits and the largest output.
#include "output_limits.h"

#include <sndfile.h>

#include "asrc.h"

namespace asrc_audio {

std::int64_t max_frames_out(const ConverterChoice& choice, std::int64_t frames_in)
{
    if (frames_in < 0 || frames_in == SF_COUNT_MAX)
        return -1;
    if (choice.poly) {
        const auto n = ((static_cast<unsigned __int128>(frames_in) << 30) + choice.ratio - 1) /
                       choice.ratio; // ratio >= 2^29: at most 2 * frames_in
        return static_cast<std::int64_t>(n);
    }
    if (choice.step >= 0)
        return frames_in;
    // Inserts fall floor(16384 / |step|) + 1 inputs apart, the first
    // possibly on the first input (asrc_max_output, in 64 bits).
    const std::int64_t period = ASRC_ONE / -static_cast<std::int64_t>(choice.step) + 1;
    return frames_in + (frames_in + period - 1) / period;
}

int bytes_per_sample(int format)
{
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
        return 1;
    case SF_FORMAT_PCM_16:
        return 2;
    case SF_FORMAT_PCM_24:
        return 3;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
        return 4;
    case SF_FORMAT_DOUBLE:
        return 8;
    default:
        return 0;
    }
}

bool fits(int format, int channels, std::int64_t frames)
{
    const int major = format & SF_FORMAT_TYPEMASK;
    if (major != SF_FORMAT_WAV && major != SF_FORMAT_AIFF)
        return true;
    const auto bytes = static_cast<unsigned __int128>(frames < 0 ? 0 : frames) *
                       static_cast<unsigned>(channels) *
                       static_cast<unsigned>(bytes_per_sample(format));
    return bytes <= kMax32BitData;
}

ContainerFit fit_container(int format, int channels, std::int64_t max_frames)
{
    ContainerFit r;
    r.format = format;
    if (max_frames < 0 || fits(format, channels, max_frames))
        return r;
    if ((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV) {
        r.format = SF_FORMAT_RF64 | (format & SF_FORMAT_SUBMASK);
        return r;
    }
    r.refusal = "up to " + std::to_string(max_frames) + " frames of " + std::to_string(channels) +
                " channels pass the 4 GiB that an AIFF header can count; write a .wav (RF64 "
                "when needed) or a .flac";
    return r;
}

} // namespace asrc_audio
