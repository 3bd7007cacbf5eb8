// poly_bench.cpp - the polyphase converter against the field's resampling
// libraries from Debian (and our drop/insert rule), side by side in one run:
// the same 16-bit input (conditioned noise), the same ratios, the same
// blocks, one thread, one core.  After the timings it prints two Markdown
// tables: ns per input sample of each setting at each ratio with its time as
// a multiple of asrc-poly's, and the SINAD each reaches on conditioned
// -1 dBFS tones at 997 Hz and at worst across the band (see sinad_of); then
// which of the peers that reach 90 dB asrc-poly is faster than.
//
//   build/bench/poly_bench [--peer_block=N] [--summary_only] [--no_sinad]
//                          [--benchmark_repetitions=9 ...]
//
// With repetitions the table holds each run's median.  bench/peer_ratios.sh
// runs it with interleaved repetitions.
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

#include "conditioning.h"
#include "peer_resamplers.h"
#include "sine_fit.h"

namespace {

constexpr std::size_t kSamples = 1 << 18; // 5.5 s at 48 kHz

struct Ratio {
    const char* label; // the column's title
    const char* in;    // rates as asrc-peer-run takes them
    const char* out;
};

const Ratio kRatios[] = {
    {"48000->47520 (offset +1e-2)", "48000", "47520"},
    {"48000->48004.8 (offset -1e-4)", "48000", "48004.8"},
    {"44100->48000", "44100", "48000"},
    {"48000->44100", "48000", "44100"},
};

std::size_t g_block = 1024;

// White noise at -6 dBFS on the 24-bit scale, brought to 16 bits by the
// program's conditioning, as the program's users feed it.
const std::vector<std::int16_t>& input()
{
    static const std::vector<std::int16_t> samples = [] {
        std::mt19937 rng(1);
        std::uniform_int_distribution<std::int32_t> d(-(1 << 22), (1 << 22) - 1);
        std::vector<std::int16_t> v(kSamples);
        for (auto& s : v)
            s = asrc_cli::condition_sample(d(rng));
        return v;
    }();
    return samples;
}

// The whole input through one converter in blocks, as a stream that goes on
// from iteration to iteration (the converter is made once, outside the
// timing); the outputs land in one block's buffer, as a callback's would.
void run_converter(benchmark::State& state, const std::string& name, peers::Rates rates)
{
    std::string error;
    auto c = peers::make(name, rates, &error);
    if (!c) {
        state.SkipWithError(error.c_str());
        return;
    }
    const auto& in = input();
    std::vector<std::int16_t> out(c->max_output(g_block));
    std::size_t produced = 0;
    for (auto _ : state) {
        for (std::size_t at = 0; at < kSamples; at += g_block)
            produced += c->process(in.data() + at, std::min(g_block, kSamples - at), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(produced);
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kSamples));
}

std::string bench_name(const std::string& setting, const Ratio& r)
{
    return setting + "/" + r.in + "-" + r.out;
}

// A -1 dBFS tone at f Hz on the 24-bit scale, conditioned.
std::vector<std::int16_t> tone(double f, double fs, std::size_t n)
{
    std::vector<std::int16_t> x(n);
    const double a = std::pow(10.0, -1.0 / 20) * 8388607.0;
    for (std::size_t i = 0; i < n; ++i)
        x[i] = asrc_cli::condition_sample(static_cast<std::int32_t>(
            std::floor(a * std::sin(2 * M_PI * f / fs * static_cast<double>(i)) + 0.5)));
    return x;
}

struct Sinad {
    double at_997 = NAN; // dB
    double worst = NAN;  // dB, over the band's tones
    double worst_hz = 0; // where
};

// SINAD (dB) at 997 Hz and the worst over tones from 997 Hz to the top of
// the band at this ratio: 20 kHz, or 0.45 of the lower rate (0.9 of its
// Nyquist frequency) where that is lower, the band asrc_poly.h promises
// 90 dB in.  A four-parameter sine fit over the outputs but the first and
// last 2048; asrc-rule at its own ratio.
Sinad sinad_of(const std::string& name, const Ratio& r)
{
    const peers::Rates rates = peers::rates_from_text(r.in, r.out);
    const double fin = std::atof(r.in);
    const double fout = std::atof(r.out);
    const double top = std::min(20000.0, 0.45 * std::min(fin, fout));
    Sinad q;
    for (const double f : {997.0, 5000.0, 10000.0, 15000.0, top}) {
        const std::size_t n = 1 << 16;
        const auto x = tone(f, fin, n);
        std::vector<std::int16_t> y = x; // name "": the input itself
        peers::Rates a{1, 1};
        if (!name.empty()) {
            auto c = peers::make(name, rates, nullptr);
            if (!c)
                return q;
            a = c->actual();
            y = peers::convert_all(*c, x.data(), n, g_block, peers::output_count(n, a));
        }
        const double w = 2 * M_PI * f / fin * static_cast<double>(a.in) / static_cast<double>(a.out);
        const double db = asrc_measure::fit_sine(y, 2048, y.size() - 2048, w).sinad_db();
        if (f == 997.0)
            q.at_997 = db;
        if (!(db >= q.worst)) {
            q.worst = db;
            q.worst_hz = f;
        }
    }
    return q;
}

// Collects each benchmark's time per input sample: the median when there
// are repetitions, else its one run.  Prints the runs as the console does,
// unless told to keep quiet.
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
    // ns per input sample, or NAN if it did not run.
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

} // namespace

