// The stamp log and its replay: blocks of two exact clocks written as
// asrc-bridge --stamps writes them, read back and replayed, give what the
// halves give between such clocks; logs that are not such are refused.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>

#include "replay.h"
#include "sides.h"

namespace {

std::string scratch(const char* name)
{
    return "/tmp/asrc-replay-test-" + std::to_string(getpid()) + "-" + name;
}

// One side of an exact clock: block k stamped at k * period / rate, begun
// a fixed 80 us later (the callback's own delay).
void write_side(const std::string& path, bool source, double rate, std::uint32_t nominal,
                std::uint32_t period, double seconds, double offset_s)
{
    rtbridge::StampLog log;
    const auto blocks = static_cast<std::size_t>(seconds * rate / period);
    log.reserve(blocks);
    for (std::size_t k = 0; k < blocks; ++k) {
        const double t = offset_s + static_cast<double>(k * period) / rate;
        log.add(static_cast<std::int64_t>(t * 1e9), static_cast<std::int64_t>((t + 80e-6) * 1e9),
                static_cast<std::int32_t>(period), 0);
    }
    ASSERT_TRUE(log.write(path, source ? "source" : "sink", nominal, period));
}

TEST(Replay, ExactClocksLockAndHoldTheirRatio)
{
    // 48 kHz / 1024 at +100 ppm into 44.1 kHz / 1024, a minute.
    const std::string base = scratch("exact");
    write_side(base + ".source", true, 48000 * (1 + 100e-6), 48000, 1024, 60, 0);
    write_side(base + ".sink", false, 44100, 44100, 1024, 60, 0.0101);
    rtbridge::StampSide in;
    rtbridge::StampSide out;
    std::string why;
    ASSERT_TRUE(rtbridge::load_stamps(base + ".source", true, in, why)) << why;
    ASSERT_TRUE(rtbridge::load_stamps(base + ".sink", false, out, why)) << why;
    std::remove((base + ".source").c_str());
    std::remove((base + ".sink").c_str());
    rtbridge::ReplayResult r;
    ASSERT_EQ(rtbridge::replay(in, out, rtbridge::ReplaySettings{}, r), nullptr);
    EXPECT_NEAR(r.true_ppm, 100, 0.01) << "the clocks' ratio from the stamps";
    EXPECT_GE(r.summary.lock_s, 0);
    EXPECT_LE(r.summary.lock_s, 5.0);
    EXPECT_NEAR(r.summary.ratio_ppm, r.true_ppm, 2.0);
    EXPECT_EQ(r.summary.underruns_total + r.summary.overruns_total, 0u);
    ASSERT_GE(r.sinad_1s.size(), 50u);
    // 110.3 dB here: the 1-s windows at these periods are still at the edge
    // of what the loop's settling leaves (docs/bridge.md).
    EXPECT_GE(r.sinad_1s[r.sinad_1s.size() / 2], 105.0) << "the median 1-s window";
}

TEST(Replay, RefusesWhatIsNotALogOfThatSide)
{
    const struct {
        const char* name;
        const char* text;
    } cases[] = {
        {"no_header", "100 200 1024 0\n200 300 1024 0\n"},
        {"other_side", "# asrc-bridge stamps sink 48000 1024\n100 200 1024 0\n200 300 1024 0\n"},
        {"bad_line", "# asrc-bridge stamps source 48000 1024\n100 200 1024 0\n200 x\n"},
        {"frames_out_of_range", "# asrc-bridge stamps source 48000 1024\n100 200 0 0\n200 300 1024 0\n"},
        {"one_block", "# asrc-bridge stamps source 48000 1024\n100 200 1024 0\n"},
    };
    for (const auto& c : cases) {
        const std::string path = scratch(c.name);
        std::FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(c.text, f);
        std::fclose(f);
        rtbridge::StampSide side;
        std::string why;
        EXPECT_FALSE(rtbridge::load_stamps(path, true, side, why)) << c.name;
        EXPECT_NE(why.find("not the source log"), std::string::npos) << c.name << ": " << why;
        std::remove(path.c_str());
    }
    rtbridge::StampSide side;
    std::string why;
    EXPECT_FALSE(rtbridge::load_stamps(scratch("missing"), true, side, why));
    EXPECT_NE(why.find("cannot read"), std::string::npos) << why;
}

} // namespace
