// rate_control.cpp - see rate_control.h.
#include "rate_control.h"

#include <algorithm>
#include <cmath>

#include "asrc_q31.h"

namespace rtbridge {

asrc_servo_config RateControl::config(std::uint32_t rate_out, const Sizing& z, std::uint32_t nominal)
{
    asrc_servo_config c = asrc_servo_defaults(rate_out, z.block_in, z.target, nominal);
    c.clock_hz = kClockHz;
    c.capacity = z.capacity;
    // The largest clock step the automatic latency rides through: the
    // servo's most (see rate_control.h).
    c.step_ppm = kStepPpm;
    return c;
}

Sizing choose_sizing(std::uint32_t rate_in, std::uint32_t period_in, std::uint32_t rate_out,
                     std::uint32_t period_out, double latency_ms, std::uint32_t nominal)
{
    Sizing z;
    const double f = rate_out;
    z.block_in = std::max(1, static_cast<std::int32_t>(std::lround(static_cast<double>(period_in) * f / rate_in)));
    const auto out = static_cast<std::int32_t>(period_out);
    if (latency_ms > 0) {
        z.target = static_cast<std::int32_t>(std::ceil(latency_ms * f / 1000.0));
        z.capacity = 3 * z.target + z.block_in + out;
    } else {
        z.target = ASRC_SERVO_TARGET_AUTO;
    }
    const asrc_servo_config c = RateControl::config(rate_out, Sizing{z.block_in, z.target, 0}, nominal);
    const std::int32_t needed = asrc_servo_capacity_needed(&c);
    if (needed < 0)
        return Sizing{z.block_in, z.target, 0};
    // The q31 converter holds up to 96 inputs short of its steady state at
    // start, 32 more than the servo counts (ASRC_SERVO_CONVERTER_DELAY).
    const std::int32_t start = needed + 2 * ASRC_Q31_DELAY_MIN;
    if (latency_ms > 0)
        z.capacity = std::max(z.capacity, start);
    else
        z.capacity = start + z.block_in + out + static_cast<std::int32_t>(std::lround(0.1 * f));
    return z;
}

bool RateControl::init(std::uint32_t rate_out, const Sizing& z, std::uint32_t nominal)
{
    const asrc_servo_config c = config(rate_out, z, nominal);
    return asrc_servo_init(&servo_, &c) == 0;
}

} // namespace rtbridge
