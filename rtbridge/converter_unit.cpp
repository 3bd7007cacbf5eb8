// converter_unit.cpp - see converter_unit.h.
#include "converter_unit.h"

#include "asrc_servo.h"

namespace rtbridge {

bool ConverterUnit::init(int channels, std::uint32_t ratio, std::int32_t max_in)
{
    if (channels < 1 || max_in < 1 || asrc_poly_stride(ratio) == 0)
        return false;
    channels_ = channels;
    max_in_ = max_in;
    // Within the servo's limits (+-1% of nominal) the delay may shrink by
    // one step of the stride, releasing outputs already due: take the
    // bound that holds from any state.
    max_out_ = static_cast<std::int32_t>(asrc_poly_max_output(max_in, ratio / 100 * 99));
    states_.assign(static_cast<std::size_t>(channels), asrc_poly_state{});
    for (auto& s : states_)
        asrc_poly_init(&s, ratio);
    rows_ = std::make_unique<asrc_poly_rows>();
    asrc_poly_rows_init(rows_.get(), ratio);
    scratch_.assign(static_cast<std::size_t>(max_out_), 0);
    return true;
}

std::int32_t ConverterUnit::process(const Sample* const* in, std::int32_t n, Sample* out)
{
    std::int32_t produced = 0;
    for (int c = 0; c < channels_; ++c) {
        std::int32_t nin = n;
        std::int32_t nout = 0;
        asrc_poly_process_block_rows(&states_[static_cast<std::size_t>(c)], rows_.get(),
                                     scratch_.data(), in[c], &nin, &nout);
        // Same input, same ratio, same state history: the same count on
        // every channel.
        produced = nout;
        for (std::int32_t i = 0; i < nout; ++i)
            out[static_cast<std::size_t>(i) * static_cast<std::size_t>(channels_) +
                static_cast<std::size_t>(c)] = scratch_[static_cast<std::size_t>(i)];
    }
    return produced;
}

void ConverterUnit::set_ratio(std::uint32_t ratio)
{
    for (auto& s : states_)
        asrc_poly_set_ratio(&s, ratio);
}

std::int64_t ConverterUnit::position() const
{
    return asrc_servo_poly_position(&states_.front());
}

std::int32_t ConverterUnit::delay() const
{
    return states_.empty() ? 0 : states_.front().delay;
}

std::uint64_t ConverterUnit::clipped() const
{
    std::uint64_t n = 0;
    for (const auto& s : states_)
        n += s.clipped;
    return n;
}

} // namespace rtbridge
