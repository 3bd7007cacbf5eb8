// converter_compare.cpp - two revisions of the converter (before, after)
// side by side with the bare recurrence in one run, so that a change is
// timed against what it replaces on the same machine at the same moment.
// Built and run by bench/converter_compare.sh.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bare_recurrence.h"

#define ASRC_DECLARE_SIDE(side)                                                                   \
    extern "C" {                                                                                  \
    void side##_reset(void);                                                                      \
    void side##_sample(std::int16_t*, std::int16_t, std::int32_t*, std::int16_t);                 \
    void side##_block(std::int16_t*, const std::int16_t*, std::int32_t*, std::int32_t*,           \
                      std::int16_t);                                                              \
    int side##_has_state(void);                                                                   \
    void side##_state_reset(void);                                                                \
    void side##_state_sample(std::int16_t*, std::int16_t, std::int32_t*, std::int16_t);           \
    void side##_state_block(std::int16_t*, const std::int16_t*, std::int32_t*, std::int32_t*,     \
                            std::int16_t);                                                        \
    }                                                                                             \
    struct side##_module {                                                                        \
        static void reset() { side##_reset(); }                                                   \
        static constexpr auto sample = side##_sample;                                             \
        static constexpr auto block = side##_block;                                               \
    };                                                                                            \
    struct side##_state {                                                                         \
        static void reset() { side##_state_reset(); }                                             \
        static constexpr auto sample = side##_state_sample;                                       \
        static constexpr auto block = side##_state_block;                                         \
    };

ASRC_DECLARE_SIDE(before)
ASRC_DECLARE_SIDE(after)

namespace {

using asrc_bench::input;
using asrc_bench::kSamples;

// As bench/converter_bench.cpp feeds the entries.
template <class Entries>
void block16(benchmark::State& state, std::int16_t step)
{
    constexpr std::int32_t kBlock = 16;
    const auto& in = input();
    std::vector<std::int16_t> out(2 * kSamples);
    Entries::reset();
    for (auto _ : state) {
        std::int16_t* o = out.data();
        for (std::size_t at = 0; at < kSamples; at += kBlock) {
            std::int32_t nin = kBlock;
            std::int32_t nout = 0;
            Entries::block(o, in.data() + at, &nin, &nout, step);
            o += nout;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kSamples));
}

template <class Entries>
void by_sample(benchmark::State& state, std::int16_t step)
{
    const auto& in = input();
    std::vector<std::int16_t> out(2 * kSamples + 2);
    Entries::reset();
    for (auto _ : state) {
        std::int16_t* o = out.data();
        for (std::size_t i = 0; i < kSamples; ++i) {
            std::int32_t nout = 0;
            Entries::sample(o, in[i], &nout, step);
            o += nout;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kSamples));
}

template <class Module, class State>
void register_side(const std::string& side, bool has_state)
{
    for (const std::int16_t step : {std::int16_t{163}, std::int16_t{-163}}) {
        const std::string at = "/step:" + std::to_string(step) + "/" + side;
        benchmark::RegisterBenchmark(("asrc_process_sample" + at).c_str(), by_sample<Module>, step);
        benchmark::RegisterBenchmark(("asrc_process_block, blocks of 16" + at).c_str(),
                                     block16<Module>, step);
        if (!has_state)
            continue;
        benchmark::RegisterBenchmark(("asrc_state_process_sample" + at).c_str(), by_sample<State>,
                                     step);
        benchmark::RegisterBenchmark(("asrc_state_process_block, blocks of 16" + at).c_str(),
                                     block16<State>, step);
    }
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::RegisterBenchmark("BM_BareRecurrence", asrc_bench::bare_recurrence);
    register_side<before_module, before_state>("before", before_has_state() != 0);
    register_side<after_module, after_state>("after", after_has_state() != 0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
