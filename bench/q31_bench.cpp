// q31_bench.cpp - the 24-bit converter (asrc_q31.h) against soxr, side by
// side in one run, at every ratio its quality is promised at, for one and
// two interleaved channels, at 32 bits and at 16 bits, and against the bare
// arithmetic of its filter.  After the timings it prints, per ratio, the
// time per input sample per channel of each setting and the ratios that
// matter: our time over soxr HQ's (below 1: faster), over soxr VHQ's, and
// over the bare arithmetic's.
//
//   32 bits  asrc-q31 (with its own rows when downsampling) and asrc-q31-lean
//            (without) against soxr-hq-i32 and soxr-vhq-i32 (soxr on
//            SOXR_INT32_I in and out, no dither);
//   16 bits  asrc-q31-16 (int16 << 16 in, rounded to int16 out) and the
//            polyphase converter asrc-poly (ratios 1:2..2:1 only) against
//            soxr-hq-nodither and soxr-hq (int16 in and out; the second
//            with soxr's default dither);
//   bare     per output frame and channel, a plain dot product of the
//            converter's taps (2 x asrc_q31_delay(ratio): 192 up to ratio
//            1.002, more beyond) of int32 samples and int32 coefficients
//            summed in int64, the coefficients precomputed, each channel's
//            samples contiguous: the multiply-adds the converter cannot do
//            without, and nothing else (no coefficient to form, no
//            history to keep, no interleaving).  Built for AVX2 too where
//            the compiler can, as the converter is.
//
// Every setting runs through bench/peers (the runner asrc-peer-run's
// adapters), single-threaded, pinned to one core, on white noise at
// -6 dBFS, fed in blocks of 1024 frames as a stream that goes on from
// iteration to iteration (the converter is made once, outside the timing).
//
//   build/bench/q31_bench [--frames=N] [--only=SUBSTRING] [--summary_only]
//                         [--benchmark_repetitions=5 ...]
//
// bench/q31_ratios.sh runs it with interleaved repetitions.
#include <benchmark/benchmark.h>
#include <sched.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "asrc_q31.h"
#include "peer_resamplers.h"

