// converter_unit.cpp - see converter_unit.h.
#include "converter_unit.h"

#include <cmath>

#include "asrc_servo.h"

namespace rtbridge {

const char* ConverterUnit::init(ConverterKind kind, int channels, std::uint32_t ratio,
                                std::int32_t max_in)
{
    if (channels < 1 || max_in < 1 || asrc_poly_stride(ratio) == 0)
        return "the two rates are too far apart: the converter takes 0.5 to 2 input frames per output frame";
    kind_ = kind;
    channels_ = channels;
    max_in_ = max_in;
    // Within the servo's limits (+-1% of nominal) the ratio may fall to 0.99
    // of nominal, and the delay may shrink, releasing outputs already due:
    // take the bound that holds from any state.
    const std::uint32_t low = ratio / 100 * 99;
    if (kind == ConverterKind::q31) {
        if (channels > ASRC_Q31_MAX_CHANNELS)
            return "the 24-bit converter takes up to 8 channels (--converter poly takes more)";
        const std::uint64_t r = asrc_q31_ratio_from_q30(ratio);
        const std::uint64_t high = asrc_q31_ratio_from_q30(ratio / 100 * 101);
        const std::int32_t words = asrc_q31_memory_words(channels, high);
        if (words <= 0)
            return "the 24-bit converter refuses the rates";
        history_.assign(static_cast<std::size_t>(words), 0);
        if (asrc_q31_init(&q31_, history_.data(), words, channels, r, high) != 0)
            return "the 24-bit converter refuses the rates";
        // Downsampling on rows of its own (3x to 5x less work a sample).
        // They serve about +-0.09% around the first ratio, which the
        // servo's drift corrections stay within; a larger move rebuilds
        // them inside that block's call (0.3 ms at 48 -> 44.1 kHz).
        q31_rows_.assign(static_cast<std::size_t>(asrc_q31_table_words(high)), 0);
        if (!q31_rows_.empty())
            asrc_q31_attach_table(&q31_, q31_rows_.data(), static_cast<std::int32_t>(q31_rows_.size()));
        max_out_ = static_cast<std::int32_t>(asrc_q31_max_output(max_in, asrc_q31_ratio_from_q30(low)));
        return nullptr;
    }
    max_out_ = static_cast<std::int32_t>(asrc_poly_max_output(max_in, low));
    states_.assign(static_cast<std::size_t>(channels), asrc_poly_state{});
    for (auto& s : states_)
        asrc_poly_init(&s, ratio);
    rows_ = std::make_unique<asrc_poly_rows>();
    asrc_poly_rows_init(rows_.get(), ratio);
    planar_.assign(static_cast<std::size_t>(max_in), 0);
    scratch_.assign(static_cast<std::size_t>(max_out_), 0);
    return nullptr;
}

std::int32_t ConverterUnit::process(const Sample* in, std::int32_t n, Sample* out)
{
    if (kind_ == ConverterKind::q31) {
        std::int32_t nin = n;
        std::int32_t nout = 0;
        asrc_q31_process_block(&q31_, out, in, &nin, &nout);
        return nout;
    }
    const auto channels = static_cast<std::size_t>(channels_);
    std::int32_t produced = 0;
    for (std::size_t c = 0; c < channels; ++c) {
        for (std::int32_t i = 0; i < n; ++i)
            planar_[static_cast<std::size_t>(i)] = q31_to_s16(in[static_cast<std::size_t>(i) * channels + c]);
        std::int32_t nin = n;
        std::int32_t nout = 0;
        asrc_poly_process_block_rows(&states_[c], rows_.get(), scratch_.data(), planar_.data(), &nin, &nout);
        // Same input, same ratio, same state history: the same count on
        // every channel.
        produced = nout;
        for (std::int32_t i = 0; i < nout; ++i)
            out[static_cast<std::size_t>(i) * channels + c] =
                static_cast<std::int32_t>(static_cast<std::uint32_t>(scratch_[static_cast<std::size_t>(i)]) << 16);
    }
    return produced;
}

void ConverterUnit::set_ratio(std::uint32_t ratio)
{
    if (kind_ == ConverterKind::q31) {
        asrc_q31_set_ratio(&q31_, asrc_q31_ratio_from_q30(ratio));
        return;
    }
    for (auto& s : states_)
        asrc_poly_set_ratio(&s, ratio);
}

std::int64_t ConverterUnit::position() const
{
    return kind_ == ConverterKind::q31 ? asrc_servo_q31_position(&q31_)
                                       : asrc_servo_poly_position(&states_.front());
}

std::int32_t ConverterUnit::delay() const
{
    if (kind_ == ConverterKind::q31)
        return q31_.delay;
    return states_.empty() ? 0 : states_.front().delay;
}

std::uint64_t ConverterUnit::clipped() const
{
    if (kind_ == ConverterKind::q31)
        return q31_.clipped;
    std::uint64_t n = 0;
    for (const auto& s : states_)
        n += s.clipped;
    return n;
}

std::int32_t float_to_q31(float x)
{
    const double v = static_cast<double>(x) * 2147483648.0; // exact: a float has 24 bits
    if (std::isnan(v))
        return 0;
    if (v <= -2147483648.0)
        return INT32_MIN;
    if (v >= 2147483647.0)
        return INT32_MAX;
    return static_cast<std::int32_t>(std::lrint(v));
}

std::int16_t q31_to_s16(std::int32_t x)
{
    const std::int64_t v = (static_cast<std::int64_t>(x) + 0x8000) >> 16;
    return static_cast<std::int16_t>(v > 32767 ? 32767 : v);
}

} // namespace rtbridge
