// peer_run_test.cpp - asrc-peer-run, the runner the quality analysis drives,
// on answers known in advance: each 16-bit converter setting it lists (ours
// and whichever peer libraries were found) turns a 1 kHz sine at 48 kHz
// into a 1 kHz sine at 44.1 kHz of the right length and amplitude, aligned
// (output k is the input at time k * 48000 / 44100); each 32-bit setting
// does so on Q1.31 samples, in one and two channels, with the SINAD its
// library reaches; any split into blocks gives the same samples; its
// command line is refused as documented.  A library that is missing is
// simply not listed, never a failure.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "scratch_dir.h"
#include "sine_fit.h"

namespace {

struct Result {
    int status = -1;
    std::vector<std::int16_t> samples; // standard output as int16
    std::string out;                   // standard output as text
    std::string err;
};

std::string slurp(const std::filesystem::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// Runs the runner with `args` (already quoted where needed) on `input`.
Result run(const std::string& args, const std::string& input = {})
{
    asrc_test::ScratchDir dir("peer_run_test_");
    const auto in = dir.path() / "in.raw";
    const auto out = dir.path() / "out.raw";
    const auto err = dir.path() / "err.txt";
    std::ofstream(in, std::ios::binary) << input;
    const std::string cmd = std::string("'") + ASRC_PEER_RUN_EXE + "' " + args + " < '" +
                            in.string() + "' > '" + out.string() + "' 2> '" + err.string() + "'";
    const int rc = std::system(cmd.c_str());
    Result r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    r.samples.resize(r.out.size() / 2);
    for (std::size_t i = 0; i < r.samples.size(); ++i)
        r.samples[i] = static_cast<std::int16_t>(static_cast<unsigned char>(r.out[2 * i]) |
                                                 static_cast<unsigned char>(r.out[2 * i + 1]) << 8);
    return r;
}

std::string raw(const std::vector<std::int16_t>& x)
{
    std::string s(2 * x.size(), '\0');
    for (std::size_t i = 0; i < x.size(); ++i) {
        const auto u = static_cast<std::uint16_t>(x[i]);
        s[2 * i] = static_cast<char>(u & 0xFF);
        s[2 * i + 1] = static_cast<char>(u >> 8);
    }
    return s;
}

constexpr double kAmplitude = 16000;
constexpr double kHz = 1000;
constexpr std::size_t kInputs = 24000; // 0.5 s at 48 kHz

// A 1 kHz sine at 48 kHz, phase 0 at sample 0, rounded to 16 bits.
std::vector<std::int16_t> sine()
{
    std::vector<std::int16_t> x(kInputs);
    for (std::size_t i = 0; i < kInputs; ++i)
        x[i] = static_cast<std::int16_t>(
            std::lround(kAmplitude * std::sin(2 * M_PI * kHz / 48000 * static_cast<double>(i))));
    return x;
}

struct Listed {
    std::string name;
    std::vector<std::string> fields;
};

std::vector<Listed> listed()
{
    const Result r = run("--list");
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<Listed> v;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        Listed l;
        std::istringstream fields(line);
        for (std::string f; std::getline(fields, f, '\t');)
            l.fields.push_back(f);
        l.name = l.fields.empty() ? "" : l.fields[0];
        v.push_back(l);
    }
    return v;
}

TEST(PeerRun, ListsOursFirstThenEachPeerWithItsVersion)
{
    const auto v = listed();
    ASSERT_GE(v.size(), 2u);
    EXPECT_EQ(v[0].name, "asrc-poly");
    EXPECT_EQ(v[1].name, "asrc-rule");
    for (const auto& l : v) {
        ASSERT_EQ(l.fields.size(), 6u) << l.name;
        for (const auto& f : l.fields)
            EXPECT_FALSE(f.empty()) << l.name;
        // The package and the library's version both carry a number.
        EXPECT_NE(l.fields[1].find_first_of("0123456789"), std::string::npos) << l.name;
        EXPECT_NE(l.fields[2].find_first_of("0123456789"), std::string::npos) << l.name;
        EXPECT_TRUE(l.fields[4] == "16" || l.fields[4] == "32") << l.name;
    }
    const Result j = run("--list --json");
    EXPECT_EQ(j.status, 0);
    EXPECT_NE(j.out.find("\"settings\""), std::string::npos);
    EXPECT_NE(j.out.find("\"missing\""), std::string::npos);
}

TEST(PeerRun, EachSettingGivesTheToneAlignedAtTheRightLength)
{
    const std::string input = raw(sine());
    const std::size_t count = (kInputs * 44100 + 47999) / 48000; // 22050
    const double w_in = 2 * M_PI * kHz / 48000;
    const double w_out = 2 * M_PI * kHz / 44100;
    int checked = 0;
    for (const auto& l : listed()) {
        if (l.name == "asrc-rule" || l.fields[4] != "16")
            continue; // not at this ratio, or 32-bit: see the next tests
        SCOPED_TRACE(l.name);
        const Result r = run("'" + l.name + "' 48000 44100", input);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, ""); // no outputs were missing
        ASSERT_EQ(r.samples.size(), count);
        const auto fit = asrc_measure::fit_sine_at(r.samples, 400, count - 400, w_out);
        // SRC_LINEAR loses 0.15% at 1 kHz; the rest far less.
        EXPECT_NEAR(fit.amplitude(), kAmplitude, 0.005 * kAmplitude);
        EXPECT_NEAR(fit.c, 0, 2);
        // The output's phase is the input's at the same time: the time
        // offset, in input samples, is within 1/100 of a sample.
        const double delay = -std::remainder(fit.phase(), 2 * M_PI) / w_in;
        EXPECT_NEAR(delay, 0, 0.01);
        // Linear interpolation is the worst of them: 62 dB.
        EXPECT_GT(fit.sinad_db(), 55);
        ++checked;
    }
    EXPECT_GE(checked, 1);
}

