// converter_bench.cpp - the converter's entries, module-scope and on a
// caller-owned state, against the bare allpass recurrence as plainly
// written: compare the times per sample side by side (items_per_second)
// within one run.
//
//   build/bench/converter_bench [--benchmark_repetitions=5 ...]
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "asrc.h"

#include "bare_recurrence.h"

namespace {

using asrc_bench::input;
using asrc_bench::kSamples;

void BM_BareRecurrence(benchmark::State& state)
{
    asrc_bench::bare_recurrence(state);
}

// The two families of entries, behind one signature each: the module-scope
// converter, and a caller-owned state as a program with several streams
// holds it.
asrc_state caller_state;

struct ModuleScope {
    static void reset() { asrc_init(); }
    static void block(std::int16_t* out, const std::int16_t* in, std::int32_t* nin,
                      std::int32_t* nout, std::int16_t step)
    {
        asrc_process_block(out, in, nin, nout, step);
    }
    static void sample(std::int16_t* out, std::int16_t in, std::int32_t* nout, std::int16_t step)
    {
        asrc_process_sample(out, in, nout, step);
    }
};

struct CallerState {
    static void reset() { asrc_state_init(&caller_state); }
    static void block(std::int16_t* out, const std::int16_t* in, std::int32_t* nin,
                      std::int32_t* nout, std::int16_t step)
    {
        asrc_state_process_block(&caller_state, out, in, nin, nout, step);
    }
    static void sample(std::int16_t* out, std::int16_t in, std::int32_t* nout, std::int16_t step)
    {
        asrc_state_process_sample(&caller_state, out, in, nout, step);
    }
};

// Blocks of range(1) samples, as the program feeds it (16) or longer.
template <class Entries>
void BM_Block(benchmark::State& state)
{
    const auto step = static_cast<std::int16_t>(state.range(0));
    const auto block = static_cast<std::int32_t>(state.range(1));
    const auto& in = input();
    std::vector<std::int16_t> out(2 * kSamples);
    Entries::reset();
    for (auto _ : state) {
        std::int16_t* o = out.data();
        for (std::size_t at = 0; at < kSamples; at += static_cast<std::size_t>(block)) {
            std::int32_t nin = block;
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
void BM_Sample(benchmark::State& state)
{
    const auto step = static_cast<std::int16_t>(state.range(0));
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

// Steps: a fixed delay, the sample program's +-0.01, a step too large for
// the fast path, and one that inserts three times a block.
#define ASRC_STEPS ->Arg(0)->Arg(163)->Arg(-163)->Arg(3000)->Arg(-2341)->ArgName("step")
#define ASRC_BLOCKS                                                                                \
    ->ArgsProduct({{0, 163, -163, 3000, -2341}, {16, 1024}})->ArgNames({"step", "block"})

BENCHMARK(BM_BareRecurrence);
BENCHMARK_TEMPLATE(BM_Block, ModuleScope)->Name("BM_ProcessBlock") ASRC_BLOCKS;
BENCHMARK_TEMPLATE(BM_Sample, ModuleScope)->Name("BM_ProcessSample") ASRC_STEPS;
BENCHMARK_TEMPLATE(BM_Block, CallerState)->Name("BM_StateProcessBlock") ASRC_BLOCKS;
BENCHMARK_TEMPLATE(BM_Sample, CallerState)->Name("BM_StateProcessSample") ASRC_STEPS;

} // namespace

BENCHMARK_MAIN();
