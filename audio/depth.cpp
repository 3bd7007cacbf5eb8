// depth.cpp - output depths and the rounding to them.
#include "depth.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace asrc_audio {

int subformat_of(Depth d)
{
    switch (d) {
    case Depth::pcm16:
        return SF_FORMAT_PCM_16;
    case Depth::pcm24:
        return SF_FORMAT_PCM_24;
    case Depth::pcm32:
        return SF_FORMAT_PCM_32;
    case Depth::float32:
        return SF_FORMAT_FLOAT;
    case Depth::float64:
        break;
    }
    return SF_FORMAT_DOUBLE;
}

const char* depth_name(Depth d)
{
    switch (d) {
    case Depth::pcm16:
        return "16-bit";
    case Depth::pcm24:
        return "24-bit";
    case Depth::pcm32:
        return "32-bit";
    case Depth::float32:
        return "float";
    case Depth::float64:
        break;
    }
    return "double";
}

int integer_bits(Depth d)
{
    switch (d) {
    case Depth::pcm16:
        return 16;
    case Depth::pcm24:
        return 24;
    case Depth::pcm32:
        return 32;
    case Depth::float32:
    case Depth::float64:
        break;
    }
    return 0;
}

Depth depth_of_format(int format)
{
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_ALAC_20:
    case SF_FORMAT_ALAC_24:
        return Depth::pcm24;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_ALAC_32:
        return Depth::pcm32;
    case SF_FORMAT_FLOAT:
        return Depth::float32;
    case SF_FORMAT_DOUBLE:
        return Depth::float64;
    case SF_FORMAT_VORBIS:
    case SF_FORMAT_OPUS:
    case SF_FORMAT_MPEG_LAYER_I:
    case SF_FORMAT_MPEG_LAYER_II:
    case SF_FORMAT_MPEG_LAYER_III:
        return Depth::pcm24;
    default:
        return Depth::pcm16;
    }
}

std::optional<Depth> parse_depth(std::string_view text)
{
    if (text == "16")
        return Depth::pcm16;
    if (text == "24")
        return Depth::pcm24;
    if (text == "32")
        return Depth::pcm32;
    if (text == "float")
        return Depth::float32;
    return std::nullopt;
}

Quantizer::Quantizer(int bits, bool dither) : shift_(32 - bits), dither_(dither) {}

// splitmix64: fast, and its 64 bits give the two uniform numbers of one
// TPDF value.
std::uint64_t Quantizer::next()
{
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::int64_t Quantizer::apply(std::int32_t* samples, std::int64_t count)
{
    if (shift_ <= 0)
        return 0;
    const std::int64_t step = std::int64_t{1} << shift_;
    const std::int64_t half = step >> 1;
    // The largest multiple of the step that fits: full scale less one step.
    const std::int64_t top = INT32_MAX - (step - 1);
    const std::int64_t bottom = INT32_MIN;
    std::int64_t saturated = 0;
    for (std::int64_t i = 0; i < count; ++i) {
        std::int64_t v = samples[i];
        if (dither_) {
            const std::uint64_t r = next();
            // Two uniform numbers in [0, step): their difference is
            // triangular on (-step, step).
            const auto a = static_cast<std::int64_t>((r >> 32) >> (32 - shift_));
            const auto b = static_cast<std::int64_t>((r & 0xFFFFFFFFu) >> (32 - shift_));
            v += a - b;
        }
        // Round to nearest, halves up: floor((v + half) / step) * step.
        v = ((v + half) >> shift_) << shift_;
        if (v > top) {
            v = top;
            ++saturated;
        } else if (v < bottom) {
            v = bottom;
            ++saturated;
        }
        // Within the int32_t range, checked above.
        samples[i] = static_cast<std::int32_t>(v);
    }
    return saturated;
}

std::int32_t float_to_q31(double v, std::int64_t& clipped)
{
    if (std::isnan(v))
        return 0;
    if (v > 1.0 || v < -1.0)
        ++clipped;
    const double r = std::nearbyint(std::clamp(v, -1.0, 1.0) * 2147483648.0);
    // 1.0 is 2^31, one past the top.
    return r >= 2147483647.0 ? INT32_MAX : static_cast<std::int32_t>(r);
}

std::int32_t scale_q31(std::int32_t v, double gain, std::int64_t& clipped)
{
    const double r = std::nearbyint(static_cast<double>(v) * gain);
    if (r > 2147483647.0) {
        ++clipped;
        return INT32_MAX;
    }
    if (r < -2147483648.0) {
        ++clipped;
        return INT32_MIN;
    }
    return static_cast<std::int32_t>(r);
}

} // namespace asrc_audio
