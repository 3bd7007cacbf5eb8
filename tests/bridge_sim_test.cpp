// The simulator of the whole chain: the servo with the real converters, the
// FIFO and the tone, from the corners, in shortened runs; its instruments
// (the sine fit, the rule's ratio) against signals and counts with a known
// answer; and the program's command line.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "asrc.h"
#include "options.h"
#include "scratch_dir.h"
#include "simulation.h"

namespace {

using bridge_sim::Converter;
using bridge_sim::Options;
using bridge_sim::Results;

struct Corner {
    const char* name;
    Converter converter;
    double ppm;
    double jitter_ms;
    double target_ms;
    double min_sinad_db;
};

void PrintTo(const Corner& c, std::ostream* os)
{
    *os << c.name;
}

class SimCorners : public ::testing::TestWithParam<Corner> {};

// 90 simulated seconds each (the tracking time constant is reached at
// about 32 s; ratio jitter and SINAD are measured from 60 s on, so 30 SINAD
// windows).  The goals of the defaults, scaled where the corner moves them:
// the fill's span grows with the jitter (each side late by up to J).
TEST_P(SimCorners, LocksWithinFiveSecondsAndHoldsTheFill)
{
    const Corner c = GetParam();
    Options o;
    o.converter = c.converter;
    o.ppm = c.ppm;
    o.jitter_ms = c.jitter_ms;
    o.target_ms = c.target_ms;
    o.hours = 90.0 / 3600;
    const Results r = bridge_sim::simulate(o, false);
    EXPECT_GE(r.lock_s, 0) << "never locked";
    EXPECT_LE(r.lock_s, 5.0);
    EXPECT_GE(r.track_s, 0) << "not tracking at the end";
    EXPECT_EQ(r.underruns, 0u);
    EXPECT_EQ(r.overruns, 0u);
    const double band = o.in_block + o.out_block + 2 * 48.0 * (c.jitter_ms - 0.5);
    EXPECT_GE(r.fill_min, -band);
    EXPECT_LE(r.fill_max, band);
    EXPECT_LT(r.servo_jitter_ppm, 1.5 * (1 + c.jitter_ms));
    EXPECT_GE(r.sinad_db, c.min_sinad_db);
    EXPECT_EQ(r.sinad_windows, 30u);
}

INSTANTIATE_TEST_SUITE_P(
    Corners, SimCorners,
    ::testing::Values(Corner{"poly_plus_1000_ppm", Converter::poly, 1000, 0.5, 2, 88},
                      Corner{"poly_minus_1000_ppm", Converter::poly, -1000, 0.5, 2, 88},
                      Corner{"poly_large_jitter", Converter::poly, 1000, 2, 4.5, 88},
                      Corner{"poly_small_fifo", Converter::poly, -1000, 0.5, 1.8, 88},
                      Corner{"rule_plus_1000_ppm", Converter::rule, 1000, 0.5, 2, 40},
                      Corner{"rule_minus_1000_ppm", Converter::rule, -1000, 0.5, 2, 40}),
    [](const ::testing::TestParamInfo<Corner>& i) { return std::string(i.param.name); });

// A FIFO below what the jitter and the blocks need runs dry, and the sim
// says so instead of reporting a lock.
TEST(SimLimits, ATargetBelowTheSawtoothNeverLocks)
{
    Options o;
    o.target_ms = 1.2;
    o.hours = 30.0 / 3600;
    const Results r = bridge_sim::simulate(o, false);
    EXPECT_GT(r.underruns_total, 10u);
    EXPECT_LT(r.lock_s, 0);
}

// Same seed, same run: the simulation is a function of its settings.
TEST(SimLimits, ASeedGivesTheSameRunEveryTime)
{
    Options o;
    o.hours = 5.0 / 3600;
    o.seed = 77;
    const Results a = bridge_sim::simulate(o, true);
    const Results b = bridge_sim::simulate(o, true);
    EXPECT_EQ(a.fill_min, b.fill_min);
    EXPECT_EQ(a.fill_max, b.fill_max);
    EXPECT_EQ(a.tone, b.tone);
    o.seed = 78;
    const Results c = bridge_sim::simulate(o, true);
    EXPECT_NE(a.tone, c.tone) << "the seed changes nothing";
}

// The ratio the sim charges the rule with for a step is the one the rule
// gives: counted on the converter itself over a long stream.
TEST(RuleRatio, IsTheRatioTheConverterGivesForAStep)
{
    for (const int step : {0, 1, 16, 17, -16, -17, 163, -163, 8192, -8192}) {
        asrc_state s{};
        std::vector<std::int16_t> in(1 << 16, 0);
        std::vector<std::int16_t> out(2 * in.size());
        std::int64_t outputs = 0;
        const int blocks = 32;
        for (int b = 0; b < blocks; ++b) {
            std::int32_t nin = static_cast<std::int32_t>(in.size());
            std::int32_t nout = 0;
            asrc_state_process_block(&s, out.data(), in.data(), &nin, &nout,
                                     static_cast<std::int16_t>(step));
            outputs += nout;
        }
        const double measured = static_cast<double>(in.size()) * blocks / static_cast<double>(outputs);
        EXPECT_NEAR(bridge_sim::rule_ratio(step), measured, 2e-6) << "step " << step;
    }
}

struct Refused {
    std::vector<const char*> args;
    const char* says; // a part of the message
};

void PrintTo(const Refused& r, std::ostream* os)
{
    for (const char* a : r.args)
        *os << a << ' ';
}

class SimOptionsRefused : public ::testing::TestWithParam<Refused> {};

TEST_P(SimOptionsRefused, WithAMessageThatNamesTheProblem)
{
    std::vector<const char*> argv{"asrc-bridge-sim"};
    argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
    const auto r = bridge_sim::parse_command_line(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(r.kind, bridge_sim::ParsedCommandLine::Kind::error);
    EXPECT_NE(r.message.find(GetParam().says), std::string::npos) << r.message;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimOptionsRefused,
    ::testing::ValuesIn(std::vector<Refused>{
        {{"--converter", "fir"}, "expected poly or rule"},
        {{"--ppm", "abc"}, "invalid --ppm \"abc\""},
        {{"--ppm", "20000"}, "from -10000 to 10000"},
        {{"--ppm", "nan"}, "invalid --ppm"},
        {{"--ppm", "9000", "--wander", "2000"}, "beyond the servo's limits"},
        {{"--wander", "-1"}, "from 0 to 10000"},
        {{"--jitter-ms", "101"}, "from 0 to 100"},
        {{"--in-block", "0"}, "from 1 to 1024"},
        {{"--in-block", "2000"}, "from 1 to 1024"},
        {{"--out-block", "4.5"}, "whole number"},
        {{"--target-ms", "0"}, "above 0"},
        {{"--target-ms", "0.01"}, "less than one frame"},
        {{"--hours", "-1"}, "above 0"},
        {{"--seed", "-3"}, "whole number"},
        {{"--plot", ""}, "needs a directory"},
        {{"--hours"}, "--hours needs a value"},
        {{"--speed", "2"}, "unknown option \"--speed\""},
        {{"1000"}, "unexpected argument"}}),
    [](const ::testing::TestParamInfo<Refused>& i) {
        // The arguments, as letters and digits joined by '_': "ppm_abc".
        std::string name;
        for (const char* a : i.param.args) {
            for (const char* c = a; *c != '\0'; ++c)
                if (std::isalnum(static_cast<unsigned char>(*c)) != 0)
                    name += *c;
            name += '_';
        }
        return name + std::to_string(i.index);
    });

TEST(SimOptions, ValuesFollowAsNextArgumentOrAfterEquals)
{
    const char* argv[] = {"asrc-bridge-sim", "--ppm", "-1000", "--wander=5", "--converter=rule",
                          "--in-block", "44", "--seed=18446744073709551615"};
    const auto r = bridge_sim::parse_command_line(8, argv);
    ASSERT_EQ(r.kind, bridge_sim::ParsedCommandLine::Kind::run) << r.message;
    EXPECT_EQ(r.options.ppm, -1000);
    EXPECT_EQ(r.options.wander, 5);
    EXPECT_EQ(r.options.converter, Converter::rule);
    EXPECT_EQ(r.options.in_block, 44);
    EXPECT_EQ(r.options.seed, UINT64_MAX);
}

// The program itself: status and streams.
struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome run_program(const std::string& args, const std::filesystem::path& scratch)
{
    const auto out = scratch / "out.txt";
    const auto err = scratch / "err.txt";
    const std::string command = std::string(ASRC_BRIDGE_SIM_EXE) + " " + args + " >" +
                                out.string() + " 2>" + err.string();
    const int raw = std::system(command.c_str());
    auto slurp = [](const std::filesystem::path& p) {
        std::ifstream f(p);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    };
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
}

TEST(SimProgram, BadSettingsGiveStatus2AndAMessageOnStandardError)
{
    asrc_test::ScratchDir dir("bridge_sim_");
    const Outcome o = run_program("--ppm 1e5", dir.path());
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "asrc-bridge-sim: invalid --ppm \"1e5\": expected a number of ppm from "
                     "-10000 to 10000\nTry 'asrc-bridge-sim --help'.\n");
    EXPECT_EQ(run_program("--help", dir.path()).status, 0);
}

// A short run prints one line of key=value pairs with every result the
// documentation names; with --plot it leaves the pictures and their data.
TEST(SimProgram, PrintsTheResultLineAndDrawsThePlots)
{
    asrc_test::ScratchDir dir("bridge_sim_");
    const auto plots = dir.path() / "plots";
    const Outcome o = run_program("--hours 0.0003 --plot " + plots.string(), dir.path());
    ASSERT_EQ(o.status, 0) << o.err;
    ASSERT_FALSE(o.out.empty());
    EXPECT_EQ(o.out.find('\n'), o.out.size() - 1) << "one line";
    for (const char* key : {"lock_s=", "fill_min=", "fill_max=", "underruns=", "overruns=",
                            "ratio_jitter_ppm=", "sinad_db=", "track_s=", "target_frames="})
        EXPECT_NE(o.out.find(std::string(" ") + key), std::string::npos) << key;
    for (const char* file : {"fill.png", "ratio.png", "start.png", "spectrum.png",
                             "series.csv", "tone.csv", "result.txt"})
        EXPECT_GT(std::filesystem::file_size(plots / file), 100u) << file;
}

} // namespace