// A -1 dBFS 1 kHz sine of Q1.31 samples at 48 kHz in `channels`
// interleaved channels, channel c at phase c (so that a swap shows), as
// little-endian bytes.
std::string q31_sine(int channels)
{
    const double a = std::pow(10.0, -1.0 / 20) * 2147483648.0;
    std::string s;
    for (std::size_t i = 0; i < kInputs; ++i)
        for (int c = 0; c < channels; ++c) {
            const auto v = static_cast<std::int32_t>(std::lround(
                a * std::sin(2 * M_PI * kHz / 48000 * static_cast<double>(i) + c)));
            const auto u = static_cast<std::uint32_t>(v);
            for (int b = 0; b < 4; ++b)
                s += static_cast<char>((u >> (8 * b)) & 0xFF);
        }
    return s;
}

// Channel c of int32 little-endian frames of `channels`.
std::vector<std::int32_t> channel_of(const std::string& bytes, int channels, int c)
{
    std::vector<std::int32_t> v;
    for (std::size_t at = 4 * static_cast<std::size_t>(c); at + 4 <= bytes.size();
         at += 4 * static_cast<std::size_t>(channels)) {
        std::uint32_t u = 0;
        for (std::size_t b = 0; b < 4; ++b)
            u |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + b])) << (8 * b);
        v.push_back(static_cast<std::int32_t>(u));
    }
    return v;
}

TEST(PeerRun, Each32BitSettingGivesTheToneInEachChannelWithItsSinad)
{
    // The least SINAD each 32-bit setting gives at 1 kHz from 48 to 44.1 kHz,
    // a few dB under what it reaches here: far above what 16 bits hold,
    // so that a setting that went through 16 or 24 bits, or through float
    // where it should not, fails.  A name not listed here fails too.
    const std::vector<std::pair<std::string, double>> floors = {
        {"asrc-q31", 140},          {"asrc-q31-lean", 140},     {"soxr-hq-i32", 130},
        {"soxr-vhq-i32", 170},      {"src-sinc-best-i32", 135},
        {"src-sinc-medium-i32", 110}, {"zita-vresampler-48-i32", 135}};
    const std::size_t count = (kInputs * 44100 + 47999) / 48000;
    const double w_out = 2 * M_PI * kHz / 44100;
    const double amplitude = std::pow(10.0, -1.0 / 20) * 2147483648.0;
    int checked = 0;
    for (const auto& l : listed()) {
        if (l.fields[4] != "32")
            continue;
        SCOPED_TRACE(l.name);
        double floor = -1;
        for (const auto& [name, db] : floors)
            if (name == l.name)
                floor = db;
        ASSERT_GT(floor, 0) << "no SINAD floor for this setting";
        for (const int channels : {1, 2}) {
            SCOPED_TRACE(channels);
            const Result r = run("--channels " + std::to_string(channels) + " '" + l.name +
                                     "' 48000 44100",
                                 q31_sine(channels));
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            ASSERT_EQ(r.out.size(), 4 * count * static_cast<std::size_t>(channels));
            for (int c = 0; c < channels; ++c) {
                const auto y = channel_of(r.out, channels, c);
                const auto fit = asrc_measure::fit_sine_at(y, 400, count - 400, w_out);
                EXPECT_NEAR(fit.amplitude(), amplitude, 1e-4 * amplitude);
                // Aligned, and channel c carries phase c.
                const double delay = -std::remainder(fit.phase() - c, 2 * M_PI) / w_out;
                EXPECT_NEAR(delay, 0, 0.01);
                EXPECT_GT(fit.sinad_db(), floor);
            }
        }
        ++checked;
    }
    EXPECT_GE(checked, 1); // asrc-q31 is always built
}

