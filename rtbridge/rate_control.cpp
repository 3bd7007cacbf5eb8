// rate_control.cpp - see rate_control.h.
#include "rate_control.h"

#include <algorithm>
#include <cmath>

namespace rtbridge {

Sizing choose_sizing(std::uint32_t rate_in, std::uint32_t period_in, std::uint32_t rate_out,
                     std::uint32_t period_out, double latency_ms)
{
    Sizing z;
    const double f = rate_out;
    const double b_in = static_cast<double>(period_in) * f / rate_in;
    const double b_out = period_out;
    z.block_in = std::max(1, static_cast<std::int32_t>(std::lround(b_in)));
    const double target = latency_ms > 0 ? latency_ms * f / 1000.0
                                         : (b_in + b_out) / 2 + std::max(b_in, b_out) + 0.002 * f;
    z.target = static_cast<std::int32_t>(std::ceil(target));
    z.capacity = 3 * z.target + z.block_in + static_cast<std::int32_t>(period_out);
    return z;
}

bool RateControl::init(std::uint32_t rate_out, std::int32_t block_in, std::int32_t target,
                       std::uint32_t nominal)
{
    asrc_servo_config c = asrc_servo_defaults(rate_out, block_in, target, nominal);
    const double update_ms = 1000.0 * block_in / rate_out;
    c.acquire_ms = std::max(c.acquire_ms, static_cast<std::uint32_t>(std::ceil(24 * update_ms)));
    c.track_ms = std::max(c.track_ms, c.acquire_ms);
    return asrc_servo_init(&servo_, &c) == 0;
}

} // namespace rtbridge
