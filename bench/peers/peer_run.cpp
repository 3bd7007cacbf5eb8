// asrc-peer-run - runs one converter setting (ours or a peer library's, see
// peer_resamplers.h) on raw 16-bit or 32-bit samples, for the quality
// analysis and for timing.
//
//   asrc-peer-run --list [--json]
//   asrc-peer-run [--block N] [--channels C] [--time [--runs R]] [--json]
//                 NAME IN_RATE OUT_RATE
//
// Reads little-endian samples of the setting's width (int16, or int32 Q1.31
// for the 32-bit settings), C interleaved channels (default 1), from
// standard input, converts them from IN_RATE to OUT_RATE in blocks of N
// frames (default 1024), streaming as a user would, ends the stream, and
// writes ceil(n * OUT_RATE / IN_RATE) frames of the same width to standard
// output, aligned: output k is the input at time k * IN_RATE / OUT_RATE.
// asrc-rule runs at its own ratio and writes ceil(n * its ratio) samples.
//
// Exit statuses: 0 done; 1 a read or write failed, or the input is not
// whole frames; 2 a bad command line (usage on standard error), an unknown
// name, a channel count or a ratio the converter refuses; 3 a setting whose
// library was not found when the project was configured.
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "peer_resamplers.h"

namespace {

constexpr const char* kUsage =
    "Usage: asrc-peer-run --list [--json]\n"
    "       asrc-peer-run [--block N] [--channels C] [--time [--runs R]] [--json]\n"
    "                     NAME IN_RATE OUT_RATE\n"
    "\n"
    "Converts raw little-endian samples from standard input to standard output with\n"
    "the converter setting NAME (see --list), from IN_RATE to OUT_RATE: positive\n"
    "decimal numbers with up to 9 digits after the point, of which only the ratio\n"
    "counts (48000 47520, or 1 0.99).  The samples are int16, or int32 (Q1.31) for\n"
    "the 32-bit settings (--list), in frames of C interleaved channels.  The output\n"
    "holds ceil(n * OUT_RATE / IN_RATE) frames, output k being the input at time\n"
    "k * IN_RATE / OUT_RATE.\n"
    "\n"
    "  --list      one line per converter setting compiled in: name, Debian package\n"
    "              and version, the library's version, what is set, its sample\n"
    "              width in bits and the most channels it takes (tab-separated;\n"
    "              missing libraries are named on standard error)\n"
    "  --block N   feed N frames per call (default 1024)\n"
    "  --channels C  frames of C interleaved channels (default 1)\n"
    "  --time      also time the conversion on one core: ns per input sample per\n"
    "              channel, elapsed and of CPU time, the medians of R runs (--runs,\n"
    "              default 7), and the converter's look-ahead in input frames where\n"
    "              known, on standard error\n"
    "  --json      --list and --time in JSON\n";

int usage_error(const std::string& message)
{
    if (!message.empty())
        std::fprintf(stderr, "asrc-peer-run: %s\n", message.c_str());
    std::fputs(kUsage, stderr);
    return 2;
}

std::string json_string(const std::string& s)
{
    std::string out = "\"";
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

int list(bool json)
{
    if (json) {
        std::printf("{\"settings\": [");
        const char* sep = "";
        for (const auto& s : peers::settings()) {
            std::printf("%s\n  {\"name\": %s, \"library\": %s, \"package\": %s, \"version\": %s, "
                        "\"description\": %s, \"exact_ratio\": %s, \"bits\": %d, "
                        "\"max_channels\": %d}",
                        sep, json_string(s.name).c_str(), json_string(s.library).c_str(),
                        json_string(s.package).c_str(), json_string(s.version).c_str(),
                        json_string(s.description).c_str(), s.exact_ratio ? "true" : "false",
                        s.bits, s.max_channels);
            sep = ",";
        }
        std::printf("\n], \"missing\": [");
        sep = "";
        for (const auto& m : peers::missing()) {
            std::printf("%s\n  {\"library\": %s, \"package\": %s}", sep,
                        json_string(m.library).c_str(), json_string(m.package).c_str());
            sep = ",";
        }
        std::printf("\n]}\n");
    } else {
        for (const auto& s : peers::settings())
            std::printf("%s\t%s\t%s\t%s\t%d\t%d\n", s.name.c_str(), s.package.c_str(),
                        s.version.c_str(), s.description.c_str(), s.bits, s.max_channels);
        for (const auto& m : peers::missing())
            std::fprintf(stderr, "asrc-peer-run: %s was not found when the project was "
                                 "configured (Debian: %s): its settings are not built\n",
                         m.library.c_str(), m.package.c_str());
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

// All of standard input as little-endian samples of S's width, in whole
// frames of `channels`.
template <class S>
bool read_all(std::vector<S>& samples, std::size_t channels)
{
    std::vector<unsigned char> bytes;
    unsigned char buf[65536];
    for (;;) {
        const std::size_t got = std::fread(buf, 1, sizeof buf, stdin);
        bytes.insert(bytes.end(), buf, buf + got);
        if (got < sizeof buf)
            break;
    }
    if (std::ferror(stdin)) {
        std::fprintf(stderr, "asrc-peer-run: cannot read standard input\n");
        return false;
    }
    const std::size_t frame = sizeof(S) * channels;
    if (bytes.size() % frame != 0) {
        std::fprintf(stderr,
                     "asrc-peer-run: the input is %zu bytes, not whole %zu-bit samples in "
                     "frames of %zu\n",
                     bytes.size(), 8 * sizeof(S), channels);
        return false;
    }
    samples.resize(bytes.size() / sizeof(S));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        std::uint32_t u = 0;
        for (std::size_t b = 0; b < sizeof(S); ++b)
            u |= static_cast<std::uint32_t>(bytes[sizeof(S) * i + b]) << (8 * b);
        samples[i] = static_cast<S>(u);
    }
    return true;
}

template <class S>
bool write_all(const std::vector<S>& samples)
{
    std::vector<unsigned char> bytes(sizeof(S) * samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto u = static_cast<std::uint32_t>(samples[i]);
        for (std::size_t b = 0; b < sizeof(S); ++b)
            bytes[sizeof(S) * i + b] = static_cast<unsigned char>((u >> (8 * b)) & 0xFF);
    }
    if ((!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) ||
        std::fflush(stdout) != 0) {
        std::fprintf(stderr, "asrc-peer-run: cannot write standard output\n");
        return false;
    }
    return true;
}

bool parse_count(const char* text, long min, long max, long& value)
{
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min || v > max)
        return false;
    value = v;
    return true;
}

// Keeps this process on the core it runs on, so that a timing is one core's.
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

template <class S>
std::unique_ptr<peers::BasicConverter<S>> make(const std::string& name, peers::Rates rates,
                                               std::string* error, int channels)
{
    if constexpr (sizeof(S) == 4)
        return peers::make32(name, rates, error, channels);
    else
        return peers::make(name, rates, error, channels);
}

double thread_cpu_ns()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

struct Timing {
    double wall_ns; // elapsed time per input sample per channel
    double cpu_ns;  // this thread's CPU time for the same: on a shared
                    // machine, without the time others held the core
};

// The medians over `runs` fresh converters of the time to convert and end
// the stream, in ns per input sample per channel.  Creation is not timed.
template <class S>
Timing time_runs(const std::string& name, peers::Rates rates, int channels,
                 const std::vector<S>& in, std::size_t block, int runs)
{
    const auto ch = static_cast<std::size_t>(channels);
    const std::size_t frames = in.size() / ch;
    const auto per_sample = static_cast<double>(std::max<std::size_t>(in.size(), 1));
    std::vector<double> wall;
    std::vector<double> cpu;
    for (int r = 0; r < runs; ++r) {
        auto c = make<S>(name, rates, nullptr, channels);
        std::vector<S> buf(c->max_output(block) * ch);
        const double c0 = thread_cpu_ns();
        const auto t0 = std::chrono::steady_clock::now();
        for (std::size_t at = 0; at < frames; at += block)
            c->process(in.data() + at * ch, std::min(block, frames - at), buf.data());
        while (c->finish(buf.data(), buf.size() / ch) != 0) {
        }
        const auto t1 = std::chrono::steady_clock::now();
        cpu.push_back((thread_cpu_ns() - c0) / per_sample);
        wall.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() / per_sample);
    }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    return {wall[wall.size() / 2], cpu[cpu.size() / 2]};
}

struct Job {
    std::string name;
    peers::Rates rates;
    const char* in_rate;
    const char* out_rate;
    int channels;
    std::size_t block;
    bool time;
    long runs;
    bool json;
};

// Converts standard input to standard output with the job's setting, and
// times it if asked; the exit status.
template <class S>
int run(const Job& job)
{
    std::string error;
    auto conv = make<S>(job.name, job.rates, &error, job.channels);
    if (!conv) {
        std::fprintf(stderr, "asrc-peer-run: %s cannot convert from %s to %s: %s\n",
                     job.name.c_str(), job.in_rate, job.out_rate, error.c_str());
        return 2;
    }
    const auto ch = static_cast<std::size_t>(job.channels);
    std::vector<S> in;
    if (!read_all(in, ch))
        return 1;
    const std::size_t frames = in.size() / ch;
    const std::size_t count = peers::output_count(frames, conv->actual());
    std::size_t short_by = 0;
    const auto out = peers::convert_all(*conv, in.data(), frames, job.block, count, &short_by);
    if (short_by != 0)
        std::fprintf(stderr, "asrc-peer-run: %s gave %zu outputs fewer than %zu; zeros added\n",
                     job.name.c_str(), short_by, count);
    if (!write_all(out))
        return 1;

    if (job.time) {
        pin_to_one_core();
        const Timing ns = time_runs(job.name, job.rates, job.channels, in, job.block,
                                    static_cast<int>(job.runs));
        const double latency = conv->latency();
        char look[32] = "unknown";
        if (latency >= 0)
            std::snprintf(look, sizeof look, "%g", latency);
        if (job.json)
            std::fprintf(stderr,
                         "{\"name\": %s, \"ns_per_input_sample\": %.4f, "
                         "\"cpu_ns_per_input_sample\": %.4f, \"runs\": %ld, "
                         "\"samples\": %zu, \"channels\": %d, \"bits\": %zu, "
                         "\"block\": %zu, \"in_rate\": %s, \"out_rate\": %s, "
                         "\"latency_input_samples\": %s}\n",
                         json_string(job.name).c_str(), ns.wall_ns, ns.cpu_ns, job.runs, frames,
                         job.channels,
                         8 * sizeof(S), job.block, json_string(job.in_rate).c_str(),
                         json_string(job.out_rate).c_str(), latency < 0 ? "null" : look);
        else
            std::fprintf(stderr,
                         "%s: %.3f ns per input sample per channel (%.3f of CPU time; median "
                         "of %ld runs on one core, %zu frames of %d channel%s, %zu bits, in "
                         "blocks of %zu); look-ahead %s input samples\n",
                         job.name.c_str(), ns.wall_ns, ns.cpu_ns, job.runs, frames, job.channels,
                         job.channels == 1 ? "" : "s", 8 * sizeof(S), job.block, look);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    bool do_list = false;
    bool json = false;
    bool do_time = false;
    long block = 1024;
    long runs = 7;
    long channels = 1;
    std::vector<const char*> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--list") {
            do_list = true;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--time") {
            do_time = true;
        } else if (a == "--block" || a == "--runs" || a == "--channels") {
            if (i + 1 == argc)
                return usage_error(a + " needs a value");
            const long max = a == "--block" ? 1L << 24 : a == "--runs" ? 1001 : 64;
            long& value = a == "--block" ? block : a == "--runs" ? runs : channels;
            if (!parse_count(argv[++i], 1, max, value))
                return usage_error("invalid " + a + " \"" + argv[i] + "\": expected a whole number "
                                   "from 1 to " + std::to_string(max));
        } else if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
            return usage_error("unknown option " + a);
        } else {
            positional.push_back(argv[i]);
        }
    }
    if (do_list) {
        if (!positional.empty() || do_time)
            return usage_error("--list takes no other arguments");
        return list(json);
    }
    if (positional.size() != 3)
        return usage_error(positional.empty() ? "" : "expected NAME IN_RATE OUT_RATE");

    const std::string name = positional[0];
    if (peers::find_setting(name) == nullptr) {
        if (const auto* m = peers::missing_for(name)) {
            std::fprintf(stderr, "asrc-peer-run: %s needs %s, which was not found when the project "
                                 "was configured (Debian: %s)\n",
                         name.c_str(), m->library.c_str(), m->package.c_str());
            return 3;
        }
        std::string names;
        for (const auto& s : peers::settings())
            names += " " + s.name;
        return usage_error("unknown converter \"" + name + "\"; built:" + names);
    }
    const peers::Rates rates = peers::rates_from_text(positional[1], positional[2]);
    if (rates.in == 0)
        return usage_error(std::string("invalid rates \"") + positional[1] + "\" \"" +
                           positional[2] + "\": expected two positive decimal numbers");
    const Job job{name,  rates, positional[1], positional[2], static_cast<int>(channels),
                  static_cast<std::size_t>(block), do_time, runs, json};
    return peers::find_setting(name)->bits == 32 ? run<std::int32_t>(job) : run<std::int16_t>(job);
}
