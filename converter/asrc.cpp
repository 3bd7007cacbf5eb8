// asrc.cpp - the converter state and the drop / insert / allpass rule.
// See asrc.h for formats, rounding and the contract of each function.
#include "asrc.h"

namespace {

// The one converter of the process.  Zero at program start (static storage).
std::int16_t asrc_in;       // x[n], the newest input
std::int16_t asrc_in_prev;  // x[n-1], the previous input
std::int16_t asrc_out;      // y[n], the newest output
std::int16_t asrc_out_prev; // y[n-1], fed back into the interpolator
std::int16_t asrc_phase;    // Q2.14, 0..ASRC_ONE between samples

// Working copy of the state.  Each value is a sign-extended 16-bit sample or
// phase held in 32 bits, so that the arithmetic below needs no conversions;
// every store keeps it within int16_t range.
struct Locals {
    std::int32_t in;
    std::int32_t in_prev;
    std::int32_t out;
    std::int32_t out_prev;
    std::int32_t phase;
};

Locals load()
{
    return {asrc_in, asrc_in_prev, asrc_out, asrc_out_prev, asrc_phase};
}

// Every value of Locals lies in int16_t range (see above), so these
// narrowings are exact.
void store(const Locals& s)
{
    asrc_in = static_cast<std::int16_t>(s.in);
    asrc_in_prev = static_cast<std::int16_t>(s.in_prev);
    asrc_out = static_cast<std::int16_t>(s.out);
    asrc_out_prev = static_cast<std::int16_t>(s.out_prev);
    asrc_phase = static_cast<std::int16_t>(s.phase);
}

// The allpass recurrence y[n] = x[n-1] + phase * (x[n] - y[n-1]) / 16384 with
// the phase already advanced.  With the phase in 0..16384 and 16-bit
// operands, t stays below 2^30 + 2^29 in magnitude.  The shift right rounds
// toward minus infinity; the cast keeps the low 16 bits of the result on
// purpose (two's-complement wrap-around, no saturation).
inline std::int16_t interpolate(Locals& s, std::int32_t sample)
{
    s.in = sample;
    const std::int32_t t = s.phase * (s.in - s.out_prev) + (s.in_prev << 14);
    const auto y = static_cast<std::int16_t>(t >> 14);
    s.out = y;
    s.out_prev = y;
    s.in_prev = s.in;
    return y;
}

// The whole per-sample rule: advance the phase, then drop, insert or just
// interpolate.  Writes 0, 1 or 2 samples to out and returns how many.
inline std::int32_t step_one(Locals& s, std::int32_t sample, std::int32_t step,
                             std::int16_t* out)
{
    // Formed in 32 bits: with the phase in 0..16384 and any 16-bit step the
    // sum cannot overflow, and the stored phase is never left wrapped.
    const std::int32_t phase = s.phase + step;
    if (step > 0 && phase > ASRC_ONE) {
        // Drop: the input only moves the delay line along.  The overshoot
        // of the phase is discarded rather than carried.
        s.phase = 0;
        s.in = sample;
        s.out = s.in_prev;
        s.out_prev = s.out;
        s.in_prev = s.in;
        return 0;
    }
    std::int32_t n = 0;
    if (step < 0 && phase < 0) {
        // Insert: repeat the previous input, then interpolate with the
        // phase at one whole sample, which yields the current input itself.
        s.out = s.in_prev;
        s.out_prev = s.out;
        s.phase = ASRC_ONE;
        out[n++] = static_cast<std::int16_t>(s.out); // an int16_t value
    } else {
        s.phase = phase; // 0..16384 here
    }
    out[n++] = interpolate(s, sample);
    return n;
}

constexpr std::int32_t kGroup = 8;

} // namespace

void asrc_init()
{
    store(Locals{0, 0, 0, 0, 0});
}

void asrc_process_sample(std::int16_t* out, std::int16_t sample, std::int32_t* nout,
                         std::int16_t step)
{
    Locals s = load();
    *nout = step_one(s, sample, step, out);
    store(s);
}

void asrc_process_block(std::int16_t* out, const std::int16_t* in, std::int32_t* nin,
                        std::int32_t* nout, std::int16_t step)
{
    const std::int32_t count = *nin;
    Locals s = load();
    std::int32_t i = 0;
    std::int32_t n = 0;

    // Fast path: while more than a group remains and the phase the group
    // would end on (formed in 32 bits, so it cannot wrap) stays inside
    // 0..16384, no sample of the group can drop or insert, and the tests are
    // skipped.  The phase moves monotonically, so the end of the group is the
    // only place to look.  Once a group would leave the range the rest of the
    // call takes the per-sample rule.  `count - i` cannot overflow: 0 <= i.
    while (count - i > kGroup) {
        const std::int32_t end = s.phase + kGroup * step;
        if ((step > 0 && end > ASRC_ONE) || (step < 0 && end < 0))
            break;
        for (std::int32_t k = 0; k < kGroup; ++k) {
            s.phase += step;
            out[n + k] = interpolate(s, in[i + k]);
        }
        i += kGroup;
        n += kGroup;
    }

    for (; i < count; ++i)
        n += step_one(s, in[i], step, out + n);

    *nin = i;
    *nout = n;
    store(s);
}
