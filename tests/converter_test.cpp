// The converter against worked cases, its worst-case bound and, at random,
// against the plain reference rule, through both entries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "asrc.h"
#include "param_name.h"
#include "reference_converter.h"

namespace {

using Samples = std::vector<std::int16_t>;

Samples by_sample(const Samples& in, std::int16_t step)
{
    Samples out;
    for (std::int16_t s : in) {
        std::int16_t buf[2] = {0, 0};
        std::int32_t n = -1;
        asrc_process_sample(buf, s, &n, step);
        EXPECT_GE(n, 0);
        EXPECT_LE(n, 2);
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

Samples by_block(const Samples& in, std::int16_t step)
{
    Samples out(static_cast<std::size_t>(2 * in.size() + 1));
    std::int32_t nin = static_cast<std::int32_t>(in.size());
    std::int32_t nout = -1;
    asrc_process_block(out.data(), in.data(), &nin, &nout, step);
    EXPECT_EQ(nin, static_cast<std::int32_t>(in.size()));
    out.resize(static_cast<std::size_t>(nout));
    return out;
}

struct RuleCase {
    const char* name;
    std::int16_t step;
    Samples in;
    Samples expected;
};

class RuleFromReset : public ::testing::TestWithParam<RuleCase> {};

TEST_P(RuleFromReset, BothEntriesGiveTheWorkedOutput)
{
    const RuleCase& c = GetParam();
    asrc_init();
    EXPECT_EQ(by_sample(c.in, c.step), c.expected);
    asrc_init();
    EXPECT_EQ(by_block(c.in, c.step), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RuleFromReset,
    ::testing::Values(
        // Step 0 is a delay of exactly one sample.
        RuleCase{"delay", 0, {5, 7, -3}, {0, 5, 7}},
        // The first input after a reset with a negative step inserts; the
        // next interpolates at phase 15384: 100 + floor(15384*100/16384).
        RuleCase{"insert_first", -1000, {100, 200}, {0, 100, 193}},
        // Phase 8192, 16384 (not a drop), 24576 (drop), 8192, 16384.
        RuleCase{"drop_strict", 8192, {100, 200, 300, 400, 500}, {50, 250, 400, 500}},
        // A step above one sample drops every input.
        RuleCase{"drop_all", 16385, {1, 2, 3, 4, 5, 6}, {}},
        RuleCase{"drop_all_max", 32767, {1, 2, 3, 4, 5, 6}, {}},
        // A step of exactly one sample drops every second input: the phase
        // reaches 16384 without a drop, then the sum 32768 drops (it is not
        // left to wrap to -32768).  At phase 16384 the output is
        // x[n-1] + x[n] - y[n-1]: 0 + 10 - 0, 20 + 30 - 10, 40 + 50 - 30.
        RuleCase{"one_sample_step", 16384, {10, 20, 30, 40, 50}, {10, 40, 60}},
        // Results outside 16 bits wrap, they are not clamped: 49151 -> -16385.
        RuleCase{"wraps", 8192, {32767, 32767}, {16383, -16385}},
        // Rounding is toward minus infinity: 8192 * -1 / 16384 = -0.5 -> -1,
        // and 4096 * -3 / 16384 = -0.75 -> -1.
        RuleCase{"floors", 8192, {-1, 0}, {-1, 0}},
        RuleCase{"floors_quarter", 4096, {-3}, {-1}},
        // With the most negative step every input inserts and passes through.
        RuleCase{"insert_all", -32768, {7, -9, 11}, {0, 7, 7, -9, -9, 11}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Block, CountZeroOrNegativeTouchesNothing)
{
    for (std::int32_t count : {0, -1, -16, INT32_MIN}) {
        asrc_init();
        std::int16_t warm[3] = {1000, -2000, 3000};
        std::int16_t sink[8];
        std::int32_t n3 = 3, nout = 0;
        asrc_process_block(sink, warm, &n3, &nout, -700);

        std::int16_t in[1] = {1};
        std::int16_t out[4] = {111, 111, 111, 111};
        std::int32_t nin = count;
        nout = 99;
        asrc_process_block(out, in, &nin, &nout, -700);
        EXPECT_EQ(nin, 0);
        EXPECT_EQ(nout, 0);
        EXPECT_EQ(out[0], 111);

        // The state is untouched: the stream goes on as if the call never was.
        Samples rest = {400, 500, 600};
        asrc_test::ReferenceConverter ref;
        Samples sink_ref;
        for (int s : {1000, -2000, 3000})
            ref.push(static_cast<std::int16_t>(s), -700, sink_ref);
        EXPECT_EQ(by_sample(rest, -700), ref.run(rest, -700)) << "count " << count;
    }
}

struct BlockCountCase {
    std::int16_t step;
    std::int32_t outputs;
};

class BlockOf16 : public ::testing::TestWithParam<BlockCountCase> {};

TEST_P(BlockOf16, GivesTheExpectedCount)
{
    asrc_init();
    Samples in(16);
    for (std::size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<std::int16_t>(1000 * (i + 1));
    const Samples out = by_block(in, GetParam().step);
    EXPECT_EQ(static_cast<std::int32_t>(out.size()), GetParam().outputs);
    asrc_init();
    asrc_test::ReferenceConverter ref;
    EXPECT_EQ(out, ref.run(in, GetParam().step));
}

INSTANTIATE_TEST_SUITE_P(Cases, BlockOf16,
                         ::testing::Values(BlockCountCase{0, 16}, BlockCountCase{3000, 14},
                                           BlockCountCase{8192, 11}, BlockCountCase{-1638, 18},
                                           BlockCountCase{-2340, 18}, BlockCountCase{-2341, 19},
                                           BlockCountCase{-16384, 24},
                                           BlockCountCase{-16385, 32},
                                           BlockCountCase{-32768, 32},
                                           BlockCountCase{16385, 0}),
                         [](const auto& info) {
                             return "step_" + asrc_test::param_name(info.param.step);
                         });

TEST(Block, DelayCarriesAcrossBlocks)
{
    asrc_init();
    Samples a(16), b(16);
    for (int i = 0; i < 16; ++i) {
        a[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(i + 1);
        b[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(i + 101);
    }
    by_block(a, 0);
    const Samples out = by_block(b, 0);
    ASSERT_EQ(out.size(), 16u);
    EXPECT_EQ(out.front(), 16); // the last input of the previous block
    EXPECT_EQ(out.back(), 115);
}

// The bound of the header is reached from reset (the first input inserts)
// and is never passed, for every step and a range of counts.
TEST(MaxOutput, IsExactFromResetForEveryStep)
{
    Samples in(40, 1234);
    std::vector<std::int16_t> out(100);
    for (std::int32_t step = INT16_MIN; step <= INT16_MAX; ++step) {
        for (std::int32_t count : {1, 7, 16, 40}) {
            asrc_init();
            std::int32_t nin = count, nout = 0;
            asrc_process_block(out.data(), in.data(), &nin, &nout, static_cast<std::int16_t>(step));
            const std::int64_t bound = asrc_max_output(count, static_cast<std::int16_t>(step));
            if (step < 0)
                ASSERT_EQ(nout, bound) << "step " << step << " count " << count;
            else
                ASSERT_LE(nout, bound) << "step " << step << " count " << count;
        }
    }
    EXPECT_EQ(asrc_max_output(16, -2340), 18);
    EXPECT_EQ(asrc_max_output(16, -2341), 19);
    EXPECT_EQ(asrc_max_output(0, -5), 0);
    EXPECT_EQ(asrc_max_output(-3, -5), 0);
    EXPECT_EQ(asrc_max_output(INT32_MAX, INT16_MIN), 2 * static_cast<std::int64_t>(INT32_MAX));
}

// Random streams through random mixes of the two entries, against the
// reference rule: steps from the whole range (with the edges weighted up),
// block lengths from negative to long, guard entries after the output.
TEST(Equivalence, RandomStreamsThroughBothEntriesMatchTheReference)
{
    std::mt19937 rng(20261208);
    auto pick = [&](std::int32_t lo, std::int32_t hi) {
        return std::uniform_int_distribution<std::int32_t>(lo, hi)(rng);
    };
    const std::int16_t edge_steps[] = {0,     1,     -1,    2048,  -2048, 16383, 16384,
                                       16385, -16383, -16384, -16385, 32767, -32768, 8192};
    constexpr std::int16_t kGuard = 0x5A5A;

    for (int round = 0; round < 3000; ++round) {
        std::int16_t step = pick(0, 3) == 0
                                ? edge_steps[pick(0, std::size(edge_steps) - 1)]
                                : static_cast<std::int16_t>(pick(INT16_MIN, INT16_MAX));
        if (pick(0, 1) == 0) // small steps keep the fast path busy
            step = static_cast<std::int16_t>(pick(-2100, 2100));
        const bool loud = pick(0, 3) == 0;
        asrc_test::ReferenceConverter ref;
        asrc_init();

        for (int call = 0; call < 12; ++call) {
            // Occasionally change the step mid-stream: the phase must stay sane.
            if (pick(0, 7) == 0)
                step = static_cast<std::int16_t>(pick(INT16_MIN, INT16_MAX));
            const std::int32_t lengths[] = {pick(-3, 0), pick(1, 8), 9, 16, pick(17, 300)};
            const std::int32_t count = lengths[pick(0, 4)];
            Samples in(static_cast<std::size_t>(std::max(count, 0)));
            for (auto& s : in)
                s = static_cast<std::int16_t>(loud ? pick(INT16_MIN, INT16_MAX) : pick(-3000, 3000));

            Samples expected;
            for (std::int16_t s : in)
                ref.push(s, step, expected);

            Samples got;
            if (pick(0, 2) == 0) {
                got = by_sample(in, step);
            } else {
                const auto room = static_cast<std::size_t>(asrc_max_output(count, step));
                Samples out(room + 4, kGuard);
                std::int32_t nin = count, nout = -7;
                asrc_process_block(out.data(), in.data(), &nin, &nout, step);
                ASSERT_EQ(nin, std::max(count, 0));
                ASSERT_LE(nout, static_cast<std::int64_t>(room));
                for (std::size_t g = room; g < out.size(); ++g)
                    ASSERT_EQ(out[g], kGuard) << "wrote past the worst case";
                got.assign(out.begin(), out.begin() + nout);
            }
            ASSERT_EQ(got, expected) << "round " << round << " call " << call << " step " << step
                                     << " count " << count;
        }
    }
}

TEST(Equivalence, AsrcInitRestartsFromSilence)
{
    const Samples in = {300, -400, 500, 600, -700, 800, 900, 1000, 1100, 1200};
    asrc_init();
    const Samples first = by_block(in, -1500);
    by_block(in, 2500); // leave the state somewhere else
    asrc_init();
    EXPECT_EQ(by_block(in, -1500), first);
}

} // namespace