TEST(PeerRun, TheNewConverterTakesTheRatiosBeyondThePolyphaseOnes)
{
    // 44.1 -> 96 kHz and 192 -> 44.1 kHz: outside 1:2..2:1, so asrc-poly
    // refuses them; asrc-q31 gives the count ceil(n * out / in).
    const std::string input = q31_sine(1);
    for (const auto& [in, out] : {std::pair{44100, 96000}, std::pair{192000, 44100}}) {
        SCOPED_TRACE(in);
        const std::string rates = std::to_string(in) + " " + std::to_string(out);
        const Result r = run("asrc-q31 " + rates, input);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::size_t count = (kInputs * static_cast<std::size_t>(out) +
                                   static_cast<std::size_t>(in) - 1) /
                                  static_cast<std::size_t>(in);
        EXPECT_EQ(r.out.size(), 4 * count);
        EXPECT_EQ(run("asrc-poly " + rates, raw(sine())).status, 2);
    }
}

TEST(PeerRun, TheRuleRunsAtItsOwnRatio)
{
    // 48000 -> 47520 is offset 0.01: step 163, one input in 101 dropped.
    const Result r = run("asrc-rule 48000 47520", raw(sine()));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::size_t count = (kInputs * 100 + 100) / 101;
    ASSERT_EQ(r.samples.size(), count);
    const double w = 2 * M_PI * kHz / 48000 * 101 / 100;
    const auto fit = asrc_measure::fit_sine(r.samples, 400, count - 400, w);
    EXPECT_NEAR(fit.w / w, 1, 1e-5);
    EXPECT_NEAR(fit.amplitude(), kAmplitude, 0.02 * kAmplitude);
    EXPECT_GT(fit.sinad_db(), 40); // the report's 43.5 dB
}

TEST(PeerRun, AnySplitIntoBlocksGivesTheSameSamples)
{
    std::vector<std::int16_t> x = sine();
    for (std::size_t i = 0; i < x.size(); i += 7)
        x[i] = static_cast<std::int16_t>(x[i] / 2 + 3000); // not only a tone
    const std::string input = raw(x);
    for (const auto& l : listed()) {
        // soxr's default dither is random; SRC_LINEAR differs only for
        // blocks of one sample (see peer_resamplers.h).  The 32-bit
        // settings read 4 bytes a sample: the same bytes are another input.
        if (l.name == "soxr-hq" || l.name == "soxr-vhq" || l.fields[4] != "16")
            continue;
        SCOPED_TRACE(l.name);
        const Result whole = run("'" + l.name + "' 44100 48000", input);
        const Result small = run("--block 7 '" + l.name + "' 44100 48000", input);
        ASSERT_EQ(whole.status, 0) << whole.err;
        ASSERT_EQ(small.status, 0) << small.err;
        EXPECT_EQ(whole.out, small.out);
    }
}

