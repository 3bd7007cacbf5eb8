// rate_control.h - the one place where asrc-bridge touches the rate
// controller (asrc_servo.h), and where it chooses the FIFO's target fill.
//
// CHOOSING THE LATENCY
//
//   The FIFO holds output frames (at the sink's rate f).  Between the
//   producer's blocks of B_in frames (the source's period, in output
//   frames: period_in * f / rate_in) and the consumer's of B_out (the
//   sink's period) the fill swings around its mean by half of each block,
//   plus what the sides' lateness adds (docs/bridge.md, "Sizing the
//   FIFO").  On a real machine a side may be served a whole cycle late
//   (a busy scheduler, a server's late cycle) and a little more, so with
//   --latency-ms auto the target is
//
//       target = (B_in + B_out) / 2  +  max(B_in, B_out)  +  2 ms * f
//
//   (the sawtooth, one cycle of the slower side, 2 ms of scheduling), and
//   the capacity 3 * target + B_in + B_out, so that a consumer stalled for
//   twice the target's time still does not overflow it.  The latency
//   reported is the target's time plus the converter's delay (64 input
//   samples, 128 going down by more than 1%); the endpoints' own buffering
//   (JACK's cycle, an ALSA device's buffer) comes on top of it.
//   48 kHz / 256 into 44.1 kHz / 128: B_in = 235, B_out = 128, target =
//   505 frames (11.5 ms), latency 12.8 ms.
//
// THE LOOP
//
//   asrc_servo_defaults at the sink's rate, one update per producer block,
//   with the acquisition time constant raised to 24 updates where a long
//   period leaves fewer than that in 250 ms (the servo needs at least 16).
#ifndef ASRC_RTBRIDGE_RATE_CONTROL_H
#define ASRC_RTBRIDGE_RATE_CONTROL_H

#include <cstdint>

#include "asrc_servo.h"

namespace rtbridge {

struct Sizing {
    std::int32_t block_in = 0;  // producer frames per update, in output frames
    std::int32_t target = 0;    // frames
    std::int32_t capacity = 0;  // frames
};

// The automatic sizing (see above), or with `latency_ms` > 0 that target
// instead.  Rates and periods must be positive.
Sizing choose_sizing(std::uint32_t rate_in, std::uint32_t period_in, std::uint32_t rate_out,
                     std::uint32_t period_out, double latency_ms);

class RateControl {
public:
    // False if the servo refuses the settings (a ratio beyond the
    // converter's range with its +-1% limits, a block or target out of range).
    bool init(std::uint32_t rate_out, std::int32_t block_in, std::int32_t target,
              std::uint32_t nominal);

    // After each producer block: the ratio for the next one (Q2.30).
    std::uint32_t update(std::int32_t fill, std::int64_t position)
    {
        return asrc_servo_update(&servo_, fill, position);
    }
    std::int32_t refill() const { return asrc_servo_refill(&servo_); }
    bool muted() const { return asrc_servo_muted(&servo_) != 0; }
    void restart() { asrc_servo_restart(&servo_); }
    bool refilling() const { return servo_.mode == ASRC_SERVO_REFILL; }
    std::int32_t mode() const { return servo_.mode; }
    std::int32_t shift() const { return servo_.shift; }

private:
    asrc_servo servo_{};
};

} // namespace rtbridge

#endif
