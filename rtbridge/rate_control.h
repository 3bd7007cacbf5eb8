// rate_control.h - the one place where asrc-bridge touches the rate
// controller (asrc_servo.h), and where it sizes the FIFO.
//
// THE CONTROLLER
//
//   The timestamped one (asrc_servo_update_at): each side says when its
//   blocks happen on CLOCK_MONOTONIC in units of 10 ns (clock_hz = 10^8,
//   wrapping modulo 2^32 every 43 s, which the servo allows for: it takes
//   differences of stamps a few periods apart).  Microseconds are too
//   coarse: a period of 64 frames at 48 kHz is 1333.33 us, and the stamps'
//   rounding repeats every three periods, a pattern the lines pass on to
//   the ratio (measured in the halves' test: the 1-s SINAD falls from 94
//   to 72 dB).
//   CLOCK_MONOTONIC is one clock for the whole system, so the stamps of
//   the two processes compare directly.  The consumer stamps its reads in
//   the FIFO (asrc_fifo_read32_at, which lives in the shared region); the
//   producer passes its own block's time with each update.  For a JACK side
//   the time is the server's own estimate of its cycle's start (free of the
//   callback's lateness), for an ALSA side a smoothed period clock
//   (endpoints.cpp).  The servo follows the two clocks' ratio from the
//   stamps (a feedforward) and holds the mean fill between the blocks with
//   a correction of at most 40 ppm: no sawtooth of the fill reaches the
//   ratio whatever the two periods.
//
// CHOOSING THE LATENCY
//
//   --latency-ms auto (the default): ASRC_SERVO_TARGET_AUTO, the servo
//   measures both sides' blocks and lateness while it refills (2 to 4.5 s
//   of silence at the start) and chooses the fill to hold; it raises it
//   later if a side comes later than it has seen, never lowers it.  The
//   FIFO gets room for that: what the first refill needs, a block of each
//   side, and 100 ms of lateness on top (the shared ring holds 2^20 frames,
//   so room costs nothing but memory).  --latency-ms T fixes the target at
//   T ms of the sink's frames, with 3 * target + both blocks of room (a
//   consumer stalled for twice the target's time still does not overflow).
//   The latency reported is the target's time plus the converter's delay;
//   the endpoints' own buffering (JACK's cycle, an ALSA device's buffer)
//   comes on top of it.
#ifndef ASRC_RTBRIDGE_RATE_CONTROL_H
#define ASRC_RTBRIDGE_RATE_CONTROL_H

#include <cstdint>

#include "asrc_servo.h"

namespace rtbridge {

// The timer both sides read: CLOCK_MONOTONIC in 10-ns ticks.
inline constexpr std::uint32_t kClockHz = 100000000;

// config.step_ppm: the clock step that the automatic latency rides
// through.  A sound server's lost cycles are such steps (a dummy server
// that wakes late runs its missed cycles back to back and its client takes
// several periods at once); at the servo's default of 1000 ppm the latency
// chosen between two dummy servers, 7 ms, let the FIFO run dry 5 to 16
// times a minute at their late cycles.  10000, the servo's most, chose
// 11.2 ms there (and no under- or overrun in a minute with 9 xruns).
inline constexpr std::uint32_t kStepPpm = 10000;

struct Sizing {
    std::int32_t block_in = 0;  // producer frames per update, in output frames
    std::int32_t target = 0;    // frames, or ASRC_SERVO_TARGET_AUTO
    std::int32_t capacity = 0;  // frames; 0 if the servo refuses the settings
};

// The sizing (see above) for `latency_ms` <= 0 (auto) or > 0 (fixed), at
// the nominal ratio `nominal` (Q2.30).  Rates and periods must be positive.
Sizing choose_sizing(std::uint32_t rate_in, std::uint32_t period_in, std::uint32_t rate_out,
                     std::uint32_t period_out, double latency_ms, std::uint32_t nominal);

class RateControl {
public:
    // False if the servo refuses the settings (a ratio beyond the
    // converter's range with its +-1% limits, a block or target out of range).
    bool init(std::uint32_t rate_out, const Sizing& z, std::uint32_t nominal);

    // After each producer block of `input` source frames that came at
    // `now` (kClockHz ticks): the ratio for the next one (Q2.30).
    std::uint32_t update(const asrc_fifo* fifo, std::int64_t position, std::uint32_t now,
                         std::int32_t input)
    {
        return asrc_servo_update_at(&servo_, fifo, position, now, input);
    }
    // The consumer's period for asrc_fifo_set_read_period.
    std::uint32_t read_period() const { return asrc_servo_read_period(&servo_); }
    std::int32_t refill() const { return asrc_servo_refill(&servo_); }
    bool muted() const { return asrc_servo_muted(&servo_) != 0; }
    void restart() { asrc_servo_restart(&servo_); }
    bool refilling() const { return servo_.mode == ASRC_SERVO_REFILL; }
    std::int32_t mode() const { return servo_.mode; }
    // log2 of the producer line's time constant, frames.
    std::int32_t shift() const { return servo_.producer.shift; }
    // The fill held (chosen so far with auto), frames.
    std::int32_t target() const { return asrc_servo_target(&servo_); }
    std::int32_t capacity_wanted() const { return asrc_servo_capacity_wanted(&servo_); }
    // The latest mean fill (between the blocks) less the target, frames.
    double fill_error() const { return static_cast<double>(servo_.fill_error_q16) / 65536.0; }

    // The servo's configuration for a sizing.
    static asrc_servo_config config(std::uint32_t rate_out, const Sizing& z, std::uint32_t nominal);

private:
    asrc_servo servo_{};
};

} // namespace rtbridge

#endif
