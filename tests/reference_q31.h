// reference_q31.h - the 24-bit converter written plainly: each output
// computed on its own from the whole input, with 128-bit products where the
// library splits them, so that the block machinery, the history, the vector
// sums and the wide multiplies are all checked against it.
#ifndef ASRC_TESTS_REFERENCE_Q31_H
#define ASRC_TESTS_REFERENCE_Q31_H

#include <cstdint>
#include <vector>

#include "asrc_q31.h"
#include "internal/q31_table.h"

namespace asrc_ref {

struct Q31RatioChange {
    int64_t at_output; // takes effect from this output on (outputs given before the call)
    uint64_t ratio;
};

class ReferenceQ31 {
public:
    // in: interleaved frames; changes sorted, the first at output 0.
    ReferenceQ31(const std::vector<int32_t>& in, int channels, std::vector<Q31RatioChange> changes)
        : in_(in), channels_(channels), changes_(std::move(changes))
    {
    }

    // Output k's frame (channels samples), and whether its input has all arrived
    // (floor(t) + delay <= newest index): false past the end.
    bool output(int64_t k, int32_t* frame)
    {
        advance_to(k);
        const uint64_t ratio = ratio_at(k);
        const uint64_t step = step_of(ratio);
        const int64_t d = static_cast<int64_t>((kCentre + step - 1) / step);
        const int64_t n = static_cast<int64_t>(t_ >> 40);
        const uint64_t mu = t_ & ((uint64_t{1} << 40) - 1);
        if (n + d > frames() - 1)
            return false;
        for (int ch = 0; ch < channels_; ++ch) {
            __int128 acc;
            if (step == uint64_t{64} << 32)
                acc = full_band(n, mu, ch);
            else
                acc = stretched(n, mu, ch, step, d);
            const __int128 y = (acc + (__int128{1} << 29)) >> 30;
            frame[ch] = y > INT32_MAX ? INT32_MAX : y < INT32_MIN ? INT32_MIN : static_cast<int32_t>(y);
        }
        return true;
    }

private:
    static constexpr uint64_t kCentre = uint64_t{96 * 64} << 32;
    static constexpr uint64_t kEnd = uint64_t{192 * 64} << 32;

    int64_t frames() const { return static_cast<int64_t>(in_.size()) / channels_; }
    int64_t x(int64_t i, int ch) const
    {
        return i < 0 || i >= frames() ? 0 : in_[static_cast<size_t>(i * channels_ + ch)];
    }

    uint64_t ratio_at(int64_t k) const
    {
        uint64_t r = changes_.front().ratio;
        for (const auto& c : changes_)
            if (c.at_output <= k)
                r = c.ratio;
        return r;
    }

    void advance_to(int64_t k)
    {
        for (; k_ < k; ++k_)
            t_ += ratio_at(k_);
    }

    static uint64_t step_of(uint64_t ratio)
    {
        if (ratio <= ASRC_Q31_RATIO_FULL_BAND)
            return uint64_t{64} << 32;
        return static_cast<uint64_t>((static_cast<unsigned __int128>(ASRC_Q31_RATIO_FULL_BAND) << 38) / ratio);
    }

    static int32_t round_q31(int64_t v, int64_t u)
    {
        return static_cast<int32_t>((v * u + (int64_t{1} << 30)) >> 31);
    }

    static int32_t coefficient(uint64_t x)
    {
        const uint64_t g = x >> 32;
        const int64_t u = static_cast<int64_t>((x >> 1) & 0x7FFFFFFF);
        const uint64_t p = g % 64;
        const uint64_t j = 191 - g / 64;
        int32_t c = kQ31Coef[3][p][j];
        c = kQ31Coef[2][p][j] + round_q31(c, u);
        c = kQ31Coef[1][p][j] + round_q31(c, u);
        return kQ31Coef[0][p][j] + round_q31(c, u);
    }

    __int128 full_band(int64_t n, uint64_t mu, int ch) const
    {
        const uint64_t p = mu >> 34;
        const __int128 u = static_cast<int64_t>((mu >> 3) & 0x7FFFFFFF);
        __int128 d[4] = {0, 0, 0, 0};
        for (int j = 0; j < 192; ++j)
            for (int k = 0; k < 4; ++k)
                d[k] += static_cast<__int128>(kQ31Coef[k][p][j]) * x(n - 95 + j, ch);
        const auto mul = [&](__int128 v) { return (v * u + (__int128{1} << 30)) >> 31; };
        return d[0] + mul(d[1] + mul(d[2] + mul(d[3])));
    }

    __int128 stretched(int64_t n, uint64_t mu, int ch, uint64_t step, int64_t d) const
    {
        const int64_t gain = static_cast<int64_t>(step >> 7);
        const __int128 x0 = static_cast<__int128>(d - 1) * step +
                            ((static_cast<__int128>(mu) * step) >> 40) + kCentre;
        __int128 acc = 0;
        int64_t sum = 0;
        int64_t nearest = 0;
        __int128 best = -1;
        for (int64_t j = 0; j < 2 * d; ++j) {
            const __int128 xj = x0 - static_cast<__int128>(j) * step;
            const __int128 off = xj >= kCentre ? xj - kCentre : kCentre - xj;
            if (best < 0 || off <= best) {
                best = off;
                nearest = j;
            }
            if (xj < 0 || xj >= kEnd)
                continue;
            const int32_t c = round_q31(coefficient(static_cast<uint64_t>(xj)), gain);
            sum += c;
            acc += static_cast<__int128>(c) * x(n - d + 1 + j, ch);
        }
        return acc + static_cast<__int128>((int64_t{1} << 30) - sum) * x(n - d + 1 + nearest, ch);
    }

    const std::vector<int32_t>& in_;
    int channels_;
    std::vector<Q31RatioChange> changes_;
    int64_t k_ = 0;
    uint64_t t_ = 0;
};

} // namespace asrc_ref

#endif