namespace {

struct Ratio {
    const char* label; // the row's title
    const char* in;    // rates as asrc-peer-run takes them
    const char* out;
};

// 48 kHz x (1 - r) for r = +-1e-4, +-1e-3, +-1e-2, and the studio's pairs.
const Ratio kRatios[] = {
    {"48k x (1-1e-4)", "48000", "47995.2"}, {"48k x (1+1e-4)", "48000", "48004.8"},
    {"48k x (1-1e-3)", "48000", "47952"},   {"48k x (1+1e-3)", "48000", "48048"},
    {"48k x (1-1e-2)", "48000", "47520"},   {"48k x (1+1e-2)", "48000", "48480"},
    {"44.1 -> 48k", "44100", "48000"},      {"48 -> 44.1k", "48000", "44100"},
    {"48 -> 96k", "48000", "96000"},        {"96 -> 48k", "96000", "48000"},
    {"44.1 -> 96k", "44100", "96000"},      {"192 -> 44.1k", "192000", "44100"},
};

const char* const kSettings32[] = {"asrc-q31", "asrc-q31-lean", "soxr-hq-i32", "soxr-vhq-i32"};
const char* const kSettings16[] = {"asrc-q31-16", "asrc-poly", "soxr-hq-nodither", "soxr-hq"};

std::size_t g_frames = 1 << 16;
constexpr std::size_t kBlock = 1024;

template <class S>
const std::vector<S>& noise(int channels)
{
    static std::map<int, std::vector<S>> cache;
    auto& v = cache[channels];
    if (v.empty()) {
        std::mt19937 rng(static_cast<unsigned>(channels));
        // -6 dBFS: half of full scale.
        const std::int64_t half = sizeof(S) == 4 ? (std::int64_t{1} << 30) : (1 << 14);
        std::uniform_int_distribution<std::int64_t> d(-half, half - 1);
        v.resize(g_frames * static_cast<std::size_t>(channels));
        for (auto& s : v)
            s = static_cast<S>(d(rng));
    }
    return v;
}

template <class S>
std::unique_ptr<peers::BasicConverter<S>> make(const std::string& name, peers::Rates rates,
                                               std::string* error, int channels)
{
    if constexpr (sizeof(S) == 4)
        return peers::make32(name, rates, error, channels);
    else
        return peers::make(name, rates, error, channels);
}

template <class S>
void run_converter(benchmark::State& state, const std::string& name, peers::Rates rates,
                   int channels)
{
    std::string error;
    auto c = make<S>(name, rates, &error, channels);
    if (!c) {
        state.SkipWithError(error.c_str());
        return;
    }
    const auto ch = static_cast<std::size_t>(channels);
    const auto& in = noise<S>(channels);
    std::vector<S> out(c->max_output(kBlock) * ch);
    std::size_t produced = 0;
    for (auto _ : state) {
        for (std::size_t at = 0; at < g_frames; at += kBlock)
            produced += c->process(in.data() + at * ch, std::min(kBlock, g_frames - at),
                                   out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(produced);
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(g_frames * ch));
}

// One output's dot product: taps int32 samples by int32 coefficients,
// summed exactly in int64, rounded back to Q1.31 and saturated.
__attribute__((target_clones("avx2", "default"))) std::int32_t
dot(const std::int32_t* x, const std::int32_t* h, int taps)
{
    std::int64_t acc = 0;
    for (int i = 0; i < taps; ++i)
        acc += static_cast<std::int64_t>(x[i]) * h[i];
    acc = (acc + (std::int64_t{1} << 29)) >> 30;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(acc, INT32_MIN, INT32_MAX));
}

void run_bare(benchmark::State& state, peers::Rates rates, int channels)
{
    // The output times k x in/out in Q24.40, as the converter steps them.
    const auto step = static_cast<std::uint64_t>(
        ((static_cast<unsigned __int128>(rates.in) << 41) / rates.out + 1) >> 1);
    const int taps = 2 * asrc_q31_delay(step);
    std::mt19937 rng(7);
    std::uniform_int_distribution<std::int32_t> d(-(1 << 24), 1 << 24);
    std::vector<std::int32_t> h(static_cast<std::size_t>(taps));
    for (auto& v : h)
        v = d(rng);
    // Each channel's samples contiguous, with the window's reach on both
    // sides so that every output of the pass has its inputs.
    const std::size_t span = g_frames + static_cast<std::size_t>(taps);
    std::vector<std::vector<std::int32_t>> x(static_cast<std::size_t>(channels));
    for (auto& c : x) {
        c.resize(span);
        for (auto& v : c)
            v = d(rng);
    }
    std::vector<std::int32_t> out(static_cast<std::size_t>(channels));
    const std::uint64_t end = static_cast<std::uint64_t>(g_frames) << 40;
    for (auto _ : state) {
        for (std::uint64_t t = 0; t < end; t += step) {
            const auto n = static_cast<std::size_t>(t >> 40);
            for (std::size_t c = 0; c < x.size(); ++c)
                out[c] = dot(x[c].data() + n, h.data(), taps);
            benchmark::DoNotOptimize(out.data());
        }
    }
    state.SetItemsProcessed(state.iterations() *
                            static_cast<std::int64_t>(g_frames * static_cast<std::size_t>(channels)));
}

std::string bench_name(int bits, int channels, const std::string& setting, const Ratio& r)
{
    return std::to_string(bits) + "bit/" + std::to_string(channels) + "ch/" + setting + "/" +
           r.in + "-" + r.out;
}

// Each benchmark's time per input sample per channel: the median when there
// are repetitions, else its one run.
class Collector : public benchmark::ConsoleReporter {
public:
    explicit Collector(bool quiet) : quiet_(quiet) {}
    bool ReportContext(const Context& context) override
    {
        return quiet_ ? true : ConsoleReporter::ReportContext(context);
    }
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const auto& run : runs) {
            if (run.error_occurred)
                continue;
            const auto it = run.counters.find("items_per_second");
            if (it == run.counters.end() || it->second.value <= 0)
                continue;
            const std::string name = run.run_name.function_name;
            const double ns = 1e9 / it->second.value;
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median")
                    median_[name] = ns;
            } else {
                single_[name].push_back(ns);
            }
        }
        if (!quiet_)
            ConsoleReporter::ReportRuns(runs);
    }
    double ns(const std::string& name) const
    {
        if (const auto it = median_.find(name); it != median_.end())
            return it->second;
        if (const auto it = single_.find(name); it != single_.end() && !it->second.empty()) {
            auto v = it->second;
            std::sort(v.begin(), v.end());
            return v[v.size() / 2];
        }
        return NAN;
    }

private:
    bool quiet_;
    std::map<std::string, double> median_;
    std::map<std::string, std::vector<double>> single_;
};

void pin_to_one_core()
{
    const int cpu = sched_getcpu();
    if (cpu < 0)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

std::string cell(double ns)
{
    char b[32];
    if (std::isnan(ns))
        return "-";
    std::snprintf(b, sizeof b, "%.2f", ns);
    return b;
}

std::string times(double a, double b)
{
    char t[32];
    if (std::isnan(a) || std::isnan(b))
        return "-";
    std::snprintf(t, sizeof t, "%.2fx", a / b);
    return t;
}

} // namespace

