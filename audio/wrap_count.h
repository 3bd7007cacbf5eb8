// wrap_count.h - counts the converter's outputs that wrapped around.
//
// The converter keeps the low 16 bits of every result, so a loud input can
// come out with samples that jumped from one end of the range to the other.
// Counting them from the outside, without touching the converter or its
// output, takes two facts:
//
//   - Where a chunk's inputs are dropped or get an output inserted before
//     them depends on the phase and the step only, never on the samples, so
//     one plan serves every channel of a chunk (they share step and phase).
//   - An interpolated output is u = x[n-1] + floor(phase * d / 16384) with
//     d = x[n] - y[n-1] and the phase in 0..16384, so u - x[n-1] lies between
//     0 and d.  That interval spans fewer than 65536 values, so the stored
//     output y = low 16 bits of u has y - x[n-1] inside it exactly when u was
//     not wrapped.  The phase itself is not needed.
#ifndef ASRC_AUDIO_WRAP_COUNT_H
#define ASRC_AUDIO_WRAP_COUNT_H

#include <cstdint>
#include <vector>

#include "asrc.h"

namespace asrc_audio {

// The inputs of one chunk that the converter drops (step > 0) or inserts an
// output before (step < 0), in order.
class EventPlan {
public:
    // Plans `count` inputs from a converter whose phase is `phase` (0..16384).
    void plan(std::int16_t phase, std::int16_t step, std::int32_t count);

    const std::vector<std::int32_t>& events() const { return events_; }
    bool drops() const { return step_ > 0; }
    std::int32_t outputs() const { return outputs_; }
    std::int16_t phase_after() const { return phase_after_; }

private:
    std::vector<std::int32_t> events_;
    std::int16_t step_ = 0;
    std::int32_t outputs_ = 0;
    std::int16_t phase_after_ = 0;
};

// The number of wrapped outputs among `out`, the outputs the converter gave
// for the `count` inputs `in` from the state `before`, as planned by `plan`.
std::int64_t count_wrapped(const EventPlan& plan, const asrc_state& before, const std::int16_t* in,
                           const std::int16_t* out, std::int32_t count);

} // namespace asrc_audio

#endif
