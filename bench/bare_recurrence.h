// bare_recurrence.h - what the converter benchmarks measure against: the
// allpass recurrence as plainly written, with no drop, insert or state, on
// the same random input.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

namespace asrc_bench {

inline constexpr std::size_t kSamples = 1 << 14;

inline const std::vector<std::int16_t>& input()
{
    static const std::vector<std::int16_t> samples = [] {
        std::mt19937 rng(1);
        std::uniform_int_distribution<int> d(-20000, 20000);
        std::vector<std::int16_t> v(kSamples);
        for (auto& s : v)
            s = static_cast<std::int16_t>(d(rng));
        return v;
    }();
    return samples;
}

// y[n] = x[n-1] + (phase * (x[n] - y[n-1])) >> 14, stored in 16 bits, with a
// phase the compiler cannot see: the subtraction, multiply, add and shift
// of every sample wait on the sample before.  No drop or insert, no state
// kept between calls.
inline void bare_recurrence(benchmark::State& state)
{
    const auto& in = input();
    std::vector<std::int16_t> out(kSamples);
    volatile std::int32_t hidden_phase = 5000;
    for (auto _ : state) {
        const std::int32_t phase = hidden_phase;
        std::int32_t x_prev = 0;
        std::int32_t y_prev = 0;
        for (std::size_t i = 0; i < kSamples; ++i) {
            const std::int32_t x = in[i];
            const std::int32_t t = phase * (x - y_prev) + (x_prev << 14);
            y_prev = static_cast<std::int16_t>(t >> 14); // low 16 bits, as stored
            x_prev = x;
            out[i] = static_cast<std::int16_t>(y_prev);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kSamples));
}

} // namespace asrc_bench
