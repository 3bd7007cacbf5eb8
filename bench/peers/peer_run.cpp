// asrc-peer-run - runs one converter setting (ours or a peer library's, see
// peer_resamplers.h) on raw 16-bit mono samples, for the quality analysis
// and for timing.
//
//   asrc-peer-run --list [--json]
//   asrc-peer-run [--block N] [--time [--runs R]] [--json] NAME IN_RATE OUT_RATE
//
// Reads int16 little-endian mono from standard input, converts it from
// IN_RATE to OUT_RATE in blocks of N (default 1024), streaming as a user
// would, ends the stream, and writes ceil(n * OUT_RATE / IN_RATE) int16
// little-endian samples to standard output, aligned: output k is the input
// at time k * IN_RATE / OUT_RATE.  asrc-rule runs at its own ratio and
// writes ceil(n * its ratio) samples.
//
// Exit statuses: 0 done; 1 a read or write failed, or the input is not
// whole samples; 2 a bad command line (usage on standard error), an unknown
// name or a ratio the converter refuses; 3 a setting whose library was not
// found when the project was configured.
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "peer_resamplers.h"

namespace {

constexpr const char* kUsage =
    "Usage: asrc-peer-run --list [--json]\n"
    "       asrc-peer-run [--block N] [--time [--runs R]] [--json] NAME IN_RATE OUT_RATE\n"
    "\n"
    "Converts raw int16 little-endian mono samples from standard input to standard\n"
    "output with the converter setting NAME (see --list), from IN_RATE to OUT_RATE:\n"
    "positive decimal numbers with up to 9 digits after the point, of which only the\n"
    "ratio counts (48000 47520, or 1 0.99).  The output holds ceil(n * OUT_RATE /\n"
    "IN_RATE) samples, output k being the input at time k * IN_RATE / OUT_RATE.\n"
    "\n"
    "  --list      one line per converter setting compiled in: name, Debian package\n"
    "              and version, the library's version, what is set (tab-separated;\n"
    "              missing libraries are named on standard error)\n"
    "  --block N   feed N samples per call (default 1024)\n"
    "  --time      also time the conversion on one core: ns per input sample, the\n"
    "              median of R runs (--runs, default 7), and the converter's\n"
    "              look-ahead in input samples where known, on standard error\n"
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
                        "\"description\": %s, \"exact_ratio\": %s}",
                        sep, json_string(s.name).c_str(), json_string(s.library).c_str(),
                        json_string(s.package).c_str(), json_string(s.version).c_str(),
                        json_string(s.description).c_str(), s.exact_ratio ? "true" : "false");
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
            std::printf("%s\t%s\t%s\t%s\n", s.name.c_str(), s.package.c_str(), s.version.c_str(),
                        s.description.c_str());
        for (const auto& m : peers::missing())
            std::fprintf(stderr, "asrc-peer-run: %s was not found when the project was "
                                 "configured (Debian: %s): its settings are not built\n",
                         m.library.c_str(), m.package.c_str());
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

bool read_all(std::vector<std::int16_t>& samples)
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
    if (bytes.size() % 2 != 0) {
        std::fprintf(stderr, "asrc-peer-run: the input is %zu bytes, not whole 16-bit samples\n",
                     bytes.size());
        return false;
    }
    samples.resize(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return true;
}

bool write_all(const std::vector<std::int16_t>& samples)
{
    std::vector<unsigned char> bytes(2 * samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto u = static_cast<std::uint16_t>(samples[i]);
        bytes[2 * i] = static_cast<unsigned char>(u & 0xFF);
        bytes[2 * i + 1] = static_cast<unsigned char>(u >> 8);
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

// The median over `runs` fresh converters of the time to convert and end
// the stream, in ns per input sample.  Creation is not timed.
double time_runs(const std::string& name, peers::Rates rates, const std::vector<std::int16_t>& in,
                 std::size_t block, int runs)
{
    std::vector<double> ns;
    for (int r = 0; r < runs; ++r) {
        auto c = peers::make(name, rates, nullptr);
        std::vector<std::int16_t> buf(c->max_output(block));
        const auto t0 = std::chrono::steady_clock::now();
        for (std::size_t at = 0; at < in.size(); at += block)
            c->process(in.data() + at, std::min(block, in.size() - at), buf.data());
        while (c->finish(buf.data(), buf.size()) != 0) {
        }
        const auto t1 = std::chrono::steady_clock::now();
        ns.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() /
                     static_cast<double>(std::max<std::size_t>(in.size(), 1)));
    }
    std::sort(ns.begin(), ns.end());
    return ns[ns.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    bool do_list = false;
    bool json = false;
    bool do_time = false;
    long block = 1024;
    long runs = 7;
    std::vector<const char*> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--list") {
            do_list = true;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--time") {
            do_time = true;
        } else if (a == "--block" || a == "--runs") {
            if (i + 1 == argc)
                return usage_error(a + " needs a value");
            const bool is_block = a == "--block";
            if (!parse_count(argv[++i], 1, is_block ? 1L << 24 : 1001, is_block ? block : runs))
                return usage_error("invalid " + a + " \"" + argv[i] + "\": expected a whole number "
                                   "from 1 to " + (is_block ? "16777216" : "1001"));
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
    std::string error;
    auto conv = peers::make(name, rates, &error);
    if (!conv) {
        std::fprintf(stderr, "asrc-peer-run: %s cannot convert from %s to %s: %s\n", name.c_str(),
                     positional[1], positional[2], error.c_str());
        return 2;
    }

    std::vector<std::int16_t> in;
    if (!read_all(in))
        return 1;
    const auto ublock = static_cast<std::size_t>(block);
    const std::size_t count = peers::output_count(in.size(), conv->actual());
    std::size_t short_by = 0;
    const auto out = peers::convert_all(*conv, in.data(), in.size(), ublock, count, &short_by);
    if (short_by != 0)
        std::fprintf(stderr, "asrc-peer-run: %s gave %zu outputs fewer than %zu; zeros added\n",
                     name.c_str(), short_by, count);
    if (!write_all(out))
        return 1;

    if (do_time) {
        pin_to_one_core();
        const double ns = time_runs(name, rates, in, ublock, static_cast<int>(runs));
        const double latency = conv->latency();
        char look[32] = "unknown";
        if (latency >= 0)
            std::snprintf(look, sizeof look, "%g", latency);
        if (json)
            std::fprintf(stderr,
                         "{\"name\": %s, \"ns_per_input_sample\": %.4f, \"runs\": %ld, "
                         "\"samples\": %zu, \"block\": %ld, \"in_rate\": %s, \"out_rate\": %s, "
                         "\"latency_input_samples\": %s}\n",
                         json_string(name).c_str(), ns, runs, in.size(), block,
                         json_string(positional[1]).c_str(), json_string(positional[2]).c_str(),
                         latency < 0 ? "null" : look);
        else
            std::fprintf(stderr, "%s: %.3f ns per input sample (median of %ld runs on one core, "
                                 "%zu samples in blocks of %ld); look-ahead %s input samples\n",
                         name.c_str(), ns, runs, in.size(), block,
                         look);
    }
    return 0;
}