int main(int argc, char** argv)
{
    bool quiet = false;
    std::string only;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--summary_only") == 0) {
            quiet = true;
        } else if (std::strncmp(argv[i], "--frames=", 9) == 0) {
            g_frames = static_cast<std::size_t>(std::max(1024L, std::atol(argv[i] + 9)));
        } else if (std::strncmp(argv[i], "--only=", 7) == 0) {
            only = argv[i] + 7;
        } else {
            args.push_back(argv[i]);
        }
    }
    int nargs = static_cast<int>(args.size());
    benchmark::Initialize(&nargs, args.data());
    if (benchmark::ReportUnrecognizedArguments(nargs, args.data()))
        return 2;
    pin_to_one_core();

    std::vector<const Ratio*> ratios;
    for (const auto& r : kRatios)
        if (only.empty() || std::string(r.label).find(only) != std::string::npos)
            ratios.push_back(&r);
    for (const Ratio* r : ratios) {
        const peers::Rates rates = peers::rates_from_text(r->in, r->out);
        for (const int ch : {1, 2}) {
            for (const char* s : kSettings32)
                if (peers::find_setting(s) != nullptr)
                    benchmark::RegisterBenchmark(bench_name(32, ch, s, *r).c_str(),
                                                 [s, rates, ch](benchmark::State& st) {
                                                     run_converter<std::int32_t>(st, s, rates, ch);
                                                 })
                        ->Unit(benchmark::kMillisecond);
            for (const char* s : kSettings16)
                if (peers::find_setting(s) != nullptr)
                    benchmark::RegisterBenchmark(bench_name(16, ch, s, *r).c_str(),
                                                 [s, rates, ch](benchmark::State& st) {
                                                     run_converter<std::int16_t>(st, s, rates, ch);
                                                 })
                        ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(bench_name(32, ch, "bare", *r).c_str(),
                                         [rates, ch](benchmark::State& st) {
                                             run_bare(st, rates, ch);
                                         })
                ->Unit(benchmark::kMillisecond);
        }
    }
    Collector collector(quiet);
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    std::printf("\n%zu frames of white noise (-6 dBFS) per pass, blocks of %zu frames, one "
                "thread on one core; ns per input sample per channel, and our time as a "
                "multiple of soxr HQ's (below 1.00x: faster).\n",
                g_frames, kBlock);
    int faster = 0;
    int cells = 0;
    const auto count = [&](double ours, double theirs) {
        if (std::isnan(ours) || std::isnan(theirs))
            return;
        ++cells;
        faster += ours < theirs ? 1 : 0;
    };
    for (const int ch : {1, 2}) {
        const auto ns = [&](int bits, const std::string& s, const Ratio& r) {
            return collector.ns(bench_name(bits, ch, s, r));
        };
        std::printf("\n%d channel%s, 32 bits (asrc-q31-lean: without rows of its own, the "
                    "same as asrc-q31 up to a ratio of 1.002):\n\n| ratio | asrc-q31 | "
                    "asrc-q31-lean | soxr-hq-i32 | soxr-vhq-i32 | bare dot product | asrc-q31 / "
                    "soxr HQ | asrc-q31 / soxr VHQ | asrc-q31 / bare | asrc-q31 / lean |\n"
                    "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n",
                    ch, ch == 1 ? "" : "s");
        for (const Ratio* r : ratios) {
            const double q = ns(32, "asrc-q31", *r);
            const double lean = ns(32, "asrc-q31-lean", *r);
            const double hq = ns(32, "soxr-hq-i32", *r);
            const double vhq = ns(32, "soxr-vhq-i32", *r);
            const double bare = ns(32, "bare", *r);
            count(q, hq);
            std::printf("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", r->label,
                        cell(q).c_str(), cell(lean).c_str(), cell(hq).c_str(), cell(vhq).c_str(),
                        cell(bare).c_str(), times(q, hq).c_str(), times(q, vhq).c_str(),
                        times(q, bare).c_str(), times(q, lean).c_str());
        }
        std::printf("\n%d channel%s, 16 bits (asrc-poly takes ratios 1:2 to 2:1 only):\n\n"
                    "| ratio | asrc-q31-16 | asrc-poly | soxr-hq-nodither | soxr-hq | "
                    "asrc-q31-16 / soxr HQ | asrc-poly / soxr HQ |\n"
                    "|---|---:|---:|---:|---:|---:|---:|\n",
                    ch, ch == 1 ? "" : "s");
        for (const Ratio* r : ratios) {
            const double q = ns(16, "asrc-q31-16", *r);
            const double p = ns(16, "asrc-poly", *r);
            const double hq = ns(16, "soxr-hq-nodither", *r);
            const double hqd = ns(16, "soxr-hq", *r);
            count(std::isnan(p) ? q : std::min(q, p), hq);
            std::printf("| %s | %s | %s | %s | %s | %s | %s |\n", r->label, cell(q).c_str(),
                        cell(p).c_str(), cell(hq).c_str(), cell(hqd).c_str(),
                        times(q, hq).c_str(), times(p, hq).c_str());
        }
    }
    std::printf("\nOurs (at 16 bits the faster of asrc-q31-16 and asrc-poly) took less time per "
                "input sample than soxr HQ in %d of %d cells (ratio x channels x width).\n",
                faster, cells);
    std::printf("soxr HQ is soxr-hq-i32 at 32 bits and soxr-hq-nodither at 16 (the faster of "
                "its two 16-bit settings, and like ours without dither).\n");
    for (const auto& m : peers::missing())
        std::printf("missing (not found at configure time): %s, Debian %s\n", m.library.c_str(),
                    m.package.c_str());
    return 0;
}
