// wrap_count.cpp - the event plan of a chunk and the wrap test of its outputs.
#include "wrap_count.h"

namespace asrc_audio {

namespace {

// 1 when the stored output y of the interpolation from in_prev, x and
// out_prev cannot be its exact result (see wrap_count.h).  Formed in 32
// bits: every operand is a 16-bit sample.
inline std::int32_t wrapped(std::int32_t x, std::int32_t in_prev, std::int32_t y,
                            std::int32_t out_prev)
{
    const std::int32_t d = x - out_prev;
    const std::int32_t r = y - in_prev;
    const std::int32_t lo = d < 0 ? d : 0;
    const std::int32_t hi = d < 0 ? 0 : d;
    return static_cast<std::int32_t>(r < lo) | static_cast<std::int32_t>(r > hi);
}

} // namespace

void EventPlan::plan(std::int16_t phase, std::int16_t step, std::int32_t count)
{
    events_.clear();
    // At most one event per input: after the first plan of a chunk's size
    // the list never grows, and the worker never allocates.
    events_.reserve(static_cast<std::size_t>(count > 0 ? count : 0));
    step_ = step;
    if (step == 0 || count <= 0) {
        outputs_ = count > 0 ? count : 0;
        phase_after_ = phase;
        return;
    }
    // Inputs between two events: the phase restarts at 0 after a drop (at
    // 16384 after an insert) and runs floor(16384/|step|) more inputs
    // before the next.
    const std::int32_t magnitude = step > 0 ? step : -static_cast<std::int32_t>(step);
    const std::int32_t period = ASRC_ONE / magnitude + 1;
    // The first event: the first input k at which phase + (k+1)*step passes
    // 16384 (drop) or falls below 0 (insert).
    std::int32_t first = step > 0 ? (ASRC_ONE - phase) / magnitude : phase / magnitude;
    for (std::int32_t k = first; k < count; k += period)
        events_.push_back(k);

    const auto n = static_cast<std::int32_t>(events_.size());
    outputs_ = step > 0 ? count - n : count + n;
    // The phase runs on from where the last event left it; all values stay
    // within 0..16384 by the choice of period, so the narrowing is exact.
    const std::int32_t since = n == 0 ? count : count - 1 - events_.back();
    const std::int32_t start = n == 0 ? phase : (step > 0 ? 0 : ASRC_ONE);
    phase_after_ = static_cast<std::int16_t>(start + since * step);
}

std::int64_t count_wrapped(const EventPlan& plan, const asrc_state& before, const std::int16_t* in,
                           const std::int16_t* out, std::int32_t count)
{
    std::int64_t total = 0;
    std::int32_t in_prev = before.in_prev;
    std::int32_t out_prev = before.out_prev;
    std::int32_t k = 0; // next input
    std::int32_t j = 0; // its interpolated output
    const auto& events = plan.events();
    for (std::size_t e = 0; e <= events.size(); ++e) {
        const std::int32_t end = e < events.size() ? events[e] : count;
        // Plain interpolations k..end-1: the first against the carried
        // values, the others against their neighbours in the arrays, in a
        // loop the compiler can vectorise.
        if (k < end) {
            std::int32_t n = wrapped(in[k], in_prev, out[j], out_prev);
            const std::int32_t m = end - k;
            for (std::int32_t i = 1; i < m; ++i)
                n += wrapped(in[k + i], in[k + i - 1], out[j + i], out[j + i - 1]);
            total += n;
            in_prev = in[end - 1];
            out_prev = out[j + m - 1];
            j += m;
            k = end;
        }
        if (e == events.size())
            break;
        if (plan.drops()) {
            // No output; the previous input becomes the fed-back output.
            out_prev = in_prev;
        } else {
            // The previous input is output, then the interpolation at a
            // full phase gives exactly x: neither can wrap.
            out_prev = in[k];
            j += 2;
        }
        in_prev = in[k];
        ++k;
    }
    return total;
}

} // namespace asrc_audio
