// reference_poly.h - the polyphase converter written as plainly as its
// definition: every output's time summed in 64 bits, every tap's coefficient
// read from the whole (unfolded) table and interpolated on its own.  No
// history ring, no folded table, no split sums, no vector code: what the
// library must equal bit for bit.
#ifndef ASRC_TESTS_REFERENCE_POLY_H
#define ASRC_TESTS_REFERENCE_POLY_H

#include <cstdint>
#include <vector>

#include "asrc_poly.h"
#include "internal/poly_table.h"

namespace reference_poly {

// The prototype at table position q (0..32768), zero outside.
inline std::int64_t table(std::int64_t q)
{
    using namespace asrc_poly_detail;
    const std::int64_t end = 2 * kTableCentre;
    if (q < 0 || q > end)
        return 0;
    return kHalfTable[q <= kTableCentre ? q : end - q];
}

// Input i of the stream, silence before 0 and after its end.
inline std::int64_t input(const std::vector<std::int16_t>& x, std::int64_t i)
{
    return i < 0 || i >= static_cast<std::int64_t>(x.size()) ? 0 : x[static_cast<std::size_t>(i)];
}

// The unclipped value of the output at time `t` (Q30 input samples).
inline std::int64_t value_at(const std::vector<std::int16_t>& x, std::int64_t t, std::int32_t stride)
{
    const std::int64_t n = t >> 30;
    const std::int64_t mu = t & ((std::int64_t{1} << 30) - 1);
    const std::int64_t sm = stride * mu;
    const std::int64_t a = sm >> 30;
    const std::int64_t phi = (sm >> 15) & 0x7FFF;
    std::int64_t sum = 0;
    // Every tap where the interpolated coefficient can be non-zero, and more.
    for (std::int64_t j = -140; j <= 140; ++j) {
        const std::int64_t q = 16384 + stride * j - a;
        const std::int64_t c = table(q) * 32768 + phi * (table(q - 1) - table(q));
        sum += input(x, n + j) * c;
    }
    // Rounded to nearest, halves up.
    const std::int64_t scaled = sum * stride;
    return (scaled + (std::int64_t{1} << 42)) >> 43;
}

struct Result {
    std::vector<std::int16_t> out;
    std::uint32_t clipped = 0;
};

// Converts x from a converter just initialised at ratios[0], feeding it in
// blocks of sizes[b] inputs, each block after asrc_poly_set_ratio(ratios[b])
// (a block of size 0 only changes the ratio).  Output k is due once
// floor(t[k]) + delay(ratio in force) <= newest input; it takes the ratio in
// force when it is given for the step to the next one.
inline Result convert(const std::vector<std::int16_t>& x, const std::vector<std::uint32_t>& ratios,
                      const std::vector<std::int32_t>& sizes)
{
    Result r;
    std::int64_t t = 0;
    std::int64_t newest = -1;
    for (std::size_t b = 0; b < sizes.size(); ++b) {
        const std::uint32_t ratio = ratios[b];
        const std::int32_t stride = asrc_poly_stride(ratio);
        const std::int32_t delay = asrc_poly_delay(ratio);
        for (std::int32_t i = 0; i < sizes[b]; ++i) {
            ++newest;
            while ((t >> 30) + delay <= newest) {
                std::int64_t y = value_at(x, t, stride);
                if (y > 32767 || y < -32768) {
                    ++r.clipped;
                    y = y > 0 ? 32767 : -32768;
                }
                r.out.push_back(static_cast<std::int16_t>(y));
                t += ratio;
            }
        }
    }
    return r;
}

} // namespace reference_poly

#endif