TEST(PeerRun, InterleavedChannelsAreEachChannelConvertedAlone)
{
    // Two channels of different noise: each output channel must be what
    // the setting gives for that channel alone (no swap, no crosstalk, no
    // frame miscounted), at 16 and at 32 bits.
    std::vector<std::int16_t> left = sine();
    std::vector<std::int16_t> right(left.size());
    for (std::size_t i = 0; i < right.size(); ++i)
        right[i] = static_cast<std::int16_t>((i * 7919) % 20011) - 10000;
    std::vector<std::int16_t> both;
    for (std::size_t i = 0; i < left.size(); ++i) {
        both.push_back(left[i]);
        both.push_back(right[i]);
    }
    for (const auto& l : listed()) {
        if (l.fields[5] == "1" || l.name == "soxr-hq" || l.name == "soxr-vhq")
            continue; // mono only, or dithered at random
        SCOPED_TRACE(l.name);
        const bool wide = l.fields[4] == "32";
        // At 32 bits each pair of int16 is read as one sample: other
        // signals, the same check.
        const Result two = run("--channels 2 '" + l.name + "' 48000 44100",
                               raw(both) + (wide ? raw(both) : ""));
        ASSERT_EQ(two.status, 0) << two.err;
        const std::size_t width = wide ? 4 : 2;
        for (int c = 0; c < 2; ++c) {
            std::string alone_in;
            const std::string all = raw(both) + (wide ? raw(both) : "");
            for (std::size_t at = width * static_cast<std::size_t>(c); at < all.size();
                 at += 2 * width)
                alone_in += all.substr(at, width);
            const Result one = run("'" + l.name + "' 48000 44100", alone_in);
            ASSERT_EQ(one.status, 0) << one.err;
            std::string picked;
            for (std::size_t at = width * static_cast<std::size_t>(c); at < two.out.size();
                 at += 2 * width)
                picked += two.out.substr(at, width);
            EXPECT_EQ(picked, one.out) << "channel " << c;
        }
    }
}

TEST(PeerRun, RatesMayBeDecimalsAndOnlyTheirRatioCounts)
{
    const std::string input = raw(sine());
    const Result a = run("asrc-poly 48000 48004.8", input);
    const Result b = run("asrc-poly 1 1.0001", input);
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(a.samples.size(), (kInputs * 10001 + 9999) / 10000);
    EXPECT_EQ(a.out, b.out);
}

TEST(PeerRun, TimesItselfOnRequest)
{
    const Result r = run("--time --runs 3 --json asrc-poly 48000 44100", raw(sine()));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("\"ns_per_input_sample\": "), std::string::npos) << r.err;
    EXPECT_EQ(r.samples.size(), 22050u);
    const Result two = run("--time --runs 1 --json --channels 2 asrc-q31 48000 44100", q31_sine(2));
    ASSERT_EQ(two.status, 0) << two.err;
    EXPECT_NE(two.err.find("\"channels\": 2, \"bits\": 32"), std::string::npos) << two.err;
}

TEST(PeerRun, RefusesBadCommandLines)
{
    const std::string input = raw(sine());
    for (const char* args :
         {"", "asrc-poly", "asrc-poly 48000", "asrc-poly 48000 44100 1", "no-such 48000 44100",
          "asrc-poly 0 44100", "asrc-poly 48000 -44100", "asrc-poly 4800x 44100",
          "asrc-poly 48000 1e3", "asrc-poly 48000 4.0000000001", "--block 0 asrc-poly 1 1",
          "--block asrc-poly 1 1", "--runs 0 asrc-poly 1 1", "--frobnicate asrc-poly 1 1",
          "--list asrc-poly", "asrc-poly 48000 10000", "asrc-rule 1 4",
          "--channels 0 asrc-poly 1 1", "--channels 2 asrc-rule 1 1",
          "--channels 9 asrc-q31 1 1", "asrc-q31 48000 1000"}) {
        SCOPED_TRACE(args);
        const Result r = run(args, input);
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(r.out.empty());
        EXPECT_NE(r.err.find("asrc-peer-run"), std::string::npos);
    }
    EXPECT_NE(run("").err.find("Usage: asrc-peer-run"), std::string::npos);
    const Result help = run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: asrc-peer-run"), std::string::npos);
    // Not whole samples.
    const Result odd = run("asrc-poly 1 1", "abc");
    EXPECT_EQ(odd.status, 1);
    EXPECT_NE(odd.err.find("not whole 16-bit samples"), std::string::npos);
    const Result odd32 = run("--channels 2 asrc-q31 1 1", std::string(12, '\0'));
    EXPECT_EQ(odd32.status, 1);
    EXPECT_NE(odd32.err.find("not whole 32-bit samples in frames of 2"), std::string::npos);
    // No input: no output.
    const Result empty = run("asrc-poly 48000 44100");
    EXPECT_EQ(empty.status, 0);
    EXPECT_TRUE(empty.out.empty());
}

} // namespace
