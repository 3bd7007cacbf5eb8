// converter_bench.cpp - the converter's two entries against the bare allpass
// recurrence, the serial chain no exact implementation can beat: compare the
// times per sample side by side (items_per_second) within one run.
//
//   build/bench/converter_bench [--benchmark_repetitions=5 ...]
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "asrc.h"

namespace {

constexpr std::size_t kSamples = 1 << 14;

const std::vector<std::int16_t>& input()
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
void BM_BareRecurrence(benchmark::State& state)
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

// Blocks of range(1) samples, as the program feeds it (16) or longer.
void BM_ProcessBlock(benchmark::State& state)
{
    const auto step = static_cast<std::int16_t>(state.range(0));
    const auto block = static_cast<std::int32_t>(state.range(1));
    const auto& in = input();
    std::vector<std::int16_t> out(2 * kSamples);
    asrc_init();
    for (auto _ : state) {
        std::int16_t* o = out.data();
        for (std::size_t at = 0; at < kSamples; at += static_cast<std::size_t>(block)) {
            std::int32_t nin = block;
            std::int32_t nout = 0;
            asrc_process_block(o, in.data() + at, &nin, &nout, step);
            o += nout;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kSamples));
}

void BM_ProcessSample(benchmark::State& state)
{
    const auto step = static_cast<std::int16_t>(state.range(0));
    const auto& in = input();
    std::vector<std::int16_t> out(2 * kSamples + 2);
    asrc_init();
    for (auto _ : state) {
        std::int16_t* o = out.data();
        for (std::size_t i = 0; i < kSamples; ++i) {
            std::int32_t nout = 0;
            asrc_process_sample(o, in[i], &nout, step);
            o += nout;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kSamples));
}

// Steps: a fixed delay, the sample program's +-0.01, a step too large for
// the fast path, and one that inserts three times a block.
#define ASRC_STEPS ->Arg(0)->Arg(163)->Arg(-163)->Arg(3000)->Arg(-2341)

BENCHMARK(BM_BareRecurrence);
BENCHMARK(BM_ProcessBlock)
    ->ArgsProduct({{0, 163, -163, 3000, -2341}, {16, 1024}})
    ->ArgNames({"step", "block"});
BENCHMARK(BM_ProcessSample) ASRC_STEPS->ArgName("step");

} // namespace

BENCHMARK_MAIN();