int main(int argc, char** argv)
{
    bool quiet = false;
    bool sinad = true;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--summary_only") == 0) {
            quiet = true;
        } else if (std::strcmp(argv[i], "--no_sinad") == 0) {
            sinad = false;
        } else if (std::strncmp(argv[i], "--peer_block=", 13) == 0) {
            g_block = static_cast<std::size_t>(std::max(1L, std::atol(argv[i] + 13)));
        } else {
            args.push_back(argv[i]);
        }
    }
    int nargs = static_cast<int>(args.size());
    benchmark::Initialize(&nargs, args.data());
    if (benchmark::ReportUnrecognizedArguments(nargs, args.data()))
        return 2;
    pin_to_one_core();

    input();
    for (const auto& r : kRatios) {
        const peers::Rates rates = peers::rates_from_text(r.in, r.out);
        for (const auto& s : peers::settings()) {
            if (s.bits != 16)
                continue; // the 32-bit settings: bench/q31_bench.cpp
            const std::string name = s.name;
            benchmark::RegisterBenchmark(bench_name(name, r).c_str(),
                                         [name, rates](benchmark::State& st) {
                                             run_converter(st, name, rates);
                                         })
                ->Unit(benchmark::kMillisecond);
        }
    }
    Collector collector(quiet);
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    // The tables.
    std::printf("\n%zu samples of conditioned noise per pass, blocks of %zu, one thread on one "
                "core.\n\nns per input sample (and as a multiple of asrc-poly's time):\n\n",
                kSamples, g_block);
    std::printf("| setting | package |");
    for (const auto& r : kRatios)
        std::printf(" %s |", r.label);
    std::printf("\n|---|---|");
    for (std::size_t i = 0; i < std::size(kRatios); ++i)
        std::printf("---:|");
    std::printf("\n");
    // Per setting: slower than asrc-poly at every ratio?
    std::map<std::string, bool> slower_everywhere;
    for (const auto& s : peers::settings()) {
        if (s.bits != 16)
            continue;
        std::printf("| %s | %s |", s.name.c_str(), s.package.c_str());
        bool slower = true;
        for (const auto& r : kRatios) {
            const double ns = collector.ns(bench_name(s.name, r));
            const double poly = collector.ns(bench_name("asrc-poly", r));
            if (std::isnan(ns)) {
                std::printf(" - |");
                slower = false;
                continue;
            }
            std::printf(" %.2f (%.2fx) |", ns, ns / poly);
            if (!(ns > poly))
                slower = false;
        }
        std::printf("\n");
        slower_everywhere[s.name] = slower;
    }
    for (const auto& m : peers::missing())
        std::printf("\nmissing (not found at configure time): %s, Debian %s\n",
                    m.library.c_str(), m.package.c_str());
    if (!sinad)
        return 0;

    std::printf("\nSINAD (dB) of a conditioned -1 dBFS tone at 997 Hz / the worst over 997 Hz, "
                "5, 10, 15 kHz and the band's top (20 kHz, or 0.45 of the lower rate), "
                "at that tone (kHz):\n\n| setting |");
    for (const auto& r : kRatios)
        std::printf(" %s |", r.label);
    std::printf("\n|---|");
    for (std::size_t i = 0; i < std::size(kRatios); ++i)
        std::printf("---:|");
    std::printf("\n");
    std::vector<std::string> key_faster, key_not;
    std::printf("| conditioned input, no conversion |");
    for (const auto& r : kRatios) {
        const Sinad q = sinad_of("", r);
        std::printf(" %.1f / %.1f (%.3g) |", q.at_997, q.worst, q.worst_hz / 1000);
    }
    std::printf("\n");
    for (const auto& s : peers::settings()) {
        if (s.bits != 16)
            continue;
        std::printf("| %s |", s.name.c_str());
        bool key_90 = true;
        for (const auto& r : kRatios) {
            const Sinad q = sinad_of(s.name, r);
            std::printf(" %.1f / %.1f (%.3g) |", q.at_997, q.worst, q.worst_hz / 1000);
            key_90 = key_90 && q.at_997 >= 90.0;
        }
        std::printf("\n");
        if (s.library == "asrc")
            continue;
        if (key_90)
            (slower_everywhere[s.name] ? key_faster : key_not).push_back(s.name);
    }
    const auto names = [](const std::vector<std::string>& v) {
        std::string t;
        for (const auto& n : v)
            t += (t.empty() ? "" : ", ") + n;
        return t.empty() ? std::string("none") : t;
    };
    std::printf("\nOf the peers that reach 90 dB at 997 Hz (the quality report's key figure) at "
                "every ratio, asrc-poly is faster at every ratio than %s; not than %s.\n",
                names(key_faster).c_str(), names(key_not).c_str());
    std::printf("Over the whole band at 44.1 kHz even the conditioned input falls near 90 dB "
                "(see its row): read the worst figures against it.\n");
    return 0;
}
